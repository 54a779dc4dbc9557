// Counting the words of a text straight into a chain. The text is split as
// re.findall(r"\w+", text) splits it, and a word becomes a str only the
// first time it is met: every later occurrence is found by its characters,
// so a large text costs no object per token.
#include <cstring>
#include <vector>

#include "probe_table.h"
#include "text_hash.h"
#include "chain.h"

namespace zantu::native {
namespace {

// What re's \w matches in a str pattern: a character that is alphanumeric
// by Python's own definition, or the underscore. The first 256 are looked
// up in a table made from the same definition.
struct Latin1Words {
    bool word[256];
    Latin1Words() {
        for (Py_UCS4 ch = 0; ch < 256; ++ch) word[ch] = ch == '_' || Py_UNICODE_ISALNUM(ch);
    }
};

inline bool is_word_char(const Latin1Words& latin1, Py_UCS4 ch) {
    return ch < 256 ? latin1.word[ch] : ch == '_' || Py_UNICODE_ISALNUM(ch);
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

// The words of text, as kept values, after those already in `kept`.
template <typename Char>
void scan_words(const Char* chars, Py_ssize_t length, Words& words, PyObject* table, std::vector<PyObject*>& kept) {
    static const Latin1Words latin1;
    for (Py_ssize_t i = 0; i < length;) {
        if (!is_word_char(latin1, chars[i])) {
            ++i;
            continue;
        }
        Py_ssize_t begin = i;
        uint64_t hash = kTextHashStart;
        for (; i < length && is_word_char(latin1, chars[i]); ++i) hash = text_hash_step(hash, chars[i]);
        kept.push_back(words.kept(table, begin, i, hash_end(hash)));
    }
}

Ref count_words(const NativeState& state, PyObject* chain_object, PyObject* text, Py_ssize_t order,
                PyObject* carried) {
    if (!PyObject_TypeCheck(chain_object, state.chain_type)) {
        raise(PyExc_TypeError, "expected a MarkovChain, not %.200s", Py_TYPE(chain_object)->tp_name);
    }
    if (!PyUnicode_Check(text)) raise(PyExc_TypeError, "expected a str, not %.200s", Py_TYPE(text)->tp_name);
    if (order < 1) raise(PyExc_ValueError, "order must be at least 1");
    ChainObject* chain = as_chain(chain_object);
    Ref table = chain_table(chain);
    Ref held_text = Ref::borrow(text);
    Ref before = Ref::check(PySequence_Tuple(carried));
    std::vector<PyObject*> kept;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(before.get()); ++i) {
        PyObject* token = PyTuple_GET_ITEM(before.get(), i);
        if (!PyUnicode_CheckExact(token)) {
            raise(PyExc_TypeError, "expected str tokens, not %.200s", Py_TYPE(token)->tp_name);
        }
        kept.push_back(kept_value(table.get(), token));
    }
    Words words(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            scan_words(static_cast<const Py_UCS1*>(data), length, words, table.get(), kept);
            break;
        case PyUnicode_2BYTE_KIND:
            scan_words(static_cast<const Py_UCS2*>(data), length, words, table.get(), kept);
            break;
        default:
            scan_words(static_cast<const Py_UCS4*>(data), length, words, table.get(), kept);
    }
    count_kept(chain, table.get(), kept, order);
    size_t last = kept.size() < size_t(order) ? kept.size() : size_t(order);
    Ref tail = Ref::check(PyList_New(Py_ssize_t(last)));
    for (size_t k = 0; k < last; ++k) {
        PyObject* token = kept[kept.size() - last + k];
        PyList_SET_ITEM(tail.get(), Py_ssize_t(k), Py_NewRef(token));
    }
    return tail;
}

}  // namespace

PyObject* count_words_function(PyObject* module, PyObject* args) {
    PyObject *chain, *text, *carried;
    Py_ssize_t order;
    if (!PyArg_ParseTuple(args, "OOnO:_count_words", &chain, &text, &order, &carried)) return nullptr;
    return guarded<PyObject*>(nullptr, [&] {
        return count_words(module_state(module), chain, text, order, carried).release();
    });
}

}  // namespace zantu::native
