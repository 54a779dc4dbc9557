// The streaming reader: follows the events of ijson's basic_parse and hands
// every (item, count) pair of the chain to chain.add_to_bag as soon as its
// count has been read.
#include <cstdint>
#include <optional>
#include <vector>

#include "big.h"
#include "chain_calls.h"
#include "codes.h"
#include "fast_path.h"
#include "genuine.h"
#include "json_text.h"
#include "kept_texts.h"
#include "native_api.h"
#include "prefetch.h"
#include "yajl_parser.h"

namespace zantu {

namespace {

// ---------------------------------------------------------------------------
// Two small types that the reader hands to outside code.

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
        return Ref::borrow(decode(table.get(), by_code.get(), code.get())).release();
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

// A lazy item of `item`, or, with `codes`, of those codes, which are moved
// into it (`codes` is left empty).
Ref new_item_decoder(PyObject* item, PyObject* table, PyObject* by_code, std::vector<Ref>* codes = nullptr) {
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
    for (Py_ssize_t i = 0; i < n; ++i) held_codes(d)[i] = (*codes)[size_t(i)].release();
    if (codes != nullptr) codes->clear();
    PyObject_GC_Track(d);
    return Ref::steal(reinterpret_cast<PyObject*>(d));
}

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

// ---------------------------------------------------------------------------
// Events.

constexpr int kEventKinds = 9;

const char* const kEventNames[kEventKinds] = {"start_map", "end_map", "start_array", "end_array", "map_key",
                                               "number",    "string",  "boolean",     "null"};

bool is_open(Event e) { return e == Event::StartMap || e == Event::StartArray; }
bool is_close(Event e) { return e == Event::EndMap || e == Event::EndArray; }
bool is_scalar(Event e) { return e >= Event::Number; }

// Tells event names apart by identity first: the interned names, then the
// objects a parser has already shown to carry each name (held, so that
// their identity stays meaningful), and only then by comparing text.
class EventNames {
public:
    EventNames() {
        PyObject* names[kEventKinds] = {interned().start_map,   interned().end_map, interned().start_array,
                                        interned().end_array,   interned().map_key, interned().number,
                                        interned().string,      interned().boolean, interned().null};
        for (int i = 0; i < kEventKinds; ++i) names_[i] = names[i];
    }

    Event classify(PyObject* event) {
        // The kinds a chain's document is made of come first.
        for (Event kind : kByFrequency) {
            int i = int(kind);
            if (event == names_[i] || event == seen_[i].get()) return kind;
        }
        if (PyUnicode_Check(event)) {
            for (int i = 0; i < kEventKinds; ++i) {
                if (PyUnicode_CompareWithASCIIString(event, kEventNames[i]) == 0) {
                    seen_[i] = Ref::borrow(event);
                    return Event(i);
                }
            }
        }
        raise(PyExc_ValueError, "the parser gave an unknown event %.200R", event);
    }

    // The interned name of `kind`.
    PyObject* name(Event kind) const { return names_[int(kind)]; }

private:
    static constexpr Event kByFrequency[kEventKinds] = {Event::Number, Event::StartArray, Event::EndArray, Event::String, Event::MapKey,
                                                     Event::StartMap,  Event::EndMap,     Event::Boolean,  Event::Null};
    PyObject* names_[kEventKinds];
    Ref seen_[kEventKinds];
};

// ---------------------------------------------------------------------------
// Assembling values.

// One event of the parser: its kind, its name and value as the parser gave
// them, and the value as the chain gets it (a number as a host number).
struct ParserEvent {
    Event kind;
    PyObject* event;
    PyObject* value;
    PyObject* number;
};
// Assembles one value (the codes array, a start or an item) from a balanced
// run of events. Natively while ijson's own ObjectBuilder is bound; through
// the bound builder otherwise, which then sees every event of the run:
// ijson's own with numbers as host numbers (what the native assembly
// makes), any other with the values as the parser delivered them.
// The list of `elements`: what an array of those scalars is assembled as.
Ref list_of(const std::vector<Ref>& elements) {
    Ref list = Ref::check(PyList_New(Py_ssize_t(elements.size())));
    for (size_t k = 0; k < elements.size(); ++k) {
        PyList_SET_ITEM(list.get(), Py_ssize_t(k), Ref(elements[k]).release());
    }
    return list;
}

class ValueSource {
public:
    ValueSource(Ref builder, bool host_numbers) : builder_(std::move(builder)), host_numbers_(host_numbers) {}

    // The next run, if it is an array of scalars only, may be kept as its
    // elements instead of a list (for a reader that only reads them; see
    // take_elements). Natively assembled runs only; the first nested
    // container turns it into a list.
    void allow_elements() {
        elements_allowed_ = !builder_;
        elements_ready_ = false;
        flat_items_.clear();
    }

    // The elements of the last run, when it was kept as its elements; null
    // otherwise. The caller moves them out.
    std::vector<Ref>* take_elements() {
        if (!elements_ready_) return nullptr;
        elements_ready_ = false;
        return &flat_items_;
    }

