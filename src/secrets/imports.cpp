#include "imports.hpp"

namespace kuv {

Ref import_name(PyObject* globals, const char* name, PyObject* fromlist) {
    Ref builtins = builtins_of(globals);
    PyObject* import_func = nullptr;
    if (PyDict_Check(builtins.get())) {
        if (!check(compat::dict_get_ref(builtins.get(), names().__import__, &import_func))) {
            PyErr_SetString(PyExc_ImportError, "__import__ not found");
            throw_error();
        }
    } else {
        import_func = PyObject_GetItem(builtins.get(), names().__import__);
    }
    Ref import = Ref::steal(import_func);
    Ref module_name = Ref::steal(PyUnicode_FromString(name));
    Ref level = Ref::steal(PyLong_FromLong(0));
    return call(import.get(), {module_name.get(), globals, Py_None, fromlist, level.get()});
}

Ref import_from(PyObject* module, PyObject* name) {
    PyObject* found = nullptr;
    if (check(compat::get_optional_attr(module, name, &found))) {
        return Ref::steal(found);
    }
    // A submodule that the import system holds but has not bound on its package yet.
    Ref package_name = Ref::steal_or_null(PyObject_GetAttr(module, names().__name__));
    if (!package_name) {
        PyErr_Clear();
    } else if (!PyUnicode_Check(package_name.get())) {
        package_name.reset();
    } else {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", package_name.get(), name));
        Ref sub = Ref::steal_or_null(PyImport_GetModule(full.get()));
        if (sub) {
            return sub;
        }
        if (PyErr_Occurred()) {
            throw_error();
        }
    }
    Ref shown_name = package_name ? package_name.copy()
                                  : Ref::steal(PyUnicode_FromString("<unknown module name>"));
    Ref location = Ref::steal_or_null(PyModule_GetFilenameObject(module));
    if (!location || !PyUnicode_Check(location.get())) {
        PyErr_Clear();
        location.reset();
    }
    Ref shown_location = location ? location.copy() : Ref::steal(PyUnicode_FromString("unknown location"));
    Ref message = Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name,
                                                  shown_name.get(), shown_location.get()));
    PyErr_SetImportError(message.get(), package_name.get(), location.get());
    throw_error();
}

}  // namespace kuv
