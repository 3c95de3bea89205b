// Resolution of a secret id to its value or to the file that holds it.
#include "methods.hpp"
#include "secretfile.hpp"

#include <initializer_list>
#include <utility>
#include <vector>

namespace kuv {
namespace {

// callable(*positional, **dict(zip(keywords, values))) in one vectorcall; null with the error set
// when the call fails.
Ref call_kw_or_null(PyObject* callable, std::initializer_list<PyObject*> positional,
                    std::initializer_list<std::pair<PyObject*, PyObject*>> keywords) {
    std::vector<PyObject*> args(positional);
    Ref kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    Py_ssize_t i = 0;
    for (const auto& [name, value] : keywords) {
        PyTuple_SET_ITEM(kwnames.get(), i++, Py_NewRef(name));
        args.push_back(value);
    }
    return Ref::steal_or_null(
        PyObject_Vectorcall(callable, args.data(), positional.size(), kwnames.get()));
}

// Path(file_path).mkdir(parents=True, exist_ok=True), except that the parents it makes are 0o700
// too, where pathlib makes them 0o777: pathlib.Path.mkdir's walk up, with the mode passed on.
void make_directories(PyObject* path_type, PyObject* file_path) {
    const Names& n = names();
    Ref mode = Ref::steal(PyLong_FromLong(0700));
    auto mkdir = [&](PyObject* dir) {
        Ref method = getattr(dir, n.mkdir);
        return call_kw_or_null(method.get(), {}, {{n.mode, mode.get()}, {n.exist_ok, Py_True}});
    };
    std::vector<Ref> missing;
    Ref dir = call(path_type, {file_path});
    while (!mkdir(dir.get())) {
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
            throw_error();
        }
        compat::SavedError not_found;
        Ref parent = Ref::steal_or_null(PyObject_GetAttr(dir.get(), n.parent));
        int top = parent ? PyObject_RichCompareBool(parent.get(), dir.get(), Py_EQ) : -1;
        if (top != 0) {
            if (top > 0) {
                not_found.restore();
            } else {
                not_found.discard();
            }
            throw_error();
        }
        not_found.discard();
        missing.push_back(std::exchange(dir, std::move(parent)));
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (!mkdir(it->get())) {
            throw_error();
        }
    }
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

    Ref data = secret_bytes(value.get());
    Ref exists = getattr(getattr(load_global(a.globals(), n.os).get(), n.path).get(), n.exists);
    if (truth(call(exists.get(), {full_path.get()}).get())) {
        check_existing_file(full_path.get(), data.get());
        return full_path;
    }

    Ref path_type = load_global(a.globals(), n.Path);
    Ref file_path = getattr(record.get(), n.file_path);
    make_directories(path_type.get(), file_path.get());
    if (!publish_file(full_path.get(), data.get())) {
        check_existing_file(full_path.get(), data.get());
    }
    return full_path;
}

}  // namespace kuv
