// ProbabilityBag: the next states of one start with their counts, in the
// order they were first added.
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "bag_store.h"

namespace zantu::native {

// choices(): an iterator over the rows (defined with its type below).
Ref bag_choices(BagObject* bag);

namespace {

Ref bag_table(BagObject* bag) {
    if (bag->table == nullptr) bag->table = new_table(state_of(bag)).release();
    return Ref::borrow(bag->table);
}

// The values of a next state (a tuple, a list or any iterable), held.
Ref state_tuple(PyObject* item) {
    if (PyTuple_CheckExact(item)) return Ref::borrow(item);
    return Ref::check(PySequence_Tuple(item));
}

// The bag's row for `item` without adding it; -1 when absent.
Py_ssize_t lookup(BagObject* bag, PyObject* item) {
    Ref state = state_tuple(item);
    if (bag->table == nullptr) return -1;
    Ref table = Ref::borrow(bag->table);
    Py_ssize_t size = PyTuple_GET_SIZE(state.get());
    std::vector<PyObject*> values(static_cast<size_t>(size));
    bool absent = false;
    for (Py_ssize_t k = 0; k < size; ++k) {
        PyObject* kept = found_value(table.get(), PyTuple_GET_ITEM(state.get(), k));
        absent = absent || kept == nullptr;
        values[size_t(k)] = kept;
    }
    if (bag->table != table.get()) raise_bag_changed("a lookup");
    return absent ? -1 : find_row(bag->store, values.data(), size);
}

// The (next state, count) pairs. Every allocation may run a __del__ that
// changes the bag: the rows are read only while it is as it was.
Ref pairs_list(BagObject* bag, const char* during) {
    const BagStore& s = bag->store;
    uint32_t generation = s.generation;
    Ref pairs = Ref::check(PyList_New(0));
    for (Py_ssize_t row = 0; row < s.size; ++row) {
        Ref pair = Ref::check(PyTuple_New(2));
        if (s.generation != generation) raise_bag_changed(during);
        PyTuple_SET_ITEM(pair.get(), 0, row_tuple(s, row, during).release());
        PyTuple_SET_ITEM(pair.get(), 1, store_count(s, row).release());
        check_status(PyList_Append(pairs.get(), pair.get()));
    }
    return pairs;
}

// The counts by next state, as the dict of the class these replaced.
// Hashing a next state runs its values' __hash__.
Ref counts_dict(BagObject* bag) {
    const BagStore& s = bag->store;
    uint32_t generation = s.generation;
    Ref counts = Ref::check(PyDict_New());
    for (Py_ssize_t row = 0; row < s.size; ++row) {
        if (s.generation != generation) raise_bag_changed("a comparison");
        Ref key = row_tuple(s, row, "a comparison");
        Ref count = store_count(s, row);
        check_status(PyDict_SetItem(counts.get(), key.get(), count.get()));
    }
    if (s.generation != generation) raise_bag_changed("a comparison");
    return counts;
}

// The weights' running totals, checked as choose() requires.
double* choose_bounds(BagObject* bag) {
    BagStore& s = bag->store;
    if (s.bounds != nullptr) return s.bounds;
    Py_ssize_t size = s.size;
    uint32_t generation = s.generation;
    std::vector<double> bounds(static_cast<size_t>(size));
    double total = 0.0;
    for (Py_ssize_t row = 0; row < size; ++row) {
        double weight;
        if (!s.big) {
            weight = double(s.small_counts()[row]);
        } else {
            Ref count = Ref::borrow(s.big_counts()[row]);
            Ref as_float = Ref::check(PyNumber_Float(count.get()));
            weight = PyFloat_AS_DOUBLE(as_float.get());
            if (s.generation != generation || s.size != size) raise_bag_changed("choose");
            if (!(weight >= 0.0)) {
                Ref state = row_tuple(s, row, "choose");
                Ref text = Ref::check(PyObject_Repr(state.get()));
                Ref shown = Ref::check(PyUnicode_Substring(text.get(), 0, 200));
                raise(PyExc_ValueError, "cannot choose with the count %R of %U", count.get(), shown.get());
            }
        }
        total += weight;
        bounds[size_t(row)] = total;
    }
    if (!(0.0 < total && total < std::numeric_limits<double>::infinity())) {
        Ref shown = Ref::check(PyFloat_FromDouble(total));
        raise(PyExc_ValueError, "cannot choose when the counts add up to %R", shown.get());
    }
    return keep_bounds(s, bounds);
}

// --- The type's slots and methods ---------------------------------------

PyObject* bag_new(PyTypeObject* type, PyObject*, PyObject*) { return type->tp_alloc(type, 0); }

int bag_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"counts", nullptr};
    PyObject* counts = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:ProbabilityBag", const_cast<char**>(names), &counts)) {
        return -1;
    }
    if (counts == nullptr) return 0;
    return guarded(-1, [&] {
        bag_add_pairs(as_bag(self), counts, true);
        return 0;
    });
}

