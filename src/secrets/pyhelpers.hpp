// Small wrappers over the C API that throw PyErrorSet instead of returning NULL, and the Python
// statements the module performs by hand (global lookup, `with`).
#pragma once

#include "errors.hpp"
#include "names.hpp"

#include <initializer_list>

namespace kuv {

// The globals-then-builtins lookup of LOAD_GLOBAL, done at each use so rebinding takes effect.
// Raises NameError "name 'x' is not defined" when neither has the name.
Ref load_global(PyObject* globals, PyObject* name);

// The builtins that a function with these globals sees (globals["__builtins__"], a dict or a
// module, else the interpreter's).
Ref builtins_of(PyObject* globals);

inline Ref getattr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

inline void setattr(PyObject* obj, PyObject* name, PyObject* value) {
    check(PyObject_SetAttr(obj, name, value));
}

// callable(*args), positional only.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
    return Ref::steal(PyObject_Vectorcall(callable, const_cast<PyObject* const*>(args.begin()),
                                          args.size(), nullptr));
}

// obj.name(*args): the attribute is looked up first, then called, as LOAD_METHOD/CALL do.
inline Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args) {
    Ref method = getattr(obj, name);
    return call(method.get(), args);
}

inline bool truth(PyObject* obj) { return check(PyObject_IsTrue(obj)) != 0; }

// left + right with the host's `+` (left operand first).
inline Ref add(PyObject* left, PyObject* right) { return Ref::steal(PyNumber_Add(left, right)); }

// `with manager as target: body(target)`, as the interpreter runs it: __enter__ and __exit__ are
// looked up on the type before __enter__ is called; an exception from the body goes to
// __exit__(type, value, tb) and is suppressed when that returns true; otherwise __exit__ gets
// (None, None, None) and its own exception, if any, replaces the result.
// Returns true when the body completed, false when its exception was suppressed.
template <class Body>
bool with_block(PyObject* manager, Body&& body);

// Helpers for with_block, not for direct use.
namespace detail {
struct WithExit {
    Ref exit;
    Ref self;
};
WithExit with_enter(PyObject* manager, Ref& target);
bool with_exit_on_error(WithExit& w);  // true: suppressed; the error is cleared
void with_exit_normal(WithExit& w);
}  // namespace detail

template <class Body>
bool with_block(PyObject* manager, Body&& body) {
    Ref target;
    detail::WithExit w = detail::with_enter(manager, target);
    try {
        body(target.get());
    } catch (...) {
        kuv::detail::translate_current();  // a C++ failure reaches __exit__ as a Python error
        if (detail::with_exit_on_error(w)) {
            return false;
        }
        throw PyErrorSet{};
    }
    detail::with_exit_normal(w);
    return true;
}

}  // namespace kuv
