// Lookups that the writers repeat for every piece (`file.write`, the
// encoder's `json.dumps`), answered from the previous answer while nothing
// that answer depends on has changed. On 3.11 CPython gives every dict a
// version that changes whenever the dict does, and every type a version
// that changes whenever an attribute of it or of a base does (its own
// attribute caches rely on the same tags); from 3.12 on, dict and type
// watchers are told of the same changes. An unchanged tag, or no word from
// a watcher, means that a fresh lookup would find what the last one found.
// Where an answer depends on anything these do not cover, or where the
// shortcut is off (fast_path.h), every lookup is made afresh.
#pragma once

#include <cstdint>

#include "module_state.h"
#include "ref.h"

namespace zantu {

struct ModuleState;

// Registers what the answers below need at import (the dict and type
// watchers where those say "unchanged"; the state drops them when it is
// released, release_watchers in module_state.h).
void init_lookups();

// A dict as it stands now; `same` tells whether it is still that dict,
// unchanged. The dict is never dereferenced through the snapshot.
class DictState {
public:
    DictState() = default;
    explicit DictState(PyObject* dict);
    bool same(PyObject* dict) const;

private:
    const PyObject* dict_ = nullptr;
    uint64_t version_ = 0;
};

// obj.<name>(arg), with the method looked up on `obj` afresh for every call.
class MethodCall {
public:
    explicit MethodCall(PyObject* name) : name_(name) {}
    Ref operator()(PyObject* obj, PyObject* arg);

private:
    bool unchanged(PyObject* obj) const;
    void remember(PyObject* obj, Ref& own);

    PyObject* name_;
    Ref method_;  // the function found on the type, called with obj first
    PyCFunction direct_ = nullptr;  // its C function, when it takes one argument
    const PyTypeObject* type_ = nullptr;
    uint64_t type_version_ = 0;  // the type's version tag, or the watchers' count
    DictState instance_dict_;
};

// The attribute `attribute` of the module-level name `global` of `module`,
// as module_global and get_attr find them, afresh for every call.
class GlobalAttribute {
public:
    GlobalAttribute(PyObject* module, PyObject* global, PyObject* attribute)
        : module_(module), global_(global), attribute_(attribute) {}
    Ref get();

private:
    PyObject* module_;
    PyObject* global_;
    PyObject* attribute_;
    // Borrowed: the global is held by the module's namespace, and the
    // attribute by the global's namespace, while both are unchanged.
    PyObject* object_ = nullptr;
    PyObject* names_ = nullptr;  // the namespace of object_
    PyObject* value_ = nullptr;
    PyObject* globals_dict_ = nullptr;  // the namespace of module_
    DictState globals_;
    DictState namespace_;
};

}  // namespace zantu
