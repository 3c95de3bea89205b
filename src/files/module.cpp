// kuv_secrets._files: the secrets module's publication and trust of files, for the command line,
// so that both follow one implementation (secretfile.cpp).
#include "errors.hpp"
#include "secretfile.hpp"

namespace kuv {
namespace {

const char* const publish_keywords[] = {"path", "data", "replace", nullptr};
const char* const holds_keywords[] = {"path", "data", "follow_symlinks", nullptr};
const char* const check_keywords[] = {"info", "path", nullptr};

// PyArg_ParseTupleAndKeywords takes char* const* from 3.13 on, char** before.
char** keywords(const char* const* names) { return const_cast<char**>(names); }

PyObject* publish(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&] {
        PyObject* path = nullptr;
        PyObject* data = nullptr;
        int replace = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OS|$p:publish", keywords(publish_keywords),
                                         &path, &data, &replace)) {
            throw_error();
        }
        if (replace) {
            replace_file(path, data);
            return Ref::new_ref(Py_True);
        }
        return Ref::new_ref(publish_file(path, data) ? Py_True : Py_False);
    });
}

PyObject* holds(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&] {
        PyObject* path = nullptr;
        PyObject* data = nullptr;
        int follow_symlinks = 1;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OS|$p:holds", keywords(holds_keywords),
                                         &path, &data, &follow_symlinks)) {
            throw_error();
        }
        return Ref::new_ref(file_holds(path, data, follow_symlinks != 0) ? Py_True : Py_False);
    });
}

// An attribute of a stat result as the unsigned number the system's stat gives.
unsigned long stat_field(PyObject* info, const char* name) {
    Ref value = Ref::steal(PyObject_GetAttrString(info, name));
    unsigned long n = PyLong_AsUnsignedLong(value.get());
    if (n == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
        throw_error();
    }
    return n;
}

PyObject* check(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&] {
        PyObject* info = nullptr;
        PyObject* path = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:check", keywords(check_keywords), &info,
                                         &path)) {
            throw_error();
        }
        check_trusted(static_cast<mode_t>(stat_field(info, "st_mode")),
                      static_cast<uid_t>(stat_field(info, "st_uid")), path);
        return Ref::new_ref(Py_None);
    });
}

using KeywordFunction = PyObject* (*)(PyObject*, PyObject*, PyObject*) noexcept;

// METH_KEYWORDS functions sit in the table as PyCFunction, as in CPython's own modules.
PyCFunction with_keywords(KeywordFunction f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef methods[] = {
    {"publish", with_keywords(publish), METH_VARARGS | METH_KEYWORDS,
     "publish($module, /, path, data, *, replace=False)\n--\n\n"
     "Publish data at path in one step, mode 0o600 before the umask: a reader sees all of it\n"
     "or nothing, and a failure (a signal handler's exception too) leaves what was there and\n"
     "no temporary file. Without replace only if the name is free, False when it was taken;\n"
     "with replace in place of whatever file is there, by a rename."},
    {"holds", with_keywords(holds), METH_VARARGS | METH_KEYWORDS,
     "holds($module, /, path, data, *, follow_symlinks=True)\n--\n\n"
     "Whether the trusted file at path holds exactly data; False when there is none.\n\n"
     "Raises an OSError naming path for anything else there: not a regular file, another\n"
     "user's, writable by its group or others, or (without follow_symlinks) a symbolic link."},
    {"check", with_keywords(check), METH_VARARGS | METH_KEYWORDS,
     "check($module, /, info, path)\n--\n\n"
     "Raise the OSError naming path that resolution raises for a file with this os.stat()\n"
     "result: one it takes no secret from."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_files",  // the host substitutes the dotted name when loading us inside a package
    "Publication and trust of files, as the secrets module does them.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kuv

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__files() {
    return PyModule_Create(&kuv::module_def);
}
