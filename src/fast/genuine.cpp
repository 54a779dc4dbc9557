#include "genuine.h"

#include "calls.h"
#include "module_state.h"

namespace zantu {

namespace {

// A copy of a dict of settings; null when it holds anything but str keys
// and str, bool, int or None values (nothing then is taken as unchanged).
Ref settings_copy(PyObject* dict) {
    if (dict == nullptr || !PyDict_CheckExact(dict)) return Ref();
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return Ref();
        if (!PyUnicode_CheckExact(value) && !PyBool_Check(value) && !PyLong_CheckExact(value) && value != Py_None) {
            return Ref();
        }
    }
    return Ref::check(PyDict_Copy(dict));
}

// Whether `dict` holds exactly what `copy` holds: the same keys, each with
// the same bool, None or int, or an equal str. Reads the exact dicts and
// compares exact strs only: runs no code of the caller's.
bool same_settings(PyObject* dict, PyObject* copy) {
    if (dict == nullptr || copy == nullptr || !PyDict_CheckExact(dict) ||
        PyDict_GET_SIZE(dict) != PyDict_GET_SIZE(copy)) {
        return false;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *expected;
    while (PyDict_Next(copy, &pos, &key, &expected)) {
        PyObject* value = dict_entry(dict, key);
        if (value == nullptr) return false;
        if (value == expected) continue;
        if (!PyUnicode_CheckExact(value) || !PyUnicode_CheckExact(expected) ||
            PyUnicode_Compare(value, expected) != 0) {
            return false;
        }
    }
    return true;
}

PyObject* function_defaults(PyObject* function) {
    PyObject* defaults = PyFunction_GetDefaults(function);
    return defaults != nullptr ? defaults : Py_None;
}

void remember_standard_json(PyObject* dumps) {
    if (dumps == nullptr || !PyFunction_Check(dumps)) return;
    Ref json = Ref::check(PyImport_ImportModule("json"));
    Ref encoder_module = Ref::check(PyImport_ImportModule("json.encoder"));
    PyObject* module_dict = PyModule_GetDict(json.get());
    PyObject* encoder_dict = PyModule_GetDict(encoder_module.get());
    StandardJson found;
    for (int i = 0; i < 8; ++i) {
        found.names[i] = Ref::check(PyUnicode_InternFromString(StandardJson::kNames[i]));
    }
    PyObject* default_encoder = dict_entry(module_dict, found.names[StandardJson::kEncoderName].get());
    Ref encoder_type_name = str("JSONEncoder");
    PyObject* encoder_type = dict_entry(encoder_dict, encoder_type_name.get());
    if (default_encoder == nullptr || encoder_type == nullptr || !PyType_Check(encoder_type) ||
        Py_TYPE(default_encoder) != reinterpret_cast<PyTypeObject*>(encoder_type)) {
        return;
    }
    Ref kwdefaults = settings_copy(PyFunction_GetKwDefaults(dumps));
    Ref instance_dict = Ref::check(PyObject_GenericGetDict(default_encoder, nullptr));
    Ref settings = settings_copy(instance_dict.get());
    if (!kwdefaults || !settings) return;
    PyObject* type_dict = reinterpret_cast<PyTypeObject*>(encoder_type)->tp_dict;
    for (int i = 0; i < 2; ++i) {
        PyObject* method = dict_entry(type_dict, found.names[StandardJson::kFirstMethod + i].get());
        if (method == nullptr || !PyFunction_Check(method)) return;
        found.methods[i] = Ref::borrow(method);
        found.method_codes[i] = Ref::borrow(PyFunction_GET_CODE(method));
        found.method_defaults[i] = Ref::borrow(function_defaults(method));
    }
    for (int i = 0; i < 5; ++i) {
        found.helpers[i] = Ref::borrow(dict_entry(encoder_dict, found.names[StandardJson::kFirstHelper + i].get()));
    }
    found.module_dict = Ref::borrow(module_dict);
    found.encoder_dict = Ref::borrow(encoder_dict);
    found.dumps_code = Ref::borrow(PyFunction_GET_CODE(dumps));
    found.kwdefaults = std::move(kwdefaults);
    found.default_encoder = Ref::borrow(default_encoder);
    found.settings = std::move(settings);
    found.encoder_type = Ref::borrow(encoder_type);
    state().standard = std::move(found);
}

// Whether the standard json.dumps (`dumps`, which is it) would still write
// a value with its default settings: everything it relies on is as it was
// at import. Runs no code of the caller's.
bool standard_json_unchanged(PyObject* dumps) {
    const StandardJson& j = state().standard;
    if (!j.settings || PyFunction_GET_CODE(dumps) != j.dumps_code.get() ||
        !same_settings(PyFunction_GetKwDefaults(dumps), j.kwdefaults.get()) ||
        dict_entry(j.module_dict.get(), j.names[StandardJson::kEncoderName].get()) != j.default_encoder.get() ||
        Py_TYPE(j.default_encoder.get()) != reinterpret_cast<PyTypeObject*>(j.encoder_type.get())) {
        return false;
    }
    // The generic __dict__ of a plain instance: made if need be, no code runs.
    Ref instance_dict = Ref::check(PyObject_GenericGetDict(j.default_encoder.get(), nullptr));
    if (!same_settings(instance_dict.get(), j.settings.get())) return false;
    PyObject* type_dict = reinterpret_cast<PyTypeObject*>(j.encoder_type.get())->tp_dict;
    for (int i = 0; i < 2; ++i) {
        PyObject* method = dict_entry(type_dict, j.names[StandardJson::kFirstMethod + i].get());
        if (method != j.methods[i].get() || PyFunction_GET_CODE(method) != j.method_codes[i].get() ||
            function_defaults(method) != j.method_defaults[i].get()) {
            return false;
        }
    }
    for (int i = 0; i < 5; ++i) {
        if (dict_entry(j.encoder_dict.get(), j.names[StandardJson::kFirstHelper + i].get()) != j.helpers[i].get()) {
            return false;
        }
    }
    return true;
}

void remember_encoders() {
    ModuleState& m = state();
    struct Genuine {
        const char* module;
        PyObject* name;
        Ref* slot;
    };
    for (const Genuine& g : {Genuine{"ujson", interned().dumps, &m.ujson_dumps},
                             Genuine{"ujson", interned().dump, &m.ujson_dump},
                             Genuine{"ujson", interned().load, &m.ujson_load},
                             Genuine{"ujson", interned().loads, &m.ujson_loads},
                             Genuine{"json", interned().dumps, &m.standard_dumps},
                             Genuine{"collections", interned().OrderedDict, &m.ordered_dict}}) {
        PyObject* module = PyImport_ImportModule(g.module);
        if (module == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw PyError();
            PyErr_Clear();
            continue;
        }
        Ref held = Ref::steal(module);
        *g.slot = get_attr(module, g.name);
    }
    remember_standard_json(m.standard_dumps.get());
    set_fast_path_usable(FastPath::encoder_texts, m.ujson_dumps || m.standard.settings);
    set_fast_path_usable(FastPath::document_text, m.ujson_dump && m.ujson_dumps && m.ordered_dict);
    bool ujson_loads_found = m.ujson_load && m.ujson_loads;
    set_fast_path_usable(FastPath::ujson_load, ujson_loads_found);
    set_fast_path_usable(FastPath::direct_load, ujson_loads_found);
}

Py_ssize_t code_count(PyObject* code, const char* attribute) {
    Ref n = Ref::check(PyObject_GetAttrString(code, attribute));
    return check_size(PyLong_AsSsize_t(n.get()));
}

// Whether the function of `code` takes an argument called `name` by name.
bool takes_by_name(PyObject* code, PyObject* name) {
    Ref names = Ref::check(PyObject_GetAttrString(code, "co_varnames"));
    if (!PyTuple_Check(names.get())) return false;
    Py_ssize_t first = code_count(code, "co_posonlyargcount");
    Py_ssize_t end = code_count(code, "co_argcount") + code_count(code, "co_kwonlyargcount");
    for (Py_ssize_t i = first; i < end && i < PyTuple_GET_SIZE(names.get()); ++i) {
        if (check_status(PyObject_RichCompareBool(PyTuple_GET_ITEM(names.get(), i), name, Py_EQ))) return true;
    }
    return false;
}

void remember_parser() {
    Ref ijson = Ref::check(PyImport_ImportModule("ijson"));
    Ref basic_parse = get_attr(ijson.get(), interned().basic_parse);
    if (PyFunction_Check(basic_parse.get())) {
        PyObject* code = PyFunction_GET_CODE(basic_parse.get());
        if (takes_by_name(code, interned().buf_size)) state().basic_parse_code = Ref::borrow(code);
    }
    set_fast_path_usable(FastPath::parser_blocks, bool(state().basic_parse_code));
}

}  // namespace

void remember_genuine(PyObject* object_builder) {
    remember_parser();
    Ref math = Ref::check(PyImport_ImportModule("math"));
    state().log10 = get_attr(math.get(), interned().log10);
    set_fast_path_usable(FastPath::native_log10, true);
    remember_encoders();
    state().object_builder = Ref::borrow(object_builder);
    set_fast_path_usable(FastPath::native_builder, true);
    // The codec's own tricks rely on nothing found here.
    for (FastPath own : {FastPath::piece_caches, FastPath::sorted_values, FastPath::held_rows,
                          FastPath::resting_bags}) {
        set_fast_path_usable(own, true);
    }
    Ref io = Ref::check(PyImport_ImportModule("io"));
    Ref bytes_io = Ref::check(PyObject_GetAttrString(io.get(), "BytesIO"));
    Ref buffered = Ref::check(PyObject_GetAttrString(io.get(), "BufferedReader"));
    Ref file_io = Ref::check(PyObject_GetAttrString(io.get(), "FileIO"));
    state().binary_files = Ref::check(PyTuple_Pack(3, bytes_io.get(), buffered.get(), file_io.get()));
}

bool is_ujson_dumps(PyObject* function) { return function != nullptr && function == state().ujson_dumps.get(); }

bool is_ujson_dump(PyObject* function) { return function != nullptr && function == state().ujson_dump.get(); }

bool is_ujson_load(PyObject* function) {
    return function != nullptr && function == state().ujson_load.get() && state().ujson_loads;
}

bool is_unchanged_standard_dumps(PyObject* function) {
    return function != nullptr && function == state().standard_dumps.get() && standard_json_unchanged(function);
}

bool is_genuine_ordered_dict(PyObject* cls) { return cls != nullptr && cls == state().ordered_dict.get(); }

bool is_math_log10(PyObject* function) { return function != nullptr && function == state().log10.get(); }

bool is_ijson_object_builder(PyObject* cls) { return cls != nullptr && cls == state().object_builder.get(); }

bool is_ijson_basic_parse(PyObject* function) {
    PyObject* code = state().basic_parse_code.get();
    return code != nullptr && PyFunction_Check(function) && PyFunction_GET_CODE(function) == code;
}

}  // namespace zantu
