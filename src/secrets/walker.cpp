// The walk through dicts and lists that substitutes references in every string it reaches.
//
// It does what this does, with every name looked up at each use:
//     if isinstance(source, dict):
//         result = {}
//         for key, value in source.items():
//             result[key] = cls.secret_parser(value, owner_name, prefix)
//         return result
//     if isinstance(source, list):
//         return [cls.secret_parser(item, owner_name, prefix) for item in source]
//     if isinstance(source, str):
//         return cls.secret_composer(source, cls.get_secret_from_id, owner_name, prefix)
//     return source
#include "compose.hpp"

namespace kuv {

namespace {

// One level of the walk. A structure that holds itself, or nests deeper than the host allows,
// ends in RecursionError rather than in a C stack overflow.
class Level {
public:
    Level() {
        if (Py_EnterRecursiveCall(" while walking a structure")) {
            throw_error();
        }
    }
    ~Level() { Py_LeaveRecursiveCall(); }
    Level(const Level&) = delete;
    Level& operator=(const Level&) = delete;
};

// isinstance(obj, <type_name>), both names looked up now.
bool is_instance(PyObject* globals, PyObject* obj, PyObject* type_name) {
    Ref isinstance = load_global(globals, names().isinstance);
    Ref type = load_global(globals, type_name);
    if (is_host_builtin(isinstance.get(), "isinstance")) {
        return check(PyObject_IsInstance(obj, type.get())) != 0;
    }
    return truth(call(isinstance.get(), {obj, type.get()}).get());
}

// next(it), or an empty Ref when it is exhausted.
Ref next_of(PyObject* it) {
    Ref item = Ref::steal_or_null(PyIter_Next(it));
    if (!item && PyErr_Occurred()) {
        throw_error();
    }
    return item;
}

// `key, value = entry`, with the interpreter's messages (unpack_iterable in ceval.c); exact pairs
// are taken apart directly, as UNPACK_SEQUENCE does.
void unpack_pair(PyObject* entry, Ref& key, Ref& value) {
    if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2) {
        key = Ref::new_ref(PyTuple_GET_ITEM(entry, 0));
        value = Ref::new_ref(PyTuple_GET_ITEM(entry, 1));
        return;
    }
    if (PyList_CheckExact(entry) && PyList_GET_SIZE(entry) == 2) {
        key = Ref::new_ref(PyList_GET_ITEM(entry, 0));
        value = Ref::new_ref(PyList_GET_ITEM(entry, 1));
        return;
    }
    Ref it = Ref::steal_or_null(PyObject_GetIter(entry));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(entry)->tp_iter &&
            !PySequence_Check(entry)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(entry)->tp_name);
        }
        throw_error();
    }
    Ref* targets[] = {&key, &value};
    for (int i = 0; i < 2; ++i) {
        *targets[i] = next_of(it.get());
        if (!*targets[i]) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw_error();
        }
    }
    if (next_of(it.get())) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw_error();
    }
}

// cls.secret_parser(item, owner_name, prefix), looked up on cls for every item; our own method
// is entered directly with the arguments the call would bind.
Ref walk_item(PyObject* cls, PyObject* item, PyObject* owner, PyObject* prefix) {
    Ref parser = getattr(cls, names().secret_parser);
    if (NativeFunction* f = native_method_of(parser.get(), secret_parser_impl)) {
        PyObject* args[] = {PyMethod_GET_SELF(parser.get()), item, owner, prefix};
        return secret_parser_impl(CallArgs{args, nullptr, f});
    }
    return call(parser.get(), {item, owner, prefix});
}

Ref walk_dict(PyObject* cls, PyObject* source, PyObject* owner, PyObject* prefix) {
    Ref entries = call_method(source, names().items, {});
    Ref it = Ref::steal(PyObject_GetIter(entries.get()));
    Ref result = Ref::steal(PyDict_New());
    while (Ref entry = next_of(it.get())) {
        Ref key;
        Ref value;
        unpack_pair(entry.get(), key, value);
        entry.reset();  // lets the dict iterator reuse its pair
        Ref walked = walk_item(cls, value.get(), owner, prefix);
        check(PyDict_SetItem(result.get(), key.get(), walked.get()));
    }
    return result;
}

Ref walk_list(PyObject* cls, PyObject* source, PyObject* owner, PyObject* prefix) {
    Ref result = Ref::steal(PyList_New(0));
    if (PyList_CheckExact(source)) {
        // listiter_next: the length is read again for every item, so items that a resolver
        // appends are walked too, and a shrinking list ends the loop early, never out of range.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(source); ++i) {
            Ref item = Ref::new_ref(PyList_GET_ITEM(source, i));
            check(PyList_Append(result.get(), walk_item(cls, item.get(), owner, prefix).get()));
        }
        return result;
    }
    Ref it = Ref::steal(PyObject_GetIter(source));
    while (Ref item = next_of(it.get())) {
        check(PyList_Append(result.get(), walk_item(cls, item.get(), owner, prefix).get()));
    }
    return result;
}

// cls.secret_composer(source, cls.get_secret_from_id, owner_name, prefix), in that lookup order.
Ref walk_string(PyObject* cls, PyObject* source, PyObject* owner, PyObject* prefix) {
    Ref composer = getattr(cls, names().secret_composer);
    Ref resolver = getattr(cls, names().get_secret_from_id);
    if (NativeFunction* f = native_method_of(composer.get(), secret_composer_impl)) {
        PyObject* args[] = {PyMethod_GET_SELF(composer.get()), source, resolver.get(), owner,
                            prefix};
        return secret_composer_impl(CallArgs{args, nullptr, f});
    }
    return call(composer.get(), {source, resolver.get(), owner, prefix});
}

}  // namespace

Ref secret_parser_impl(const CallArgs& a) {
    Level level;
    PyObject* cls = a[0];
    PyObject* source = a[1];
    PyObject* owner = a[2];
    PyObject* prefix = a[3];
    PyObject* globals = a.globals();
    if (is_instance(globals, source, names().dict)) {
        return walk_dict(cls, source, owner, prefix);
    }
    if (is_instance(globals, source, names().list)) {
        return walk_list(cls, source, owner, prefix);
    }
    if (is_instance(globals, source, names().str)) {
        return walk_string(cls, source, owner, prefix);
    }
    return Ref::new_ref(source);
}

}  // namespace kuv
