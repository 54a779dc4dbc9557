// The streaming reader's two small types that outside code is handed (the
// lazy item of decoded mode, and the reader of a file for the parser), and
// the blocks of a file that the reader reads itself.
#include <cstdint>
#include <vector>

#include "big.h"
#include "chain_calls.h"
#include "codes.h"
#include "reader_types.h"

namespace zantu {

namespace {

// Both are made per module (their slots run with its state), and cannot be
// subclassed.
// The one-shot lazy item of decoded mode: yields the code table's value for
// each code of the item. An array of scalars (nearly every item) has its
// codes held in the object itself, after the fields below; any other item
// is held as assembled, and read when first advanced. Made by the reader
// only: the type cannot be instantiated from Python, and an item whose
// table is gone (finished, failed or cleared) yields nothing more.
struct ItemDecoder {
    PyObject_VAR_HEAD    // ob_size: room for codes held in the object
    PyObject* item;      // the assembled item
    PyObject* table;     // the code table (dict)
    PyObject* by_code;   // its integer codes' values (list; see decode)
    PyObject* it;        // iterator over the item, made when first advanced
    Py_ssize_t index;    // the next index, for codes held or a tuple or list
    Py_ssize_t held;     // codes held in the object (none once cleared)
    int holds_codes;     // the item is the codes held, not `item`
    int started;
    int done;
    int thaw;            // the table's array values are tuples made natively: yielded as lists
};

PyObject** held_codes(ItemDecoder* d) {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(d) + sizeof(ItemDecoder));
}

int item_decoder_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* d = reinterpret_cast<ItemDecoder*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(d->item);
    Py_VISIT(d->table);
    Py_VISIT(d->by_code);
    Py_VISIT(d->it);
    for (Py_ssize_t i = 0; i < d->held; ++i) Py_VISIT(held_codes(d)[i]);
    return 0;
}

int item_decoder_clear(PyObject* self) {
    auto* d = reinterpret_cast<ItemDecoder*>(self);
    Py_CLEAR(d->item);
    Py_CLEAR(d->table);
    Py_CLEAR(d->by_code);
    Py_CLEAR(d->it);
    Py_ssize_t held = d->held;
    d->held = 0;
    for (Py_ssize_t i = 0; i < held; ++i) Py_CLEAR(held_codes(d)[i]);
    return 0;
}

void item_decoder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    item_decoder_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Finishes the item: it yields nothing more, as a generator that returned
// or raised.
void item_decoder_finish(ItemDecoder* d) {
    if (d->done) return;
    d->done = 1;
    item_decoder_clear(reinterpret_cast<PyObject*>(d));
}

PyObject* item_decoder_next(PyObject* self) {
    auto* d = reinterpret_cast<ItemDecoder*>(self);
    if (d->done || d->table == nullptr) return nullptr;
    PyObject* next = guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        ActiveState active(PyType_GetModule(Py_TYPE(self)));
        // Code of the caller's can run in every step below (an item's
        // iterator, a code's own __hash__ or __eq__) and may advance or
        // finish this same item from within: what a step uses is held for
        // it, and the item's state is read again after it.
        Ref code;
        if (d->holds_codes) {
            if (d->index < d->held) code = Ref::borrow(held_codes(d)[d->index++]);
        } else {
            if (!d->started) {
                Ref item = Ref::borrow(d->item);
                if (!item) {
                    item_decoder_finish(d);
                    return nullptr;
                }
                // A tuple or list (what the reader assembles) is read by
                // index, as its own iterator would; anything else through
                // its iterator.
                Ref it;
                if (!PyList_CheckExact(item.get()) && !PyTuple_CheckExact(item.get())) it = get_iter(item.get());
                if (d->done) return nullptr;
                if (!d->started) {
                    d->it = it.release();
                    d->started = 1;
                }
            }
            if (d->it != nullptr) {
                Ref it = Ref::borrow(d->it);
                iter_next(it.get(), code);
            } else if (d->item != nullptr && d->index < PySequence_Fast_GET_SIZE(d->item)) {
                code = Ref::borrow(PySequence_Fast_ITEMS(d->item)[d->index++]);
            }
        }
        if (!code || d->table == nullptr) {
            item_decoder_finish(d);
            return nullptr;
        }
        Ref table = Ref::borrow(d->table);
        Ref by_code = Ref::borrow(d->by_code);
        PyObject* value = decode(table.get(), by_code.get(), code.get());
        return (d->thaw ? thawed(value) : Ref::borrow(value)).release();
    });
    // At the end, or on an error: the item is done.
    if (next == nullptr) item_decoder_finish(d);
    return next;
}

PyType_Slot item_decoder_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(item_decoder_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(item_decoder_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(item_decoder_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(item_decoder_next)},
    {Py_tp_doc, const_cast<char*>("The decoded elements of one item, yielded once.")},
    {0, nullptr}};

PyType_Spec item_decoder_spec = {"zantu_cjson.item_generator", sizeof(ItemDecoder), sizeof(PyObject*),
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                 item_decoder_slots};


// Reads a text file as UTF-8 bytes, which is what the parser takes.
// What the parser reads in place of the caller's file: a text file's text
// as UTF-8, or a binary file's read() as it is (the parser itself may read
// some files by readinto(), past a read() that a subclass overrides).
struct Utf8Reader {
    PyObject_HEAD
    PyObject* file;
    bool text;
};

int utf8_reader_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<Utf8Reader*>(self)->file);
    return 0;
}

int utf8_reader_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<Utf8Reader*>(self)->file);
    return 0;
}

