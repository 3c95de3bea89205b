// Substitution of ${{ id }} references inside one string.
//
// The method is defined by what `raw_string.split("${{")`, `split("}}")`, `strip()`, `+` and
// `"".join` do. An exact str cannot run code of its own, so for it those steps are done in one
// scan of the characters; anything else goes through the very same calls on the object.
#include "compose.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kuv {

namespace {

// What the known names were found bound to, for the globals and builtins of the last Scope made
// (one module at a time). Everything in it is borrowed from the two dicts and read only while
// both stamps prove them unchanged; a stale snapshot is retaken, never trusted.
struct Snapshot {
    PyObject* globals = nullptr;  // identity only until the stamps are checked
    compat::DictStamp globals_stamp = 0;
    PyObject* builtins = nullptr;
    compat::DictStamp builtins_stamp = 0;
    PyObject* value[static_cast<int>(Known::count)] = {};
    bool host[static_cast<int>(Known::count)] = {};
};

Snapshot snapshot;

bool fresh(PyObject* globals, PyObject* builtins) noexcept {
    const Snapshot& s = snapshot;
    return s.globals == globals && s.builtins == builtins &&
           compat::dict_unchanged(globals, s.globals_stamp) &&
           compat::dict_unchanged(builtins, s.builtins_stamp);
}

// Starts a new snapshot when `builtins` is what these globals name now; otherwise leaves none.
void retake(PyObject* globals, PyObject* builtins) {
    snapshot = Snapshot{};
    compat::DictStamp g = 0;
    compat::DictStamp b = 0;
    if (!PyDict_CheckExact(globals) || !PyDict_CheckExact(builtins) ||
        !compat::stamp_dict(globals, &g)) {
        return;
    }
    // Without __builtins__ the frame's builtins are used, which the globals do not prove.
    if (!check(PyDict_Contains(globals, names().__builtins__)) ||
        builtins_of(globals).get() != builtins || !compat::dict_unchanged(globals, g) ||
        !compat::stamp_dict(builtins, &b)) {
        return;
    }
    snapshot = Snapshot{globals, g, builtins, b, {}, {}};
}

PyObject* known_name(Known name) noexcept {
    const Names& n = names();
    PyObject* const all[] = {n.isinstance, n.dict, n.list, n.str, n.callable};
    return all[static_cast<int>(name)];
}

// callable(obj) with `callable` looked up now.
bool is_callable(const Scope& scope, Resolver& obj) {
    bool host = false;
    Ref callable = scope.known(Known::callable, &host);
    if (host) {
        return obj.pending() || PyCallable_Check(obj.get()) != 0;  // a method is callable
    }
    return truth(call(callable.get(), {obj.get()}).get());
}

Ref substring(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
    return Ref::steal(PyUnicode_Substring(text, start, end));
}

void append(PyObject* list, PyObject* item) { check(PyList_Append(list, item)); }

// The narrowest PyUnicode_New bound that holds `c`: a str must be stored at its narrowest width.
Py_UCS4 width_bound(Py_UCS4 c) noexcept {
    return c < 0x80 ? 0x7f : c < 0x100 ? 0xff : c < 0x10000 ? 0xffff : 0x10ffff;
}

#if defined(__SSE2__)
// Equal-lane masks over 16 bytes of characters of one width.
template <class T>
struct Lanes;
template <>
struct Lanes<Py_UCS1> {
    static __m128i splat(char c) noexcept { return _mm_set1_epi8(c); }
    static __m128i equal(__m128i a, __m128i b) noexcept { return _mm_cmpeq_epi8(a, b); }
};
template <>
struct Lanes<Py_UCS2> {
    static __m128i splat(char c) noexcept { return _mm_set1_epi16(c); }
    static __m128i equal(__m128i a, __m128i b) noexcept { return _mm_cmpeq_epi16(a, b); }
};
template <>
struct Lanes<Py_UCS4> {
    static __m128i splat(char c) noexcept { return _mm_set1_epi32(c); }
    static __m128i equal(__m128i a, __m128i b) noexcept { return _mm_cmpeq_epi32(a, b); }
};
#endif

// First i in [i, limit) where the L characters of `marker` start, else -1; s[limit + L - 2] must
// be readable. Blocks of 64 bytes are tested without a branch per character, so text full of
// lone '$', '{' or '}' costs no more than text without them.
template <class T, int L>
Py_ssize_t find_marker(const T* s, Py_ssize_t i, Py_ssize_t limit, const char* marker) noexcept {
#if defined(__SSE2__)
    using V = Lanes<T>;
    constexpr Py_ssize_t lanes = 16 / sizeof(T);
    const __m128i c0 = V::splat(marker[0]);
    const __m128i c1 = V::splat(marker[1]);
    const __m128i c2 = V::splat(marker[L - 1]);
    const auto load = [](const T* p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    };
    const auto starts = [&](const T* p) {  // lanes where the marker starts
        __m128i hit = _mm_and_si128(V::equal(load(p), c0), V::equal(load(p + 1), c1));
        if constexpr (L == 3) {
            hit = _mm_and_si128(hit, V::equal(load(p + 2), c2));
        }
        return hit;
    };
    while (limit - i >= 4 * lanes) {
        const T* p = s + i;
        const __m128i any = _mm_or_si128(_mm_or_si128(starts(p), starts(p + lanes)),
                                         _mm_or_si128(starts(p + 2 * lanes), starts(p + 3 * lanes)));
        if (_mm_movemask_epi8(any)) {
            break;
        }
        i += 4 * lanes;
    }
    while (limit - i >= lanes) {
        const int mask = _mm_movemask_epi8(starts(s + i));
        if (mask) {
            return i + __builtin_ctz(static_cast<unsigned>(mask)) / static_cast<int>(sizeof(T));
        }
        i += lanes;
    }
    if (i < limit && limit >= lanes) {
        // The last block ends at `limit`, overlapping what was scanned; lanes before i are dropped.
        const Py_ssize_t start = limit - lanes;
        const unsigned seen = (1u << ((i - start) * static_cast<Py_ssize_t>(sizeof(T)))) - 1;
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(starts(s + start))) & ~seen;
        return mask ? start + __builtin_ctz(mask) / static_cast<int>(sizeof(T)) : -1;
    }
#endif
    for (; i < limit; ++i) {
        if (s[i] == T(marker[0]) && s[i + 1] == T(marker[1]) &&
            (L == 2 || s[i + L - 1] == T(marker[L - 1]))) {
            return i;
        }
    }
    return -1;
}

