// The compact form in which bags and chains are pickled and copied: every
// value once, in a list; the rows as codes into that list, and the small
// counts, packed into bytes; counts that are objects in a list of their own.
//
//   bag:   (2, rows, attributes)
//   chain: (2, rows, starts, others, attributes)
//   rows:  (values, layout, codes, counts, objects)
//   chain whose counts are still numbers (state_store.h):
//          (3, values, states, rows, nexts, counts, order, attributes)
//
// `layout` holds two numbers a bag: its row count, and its kind (the
// width of its rows, or kVaried when each row's codes follow its width;
// kObjects when its counts are in `objects`; kOther for a chain's bag that
// is pickled as itself, taken from `others` in turn). `starts` holds the
// code of each start. Packed numbers are little-endian, 1, 2 or 4 bytes
// each as the largest needs, the first byte giving that size. In the
// third form `states` holds `order` codes a state, `rows` the number of
// rows of each, `nexts` and `counts` the rows, state by state.
#include <algorithm>
#include <optional>
#include <vector>

#include "probe_table.h"
#include "state_store.h"
#include "bag_store.h"
#include "chain.h"

namespace zantu::native {

namespace {

constexpr long kFormat = 2;
constexpr uint32_t kVaried = 0x100;
constexpr uint32_t kObjects = 0x200;
constexpr uint32_t kOther = 0x400;

[[noreturn]] void raise_bad_state() {
    raise(PyExc_ValueError, "the pickled state of a ProbabilityBag or MarkovChain does not hold together");
}

Ref pack(const uint32_t* numbers, size_t count) {
    uint32_t most = 0;
    for (size_t i = 0; i < count; ++i) most = numbers[i] > most ? numbers[i] : most;
    size_t size = most <= 0xFF ? 1 : most <= 0xFFFF ? 2 : 4;
    Ref bytes = Ref::check(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(1 + count * size)));
    auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.get()));
    *out++ = static_cast<unsigned char>(size);
    for (size_t i = 0; i < count; ++i) {
        for (size_t k = 0; k < size; ++k) *out++ = static_cast<unsigned char>(numbers[i] >> (8 * k));
    }
    return bytes;
}

Ref pack(const std::vector<uint32_t>& numbers) { return pack(numbers.data(), numbers.size()); }

Ref packed(const uint32_t* numbers, size_t count, bool buffers) {
    Ref bytes = pack(numbers, count);
    return buffers ? Ref::check(PyPickleBuffer_FromObject(bytes.get())) : bytes;
}

// Packed numbers read back, from any object with a buffer.
class Unpacked {
public:
    explicit Unpacked(PyObject* object) {
        check_status(PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE));
        data_ = static_cast<const unsigned char*>(view_.buf);
        if (view_.len < 1) raise_bad_state();
        width_ = data_[0];
        if (width_ != 1 && width_ != 2 && width_ != 4) raise_bad_state();
        size_ = size_t(view_.len - 1) / width_;
        if (size_ * width_ != size_t(view_.len - 1)) raise_bad_state();
        ++data_;
    }
    ~Unpacked() { PyBuffer_Release(&view_); }
    Unpacked(const Unpacked&) = delete;
    Unpacked& operator=(const Unpacked&) = delete;

    // The next number; ValueError past the last.
    uint32_t next() {
        if (read_ >= size_) raise_bad_state();
        const unsigned char* p = data_ + read_++ * width_;
        uint32_t n = 0;
        for (size_t k = 0; k < width_; ++k) n |= uint32_t(p[k]) << (8 * k);
        return n;
    }
    bool done() const { return read_ == size_; }
    size_t remaining() const { return size_ - read_; }
    // Every number not yet read.
    std::vector<uint32_t> rest() {
        std::vector<uint32_t> numbers(remaining());
        for (uint32_t& n : numbers) n = next();
        return numbers;
    }

