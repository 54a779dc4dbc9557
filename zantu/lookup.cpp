#include "lookup.h"

#include <structmember.h>

#include <string_view>

#include "chain_calls.h"

namespace zantu {

// The tags read here are CPython 3.11's (PyDictObject.ma_version_tag, and
// the type's tp_version_tag with Py_TPFLAGS_VALID_VERSION_TAG); later
// versions deprecate the dict's.
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
#define ZANTU_VERSION_TAGS 1
#else
#define ZANTU_VERSION_TAGS 0
#endif

namespace {

#if ZANTU_VERSION_TAGS
// The instance dict of `obj`, for a type that keeps it at a fixed offset
// (none when the type has no dict slot, or the dict is not made yet).
PyObject* instance_dict(PyObject* obj) {
    Py_ssize_t offset = Py_TYPE(obj)->tp_dictoffset;
    if (offset <= 0) return nullptr;
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}
#endif

}  // namespace

DictState::DictState(PyObject* dict) : dict_(dict) {
#if ZANTU_VERSION_TAGS
    if (dict != nullptr) version_ = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#endif
}

bool DictState::same(PyObject* dict) const {
#if ZANTU_VERSION_TAGS
    return dict == dict_ && (dict == nullptr || reinterpret_cast<PyDictObject*>(dict)->ma_version_tag == version_);
#else
    (void)dict;
    return false;
#endif
}

bool MethodCall::unchanged(PyObject* obj) const {
#if ZANTU_VERSION_TAGS
    const PyTypeObject* type = Py_TYPE(obj);
    return type == type_ && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0 &&
           type->tp_version_tag == type_version_ && type->tp_getattro == PyObject_GenericGetAttr &&
           instance_dict_.same(instance_dict(obj));
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
#if ZANTU_VERSION_TAGS
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
    unsigned int type_version = type->tp_version_tag;
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
    if (!method_ || !unchanged(obj)) {
        Ref own;  // the instance's own attribute, which the lookup then answers with
        remember(obj, own);
        if (own) return call(own.get(), arg);
        if (!method_) return call_method(name_, obj, arg);
    }
#if ZANTU_VERSION_TAGS
    if (direct_ != nullptr) {
        // What the descriptor's own call does once it has checked the
        // arguments (and the type, checked when it was remembered). The
        // descriptor stays held by method_, which nothing the call runs can
        // reach.
        PyThreadState* thread = PyThreadState_Get();
        if (Py_EnterRecursiveCall(" while calling a Python object") != 0) throw PyError();
        PyObject* result = direct_(obj, arg);
        Py_LeaveRecursiveCall();
        // A result and no exception set: what the check passes unchanged.
        if (result != nullptr && thread->curexc_type == nullptr) return Ref::steal(result);
        return Ref::check(_Py_CheckFunctionResult(thread, method_.get(), result, nullptr));
    }
#endif
    Ref method = method_;  // held for the call, whatever the call changes
    PyObject* stack[] = {nullptr, obj, arg};
    return Ref::check(PyObject_Vectorcall(method.get(), stack + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref GlobalAttribute::get() {
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

namespace {

#if ZANTU_VERSION_TAGS
// A property as CPython 3.11 lays it out; checked at import.
struct PropertyLayout {
    PyObject_HEAD
    PyObject* prop_get;
};

PyObject* property_getter(PyObject* property) { return reinterpret_cast<PropertyLayout*>(property)->prop_get; }

PyObject* function_builtins(PyObject* function) {
    return reinterpret_cast<PyFunctionObject*>(function)->func_builtins;
}

// What the bag's two methods do, compiled here: their code is compared
// with this code (not with what the class held at import, which the
// caller may already have changed).
constexpr const char* kGenuineSource =
    "def unique_count(self):\n"
    "    return len(self._counts)\n"
    "def choices(self):\n"
    "    return iter(self._counts.items())\n";

// References owned by the module (release_genuine_bag clears them); plain
// pointers, so that nothing is released at exit after the interpreter.
struct GenuineBag {
    PyObject* type = nullptr;          // zantu.bag.ProbabilityBag
    PyObject* choices_code = nullptr;  // compiled from kGenuineSource
    PyObject* count_code = nullptr;
    PyObject* iter = nullptr;  // builtins.iter and builtins.len
    PyObject* len = nullptr;
    // The last look that found both methods the package's own: the function
    // `choices`, the property `unique_count`, its getter, the code of both
    // functions (held, so that a pointer compared is never a newer
    // object's), the tags read, and where the slot of the pairs lies.
    bool found = false;
    PyObject* choices = nullptr;
    PyObject* property = nullptr;
    PyObject* getter = nullptr;
    PyObject* choices_found_code = nullptr;
    PyObject* getter_found_code = nullptr;
    unsigned int type_version = 0;
    DictState globals;
    DictState builtins;
    Py_ssize_t offset = 0;

    void forget() {
        found = false;
        Py_CLEAR(choices);
        Py_CLEAR(property);
        Py_CLEAR(getter);
        Py_CLEAR(choices_found_code);
        Py_CLEAR(getter_found_code);
    }
    void clear() {
        forget();
        Py_CLEAR(type);
        Py_CLEAR(choices_code);
        Py_CLEAR(count_code);
        Py_CLEAR(iter);
        Py_CLEAR(len);
    }
};

GenuineBag genuine;

// Whether `code` does what `reference` does: the same instructions on the
// same names, taking the same arguments.
bool same_code(PyObject* code, PyObject* reference) {
    if (!PyCode_Check(code)) return false;
    for (const char* attribute : {"co_code", "co_names", "co_exceptiontable", "co_argcount", "co_posonlyargcount",
                                  "co_kwonlyargcount", "co_nlocals", "co_freevars", "co_cellvars"}) {
        Ref mine = Ref::check(PyObject_GetAttrString(code, attribute));
        Ref theirs = Ref::check(PyObject_GetAttrString(reference, attribute));
        if (check_status(PyObject_RichCompareBool(mine.get(), theirs.get(), Py_EQ)) == 0) return false;
    }
    constexpr int kKinds = CO_GENERATOR | CO_COROUTINE | CO_ITERABLE_COROUTINE | CO_ASYNC_GENERATOR | CO_VARARGS |
                           CO_VARKEYWORDS;
    return (reinterpret_cast<PyCodeObject*>(code)->co_flags & kKinds) ==
           (reinterpret_cast<PyCodeObject*>(reference)->co_flags & kKinds);
}

// Whether a function with these namespaces finds `name` as `builtin`: not
// in its globals, and `builtin` itself in its builtins.
bool finds_builtin(PyObject* globals, PyObject* builtins, PyObject* name, PyObject* builtin) {
    if (PyDict_GetItemWithError(globals, name) != nullptr) return false;
    if (PyErr_Occurred()) throw PyError();
    PyObject* found = PyDict_GetItemWithError(builtins, name);
    if (found == nullptr && PyErr_Occurred()) throw PyError();
    return found == builtin;
}

// Whether the remembered look still holds: nothing it read has changed.
bool still_genuine() {
    const GenuineBag& g = genuine;
    auto* type = reinterpret_cast<PyTypeObject*>(g.type);
    return g.found && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0 && type->tp_version_tag == g.type_version &&
           PyFunction_GET_CODE(g.choices) == g.choices_found_code &&
           PyFunction_GET_CODE(g.getter) == g.getter_found_code && property_getter(g.property) == g.getter &&
           g.globals.same(PyFunction_GET_GLOBALS(g.choices)) && g.builtins.same(function_builtins(g.choices));
}

// Looks at the class afresh: whether an attribute lookup on its instances
// is the generic one and finds the package's own `choices`, `unique_count`
// and `_counts` slot. Remembered when it does.
bool look_again() {
    GenuineBag& g = genuine;
    g.forget();
    auto* type = reinterpret_cast<PyTypeObject*>(g.type);
    // Without an instance dict, nothing of an instance's own shadows them.
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_dictoffset != 0 ||
        (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0) {
        return false;
    }
    PyObject* choices = _PyType_Lookup(type, interned.choices);  // borrowed; sets no error
    PyObject* property = _PyType_Lookup(type, interned.unique_count);
    PyObject* slot = _PyType_Lookup(type, interned._counts);
    if ((type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) == 0) return false;
    unsigned int type_version = type->tp_version_tag;
    if (choices == nullptr || !Py_IS_TYPE(choices, &PyFunction_Type) || property == nullptr ||
        !Py_IS_TYPE(property, &PyProperty_Type)) {
        return false;
    }
    Py_ssize_t offset = object_slot_offset(slot, type);
    if (offset < 0) return false;
    PyObject* getter = property_getter(property);
    if (getter == nullptr || !Py_IS_TYPE(getter, &PyFunction_Type)) return false;
    PyObject* globals = PyFunction_GET_GLOBALS(choices);
    PyObject* builtins = function_builtins(choices);
    if (PyFunction_GET_GLOBALS(getter) != globals || function_builtins(getter) != builtins ||
        !PyDict_CheckExact(globals) || !PyDict_CheckExact(builtins)) {
        return false;
    }
    // Held, and the tags taken, before anything that may run code (the
    // __eq__ of a key in a namespace); whatever that code changes leaves a
    // tag other than the one taken.
    Ref held_choices = Ref::borrow(choices);
    Ref held_property = Ref::borrow(property);
    Ref held_getter = Ref::borrow(getter);
    Ref choices_code = Ref::borrow(PyFunction_GET_CODE(choices));
    Ref getter_code = Ref::borrow(PyFunction_GET_CODE(getter));
    Ref held_globals = Ref::borrow(globals);
    Ref held_builtins = Ref::borrow(builtins);
    DictState globals_state(globals);
    DictState builtins_state(builtins);
    if (!same_code(choices_code.get(), g.choices_code) || !same_code(getter_code.get(), g.count_code) ||
        !finds_builtin(globals, builtins, interned.len, g.len) ||
        !finds_builtin(globals, builtins, interned.iter, g.iter)) {
        return false;
    }
    // Remembered as found, then asked whether it still holds: the code run
    // by the comparisons above may have changed what was read before them.
    g.choices = held_choices.release();
    g.property = held_property.release();
    g.getter = held_getter.release();
    g.choices_found_code = choices_code.release();
    g.getter_found_code = getter_code.release();
    g.type_version = type_version;
    g.globals = globals_state;
    g.builtins = builtins_state;
    g.offset = offset;
    g.found = true;
    if (still_genuine()) return true;
    g.forget();
    return false;
}

// builtins.<name>, when it is the interpreter's own builtin of that name.
Ref own_builtin(PyObject* builtins_module, const char* name) {
    Ref value = Ref::check(PyObject_GetAttrString(builtins_module, name));
    if (!PyCFunction_CheckExact(value.get())) return Ref();
    auto* function = reinterpret_cast<PyCFunctionObject*>(value.get());
    if (function->m_self != builtins_module || std::string_view(function->m_ml->ml_name) != name) return Ref();
    return value;
}
#endif

}  // namespace

Py_ssize_t object_slot_offset(PyObject* descriptor, PyTypeObject* type) {
    if (descriptor == nullptr || !Py_IS_TYPE(descriptor, &PyMemberDescr_Type)) return -1;
    const auto* member = reinterpret_cast<PyMemberDescrObject*>(descriptor);
    if (member->d_common.d_type != type || member->d_member->type != T_OBJECT_EX || member->d_member->offset <= 0) {
        return -1;
    }
    return member->d_member->offset;
}

void init_genuine_bag(PyObject* bag_class) {
    release_genuine_bag();
#if ZANTU_VERSION_TAGS
    Ref builtins = Ref::check(PyImport_ImportModule("builtins"));
    Ref iter = own_builtin(builtins.get(), "iter");
    Ref len = own_builtin(builtins.get(), "len");
    if (!iter || !len || !PyType_Check(bag_class)) return;
    Ref code = Ref::check(Py_CompileString(kGenuineSource, "<zantu_cjson>", Py_file_input));
    Ref names = Ref::check(PyDict_New());
    check_status(PyDict_SetItemString(names.get(), "__builtins__", builtins.get()));
    Ref ran = Ref::check(PyEval_EvalCode(code.get(), names.get(), names.get()));
    PyObject* choices = PyDict_GetItemString(names.get(), "choices");
    PyObject* count = PyDict_GetItemString(names.get(), "unique_count");
    if (choices == nullptr || count == nullptr) return;
    // Where this interpreter keeps a property's getter.
    Ref probe = Ref::check(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), count));
    if (property_getter(probe.get()) != count) return;
    genuine.choices_code = Ref::borrow(PyFunction_GET_CODE(choices)).release();
    genuine.count_code = Ref::borrow(PyFunction_GET_CODE(count)).release();
    genuine.iter = iter.release();
    genuine.len = len.release();
    genuine.type = Ref::borrow(bag_class).release();
#else
    (void)bag_class;
#endif
}

void release_genuine_bag() {
#if ZANTU_VERSION_TAGS
    genuine.clear();
#endif
}

PyObject* genuine_bag_pairs(PyObject* bag) {
#if ZANTU_VERSION_TAGS
    if (genuine.type == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(bag)) != genuine.type) return nullptr;
    if (!still_genuine() && !look_again()) return nullptr;
    PyObject* pairs = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(bag) + genuine.offset);
    return pairs != nullptr && PyDict_CheckExact(pairs) ? pairs : nullptr;
#else
    (void)bag;
    return nullptr;
#endif
}

}  // namespace zantu
