// Resolution of a secret id to its value or to the file that holds it.
#include "methods.hpp"

namespace kuv {

Ref get_secret_from_id_impl(const CallArgs&) {
    PyErr_SetString(PyExc_NotImplementedError, "get_secret_from_id is not built yet");
    throw_error();
}

}  // namespace kuv
