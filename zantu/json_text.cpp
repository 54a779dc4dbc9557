#include "json_text.h"

#include <charconv>

#include "chain_calls.h"

namespace zantu {

namespace {

PyObject* ujson_dumps = nullptr;     // ujson.dumps, when ujson is installed
PyObject* standard_dumps = nullptr;  // json.dumps of the standard library

constexpr int kMaxDepth = 32;

// The text of `value` in the style of ujson (no blanks) or the standard
// json (", " between array elements); false when the value is not one that
// is written natively (`out` is then as it was).
bool append_native(std::string& out, PyObject* value, bool spaced, int depth) {
    if (PyUnicode_CheckExact(value)) {
        if (PyUnicode_KIND(value) != PyUnicode_1BYTE_KIND) return false;
        const Py_UCS1* data = static_cast<const Py_UCS1*>(PyUnicode_DATA(value));
        Py_ssize_t n = PyUnicode_GET_LENGTH(value);
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_UCS1 c = data[i];
            // Both encoders escape '"' and '\\', ujson also '/'; control
            // characters and anything past ASCII are escaped too.
            if (c < 0x20 || c > 0x7e || c == '"' || c == '\\' || c == '/') return false;
        }
        out += '"';
        out.append(reinterpret_cast<const char*>(data), size_t(n));
        out += '"';
        return true;
    }
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow != 0 || (n == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        append_integer(out, n);
        return true;
    }
    if (value == Py_True) {
        out += "true";
        return true;
    }
    if (value == Py_False) {
        out += "false";
        return true;
    }
    if (value == Py_None) {
        out += "null";
        return true;
    }
    if (PyTuple_CheckExact(value) && depth < kMaxDepth) {
        size_t mark = out.size();
        out += '[';
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value); ++i) {
            if (i > 0) out += spaced ? ", " : ",";
            if (!append_native(out, PyTuple_GET_ITEM(value, i), spaced, depth + 1)) {
                out.resize(mark);
                return false;
            }
        }
        out += ']';
        return true;
    }
    return false;
}

bool all_ascii(const std::string& bytes) {
    for (char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

}  // namespace

void init_encoders() {
    for (auto [name, slot] : {std::pair<const char*, PyObject**>{"ujson", &ujson_dumps},
                              std::pair<const char*, PyObject**>{"json", &standard_dumps}}) {
        PyObject* module = PyImport_ImportModule(name);
        if (module == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw PyError();
            PyErr_Clear();
            continue;
        }
        Ref held = Ref::steal(module);
        Py_XDECREF(*slot);
        *slot = get_attr(module, interned.dumps).release();
    }
}

void release_encoders() {
    Py_CLEAR(ujson_dumps);
    Py_CLEAR(standard_dumps);
}

Encoder::Style Encoder::style(Ref& call) {
    Ref json = module_global(module_, interned.json);
    call = get_attr(json.get(), interned.dumps);
    if (call.get() == ujson_dumps) return Style::Compact;
    if (call.get() == standard_dumps) return Style::Spaced;
    return Style::Call;
}

Ref Encoder::dumps(PyObject* value) {
    Ref call;
    Style s = style(call);
    if (s != Style::Call) {
        std::string text;
        if (append_native(text, value, s == Style::Spaced, 0)) return make_str(text);
    }
    return zantu::call(call.get(), value);
}

void Encoder::append_dumps(std::string& out, PyObject* value) {
    Ref call;
    Style s = style(call);
    if (s != Style::Call && append_native(out, value, s == Style::Spaced, 0)) return;
    Ref text = zantu::call(call.get(), value);
    if (!PyUnicode_Check(text.get())) {
        raise(PyExc_TypeError, "json.dumps() returned %.200s, not str", Py_TYPE(text.get())->tp_name);
    }
    append_text(out, text.get());
}

void append_integer(std::string& out, long long value) {
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
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
