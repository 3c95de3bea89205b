// A file secret on disk: the value handed over as UTF-8 bytes, published in one step or compared
// with a file already in place. Paths are the user's (str, bytes or path-like) and appear in
// every error; temporary names never do. The command line publishes and trusts files through
// the same functions (kuv_secrets._files).
#pragma once

#include "refs.hpp"

#include <sys/types.h>

namespace kuv {

// The value as strict UTF-8 bytes. A value that has no such form (lone surrogates) fails with a
// UnicodeError whose message, unlike the codec's, quotes nothing of the value.
Ref secret_bytes(PyObject* value);

// Publishes `data` at `path` only if the name is free, mode 0o600 before the umask; a reader sees
// all of it or nothing, and a failure leaves no file behind. Returns false when the name was
// taken, in which case nothing of ours is visible.
bool publish_file(PyObject* path, PyObject* data);

// Puts `data` at `path` in place of whatever file has the name, by a rename from a temporary
// file in the same directory, mode 0o600 before the umask. A failure leaves the old file (or
// none) and no temporary file.
void replace_file(PyObject* path, PyObject* data);

// Raises the OSError naming `path` for a file of this mode and owner that a secret may not be
// taken from: anything but a regular file, another user's, or one its group or others may write.
void check_trusted(mode_t mode, uid_t owner, PyObject* path);

// Whether the file at `path` holds exactly `data`: true or false for a trusted file, false when
// there is none, and check_trusted's OSError for any other. Without `follow_symlinks` a symbolic
// link is refused too (ELOOP).
bool file_holds(PyObject* path, PyObject* data, bool follow_symlinks);

// Accepts the file at `path` only if it is a regular file of ours that nobody else may write and
// it holds exactly `data`. Raises ValueError("Impossible to overwrite an existed file") for other
// content and an OSError naming the path for anything that is not such a file.
void check_existing_file(PyObject* path, PyObject* data);

}  // namespace kuv
