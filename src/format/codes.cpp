#include "codes.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <string_view>
#include <utility>

#include "calls.h"
#include "genuine.h"
#include "json_text.h"
#include "module_state.h"
#include "native_api.h"
#include "prefetch.h"

namespace zantu {

namespace {

// Whether `text` (a JSON text) is an array or an object: such a value can
// never be a code, since readers cannot use it as a key.
bool is_container_text(PyObject* text) {
    if (PyUnicode_GET_LENGTH(text) == 0) return false;
    Py_UCS4 first = PyUnicode_READ_CHAR(text, 0);
    return first == '[' || first == '{';
}

// The decimal digits of `n`, counted.
long long decimal_digits(Py_ssize_t n) {
    long long digits = 1;
    for (; n >= 10; n /= 10) ++digits;
    return digits;
}

// Whether the number of decimal digits of `position` (above 9), as
// int(math.log10(position)) + 1, reaches `length`. math.log10 is looked
// up afresh; its own log10 is computed natively. Below 10**15 the digits
// counted are that result: the logarithm in double precision of a number
// of d digits stays below d by far more than its rounding.
bool digits_reach(GlobalAttribute& math_log10, Py_ssize_t position, Py_ssize_t length) {
    Ref log10 = math_log10.get();
    if (fast_path(FastPath::native_log10) && is_math_log10(log10.get())) {
        if (position < 1000000000000000) return decimal_digits(position) >= length;
        return static_cast<long long>(std::log10(static_cast<double>(position))) + 1 >= length;
    }
    Ref pos = Ref::check(PyLong_FromSsize_t(position));
    Ref log = call(log10.get(), pos.get());
    Ref truncated = Ref::check(PyNumber_Long(log.get()));
    int overflow = 0;
    long long d = PyLong_AsLongLongAndOverflow(truncated.get(), &overflow);
    if (d == -1 && PyErr_Occurred()) throw PyError();
    if (overflow != 0) return overflow > 0;
    // d + 1 >= length, without overflowing at the largest d.
    return d >= length - 1;
}

// Only a literal that is not a string can equal an integer code.
bool may_collide(bool literal, PyObject* value) { return literal && !PyUnicode_Check(value); }

// A literal code must never equal an integer code of the same table, or the
// readers would decode references to one value as the other. A non-string
// literal value that equals an integer code in use takes its own position
// as integer code instead; that adds an integer code, which can in turn
// collide with another literal, so the rule runs until nothing collides.
void resolve_collisions(CodeTable& table) {
    std::vector<Py_ssize_t> candidates;
    for (size_t p = 0; p < table.entries.size(); ++p) {
        const CodeEntry& e = table.entries[p];
        if (may_collide(e.literal, e.value.get())) candidates.push_back(Py_ssize_t(p));
    }
    if (candidates.empty()) return;

    Ref integer_codes = Ref::check(PyDict_New());  // int code -> None
    for (size_t p = 0; p < table.entries.size(); ++p) {
        if (!table.entries[p].literal) check_status(PyDict_SetItem(integer_codes.get(), table.code_at(p).get(), Py_None));
    }
    // Literal values not (yet) equal to an integer code: value -> [positions].
    Ref waiting = Ref::check(PyDict_New());
    std::vector<Py_ssize_t> newly_integer;
    for (Py_ssize_t p : candidates) {
        PyObject* value = table.entries[size_t(p)].value.get();
        if (check_status(PyDict_Contains(integer_codes.get(), value))) {
            newly_integer.push_back(p);
            continue;
        }
        PyObject* list = PyDict_GetItemWithError(waiting.get(), value);
        if (list == nullptr) {
            if (PyErr_Occurred()) throw PyError();
            Ref fresh = Ref::check(PyList_New(0));
            check_status(PyDict_SetItem(waiting.get(), value, fresh.get()));
            list = fresh.get();
        }
        Ref pos = Ref::check(PyLong_FromSsize_t(p));
        check_status(PyList_Append(list, pos.get()));
    }
    while (!newly_integer.empty()) {
        Py_ssize_t p = newly_integer.back();
        newly_integer.pop_back();
        CodeEntry& e = table.entries[size_t(p)];
        if (!e.literal) continue;
        e.literal = false;
        Ref code = table.code_at(size_t(p));
        check_status(PyDict_SetItem(integer_codes.get(), code.get(), Py_None));
        PyObject* list = PyDict_GetItemWithError(waiting.get(), code.get());
        if (list == nullptr) {
            if (PyErr_Occurred()) throw PyError();
            continue;
        }
        Ref held = Ref::borrow(list);
        check_status(PyDict_DelItem(waiting.get(), code.get()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(held.get()); ++i) {
            Py_ssize_t q = PyLong_AsSsize_t(PyList_GET_ITEM(held.get(), i));
            if (q == -1 && PyErr_Occurred()) throw PyError();
            newly_integer.push_back(q);
        }
    }
}

}  // namespace

namespace {

// key=lambda x: -x[1]
PyObject* negated_frequency(PyObject*, PyObject* x) {
    PyObject* frequency;
    if (PyTuple_CheckExact(x) && PyTuple_GET_SIZE(x) > 1) {
        frequency = PyTuple_GET_ITEM(x, 1);
        Py_INCREF(frequency);
    } else {
        PyObject* one = PyLong_FromLong(1);
        if (one == nullptr) return nullptr;
        frequency = PyObject_GetItem(x, one);
        Py_DECREF(one);
        if (frequency == nullptr) return nullptr;
    }
    PyObject* negated = PyNumber_Negative(frequency);
    Py_DECREF(frequency);
    return negated;
}

PyMethodDef negated_frequency_def = {"negated_frequency", negated_frequency, METH_O, nullptr};

// sorted(items, key=<negated x[1]>): the frequency items, most frequent
// first, ties in the order given.
Ref sort_by_frequency(PyObject* items) {
    PyObject* stack[] = {nullptr, items, state().frequency_key.get()};
    return Ref::check(PyObject_Vectorcall(state().sorted.get(), stack + 1,
                                          1 | PY_VECTORCALL_ARGUMENTS_OFFSET, interned().kw_key));
}

}  // namespace

void init_builtins() {
    Ref builtins = Ref::check(PyImport_ImportModule("builtins"));
    for (const char* name : {"ImportError", "enumerate", "sorted", "zip"}) {
        Ref key = str(name);
        Ref value = Ref::borrow(PyDict_GetItemWithError(PyModule_GetDict(builtins.get()), key.get()));
        if (!value) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
            throw PyError();
        }
        if (std::string_view(name) == "sorted") state().sorted = std::move(value);
    }
    state().frequency_key = Ref::check(PyCFunction_NewEx(&negated_frequency_def, nullptr, nullptr));
}


namespace {

// The values of the frequency mapping, most frequent first. sorted(items,
// key=<negated x[1]>) gives them as item tuples; when the mapping is an
// exact dict whose frequencies are all exact ints of 64 bits, the same
// stable order is made here from the dict itself, without the item tuples.
// Nothing a caller could see is skipped: iterating a dict's items, and
// negating and comparing such ints, runs no code of the caller's. The
// package's own chain hands its sums over without the dict at all
// (from_chain), in the order the dict would hold them.
class SortedValues {
public:
    SortedValues() = default;

