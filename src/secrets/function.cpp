// The native function type. Attribute behaviour follows Objects/funcobject.c; argument binding
// and its error messages follow initialize_locals() in Python/ceval.c.
#include "function.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include <structmember.h>

namespace kuv {

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;  // static, never freed
    PyObject* globals;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // tuple or NULL
    PyObject* kwdefaults;   // dict or NULL
    PyObject* annotations;  // dict or NULL
    PyObject* code;
    PyObject* dict;
    PyObject* class_cell;   // the implicit __class__, or NULL
    PyObject* varnames;     // interned parameter names, **kwargs last: keywords are matched here
    PyObject* weakreflist;
};

namespace {

// Made once per process and shared by every copy of the module.
PyTypeObject* function_type = nullptr;

NativeFunction* as_function(PyObject* obj) noexcept { return reinterpret_cast<NativeFunction*>(obj); }

PyObject* new_param_name(const FunctionSpec& spec, Py_ssize_t i) {
    PyObject* s = PyUnicode_InternFromString(spec.params[i]);
    if (!s) {
        throw_error();
    }
    return s;
}

// ---- argument errors, worded as the interpreter words them for a Python function ----

Ref param_name(const NativeFunction* f, Py_ssize_t i) {
    return Ref::steal(PyUnicode_FromString(f->spec->params[i]));
}

// Python/ceval.c format_missing()
[[noreturn]] void missing_arguments(const NativeFunction* f, PyObject* const* bound, Py_ssize_t from,
                                    Py_ssize_t to) {
    Ref missing = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = from; i < to; ++i) {
        if (!bound[i]) {
            Ref repr = Ref::steal(PyObject_Repr(param_name(f, i).get()));
            check(PyList_Append(missing.get(), repr.get()));
        }
    }
    Py_ssize_t count = PyList_GET_SIZE(missing.get());
    Ref text;
    if (count == 1) {
        text = Ref::new_ref(PyList_GET_ITEM(missing.get(), 0));
    } else if (count == 2) {
        text = Ref::steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(missing.get(), 0),
                                               PyList_GET_ITEM(missing.get(), 1)));
    } else {
        Ref tail = Ref::steal(PyUnicode_FromFormat("%U, %U, and %U",
                                                   PyList_GET_ITEM(missing.get(), count - 3),
                                                   PyList_GET_ITEM(missing.get(), count - 2),
                                                   PyList_GET_ITEM(missing.get(), count - 1)));
        Ref head = Ref::steal(PyList_GetSlice(missing.get(), 0, count - 3));
        check(PyList_Append(head.get(), tail.get()));
        Ref sep = Ref::steal(PyUnicode_FromString(", "));
        text = Ref::steal(PyUnicode_Join(sep.get(), head.get()));
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U",
                 f->qualname, count, count == 1 ? "" : "s", text.get());
    throw_error();
}

// Python/ceval.c too_many_positional()
[[noreturn]] void too_many_positional(const NativeFunction* f, Py_ssize_t given, Py_ssize_t defcount) {
    const Py_ssize_t argcount = f->spec->nparams;
    Ref sig = defcount ? Ref::steal(PyUnicode_FromFormat("from %zd to %zd", argcount - defcount, argcount))
                       : Ref::steal(PyUnicode_FromFormat("%zd", argcount));
    bool plural = defcount ? true : argcount != 1;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", f->qualname,
                 sig.get(), plural ? "s" : "", given, given == 1 ? "was" : "were");
    throw_error();
}

// Python/suggestions.c: the closest parameter name, as 3.13 offers it for a mistyped keyword.
constexpr std::size_t move_cost = 2;
constexpr std::size_t case_cost = 1;
constexpr std::size_t max_string_size = 40;

std::size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) {
        return move_cost;
    }
    if (a == b) {
        return 0;
    }
    if ('A' <= a && a <= 'Z') {
        a = static_cast<char>(a + ('a' - 'A'));
    }
    if ('A' <= b && b <= 'Z') {
        b = static_cast<char>(b + ('a' - 'A'));
    }
    return a == b ? case_cost : move_cost;
}

