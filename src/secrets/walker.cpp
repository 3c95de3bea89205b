// The walk through dicts and lists that substitutes references in every string it reaches.
//
// It behaves as this Python code, with every name looked up at each use:
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

enum class Kind { dict, list, str, leaf };

// Exact builtin types whose `__class__` is found without running Python code: for them
// isinstance(obj, t), with t a plain type, is PyObject_TypeCheck (object_isinstance in
// abstract.c), and nothing can rebind a name between two of the tests.
bool plain_type(const PyTypeObject* t) noexcept {
    return t == &PyUnicode_Type || t == &PyDict_Type || t == &PyList_Type || t == &PyLong_Type ||
           t == &PyBool_Type || t == &PyFloat_Type || t == Py_TYPE(Py_None) ||
           t == &PyTuple_Type || t == &PyBytes_Type;
}

// The tests isinstance(source, dict), isinstance(source, list), isinstance(source, str), in
// order, each name looked up at its use. `isinstance` is looked up once more for every test
// that follows one which could have run Python code.
Kind classify(const Scope& scope, PyObject* source) {
    static constexpr Kind kinds[] = {Kind::dict, Kind::list, Kind::str};
    static constexpr Known type_names[] = {Known::dict, Known::list, Known::str};
    const bool plain = plain_type(Py_TYPE(source));
    PyObject* types[3];
    if (plain && scope.plain_types(types)) {
        for (int i = 0; i < 3; ++i) {
            if (PyObject_TypeCheck(source, reinterpret_cast<PyTypeObject*>(types[i]))) {
                return kinds[i];
            }
        }
        return Kind::leaf;
    }
    Ref isinstance;
    bool host = false;
    bool quiet = false;  // no Python code ran since `isinstance` was looked up
    for (int i = 0; i < 3; ++i) {
        if (!quiet) {
            isinstance = scope.known(Known::isinstance, &host);
        }
        bool unused = false;
        Ref type = scope.known(type_names[i], &unused);
        bool hit;
        quiet = host && plain && PyType_CheckExact(type.get());
        if (quiet) {
            hit = PyObject_TypeCheck(source, reinterpret_cast<PyTypeObject*>(type.get()));
        } else if (host) {
            hit = check(PyObject_IsInstance(source, type.get())) != 0;
        } else {
            hit = truth(call(isinstance.get(), {source, type.get()}).get());
        }
        if (hit) {
            return kinds[i];
        }
    }
    return Kind::leaf;
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

enum Method { parser, composer, resolver, method_count };

// What cls.secret_parser, cls.secret_composer and cls.get_secret_from_id give, known without the
// lookup while cls and its metaclass keep their version tags: each was found, at a real lookup,
// as a classmethod in cls's MRO that the metaclass does not shadow (type_getattro in
// typeobject.c), wrapping a Python function or one of ours, so the lookup gives
// PyMethod_New(function, cls) (cm_descr_get, func_descr_get). The function is read from the
// classmethod again at each use.
class ClassMethods {
public:
    // The function cls.<m> binds to cls now, or nullptr when that is not proven.
    PyObject* function(PyObject* cls, Method m) const noexcept {
        if (cls != cls_.get() || !found_[m] || !tags_hold()) {
            return nullptr;
        }
        PyObject* f = compat::classmethod_function(found_[m]);
        return f && binds_plainly(f) ? f : nullptr;
    }

    // After a real lookup of cls.<name>, which gave `got`: remembers it when provable. Never
    // fails: the lookup succeeded, so the walk goes on whatever this finds.
    void learn(PyObject* cls, Method m, PyObject* name, PyObject* got) noexcept {
        if (!PyType_Check(cls) || !PyMethod_Check(got) || PyMethod_GET_SELF(got) != cls) {
            return;
        }
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        PyTypeObject* meta = Py_TYPE(cls);
        const unsigned int cls_tag = compat::type_tag(type);
        const unsigned int meta_tag = compat::type_tag(meta);
        if (!cls_tag || !meta_tag || meta->tp_getattro != PyType_Type.tp_getattro) {
            return;
        }
        if (cls != cls_.get() || cls_tag != cls_tag_ || meta_tag != meta_tag_) {
            cls_ = Ref::new_ref(cls);
            meta_ = Ref::new_ref(reinterpret_cast<PyObject*>(meta));
            cls_tag_ = cls_tag;
            meta_tag_ = meta_tag;
            found_[0] = found_[1] = found_[2] = nullptr;
        }
        PyObject* shadow = nullptr;
        PyObject* cm = nullptr;
        if (!in_mro(meta, name, &shadow) || shadow || !in_mro(type, name, &cm)) {
            return;
        }
        // A lookup in a type's dict may run a key's __eq__: the tags tell whether it changed them.
        if (cm && Py_IS_TYPE(cm, &PyClassMethod_Type) && tags_hold() &&
            compat::classmethod_function(cm) == PyMethod_GET_FUNCTION(got) &&
            binds_plainly(PyMethod_GET_FUNCTION(got))) {
            found_[m] = cm;
        }
    }

private:
    static bool binds_plainly(PyObject* f) noexcept {
        return PyFunction_Check(f) || is_native_function(f);
    }

    bool tags_hold() const noexcept {
        auto* type = reinterpret_cast<PyTypeObject*>(cls_.get());
        return Py_TYPE(cls_.get()) == reinterpret_cast<PyTypeObject*>(meta_.get()) &&
               compat::type_tag(type) == cls_tag_ &&
               compat::type_tag(Py_TYPE(cls_.get())) == meta_tag_ &&
               Py_TYPE(cls_.get())->tp_getattro == PyType_Type.tp_getattro;
    }

    // The first value under `name` in the dicts of the type's MRO, or nullptr (find_name_in_mro),
    // borrowed: the type holds it while its tag holds. False when a lookup failed; its error is
    // dropped, as _PyType_Lookup drops it.
    static bool in_mro(PyTypeObject* type, PyObject* name, PyObject** found) noexcept {
        *found = nullptr;
        PyObject* mro = type->tp_mro;
        if (!mro || !PyTuple_Check(mro)) {
            return false;
        }
        Ref held = Ref::new_ref(mro);
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
            PyObject* base = PyTuple_GET_ITEM(mro, i);
            Ref dict = PyType_Check(base) ? Ref::steal_or_null(compat::type_dict(
                                                reinterpret_cast<PyTypeObject*>(base)))
                                          : Ref();
            if (!dict) {
                PyErr_Clear();
                return false;
            }
            if ((*found = PyDict_GetItemWithError(dict.get(), name))) {
                return true;
            }
            if (PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
        }
        return true;
    }

    Ref cls_;
    Ref meta_;
    unsigned int cls_tag_ = 0;
    unsigned int meta_tag_ = 0;
    PyObject* found_[method_count] = {};  // classmethods, held by cls's MRO while cls_tag_ holds
};

// One walk through a structure: the scope of the walking function's globals and the two limits,
// passed unchanged to every level.
class Walk {
public:
    Walk(const Scope& scope, PyObject* owner, PyObject* prefix) noexcept
        : scope_(scope), owner_(owner), prefix_(prefix) {}

    // One call of secret_parser(cls, source, owner_name, prefix).
    Ref level(PyObject* cls, PyObject* source) const {
        Level level;
        switch (classify(scope_, source)) {
        case Kind::dict:
            return dict(cls, source);
        case Kind::list:
            return list(cls, source);
        case Kind::str:
            return string(cls, source);
        case Kind::leaf:
            break;
        }
        return Ref::new_ref(source);
    }

private:
    // cls.secret_parser(item, owner_name, prefix), looked up on cls for every item. Our own
    // method is entered directly, with the arguments the call would bind, in this walk when it
    // reads the same globals.
    Ref item(PyObject* cls, PyObject* element) const {
        if (PyObject* f = methods_.function(cls, parser)) {
            PyObject* args[] = {cls, element, owner_, prefix_};
            if (is_native_function(f) && impl_of(f) == secret_parser_impl) {
                if (globals_of(f) == scope_.globals()) {
                    return level(cls, element);
                }
                Ref held = Ref::new_ref(f);
                return secret_parser_impl(CallArgs{args, nullptr, reinterpret_cast<NativeFunction*>(f)});
            }
            Ref bound = Ref::steal(PyMethod_New(f, cls));
            return call(bound.get(), {element, owner_, prefix_});
        }
        Ref parser = getattr(cls, names().secret_parser);
        methods_.learn(cls, Method::parser, names().secret_parser, parser.get());
        if (NativeFunction* f = native_method_of(parser.get(), secret_parser_impl)) {
            PyObject* args[] = {PyMethod_GET_SELF(parser.get()), element, owner_, prefix_};
            const CallArgs call_args{args, nullptr, f};
            if (call_args.globals() == scope_.globals()) {
                return level(args[0], element);
            }
            return secret_parser_impl(call_args);
        }
        return call(parser.get(), {element, owner_, prefix_});
    }

    Ref dict(PyObject* cls, PyObject* source) const {
        Ref result = Ref::steal(PyDict_New());
        if (PyDict_CheckExact(source)) {
            // An exact dict's items() is dict.items; its iterator (dictiter_iternextitem in
            // dictobject.c) is followed step for step, with its two checks against resolvers
            // that change the dict during the walk.
            const Py_ssize_t used = PyDict_GET_SIZE(source);
            Py_ssize_t left = used;
            Py_ssize_t pos = 0;
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            for (;;) {
                if (PyDict_GET_SIZE(source) != used) {
                    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                    throw_error();
                }
                if (!PyDict_Next(source, &pos, &key, &value)) {
                    return result;
                }
                if (left-- == 0) {
                    PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
                    throw_error();
                }
                Ref k = Ref::new_ref(key);
                Ref v = Ref::new_ref(value);
                Ref walked = item(cls, v.get());
                check(PyDict_SetItem(result.get(), k.get(), walked.get()));
            }
        }
        Ref entries = call_method(source, names().items, {});
        Ref it = Ref::steal(PyObject_GetIter(entries.get()));
        while (Ref entry = next_of(it.get())) {
            Ref k;
            Ref v;
            unpack_pair(entry.get(), k, v);
            entry.reset();  // lets the dict iterator reuse its pair
            Ref walked = item(cls, v.get());
            check(PyDict_SetItem(result.get(), k.get(), walked.get()));
        }
        return result;
    }

    Ref list(PyObject* cls, PyObject* source) const {
        Ref result = Ref::steal(PyList_New(0));
        if (PyList_CheckExact(source)) {
            // listiter_next: the length is read again for every item, so items that a resolver
            // appends are walked too, and a shrinking list ends the loop early.
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(source); ++i) {
                Ref element = Ref::new_ref(PyList_GET_ITEM(source, i));
                check(PyList_Append(result.get(), item(cls, element.get()).get()));
            }
            return result;
        }
        Ref it = Ref::steal(PyObject_GetIter(source));
        while (Ref element = next_of(it.get())) {
            check(PyList_Append(result.get(), item(cls, element.get()).get()));
        }
        return result;
    }

    // cls.secret_composer(source, cls.get_secret_from_id, owner_name, prefix), in that lookup
    // order. Our own composer is entered directly, in this scope when it has the same globals.
    Ref string(PyObject* cls, PyObject* source) const {
        Ref composer;  // the bound method, or
        Ref composer_function;  // what it is proven to bind to cls
        if (PyObject* f = methods_.function(cls, Method::composer)) {
            composer_function = Ref::new_ref(f);
        } else {
            composer = getattr(cls, names().secret_composer);
            methods_.learn(cls, Method::composer, names().secret_composer, composer.get());
        }
        Resolver resolver = find_resolver(cls);
        const bool bound = composer && PyMethod_Check(composer.get());
        PyObject* function = composer ? bound ? PyMethod_GET_FUNCTION(composer.get()) : nullptr
                                      : composer_function.get();
        if (function && is_native_function(function) && impl_of(function) == secret_composer_impl) {
            if (globals_of(function) == scope_.globals()) {
                return compose(scope_, source, resolver, owner_, prefix_);
            }
            PyObject* args[] = {bound ? PyMethod_GET_SELF(composer.get()) : cls, source,
                                resolver.get(), owner_, prefix_};
            return secret_composer_impl(
                CallArgs{args, nullptr, reinterpret_cast<NativeFunction*>(function)});
        }
        if (!composer) {
            composer = Ref::steal(PyMethod_New(composer_function.get(), cls));
        }
        return call(composer.get(), {source, resolver.get(), owner_, prefix_});
    }

    // cls.get_secret_from_id, bound only when used when it is proven what it gives.
    Resolver find_resolver(PyObject* cls) const {
        if (PyObject* f = methods_.function(cls, Method::resolver)) {
            return Resolver(Ref::new_ref(f), cls);
        }
        Ref bound = getattr(cls, names().get_secret_from_id);
        methods_.learn(cls, Method::resolver, names().get_secret_from_id, bound.get());
        return Resolver(std::move(bound));
    }

    const Scope& scope_;
    PyObject* owner_;   // borrowed from the outermost call, which holds them
    PyObject* prefix_;
    mutable ClassMethods methods_;
};

}  // namespace

Ref secret_parser_impl(const CallArgs& a) {
    const Scope scope(a.globals());
    return Walk(scope, a[2], a[3]).level(a[0], a[1]);
}

}  // namespace kuv
