#include "fast_path.h"

#include <cstring>

namespace zantu {

namespace detail {
bool fast_path_on[int(FastPath::count)] = {};
}  // namespace detail

namespace {

constexpr int kCount = int(FastPath::count);

#define ZANTU_FAST_PATH_NAME(name, built) #name,
constexpr const char* kNames[kCount] = {ZANTU_FAST_PATHS(ZANTU_FAST_PATH_NAME)};
#undef ZANTU_FAST_PATH_NAME
#define ZANTU_FAST_PATH_BUILT(name, built) bool(built),
constexpr bool kBuilt[kCount] = {ZANTU_FAST_PATHS(ZANTU_FAST_PATH_BUILT)};
#undef ZANTU_FAST_PATH_BUILT

bool usable[kCount] = {};
bool switched_off[kCount] = {};

void update(int i) { detail::fast_path_on[i] = kBuilt[i] && usable[i] && !switched_off[i]; }

int index_of(PyObject* name) {
    const char* text = PyUnicode_AsUTF8(name);
    if (text == nullptr) throw PyError();
    for (int i = 0; i < kCount; ++i) {
        if (std::strcmp(text, kNames[i]) == 0) return i;
    }
    raise(PyExc_ValueError, "no fast path is called '%U'", name);
}

PyObject* fast_paths(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (PyTuple_GET_SIZE(args) != 0) raise(PyExc_TypeError, "__fast_paths__() takes keyword arguments only");
        if (kwargs != nullptr) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                int i = index_of(key);
                switched_off[i] = !check_status(PyObject_IsTrue(value));
            }
            for (int i = 0; i < kCount; ++i) update(i);
        }
        Ref report = Ref::check(PyDict_New());
        for (int i = 0; i < kCount; ++i) {
            check_status(PyDict_SetItemString(report.get(), kNames[i], detail::fast_path_on[i] ? Py_True : Py_False));
        }
        return report.release();
    });
}

}  // namespace

void set_fast_path_usable(FastPath path, bool on) {
    usable[int(path)] = on;
    update(int(path));
}

PyMethodDef fast_path_functions[] = {
    {"__fast_paths__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fast_paths)),
     METH_VARARGS | METH_KEYWORDS,
     "__fast_paths__($module, /, **switches)\n--\n\n"
     "Which of the codec's shortcuts are on in this interpreter, as a dict of\n"
     "name and bool. A keyword per name switches that shortcut off (False) or\n"
     "back on (True, where it is usable here): for tests and benchmarks."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace zantu
