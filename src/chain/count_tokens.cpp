// add_tokens and the counting of a text's words: tokens kept in the chain's
// table, then, for every run of `order` of them, the token after it counted
// in the bag of that run's state: in one batch while nothing of the
// caller's can run, else one pair after another with the chain checked
// after each.
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "probe_table.h"
#include "chain.h"
#include "prefetch.h"
#include "state_store.h"

namespace zantu::native {
namespace {

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

// A long count runs the handlers of the signals that came (Ctrl-C's
// raises KeyboardInterrupt) every this many tokens or pairs, while it has
// not changed the chain yet: stopped there, the chain is as it was (its
// table may keep some of the tokens, as after any error).
constexpr size_t kSignalEvery = size_t(1) << 16;

// How far ahead of the token being numbered, or of the state being
// counted, its slot is asked of the memory.
constexpr size_t kIdAhead = 16, kStoreStateAhead = 8;

inline bool signal_due(size_t i) { return i != 0 && (i & (kSignalEvery - 1)) == 0; }

// Where a count that runs no code of the caller's looks for signals: a
// handler is Python code, and what it changed of the chain ends the count
// (RuntimeError), as the caller's code changing it does; should it have
// let the collector go on, it is paused again.
class SignalStop {
public:
    SignalStop(ChainObject* chain, PyObject* table, PyObject* bags, CollectorPause& pause)
        : chain_(chain), table_(table), bags_(bags), pause_(pause) {}

    void at(size_t i) {
        if (signal_due(i)) now();
    }
    void now() {
        Py_ssize_t values = table_size(table_), starts = PyDict_GET_SIZE(bags_);
        ChainMark mark(chain_);
        if (PyErr_CheckSignals() < 0) throw PyError();
        mark.check("add_tokens");
        if (table_size(table_) != values || PyDict_GET_SIZE(bags_) != starts) raise_chain_changed("add_tokens");
        pause_.hold();
    }

private:
    ChainObject* chain_;
    PyObject* table_;
    PyObject* bags_;
    CollectorPause& pause_;
};

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
            if (signal_due(size_t(i))) {
                if (PyErr_CheckSignals() < 0) throw PyError();
                // The handler's code may have shortened the list, or kept
                // values of its own: then the strs kept so far stay, and the
                // rest are looked up in the table.
                if (i >= PySequence_Fast_GET_SIZE(tokens)) break;
                by_characters = by_characters && size_t(table_size(table)) == numbered.values.size();
            }
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

// The pairs an order-k count makes of `kept`: pair j has the state of the
// k tokens kept[j..j+k) as its start (the token itself for k = 1, else the
// table's tuple of them) and the token kept[j+k] as its next value.
class Pairs {
public:
    // `ends`, when given: where each run of `kept` ends that pairs do not
    // cross (the padded sentences of a text; see count_kept).
    Pairs(const std::vector<PyObject*>& kept, size_t order, const std::vector<size_t>* ends = nullptr)
        : kept_(kept), order_(order) {
        if (ends == nullptr) return;
        size_t begin = 0;
        for (size_t end : *ends) {
            for (size_t first = begin; first + order < end; ++first) firsts_.push_back(first);
            begin = end;
        }
        cut_ = true;
    }

    size_t size() const {
        if (cut_) return firsts_.size();
        return kept_.size() > order_ ? kept_.size() - order_ : 0;
    }
    size_t order() const { return order_; }
    // Where pair j's state begins in kept.
    size_t first(size_t j) const { return cut_ ? firsts_[j] : j; }
    PyObject* start(size_t j) const { return order_ == 1 ? kept_[first(j)] : states_[state_ids_[j]]; }
    // Order > 1: the id of each pair's state, in the order the states
    // first come, and the states by id.
    const std::vector<uint32_t>& state_ids() const { return state_ids_; }
    const std::vector<PyObject*>& states() const { return states_; }
    PyObject* const* next(size_t j) const { return kept_.data() + first(j) + order_; }
    PyObject* token(size_t i) const { return kept_[i]; }
    size_t tokens() const { return kept_.size(); }

