// What the string substitution and the walker share.
#pragma once

#include "methods.hpp"

namespace kuv {

// strcmp() == 0 for the short names compared here, without a library call.
inline bool same_text(const char* a, const char* b) noexcept {
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// The global names whose lookups a Scope can prove unchanged from one use to the next.
enum class Known { isinstance, dict, list, str, callable, count };

// The global names of one call: the function's globals, then the builtins they name, as
// LOAD_GLOBAL reads them. Each name is looked up again at each use; only the builtins mapping is
// read once per call from Python (a whole walk shares it), as a Python function reads it once,
// when it is made.
class Scope {
public:
    explicit Scope(PyObject* globals);

    Ref operator[](PyObject* name) const {
        // Contains, then a get that cannot miss: no PyErr_Occurred (a thread-local read) for the
        // usual miss in the module's globals.
        if (check(PyDict_Contains(globals_, name))) {
            if (PyObject* found = PyDict_GetItemWithError(globals_, name)) {
                return Ref::new_ref(found);
            }
        } else if (PyDict_CheckExact(builtins_.get())) {
            if (PyObject* found = PyDict_GetItemWithError(builtins_.get(), name)) {
                return Ref::new_ref(found);
            }
        }
        if (PyErr_Occurred()) {
            throw_error();
        }
        return load_global(globals_, name);  // the general case, and its NameError
    }

    // scope[name] for a known name; `host` tells whether it is the host's own builtin of that
    // name (is_host_builtin). What an earlier use found is reused only while both dicts are
    // proven unchanged since, as the LOAD_GLOBAL cache of 3.10 does with their version tags.
    Ref known(Known name, bool* host) const;

    // True, with dict, list and str as the scope would find them now (borrowed), when `isinstance`
    // is the host's own and all three are exact types: then isinstance(obj, t) for an object of
    // a plain builtin type is PyObject_TypeCheck and runs no Python code.
    bool plain_types(PyObject* types[3]) const noexcept;

    PyObject* globals() const noexcept { return globals_; }
    PyObject* builtins() const noexcept { return builtins_.get(); }

private:
    PyObject* globals_;  // borrowed from the running function, which holds it
    Ref builtins_;
};

// True when `found`, what scope[name] just returned, is the host's own builtin `name`: a C
// function of the builtins module that this scope reads. Then the C API behind it
// (PyCallable_Check, PyObject_IsInstance) may be called instead, as builtin_callable and
// builtin_isinstance in bltinmodule.c do nothing else. Decided on every use from the object
// found, so a rebinding, in the module or in builtins, is called as Python would call it.
inline bool is_host_builtin(const Scope& scope, PyObject* found, const char* name) noexcept {
    if (!PyCFunction_CheckExact(found)) {
        return false;
    }
    const auto* f = reinterpret_cast<PyCFunctionObject*>(found);
    return f->m_self && PyModule_CheckExact(f->m_self) &&
           PyModule_GetDict(f->m_self) == scope.builtins() && same_text(f->m_ml->ml_name, name);
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

// The resolver handed to the composer: an object as given, or what cls.get_secret_from_id is
// proven to give, PyMethod_New(function, cls), made only once a string holds a reference.
class Resolver {
public:
    explicit Resolver(PyObject* given) noexcept : given_(given) {}
    explicit Resolver(Ref given) noexcept : given_(given.get()), bound_(std::move(given)) {}
    Resolver(Ref function, PyObject* cls) noexcept : function_(std::move(function)), cls_(cls) {}

    PyObject* get() {
        if (!given_) {
            bound_ = Ref::steal(PyMethod_New(function_.get(), cls_));
            given_ = bound_.get();
        }
        return given_;
    }
    // True when it is a method not made yet (and so callable).
    bool pending() const noexcept { return !given_; }

private:
    PyObject* given_ = nullptr;  // borrowed from the caller, or bound_
    Ref function_;
    PyObject* cls_ = nullptr;  // borrowed from the walk, which holds it
    Ref bound_;
};

// secret_composer_impl for a caller that has the scope of the composer's globals at hand.
Ref compose(const Scope& scope, PyObject* raw, Resolver& resolver, PyObject* owner,
            PyObject* prefix);

}  // namespace kuv
