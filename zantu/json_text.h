// The encoder bound as `json`, as the writers use it: the JSON text of one
// value with json.dumps. While the bound encoder's dumps is ujson's own or
// the standard json's own, the text of plain values (strings, ints of 64
// bits, true, false, null, and tuples and lists of these) is made natively,
// character for character what that dumps returns; anything else goes to
// the encoder.
#pragma once

#include <string>
#include <string_view>

#include "lookup.h"
#include "prefetch.h"
#include "ref.h"

namespace zantu {

// Remembers the genuine encoders at import (`json` is the encoder bound then).
void init_encoders();
void release_encoders();

class Encoder {
public:
    explicit Encoder(PyObject* module);

    // json.dumps(value): a new reference to a str.
    Ref dumps(PyObject* value);
    // json.dumps(value) followed by `suffix` (ASCII), as a new str; `scratch`
    // is used when the text is not made at once.
    Ref piece(PyObject* value, std::string_view suffix, std::string& scratch);

private:
    enum class Style { Call, Compact, Spaced };
    // Looks up json.dumps afresh; `call` is set when it must be called.
    Style style(Ref& call);
    void append_text_of(std::string& out, PyObject* value, Style s, PyObject* call);

    GlobalAttribute dumps_;  // json.dumps
};

// Whether `cls` is collections.OrderedDict itself.
bool is_genuine_ordered_dict(PyObject* cls);

// json.dump(document, file). `genuine_document` says that the document is
// the genuine OrderedDict of ("codes", codes_list) and ("chain",
// chain_array); with ujson's own dump bound, its text is then made here.
void dump_document(PyObject* module, PyObject* document, PyObject* codes_list, PyObject* chain_array,
                   bool genuine_document, PyObject* file);

// Appends the UTF-8 form of a str (lone surrogates kept as they are, so that
// a piece decodes back to the very same text).
void append_text(std::string& out, PyObject* text);

// The value of an exact int, when it fits in a long long. An int of one
// digit (as codes and most counts are) is read where it is stored.
inline bool exact_int_value(PyObject* v, long long& value) {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
    Py_ssize_t size = Py_SIZE(v);
    if (size == 0) {
        value = 0;
        return true;
    }
    if (size == 1 || size == -1) {
        value = size * static_cast<long long>(reinterpret_cast<PyLongObject*>(v)->ob_digit[0]);
        return true;
    }
#endif
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(v, &overflow);
    return overflow == 0;  // an exact int raises nothing here
}

// Appends the decimal digits of `value`.
void append_integer(std::string& out, long long value);

// Asks the memory for a next state's object: its header and, were it a
// tuple, the slot of its first element, which can lie on the next line.
// Reads nothing.
inline void prefetch_sequence(const PyObject* sequence) {
    prefetch(sequence);
    prefetch(sequence, offsetof(PyTupleObject, ob_item));
}

// Asks the memory for what the text of a value reads first: its object
// and, were it a short str, its text (which follows the object's header).
// Reads nothing.
inline void prefetch_value(const PyObject* value) {
    prefetch(value);
    prefetch(value, sizeof(PyASCIIObject));
}

// The same for the first element of an exact, non-empty tuple. Reads the
// tuple, nothing else.
inline void prefetch_first_element(PyObject* sequence) {
    if (!PyTuple_CheckExact(sequence) || PyTuple_GET_SIZE(sequence) == 0) return;
    prefetch_value(PyTuple_GET_ITEM(sequence, 0));
}

// A str made of `bytes`, which are UTF-8 (ASCII takes a fast path).
Ref make_str(const std::string& bytes);

}  // namespace zantu
