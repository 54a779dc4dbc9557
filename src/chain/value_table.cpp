// The value table of a chain: every value kept once, found by its hash and
// equality as a dict finds a key. It is a type of its own, not a dict, for
// the collector's sake: what its traverse shows (and so what
// gc.get_referents hands any caller) is the values themselves, never a
// container that a caller could empty under the rows that borrow them.
#include <cstring>

#include "native.h"
#include "probe_table.h"
#include "state_store.h"

namespace zantu::native {
namespace {

struct TableSlot {
    Py_hash_t hash;
    PyObject* value;  // owned; null: the slot is empty
};

struct TableObject {
    PyObject_HEAD
    TableSlot* slots;  // null, or mask + 1 slots
    size_t mask;
    Py_ssize_t used;
    uint64_t changes;  // counts every change, so a probe knows when to start again
    bool plain;        // every value kept is plain (see plain_value)
    // The chain whose table this is (not owned: the chain lets go of it
    // before it dies or takes another), or null. Its bags may be left
    // untracked while this table is plain (see settle_bag).
    ChainObject* owner;
};

TableObject* as_table(PyObject* o) { return reinterpret_cast<TableObject*>(o); }

// Equality that needs no call for two exact strs (most values): 1 or 0,
// or -1 when only the values' own comparison can tell.
int quick_equal(PyObject* a, PyObject* b) {
    if (!PyUnicode_CheckExact(a) || !PyUnicode_CheckExact(b)) return -1;
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return 0;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), size_t(length) * PyUnicode_KIND(a)) == 0;
}

// Twice the slots, every value moved by its hash (no code runs).
void grow(TableObject* t) {
    size_t slots = t->slots == nullptr ? 16 : (t->mask + 1) * 2;
    auto* grown = static_cast<TableSlot*>(PyMem_Calloc(slots, sizeof(TableSlot)));
    if (grown == nullptr) {
        PyErr_NoMemory();
        throw PyError();
    }
    for (size_t i = 0; t->slots != nullptr && i <= t->mask; ++i) {
        if (t->slots[i].value == nullptr) continue;
        ProbeSequence probe(size_t(t->slots[i].hash), slots);
        while (grown[probe.at()].value != nullptr) probe.next();
        grown[probe.at()] = t->slots[i];
    }
    PyMem_Free(t->slots);
    t->slots = grown;
    t->mask = slots - 1;
    ++t->changes;
}

// The slot that holds a value equal to `key`, or the empty slot where it
// would go; null when a comparison changed the table (then look again).
TableSlot* probe(TableObject* t, PyObject* key, Py_hash_t hash) {
    uint64_t changes = t->changes;
    for (ProbeSequence probe(size_t(hash), t->mask + 1);; probe.next()) {
        TableSlot* slot = &t->slots[probe.at()];
        if (slot->value == nullptr || slot->value == key) return slot;
        if (slot->hash != hash) continue;
        int equal = quick_equal(slot->value, key);
        if (equal < 0) {
            // The value's own __eq__ may change this table: held, and the
            // probe starts again when it did.
            Ref held = Ref::borrow(slot->value);
            equal = check_status(PyObject_RichCompareBool(held.get(), key, Py_EQ));
            if (t->changes != changes) return nullptr;
        }
        if (equal) return slot;
    }
}

