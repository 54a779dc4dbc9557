// Unpacking a pair as `a, b = pair` does, with the messages the codec's
// errors are known by; the codec and the chain module share it.
#pragma once

#include "ref.h"

namespace zantu {

// ValueError for a pair of `found` elements (3: more than two).
[[noreturn]] inline void raise_unpack_count(Py_ssize_t found) {
    if (found > 2) raise(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t(2));
    raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
}

// The next element of `it` into `out`; false at its end. An iterator
// written in C can hand back an element while an exception is set: the
// exception wins, and the element is not trusted.
inline bool next_element(PyObject* it, Ref& out) {
    out = Ref::steal(PyIter_Next(it));
    if (PyErr_Occurred()) {
        out = Ref();
        throw PyError();
    }
    return bool(out);
}

// `first, second = pair`. Both elements are held before `first` and
// `second` drop what they held: a destructor run by that release may
// change `pair` (empty the list) or free what is read after it.
inline void unpack_pair(PyObject* pair, Ref& first, Ref& second) {
    Ref a, b;
    if (PyTuple_CheckExact(pair) || PyList_CheckExact(pair)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(pair);
        if (n != 2) raise_unpack_count(n);
        a = Ref::borrow(PySequence_Fast_ITEMS(pair)[0]);
        b = Ref::borrow(PySequence_Fast_ITEMS(pair)[1]);
        // A tuple half built by a C extension that then failed.
        if (!a || !b) raise(PyExc_SystemError, "an unfinished tuple was handed over as a pair");
    } else {
        Ref it = Ref::check(PyObject_GetIter(pair));
        if (!next_element(it.get(), a)) raise_unpack_count(0);
        if (!next_element(it.get(), b)) raise_unpack_count(1);
        Ref extra;
        if (next_element(it.get(), extra)) raise_unpack_count(3);
    }
    first.swap(a);
    second.swap(b);
    // `a` and `b` now drop the old elements, once both outputs are set.
}

}  // namespace zantu