private:
    Py_buffer view_{};
    const unsigned char* data_ = nullptr;
    size_t width_ = 0;
    size_t size_ = 0;
    size_t read_ = 0;
};

// Writes bags into the compact form. The reading runs no code of the
// caller's and makes no object the collector tracks: what is written is
// held (values and count objects by new references) before any is made.
class RowsWriter {
public:
    void add_bag(const BagObject* bag) {
        const BagStore& s = bag->store;
        uint32_t kind = s.mode == BagStore::kTuples ? kVaried : s.width;
        if (s.big) kind |= kObjects;
        layout_.push_back(s.size);
        layout_.push_back(kind);
        for (Py_ssize_t row = 0; row < s.size; ++row) {
            Row r = store_row(s, row);
            if (kind & kVaried) codes_.push_back(uint32_t(r.size));
            for (Py_ssize_t k = 0; k < r.size; ++k) codes_.push_back(code(r.values[k]));
            if (s.big) {
                objects_.push_back(Ref::borrow(s.big_counts()[row]));
            } else {
                counts_.push_back(s.small_counts()[row]);
            }
        }
    }
    void add_other() {
        layout_.push_back(0);
        layout_.push_back(kOther);
    }
    uint32_t code(PyObject* value) {
        uint32_t& code = codes_of_.at(value);
        if (code == 0) {
            values_.push_back(Ref::borrow(value));
            code = uint32_t(values_.size());
        }
        return code - 1;
    }

    // (values, layout, codes, counts, objects); the bytes as PickleBuffers
    // with `buffers` (protocol 5: out of band where the pickler asks).
    Ref rows(bool buffers) const {
        Ref values = list_of(values_);
        Ref objects = list_of(objects_);
        Ref layout = packed(layout_, buffers);
        Ref codes = packed(codes_, buffers);
        Ref counts = packed(counts_, buffers);
        return Ref::check(PyTuple_Pack(5, values.get(), layout.get(), codes.get(), counts.get(), objects.get()));
    }

private:
    static Ref list_of(const std::vector<Ref>& items) {
        Ref list = Ref::check(PyList_New(Py_ssize_t(items.size())));
        for (size_t k = 0; k < items.size(); ++k) PyList_SET_ITEM(list.get(), Py_ssize_t(k), Ref(items[k]).release());
        return list;
    }
    static Ref packed(const std::vector<uint32_t>& numbers, bool buffers) {
        return zantu::native::packed(numbers.data(), numbers.size(), buffers);
    }

    AddressMap<uint32_t> codes_of_;  // a value's code + 1
    std::vector<Ref> values_;
    std::vector<uint32_t> layout_, codes_, counts_;
    std::vector<Ref> objects_;
};

// Reads bags back from the compact form into the objects of `table`.
class RowsReader {
public:
    // With `plain_only`, nothing is kept when a value or the table is not
    // plain (see plain()).
    RowsReader(PyObject* rows, PyObject* table, bool plain_only = false) : table_(Ref::borrow(table)) {
        PyObject *values, *layout, *codes, *counts, *objects;
        if (!PyTuple_Check(rows) || !PyArg_ParseTuple(rows, "O!OOOO!", &PyList_Type, &values, &layout, &codes, &counts,
                                                      &PyList_Type, &objects)) {
            raise_bad_state();
        }
        layout_.emplace(layout);
        codes_.emplace(codes);
        counts_.emplace(counts);
        // Held first: keeping a value may run its __eq__, which may change the lists.
        std::vector<Ref> held = held_items(values);
        objects_ = held_items(objects);
        // Checked once the buffers are read (a buffer of the caller's may run
        // code): from here on, plain values kept in a plain table run none.
        if (plain_only && !(table_plain(table) && std::all_of(held.begin(), held.end(), [](const Ref& value) {
                                return plain_value(value.get());
                            }))) {
            plain_ = false;
            return;
        }
        kept_.reserve(held.size());
        for (const Ref& value : held) kept_.push_back(kept_value(table, value.get()));
    }

