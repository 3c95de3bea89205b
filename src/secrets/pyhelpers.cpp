#include "pyhelpers.hpp"

namespace kuv {

namespace {
Names* g_names = nullptr;  // interned strings only; see names.hpp

PyObject* intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) {
        throw_error();
    }
    return s;
}
}  // namespace

const Names& init_names() {
    if (g_names) {
        return *g_names;
    }
    auto* n = new Names{};
#define KUV_INTERN_NAME(x) n->x = intern(#x);
    KUV_NAMES(KUV_INTERN_NAME)
#undef KUV_INTERN_NAME
    n->open_marker = intern("${{");
    n->close_marker = intern("}}");
    n->secrets_dir = intern("/run/secrets/");
    n->default_ = intern("default");
    n->empty_str = intern("");
    n->mode_w = intern("w");
    n->mode_r = intern("r");
    g_names = n;
    return *n;
}

const Names& names() noexcept { return *g_names; }

#if PY_VERSION_HEX >= 0x030C0000
namespace compat {

DictStamp dict_events = 0;

namespace {
int dict_watcher = -2;  // -2: not asked for yet; -1: none to be had

// Must not fail: it only counts.
int count_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++dict_events;
    return 0;
}
}  // namespace

bool stamp_dict(PyObject* dict, DictStamp* stamp) noexcept {
    if (dict_watcher == -2) {
        // Watcher ids are few: one for the life of the process, the first time one is needed.
        dict_watcher = PyDict_AddWatcher(count_event);
        if (dict_watcher < 0) {
            PyErr_Clear();
            dict_watcher = -1;
        }
    }
    if (dict_watcher < 0) {
        return false;
    }
    if (PyDict_Watch(dict_watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    *stamp = dict_events;
    return true;
}

}  // namespace compat
#endif

Ref builtins_of(PyObject* globals) {
    PyObject* found = nullptr;
    if (check(compat::dict_get_ref(globals, names().__builtins__, &found))) {
        Ref b = Ref::steal(found);
        if (PyModule_Check(b.get())) {
            return Ref::new_ref(PyModule_GetDict(b.get()));
        }
        return b;
    }
    // Like a frame without __builtins__ in its globals: the interpreter's own.
    return Ref::new_ref(PyEval_GetBuiltins());
}

Ref load_global(PyObject* globals, PyObject* name) {
    PyObject* found = nullptr;
    if (check(compat::dict_get_ref(globals, name, &found))) {
        return Ref::steal(found);
    }
    Ref builtins = builtins_of(globals);
    if (PyDict_Check(builtins.get())) {
        if (check(compat::dict_get_ref(builtins.get(), name, &found))) {
            return Ref::steal(found);
        }
    } else {
        Ref item = Ref::steal_or_null(PyObject_GetItem(builtins.get(), name));
        if (item) {
            return item;
        }
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
            throw_error();
        }
        PyErr_Clear();
    }
    // Python/ceval.c: NAME_ERROR_MSG
    PyErr_Format(PyExc_NameError, "name '%.200U' is not defined", name);
    throw_error();
}

namespace detail {

// Python/ceval.c special_lookup(): the method is found on the type, as `with` does.
static Ref special_lookup(PyObject* manager, PyObject* name) {
    Ref type = Ref::new_ref(reinterpret_cast<PyObject*>(Py_TYPE(manager)));
    PyObject* attr = nullptr;
    if (check(compat::get_optional_attr(type.get(), name, &attr)) == 0) {
        // 3.11+ words it "... does not support the context manager protocol"; the older
        // AttributeError naming the method is kept by 3.10.
#if PY_VERSION_HEX >= 0x030B0000
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(manager)->tp_name);
#else
        PyErr_SetObject(PyExc_AttributeError, name);
#endif
        throw_error();
    }
    Ref unbound = Ref::steal(attr);
    descrgetfunc get = Py_TYPE(unbound.get())->tp_descr_get;
    if (get) {
        return Ref::steal(get(unbound.get(), manager, type.get()));
    }
    return unbound;
}

WithExit with_enter(PyObject* manager, Ref& target) {
    Ref enter = special_lookup(manager, names().__enter__);
    WithExit w{special_lookup(manager, names().__exit__), Ref::new_ref(manager)};
    target = call(enter.get(), {});
    return w;
}

bool with_exit_on_error(WithExit& w) {
    compat::SavedError pending;
    PyObject *type, *value, *tb;
    pending.triple(&type, &value, &tb);
    Ref result = Ref::steal_or_null(PyObject_Vectorcall(
        w.exit.get(), std::initializer_list<PyObject*>{type, value, tb}.begin(), 3, nullptr));
    if (!result) {
        // The exception raised by __exit__ wins; the original becomes its context.
        compat::SavedError raised;
        PyObject *t2, *v2, *tb2;
        raised.triple(&t2, &v2, &tb2);
        if (v2 != Py_None && value != Py_None && v2 != value) {
            PyException_SetContext(v2, Py_NewRef(value));
        }
        pending.discard();
        raised.restore();
        throw_error();
    }
    int suppress = PyObject_IsTrue(result.get());
    if (suppress < 0) {
        pending.discard();
        throw_error();
    }
    if (suppress) {
        pending.discard();
        return true;
    }
    pending.restore();
    return false;
}

void with_exit_normal(WithExit& w) {
    call(w.exit.get(), {Py_None, Py_None, Py_None});
}

}  // namespace detail
}  // namespace kuv
