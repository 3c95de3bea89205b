// Substitution of ${{ id }} references inside one string.
#include "methods.hpp"

namespace kuv {

Ref secret_composer_impl(const CallArgs&) {
    PyErr_SetString(PyExc_NotImplementedError, "secret_composer is not built yet");
    throw_error();
}

}  // namespace kuv