    // False when a value was not plain (made with `plain_only`).
    bool plain() const { return plain_; }
    bool next_is_other() const { return next_kind_ == kOther; }
    // The rows of the bag just read by next_bag().
    uint32_t next_rows() const { return next_rows_; }
    // Whether some count is an object (not a small integer).
    bool has_objects() const { return !objects_.empty(); }
    // Reads the next bag's row count and kind; false after the last bag.
    bool next_bag() {
        if (layout_->done()) return false;
        next_rows_ = layout_->next();
        next_kind_ = layout_->next();
        if (next_kind_ != kOther && (next_kind_ & ~(kVaried | kObjects | 0xFFu)) != 0) raise_bad_state();
        return true;
    }
    // The object of `table` for the next code.
    PyObject* value() { return value_at(codes_->next()); }
    PyObject* value_at(uint32_t code) const {
        if (code >= kept_.size()) raise_bad_state();
        return kept_[code];
    }

    // Fills the empty `bag`, whose table is the reader's, with the rows of
    // the bag just read by next_bag().
    void fill(BagObject* bag) {
        TrackedWhenBig tracked(bag);
        Py_ssize_t rows = next_rows_;
        bool varied = next_kind_ & kVaried, objects = next_kind_ & kObjects;
        Py_ssize_t width = next_kind_ & 0xFF;
        if (!varied && !objects) {
            // Sizes checked before any room is made for them.
            if (size_t(rows) > counts_->remaining() || size_t(rows * width) > codes_->remaining()) raise_bad_state();
            row_values_.resize(size_t(rows * width));
            row_counts_.resize(size_t(rows));
            for (Py_ssize_t row = 0; row < rows; ++row) {
                for (Py_ssize_t k = 0; k < width; ++k) row_values_[size_t(row * width + k)] = value();
                row_counts_[size_t(row)] = counts_->next();
            }
            if (bag->table != table_.get()) raise_bag_changed("unpickling");
            bag_add_rows(bag, row_values_.data(), width, row_counts_.data(), rows);
            return;
        }
        for (Py_ssize_t row = 0; row < rows; ++row) {
            Py_ssize_t size = varied ? Py_ssize_t(codes_->next()) : width;
            if (size_t(size) > codes_->remaining()) raise_bad_state();
            row_values_.resize(size_t(size));
            for (Py_ssize_t k = 0; k < size; ++k) row_values_[size_t(k)] = value();
            PyObject* count = nullptr;
            uint32_t small = 0;
            if (objects) {
                if (next_object_ >= objects_.size()) raise_bad_state();
                count = objects_[next_object_++].get();
            } else {
                small = counts_->next();
            }
            // A count's + may have run code that gave the bag another table.
            if (bag->table != table_.get()) raise_bag_changed("unpickling");
            add_row(bag->store, row_values_.data(), size, count, small);
        }
    }

    // Every number and object read, as a whole state must end.
    void check_done() const {
        if (!layout_->done() || !codes_->done() || !counts_->done() || next_object_ != objects_.size()) {
            raise_bad_state();
        }
    }

private:
    static std::vector<Ref> held_items(PyObject* list) {
        std::vector<Ref> held;
        held.reserve(size_t(PyList_GET_SIZE(list)));
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(list); ++k) held.push_back(Ref::borrow(PyList_GET_ITEM(list, k)));
        return held;
    }

    Ref table_;
    std::optional<Unpacked> layout_, codes_, counts_;
    std::vector<Ref> objects_;
    size_t next_object_ = 0;
    std::vector<PyObject*> kept_;
    std::vector<PyObject*> row_values_;
    std::vector<uint32_t> row_counts_;
    uint32_t next_rows_ = 0, next_kind_ = 0;
    bool plain_ = true;
};

// A chain's bag that goes into the compact form: the package's own, held
// by the chain alone (a bag that is also held elsewhere, or twice in the
// chain, is pickled as itself, so that the pickle keeps it one object).
bool compact_bag(const NativeState& state, PyObject* bag) {
    return Py_IS_TYPE(bag, state.bag_type) && Py_REFCNT(bag) == 1;
}

