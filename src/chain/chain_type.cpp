// MarkovChain: for every start, the bag of next states seen after it.
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "address_map.h"
#include "native.h"
#include "prefetch.h"

namespace zantu::native {
namespace {

[[noreturn]] void raise_changed(const char* during) {
    raise(PyExc_RuntimeError, "MarkovChain changed during %s", during);
}

Ref chain_bags(ChainObject* chain) {
    if (chain->bags == nullptr) chain->bags = Ref::check(PyDict_New()).release();
    return Ref::borrow(chain->bags);
}

Ref chain_table(ChainObject* chain) {
    if (chain->table == nullptr) chain->table = new_table(state_of(chain)).release();
    return Ref::borrow(chain->table);
}

// What a chain is while code of the caller's runs: if its bags, its table
// or a bag of a start changed meanwhile, what was found before is stale.
struct ChainMark {
    explicit ChainMark(ChainObject* c) : chain(c), bags(c->bags), table(c->table), changes(c->changes) {}
    void check(const char* during) const {
        if (chain->bags != bags || chain->table != table || chain->changes != changes) raise_changed(during);
    }
    ChainObject* chain;
    PyObject* bags;
    PyObject* table;
    uint64_t changes;
};

// bag.add(item, count=count) through the bag's own method.
void call_add(const NativeState& state, PyObject* bag, PyObject* item, PyObject* count) {
    PyObject* stack[] = {bag, item, count};
    Ref done = Ref::check(PyObject_VectorcallMethod(state.name_add, stack, 2, state.kw_count));
}

// The bag of `start` (a value of the chain's table), made and installed when
// there is none. The lookup runs the __eq__ of a start that is not plain.
Ref bag_of(NativeState& state, ChainObject* chain, PyObject* bags, PyObject* table, PyObject* start) {
    PyObject* found = PyDict_GetItemWithError(bags, start);
    if (found != nullptr) return Ref::borrow(found);
    if (PyErr_Occurred()) throw PyError();
    Ref bag = new_bag(state, table);
    check_status(PyDict_SetItem(bags, start, bag.get()));
    if (chain->bags != bags || chain->table != table) raise_changed("add_to_bag");
    return bag;
}

void add_to_bag(ChainObject* chain, PyObject* start, PyObject* item, PyObject* count) {
    Ref table = chain_table(chain);
    Ref bags = chain_bags(chain);
    PyObject* kept = kept_value(table.get(), start);
    if (chain->table != table.get()) raise_changed("add_to_bag");
    NativeState& state = state_of(chain);
    Ref bag = bag_of(state, chain, bags.get(), table.get(), kept);
    if (Py_IS_TYPE(bag.get(), state.bag_type)) {
        bag_add(as_bag(bag.get()), item, count);
    } else {
        call_add(state, bag.get(), item, count);
    }
}

void set_bag(ChainObject* chain, PyObject* start, PyObject* bag) {
    Ref table = chain_table(chain);
    Ref bags = chain_bags(chain);
    PyObject* kept = kept_value(table.get(), start);
    if (PyObject_TypeCheck(bag, state_of(chain).bag_type)) bag_adopt(as_bag(bag), table.get());
    if (chain->table != table.get()) raise_changed("set_bag");
    ++chain->changes;
    check_status(PyDict_SetItem(bags.get(), kept, bag));
}

void clear(ChainObject* chain) {
    // A new table: bags taken out of the chain keep theirs.
    Ref table = new_table(state_of(chain));
    ++chain->changes;
    PyObject* previous = chain->table;
    chain->table = table.release();
    Py_XDECREF(previous);
    if (chain->bags != nullptr) PyDict_Clear(chain->bags);
}

// A run in which no code of the caller's can run: the collector is paused
// (PlainRun(false) is never on).
class PlainRun {
public:
    explicit PlainRun(bool plain) : on_(plain), paused_(plain && PyGC_Disable() == 1) {}
    ~PlainRun() { end(); }
    PlainRun(const PlainRun&) = delete;
    PlainRun& operator=(const PlainRun&) = delete;
    bool on() const { return on_; }
    void end() {
        if (paused_) PyGC_Enable();
        on_ = paused_ = false;
    }

private:
    bool on_;
    bool paused_;
};

// Bags by the identity of their start, borrowed from the chain's dict:
// valid only while no code of the caller's runs.
using StartBags = AddressMap<PyObject*>;

// The values of some tokens numbered in the order they first came: each
// token's id, and the value of each id. Complete when there is an id for
// every token.
struct Numbered {
    std::vector<uint32_t> ids;
    std::vector<PyObject*> values;  // borrowed: the table holds them
};

// The strs kept in a table, found by their characters, and numbered in the
// order they came. Only while no code of the caller's can run: then the
// table holds nothing but plain values, and an exact str equals exactly the
// strs of the same characters. A slot holds a short str's characters
// itself, so that finding one reads no other memory.
class KeptStrs {
public:
    // The table's str for `token` (an exact str whose hash is `hash`) and
    // its number: found, or kept in `table` and numbered next.
    std::pair<PyObject*, uint32_t> at(PyObject* table, Py_hash_t hash, PyObject* token, Numbered& numbered) {
        Key key = key_of(hash, token);
        Slot& slot = strs_.slot_for(size_t(hash), [&](const Slot& s) { return same(s, key, token); });
        if (slot.empty()) {
            // Into a table of plain values, an exact str keeps an exact str.
            PyObject* kept = kept_value(table, token);
            if (!PyUnicode_CheckExact(kept)) raise(PyExc_SystemError, "a str kept as %.200s", Py_TYPE(kept)->tp_name);
            slot = Slot{kept, key, uint32_t(numbered.values.size())};
            numbered.values.push_back(kept);
            strs_.added();
        }
        return {slot.kept, slot.id};
    }
    // Where the search for `hash` begins.
    const void* first_slot(Py_hash_t hash) const { return strs_.first_slot(size_t(hash)); }

private:
    struct Key {
        Py_hash_t hash;
        std::uint64_t head[2];  // the first 16 bytes of the characters (see key_of)
        std::uint32_t size;  // how many bytes they take (up to kLongest), times 4, plus the kind
    };
    static constexpr Py_ssize_t kLongest = Py_ssize_t(1) << 29;
    struct Slot {
        PyObject* kept = nullptr;  // an exact str, borrowed: the table holds it
        Key key{};
        uint32_t id = 0;
        bool empty() const { return kept == nullptr; }
        size_t hash() const { return size_t(key.hash); }
    };