int bag_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    BagObject* bag = as_bag(self);
    Py_VISIT(bag->table);
    const BagStore& s = bag->store;
    if (s.mode == BagStore::kTuples) {
        for (Py_ssize_t row = 0; row < s.size; ++row) Py_VISIT(s.states[row]);
    }
    if (s.big) {
        for (Py_ssize_t row = 0; row < s.size; ++row) Py_VISIT(s.big_counts()[row]);
    }
    return 0;
}

int bag_clear(PyObject* self) {
    BagObject* bag = as_bag(self);
    clear_store(bag->store);
    Py_CLEAR(bag->table);
    return 0;
}

void bag_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    bag_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

Py_ssize_t bag_len(PyObject* self) { return as_bag(self)->store.size; }

PyObject* bag_add_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"item", "count", nullptr};
    PyObject* item;
    PyObject* count = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:add", const_cast<char**>(names), &item, &count)) {
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&] {
        Ref one;
        if (count == nullptr) count = (one = Ref::check(PyLong_FromLong(1))).get();
        bag_add(as_bag(self), item, count);
        Py_RETURN_NONE;
    });
}

PyObject* bag_unique_count(PyObject* self, void*) { return PyLong_FromSsize_t(as_bag(self)->store.size); }

PyObject* bag_choices_method(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] { return bag_choices(as_bag(self)).release(); });
}

PyObject* bag_choose_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"random", nullptr};
    PyObject* random = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:choose", const_cast<char**>(names), &random)) {
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&] {
        NativeState& state = state_of(self);
        PyObject* source = random != Py_None ? random : state.random_module;
        Ref draw = Ref::check(PyObject_GetAttr(source, state.name_random));
        return bag_choose(as_bag(self), draw.get()).release();
    });
}

PyObject* bag_total(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        const BagStore& s = as_bag(self)->store;
        if (!s.big) {
            unsigned long long sum = 0;
            for (Py_ssize_t row = 0; row < s.size; ++row) sum += s.small_counts()[row];
            return PyLong_FromUnsignedLongLong(sum);
        }
        // The counts are objects: sum() of them, as the counts' own + says.
        uint32_t generation = s.generation;
        Py_ssize_t size = s.size;
        Ref counts = Ref::check(PyList_New(size));
        if (s.generation != generation) raise_bag_changed("total");
        for (Py_ssize_t row = 0; row < size; ++row) {
            PyList_SET_ITEM(counts.get(), row, store_count(s, row).release());
        }
        return PyObject_CallOneArg(state_of(self).sum, counts.get());
    });
}

PyObject* bag_count_of(PyObject* self, PyObject* item) {
    return guarded<PyObject*>(nullptr, [&] {
        Py_ssize_t row = lookup(as_bag(self), item);
        if (row < 0) return PyLong_FromLong(0);
        return store_count(as_bag(self)->store, row).release();
    });
}

PyObject* bag_count_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"item", nullptr};
    PyObject* item;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:count", const_cast<char**>(names), &item)) return nullptr;
    return bag_count_of(self, item);
}

PyObject* bag_probability(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"item", nullptr};
    PyObject* item;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:probability", const_cast<char**>(names), &item)) {
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        // A subclass's total(), as the class these replaced asked its own.
        Ref total = Ref::check(Py_IS_TYPE(self, state_of(self).bag_type) ? bag_total(self, nullptr)
                                                                        : PyObject_CallMethod(self, "total", nullptr));
        if (!check_status(PyObject_IsTrue(total.get()))) return PyFloat_FromDouble(0.0);
        Ref count = Ref::check(bag_count_of(self, item));
        Ref share = Ref::check(PyNumber_TrueDivide(count.get(), total.get()));
        return PyNumber_Float(share.get());
    });
}