constexpr long kStoreFormat = 3;

// The third form: a store's values and numbers as they are.
Ref store_compact_state(PyObject* chain, const StateStore& store, bool buffers) {
    Ref values, packed_states, packed_rows, packed_nexts, packed_counts;
    Py_ssize_t order = Py_ssize_t(store.order());
    {
        // The store is read whole, and its objects held, before code of
        // the caller's may run (the garbage the collector would find while
        // these are made may hold a __del__ that changes the chain).
        CollectorPause pause(true);
        uint32_t states = uint32_t(store.states());
        std::vector<uint32_t> rows(states), nexts, counts;
        nexts.reserve(store.all_rows());
        counts.reserve(store.all_rows());
        for (uint32_t s = 0; s < states; ++s) {
            rows[s] = store.rows(s);
            store.each_row(s, [&](uint32_t next, uint32_t count) {
                nexts.push_back(next);
                counts.push_back(count);
            });
        }
        values = Ref::check(PyList_New(Py_ssize_t(store.values())));
        for (uint32_t v = 0; v < store.values(); ++v) PyList_SET_ITEM(values.get(), v, Py_NewRef(store.value(v)));
        packed_states = packed(states == 0 ? nullptr : store.state_ids(0), size_t(states) * store.order(), buffers);
        packed_rows = packed(rows.data(), rows.size(), buffers);
        packed_nexts = packed(nexts.data(), nexts.size(), buffers);
        packed_counts = packed(counts.data(), counts.size(), buffers);
    }
    // Everything read is held: from here on, code of the caller's may run.
    Ref attributes = instance_state(chain);
    return Ref::check(Py_BuildValue("(lOOOOOnO)", kStoreFormat, values.get(), packed_states.get(), packed_rows.get(),
                                    packed_nexts.get(), packed_counts.get(), order, attributes.get()));
}

// The third form read back, and checked whole before anything is
// counted: the values held, the numbers unpacked. Every value is plain
// (a store keeps no other), every code one of a value, every count at
// least 1 and their sum what a store holds.
class StoredRows {
public:
    StoredRows(PyObject* values, PyObject* states, PyObject* rows, PyObject* nexts, PyObject* counts,
               Py_ssize_t order) {
        // The buffers first: reading one may run code of the caller's,
        // which may change the list of values.
        states_ = Unpacked(states).rest();
        rows_ = Unpacked(rows).rest();
        nexts_ = Unpacked(nexts).rest();
        counts_ = Unpacked(counts).rest();
        values_.reserve(size_t(PyList_GET_SIZE(values)));
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(values); ++k) {
            values_.push_back(Ref::borrow(PyList_GET_ITEM(values, k)));
            if (!plain_value(values_.back().get())) raise_bad_state();
        }
        if (order < 1) raise_bad_state();
        order_ = size_t(order);
        if (states_.size() / order_ != rows_.size() || states_.size() % order_ != 0) raise_bad_state();
        uint64_t all_rows = 0;
        for (uint32_t n : rows_) all_rows += n;
        if (all_rows != nexts_.size() || all_rows != counts_.size()) raise_bad_state();
        for (uint32_t code : states_) check_code(code);
        for (uint32_t code : nexts_) check_code(code);
        for (uint32_t count : counts_) {
            if (count == 0) raise_bad_state();
            pairs_ += count;
        }
        if (pairs_ >= UINT32_MAX) raise_bad_state();
    }

    size_t order() const { return order_; }
    uint64_t pairs() const { return pairs_; }
    bool empty() const { return rows_.empty(); }

    // Counted into `store` (of the order read, with room for the pairs),
    // the values kept in `table`, whose store it is.
    void count_into(StateStore& store, PyObject* table) const {
        // Plain values in a plain table: nothing below runs code of the
        // caller's while the collector is paused.
        CollectorPause pause(true);
        std::vector<uint32_t> ids(values_.size());
        for (size_t v = 0; v < values_.size(); ++v) ids[v] = store.value_id(kept_value(table, values_[v].get()));
        std::vector<uint32_t> state(order_);
        size_t row = 0;
        for (size_t s = 0; s < rows_.size(); ++s) {
            for (size_t k = 0; k < order_; ++k) state[k] = ids[states_[s * order_ + k]];
            for (uint32_t r = 0; r < rows_[s]; ++r, ++row) store.count(state.data(), ids[nexts_[row]], counts_[row]);
        }
        store.trim();
    }