    // A bound builder receives the event's value as the parser delivered
    // it (or as a host number, for ijson's own builder).
    void feed(const ParserEvent& e) {
        if (is_open(e.kind)) {
            ++depth_;
        } else if (is_close(e.kind)) {
            --depth_;
        }
        if (builder_) {
            builder_event(builder_.get(), e.event, host_numbers_ ? e.number : e.value);
            return;
        }
        if (flat_) {
            if (is_scalar(e.kind)) {
                flat_items_.push_back(Ref::borrow(e.number));
                return;
            }
            if (e.kind == Event::EndArray && depth_ == 0) {
                flat_ = false;
                elements_ready_ = true;
                value_ = Ref();
                return;
            }
            // A nested container: the run becomes a list after all.
            flat_ = false;
            Ref list = list_of(flat_items_);
            flat_items_.clear();
            value_ = list;
            open_.push_back(std::move(list));
        }
        if (elements_allowed_) {
            elements_allowed_ = false;
            if (e.kind == Event::StartArray && open_.empty()) {
                flat_ = true;
                return;
            }
        }
        switch (e.kind) {
            case Event::MapKey:
                key_ = Ref::borrow(e.value);
                break;
            case Event::StartMap: {
                Ref map = Ref::check(PyDict_New());
                add(map);
                open_.push_back(std::move(map));
                break;
            }
            case Event::StartArray: {
                Ref list = Ref::check(PyList_New(0));
                add(list);
                open_.push_back(std::move(list));
                break;
            }
            case Event::EndMap:
            case Event::EndArray:
                if (!open_.empty()) open_.pop_back();
                break;
            default:
                add(Ref::borrow(e.number));
        }
    }

    // Containers of the current run still open.
    std::size_t depth() const { return depth_; }

    // The value of the current or last run (a run kept as its elements:
    // see take_elements).
    Ref value() const { return builder_ ? builder_value(builder_.get()) : value_; }

private:
    void add(const Ref& v) {
        if (open_.empty()) {
            value_ = v;
            return;
        }
        PyObject* top = open_.back().get();
        if (PyList_CheckExact(top)) {
            check_status(PyList_Append(top, v.get()));
            return;
        }
        if (!key_) raise(PyExc_ValueError, "the parser gave an object member without its key");
        check_status(PyDict_SetItem(top, key_.get(), v.get()));
    }

    Ref builder_;
    bool host_numbers_;
    std::size_t depth_ = 0;
    bool elements_allowed_ = false;
    bool flat_ = false;              // inside a run kept as its elements
    bool elements_ready_ = false;    // the last run was, and they are not taken
    std::vector<Ref> flat_items_;    // its elements
    std::vector<Ref> open_;
    Ref key_;
    Ref value_;
};

// ---------------------------------------------------------------------------
// The reader.

const char* event_description(Event kind) {
    switch (kind) {
        case Event::StartMap: return "an object";
        case Event::EndMap: return "the end of an object";
        case Event::StartArray: return "an array";
        case Event::EndArray: return "the end of an array";
        case Event::MapKey: return "an object key";
        case Event::Number: return "a number";
        case Event::String: return "a string";
        case Event::Boolean: return "a boolean";
        case Event::Null: return "null";
    }
    return "an event";
}

enum class Lane : std::uint8_t { None, Codes, Texts };

class StreamReader final : public EventSink {
public:
    StreamReader(PyObject* chain, bool merge, Ref builder, bool host_numbers)
        : chain_(chain), replacing_(!merge), pending_clear_(!merge), source_(std::move(builder), host_numbers) {}

    // An event from yajl, driven from here: its value is made already, a
    // number as the host number.
    void event(Event kind, PyObject* value) override { step(ParserEvent{kind, names_.name(kind), value, value}); }
    // An int from yajl: the codes of an item in the code lane, and the int
    // count after an item of either lane, are taken as they are; a start
    // without the event.
    bool integer(long long value) override {
        if (lane_ == Lane::Codes) {
            lane_codes_.push_back(value);
            // Its kept object is read when the count comes.
            if (PyObject** slot = kept_slot(value)) prefetch(slot);
            return true;
        }
        if (state_ == State::ChainStart && lane_api_ != nullptr) {
            start_ = Ref::check(PyLong_FromLongLong(value));
            state_ = State::ChainBag;
            return true;
        }
        if (lane_ready_ == Lane::None || state_ != State::BagCount) return false;
        if (!add_lane_row(value)) add_pair(Ref::check(PyLong_FromLongLong(value)).get());
        state_ = State::BagItem;
        return true;
    }
    // The brackets of an item in a lane, and of a bag around such items.
    bool bracket(Event kind) noexcept override {
        if (lane_api_ == nullptr) return false;
        if (kind == Event::StartArray) {
            if (state_ == State::ChainBag) {
                state_ = State::BagItem;
                return true;
            }
            Lane lane = lane_for_item();
            if (state_ != State::BagItem || lane == Lane::None) return false;
            start_lane(lane);
            return true;
        }
        if (lane_ != Lane::None) {
            end_lane();
            return true;
        }
        if (state_ != State::BagItem) return false;
        state_ = State::ChainStart;
        return true;
    }
    // A string of an item in a lane, or a start of the plain form, whose
    // text was met already: the chain's object for it (with its code, for a
    // str code). Any other is made into a str.
    bool text(Event kind, std::string_view bytes) override {
        missed_.reset();
        if (lane_api_ == nullptr || kind != Event::String) return false;
        bool start = lane_ == Lane::None && state_ == State::ChainStart;
        if (lane_ == Lane::Codes || (start && decoded_mode_)) return code_text(bytes, start);
        if (lane_ != Lane::Texts && !start) return false;
        std::uint64_t hash = KeptTexts::hash(bytes);
        const KeptTexts::Slot* slot = texts_.find(hash, bytes);
        if (slot == nullptr) {
            if (lane_ != Lane::None) missed_ = hash;
            return false;
        }
        if (start) {
            start_ = Ref::borrow(slot->kept);
            state_ = State::ChainBag;
        } else {
            lane_items_.push_back(Ref::borrow(slot->kept));
        }
        return true;
    }
    // text() for a str code, of an item in the code lane or a start: found
    // by its bytes among the code table's keys (with the chain's object for
    // it, once kept), so that no str is made for it.
    bool code_text(std::string_view bytes, bool start) {
        std::uint64_t hash = KeptTexts::hash(bytes);
        PyObject* key = nullptr;
        if (start) {
            if (str_codes_.find(hash, bytes, &key) == nullptr) return false;
            start_ = Ref::borrow(key);
            state_ = State::ChainBag;
            return true;
        }
        if (const KeptTexts::Slot* slot = code_texts_.find(hash, bytes)) {
            lane_text_codes_.push_back({lane_codes_.size(), slot->text, slot->kept, true, std::nullopt});
        } else if (PyObject* value = str_codes_.find(hash, bytes, &key)) {
            lane_text_codes_.push_back({lane_codes_.size(), Ref::borrow(key), value, false, hash});
        } else {
            missed_ = hash;
            return false;
        }
        lane_codes_.push_back(kNoCode);
        return true;
    }
    // Before each block is read (the caller's code may run in the read);
    // only a driven parse reads blocks itself.
    void block_read() override {
        resume();
        table_known_ = false;
        driven_ = true;
        start_bag_ = Ref();
        lane_api_ = native_chain_api(chain_);
    }

