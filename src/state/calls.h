// How the codec calls any outside object: methods fetched afresh at each
// call (vectorcall with interned names), names looked up where Python looks
// them up. A function that returns an object returns a new reference (a Ref)
// unless it says "borrowed"; every function throws PyError on failure.
#pragma once

#include "ref.h"

namespace zantu {

// dict[name] (borrowed; null when missing) of a namespace dict, `name` an
// exact str: such a lookup runs no code of the caller's. Throws when the
// lookup fails.
inline PyObject* dict_entry(PyObject* dict, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (value == nullptr && PyErr_Occurred()) throw PyError();
    return value;
}

// A module-level name as the codecs see it at call time: the module's
// namespace first, then the builtins; NameError when in neither.
Ref module_global(PyObject* module, PyObject* name);

// obj.name(args...) with the method fetched afresh.
template <typename... Args>
Ref call_method(PyObject* name, PyObject* obj, Args... args) {
    PyObject* stack[] = {nullptr, obj, args...};
    return Ref::check(PyObject_VectorcallMethod(
        name, stack + 1, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(args...).
template <typename... Args>
Ref call(PyObject* callable, Args... args) {
    PyObject* stack[] = {nullptr, args...};
    return Ref::check(PyObject_Vectorcall(
        callable, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref get_attr(PyObject* obj, PyObject* name);
// Whether `name` (a str) starts with two underscores.
inline bool is_dunder(PyObject* name) {
    return PyUnicode_GET_LENGTH(name) >= 2 && PyUnicode_READ_CHAR(name, 0) == '_' &&
           PyUnicode_READ_CHAR(name, 1) == '_';
}
Ref get_iter(PyObject* iterable);
// Advances `it` into `out`; false at its end. Throws when the iterator raises.
bool iter_next(PyObject* it, Ref& out);

}  // namespace zantu