    // The chain's sums as build_frequency_dict() would give them, for the
    // package's own chain while they are made natively; false otherwise
    // (nothing kept: the mapping is then the way). Each value's position
    // then goes into `identities`, by its address, and into `trail` in the
    // order a walk of the chain meets the values.
    bool from_chain(PyObject* chain, AddressMap<uint32_t>& identities, std::vector<uint32_t>& trail) {
        if (!fast_path(FastPath::native_chain) || !fast_path(FastPath::sorted_values)) return false;
        const NativeApi* api = state().native;
        if (api == nullptr || !Py_IS_TYPE(chain, api->chain_type)) return false;
        // Holds every value numbered: a chain's table only grows.
        Ref table = Ref::check(api->chain_table(chain));
        std::vector<uint64_t> sums;
        int given = api->chain_frequencies(chain, &identities, &sums, &trail);
        if (given < 0) throw PyError();
        if (given == 0) return false;
        const std::vector<PyObject*>& keys = identities.keys();
        values_.reserve(keys.size());
        for (size_t k = 0; k < keys.size(); ++k) {
            if (sums[k] > static_cast<unsigned long long>(LLONG_MAX)) {
                values_.clear();
                identities.reset(0);
                trail.clear();
                return false;
            }
            values_.push_back(Counted{static_cast<long long>(sums[k]), keys[k], uint32_t(k)});
        }
        table_ = std::move(table);
        sort_values();
        // Each value's number, in the order met, becomes its position.
        std::vector<uint32_t> position_of(values_.size());
        for (size_t p = 0; p < values_.size(); ++p) position_of[values_[p].number] = uint32_t(p);
        identities.change_values([&](uint32_t number) { return position_of[number]; });
        for (uint32_t& number : trail) number = position_of[number];
        // Of plain values, the chain's table keeps one object per value.
        distinct_ = given == 2;
        return true;
    }

