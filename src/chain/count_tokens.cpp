// add_tokens and the counting of a text's words: tokens kept in the chain's
// table, then counted in one batch while nothing of the caller's can run,
// else one token after another with the chain checked after each.
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "probe_table.h"
#include "chain.h"
#include "prefetch.h"

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
            size_t slots = slots_for(size_t(end - begin), 4);
            slot_rows_.assign(slots, -1);
            row_keys_.clear();
            for (uint32_t j = begin; j < end; ++j) {
                uint64_t key = next_states_[j];
                ProbeSequence probe(size_t((key * 0x9E3779B97F4A7C15ull) >> 32), slots);
                while (slot_rows_[probe.at()] >= 0 && row_keys_[size_t(slot_rows_[probe.at()])] != key) probe.next();
                size_t slot = probe.at();
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

// The tokens ahead of token `i` are known: their lookups are asked of the
// memory in stages, the start's slot, then its bag, then the place of the
// next state in the bag.
void prefetch_ahead(const StartBags& found, PyTypeObject* bag_type, const std::vector<PyObject*>& kept,
                    Py_ssize_t i, Py_ssize_t order) {
    Py_ssize_t count = Py_ssize_t(kept.size());
    if (i + kSlotAhead + order < count) prefetch(found.first_slot(kept[size_t(i + kSlotAhead)]));
    if (i + kBagAhead + order < count) {
        PyObject* const* ahead = found.find(kept[size_t(i + kBagAhead)]);
        if (ahead != nullptr && *ahead != nullptr) prefetch(*ahead, sizeof(PyObject));
    }
    if (i + kRowAhead + order < count) {
        PyObject* const* ahead = found.find(kept[size_t(i + kRowAhead)]);
        if (ahead != nullptr && *ahead != nullptr && Py_IS_TYPE(*ahead, bag_type)) {
            bag_prefetch_row(as_bag(*ahead), kept.data() + i + 1 + kRowAhead, order);
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

// Counts the next `order` tokens of every token of `kept` (objects of
// `table`, the chain's, held by the caller); `plain` when all of them are
// plain values.
void count_states(ChainObject* chain, PyObject* table_object, PyObject* bags_object,
                  const std::vector<PyObject*>& kept, Py_ssize_t order, bool plain, Numbered* numbered = nullptr) {
    Ref table = Ref::borrow(table_object);
    Ref bags = Ref::borrow(bags_object);
    Py_ssize_t count = Py_ssize_t(kept.size());
    if (chain->table != table.get()) raise_chain_changed("add_tokens");
    NativeState& state = state_of(chain);
    PyTypeObject* bag_type = state.bag_type;
    // Plain tokens into a table of plain values run no code of the caller's
    // below while every bag is the package's with small counts: the
    // collector need not look at the bags as they come, and the bag of a
    // start found once is the bag of that start. Once code of the caller's
    // may run, the chain is checked after every token.
    CollectorPause run(plain && table_plain(table.get()));
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
            prefetch_ahead(found, bag_type, kept, i, order);
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
    trim_bags(bags.get(), bag_type, run.on() ? &found : nullptr);
}

}  // namespace

void add_tokens(ChainObject* chain, PyObject* tokens, Py_ssize_t order) {
    if (order < 1) raise(PyExc_ValueError, "order must be at least 1");
    Ref table = chain_table(chain);
    Ref bags = chain_bags(chain);
    bool plain = true;
    Numbered numbered;
    std::vector<PyObject*> kept = kept_tokens(table.get(), tokens, plain, numbered);
    count_states(chain, table.get(), bags.get(), kept, order, plain, &numbered);
}

void count_kept(ChainObject* chain, PyObject* table, const std::vector<PyObject*>& kept, Py_ssize_t order) {
    Ref bags = chain_bags(chain);
    count_states(chain, table, bags.get(), kept, order, true);
}

}  // namespace zantu::native
