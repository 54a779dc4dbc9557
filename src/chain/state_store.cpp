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

template <typename Matches>
StateStore::Slot* StateStore::probe(RawArray<Slot>& slots, size_t hash, Matches matches) {
    for (ProbeSequence at(hash, slots.size());; at.next()) {
        Slot& slot = slots[at.at()];
        if (slot.at == 0 || (slot.hash == uint32_t(hash) && matches(slot))) return &slot;
    }
}

template <typename Matches>
const StateStore::Slot* StateStore::find(const RawArray<Slot>& slots, size_t hash, Matches matches) {
    if (slots.empty()) return nullptr;
    for (ProbeSequence at(hash, slots.size());; at.next()) {
        const Slot& slot = slots[at.at()];
        if (slot.at == 0) return nullptr;
        if (slot.hash == uint32_t(hash) && matches(slot)) return &slot;
    }
}

void StateStore::make_room(RawArray<Slot>& slots, size_t used) {
    if ((used + 1) * 2 <= slots.size()) return;
    size_t size = slots.empty() ? 64 : slots.size() * 2;
    RawArray<Slot> grown;
    grown.assign(size, Slot{});
    // A slot keeps its hash's low 32 bits, all that a mask of fewer than
    // 2**32 slots reads.
    for (size_t i = 0; i < slots.size(); ++i) {
        if (slots[i].at == 0) continue;
        ProbeSequence at(slots[i].hash, size);
        while (grown[at.at()].at != 0) at.next();
        grown[at.at()] = slots[i];
    }
    slots.swap(grown);
}

uint32_t StateStore::value_id(PyObject* kept) {
    make_room(value_slots_, values_.size());
    size_t hash = address_spot(kept);
    Slot* slot = probe(value_slots_, hash, [&](const Slot& s) { return values_[s.at - 1] == kept; });
    if (slot->at == 0) {
        if (values_.size() >= kNone - 1) raise_full();
        values_.push_back(kept);
        *slot = Slot{uint32_t(values_.size()), uint32_t(hash)};
    }
    return slot->at - 1;
}

uint32_t StateStore::find_value(const PyObject* kept) const {
    const Slot* slot = find(value_slots_, address_spot(kept), [&](const Slot& s) { return values_[s.at - 1] == kept; });
    return slot != nullptr ? slot->at - 1 : kNone;
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

uint32_t StateStore::add_state(const uint32_t* ids, size_t hash) {
    (void)hash;
    if (states_.size() >= kNone - 1) raise_full();
    for (size_t k = 0; k < order_; ++k) state_ids_.push_back(ids[k]);
    states_.push_back(State{kNone, kNone, 0});
    return uint32_t(states_.size() - 1);
}

void StateStore::count(const uint32_t* ids, uint32_t next) {
    make_room(state_slots_, states_.size());
    size_t hash = state_hash(ids);
    size_t width = order_ * sizeof(uint32_t);
    Slot* slot = probe(state_slots_, hash, [&](const Slot& s) {
        return std::memcmp(state_ids(s.at - 1), ids, width) == 0;
    });
    uint32_t state;
    if (slot->at == 0) {
        state = add_state(ids, hash);
        *slot = Slot{state + 1, uint32_t(hash)};
    } else {
        state = slot->at - 1;
    }
    make_room(row_slots_, rows_.size());
    size_t row_spot = row_hash(state, next);
    Slot* row_slot = probe(row_slots_, row_spot, [&](const Slot& s) {
        const Row& row = rows_[s.at - 1];
        return row.state == state && row.next == next;
    });
    if (row_slot->at == 0) {
        if (rows_.size() >= kNone - 1) raise_full();
        uint32_t row = uint32_t(rows_.size());
        rows_.push_back(Row{state, next, 1, kNone});
        *row_slot = Slot{row + 1, uint32_t(row_spot)};
        State& s = states_[state];
        if (s.last == kNone) {
            s.first = row;
        } else {
            rows_[s.last].link = row;
        }
        s.last = row;
        ++s.rows;
    } else {
        ++rows_[row_slot->at - 1].count;
    }
    ++pairs_;
    if (!drawn_.empty()) drawn_.clear();
}

uint32_t StateStore::find_state(const uint32_t* ids) const {
    size_t width = order_ * sizeof(uint32_t);
    const Slot* slot = find(state_slots_, state_hash(ids), [&](const Slot& s) {
        return std::memcmp(state_ids(s.at - 1), ids, width) == 0;
    });
    return slot != nullptr ? slot->at - 1 : kNone;
}

const std::vector<double>& StateStore::bounds(uint32_t state) {
    for (auto& [drawn_state, drawn] : drawn_) {
        if (drawn_state == state) return drawn.bounds;
    }
    Drawn drawn;
    double total = 0.0;
    each_row(state, [&](uint32_t next, uint32_t count) {
        total += double(count);
        drawn.next.push_back(next);
        drawn.bounds.push_back(total);
    });
    drawn_.emplace_back(state, std::move(drawn));
    return drawn_.back().second.bounds;
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
    const std::vector<double>& totals = bounds(state);
    x *= totals.back();
    size_t at = size_t(std::upper_bound(totals.begin(), totals.end(), x) - totals.begin());
    if (at == totals.size()) --at;
    for (auto& [drawn_state, drawn] : drawn_) {
        if (drawn_state == state) return drawn.next[at];
    }
    raise(PyExc_SystemError, "a drawn state went missing");
}

void StateStore::trim() {
    values_.trim();
    state_ids_.trim();
    states_.trim();
    rows_.trim();
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
    size_t order = store->order();
    std::vector<PyObject*> values;
    std::vector<uint32_t> counts;
    try {
        for (uint32_t s = 0; s < store->states(); ++s) {
            const uint32_t* ids = store->state_ids(s);
            PyObject* start;
            if (order == 1) {
                start = store->value(ids[0]);
            } else {
                Ref tuple = Ref::check(PyTuple_New(Py_ssize_t(order)));
                for (size_t k = 0; k < order; ++k) {
                    PyTuple_SET_ITEM(tuple.get(), Py_ssize_t(k), Py_NewRef(store->value(ids[k])));
                }
                PyObject_GC_UnTrack(tuple.get());
                start = kept_value(table.get(), tuple.get());
            }
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

uint32_t store_state_of(const StateStore& store, PyObject* table, PyObject* start) {
    size_t order = store.order();
    uint32_t ids[8];
    std::vector<uint32_t> more;
    uint32_t* at = ids;
    if (order > 8) {
        more.resize(order);
        at = more.data();
    }
    if (order == 1) {
        PyObject* kept = found_value(table, start);
        if (kept == nullptr) return StateStore::kNone;
        at[0] = store.find_value(kept);
    } else {
        if (!PyTuple_CheckExact(start) || size_t(PyTuple_GET_SIZE(start)) != order) return StateStore::kNone;
        for (size_t k = 0; k < order; ++k) {
            PyObject* kept = found_value(table, PyTuple_GET_ITEM(start, Py_ssize_t(k)));
            if (kept == nullptr) return StateStore::kNone;
            at[k] = store.find_value(kept);
        }
    }
    for (size_t k = 0; k < order; ++k) {
        if (at[k] == StateStore::kNone) return StateStore::kNone;
    }
    return store.find_state(at);
}

}  // namespace zantu::native