PyObject* bag_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    return guarded<PyObject*>(nullptr, [&] {
        if (!PyObject_TypeCheck(other, state_of(self).bag_type)) Py_RETURN_NOTIMPLEMENTED;
        Ref mine = counts_dict(as_bag(self));
        Ref theirs = counts_dict(as_bag(other));
        return PyObject_RichCompare(mine.get(), theirs.get(), op);
    });
}

PyObject* bag_repr(PyObject* self) {
    int entered = Py_ReprEnter(self);
    if (entered != 0) return entered > 0 ? PyUnicode_FromString("ProbabilityBag(...)") : nullptr;
    PyObject* text = guarded<PyObject*>(nullptr, [&] {
        Ref pairs = pairs_list(as_bag(self), "repr");
        return PyUnicode_FromFormat("ProbabilityBag(%R)", pairs.get());
    });
    Py_ReprLeave(self);
    return text;
}

PyObject* bag_update_method(PyObject* self, PyObject* other) {
    return guarded<PyObject*>(nullptr, [&] {
        bag_update(self, other);
        Py_RETURN_NONE;
    });
}

PyObject* bag_inplace_add(PyObject* self, PyObject* other) {
    return guarded<PyObject*>(nullptr, [&] {
        const NativeState& state = state_of(self);
        if (!PyObject_TypeCheck(self, state.bag_type) || !PyObject_TypeCheck(other, state.bag_type)) {
            Py_RETURN_NOTIMPLEMENTED;
        }
        bag_update(self, other);
        return Py_NewRef(self);
    });
}

PyObject* bag_setstate(PyObject* self, PyObject* state) {
    return guarded<PyObject*>(nullptr, [&] {
        // The rows as they were: a subclass's add is not asked again.
        if (compact_state(state)) {
            bag_restore_compact(self, state);
            Py_RETURN_NONE;
        }
        PyObject *pairs, *attributes;  // the form of older pickles
        if (!PyArg_ParseTuple(state, "OO:__setstate__", &pairs, &attributes)) throw PyError();
        bag_add_pairs(as_bag(self), pairs, false);
        restore_state(self, attributes);
        Py_RETURN_NONE;
    });
}

PyMethodDef bag_methods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bag_add_method)),
     METH_VARARGS | METH_KEYWORDS,
     "add($self, /, item, count=1)\n--\n\nAdd `count` to the count of `item` (a tuple, list or iterator of values)."},
    {"choices", bag_choices_method, METH_NOARGS,
     "choices($self, /)\n--\n\nThe (next state, count) pairs, in the order they were first added."},
    {"choose", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bag_choose_method)),
     METH_VARARGS | METH_KEYWORDS,
     "choose($self, /, random=None)\n--\n\nDraw a next state, each with probability count/total.\n\n"
     "`random` is a random.Random (anything with random()); None draws from the\n"
     "random module's own generator. Counts are taken as floats. ValueError for\n"
     "an empty bag, a negative count, or counts that add up to zero."},
    {"total", bag_total, METH_NOARGS, "total($self, /)\n--\n\nThe sum of all counts."},
    {"probability", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bag_probability)),
     METH_VARARGS | METH_KEYWORDS,
     "probability($self, /, item)\n--\n\nThe share of `item` in the total count (0.0 when it is absent)."},
    {"count", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bag_count_method)),
     METH_VARARGS | METH_KEYWORDS, "count($self, /, item)\n--\n\nThe count of `item`, 0 when it is absent."},
    {"update", bag_update_method, METH_O,
     "update($self, other, /)\n--\n\nAdd the counts of `other` (a bag, or anything whose choices() gives\n"
     "(next state, count) pairs): the same as adding them one by one, in its\n"
     "order. `bag += other` does the same."},
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {"__reduce_ex__", reduce_ex, METH_O, nullptr},
    {"__setstate__", bag_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef bag_getset[] = {
    {"unique_count", bag_unique_count, nullptr,
     "The number of distinct next states, as many as choices() yields.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// --- choices(): an iterator over the rows ---------------------------------

struct ChoicesObject {
    PyObject_HEAD
    PyObject* bag;  // null once exhausted
    Py_ssize_t row;
    Py_ssize_t size;  // the bag's size when the iterator was made
    PyObject* pair;   // the last pair handed out, used again once nobody holds it
};

int choices_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<ChoicesObject*>(self)->bag);
    Py_VISIT(reinterpret_cast<ChoicesObject*>(self)->pair);
    return 0;
}

void choices_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<ChoicesObject*>(self)->bag);
    Py_CLEAR(reinterpret_cast<ChoicesObject*>(self)->pair);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* choices_next(PyObject* self) {
    ChoicesObject* it = reinterpret_cast<ChoicesObject*>(self);
    if (it->bag == nullptr) return nullptr;
    const BagStore& s = as_bag(it->bag)->store;
    if (s.size != it->size) {
        Py_CLEAR(it->bag);
        PyErr_SetString(PyExc_RuntimeError, "ProbabilityBag changed size during iteration");
        return nullptr;
    }
    if (it->row >= s.size) {
        Py_CLEAR(it->bag);
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&] {
        Ref state = row_tuple(s, it->row, "iteration");
        Ref count = store_count(s, it->row);
        ++it->row;
        PyObject* pair = it->pair;
        if (pair == nullptr || Py_REFCNT(pair) != 1) {
            PyObject* made = PyTuple_Pack(2, state.get(), count.get());
            if (made != nullptr && pair == nullptr) it->pair = Py_NewRef(made);
            return made;
        }
        // Nobody holds the last pair: it takes the new one (as a dict's
        // item iterator does).
        PyObject* old_state = PyTuple_GET_ITEM(pair, 0);
        PyObject* old_count = PyTuple_GET_ITEM(pair, 1);
        PyTuple_SET_ITEM(pair, 0, state.release());
        PyTuple_SET_ITEM(pair, 1, count.release());
        if (!PyObject_GC_IsTracked(pair)) PyObject_GC_Track(pair);
        Py_INCREF(pair);
        Py_DECREF(old_state);
        Py_DECREF(old_count);
        return pair;
    });
}

