// Everything the codec module owns, in one struct per module object: made
// when the module is executed, released when it is freed (or cleared by the
// collector). A sub-interpreter that imports the module gets its own
// module object, hence its own names, its own json, ijson and chain types.
//
// The codec reaches the state of the module whose function is running
// through state(): every entry from CPython (the module's functions, the
// slots of its two small types) opens an ActiveState for its module, which
// points a per-thread pointer at that module's state and puts the previous
// one back on the way out, so that a call into another interpreter's copy
// of the module from within a call finds its own.
#pragma once

#include "fast_path.h"
#include "ref.h"

namespace zantu {

struct NativeApi;

// One list drives the creation and the release of the interned names.
#define ZANTU_INTERNED_NAMES(X)                                                \
    X(items) X(choices) X(build_frequency_dict) X(clear) X(set_bag)            \
    X(add_to_bag) X(add) X(unique_count) X(write) X(read) X(dumps) X(dump)     \
    X(load) X(loads) X(log10) X(basic_parse) X(buf_size) X(event) X(value)     \
    X(count) X(key) X(json) X(math) X(ijson) X(OrderedDict) X(ObjectBuilder)   \
    X(ProbabilityBag) X(codes) X(chain) X(file) X(frequency_compress) X(merge) \
    X(start_map) X(end_map) X(start_array) X(end_array) X(map_key) X(number)   \
    X(string) X(boolean) X(null) X(basic_parse_gen) X(basic_parse_basecoro)   \
    X(_yajl2) X(yajl) X(ffi)

// Each member a reference owned by the struct.
struct Interned {
#define ZANTU_DECLARE_NAME(name) PyObject* name = nullptr;
    ZANTU_INTERNED_NAMES(ZANTU_DECLARE_NAME)
#undef ZANTU_DECLARE_NAME
    PyObject* kw_count = nullptr;     // ("count",), the keyword of add and add_to_bag
    PyObject* kw_key = nullptr;       // ("key",), the keyword of sorted
    PyObject* kw_buf_size = nullptr;  // ("buf_size",), ijson's block size

    Interned() = default;
    Interned(const Interned&) = delete;
    Interned& operator=(const Interned&) = delete;
    ~Interned();
    void make();
};

// What the standard json.dumps(value) relies on to write a value with its
// default settings: the text made natively for it is that text only while
// all of this is as it was at import (json_text.cpp). Empty (no settings)
// when the standard json could not be taken as plain.
struct StandardJson {
    Ref module_dict;      // json.__dict__, where dumps finds _default_encoder
    Ref encoder_dict;     // json.encoder.__dict__, where encode and iterencode find their helpers
    Ref dumps_code;       // json.dumps.__code__
    Ref kwdefaults;       // a copy of json.dumps.__kwdefaults__
    Ref default_encoder;  // json._default_encoder
    Ref settings;         // a copy of its __dict__
    Ref encoder_type;     // json.JSONEncoder
    Ref methods[2];          // JSONEncoder.encode and iterencode,
    Ref method_codes[2];     // their code
    Ref method_defaults[2];  // and their defaults
    Ref helpers[5];          // the names of json.encoder that they use

    // The names looked up: the default encoder's, the two methods', then
    // the helpers'.
    static constexpr const char* kNames[8] = {"_default_encoder",        "encode",          "iterencode",
                                              "encode_basestring_ascii", "encode_basestring", "c_make_encoder",
                                              "_make_iterencode",        "INFINITY"};
    static constexpr int kEncoderName = 0, kFirstMethod = 1, kFirstHelper = 3;
    Ref names[8];
};

// One of ijson's yajl backends as found at import, and the functions of the
// yajl it calls (yajl_parser.cpp).
struct YajlBackend {
    Ref module;           // ijson.backends.yajl2_c or ijson.backends.yajl2_cffi
    Ref basic_parse;      // its basic_parse,
    Ref basic_parse_gen;  // what that calls,
    Ref engine;           // and what drives yajl: _yajl2.basic_parse, or basic_parse_basecoro
    Ref library;          // yajl2_cffi's library object, which keeps yajl loaded
    void* opened = nullptr;  // the yajl2_c extension, opened again to find yajl through it
    void* functions[6] = {};  // yajl_alloc, parse, complete_parse, get_error, free_error, free
    bool found = false;

