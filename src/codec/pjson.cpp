// The module's entry: what importing zantu_cjson sets up, and how the four
// exported functions bind their arguments.
#include <iterator>

#include "big.h"
#include "chain_calls.h"
#include "codes.h"
#include "fast_path.h"
#include "genuine.h"
#include "json_text.h"
#include "lookup.h"
#include "module_state.h"
#include "peek.h"
#include "small.h"
#include "module_slots.h"
#include "yajl_parser.h"

namespace zantu {
namespace {

// Whether keyword `key` equals parameter `name` (identity first).
bool same_name(PyObject* name, PyObject* key) {
    if (name == key) return true;
    if (PyUnicode_GET_LENGTH(name) != PyUnicode_GET_LENGTH(key)) return false;
    int cmp = PyUnicode_Compare(name, key);
    if (cmp == -1 && PyErr_Occurred()) throw PyError();
    return cmp == 0;
}

[[noreturn]] void raise_count(const char* function, Py_ssize_t given) {
    bool too_few = given < 2;
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", function,
          too_few ? "at least" : "at most", Py_ssize_t(too_few ? 2 : 3), "s", given);
}

// Binds (chain, file, flag) from positional and keyword arguments. The two
// required parameters are found first; then every keyword must name a
// parameter not already given by position.
void bind(const char* function, PyObject* flag_name, PyObject* args, PyObject* kwargs, Ref (&values)[3]) {
    PyObject* names[3] = {interned().chain, interned().file, flag_name};
    Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given > 3) raise_count(function, given);
    for (Py_ssize_t i = 0; i < given; ++i) values[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
    if (kwargs == nullptr) {
        if (given < 2) raise_count(function, given);
        return;
    }
    Py_ssize_t unread = PyDict_Size(kwargs);
    for (Py_ssize_t i = given; i < 3; ++i) {
        PyObject* value = PyDict_GetItemWithError(kwargs, names[i]);
        if (value == nullptr && PyErr_Occurred()) throw PyError();
        if (value != nullptr) {
            values[i] = Ref::borrow(value);
            --unread;
        } else if (i == 0) {
            raise_count(function, given);
        } else if (i == 1) {
            raise_count(function, 1);
        }
    }
    if (unread <= 0) return;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "%.200s() keywords must be strings", function);
        bool known = false;
        for (Py_ssize_t i = given; i < 3 && !known; ++i) known = same_name(names[i], key);
        if (known) continue;
        for (Py_ssize_t i = 0; i < given; ++i) {
            if (same_name(names[i], key)) {
                raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", function, key);
            }
        }
        raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
    }
}

using Codec = void (*)(PyObject*, PyObject*, PyObject*, PyObject*);
using FlagName = PyObject* Interned::*;

// Binds the arguments and runs the codec with the module's state; the
// boundary where a C++ error becomes a NULL return with the Python
// exception set.
PyObject* run(const char* function, FlagName flag_name, PyObject* flag_default, Codec codec, PyObject* module,
              PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        ActiveState active(module);
        Ref values[3];
        values[2] = Ref::borrow(flag_default);
        bind(function, interned().*flag_name, args, kwargs, values);
        codec(module, values[0].get(), values[1].get(), values[2].get());
        Py_RETURN_NONE;
    });
}

PyObject* py_dump_json_small(PyObject* module, PyObject* args, PyObject* kwargs) {
    return run("dump_json_small", &Interned::frequency_compress, Py_True, dump_json_small, module, args, kwargs);
}
PyObject* py_load_json_small(PyObject* module, PyObject* args, PyObject* kwargs) {
    return run("load_json_small", &Interned::merge, Py_False, load_json_small, module, args, kwargs);
}
PyObject* py_dump_json_big(PyObject* module, PyObject* args, PyObject* kwargs) {
    return run("dump_json_big", &Interned::frequency_compress, Py_True, dump_json_big, module, args, kwargs);
}
PyObject* py_load_json_big(PyObject* module, PyObject* args, PyObject* kwargs) {
    return run("load_json_big", &Interned::merge, Py_False, load_json_big, module, args, kwargs);
}