std::size_t levenshtein(const char* a, std::size_t a_size, const char* b, std::size_t b_size,
                        std::size_t max_cost) {
    while (a_size && b_size && a[0] == b[0]) {
        ++a, ++b, --a_size, --b_size;
    }
    while (a_size && b_size && a[a_size - 1] == b[b_size - 1]) {
        --a_size, --b_size;
    }
    if (a_size == 0 || b_size == 0) {
        return (a_size + b_size) * move_cost;
    }
    if (a_size > max_string_size || b_size > max_string_size) {
        return max_cost + 1;
    }
    if (b_size < a_size) {
        std::swap(a, b);
        std::swap(a_size, b_size);
    }
    if ((b_size - a_size) * move_cost > max_cost) {
        return max_cost + 1;
    }
    std::size_t buffer[max_string_size];
    std::size_t tmp = move_cost;
    for (std::size_t i = 0; i < a_size; ++i) {
        buffer[i] = tmp;
        tmp += move_cost;
    }
    std::size_t result = 0;
    for (std::size_t b_index = 0; b_index < b_size; ++b_index) {
        char code = b[b_index];
        std::size_t distance = result = b_index * move_cost;
        std::size_t minimum = SIZE_MAX;
        for (std::size_t index = 0; index < a_size; ++index) {
            std::size_t substitute = distance + substitution_cost(code, a[index]);
            distance = buffer[index];
            std::size_t insert_delete = std::min(result, distance) + move_cost;
            result = std::min(insert_delete, substitute);
            buffer[index] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost) {
            return max_cost + 1;
        }
    }
    return result;
}

const char* suggest_keyword(const NativeFunction* f, PyObject* keyword) {
    Py_ssize_t name_size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(keyword, &name_size);
    if (!name) {
        PyErr_Clear();
        return nullptr;
    }
    const char* best = nullptr;
    std::size_t best_distance = SIZE_MAX;
    for (int i = 0; i < f->spec->nparams; ++i) {
        const char* item = f->spec->params[i];
        std::size_t item_size = std::strlen(item);
        if (item_size == static_cast<std::size_t>(name_size) && std::memcmp(item, name, item_size) == 0) {
            continue;
        }
        std::size_t max_distance = (static_cast<std::size_t>(name_size) + item_size + 3) * move_cost / 6;
        if (best_distance != SIZE_MAX) {
            max_distance = std::min(max_distance, best_distance - 1);
        }
        std::size_t d = levenshtein(name, static_cast<std::size_t>(name_size), item, item_size, max_distance);
        if (d > max_distance) {
            continue;
        }
        if (!best || d < best_distance) {
            best = item;
            best_distance = d;
        }
    }
    return best;
}

[[noreturn]] void unexpected_keyword(const NativeFunction* f, PyObject* keyword) {
    const char* suggestion = compat::suggests_keywords ? suggest_keyword(f, keyword) : nullptr;
    if (suggestion) {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%s'?",
                     f->qualname, keyword, suggestion);
    } else {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, keyword);
    }
    throw_error();
}

Py_ssize_t find_param(const NativeFunction* f, PyObject* keyword, PyObject* const* param_names) {
    for (int i = 0; i < f->spec->nparams; ++i) {
        if (param_names[i] == keyword) {
            return i;
        }
    }
    for (int i = 0; i < f->spec->nparams; ++i) {
        int eq = PyObject_RichCompareBool(keyword, param_names[i], Py_EQ);
        if (check(eq)) {
            return i;
        }
    }
    return -1;
}

// ---- call ----

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    return guard([&]() -> Ref {
        auto* f = as_function(callable);
        const FunctionSpec& spec = *f->spec;
        const Py_ssize_t argcount = spec.nparams;
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if (!kwnames && !spec.varkw && nargs <= argcount) {
            // Positional only, the usual call: what remains to bind is the tail of defaults.
            Ref self = Ref::new_ref(callable);
            if (nargs == argcount) {
                return spec.impl(CallArgs{args, nullptr, f});
            }
            const Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
            if (argcount - nargs <= defcount) {
                Ref defaults = Ref::new_ref(f->defaults);  // a callee may rebind __defaults__
                PyObject* filled[max_params];
                std::copy(args, args + nargs, filled);
                for (Py_ssize_t i = nargs; i < argcount; ++i) {
                    filled[i] = PyTuple_GET_ITEM(defaults.get(), defcount - argcount + i);
                }
                return spec.impl(CallArgs{filled, nullptr, f});
            }
        }
        PyObject* bound[max_params] = {};  // borrowed from args or defaults, both held below
        Ref kwargs = spec.varkw ? Ref::steal(PyDict_New()) : Ref();

        for (Py_ssize_t i = 0; i < std::min(nargs, argcount); ++i) {
            bound[i] = args[i];
        }
        if (kwnames) {
            PyObject* const* param_names = &PyTuple_GET_ITEM(f->varnames, 0);
            const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t j = 0; j < nkw; ++j) {
                PyObject* keyword = PyTuple_GET_ITEM(kwnames, j);
                PyObject* value = args[nargs + j];
                if (!PyUnicode_Check(keyword)) {
                    PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
                    throw_error();
                }
                Py_ssize_t index = find_param(f, keyword, param_names);
                if (index < 0) {
                    if (!kwargs) {
                        unexpected_keyword(f, keyword);
                    }
                    check(PyDict_SetItem(kwargs.get(), keyword, value));
                    continue;
                }
                if (bound[index]) {
                    PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                                 f->qualname, keyword);
                    throw_error();
                }
                bound[index] = value;
            }
        }
        // Held for the call: a callee may rebind __defaults__ meanwhile.
        Ref defaults = f->defaults ? Ref::new_ref(f->defaults) : Ref();
        const Py_ssize_t defcount = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
        if (nargs > argcount) {
            too_many_positional(f, nargs, defcount);
        }
        if (nargs < argcount) {
            const Py_ssize_t m = argcount - defcount;
            for (Py_ssize_t i = nargs; i < m; ++i) {
                if (!bound[i]) {
                    missing_arguments(f, bound, nargs, m);
                }
            }
            const Py_ssize_t n = std::min(nargs, argcount);
            for (Py_ssize_t i = n > m ? n - m : 0; i < defcount; ++i) {
                if (!bound[m + i]) {
                    bound[m + i] = PyTuple_GET_ITEM(defaults.get(), i);
                }
            }
        }
        Ref self = Ref::new_ref(callable);
        return spec.impl(CallArgs{bound, kwargs.get(), f});
    });
}

