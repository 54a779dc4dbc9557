#include "fast_path.h"

#include <cstring>

#include "module_state.h"

namespace zantu {

namespace {

constexpr int kCount = int(FastPath::count);

#define ZANTU_FAST_PATH_NAME(name, built) #name,
constexpr const char* kNames[kCount] = {ZANTU_FAST_PATHS(ZANTU_FAST_PATH_NAME)};
#undef ZANTU_FAST_PATH_NAME
#define ZANTU_FAST_PATH_BUILT(name, built) bool(built),
constexpr bool kBuilt[kCount] = {ZANTU_FAST_PATHS(ZANTU_FAST_PATH_BUILT)};
#undef ZANTU_FAST_PATH_BUILT

int index_of(PyObject* name) {
    const char* text = PyUnicode_AsUTF8(name);
    if (text == nullptr) throw PyError();
    for (int i = 0; i < kCount; ++i) {
        if (std::strcmp(text, kNames[i]) == 0) return i;
    }
    raise(PyExc_ValueError, "no fast path is called '%U'", name);
}

}  // namespace

PyObject* fast_paths(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        ActiveState active(module);
        FastPathSwitches& fast = state().fast;
        if (PyTuple_GET_SIZE(args) != 0) raise(PyExc_TypeError, "__fast_paths__() takes keyword arguments only");
        if (kwargs != nullptr) {
            // Every switch read first: a bad one changes nothing.
            int switches[kCount];
            for (int& s : switches) s = -1;
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                switches[index_of(key)] = check_status(PyObject_IsTrue(value));
            }
            for (int i = 0; i < kCount; ++i) {
                if (switches[i] >= 0) fast.switch_off(i, switches[i] == 0);
            }
        }
        Ref report = Ref::check(PyDict_New());
        for (int i = 0; i < kCount; ++i) {
            check_status(PyDict_SetItemString(report.get(), kNames[i], fast.on[i] ? Py_True : Py_False));
        }
        return report.release();
    });
}

void FastPathSwitches::set_usable(FastPath path, bool usable_here) {
    int i = int(path);
    usable[i] = usable_here;
    on[i] = kBuilt[i] && usable[i] && !switched_off[i];
}

void FastPathSwitches::switch_off(int i, bool off) {
    switched_off[i] = off;
    on[i] = kBuilt[i] && usable[i] && !switched_off[i];
}

const char kFastPathsDoc[] =
    "__fast_paths__($module, /, **switches)\n--\n\n"
    "Which of the codec's shortcuts are on in this interpreter, as a dict of\n"
    "name and bool. A keyword per name switches that shortcut off (False) or\n"
    "back on (True, where it is usable here): for tests and benchmarks.";

}  // namespace zantu
