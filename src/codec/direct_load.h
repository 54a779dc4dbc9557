// The in-memory reader's direct way for the package's own chain: a
// document (either form) read from its text straight into the chain,
// without the JSON library's lists. Taken only where the result is what
// the full path would give.
#pragma once

#include <optional>

#include "ref.h"

namespace zantu {

// Loads the document `text` (what file.read() gave to the genuine ujson)
// into `chain`, replacing what it holds, when `chain` is exactly the
// package's MarkovChain, the module's ProbabilityBag is the package's, and
// the document is one of ints, strs, nulls, booleans and arrays of these
// (states of several tokens) that reads without a fault. Returns false,
// having done nothing, for anything else: the full path then decodes the
// text and says what is wrong with it. `pause` (the
// collector's, on) is lifted while the chain lets go of what it held,
// whose __del__ may be the caller's code, and stays lifted if that code
// left the chain with anything in it.
bool load_directly(PyObject* module, PyObject* chain, PyObject* text, std::optional<CollectorPause>& pause);

}  // namespace zantu
