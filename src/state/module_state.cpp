#include "module_state.h"

#include "module_slots.h"

namespace zantu {

namespace detail {
thread_local ModuleState* active_state __attribute__((tls_model("initial-exec"))) = nullptr;
}  // namespace detail

void Interned::make() {
#define ZANTU_MAKE_NAME(name)                              \
    name = PyUnicode_InternFromString(#name);              \
    if (name == nullptr) throw PyError();
    ZANTU_INTERNED_NAMES(ZANTU_MAKE_NAME)
#undef ZANTU_MAKE_NAME
    kw_count = PyTuple_Pack(1, count);
    if (kw_count == nullptr) throw PyError();
    kw_key = PyTuple_Pack(1, key);
    if (kw_key == nullptr) throw PyError();
    kw_buf_size = PyTuple_Pack(1, buf_size);
    if (kw_buf_size == nullptr) throw PyError();
}

Interned::~Interned() {
#define ZANTU_DROP_NAME(name) Py_CLEAR(name);
    ZANTU_INTERNED_NAMES(ZANTU_DROP_NAME)
#undef ZANTU_DROP_NAME
    Py_CLEAR(kw_count);
    Py_CLEAR(kw_key);
    Py_CLEAR(kw_buf_size);
}

void release_watchers(ModuleState& m) {
    m.fast.set_usable(FastPath::cached_lookups, false);
#if ZANTU_WATCHERS
    // Called while the module is freed: an error here has no one to go to.
    if (m.dict_watcher >= 0 && PyDict_ClearWatcher(m.dict_watcher) < 0) PyErr_Clear();
    if (m.type_watcher >= 0 && PyType_ClearWatcher(m.type_watcher) < 0) PyErr_Clear();
#endif
    m.dict_watcher = m.type_watcher = -1;
}

ModuleState::~ModuleState() { release_watchers(*this); }

int ModuleState::traverse(visitproc visit, void* arg) {
#define ZANTU_VISIT_OBJECT(name) Py_VISIT(name.get());
    ZANTU_HELD_OBJECTS(ZANTU_VISIT_OBJECT)
#undef ZANTU_VISIT_OBJECT
    return 0;
}

ModuleState* module_state(PyObject* module) { return state_slot<ModuleState>(module); }

ActiveState::ActiveState(PyObject* module) : previous_(detail::active_state) {
    ModuleState* s = module_state(module);
    if (s == nullptr) raise(PyExc_SystemError, "the module zantu_cjson is being torn down");
    detail::active_state = s;
}

}  // namespace zantu