// The kept value equal to `frozen`, or null; kept first when `insert`.
PyObject* find(TableObject* t, PyObject* frozen, bool insert) {
    Py_hash_t hash = PyObject_Hash(frozen);
    if (hash == -1) throw PyError();
    // A chain keeps counts as numbers only while its table is plain: the
    // first value that is not makes its bags first.
    if (insert && t->plain && t->owner != nullptr && t->owner->store != nullptr && !plain_value(frozen)) {
        materialize(t->owner);
    }
    for (;;) {
        if (insert && size_t(t->used + 1) * 3 > (t->slots == nullptr ? 0 : (t->mask + 1) * 2)) grow(t);
        if (t->slots == nullptr) return nullptr;
        TableSlot* slot = probe(t, frozen, hash);
        if (slot == nullptr) continue;
        if (slot->value != nullptr || !insert) return slot->value;
        *slot = TableSlot{hash, Py_NewRef(frozen)};
        ++t->used;
        ++t->changes;
        bool plain = plain_value(frozen);
        if (t->plain && !plain) {
            t->plain = false;
            // A value that may hold references: this table and its owner's
            // bags may now be in a cycle, so the collector sees them.
            if (!PyObject_GC_IsTracked(reinterpret_cast<PyObject*>(t))) PyObject_GC_Track(t);
            if (t->owner != nullptr) track_bags(t->owner);
        }
        // A tuple of plain values can be in no cycle: the collector need
        // not walk it (it untracks such tuples itself, but only once it has
        // walked them; a chain holds one per state).
        if (plain && PyTuple_CheckExact(frozen) && PyObject_GC_IsTracked(frozen)) PyObject_GC_UnTrack(frozen);
        return frozen;
    }
}

int table_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    TableObject* t = as_table(self);
    for (size_t i = 0; t->slots != nullptr && i <= t->mask; ++i) Py_VISIT(t->slots[i].value);
    return 0;
}

// Empty first, then released: a __del__ that the release runs finds the
// table empty, not half freed.
int table_clear(PyObject* self) {
    TableObject* t = as_table(self);
    TableSlot* slots = t->slots;
    size_t count = slots == nullptr ? 0 : t->mask + 1;
    t->slots = nullptr;
    t->mask = 0;
    t->used = 0;
    t->plain = true;
    ++t->changes;
    for (size_t i = 0; i < count; ++i) Py_XDECREF(slots[i].value);
    PyMem_Free(slots);
    return 0;
}

void table_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    table_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

Py_ssize_t table_len(PyObject* self) { return as_table(self)->used; }

PyType_Slot table_slots[] = {
    {Py_tp_doc, const_cast<char*>("The values of a chain, each kept once.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(table_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(table_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(table_clear)},
    {Py_sq_length, reinterpret_cast<void*>(table_len)},
    {0, nullptr}};

PyType_Spec table_spec = {"zantu.chain.value_table", sizeof(TableObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                              Py_TPFLAGS_DISALLOW_INSTANTIATION,
                          table_slots};

}  // namespace

void make_table_type(PyObject* module, NativeState& state) {
    state.table_type = reinterpret_cast<PyTypeObject*>(
        Ref::check(PyType_FromModuleAndSpec(module, &table_spec, nullptr)).release());
}

bool plain_value(PyObject* value) {
    if (PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
        PyBytes_CheckExact(value) || value == Py_None || PyBool_Check(value)) {
        return true;
    }
    if (!PyTuple_CheckExact(value)) return false;
    if (Py_EnterRecursiveCall(" while looking at a value")) {
        PyErr_Clear();
        return false;
    }
    bool plain = true;
    for (Py_ssize_t k = 0; plain && k < PyTuple_GET_SIZE(value); ++k) plain = plain_value(PyTuple_GET_ITEM(value, k));
    Py_LeaveRecursiveCall();
    return plain;
}

Ref new_table(const NativeState& state) {
    TableObject* t = PyObject_GC_New(TableObject, state.table_type);
    if (t == nullptr) throw PyError();
    t->slots = nullptr;
    t->mask = 0;
    t->used = 0;
    t->changes = 0;
    t->plain = true;
    t->owner = nullptr;
    // Untracked while plain: values that hold nothing are in no cycle, and
    // a collection then need not walk them (a chain keeps one per state).
    return Ref::steal(reinterpret_cast<PyObject*>(t));
}

PyObject* kept_value(PyObject* table, PyObject* value) {
    Ref frozen = freeze(value);
    return find(as_table(table), frozen.get(), true);
}

PyObject* found_value(PyObject* table, PyObject* value) {
    Ref frozen = freeze(value);
    return find(as_table(table), frozen.get(), false);
}

Py_ssize_t table_size(PyObject* table) { return as_table(table)->used; }

bool table_plain(PyObject* table) { return as_table(table)->plain; }

void set_table_owner(PyObject* table, ChainObject* owner) { as_table(table)->owner = owner; }

}  // namespace zantu::native