    void run(PyObject* events) {
        Ref it = get_iter(events);
        Ref element, held_event, held_value, held_number;
        while (iter_next(it.get(), element)) {
            PyObject* event;
            PyObject* value;
            PyObject* pair = element.get();
            if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2 && PyTuple_GET_ITEM(pair, 0) != nullptr &&
                PyTuple_GET_ITEM(pair, 1) != nullptr) {
                // Borrowed from the event's tuple, held until the next event.
                event = PyTuple_GET_ITEM(pair, 0);
                value = PyTuple_GET_ITEM(pair, 1);
            } else {
                unpack_pair(pair, held_event, held_value);
                event = held_event.get();
                value = held_value.get();
            }
            Event kind = names_.classify(event);
            // Numbers: the parsers give non-integers as decimal.Decimal, which
            // is not equal to the float that was saved (Decimal("0.1") !=
            // 0.1). The chain gets host floats, as from json.load.
            PyObject* number = value;
            if (kind == Event::Number && !PyLong_CheckExact(value) && !PyFloat_CheckExact(value)) {
                held_number = Ref::check(PyNumber_Float(value));
                number = held_number.get();
            }
            step(ParserEvent{kind, event, value, number});
        }
        finish();
    }

    // The end of the events: the document must have ended, with a chain.
    void finish() {
        flush_pending();
        if (state_ != State::Done) {
            raise(PyExc_ValueError, state_ == State::Top ? "the document is empty"
                                                         : "the parser's events ended inside the document");
        }
        if (!saw_chain_) raise(PyExc_ValueError, "the document has no \"chain\" array");
        flush_clear();
    }

private:
    enum class State : std::uint8_t {
        Top,         // before the top-level object
        Members,     // inside the top-level object, between members
        Skip,        // inside a member that is not read
        Codes,       // inside the "codes" array
        ChainStart,  // in "chain", where a start (or the end) comes
        Start,       // in "chain", inside a start that is an array or object
        ChainBag,    // in "chain", where the bag array of the start comes
        BagItem,     // in a bag array, where an item (or the end) comes
        Item,        // inside an item
        BagCount,    // in a bag array, where the count of the item comes
        Done,        // after the top-level object
    };

    // One handler per state; each e.event goes to the handler of the state
    // the reader is in.
    void step(const ParserEvent& e) {
        switch (state_) {
            case State::Top: return on_top(e);
            case State::Members: return member(e);
            case State::Skip: return on_skip(e);
            case State::Codes: return on_codes(e);
            case State::ChainStart: return on_chain_start(e);
            case State::Start: return on_start(e);
            case State::ChainBag: return on_chain_bag(e);
            case State::BagItem: return on_bag_item(e);
            case State::Item: return on_item(e);
            case State::BagCount: return on_bag_count(e);
            case State::Done: return on_done(e);
        }
    }

    // Before the top-level object: only its start.
    void on_top(const ParserEvent& e) {
        if (e.kind != Event::StartMap) {
            raise(PyExc_ValueError, "the document is not a JSON object (it starts with %s)", event_description(e.kind));
        }
        state_ = State::Members;
    }

    // Inside a member that is not read: its end.
    void on_skip(const ParserEvent& e) {
        if (is_open(e.kind)) {
            ++skip_depth_;
        } else if (is_close(e.kind) && --skip_depth_ == 0) {
            state_ = State::Members;
        }
    }

    // Inside the "codes" array: its elements go to the builder.
    void on_codes(const ParserEvent& e) {
        if (e.kind == Event::EndArray && source_.depth() == 1) {
            // The list is read before the builder sees its end.
            build_table(source_.value().get());
            source_.feed(e);
            state_ = State::Members;
        } else {
            source_.feed(e);
        }
    }

