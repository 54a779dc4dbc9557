// The chain's objects for the texts a document repeats, found by the
// text's UTF-8 bytes: what the streaming reader uses in place of making a
// str and looking it up in the chain's table again. A fixed number of
// slots, each holding the last text met there, so that its memory stays
// the same whatever the document. Only ASCII texts are held: their bytes
// are the str's own, and are compared with it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace zantu {

class KeptTexts {
public:
    static std::uint64_t hash(std::string_view text) {
        std::uint64_t h = 14695981039346656037ull;  // FNV-1a
        for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
        return h;
    }

    // The object kept for `text` (borrowed: see put), or null.
    PyObject* find(std::uint64_t h, std::string_view text) const {
        if (slots_.empty()) return nullptr;
        const Slot& s = slots_[h & kMask];
        if (s.kept == nullptr || s.hash != h) return nullptr;
        auto size = Py_ssize_t(text.size());
        if (PyUnicode_GET_LENGTH(s.kept) != size || std::memcmp(PyUnicode_DATA(s.kept), text.data(), text.size()) != 0) {
            return nullptr;
        }
        return s.kept;
    }

    // Remembers `kept` (a str equal to `text`) for `text`. The caller keeps
    // `kept` alive until it calls clear().
    void put(std::uint64_t h, PyObject* kept) {
        if (!PyUnicode_CheckExact(kept) || !PyUnicode_IS_COMPACT_ASCII(kept)) return;
        if (slots_.empty()) slots_.resize(kSlots);
        slots_[h & kMask] = Slot{h, kept};
    }

    void clear() {
        for (Slot& s : slots_) s.kept = nullptr;
    }

private:
    struct Slot {
        std::uint64_t hash = 0;
        PyObject* kept = nullptr;  // an exact str, compact ASCII
    };
    static constexpr std::size_t kSlots = std::size_t(1) << 15;
    static constexpr std::size_t kMask = kSlots - 1;
    std::vector<Slot> slots_;
};

}  // namespace zantu
