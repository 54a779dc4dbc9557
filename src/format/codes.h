// The document's code table, shared by both writers, and the pair-reading
// helpers shared by the codecs.
#pragma once

#include <cstdint>
#include <vector>

#include "json_text.h"
#include "pairs.h"
#include "probe_table.h"
#include "ref.h"

namespace zantu {

// One value of the code table, at the position given by its index.
struct CodeEntry {
    Ref value;     // the value, as the frequency mapping yields it
    Ref text;      // its JSON text as the encoder's dumps returned it; null when made natively (see texts)
    bool literal;  // the value stands for itself (its code) instead of its position
    // Its text, made natively, is the one append_fixed makes (see
    // fixed_text_at_hand): such a value can no longer change.
    bool fixed_text = false;
    std::uint32_t text_at = 0;    // where its text made natively begins in the table's `texts`
    std::uint32_t text_size = 0;  // and its length
};

struct CodeTable {
    std::vector<CodeEntry> entries;  // in position order
    // The texts made natively (ASCII), one after another: no str for each.
    std::string texts;

    // The JSON text of an entry, appended to `out`.
    void append_text_of(std::string& out, const CodeEntry& entry) const {
        if (entry.text) {
            append_text(out, entry.text.get());
        } else {
            out.append(texts, entry.text_at, entry.text_size);
        }
    }

    // The position of one of `entries`.
    size_t position_of(const CodeEntry& entry) const { return size_t(&entry - entries.data()); }

    // The code written for the entry at `position`: the value itself when
    // literal, else the position as an int, made when first asked for (the
    // writers write most codes from the position alone).
    Ref code_at(size_t position) const;

    // dict: value -> position (an int); made when first asked for where
    // every value is distinct and found by identity.
    mutable Ref positions;

    // The entry that stands for `value`; KeyError(value) when it has none.
    // The very objects of the table are found by address, without a look
    // at them; any other goes through `positions`.
    const CodeEntry& entry_of(PyObject* value) const;

    // Fills the identity index anew; called once the entries are final.
    // `repeated`: some value stands at more than one position.
    void index_identities(bool repeated);

    // Asks the memory for the slot where entry_of will look for the very
    // object `value` (its address is all it takes).
    void prefetch(const PyObject* value) const;

    // The entry of the very object `value`; null when the table does not
    // hold that object.
    const CodeEntry* entry_by_identity(const PyObject* value) const;

    // The positions of the values in the order a walk of the package's
    // chain meets them (each start, then its bag's values row by row), when
    // the table was made from that chain's own sums: a writer's walk reads
    // its codes from here, in turn, instead of finding each value.
    std::vector<uint32_t> trail;
    // The entry of `value`, the next value of a walk begun by begin_walk():
    // the trail's, when it holds that very object (nothing else is taken
    // from it); else, and from then on, entry_of's.
    const CodeEntry& next_entry(PyObject* value) const;
    void begin_walk() const { trail_at_ = 0; }
    // The position the walk will ask for `ahead` values on, while it reads
    // the trail; SIZE_MAX otherwise.
    size_t position_ahead(size_t ahead) const {
        return trail_at_ < trail.size() && trail.size() - trail_at_ > ahead ? trail[trail_at_ + ahead] : SIZE_MAX;
    }
    // Whether the walk still reads the trail: what entry_of would read need
    // not be asked of the memory ahead.
    bool on_trail() const { return trail_at_ < trail.size(); }