    // In "chain", where a start (or the end) comes.
    void on_chain_start(const ParserEvent& e) {
        if (e.kind == Event::EndArray) {
            state_ = State::Members;
        } else if (is_open(e.kind)) {
            source_.feed(e);
            state_ = State::Start;
        } else if (is_scalar(e.kind)) {
            start_ = Ref::borrow(e.number);
            state_ = State::ChainBag;
        } else {
            raise(PyExc_ValueError, "expected a start in \"chain\", found %s", event_description(e.kind));
        }
    }

    // Inside a start that is an array or object.
    void on_start(const ParserEvent& e) {
        source_.feed(e);
        if (source_.depth() == 0) {
            start_ = source_.value();
            state_ = State::ChainBag;
        }
    }

    // Where the bag array of the start comes.
    void on_chain_bag(const ParserEvent& e) {
        if (e.kind == Event::StartArray) {
            state_ = State::BagItem;
        } else if (e.kind == Event::EndArray) {
            raise_odd_chain();
        } else {
            raise(PyExc_ValueError, "expected the bag array of start %.200R in \"chain\", found %s",
                  start_.get(), event_description(e.kind));
        }
    }

    // In a bag array, where an item (or the end) comes.
    void on_bag_item(const ParserEvent& e) {
        if (e.kind == Event::EndArray) {
            state_ = State::ChainStart;
        } else if (e.kind == Event::StartArray) {
            if (Lane lane = lane_for_item(); lane != Lane::None) return start_lane(lane);
            lane_ready_ = Lane::None;
            state_ = State::Item;
            // Decoded items are only read by the lazy item.
            if (decoded_mode_ || (driven_ && native_chain_api(chain_) != nullptr)) source_.allow_elements();
            source_.feed(e);
        } else {
            raise_not_an_item(start_.get(), event_description(e.kind));
        }
    }

    // Inside an item.
    void on_item(const ParserEvent& e) {
        if (lane_ != Lane::None) {
            if (e.kind == Event::EndArray) return end_lane();
            if (lane_ == Lane::Codes && e.kind == Event::String) {
                // A str code (the writer codes a value as itself where its
                // text is no longer than its position's digits): held with
                // its value.
                PyObject* value = find_value(e.value);
                if (value != nullptr) {
                    lane_text_codes_.push_back({lane_codes_.size(), Ref::borrow(e.value), value, false, missed_});
                    lane_codes_.push_back(kNoCode);
                    missed_.reset();
                    return;
                }
            }
            if (lane_ == Lane::Texts && e.kind == Event::String) {
                // A text not met yet: its chain object is remembered once
                // the row is in.
                if (missed_) {
                    lane_misses_.push_back({lane_items_.size(), *missed_});
                    missed_.reset();
                }
                lane_items_.push_back(Ref::borrow(e.value));
                return;
            }
            spill_lane();
        }
        source_.feed(e);
        if (source_.depth() == 0) state_ = State::BagCount;
    }

    // Where the count of the item comes.
    void on_bag_count(const ParserEvent& e) {
        if (e.kind == Event::Number) {
            add_pair(e.number);
            state_ = State::BagItem;
        } else if (e.kind == Event::EndArray) {
            raise_odd_bag(start_.get());
        } else {
            raise_not_a_count(start_.get(), event_description(e.kind));
        }
    }

    // After the top-level object: nothing more.
    void on_done(const ParserEvent& e) {
        raise(PyExc_ValueError, "the parser gave %s after the end of the document", event_description(e.kind));
    }

    // Between the members of the top-level object: a key, or the e.value of
    // the last key.
    void member(const ParserEvent& e) {
        if (e.kind == Event::MapKey) {
            last_key_ = Ref::borrow(e.value);
            return;
        }
        if (e.kind == Event::EndMap) {
            state_ = State::Done;
            return;
        }
        bool codes = key_is(interned().codes, "codes");
        bool chain = !codes && key_is(interned().chain, "chain");
        if (codes || chain) {
            if (e.kind != Event::StartArray) {
                raise(PyExc_ValueError, "\"%s\" is not an array (it is %s)", codes ? "codes" : "chain",
                      event_description(e.kind));
            }
            if (codes) {
                source_.feed(e);
                state_ = State::Codes;
            } else {
                saw_chain_ = true;
                state_ = State::ChainStart;
            }
        } else if (is_open(e.kind)) {
            skip_depth_ = 1;
            state_ = State::Skip;
        }
    }

    bool key_is(PyObject* name, const char* text) const {
        PyObject* key = last_key_.get();
        if (key == name) return true;
        return key != nullptr && PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, text) == 0;
    }

    // The code table: the codes list read two elements at a time.
    void build_table(PyObject* codes) {
        Ref table = read_code_table(codes);
        decoded_mode_ = check_size(PyDict_Size(table.get())) > 0;
        by_code_ = values_by_code(table.get());
        table_ = std::move(table);
        str_codes_.fill(table_.get());
        // A later "codes" member gives codes new values: nothing kept by
        // code stands.
        keep_for(Ref());
    }

    // The value of `code` in the code table (null when it has none), and
    // of the start (MissingCodeError when it has none).
    PyObject* find_value(PyObject* code) const {
        PyObject* value = str_codes_.find(code);
        return value != nullptr ? value : find_code(table_.get(), by_code_.get(), code);
    }
    PyObject* decode_start() const {
        PyObject* value = find_value(start_.get());
        if (value == nullptr) raise_missing_code(start_.get());
        return value;
    }

