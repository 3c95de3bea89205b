// get_top_secret: the realm key from the environment, else from the container secret file.
#include "methods.hpp"

namespace kuv {

namespace {
// os.environ.get(<key.upper()>, *default): os and its attributes are fetched before upper() runs,
// as the interpreter evaluates the call.
Ref environ_get(PyObject* globals, PyObject* key, PyObject* default_value) {
    Ref os = load_global(globals, names().os);
    Ref environ = getattr(os.get(), names().environ);
    Ref get = getattr(environ.get(), names().get);
    Ref upper = call_method(key, names().upper, {});
    if (default_value) {
        return call(get.get(), {upper.get(), default_value});
    }
    return call(get.get(), {upper.get()});
}

Ref secret_file_path(PyObject* key) {
    Ref lower = call_method(key, names().lower, {});
    return add(names().secrets_dir, lower.get());
}
}  // namespace

Ref get_top_secret_impl(const CallArgs& a) {
    PyObject* globals = a.globals();
    PyObject* key = a[0];
    if (truth(environ_get(globals, key, names().empty_str).get())) {
        return environ_get(globals, key, nullptr);  // read again, as stored
    }
    Ref os = load_global(globals, names().os);
    Ref path_mod = getattr(os.get(), names().path);
    Ref exists = getattr(path_mod.get(), names().exists);
    if (!truth(call(exists.get(), {secret_file_path(key).get()}).get())) {
        return Ref::new_ref(names().empty_str);
    }
    Ref open = load_global(globals, names().open);
    Ref file = call(open.get(), {secret_file_path(key).get(), names().mode_r});
    Ref result;
    bool completed = with_block(file.get(), [&](PyObject* fp) {
        Ref content = call_method(fp, names().read, {});
        result = call_method(content.get(), names().strip, {});
    });
    if (!completed) {
        return Ref::new_ref(names().empty_str);  // a manager that swallowed the error
    }
    return result;
}

}  // namespace kuv