    // The chain's values are most often the very objects the frequency
    // mapping holds: found by address, a value's entry costs no look at the
    // value itself. The position of each of `entries`' values by its
    // address (the table keeps them alive); any other object goes through
    // `positions`. Filled with the frequencies of the package's chain, or
    // by index_identities.
    AddressMap<uint32_t> identities;

private:
    mutable std::vector<Ref> integer_codes_;  // by position, as code_at made them
    mutable size_t trail_at_ = SIZE_MAX;      // the walk's place on the trail
};

// Told of the code table while it is being built, so that a writer can
// write each code pair as soon as its code is final.
class CodeTableListener {
public:
    virtual ~CodeTableListener() = default;
    // The frequency items are sorted: `count` of them, `announced` by len().
    virtual void sorted(Py_ssize_t announced, Py_ssize_t count) = 0;
    // The code at `position` is final; called once per position, in order.
    virtual void settled(const CodeTable& table, size_t position) = 0;
};

// Builds the code table from chain.build_frequency_dict(): values sorted by
// descending frequency (ties in the mapping's order), each at its position;
// a value gets a literal code where its JSON text is no longer than the
// digits of its position (from position 10 on), unless its text is an array
// or an object, or it equals an integer code of the table. A `listener`
// also has the length of the frequency items read.
CodeTable build_code_table(PyObject* module, PyObject* chain, CodeTableListener* listener = nullptr);

// The builtins that import resolves once (sorted, with which the code table
// is sorted when it is not sorted natively), and the sort key.
void init_builtins();

// Draws elements from one iterator two at a time.
class PairReader {
public:
    explicit PairReader(PyObject* iterable);
    // The next whole pair; false when the iterator runs out first, and
    // then odd() tells whether it left one element unpaired.
    bool next(Ref& first, Ref& second);
    bool odd() const { return odd_; }

private:
    Ref it_;
    bool odd_ = false;
};

// What the readers refuse rather than lose, in the same words from both:
// an array of pairs with an element left over, an item that is not an
// array, a count that is not a number. `found` names what stands there
// instead (json_kind, or the event's kind).
[[noreturn]] void raise_odd_codes();
[[noreturn]] void raise_odd_chain();
[[noreturn]] void raise_odd_bag(PyObject* start);
[[noreturn]] void raise_not_an_item(PyObject* start, const char* found);
[[noreturn]] void raise_not_a_count(PyObject* start, const char* found);

// What a decoded value is as JSON: "an array", "a string", "null", ...
const char* json_kind(PyObject* value);
// Whether a decoded count is a number: not a string, bytes, array, object,
// boolean or null.
bool is_count(PyObject* value);

// The readers' code table: a dict, code -> value, from the "codes" array
// read two elements at a time (a later pair wins); ValueError when an
// element is left over.
Ref read_code_table(PyObject* codes);

// A decoded value as the document had it, for the caller's code to see:
// read natively, or kept by the chain, an array value is a tuple (what the
// chain freezes it to); it goes out as a list (nested arrays too), as the
// JSON libraries make it. A document holds no tuple of its own.
Ref thawed(PyObject* value);

// The code missing from the code table, raised as the package's
// MissingCodeError: a KeyError whose argument is the code.
[[noreturn]] void raise_missing_code(PyObject* code);

// The readers' code table is a dict, code -> value. `values_by_code` makes
// beside it a list whose element i is the value of the integer code i
// (None where there is none, and where the value is None), for codes from
// 0 up to about twice the table's size (a written table's integer codes
// are its positions). `decode` reads that list first, without hashing,
// and looks anything else up in the table, so a code decodes exactly as
// the table's keys would find it: borrowed value, KeyError(code) when it
// is missing, TypeError for an unhashable code.
Ref values_by_code(PyObject* table);
PyObject* decode(PyObject* table, PyObject* by_code, PyObject* code);
// The same, null (no error set) when the code is missing.
PyObject* find_code(PyObject* table, PyObject* by_code, PyObject* code);

// The only element of an exact tuple of one element (borrowed, held by
// the tuple); null for anything else. A list is not taken: the lookup of
// its element may run that element's own __eq__, which may add to the
// list, and the next state is then what the list holds by its end.
inline PyObject* only_element(PyObject* sequence) {
    if (PyTuple_CheckExact(sequence) && PyTuple_GET_SIZE(sequence) == 1) return PyTuple_GET_ITEM(sequence, 0);
    return nullptr;
}

// Stage `stage` of asking the memory for what coding `next_state` will
// read (see prefetch_stages): 0, the next state's object; 1, its first
// value's slot in `table` (found by address); for a next state of one
// value, 2, the slot of that value's object in `by_position` (the
// writer's own, by code position) and 3, that object; with `by_position`
// null, 2, that value's entry in `table`. Each stage reads only what the
// one before asked for.
void prefetch_coding(int stage, const CodeTable& table, const std::vector<Ref>* by_position, PyObject* next_state);
// The same stages from 1 on for one value of a row (a next state's only
// value when `by_position` is given).
void prefetch_value_coding(int stage, const CodeTable& table, const std::vector<Ref>* by_position, PyObject* value);

// Stage `stage` of asking the memory for what finding the code of `value`
// will read: 0, its object (read only when it is not found by address);
// 1, its slot in `table`; 2, its entry.
void prefetch_code(int stage, const CodeTable& table, PyObject* value);
// prefetch_value_coding without pieces, the table given as a context (what
// BagPairs::ask_ahead takes).
inline void prefetch_code_ahead(const void* table, int stage, PyObject* value) {
    prefetch_value_coding(stage, *static_cast<const CodeTable*>(table), nullptr, value);
}

// What a writer reads next, asked for ahead (see prefetch_stages and
// prefetch_entries): with `table` (the compressed form), as coding will
// read a next state (prefetch_coding) or a start (prefetch_code); without
// (the plain form, whose text is made from the values), a next state's
// object and then its first value, and a start's object.
inline void prefetch_next_state(int stage, const CodeTable* table, const std::vector<Ref>* by_position,
                                PyObject* next_state) {
    if (table != nullptr) {
        prefetch_coding(stage, *table, by_position, next_state);
    } else if (stage == 0) {
        prefetch_sequence(next_state);
    } else if (stage == 1) {
        prefetch_first_element(next_state);
    }
}

// What writing a value of a next state reads first: with `table`, its
// slot there (found by address); without, its object and text.
inline void prefetch_value_of(const CodeTable* table, PyObject* value) {
    if (table != nullptr) {
        table->prefetch(value);
    } else {
        prefetch_value(value);
    }
}

inline void prefetch_start(int level, const CodeTable* table, PyObject* start) {
    if (table != nullptr) {
        prefetch_code(level, *table, start);
    } else if (level == 0) {
        prefetch_value(start);
    }
}

// A tuple made of `items`, whose references it takes over.
Ref make_tuple(std::vector<Ref>& items);

// Calls `visit(element)` for each element of `sequence`, in order: exact
// tuples and lists by index (the list's length read at each step, as its
// iterator does), anything else through its iterator.
template <typename Visit>
void for_each_element(PyObject* sequence, Visit visit);

// A next state as the writers read it: what a bag's choices() handed out,
// or a row of the package's own bag (its values, borrowed).
struct NextState {
    PyObject* sequence = nullptr;  // null for a row
    PyObject* const* values = nullptr;
    Py_ssize_t size = 0;

