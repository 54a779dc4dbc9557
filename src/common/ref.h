// The owning reference type and the error signal shared by every source file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <utility>

namespace zantu {

// Thrown when a C-API call has failed and left a Python exception set. It
// carries nothing: the exception itself is the interpreter's. The exported
// functions catch it at the boundary and return NULL.
struct PyError {};

// Owns one strong reference (or none). Move nulls the source; assignment drops
// the old reference last, after the new one is in place, so that a destructor
// run by the release sees a consistent object.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;  // `other` now holds the old reference and drops it
    }

    // Takes over a new reference; `o` may be NULL.
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    // Takes a new reference to a borrowed one; `o` may be NULL.
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    // Takes over the result of a C-API call that returns a new reference,
    // throwing PyError when it is NULL (the call failed).
    static Ref check(PyObject* o) {
        if (o == nullptr) throw PyError();
        return Ref(o);
    }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller (a CPython slot that steals it).
    PyObject* release() noexcept {
        PyObject* o = p_;
        p_ = nullptr;
        return o;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void swap(Ref& other) noexcept { std::swap(p_, other.p_); }

private:
    explicit Ref(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

// Pauses the cyclic garbage collector (if it was running) until end() or
// the end of its lifetime; CollectorPause(false) is never on. Only around
// work that runs no code of the caller's and releases none of its objects:
// the pause must not let the caller's own cyclic garbage pile up, nor run
// a __del__ of theirs with the collector off.
class CollectorPause {
public:
    explicit CollectorPause(bool pause = true) noexcept : on_(pause), paused_(pause && PyGC_Disable() == 1) {}
    ~CollectorPause() { end(); }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;
    bool on() const { return on_; }
    // Paused again after code that may have let the collector go on (a
    // signal's handler that calls gc.enable()).
    void hold() noexcept {
        if (on_ && PyGC_Disable() == 1) paused_ = true;
    }
    void end() {
        if (paused_) PyGC_Enable();
        on_ = paused_ = false;
    }

private:
    bool on_;
    bool paused_;
};

// For C-API calls that return -1 on failure (and 0 or 1 otherwise).
inline int check_status(int status) {
    if (status < 0) throw PyError();
    return status;
}

inline Py_ssize_t check_size(Py_ssize_t size) {
    if (size < 0 && PyErr_Occurred()) throw PyError();
    return size;
}

// A new str from a C literal; interned strings are made once at import.
inline Ref str(const char* text) { return Ref::check(PyUnicode_FromString(text)); }

// Raises KeyError(key) exactly as a dict subscript does: a tuple key is
// wrapped so that it stays the exception's single argument.
[[noreturn]] void raise_key_error(PyObject* key);

// The boundary where a C++ error becomes the Python error, at every entry
// from CPython (a module function, a slot, the module's init): runs `body`
// and turns what it throws into the `failed` return (NULL, -1) with the
// Python exception set. What `body` returns passes unchanged (a NULL
// without an exception is the end of an iteration).
template <typename Result, typename Body>
Result guarded(Result failed, Body body) noexcept {
    try {
        return body();
    } catch (const PyError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, e.what());
    }
    return failed;
}

// Raises `type` with a formatted message (PyErr_Format's conventions).
template <typename... Args>
[[noreturn]] void raise(PyObject* type, const char* format, Args... args) {
    PyErr_Format(type, format, args...);
    throw PyError();
}

}  // namespace zantu
