// Where a dict's item iterator, or a list's or tuple's iterator over
// pairs, stands, read without advancing it: the writers ask the memory for
// the objects it will hand out next while they work on the ones it has
// handed out. Nothing is taken from the iterator and nothing read here
// decides anything; a wrong guess costs a wasted load.
#pragma once

#include <algorithm>
#include <cstddef>

#include "module_state.h"
#include "prefetch.h"
#include "ref.h"

namespace zantu {

// Checks at import that this interpreter's dict, list and tuple iterators
// are laid out as this build expects (if not, a view finds nothing and the
// shortcut is reported off).
void init_peek();


// The entries of the dict that a dict item iterator goes through, or the
// elements of the list or tuple that its iterator goes through, from the
// one it hands out next, as they stand when the view is made (borrowed, for
// prefetching only: they may be gone before the iterator gets there).
// Empty for any other iterator.
class EntriesAhead {
public:
    explicit EntriesAhead(PyObject* it);

    // The key and value of the entry `k` places after the one the iterator
    // hands out next (0: that one); false when there is none (past the end,
    // deleted, or an element that is not a pair). An element of a list or
    // tuple is read for them: ask for it first (prefetch_element).
    bool entry(Py_ssize_t k, PyObject*& key, PyObject*& value) const {
        if (k < 0 || k >= size_) return false;
        PyObject* const* slots = reinterpret_cast<PyObject* const*>(first_ + size_t(k) * stride_);
        if (!elements_) {
            key = slots[0];
            value = slots[1];
            return value != nullptr;
        }
        PyObject* pair = slots[0];
        if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2) return false;
        key = PyTuple_GET_ITEM(pair, 0);
        value = PyTuple_GET_ITEM(pair, 1);
        return true;
    }

    // Asks the memory for the element `k` places after the one handed out
    // next, of a list or tuple (a dict's entry holds its key and value
    // itself).
    void prefetch_element(Py_ssize_t k) const {
        if (elements_ && k >= 0 && k < size_) {
            const PyObject* pair = *reinterpret_cast<PyObject* const*>(first_ + size_t(k) * stride_);
            prefetch(pair);
            prefetch(pair, offsetof(PyTupleObject, ob_item));
        }
    }

    // Whether the view is of a list's or tuple's elements.
    bool of_elements() const { return elements_; }

    // The number of entries from the first in view, and where the key slot
    // of entry `k` lies (for asking the memory for it).
    Py_ssize_t size() const { return size_; }
    const void* address(Py_ssize_t k) const { return first_ + size_t(k) * stride_; }

private:
    EntriesAhead() = default;
    const char* first_ = nullptr;  // the key slot of the entry handed out next
    size_t stride_ = 0;            // bytes from one entry to the next
    Py_ssize_t size_ = 0;          // entries from there to the end
    bool elements_ = false;        // slots of a list or tuple: one element each
};

// How many entries ahead of the one being worked on each stage of a
// prefetch runs: far enough for the memory asked for by the stage before
// (one more entry ahead) to have come in. Before the first, the elements
// of a list or tuple are asked for.
constexpr Py_ssize_t kStageAhead[] = {10, 6, 3, 1};
constexpr int kStages = int(sizeof kStageAhead / sizeof kStageAhead[0]);
constexpr Py_ssize_t kElementAhead = 14;

// Calls `stage(k, key)` with the key of the entry kStageAhead[k] places
// after the one that `it` hands out next, for each stage k that has one.
template <typename Stage>
void prefetch_stages(PyObject* it, Stage stage) {
    EntriesAhead ahead(it);
    ahead.prefetch_element(kElementAhead);
    PyObject *key = nullptr, *value = nullptr;
    for (int k = 0; k < kStages; ++k) {
        if (ahead.entry(kStageAhead[k], key, value)) stage(k, key);
    }
}

// Asks the memory for what the chain entries ahead will read, one level
// deeper for each entry nearer, given the chain's iterator: the start and
// the bag, with `start_stage(0, start)`; then `start_stage(1, start)` and
// `start_stage(2, start)`. Inside a bag the pairs ahead take over
// (prefetch_stages).
// With `bag_stage`, the bags' own reads follow theirs in the same way:
// `bag_stage(0, bag)` and `bag_stage(1, bag)` (the bag's object has come
// in by then).
template <typename StartStage, typename BagStage>
void prefetch_entries(PyObject* entries, StartStage start_stage, BagStage bag_stage) {
    EntriesAhead ahead(entries);
    ahead.prefetch_element(6);
    PyObject *start = nullptr, *bag = nullptr;
    if (ahead.entry(5, start, bag)) {
        prefetch(bag);
        start_stage(0, start);
    }
    if (ahead.entry(4, start, bag)) start_stage(1, start);
    if (ahead.entry(3, start, bag)) {
        start_stage(2, start);
        bag_stage(0, bag);
    }
    if (ahead.entry(1, start, bag)) bag_stage(1, bag);
}

template <typename StartStage>
void prefetch_entries(PyObject* entries, StartStage start_stage) {
    prefetch_entries(entries, start_stage, [](int, PyObject*) {});
}

// At a bag's first pair, given its iterator: of a list or tuple, the first
// elements; of a dict, `pair_stage(2, next_state)` for the first pairs,
// which the entries ahead took to stage 1 (prefetch_entries).
template <typename PairStage>
void prefetch_bag(PyObject* pairs, PairStage pair_stage) {
    EntriesAhead ahead(pairs);
    if (ahead.of_elements()) {
        for (Py_ssize_t k = 0; k < kElementAhead; ++k) ahead.prefetch_element(k);
        return;
    }
    PyObject *key = nullptr, *value = nullptr;
    for (Py_ssize_t k = 0; k <= kStageAhead[2]; ++k) {
        if (ahead.entry(k, key, value)) pair_stage(2, key);
    }
}

}  // namespace zantu
