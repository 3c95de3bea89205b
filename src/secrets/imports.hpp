// The import statements of start-up, performed as the interpreter performs them.
#pragma once

#include "pyhelpers.hpp"

namespace kuv {

// __import__(name, globals, None, fromlist, 0), with __import__ taken from the module's builtins.
Ref import_name(PyObject* globals, const char* name, PyObject* fromlist);

// One name of `from module import name` (Python/ceval.c import_from()).
Ref import_from(PyObject* module, PyObject* name);

}  // namespace kuv
