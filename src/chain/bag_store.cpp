// A bag's store: its rows in one block, their counts, the index of a
// bag past 16 rows and the running totals of choose(). Nothing here
// calls the caller's code but what a count's + and an allocation of a
// tuple may run; after each, the store's generation is checked.
#include <cstring>
#include <vector>

#include "bag_store.h"
#include "prefetch.h"
#include "probe_table.h"

namespace zantu::native {

void raise_bag_changed(const char* during) {
    raise(PyExc_RuntimeError, "ProbabilityBag changed during %s", during);
}

namespace {

// Up to this many rows a lookup scans them; above it an index is kept.
constexpr Py_ssize_t kScanned = 16;

template <typename T>
T* resize(T* block, Py_ssize_t count) {
    void* grown = PyMem_Realloc(block, size_t(count) * sizeof(T));
    if (grown == nullptr && count > 0) {
        PyErr_NoMemory();
        throw PyError();
    }
    return static_cast<T*>(grown);
}

Py_ssize_t stride(const BagStore& s) { return s.stride(); }

// memcpy and memmove for blocks that may be null when there is nothing to
// copy (the empty store has no block).
void copy_bytes(void* to, const void* from, size_t bytes) {
    if (bytes > 0) std::memcpy(to, from, bytes);
}
void move_bytes(void* to, const void* from, size_t bytes) {
    if (bytes > 0) std::memmove(to, from, bytes);
}

// The bytes of a block of `capacity` rows of `stride` values with counts
// of `count_size` bytes.
size_t block_bytes(Py_ssize_t capacity, Py_ssize_t stride, size_t count_size) {
    return size_t(capacity) * (size_t(stride) * sizeof(PyObject*) + count_size);
}

// A new block for `capacity` rows of `stride` values, with counts of
// `count_size` bytes; its counts start at row capacity * stride.
PyObject** new_block(Py_ssize_t capacity, Py_ssize_t stride, size_t count_size) {
    void* block = PyMem_Malloc(block_bytes(capacity, stride, count_size));
    if (block == nullptr && capacity > 0) {
        PyErr_NoMemory();
        throw PyError();
    }
    return static_cast<PyObject**>(block);
}

// Gives the store `capacity` rows (at least its size) in its block, rows
// and counts kept.
void set_capacity(BagStore& s, Py_ssize_t capacity) {
    if (capacity > BagStore::kMostRows) {
        PyErr_NoMemory();
        throw PyError();
    }
    size_t rows_bytes = size_t(stride(s)) * sizeof(PyObject*);
    size_t counts_bytes = size_t(s.size) * s.count_size();
    if (capacity < s.capacity) {
        move_bytes(reinterpret_cast<char*>(s.states) + size_t(capacity) * rows_bytes, s.counts(), counts_bytes);
    }
    void* block = PyMem_Realloc(s.states, block_bytes(capacity, stride(s), s.count_size()));
    if (block == nullptr && capacity > 0) {
        if (capacity < s.capacity) {  // put the counts back where they were
            move_bytes(s.counts(), reinterpret_cast<char*>(s.states) + size_t(capacity) * rows_bytes, counts_bytes);
        }
        PyErr_NoMemory();
        throw PyError();
    }
    char* moved = static_cast<char*>(block);
    if (capacity > s.capacity) {
        move_bytes(moved + size_t(capacity) * rows_bytes, moved + size_t(s.capacity) * rows_bytes, counts_bytes);
    }
    s.states = static_cast<PyObject**>(block);
    s.capacity = uint32_t(capacity);
    ++s.generation;
}

uint64_t hash_row(PyObject* const* values, Py_ssize_t size) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ uint64_t(size);
    for (Py_ssize_t k = 0; k < size; ++k) {
        h = (h ^ uint64_t(reinterpret_cast<uintptr_t>(values[k]))) * 0xff51afd7ed558ccdull;
        h ^= h >> 32;
    }
    return h;
}

bool row_is(const BagStore& s, Py_ssize_t row, PyObject* const* values, Py_ssize_t size) {
    Row r = store_row(s, row);
    if (r.size != size) return false;
    for (Py_ssize_t k = 0; k < size; ++k) {
        if (r.values[k] != values[k]) return false;
    }
    return true;
}

uint32_t index_at(const BagStore& s, size_t slot) {
    return s.wide_index() ? static_cast<const uint32_t*>(s.index)[slot] : static_cast<const uint16_t*>(s.index)[slot];
}

void index_row(BagStore& s, Py_ssize_t row) {
    Row r = store_row(s, row);
    ProbeSequence probe(hash_row(r.values, r.size), s.index_slots());
    while (index_at(s, probe.at()) != 0) probe.next();
    size_t slot = probe.at();
    if (s.wide_index()) {
        static_cast<uint32_t*>(s.index)[slot] = uint32_t(row + 1);
    } else {
        static_cast<uint16_t*>(s.index)[slot] = uint16_t(row + 1);
    }
}

// The log2 of the slots of an index made for `size` rows: at most half
// full.
uint8_t index_bits_for(Py_ssize_t size) {
    uint8_t bits = 4;
    while ((size_t(1) << bits) < size_t(size) * 2) ++bits;
    return bits;
}

// Whether an index of 2 ** bits slots holds `size` rows at most three
// quarters full.
bool index_has_room(Py_ssize_t size, uint8_t bits) { return size_t(size) * 4 <= (size_t(1) << bits) * 3; }

// A new index of every row, of 2 ** bits slots; its slots are 16 bits
// while the rows fit.
void build_index(BagStore& s, uint8_t bits) {
    size_t slots = size_t(1) << bits;
    bool wide = BagStore::wide_slots(bits);
    void* index = PyMem_Calloc(slots, wide ? sizeof(uint32_t) : sizeof(uint16_t));
    if (index == nullptr) {
        PyErr_NoMemory();
        throw PyError();
    }
    PyMem_Free(s.index);
    s.index = index;
    s.index_bits = bits;
    for (Py_ssize_t row = 0; row < s.size; ++row) index_row(s, row);
}

// Keeps an index at most three quarters full once the bag is past
// scanning.
void update_index(BagStore& s, Py_ssize_t added) {
    if (s.size <= kScanned) return;
    if (s.index != nullptr && index_has_room(s.size, s.index_bits)) {
        index_row(s, added);
        return;
    }
    build_index(s, index_bits_for(s.size));
}

void grow(BagStore& s) {
    Py_ssize_t capacity = s.capacity < 4 ? s.capacity + 1 : Py_ssize_t(s.capacity) + s.capacity / 2;
    if (capacity > BagStore::kMostRows && s.capacity < BagStore::kMostRows) capacity = BagStore::kMostRows;
    set_capacity(s, capacity);
}

// Rows of another width arrive: every row becomes a tuple of its own. The
// tuples are made first, and filled once no allocation is left to run the
// collector.
void rows_to_tuples(BagStore& s) {
    uint32_t generation = s.generation;
    Py_ssize_t size = s.size, width = s.width;
    std::vector<Ref> made(static_cast<size_t>(size));
    for (Ref& t : made) t = Ref::check(PyTuple_New(width));
    if (s.generation != generation) raise_bag_changed("add");
    PyObject** tuples = new_block(s.capacity, 1, s.count_size());
    for (Py_ssize_t row = 0; row < size; ++row) {
        PyObject* t = made[size_t(row)].release();
        for (Py_ssize_t k = 0; k < width; ++k) PyTuple_SET_ITEM(t, k, Py_NewRef(s.states[row * width + k]));
        tuples[row] = t;
    }
    copy_bytes(tuples + s.capacity, s.counts(), size_t(size) * s.count_size());
    PyMem_Free(s.states);
    s.states = tuples;
    s.mode = BagStore::kTuples;
    ++s.generation;
}

// A count that fits the small store: an exact int from 0 to 2**32 - 1.
bool small_count(PyObject* count, uint32_t& out) {
    if (!PyLong_CheckExact(count)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(count, &overflow);
    if (overflow != 0 || v < 0 || v > static_cast<long long>(UINT32_MAX)) return false;
    out = uint32_t(v);
    return true;
}

void counts_to_objects(BagStore& s) {
    PyObject** block = new_block(s.capacity, stride(s), sizeof(PyObject*));
    PyObject** counts = block + s.capacity * stride(s);
    for (Py_ssize_t row = 0; row < s.size; ++row) {
        counts[row] = PyLong_FromUnsignedLong(s.small_counts()[row]);
        if (counts[row] == nullptr) {
            for (Py_ssize_t k = 0; k < row; ++k) Py_DECREF(counts[k]);
            PyMem_Free(block);
            throw PyError();
        }
    }
    copy_bytes(block, s.states, size_t(s.size * stride(s)) * sizeof(PyObject*));
    PyMem_Free(s.states);
    s.states = block;
    s.big = true;
    ++s.generation;
}

// A new tuple of `values`, made before the store is looked at: the
// allocation may run the collector, and a __del__ there may change the bag.
Ref new_row_tuple(const BagStore& s, PyObject* const* values, Py_ssize_t size) {
    uint32_t generation = s.generation;
    Ref t = Ref::check(PyTuple_New(size));
    if (s.generation != generation) raise_bag_changed("add");
    for (Py_ssize_t k = 0; k < size; ++k) PyTuple_SET_ITEM(t.get(), k, Py_NewRef(values[k]));
    return t;
}

// Whether a row of `size` values goes into the store as a tuple.
bool row_as_tuple(const BagStore& s, Py_ssize_t size) {
    if (s.mode == BagStore::kEmpty) return size > BagStore::kWidest;
    return s.mode == BagStore::kTuples || size != s.width;
}

// Appends a row (values of the bag's table) with its first count.
void insert_row(BagStore& s, PyObject* const* values, Py_ssize_t size, PyObject* count, uint32_t small) {
    Ref tuple;
    if (row_as_tuple(s, size)) tuple = new_row_tuple(s, values, size);
    if (s.mode == BagStore::kEmpty) {
        // Rows wider than a store's rows can be are tuples from the first.
        if (size <= BagStore::kWidest) {
            s.mode = BagStore::kRows;
            s.width = uint8_t(size);
        } else {
            s.mode = BagStore::kTuples;
        }
    }
    if (s.mode == BagStore::kRows && size != s.width) rows_to_tuples(s);
    if (count != nullptr && !s.big && !small_count(count, small)) counts_to_objects(s);
    if (s.size == s.capacity) grow(s);
    Py_ssize_t row = s.size;
    if (s.mode == BagStore::kTuples) {
        s.states[row] = tuple.release();
    } else if (size > 0) {
        std::memcpy(s.states + row * s.width, values, size_t(size) * sizeof(PyObject*));
    }
    if (s.big) {
        PyObject* held = count != nullptr ? count : PyLong_FromUnsignedLong(small);
        if (held == nullptr) {
            if (s.mode == BagStore::kTuples) Py_DECREF(s.states[row]);
            throw PyError();
        }
        if (count != nullptr) Py_INCREF(held);
        s.big_counts()[row] = held;
    } else {
        s.small_counts()[row] = small;
    }
    s.size = uint32_t(row + 1);
    ++s.generation;
    forget_bounds(s);
    update_index(s, row);
}

// counts[row] = counts[row] + count, as the bag's dict of counts did.
void add_count(BagStore& s, Py_ssize_t row, PyObject* count, uint32_t small) {
    if (!s.big) {
        if (count == nullptr || small_count(count, small)) {
            uint64_t sum = uint64_t(s.small_counts()[row]) + small;
            if (sum <= UINT32_MAX) {
                s.small_counts()[row] = uint32_t(sum);
                forget_bounds(s);
                return;
            }
        }
        counts_to_objects(s);
    }
    Ref added = count != nullptr ? Ref::borrow(count) : Ref::check(PyLong_FromUnsignedLong(small));
    Ref old = Ref::borrow(s.big_counts()[row]);
    uint32_t generation = s.generation;
    Ref sum = Ref::check(PyNumber_Add(old.get(), added.get()));
    // The addition may have run the caller's code, and that may have moved
    // the rows or emptied the bag.
    if (s.generation != generation || row >= s.size || !s.big) raise_bag_changed("add");
    PyObject* previous = s.big_counts()[row];
    s.big_counts()[row] = sum.release();
    forget_bounds(s);
    Py_DECREF(previous);
}

}  // namespace

Py_ssize_t find_row(const BagStore& s, PyObject* const* values, Py_ssize_t size) {
    if (s.index == nullptr) {
        for (Py_ssize_t row = 0; row < s.size; ++row) {
            if (row_is(s, row, values, size)) return row;
        }
        return -1;
    }
    for (ProbeSequence probe(hash_row(values, size), s.index_slots());; probe.next()) {
        uint32_t entry = index_at(s, probe.at());
        if (entry == 0) return -1;
        Py_ssize_t row = Py_ssize_t(entry) - 1;
        if (row_is(s, row, values, size)) return row;
    }
}

double* keep_bounds(BagStore& s, const std::vector<double>& bounds) {
    forget_bounds(s);  // made meanwhile by a choose() that a count's __float__ ran
    s.bounds = resize<double>(nullptr, Py_ssize_t(bounds.size()));
    copy_bytes(s.bounds, bounds.data(), bounds.size() * sizeof(double));
    return s.bounds;
}

void forget_bounds(BagStore& s) {
    PyMem_Free(s.bounds);
    s.bounds = nullptr;
}

// Adds `count` (or, when null, the small count `small`) to the row of
// `values` (objects of the store's table), appending the row when new.
void add_row(BagStore& s, PyObject* const* values, Py_ssize_t size, PyObject* count, uint32_t small) {
    Py_ssize_t row = find_row(s, values, size);
    if (row >= 0) {
        add_count(s, row, count, small);
    } else {
        insert_row(s, values, size, count, small);
    }
}

// Empties a store; what it held is released once it is empty.
void clear_store(BagStore& s) {
    BagStore old = s;
    uint32_t generation = s.generation + 1;
    s = BagStore{};
    s.generation = generation;
    if (old.mode == BagStore::kTuples) {
        for (Py_ssize_t row = 0; row < old.size; ++row) Py_DECREF(old.states[row]);
    }
    if (old.big) {
        for (Py_ssize_t row = 0; row < old.size; ++row) Py_DECREF(old.big_counts()[row]);
    }
    PyMem_Free(old.states);
    PyMem_Free(old.index);
    PyMem_Free(old.bounds);
}

// The next state of row `row` as a tuple. The tuple is made before the
// row is read: the allocation may run the collector, and a __del__ there
// may move or drop the rows (RuntimeError, naming `during`).
Ref row_tuple(const BagStore& s, Py_ssize_t row, const char* during) {
    if (s.mode == BagStore::kTuples) return Ref::borrow(s.states[row]);
    uint32_t generation = s.generation;
    Ref t = Ref::check(PyTuple_New(s.width));
    if (s.generation != generation) raise_bag_changed(during);
    Row r = store_row(s, row);
    for (Py_ssize_t k = 0; k < r.size; ++k) PyTuple_SET_ITEM(t.get(), k, Py_NewRef(r.values[k]));
    return t;
}

Row store_row(const BagStore& s, Py_ssize_t row) {
    if (s.mode == BagStore::kTuples) {
        PyObject* t = s.states[row];
        return {&PyTuple_GET_ITEM(t, 0), PyTuple_GET_SIZE(t)};
    }
    return {s.states + row * s.width, s.width};
}

Ref store_count(const BagStore& s, Py_ssize_t row) {
    if (s.big) return Ref::borrow(s.big_counts()[row]);
    return Ref::check(PyLong_FromUnsignedLong(s.small_counts()[row]));
}

void bag_prefetch_row(const BagObject* bag, PyObject* const* values, Py_ssize_t size) {
    const BagStore& s = bag->store;
    if (s.index != nullptr) {
        size_t slot = hash_row(values, size) & (s.index_slots() - 1);
        prefetch(static_cast<const char*>(s.index) + slot * (s.wide_index() ? sizeof(uint32_t) : sizeof(uint16_t)));
    } else if (s.states != nullptr) {
        prefetch(s.states);
    }
}

void bag_trim(BagObject* bag) {
    BagStore& s = bag->store;
    if (s.capacity != s.size) set_capacity(s, s.size);
}

void bag_add_kept_object(BagObject* bag, PyObject* const* values, Py_ssize_t size, PyObject* count) {
    TrackedWhenBig tracked(bag);
    add_row(bag->store, values, size, count, 0);
}

void bag_add_kept(BagObject* bag, PyObject* const* values, Py_ssize_t size, uint32_t count) {
    TrackedWhenBig tracked(bag);  // a sum past 2**32 - 1 is an object
    add_row(bag->store, values, size, nullptr, count);
}

// Adds `rows` rows of `width` values with their small counts, one by one.
void add_each_row(BagStore& s, PyObject* const* values, Py_ssize_t width, const uint32_t* counts, Py_ssize_t rows) {
    for (Py_ssize_t row = 0; row < rows; ++row) add_row(s, values + row * width, width, nullptr, counts[row]);
}

void bag_fill_rows(BagObject* bag, PyObject* const* values, Py_ssize_t width, const uint32_t* counts,
                   Py_ssize_t rows) {
    TrackedWhenBig tracked(bag);
    BagStore& s = bag->store;
    if (s.mode != BagStore::kEmpty || rows == 0 || width > BagStore::kWidest) {
        add_each_row(s, values, width, counts, rows);
        return;
    }
    s.mode = BagStore::kRows;
    s.width = uint8_t(width);
    set_capacity(s, rows);
    copy_bytes(s.states, values, size_t(rows * width) * sizeof(PyObject*));
    copy_bytes(s.small_counts(), counts, size_t(rows) * sizeof(uint32_t));
    s.size = uint32_t(rows);
    forget_bounds(s);
    if (s.size <= kScanned) return;
    // The index that adding the rows one by one would have left: made for
    // kScanned + 1 rows, made again whenever it is three quarters full.
    uint8_t bits = index_bits_for(kScanned + 1);
    while (!index_has_room(rows, bits)) {
        Py_ssize_t refill = Py_ssize_t(((size_t(1) << bits) * 3) / 4 + 1);
        bits = index_bits_for(refill);
    }
    build_index(s, bits);
}

// Whether no two rows of the store are alike (its index, when it has one,
// finds each row as itself).
bool rows_distinct(const BagStore& s) {
    for (Py_ssize_t row = 0; row < s.size; ++row) {
        Row r = store_row(s, row);
        if (s.index != nullptr) {
            if (find_row(s, r.values, r.size) != row) return false;
            continue;
        }
        for (Py_ssize_t other = 0; other < row; ++other) {
            if (row_is(s, other, r.values, r.size)) return false;
        }
    }
    return true;
}

void bag_add_rows(BagObject* bag, PyObject* const* values, Py_ssize_t width, const uint32_t* counts,
                  Py_ssize_t rows) {
    TrackedWhenBig tracked(bag);
    BagStore& s = bag->store;
    if (s.mode == BagStore::kEmpty && width <= BagStore::kWidest) {
        bag_fill_rows(bag, values, width, counts, rows);
        if (rows_distinct(s)) return;
        clear_store(s);
    }
    add_each_row(s, values, width, counts, rows);
}

}  // namespace zantu::native