    // What is kept is of the chain's table `table` from now on: nothing
    // kept before stands (what a row borrowed from the table of before is
    // returned, held, for it to stay alive through the row).
    Ref keep_for(Ref table) {
        Ref retired = std::move(kept_table_);
        kept_table_ = std::move(table);
        table_known_ = false;
        kept_.assign(kept_table_ && by_code_ ? size_t(PyList_GET_SIZE(by_code_.get())) : 0, nullptr);
        texts_.clear();
        code_texts_.clear();
        start_bag_ = Ref();
        return retired;
    }

    // An item and its count: one add_to_bag call, with the start and the
    // item decoded through the code table when it is not empty.
    void add_pair(PyObject* count) {
        resume();  // the chain's methods may be called
        if (decoded_mode_) {
            Ref decoded_start = Ref::borrow(decode_start());
            // A bound builder's value is read now: the builder goes on to
            // the next item, and a lazy item kept by the chain must still
            // yield its own values when advanced later.
            std::vector<Ref>* codes = item_elements();
            if (codes != nullptr && add_row(decoded_start.get(), *codes, count)) return;
            Ref item = codes ? Ref() : source_.value();
            Ref lazy = new_item_decoder(item.get(), table_.get(), by_code_.get(), codes);
            flush_clear();
            chain_add_to_bag(chain_, decoded_start.get(), lazy.get(), count);
        } else {
            std::vector<Ref>* values = item_elements();
            if (values != nullptr && add_row(start_.get(), *values, count)) return;
            Ref item = values ? list_of(*values) : source_.value();
            flush_clear();
            chain_add_to_bag(chain_, start_.get(), item.get(), count);
        }
    }

    // The lane the next item goes in.
    Lane lane_for_item() const {
        if (lane_api_ == nullptr) return Lane::None;
        return decoded_mode_ ? Lane::Codes : Lane::Texts;
    }
    void start_lane(Lane lane) {
        lane_ = lane;
        lane_ready_ = Lane::None;
        lane_codes_.clear();
        lane_text_codes_.clear();
        lane_items_.clear();
        lane_misses_.clear();
        state_ = State::Item;
    }
    void end_lane() {
        lane_ready_ = lane_;
        lane_ = Lane::None;
        state_ = State::BagCount;
    }

    // Something else than the lane takes came in the item: it is assembled
    // from what came so far, then as any other.
    void spill_lane() {
        Lane lane = lane_;
        lane_ = Lane::None;
        source_.allow_elements();
        source_.feed(ParserEvent{Event::StartArray, names_.name(Event::StartArray), Py_None, Py_None});
        for (Ref& element : lane_elements(lane)) {
            Event kind = lane == Lane::Codes ? Event::Number : Event::String;
            source_.feed(ParserEvent{kind, names_.name(kind), element.get(), element.get()});
        }
    }

    // The elements of the lane's item as objects: ints for codes.
    std::vector<Ref>& lane_elements(Lane lane) {
        lane_refs_.clear();
        if (lane == Lane::Texts) {
            lane_refs_.swap(lane_items_);
        } else {
            for (long long code : lane_codes_) lane_refs_.push_back(Ref::check(PyLong_FromLongLong(code)));
            for (const TextCode& text : lane_text_codes_) lane_refs_[text.index] = text.code;
        }
        return lane_refs_;
    }
    // The elements of the last item: of its lane (the lane is done), or
    // as the source kept them (null: see take_elements).
    std::vector<Ref>* item_elements() {
        if (lane_ready_ == Lane::None) return source_.take_elements();
        Lane lane = lane_ready_;
        lane_ready_ = Lane::None;
        return &lane_elements(lane);
    }

    // For the package's own chain, an item of scalars (`elements`: its codes
    // in decoded mode, its values otherwise) and an int count go in as a
    // row of the chain's own objects, which is what add_to_bag makes of
    // them: no lazy item or list, and each value kept once per code. False
    // (and nothing done) where that would differ: an item with a code that
    // is not in the table (the lazy item raises as the chain reads it), or
    // any other count.
    bool add_row(PyObject* decoded_start, const std::vector<Ref>& elements, PyObject* count) {
        const NativeApi* api = native_chain_api(chain_);
        long long n = 0;
        if (api == nullptr || !PyLong_CheckExact(count) || !exact_int_value(count, n)) return false;
        row_.clear();
        row_codes_.clear();
        for (const Ref& element : elements) {
            PyObject* value = decoded_mode_ ? find_value(element.get()) : element.get();
            if (value == nullptr) return false;
            row_.push_back(value);
            row_codes_.push_back(decoded_mode_ ? listed_code(element.get()) : kNoCode);
        }
        put_row(api, decoded_start, n);
        return true;
    }