PyMethodDef functions[] = {
    {"dump_json_small", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_dump_json_small)),
     METH_VARARGS | METH_KEYWORDS,
     "dump_json_small($module, /, chain, file, frequency_compress=True)\n--\n\n"
     "Save `chain` to the text file `file` as one chain document, built in\n"
     "memory and written by a single json.dump call. With a true\n"
     "`frequency_compress` values are replaced by codes from a code table\n"
     "ranked by frequency; with a false one they are written as themselves."},
    {"load_json_small", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_load_json_small)),
     METH_VARARGS | METH_KEYWORDS,
     "load_json_small($module, /, chain, file, merge=False)\n--\n\n"
     "Load a chain document from `file` with a single json.load call. With a\n"
     "false `merge` the chain's content is replaced (clear, then one\n"
     "ProbabilityBag per start through set_bag); with a true one every count\n"
     "is added through add_to_bag. A document that cannot be decoded raises\n"
     "before the chain is touched."},
    {"dump_json_big", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_dump_json_big)),
     METH_VARARGS | METH_KEYWORDS,
     "dump_json_big($module, /, chain, file, frequency_compress=True)\n--\n\n"
     "Save `chain` to the text file `file` as one chain document, written\n"
     "piece by piece with file.write; memory grows with the number of\n"
     "distinct values only. Raises ValueError when len(chain) or a bag's\n"
     "unique_count disagrees with what its iteration yields."},
    {"load_json_big", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_load_json_big)),
     METH_VARARGS | METH_KEYWORDS,
     "load_json_big($module, /, chain, file, merge=False)\n--\n\n"
     "Load a chain document from `file` through the event parser bound as\n"
     "ijson, handing every (item, count) pair to chain.add_to_bag as soon as\n"
     "it is read; memory is bounded by the code table and the largest item.\n"
     "With a false `merge` the chain is cleared before the first pair. While\n"
     "ijson is one of ijson's yajl backends, that backend's yajl is driven\n"
     "directly, with the same results."},
    {"__fast_paths__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fast_paths)),
     METH_VARARGS | METH_KEYWORDS, kFastPathsDoc},
    {nullptr, nullptr, 0, nullptr}};

void set_global(PyObject* module, const char* name, const Ref& value) {
    check_status(PyModule_AddObjectRef(module, name, value.get()));
}

// `import name`, or with `attribute`, `from name import attribute`.
Ref import(const char* name, const char* attribute = nullptr) {
    Ref module = Ref::check(PyImport_ImportModule(name));
    if (attribute == nullptr) return module;
    PyObject* value = PyObject_GetAttrString(module.get(), attribute);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", attribute, name);
    }
    return Ref::check(value);
}

// `import preferred`, falling back to `import fallback` on ImportError only.
Ref import_preferring(const char* preferred, const char* fallback) {
    PyObject* module = PyImport_ImportModule(preferred);
    if (module != nullptr) return Ref::steal(module);
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw PyError();
    PyErr_Clear();
    return import(fallback);
}

// What the module finds and makes at import, in order, into its state
// (the active one) and its namespace.
void fill_module(PyObject* module) {
    state().interned.make();
    init_builtins();
    init_codes();
    init_lookups();
    // The package's bag: what the readers make. Its chain and bag types are
    // filled and read directly (chain_calls.h).
    Ref bag_class = import("zantu.bag", "ProbabilityBag");
    init_peek();
    init_native();
    set_global(module, "json", import_preferring("ujson", "json"));
    set_global(module, "math", import("math"));
    set_global(module, "OrderedDict", import("collections", "OrderedDict"));
    Ref object_builder = import("ijson", "ObjectBuilder");
    set_global(module, "ObjectBuilder", object_builder);
    remember_genuine(object_builder.get());
    init_stream_types(module);
    set_global(module, "ProbabilityBag", bag_class);
    set_global(module, "ijson", import_preferring("ijson.backends.yajl2_cffi", "ijson"));
    // ijson's yajl backends imported by now (the bound one, and the ijson
    // package's choice), with their yajl.
    remember_yajl();
    // The functions after the names they use, as the namespace has always
    // been ordered.
    check_status(PyModule_AddFunctions(module, functions));
    set_global(module, "__test__", Ref::check(PyDict_New()));
}

// At import: the new state made the active one while it is filled.
void fill_state(PyObject* module, ModuleState&) {
    ActiveState active(module);
    fill_module(module);
}

using Module = StateModule<ModuleState, fill_state>;

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "zantu_cjson", nullptr, sizeof(ModuleState*), nullptr,
                          Module::slots, Module::traverse, Module::clear, Module::free};

}  // namespace
}  // namespace zantu

PyMODINIT_FUNC PyInit_zantu_cjson() { return PyModuleDef_Init(&zantu::module_def); }
