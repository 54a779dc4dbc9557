// The in-memory codec: the whole document is built, or decoded, as Python
// objects in one call of the encoder bound as `json`.
#pragma once

#include "ref.h"

namespace zantu {

// dump_json_small(chain, file, frequency_compress=True). Throws PyError.
void dump_json_small(PyObject* module, PyObject* chain, PyObject* file, PyObject* frequency_compress);

// load_json_small(chain, file, merge=False). Throws PyError.
void load_json_small(PyObject* module, PyObject* chain, PyObject* file, PyObject* merge);

}  // namespace zantu