    static Key key_of(Py_hash_t hash, PyObject* str) {
        int kind = PyUnicode_KIND(str);
        Py_ssize_t bytes = PyUnicode_GET_LENGTH(str) * kind;
        // Up to 16 bytes read as two words, from the front and from the
        // back (overlapping when shorter): with the size, they are the
        // characters.
        const auto* data = static_cast<const unsigned char*>(PyUnicode_DATA(str));
        std::uint32_t size = std::uint32_t(bytes < kLongest ? bytes : kLongest);
        Key key{hash, {0, 0}, size * 4 + std::uint32_t(kind)};
        if (bytes >= 8) {
            std::memcpy(&key.head[0], data, 8);
            std::memcpy(&key.head[1], data + (bytes < 16 ? bytes - 8 : 8), 8);
        } else if (bytes >= 4) {
            std::uint32_t front, back;
            std::memcpy(&front, data, 4);
            std::memcpy(&back, data + bytes - 4, 4);
            key.head[0] = front | std::uint64_t(back) << 32;
        } else if (bytes > 0) {
            key.head[0] = data[0] | std::uint64_t(data[bytes / 2]) << 8 | std::uint64_t(data[bytes - 1]) << 16;
        }
        return key;
    }
    static bool same(const Slot& s, const Key& key, PyObject* token) {
        if (s.key.hash != key.hash || s.key.head[0] != key.head[0] || s.key.head[1] != key.head[1] ||
            s.key.size != key.size) {
            return false;
        }
        if (key.size / 4 <= 16 || s.kept == token) return true;
        Py_ssize_t length = PyUnicode_GET_LENGTH(token);
        return PyUnicode_GET_LENGTH(s.kept) == length &&
               std::memcmp(PyUnicode_DATA(s.kept), PyUnicode_DATA(token), size_t(length) * PyUnicode_KIND(token)) == 0;
    }

    ProbeTable<Slot> strs_{4096};
};

// How far ahead of the token being kept it is asked of the memory, and
// its slot.
constexpr Py_ssize_t kTokenAhead = 32, kStrAhead = 16;

// The table's objects for `tokens` (any iterable), in order; `plain` tells
// whether all of them are plain values. `numbered` gets their numbers
// when every token is an exact str kept into a table that was empty.
std::vector<PyObject*> kept_tokens(PyObject* table, PyObject* tokens, bool& plain, Numbered& numbered) {
    std::vector<PyObject*> kept;
    plain = true;
    if (PyList_CheckExact(tokens) || PyTuple_CheckExact(tokens)) {
        // Read by position, as a list's iterator does: hashing a token may
        // change the list. Into a table that starts empty, and while every
        // token so far is plain, nothing of the caller's runs: a str met
        // before is found by its characters here, the token and its slot
        // asked of the memory ahead, rather than looked up in the table.
        kept.reserve(size_t(PySequence_Fast_GET_SIZE(tokens)));
        bool by_characters = table_size(table) == 0;
        if (by_characters) numbered.ids.reserve(kept.capacity());
        KeptStrs strs;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(tokens); ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(tokens, i);
            by_characters = by_characters && PyUnicode_CheckExact(item);
            if (!by_characters) {
                Ref token = Ref::borrow(item);
                plain = plain && plain_value(token.get());
                kept.push_back(kept_value(table, token.get()));
                continue;
            }
            // Nothing of the caller's runs for it: the list holds the token.
            PyObject* token = item;
            Py_ssize_t size = PySequence_Fast_GET_SIZE(tokens);
            if (i + kTokenAhead < size) prefetch(PySequence_Fast_GET_ITEM(tokens, i + kTokenAhead));
            if (i + kStrAhead < size) {
                PyObject* ahead = PySequence_Fast_GET_ITEM(tokens, i + kStrAhead);
                if (PyUnicode_CheckExact(ahead)) {
                    Py_hash_t h = PyObject_Hash(ahead);  // a str's own, cached once made
                    if (h != -1) prefetch(strs.first_slot(h));
                }
            }
            Py_hash_t hash = PyObject_Hash(token);
            if (hash == -1) throw PyError();
            auto [found, id] = strs.at(table, hash, token, numbered);
            kept.push_back(found);
            numbered.ids.push_back(id);
        }
        if (!by_characters) numbered = Numbered{};
        return kept;
    }
    Ref it = Ref::check(PyObject_GetIter(tokens));
    for (Ref token; (token = Ref::steal(PyIter_Next(it.get())));) {
        plain = plain && plain_value(token.get());
        kept.push_back(kept_value(table, token.get()));
    }
    if (PyErr_Occurred()) throw PyError();
    return kept;
}

// Plain tokens counted into a chain whose bags are all the package's own
// (no code of the caller's runs): the next states of every start are
// gathered first (a counting sort of the positions by start), then each
// start's are counted in one go and go into its bag together: a new bag
// is filled at once. New starts come in the order they first came, and a
// bag's new rows in the order they first came after that start, with the
// counts that adding them one by one makes. Orders 1 and 2, fewer than
// 2**31 tokens.
class BatchCount {
public:
    // `numbered`: the tokens' numbers, when known (moved from).
    BatchCount(NativeState& state, PyObject* table, PyObject* bags, const std::vector<PyObject*>& kept, size_t order,
               Numbered* numbered)
        : state_(state), table_(table), bags_(bags), kept_(kept), order_(order) {
        if (numbered != nullptr && numbered->ids.size() == kept.size()) {
            ids_ = std::move(numbered->ids);
            values_ = std::move(numbered->values);
        }
    }

