#include "lookup.h"

#include <structmember.h>

#include <atomic>
#include <string_view>

#include "calls.h"

namespace zantu {

namespace {

#if ZANTU_VERSION_TAGS || ZANTU_WATCHERS
// The instance dict of `obj`, for a type that keeps it at a fixed offset
// (none when the type has no dict slot, or the dict is not made yet).
PyObject* instance_dict(PyObject* obj) {
    Py_ssize_t offset = Py_TYPE(obj)->tp_dictoffset;
    if (offset <= 0) return nullptr;
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}
#endif

#if ZANTU_WATCHERS
// Every dict and type that a remembered answer depends on is watched, and
// any event on any of them moves this count: an answer taken at one count
// holds while the count has not moved.
// One count for every interpreter (each registers the same callbacks):
// another interpreter's changes only make answers here be looked up afresh.
std::atomic<uint64_t> changes{1};

int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    changes.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

int on_type_event(PyTypeObject*) {
    changes.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

uint64_t changes_now() { return changes.load(std::memory_order_relaxed); }
#endif

#if ZANTU_VERSION_TAGS || ZANTU_WATCHERS
// As the interpreter takes what a C function gives back: a result with an
// exception set, or none without one, is a SystemError (caused by the
// exception that was set).
Ref checked_result(PyObject* callable, PyObject* result) {
    if (result != nullptr && !PyErr_Occurred()) return Ref::steal(result);
#if ZANTU_VERSION_TAGS
    return Ref::check(_Py_CheckFunctionResult(PyThreadState_Get(), callable, result, nullptr));
#else
    if (result == nullptr) {
        if (!PyErr_Occurred()) raise(PyExc_SystemError, "%R returned NULL without setting an exception", callable);
        throw PyError();
    }
    Py_DECREF(result);
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_SystemError, "%R returned a result with an exception set", callable);
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetContext(error, Py_NewRef(cause));
    PyException_SetCause(error, cause);
    PyErr_SetRaisedException(error);
    throw PyError();
#endif
}
#endif

}  // namespace

void init_lookups() {
#if ZANTU_WATCHERS
    // An interpreter has a few watcher slots for every extension: with none
    // left, the lookups are made afresh (reported off), and import goes on.
    ModuleState& m = state();
    m.dict_watcher = PyDict_AddWatcher(on_dict_event);
    m.type_watcher = m.dict_watcher < 0 ? -1 : PyType_AddWatcher(on_type_event);
    if (m.dict_watcher < 0 || m.type_watcher < 0) {
        PyErr_Clear();
        release_watchers(m);
        return;
    }
#endif
    set_fast_path_usable(FastPath::cached_lookups, true);
}

DictState::DictState(PyObject* dict) : dict_(dict) {
    if (dict == nullptr) return;
#if ZANTU_VERSION_TAGS
    version_ = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#elif ZANTU_WATCHERS
    int dict_watcher = state().dict_watcher;
    if (dict_watcher < 0) return;
    if (PyDict_Watch(dict_watcher, dict) == 0) {
        version_ = changes_now();
    } else {
        PyErr_Clear();  // not watched: never taken as unchanged
    }
#endif
}

bool DictState::same(PyObject* dict) const {
    if (dict != dict_) return false;
    if (dict == nullptr) return true;
#if ZANTU_VERSION_TAGS
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag == version_;
#elif ZANTU_WATCHERS
    return version_ != 0 && version_ == changes_now();
#else
    return false;
#endif
}

bool MethodCall::unchanged(PyObject* obj) const {
#if ZANTU_VERSION_TAGS || ZANTU_WATCHERS
    const PyTypeObject* type = Py_TYPE(obj);
    return type == type_ && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0 &&
#if ZANTU_VERSION_TAGS
           type->tp_version_tag == type_version_ &&
#else
           type_version_ == changes_now() &&
#endif
           type->tp_getattro == PyObject_GenericGetAttr && instance_dict_.same(instance_dict(obj));
#else
    (void)obj;
    return false;
#endif
}

// Remembers the method when the lookup is the generic one and finds a
// function on the type that the instance does not shadow: it then depends
// on the type's attributes (its version) and on the instance dict alone.
// An attribute of the instance's own dict is handed back in `own` (what
// the lookup finds), and not remembered. Anything else (a data descriptor,
// a custom __getattribute__, a dict kept among the instance's values) is
// left to a full lookup every time (what is asked here before giving up on
// those runs no code of the caller's).
void MethodCall::remember(PyObject* obj, Ref& own) {
    method_ = Ref();
    direct_ = nullptr;
#if ZANTU_VERSION_TAGS || ZANTU_WATCHERS
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro != PyObject_GenericGetAttr || (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0 ||
        type->tp_dictoffset < 0) {
        return;
    }
    PyObject* found = _PyType_Lookup(type, name_);  // borrowed; sets no error
    if (found == nullptr || (Py_TYPE(found)->tp_flags & Py_TPFLAGS_METHOD_DESCRIPTOR) == 0 ||
        (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) == 0) {
        return;
    }
    // The method and the tags are taken before the instance dict is asked:
    // that lookup may run code (a key's __eq__) that changes the type or
    // the dict, and then the tags taken no longer match.
    Ref method = Ref::borrow(found);
#if ZANTU_VERSION_TAGS
    uint64_t type_version = type->tp_version_tag;
#else
    // A type with a valid version tag tells its watchers of any change to
    // itself or to a base (which then has a valid tag too).
    int type_watcher = state().type_watcher;
    if (type_watcher < 0) return;
    if (PyType_Watch(type_watcher, reinterpret_cast<PyObject*>(type)) < 0) {
        PyErr_Clear();  // not watched: never taken as unchanged
        return;
    }
    uint64_t type_version = changes_now();
#endif
    PyObject* dict = instance_dict(obj);
    DictState dict_state(dict);
    if (dict != nullptr) {
        if (!PyDict_CheckExact(dict)) return;
        Ref held = Ref::borrow(dict);
        if (PyObject* found_own = PyDict_GetItemWithError(dict, name_)) {
            own = Ref::borrow(found_own);
            return;
        }
        if (PyErr_Occurred()) throw PyError();
    }
    // A C method of one argument (as `write` of the io classes is) is
    // called as its descriptor calls it, without the generic dispatch.
    if (Py_IS_TYPE(method.get(), &PyMethodDescr_Type)) {
        auto* descr = reinterpret_cast<PyMethodDescrObject*>(method.get());
        if ((descr->d_method->ml_flags & ~METH_COEXIST) == METH_O && PyObject_TypeCheck(obj, descr->d_common.d_type)) {
            direct_ = descr->d_method->ml_meth;
        }
    }
    method_ = std::move(method);
    type_ = type;
    type_version_ = type_version;
    instance_dict_ = dict_state;
#else
    (void)obj;
    (void)own;
#endif
}

Ref MethodCall::operator()(PyObject* obj, PyObject* arg) {
    if (!fast_path(FastPath::cached_lookups)) return call_method(name_, obj, arg);
    if (!method_ || !unchanged(obj)) {
        Ref own;  // the instance's own attribute, which the lookup then answers with
        remember(obj, own);
        if (own) return call(own.get(), arg);
        if (!method_) return call_method(name_, obj, arg);
    }
#if ZANTU_VERSION_TAGS || ZANTU_WATCHERS
    if (direct_ != nullptr) {
        // What the descriptor's own call does once it has checked the
        // arguments (and the type, checked when it was remembered). The
        // descriptor stays held by method_, which nothing the call runs can
        // reach.
        if (Py_EnterRecursiveCall(" while calling a Python object") != 0) throw PyError();
        PyObject* result = direct_(obj, arg);
        Py_LeaveRecursiveCall();
        return checked_result(method_.get(), result);
    }
#endif
    Ref method = method_;  // held for the call, whatever the call changes
    PyObject* stack[] = {nullptr, obj, arg};
    return Ref::check(PyObject_Vectorcall(method.get(), stack + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref GlobalAttribute::get() {
    if (!fast_path(FastPath::cached_lookups)) return get_attr(module_global(module_, global_).get(), attribute_);
    // A module keeps one namespace dict for life.
    if (globals_dict_ == nullptr) globals_dict_ = PyModule_GetDict(module_);
    PyObject* globals = globals_dict_;
    if (value_ != nullptr && globals_.same(globals) && PyModule_CheckExact(object_) && namespace_.same(names_)) {
        return Ref::borrow(value_);
    }
    value_ = nullptr;
    // As module_global and get_attr look them up; remembered only when the
    // global is in the module's own namespace and the attribute in the
    // namespace of an exact module. A lookup that changes a namespace
    // leaves it with a version other than the one taken before.
    DictState globals_state(globals);
    PyObject* object = PyDict_GetItemWithError(globals, global_);
    if (object == nullptr) {
        if (PyErr_Occurred()) throw PyError();
        return get_attr(module_global(module_, global_).get(), attribute_);
    }
    Ref held = Ref::borrow(object);
    if (!PyModule_CheckExact(object) || is_dunder(attribute_)) return get_attr(object, attribute_);
    PyObject* names = PyModule_GetDict(object);
    DictState names_state(names);
    PyObject* value = PyDict_GetItemWithError(names, attribute_);
    if (value == nullptr) {
        if (PyErr_Occurred()) throw PyError();
        return Ref::check(PyObject_GetAttr(object, attribute_));
    }
    object_ = object;
    names_ = names;
    value_ = value;
    globals_ = globals_state;
    namespace_ = names_state;
    return Ref::borrow(value);
}

}  // namespace zantu