    void from_mapping(PyObject* frequencies, PyObject* items) {
        if (!fast_path(FastPath::sorted_values) || !sort_natively(frequencies, items)) {
            values_.clear();
            held_.clear();
            sorted_ = sort_by_frequency(items);
        }
    }

    Py_ssize_t size() const { return sorted_ ? PyList_GET_SIZE(sorted_.get()) : Py_ssize_t(values_.size()); }

    // Whether no value can equal another: the chain's table keeps one
    // object per value, and its values are plain (their equality is that
    // of their contents, and runs no code of the caller's).
    bool distinct() const { return distinct_; }

    // The value at `position`: x[0] of the sorted item (which may run code
    // of the caller's when the item is not a tuple).
    Ref value(Py_ssize_t position) {
        prefetch_ahead(position);
        if (!sorted_) return Ref::borrow(values_[size_t(position)].value);
        Ref x = Ref::borrow(PyList_GET_ITEM(sorted_.get(), position));
        if (PyTuple_CheckExact(x.get()) && PyTuple_GET_SIZE(x.get()) > 0) {
            return Ref::borrow(PyTuple_GET_ITEM(x.get(), 0));
        }
        Ref zero = Ref::check(PyLong_FromLong(0));
        return Ref::check(PyObject_GetItem(x.get(), zero.get()));
    }

private:
    struct Counted {
        long long frequency;
        PyObject* value;  // held by `table_` or `held_`
        uint32_t number;  // its number in the chain's order (from_chain)
    };

    // Most frequent first, ties kept in order. Frequencies are mostly small
    // (most values come a few times): those within a few times the number
    // of values are sorted by counting, the few above (their sum bounds
    // how many) by comparison, ahead of them.
    void sort_values() {
        long long most = 0;
        for (const Counted& c : values_) {
            if (c.frequency < 0) most = LLONG_MAX;
            most = std::max(most, c.frequency);
        }
        auto by_frequency = [](const Counted& a, const Counted& b) { return a.frequency > b.frequency; };
        if (most == LLONG_MAX) {
            std::stable_sort(values_.begin(), values_.end(), by_frequency);
            return;
        }
        const size_t n = values_.size();
        const long long cap = std::min(most, static_cast<long long>(4 * n + 1024));
        std::vector<Counted> sorted;
        sorted.reserve(n);
        for (const Counted& c : values_) {
            if (c.frequency > cap) sorted.push_back(c);
        }
        std::stable_sort(sorted.begin(), sorted.end(), by_frequency);
        const size_t high = sorted.size();
        sorted.resize(n);
        // starts[cap - f]: where the values of frequency f begin.
        std::vector<size_t> starts(size_t(cap) + 2, 0);
        for (const Counted& c : values_) {
            if (c.frequency <= cap) ++starts[size_t(cap - c.frequency) + 1];
        }
        starts[0] = high;
        for (size_t k = 1; k < starts.size(); ++k) starts[k] += starts[k - 1];
        for (const Counted& c : values_) {
            if (c.frequency <= cap) sorted[starts[size_t(cap - c.frequency)]++] = c;
        }
        values_.swap(sorted);
    }

