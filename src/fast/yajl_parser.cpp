#include "yajl_parser.h"

#include <dlfcn.h>

#include <cstring>
#include <string>

#include "calls.h"
#include "module_state.h"

namespace zantu {

namespace {

// yajl 2's interface, as ijson's backends use it.
using YajlHandle = void*;
enum YajlStatus { kYajlOk = 0, kYajlCancelled = 1, kYajlError = 2 };
struct Yajl {
    YajlHandle (*alloc)(const YajlCallbacks*, void*, void*);
    int (*parse)(YajlHandle, const unsigned char*, size_t);
    int (*complete_parse)(YajlHandle);
    unsigned char* (*get_error)(YajlHandle, int, const unsigned char*, size_t);
    void (*free_error)(YajlHandle, unsigned char*);
    void (*free)(YajlHandle);
};
constexpr const char* kYajlNames[] = {"yajl_alloc",     "yajl_parse",      "yajl_complete_parse",
                                      "yajl_get_error", "yajl_free_error", "yajl_free"};
constexpr int kYajlFunctions = 6;
static_assert(sizeof(YajlBackend::functions) / sizeof(void*) == kYajlFunctions);

const char* const kBackendNames[2] = {"ijson.backends.yajl2_c", "ijson.backends.yajl2_cffi"};

// module.__dict__[name] (borrowed; null when missing), `name` interned.
PyObject* member(PyObject* module, PyObject* name) { return dict_entry(PyModule_GetDict(module), name); }

// yajl2_c: its extension is opened again (it is loaded already), and the
// yajl functions are looked up through it, which finds the yajl it is
// linked with.
bool find_yajl_of_extension(YajlBackend& b, PyObject* extension) {
    Ref path = Ref::steal(PyObject_GetAttrString(extension, "__file__"));
    if (!path || !PyUnicode_Check(path.get())) {
        PyErr_Clear();
        return false;
    }
    const char* file = PyUnicode_AsUTF8(path.get());
    if (file == nullptr) {
        PyErr_Clear();
        return false;
    }
    b.opened = dlopen(file, RTLD_LAZY | RTLD_NOLOAD);
    if (b.opened == nullptr) return false;
    for (int i = 0; i < kYajlFunctions; ++i) {
        b.functions[i] = dlsym(b.opened, kYajlNames[i]);
        if (b.functions[i] == nullptr) return false;
    }
    return true;
}

// yajl2_cffi: the addresses of the functions of the library it loaded, as
// cffi gives them.
bool find_yajl_of_cffi(YajlBackend& b, PyObject* ffi, PyObject* library) {
    for (int i = 0; i < kYajlFunctions; ++i) {
        Ref address = Ref::steal(PyObject_CallMethod(ffi, "addressof", "Os", library, kYajlNames[i]));
        Ref number = address ? Ref::steal(PyObject_CallMethod(ffi, "cast", "sO", "uintptr_t", address.get()))
                             : Ref();
        Ref value = number ? Ref::steal(PyNumber_Long(number.get())) : Ref();
        if (!value) {
            PyErr_Clear();
            return false;
        }
        b.functions[i] = PyLong_AsVoidPtr(value.get());
        if (b.functions[i] == nullptr) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

void remember_backend(YajlBackend& b, int index) {
    Ref name = str(kBackendNames[index]);
    Ref held = Ref::steal(PyImport_GetModule(name.get()));  // only one imported already
    if (!held && PyErr_Occurred()) throw PyError();
    PyObject* module = held.get();
    if (module == nullptr || !PyModule_Check(module)) return;
    PyObject* basic_parse = member(module, interned().basic_parse);
    PyObject* basic_parse_gen = member(module, interned().basic_parse_gen);
    PyObject* engine = nullptr;
    bool found = false;
    if (index == 0) {
        PyObject* extension = member(module, interned()._yajl2);
        engine = extension != nullptr && PyModule_Check(extension) ? member(extension, interned().basic_parse) : nullptr;
        found = engine != nullptr && find_yajl_of_extension(b, extension);
    } else {
        PyObject* ffi = member(module, interned().ffi);
        PyObject* library = member(module, interned().yajl);
        engine = member(module, interned().basic_parse_basecoro);
        found = ffi != nullptr && library != nullptr && engine != nullptr && find_yajl_of_cffi(b, ffi, library);
        b.library = Ref::borrow(library);
    }
    if (!found || basic_parse == nullptr || basic_parse_gen == nullptr) return;
    b.module = Ref::borrow(module);
    b.basic_parse = Ref::borrow(basic_parse);
    b.basic_parse_gen = Ref::borrow(basic_parse_gen);
    b.engine = Ref::borrow(engine);
    b.found = true;
}

// Whether the backend still runs what it ran at import.
bool unchanged(const YajlBackend& b, int index) {
    PyObject* module = b.module.get();
    if (member(module, interned().basic_parse) != b.basic_parse.get() ||
        member(module, interned().basic_parse_gen) != b.basic_parse_gen.get()) {
        return false;
    }
    if (index == 0) {
        PyObject* extension = member(module, interned()._yajl2);
        return extension != nullptr && PyModule_Check(extension) && member(extension, interned().basic_parse) == b.engine.get();
    }
    return member(module, interned().basic_parse_basecoro) == b.engine.get() && member(module, interned().yajl) == b.library.get();
}

Yajl yajl_of(void* const* functions) {
    Yajl y;
    std::memcpy(&y.alloc, &functions[0], sizeof(void*));
    std::memcpy(&y.parse, &functions[1], sizeof(void*));
    std::memcpy(&y.complete_parse, &functions[2], sizeof(void*));
    std::memcpy(&y.get_error, &functions[3], sizeof(void*));
    std::memcpy(&y.free_error, &functions[4], sizeof(void*));
    std::memcpy(&y.free, &functions[5], sizeof(void*));
    return y;
}

}  // namespace

YajlBackend::~YajlBackend() {
    if (opened != nullptr) dlclose(opened);
}

void remember_yajl() {
    for (int i = 0; i < 2; ++i) remember_backend(state().yajl[i], i);
    set_fast_path_usable(FastPath::native_parser, state().yajl[0].found || state().yajl[1].found);
}

int yajl_backend_of(PyObject* basic_parse) {
    if (!fast_path(FastPath::native_parser)) return 0;
    for (int i = 0; i < 2; ++i) {
        const YajlBackend& b = state().yajl[i];
        if (b.found && basic_parse == b.basic_parse.get() && unchanged(b, i)) return i + 1;
    }
    return 0;
}

YajlParse::YajlParse(int backend, const YajlCallbacks* callbacks, void* context, const bool& value_failed)
    : backend_(backend - 1), value_failed_(value_failed) {
    const YajlBackend& b = state().yajl[backend_];
    held_library_ = b.library;
    std::memcpy(functions_, b.functions, sizeof(functions_));
    handle_ = yajl_of(functions_).alloc(callbacks, nullptr, context);
    if (handle_ == nullptr) throw std::bad_alloc();
}

YajlParse::~YajlParse() { yajl_of(functions_).free(handle_); }

void YajlParse::feed(std::string_view block) {
    auto* data = reinterpret_cast<const unsigned char*>(block.data());
    check(yajl_of(functions_).parse(handle_, data, block.size()), data, block.size());
}

void YajlParse::finish() {
    static const unsigned char kNothing[1] = {0};  // what the backends quote at the end: b""
    check(yajl_of(functions_).complete_parse(handle_), kNothing, 0);
}

// After a parse step: an error of the sink, or of a value made in a
// callback, goes on as it is (yajl2_c); yajl2_cffi has the callback's
// error reported and cancels the parse. Otherwise yajl's own message, as
// the backends raise it.
void YajlParse::check(int status, const unsigned char* data, size_t size) {
    if (status == kYajlOk) return;
    if (PyErr_Occurred()) {
        if (!value_failed_ || backend_ == 0) throw PyError();
        PyErr_WriteUnraisable(nullptr);
    }
    Yajl yajl = yajl_of(functions_);
    unsigned char* message = yajl.get_error(handle_, 1, data, size);
    if (message == nullptr) throw std::bad_alloc();
    // As the backends take it: its text when it is UTF-8, else its bytes.
    const char* bytes = reinterpret_cast<const char*>(message);
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(bytes, Py_ssize_t(std::strlen(bytes)), "strict"));
    if (!text && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyErr_Clear();
        text = Ref::steal(PyBytes_FromString(bytes));
    }
    yajl.free_error(handle_, message);
    if (!text) throw PyError();
    Ref common = Ref::check(PyImport_ImportModule("ijson.common"));
    Ref type =
        Ref::check(PyObject_GetAttrString(common.get(), status == kYajlError ? "IncompleteJSONError" : "JSONError"));
    PyErr_SetObject(type.get(), text.get());
    throw PyError();
}

Ref yajl_number(const char* text, size_t size) {
    bool integral = true;
    for (size_t i = 0; i < size; ++i) {
        if (text[i] == '.' || text[i] == 'e' || text[i] == 'E') integral = false;
    }
    std::string digits(text, size);
    if (integral) return Ref::steal(PyLong_FromString(digits.c_str(), nullptr, 10));
    double value = PyOS_string_to_double(digits.c_str(), nullptr, nullptr);
    if (value == -1.0 && PyErr_Occurred()) return Ref();
    return Ref::steal(PyFloat_FromDouble(value));
}

}  // namespace zantu
