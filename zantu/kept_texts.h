// The chain's objects for the texts a document repeats, found by the
// text's UTF-8 bytes: what the streaming reader uses in place of making a
// str and looking it up again. A fixed number of slots, each holding the
// last text met there, so that its memory stays the same whatever the
// document. Only ASCII texts are held: their bytes are the str's own, and
// are compared with it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "ref.h"

namespace zantu {

class KeptTexts {
public:
    // 2 ** bits slots.
    explicit KeptTexts(int bits) : mask_((std::size_t(1) << bits) - 1) {}

    static std::uint64_t hash(std::string_view text) {
        std::uint64_t h = 14695981039346656037ull;  // FNV-1a
        for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
        return h;
    }

    struct Slot {
        std::uint64_t hash = 0;
        Ref text;                  // an exact str, compact ASCII
        PyObject* kept = nullptr;  // what stands for it (borrowed: see put)
    };

    // The slot of `text`, or null.
    const Slot* find(std::uint64_t h, std::string_view text) const {
        if (slots_.empty()) return nullptr;
        const Slot& s = slots_[h & mask_];
        if (s.kept == nullptr || s.hash != h) return nullptr;
        PyObject* held = s.text.get();
        if (PyUnicode_GET_LENGTH(held) != Py_ssize_t(text.size()) ||
            std::memcmp(PyUnicode_DATA(held), text.data(), text.size()) != 0) {
            return nullptr;
        }
        return &s;
    }

    // Remembers `kept` for `text` (the str whose bytes hashed to `h`), when
    // it is ASCII. The caller keeps `kept` alive until it calls clear().
    void put(std::uint64_t h, PyObject* text, PyObject* kept) {
        if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_COMPACT_ASCII(text)) return;
        if (slots_.empty()) slots_.resize(mask_ + 1);
        Slot& s = slots_[h & mask_];
        s.hash = h;
        s.text = Ref::borrow(text);
        s.kept = kept;
    }

    void clear() {
        for (Slot& s : slots_) {
            s.text = Ref();
            s.kept = nullptr;
        }
    }

private:
    std::size_t mask_;
    std::vector<Slot> slots_;
};

}  // namespace zantu