    static bool fits(size_t tokens, Py_ssize_t order) { return (order == 1 || order == 2) && tokens < (size_t(1) << 31); }

    // False, with nothing done to the chain, when one of its bags that the
    // tokens would add to is not the package's own of its table.
    bool run() {
        number_values();
        gather_next_states();
        if (!find_bags()) return false;
        for (size_t start = 0; start < values_.size(); ++start) {
            // A new start's object goes into the chain's dict of bags.
            if (start + kStartAhead < values_.size()) prefetch(values_[start + kStartAhead]);
            if (first_[start] < first_[start + 1]) fill_bag(start);
        }
        return true;
    }

private:
    // The bag each start has already, when the chain has any: each must be
    // the package's own of the chain's table with small counts, so that
    // adding to it runs no code of the caller's.
    bool find_bags() {
        if (PyDict_GET_SIZE(bags_) == 0) return true;
        found_.resize(values_.size());
        for (size_t start = 0; start < values_.size(); ++start) {
            if (first_[start] == first_[start + 1]) continue;
            PyObject* bag = PyDict_GetItemWithError(bags_, values_[start]);
            if (bag == nullptr) {
                if (PyErr_Occurred()) throw PyError();
                continue;
            }
            if (!Py_IS_TYPE(bag, state_.bag_type) || as_bag(bag)->table != table_ || as_bag(bag)->store.big) {
                return false;
            }
            found_[start] = Ref::borrow(bag);
        }
        return true;
    }

    // Ids in the order the values first come; a value first met as a start
    // is a start from its first position, so the starts come in id order.
    void number_values() {
        size_t count = kept_.size();
        if (ids_.size() == count) return;
        ids_.resize(count);
        AddressMap<uint32_t> id_of;  // the id + 1
        for (size_t i = 0; i < count; ++i) {
            if (i + kIdAhead < count) prefetch(id_of.first_slot(kept_[i + kIdAhead]));
            uint32_t& id = id_of.at(kept_[i]);
            if (id == 0) {
                values_.push_back(kept_[i]);
                id = uint32_t(values_.size());
            }
            ids_[i] = id - 1;
        }
    }

    // The next states (their ids: one for order 1, two in one for order
    // 2) of each start together, in the order of their positions:
    // first_[start] is where those of `start` begin.
    void gather_next_states() {
        size_t starts = kept_.size() - order_;
        first_.assign(values_.size() + 1, 0);
        for (size_t i = 0; i < starts; ++i) ++first_[ids_[i] + 1];
        for (size_t v = 0; v < values_.size(); ++v) first_[v + 1] += first_[v];
        std::vector<uint32_t> at(first_.begin(), first_.end() - 1);
        if (order_ == 1) {
            next_ids_.resize(starts);
            for (size_t i = 0; i < starts; ++i) next_ids_[at[ids_[i]]++] = ids_[i + 1];
            return;
        }
        next_states_.resize(starts);
        for (size_t i = 0; i < starts; ++i) next_states_[at[ids_[i]]++] = uint64_t(ids_[i + 1]) << 32 | ids_[i + 2];
    }

    // The bag of `start`: its distinct next states in the order they came,
    // each with how often it came.
    void fill_bag(size_t start) {
        uint32_t begin = first_[start], end = first_[start + 1];
        row_values_.clear();
        row_counts_.clear();
        if (order_ == 1) {
            if (row_of_.empty()) row_of_.assign(values_.size(), -1);
            for (uint32_t j = begin; j < end; ++j) {
                int32_t& row = row_of_[next_ids_[j]];
                if (row < 0) {
                    row = int32_t(row_counts_.size());
                    row_values_.push_back(values_[next_ids_[j]]);
                    row_counts_.push_back(1);
                } else {
                    ++row_counts_[size_t(row)];
                }
            }
            for (uint32_t j = begin; j < end; ++j) row_of_[next_ids_[j]] = -1;
        } else {
            size_t slots = 4;
            while (slots < size_t(end - begin) * 2) slots *= 2;
            slot_rows_.assign(slots, -1);
            row_keys_.clear();
            for (uint32_t j = begin; j < end; ++j) {
                uint64_t key = next_states_[j];
                size_t slot = size_t((key * 0x9E3779B97F4A7C15ull) >> 32) & (slots - 1);
                while (slot_rows_[slot] >= 0 && row_keys_[size_t(slot_rows_[slot])] != key) slot = (slot + 1) & (slots - 1);
                if (slot_rows_[slot] < 0) {
                    slot_rows_[slot] = int32_t(row_counts_.size());
                    row_keys_.push_back(key);
                    row_values_.push_back(values_[size_t(key >> 32)]);
                    row_values_.push_back(values_[size_t(key & 0xffffffffu)]);
                    row_counts_.push_back(1);
                } else {
                    ++row_counts_[size_t(slot_rows_[slot])];
                }
            }
        }
        PyObject* known = found_.empty() ? nullptr : found_[start].get();
        if (known != nullptr) {
            BagObject* bag = as_bag(known);
            for (size_t row = 0; row < row_counts_.size(); ++row) {
                bag_add_kept(bag, row_values_.data() + row * order_, Py_ssize_t(order_), row_counts_[row]);
            }
            bag_trim(bag);
            return;
        }
        Ref bag = new_bag(state_, table_);
        bag_fill_rows(as_bag(bag.get()), row_values_.data(), Py_ssize_t(order_), row_counts_.data(),
                      Py_ssize_t(row_counts_.size()));
        check_status(PyDict_SetItem(bags_, values_[start], bag.get()));
    }

