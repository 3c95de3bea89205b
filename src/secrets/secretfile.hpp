// A file secret on disk: the value handed over as UTF-8 bytes, published in one step or compared
// with a file already in place. Paths are the user's (str, bytes or path-like) and appear in
// every error; temporary names never do.
#pragma once

#include "refs.hpp"

namespace kuv {

// The value as strict UTF-8 bytes. A value that has no such form (lone surrogates) fails with a
// UnicodeError whose message, unlike the codec's, quotes nothing of the value.
Ref secret_bytes(PyObject* value);

// Publishes `data` at `path` only if the name is free, mode 0o600 before the umask; a reader sees
// all of it or nothing, and a failure leaves no file behind. Returns false when the name was
// taken, in which case nothing of ours is visible.
bool publish_file(PyObject* path, PyObject* data);

// Accepts the file at `path` only if it is a regular file of ours that nobody else may write and
// it holds exactly `data`. Raises ValueError("Impossible to overwrite an existed file") for other
// content and an OSError naming the path for anything that is not such a file.
void check_existing_file(PyObject* path, PyObject* data);

}  // namespace kuv