    // The table's tuple for each pair's state (order > 1). Equal states are
    // the same k objects of the table in a row, so a state is found by
    // their addresses and its tuple made and kept once; hashing it may run
    // the caller's code for a token that is not plain. A tuple of `plain`
    // tokens can be in no cycle: the collector is spared it from the first
    // (as it would untrack it itself at its first look).
    void keep_states(PyObject* table, bool plain, SignalStop* signals) {
        if (order_ == 1) return;
        state_ids_.resize(size());
        ProbeTable<StateSlot> seen{1024};
        for (size_t j = 0; j < state_ids_.size(); ++j) {
            if (signals != nullptr) signals->at(j);
            PyObject* const* at = kept_.data() + first(j);
            if (j + kStateAhead < state_ids_.size()) {
                prefetch(seen.first_slot(state_hash(kept_.data() + first(j + kStateAhead))));
            }
            StateSlot& slot = seen.slot_for(state_hash(at), [&](const StateSlot& s) {
                for (size_t k = 0; k < order_; ++k) {
                    if (s.at[k] != at[k]) return false;
                }
                return true;
            });
            if (slot.empty()) {
                Ref tuple = Ref::check(PyTuple_New(Py_ssize_t(order_)));
                for (size_t k = 0; k < order_; ++k) PyTuple_SET_ITEM(tuple.get(), Py_ssize_t(k), Py_NewRef(at[k]));
                if (plain) PyObject_GC_UnTrack(tuple.get());
                slot = StateSlot{at, state_hash(at), uint32_t(states_.size())};
                seen.added();
                states_.push_back(kept_value(table, tuple.get()));
            }
            state_ids_[j] = slot.id;
        }
    }

private:
    struct StateSlot {
        PyObject* const* at = nullptr;  // its first token in kept_
        size_t spot = 0;
        uint32_t id = 0;
        bool empty() const { return at == nullptr; }
        size_t hash() const { return spot; }
    };
    size_t state_hash(PyObject* const* at) const {
        size_t h = 0;
        for (size_t k = 0; k < order_; ++k) h = (h ^ address_spot(at[k])) * 0x100000001b3ull;
        return h ^ (h >> 29);
    }

    static constexpr size_t kStateAhead = 16;  // how far ahead a state's slot is asked of the memory
    const std::vector<PyObject*>& kept_;
    size_t order_;
    std::vector<uint32_t> state_ids_;  // by pair
    std::vector<PyObject*> states_;    // by id, borrowed: the table keeps them
    bool cut_ = false;
    std::vector<size_t> firsts_;  // by pair, when cut
};

// Plain tokens counted into a chain whose bags are all the package's own
// (no code of the caller's runs): the next values of every start are
// gathered first (a counting sort of the pairs by start), then each
// start's are counted in one go and go into its bag together: a new bag
// is filled at once. New starts come in the order they first came as
// starts, and a bag's new rows in the order they first came after that
// start, with the counts that adding them one by one makes. Fewer than
// 2**31 tokens.
class BatchCount {
public:
    // `numbered`: the tokens' numbers, when known (moved from).
    BatchCount(NativeState& state, ChainObject* chain, PyObject* table, PyObject* bags, const Pairs& pairs,
               Numbered* numbered, SignalStop& signals)
        : state_(state), chain_(chain), table_(table), bags_(bags), pairs_(pairs), signals_(signals) {
        if (numbered != nullptr && numbered->ids.size() == pairs.tokens()) {
            ids_ = std::move(numbered->ids);
            values_ = std::move(numbered->values);
        }
    }

    static bool fits(size_t tokens) { return tokens < (size_t(1) << 31); }

