// The counts of a chain built from plain tokens, kept as numbers until
// something asks for its objects. A chain counted from text has a state
// and a bag per start; as objects (a tuple, a bag, its rows and a dict
// entry) they take some 230 bytes a start, as numbers here under a tenth
// of that. The chain counts into its store while its value table is
// plain, and walks and answers len() and `in` from it; anything else that
// reads or changes its bags makes them from the store first, in the order
// and with the counts that counting into bags makes (materialize()), and
// the store is gone.
//
// The store's values are objects of the chain's table, borrowed (the table
// only grows, and the chain drops its store before it lets go of its
// table). Its memory comes from Python's raw allocator, so tracemalloc
// sees it as it sees the objects it stands for.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "native.h"
#include "native_api.h"

namespace zantu::native {

// A growable array of plain values in the raw allocator's memory.
template <typename T>
class RawArray {
    static_assert(std::is_trivially_copyable_v<T>, "a RawArray moves its values as bytes");

public:
    RawArray() = default;
    ~RawArray() { PyMem_RawFree(data_); }
    RawArray(const RawArray&) = delete;
    RawArray& operator=(const RawArray&) = delete;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }

    void push_back(const T& value) {
        if (size_ == capacity_) reserve(capacity_ < 16 ? 16 : capacity_ * 2);
        data_[size_++] = value;
    }
    // `count` values, each `fill`.
    void assign(size_t count, const T& fill) {
        if (count > capacity_) {
            PyMem_RawFree(data_);
            data_ = nullptr;
            capacity_ = size_ = 0;
            reserve(count);
        }
        for (size_t i = 0; i < count; ++i) data_[i] = fill;
        size_ = count;
    }
    void reserve(size_t capacity) {
        if (capacity <= capacity_) return;
        if (capacity > PY_SSIZE_T_MAX / sizeof(T)) throw_no_memory();
        void* grown = PyMem_RawRealloc(data_, capacity * sizeof(T));
        if (grown == nullptr) throw_no_memory();
        data_ = static_cast<T*>(grown);
        capacity_ = capacity;
    }
    // Empty, its memory given back.
    void release() {
        PyMem_RawFree(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }
    void swap(RawArray& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }
    // Gives back the room kept for values to come.
    void trim() {
        if (size_ == capacity_ || size_ == 0) return;
        void* trimmed = PyMem_RawRealloc(data_, size_ * sizeof(T));
        if (trimmed == nullptr) return;  // keeps the larger block
        data_ = static_cast<T*>(trimmed);
        capacity_ = size_;
    }

private:
    [[noreturn]] static void throw_no_memory() {
        PyErr_NoMemory();
        throw PyError();
    }
    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

class StateStore {
public:
    static constexpr uint32_t kNone = UINT32_MAX;

    explicit StateStore(size_t order) : order_(order) {}

    size_t order() const { return order_; }
    size_t states() const { return states_.size(); }
    size_t values() const { return values_.size(); }
    // Pairs counted: every count, and their sum, stays below 2**32.
    uint64_t pairs() const { return pairs_; }
    bool fits(uint64_t more) const { return pairs_ + more < UINT32_MAX; }

    // The number of `kept` (an object of the chain's table), given it when
    // it is new; numbering a value changes nothing that is counted.
    uint32_t value_id(PyObject* kept);
    // The number of `kept`, or kNone.
    uint32_t find_value(const PyObject* kept) const;
    PyObject* value(uint32_t id) const { return values_[id]; }
    // Asks the memory for where `kept`'s number is looked for.
    void prefetch_value(const PyObject* kept) const;

    // `n` more of `next` after the state of the `order` values `ids`
    // (fits(n) first).
    void count(const uint32_t* ids, uint32_t next, uint32_t n = 1);
    // Asks the memory for where the state of `ids` is looked for.
    void prefetch_state(const uint32_t* ids) const;
    // The state of `ids`, or kNone.
    uint32_t find_state(const uint32_t* ids) const;
    const uint32_t* state_ids(uint32_t state) const { return state_ids_.data() + size_t(state) * order_; }
    uint32_t rows(uint32_t state) const { return states_[state].rows; }
    size_t all_rows() const { return rows_.size(); }
    // each(next, count) for the rows of `state`, in the order they came.
    template <typename Each>
    void each_row(uint32_t state, Each each) const {
        for (uint32_t r = states_[state].first; r != kNone; r = rows_[r].link) each(rows_[r].next, rows_[r].count);
    }
    // The object of `state`'s start, kept in `table` (the chain's, whose
    // values these are): its value at order 1, else the tuple of its
    // values, made at the first call and found again at the next. Makes
    // objects the collector tracks: the caller has it paused.
    PyObject* start(uint32_t state, PyObject* table);

    // The next value drawn from `state`'s rows with probability count/total
    // for `x` in [0, 1), as a bag's choose() draws it from the same rows.
    uint32_t choose(uint32_t state, double x);

    // Gives back the room kept for more after a count that added much
    // (one of many small ones keeps it, so that they take time in
    // proportion to what they add).
    void trim();

private:
    struct Slot {  // of a table of numbers: the number + 1 (0: empty) and a key of its own
        uint32_t at = 0;
        uint32_t key = 0;  // values and states: the hash's low bits; rows: the row's state
    };
    struct State {
        uint32_t first, last, rows;
    };
    struct Row {
        uint32_t next, count, link;  // link: the state's next row, or kNone
    };

    bool same_state(const uint32_t* a, const uint32_t* b) const {
        for (size_t k = 0; k < order_; ++k) {
            if (a[k] != b[k]) return false;
        }
        return true;
    }
    size_t state_hash(const uint32_t* ids) const;
    static size_t row_hash(uint32_t state, uint32_t next);
    // Room for one more entry beside `used` in a table whose entries'
    // hashes `hash_of(slot)` gives.
    template <typename HashOf>
    static void make_room(RawArray<Slot>& slots, size_t used, HashOf hash_of) {
        if ((used + 1) * 2 > slots.size()) grow(slots, hash_of);
    }
    template <typename HashOf>
    static void grow(RawArray<Slot>& slots, HashOf hash_of);
    uint32_t add_state(const uint32_t* ids);
    uint32_t state_for(const uint32_t* ids);
    // The rows of the states with more than kListedRows, found by their
    // state and next value (dropped when a long count ends: reading needs
    // none; made again at the next count).
    static constexpr uint32_t kListedRows = 8;
    void index_rows();
    void index_row(uint32_t state, uint32_t row);
    // The rows of a state that has many, as a walk draws from them: the
    // next values and their running totals, forgotten when more is counted.
    struct Drawn {
        std::vector<uint32_t> next;
        std::vector<double> bounds;
    };
    const Drawn& drawn(uint32_t state);

    size_t order_;
    uint64_t pairs_ = 0;
    uint64_t pairs_trimmed_ = 0;   // pairs_ at the last trim
    RawArray<PyObject*> values_;   // by number, borrowed from the table
    RawArray<Slot> value_slots_;
    RawArray<uint32_t> state_ids_;  // `order_` numbers a state
    RawArray<State> states_;
    RawArray<Slot> state_slots_;    // order > 1
    RawArray<uint32_t> value_state_;  // order 1: the state of each value, or kNone
    RawArray<Row> rows_;
    RawArray<PyObject*> starts_;  // order > 1: each state's tuple (borrowed from the table), or null
    RawArray<Slot> row_slots_;
    size_t indexed_rows_ = 0;
    bool rows_indexed_ = true;  // row_slots_ holds every row it should
    std::unordered_map<uint32_t, Drawn> drawn_;
};

// The chain's store, made for `order` when the chain may count into it:
// its table is plain and it has no bags, or a store of that order.
// Null where it must count into bags.
StateStore* usable_store(ChainObject* chain, size_t order);
// The chain's bags made from its store, and the store dropped; nothing
// where it has none. Throws with the chain as it was.
void materialize(ChainObject* chain);
// The store dropped with nothing made (the chain is being emptied).
void drop_store(ChainObject* chain);
// The chain's store's states, with a mark of what it holds now in `mark`;
// -1 when it has none.
Py_ssize_t store_states(ChainObject* chain, StoreRowsMark& mark);
// State `state` of the store that `mark` marks, into `out` with the table
// that holds its objects (for a caller that runs code of the caller's
// between states: a writer); RuntimeError when the chain no longer holds
// it.
void store_state(ChainObject* chain, const StoreRowsMark& mark, Py_ssize_t state, StoreRows& out);

// The state of `start` (frozen and plain) in `store`, or kNone.
uint32_t store_state_of(const StateStore& store, PyObject* table, PyObject* start);
// `other`'s store counted into `chain`'s, as adding its pairs one by one
// would count them: false, nothing done, where either has none that can
// take part (the chain counts into bags, the orders differ, or the counts
// would pass what a store holds). Runs no code of the caller's.
bool merge_stores(ChainObject* chain, ChainObject* other);

}  // namespace zantu::native
