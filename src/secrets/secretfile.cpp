// Publication and comparison of secret files, done with system calls so that every step can be
// bounded (no blocking open, no unbounded read) and every failure can name the user's path.
#include "secretfile.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

namespace kuv {
namespace {

[[noreturn]] void raise_os_error(int err, PyObject* path) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    throw_error();
}

// OSError(err, text, path): the constructor picks the subclass for err, as the C API's errno
// helpers do, but the words are ours.
[[noreturn]] void raise_os_error(int err, const char* text, PyObject* path) {
    Ref exc = Ref::steal(PyObject_CallFunction(PyExc_OSError, "isO", err, text, path));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    throw_error();
}

// Runs a system call with the GIL released; returns its result, or -errno on failure.
template <class Syscall>
auto blocking(Syscall&& syscall) noexcept {
    PyThreadState* state = PyEval_SaveThread();
    auto result = syscall();
    if (result < 0) {
        result = -errno;
    }
    PyEval_RestoreThread(state);
    return result;
}

// blocking(), restarted after a signal once Python's handlers have run, as PEP 475 asks.
template <class Syscall>
auto restarting(Syscall&& syscall) {
    for (;;) {
        auto result = blocking(syscall);
        if (result != -EINTR) {
            return result;
        }
        check(PyErr_CheckSignals());
    }
}

class Fd {
public:
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
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

// A named file of ours that must not outlive a failed publication.
class TempFile {
public:
    explicit TempFile(std::string path) noexcept : path_(std::move(path)) {}
    TempFile(TempFile&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() { remove(); }
    const char* c_str() const noexcept { return path_.c_str(); }
    void remove() noexcept {
        if (!path_.empty()) {
            ::unlink(path_.c_str());
            path_.clear();
        }
    }
    void forget() noexcept { path_.clear(); }

private:
    std::string path_;
};

std::string fs_path(PyObject* path) {
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(path, &converted)) {
        throw_error();
    }
    Ref bytes = Ref::steal(converted);
    return std::string(PyBytes_AS_STRING(bytes.get()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

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

// "<dir>.<base>.<random>.tmp"; dir is empty or ends in '/'.
std::string temp_name(const std::string& dir, std::string base) {
    // Room for the dot, the suffix and ".tmp" within NAME_MAX; too long a target fails at link.
    base.resize(std::min<std::string::size_type>(base.size(), 255 - 22));
    static const char digits[] = "0123456789abcdef";
    std::uint64_t r = random_suffix();
    std::string suffix(16, '0');
    for (char& c : suffix) {
        c = digits[r & 0xf];
        r >>= 4;
    }
    return dir + "." + base + "." + suffix + ".tmp";
}

// Creates a temp_name() file, mode 0o600 before the umask.
std::pair<TempFile, int> create_temp(const std::string& dir, const std::string& base,
                                     PyObject* path) {
    for (int attempt = 0;; ++attempt) {
        std::string name = temp_name(dir, base);
        int fd = restarting([&name] {
            return ::open(name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        });
        if (fd >= 0) {
            return {TempFile(std::move(name)), fd};
        }
        if (fd != -EEXIST || attempt == 100) {
            raise_os_error(-fd, path);
        }
    }
}

void write_all(int fd, PyObject* data, PyObject* path) {
    const char* p = PyBytes_AS_STRING(data);
    std::size_t left = static_cast<std::size_t>(PyBytes_GET_SIZE(data));
    while (left > 0) {
        ssize_t n = restarting([&] { return ::write(fd, p, left); });
        if (n < 0) {
            raise_os_error(static_cast<int>(-n), path);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (int err = restarting([fd] { return ::fsync(fd); }); err < 0) {
        raise_os_error(-err, path);
    }
    // A handler that raised while the data went out (a write is not interrupted once it has
    // begun) abandons the file before it gets a name, as one raised mid-write does.
    check(PyErr_CheckSignals());
}

// Up to `limit` bytes, fewer only at the end of the file.
std::string read_at_most(int fd, std::size_t limit, PyObject* path) {
    std::string content(limit, '\0');
    std::size_t got = 0;
    while (got < limit) {
        ssize_t n = restarting([&] { return ::read(fd, &content[got], limit - got); });
        if (n < 0) {
            raise_os_error(static_cast<int>(-n), path);
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    content.resize(got);
    return content;
}

// Makes the new name durable; the file is in place whatever this says, so failures are dropped.
void sync_directory(const std::string& dir) noexcept {
    blocking([&dir] {
        int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
        return 0;
    });
}

bool links_refused(int err) noexcept {
    return err == EPERM || err == EXDEV || err == EOPNOTSUPP || err == ENOSYS;
}

// The user's path taken apart: dir is empty or ends in '/', base is never empty.
struct Target {
    std::string path;
    std::string dir;
    std::string base;
    std::string sync_dir;
};

Target split_target(PyObject* path) {
    std::string target = fs_path(path);
    std::string::size_type slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string base = target.substr(dir.size());
    if (base.empty()) {
        raise_os_error(EISDIR, path);  // open(2) with O_CREAT on "dir/" says so too
    }
    std::string sync_dir = dir.empty() ? std::string(".") : dir;
    return {std::move(target), std::move(dir), std::move(base), std::move(sync_dir)};
}

// An unnamed file in the target's directory holding `data`, or no file (-1) where the file
// system has none. It has no name to leave behind when the process dies mid-write.
Fd unnamed_file(const Target& t, PyObject* data, PyObject* path) {
    int raw_fd = restarting([&t] {
        return ::open(t.sync_dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    });
    if (raw_fd < 0) {
        if (raw_fd != -EOPNOTSUPP && raw_fd != -EISDIR && raw_fd != -EINVAL) {
            raise_os_error(-raw_fd, path);
        }
        return Fd(-1);
    }
    Fd fd(raw_fd);
    write_all(fd.get(), data, path);
    return fd;
}

// Gives an unnamed file the name `to`; 0 or -errno.
int link_unnamed(const Fd& fd, const std::string& to) {
    std::string proc = "/proc/self/fd/" + std::to_string(fd.get());
    return blocking([&] {
        return ::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, to.c_str(), AT_SYMLINK_FOLLOW);
    });
}

// A hidden named temporary file holding `data`, written and closed.
TempFile named_temp(const Target& t, PyObject* data, PyObject* path) {
    auto [tmp, raw_fd] = create_temp(t.dir, t.base, path);
    Fd fd(raw_fd);
    write_all(fd.get(), data, path);
    if (int err = fd.close(); err < 0) {
        raise_os_error(-err, path);
    }
    return std::move(tmp);
}

// The fallback for file systems without unnamed files (or without /proc): a hidden named
// temporary, linked into place, or renamed where links are refused.
bool publish_named(const Target& t, bool try_link, PyObject* data, PyObject* path) {
    TempFile tmp = named_temp(t, data, path);
    if (try_link) {
        int err = blocking([&] { return ::link(tmp.c_str(), t.path.c_str()); });
        if (err == 0) {
            tmp.remove();
            sync_directory(t.sync_dir);
            return true;
        }
        if (err == -EEXIST) {
            return false;
        }
        if (!links_refused(-err)) {
            raise_os_error(-err, path);
        }
    }
    int err = blocking([&] {
        return ::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, t.path.c_str(), RENAME_NOREPLACE);
    });
    if (err == 0) {
        tmp.forget();
        sync_directory(t.sync_dir);
        return true;
    }
    if (err == -EEXIST) {
        return false;
    }
    if (err == -ENOSYS || err == -EINVAL) {
        raise_os_error(-err,
                       "The file system can publish the file neither by a hard link nor by an "
                       "exclusive rename",
                       path);
    }
    raise_os_error(-err, path);
}

// A hidden temporary file in the target's directory holding `data`, to be renamed over it.
TempFile temp_holding(const Target& t, PyObject* data, PyObject* path) {
    if (Fd fd = unnamed_file(t, data, path); fd.get() >= 0) {
        for (int attempt = 0;; ++attempt) {
            std::string name = temp_name(t.dir, t.base);
            int err = link_unnamed(fd, name);
            if (err == 0) {
                return TempFile(std::move(name));
            }
            // No /proc, or no links: a named file renames all the same.
            if (err == -ENOENT || links_refused(-err)) {
                break;
            }
            if (err != -EEXIST || attempt == 100) {
                raise_os_error(-err, path);
            }
        }
    }
    return named_temp(t, data, path);
}

const char* kind_of(mode_t mode) noexcept {
    if (S_ISFIFO(mode)) {
        return "Not a regular file but a FIFO";
    }
    if (S_ISCHR(mode)) {
        return "Not a regular file but a character device";
    }
    if (S_ISBLK(mode)) {
        return "Not a regular file but a block device";
    }
    if (S_ISSOCK(mode)) {
        return "Not a regular file but a socket";
    }
    return "Not a regular file";
}

[[noreturn]] void raise_other_content() {
    PyErr_SetString(PyExc_ValueError, "Impossible to overwrite an existed file");
    throw_error();
}

void require_regular(mode_t mode, PyObject* path) {
    if (S_ISDIR(mode)) {
        raise_os_error(EISDIR, path);
    }
    if (!S_ISREG(mode)) {
        raise_os_error(EINVAL, kind_of(mode), path);
    }
}

enum class Held { same, other, absent };

Held compare_file(PyObject* path, PyObject* data, bool follow_symlinks) {
    std::string name = fs_path(path);
    struct stat st {};
    // Looked at before it is opened: opening a device can act on it, a socket cannot be opened.
    if (blocking([&] {
            return follow_symlinks ? ::stat(name.c_str(), &st) : ::lstat(name.c_str(), &st);
        }) == 0) {
        if (S_ISLNK(st.st_mode)) {
            raise_os_error(ELOOP, "A symbolic link, not a file", path);
        }
        require_regular(st.st_mode, path);
    }
    // O_NONBLOCK: a FIFO swapped in since must not hang us before fstat can tell what it is.
    int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (follow_symlinks ? 0 : O_NOFOLLOW);
    int raw_fd = restarting([&name, flags] { return ::open(name.c_str(), flags); });
    if (raw_fd == -ENOENT) {
        return Held::absent;
    }
    if (raw_fd < 0) {
        raise_os_error(-raw_fd, path);
    }
    Fd fd(raw_fd);
    if (int err = blocking([&] { return ::fstat(fd.get(), &st); }); err < 0) {
        raise_os_error(-err, path);
    }
    check_trusted(st.st_mode, st.st_uid, path);
    std::size_t size = static_cast<std::size_t>(PyBytes_GET_SIZE(data));
    if (static_cast<std::uintmax_t>(st.st_size) != size) {
        return Held::other;
    }
    // One byte more than expected tells a file that grew since fstat.
    std::string content = read_at_most(fd.get(), size + 1, path);
    if (content.size() != size || std::memcmp(content.data(), PyBytes_AS_STRING(data), size) != 0) {
        return Held::other;
    }
    return Held::same;
}

}  // namespace

Ref secret_bytes(PyObject* value) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "a secret value must be str, not %.200s",
                     Py_TYPE(value)->tp_name);
        throw_error();
    }
    PyObject* bytes = PyUnicode_AsUTF8String(value);
    if (!bytes && PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
        // The codec's message quotes the offending character and its exception holds the value.
        PyErr_Clear();
        PyErr_SetString(PyExc_UnicodeError,
                        "The secret value is not valid Unicode text (it holds a lone surrogate) "
                        "and cannot be written to a file");
    }
    return Ref::steal(bytes);
}

bool publish_file(PyObject* path, PyObject* data) {
    Target t = split_target(path);
    bool try_link = true;
    if (Fd fd = unnamed_file(t, data, path); fd.get() >= 0) {
        int err = link_unnamed(fd, t.path);
        if (err == 0) {
            sync_directory(t.sync_dir);
            return true;
        }
        if (err == -EEXIST) {
            return false;
        }
        // ENOENT: no /proc. Had the directory gone, the named file fails on it with that error.
        if (links_refused(-err)) {
            try_link = false;
        } else if (err != -ENOENT) {
            raise_os_error(-err, path);
        }
    }
    return publish_named(t, try_link, data, path);
}

void replace_file(PyObject* path, PyObject* data) {
    Target t = split_target(path);
    TempFile tmp = temp_holding(t, data, path);
    if (int err = blocking([&] { return ::rename(tmp.c_str(), t.path.c_str()); }); err < 0) {
        raise_os_error(-err, path);
    }
    tmp.forget();
    sync_directory(t.sync_dir);
}

void check_trusted(mode_t mode, uid_t owner, PyObject* path) {
    require_regular(mode, path);
    // Handing out a path whose content someone else can change would hand out their value.
    if (owner != ::geteuid()) {
        raise_os_error(EACCES, "Refusing a secret file that another user owns", path);
    }
    if (mode & (S_IWGRP | S_IWOTH)) {
        raise_os_error(EACCES, "Refusing a secret file that its group or others may write", path);
    }
}

bool file_holds(PyObject* path, PyObject* data, bool follow_symlinks) {
    return compare_file(path, data, follow_symlinks) == Held::same;
}

void check_existing_file(PyObject* path, PyObject* data) {
    switch (compare_file(path, data, true)) {
    case Held::same:
        return;
    case Held::other:
        raise_other_content();
    case Held::absent:
        raise_os_error(ENOENT, path);
    }
}

}  // namespace kuv