    bool sort_natively(PyObject* frequencies, PyObject* items) {
        if (!PyDict_CheckExact(frequencies) || Py_TYPE(items) != &PyDictItems_Type) return false;
        values_.reserve(size_t(PyDict_GET_SIZE(frequencies)));
        Py_ssize_t pos = 0;
        PyObject *key, *frequency;
        while (PyDict_Next(frequencies, &pos, &key, &frequency)) {
            if (!PyLong_CheckExact(frequency)) return false;
            int overflow = 0;
            long long n = PyLong_AsLongLongAndOverflow(frequency, &overflow);
            if (overflow != 0) return false;
            if (n == -1 && PyErr_Occurred()) throw PyError();
            values_.push_back(Counted{n, key, 0});
            held_.push_back(Ref::borrow(key));
        }
        sort_values();
        return true;
    }

    // Asks the memory for what some positions ahead stand on while the
    // current one is worked on: the values are scattered over the heap.
    void prefetch_ahead(Py_ssize_t position) const {
        constexpr Py_ssize_t kItemsAhead = 8;
        constexpr Py_ssize_t kValuesAhead = 4;
        Py_ssize_t n = size();
        if (!sorted_) {
            // A value's object, then (once that has come in) the items of a
            // tuple: a state of several tokens is a tuple of strs.
            if (position + 2 * kValuesAhead < n) prefetch(values_[size_t(position + 2 * kValuesAhead)].value);
            if (position + kValuesAhead < n) {
                PyObject* value = values_[size_t(position + kValuesAhead)].value;
                if (PyTuple_CheckExact(value)) {
                    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(value) && k < 4; ++k) {
                        prefetch(PyTuple_GET_ITEM(value, k));
                    }
                }
            }
            return;
        }
        if (position + kItemsAhead < n) prefetch(PyList_GET_ITEM(sorted_.get(), position + kItemsAhead));
        if (position + kValuesAhead < n) {
            PyObject* x = PyList_GET_ITEM(sorted_.get(), position + kValuesAhead);
            if (PyTuple_CheckExact(x) && PyTuple_GET_SIZE(x) > 0) prefetch(PyTuple_GET_ITEM(x, 0));
        }
    }

    std::vector<Counted> values_;
    Ref table_;                // the chain's value table (from_chain)
    std::vector<Ref> held_;    // the mapping's values (sorted natively from it)
    Ref sorted_;  // the sorted item list, when not sorted natively
    bool distinct_ = false;
};

}  // namespace

void CodeTable::index_identities(bool repeated) {
    identities.reset(entries.size());
    for (size_t position = 0; position < entries.size(); ++position) {
        const CodeEntry& e = entries[position];
        // A value that occurs twice among the frequency items is found where
        // the mapping finds it, at the later position.
        Py_ssize_t p = Py_ssize_t(position);
        if (repeated) {
            PyObject* pos = PyDict_GetItemWithError(positions.get(), e.value.get());
            if (pos == nullptr) {
                if (PyErr_Occurred()) throw PyError();
                continue;
            }
            p = PyLong_AsSsize_t(pos);
            if (p == -1 && PyErr_Occurred()) throw PyError();
        }
        identities.at(e.value.get()) = uint32_t(p);
    }
}

const CodeEntry& CodeTable::next_entry(PyObject* value) const {
    if (trail_at_ < trail.size()) {
        if (size_t ahead = position_ahead(16); ahead != SIZE_MAX) zantu::prefetch(&entries[ahead]);
        const CodeEntry& entry = entries[trail[trail_at_++]];
        if (entry.value.get() == value) return entry;
        // Out of step: the chain is not as it was when it was summed.
        trail_at_ = trail.size();
    }
    return entry_of(value);
}

const CodeEntry* CodeTable::entry_by_identity(const PyObject* value) const {
    const uint32_t* position = identities.find(value);
    return position != nullptr && *position < entries.size() ? &entries[*position] : nullptr;
}

void CodeTable::prefetch(const PyObject* value) const {
    if (on_trail()) return;
    if (const void* slot = identities.first_slot(value)) zantu::prefetch(slot);
}