// The characters of an exact str of one PEP 393 width.
template <class T>
class Text {
public:
    explicit Text(PyObject* s) noexcept
        : s_(static_cast<const T*>(PyUnicode_DATA(s))), n_(PyUnicode_GET_LENGTH(s)) {}

    Py_ssize_t size() const noexcept { return n_; }

    // Start of the first "${{" at or after i, else size(). The marker cannot overlap itself, so
    // the leftmost match is where str.split would cut.
    Py_ssize_t find_open(Py_ssize_t i) const noexcept {
        const Py_ssize_t at = find_marker<T, 3>(s_, i, n_ - 2, "${{");
        return at < 0 ? n_ : at;
    }

    // Start of the first "}}" inside [i, end), else -1.
    Py_ssize_t find_close(Py_ssize_t i, Py_ssize_t end) const noexcept {
        return find_marker<T, 2>(s_, i, end - 1, "}}");
    }

    // Narrows [a, b) as str.strip() without argument does (do_strip in unicodeobject.c).
    void strip(Py_ssize_t& a, Py_ssize_t& b) const noexcept {
        while (a < b && Py_UNICODE_ISSPACE(s_[a])) {
            ++a;
        }
        while (b > a && Py_UNICODE_ISSPACE(s_[b - 1])) {
            --b;
        }
    }

    // The width bound of the characters in [a, b); stops early once `ceiling` is reached.
    Py_UCS4 bound(Py_ssize_t a, Py_ssize_t b, Py_UCS4 ceiling) const noexcept {
        constexpr Py_ssize_t block = 256;
        Py_UCS4 found = 0;
        while (a < b && width_bound(found) < ceiling) {
            const Py_ssize_t stop = std::min(b, a + block);
            T m = 0;
            for (Py_ssize_t i = a; i < stop; ++i) {
                m = std::max(m, s_[i]);
            }
            found = std::max<Py_UCS4>(found, m);
            a = stop;
        }
        return width_bound(found);
    }

private:
    const T* s_;
    Py_ssize_t n_;
};

