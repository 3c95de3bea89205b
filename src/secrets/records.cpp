// The cipher (encrypt, decrypt) and the two ways a plain value enters a record (__init__,
// update_secret). Only Fernet tokens reach the record framework.
#include "methods.hpp"

#include <algorithm>

namespace kuv {

namespace {
// obj.name(*args) as LOAD_METHOD and CALL run it, with no bound method in between.
Ref call_method_unbound(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args) {
    PyObject* stack[3];
    const size_t n = args.size() + 1;
    stack[0] = obj;
    std::copy(args.begin(), args.end(), stack + 1);
    return Ref::steal(PyObject_VectorcallMethod(name, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Fernet(key.encode("ascii")): the key is checked by building the cipher before data is touched.
// An exact str encodes as str.encode does, through the same codec call.
Ref make_cipher(PyObject* globals, PyObject* key) {
    Ref fernet = load_global(globals, names().Fernet);
    Ref key_bytes = PyUnicode_CheckExact(key) ? Ref::steal(PyUnicode_AsASCIIString(key))
                                              : call_method_unbound(key, names().encode, {names().ascii});
    return call(fernet.get(), {key_bytes.get()});
}

// cipher.<method>(data.encode()).decode()
Ref run_cipher(const CallArgs& a, PyObject* method) {
    Ref cipher = make_cipher(a.globals(), a[2]);
    Ref out;
    // An exact str's encode() runs no Python code and changes nothing, so it may come before the
    // method's lookup, which then needs no bound method; when it fails, the lookup's own error
    // must win, so the steps run again in their order.
    Ref data = PyUnicode_CheckExact(a[1]) ? Ref::steal_or_null(PyUnicode_AsUTF8String(a[1])) : Ref();
    if (data) {
        out = call_method_unbound(cipher.get(), method, {data.get()});
    } else {
        if (PyErr_Occurred()) {
            PyErr_Clear();
        }
        Ref run = getattr(cipher.get(), method);
        data = call_method(a[1], names().encode, {});
        out = call(run.get(), {data.get()});
    }
    if (PyBytes_CheckExact(out.get())) {
        return Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(out.get()), PyBytes_GET_SIZE(out.get()), nullptr));
    }
    return call_method_unbound(out.get(), names().decode, {});
}

// self.encrypt(value, self.top_secret), in the order the expression evaluates.
Ref encrypt_for(PyObject* self, PyObject* value_holder, PyObject* value_key) {
    Ref encrypt = getattr(self, names().encrypt);
    Ref value = value_key ? Ref::steal(PyObject_GetItem(value_holder, value_key)) : Ref::new_ref(value_holder);
    Ref realm_key = getattr(self, names().top_secret);
    return call(encrypt.get(), {value.get(), realm_key.get()});
}
}  // namespace

Ref encrypt_impl(const CallArgs& a) { return run_cipher(a, names().encrypt); }

Ref decrypt_impl(const CallArgs& a) { return run_cipher(a, names().decrypt); }

Ref init_impl(const CallArgs& a) {
    PyObject* self = a[0];
    PyObject* kwargs = a.kwargs;  // our own dict: the caller's mapping is never changed
    if (check(PyDict_Contains(kwargs, names().secret))) {
        Ref token = encrypt_for(self, kwargs, names().secret);
        check(PyDict_SetItem(kwargs, names().encrypted_secret, token.get()));
        Ref popped = call_method(kwargs, names().pop, {names().secret, Py_None});
    }
    // super().__init__(**kwargs): the zero-argument form reads the implicit __class__.
    PyObject* owner = a.class_cell();
    if (!owner) {
        PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
        throw_error();
    }
    Ref owner_ref = Ref::new_ref(owner);
    Ref super_type = load_global(a.globals(), names().super);
    Ref bound = call(super_type.get(), {owner_ref.get(), self});
    Ref base_init = getattr(bound.get(), names().__init__);
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref ignored = Ref::steal(PyObject_Call(base_init.get(), no_args.get(), kwargs));
    return Ref::new_ref(Py_None);
}

Ref update_secret_impl(const CallArgs& a) {
    PyObject* self = a[0];
    Ref token = encrypt_for(self, a[1], nullptr);
    setattr(self, names().encrypted_secret, token.get());
    Ref ignored = call_method(self, names().save, {});
    return Ref::new_ref(self);
}

}  // namespace kuv