    YajlBackend() = default;
    YajlBackend(const YajlBackend&) = delete;
    YajlBackend& operator=(const YajlBackend&) = delete;
    ~YajlBackend();
};

// The objects of the state that are not names, in the order they are
// made at import; the list drives the collector's traversal and the
// release.
#define ZANTU_HELD_OBJECTS(X)                                                                  \
    X(frequency_key)      /* the key function of sort_by_frequency: -x[1] */                   \
    X(sorted)             /* builtins.sorted */                                                \
    X(basic_parse_code)   /* the code of ijson's own basic_parse, when it takes buf_size */    \
    X(log10)              /* math.log10 */                                                     \
    X(missing_code_error) /* zantu.errors.MissingCodeError */                                 \
    X(ujson_dumps)        /* ujson's own functions, when ujson is installed */                 \
    X(ujson_dump)                                                                              \
    X(ujson_load)                                                                              \
    X(ujson_loads)                                                                             \
    X(standard_dumps)     /* json.dumps of the standard library */                             \
    X(ordered_dict)       /* collections.OrderedDict */                                        \
    X(native_module)      /* zantu._native, whose capsule `native` points into */              \
    X(item_decoder_type)  /* the streaming reader's two small types */                         \
    X(utf8_reader_type)                                                                        \
    X(object_builder)     /* ijson's own ObjectBuilder */                                      \
    X(binary_files)       /* io's own binary files: BytesIO, BufferedReader, FileIO */

struct ModuleState {
    Interned interned;
#define ZANTU_DECLARE_OBJECT(name) Ref name;
    ZANTU_HELD_OBJECTS(ZANTU_DECLARE_OBJECT)
#undef ZANTU_DECLARE_OBJECT
    StandardJson standard;
    YajlBackend yajl[2];  // yajl2_c, yajl2_cffi
    // The package's chain and bag types and their direct ways in (held by
    // native_module); null when that module is not there.
    const NativeApi* native = nullptr;
    // The dict and type watchers of the cached lookups (3.12 and later).
    int dict_watcher = -1;
    int type_watcher = -1;
    FastPathSwitches fast;

    ModuleState() = default;
    ModuleState(const ModuleState&) = delete;
    ModuleState& operator=(const ModuleState&) = delete;
    ~ModuleState();

    int traverse(visitproc visit, void* arg);
};

// Drops the dict and type watchers of `state` (fast/lookup.cpp registers
// them at import) and reports cached_lookups unusable.
void release_watchers(ModuleState& state);

// The module's own state (null once released), from a module of this
// extension.
ModuleState* module_state(PyObject* module);

namespace detail {
extern thread_local ModuleState* active_state __attribute__((tls_model("initial-exec")));
}  // namespace detail

// Makes the state of `module` the one that state() gives for its lifetime.
// Throws (SystemError) when the module's state is released.
class ActiveState {
public:
    explicit ActiveState(PyObject* module);
    ~ActiveState() { detail::active_state = previous_; }
    ActiveState(const ActiveState&) = delete;
    ActiveState& operator=(const ActiveState&) = delete;

private:
    ModuleState* previous_;
};

inline ModuleState& state() { return *detail::active_state; }
inline const Interned& interned() { return detail::active_state->interned; }
inline bool fast_path(FastPath path) { return detail::active_state->fast.on[int(path)]; }
// At import: whether `path` can be taken here (what the import found: the
// iterator layouts as expected, zantu._native's interface, ...). A path
// never marked usable stays off.
inline void set_fast_path_usable(FastPath path, bool usable) { state().fast.set_usable(path, usable); }

}  // namespace zantu
