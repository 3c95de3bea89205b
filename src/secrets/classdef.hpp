// Creation of the class Secrets by the class-creation protocol, step by step.
#pragma once

#include "pyhelpers.hpp"

namespace kuv {

// Runs the class statement of Secrets in the module namespace and returns the class.
Ref create_secrets_class(PyObject* globals, PyObject* module_name);

}  // namespace kuv