private:
    void check_code(uint32_t code) const {
        if (code >= values_.size()) raise_bad_state();
    }

    std::vector<Ref> values_;
    std::vector<uint32_t> states_, rows_, nexts_, counts_;
    size_t order_ = 1;
    uint64_t pairs_ = 0;
};

// Counts the rows into the store of `chain` (the package's own type),
// when it can take them; false, nothing done, when not.
bool count_stored(ChainObject* chain, const StoredRows& rows) {
    Ref table = chain_table(chain);
    StateStore* store = usable_store(chain, rows.order());
    if (store == nullptr || !store->fits(rows.pairs())) return false;
    rows.count_into(*store, table.get());
    return true;
}

// A new chain of the package's type, with the rows counted into it.
Ref chain_of(const NativeState& native, const StoredRows& rows) {
    Ref chain = Ref::check(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(native.chain_type)));
    if (!count_stored(as_chain(chain.get()), rows)) raise_bad_state();
    return chain;
}

StoredRows read_stored_rows(PyObject* state, const char* format, PyObject** attributes) {
    PyObject *values, *states, *rows, *nexts, *counts;
    Py_ssize_t order;
    long version;
    if (!PyArg_ParseTuple(state, format, &version, &PyList_Type, &values, &states, &rows, &nexts, &counts, &order,
                          attributes)) {
        throw PyError();
    }
    return StoredRows(values, states, rows, nexts, counts, order);
}

bool store_state(PyObject* state) {
    return PyTuple_GET_SIZE(state) > 0 && PyLong_CheckExact(PyTuple_GET_ITEM(state, 0)) &&
           PyLong_AsLong(PyTuple_GET_ITEM(state, 0)) == kStoreFormat;
}

}  // namespace

Ref bag_compact_state(PyObject* bag, bool buffers) {
    RowsWriter writer;
    writer.add_bag(as_bag(bag));
    Ref attributes = instance_state(bag);
    Ref rows = writer.rows(buffers);
    return Ref::check(Py_BuildValue("(lOO)", kFormat, rows.get(), attributes.get()));
}

Ref chain_compact_state(PyObject* chain, bool buffers) {
    const NativeState& state = state_of(chain);
    RowsWriter writer;
    std::vector<uint32_t> starts;
    std::vector<Ref> others;
    if (const StateStore* store = as_chain(chain)->store) return store_compact_state(chain, *store, buffers);
    if (PyObject* bags = as_chain(chain)->bags) {
        Py_ssize_t position = 0;
        for (PyObject *start, *bag; PyDict_Next(bags, &position, &start, &bag);) {
            starts.push_back(writer.code(start));
            if (compact_bag(state, bag)) {
                writer.add_bag(as_bag(bag));
            } else {
                writer.add_other();
                others.push_back(Ref::borrow(bag));
            }
        }
    }
    // Everything read is held: from here on, code of the caller's may run.
    Ref attributes = instance_state(chain);
    Ref rows = writer.rows(buffers);
    Ref packed_starts = pack(starts);
    if (buffers) packed_starts = Ref::check(PyPickleBuffer_FromObject(packed_starts.get()));
    Ref other_list = Ref::check(PyList_New(Py_ssize_t(others.size())));
    for (size_t k = 0; k < others.size(); ++k) PyList_SET_ITEM(other_list.get(), Py_ssize_t(k), others[k].release());
    return Ref::check(Py_BuildValue("(lOOOO)", kFormat, rows.get(), packed_starts.get(), other_list.get(),
                                    attributes.get()));
}