void prefetch_coding(int stage, const CodeTable& table, const std::vector<Ref>* by_position, PyObject* next_state) {
    if (stage == 0) {
        prefetch_sequence(next_state);
        return;
    }
    if (!PyTuple_CheckExact(next_state) || PyTuple_GET_SIZE(next_state) == 0) return;
    if (stage > 1 && PyTuple_GET_SIZE(next_state) != 1) return;
    prefetch_value_coding(stage, table, by_position, PyTuple_GET_ITEM(next_state, 0));
}

void prefetch_value_coding(int stage, const CodeTable& table, const std::vector<Ref>* by_position, PyObject* value) {
    if (table.on_trail()) return;  // the trail asks for its own
    if (stage == 1) {
        table.prefetch(value);
        return;
    }
    if (by_position == nullptr && stage > 2) return;
    const CodeEntry* entry = table.entry_by_identity(value);
    if (entry == nullptr) return;
    if (by_position == nullptr) {
        if (stage == 2) prefetch(entry);
        return;
    }
    size_t position = table.position_of(*entry);
    if (position >= by_position->size()) return;
    if (stage == 2) {
        prefetch(&(*by_position)[position]);
    } else if (PyObject* made = (*by_position)[position].get()) {
        prefetch(made);
    }
}

void prefetch_code(int stage, const CodeTable& table, PyObject* value) {
    if (stage == 0) {
        prefetch(value);  // a start's object is met: the chain's iterator holds it
    } else if (table.on_trail()) {
        return;  // the trail asks for the entries
    } else if (stage == 1) {
        table.prefetch(value);
    } else if (const CodeEntry* entry = table.entry_by_identity(value)) {
        prefetch(entry);
    }
}

Ref CodeTable::code_at(size_t position) const {
    const CodeEntry& e = entries[position];
    if (e.literal) return e.value;
    if (integer_codes_.size() < entries.size()) integer_codes_.resize(entries.size());
    Ref& code = integer_codes_[position];
    if (!code) code = Ref::check(PyLong_FromSize_t(position));
    return code;
}

const CodeEntry& CodeTable::entry_of(PyObject* value) const {
    if (const CodeEntry* found = entry_by_identity(value)) return *found;
    // Held: the lookup by equality may run the value's own __eq__, which
    // could drop the caller's reference (an element of a list it empties).
    Ref held = Ref::borrow(value);
    if (!positions) {
        // Every value is distinct and plain: the dict runs no code of the
        // caller's while it is filled.
        Ref made = Ref::check(PyDict_New());
        for (size_t p = 0; p < entries.size(); ++p) {
            Ref pos = Ref::check(PyLong_FromSize_t(p));
            check_status(PyDict_SetItem(made.get(), entries[p].value.get(), pos.get()));
        }
        positions = std::move(made);
    }
    PyObject* pos = PyDict_GetItemWithError(positions.get(), held.get());
    if (pos == nullptr) {
        if (PyErr_Occurred()) throw PyError();
        raise_key_error(held.get());
    }
    Py_ssize_t p = PyLong_AsSsize_t(pos);
    if (p == -1 && PyErr_Occurred()) throw PyError();
    return entries[size_t(p)];
}

