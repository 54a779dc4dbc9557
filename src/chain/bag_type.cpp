// ProbabilityBag: the next states of one start with their counts, in the
// order they were first added.
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "native.h"
#include "prefetch.h"

namespace zantu::native {

// choices(): an iterator over the rows (defined with its type below).
Ref bag_choices(BagObject* bag);

namespace {

// Up to this many rows a lookup scans them; above it an index is kept.
constexpr Py_ssize_t kScanned = 16;

[[noreturn]] void raise_changed(const char* during) {
    raise(PyExc_RuntimeError, "ProbabilityBag changed during %s", during);
}

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

Py_ssize_t find_row(const BagStore& s, PyObject* const* values, Py_ssize_t size) {
    if (s.index == nullptr) {
        for (Py_ssize_t row = 0; row < s.size; ++row) {
            if (row_is(s, row, values, size)) return row;
        }
        return -1;
    }
    size_t mask = s.index_slots() - 1;
    for (size_t slot = hash_row(values, size) & mask;; slot = (slot + 1) & mask) {
        uint32_t entry = index_at(s, slot);
        if (entry == 0) return -1;
        Py_ssize_t row = Py_ssize_t(entry) - 1;
        if (row_is(s, row, values, size)) return row;
    }
}

void index_row(BagStore& s, Py_ssize_t row) {
    Row r = store_row(s, row);
    size_t mask = s.index_slots() - 1;
    size_t slot = hash_row(r.values, r.size) & mask;
    while (index_at(s, slot) != 0) slot = (slot + 1) & mask;
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

void forget_bounds(BagStore& s) {
    PyMem_Free(s.bounds);
    s.bounds = nullptr;
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
    if (s.generation != generation) raise_changed("add");
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
    if (s.generation != generation) raise_changed("add");
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
    if (s.generation != generation || row >= s.size || !s.big) raise_changed("add");
    PyObject* previous = s.big_counts()[row];
    s.big_counts()[row] = sum.release();
    forget_bounds(s);
    Py_DECREF(previous);
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

// A store that is emptied when it goes out of scope.
struct ScopedStore {
    BagStore store{};
    ScopedStore() = default;
    ScopedStore(const ScopedStore&) = delete;
    ScopedStore& operator=(const ScopedStore&) = delete;
    ~ScopedStore() { clear_store(store); }
};

// The next state of row `row` as a tuple. The tuple is made before the
// row is read: the allocation may run the collector, and a __del__ there
// may move or drop the rows (RuntimeError, naming `during`).
Ref row_tuple(const BagStore& s, Py_ssize_t row, const char* during) {
    if (s.mode == BagStore::kTuples) return Ref::borrow(s.states[row]);
    uint32_t generation = s.generation;
    Ref t = Ref::check(PyTuple_New(s.width));
    if (s.generation != generation) raise_changed(during);
    Row r = store_row(s, row);
    for (Py_ssize_t k = 0; k < r.size; ++k) PyTuple_SET_ITEM(t.get(), k, Py_NewRef(r.values[k]));
    return t;
}

Ref bag_table(BagObject* bag) {
    if (bag->table == nullptr) bag->table = new_table(state_of(bag)).release();
    return Ref::borrow(bag->table);
}

// The values of a next state (a tuple, a list or any iterable), held.
Ref state_tuple(PyObject* item) {
    if (PyTuple_CheckExact(item)) return Ref::borrow(item);
    return Ref::check(PySequence_Tuple(item));
}

// The bag's row for `item` without adding it; -1 when absent.
Py_ssize_t lookup(BagObject* bag, PyObject* item) {
    Ref state = state_tuple(item);
    if (bag->table == nullptr) return -1;
    Ref table = Ref::borrow(bag->table);
    Py_ssize_t size = PyTuple_GET_SIZE(state.get());
    std::vector<PyObject*> values(static_cast<size_t>(size));
    bool absent = false;
    for (Py_ssize_t k = 0; k < size; ++k) {
        PyObject* kept = found_value(table.get(), PyTuple_GET_ITEM(state.get(), k));
        absent = absent || kept == nullptr;
        values[size_t(k)] = kept;
    }
    if (bag->table != table.get()) raise_changed("a lookup");
    return absent ? -1 : find_row(bag->store, values.data(), size);
}

// The (next state, count) pairs. Every allocation may run a __del__ that
// changes the bag: the rows are read only while it is as it was.
Ref pairs_list(BagObject* bag, const char* during) {
    const BagStore& s = bag->store;
    uint32_t generation = s.generation;
    Ref pairs = Ref::check(PyList_New(0));
    for (Py_ssize_t row = 0; row < s.size; ++row) {
        Ref pair = Ref::check(PyTuple_New(2));
        if (s.generation != generation) raise_changed(during);
        PyTuple_SET_ITEM(pair.get(), 0, row_tuple(s, row, during).release());
        PyTuple_SET_ITEM(pair.get(), 1, store_count(s, row).release());
        check_status(PyList_Append(pairs.get(), pair.get()));
    }
    return pairs;
}

// The counts by next state, as the dict of the class these replaced.
// Hashing a next state runs its values' __hash__.
Ref counts_dict(BagObject* bag) {
    const BagStore& s = bag->store;
    uint32_t generation = s.generation;
    Ref counts = Ref::check(PyDict_New());
    for (Py_ssize_t row = 0; row < s.size; ++row) {
        if (s.generation != generation) raise_changed("a comparison");
        Ref key = row_tuple(s, row, "a comparison");
        Ref count = store_count(s, row);
        check_status(PyDict_SetItem(counts.get(), key.get(), count.get()));
    }
    if (s.generation != generation) raise_changed("a comparison");
    return counts;
}

}  // namespace

void unpack_pair(PyObject* pair, Ref& first, Ref& second) {
    Ref it = Ref::check(PyObject_GetIter(pair));
    Ref extra;
    first = Ref::steal(PyIter_Next(it.get()));
    if (first) second = Ref::steal(PyIter_Next(it.get()));
    if (PyErr_Occurred()) throw PyError();
    if (!first || !second) {
        raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", first ? 1 : 0);
    }
    extra = Ref::steal(PyIter_Next(it.get()));
    if (PyErr_Occurred()) throw PyError();
    if (extra) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
}

namespace {

// add(item, count=count) for every pair of `counts`: the bag's own add, or
// with `method` a subclass's (which may override it) through the method.
void add_pairs(BagObject* bag, PyObject* counts, bool method) {
    PyObject* self = reinterpret_cast<PyObject*>(bag);
    const NativeState& state = state_of(bag);
    bool exact = !method || Py_IS_TYPE(self, state.bag_type);
    Ref it = Ref::check(PyObject_GetIter(counts));
    for (;;) {
        Ref pair = Ref::steal(PyIter_Next(it.get()));
        if (!pair) break;
        Ref item, count;
        unpack_pair(pair.get(), item, count);
        if (exact) {
            bag_add(bag, item.get(), count.get());
            continue;
        }
        PyObject* stack[] = {self, item.get(), count.get()};
        Ref done = Ref::check(PyObject_VectorcallMethod(state.name_add, stack, 2, state.kw_count));
    }
    if (PyErr_Occurred()) throw PyError();
}

// The weights' running totals, checked as choose() requires.
double* choose_bounds(BagObject* bag) {
    BagStore& s = bag->store;
    if (s.bounds != nullptr) return s.bounds;
    Py_ssize_t size = s.size;
    uint32_t generation = s.generation;
    std::vector<double> bounds(static_cast<size_t>(size));
    double total = 0.0;
    for (Py_ssize_t row = 0; row < size; ++row) {
        double weight;
        if (!s.big) {
            weight = double(s.small_counts()[row]);
        } else {
            Ref count = Ref::borrow(s.big_counts()[row]);
            Ref as_float = Ref::check(PyNumber_Float(count.get()));
            weight = PyFloat_AS_DOUBLE(as_float.get());
            if (s.generation != generation || s.size != size) raise_changed("choose");
            if (!(weight >= 0.0)) {
                Ref state = row_tuple(s, row, "choose");
                Ref text = Ref::check(PyObject_Repr(state.get()));
                Ref shown = Ref::check(PyUnicode_Substring(text.get(), 0, 200));
                raise(PyExc_ValueError, "cannot choose with the count %R of %U", count.get(), shown.get());
            }
        }
        total += weight;
        bounds[size_t(row)] = total;
    }
    if (!(0.0 < total && total < std::numeric_limits<double>::infinity())) {
        Ref shown = Ref::check(PyFloat_FromDouble(total));
        raise(PyExc_ValueError, "cannot choose when the counts add up to %R", shown.get());
    }
    forget_bounds(s);  // made meanwhile by a choose() that a count's __float__ ran
    s.bounds = resize<double>(nullptr, size);
    std::memcpy(s.bounds, bounds.data(), size_t(size) * sizeof(double));
    return s.bounds;
}

// --- The type's slots and methods ---------------------------------------

PyObject* bag_new(PyTypeObject* type, PyObject*, PyObject*) { return type->tp_alloc(type, 0); }

int bag_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"counts", nullptr};
    PyObject* counts = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:ProbabilityBag", const_cast<char**>(names), &counts)) {
        return -1;
    }
    if (counts == nullptr) return 0;
    return guarded(-1, [&] {
        add_pairs(as_bag(self), counts, true);
        return 0;
    });
}

int bag_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    BagObject* bag = as_bag(self);
    Py_VISIT(bag->table);
    const BagStore& s = bag->store;
    if (s.mode == BagStore::kTuples) {
        for (Py_ssize_t row = 0; row < s.size; ++row) Py_VISIT(s.states[row]);
    }
    if (s.big) {
        for (Py_ssize_t row = 0; row < s.size; ++row) Py_VISIT(s.big_counts()[row]);
    }
    return 0;
}