void utf8_reader_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    utf8_reader_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// What a text file's read() gave must be a str.
void check_text(PyObject* text) {
    if (!PyUnicode_Check(text)) {
        raise(PyExc_TypeError, "the text file's read() returned %.200s, not str", Py_TYPE(text)->tp_name);
    }
}

PyObject* utf8_reader_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* file = reinterpret_cast<Utf8Reader*>(self)->file;
    if (file == nullptr || nargs > 1) {
        PyErr_SetString(PyExc_TypeError, "read() takes at most one argument");
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        ActiveState active(PyType_GetModule(Py_TYPE(self)));
        Ref held = Ref::borrow(file);  // whatever the file's read() releases
        Ref text = nargs == 0 ? call_method(interned().read, file) : call_method(interned().read, file, args[0]);
        if (!reinterpret_cast<Utf8Reader*>(self)->text) return text.release();
        check_text(text.get());
        return Ref::check(PyUnicode_AsUTF8String(text.get())).release();
    });
}

PyMethodDef utf8_reader_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(utf8_reader_read)), METH_FASTCALL,
     "read(size=-1) -> bytes: up to size characters of the text file, as UTF-8."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot utf8_reader_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(utf8_reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(utf8_reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(utf8_reader_clear)},
    {Py_tp_methods, utf8_reader_methods},
    {Py_tp_doc, const_cast<char*>("A text file read as UTF-8 bytes.")},
    {0, nullptr}};

PyType_Spec utf8_reader_spec = {"zantu_cjson.utf8_reader", sizeof(Utf8Reader), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                utf8_reader_slots};

// Whether `file` is exactly one of io's own binary files (not a subclass,
// whose read() may be its own).
bool io_binary_file(PyObject* file) {
    PyObject* binary = state().binary_files.get();
    for (Py_ssize_t i = 0; binary != nullptr && i < PyTuple_GET_SIZE(binary); ++i) {
        if (Py_IS_TYPE(file, reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(binary, i)))) return true;
    }
    return false;
}


}  // namespace

// A lazy item of `item`, or, with `codes`, of those codes, which are moved
// into it (`codes` is left empty).
Ref new_item_decoder(PyObject* item, PyObject* table, PyObject* by_code, std::vector<Ref>* codes, bool thaw) {
    Py_ssize_t n = codes != nullptr ? Py_ssize_t(codes->size()) : 0;
    auto* d = PyObject_GC_NewVar(ItemDecoder, reinterpret_cast<PyTypeObject*>(state().item_decoder_type.get()), n);
    if (d == nullptr) throw PyError();
    d->item = Ref::borrow(item).release();
    d->table = Ref::borrow(table).release();
    d->by_code = Ref::borrow(by_code).release();
    d->it = nullptr;
    d->index = 0;
    d->held = n;
    d->holds_codes = codes != nullptr;
    d->started = 0;
    d->done = 0;
    d->thaw = thaw;
    for (Py_ssize_t i = 0; i < n; ++i) held_codes(d)[i] = (*codes)[size_t(i)].release();
    if (codes != nullptr) codes->clear();
    PyObject_GC_Track(d);
    return Ref::steal(reinterpret_cast<PyObject*>(d));
}

// What the parser reads: one of io's own binary files as it is, any other
// file through a Utf8Reader (so that its read() is what is read).
Ref parser_source(PyObject* file) {
    Ref read = Ref::steal(PyObject_GetAttr(file, interned().read));
    if (!read) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError();
        PyErr_Clear();
        return Ref::borrow(file);
    }
    Ref zero = Ref::check(PyLong_FromLong(0));
    Ref probe = call(read.get(), zero.get());
    bool text = PyUnicode_Check(probe.get());
    if (!text && io_binary_file(file)) return Ref::borrow(file);
    auto* r = PyObject_GC_New(Utf8Reader, reinterpret_cast<PyTypeObject*>(state().utf8_reader_type.get()));
    if (r == nullptr) throw PyError();
    r->file = Ref::borrow(file).release();
    r->text = text;
    PyObject_GC_Track(r);
    return Ref::steal(reinterpret_cast<PyObject*>(r));
}

void init_stream_types(PyObject* module) {
    state().item_decoder_type = Ref::check(PyType_FromModuleAndSpec(module, &item_decoder_spec, nullptr));
    state().utf8_reader_type = Ref::check(PyType_FromModuleAndSpec(module, &utf8_reader_spec, nullptr));
}

bool plain_source(PyObject* source) {
    if (Py_IS_TYPE(source, reinterpret_cast<PyTypeObject*>(state().utf8_reader_type.get()))) {
        return reinterpret_cast<Utf8Reader*>(source)->text;
    }
    return io_binary_file(source);
}

FileBlocks::FileBlocks(PyObject* source, long size) : source_(source), size_(Ref::check(PyLong_FromLong(size))) {
    if (Py_IS_TYPE(source, reinterpret_cast<PyTypeObject*>(state().utf8_reader_type.get()))) {
        text_file_ = reinterpret_cast<Utf8Reader*>(source)->file;
    }
}

std::string_view FileBlocks::next(Ref& held) {
    if (text_file_ != nullptr) {
        held = call_method(interned().read, text_file_, size_.get());
        check_text(held.get());
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(held.get(), &size);
        if (data == nullptr) throw PyError();
        return {data, size_t(size)};
    }
    held = call_method(interned().read, source_, size_.get());
    if (!PyBytes_Check(held.get())) {
        raise(PyExc_TypeError, "a bytes-like object is required, not '%.200s'", Py_TYPE(held.get())->tp_name);
    }
    return {PyBytes_AS_STRING(held.get()), size_t(PyBytes_GET_SIZE(held.get()))};
}

}  // namespace zantu
