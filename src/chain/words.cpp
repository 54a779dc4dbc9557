// Counting the words of a text straight into a chain. The text is split as
// re.findall(r"\w+", text) splits it, and a word becomes a str only the
// first time it is met: every later occurrence is found by its characters,
// so a large text costs no object per token.
#include <cstring>
#include <vector>

#include "words.h"

namespace zantu::native {
namespace {

// The words of text, as kept values, after those already in `kept`.
template <typename Char>
void scan_words(const Char* chars, Py_ssize_t length, Words& words, PyObject* table, std::vector<PyObject*>& kept) {
    for (Py_ssize_t i = 0; i < length;) {
        if (!is_word_char(chars[i])) {
            ++i;
            continue;
        }
        Py_ssize_t begin = i;
        uint64_t hash = kTextHashStart;
        for (; i < length && is_word_char(chars[i]); ++i) hash = text_hash_step(hash, chars[i]);
        kept.push_back(words.kept(table, begin, i, hash_end(hash)));
    }
}

}  // namespace

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

PyObject* count_words_function(PyObject* module, PyObject* args) {
    PyObject *chain, *text, *carried;
    Py_ssize_t order;
    if (!PyArg_ParseTuple(args, "OOnO:_count_words", &chain, &text, &order, &carried)) return nullptr;
    return guarded<PyObject*>(nullptr, [&] {
        return count_words(module_state(module), chain, text, order, carried).release();
    });
}

}  // namespace zantu::native
