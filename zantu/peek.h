// Where a dict's item iterator stands, read without advancing it: the
// writers ask the memory for the objects it will hand out next while they
// write the ones it has handed out. Nothing is taken from the iterator and
// nothing read here decides anything; a wrong guess costs a wasted load.
#pragma once

#include "ref.h"

namespace zantu {

// Checks at import that this interpreter's dict iterators are laid out as
// this build expects (on any other, `entry_ahead` finds nothing).
void init_peek();

// The key and value of the entry `k` places past the one that the dict
// item iterator `it` handed out last (borrowed, for prefetching only: they
// may be gone before the iterator gets there). False when there is none,
// or when `it` is anything else.
bool entry_ahead(PyObject* it, Py_ssize_t k, PyObject*& key, PyObject*& value);

}  // namespace zantu
