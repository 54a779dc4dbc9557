// The thin layer through which the codecs call every outside object: the
// chain and its bags, the file, the JSON encoder, the math module and the
// event parser. Methods are fetched afresh at each call (vectorcall with
// interned names), arguments are positional except the keyword `count`.
// A function that returns an object returns a new reference (a Ref) unless
// it says "borrowed"; every function throws PyError on failure.
#pragma once

#include <vector>

#include "calls.h"
#include "codes.h"
#include "module_state.h"
#include "native_api.h"
#include "prefetch.h"
#include "ref.h"

namespace zantu {

// The chain.
inline Ref chain_items(PyObject* chain) { return call_method(interned().items, chain); }
Py_ssize_t chain_len(PyObject* chain);
inline Ref chain_build_frequency_dict(PyObject* chain) {
    return call_method(interned().build_frequency_dict, chain);
}
// For a chain or bag of exactly the package's types these go straight in
// (zantu._native's capsule), as the methods would; any other gets the call.
void chain_clear(PyObject* chain);
void chain_set_bag(PyObject* chain, PyObject* start, PyObject* bag);
void chain_add_to_bag(PyObject* chain, PyObject* start, PyObject* item, PyObject* count);

// The bags.
// bag.unique_count.
Ref bag_unique_count(PyObject* bag);
void bag_add(PyObject* bag, PyObject* item, PyObject* count);
// ProbabilityBag(), the class looked up in the module's namespace, for a
// bag that goes into `chain`.
Ref new_probability_bag(PyObject* module, PyObject* chain);

// The chain module's direct ways in when `chain` is exactly its
// MarkovChain; null for any other chain.
struct NativeApi;
const NativeApi* native_chain_api(PyObject* chain);
// The same for a file that is exactly the package's TextSink.
const NativeApi* native_sink_api(PyObject* file);

// Finds the package's chain and bag types (zantu._native) at import.
void init_native();

// The pairs of a bag, as its choices() hands them out. Those of the
// package's own bag are read from its rows, without a tuple per next state
// unless one is asked for (NextState::as_sequence); its values are held by
// its value table, which this holds, and a bag that changes size meanwhile
// raises RuntimeError, as its iterator does.
class BagPairs {
public:
    explicit BagPairs(PyObject* bag);
    BagPairs(const BagPairs&) = delete;
    BagPairs& operator=(const BagPairs&) = delete;
    // The next pair into `state` and `count`; false at the end.
    bool next(NextState& out, Ref& count);
    // The iterator that choices() gave; null for rows.
    PyObject* iterator() const { return iterator_.get(); }

    // What is asked of the memory for the values of the rows ahead: by
    // default their objects, a few rows on (their text comes next); a
    // writer that codes them gives `ahead`, called for the values of rows
    // ahead with stages 1 to 3, the nearer rows with the later stages.
    using Ahead = void (*)(const void* context, int stage, PyObject* value);
    void ask_ahead(Ahead ahead, const void* context) {
        ahead_ = ahead;
        ahead_context_ = context;
    }
    // Nothing asked for the values ahead: a writer that reads its codes in
    // turn (CodeTable::next_entry) reads no more of a value than its address.
    void ask_nothing_ahead() { values_ahead_ = false; }

private:
    void prefetch_coded_ahead() const;

    Ref bag_;
    Ref iterator_;
    Ref pair_, next_state_;
    Py_ssize_t size_ = 0;
    Py_ssize_t row_ = 0;
    // The values of the current row: in `few_` (no allocation for a bag)
    // unless a row is wider.
    PyObject* few_[8];
    std::vector<PyObject*> many_;
    PyObject** values_ = few_;
    Py_ssize_t room_ = 8;
    Ref table_;                      // the value table the last row came from
    std::vector<Ref> older_tables_;  // every earlier one
    Ahead ahead_ = nullptr;
    const void* ahead_context_ = nullptr;
    bool values_ahead_ = true;
};


// Stage `stage` of asking the memory for what reading the rows of `bag`
// will read, when it is the package's own bag: 0, its first rows; 1,
// `value_stage(value)` for each value of those rows. Nothing for any other
// bag. Reads the bag's object (asked for before), nothing the caller's.
template <typename ValueStage>
void prefetch_rows(int stage, PyObject* bag, ValueStage value_stage);

// The event parser bound as `ijson` and its ObjectBuilder.
// ijson.basic_parse, looked up afresh; basic_parse(source), and with
// `block` above 0 and ijson's own basic_parse, basic_parse(source,
// buf_size=block).
Ref ijson_basic_parse_function(PyObject* module);
Ref ijson_basic_parse(PyObject* basic_parse, PyObject* source, long block);
inline void builder_event(PyObject* builder, PyObject* event, PyObject* value) {
    call_method(interned().event, builder, event, value);
}
inline Ref builder_value(PyObject* builder) { return get_attr(builder, interned().value); }


bool is_native_bag(PyObject* o);

template <typename ValueStage>
void prefetch_rows(int stage, PyObject* bag, ValueStage value_stage) {
    constexpr Py_ssize_t kFirstRows = 2;
    if (!is_native_bag(bag)) return;
    const NativeApi* native = state().native;
    Py_ssize_t rows = native->bag_size(bag);
    for (Py_ssize_t row = 0; row < rows && row < kFirstRows; ++row) {
        Py_ssize_t size = 0;
        PyObject* const* values = native->bag_row_in_place(bag, row, &size);
        if (stage == 0) {
            prefetch(values);
            continue;
        }
        for (Py_ssize_t k = 0; k < size; ++k) value_stage(values[k]);
    }
}

}  // namespace zantu
