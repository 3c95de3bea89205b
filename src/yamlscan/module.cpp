// kuv_secrets._yamlscan: render's reading of a YAML stream (render/yamlspans.py) taken straight
// from libyaml's events, without the Python object the binding makes for each of them. Where the
// stream is no valid YAML to this libyaml, it answers None and the binding's reading decides.
#include "errors.hpp"

#include <yaml.h>

#include <cstring>
#include <new>
#include <string_view>
#include <vector>

namespace kuv {
namespace {

constexpr char marker[] = "${{";

// A parser over a UTF-8 buffer it does not own, and the event it produced last.
class Parser {
public:
    Parser(const char* data, Py_ssize_t size) {
        if (!yaml_parser_initialize(&parser_)) {
            throw std::bad_alloc();
        }
        yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(data),
                                     static_cast<size_t>(size));
    }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;
    ~Parser() {
        drop();
        yaml_parser_delete(&parser_);
    }

    // The next event, or nullptr where the stream stops being valid YAML.
    const yaml_event_t* next() noexcept {
        drop();
        if (!yaml_parser_parse(&parser_, &event_)) {
            return nullptr;
        }
        held_ = true;
        return &event_;
    }

private:
    void drop() noexcept {
        if (held_) {
            yaml_event_delete(&event_);
            held_ = false;
        }
    }

    yaml_parser_t parser_{};
    yaml_event_t event_{};
    bool held_ = false;
};

struct Frame {
    bool mapping;
    bool flow;
    bool key_next;
    bool in_key;
};

struct Place {
    bool in_key;
    bool flow;
};

// Where the next node of the innermost collection stands: a mapping's nodes alternate key, value.
Place take_place(std::vector<Frame>& frames) {
    if (frames.empty()) {
        return {false, false};
    }
    Frame& frame = frames.back();
    bool key = frame.mapping && frame.key_next;
    frame.key_next = !frame.key_next;
    return {frame.in_key || key, frame.flow};
}

// Decoded as the binding decodes (PyUnicode_FromYamlString in its _yaml.pyx).
Ref text_of(const yaml_char_t* data, size_t size) {
    return Ref::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data),
                                           static_cast<Py_ssize_t>(size), "strict"));
}

const char* style_of(yaml_scalar_style_t style) noexcept {
    switch (style) {
    case YAML_SINGLE_QUOTED_SCALAR_STYLE:
        return "'";
    case YAML_DOUBLE_QUOTED_SCALAR_STYLE:
        return "\"";
    case YAML_LITERAL_SCALAR_STYLE:
        return "|";
    case YAML_FOLDED_SCALAR_STYLE:
        return ">";
    default:
        return "";
    }
}

bool holds_marker(const yaml_char_t* value, size_t size) noexcept {
    return std::string_view(reinterpret_cast<const char*>(value), size).find(marker) !=
           std::string_view::npos;
}

// (start, end, value, tag, anchored, style, in_key, flow) of a scalar that holds a marker.
Ref scalar_entry(const yaml_event_t& event, Place place) {
    const auto& scalar = event.data.scalar;
    Ref value = text_of(scalar.value, scalar.length);
    Ref tag = Ref::new_ref(Py_None);
    if (scalar.tag) {
        tag = text_of(scalar.tag, std::strlen(reinterpret_cast<const char*>(scalar.tag)));
    }
    return Ref::steal(Py_BuildValue("(nnOOOsOO)", static_cast<Py_ssize_t>(event.start_mark.index),
                                    static_cast<Py_ssize_t>(event.end_mark.index), value.get(),
                                    tag.get(), scalar.anchor ? Py_True : Py_False,
                                    style_of(scalar.style), place.in_key ? Py_True : Py_False,
                                    place.flow ? Py_True : Py_False));
}

PyObject* marked(PyObject*, PyObject* arg) noexcept {
    return guard([&] {
        if (!PyUnicode_Check(arg)) {
            PyErr_Format(PyExc_TypeError, "marked() argument must be str, not %.200s",
                         Py_TYPE(arg)->tp_name);
            throw_error();
        }
        // As the binding reads a str: its UTF-8, which a lone surrogate has none of.
        Ref utf8 = Ref::steal_or_null(PyUnicode_AsUTF8String(arg));
        if (!utf8) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
                throw_error();
            }
            PyErr_Clear();
            return Ref::new_ref(Py_None);
        }
        Ref found = Ref::steal(PyList_New(0));
        std::vector<Frame> frames;
        Parser parser(PyBytes_AS_STRING(utf8.get()), PyBytes_GET_SIZE(utf8.get()));
        for (;;) {
            const yaml_event_t* event = parser.next();
            if (!event) {
                return Ref::new_ref(Py_None);
            }
            switch (event->type) {
            case YAML_STREAM_END_EVENT:
                return found;
            case YAML_SCALAR_EVENT: {
                Place place = take_place(frames);
                if (holds_marker(event->data.scalar.value, event->data.scalar.length)) {
                    Ref entry = scalar_entry(*event, place);
                    check(PyList_Append(found.get(), entry.get()));
                }
                break;
            }
            case YAML_ALIAS_EVENT:
                take_place(frames);
                break;
            case YAML_MAPPING_START_EVENT: {
                Place place = take_place(frames);
                bool flow = event->data.mapping_start.style == YAML_FLOW_MAPPING_STYLE;
                frames.push_back({true, place.flow || flow, true, place.in_key});
                break;
            }
            case YAML_SEQUENCE_START_EVENT: {
                Place place = take_place(frames);
                bool flow = event->data.sequence_start.style == YAML_FLOW_SEQUENCE_STYLE;
                frames.push_back({false, place.flow || flow, true, place.in_key});
                break;
            }
            case YAML_MAPPING_END_EVENT:
            case YAML_SEQUENCE_END_EVENT:
                if (!frames.empty()) {
                    frames.pop_back();
                }
                break;
            default:
                break;
            }
        }
    });
}

PyMethodDef methods[] = {
    {"marked", marked, METH_O,
     "marked($module, text, /)\n--\n\n"
     "The scalars of the YAML stream text that hold a reference marker, each as (start, end,\n"
     "value, tag, anchored, style, in_key, flow), start and end the indices of its event's\n"
     "marks; None where libyaml finds the stream invalid or text has no UTF-8."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_yamlscan",  // the host substitutes the dotted name when loading us inside a package
    "render's reading of YAML from libyaml's events.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kuv

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__yamlscan() {
    return PyModule_Create(&kuv::module_def);
}