bool compact_state(PyObject* state) {
    if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) < 3) return false;
    PyObject* format = PyTuple_GET_ITEM(state, 0);
    if (!PyLong_CheckExact(format)) return false;
    long version = PyLong_AsLong(format);
    return version == kFormat || version == kStoreFormat;
}

void bag_restore_compact(PyObject* self, PyObject* state) {
    PyObject *rows, *attributes;
    long format;
    if (!PyArg_ParseTuple(state, "lOO:__setstate__", &format, &rows, &attributes)) throw PyError();
    BagObject* bag = as_bag(self);
    if (bag->store.size != 0) raise(PyExc_RuntimeError, "__setstate__ of a ProbabilityBag that holds rows");
    if (bag->table == nullptr) bag->table = new_table(state_of(self)).release();
    RowsReader reader(rows, bag->table);
    if (!reader.next_bag() || reader.next_is_other()) raise_bad_state();
    reader.fill(bag);
    reader.check_done();
    restore_state(self, attributes);
}

void chain_restore_compact(PyObject* self, PyObject* state) {
    if (store_state(state)) {
        Ref held = Ref::borrow(state);
        PyObject* attributes;
        StoredRows rows = read_stored_rows(state, "lO!OOOOnO:__setstate__", &attributes);
        ChainObject* chain = as_chain(self);
        materialize(chain);
        if (chain->bags != nullptr && PyDict_GET_SIZE(chain->bags) != 0) {
            raise(PyExc_RuntimeError, "__setstate__ of a MarkovChain that holds starts");
        }
        if (!rows.empty() && !count_stored(chain, rows)) {
            // A chain whose values are not all plain counts into bags: those
            // of a chain made from the rows, as their second form holds them.
            Ref made = chain_of(state_of(self), rows);
            materialize(as_chain(made.get()));
            Ref compact = chain_compact_state(made.get(), false);
            chain_restore_compact(self, compact.get());
        }
        restore_state(self, attributes);
        return;
    }
    PyObject *rows, *starts, *others, *attributes;
    long format;
    if (!PyArg_ParseTuple(state, "lOOO!O:__setstate__", &format, &rows, &starts, &PyList_Type, &others,
                          &attributes)) {
        throw PyError();
    }
    ChainObject* chain = as_chain(self);
    materialize(chain);
    if (chain->bags != nullptr && PyDict_GET_SIZE(chain->bags) != 0) {
        raise(PyExc_RuntimeError, "__setstate__ of a MarkovChain that holds starts");
    }
    NativeState& native = state_of(self);
    Ref table = chain_table(chain);
    Ref bags = chain_bags(chain);
    Ref held_others = Ref::borrow(others);
    RowsReader reader(rows, table.get());
    Unpacked start_codes(starts);
    Py_ssize_t next_other = 0;
    // Plain values, small counts and bags of its own: filling the chain runs
    // no code of the caller's, and the collector need not walk the growing
    // chain again and again meanwhile.
    CollectorPause pause(table_plain(table.get()) && !reader.has_objects() && PyList_GET_SIZE(others) == 0);
    ChainMark mark(chain);
    while (reader.next_bag()) {
        PyObject* start = reader.value_at(start_codes.next());
        if (reader.next_is_other()) {
            if (next_other >= PyList_GET_SIZE(others)) raise_bad_state();
            Ref bag = Ref::borrow(PyList_GET_ITEM(others, next_other++));
            set_bag(chain, start, bag.get());
            mark = ChainMark(chain);
            continue;
        }
        Ref bag = new_bag(native, table.get());
        reader.fill(as_bag(bag.get()));
        mark.check("unpickling");
        check_status(PyDict_SetItem(bags.get(), start, bag.get()));
        mark.check("unpickling");
        // A start met twice replaces a bag made here, which no one else holds.
        settle_bag(as_chain(self), bag.get());
    }
    reader.check_done();
    if (!start_codes.done() || next_other != PyList_GET_SIZE(others)) raise_bad_state();
    pause.end();
    restore_state(self, attributes);
}