// A complete reference: its opening marker at `open`, the first closing marker of its segment at
// `close`, the segment ending at `end` (the next opening marker or the end of the text).
struct Found {
    Py_ssize_t open;
    Py_ssize_t close;
    Py_ssize_t end;
    Ref value;  // what the resolver returned
    Ref piece;  // value + rest, formed at once when value is not an exact str
};

// The references of one string: the first few in place, so that a configuration value costs
// no allocation besides its result.
class FoundList {
public:
    void push(Found found) {
        if (size_ < first_.size()) {
            first_[size_] = std::move(found);
        } else {
            rest_.push_back(std::move(found));
        }
        ++size_;
    }
    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    Found& operator[](size_t k) noexcept {
        return k < first_.size() ? first_[k] : rest_[k - first_.size()];
    }
    const Found& operator[](size_t k) const noexcept {
        return k < first_.size() ? first_[k] : rest_[k - first_.size()];
    }

private:
    std::array<Found, 4> first_{};
    std::vector<Found> rest_;
    size_t size_ = 0;
};

// The result in one allocation: every value is an exact str, so `value + rest` and the join are
// plain copies. Literal runs lie before each reference and after the last one.
template <class T>
Ref assemble(const Text<T>& text, PyObject* raw, const FoundList& refs) {
    const auto run_start = [&](size_t k) { return k == 0 ? 0 : refs[k - 1].close + 2; };
    const auto run_end = [&](size_t k) { return k == refs.size() ? text.size() : refs[k].open; };

    Py_ssize_t length = 0;
    for (size_t k = 0; k <= refs.size(); ++k) {
        length += run_end(k) - run_start(k);
    }
    Py_UCS4 maxchar = 0;
    for (size_t k = 0; k < refs.size(); ++k) {
        PyObject* v = refs[k].value.get();
        check(PyUnicode_READY(v));
        if (PyUnicode_GET_LENGTH(v) > PY_SSIZE_T_MAX - length) {
            PyErr_SetString(PyExc_OverflowError, "strings are too large to concat");
            throw_error();
        }
        length += PyUnicode_GET_LENGTH(v);
        maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(v));
    }
    const Py_UCS4 ceiling = PyUnicode_MAX_CHAR_VALUE(raw);
    for (size_t k = 0; k <= refs.size() && maxchar < ceiling; ++k) {
        maxchar = std::max(maxchar, text.bound(run_start(k), run_end(k), ceiling));
    }

    Ref result = Ref::steal(PyUnicode_New(length, maxchar));
    const unsigned kind = PyUnicode_KIND(result.get());
    char* out = static_cast<char*>(PyUnicode_DATA(result.get()));
    Py_ssize_t at = 0;
    const auto copy = [&](PyObject* from, Py_ssize_t start, Py_ssize_t count) {
        if (count <= 0) {
            return;
        }
        if (PyUnicode_KIND(from) == kind) {
            std::memcpy(out + static_cast<size_t>(at) * kind,
                        static_cast<const char*>(PyUnicode_DATA(from)) + static_cast<size_t>(start) * kind,
                        static_cast<size_t>(count) * kind);
        } else {
            check(static_cast<int>(PyUnicode_CopyCharacters(result.get(), at, from, start, count)));
        }
        at += count;
    };
    for (size_t k = 0; k < refs.size(); ++k) {
        copy(raw, run_start(k), run_end(k) - run_start(k));
        copy(refs[k].value.get(), 0, PyUnicode_GET_LENGTH(refs[k].value.get()));
    }
    copy(raw, run_start(refs.size()), run_end(refs.size()) - run_start(refs.size()));
    return result;
}

// The Python steps 4 to 6 as they are, once some value is not an exact str: one piece per
// segment, joined by str.join, so a piece that is not a str fails with join's own message.
template <class T>
Ref join_pieces(const Text<T>& text, PyObject* raw, Py_ssize_t first, FoundList& refs) {
    Ref pieces = Ref::steal(PyList_New(0));
    append(pieces.get(), substring(raw, 0, first).get());
    size_t k = 0;
    for (Py_ssize_t open = first; open < text.size();) {
        const Py_ssize_t end = text.find_open(open + 3);
        if (k < refs.size() && refs[k].open == open) {
            Found& r = refs[k++];
            if (!r.piece) {
                r.piece = add(r.value.get(), substring(raw, r.close + 2, end).get());
            }
            append(pieces.get(), r.piece.get());
        } else {
            append(pieces.get(), substring(raw, open, end).get());
        }
        open = end;
    }
    return Ref::steal(PyUnicode_Join(names().empty_str, pieces.get()));
}

