// What the chain module (zantu._native) hands the codec through the capsule
// "zantu._native._api": its chain and bag types and the direct ways into
// them, and its TextSink. The codec takes these only for objects whose type
// is exactly one of these; every other chain, bag or file gets method
// calls. Each function returns 0 (or a new reference) on success and -1 (or
// NULL) with an exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <vector>

#include "probe_table.h"

namespace zantu {

constexpr unsigned int kNativeApiVersion = 13;

// One state of a chain's counts kept as numbers (chain_store_state): its
// start and next values are objects of the chain's value table, which
// only grows and which this holds, so they live while it does.
struct StoreRows {
    PyObject* table = nullptr;     // a new reference
    PyObject* start = nullptr;     // borrowed: the table holds it
    std::vector<PyObject*> nexts;  // borrowed likewise
    std::vector<std::uint32_t> counts;
    StoreRows() = default;
    StoreRows(const StoreRows&) = delete;
    StoreRows& operator=(const StoreRows&) = delete;
    ~StoreRows() { Py_CLEAR(table); }
};
struct StoreRowsMark {
    const void* store = nullptr;
    std::uint64_t pairs = 0;
    std::uint64_t changes = 0;
};

struct NativeApi {
    unsigned int version;
    PyTypeObject* bag_type;
    PyTypeObject* chain_type;
    // chain.add_to_bag(start, item, count=count)
    int (*chain_add_to_bag)(PyObject* chain, PyObject* start, PyObject* item, PyObject* count);
    // chain.set_bag(start, bag)
    int (*chain_set_bag)(PyObject* chain, PyObject* start, PyObject* bag);
    // chain.clear()
    int (*chain_clear)(PyObject* chain);
    // A new empty ProbabilityBag that keeps its values with the chain's (new
    // reference): what ProbabilityBag() gives, made ready for set_bag.
    PyObject* (*chain_new_bag)(PyObject* chain);
    // bag.add(item, count=count)
    int (*bag_add)(PyObject* bag, PyObject* item, PyObject* count);
    // bag.unique_count (its rows are read with bag_row)
    Py_ssize_t (*bag_size)(PyObject* bag);
    // The chain's value table (new reference), and the object it keeps for
    // `value` (borrowed: the table holds it while it lives).
    PyObject* (*chain_table)(PyObject* chain);
    PyObject* (*chain_keep)(PyObject* chain, PyObject* table, PyObject* value);
    // bag.add(values, count=count) for a row of objects kept in `table`,
    // which must be the bag's own (RuntimeError otherwise).
    int (*bag_add_row)(PyObject* bag, PyObject* table, PyObject* const* values, Py_ssize_t size, long long count);
    // Row `row` (below bag_size) of a bag, as its choices() would hand it
    // out: the number of its values, copied into `values` when at most
    // `room` (borrowed: the bag's value table, given in `table`, holds
    // them), and its count (new reference). -1 on failure.
    Py_ssize_t (*bag_row)(PyObject* bag, Py_ssize_t row, PyObject** values, Py_ssize_t room, PyObject** count,
                          PyObject** table);
    // Where the values of row `row` (below bag_size) lie, and how many:
    // for prefetching only, valid while no code of the caller's runs.
    PyObject* const* (*bag_row_in_place)(PyObject* bag, Py_ssize_t row, Py_ssize_t* size);
    // The chain's bag of `start`, an object kept in `table` (the chain's
    // own: RuntimeError otherwise), made and put in the chain when it has
    // none, as add_to_bag makes it (new reference).
    PyObject* (*chain_bag_of)(PyObject* chain, PyObject* table, PyObject* start);
    // bag_add_row for `rows` rows of `width` values each, in that order,
    // with their counts.
    int (*bag_add_rows)(PyObject* bag, PyObject* table, PyObject* const* values, Py_ssize_t width,
                        const std::uint32_t* counts, Py_ssize_t rows);
    // What chain.build_frequency_dict() holds, without the dict: each value
    // numbered in `numbers` (empty when called) in the dict's order (keys
    // borrowed: the chain's table holds them), its sum at its number in
    // `sums`; with `trail` (may be null), the numbers once more as a walk of
    // the chain meets the values: each start, then its bag's values row by
    // row, as choices() hands them out. 1 when so given, 2 when besides
    // every value is plain (no two of them equal); 0, all left empty,
    // when the sums need the counts' own + (a foreign bag, a count that is
    // an object): build_frequency_dict() is then the way. Both modules are
    // built together (the version above tells), so they share these types.
    int (*chain_frequencies)(PyObject* chain, AddressMap<std::uint32_t>* numbers, std::vector<std::uint64_t>* sums,
                             std::vector<std::uint32_t>* trail);
    // A chain that keeps its counts as numbers, read a state at a time
    // without its bags made: chain_store_states gives the number of its
    // states and a mark of what it holds (-1, nothing set, when it keeps
    // none); chain_store_state the start of state `state` and its rows, as
    // the bag made from them would hand them out (borrowed from the value
    // table that `rows` holds), RuntimeError when the chain no longer holds
    // what `mark` marks.
    Py_ssize_t (*chain_store_states)(PyObject* chain, StoreRowsMark* mark);
    int (*chain_store_state)(PyObject* chain, const StoreRowsMark* mark, Py_ssize_t state, StoreRows* rows);
    // zantu._native.TextSink, and its write() for `size` bytes of UTF-8
    // (which hands a whole block to the sink's file, running its code).
    PyTypeObject* sink_type;
    int (*sink_append)(PyObject* sink, const char* data, size_t size);
};

}  // namespace zantu