    static constexpr size_t kIdAhead = 16, kStartAhead = 4;
    NativeState& state_;
    PyObject* table_;
    PyObject* bags_;
    const std::vector<PyObject*>& kept_;
    size_t order_;
    std::vector<uint32_t> ids_;        // of each token
    std::vector<PyObject*> values_;    // by id
    std::vector<uint32_t> first_;      // by start id, then the end
    std::vector<Ref> found_;             // by start id: its bag in the chain already, or none
    std::vector<uint32_t> next_ids_;     // order 1
    std::vector<uint64_t> next_states_;  // order 2
    std::vector<PyObject*> row_values_;
    std::vector<uint32_t> row_counts_;
    std::vector<int32_t> row_of_;      // order 1: the row of a next state's id in the bag being filled, or -1
    std::vector<int32_t> slot_rows_;   // order 2: open addressing over the rows' keys
    std::vector<uint64_t> row_keys_;
};

// How far ahead of the token being counted each stage of prefetching runs.
constexpr Py_ssize_t kSlotAhead = 16, kBagAhead = 8, kRowAhead = 4;

// Counts the next `order` tokens of every token of `kept` (objects of
// `table`, the chain's, held by the caller); `plain` when all of them are
// plain values.
void count_states(ChainObject* chain, PyObject* table_object, PyObject* bags_object,
                  const std::vector<PyObject*>& kept, Py_ssize_t order, bool plain, Numbered* numbered = nullptr) {
    Ref table = Ref::borrow(table_object);
    Ref bags = Ref::borrow(bags_object);
    Py_ssize_t count = Py_ssize_t(kept.size());
    if (chain->table != table.get()) raise_changed("add_tokens");
    NativeState& state = state_of(chain);
    PyTypeObject* bag_type = state.bag_type;
    // Plain tokens into a table of plain values run no code of the caller's
    // below while every bag is the package's with small counts: the
    // collector need not look at the bags as they come, and the bag of a
    // start found once is the bag of that start. Once code of the caller's
    // may run, the chain is checked after every token.
    PlainRun run(plain && table_plain(table.get()));
    ChainMark mark(chain);
    // In one batch where every bag the tokens touch is the package's own;
    // else (or for other orders) one token after another, below.
    if (run.on() && BatchCount::fits(kept.size(), order)) {
        if (count <= order || BatchCount(state, table.get(), bags.get(), kept, size_t(order), numbered).run()) return;
    }
    StartBags found;
    for (Py_ssize_t i = 0; i + order < count; ++i) {
        PyObject* start = kept[size_t(i)];
        PyObject* const* next_values = kept.data() + i + 1;
        if (run.on()) {
            // The tokens ahead are known: their lookups are asked of the
            // memory in stages, the start's slot, then its bag, then the
            // place of the next state in the bag.
            if (i + kSlotAhead + order < count) prefetch(found.first_slot(kept[size_t(i + kSlotAhead)]));
            if (i + kBagAhead + order < count) {
                PyObject* const* ahead = found.find(kept[size_t(i + kBagAhead)]);
                if (ahead != nullptr && *ahead != nullptr) prefetch(*ahead, sizeof(PyObject));
            }
            if (i + kRowAhead + order < count) {
                PyObject* const* ahead = found.find(kept[size_t(i + kRowAhead)]);
                if (ahead != nullptr && *ahead != nullptr && Py_IS_TYPE(*ahead, bag_type)) {
                    bag_prefetch_row(as_bag(*ahead), next_values + kRowAhead, order);
                }
            }
            // Kept borrowed: plain keys and the paused collector leave the dict as it is.
            PyObject*& known = found.at(start);
            if (known == nullptr) known = bag_of(state, chain, bags.get(), table.get(), start).get();
            if (Py_IS_TYPE(known, bag_type) && as_bag(known)->table == table.get() && !as_bag(known)->store.big) {
                bag_add_kept(as_bag(known), next_values, order, 1);
                continue;
            }
            run.end();  // a count's + or the bag's own add is the caller's code
        }
        Ref bag = bag_of(state, chain, bags.get(), table.get(), start);
        if (Py_IS_TYPE(bag.get(), bag_type) && as_bag(bag.get())->table == table.get()) {
            bag_add_kept(as_bag(bag.get()), next_values, order, 1);
        } else {
            Ref item = Ref::check(PyTuple_New(order));
            for (Py_ssize_t k = 0; k < order; ++k) PyTuple_SET_ITEM(item.get(), k, Py_NewRef(next_values[k]));
            PyObject* stack[] = {bag.get(), item.get()};
            Ref done = Ref::check(PyObject_VectorcallMethod(state.name_add, stack, 2, nullptr));
        }
        mark.check("add_tokens");
    }
    // A chain is mostly built once and then read: the bags counted into
    // keep no room. After a plain run those are the ones found by start;
    // after code of the caller's, any bag of the chain may be one.
    if (run.on()) {
        for (PyObject* start : found.keys()) {
            PyObject* bag = *found.find(start);
            if (Py_IS_TYPE(bag, bag_type)) bag_trim(as_bag(bag));
        }
        return;
    }
    Py_ssize_t pos = 0;
    PyObject *start, *bag;
    while (PyDict_Next(bags.get(), &pos, &start, &bag)) {
        if (Py_IS_TYPE(bag, bag_type)) bag_trim(as_bag(bag));
    }
}

void add_tokens(ChainObject* chain, PyObject* tokens, Py_ssize_t order) {
    if (order < 1) raise(PyExc_ValueError, "order must be at least 1");
    Ref table = chain_table(chain);
    Ref bags = chain_bags(chain);
    bool plain = true;
    Numbered numbered;
    std::vector<PyObject*> kept = kept_tokens(table.get(), tokens, plain, numbered);
    count_states(chain, table.get(), bags.get(), kept, order, plain, &numbered);
}

// --- build_frequency_dict -------------------------------------------------

// Sums per value in the order values are first met, keyed by the value's
// identity (every value of the chain is its table's own object).
class Tally {
public:
    // The running sum of `value`, made at 0 when it is new.
    uint64_t& at(PyObject* value) { return sums_.at(value); }

