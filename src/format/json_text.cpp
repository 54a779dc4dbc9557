#include "json_text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "calls.h"
#include "genuine.h"
#include "number_text.h"

namespace zantu {

namespace {

constexpr int kMaxDepth = 32;

}  // namespace

// What differs between the texts of the two encoders whose text is made
// here, as data: which characters of a str stand for themselves, and what
// goes between array elements. Everything else (the escapes, the digits,
// the literals, tuples and lists written alike) they share.
struct TextStyle {
    bool plain[256];        // a one-byte character that stands for itself
    std::string_view separator;
};

namespace {

// Printable ASCII but for '"' and '\\' stands for itself; ujson also
// escapes '/', the standard json also escapes DEL (0x7f).
constexpr TextStyle make_style(bool standard) {
    TextStyle style{{}, standard ? ", " : ","};
    for (int c = 0x20; c < 0x7f; ++c) style.plain[c] = c != '"' && c != '\\' && (standard || c != '/');
    style.plain[0x7f] = !standard;
    return style;
}

constexpr TextStyle kUjsonStyle = make_style(false);
constexpr TextStyle kStandardStyle = make_style(true);

// Whether every one of `n` one-byte characters stands for itself: told
// without a branch per char, as most strs have nothing to escape.
bool all_plain(const unsigned char* chars, Py_ssize_t n, const TextStyle& style) {
    bool all = true;
    for (Py_ssize_t i = 0; i < n; ++i) all &= style.plain[chars[i]];
    return all;
}

void emit_unit_escape(std::string& out, Py_UCS4 unit) {
    static const char hex[] = "0123456789abcdef";
    const char buffer[6] = {'\\', 'u', hex[(unit >> 12) & 0xf], hex[(unit >> 8) & 0xf], hex[(unit >> 4) & 0xf],
                            hex[unit & 0xf]};
    out.append(buffer, sizeof buffer);
}

// The escape of a character that does not stand for itself.
void emit_escape(std::string& out, Py_UCS4 c) {
    switch (c) {
        case '"': out.append("\\\"", 2); return;
        case '\\': out.append("\\\\", 2); return;
        case '/': out.append("\\/", 2); return;
        case '\b': out.append("\\b", 2); return;
        case '\f': out.append("\\f", 2); return;
        case '\n': out.append("\\n", 2); return;
        case '\r': out.append("\\r", 2); return;
        case '\t': out.append("\\t", 2); return;
        default: break;
    }
    if (c < 0x10000) {
        emit_unit_escape(out, c);
        return;
    }
    c -= 0x10000;  // a surrogate pair
    emit_unit_escape(out, 0xd800 | (c >> 10));
    emit_unit_escape(out, 0xdc00 | (c & 0x3ff));
}

// A str as both encoders write it with their default ensure_ascii: the
// short escapes, and \uXXXX (lower-case hex) for other control characters
// and everything past ASCII, a surrogate pair past U+FFFF and a lone
// surrogate as itself.
void emit_string(std::string& out, PyObject* text, const TextStyle& style) {
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    out += '"';
    if (kind == PyUnicode_1BYTE_KIND) {
        const char* chars = static_cast<const char*>(data);
        if (all_plain(static_cast<const unsigned char*>(data), n, style)) {
            out.append(chars, size_t(n));
            out += '"';
            return;
        }
        // Runs of characters that stand for themselves go in at once.
        Py_ssize_t run = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            auto c = static_cast<unsigned char>(chars[i]);
            if (style.plain[c]) continue;
            out.append(chars + run, size_t(i - run));
            emit_escape(out, c);
            run = i + 1;
        }
        out.append(chars + run, size_t(n - run));
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c < 0x80 && style.plain[c]) {
                out += char(c);
            } else {
                emit_escape(out, c);
            }
        }
    }
    out += '"';
}

void emit_integer(std::string& out, long long value) {
    // Most numbers written are codes and counts of one or two digits.
    if (value >= 0 && value < 100) {
        if (value >= 10) out += char('0' + value / 10);
        out += char('0' + value % 10);
        return;
    }
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, size_t(result.ptr - digits));
}

// The elements of a long array are scattered in memory: the text of each
// waits for its memory in turn. The memory of the elements a few steps
// ahead is asked for meanwhile: an element's own object first, and a few
// steps later, when that has come in, the first element inside it (the
// first value of an item, the first item of a bag).
constexpr Py_ssize_t kNear = 4;
constexpr Py_ssize_t kFar = 2 * kNear;
inline void prefetch_ahead(PyObject* const* elements, Py_ssize_t i, Py_ssize_t n) {
    if (i + kFar < n) prefetch(elements[i + kFar]);
    if (i + kNear < n) prefetch_first_element(elements[i + kNear]);
}

