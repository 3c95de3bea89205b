// Start-up: the module registers itself, binds its nine names in order, and creates Secrets.
// Single-phase initialisation; on any failure the module leaves sys.modules again.
#include "classdef.hpp"
#include "imports.hpp"
#include "methods.hpp"

#include <dlfcn.h>

#include <climits>
#include <cstdlib>

namespace kuv {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "secrets",  // the host substitutes the dotted name when loading us inside a package
    nullptr,
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

const FunctionSpec get_top_secret_spec = {
    "get_top_secret",
    "get_top_secret",
    "Get Top Secret\n\n    Priority:\n        1. via environment variable\n        2. via "
    "/run/secrets/zam_top_secret (Docker)\n    ",
    {"key"},
    1,
    false,
    get_top_secret_impl,
};

// The path of this shared object, resolved, for __file__.
Ref shared_object_path() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&shared_object_path), &info) || !info.dli_fname) {
        return Ref::new_ref(Py_None);
    }
    char resolved[PATH_MAX];
    const char* path = realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
    return Ref::steal(PyUnicode_DecodeFSDefault(path));
}

void set_item(PyObject* dict, PyObject* name, PyObject* value) { check(PyDict_SetItem(dict, name, value)); }

// Step 2: the attributes the import system expects of a module loaded from a file.
void set_standard_attributes(PyObject* globals, PyObject* name) {
    Py_ssize_t dot = PyUnicode_FindChar(name, '.', 0, PyUnicode_GET_LENGTH(name), -1);
    if (dot == -2) {
        throw_error();
    }
    if (dot >= 0) {
        Ref package = Ref::steal(PyUnicode_Substring(name, 0, dot));
        set_item(globals, names().__package__, package.get());
    }
    if (!check(PyDict_Contains(globals, names().__builtins__))) {
        set_item(globals, names().__builtins__, PyEval_GetBuiltins());
    }
    Ref file = shared_object_path();
    Ref machinery = Ref::steal(PyImport_ImportModule("importlib.machinery"));
    Ref util = Ref::steal(PyImport_ImportModule("importlib.util"));
    Ref loader_type = Ref::steal(PyObject_GetAttrString(machinery.get(), "ExtensionFileLoader"));
    Ref loader = call(loader_type.get(), {name, file.get()});
    Ref from_location = Ref::steal(PyObject_GetAttrString(util.get(), "spec_from_file_location"));
    Ref kwnames = Ref::steal(Py_BuildValue("(s)", "loader"));
    PyObject* args[] = {name, file.get(), loader.get()};
    Ref spec = Ref::steal(PyObject_Vectorcall(from_location.get(), args, 2, kwnames.get()));
    set_item(globals, names().__loader__, loader.get());
    set_item(globals, names().__spec__, spec.get());
    set_item(globals, names().__doc__, Py_None);
    set_item(globals, names().__file__, file.get());
    set_item(globals, names().__cached__, Py_None);
}

// `from <module> import <names...>`: each name bound as soon as it is taken.
void from_import(PyObject* globals, const char* module, std::initializer_list<PyObject*> fromlist_names) {
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(fromlist_names.size())));
    Py_ssize_t i = 0;
    for (PyObject* n : fromlist_names) {
        PyTuple_SET_ITEM(fromlist.get(), i++, Py_NewRef(n));
    }
    Ref imported = import_name(globals, module, fromlist.get());
    for (PyObject* n : fromlist_names) {
        Ref value = import_from(imported.get(), n);
        set_item(globals, n, value.get());
    }
}

void initialise(PyObject* module, PyObject* name) {
    PyObject* globals = PyModule_GetDict(module);  // borrowed from the module
    set_standard_attributes(globals, name);

    Ref os = Ref::steal(PyImport_ImportModule("os"));
    set_item(globals, names().os, os.get());
    from_import(globals, "pathlib", {names().Path});
    Ref uuid = import_name(globals, "uuid", Py_None);
    set_item(globals, names().uuid, uuid.get());
    from_import(globals, "cryptography.fernet", {names().Fernet});
    from_import(globals, "kuv_fields", {names().StringField, names().BooleanField});
    from_import(globals, "kuv_meta", {names().VirtualWorker});

    Ref no_annotation_defaults = Ref::new_ref(Py_None);
    Ref annotations = Ref::steal(PyDict_New());
    Ref str_type = load_global(globals, names().str);
    set_item(annotations.get(), names().key, str_type.get());
    Ref get_top_secret =
        make_function(get_top_secret_spec, globals, name, no_annotation_defaults.get(), annotations.get());
    set_item(globals, names().get_top_secret, get_top_secret.get());

    Ref cls = create_secrets_class(globals, name);
    set_item(globals, names().Secrets, cls.get());
}

}  // namespace

}  // namespace kuv

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_secrets() {
    using namespace kuv;
    PyObject* module = PyModule_Create(&module_def);
    if (!module) {
        return nullptr;
    }
    Ref owned = Ref::steal(module);
    Ref name;
    bool registered = false;
    PyObject* result = guard([&]() -> Ref {
        init_names();
        ready_function_type();
        name = Ref::steal(PyModule_GetNameObject(module));
        check(PyDict_SetItem(PyImport_GetModuleDict(), name.get(), module));
        registered = true;
        initialise(module, name.get());
        return std::move(owned);
    });
    if (!result && registered) {
        // Leave the registry as if the import never began; the pending error survives.
        compat::SavedError pending;
        if (PyDict_DelItem(PyImport_GetModuleDict(), name.get()) < 0) {
            PyErr_Clear();
        }
    }
    return result;
}
