// Differences between the supported hosts (CPython 3.10 to 3.13) live here only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <cstdint>

namespace kuv::compat {

// The pending exception, taken out of the indicator and put back unchanged.
class SavedError {
public:
    SavedError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exc_, &tb_);
#endif
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() { restore(); }

    // Puts the exception back; later calls do nothing.
    void restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        if (exc_) {
            PyErr_SetRaisedException(exc_);
        }
        exc_ = nullptr;
#else
        if (type_) {
            PyErr_Restore(type_, exc_, tb_);
        }
        type_ = exc_ = tb_ = nullptr;
#endif
    }

    // The exception as (type, value, traceback), normalised, for __exit__; borrowed from this object.
    void triple(PyObject** type, PyObject** value, PyObject** tb) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        *type = exc_ ? reinterpret_cast<PyObject*>(Py_TYPE(exc_)) : Py_None;
        *value = exc_ ? exc_ : Py_None;
        PyObject* t = exc_ ? PyException_GetTraceback(exc_) : nullptr;
        *tb = t ? t : Py_None;
        Py_XDECREF(t);  // the exception keeps the traceback alive
#else
        PyErr_NormalizeException(&type_, &exc_, &tb_);
        if (tb_ && exc_) {
            PyException_SetTraceback(exc_, tb_);
        }
        *type = type_ ? type_ : Py_None;
        *value = exc_ ? exc_ : Py_None;
        *tb = tb_ ? tb_ : Py_None;
#endif
    }

    // Drops the exception for good.
    void discard() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        Py_CLEAR(exc_);
#else
        Py_CLEAR(type_);
        Py_CLEAR(exc_);
        Py_CLEAR(tb_);
#endif
    }

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
    PyObject* exc_ = nullptr;
};

// getattr that reports a missing attribute as 0 with no exception set, an error as -1.
inline int get_optional_attr(PyObject* obj, PyObject* name, PyObject** result) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    *result = PyObject_GetAttr(obj, name);
    if (*result) {
        return 1;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
#endif
}

// dict lookup giving a new reference: 1 found, 0 missing, -1 error.
inline int dict_get_ref(PyObject* dict, PyObject* key, PyObject** result) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, result);
#else
    PyObject* item = PyDict_GetItemWithError(dict, key);  // borrowed
    if (item) {
        *result = Py_NewRef(item);
        return 1;
    }
    *result = nullptr;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

// Proof that a dict has not changed since a stamp was taken. 3.10-3.11: ma_version_tag, which
// every change of any dict replaces with a new process-wide number, so an equal tag means the
// same dict, unchanged. 3.12+ deprecates the tag: a dict watcher counts every event (a change, a
// clear, the deallocation) of the dicts it watches, so an equal count means every watched dict
// unchanged. stamp_dict fails (false, no error set) when the dict cannot be watched.
using DictStamp = std::uint64_t;
#if PY_VERSION_HEX < 0x030C0000
inline bool stamp_dict(PyObject* dict, DictStamp* stamp) noexcept {
    *stamp = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
    return true;
}
inline bool dict_unchanged(PyObject* dict, DictStamp stamp) noexcept {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag == stamp;
}
#else
extern DictStamp dict_events;  // pyhelpers.cpp, with the watcher
bool stamp_dict(PyObject* dict, DictStamp* stamp) noexcept;
inline bool dict_unchanged(PyObject*, DictStamp stamp) noexcept { return dict_events == stamp; }
#endif

// The type's version tag, 0 when it has no valid one. While it stays the same nothing was set on
// the type or its bases and its MRO is the same (PyType_Modified replaces it); the host assigns
// one at the type's first attribute lookup, and a tag is never given to two types. 3.10-3.11 mark
// a valid tag with a flag; 3.12+ set the tag to 0 instead (3.13 no longer sets the flag).
inline unsigned int type_tag(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return type->tp_version_tag;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// The type's own namespace, a new reference (3.12+ keeps those of static builtin types apart).
inline PyObject* type_dict(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyType_GetDict(type);
#else
    return Py_XNewRef(type->tp_dict);
#endif
}

// What a classmethod wraps, read as its `__func__` member descriptor reads it (borrowed); nullptr
// when empty or when the member is not found.
inline PyObject* classmethod_function(PyObject* cm) noexcept {
    static const Py_ssize_t offset = [] {
        for (const PyMemberDef* m = PyClassMethod_Type.tp_members; m && m->name; ++m) {
            const char* a = m->name;
            const char* b = "__func__";
            while (*a && *a == *b) {
                ++a;
                ++b;
            }
            if (*a == *b && m->type == T_OBJECT) {
                return m->offset;
            }
        }
        return Py_ssize_t{-1};
    }();
    if (offset < 0) {
        return nullptr;
    }
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(cm) + offset);
}

constexpr bool code_has_qualname = PY_VERSION_HEX >= 0x030B0000;
constexpr bool suggests_keywords = PY_VERSION_HEX >= 0x030D0000;

}  // namespace kuv::compat
