// The package's bag and chain as native types (module zantu._native), and
// what their two source files share.
//
// Values are kept once per chain: every start and every value of a next
// state goes through a value table (value_table.cpp: the one object kept
// for each value) that the chain shares with its bags. A bag then stores
// its next states as rows of those objects, compared by identity, and its
// counts as 32-bit integers until a count needs an object (a big, negative
// or non-integer count, or a sum past 2**32 - 1). A table only ever grows
// (nothing a caller can reach empties it), and every bag holds its table,
// so the rows may borrow their values from it.
//
// Caller code can run inside any hash or comparison of a value that is not
// plain (see plain_value), any call of a method or of a count's +, and any
// allocation of an object the collector tracks (the collector runs there,
// and with it any __del__). After such a point no pointer into a store is
// used again before the store's generation, or the chain's changes, are
// checked: a change raises RuntimeError, as a dict's does.
#pragma once

#include <cstdint>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include <unistd.h>

#include "native_api.h"
#include "pairs.h"
#include "ref.h"

namespace zantu::native {

// Where a bag's rows live; all zero is the empty store. Kept small (a
// chain has a bag per start): with its object a bag takes 80 bytes.
struct BagStore {
    enum Mode : uint8_t { kEmpty = 0, kRows = 1, kTuples = 2 };
    static constexpr Py_ssize_t kWidest = 255;           // values a row in kRows mode
    static constexpr Py_ssize_t kMostRows = UINT32_MAX;  // rows a bag holds
    Mode mode;                // kRows: `width` values a row; kTuples: one owned tuple a row
    bool big;                 // counts are objects (owned) rather than small integers
    uint8_t index_bits;       // log2 of the index's slots; 0: no index
    uint8_t width;            // kRows: values a row (at most kWidest)
    uint32_t generation;      // changes whenever rows move, come or go
    uint32_t size;
    uint32_t capacity;
    PyObject** states;        // one block: capacity rows, then capacity counts
    void* index;              // open addressing over row + 1, once the bag is large
    double* bounds;           // running totals of the weights for choose(), or null

    // Index slots of 32 bits past 65536 slots, else 16.
    static bool wide_slots(uint8_t bits) { return bits > 16; }
    bool wide_index() const { return wide_slots(index_bits); }
    Py_ssize_t stride() const { return mode == kTuples ? 1 : width; }
    size_t count_size() const { return big ? sizeof(PyObject*) : sizeof(uint32_t); }
    // The counts: uint32_t while !big, PyObject* (owned) while big.
    char* counts() const { return reinterpret_cast<char*>(states + capacity * stride()); }
    uint32_t* small_counts() const { return reinterpret_cast<uint32_t*>(counts()); }
    PyObject** big_counts() const { return reinterpret_cast<PyObject**>(counts()); }
    size_t index_slots() const { return index_bits == 0 ? 0 : size_t(1) << index_bits; }
};

struct BagObject {
    PyObject_HEAD
    PyObject* table;  // the value table (a dict), null until the first value
    BagStore store;
};
static_assert(sizeof(BagStore) == 40, "a bag's store grew");

class StateStore;

struct ChainObject {
    PyObject_HEAD
    PyObject* bags;   // dict: start -> bag, in the order the starts came
    PyObject* table;  // the value table its bags share
    uint64_t changes; // counts every clear() and set_bag()
    // Counts not made into bags yet (state_store.h), owned; while there is
    // one, `bags` is empty. Null for none.
    StateStore* store;
    bool materializing;  // its bags are being made from the store
};

// Everything the module owns, one set per module object (a sub-interpreter
// has its own types and imports): made when the module is executed,
// released when it is freed or cleared by the collector.
#define ZANTU_NATIVE_TYPES(X) X(bag_type) X(choices_type) X(chain_type) X(walk_type) X(table_type) X(sink_type)
#define ZANTU_NATIVE_OBJECTS(X)                                                        \
    X(random_module)   /* random: choose() without a generator draws from it */        \
    X(random_class)    /* random.Random, the generator of a walk */                     \
    X(newobj)          /* copyreg.__newobj__, for pickling */                           \
    X(sum)             /* builtins.sum, for total() */                                  \
    X(name_random) X(name_add) X(name_choose) X(name_items) X(name_add_tokens)          \
    X(name_choices) X(name_add_to_bag) X(name_write)                                    \
    X(kw_count)        /* ("count",) */

struct NativeState {
#define ZANTU_DECLARE_TYPE(name) PyTypeObject* name = nullptr;
    ZANTU_NATIVE_TYPES(ZANTU_DECLARE_TYPE)
#undef ZANTU_DECLARE_TYPE
#define ZANTU_DECLARE_OBJECT(name) PyObject* name = nullptr;
    ZANTU_NATIVE_OBJECTS(ZANTU_DECLARE_OBJECT)
#undef ZANTU_DECLARE_OBJECT
    NativeApi api = {};  // what the capsule hands the codec: these types
    // Whether a text being counted is split a block ahead by a thread of its
    // own (text_split.cpp): not in a process that is one of several
    // counting at once (zantu._native._split_ahead).
    bool split_ahead = true;

