#include "peek.h"

#include <cstddef>
#include <cstdint>

#include "calls.h"
#include "lookup.h"

namespace zantu {

namespace {

#if ZANTU_ITERATOR_LAYOUT
// CPython's dict item iterator and keys object, as 3.11 to 3.13 lay them
// out (Objects/dictobject.c and Include/internal/pycore_dict.h).
struct DictIter {
    PyObject_HEAD
    PyDictObject* di_dict;  // null once the iterator is exhausted
    Py_ssize_t di_used;
    Py_ssize_t di_pos;      // the entry it looks at next
    PyObject* di_result;
    Py_ssize_t len;
};
struct DictKeys {
    Py_ssize_t dk_refcnt;
    uint8_t dk_log2_size;
    uint8_t dk_log2_index_bytes;
    uint8_t dk_kind;
    uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
    char dk_indices[1];  // then the entries
};
struct KeyEntry {
    Py_hash_t me_hash;
    PyObject* me_key;
    PyObject* me_value;  // null for a deleted entry
};
struct UnicodeEntry {  // in a dict whose keys are all str
    PyObject* me_key;
    PyObject* me_value;
};
constexpr uint8_t kGeneralKeys = 0;

// Where the entries of `d` stand, from entry `pos` on.
bool read_dict_entries(const PyDictObject* d, Py_ssize_t pos, const char*& first, size_t& stride,
                       Py_ssize_t& size) {
    if (d->ma_values != nullptr) return false;  // a split table
    const auto* keys = reinterpret_cast<const DictKeys*>(d->ma_keys);
    if (pos < 0 || pos >= keys->dk_nentries) return false;
    const char* entries = keys->dk_indices + (size_t(1) << keys->dk_log2_index_bytes);
    bool general = keys->dk_kind == kGeneralKeys;
    stride = general ? sizeof(KeyEntry) : sizeof(UnicodeEntry);
    first = entries + size_t(pos) * stride + (general ? offsetof(KeyEntry, me_key) : 0);
    size = keys->dk_nentries - pos;
    return true;
}

// Where the entries of `it` stand, from the one it hands out next.
bool read_entries(PyObject* it, const char*& first, size_t& stride, Py_ssize_t& size) {
    const auto* di = reinterpret_cast<const DictIter*>(it);
    const PyDictObject* d = di->di_dict;
    return d != nullptr && read_dict_entries(d, di->di_pos, first, stride, size);  // null: exhausted
}

// CPython's list and tuple iterators (Objects/listobject.c and
// Objects/tupleobject.c).
struct SequenceIter {
    PyObject_HEAD
    Py_ssize_t it_index;  // the element it hands out next
    PyObject* it_seq;     // null once the iterator is exhausted
};

// Where the elements of a list or tuple iterator stand, from the one it
// hands out next.
bool read_elements(PyObject* it, const char*& first, size_t& stride, Py_ssize_t& size) {
    const auto* si = reinterpret_cast<const SequenceIter*>(it);
    PyObject* seq = si->it_seq;
    if (seq == nullptr || si->it_index < 0 || si->it_index >= PySequence_Fast_GET_SIZE(seq)) return false;
    first = reinterpret_cast<const char*>(PySequence_Fast_ITEMS(seq) + si->it_index);
    stride = sizeof(PyObject*);
    size = PySequence_Fast_GET_SIZE(seq) - si->it_index;
    return true;
}

// One step into the items of `d`: the iterator must point at `d` and stand
// at its second entry, which must then be found where expected.
bool layout_as_expected(PyObject* d, PyObject* it, PyObject* second_key, PyObject* second_value) {
    const auto* di = reinterpret_cast<const DictIter*>(it);
    if (reinterpret_cast<PyObject*>(di->di_dict) != d || di->di_pos != 1 || di->len != PyDict_GET_SIZE(d) - 1) {
        return false;
    }
    const char* first = nullptr;
    size_t stride = 0;
    Py_ssize_t size = 0;
    if (!read_entries(it, first, stride, size) || size != PyDict_GET_SIZE(d) - 1) return false;
    PyObject* const* slots = reinterpret_cast<PyObject* const*>(first);
    return slots[0] == second_key && slots[1] == second_value;
}
#else
bool read_elements(PyObject*, const char*&, size_t&, Py_ssize_t&) { return false; }
bool read_entries(PyObject*, const char*&, size_t&, Py_ssize_t&) { return false; }
bool layout_as_expected(PyObject*, PyObject*, PyObject*, PyObject*) { return false; }
#endif

// Checks one dict: tuple keys (a general table) or str keys.
bool check_layout(bool str_keys) {
    Ref d = Ref::check(PyDict_New());
    Ref keys[3], values[3];
    for (long n = 0; n < 3; ++n) {
        values[n] = Ref::check(PyLong_FromLong(1000 + n));
        keys[n] = str_keys ? Ref::check(PyUnicode_FromFormat("k%ld", n)) : Ref::check(PyTuple_Pack(1, values[n].get()));
        check_status(PyDict_SetItem(d.get(), keys[n].get(), values[n].get()));
    }
    Ref view = Ref::check(PyObject_CallMethod(d.get(), "items", nullptr));
    Ref it = Ref::check(PyObject_GetIter(view.get()));
    if (Py_TYPE(it.get()) != &PyDictIterItem_Type) return false;
    Ref first = Ref::steal(PyIter_Next(it.get()));
    if (!first) {
        if (PyErr_Occurred()) throw PyError();
        return false;
    }
    return layout_as_expected(d.get(), it.get(), keys[1].get(), values[1].get());
}

// One step into a list or a tuple of three pairs: the iterator must stand
// at the second, which must then be found where expected.
bool check_sequence_layout(bool tuple) {
    Ref pairs[3];
    for (long n = 0; n < 3; ++n) pairs[n] = Ref::check(Py_BuildValue("(ll)", n, n));
    Ref seq = Ref::check(tuple ? PyTuple_Pack(3, pairs[0].get(), pairs[1].get(), pairs[2].get())
                               : Py_BuildValue("[OOO]", pairs[0].get(), pairs[1].get(), pairs[2].get()));
    Ref it = Ref::check(PyObject_GetIter(seq.get()));
    if (Py_TYPE(it.get()) != (tuple ? &PyTupleIter_Type : &PyListIter_Type)) return false;
    Ref first = Ref::steal(PyIter_Next(it.get()));
    if (!first) {
        if (PyErr_Occurred()) throw PyError();
        return false;
    }
    const char* at = nullptr;
    size_t stride = 0;
    Py_ssize_t size = 0;
    if (!read_elements(it.get(), at, stride, size) || size != 2) return false;
    return *reinterpret_cast<PyObject* const*>(at) == pairs[1].get();
}

}  // namespace

EntriesAhead::EntriesAhead(PyObject* it) {
    if (!fast_path(FastPath::iterator_views)) return;
    PyTypeObject* type = Py_TYPE(it);
    if (type == &PyDictIterItem_Type) {
        if (!read_entries(it, first_, stride_, size_)) size_ = 0;
    } else if (type == &PyListIter_Type || type == &PyTupleIter_Type) {
        elements_ = true;
        if (!read_elements(it, first_, stride_, size_)) size_ = 0;
    }
}

void init_peek() {
    set_fast_path_usable(FastPath::iterator_views, check_layout(false) && check_layout(true) &&
                                                       check_sequence_layout(false) && check_sequence_layout(true));
}

}  // namespace zantu
