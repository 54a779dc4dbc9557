// Whether a dependency is still the very one found at import: the records
// behind the shortcuts that stand in for a dependency's own work (ujson's
// and the standard json's texts, ujson's load, math.log10, ijson's
// ObjectBuilder and basic_parse). Each record is taken once, at import,
// into the module's state, and each question here compares against it
// without running any code of the caller's. Every use also asks
// fast_path() for its shortcut.
#pragma once

#include "ref.h"

namespace zantu {

// Takes every record, and marks usable the shortcuts whose dependency was
// found: ujson's functions, json.dumps of the standard library (and what
// it relies on), collections.OrderedDict, math.log10, ijson's
// basic_parse; `object_builder` is the ObjectBuilder bound at import.
void remember_genuine(PyObject* object_builder);

bool is_ujson_dumps(PyObject* function);
bool is_ujson_dump(PyObject* function);
// ujson's own load, with its own loads found too (what its load calls).
bool is_ujson_load(PyObject* function);
// The standard library's json.dumps, which would still write a value with
// its default settings: everything it relies on is as it was at import.
bool is_unchanged_standard_dumps(PyObject* function);
// collections.OrderedDict itself.
bool is_genuine_ordered_dict(PyObject* cls);
bool is_math_log10(PyObject* function);
bool is_ijson_object_builder(PyObject* cls);
// A basic_parse made from ijson's own function (every backend's is: they
// share its code object and signature), which takes buf_size by name.
bool is_ijson_basic_parse(PyObject* function);

}  // namespace zantu