int bag_clear(PyObject* self) {
    BagObject* bag = as_bag(self);
    clear_store(bag->store);
    Py_CLEAR(bag->table);
    return 0;
}

void bag_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    bag_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

Py_ssize_t bag_len(PyObject* self) { return as_bag(self)->store.size; }

PyObject* bag_add_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"item", "count", nullptr};
    PyObject* item;
    PyObject* count = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:add", const_cast<char**>(names), &item, &count)) {
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&] {
        Ref one;
        if (count == nullptr) count = (one = Ref::check(PyLong_FromLong(1))).get();
        bag_add(as_bag(self), item, count);
        Py_RETURN_NONE;
    });
}

PyObject* bag_unique_count(PyObject* self, void*) { return PyLong_FromSsize_t(as_bag(self)->store.size); }

PyObject* bag_choices_method(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] { return bag_choices(as_bag(self)).release(); });
}

PyObject* bag_choose_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"random", nullptr};
    PyObject* random = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:choose", const_cast<char**>(names), &random)) {
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&] {
        NativeState& state = state_of(self);
        PyObject* source = random != Py_None ? random : state.random_module;
        Ref draw = Ref::check(PyObject_GetAttr(source, state.name_random));
        return bag_choose(as_bag(self), draw.get()).release();
    });
}