PyObject* choices_length_hint(PyObject* self, PyObject*) {
    ChoicesObject* it = reinterpret_cast<ChoicesObject*>(self);
    Py_ssize_t left = 0;
    if (it->bag != nullptr && as_bag(it->bag)->store.size == it->size) left = it->size - it->row;
    return PyLong_FromSsize_t(left);
}

PyMethodDef choices_methods[] = {
    {"__length_hint__", choices_length_hint, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot choices_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(choices_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(choices_traverse)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(choices_next)},
    {Py_tp_methods, choices_methods},
    {0, nullptr}};

PyType_Spec choices_spec = {"zantu.bag.choices_iterator", sizeof(ChoicesObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                                Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            choices_slots};

const char bag_doc[] =
    "ProbabilityBag(counts=())\n--\n\n"
    "Next states with counts; the probability of a next state is its share\n"
    "of the total count. `counts` is an iterable of (next state, count) pairs.";

PyType_Slot bag_slots[] = {
    {Py_tp_doc, const_cast<char*>(bag_doc)},
    {Py_tp_new, reinterpret_cast<void*>(bag_new)},
    {Py_tp_init, reinterpret_cast<void*>(bag_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(bag_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(bag_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(bag_clear)},
    {Py_sq_length, reinterpret_cast<void*>(bag_len)},
    {Py_tp_richcompare, reinterpret_cast<void*>(bag_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_repr, reinterpret_cast<void*>(bag_repr)},
    {Py_nb_inplace_add, reinterpret_cast<void*>(bag_inplace_add)},
    {Py_tp_methods, bag_methods},
    {Py_tp_getset, bag_getset},
    {0, nullptr}};

PyType_Spec bag_spec = {"zantu.bag.ProbabilityBag", sizeof(BagObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                        bag_slots};

}  // namespace

void make_bag_types(PyObject* module, NativeState& state) {
    state.bag_type = reinterpret_cast<PyTypeObject*>(
        Ref::check(PyType_FromModuleAndSpec(module, &bag_spec, nullptr)).release());
    state.choices_type = reinterpret_cast<PyTypeObject*>(
        Ref::check(PyType_FromModuleAndSpec(module, &choices_spec, nullptr)).release());
}

bool own_bag(PyObject* o) { return Py_TYPE(o)->tp_dealloc == bag_dealloc; }

Ref new_bag(NativeState& state, PyObject* table) {
    Ref bag = Ref::check(state.bag_type->tp_alloc(state.bag_type, 0));
    Py_INCREF(table);
    as_bag(bag.get())->table = table;
    return bag;
}

void bag_add(BagObject* bag, PyObject* item, PyObject* count) {
    Ref table = bag_table(bag);
    Ref state = state_tuple(item);
    Py_ssize_t size = PyTuple_GET_SIZE(state.get());
    std::vector<PyObject*> values(static_cast<size_t>(size));
    for (Py_ssize_t k = 0; k < size; ++k) {
        values[size_t(k)] = kept_value(table.get(), PyTuple_GET_ITEM(state.get(), k));
    }
    // Hashing the values may have run the caller's code.
    if (bag->table != table.get()) raise_bag_changed("add");
    TrackedWhenBig tracked(bag);
    add_row(bag->store, values.data(), size, count, 0);
}

// add(item, count=count) for every pair of `counts`: the bag's own add, or
// with `method` a subclass's (which may override it) through the method.
void bag_add_pairs(BagObject* bag, PyObject* counts, bool method) {
    PyObject* self = reinterpret_cast<PyObject*>(bag);
    const NativeState& state = state_of(bag);
    bool exact = !method || Py_IS_TYPE(self, state.bag_type);
    Ref it = Ref::check(PyObject_GetIter(counts));
    for (;;) {
        Ref pair = Ref::steal(PyIter_Next(it.get()));
        if (!pair) break;
        Ref item, count;
        unpack_pair(pair.get(), item, count);
        if (exact) {
            bag_add(bag, item.get(), count.get());
            continue;
        }
        PyObject* stack[] = {self, item.get(), count.get()};
        Ref done = Ref::check(PyObject_VectorcallMethod(state.name_add, stack, 2, state.kw_count));
    }
    if (PyErr_Occurred()) throw PyError();
}

void bag_adopt(BagObject* bag, PyObject* table) {
    if (bag->table == table) return;
    // Another table: the bag is no longer where its chain would find it
    // if its table took a value that holds references.
    track_bag(reinterpret_cast<PyObject*>(bag));
    Ref target = Ref::borrow(table);
    Ref old_table = Ref::borrow(bag->table);
    BagStore& s = bag->store;
    uint32_t generation = s.generation;
    Py_ssize_t size = s.size;
    ScopedStore moved;
    std::vector<PyObject*> values;
    for (Py_ssize_t row = 0; row < size; ++row) {
        if (s.generation != generation || s.size != size) raise_bag_changed("set_bag");
        Ref state = row_tuple(s, row, "set_bag");
        Ref count = store_count(s, row);
        Py_ssize_t width = PyTuple_GET_SIZE(state.get());
        values.resize(size_t(width));
        for (Py_ssize_t k = 0; k < width; ++k) {
            values[size_t(k)] = kept_value(table, PyTuple_GET_ITEM(state.get(), k));
        }
        add_row(moved.store, values.data(), width, count.get(), 0);
    }
    if (s.generation != generation || s.size != size || bag->table != old_table.get()) raise_bag_changed("set_bag");
    moved.store.generation = generation + 1;
    std::swap(bag->store, moved.store);
    PyObject* previous = bag->table;
    bag->table = target.release();
    Py_XDECREF(previous);
}

Ref bag_choose(BagObject* bag, PyObject* draw) {
    BagStore& s = bag->store;
    if (s.size == 0) raise(PyExc_ValueError, "cannot choose from an empty bag");
    double* bounds = choose_bounds(bag);
    Py_ssize_t size = s.size;
    uint32_t generation = s.generation;
    Ref drawn = Ref::check(PyObject_CallNoArgs(draw));
    double x = PyFloat_AsDouble(drawn.get());
    if (x == -1.0 && PyErr_Occurred()) throw PyError();
    if (s.bounds != bounds || s.size != size || s.generation != generation) raise_bag_changed("choose");
    x *= bounds[size - 1];
    // The first row whose running total passes the draw (bisect_right): a
    // row of count 0 is never drawn.
    Py_ssize_t lo = 0, hi = size;
    while (lo < hi) {
        Py_ssize_t mid = (lo + hi) / 2;
        if (x < bounds[mid]) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    return row_tuple(s, lo < size ? lo : size - 1, "choose");
}

Ref bag_choices(BagObject* bag) {
    ChoicesObject* it = PyObject_GC_New(ChoicesObject, state_of(bag).choices_type);
    if (it == nullptr) throw PyError();
    Py_INCREF(bag);
    it->bag = reinterpret_cast<PyObject*>(bag);
    it->row = 0;
    it->size = bag->store.size;
    it->pair = nullptr;
    PyObject_GC_Track(it);
    return Ref::steal(reinterpret_cast<PyObject*>(it));
}

}  // namespace zantu::native
