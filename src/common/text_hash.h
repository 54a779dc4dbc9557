// The one hash of texts met again and again (the streaming reader's kept
// texts, the words of a counted text): FNV-1a, one character at a time.
// Tables of it take the low bits, so a final mix spreads the high ones.
#pragma once

#include <cstdint>
#include <string_view>

namespace zantu {

constexpr std::uint64_t kTextHashStart = 0xcbf29ce484222325ull;

inline std::uint64_t text_hash_step(std::uint64_t h, std::uint32_t ch) { return (h ^ ch) * 0x100000001b3ull; }

inline std::uint64_t text_hash(std::string_view text) {
    std::uint64_t h = kTextHashStart;
    for (unsigned char c : text) h = text_hash_step(h, c);
    return h;
}

}  // namespace zantu