    // add_row for the item of a lane: of the code lane, its codes all
    // listed in the code table (false, and nothing done, otherwise).
    bool add_lane_row(long long count) {
        const NativeApi* api = lane_api_;
        if (api == nullptr) return false;
        row_.clear();
        row_codes_.clear();
        if (lane_ready_ == Lane::Texts) {
            for (const Ref& item : lane_items_) {
                row_.push_back(item.get());
                row_codes_.push_back(kKept);
            }
            for (const Miss& miss : lane_misses_) row_codes_[miss.index] = kNoCode;
            lane_ready_ = Lane::None;
            put_row(api, start_.get(), count);
            for (const Miss& miss : lane_misses_) texts_.put(miss.hash, row_[miss.index], row_[miss.index]);
            return true;
        }
        if (defer_lane_row(count)) return true;
        Py_ssize_t listed = PyList_GET_SIZE(by_code_.get());
        auto text = lane_text_codes_.begin();
        for (size_t k = 0; k < lane_codes_.size(); ++k) {
            if (text != lane_text_codes_.end() && text->index == k) {
                row_.push_back(text->value);
                row_codes_.push_back(text->kept ? kKept : kNoCode);
                ++text;
                continue;
            }
            // The chain's object for the code when kept already (it stands
            // for the value), else the value.
            long long code = lane_codes_[k];
            PyObject** slot = kept_slot(code);
            PyObject* value = slot != nullptr ? *slot : nullptr;
            if (value == nullptr && code >= 0 && code < listed) value = PyList_GET_ITEM(by_code_.get(), Py_ssize_t(code));
            if (value == nullptr || value == Py_None) return false;
            row_.push_back(value);
            row_codes_.push_back(code);
        }
        // The start is decoded when its bag is not known yet.
        PyObject* decoded_start = has_start_bag() ? nullptr : decode_start();
        lane_ready_ = Lane::None;
        put_row(api, decoded_start, count);
        for (const TextCode& text : lane_text_codes_) {
            if (text.missed) code_texts_.put(*text.missed, text.code.get(), row_[text.index]);
        }
        return true;
    }

    // The row made of row_ (values) and row_codes_ (their listed codes, or
    // kNoCode, or kKept for the chain's own objects), with the count `n`,
    // into the chain at the start `decoded_start` (null: decoded here when
    // needed).
    void put_row(const NativeApi* api, PyObject* decoded_start, long long n) {
        Ref held_start = Ref::borrow(decoded_start);  // the table may go in the clear
        flush_clear();
        if (api == lane_api_ && replacing_ && !pause_) pause_.emplace();
        // The chain's table, looked up once per block while driven (only the
        // caller's code, which runs between blocks, can change it).
        bool same_table = table_known_ && api == lane_api_;
        Ref retired;
        if (!same_table) {
            flush_pending();  // its values are of the table known before
            Ref current = Ref::check(api->chain_table(chain_));
            same_table = current.get() == kept_table_.get();
            if (!same_table) retired = keep_for(current);
            table_known_ = api == lane_api_;
        }
        Ref table = kept_table_;
        for (size_t k = 0; k < row_.size(); ++k) {
            if (row_codes_[k] != kKept || !same_table) row_[k] = kept(api, table.get(), row_codes_[k], row_[k]);
        }
        if (decoded_start == nullptr && !has_start_bag()) {
            decoded_start = decode_start();
        }
        Ref bag = bag_of_start(api, table.get(), decoded_start);
        if (Py_IS_TYPE(bag.get(), api->bag_type)) {
            if (defer_row(api, bag, table, n)) return;
            flush_pending();
            if (api->bag_add_row(bag.get(), table.get(), row_.data(), Py_ssize_t(row_.size()), n) < 0) throw PyError();
            return;
        }
        resume();  // a bag of another type gets its own add
        if (decoded_start == nullptr) decoded_start = decode_start();
        PyObject* start = kept(api, table.get(), start_code(), decoded_start);
        if (api->chain_add_row(chain_, table.get(), start, row_.data(), Py_ssize_t(row_.size()), n) < 0) {
            throw PyError();
        }
    }

    // Defers the row in row_ (count `n`) for `bag`, the bag of the current
    // start, when nothing of the caller's can run before the pending rows are
    // added (see pending_bag_): true when deferred.
    bool defer_row(const NativeApi* api, const Ref& bag, const Ref& table, long long n) {
        if (!may_defer(n) || bag.get() != start_bag_.get()) return false;
        Py_ssize_t width = Py_ssize_t(row_.size());
        if (bag.get() != pending_bag_.get() || table.get() != pending_table_.get() || width != pending_width_ ||
            pending_values_.size() >= kMostPending) {
            flush_pending();
            pending_bag_ = bag;
            pending_table_ = table;
            pending_api_ = api;
            pending_width_ = width;
        }
        pending_values_.insert(pending_values_.end(), row_.begin(), row_.end());
        pending_counts_.push_back(std::uint32_t(n));
        return true;
    }

    // The usual row of the code lane deferred as it is, where put_row would
    // find nothing to look up or decide: rows are pending for the start's
    // bag, in this table, of this width, and each code's object is kept.
    bool defer_lane_row(long long count) {
        if (!may_defer(count) || !table_known_ || !pending_bag_ || pending_bag_.get() != start_bag_.get() ||
            !has_start_bag() || pending_table_.get() != kept_table_.get() || !lane_text_codes_.empty() ||
            Py_ssize_t(lane_codes_.size()) != pending_width_ || pending_values_.size() >= kMostPending) {
            return false;
        }
        size_t before = pending_values_.size();
        for (long long code : lane_codes_) {
            PyObject** slot = kept_slot(code);
            PyObject* known = slot != nullptr ? *slot : nullptr;
            if (known == nullptr) {
                pending_values_.resize(before);
                return false;
            }
            pending_values_.push_back(known);
        }
        pending_counts_.push_back(std::uint32_t(count));
        lane_ready_ = Lane::None;
        return true;
    }

    // Whether a row of count `n` may be deferred: nothing of the caller's runs
    // until the pending rows go in, and the count is a small one.
    bool may_defer(long long n) const { return pause_ && n >= 0 && n <= static_cast<long long>(UINT32_MAX); }