// Objects/funcobject.c func_descr_get()
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == Py_None || obj == nullptr) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->globals);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->code);
    Py_VISIT(f->dict);
    Py_VISIT(f->class_cell);
    Py_VISIT(f->varnames);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    auto* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->code);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->class_cell);
    // name, qualname, globals and varnames stay until deallocation: a finalizer in the same
    // cycle may still call the function, and its calls rely on them.
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    auto* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->varnames);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- attributes (Objects/funcobject.c func_getsetlist) ----

template <PyObject* NativeFunction::*member>
PyObject* get_or_none(PyObject* self, void*) noexcept {
    PyObject* value = as_function(self)->*member;
    return Py_NewRef(value ? value : Py_None);
}

template <PyObject* NativeFunction::*member>
int set_string(PyObject* self, PyObject* value, void* closure) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", static_cast<const char*>(closure));
        return -1;
    }
    Py_XSETREF(as_function(self)->*member, Py_NewRef(value));
    return 0;
}

template <PyObject* NativeFunction::*member>
int set_any(PyObject* self, PyObject* value, void*) noexcept {
    Py_XSETREF(as_function(self)->*member, Py_NewRef(value ? value : Py_None));
    return 0;
}

// __defaults__, __kwdefaults__ and __annotations__: None (or deletion) clears them.
template <PyObject* NativeFunction::*member, int (*type_check)(PyObject*)>
int set_optional(PyObject* self, PyObject* value, void* closure) noexcept {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value && !type_check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a %s object", static_cast<const char*>(closure),
                     member == &NativeFunction::defaults ? "tuple" : "dict");
        return -1;
    }
    Py_XSETREF(as_function(self)->*member, Py_XNewRef(value));
    return 0;
}

int tuple_check(PyObject* o) { return PyTuple_Check(o); }
int dict_check(PyObject* o) { return PyDict_Check(o); }

PyObject* get_annotations(PyObject* self, void*) noexcept {
    auto* f = as_function(self);
    if (!f->annotations) {
        f->annotations = PyDict_New();
    }
    return Py_XNewRef(f->annotations);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_or_none<&NativeFunction::name>, set_string<&NativeFunction::name>, nullptr,
     const_cast<char*>("__name__")},
    {"__qualname__", get_or_none<&NativeFunction::qualname>, set_string<&NativeFunction::qualname>,
     nullptr, const_cast<char*>("__qualname__")},
    {"__module__", get_or_none<&NativeFunction::module>, set_any<&NativeFunction::module>, nullptr, nullptr},
    {"__doc__", get_or_none<&NativeFunction::doc>, set_any<&NativeFunction::doc>, nullptr, nullptr},
    {"__defaults__", get_or_none<&NativeFunction::defaults>,
     set_optional<&NativeFunction::defaults, tuple_check>, nullptr, const_cast<char*>("__defaults__")},
    {"__kwdefaults__", get_or_none<&NativeFunction::kwdefaults>,
     set_optional<&NativeFunction::kwdefaults, dict_check>, nullptr, const_cast<char*>("__kwdefaults__")},
    {"__annotations__", get_annotations, set_optional<&NativeFunction::annotations, dict_check>, nullptr,
     const_cast<char*>("__annotations__")},
    {"__code__", get_or_none<&NativeFunction::code>, nullptr, nullptr, nullptr},
    {"__globals__", get_or_none<&NativeFunction::globals>, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A code object that carries the parameters, so inspect.signature() reads them as for a def.
// Positional parameters, then **kwargs: the order of co_varnames.
Ref make_varnames(const FunctionSpec& spec) {
    Ref varnames = Ref::steal(PyTuple_New(spec.nparams + (spec.varkw ? 1 : 0)));
    for (Py_ssize_t i = 0; i < spec.nparams; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, new_param_name(spec, i));
    }
    if (spec.varkw) {
        PyTuple_SET_ITEM(varnames.get(), spec.nparams, Py_NewRef(names().kwargs));
    }
    return varnames;
}