    Ref to_dict() const {
        Ref freq = Ref::check(PyDict_New());
        for (PyObject* value : sums_.keys()) {
            Ref sum = Ref::check(PyLong_FromUnsignedLongLong(*sums_.find(value)));
            check_status(PyDict_SetItem(freq.get(), value, sum.get()));
        }
        return freq;
    }

private:
    AddressMap<uint64_t> sums_;  // keys borrowed: the chain's table holds them
};

// Whether every bag is exactly the package's, keeps its values in the
// chain's table and its counts as small integers: then the frequencies are
// sums of small integers, and no code of the caller's runs while they are
// made.
bool plain_counts(const NativeState& state, PyObject* bags, PyObject* table) {
    Py_ssize_t pos = 0;
    PyObject *start, *bag;
    while (PyDict_Next(bags, &pos, &start, &bag)) {
        if (!Py_IS_TYPE(bag, state.bag_type) || as_bag(bag)->table != table || as_bag(bag)->store.big) return false;
    }
    return true;
}

Ref tally_frequencies(PyObject* bags) {
    Tally tally;
    Py_ssize_t pos = 0;
    PyObject *start, *bag;
    while (PyDict_Next(bags, &pos, &start, &bag)) {
        const BagStore& s = as_bag(bag)->store;
        uint64_t total = 0;
        for (Py_ssize_t row = 0; row < s.size; ++row) {
            uint32_t count = s.small_counts()[row];
            total += count;
            Row r = store_row(s, row);
            for (Py_ssize_t k = 0; k < r.size; ++k) tally.at(r.values[k]) += count;
        }
        tally.at(start) += total;
    }
    return tally.to_dict();
}

// freq[key] = freq.get(key, 0) + amount
void add_frequency(PyObject* freq, PyObject* key, PyObject* amount, PyObject* zero) {
    PyObject* found = PyDict_GetItemWithError(freq, key);
    if (found == nullptr && PyErr_Occurred()) throw PyError();
    Ref old = Ref::borrow(found != nullptr ? found : zero);
    Ref sum = Ref::check(PyNumber_Add(old.get(), amount));
    check_status(PyDict_SetItem(freq, key, sum.get()));
}

// Any bags and counts: each bag's choices(), each count's own +.
Ref general_frequencies(const NativeState& state, PyObject* bags) {
    Ref freq = Ref::check(PyDict_New());
    Ref zero = Ref::check(PyLong_FromLong(0));
    Ref view = Ref::check(PyObject_CallMethodNoArgs(bags, state.name_items));
    Ref entries = Ref::check(PyObject_GetIter(view.get()));
    for (Ref entry; (entry = Ref::steal(PyIter_Next(entries.get())));) {
        PyObject* start = PyTuple_GET_ITEM(entry.get(), 0);
        PyObject* bag = PyTuple_GET_ITEM(entry.get(), 1);
        Ref total = zero;
        Ref pairs = Ref::check(PyObject_CallMethod(bag, "choices", nullptr));
        Ref it = Ref::check(PyObject_GetIter(pairs.get()));
        for (Ref pair; (pair = Ref::steal(PyIter_Next(it.get())));) {
            Ref item, count;
            unpack_pair(pair.get(), item, count);
            total = Ref::check(PyNumber_Add(total.get(), count.get()));
            Ref values = Ref::check(PyObject_GetIter(item.get()));
            for (Ref value; (value = Ref::steal(PyIter_Next(values.get())));) {
                add_frequency(freq.get(), value.get(), count.get(), zero.get());
            }
            if (PyErr_Occurred()) throw PyError();
        }
        if (PyErr_Occurred()) throw PyError();
        add_frequency(freq.get(), start, total.get(), zero.get());
    }
    if (PyErr_Occurred()) throw PyError();
    return freq;
}

// --- walk(): an endless iterator of drawn values ---------------------------

struct WalkObject {
    PyObject_HEAD
    PyObject* chain;   // null once the walk has ended
    PyObject* random;  // the walk's random.Random
    PyObject* draw;    // its bound random()
    PyObject* start;   // where the next step starts
    PyObject* state;   // the next state being yielded (a tuple), or null
    Py_ssize_t pos;    // the next value of it to yield
    bool running;      // a step is under way (code it runs may not advance the walk)
};

int walk_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    WalkObject* w = reinterpret_cast<WalkObject*>(self);
    Py_VISIT(w->chain);
    Py_VISIT(w->random);
    Py_VISIT(w->draw);
    Py_VISIT(w->start);
    Py_VISIT(w->state);
    return 0;
}

