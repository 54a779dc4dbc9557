// A small direct-mapped cache for the length of one call: a hash chooses
// the slot (by its top bits) and a miss overwrites it. It starts with few
// slots, so that short calls stay cheap, and grows four times over
// (dropping what it held) while it misses more often than it has slots,
// up to a fixed size, so what it holds stays bounded whatever the input.
#pragma once

#include <cstddef>
#include <vector>

namespace zantu {

template <typename Slot, int FirstBits, int MostBits>
class GrowingCache {
    static_assert(FirstBits > 0 && FirstBits <= MostBits && (MostBits - FirstBits) % 2 == 0,
                  "the cache grows by two bits at a time");

public:
    // The slot for `hash`, to look at.
    const Slot& find(size_t hash) {
        if (slots_.empty()) slots_.resize(size_t(1) << FirstBits);
        return slots_[index(hash)];
    }

    // The slot for `hash`, to fill after a miss: the cache may have grown
    // (and been emptied) since `find`.
    Slot& fill(size_t hash) {
        if (++misses_ > slots_.size() && bits_ < MostBits) {
            bits_ += 2;
            slots_.assign(size_t(1) << bits_, Slot{});
            misses_ = 0;
        }
        return slots_[index(hash)];
    }

private:
    size_t index(size_t hash) const { return hash >> (8 * sizeof(size_t) - size_t(bits_)); }

    std::vector<Slot> slots_;
    int bits_ = FirstBits;
    size_t misses_ = 0;
};

}  // namespace zantu
