// The codec's shortcuts: ways to the very result of a plain path that lean
// on how this interpreter is built, or on a dependency still being the one
// found at import. Every use asks fast_path() first and takes the plain
// path when it says no, so that with every shortcut off the codec is
// correct on its own (the suite runs once that way).
//
// This is the one place that looks at the interpreter's release; the
// records of "still the genuine dependency" are in genuine.h, the
// interpreter's own layouts in lookup.h and peek.h. The shortcuts, and what
// each needs:
//   cached_lookups  file.write, json.dumps and math.log10 answered from the
//                   last lookup while nothing it depends on has changed:
//                   the dicts' and types' version tags on 3.11, dict and
//                   type watchers on 3.12 and later (lookup.h);
//   iterator_views  the entries a dict, list or tuple iterator hands out
//                   next, asked of the memory ahead of time, on the
//                   iterator layouts of 3.11 to 3.13, checked at import
//                   (peek.h);
//   encoder_texts   the text of plain values made natively while json.dumps
//                   is ujson's own or the standard json's, unchanged;
//   document_text   the in-memory writer's whole document made natively
//                   while json.dump is ujson's own and the document its
//                   genuine OrderedDict;
//   ujson_load      load_json_small takes the steps of ujson's own load
//                   itself, decoding with the cyclic collector paused;
//   direct_load     and then fills the package's chain straight from the
//                   text, without a call per entry;
//   native_chain    the package's chain and bag filled and read through
//                   their C interface (zantu._native) instead of their
//                   methods;
//   text_sink       the streaming writer appends its pieces straight into
//                   the package's TextSink (zantu._native) instead of
//                   calling its write() with a str per piece;
//   native_log10    math.log10 computed natively while it is math's own;
//   native_builder  the streaming reader builds items itself while
//                   ObjectBuilder is ijson's own;
//   parser_blocks   ijson's own basic_parse asked for small blocks;
//   native_parser   the streaming reader drives the yajl of ijson's yajl
//                   backends itself, without events (yajl_parser.h);
// and tricks that rely on nothing but the codec's own code, switchable so
// that what each buys can be measured:
//   piece_caches    the streaming writer makes the pieces "[code]" and
//                   ",count," once per value and small count;
//   sorted_values   the frequency items sorted natively when they are a
//                   dict's items with int frequencies;
//   held_rows       the driven reader holds a start's rows and puts them in
//                   its bag at once;
//   resting_bags    the streaming reader keeps the package's bags it fills
//                   out of the cyclic collector's sight until the load ends.
#pragma once

#include "ref.h"

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
#define ZANTU_VERSION_TAGS 1  // PyDictObject.ma_version_tag, tp_version_tag
#else
#define ZANTU_VERSION_TAGS 0
#endif
#if PY_VERSION_HEX >= 0x030C0000
#define ZANTU_WATCHERS 1  // PyDict_AddWatcher, PyType_AddWatcher
#else
#define ZANTU_WATCHERS 0
#endif
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
#define ZANTU_ITERATOR_LAYOUT 1  // dictiterobject, list and tuple iterators
#else
#define ZANTU_ITERATOR_LAYOUT 0
#endif

namespace zantu {

// Each shortcut, with whether this build has it for the running release.
#define ZANTU_FAST_PATHS(X)                                      \
    X(cached_lookups, ZANTU_VERSION_TAGS || ZANTU_WATCHERS)      \
    X(iterator_views, ZANTU_ITERATOR_LAYOUT)                     \
    X(encoder_texts, 1)                                          \
    X(document_text, 1)                                          \
    X(ujson_load, 1)                                             \
    X(direct_load, 1)                                            \
    X(native_chain, 1)                                           \
    X(text_sink, 1)                                              \
    X(native_log10, 1)                                           \
    X(native_builder, 1)                                         \
    X(parser_blocks, 1)                                          \
    X(native_parser, 1)                                          \
    X(piece_caches, 1)                                           \
    X(sorted_values, 1)                                          \
    X(held_rows, 1)                                              \
    X(resting_bags, 1)

enum class FastPath {
#define ZANTU_FAST_PATH_ENUM(name, built) name,
    ZANTU_FAST_PATHS(ZANTU_FAST_PATH_ENUM)
#undef ZANTU_FAST_PATH_ENUM
    count
};

// Whether each shortcut is on: built for this release, found usable at
// import, and not switched off through __fast_paths__. One set per module
// object (module_state.h); fast_path() there asks the running module's.
struct FastPathSwitches {
    bool usable[int(FastPath::count)] = {};
    bool switched_off[int(FastPath::count)] = {};
    bool on[int(FastPath::count)] = {};

    void set_usable(FastPath path, bool usable);
    void switch_off(int path, bool off);
};

// __fast_paths__(**switches), a function of the module: without arguments,
// a dict of every shortcut's name and whether it is on; a keyword per name
// switches it off (false) or back on (true) where usable, and the dict then
// tells the new state.
PyObject* fast_paths(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char kFastPathsDoc[];

}  // namespace zantu