    // False, with nothing done to the chain, when one of its bags that the
    // tokens would add to is not the package's own of its table.
    bool run() {
        number_values();
        number_starts();
        gather_next_values();
        if (!find_bags()) return false;
        for (size_t start = 0; start < starts_.size(); ++start) {
            // A new start's object goes into the chain's dict of bags.
            if (start + kStartAhead < starts_.size()) prefetch(starts_[start + kStartAhead]);
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
        found_.resize(starts_.size());
        for (size_t start = 0; start < starts_.size(); ++start) {
            PyObject* bag = PyDict_GetItemWithError(bags_, starts_[start]);
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

    // Ids of the tokens in the order their values first come.
    void number_values() {
        size_t count = pairs_.tokens();
        if (ids_.size() == count) return;
        ids_.resize(count);
        AddressMap<uint32_t> id_of;  // the id + 1
        for (size_t i = 0; i < count; ++i) {
            signals_.at(i);
            if (i + kIdAhead < count) prefetch(id_of.first_slot(pairs_.token(i + kIdAhead)));
            uint32_t& id = id_of.at(pairs_.token(i));
            if (id == 0) {
                values_.push_back(pairs_.token(i));
                id = uint32_t(values_.size());
            }
            ids_[i] = id - 1;
        }
    }

    // Ids of the starts in the order they first come as starts. For order
    // 1 those are the tokens' own: a value first met as a start is a start
    // from its first position, so the starts come in id order.
    void number_starts() {
        size_t pairs = pairs_.size();
        start_ids_.resize(pairs);
        if (pairs_.order() == 1) {
            for (size_t j = 0; j < pairs; ++j) start_ids_[j] = ids_[pairs_.first(j)];
            starts_ = values_;
            return;
        }
        start_ids_ = pairs_.state_ids();
        starts_ = pairs_.states();
    }

    // The next values (their ids) of each start together, in the order of
    // their pairs: first_[start] is where those of `start` begin.
    void gather_next_values() {
        size_t pairs = pairs_.size(), order = pairs_.order();
        first_.assign(starts_.size() + 1, 0);
        for (size_t j = 0; j < pairs; ++j) ++first_[start_ids_[j] + 1];
        for (size_t v = 0; v < starts_.size(); ++v) first_[v + 1] += first_[v];
        signals_.now();
        std::vector<uint32_t> at(first_.begin(), first_.end() - 1);
        next_ids_.resize(pairs);
        for (size_t j = 0; j < pairs; ++j) {
            signals_.at(j);
            next_ids_[at[start_ids_[j]]++] = ids_[pairs_.first(j) + order];
        }
    }

    // The bag of `start`: its distinct next values in the order they came,
    // each with how often it came.
    void fill_bag(size_t start) {
        uint32_t begin = first_[start], end = first_[start + 1];
        row_values_.clear();
        row_counts_.clear();
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
        PyObject* known = found_.empty() ? nullptr : found_[start].get();
        if (known != nullptr) {
            BagObject* bag = as_bag(known);
            for (size_t row = 0; row < row_counts_.size(); ++row) bag_add_kept(bag, &row_values_[row], 1, row_counts_[row]);
            bag_trim(bag);
            return;
        }
        Ref bag = new_bag(state_, table_);
        bag_fill_rows(as_bag(bag.get()), row_values_.data(), 1, row_counts_.data(), Py_ssize_t(row_counts_.size()));
        check_status(PyDict_SetItem(bags_, starts_[start], bag.get()));
        settle_bag(chain_, bag.get());
    }

    static constexpr size_t kStartAhead = 4;
    NativeState& state_;
    ChainObject* chain_;
    PyObject* table_;
    PyObject* bags_;
    const Pairs& pairs_;
    SignalStop& signals_;              // looked for until the chain is changed
    std::vector<uint32_t> ids_;        // of each token
    std::vector<PyObject*> values_;    // by token id
    std::vector<uint32_t> start_ids_;  // of each pair's start
    std::vector<PyObject*> starts_;    // by start id
    std::vector<uint32_t> first_;      // by start id, then the end
    std::vector<Ref> found_;           // by start id: its bag in the chain already, or none
    std::vector<uint32_t> next_ids_;   // token ids, gathered by start
    std::vector<PyObject*> row_values_;
    std::vector<uint32_t> row_counts_;
    std::vector<int32_t> row_of_;  // the row of a token id in the bag being filled, or -1
};

// How far ahead of the token being counted each stage of prefetching runs.
constexpr size_t kSlotAhead = 16, kBagAhead = 8, kRowAhead = 4;

// The pairs ahead of pair `j` are known: their lookups are asked of the
// memory in stages, the start's slot, then its bag, then the place of the
// next value in the bag.
void prefetch_ahead(const StartBags& found, PyTypeObject* bag_type, const Pairs& pairs, size_t j) {
    size_t count = pairs.size();
    if (j + kSlotAhead < count) prefetch(found.first_slot(pairs.start(j + kSlotAhead)));
    if (j + kBagAhead < count) {
        PyObject* const* ahead = found.find(pairs.start(j + kBagAhead));
        if (ahead != nullptr && *ahead != nullptr) prefetch(*ahead, sizeof(PyObject));
    }
    if (j + kRowAhead < count) {
        PyObject* const* ahead = found.find(pairs.start(j + kRowAhead));
        if (ahead != nullptr && *ahead != nullptr && Py_IS_TYPE(*ahead, bag_type)) {
            bag_prefetch_row(as_bag(*ahead), pairs.next(j + kRowAhead), 1);
        }
    }
}

// A chain is mostly built once and then read: the bags counted into keep
// no room. After a plain run those are the ones found by start (`found`);
// after code of the caller's, any bag of the chain may be one.
void trim_bags(PyObject* bags, PyTypeObject* bag_type, const StartBags* found) {
    if (found != nullptr) {
        for (PyObject* start : found->keys()) {
            PyObject* bag = *found->find(start);
            if (Py_IS_TYPE(bag, bag_type)) bag_trim(as_bag(bag));
        }
        return;
    }
    Py_ssize_t pos = 0;
    PyObject *start, *bag;
    while (PyDict_Next(bags, &pos, &start, &bag)) {
        if (Py_IS_TYPE(bag, bag_type)) bag_trim(as_bag(bag));
    }
}

// Counts, for every run of `order` tokens of `kept` (objects of `table`,
// the chain's, held by the caller), the token that follows it; `plain`
// when all of them are plain values.
void count_states(ChainObject* chain, PyObject* table_object, PyObject* bags_object,
                  const std::vector<PyObject*>& kept, Py_ssize_t order, bool plain, Numbered* numbered = nullptr,
                  const std::vector<size_t>* ends = nullptr) {
    Ref table = Ref::borrow(table_object);
    Ref bags = Ref::borrow(bags_object);
    if (chain->table != table.get()) raise_chain_changed("add_tokens");
    NativeState& state = state_of(chain);
    PyTypeObject* bag_type = state.bag_type;
    // Plain tokens into a table of plain values run no code of the caller's
    // below while every bag is the package's with small counts: the
    // collector need not look at the states and bags as they come, and the
    // bag of a start found once is the bag of that start. Once code of the
    // caller's may run, the chain is checked after every pair.
    CollectorPause run(plain && table_plain(table.get()));
    SignalStop signals(chain, table.get(), bags.get(), run);
    Pairs pairs(kept, size_t(order), ends);
    {
        ChainMark states_made(chain);
        pairs.keep_states(table.get(), plain, run.on() ? &signals : nullptr);
        states_made.check("add_tokens");
    }
    ChainMark mark(chain);
    // In one batch where every bag the tokens touch is the package's own;
    // else one pair after another, below.
    if (run.on() && BatchCount::fits(kept.size())) {
        if (pairs.size() == 0 || BatchCount(state, chain, table.get(), bags.get(), pairs, numbered, signals).run()) {
            return;
        }
    }
    StartBags found;
    for (size_t j = 0; j < pairs.size(); ++j) {
        PyObject* start = pairs.start(j);
        PyObject* const* next = pairs.next(j);
        if (run.on()) {
            prefetch_ahead(found, bag_type, pairs, j);
            // Kept borrowed: plain keys and the paused collector leave the dict as it is.
            PyObject*& known = found.at(start);
            if (known == nullptr) known = bag_of(state, chain, bags.get(), table.get(), start).get();
            if (Py_IS_TYPE(known, bag_type) && as_bag(known)->table == table.get() && !as_bag(known)->store.big) {
                bag_add_kept(as_bag(known), next, 1, 1);
                continue;
            }
            run.end();  // a count's + or the bag's own add is the caller's code
        }
        Ref bag = bag_of(state, chain, bags.get(), table.get(), start);
        if (Py_IS_TYPE(bag.get(), bag_type) && as_bag(bag.get())->table == table.get()) {
            bag_add_kept(as_bag(bag.get()), next, 1, 1);
        } else {
            Ref item = Ref::check(PyTuple_Pack(1, *next));
            PyObject* stack[] = {bag.get(), item.get()};
            Ref done = Ref::check(PyObject_VectorcallMethod(state.name_add, stack, 2, nullptr));
        }
        mark.check("add_tokens");
    }
    trim_bags(bags.get(), bag_type, run.on() ? &found : nullptr);
}

// Plain tokens `kept` (objects of `table`, the chain's) counted into the
// chain's store, as count_states counts them into bags; false, with
// nothing done, where the chain counts into bags (it has some, or a store
// of another order, or the counts would pass 2**32). Signals are looked
// for while the tokens are numbered, before anything is counted.
bool count_into_store(ChainObject* chain, PyObject* table, const std::vector<PyObject*>& kept, size_t order,
                      const std::vector<size_t>* ends, Numbered* numbered) {
    if (chain->table != table) raise_chain_changed("add_tokens");
    if (!table_plain(table)) return false;
    // The runs of kept that pairs do not cross (the whole of it without
    // `ends`), and the pairs in them.
    std::vector<size_t> whole;
    if (ends == nullptr) ends = &(whole = {kept.size()});
    size_t pairs = 0, begin = 0;
    for (size_t end : *ends) {
        if (end > begin + order) pairs += end - begin - order;
        begin = end;
    }
    StateStore* store = usable_store(chain, order);
    if (store == nullptr || !store->fits(pairs)) return false;
    CollectorPause pause(true);
    std::vector<uint32_t> ids;
    if (numbered != nullptr && numbered->ids.size() == kept.size() && store->values() == 0) {
        // Numbered in the order they came, as the store numbers them.
        for (PyObject* value : numbered->values) store->value_id(value);
        ids = std::move(numbered->ids);
    } else {
        ids.resize(kept.size());
        uint64_t changes = chain->changes;
        uint64_t counted = store->pairs();
        for (size_t i = 0; i < kept.size(); ++i) {
            if (signal_due(i)) {
                if (PyErr_CheckSignals() < 0) throw PyError();
                // A handler is code of the caller's. Where it read the
                // chain's bags (they are made then, and the store is gone)
                // the tokens go into the bags, after what it added, as they
                // do after a handler that runs before the count; where it
                // counted into the store or took another table, the count
                // ends.
                if (chain->table != table) raise_chain_changed("add_tokens");
                if (chain->store == nullptr) return false;
                if (chain->store != store || chain->changes != changes || store->pairs() != counted) {
                    raise_chain_changed("add_tokens");
                }
                pause.hold();
            }
            if (i + kIdAhead < kept.size()) store->prefetch_value(kept[i + kIdAhead]);
            ids[i] = store->value_id(kept[i]);
        }
    }
    begin = 0;
    for (size_t end : *ends) {
        for (size_t first = begin; first + order < end; ++first) {
            if (first + kStoreStateAhead + order < end) store->prefetch_state(ids.data() + first + kStoreStateAhead);
            store->count(ids.data() + first, ids[first + order]);
        }
        begin = end;
    }
    return true;
}

}  // namespace

void add_tokens(ChainObject* chain, PyObject* tokens, Py_ssize_t order) {
    if (order < 1) raise(PyExc_ValueError, "order must be at least 1");
    Ref table = chain_table(chain);
    bool plain = true;
    Numbered numbered;
    std::vector<PyObject*> kept = kept_tokens(table.get(), tokens, plain, numbered);
    if (plain && count_into_store(chain, table.get(), kept, size_t(order), nullptr, &numbered)) {
        chain->store->trim();
        return;
    }
    Ref bags = chain_bags(chain);
    count_states(chain, table.get(), bags.get(), kept, order, plain, &numbered);
}

void count_kept(ChainObject* chain, PyObject* table, const std::vector<PyObject*>& kept, Py_ssize_t order,
                const std::vector<size_t>* ends) {
    if (count_into_store(chain, table, kept, size_t(order), ends, nullptr)) return;
    Ref bags = chain_bags(chain);
    count_states(chain, table, bags.get(), kept, order, true, nullptr, ends);
}

}  // namespace zantu::native
