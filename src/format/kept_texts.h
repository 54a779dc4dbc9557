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
#include <string_view>
#include <vector>

#include "ref.h"
#include "text_hash.h"

namespace zantu {

// Whether `text` is an exact str of ASCII only, stored compact: its bytes
// (ascii_bytes) are its UTF-8.
inline bool ascii_str(PyObject* text) { return PyUnicode_CheckExact(text) && PyUnicode_IS_COMPACT_ASCII(text); }
inline std::string_view ascii_bytes(PyObject* text) {
    return {static_cast<const char*>(PyUnicode_DATA(text)), std::size_t(PyUnicode_GET_LENGTH(text))};
}

class KeptTexts {
public:
    // 2 ** bits slots.
    explicit KeptTexts(int bits) : mask_((std::size_t(1) << bits) - 1) {}

    static std::uint64_t hash(std::string_view text) { return text_hash(text); }

    struct Slot {
        std::uint64_t hash = 0;
        Ref text;                  // an exact str, compact ASCII
        PyObject* kept = nullptr;  // what stands for it (borrowed: see put)
    };

    // The slot of `text`, or null.
    const Slot* find(std::uint64_t h, std::string_view text) const {
        if (slots_.empty()) return nullptr;
        const Slot& s = slots_[h & mask_];
        if (s.kept == nullptr || s.hash != h || ascii_bytes(s.text.get()) != text) return nullptr;
        return &s;
    }

    // Remembers `kept` for `text` (the str whose bytes hashed to `h`), when
    // it is ASCII. The caller keeps `kept` alive until it calls clear().
    void put(std::uint64_t h, PyObject* text, PyObject* kept) {
        if (!ascii_str(text)) return;
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