// The one emitter of a value's text, in `style`: false when the value is
// not one that is written natively (exact strs, ints that fit 64 bits,
// bools, None, and tuples of these, and lists when `lists`), and `out` is
// then as it was. No code of the caller's runs while the text is made, so
// a list cannot change meanwhile.
bool emit_value(std::string& out, PyObject* value, const TextStyle& style, bool lists, int depth = 0) {
    if (PyUnicode_CheckExact(value)) {
        emit_string(out, value, style);
        return true;
    }
    if (PyLong_CheckExact(value)) {
        long long n = 0;
        if (!exact_int_value(value, n)) return false;
        emit_integer(out, n);
        return true;
    }
    if (value == Py_True) {
        out.append("true", 4);
        return true;
    }
    if (value == Py_False) {
        out.append("false", 5);
        return true;
    }
    if (value == Py_None) {
        out.append("null", 4);
        return true;
    }
    if ((PyTuple_CheckExact(value) || (lists && PyList_CheckExact(value))) && depth < kMaxDepth) {
        size_t mark = out.size();
        out += '[';
        PyObject** elements = PySequence_Fast_ITEMS(value);
        Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
        for (Py_ssize_t i = 0; i < n; ++i) {
            prefetch_ahead(elements, i, n);
            if (i > 0) out += style.separator;
            if (!emit_value(out, elements[i], style, lists, depth + 1)) {
                out.resize(mark);
                return false;
            }
        }
        out += ']';
        return true;
    }
    return false;
}

bool append_native(std::string& out, PyObject* value, const TextStyle& style) {
    return emit_value(out, value, style, true);
}

// A str of `bytes`, which are ASCII.
Ref ascii_str(const std::string& bytes) {
    Ref text = Ref::check(PyUnicode_New(Py_ssize_t(bytes.size()), 127));
    std::memcpy(PyUnicode_DATA(text.get()), bytes.data(), bytes.size());
    return text;
}

// The text of `value` in `style` followed by `suffix` (ASCII), as a new
// str, made in `scratch`. Empty when the value is not written natively.
Ref native_text(PyObject* value, const TextStyle& style, std::string_view suffix, std::string& scratch) {
    scratch.clear();
    if (!emit_value(scratch, value, style, true)) return Ref();
    scratch += suffix;
    return ascii_str(scratch);
}

}  // namespace

// Eight bytes at a time: most pieces are ASCII and short.
bool all_ascii(const std::string& bytes) {
    const char* data = bytes.data();
    size_t n = bytes.size();
    uint64_t seen = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, sizeof word);
        seen |= word;
    }
    for (; i < n; ++i) seen |= static_cast<unsigned char>(data[i]);
    return (seen & 0x8080808080808080ULL) == 0;
}

Ref json_dump(PyObject* module) {
    Ref json = module_global(module, interned().json);
    return get_attr(json.get(), interned().dump);
}

Ref json_load_function(PyObject* module) {
    Ref json = module_global(module, interned().json);
    return get_attr(json.get(), interned().load);
}

Ref ujson_decode(PyObject* text) { return call(state().ujson_loads.get(), text); }

Ref ujson_file_method(PyObject* file, const char* name) {
    if (!PyObject_HasAttrString(file, name)) raise(PyExc_TypeError, "expected file");
    Ref method = Ref::check(PyObject_GetAttrString(file, name));
    if (!PyCallable_Check(method.get())) raise(PyExc_TypeError, "expected file");
    return method;
}

bool ujson_dump_bound(PyObject* module) {
    PyObject* ujson_dump = state().ujson_dump.get();
    if (ujson_dump == nullptr || !fast_path(FastPath::document_text)) return false;
    // An error here (from the __eq__ of a key of the caller's in either
    // namespace) only means no text is made ahead: the lookup that json.dump
    // makes later meets it again.
    PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(module), interned().json);
    if (found == nullptr || !PyModule_CheckExact(found)) {
        if (PyErr_Occurred()) PyErr_Clear();
        return false;
    }
    // Held: the lookup below may run such an __eq__, which could unbind it.
    Ref json = Ref::borrow(found);
    PyObject* dump = PyDict_GetItemWithError(PyModule_GetDict(json.get()), interned().dump);
    if (dump == nullptr && PyErr_Occurred()) PyErr_Clear();
    return dump != nullptr && dump == ujson_dump;
}

bool append_fixed(std::string& out, PyObject* value) { return emit_value(out, value, kUjsonStyle, false); }

namespace {

// Whether `value` holds no list, however deep: then its text made with
// lists allowed is the text append_fixed makes.
bool holds_no_list(PyObject* value) {
    if (PyList_Check(value)) return false;
    if (!PyTuple_CheckExact(value)) return true;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value); ++i) {
        if (!holds_no_list(PyTuple_GET_ITEM(value, i))) return false;
    }
    return true;
}

}  // namespace

bool fixed_text_at_hand(PyObject* value, bool as_ujson) { return as_ujson && holds_no_list(value); }