// An exact str: resolve while scanning (the order of resolver calls and of failures is the
// Python one; splitting first is invisible on an immutable str).
template <class T>
Ref compose_exact(PyObject* raw, Resolver& resolver, PyObject* owner, PyObject* prefix) {
    const Text<T> text(raw);
    const Py_ssize_t first = text.find_open(0);
    if (first == text.size()) {
        return Ref::new_ref(raw);
    }
    FoundList refs;
    bool exact = true;
    for (Py_ssize_t open = first; open < text.size();) {
        const Py_ssize_t end = text.find_open(open + 3);
        const Py_ssize_t close = text.find_close(open + 3, end);
        if (close >= 0) {
            Py_ssize_t a = open + 3;
            Py_ssize_t b = close;
            text.strip(a, b);
            Ref value = call(resolver.get(), {substring(raw, a, b).get(), owner, prefix});
            Ref piece;
            if (!PyUnicode_CheckExact(value.get())) {
                // The host's `+` with the value on the left, now: its error stops the walk here.
                exact = false;
                piece = add(value.get(), substring(raw, close + 2, end).get());
            }
            refs.push(Found{open, close, end, std::move(value), std::move(piece)});
        }
        open = end;
    }
    if (refs.empty()) {
        return Ref::new_ref(raw);
    }
    return exact ? assemble(text, raw, refs) : join_pieces(text, raw, first, refs);
}

// Anything but an exact str: the Python steps call for call.
//     segments = [segment.split("}}") for segment in raw_string.split("${{")]
//     for parts in segments[1:]:
//         if len(parts) > 1: pieces.append(resolver(parts[0].strip(), owner_name, prefix)
//                                          + "}}".join(parts[1:]))
//         else: pieces.append("${{" + parts[0])
//     return "".join(["}}".join(segments[0])] + pieces)
Ref compose_general(PyObject* raw, Resolver& resolver, PyObject* owner, PyObject* prefix) {
    const Names& n = names();
    Ref cut = call_method(raw, n.split, {n.open_marker});
    Ref it = Ref::steal(PyObject_GetIter(cut.get()));
    Ref segments = Ref::steal(PyList_New(0));
    while (Ref segment = Ref::steal_or_null(PyIter_Next(it.get()))) {
        append(segments.get(), call_method(segment.get(), n.split, {n.close_marker}).get());
    }
    if (PyErr_Occurred()) {
        throw_error();
    }

    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref tail = Ref::steal(PySlice_New(one.get(), nullptr, nullptr));
    Ref pieces = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 1; i < PyList_GET_SIZE(segments.get()); ++i) {
        Ref parts = Ref::new_ref(PyList_GET_ITEM(segments.get(), i));
        const Py_ssize_t count = PyObject_Size(parts.get());
        if (count < 0) {
            throw_error();
        }
        Ref head = Ref::steal(PyObject_GetItem(parts.get(), zero.get()));
        Ref piece;
        if (count > 1) {
            Ref id = call_method(head.get(), n.strip, {});
            Ref value = call(resolver.get(), {id.get(), owner, prefix});
            Ref rest = Ref::steal(PyObject_GetItem(parts.get(), tail.get()));
            piece = add(value.get(), Ref::steal(PyUnicode_Join(n.close_marker, rest.get())).get());
        } else {
            piece = add(n.open_marker, head.get());
        }
        append(pieces.get(), piece.get());
    }

    PyObject* first = PyList_GetItem(segments.get(), 0);  // IndexError for an empty split
    if (!first) {
        throw_error();
    }
    Ref first_parts = Ref::new_ref(first);
    Ref all = Ref::steal(PyList_New(0));
    append(all.get(), Ref::steal(PyUnicode_Join(n.close_marker, first_parts.get())).get());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pieces.get()); ++i) {
        append(all.get(), PyList_GET_ITEM(pieces.get(), i));
    }
    return Ref::steal(PyUnicode_Join(n.empty_str, all.get()));
}

