// The thin layer through which the codecs call every outside object: the
// chain and its bags, the file, the JSON encoder, the math module and the
// event parser. Methods are fetched afresh at each call (vectorcall with
// interned names), arguments are positional except the keyword `count`.
// A function that returns an object returns a new reference (a Ref) unless
// it says "borrowed"; every function throws PyError on failure.
#pragma once

#include <vector>

#include "codes.h"
#include "module_state.h"
#include "ref.h"

namespace zantu {

// dict[name] (borrowed; null when missing) of a namespace dict, `name` an
// exact str: such a lookup runs no code of the caller's. Throws when the
// lookup fails.
inline PyObject* dict_entry(PyObject* dict, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (value == nullptr && PyErr_Occurred()) throw PyError();
    return value;
}

// A module-level name as the codecs see it at call time: the module's
// namespace first, then the builtins; NameError when in neither.
Ref module_global(PyObject* module, PyObject* name);

// obj.name(args...) with the method fetched afresh.
template <typename... Args>
Ref call_method(PyObject* name, PyObject* obj, Args... args) {
    PyObject* stack[] = {nullptr, obj, args...};
    return Ref::check(PyObject_VectorcallMethod(
        name, stack + 1, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(args...).
template <typename... Args>
Ref call(PyObject* callable, Args... args) {
    PyObject* stack[] = {nullptr, args...};
    return Ref::check(PyObject_Vectorcall(
        callable, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref get_attr(PyObject* obj, PyObject* name);
// Whether `name` (a str) starts with two underscores.
inline bool is_dunder(PyObject* name) {
    return PyUnicode_GET_LENGTH(name) >= 2 && PyUnicode_READ_CHAR(name, 0) == '_' &&
           PyUnicode_READ_CHAR(name, 1) == '_';
}
Ref get_iter(PyObject* iterable);
// Advances `it` into `out`; false at its end. Throws when the iterator raises.
bool iter_next(PyObject* it, Ref& out);

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
    // The next pair into `state` and `count`; false at the end.
    bool next(NextState& out, Ref& count);
    // The iterator that choices() gave; null for rows.
    PyObject* iterator() const { return iterator_.get(); }

private:
    Ref bag_;
    Ref iterator_;
    Ref pair_, next_state_;
    Py_ssize_t size_ = 0;
    Py_ssize_t row_ = 0;
    std::vector<PyObject*> values_;
    std::vector<Ref> tables_;  // every value table a row came from
};

// sorted(items, key=<negated x[1]>): the frequency items, most frequent first,
// ties in the order given.
Ref sort_by_frequency(PyObject* items);

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

// The builtins that import resolves once (sorted is the one called), and
// the sort key.
void init_builtins();

}  // namespace zantu
