// Where a dict's item iterator stands, read without advancing it: the
// writers ask the memory for the objects it will hand out next while they
// work on the ones it has handed out. Nothing is taken from the iterator
// and nothing read here decides anything; a wrong guess costs a wasted load.
#pragma once

#include "ref.h"

namespace zantu {

// Checks at import that this interpreter's dict iterators are laid out as
// this build expects (on any other, a view finds nothing), and finds where
// the package's ProbabilityBag keeps its pairs.
void init_peek();
void release_peek();

// The dict whose items the choices() of `bag` hands out, when `bag` is an
// instance of the package's ProbabilityBag itself (it keeps them in its
// `_counts` slot); null for any other bag. Borrowed, for prefetching only.
PyObject* bag_pairs(PyObject* bag);

// The block of a dict's hash table and entries (null for anything but an
// exact dict), for prefetching only.
const void* dict_table(PyObject* dict);

// The entries of the dict that a dict item iterator goes through, from the
// one it hands out next, as they stand when the view is made (borrowed, for
// prefetching only: they may be gone before the iterator gets there).
// Empty for anything but a dict item iterator.
class EntriesAhead {
public:
    explicit EntriesAhead(PyObject* it);
    // The entries of a dict from its first (none for anything but an exact
    // dict).
    static EntriesAhead of_dict(PyObject* dict);

    // The key and value of the entry `k` places past the one the iterator
    // handed out last; false when there is none (past the end, or deleted).
    bool entry(Py_ssize_t k, PyObject*& key, PyObject*& value) const {
        if (k < 0 || k >= size_) return false;
        PyObject* const* slots = reinterpret_cast<PyObject* const*>(first_ + size_t(k) * stride_);
        key = slots[0];
        value = slots[1];
        return value != nullptr;
    }

    // The number of entries from the first in view, and where the key slot
    // of entry `k` lies (for asking the memory for it).
    Py_ssize_t size() const { return size_; }
    const void* address(Py_ssize_t k) const { return first_ + size_t(k) * stride_; }

private:
    EntriesAhead() = default;
    const char* first_ = nullptr;  // the key slot of the entry handed out next
    size_t stride_ = 0;            // bytes from one entry to the next
    Py_ssize_t size_ = 0;          // entries from there to the end
};

// How many entries ahead of the one being worked on each stage of a
// prefetch runs: far enough for the memory asked for by the stage before
// (one more entry ahead) to have come in.
constexpr Py_ssize_t kStageAhead[] = {10, 6, 3, 1};
constexpr int kStages = int(sizeof kStageAhead / sizeof kStageAhead[0]);

// Calls `stage(k, key)` with the key of the entry kStageAhead[k] places
// past the last one that `it` handed out, for each stage k that has one.
template <typename Stage>
void prefetch_stages(PyObject* it, Stage stage) {
    EntriesAhead ahead(it);
    PyObject *key = nullptr, *value = nullptr;
    for (int k = 0; k < kStages; ++k) {
        if (ahead.entry(kStageAhead[k], key, value)) stage(k, key);
    }
}

}  // namespace zantu