// An exact str, after the resolver was found callable.
Ref compose_str(PyObject* raw, Resolver& resolver, PyObject* owner, PyObject* prefix) {
    Ref held = Ref::new_ref(raw);  // keeps the characters in place while resolvers run
    check(PyUnicode_READY(raw));
    switch (PyUnicode_KIND(raw)) {
    case PyUnicode_1BYTE_KIND:
        return compose_exact<Py_UCS1>(raw, resolver, owner, prefix);
    case PyUnicode_2BYTE_KIND:
        return compose_exact<Py_UCS2>(raw, resolver, owner, prefix);
    case PyUnicode_4BYTE_KIND:
        return compose_exact<Py_UCS4>(raw, resolver, owner, prefix);
    default:
        return compose_general(raw, resolver, owner, prefix);
    }
}

// True when `callable`, looked up in a call with these globals now, is proven to be the host's
// own builtin: the snapshot is of these globals (so of the builtins they name) and both dicts are
// unchanged since it found that.
bool callable_is_host(PyObject* globals) noexcept {
    const Snapshot& s = snapshot;
    return s.globals == globals && s.host[static_cast<int>(Known::callable)] &&
           compat::dict_unchanged(globals, s.globals_stamp) &&
           compat::dict_unchanged(s.builtins, s.builtins_stamp);
}

}  // namespace

Scope::Scope(PyObject* globals) : globals_(globals) {
    const Snapshot& s = snapshot;
    if (s.globals == globals && compat::dict_unchanged(globals, s.globals_stamp)) {
        // The same __builtins__ object, so the same dict.
        builtins_ = Ref::new_ref(s.builtins);
        return;
    }
    builtins_ = builtins_of(globals);
    retake(globals, builtins_.get());
}

Ref Scope::known(Known name, bool* host) const {
    const int k = static_cast<int>(name);
    if (fresh(globals_, builtins_.get())) {
        if (PyObject* found = snapshot.value[k]) {
            *host = snapshot.host[k];
            return Ref::new_ref(found);
        }
    } else {
        retake(globals_, builtins_.get());
    }
    // Kept only if the very stamps taken before the lookup still hold after it: a key's __eq__
    // may change a dict, or start a new snapshot, meanwhile.
    const bool was_fresh = fresh(globals_, builtins_.get());
    const compat::DictStamp g = snapshot.globals_stamp;
    const compat::DictStamp b = snapshot.builtins_stamp;
    Ref found = (*this)[known_name(name)];
    *host = (name == Known::isinstance && is_host_builtin(*this, found.get(), "isinstance")) ||
            (name == Known::callable && is_host_builtin(*this, found.get(), "callable"));
    if (was_fresh && fresh(globals_, builtins_.get()) && snapshot.globals_stamp == g &&
        snapshot.builtins_stamp == b) {
        snapshot.value[k] = found.get();
        snapshot.host[k] = *host;
    }
    return found;
}

bool Scope::plain_types(PyObject* types[3]) const noexcept {
    if (!fresh(globals_, builtins_.get())) {
        return false;
    }
    const Snapshot& s = snapshot;
    constexpr int order[] = {static_cast<int>(Known::dict), static_cast<int>(Known::list),
                             static_cast<int>(Known::str)};
    if (!s.value[static_cast<int>(Known::isinstance)] ||
        !s.host[static_cast<int>(Known::isinstance)]) {
        return false;
    }
    for (int i = 0; i < 3; ++i) {
        PyObject* t = s.value[order[i]];
        if (!t || !PyType_CheckExact(t)) {
            return false;
        }
        types[i] = t;
    }
    return true;
}

Ref compose(const Scope& scope, PyObject* raw, Resolver& resolver, PyObject* owner,
            PyObject* prefix) {
    if (!is_callable(scope, resolver)) {
        return Ref::new_ref(raw);
    }
    return PyUnicode_CheckExact(raw) ? compose_str(raw, resolver, owner, prefix)
                                     : compose_general(raw, resolver, owner, prefix);
}

Ref secret_composer_impl(const CallArgs& a) {
    Resolver resolver(a[2]);
    if (PyUnicode_CheckExact(a[1]) && callable_is_host(a.globals())) {
        // callable(resolver) is PyCallable_Check, and nothing else is looked up.
        return PyCallable_Check(a[2]) ? compose_str(a[1], resolver, a[3], a[4])
                                      : Ref::new_ref(a[1]);
    }
    return compose(Scope(a.globals()), a[1], resolver, a[3], a[4]);
}

}  // namespace kuv