namespace {

// The compact state's rows added straight to the bags of `chain`, in the
// state's order: false, no pair added, where the chain's values are not
// all plain or a bag of it is not the package's own with the chain's
// table, or the state holds a value that is not plain, a bag of another
// kind or a count that is an object.
bool merge_rows(NativeState& native, ChainObject* chain, PyObject* rows, PyObject* starts, PyObject* others) {
    if (PyList_GET_SIZE(others) != 0) return false;
    Ref table = chain_table(chain);
    Ref bags = chain_bags(chain);
    ChainMark mark(chain);
    // Reading the state's buffers may run code of the caller's (a buffer of
    // a class of theirs): the chain is looked at once they are all read.
    RowsReader reader(rows, table.get(), true);
    if (!reader.plain() || reader.has_objects()) return false;
    Unpacked start_codes(starts);
    // From here on nothing runs code of the caller's: plain values and
    // starts, small counts, the package's own bags, the collector paused.
    CollectorPause pause;
    mark.check("update");
    if (!table_plain(table.get()) || !own_bags(native, bags.get(), table.get(), false)) return false;
    while (reader.next_bag()) {
        PyObject* start = reader.value_at(start_codes.next());
        if (reader.next_is_other()) raise_bad_state();
        if (reader.next_rows() == 0) continue;  // adds no pair, makes no start
        Ref bag = bag_of(native, chain, bags.get(), table.get(), start);
        reader.fill(as_bag(bag.get()));
    }
    reader.check_done();
    if (!start_codes.done()) raise_bad_state();
    return true;
}

}  // namespace

void chain_merge_compact(PyObject* self, PyObject* state) {
    NativeState& native = state_of(self);
    if (compact_state(state) && store_state(state)) {
        Ref held = Ref::borrow(state);
        PyObject* attributes;
        std::optional<ChainMark> mark;
        if (Py_IS_TYPE(self, native.chain_type)) mark.emplace(as_chain(self));
        StoredRows rows = read_stored_rows(state, "lO!OOOOnO", &attributes);
        if (rows.empty()) return;  // adds no pair, makes no start
        if (mark) {
            // Reading the state may have run code of the caller's.
            mark->check("update");
            if (count_stored(as_chain(self), rows)) return;
        }
        Ref other = chain_of(native, rows);
        chain_update(self, other.get());
        return;
    }
    PyObject *rows, *starts, *others, *attributes;
    long format;
    if (!compact_state(state) || !PyArg_ParseTuple(state, "lOOO!O", &format, &rows, &starts, &PyList_Type, &others,
                                                   &attributes)) {
        raise_bad_state();
    }
    Ref held = Ref::borrow(state);
    if (Py_IS_TYPE(self, native.chain_type) && merge_rows(native, as_chain(self), rows, starts, others)) return;
    // Anything else: the chain the state makes, then added as update adds it.
    Ref other = Ref::check(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(native.chain_type)));
    chain_restore_compact(other.get(), state);
    chain_update(self, other.get());
}

PyObject* merge_state_function(PyObject* module, PyObject* args) {
    PyObject *chain, *state;
    if (!PyArg_ParseTuple(args, "OO:_merge_state", &chain, &state)) return nullptr;
    return guarded<PyObject*>(nullptr, [&] {
        if (!PyObject_TypeCheck(chain, module_state(module).chain_type)) {
            raise(PyExc_TypeError, "expected a MarkovChain, not %.200s", Py_TYPE(chain)->tp_name);
        }
        chain_merge_compact(chain, state);
        Py_RETURN_NONE;
    });
}

}  // namespace zantu::native
