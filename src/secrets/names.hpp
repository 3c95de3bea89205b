// Interned strings for attribute and global names, made once at start-up. Only names live here:
// what they name is always looked up afresh.
#pragma once

#include "refs.hpp"

namespace kuv {

#define KUV_NAMES(X)                                                                           \
    X(os) X(environ) X(get) X(upper) X(lower) X(path) X(exists) X(join) X(open) X(read)        \
    X(strip) X(startswith) X(Path) X(mkdir) X(exist_ok)                                        \
    X(uuid) X(uuid4) X(str) X(Fernet) X(encode) X(decode) X(encrypt) X(decrypt) X(ascii)       \
    X(secret) X(encrypted_secret) X(pop) X(top_secret) X(save) X(load) X(owner_name) X(name)   \
    X(is_file) X(file_path) X(file_name) X(callable) X(isinstance) X(split) X(items)           \
    X(secret_parser) X(secret_composer) X(get_secret_from_id) X(super) X(classmethod) X(dict)  \
    X(list) X(StringField) X(BooleanField) X(VirtualWorker) X(get_top_secret) X(Secrets)       \
    X(key) X(kwargs) X(KUV_SECRET_NAME) X(kuv_top_secret) X(__init__) X(__import__)            \
    X(__name__) X(__file__) X(__package__) X(__loader__) X(__spec__) X(__doc__) X(__cached__)  \
    X(__builtins__) X(__module__) X(__qualname__) X(__mro_entries__) X(__prepare__)            \
    X(__orig_bases__) X(__enter__) X(__exit__) X(replace) X(co_argcount) X(co_posonlyargcount) \
    X(co_kwonlyargcount) X(co_nlocals) X(co_varnames) X(co_flags) X(co_qualname) X(mode)      \
    X(parent)

struct Names {
#define KUV_DECLARE_NAME(n) PyObject* n;
    KUV_NAMES(KUV_DECLARE_NAME)
#undef KUV_DECLARE_NAME
    PyObject* open_marker;   // "${{"
    PyObject* close_marker;  // "}}"
    PyObject* secrets_dir;   // "/run/secrets/"
    PyObject* default_;      // "default"
    PyObject* empty_str;     // ""
    PyObject* mode_w;        // "w"
    PyObject* mode_r;        // "r"
};

// Made on the first import and kept for the life of the process (interned strings are shared by
// every copy of the module, dotted or not). Throws PyErrorSet if they cannot be made.
const Names& init_names();
// Valid after init_names() succeeded, which module start-up does before anything else.
const Names& names() noexcept;

}  // namespace kuv
