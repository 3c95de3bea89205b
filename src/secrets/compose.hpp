// What the string substitution and the walker share.
#pragma once

#include "methods.hpp"

#include <cstring>

namespace kuv {

// True when `found`, the object a global lookup just returned, is the host's own builtin `name`,
// so that the C API behind it (PyCallable_Check, PyObject_IsInstance) may be called instead.
// builtin_callable and builtin_isinstance are C functions of the `builtins` module and do nothing
// but that. Decided on every use from the object found: a rebinding, in the module or in
// builtins, makes this false and the object found is called as Python would call it.
inline bool is_host_builtin(PyObject* found, const char* name) noexcept {
    if (!PyCFunction_Check(found)) {
        return false;
    }
    const auto* f = reinterpret_cast<PyCFunctionObject*>(found);
    if (std::strcmp(f->m_ml->ml_name, name) != 0 || !f->m_self || !PyModule_Check(f->m_self)) {
        return false;
    }
    const PyModuleDef* def = PyModule_GetDef(f->m_self);
    return def && def->m_name && std::strcmp(def->m_name, "builtins") == 0;
}

// The native function behind a bound method, when it runs `impl`; nullptr otherwise. Lets the
// walker enter our own methods without a Python-level call, with the same arguments.
inline NativeFunction* native_method_of(PyObject* method, Impl impl) noexcept {
    if (!PyMethod_Check(method)) {
        return nullptr;
    }
    PyObject* func = PyMethod_GET_FUNCTION(method);
    if (!is_native_function(func) || impl_of(func) != impl) {
        return nullptr;
    }
    return reinterpret_cast<NativeFunction*>(func);
}

}  // namespace kuv