PyObject* bag_total(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        const BagStore& s = as_bag(self)->store;
        if (!s.big) {
            unsigned long long sum = 0;
            for (Py_ssize_t row = 0; row < s.size; ++row) sum += s.small_counts()[row];
            return PyLong_FromUnsignedLongLong(sum);
        }
        // The counts are objects: sum() of them, as the counts' own + says.
        uint32_t generation = s.generation;
        Py_ssize_t size = s.size;
        Ref counts = Ref::check(PyList_New(size));
        if (s.generation != generation) raise_changed("total");
        for (Py_ssize_t row = 0; row < size; ++row) {
            PyList_SET_ITEM(counts.get(), row, store_count(s, row).release());
        }
        return PyObject_CallOneArg(state_of(self).sum, counts.get());
    });
}

PyObject* bag_count_of(PyObject* self, PyObject* item) {
    return guarded<PyObject*>(nullptr, [&] {
        Py_ssize_t row = lookup(as_bag(self), item);
        if (row < 0) return PyLong_FromLong(0);
        return store_count(as_bag(self)->store, row).release();
    });
}

PyObject* bag_count_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"item", nullptr};
    PyObject* item;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:count", const_cast<char**>(names), &item)) return nullptr;
    return bag_count_of(self, item);
}

PyObject* bag_probability(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"item", nullptr};
    PyObject* item;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:probability", const_cast<char**>(names), &item)) {
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        // A subclass's total(), as the class these replaced asked its own.
        Ref total = Ref::check(Py_IS_TYPE(self, state_of(self).bag_type) ? bag_total(self, nullptr)
                                                                        : PyObject_CallMethod(self, "total", nullptr));
        if (!check_status(PyObject_IsTrue(total.get()))) return PyFloat_FromDouble(0.0);
        Ref count = Ref::check(bag_count_of(self, item));
        Ref share = Ref::check(PyNumber_TrueDivide(count.get(), total.get()));
        return PyNumber_Float(share.get());
    });
}