CodeTable build_code_table(PyObject* module, PyObject* chain, CodeTableListener* listener) {
    CodeTable table;
    Encoder encoder(module);
    GlobalAttribute math_log10(module, interned().math, interned().log10);
    SortedValues sorted;
    Py_ssize_t announced;
    bool indexed = sorted.from_chain(chain, table.identities, table.trail);
    if (indexed) {
        announced = sorted.size();
    } else {
        Ref frequencies = call_method(interned().build_frequency_dict, chain);
        Ref items = call_method(interned().items, frequencies.get());
        announced = listener != nullptr ? check_size(PyObject_Size(items.get())) : 0;
        sorted.from_mapping(frequencies.get(), items.get());
    }
    if (listener != nullptr) listener->sorted(announced, sorted.size());
    if (size_t(sorted.size()) > UINT32_MAX) {
        PyErr_NoMemory();
        throw PyError();
    }
    // Where no value can equal another, positions are found by identity
    // alone; the dict is made only if some other object is asked for.
    if (!sorted.distinct()) table.positions = Ref::check(PyDict_New());

    table.entries.reserve(size_t(sorted.size()));
    table.texts.reserve(16 * size_t(sorted.size()));
    // Codes are final in order up to the first literal that might collide
    // with an integer code; from there on only once the table is complete.
    bool settling = true;
    size_t settled = 0;  // positions told to the listener
    bool repeated = false;  // a value equal to an earlier one among the items
    for (Py_ssize_t position = 0; position < sorted.size(); ++position) {
        Ref value = sorted.value(position);
        bool as_ujson = false;
        size_t text_at = table.texts.size();
        Ref text = encoder.dumps_into(value.get(), table.texts, &as_ujson);
        if (text && !PyUnicode_Check(text.get())) {
            raise(PyExc_TypeError, "json.dumps() returned %.200s, not str", Py_TYPE(text.get())->tp_name);
        }
        if (!text && table.texts.size() > UINT32_MAX) {
            // Past what an entry can point at: this text as a str of its own.
            text = Ref::check(PyUnicode_FromStringAndSize(table.texts.data() + text_at,
                                                          Py_ssize_t(table.texts.size() - text_at)));
            table.texts.resize(text_at);
        }
        // A text made natively is ASCII: its length in characters is its size.
        size_t text_size = table.texts.size() - text_at;
        bool literal = false;
        if (position > 9) {
            Py_ssize_t length = text ? PyUnicode_GET_LENGTH(text.get()) : Py_ssize_t(text_size);
            literal = digits_reach(math_log10, position, length) &&
                      !(text ? is_container_text(text.get())
                             : text_size > 0 && (table.texts[text_at] == '[' || table.texts[text_at] == '{'));
        }
        if (table.positions) {
            Ref pos = Ref::check(PyLong_FromSsize_t(position));
            Py_ssize_t before = PyDict_GET_SIZE(table.positions.get());
            check_status(PyDict_SetItem(table.positions.get(), value.get(), pos.get()));
            if (PyDict_GET_SIZE(table.positions.get()) == before) repeated = true;
        }
        if (may_collide(literal, value.get())) settling = false;
        // Looked at now, while the value's object is in the caches.
        bool fixed = fixed_text_at_hand(value.get(), as_ujson);
        table.entries.push_back(CodeEntry{std::move(value), std::move(text), literal, fixed,
                                          std::uint32_t(text ? 0 : text_at), std::uint32_t(text_size)});
        if (settling && listener != nullptr) {
            listener->settled(table, size_t(position));
            settled = table.entries.size();
        }
    }
    if (!settling) resolve_collisions(table);
    if (!indexed || repeated) table.index_identities(repeated);
    if (listener != nullptr) {
        for (size_t p = settled; p < table.entries.size(); ++p) listener->settled(table, p);
    }
    return table;
}

PairReader::PairReader(PyObject* iterable) : it_(get_iter(iterable)) {}

bool PairReader::next(Ref& first, Ref& second) {
    if (!iter_next(it_.get(), first)) return false;
    if (iter_next(it_.get(), second)) return true;
    odd_ = true;
    return false;
}

void raise_odd_codes() {
    raise(PyExc_ValueError, "\"codes\" has an odd number of elements: its last code has no value");
}

void raise_odd_chain() {
    raise(PyExc_ValueError, "\"chain\" has an odd number of elements: its last start has no bag array");
}

void raise_odd_bag(PyObject* start) {
    Ref held = Ref::borrow(start);
    raise(PyExc_ValueError, "the bag array of start %.200R has an odd number of elements: its last item has no count",
          held.get());
}

void raise_not_an_item(PyObject* start, const char* found) {
    Ref held = Ref::borrow(start);
    raise(PyExc_ValueError, "expected an item (an array) in the bag array of start %.200R, found %s", held.get(),
          found);
}

void raise_not_a_count(PyObject* start, const char* found) {
    Ref held = Ref::borrow(start);
    raise(PyExc_ValueError, "expected the count (a number) of an item of start %.200R, found %s", held.get(), found);
}

const char* json_kind(PyObject* value) {
    if (PyList_Check(value) || PyTuple_Check(value)) return "an array";
    if (PyDict_Check(value)) return "an object";
    if (PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value)) return "a string";
    if (PyBool_Check(value)) return "a boolean";
    if (value == Py_None) return "null";
    return "a number";
}

