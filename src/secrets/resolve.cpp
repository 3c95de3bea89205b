// Resolution of a secret id to its value or to the file that holds it.
#include "methods.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace kuv {
namespace {

// callable(*positional, **dict(zip(keywords, values))) in one vectorcall.
Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> positional,
            std::initializer_list<std::pair<PyObject*, PyObject*>> keywords) {
    std::vector<PyObject*> args(positional);
    Ref kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    Py_ssize_t i = 0;
    for (const auto& [name, value] : keywords) {
        PyTuple_SET_ITEM(kwnames.get(), i++, Py_NewRef(name));
        args.push_back(value);
    }
    return Ref::steal(
        PyObject_Vectorcall(callable, args.data(), positional.size(), kwnames.get()));
}

[[noreturn]] void raise_os_error(int err, PyObject* path) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    throw_error();
}

// Runs a system call with the GIL released; returns its result, or -errno on failure.
template <class Syscall>
int blocking(Syscall&& syscall) noexcept {
    PyThreadState* state = PyEval_SaveThread();
    int result = syscall();
    if (result < 0) {
        result = -errno;
    }
    PyEval_RestoreThread(state);
    return result;
}

class Fd {
public:
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const noexcept { return fd_; }
    // Closes now and reports the error that a destructor would have to drop.
    int close() noexcept {
        int fd = std::exchange(fd_, -1);
        return blocking([fd] { return ::close(fd); });
    }

private:
    int fd_;
};

// A file of ours that must not outlive a failed publication.
class TempFile {
public:
    explicit TempFile(std::string path) noexcept : path_(std::move(path)) {}
    TempFile(TempFile&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (!path_.empty()) {
            ::unlink(path_.c_str());
        }
    }
    const char* c_str() const noexcept { return path_.c_str(); }
    void forget() noexcept { path_.clear(); }

private:
    std::string path_;
};

std::uint64_t random_suffix() noexcept {
    std::uint64_t r = 0;
    if (getrandom(&r, sizeof r, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof r)) {
        return r;
    }
    // Uniqueness comes from O_EXCL; this only keeps retries rare.
    static std::uint64_t counter = 0;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (static_cast<std::uint64_t>(getpid()) << 40) ^
           static_cast<std::uint64_t>(now.tv_nsec) ^
           (static_cast<std::uint64_t>(now.tv_sec) << 20) ^ ++counter;
}

// Creates "<dir>/.<name>.<random>.tmp" beside target, mode 0o600 before the umask.
std::pair<TempFile, int> create_temp(const std::string& target, PyObject* full_path) {
    std::string::size_type slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string base = target.substr(dir.size());
    if (base.empty()) {
        raise_os_error(EISDIR, full_path);  // open(2) with O_CREAT on "dir/" says so too
    }
    // Room for the dot, the suffix and ".tmp" within NAME_MAX; too long a target fails at link.
    base.resize(std::min<std::string::size_type>(base.size(), 255 - 22));
    static const char digits[] = "0123456789abcdef";
    for (int attempt = 0;; ++attempt) {
        std::uint64_t r = random_suffix();
        std::string suffix(16, '0');
        for (char& c : suffix) {
            c = digits[r & 0xf];
            r >>= 4;
        }
        std::string path = dir + "." + base + "." + suffix + ".tmp";
        int fd = blocking([&path] {
            return ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        });
        if (fd >= 0) {
            return {TempFile(std::move(path)), fd};
        }
        if (fd != -EEXIST || attempt == 100) {
            raise_os_error(-fd, full_path);
        }
    }
}

// Writes through the host's text layer so the bytes are exactly those open(path, "w") writes
// (default encoding, newline translation); the descriptor stays ours to fsync and close.
void write_text(PyObject* globals, int fd, PyObject* value) {
    Ref open = load_global(globals, names().open);
    Ref fd_obj = Ref::steal(PyLong_FromLong(fd));
    Ref fp = call_kw(open.get(), {fd_obj.get(), names().mode_w}, {{names().closefd, Py_False}});
    with_block(fp.get(), [value](PyObject* target) {
        call_method(target, names().write, {value});
    });
}

bool links_refused(int err) noexcept {
    return err == EPERM || err == EXDEV || err == ENOTSUP || err == EOPNOTSUPP || err == ENOSYS;
}

