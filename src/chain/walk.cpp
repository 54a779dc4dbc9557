// walk(): an endless iterator of values drawn from a chain.
#include "chain.h"
#include "state_store.h"

namespace zantu::native {
namespace {

struct WalkObject {
    PyObject_HEAD
    PyObject* chain;   // null once the walk has ended
    PyObject* random;  // the walk's random.Random
    PyObject* draw;    // its bound random()
    PyObject* start;   // where the next step starts
    Py_ssize_t order;  // how many values its start is made of (a tuple when more than 1)
    PyObject* state;   // the next state being yielded (a tuple), or null
    Py_ssize_t pos;    // the next value of it to yield
    bool running;      // a step is under way (code it runs may not advance the walk)
};

int walk_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    WalkObject* w = reinterpret_cast<WalkObject*>(self);
    Py_VISIT(w->chain);
    Py_VISIT(w->random);
    Py_VISIT(w->draw);
    Py_VISIT(w->start);
    Py_VISIT(w->state);
    return 0;
}

int walk_clear(PyObject* self) {
    WalkObject* w = reinterpret_cast<WalkObject*>(self);
    Py_CLEAR(w->chain);
    Py_CLEAR(w->random);
    Py_CLEAR(w->draw);
    Py_CLEAR(w->start);
    Py_CLEAR(w->state);
    return 0;
}

void walk_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    walk_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

// The start after `start` (of `order` values) and the next state drawn from
// its bag: the last `order` values of the two in a row.
Ref next_start(PyObject* start, PyObject* state, Py_ssize_t order) {
    Py_ssize_t size = PyTuple_GET_SIZE(state);
    if (order == 1) return freeze(PyTuple_GET_ITEM(state, size - 1));
    Ref window = Ref::check(PyTuple_New(order));
    for (Py_ssize_t k = 0; k < order; ++k) {
        // Position k of the window is value `from` of start + state.
        Py_ssize_t from = size + k;
        PyObject* value = from < order ? PyTuple_GET_ITEM(start, from) : PyTuple_GET_ITEM(state, from - order);
        PyTuple_SET_ITEM(window.get(), k, Py_NewRef(value));
    }
    return freeze(window.get());
}

// walk_step from the chain's store: the next state as the start's bag
// would draw it.
bool store_step(WalkObject* w, ChainObject* chain) {
    StateStore* store = chain->store;
    uint32_t at;
    {
        // A plain start is found without code of the caller's (the
        // collector paused while a nested one is frozen).
        CollectorPause pause;
        at = store_state_of(*store, chain->table, w->start);
    }
    if (at == StateStore::kNone) return false;
    // The draw is random.Random's, which a caller may have replaced.
    uint64_t changes = chain->changes, pairs = store->pairs();
    Ref drawn = Ref::check(PyObject_CallNoArgs(w->draw));
    double x = PyFloat_AsDouble(drawn.get());
    if (x == -1.0 && PyErr_Occurred()) throw PyError();
    if (chain->store != store || chain->changes != changes || store->pairs() != pairs) raise_chain_changed("walk");
    Ref value = Ref::borrow(store->value(store->choose(at, x)));
    Ref next_state = Ref::check(PyTuple_Pack(1, value.get()));
    Py_XSETREF(w->state, next_state.release());
    w->pos = 0;
    return true;
}

// Draws the next state from the bag of the walk's start; false where the
// walk ends.
bool walk_step(WalkObject* w) {
    // The start's __eq__ and the bag's methods are the caller's code, but
    // they cannot touch the walk's own fields: a walk is not advanced from
    // inside its step (`running`), and one being advanced is held by its
    // caller, so the collector does not clear it.
    ChainObject* chain = as_chain(w->chain);
    PyObject* start = w->start;
    if (chain->store != nullptr) {
        // From the counts themselves while the start is plain (its lookups
        // run no code of the caller's, nor does the walk's own random()).
        if (plain_value(start)) return store_step(w, chain);
        materialize(chain);
    }
    if (chain->bags == nullptr) return false;
    PyObject* found = PyDict_GetItemWithError(chain->bags, start);
    if (found == nullptr) {
        if (PyErr_Occurred()) throw PyError();
        return false;
    }
    Ref bag = Ref::borrow(found);
    const NativeState& state = state_of(chain);
    Ref next_state;
    if (Py_IS_TYPE(bag.get(), state.bag_type)) {
        if (as_bag(bag.get())->store.size == 0) return false;
        next_state = bag_choose(as_bag(bag.get()), w->draw);
    } else {
        if (check_size(PyObject_Size(bag.get())) == 0) return false;
        Ref drawn = Ref::check(PyObject_CallMethodOneArg(bag.get(), state.name_choose, w->random));
        next_state = Ref::check(PySequence_Tuple(drawn.get()));
    }
    Py_XSETREF(w->state, next_state.release());
    w->pos = 0;
    return true;
}

PyObject* walk_next(PyObject* self) {
    WalkObject* w = reinterpret_cast<WalkObject*>(self);
    if (w->running) {
        PyErr_SetString(PyExc_RuntimeError, "walk already executing");
        return nullptr;
    }
    w->running = true;
    struct Done {
        WalkObject* w;
        ~Done() { w->running = false; }
    } done{w};
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        while (w->chain != nullptr) {
            if (w->state != nullptr) {
                Py_ssize_t size = PyTuple_GET_SIZE(w->state);
                if (w->pos < size) {
                    PyObject* value = PyTuple_GET_ITEM(w->state, w->pos++);
                    return Py_NewRef(value);
                }
                if (size == 0) break;
                Ref next = next_start(w->start, w->state, w->order);
                Py_SETREF(w->start, next.release());
                Py_CLEAR(w->state);
            }
            if (!walk_step(w)) break;
        }
        walk_clear(self);
        return nullptr;
    });
}

PyType_Slot walk_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(walk_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(walk_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(walk_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(walk_next)},
    {0, nullptr}};

PyType_Spec walk_spec = {"zantu.chain.walk_iterator", sizeof(WalkObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                             Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         walk_slots};

}  // namespace

Ref new_walk(PyObject* chain, PyObject* start, PyObject* seed, Py_ssize_t order) {
    const NativeState& state = state_of(chain);
    Ref first = freeze(start);
    if (order == 0) order = PyTuple_CheckExact(first.get()) && PyTuple_GET_SIZE(first.get()) > 1 ? PyTuple_GET_SIZE(first.get()) : 1;
    if (order < 1) raise(PyExc_ValueError, "order must be at least 1");
    if (order > 1 && (!PyTuple_CheckExact(first.get()) || PyTuple_GET_SIZE(first.get()) != order)) {
        raise(PyExc_ValueError, "the start of a walk of order %zd must be a tuple of %zd values", order, order);
    }
    Ref random = Ref::check(PyObject_CallOneArg(state.random_class, seed));
    Ref draw = Ref::check(PyObject_GetAttr(random.get(), state.name_random));
    WalkObject* w = PyObject_GC_New(WalkObject, state.walk_type);
    if (w == nullptr) throw PyError();
    w->chain = Py_NewRef(chain);
    w->random = random.release();
    w->draw = draw.release();
    w->start = first.release();
    w->order = order;
    w->state = nullptr;
    w->pos = 0;
    w->running = false;
    PyObject_GC_Track(w);
    return Ref::steal(reinterpret_cast<PyObject*>(w));
}

void make_walk_type(PyObject* module, NativeState& state) {
    state.walk_type = reinterpret_cast<PyTypeObject*>(
        Ref::check(PyType_FromModuleAndSpec(module, &walk_spec, nullptr)).release());
}

}  // namespace zantu::native