void dump_document(PyObject* dump, PyObject* document, PyObject* codes_list, PyObject* chain_array,
                   bool genuine_document, PyObject* file, PyObject* made_text) {
    // A text made ahead was made while the shortcut was on.
    PyObject* ujson_dump = state().ujson_dump.get();
    if (dump != ujson_dump || ujson_dump == nullptr || (!made_text && !fast_path(FastPath::document_text))) {
        call(dump, document, file);
        return;
    }
    // ujson's own dump, step by step: it asks the file for a callable
    // `write` (twice, as it does), makes the whole text, then writes it in
    // one call. The text of a document of plain values is made here,
    // character for character ujson's; any other document goes to
    // ujson.dumps, with its own text and its own errors.
    Ref write = ujson_file_method(file, "write");
    Ref text = Ref::borrow(made_text);
    if (!text && genuine_document) {
        std::string out = "{\"codes\":";
        if (append_native(out, codes_list, kUjsonStyle)) {
            out += ",\"chain\":";
            if (append_native(out, chain_array, kUjsonStyle)) {
                out += '}';
                text = make_str(out);
            }
        }
    }
    if (!text) text = call(state().ujson_dumps.get(), document);
    call(write.get(), text.get());
}

Encoder::Encoder(PyObject* module) : dumps_(module, interned().json, interned().dumps) {}

const TextStyle* Encoder::style(Ref& call) {
    call = dumps_.get();
    if (!fast_path(FastPath::encoder_texts)) return nullptr;
    if (is_ujson_dumps(call.get())) return &kUjsonStyle;
    if (is_unchanged_standard_dumps(call.get())) return &kStandardStyle;
    return nullptr;
}

Ref Encoder::dumps_into(PyObject* value, std::string& out, bool* as_ujson) {
    Ref call;
    *as_ujson = false;
    // A value not made natively leaves `out` as it was.
    if (const TextStyle* s = style(call); s != nullptr && emit_value(out, value, *s, true)) {
        *as_ujson = s == &kUjsonStyle;
        return Ref();
    }
    return zantu::call(call.get(), value);
}

Ref Encoder::piece(PyObject* value, std::string_view suffix, std::string& scratch) {
    Ref call;
    if (const TextStyle* s = style(call)) {
        if (Ref made = native_text(value, *s, suffix, scratch)) return made;
    }
    Ref text = zantu::call(call.get(), value);
    if (!PyUnicode_Check(text.get())) {
        raise(PyExc_TypeError, "json.dumps() returned %.200s, not str", Py_TYPE(text.get())->tp_name);
    }
    scratch.clear();
    append_text(scratch, text.get());
    scratch += suffix;
    return make_str(scratch);
}

void append_integer(std::string& out, long long value) { emit_integer(out, value); }

namespace {

[[noreturn]] void raise_not_a_number(PyObject* count) {
    Ref held = Ref::borrow(count);  // its __repr__ may drop the caller's reference
    raise(PyExc_ValueError, "count %.200R is not a JSON number", held.get());
}

// str(count) when it is a JSON number; `integral`: it has neither a
// fraction nor an exponent.
Ref number_text(PyObject* count, bool& integral) {
    if (PyUnicode_Check(count) || PyBytes_Check(count) || PyByteArray_Check(count)) raise_not_a_number(count);
    Ref text = Ref::check(PyObject_Str(count));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (data == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PyError();
        PyErr_Clear();
        raise_not_a_number(count);
    }
    NumberText number = scan_number(data, data + size);
    if (number.end == data || number.end != data + size) raise_not_a_number(count);
    integral = number.integral;
    return text;
}

}  // namespace

Ref count_text(PyObject* count) {
    bool integral = false;
    return number_text(count, integral);
}

Ref document_count(PyObject* count) {
    if (PyLong_CheckExact(count)) return Ref::borrow(count);
    if (PyFloat_CheckExact(count)) {
        if (std::isfinite(PyFloat_AS_DOUBLE(count))) return Ref::borrow(count);
        raise_not_a_number(count);
    }
    bool integral = false;
    Ref text = number_text(count, integral);
    if (integral) return Ref::check(PyLong_FromUnicodeObject(text.get(), 10));
    return Ref::check(PyFloat_FromString(text.get()));
}

void append_text(std::string& out, PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data != nullptr) {
        out.append(data, size_t(size));
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PyError();
    PyErr_Clear();
    Ref bytes = Ref::check(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    out.append(PyBytes_AS_STRING(bytes.get()), size_t(PyBytes_GET_SIZE(bytes.get())));
}

Ref make_str(const std::string& bytes) {
    if (all_ascii(bytes)) {
        Ref text = Ref::check(PyUnicode_New(Py_ssize_t(bytes.size()), 127));
        std::copy(bytes.begin(), bytes.end(), static_cast<char*>(PyUnicode_DATA(text.get())));
        return text;
    }
    return Ref::check(PyUnicode_DecodeUTF8(bytes.data(), Py_ssize_t(bytes.size()), "surrogatepass"));
}

}  // namespace zantu
