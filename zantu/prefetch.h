// Asking the memory for an object before it is read.
#pragma once

namespace zantu {

// Starts loading the cache line at `address` and returns at once; the
// address is not dereferenced, so it may be anything. An instruction
// rather than __builtin_prefetch: GCC counts that builtin as free of side
// effects, and once a small helper holds nothing else, drops the calls to
// the helper, prefetches and all.
[[gnu::always_inline]] inline void prefetch(const void* address) {
#if defined(__x86_64__) || defined(__i386__)
    asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
#else
    __builtin_prefetch(address);
#endif
}

}  // namespace zantu
