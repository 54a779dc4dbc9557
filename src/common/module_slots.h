// The slots of a module whose state is one struct (both extension modules):
// the struct lives behind one pointer in the module object, is made and
// filled when the module is executed, and is released in one place,
// whichever of the collector's clear and the module's free comes first.
#pragma once

#include "ref.h"

namespace zantu {

// The state of a module of this kind (null once released).
template <typename State>
State*& state_slot(PyObject* module) {
    return *static_cast<State**>(PyModule_GetState(module));
}

// `Fill(module, state)` fills a new state at import; `State` has
// `int traverse(visitproc, void*)`.
template <typename State, void (*Fill)(PyObject*, State&)>
struct StateModule {
    static State*& slot(PyObject* module) { return state_slot<State>(module); }

    static void release(PyObject* module) {
        State* state = slot(module);
        slot(module) = nullptr;
        delete state;
    }

    static int exec(PyObject* module) {
        return guarded(-1, [&] {
            slot(module) = new State();
            try {
                Fill(module, *slot(module));
            } catch (...) {
                release(module);
                throw;
            }
            return 0;
        });
    }

    static int traverse(PyObject* module, visitproc visit, void* arg) {
        State* state = slot(module);
        return state != nullptr ? state->traverse(visit, arg) : 0;
    }

    static int clear(PyObject* module) {
        release(module);
        return 0;
    }

    static void free(void* module) { release(static_cast<PyObject*>(module)); }

    // Executed once per module object; any interpreter may have its own.
    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(exec)},
#if PY_VERSION_HEX >= 0x030C0000
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
        {0, nullptr}};
};

}  // namespace zantu