    // Adds the pending rows to their bag, as adding each would have.
    void flush_pending() {
        if (!pending_bag_) return;
        Ref bag = std::move(pending_bag_);
        Ref table = std::move(pending_table_);
        int status = pending_api_->bag_add_rows(bag.get(), table.get(), pending_values_.data(), pending_width_,
                                             pending_counts_.data(), Py_ssize_t(pending_counts_.size()));
        pending_values_.clear();
        pending_counts_.clear();
        if (status < 0) throw PyError();
    }

    // Before anything of the caller's may run: the pending rows go in, and the
    // collector goes on.
    void resume() {
        flush_pending();
        pause_.reset();
    }

public:
    // On the way out with an error: the pending rows go in, as they would have
    // gone before the error came; the error stays the one raised.
    void flush_before_error() noexcept {
        if (!pending_bag_) return;
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        try {
            flush_pending();
        } catch (...) {
            PyErr_Clear();
        }
        PyErr_Restore(type, value, traceback);
    }

private:
    // The chain's bag of the current start. The pairs of one start come
    // together: while nothing of the caller's can have run (within a block
    // of the driven parse), the bag found for the first is the bag of the
    // rest.
    bool has_start_bag() const { return start_bag_ && start_of_bag_.get() == start_.get(); }
    Ref bag_of_start(const NativeApi* api, PyObject* table, PyObject* decoded_start) {
        if (has_start_bag()) return start_bag_;
        PyObject* start = kept(api, table, start_code(), decoded_start);
        Ref bag = Ref::check(api->chain_bag_of(chain_, table, start));
        if (driven_) {
            start_bag_ = bag;
            start_of_bag_ = start_;
        }
        return bag;
    }

    // The index of `code` in the code table's list by code, or kNoCode.
    long long listed_code(PyObject* code) const {
        long long i = kNoCode;
        if (!PyLong_CheckExact(code) || !exact_int_value(code, i) || i < 0 || i >= PyList_GET_SIZE(by_code_.get())) {
            return kNoCode;
        }
        return i;
    }
    long long start_code() const { return decoded_mode_ ? listed_code(start_.get()) : kNoCode; }

    // Where the chain's object for the listed `code` is kept (null when it
    // is not listed); the object is null until found.
    PyObject** kept_slot(long long code) {
        return code >= 0 && size_t(code) < kept_.size() ? &kept_[size_t(code)] : nullptr;
    }

    // The chain's object for `value` (the value of the listed `code`, if
    // any): found once per code while the chain's table stays the same.
    PyObject* kept(const NativeApi* api, PyObject* table, long long code, PyObject* value) {
        PyObject** slot = kept_slot(code);
        if (slot != nullptr && *slot != nullptr) return *slot;
        PyObject* k = api->chain_keep(chain_, table, value);
        if (k == nullptr) throw PyError();
        if (slot != nullptr) *slot = k;
        return k;
    }

    // Replacing empties the chain only once the document has shown it
    // has something to load, or has ended well.
    void flush_clear() {
        if (!pending_clear_) return;
        pending_clear_ = false;
        table_known_ = false;
        chain_clear(chain_);
    }

    PyObject* chain_;
    bool replacing_;
    bool pending_clear_;
    ValueSource source_;
    EventNames names_;
    State state_ = State::Top;
    std::size_t skip_depth_ = 0;
    bool saw_chain_ = false;
    Ref last_key_;
    Ref start_;
    Ref table_;
    Ref by_code_;
    bool decoded_mode_ = false;  // the code table is not empty: codes are decoded through it
    // For add_row: the chain's objects by integer code (borrowed: the
    // chain's table, held here, holds them) and a row being made.
    Ref kept_table_;
    std::vector<PyObject*> kept_;
    std::vector<PyObject*> row_;
    std::vector<long long> row_codes_;
    static constexpr long long kNoCode = -1;
    static constexpr long long kKept = -2;
    // The lanes: while driven, into the package's chain, an item is first
    // read as what yajl gives, as it is: in decoded mode its codes as small
    // ints (no int object per code), else its strings, each text met
    // before as the chain's object for it (no str made and looked up
    // again). Anything else in it turns it into an item as any other.
    Lane lane_ = Lane::None;        // the lane of the item being read
    Lane lane_ready_ = Lane::None;  // the lane of the last item, not yet added
    std::vector<long long> lane_codes_;
    struct TextCode {
        std::size_t index;  // in the item
        Ref code;
        PyObject* value;  // its value (borrowed from table_), or
        bool kept;        // the chain's object for it (from code_texts_)
        std::optional<std::uint64_t> missed;  // the hash of its bytes, when not met before
    };
    std::vector<TextCode> lane_text_codes_;  // the item's str codes
    std::vector<Ref> lane_items_;
    struct Miss {
        std::size_t index;  // in the item
        std::uint64_t hash;
    };
    std::vector<Miss> lane_misses_;  // its texts not met before
    // The hash of the bytes of the text being made into a str, when it was
    // not met before.
    std::optional<std::uint64_t> missed_;
    // The chain's objects (borrowed from kept_table_) for the texts of the
    // plain form, and for the str codes.
    KeptTexts texts_{15};
    KeptTexts code_texts_{12};
    KeyTexts str_codes_;  // the code table's str codes
    std::vector<Ref> lane_refs_;
    const NativeApi* lane_api_ = nullptr;  // the package's chain's, found at each block
    bool table_known_ = false;             // kept_table_ is the chain's, within this block
    // Replacing the package's chain through its rows, what is done within
    // a block runs no code of the caller's: the collector is paused for it
    // (else its young collections walk the growing chain again and again),
    // and resumed before the next read and before anything else is called.
    std::optional<CollectorPause> pause_;
    // The bag of the start start_of_bag_, while driven and within a block.
    bool driven_ = false;
    Ref start_bag_;
    Ref start_of_bag_;
    // Rows for the bag pending_bag_ of the current start, not added yet: while
    // the collector is paused, a start's rows are gathered and added in
    // one go (a bag made for them is filled at once, not grown row by row).
    // They are added before any other row, before the chain's table or
    // anything of the caller's may be used, and before an error leaves.
    Ref pending_bag_;
    Ref pending_table_;  // the bag's table, which holds the values
    const NativeApi* pending_api_ = nullptr;
    Py_ssize_t pending_width_ = 0;
    std::vector<PyObject*> pending_values_;
    std::vector<std::uint32_t> pending_counts_;
    // Values pending at most, so that a bag's rows do not take memory with
    // the document's size (past them, the pending rows go in, and deferring
    // starts again).
    static constexpr std::size_t kMostPending = 1 << 14;
};

}  // namespace

