// The one owning reference type. A raw PyObject* is always borrowed and never stored.
#pragma once

#include "compat.hpp"

#include <utility>

namespace kuv {

// Thrown after the Python error indicator has been set; entry points turn it into NULL / -1.
struct PyErrorSet {};

[[noreturn]] inline void throw_error() { throw PyErrorSet{}; }

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference from an API call; NULL means the call failed with an error set.
    static Ref steal(PyObject* p) {
        if (!p) {
            throw_error();
        }
        return Ref(p);
    }
    // Takes over a new reference that may be NULL without an error (an optional result).
    static Ref steal_or_null(PyObject* p) noexcept { return Ref(p); }
    // Takes a new strong reference to a borrowed, non-NULL object.
    static Ref new_ref(PyObject* p) noexcept { return Ref(Py_NewRef(p)); }

    Ref copy() const noexcept { return Ref(Py_XNewRef(p_)); }
    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// For API calls returning -1 on error (or any negative value).
inline int check(int status) {
    if (status < 0) {
        throw_error();
    }
    return status;
}

}  // namespace kuv