int walk_clear(PyObject* self) {
    WalkObject* w = reinterpret_cast<WalkObject*>(self);
    Py_CLEAR(w->chain);
    Py_CLEAR(w->random);
    Py_CLEAR(w->draw);
    Py_CLEAR(w->start);
    Py_CLEAR(w->state);
    return 0;
}

void walk_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    walk_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

// Draws the next state from the bag of the walk's start; false where the
// walk ends.
bool walk_step(WalkObject* w) {
    // Held for the step: the start's __eq__ and the bag's methods are the
    // caller's code.
    Ref chain_object = Ref::borrow(w->chain);
    Ref start = Ref::borrow(w->start);
    Ref random = Ref::borrow(w->random);
    Ref draw = Ref::borrow(w->draw);
    ChainObject* chain = as_chain(chain_object.get());
    if (chain->bags == nullptr) return false;
    Ref bags = Ref::borrow(chain->bags);
    PyObject* found = PyDict_GetItemWithError(bags.get(), start.get());
    if (found == nullptr) {
        if (PyErr_Occurred()) throw PyError();
        return false;
    }
    Ref bag = Ref::borrow(found);
    const NativeState& state = state_of(chain);
    Ref next_state;
    if (Py_IS_TYPE(bag.get(), state.bag_type)) {
        if (as_bag(bag.get())->store.size == 0) return false;
        next_state = bag_choose(as_bag(bag.get()), draw.get());
    } else {
        if (check_size(PyObject_Size(bag.get())) == 0) return false;
        Ref drawn = Ref::check(PyObject_CallMethodOneArg(bag.get(), state.name_choose, random.get()));
        next_state = Ref::check(PySequence_Tuple(drawn.get()));
    }
    Py_XSETREF(w->state, next_state.release());
    w->pos = 0;
    return true;
}

PyObject* walk_next(PyObject* self) {
    WalkObject* w = reinterpret_cast<WalkObject*>(self);
    if (w->running) {
        PyErr_SetString(PyExc_RuntimeError, "walk already executing");
        return nullptr;
    }
    w->running = true;
    struct Done {
        WalkObject* w;
        ~Done() { w->running = false; }
    } done{w};
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        while (w->chain != nullptr) {
            if (w->state != nullptr) {
                Py_ssize_t size = PyTuple_GET_SIZE(w->state);
                if (w->pos < size) {
                    PyObject* value = PyTuple_GET_ITEM(w->state, w->pos++);
                    return Py_NewRef(value);
                }
                if (size == 0) break;
                Ref next = freeze(PyTuple_GET_ITEM(w->state, size - 1));
                Py_SETREF(w->start, next.release());
                Py_CLEAR(w->state);
            }
            if (!walk_step(w)) break;
        }
        walk_clear(self);
        return nullptr;
    });
}

Ref new_walk(PyObject* chain, PyObject* start, PyObject* seed) {
    const NativeState& state = state_of(chain);
    Ref random = Ref::check(PyObject_CallOneArg(state.random_class, seed));
    Ref draw = Ref::check(PyObject_GetAttr(random.get(), state.name_random));
    Ref first = freeze(start);
    WalkObject* w = PyObject_GC_New(WalkObject, state.walk_type);
    if (w == nullptr) throw PyError();
    w->chain = Py_NewRef(chain);
    w->random = random.release();
    w->draw = draw.release();
    w->start = first.release();
    w->state = nullptr;
    w->pos = 0;
    w->running = false;
    PyObject_GC_Track(w);
    return Ref::steal(reinterpret_cast<PyObject*>(w));
}

// --- The type's slots and methods ---------------------------------------

PyObject* chain_new(PyTypeObject* type, PyObject*, PyObject*) { return type->tp_alloc(type, 0); }

int chain_init(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {nullptr};
    return PyArg_ParseTupleAndKeywords(args, kwargs, ":MarkovChain", const_cast<char**>(names)) ? 0 : -1;
}

int chain_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_chain(self)->bags);
    Py_VISIT(as_chain(self)->table);
    return 0;
}

int chain_clear_slot(PyObject* self) {
    ++as_chain(self)->changes;
    Py_CLEAR(as_chain(self)->bags);
    Py_CLEAR(as_chain(self)->table);
    return 0;
}

void chain_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    chain_clear_slot(self);
    type->tp_free(self);
    Py_DECREF(type);
}

Py_ssize_t chain_len(PyObject* self) {
    PyObject* bags = as_chain(self)->bags;
    return bags != nullptr ? PyDict_GET_SIZE(bags) : 0;
}

int chain_contains(PyObject* self, PyObject* start) {
    return guarded(-1, [&] {
        Ref bags = chain_bags(as_chain(self));
        Ref key = freeze(start);
        return check_status(PyDict_Contains(bags.get(), key.get()));
    });
}

PyObject* chain_from_tokens(PyObject* cls, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"tokens", "order", nullptr};
    PyObject* tokens;
    Py_ssize_t order = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|n:from_tokens", const_cast<char**>(names), &tokens, &order)) {
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&] {
        if (order < 1) raise(PyExc_ValueError, "order must be at least 1");
        const NativeState& state = type_state(reinterpret_cast<PyTypeObject*>(cls));
        Ref chain = Ref::check(PyObject_CallNoArgs(cls));
        if (Py_IS_TYPE(chain.get(), state.chain_type)) {
            add_tokens(as_chain(chain.get()), tokens, order);
        } else {
            Ref order_object = Ref::check(PyLong_FromSsize_t(order));
            Ref done = Ref::check(PyObject_CallMethodObjArgs(chain.get(), state.name_add_tokens, tokens,
                                                             order_object.get(), nullptr));
        }
        return chain.release();
    });
}

