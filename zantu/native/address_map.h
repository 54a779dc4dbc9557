// Values by the address of their key, for keys that are objects kept once
// (a chain's values, whose address is their identity). Open addressing,
// key and value side by side in a slot; the keys are also kept in the order
// they came.
#pragma once

#include <cstdint>
#include <vector>

#include "ref.h"

namespace zantu::native {

template <typename Value>
class AddressMap {
public:
    // The value of `key`, made (value-initialised) when `key` is new.
    Value& at(PyObject* key) {
        if ((order_.size() + 1) * 2 > slots_.size()) rehash();
        size_t mask = slots_.size() - 1;
        size_t slot = spot(key) & mask;
        while (slots_[slot].key != nullptr) {
            if (slots_[slot].key == key) return slots_[slot].value;
            slot = (slot + 1) & mask;
        }
        order_.push_back(key);
        slots_[slot].key = key;
        return slots_[slot].value;
    }

    // The value of `key`, or null when it has none (nothing is added).
    const Value* find(PyObject* key) const {
        if (slots_.empty()) return nullptr;
        size_t mask = slots_.size() - 1;
        for (size_t slot = spot(key) & mask; slots_[slot].key != nullptr; slot = (slot + 1) & mask) {
            if (slots_[slot].key == key) return &slots_[slot].value;
        }
        return nullptr;
    }

    // Where the search for `key` begins, for prefetching.
    const void* first_slot(PyObject* key) const {
        return slots_.empty() ? nullptr : &slots_[spot(key) & (slots_.size() - 1)];
    }

    // The keys, in the order they came (borrowed, as given).
    const std::vector<PyObject*>& keys() const { return order_; }

private:
    struct Slot {
        PyObject* key = nullptr;
        Value value{};
    };

    static size_t spot(PyObject* key) {
        uint64_t h = uint64_t(reinterpret_cast<uintptr_t>(key)) * 0x9E3779B97F4A7C15ull;
        return size_t(h ^ (h >> 29));
    }

    void rehash() {
        std::vector<Slot> slots(slots_.empty() ? 1024 : slots_.size() * 2);
        size_t mask = slots.size() - 1;
        for (const Slot& old : slots_) {
            if (old.key == nullptr) continue;
            size_t slot = spot(old.key) & mask;
            while (slots[slot].key != nullptr) slot = (slot + 1) & mask;
            slots[slot] = old;
        }
        slots_.swap(slots);
    }

    std::vector<Slot> slots_;
    std::vector<PyObject*> order_;
};

}  // namespace zantu::native