    NativeState() = default;
    NativeState(const NativeState&) = delete;
    NativeState& operator=(const NativeState&) = delete;
    ~NativeState();
    int traverse(visitproc visit, void* arg);
};

// The state of the module that made `type` (or a base of it). Throws when
// that module's state is released.
NativeState& type_state(PyTypeObject* type);
// The state behind one of the module's objects or of a subclass's.
inline NativeState& state_of(PyObject* object) { return type_state(Py_TYPE(object)); }
inline NativeState& state_of(ChainObject* chain) { return state_of(reinterpret_cast<PyObject*>(chain)); }
inline NativeState& state_of(BagObject* bag) { return state_of(reinterpret_cast<PyObject*>(bag)); }
// The state of the module object itself.
NativeState& module_state(PyObject* module);

// The module's types, made for `module` into `state`.
void make_bag_types(PyObject* module, NativeState& state);
void make_chain_types(PyObject* module, NativeState& state);
void make_table_type(PyObject* module, NativeState& state);
void make_sink_type(PyObject* module, NativeState& state);
// TextSink.write for `size` bytes of UTF-8 (text_sink.cpp): 0, or -1 with
// an exception set.
int sink_append(PyObject* sink, const char* data, size_t size);

inline BagObject* as_bag(PyObject* o) { return reinterpret_cast<BagObject*>(o); }
inline ChainObject* as_chain(PyObject* o) { return reinterpret_cast<ChainObject*>(o); }

// `value` with every list and tuple in it, however deep, made a tuple.
Ref freeze(PyObject* value);
// Whether hashing and comparing `value` runs no code of the caller's: an
// exact str, int, float or bytes, None, a bool, or an exact tuple of these.
bool plain_value(PyObject* value);
// A new empty value table.
Ref new_table(const NativeState& state);
// The object that `table` keeps for the frozen `value`, put there if it is
// the first (borrowed: the table holds it for as long as the table lives).
PyObject* kept_value(PyObject* table, PyObject* value);
// The same without keeping it: null when the table has none.
PyObject* found_value(PyObject* table, PyObject* value);
Py_ssize_t table_size(PyObject* table);
// Whether every value the table keeps is plain: then no lookup in it, nor
// in a dict keyed by its values, runs code of the caller's.
bool table_plain(PyObject* table);
// Names the chain whose table `table` is (null: none any more).
void set_table_owner(PyObject* table, ChainObject* owner);

// The collector and the chain's bags. A bag whose values are the plain
// values of a plain table and whose counts are small integers can be in no
// cycle (its table holds only values that hold nothing), so a chain leaves
// its own bags untracked, as CPython leaves a dict of atomic values: a
// collection then costs nothing per state. A bag is untracked only while
//  - it is in the bags of the chain whose table it has (settle_bag), and
//  - that table is plain (the table calls track_bags when it is no more),
//  - and its counts are small (TrackedWhenBig around what may add objects);
// it is tracked again when it leaves the chain (clear, set_bag, the
// chain's end) or takes another table (bag_adopt).

// Whether `o` is a bag of exactly the package's type (of any instance of
// the module). Asks no module state: a chain's clear may run while the
// collector frees a subclass and its type together.
bool own_bag(PyObject* o);
// The bag just put in `chain`'s bags, untracked when that is safe.
void settle_bag(ChainObject* chain, PyObject* bag);
// Every bag of `chain`'s bags tracked again.
void track_bags(ChainObject* chain);
// One bag tracked again, if it is not.
inline void track_bag(PyObject* bag) {
    if (!PyObject_GC_IsTracked(bag)) PyObject_GC_Track(bag);
}

// Around any change of a bag that may give its counts objects: a bag with
// them is tracked at the end, whatever happened meanwhile.
struct TrackedWhenBig {
    explicit TrackedWhenBig(BagObject* b) : bag(b) {}
    ~TrackedWhenBig() {
        if (bag->store.big) track_bag(reinterpret_cast<PyObject*>(bag));
    }
    TrackedWhenBig(const TrackedWhenBig&) = delete;
    TrackedWhenBig& operator=(const TrackedWhenBig&) = delete;
    BagObject* bag;
};

// A new empty bag of `state`'s type whose values go to `table`.
Ref new_bag(NativeState& state, PyObject* table);
// bag.add(item, count) of the native bag.
void bag_add(BagObject* bag, PyObject* item, PyObject* count);
// add(item, count=count) for every pair of `counts`: the bag's own add, or
// with `method` a subclass's (which may override it) through the method.
void bag_add_pairs(BagObject* bag, PyObject* counts, bool method);
// bag.update(other): the pairs of `other` (any bag) added one by one, in
// its order (merge.cpp).
void bag_update(PyObject* bag, PyObject* other);
// Adds `count` (an int in a small count's range: one of tokens) to the row
// of `values`, which are already the objects of the bag's own table.
void bag_add_kept(BagObject* bag, PyObject* const* values, Py_ssize_t size, uint32_t count);
// Fills an empty bag with `rows` rows of `width` values each (objects of
// the bag's own table, no two rows alike), in that order, with their small
// counts: what adding them one by one makes, without looking for any.
void bag_fill_rows(BagObject* bag, PyObject* const* values, Py_ssize_t width, const uint32_t* counts,
                   Py_ssize_t rows);
// The same for rows that may repeat, into any bag: what adding them one by
// one makes (filled at once when the bag is empty and no two rows alike).
void bag_add_rows(BagObject* bag, PyObject* const* values, Py_ssize_t width, const uint32_t* counts,
                  Py_ssize_t rows);
// Asks the memory for where the row of `values` would be found.
void bag_prefetch_row(const BagObject* bag, PyObject* const* values, Py_ssize_t size);
// The same with a count that is an object.
void bag_add_kept_object(BagObject* bag, PyObject* const* values, Py_ssize_t size, PyObject* count);
// Gives back the room kept for rows to come.
void bag_trim(BagObject* bag);
// Moves the bag's values to `table` (a chain's), rows and order kept.
void bag_adopt(BagObject* bag, PyObject* table);
// A next state drawn with probability count/total, `draw()` giving a float
// in [0, 1). Returns a new tuple.
Ref bag_choose(BagObject* bag, PyObject* draw);

// _count_words(chain, text, order, carried): counts the words of `text`
// (as re's \w+ finds them) after the words `carried`; returns the last
// `order` words, to be carried into the next text.
PyObject* count_words_function(PyObject* module, PyObject* args);
// zantu._native._sentences and _tokens (text_split.cpp).
PyObject* sentences_function(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* tokens_function(PyObject* module, PyObject* text);
PyObject* count_sentences_function(PyObject* module, PyObject* args);
PyObject* split_ahead_function(PyObject* module, PyObject* on);
// The runs index's helpers: its numbers for a text (text_split.cpp), then
// joined and ranked (runs_rank.cpp).
PyObject* runs_add_function(PyObject* module, PyObject* args);
PyObject* runs_join_function(PyObject* module, PyObject* args);
PyObject* runs_take_function(PyObject* module, PyObject* args);
PyObject* runs_rank_joined_function(PyObject* module, PyObject* args);
PyObject* runs_finish_function(PyObject* module, PyObject* args);
PyObject* runs_rank_function(PyObject* module, PyObject* args);
PyObject* runs_ranked_function(PyObject* module, PyObject* args);
// Its search (runs_search.cpp).
PyObject* runs_search_function(PyObject* module, PyObject* args);
PyObject* runs_searchable_function(PyObject* module, PyObject* search);
PyObject* copies_function(PyObject* module, PyObject* args);

// The runs index's numbers are varints: 7 bits a byte, the low ones
// first, the high bit set on every byte of a number but its last.

// The bytes of `v` as a varint.
inline size_t varint_size(uint32_t v) {
    return v < (1u << 7) ? 1 : v < (1u << 14) ? 2 : v < (1u << 21) ? 3 : v < (1u << 28) ? 4 : 5;
}

// `v` as a varint at `out`, moved past it.
template <typename Byte>
void put_varint(Byte*& out, uint32_t v) {
    while (v >= 128) {
        *out++ = Byte((v & 127) | 128);
        v >>= 7;
    }
    *out++ = Byte(v);
}

// The varint at data[at] into `v`, `at` moved past it; false when it is
// cut short by data[size] or passes 32 bits.
inline bool read_varint(const unsigned char* data, size_t size, size_t& at, uint32_t& v) {
    v = 0;
    for (int shift = 0; at < size; shift += 7) {
        unsigned char c = data[at++];
        if (shift > 28 || (shift == 28 && (c & 127) > 15)) return false;
        v |= uint32_t(c & 127) << shift;
        if (!(c & 128)) return true;
    }
    return false;
}

// Calls each(where it begins, its number) for every varint of
// data[0:size], in order, while it returns true; false when one is cut
// short or past 32 bits, or each() says so.
template <typename Each>
bool each_varint(const unsigned char* data, size_t size, Each each) {
    for (size_t at = 0; at < size;) {
        size_t begin = at;
        uint32_t v = 0;
        if (!read_varint(data, size, at, v) || !each(begin, v)) return false;
    }
    return true;
}

// ValueError: "the runs index is damaged" (runs_rank.cpp).
[[noreturn]] void raise_runs_damaged();
// A token's number in `table` (a runs builder's: a dict of str to number,
// from 1), where a new one is added (runs_rank.cpp).
uint32_t number_of(PyObject* table, PyObject* token);

// A thread of the module's own, which never touches Python (the runs
// index's ranking and search). A process forked while it runs has no such
// thread: there forked() is true, and the thread is never joined (that
// would wait for ever); its handle is left as it is.
class OwnThread {
public:
    OwnThread() = default;
    OwnThread(const OwnThread&) = delete;
    OwnThread& operator=(const OwnThread&) = delete;
    ~OwnThread() { join(); }

    // Runs `work` on the thread, or here where no thread is to be had.
    template <typename Work>
    void start(Work work) {
        pid_ = getpid();
        try {
            thread_ = std::thread(work);
        } catch (const std::system_error&) {
            work();
        }
    }
    bool forked() const { return thread_.joinable() && getpid() != pid_; }
    void join() {
        if (!thread_.joinable()) return;
        if (forked()) {
            new std::thread(std::move(thread_));  // the parent's thread: it never ends here
            return;
        }
        thread_.join();
    }

private:
    std::thread thread_;
    pid_t pid_ = 0;
};

// A buffer's bytes (PyBUF_SIMPLE), held while used.
struct Bytes {
    explicit Bytes(PyObject* object) {
        if (PyObject_GetBuffer(object, &view, PyBUF_SIMPLE) < 0) throw PyError();
    }
    ~Bytes() { PyBuffer_Release(&view); }
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    const unsigned char* data() const { return static_cast<const unsigned char*>(view.buf); }
    size_t size() const { return size_t(view.len); }
    Py_buffer view;
};

// The row `row` of a store: its values.
struct Row {
    PyObject* const* values;
    Py_ssize_t size;
};
Row store_row(const BagStore& store, Py_ssize_t row);
// The count of a row (a new reference).
Ref store_count(const BagStore& store, Py_ssize_t row);

// The compact form in which bags and chains are pickled (pickling.cpp);
// with `buffers` its bytes are PickleBuffers (protocol 5).
Ref bag_compact_state(PyObject* bag, bool buffers);
Ref chain_compact_state(PyObject* chain, bool buffers);
// Whether `state` is in that form (else it is the older pairs form).
bool compact_state(PyObject* state);
void bag_restore_compact(PyObject* self, PyObject* state);
void chain_restore_compact(PyObject* self, PyObject* state);
// chain.update() of the chain that `state` (a chain's compact state) makes,
// without making it where the rows can go straight to the chain's bags.
void chain_merge_compact(PyObject* self, PyObject* state);
// zantu._native._merge_state(chain, state).
PyObject* merge_state_function(PyObject* module, PyObject* args);
// zantu._native._next_value_sums(chain) (frequencies.cpp).
PyObject* next_value_sums_function(PyObject* module, PyObject* chain);
// zantu._native._unique_pairs(chain) (frequencies.cpp).
PyObject* unique_pairs_function(PyObject* module, PyObject* chain);
// __reduce__ of both types: the compact state; __reduce_ex__(protocol) the
// same (with PickleBuffers from protocol 5), but for a subclass that
// defines its own __reduce__ (which wins, as object's lets it).
PyObject* reduce(PyObject* self, PyObject*);
PyObject* reduce_ex(PyObject* self, PyObject* protocol);

// What pickling keeps of an instance besides its rows: its __getstate__(),
// which for a subclass holds its __dict__ and __slots__ (None for neither).
Ref instance_state(PyObject* self);
// Puts such a state back into a new instance, as pickle does: a dict of
// attributes, or a pair of one (or None) and a dict of slot values.
void restore_state(PyObject* self, PyObject* state);

}  // namespace zantu::native
