// A bag's store (bag_store.cpp), as the bag's type uses it. Every function
// that may run code of the caller's (a count's +, an allocation of a
// tuple) checks the store's generation after it and raises RuntimeError
// when the rows moved, came or went meanwhile.
#pragma once

#include <vector>

#include "native.h"

namespace zantu::native {

// RuntimeError: "ProbabilityBag changed during <during>".
[[noreturn]] void raise_bag_changed(const char* during);

// The row of `values` (objects of the store's table), or -1.
Py_ssize_t find_row(const BagStore& s, PyObject* const* values, Py_ssize_t size);
// Adds `count` (or, when null, the small count `small`) to the row of
// `values` (objects of the store's table), appending the row when new.
void add_row(BagStore& s, PyObject* const* values, Py_ssize_t size, PyObject* count, uint32_t small);
// Empties a store; what it held is released once it is empty.
void clear_store(BagStore& s);

// A store that is emptied when it goes out of scope.
struct ScopedStore {
    BagStore store{};
    ScopedStore() = default;
    ScopedStore(const ScopedStore&) = delete;
    ScopedStore& operator=(const ScopedStore&) = delete;
    ~ScopedStore() { clear_store(store); }
};

// The next state of row `row` as a tuple (a new reference).
Ref row_tuple(const BagStore& s, Py_ssize_t row, const char* during);

// The running totals of the weights for choose(): kept with the store
// until a count changes (returned), and dropped.
double* keep_bounds(BagStore& s, const std::vector<double>& bounds);
void forget_bounds(BagStore& s);

}  // namespace zantu::native