PyObject* chain_add_tokens(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"tokens", "order", nullptr};
    PyObject* tokens;
    Py_ssize_t order = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|n:add_tokens", const_cast<char**>(names), &tokens, &order)) {
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&] {
        add_tokens(as_chain(self), tokens, order);
        Py_RETURN_NONE;
    });
}

PyObject* chain_items(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        Ref bags = chain_bags(as_chain(self));
        return PyObject_CallMethodNoArgs(bags.get(), state_of(self).name_items);
    });
}

PyObject* chain_build_frequency_dict(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        ChainObject* chain = as_chain(self);
        Ref bags = chain_bags(chain);
        Ref table = chain_table(chain);
        const NativeState& state = state_of(self);
        if (plain_counts(state, bags.get(), table.get())) return tally_frequencies(bags.get()).release();
        return general_frequencies(state, bags.get()).release();
    });
}

PyObject* chain_clear_method(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        clear(as_chain(self));
        Py_RETURN_NONE;
    });
}

PyObject* chain_set_bag(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"start", "bag", nullptr};
    PyObject *start, *bag;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:set_bag", const_cast<char**>(names), &start, &bag)) {
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&] {
        set_bag(as_chain(self), start, bag);
        Py_RETURN_NONE;
    });
}

PyObject* chain_add_to_bag(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"start", "item", "count", nullptr};
    PyObject *start, *item;
    PyObject* count = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:add_to_bag", const_cast<char**>(names), &start, &item,
                                     &count)) {
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&] {
        Ref one;
        if (count == nullptr) count = (one = Ref::check(PyLong_FromLong(1))).get();
        add_to_bag(as_chain(self), start, item, count);
        Py_RETURN_NONE;
    });
}

PyObject* chain_walk(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"start", "seed", nullptr};
    PyObject* start;
    PyObject* seed = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:walk", const_cast<char**>(names), &start, &seed)) {
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&] { return new_walk(self, start, seed).release(); });
}

PyObject* chain_get_bag(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"start", nullptr};
    PyObject* start;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:get_bag", const_cast<char**>(names), &start)) return nullptr;
    return guarded<PyObject*>(nullptr, [&] {
        Ref bags = chain_bags(as_chain(self));
        Ref key = freeze(start);
        PyObject* found = PyDict_GetItemWithError(bags.get(), key.get());
        if (found == nullptr && PyErr_Occurred()) throw PyError();
        return Py_NewRef(found != nullptr ? found : Py_None);
    });
}

PyObject* chain_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    return guarded<PyObject*>(nullptr, [&] {
        if (!PyObject_TypeCheck(other, state_of(self).chain_type)) Py_RETURN_NOTIMPLEMENTED;
        Ref mine = chain_bags(as_chain(self));
        Ref theirs = chain_bags(as_chain(other));
        return PyObject_RichCompare(mine.get(), theirs.get(), op);
    });
}

PyObject* chain_repr(PyObject* self) { return PyUnicode_FromFormat("MarkovChain(%zd starts)", chain_len(self)); }

PyObject* chain_reduce(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        Ref bags = chain_bags(as_chain(self));
        const NativeState& state = state_of(self);
        Ref view = Ref::check(PyObject_CallMethodNoArgs(bags.get(), state.name_items));
        Ref pairs = Ref::check(PySequence_List(view.get()));
        Ref attributes = instance_state(self);
        return Py_BuildValue("O(O)(OO)", state.newobj, Py_TYPE(self), pairs.get(), attributes.get());
    });
}

PyObject* chain_setstate(PyObject* self, PyObject* state) {
    PyObject *pairs, *attributes;
    if (!PyArg_ParseTuple(state, "OO:__setstate__", &pairs, &attributes)) return nullptr;
    return guarded<PyObject*>(nullptr, [&] {
        Ref it = Ref::check(PyObject_GetIter(pairs));
        for (Ref pair; (pair = Ref::steal(PyIter_Next(it.get())));) {
            PyObject *start, *bag;
            if (!PyArg_ParseTuple(pair.get(), "OO:__setstate__", &start, &bag)) throw PyError();
            set_bag(as_chain(self), start, bag);
        }
        if (PyErr_Occurred()) throw PyError();
        restore_state(self, attributes);
        Py_RETURN_NONE;
    });
}

