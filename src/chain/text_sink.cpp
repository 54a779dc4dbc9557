// TextSink: the text file a document is written to, its writes gathered
// into blocks of UTF-8 for a binary file. The streaming writer writes a
// document in millions of small pieces; into a sink it appends them
// straight (native_api.h: sink_append), without a str or a call per piece.
#include <algorithm>
#include <memory>
#include <string>

#include "chain.h"

namespace zantu::native {
namespace {

// Bytes handed to the file at a time: its write lets the GIL go, and a
// thread that waits for it (a build packs its runs index meanwhile) should
// not wait for long.
constexpr size_t kBlock = size_t(1) << 16;

struct SinkObject {
    PyObject_HEAD
    PyObject* file;        // the binary file; null once cleared by the collector
    std::string* pending;  // the bytes not yet handed over
    bool handing;          // inside file.write: writes meanwhile only gather
};

SinkObject* as_sink(PyObject* self) { return reinterpret_cast<SinkObject*>(self); }

// Hands the pending bytes to file.write, a block at a time: all of them,
// or (`all` false) while a whole block is pending. A write of the file's
// own that comes back here meanwhile only gathers, so the blocks reach the
// file in order. What the file has not taken stays pending, also when its
// write fails.
void hand_over(SinkObject* s, bool all) {
    if (s->handing) return;
    s->handing = true;
    struct Done {
        SinkObject* s;
        ~Done() { s->handing = false; }
    } done{s};
    std::string& pending = *s->pending;
    while (!pending.empty() && (all || pending.size() >= kBlock)) {
        if (s->file == nullptr) raise(PyExc_ValueError, "write to a TextSink whose file is gone");
        size_t size = std::min(pending.size(), kBlock);
        Ref block = Ref::check(PyBytes_FromStringAndSize(pending.data(), Py_ssize_t(size)));
        Ref file = Ref::borrow(s->file);  // the call may drop the sink's own reference
        PyObject* write = state_of(reinterpret_cast<PyObject*>(s)).name_write;
        Ref result = Ref::check(PyObject_CallMethodOneArg(file.get(), write, block.get()));
        // A raw file may take part of a block: the rest goes again. Any
        // other result means the whole block was taken.
        size_t taken = size;
        if (PyLong_Check(result.get())) {
            Py_ssize_t n = PyLong_AsSsize_t(result.get());
            if (n == -1 && PyErr_Occurred()) throw PyError();
            if (n <= 0 || size_t(n) > size) {
                raise(PyExc_OSError, "the file's write() took %zd of %zu bytes", n, size);
            }
            taken = size_t(n);
        }
        pending.erase(0, taken);
    }
}

void append(SinkObject* s, const char* data, size_t size) {
    std::string& pending = *s->pending;
    if (pending.capacity() < kBlock) pending.reserve(kBlock + kBlock / 4);
    pending.append(data, size);
    if (pending.size() >= kBlock) hand_over(s, false);
}

PyObject* sink_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* names[] = {"", nullptr};
        PyObject* file = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:TextSink", const_cast<char**>(names), &file)) {
            throw PyError();
        }
        auto pending = std::make_unique<std::string>();
        Ref self = Ref::check(type->tp_alloc(type, 0));
        SinkObject* s = as_sink(self.get());
        s->pending = pending.release();
        s->file = Py_NewRef(file);
        s->handing = false;
        return self.release();
    });
}

PyObject* sink_write(PyObject* self, PyObject* text) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!PyUnicode_Check(text)) {
            raise(PyExc_TypeError, "write() argument must be str, not %.200s", Py_TYPE(text)->tp_name);
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
        if (utf8 == nullptr) throw PyError();
        append(as_sink(self), utf8, size_t(size));
        return PyLong_FromSsize_t(PyUnicode_GET_LENGTH(text));
    });
}

PyObject* sink_flush(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        hand_over(as_sink(self), true);
        Py_RETURN_NONE;
    });
}

int sink_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_sink(self)->file);
    return 0;
}

int sink_clear(PyObject* self) {
    Py_CLEAR(as_sink(self)->file);
    return 0;
}

void sink_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    sink_clear(self);
    delete as_sink(self)->pending;
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef sink_methods[] = {
    {"write", sink_write, METH_O,
     "write($self, text, /)\n--\n\nGather `text` as UTF-8; a whole block gathered goes to the file's write().\n"
     "Returns the number of characters."},
    {"flush", sink_flush, METH_NOARGS,
     "flush($self, /)\n--\n\nHand every gathered byte to the file's write() (the file itself is not flushed)."},
    {nullptr, nullptr, 0, nullptr}};

const char sink_doc[] =
    "TextSink(file, /)\n--\n\n"
    "A text file whose writes are gathered as UTF-8 and handed to the binary\n"
    "`file`'s write() in blocks of 64 KiB. What is not flushed is dropped with\n"
    "the sink.";

PyType_Slot sink_slots[] = {
    {Py_tp_doc, const_cast<char*>(sink_doc)},
    {Py_tp_new, reinterpret_cast<void*>(sink_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sink_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(sink_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(sink_clear)},
    {Py_tp_methods, sink_methods},
    {0, nullptr}};

PyType_Spec sink_spec = {"zantu._native.TextSink", sizeof(SinkObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, sink_slots};

}  // namespace

void make_sink_type(PyObject* module, NativeState& state) {
    state.sink_type = reinterpret_cast<PyTypeObject*>(
        Ref::check(PyType_FromModuleAndSpec(module, &sink_spec, nullptr)).release());
}

int sink_append(PyObject* sink, const char* data, size_t size) {
    return guarded(-1, [&] {
        append(as_sink(sink), data, size);
        return 0;
    });
}

}  // namespace zantu::native
