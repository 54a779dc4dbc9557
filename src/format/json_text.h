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

struct TextStyle;

class Encoder {
public:
    explicit Encoder(PyObject* module);

    // json.dumps(value) appended to `out` as ASCII when made natively (a
    // null Ref returned; `as_ujson` set to whether it was made as ujson
    // writes it), else the str the encoder returned (`out` as it was).
    Ref dumps_into(PyObject* value, std::string& out, bool* as_ujson);
    // json.dumps(value) followed by `suffix` (ASCII), as a new str; `scratch`
    // is used when the text is not made at once.
    Ref piece(PyObject* value, std::string_view suffix, std::string& scratch);

private:
    // Looks up json.dumps afresh into `call`; the style of its text when
    // that text is made natively (ujson's own dumps, or the standard json's
    // unchanged), else null: it is called.
    const TextStyle* style(Ref& call);

    GlobalAttribute dumps_;  // json.dumps
};

// The bound json's dump, looked up as a call of json.dump looks it up.
Ref json_dump(PyObject* module);

// The bound json's load, looked up as a call of json.load looks it up;
// ujson's own decoding of a text (what its load does with what the file's
// read() returned).
Ref json_load_function(PyObject* module);
Ref ujson_decode(PyObject* text);
// file.<name> as ujson's load and dump ask for it: TypeError "expected
// file" when the file has none, or it is not callable.
Ref ujson_file_method(PyObject* file, const char* name);

// Whether the `json` bound in `module` is now a module whose `dump` is
// ujson's own, read from both namespaces (no lookup that runs anything).
bool ujson_dump_bound(PyObject* module);

// The text of `value` as ujson writes it, appended to `out`, when it is
// made natively and of values that no code can change: exact strs, ints
// that fit 64 bits, bools, None and tuples of these (no list). False
// otherwise, and `out` is then as it was.
bool append_fixed(std::string& out, PyObject* value);
// Whether the text of `value` made natively as ujson writes it (as_ujson:
// see Encoder::dumps_into), lists allowed, is the text append_fixed makes:
// then it may be copied rather than made again.
bool fixed_text_at_hand(PyObject* value, bool as_ujson);

// dump(document, file), with `dump` found by json_dump(). `genuine_document`
// says that the document is the genuine OrderedDict of ("codes",
// codes_list) and ("chain", chain_array); with ujson's own dump, its text
// is then made here, unless `made_text` (not null) is that text already,
// as ujson would make it. With `made_text`, `document` may be null while
// `dump` is ujson's own.
void dump_document(PyObject* dump, PyObject* document, PyObject* codes_list, PyObject* chain_array,
                   bool genuine_document, PyObject* file, PyObject* made_text = nullptr);

// Appends the UTF-8 form of a str (lone surrogates kept as they are, so that
// a piece decodes back to the very same text).
void append_text(std::string& out, PyObject* text);

// The value of an exact int, when it fits in a long long.
inline bool exact_int_value(PyObject* v, long long& value) {
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(v, &overflow);
    return overflow == 0;  // an exact int raises nothing here
}

// Appends the decimal digits of `value`.
void append_integer(std::string& out, long long value);

// Counts. A count is written as its plain text, str(count), which must be
// a JSON number; anything else (a str or bytes whose text reads as a
// number included) is a ValueError, in both writers.
// count_text: that text (a new str). document_count: what the in-memory
// writer hands to the encoder for it: an exact int, or a finite exact
// float, as it is; any other count as the int or float that its text
// reads as (a new reference).
Ref count_text(PyObject* count);
Ref document_count(PyObject* count);

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
// Whether every byte of `bytes` is ASCII.
bool all_ascii(const std::string& bytes);

}  // namespace zantu
