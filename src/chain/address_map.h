// Open addressing with linear probing, shared by the module's two tables
// of borrowed objects: values by the address of their key (AddressMap),
// and the words of a text by their characters (words.cpp).
#pragma once

#include <cstdint>
#include <vector>

#include "ref.h"

namespace zantu::native {

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
        if ((used_ + 1) * 2 > slots_.size()) grow();
        size_t mask = slots_.size() - 1;
        size_t slot = hash & mask;
        while (!slots_[slot].empty() && !matches(slots_[slot])) slot = (slot + 1) & mask;
        return slots_[slot];
    }
    void added() { ++used_; }

    // The slot that `matches` accepts, or null.
    template <typename Matches>
    const Slot* find(size_t hash, Matches matches) const {
        if (slots_.empty()) return nullptr;
        size_t mask = slots_.size() - 1;
        for (size_t slot = hash & mask; !slots_[slot].empty(); slot = (slot + 1) & mask) {
            if (matches(slots_[slot])) return &slots_[slot];
        }
        return nullptr;
    }

    // Where the search for `hash` begins, for prefetching.
    const void* first_slot(size_t hash) const {
        return slots_.empty() ? nullptr : &slots_[hash & (slots_.size() - 1)];
    }

private:
    void grow() {
        std::vector<Slot> slots(slots_.empty() ? first_size_ : slots_.size() * 2);
        size_t mask = slots.size() - 1;
        for (const Slot& old : slots_) {
            if (old.empty()) continue;
            size_t slot = old.hash() & mask;
            while (!slots[slot].empty()) slot = (slot + 1) & mask;
            slots[slot] = old;
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

    // The value of `key`, or null when it has none (nothing is added).
    const Value* find(PyObject* key) const {
        const Slot* slot = table_.find(spot(key), [key](const Slot& s) { return s.key == key; });
        return slot != nullptr ? &slot->value : nullptr;
    }

    // Where the search for `key` begins, for prefetching.
    const void* first_slot(PyObject* key) const { return table_.first_slot(spot(key)); }

    // The keys, in the order they came (borrowed, as given).
    const std::vector<PyObject*>& keys() const { return order_; }

private:
    static size_t spot(PyObject* key) {
        uint64_t h = uint64_t(reinterpret_cast<uintptr_t>(key)) * 0x9E3779B97F4A7C15ull;
        return size_t(h ^ (h >> 29));
    }

    struct Slot {
        PyObject* key = nullptr;
        Value value{};
        bool empty() const { return key == nullptr; }
        size_t hash() const { return spot(key); }
    };

    ProbeTable<Slot> table_{1024};
    std::vector<PyObject*> order_;
};

}  // namespace zantu::native
