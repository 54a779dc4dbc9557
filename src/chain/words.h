// The words of one text, each kept in a chain's table once: a word becomes
// a str only the first time it is met; every later occurrence is found by
// its characters, so a large text costs no object per token.
#pragma once

#include <cstdint>
#include <cstring>

#include "chain.h"
#include "probe_table.h"
#include "text_hash.h"

namespace zantu::native {

// What Python's own definitions say of a character: whitespace (str.isspace)
// and what re's \w matches in a str pattern (alphanumeric, or the
// underscore). The first 256 are looked up in a table made from them.
struct Latin1Classes {
    enum : std::uint8_t { Space = 1, WordChar = 2 };
    std::uint8_t of[256];
    Latin1Classes() {
        for (Py_UCS4 c = 0; c < 256; ++c) {
            of[c] = std::uint8_t((Py_UNICODE_ISSPACE(c) ? Space : 0) |
                                 (c == '_' || Py_UNICODE_ISALNUM(c) ? WordChar : 0));
        }
    }
};
inline const Latin1Classes kLatin1;

inline bool is_space(Py_UCS4 c) {
    return c < 256 ? (kLatin1.of[c] & Latin1Classes::Space) != 0 : Py_UNICODE_ISSPACE(c);
}
inline bool is_word_char(Py_UCS4 c) {
    return c < 256 ? (kLatin1.of[c] & Latin1Classes::WordChar) != 0 : c == '_' || Py_UNICODE_ISALNUM(c);
}

inline uint64_t hash_end(uint64_t h) { return h ^ (h >> 29); }

// The words of one text met so far: the table's str for each, found by
// the characters of an occurrence.
class Words {
public:
    explicit Words(PyObject* text)
        : text_(text), kind_(PyUnicode_KIND(text)), data_(PyUnicode_DATA(text)) {}

    // The str kept in `table` for text[begin:end] (whose characters hash
    // to `hash`), made the first time.
    PyObject* kept(PyObject* table, Py_ssize_t begin, Py_ssize_t end, uint64_t hash) {
        Slot& slot = words_.slot_for(size_t(hash), [&](const Slot& s) {
            return s.characters_hash == hash && same(s.word, begin, end);
        });
        if (!slot.empty()) return slot.word;
        Ref word = Ref::check(PyUnicode_Substring(text_, begin, end));
        PyObject* kept = kept_value(table, word.get());
        slot = Slot{kept, hash};
        words_.added();
        return kept;
    }

private:
    struct Slot {
        PyObject* word = nullptr;  // borrowed: the table holds it
        uint64_t characters_hash = 0;
        bool empty() const { return word == nullptr; }
        size_t hash() const { return size_t(characters_hash); }
    };

    bool same(PyObject* word, Py_ssize_t begin, Py_ssize_t end) const {
        Py_ssize_t length = end - begin;
        if (PyUnicode_GET_LENGTH(word) != length) return false;
        int kind = PyUnicode_KIND(word);
        const void* data = PyUnicode_DATA(word);
        if (kind == kind_) {
            return std::memcmp(data, static_cast<const char*>(data_) + size_t(begin) * size_t(kind),
                               size_t(length) * size_t(kind)) == 0;
        }
        for (Py_ssize_t i = 0; i < length; ++i) {
            if (PyUnicode_READ(kind, data, i) != PyUnicode_READ(kind_, data_, begin + i)) return false;
        }
        return true;
    }

    PyObject* text_;
    int kind_;
    const void* data_;
    ProbeTable<Slot> words_{4096};
};

}  // namespace zantu::native
