// Asking the memory for an object before it is read.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zantu {

// Starts loading the cache line at `address` and returns at once; nothing
// is read, so the address may be anything. An instruction rather than
// __builtin_prefetch: GCC counts that builtin as free of side effects, and
// once a small helper holds nothing else, drops the calls to the helper,
// prefetches and all.
[[gnu::always_inline]] inline void prefetch(const void* address) {
#if defined(__x86_64__) || defined(__i386__)
    asm volatile("prefetcht0 (%0)" : : "r"(address));
#else
    __builtin_prefetch(address);
#endif
}

// The line `offset` bytes into the object at `address`, which may be
// shorter than that.
[[gnu::always_inline]] inline void prefetch(const void* address, size_t offset) {
    prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(address) + offset));
}

}  // namespace zantu
