#include "calls.h"

namespace zantu {

namespace {

// The builtins of the calling frame (of the interpreter when none runs).
Ref current_builtins() {
#if PY_VERSION_HEX >= 0x030D0000
    return Ref::check(PyEval_GetFrameBuiltins());
#else
    return Ref::borrow(PyEval_GetBuiltins());
#endif
}

}  // namespace

Ref module_global(PyObject* module, PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (found != nullptr) return Ref::borrow(found);
    if (PyErr_Occurred()) throw PyError();
    Ref builtins = current_builtins();
    if (builtins) found = PyDict_GetItemWithError(builtins.get(), name);
    if (found == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw PyError();
    }
    return Ref::borrow(found);
}

Ref get_attr(PyObject* obj, PyObject* name) {
    // Of an exact module, a name that is not a dunder can only come from the
    // module's own namespace (the module type and object define dunders
    // only): read there directly. A miss takes the full lookup, which also
    // asks the module's __getattr__ and makes the error.
    if (PyModule_CheckExact(obj) && !is_dunder(name)) {
        PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(obj), name);
        if (found != nullptr) return Ref::borrow(found);
        if (PyErr_Occurred()) throw PyError();
    }
    return Ref::check(PyObject_GetAttr(obj, name));
}

Ref get_iter(PyObject* iterable) { return Ref::check(PyObject_GetIter(iterable)); }

bool iter_next(PyObject* it, Ref& out) {
    out = Ref::steal(PyIter_Next(it));
    // An iterator written in C can hand back an element while an exception
    // is set (ijson's yajl2_c backend does, for an integer too long to
    // convert): the exception wins, and the element is not trusted.
    if (PyErr_Occurred()) {
        out = Ref();
        throw PyError();
    }
    return bool(out);
}

}  // namespace zantu
