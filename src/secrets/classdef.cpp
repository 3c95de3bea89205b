// Follows builtin___build_class__ (Python/bltinmodule.c): bases, metaclass, __prepare__, the body
// stored by item assignment, the metaclass call, then the implicit __class__ of __init__.
#include "classdef.hpp"

#include "methods.hpp"

namespace kuv {

namespace {

const char class_doc[] =
    "All Secrets should be managed here\n\n    Attributes:\n        top_secret: Encrypt key of this "
    "realm\n        owner_name (inherited): Owner of the secret\n        name (inherited): Should be "
    "managed as a.b.c.d for the access control\n        encrypted_secret : Encrypted password\n    ";

enum class Defaults { none, owner_prefix, manager_owner_prefix };

struct MethodDef {
    FunctionSpec spec;
    const char* annotated[4];  // parameters annotated `str`, in order
    int nannotated;
    bool returns_str;
    Defaults defaults;
    bool is_classmethod;
};

const MethodDef methods[] = {
    {{"secret_parser", "Secrets.secret_parser",
      "Parse un string with secret id like ${{}}\n\n        Args:\n            source (any): Source to be "
      "parsed, could be dict, list or str\n            owner_name (str): limiting the secret scope to a "
      "specified owner\n            prefix (str): limiting the secret scope with name of a given "
      "prefix\n\n        Returns:\n            amy: with secret parsed\n        ",
      {"cls", "source", "owner_name", "prefix"}, 4, false, secret_parser_impl},
     {"owner_name", "prefix"}, 2, false, Defaults::owner_prefix, true},
    {{"secret_composer", "Secrets.secret_composer",
      "String level secret parser\n\n        Args:\n            raw_string (str): String to be parsed\n"
      "            secret_manager: Callable to get the secret value\n            owner_name (str): "
      "limiting the secret scope to a specified owner\n            prefix (str): limiting the secret "
      "scope with name of a given prefix\n\n        Returns:\n            str: secret id replaced by "
      "secret value in the string\n        ",
      {"cls", "raw_string", "secret_manager", "owner_name", "prefix"}, 5, false, secret_composer_impl},
     {"raw_string", "owner_name", "prefix"}, 3, true, Defaults::manager_owner_prefix, true},
    {{"encrypt", "Secrets.encrypt",
      "Encrypt data\n\n        Args:\n            data (str): data to be encrypted\n            key (str): "
      "encryption key\n\n        Returns:\n            str: encrypted data\n        ",
      {"cls", "data", "key"}, 3, false, encrypt_impl},
     {"data", "key"}, 2, true, Defaults::none, true},
    {{"decrypt", "Secrets.decrypt",
      "Decrypt data\n\n        Args:\n            data (str): data to be decrypted\n            key (str): "
      "decryption key\n\n        Returns:\n            str: decrypted data\n        ",
      {"cls", "data", "key"}, 3, false, decrypt_impl},
     {"data", "key"}, 2, true, Defaults::none, true},
    {{"get_secret_from_id", "Secrets.get_secret_from_id",
      "Get secret value from secret id\n\n        Args:\n            secret_id (str): Secret id from "
      "engine\n            owner_name (str): limiting the secret scope to a specified owner\n            "
      "prefix (str): limiting the secret scope with name of a given prefix\n\n        Returns:\n\n        ",
      {"cls", "secret_id", "owner_name", "prefix"}, 4, false, get_secret_from_id_impl},
     {"secret_id", "owner_name", "prefix"}, 3, true, Defaults::owner_prefix, true},
    {{"__init__", "Secrets.__init__", nullptr, {"self"}, 1, true, init_impl}, {}, 0, false, Defaults::none, false},
    {{"update_secret", "Secrets.update_secret",
      "Update secret value\n\n        Args:\n            new_secret (str): New secret value\n\n        "
      "Returns:\n            self\n        ",
      {"self", "new_secret"}, 2, false, update_secret_impl},
     {"new_secret"}, 1, false, Defaults::none, false},
};

// LOAD_NAME inside the class body: the namespace, then the module, then the builtins.
Ref load_name(PyObject* ns, PyObject* globals, PyObject* name) {
    if (PyDict_CheckExact(ns)) {
        PyObject* found = nullptr;
        if (check(compat::dict_get_ref(ns, name, &found))) {
            return Ref::steal(found);
        }
    } else {
        Ref item = Ref::steal_or_null(PyObject_GetItem(ns, name));
        if (item) {
            return item;
        }
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
            throw_error();
        }
        PyErr_Clear();
    }
    return load_global(globals, name);
}

void store(PyObject* ns, PyObject* name, PyObject* value) { check(PyObject_SetItem(ns, name, value)); }

// Python/bltinmodule.c update_bases()
Ref resolve_bases(PyObject* orig_bases) {
    Ref resolved;  // a list once some base has replaced itself
    const Py_ssize_t n = PyTuple_GET_SIZE(orig_bases);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* base = PyTuple_GET_ITEM(orig_bases, i);
        if (PyType_Check(base)) {
            if (resolved) {
                check(PyList_Append(resolved.get(), base));
            }
            continue;
        }
        PyObject* meth_raw = nullptr;
        if (!check(compat::get_optional_attr(base, names().__mro_entries__, &meth_raw))) {
            if (resolved) {
                check(PyList_Append(resolved.get(), base));
            }
            continue;
        }
        Ref meth = Ref::steal(meth_raw);
        Ref entries = call(meth.get(), {orig_bases});
        if (!PyTuple_Check(entries.get())) {
            PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
            throw_error();
        }
        if (!resolved) {
            Ref head = Ref::steal(PyTuple_GetSlice(orig_bases, 0, i));
            resolved = Ref::steal(PySequence_List(head.get()));
        }
        check(PyList_SetSlice(resolved.get(), PyList_GET_SIZE(resolved.get()),
                              PyList_GET_SIZE(resolved.get()), entries.get()));
    }
    if (!resolved) {
        return Ref::new_ref(orig_bases);
    }
    return Ref::steal(PyList_AsTuple(resolved.get()));
}