Ref make_code(const FunctionSpec& spec, PyObject* qualname, PyObject* varnames) {
    PyCodeObject* empty = PyCode_NewEmpty("<native>", spec.name, 0);
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(empty));
    const Py_ssize_t nlocals = PyTuple_GET_SIZE(varnames);
    int flags = CO_OPTIMIZED | CO_NEWLOCALS | (spec.varkw ? CO_VARKEYWORDS : 0);
    Ref replace = getattr(code.get(), names().replace);
    Ref kw = Ref::steal(PyDict_New());
    Ref argcount = Ref::steal(PyLong_FromLong(spec.nparams));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref nloc = Ref::steal(PyLong_FromSsize_t(nlocals));
    Ref flag_obj = Ref::steal(PyLong_FromLong(flags));
    check(PyDict_SetItem(kw.get(), names().co_argcount, argcount.get()));
    check(PyDict_SetItem(kw.get(), names().co_posonlyargcount, zero.get()));
    check(PyDict_SetItem(kw.get(), names().co_kwonlyargcount, zero.get()));
    check(PyDict_SetItem(kw.get(), names().co_nlocals, nloc.get()));
    check(PyDict_SetItem(kw.get(), names().co_varnames, varnames));
    check(PyDict_SetItem(kw.get(), names().co_flags, flag_obj.get()));
    if (compat::code_has_qualname) {
        check(PyDict_SetItem(kw.get(), names().co_qualname, qualname));
    }
    Ref no_args = Ref::steal(PyTuple_New(0));
    return Ref::steal(PyObject_Call(replace.get(), no_args.get(), kw.get()));
}

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(NativeFunction, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(NativeFunction, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(NativeFunction, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// No Py_tp_doc: PyType_FromSpec would store it as the type's __doc__ and hide the getset.
PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "secrets.function",
    sizeof(NativeFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
    function_slots,
};

}  // namespace

PyObject* CallArgs::globals() const noexcept { return func->globals; }
PyObject* CallArgs::class_cell() const noexcept { return func->class_cell; }

bool is_native_function(PyObject* obj) noexcept {
    return function_type && Py_IS_TYPE(obj, function_type);
}

Impl impl_of(PyObject* function) noexcept { return as_function(function)->spec->impl; }

PyObject* globals_of(PyObject* function) noexcept { return as_function(function)->globals; }

void ready_function_type() {
    if (!function_type) {
        function_type = reinterpret_cast<PyTypeObject*>(Ref::steal(PyType_FromSpec(&function_spec)).release());
    }
}

Ref make_function(const FunctionSpec& spec, PyObject* globals, PyObject* module_name,
                  PyObject* defaults, PyObject* annotations) {
    Ref qualname = Ref::steal(PyUnicode_FromString(spec.qualname));
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref doc = spec.doc ? Ref::steal(PyUnicode_FromString(spec.doc)) : Ref::new_ref(Py_None);
    Ref varnames = make_varnames(spec);
    Ref code = make_code(spec, qualname.get(), varnames.get());
    auto* f = PyObject_GC_New(NativeFunction, function_type);
    if (!f) {
        throw_error();
    }
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->globals = Py_NewRef(globals);
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Py_NewRef(module_name);
    f->doc = doc.release();
    f->defaults = defaults == Py_None ? nullptr : Py_NewRef(defaults);
    f->kwdefaults = nullptr;
    f->annotations = Py_NewRef(annotations);
    f->code = code.release();
    f->dict = nullptr;
    f->class_cell = nullptr;
    f->varnames = varnames.release();
    f->weakreflist = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

void set_class_cell(PyObject* function, PyObject* cls) {
    Py_XSETREF(as_function(function)->class_cell, Py_NewRef(cls));
}

}  // namespace kuv