PyObject* bag_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    return guarded<PyObject*>(nullptr, [&] {
        if (!PyObject_TypeCheck(other, state_of(self).bag_type)) Py_RETURN_NOTIMPLEMENTED;
        Ref mine = counts_dict(as_bag(self));
        Ref theirs = counts_dict(as_bag(other));
        return PyObject_RichCompare(mine.get(), theirs.get(), op);
    });
}

PyObject* bag_repr(PyObject* self) {
    int entered = Py_ReprEnter(self);
    if (entered != 0) return entered > 0 ? PyUnicode_FromString("ProbabilityBag(...)") : nullptr;
    PyObject* text = guarded<PyObject*>(nullptr, [&] {
        Ref pairs = pairs_list(as_bag(self), "repr");
        return PyUnicode_FromFormat("ProbabilityBag(%R)", pairs.get());
    });
    Py_ReprLeave(self);
    return text;
}

PyObject* bag_reduce(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        Ref pairs = pairs_list(as_bag(self), "pickling");
        Ref state = instance_state(self);
        return Py_BuildValue("O(O)(OO)", state_of(self).newobj, Py_TYPE(self), pairs.get(), state.get());
    });
}

PyObject* bag_setstate(PyObject* self, PyObject* state) {
    PyObject *pairs, *attributes;
    if (!PyArg_ParseTuple(state, "OO:__setstate__", &pairs, &attributes)) return nullptr;
    return guarded<PyObject*>(nullptr, [&] {
        // The rows as they were: a subclass's add is not asked again.
        add_pairs(as_bag(self), pairs, false);
        restore_state(self, attributes);
        Py_RETURN_NONE;
    });
}

PyMethodDef bag_methods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bag_add_method)),
     METH_VARARGS | METH_KEYWORDS,
     "add($self, /, item, count=1)\n--\n\nAdd `count` to the count of `item` (a tuple, list or iterator of values)."},
    {"choices", bag_choices_method, METH_NOARGS,
     "choices($self, /)\n--\n\nThe (next state, count) pairs, in the order they were first added."},
    {"choose", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bag_choose_method)),
     METH_VARARGS | METH_KEYWORDS,
     "choose($self, /, random=None)\n--\n\nDraw a next state, each with probability count/total.\n\n"
     "`random` is a random.Random (anything with random()); None draws from the\n"
     "random module's own generator. Counts are taken as floats. ValueError for\n"
     "an empty bag, a negative count, or counts that add up to zero."},
    {"total", bag_total, METH_NOARGS, "total($self, /)\n--\n\nThe sum of all counts."},
    {"probability", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bag_probability)),
     METH_VARARGS | METH_KEYWORDS,
     "probability($self, /, item)\n--\n\nThe share of `item` in the total count (0.0 when it is absent)."},
    {"count", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bag_count_method)),
     METH_VARARGS | METH_KEYWORDS, "count($self, /, item)\n--\n\nThe count of `item`, 0 when it is absent."},
    {"__reduce__", bag_reduce, METH_NOARGS, nullptr},
    {"__setstate__", bag_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef bag_getset[] = {
    {"unique_count", bag_unique_count, nullptr,
     "The number of distinct next states, as many as choices() yields.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// --- choices(): an iterator over the rows ---------------------------------

struct ChoicesObject {
    PyObject_HEAD
    PyObject* bag;  // null once exhausted
    Py_ssize_t row;
    Py_ssize_t size;  // the bag's size when the iterator was made
    PyObject* pair;   // the last pair handed out, used again once nobody holds it
};

int choices_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<ChoicesObject*>(self)->bag);
    Py_VISIT(reinterpret_cast<ChoicesObject*>(self)->pair);
    return 0;
}

void choices_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<ChoicesObject*>(self)->bag);
    Py_CLEAR(reinterpret_cast<ChoicesObject*>(self)->pair);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* choices_next(PyObject* self) {
    ChoicesObject* it = reinterpret_cast<ChoicesObject*>(self);
    if (it->bag == nullptr) return nullptr;
    const BagStore& s = as_bag(it->bag)->store;
    if (s.size != it->size) {
        Py_CLEAR(it->bag);
        PyErr_SetString(PyExc_RuntimeError, "ProbabilityBag changed size during iteration");
        return nullptr;
    }
    if (it->row >= s.size) {
        Py_CLEAR(it->bag);
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&] {
        Ref state = row_tuple(s, it->row, "iteration");
        Ref count = store_count(s, it->row);
        ++it->row;
        PyObject* pair = it->pair;
        if (pair == nullptr || Py_REFCNT(pair) != 1) {
            PyObject* made = PyTuple_Pack(2, state.get(), count.get());
            if (made != nullptr && pair == nullptr) it->pair = Py_NewRef(made);
            return made;
        }
        // Nobody holds the last pair: it takes the new one (as a dict's
        // item iterator does).
        PyObject* old_state = PyTuple_GET_ITEM(pair, 0);
        PyObject* old_count = PyTuple_GET_ITEM(pair, 1);
        PyTuple_SET_ITEM(pair, 0, state.release());
        PyTuple_SET_ITEM(pair, 1, count.release());
        if (!PyObject_GC_IsTracked(pair)) PyObject_GC_Track(pair);
        Py_INCREF(pair);
        Py_DECREF(old_state);
        Py_DECREF(old_count);
        return pair;
    });
}