// Objects/typeobject.c _PyType_CalculateMetaclass()
Ref calculate_metaclass(PyObject* bases) {
    const Py_ssize_t n = PyTuple_GET_SIZE(bases);
    auto* winner = n ? Py_TYPE(PyTuple_GET_ITEM(bases, 0)) : &PyType_Type;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) {
            continue;
        }
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                        "subclass of the metaclasses of all its bases");
        throw_error();
    }
    return Ref::new_ref(reinterpret_cast<PyObject*>(winner));
}

Ref prepare_namespace(PyObject* meta, PyObject* bases) {
    PyObject* prepare_raw = nullptr;
    if (!check(compat::get_optional_attr(meta, names().__prepare__, &prepare_raw))) {
        return Ref::steal(PyDict_New());
    }
    Ref prepare = Ref::steal(prepare_raw);
    Ref ns = call(prepare.get(), {names().Secrets, bases});
    if (!PyMapping_Check(ns.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
                     PyType_Check(meta) ? reinterpret_cast<PyTypeObject*>(meta)->tp_name : "<metaclass>",
                     Py_TYPE(ns.get())->tp_name);
        throw_error();
    }
    return ns;
}

Ref make_defaults(Defaults kind) {
    switch (kind) {
        case Defaults::owner_prefix:
            return Ref::steal(PyTuple_Pack(2, names().empty_str, names().empty_str));
        case Defaults::manager_owner_prefix:
            return Ref::steal(PyTuple_Pack(3, Py_None, names().empty_str, names().empty_str));
        case Defaults::none:
            break;
    }
    return Ref::new_ref(Py_None);
}