template <typename F>
PyCFunction keywords(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef chain_methods[] = {
    {"from_tokens", keywords(chain_from_tokens), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "from_tokens($cls, /, tokens, order=1)\n--\n\nBuild a chain in which every token is a start whose next state is\n"
     "the tuple of the `order` tokens after it."},
    {"add_tokens", keywords(chain_add_tokens), METH_VARARGS | METH_KEYWORDS,
     "add_tokens($self, /, tokens, order=1)\n--\n\nCount every token's next `order` tokens."},
    {"items", chain_items, METH_NOARGS, "items($self, /)\n--\n\nThe (start, bag) pairs."},
    {"build_frequency_dict", chain_build_frequency_dict, METH_NOARGS,
     "build_frequency_dict($self, /)\n--\n\nHow often each value occurs as a start or inside a next state,\n"
     "weighted by the counts; every start is a key, even one whose bag is empty."},
    {"clear", chain_clear_method, METH_NOARGS, "clear($self, /)\n--\n\nRemove every start."},
    {"set_bag", keywords(chain_set_bag), METH_VARARGS | METH_KEYWORDS,
     "set_bag($self, /, start, bag)\n--\n\nInstall `bag` as the bag of `start`."},
    {"add_to_bag", keywords(chain_add_to_bag), METH_VARARGS | METH_KEYWORDS,
     "add_to_bag($self, /, start, item, count=1)\n--\n\nAdd `count` to `item` in the bag of `start`, creating both as\n"
     "needed. `item` may be a tuple, a list or a one-shot iterator."},
    {"walk", keywords(chain_walk), METH_VARARGS | METH_KEYWORDS,
     "walk($self, /, start, seed=None)\n--\n\nYield values drawn from the chain, without end: from the bag of the\n"
     "current start a next state is drawn (ProbabilityBag.choose), its values\n"
     "are yielded, and its last value is the next start. Ends where a start\n"
     "has no bag, or an empty one, or a next state is empty. The walk draws\n"
     "from a random.Random of its own, made from the second argument: the\n"
     "same argument gives the same values on every run and machine."},
    {"get_bag", keywords(chain_get_bag), METH_VARARGS | METH_KEYWORDS, "get_bag($self, /, start)\n--\n\nThe bag of `start`, or None."},
    {"__reduce__", chain_reduce, METH_NOARGS, nullptr},
    {"__setstate__", chain_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot walk_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(walk_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(walk_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(walk_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(walk_next)},
    {0, nullptr}};

PyType_Spec walk_spec = {"zantu.chain.walk_iterator", sizeof(WalkObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                             Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         walk_slots};

const char chain_doc[] =
    "MarkovChain()\n--\n\n"
    "Maps each start (a hashable value) to the ProbabilityBag of the next\n"
    "states seen after it. Equal values are kept as one object per chain.";

PyType_Slot chain_slots[] = {
    {Py_tp_doc, const_cast<char*>(chain_doc)},
    {Py_tp_new, reinterpret_cast<void*>(chain_new)},
    {Py_tp_init, reinterpret_cast<void*>(chain_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(chain_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(chain_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(chain_clear_slot)},
    {Py_sq_length, reinterpret_cast<void*>(chain_len)},
    {Py_sq_contains, reinterpret_cast<void*>(chain_contains)},
    {Py_tp_richcompare, reinterpret_cast<void*>(chain_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_repr, reinterpret_cast<void*>(chain_repr)},
    {Py_tp_methods, chain_methods},
    {0, nullptr}};

PyType_Spec chain_spec = {"zantu.chain.MarkovChain", sizeof(ChainObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                          chain_slots};

}  // namespace

void make_chain_types(PyObject* module, NativeState& state) {
    state.chain_type = reinterpret_cast<PyTypeObject*>(
        Ref::check(PyType_FromModuleAndSpec(module, &chain_spec, nullptr)).release());
    state.walk_type = reinterpret_cast<PyTypeObject*>(
        Ref::check(PyType_FromModuleAndSpec(module, &walk_spec, nullptr)).release());
}

// The codec's direct ways in (native_api.h).
int api_chain_add_to_bag(PyObject* chain, PyObject* start, PyObject* item, PyObject* count) {
    return guarded(-1, [&] {
        add_to_bag(as_chain(chain), start, item, count);
        return 0;
    });
}

int api_chain_set_bag(PyObject* chain, PyObject* start, PyObject* bag) {
    return guarded(-1, [&] {
        set_bag(as_chain(chain), start, bag);
        return 0;
    });
}

int api_chain_clear(PyObject* chain) {
    return guarded(-1, [&] {
        clear(as_chain(chain));
        return 0;
    });
}

int api_chain_add_row(PyObject* chain, PyObject* table, PyObject* start, PyObject* const* values, Py_ssize_t size,
                      long long count) {
    return guarded(-1, [&] {
        ChainObject* c = as_chain(chain);
        if (c->table != table) raise(PyExc_RuntimeError, "MarkovChain changed during a load");
        NativeState& state = state_of(c);
        Ref bags = chain_bags(c);
        Ref bag = bag_of(state, c, bags.get(), table, start);
        Ref count_object;
        if (Py_IS_TYPE(bag.get(), state.bag_type) && as_bag(bag.get())->table == table) {
            if (count >= 0 && count <= static_cast<long long>(UINT32_MAX)) {
                bag_add_kept(as_bag(bag.get()), values, size, uint32_t(count));
            } else {
                count_object = Ref::check(PyLong_FromLongLong(count));
                bag_add_kept_object(as_bag(bag.get()), values, size, count_object.get());
            }
            return 0;
        }
        Ref item = Ref::check(PyTuple_New(size));
        for (Py_ssize_t k = 0; k < size; ++k) PyTuple_SET_ITEM(item.get(), k, Py_NewRef(values[k]));
        count_object = Ref::check(PyLong_FromLongLong(count));
        call_add(state, bag.get(), item.get(), count_object.get());
        return 0;
    });
}

PyObject* api_chain_bag_of(PyObject* chain, PyObject* table, PyObject* start) {
    return guarded<PyObject*>(nullptr, [&] {
        ChainObject* c = as_chain(chain);
        if (c->table != table) raise(PyExc_RuntimeError, "MarkovChain changed during a load");
        Ref bags = chain_bags(c);
        return bag_of(state_of(c), c, bags.get(), table, start).release();
    });
}

PyObject* api_chain_new_bag(PyObject* chain) {
    return guarded<PyObject*>(nullptr, [&] {
        Ref table = chain_table(as_chain(chain));
        return new_bag(state_of(chain), table.get()).release();
    });
}

void count_kept(ChainObject* chain, PyObject* table, const std::vector<PyObject*>& kept, Py_ssize_t order) {
    Ref bags = chain_bags(chain);
    count_states(chain, table, bags.get(), kept, order, true);
}

Ref table_of(ChainObject* chain) { return chain_table(chain); }

}  // namespace zantu::native