bool is_count(PyObject* value) {
    if (PyLong_CheckExact(value) || PyFloat_CheckExact(value)) return true;
    return std::string_view(json_kind(value)) == "a number";
}

Ref read_code_table(PyObject* codes) {
    Ref table = Ref::check(PyDict_New());
    PairReader pairs(codes);
    Ref code, value;
    while (pairs.next(code, value)) check_status(PyDict_SetItem(table.get(), code.get(), value.get()));
    if (pairs.odd()) raise_odd_codes();
    return table;
}

Ref thawed(PyObject* value) {
    if (!PyTuple_CheckExact(value)) return Ref::borrow(value);
    if (Py_EnterRecursiveCall(" while reading a value")) throw PyError();
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    Py_ssize_t size = PyTuple_GET_SIZE(value);
    Ref list = Ref::check(PyList_New(size));
    for (Py_ssize_t k = 0; k < size; ++k) PyList_SET_ITEM(list.get(), k, thawed(PyTuple_GET_ITEM(value, k)).release());
    return list;
}

void raise_missing_code(PyObject* code) {
    Ref held = Ref::borrow(code);
    Ref args = Ref::check(PyTuple_Pack(1, held.get()));
    PyObject* missing_code_error = state().missing_code_error.get();
    PyErr_SetObject(missing_code_error != nullptr ? missing_code_error : PyExc_KeyError, args.get());
    throw PyError();
}

Ref make_tuple(std::vector<Ref>& items) {
    Ref tuple = Ref::check(PyTuple_New(Py_ssize_t(items.size())));
    for (size_t i = 0; i < items.size(); ++i) PyTuple_SET_ITEM(tuple.get(), Py_ssize_t(i), items[i].release());
    items.clear();
    return tuple;
}

PyObject* find_code(PyObject* table, PyObject* by_code, PyObject* code) {
    if (PyLong_CheckExact(code)) {
        int overflow = 0;
        long long i = PyLong_AsLongLongAndOverflow(code, &overflow);
        if (overflow == 0 && i >= 0 && i < PyList_GET_SIZE(by_code)) {
            PyObject* value = PyList_GET_ITEM(by_code, Py_ssize_t(i));
            if (value != Py_None) return value;
        }
    }
    PyObject* value = PyDict_GetItemWithError(table, code);
    if (value == nullptr && PyErr_Occurred()) throw PyError();
    return value;
}

PyObject* decode(PyObject* table, PyObject* by_code, PyObject* code) {
    PyObject* value = find_code(table, by_code, code);
    if (value == nullptr) raise_missing_code(code);
    return value;
}

Ref values_by_code(PyObject* table) {
    Py_ssize_t limit = 2 * PyDict_GET_SIZE(table) + 16;
    std::vector<std::pair<Py_ssize_t, PyObject*>> found;  // borrowed from the table
    Py_ssize_t size = 0;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(table, &pos, &key, &value)) {
        if (!PyLong_CheckExact(key)) continue;
        int overflow = 0;
        long long i = PyLong_AsLongLongAndOverflow(key, &overflow);
        if (overflow != 0 || i < 0 || i >= limit) continue;
        found.emplace_back(Py_ssize_t(i), value);
        if (i >= size) size = Py_ssize_t(i) + 1;
    }
    Ref by_code = Ref::check(PyList_New(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        Py_INCREF(Py_None);
        PyList_SET_ITEM(by_code.get(), i, Py_None);
    }
    for (auto [i, v] : found) {
        Py_INCREF(v);
        check_status(PyList_SetItem(by_code.get(), i, v));
    }
    return by_code;
}

void init_codes() {
    Ref errors = Ref::check(PyImport_ImportModule("zantu.errors"));
    Ref missing = Ref::check(PyObject_GetAttrString(errors.get(), "MissingCodeError"));
    if (!PyExceptionClass_Check(missing.get())) {
        raise(PyExc_ImportError, "zantu.errors.MissingCodeError is not an exception class");
    }
    state().missing_code_error = std::move(missing);
}

}  // namespace zantu
