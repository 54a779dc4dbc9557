// Open addressing with linear probing: the one probe sequence of the
// module's tables (ProbeTable and AddressMap here, the code table's
// identities, the words of a counted text; the bag's packed row index and
// the chain's value table, whose slots live in memory of their own, step
// with ProbeSequence).
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "ref.h"

namespace zantu {

// The slots of a table of `slots` (a power of two) looked at for `hash`,
// in turn: at(), then next() until the slot sought or an empty one.
class ProbeSequence {
public:
    ProbeSequence(size_t hash, size_t slots) : mask_(slots - 1), at_(hash & mask_) {}
    size_t at() const { return at_; }
    size_t next() { return at_ = (at_ + 1) & mask_; }

private:
    size_t mask_;
    size_t at_;
};

// The slots of a table that holds `count` entries at most half full.
inline size_t slots_for(size_t count, size_t smallest = 16) {
    size_t slots = smallest;
    while (slots < count * 2) slots *= 2;
    return slots;
}

// An address spread over the bits a table takes.
inline size_t address_spot(const void* p) {
    uint64_t h = uint64_t(reinterpret_cast<uintptr_t>(p)) * 0x9E3779B97F4A7C15ull;
    return size_t(h ^ (h >> 29));
}

// Slots that know whether they are empty (`empty()`) and the hash of what
// they hold (`hash()`); the table doubles before it is half full.
template <typename Slot>
class ProbeTable {
public:
    explicit ProbeTable(size_t first_size) : first_size_(first_size) {}

    // The slot of the entry with `hash` that `matches` accepts, or the empty
    // slot where it goes (fill it, then call added()). Room for one more
    // entry is made first.
    template <typename Matches>
    Slot& slot_for(size_t hash, Matches matches) {
        if ((used_ + 1) * 2 > slots_.size()) grow(slots_.empty() ? first_size_ : slots_.size() * 2);
        ProbeSequence probe(hash, slots_.size());
        while (!slots_[probe.at()].empty() && !matches(slots_[probe.at()])) probe.next();
        return slots_[probe.at()];
    }
    void added() { ++used_; }

    // The slot that `matches` accepts, or null.
    template <typename Matches>
    const Slot* find(size_t hash, Matches matches) const {
        if (slots_.empty()) return nullptr;
        for (ProbeSequence probe(hash, slots_.size()); !slots_[probe.at()].empty(); probe.next()) {
            if (matches(slots_[probe.at()])) return &slots_[probe.at()];
        }
        return nullptr;
    }

    // Empty, with room for `count` entries.
    void reset(size_t count) {
        slots_.assign(slots_for(count, first_size_), Slot{});
        used_ = 0;
    }

    // `visit(slot)` for every slot that holds an entry.
    template <typename Visit>
    void each(Visit visit) {
        for (Slot& slot : slots_) {
            if (!slot.empty()) visit(slot);
        }
    }

    // Where the search for `hash` begins, for prefetching.
    const void* first_slot(size_t hash) const {
        return slots_.empty() ? nullptr : &slots_[hash & (slots_.size() - 1)];
    }

private:
    void grow(size_t size) {
        std::vector<Slot> slots(size);
        for (const Slot& old : slots_) {
            if (old.empty()) continue;
            ProbeSequence probe(old.hash(), slots.size());
            while (!slots[probe.at()].empty()) probe.next();
            slots[probe.at()] = old;
        }
        slots_.swap(slots);
    }

    size_t first_size_;
    std::vector<Slot> slots_;
    size_t used_ = 0;
};

// Values by the address of their key, for keys that are objects kept once
// (a chain's values, whose address is their identity). The keys are also
// kept in the order they came.
template <typename Value>
class AddressMap {
public:
    // The value of `key`, made (value-initialised) when `key` is new.
    Value& at(PyObject* key) {
        Slot& slot = table_.slot_for(spot(key), [key](const Slot& s) { return s.key == key; });
        if (slot.empty()) {
            slot.key = key;
            table_.added();
            order_.push_back(key);
        }
        return slot.value;
    }

    // The number of `key` in the order keys came (0 for the first), given
    // it when it is new. MemoryError past 2**32 - 1 keys.
    uint32_t number(PyObject* key) {
        Slot& slot = table_.slot_for(spot(key), [key](const Slot& s) { return s.key == key; });
        if (slot.empty()) {
            if (order_.size() >= UINT32_MAX) {
                PyErr_NoMemory();
                throw PyError();
            }
            slot.key = key;
            slot.value = Value(order_.size());
            table_.added();
            order_.push_back(key);
        }
        return uint32_t(slot.value);
    }

    // Empty, with room for `count` keys.
    void reset(size_t count) {
        table_.reset(count);
        order_.clear();
        order_.reserve(count);
    }

    // Every value replaced by `change(value)`, in one pass over the slots.
    template <typename Change>
    void change_values(Change change) {
        table_.each([&](Slot& slot) { slot.value = change(slot.value); });
    }

    // The value of `key`, or null when it has none (nothing is added).
    const Value* find(const PyObject* key) const {
        const Slot* slot = table_.find(spot(key), [key](const Slot& s) { return s.key == key; });
        return slot != nullptr ? &slot->value : nullptr;
    }

    // Where the search for `key` begins, for prefetching.
    const void* first_slot(const PyObject* key) const { return table_.first_slot(spot(key)); }

    // The keys, in the order they came (borrowed, as given).
    const std::vector<PyObject*>& keys() const { return order_; }

private:
    static size_t spot(const PyObject* key) { return address_spot(key); }

    struct Slot {
        const PyObject* key = nullptr;
        Value value{};
        bool empty() const { return key == nullptr; }
        size_t hash() const { return spot(key); }
    };

    ProbeTable<Slot> table_{1024};
    std::vector<PyObject*> order_;
};

}  // namespace zantu
