// A native function type that looks like a Python function to introspection and binds like one
// (mirrors Objects/funcobject.c), so the methods of Secrets and get_top_secret can be native.
#pragma once

#include "pyhelpers.hpp"

namespace kuv {

struct NativeFunction;

// The arguments of one call, bound to the parameters as a Python function binds them.
struct CallArgs {
    PyObject* const* args;   // one per named parameter, defaults filled in; borrowed
    PyObject* kwargs;        // the fresh **kwargs dict, or nullptr without **kwargs; borrowed
    NativeFunction* func;    // the function being called; borrowed

    PyObject* operator[](Py_ssize_t i) const noexcept { return args[i]; }
    PyObject* globals() const noexcept;     // the defining module's namespace; borrowed
    PyObject* class_cell() const noexcept;  // the implicit __class__, or nullptr; borrowed
};

using Impl = Ref (*)(const CallArgs&);

constexpr int max_params = 5;

// What class creation or start-up knows about a function before making it.
struct FunctionSpec {
    const char* name;
    const char* qualname;
    const char* doc;                    // nullptr for None
    const char* params[max_params];     // named positional-or-keyword parameters, in order
    int nparams;
    bool varkw;                         // takes **kwargs (named "kwargs")
    Impl impl;
};

// Makes a function object. `defaults` is a tuple or None; `annotations` a dict (taken as is).
Ref make_function(const FunctionSpec& spec, PyObject* globals, PyObject* module_name,
                  PyObject* defaults, PyObject* annotations);

// Fills the implicit __class__ reference (class creation, after the metaclass returned).
void set_class_cell(PyObject* function, PyObject* cls);

// Call-time access for the implementations.
bool is_native_function(PyObject* obj) noexcept;
Impl impl_of(PyObject* function) noexcept;  // the function must be a native function
PyObject* globals_of(PyObject* function) noexcept;  // likewise; borrowed

// Readies the type; start-up calls it once before making functions.
void ready_function_type();

}  // namespace kuv
