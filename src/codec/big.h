// The streaming codec: the document is written piece by piece with
// file.write, and read through the events of the parser bound as `ijson`.
#pragma once

#include "events.h"
#include "ref.h"

namespace zantu {

// dump_json_big(chain, file, frequency_compress=True). Throws PyError.
void dump_json_big(PyObject* module, PyObject* chain, PyObject* file, PyObject* frequency_compress);

// load_json_big(chain, file, merge=False). Throws PyError.
void load_json_big(PyObject* module, PyObject* chain, PyObject* file, PyObject* merge);

}  // namespace zantu

namespace zantu {

// The reader's own types, made for `module`.
void init_stream_types(PyObject* module);

}  // namespace zantu