void init_stream_types(PyObject* module) {
    state().item_decoder_type = Ref::check(PyType_FromModuleAndSpec(module, &item_decoder_spec, nullptr));
    state().utf8_reader_type = Ref::check(PyType_FromModuleAndSpec(module, &utf8_reader_spec, nullptr));
}

// ijson's own parsers read the file in blocks and turn each block into a
// batch of event tuples before handing out the first. With its default
// 64 KiB blocks, a batch of some ten thousand tuples sets the cyclic
// collector off and outlives its young collections, which then walk the
// growing chain far more often: up to a fifth of a load went to the
// collector. Blocks of 2 KiB keep a batch near the collector's threshold
// (a parser bound in ijson's place is called with the file alone).
// zantu.pycodec and the benchmark's parse-alone baseline use the same size.
constexpr long kParserBlock = 2048;
constexpr long kDefaultBlock = 64 * 1024;  // what ijson's basic_parse reads otherwise

// Whether the reader may read `source` itself: a text file (through the
// Utf8Reader) or one of io's own binary files, whose reads run no code of
// the caller's that could tell the difference.
bool plain_source(PyObject* source) {
    if (Py_IS_TYPE(source, reinterpret_cast<PyTypeObject*>(state().utf8_reader_type.get()))) {
        return reinterpret_cast<Utf8Reader*>(source)->text;
    }
    return io_binary_file(source);
}

// The yajl backend whose parse the reader drives itself for `source` (see
// yajl_parser.h), or 0: only while ijson's own ObjectBuilder is bound and
// the reader assembles values itself.
int driven_backend(PyObject* module, PyObject* basic_parse, PyObject* source) {
    if (!fast_path(FastPath::native_builder) || !plain_source(source)) return 0;
    int backend = yajl_backend_of(basic_parse);
    if (backend == 0) return 0;
    PyObject* builder_class = dict_entry(PyModule_GetDict(module), interned().ObjectBuilder);
    return is_ijson_object_builder(builder_class) ? backend : 0;
}

// The blocks of a source the reader reads itself (see plain_source), of
// `size` bytes, as the backend reads them; a text file's are read from the
// file, and its text's UTF-8 is what Utf8Reader would have made of it.
class FileBlocks final : public BlockSource {
public:
    FileBlocks(PyObject* source, long size) : source_(source), size_(Ref::check(PyLong_FromLong(size))) {
        if (Py_IS_TYPE(source, reinterpret_cast<PyTypeObject*>(state().utf8_reader_type.get()))) {
            text_file_ = reinterpret_cast<Utf8Reader*>(source)->file;
        }
    }

    std::string_view next(Ref& held) override {
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

private:
    PyObject* source_;
    PyObject* text_file_ = nullptr;  // held by source_
    Ref size_;
};

void load_json_big(PyObject* module, PyObject* chain, PyObject* file, PyObject* merge) {
    bool merging = check_status(PyObject_IsTrue(merge));
    Ref source = parser_source(file);
    Ref basic_parse = ijson_basic_parse_function(module);
    if (int backend = driven_backend(module, basic_parse.get(), source.get())) {
        // As the backend's basic_parse reads: a probe of the source (which
        // gives bytes), then blocks of the size it would ask for.
        Ref probe = Ref::check(PyLong_FromLong(0));
        call_method(interned().read, source.get(), probe.get());
        long block = fast_path(FastPath::parser_blocks) && is_ijson_basic_parse(basic_parse.get()) ? kParserBlock
                                                                                                  : kDefaultBlock;
        StreamReader reader(chain, merging, Ref(), true);
        FileBlocks blocks(source.get(), block);
        try {
            parse_with_yajl(backend, blocks, reader);
            reader.finish();
        } catch (...) {
            reader.flush_before_error();
            throw;
        }
        return;
    }
    Ref events = ijson_basic_parse(basic_parse.get(), source.get(), kParserBlock);
    Ref builder_class = module_global(module, interned().ObjectBuilder);
    bool genuine_builder = is_ijson_object_builder(builder_class.get());
    Ref builder;
    if (!genuine_builder || !fast_path(FastPath::native_builder)) builder = call(builder_class.get());
    StreamReader reader(chain, merging, std::move(builder), genuine_builder);
    reader.run(events.get());
}

}  // namespace zantu