// Gives the value the name full_path only if the name is still free, so a reader never sees a
// partial file and a file that appeared since the existence test is never truncated. Returns
// false when the name was taken.
bool publish(PyObject* globals, PyObject* full_path, PyObject* value) {
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(full_path, &converted)) {
        throw_error();
    }
    Ref fs_path = Ref::steal(converted);
    std::string target(PyBytes_AS_STRING(fs_path.get()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(fs_path.get())));

    auto [tmp, raw_fd] = create_temp(target, full_path);
    Fd fd(raw_fd);
    write_text(globals, fd.get(), value);
    if (int err = blocking([&fd] { return ::fsync(fd.get()); }); err < 0) {
        raise_os_error(-err, full_path);
    }
    if (int err = fd.close(); err < 0) {
        raise_os_error(-err, full_path);
    }

    int err = blocking([&] { return ::link(tmp.c_str(), target.c_str()); });
    if (links_refused(-err)) {
        // Some file systems have no hard links; a rename that refuses to replace is as atomic.
        err = blocking([&] {
            return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, tmp.c_str(), AT_FDCWD,
                                              target.c_str(), 1u /* RENAME_NOREPLACE */));
        });
        if (err == 0) {
            tmp.forget();
        }
    }
    if (err == -EEXIST) {
        return false;
    }
    if (err < 0) {
        raise_os_error(-err, full_path);
    }
    return true;  // the temporary name goes with tmp; the published link stays
}

// The file is there already: it is only read and compared, never rewritten. newline="" reads
// what was written, carriage returns included.
Ref existing_file(PyObject* globals, Ref full_path, PyObject* value) {
    Ref open = load_global(globals, names().open);
    Ref fp = call_kw(open.get(), {full_path.get()}, {{names().newline, names().empty_str}});
    with_block(fp.get(), [value](PyObject* target) {
        Ref lines = call_method(target, names().readlines, {});
        Ref existed = Ref::steal(PyUnicode_Join(names().empty_str, lines.get()));
        if (!truth(Ref::steal(PyObject_RichCompare(existed.get(), value, Py_EQ)).get())) {
            PyErr_SetString(PyExc_ValueError, "Impossible to overwrite an existed file");
            throw_error();
        }
    });
    return full_path;
}

}  // namespace

Ref get_secret_from_id_impl(const CallArgs& a) {
    PyObject* cls = a[0];
    PyObject* secret_id = a[1];
    PyObject* owner_name = a[2];
    PyObject* prefix = a[3];
    const Names& n = names();

    Ref record = call_method(cls, n.load, {secret_id});
    if (!truth(record.get())) {
        PyErr_SetString(PyExc_ValueError, "secret id not found");
        throw_error();
    }
    if (truth(owner_name)) {
        Ref owner = getattr(record.get(), n.owner_name);
        if (truth(Ref::steal(PyObject_RichCompare(owner.get(), owner_name, Py_NE)).get())) {
            PyErr_SetString(PyExc_ValueError, "Owner name of secret doesn't match");
            throw_error();
        }
    }
    if (truth(prefix)) {
        Ref name = getattr(record.get(), n.name);
        if (!truth(call_method(name.get(), n.startswith, {prefix}).get())) {
            PyErr_SetString(PyExc_ValueError, "Name prefix of secret doesn't match");
            throw_error();
        }
    }

    Ref decrypt = getattr(cls, n.decrypt);
    Ref token = getattr(record.get(), n.encrypted_secret);
    Ref key = getattr(cls, n.top_secret);
    Ref value = call(decrypt.get(), {token.get(), key.get()});
    if (!truth(getattr(record.get(), n.is_file).get())) {
        return value;
    }

    Ref filename = getattr(record.get(), n.file_name);
    if (!truth(filename.get())) {
        Ref uuid = load_global(a.globals(), n.uuid);
        Ref fresh = call_method(uuid.get(), n.uuid4, {});
        Ref str = load_global(a.globals(), n.str);
        filename = call(str.get(), {fresh.get()});
    }
    // Operands in the order Python evaluates os.path.join(secret_obj.file_path, filename).
    Ref join = getattr(getattr(load_global(a.globals(), n.os).get(), n.path).get(), n.join);
    Ref directory = getattr(record.get(), n.file_path);
    Ref full_path = call(join.get(), {directory.get(), filename.get()});

    Ref exists = getattr(getattr(load_global(a.globals(), n.os).get(), n.path).get(), n.exists);
    if (truth(call(exists.get(), {full_path.get()}).get())) {
        return existing_file(a.globals(), std::move(full_path), value.get());
    }

    Ref path_type = load_global(a.globals(), n.Path);
    Ref file_path = getattr(record.get(), n.file_path);
    Ref dir = call(path_type.get(), {file_path.get()});
    Ref mkdir = getattr(dir.get(), n.mkdir);
    call_kw(mkdir.get(), {}, {{n.parents, Py_True}, {n.exist_ok, Py_True}});

    if (!publish(a.globals(), full_path.get(), value.get())) {
        return existing_file(a.globals(), std::move(full_path), value.get());
    }
    return full_path;
}

}  // namespace kuv
