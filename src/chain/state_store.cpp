// The chain's store of counts as numbers (state_store.h), and the bags
// made from it.
#include "state_store.h"

#include <algorithm>

#include "chain.h"
#include "prefetch.h"
#include "probe_table.h"

namespace zantu::native {
namespace {

// Spreads a number over all the bits a table's mask may take.
inline size_t mixed(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    return size_t(h ^ (h >> 33));
}

// A number past what the store's 32-bit numbers hold.
[[noreturn]] void raise_full() {
    PyErr_NoMemory();
    throw PyError();
}

// States drawn from with more rows than this keep their running totals.
constexpr uint32_t kScannedRows = 16;

}  // namespace

namespace {

// The slot of the entry `matches` accepts, or the empty one where it goes.
template <typename Slot, typename Array, typename Matches>
Slot* probe(Array& slots, size_t hash, Matches matches) {
    for (ProbeSequence at(hash, slots.size());; at.next()) {
        Slot& slot = slots[at.at()];
        if (slot.at == 0 || matches(slot)) return &slot;
    }
}

}  // namespace

template <typename HashOf>
void StateStore::grow(RawArray<Slot>& slots, HashOf hash_of) {
    size_t size = slots.empty() ? 64 : slots.size() * 2;
    RawArray<Slot> grown;
    grown.assign(size, Slot{});
    for (size_t i = 0; i < slots.size(); ++i) {
        if (slots[i].at == 0) continue;
        ProbeSequence at(hash_of(slots[i]), size);
        while (grown[at.at()].at != 0) at.next();
        grown[at.at()] = slots[i];
    }
    slots.swap(grown);
}

// A slot keeps its hash's low 32 bits, all that a mask of fewer than 2**32
// slots reads.
uint32_t StateStore::value_id(PyObject* kept) {
    make_room(value_slots_, values_.size(), [](const Slot& s) { return s.key; });
    size_t hash = address_spot(kept);
    Slot* slot = probe<Slot>(value_slots_, hash, [&](const Slot& s) {
        return s.key == uint32_t(hash) && values_[s.at - 1] == kept;
    });
    if (slot->at == 0) {
        if (values_.size() >= kNone - 1) raise_full();
        values_.push_back(kept);
        if (order_ == 1) value_state_.push_back(kNone);
        *slot = Slot{uint32_t(values_.size()), uint32_t(hash)};
    }
    return slot->at - 1;
}

uint32_t StateStore::find_value(const PyObject* kept) const {
    if (value_slots_.empty()) return kNone;
    size_t hash = address_spot(kept);
    const Slot* slot = probe<const Slot>(value_slots_, hash, [&](const Slot& s) {
        return s.key == uint32_t(hash) && values_[s.at - 1] == kept;
    });
    return slot->at != 0 ? slot->at - 1 : kNone;
}

void StateStore::prefetch_value(const PyObject* kept) const {
    if (!value_slots_.empty()) prefetch(&value_slots_[address_spot(kept) & (value_slots_.size() - 1)]);
}

size_t StateStore::state_hash(const uint32_t* ids) const {
    uint64_t h = order_;
    for (size_t k = 0; k < order_; ++k) h = (h ^ ids[k]) * 0x100000001b3ull + (h >> 29);
    return mixed(h);
}

size_t StateStore::row_hash(uint32_t state, uint32_t next) { return mixed(uint64_t(state) << 32 | next); }

void StateStore::prefetch_state(const uint32_t* ids) const {
    if (order_ > 1 && !state_slots_.empty()) prefetch(&state_slots_[state_hash(ids) & (state_slots_.size() - 1)]);
}

uint32_t StateStore::add_state(const uint32_t* ids) {
    if (states_.size() >= kNone - 1) raise_full();
    for (size_t k = 0; k < order_; ++k) state_ids_.push_back(ids[k]);
    states_.push_back(State{kNone, kNone, 0});
    return uint32_t(states_.size() - 1);
}

uint32_t StateStore::state_for(const uint32_t* ids) {
    if (order_ == 1) {
        // A value's state is found by its number.
        uint32_t& state = value_state_[ids[0]];
        if (state == kNone) state = add_state(ids);
        return state;
    }
    make_room(state_slots_, states_.size(), [](const Slot& s) { return s.key; });
    size_t hash = state_hash(ids);
    Slot* slot = probe<Slot>(state_slots_, hash, [&](const Slot& s) {
        return s.key == uint32_t(hash) && same_state(state_ids(s.at - 1), ids);
    });
    if (slot->at == 0) {
        uint32_t state = add_state(ids);
        *slot = Slot{state + 1, uint32_t(hash)};
    }
    return slot->at - 1;
}

void StateStore::index_row(uint32_t state, uint32_t row) {
    make_room(row_slots_, indexed_rows_, [&](const Slot& slot) { return row_hash(slot.key, rows_[slot.at - 1].next); });
    Slot* slot = probe<Slot>(row_slots_, row_hash(state, rows_[row].next), [](const Slot&) { return false; });
    *slot = Slot{row + 1, state};
    ++indexed_rows_;
}

void StateStore::index_rows() {
    indexed_rows_ = 0;
    row_slots_.release();
    for (uint32_t state = 0; state < states_.size(); ++state) {
        if (states_[state].rows <= kListedRows) continue;
        for (uint32_t r = states_[state].first; r != kNone; r = rows_[r].link) index_row(state, r);
    }
    rows_indexed_ = true;
}

void StateStore::count(const uint32_t* ids, uint32_t next, uint32_t n) {
    uint32_t state = state_for(ids);
    State& s = states_[state];
    if (!drawn_.empty()) drawn_.clear();
    // Most states have few next values, the one last added most often:
    // those of a state with few are found by going through them, those of
    // one with many by the index.
    uint32_t found = kNone;
    if (s.last != kNone && rows_[s.last].next == next) {
        found = s.last;
    } else if (s.rows <= kListedRows) {
        for (uint32_t r = s.first; r != kNone; r = rows_[r].link) {
            if (rows_[r].next == next) {
                found = r;
                break;
            }
        }
    } else {
        if (!rows_indexed_) index_rows();
        const Slot* slot = probe<const Slot>(row_slots_, row_hash(state, next), [&](const Slot& r) {
            return r.key == state && rows_[r.at - 1].next == next;
        });
        if (slot->at != 0) found = slot->at - 1;
    }
    if (found != kNone) {
        rows_[found].count += n;
        pairs_ += n;
        return;
    }
    if (rows_.size() >= kNone - 1) raise_full();
    uint32_t row = uint32_t(rows_.size());
    rows_.push_back(Row{next, n, kNone});
    State& t = states_[state];
    if (t.last == kNone) {
        t.first = row;
    } else {
        rows_[t.last].link = row;
    }
    t.last = row;
    ++t.rows;
    pairs_ += n;
    if (!rows_indexed_) return;
    // A state's rows go into the index once it has many.
    if (t.rows == kListedRows + 1) {
        for (uint32_t r = t.first; r != kNone; r = rows_[r].link) index_row(state, r);
    } else if (t.rows > kListedRows + 1) {
        index_row(state, row);
    }
}

uint32_t StateStore::find_state(const uint32_t* ids) const {
    if (order_ == 1) return ids[0] < value_state_.size() ? value_state_[ids[0]] : kNone;
    if (state_slots_.empty()) return kNone;
    size_t hash = state_hash(ids);
    const Slot* slot = probe<const Slot>(state_slots_, hash, [&](const Slot& s) {
        return s.key == uint32_t(hash) && same_state(state_ids(s.at - 1), ids);
    });
    return slot->at != 0 ? slot->at - 1 : kNone;
}

const StateStore::Drawn& StateStore::drawn(uint32_t state) {
    auto found = drawn_.find(state);
    if (found != drawn_.end()) return found->second;
    Drawn rows;
    double total = 0.0;
    each_row(state, [&](uint32_t next, uint32_t count) {
        total += double(count);
        rows.next.push_back(next);
        rows.bounds.push_back(total);
    });
    return drawn_.emplace(state, std::move(rows)).first->second;
}

uint32_t StateStore::choose(uint32_t state, double x) {
    // As a bag's choose(): the first row whose running total passes the
    // draw scaled by the total.
    const State& s = states_[state];
    if (s.rows <= kScannedRows) {
        double total = 0.0;
        each_row(state, [&](uint32_t, uint32_t count) { total += double(count); });
        x *= total;
        double running = 0.0;
        uint32_t chosen = kNone, last = kNone;
        each_row(state, [&](uint32_t next, uint32_t count) {
            running += double(count);
            last = next;
            if (chosen == kNone && x < running) chosen = next;
        });
        return chosen != kNone ? chosen : last;
    }
    const Drawn& rows = drawn(state);
    x *= rows.bounds.back();
    size_t at = size_t(std::upper_bound(rows.bounds.begin(), rows.bounds.end(), x) - rows.bounds.begin());
    return rows.next[at < rows.next.size() ? at : rows.next.size() - 1];
}

PyObject* StateStore::start(uint32_t state, PyObject* table) {
    if (order_ == 1) return values_[state_ids(state)[0]];
    while (starts_.size() <= state) starts_.push_back(nullptr);
    PyObject*& kept = starts_[state];
    if (kept != nullptr) return kept;
    const uint32_t* ids = state_ids(state);
    Ref tuple = Ref::check(PyTuple_New(Py_ssize_t(order_)));
    for (size_t k = 0; k < order_; ++k) PyTuple_SET_ITEM(tuple.get(), Py_ssize_t(k), Py_NewRef(values_[ids[k]]));
    // Plain values only: in no cycle.
    PyObject_GC_UnTrack(tuple.get());
    // The table's object for it: a value equal to it, when it holds one.
    kept = kept_value(table, tuple.get());
    return kept;
}

void StateStore::trim() {
    if ((pairs_ - pairs_trimmed_) * 8 < pairs_) return;
    pairs_trimmed_ = pairs_;
    values_.trim();
    state_ids_.trim();
    states_.trim();
    value_state_.trim();
    rows_.trim();
    // Found again at the next count, which then costs what this one did.
    row_slots_.release();
    indexed_rows_ = 0;
    rows_indexed_ = false;
}

StateStore* usable_store(ChainObject* chain, size_t order) {
    if (chain->store != nullptr) return chain->store->order() == order ? chain->store : nullptr;
    if (chain->bags != nullptr && PyDict_GET_SIZE(chain->bags) != 0) return nullptr;
    if (chain->table == nullptr || !table_plain(chain->table)) return nullptr;
    chain->store = new (std::nothrow) StateStore(order);
    if (chain->store == nullptr) raise_full();
    return chain->store;
}

void drop_store(ChainObject* chain) {
    StateStore* store = chain->store;
    chain->store = nullptr;
    delete store;
}

void materialize(ChainObject* chain) {
    StateStore* store = chain->store;
    if (store == nullptr) return;
    if (chain->materializing) raise(PyExc_RuntimeError, "MarkovChain read while its bags are being made");
    struct Making {
        ChainObject* chain;
        explicit Making(ChainObject* c) : chain(c) { chain->materializing = true; }
        ~Making() { chain->materializing = false; }
    } making(chain);
    if (chain->bags == nullptr) chain->bags = Ref::check(PyDict_New()).release();
    Ref bags = Ref::borrow(chain->bags);
    Ref table = Ref::borrow(chain->table);
    NativeState& state = state_of(chain);
    // The store's values are plain values of a plain table: nothing below
    // runs code of the caller's while the collector is paused.
    CollectorPause pause(true);
    std::vector<PyObject*> values;
    std::vector<uint32_t> counts;
    try {
        for (uint32_t s = 0; s < store->states(); ++s) {
            PyObject* start = store->start(s, table.get());
            values.clear();
            counts.clear();
            store->each_row(s, [&](uint32_t next, uint32_t count) {
                values.push_back(store->value(next));
                counts.push_back(count);
            });
            Ref bag = new_bag(state, table.get());
            bag_fill_rows(as_bag(bag.get()), values.data(), 1, counts.data(), Py_ssize_t(counts.size()));
            check_status(PyDict_SetItem(bags.get(), start, bag.get()));
            settle_bag(chain, bag.get());
        }
    } catch (...) {
        // The bags had none before: the chain is left with its store.
        PyDict_Clear(bags.get());
        throw;
    }
    drop_store(chain);
    // What was found of the chain before is stale: its bags are new.
    ++chain->changes;
}

Py_ssize_t store_states(ChainObject* chain, StoreRowsMark& mark) {
    const StateStore* store = chain->store;
    if (store == nullptr) return -1;
    mark = StoreRowsMark{store, store->pairs(), chain->changes};
    return Py_ssize_t(store->states());
}

void store_state(ChainObject* chain, const StoreRowsMark& mark, Py_ssize_t state, StoreRows& out) {
    StateStore* store = chain->store;
    if (store == nullptr || store != mark.store || store->pairs() != mark.pairs || chain->changes != mark.changes ||
        state < 0 || size_t(state) >= store->states()) {
        raise_chain_changed("the write");
    }
    if (out.table != chain->table) Py_XSETREF(out.table, Py_NewRef(chain->table));
    out.nexts.clear();
    out.counts.clear();
    {
        // Making a start's tuple runs no code of the caller's meanwhile.
        CollectorPause pause(true);
        out.start = store->start(uint32_t(state), out.table);
    }
    store->each_row(uint32_t(state), [&](uint32_t next, uint32_t count) {
        out.nexts.push_back(store->value(next));
        out.counts.push_back(count);
    });
}

uint32_t store_state_of(const StateStore& store, PyObject* table, PyObject* start) {
    size_t order = store.order();
    if (order > 1 && (!PyTuple_CheckExact(start) || size_t(PyTuple_GET_SIZE(start)) != order)) {
        return StateStore::kNone;
    }
    uint32_t ids[8];
    std::vector<uint32_t> more;
    uint32_t* at = ids;
    if (order > 8) {
        more.resize(order);
        at = more.data();
    }
    for (size_t k = 0; k < order; ++k) {
        PyObject* kept = found_value(table, order == 1 ? start : PyTuple_GET_ITEM(start, Py_ssize_t(k)));
        if (kept == nullptr) return StateStore::kNone;
        at[k] = store.find_value(kept);
        if (at[k] == StateStore::kNone) return StateStore::kNone;
    }
    return store.find_state(at);
}

bool merge_stores(ChainObject* chain, ChainObject* other) {
    StateStore* from = other->store;
    if (from == nullptr) return false;
    StateStore* to = usable_store(chain, from->order());
    if (to == nullptr || !to->fits(from->pairs())) return false;
    // Both tables plain, and so every value: keeping one runs nothing of
    // the caller's, nor does anything below while the collector is paused.
    CollectorPause pause(true);
    Ref table = Ref::borrow(chain->table);
    std::vector<uint32_t> ids(from->values());
    for (uint32_t v = 0; v < ids.size(); ++v) {
        PyObject* value = from->value(v);
        ids[v] = to->value_id(to == from ? value : kept_value(table.get(), value));
    }
    // Into itself: every state and row is there already, so counting adds
    // to counts and makes nothing that the reading below goes through.
    size_t order = from->order();
    std::vector<uint32_t> state(order);
    uint32_t states = uint32_t(from->states());
    for (uint32_t s = 0; s < states; ++s) {
        const uint32_t* from_ids = from->state_ids(s);
        for (size_t k = 0; k < order; ++k) state[k] = ids[from_ids[k]];
        from->each_row(s, [&](uint32_t next, uint32_t count) { to->count(state.data(), ids[next], count); });
    }
    to->trim();
    return true;
}

}  // namespace zantu::native
