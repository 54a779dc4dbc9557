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

// How many entries ahead of the one being worked on each stage of a
// prefetch runs: far enough for the memory asked for by the stage before
// (one more entry ahead) to have come in.
constexpr Py_ssize_t kStageAhead[] = {10, 6, 3, 1};
constexpr int kStages = int(sizeof kStageAhead / sizeof kStageAhead[0]);

// Calls `stage(k, key)` with the key of the entry kStageAhead[k] places
// past the last one that `it` handed out, for each stage k that has one.
template <typename Stage>
void prefetch_stages(PyObject* it, Stage stage) {
    PyObject *key = nullptr, *value = nullptr;
    for (int k = 0; k < kStages; ++k) {
        if (entry_ahead(it, kStageAhead[k], key, value)) stage(k, key);
    }
}

}  // namespace zantu
