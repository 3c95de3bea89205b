// The single boundary between C++ and Python: every entry point from Python runs its body in
// guard(), so C++ exceptions never cross into the interpreter and the error is set exactly once.
#pragma once

#include "refs.hpp"

#include <new>

namespace kuv {

namespace detail {
inline void translate_current() noexcept {
    try {
        throw;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "secrets: error signalled without an exception set");
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "secrets: unexpected C++ exception");
    }
}
}  // namespace detail

// Body returns Ref; the entry point returns a new reference or NULL with the error set.
template <class Body>
PyObject* guard(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        detail::translate_current();
        return nullptr;
    }
}

// Body returns nothing; the entry point returns 0 or -1 with the error set.
template <class Body>
int guard_status(Body&& body) noexcept {
    try {
        body();
        return 0;
    } catch (...) {
        detail::translate_current();
        return -1;
    }
}

}  // namespace kuv