PyObject* choices_length_hint(PyObject* self, PyObject*) {
    ChoicesObject* it = reinterpret_cast<ChoicesObject*>(self);
    Py_ssize_t left = 0;
    if (it->bag != nullptr && as_bag(it->bag)->store.size == it->size) left = it->size - it->row;
    return PyLong_FromSsize_t(left);
}

PyMethodDef choices_methods[] = {
    {"__length_hint__", choices_length_hint, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot choices_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(choices_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(choices_traverse)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(choices_next)},
    {Py_tp_methods, choices_methods},
    {0, nullptr}};

PyType_Spec choices_spec = {"zantu.bag.choices_iterator", sizeof(ChoicesObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                                Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            choices_slots};

const char bag_doc[] =
    "ProbabilityBag(counts=())\n--\n\n"
    "Next states with counts; the probability of a next state is its share\n"
    "of the total count. `counts` is an iterable of (next state, count) pairs.";

PyType_Slot bag_slots[] = {
    {Py_tp_doc, const_cast<char*>(bag_doc)},
    {Py_tp_new, reinterpret_cast<void*>(bag_new)},
    {Py_tp_init, reinterpret_cast<void*>(bag_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(bag_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(bag_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(bag_clear)},
    {Py_sq_length, reinterpret_cast<void*>(bag_len)},
    {Py_tp_richcompare, reinterpret_cast<void*>(bag_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_repr, reinterpret_cast<void*>(bag_repr)},
    {Py_tp_methods, bag_methods},
    {Py_tp_getset, bag_getset},
    {0, nullptr}};

PyType_Spec bag_spec = {"zantu.bag.ProbabilityBag", sizeof(BagObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                        bag_slots};

}  // namespace

void make_bag_types(PyObject* module, NativeState& state) {
    state.bag_type = reinterpret_cast<PyTypeObject*>(
        Ref::check(PyType_FromModuleAndSpec(module, &bag_spec, nullptr)).release());
    state.choices_type = reinterpret_cast<PyTypeObject*>(
        Ref::check(PyType_FromModuleAndSpec(module, &choices_spec, nullptr)).release());
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

Ref new_bag(NativeState& state, PyObject* table) {
    Ref bag = Ref::check(state.bag_type->tp_alloc(state.bag_type, 0));
    Py_INCREF(table);
    as_bag(bag.get())->table = table;
    return bag;
}

void bag_add(BagObject* bag, PyObject* item, PyObject* count) {
    Ref table = bag_table(bag);
    Ref state = state_tuple(item);
    Py_ssize_t size = PyTuple_GET_SIZE(state.get());
    std::vector<PyObject*> values(static_cast<size_t>(size));
    for (Py_ssize_t k = 0; k < size; ++k) {
        values[size_t(k)] = kept_value(table.get(), PyTuple_GET_ITEM(state.get(), k));
    }
    // Hashing the values may have run the caller's code.
    if (bag->table != table.get()) raise_changed("add");
    add_row(bag->store, values.data(), size, count, 0);
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
    add_row(bag->store, values, size, count, 0);
}

void bag_add_kept(BagObject* bag, PyObject* const* values, Py_ssize_t size, uint32_t count) {
    add_row(bag->store, values, size, nullptr, count);
}

// Adds `rows` rows of `width` values with their small counts, one by one.
void add_each_row(BagStore& s, PyObject* const* values, Py_ssize_t width, const uint32_t* counts, Py_ssize_t rows) {
    for (Py_ssize_t row = 0; row < rows; ++row) add_row(s, values + row * width, width, nullptr, counts[row]);
}

void bag_fill_rows(BagObject* bag, PyObject* const* values, Py_ssize_t width, const uint32_t* counts,
                   Py_ssize_t rows) {
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
    BagStore& s = bag->store;
    if (s.mode == BagStore::kEmpty && width <= BagStore::kWidest) {
        bag_fill_rows(bag, values, width, counts, rows);
        if (rows_distinct(s)) return;
        clear_store(s);
    }
    add_each_row(s, values, width, counts, rows);
}

void bag_adopt(BagObject* bag, PyObject* table) {
    if (bag->table == table) return;
    Ref target = Ref::borrow(table);
    Ref old_table = Ref::borrow(bag->table);
    BagStore& s = bag->store;
    uint32_t generation = s.generation;
    Py_ssize_t size = s.size;
    ScopedStore moved;
    std::vector<PyObject*> values;
    for (Py_ssize_t row = 0; row < size; ++row) {
        if (s.generation != generation || s.size != size) raise_changed("set_bag");
        Ref state = row_tuple(s, row, "set_bag");
        Ref count = store_count(s, row);
        Py_ssize_t width = PyTuple_GET_SIZE(state.get());
        values.resize(size_t(width));
        for (Py_ssize_t k = 0; k < width; ++k) {
            values[size_t(k)] = kept_value(table, PyTuple_GET_ITEM(state.get(), k));
        }
        add_row(moved.store, values.data(), width, count.get(), 0);
    }
    if (s.generation != generation || s.size != size || bag->table != old_table.get()) raise_changed("set_bag");
    moved.store.generation = generation + 1;
    std::swap(bag->store, moved.store);
    PyObject* previous = bag->table;
    bag->table = target.release();
    Py_XDECREF(previous);
}

Ref bag_choose(BagObject* bag, PyObject* draw) {
    BagStore& s = bag->store;
    if (s.size == 0) raise(PyExc_ValueError, "cannot choose from an empty bag");
    double* bounds = choose_bounds(bag);
    Py_ssize_t size = s.size;
    uint32_t generation = s.generation;
    Ref drawn = Ref::check(PyObject_CallNoArgs(draw));
    double x = PyFloat_AsDouble(drawn.get());
    if (x == -1.0 && PyErr_Occurred()) throw PyError();
    if (s.bounds != bounds || s.size != size || s.generation != generation) raise_changed("choose");
    x *= bounds[size - 1];
    // The first row whose running total passes the draw (bisect_right): a
    // row of count 0 is never drawn.
    Py_ssize_t lo = 0, hi = size;
    while (lo < hi) {
        Py_ssize_t mid = (lo + hi) / 2;
        if (x < bounds[mid]) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    return row_tuple(s, lo < size ? lo : size - 1, "choose");
}

Ref bag_choices(BagObject* bag) {
    ChoicesObject* it = PyObject_GC_New(ChoicesObject, state_of(bag).choices_type);
    if (it == nullptr) throw PyError();
    Py_INCREF(bag);
    it->bag = reinterpret_cast<PyObject*>(bag);
    it->row = 0;
    it->size = bag->store.size;
    it->pair = nullptr;
    PyObject_GC_Track(it);
    return Ref::steal(reinterpret_cast<PyObject*>(it));
}

}  // namespace zantu::native