// One `def` of the body: decorator first, then defaults and annotations, as the compiler orders them.
Ref define_method(const MethodDef& def, PyObject* ns, PyObject* globals, PyObject* module_name) {
    Ref decorator = def.is_classmethod ? load_name(ns, globals, names().classmethod) : Ref();
    Ref defaults = make_defaults(def.defaults);
    Ref annotations = Ref::steal(PyDict_New());
    for (int i = 0; i < def.nannotated; ++i) {
        Ref str_type = load_name(ns, globals, names().str);
        Ref key = Ref::steal(PyUnicode_InternFromString(def.annotated[i]));
        check(PyDict_SetItem(annotations.get(), key.get(), str_type.get()));
    }
    if (def.returns_str) {
        Ref str_type = load_name(ns, globals, names().str);
        Ref key = Ref::steal(PyUnicode_InternFromString("return"));
        check(PyDict_SetItem(annotations.get(), key.get(), str_type.get()));
    }
    Ref function = make_function(def.spec, globals, module_name, defaults.get(), annotations.get());
    if (decorator) {
        return call(decorator.get(), {function.get()});
    }
    return function;
}

Ref field(PyObject* ns, PyObject* globals, PyObject* field_type_name, PyObject* default_value) {
    Ref field_type = load_name(ns, globals, field_type_name);
    if (!default_value) {
        return call(field_type.get(), {});
    }
    Ref kwnames = Ref::steal(PyTuple_Pack(1, names().default_));
    PyObject* args[] = {default_value};
    return Ref::steal(PyObject_Vectorcall(field_type.get(), args, 0, kwnames.get()));
}

}  // namespace

Ref create_secrets_class(PyObject* globals, PyObject* module_name) {
    // The class statement names one base.
    Ref listed = load_global(globals, names().VirtualWorker);
    Ref orig_bases = Ref::steal(PyTuple_Pack(1, listed.get()));
    Ref bases = resolve_bases(orig_bases.get());
    Ref meta = calculate_metaclass(bases.get());
    Ref ns = prepare_namespace(meta.get(), bases.get());

    store(ns.get(), names().__module__, module_name);
    Ref doc = Ref::steal(PyUnicode_FromString(class_doc));
    store(ns.get(), names().__doc__, doc.get());
    store(ns.get(), names().__qualname__, names().Secrets);

    {
        Ref lookup = load_name(ns.get(), globals, names().get_top_secret);
        Ref os = load_name(ns.get(), globals, names().os);
        Ref environ = getattr(os.get(), names().environ);
        Ref get = getattr(environ.get(), names().get);
        Ref key_name = call(get.get(), {names().KUV_SECRET_NAME, names().kuv_top_secret});
        Ref realm_key = call(lookup.get(), {key_name.get()});
        store(ns.get(), names().top_secret, realm_key.get());
    }
    Ref dot = Ref::steal(PyUnicode_FromString("."));
    store(ns.get(), names().encrypted_secret, field(ns.get(), globals, names().StringField, nullptr).get());
    store(ns.get(), names().is_file, field(ns.get(), globals, names().BooleanField, Py_False).get());
    store(ns.get(), names().file_path, field(ns.get(), globals, names().StringField, dot.get()).get());
    store(ns.get(), names().file_name, field(ns.get(), globals, names().StringField, nullptr).get());

    Ref init_function;
    for (const MethodDef& def : methods) {
        Ref method = define_method(def, ns.get(), globals, module_name);
        Ref key = Ref::steal(PyUnicode_InternFromString(def.spec.name));
        store(ns.get(), key.get(), method.get());
        if (def.spec.impl == init_impl) {
            init_function = std::move(method);
        }
    }
    if (bases.get() != orig_bases.get()) {
        store(ns.get(), names().__orig_bases__, orig_bases.get());
    }

    Ref cls = call(meta.get(), {names().Secrets, bases.get(), ns.get()});
    set_class_cell(init_function.get(), cls.get());
    return cls;
}

}  // namespace kuv
