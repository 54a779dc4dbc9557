// The thin layer through which the codecs call every outside object: the
// chain and its bags, the file, the JSON encoder, the math module and the
// event parser. Methods are fetched afresh at each call (vectorcall with
// interned names), arguments are positional except the keyword `count`.
// Every function returns a new reference or throws PyError.
#pragma once

#include <vector>

#include "codes.h"
#include "ref.h"

namespace zantu {

// One list drives the creation and the release of the interned names.
#define ZANTU_INTERNED_NAMES(X)                                                \
    X(items) X(choices) X(build_frequency_dict) X(clear) X(set_bag)            \
    X(add_to_bag) X(add) X(unique_count) X(write) X(read) X(dumps) X(dump)     \
    X(load) X(loads) X(log10) X(basic_parse) X(buf_size) X(event) X(value) X(count)     \
    X(key) X(json) X(math) X(ijson) X(OrderedDict) X(ObjectBuilder)            \
    X(ProbabilityBag) X(codes) X(chain) X(start_map) X(end_map) X(start_array) \
    X(end_array) X(map_key) X(number) X(string) X(boolean) X(null)

struct Interned {
#define ZANTU_DECLARE_NAME(name) PyObject* name = nullptr;
    ZANTU_INTERNED_NAMES(ZANTU_DECLARE_NAME)
#undef ZANTU_DECLARE_NAME
    PyObject* kw_count = nullptr;  // ("count",), the keyword of add and add_to_bag
    PyObject* kw_key = nullptr;    // ("key",), the keyword of sorted
    PyObject* kw_buf_size = nullptr;  // ("buf_size",), ijson's block size
};

// Owned by the module: made by init_interned() at import, dropped by
// release_interned() when the module is freed.
extern Interned interned;
void init_interned();
void release_interned();

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
inline Ref chain_items(PyObject* chain) { return call_method(interned.items, chain); }
Py_ssize_t chain_len(PyObject* chain);
inline Ref chain_build_frequency_dict(PyObject* chain) {
    return call_method(interned.build_frequency_dict, chain);
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
void release_native();

// The pairs of a bag, as its choices() hands them out. Those of the
// package's own bag are read from its rows, without a tuple per next state
// unless one is asked for (NextState::as_sequence); its values are held by
// its value table, which this holds, and a bag that changes size meanwhile
// raises RuntimeError, as its iterator does.
class BagPairs {
public:
    explicit BagPairs(PyObject* bag);
    // The next pair into `state` and `count`; false at the end.
    bool next(NextState& state, Ref& count);
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

// The file.
inline void file_write(PyObject* file, PyObject* text) { call_method(interned.write, file, text); }

// sorted(items, key=<negated x[1]>): the frequency items, most frequent first,
// ties in the order given.
Ref sort_by_frequency(PyObject* items);

// The event parser bound as `ijson` and its ObjectBuilder.
// ijson.basic_parse(source); with `block` above 0 and ijson's own
// basic_parse bound, ijson.basic_parse(source, buf_size=block).
Ref ijson_basic_parse(PyObject* module, PyObject* source, long block);
inline void builder_event(PyObject* builder, PyObject* event, PyObject* value) {
    call_method(interned.event, builder, event, value);
}
inline Ref builder_value(PyObject* builder) { return get_attr(builder, interned.value); }

// The builtins that import resolves once (sorted is the one called).
void init_builtins();
// Recognises ijson's own basic_parse from then on; after init_interned().
void init_parser();

}  // namespace zantu