    // Its only element, of an exact tuple of one or a row of one; null
    // otherwise (see only_element).
    PyObject* only() const {
        if (sequence != nullptr) return only_element(sequence);
        return size == 1 ? values[0] : nullptr;
    }
    // What choices() would have handed out: the sequence, or a new tuple
    // of the row's values.
    Ref as_sequence() const {
        if (sequence != nullptr) return Ref::borrow(sequence);
        Ref tuple = Ref::check(PyTuple_New(size));
        for (Py_ssize_t k = 0; k < size; ++k) {
            Py_INCREF(values[k]);
            PyTuple_SET_ITEM(tuple.get(), k, values[k]);
        }
        return tuple;
    }
    template <typename Visit>
    void for_each(Visit visit) const {
        if (sequence != nullptr) {
            for_each_element(sequence, visit);
            return;
        }
        for (Py_ssize_t k = 0; k < size; ++k) visit(values[k]);
    }
};

// Finds the package's MissingCodeError at import.
void init_codes();

template <typename Visit>
void for_each_element(PyObject* sequence, Visit visit) {
    if (PyTuple_CheckExact(sequence)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(sequence); ++i) visit(PyTuple_GET_ITEM(sequence, i));
        return;
    }
    if (PyList_CheckExact(sequence)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sequence); ++i) {
            Ref element = Ref::borrow(PyList_GET_ITEM(sequence, i));
            visit(element.get());
        }
        return;
    }
    Ref it = Ref::check(PyObject_GetIter(sequence));
    for (;;) {
        Ref element = Ref::steal(PyIter_Next(it.get()));
        if (PyErr_Occurred()) throw PyError();
        if (!element) return;
        visit(element.get());
    }
}

}  // namespace zantu
