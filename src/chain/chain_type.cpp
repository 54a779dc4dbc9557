// MarkovChain: for every start, the bag of next states seen after it.
#include <cstdint>
#include <vector>

#include <cstring>

#include "chain.h"
#include "state_store.h"

namespace zantu::native {

void raise_chain_changed(const char* during) {
    raise(PyExc_RuntimeError, "MarkovChain changed during %s", during);
}

Ref chain_bags(ChainObject* chain) {
    materialize(chain);
    if (chain->bags == nullptr) chain->bags = Ref::check(PyDict_New()).release();
    return Ref::borrow(chain->bags);
}

Ref chain_table(ChainObject* chain) {
    if (chain->table == nullptr) {
        chain->table = new_table(state_of(chain)).release();
        set_table_owner(chain->table, chain);
    }
    return Ref::borrow(chain->table);
}

void settle_bag(ChainObject* chain, PyObject* bag) {
    if (!own_bag(bag)) return;
    BagObject* b = as_bag(bag);
    if (b->table != chain->table || b->table == nullptr || !table_plain(b->table) || b->store.big) return;
    if (PyObject_GC_IsTracked(bag)) PyObject_GC_UnTrack(bag);
}

void track_bags(ChainObject* chain) {
    if (chain->bags == nullptr) return;
    Py_ssize_t at = 0;
    PyObject* start;
    PyObject* bag;
    while (PyDict_Next(chain->bags, &at, &start, &bag)) {
        if (own_bag(bag)) track_bag(bag);
    }
}

namespace {

// The chain lets go of its table (it takes another, or ends).
void drop_table(ChainObject* chain) {
    track_bags(chain);
    if (chain->table != nullptr) set_table_owner(chain->table, nullptr);
}

}  // namespace


void call_add(const NativeState& state, PyObject* bag, PyObject* item, PyObject* count) {
    PyObject* stack[] = {bag, item, count};
    Ref done = Ref::check(PyObject_VectorcallMethod(state.name_add, stack, 2, state.kw_count));
}

Ref bag_of(NativeState& state, ChainObject* chain, PyObject* bags, PyObject* table, PyObject* start) {
    PyObject* found = PyDict_GetItemWithError(bags, start);
    if (found != nullptr) return Ref::borrow(found);
    if (PyErr_Occurred()) throw PyError();
    Ref bag = new_bag(state, table);
    check_status(PyDict_SetItem(bags, start, bag.get()));
    if (chain->bags != bags || chain->table != table) raise_chain_changed("add_to_bag");
    settle_bag(chain, bag.get());
    return bag;
}

void add_to_bag(ChainObject* chain, PyObject* start, PyObject* item, PyObject* count) {
    Ref table = chain_table(chain);
    Ref bags = chain_bags(chain);
    PyObject* kept = kept_value(table.get(), start);
    if (chain->table != table.get()) raise_chain_changed("add_to_bag");
    NativeState& state = state_of(chain);
    Ref bag = bag_of(state, chain, bags.get(), table.get(), kept);
    if (Py_IS_TYPE(bag.get(), state.bag_type)) {
        bag_add(as_bag(bag.get()), item, count);
    } else {
        call_add(state, bag.get(), item, count);
    }
}

void set_bag(ChainObject* chain, PyObject* start, PyObject* bag) {
    Ref table = chain_table(chain);
    Ref bags = chain_bags(chain);
    PyObject* kept = kept_value(table.get(), start);
    if (PyObject_TypeCheck(bag, state_of(chain).bag_type)) bag_adopt(as_bag(bag), table.get());
    if (chain->table != table.get()) raise_chain_changed("set_bag");
    ++chain->changes;
    // A bag that the new one replaces leaves the chain: the collector
    // sees it again.
    PyObject* found = PyDict_SetDefault(bags.get(), kept, bag);
    if (found == nullptr) throw PyError();
    if (found != bag) {
        Ref replaced = Ref::borrow(found);
        check_status(PyDict_SetItem(bags.get(), kept, bag));
        if (own_bag(replaced.get())) track_bag(replaced.get());
    }
    if (chain->bags == bags.get()) settle_bag(chain, bag);
}

void clear(ChainObject* chain) {
    if (chain->materializing) raise(PyExc_RuntimeError, "MarkovChain cleared while its bags are being made");
    drop_store(chain);
    // A chain that never held a value has no bag and nothing to let go of:
    // nothing is made for it (a load into a new chain allocates nothing).
    if (chain->table == nullptr) {
        ++chain->changes;
        track_bags(chain);
        if (chain->bags != nullptr) PyDict_Clear(chain->bags);
        return;
    }
    // A new table: bags taken out of the chain keep theirs.
    Ref table = new_table(state_of(chain));
    ++chain->changes;
    drop_table(chain);
    PyObject* previous = chain->table;
    chain->table = table.release();
    set_table_owner(chain->table, chain);
    Py_XDECREF(previous);
    if (chain->bags != nullptr) PyDict_Clear(chain->bags);
}

namespace {

// --- The type's slots and methods ---------------------------------------

PyObject* chain_new(PyTypeObject* type, PyObject*, PyObject*) { return type->tp_alloc(type, 0); }

int chain_init(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {nullptr};
    return PyArg_ParseTupleAndKeywords(args, kwargs, ":MarkovChain", const_cast<char**>(names)) ? 0 : -1;
}

int chain_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_chain(self)->bags);
    Py_VISIT(as_chain(self)->table);
    return 0;
}

int chain_clear_slot(PyObject* self) {
    ++as_chain(self)->changes;
    drop_store(as_chain(self));
    drop_table(as_chain(self));
    Py_CLEAR(as_chain(self)->bags);
    Py_CLEAR(as_chain(self)->table);
    return 0;
}

void chain_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    chain_clear_slot(self);
    type->tp_free(self);
    Py_DECREF(type);
}

Py_ssize_t chain_len(PyObject* self) {
    if (const StateStore* store = as_chain(self)->store) return Py_ssize_t(store->states());
    PyObject* bags = as_chain(self)->bags;
    return bags != nullptr ? PyDict_GET_SIZE(bags) : 0;
}

int chain_contains(PyObject* self, PyObject* start) {
    return guarded(-1, [&] {
        ChainObject* chain = as_chain(self);
        Ref key = freeze(start);
        if (chain->store != nullptr && plain_value(key.get())) {
            // Plain: the lookups run no code of the caller's (the collector
            // paused while a nested value is frozen).
            CollectorPause pause;
            return int(store_state_of(*chain->store, chain->table, key.get()) != StateStore::kNone);
        }
        Ref bags = chain_bags(chain);
        return check_status(PyDict_Contains(bags.get(), key.get()));
    });
}

PyObject* chain_from_tokens(PyObject* cls, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"tokens", "order", nullptr};
    PyObject* tokens;
    Py_ssize_t order = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|n:from_tokens", const_cast<char**>(names), &tokens, &order)) {
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&] {
        if (order < 1) raise(PyExc_ValueError, "order must be at least 1");
        const NativeState& state = type_state(reinterpret_cast<PyTypeObject*>(cls));
        Ref chain = Ref::check(PyObject_CallNoArgs(cls));
        if (Py_IS_TYPE(chain.get(), state.chain_type)) {
            add_tokens(as_chain(chain.get()), tokens, order);
        } else {
            Ref order_object = Ref::check(PyLong_FromSsize_t(order));
            Ref done = Ref::check(PyObject_CallMethodObjArgs(chain.get(), state.name_add_tokens, tokens,
                                                             order_object.get(), nullptr));
        }
        return chain.release();
    });
}

// A text is counted a block at a time: the room the chain's store kept
// for more is given back at the end.
void trim_store(const NativeState& state, PyObject* chain) {
    if (!PyObject_TypeCheck(chain, state.chain_type)) return;
    if (StateStore* store = as_chain(chain)->store) store->trim();
}

// The text counted as `split` says: "sentences", "lines" or "words".
// With `runs` (a zantu.text.RunsBuilder, or None), the sentences' runs go
// to it in the same pass.
void add_text(const NativeState& state, PyObject* chain, PyObject* text, Py_ssize_t order, const char* split,
              PyObject* runs) {
    if (order < 1) raise(PyExc_ValueError, "order must be at least 1");
    if (std::strcmp(split, "words") == 0) {
        if (runs != Py_None) raise(PyExc_ValueError, "runs are kept of sentences or lines, not of words");
        Ref none = Ref::check(PyTuple_New(0));
        count_words(state, chain, text, order, none.get());
        trim_store(state, chain);
        return;
    }
    bool lines = std::strcmp(split, "lines") == 0;
    if (!lines && std::strcmp(split, "sentences") != 0) {
        raise(PyExc_ValueError, "split must be 'sentences', 'lines' or 'words', not '%.100s'", split);
    }
    count_sentences(state, chain, text, order, lines, true, runs);
    trim_store(state, chain);
}

PyObject* chain_from_text(PyObject* cls, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"text", "order", "split", "runs", nullptr};
    PyObject *text, *runs = Py_None;
    Py_ssize_t order = 1;
    const char* split = "sentences";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|n$sO:from_text", const_cast<char**>(names), &text, &order,
                                     &split, &runs)) {
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&] {
        const NativeState& state = type_state(reinterpret_cast<PyTypeObject*>(cls));
        Ref chain = Ref::check(PyObject_CallNoArgs(cls));
        add_text(state, chain.get(), text, order, split, runs);
        return chain.release();
    });
}

PyObject* chain_add_text(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"text", "order", "split", "runs", nullptr};
    PyObject *text, *runs = Py_None;
    Py_ssize_t order = 1;
    const char* split = "sentences";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|n$sO:add_text", const_cast<char**>(names), &text, &order,
                                     &split, &runs)) {
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&] {
        add_text(state_of(self), self, text, order, split, runs);
        Py_RETURN_NONE;
    });
}

// chain.sentences(...): zantu.text's generator, given the chain.
PyObject* chain_sentences(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        Ref text = Ref::check(PyImport_ImportModule("zantu.text"));
        Ref generate = Ref::check(PyObject_GetAttrString(text.get(), "_generate"));
        Py_ssize_t count = PyTuple_GET_SIZE(args);
        Ref all = Ref::check(PyTuple_New(count + 1));
        PyTuple_SET_ITEM(all.get(), 0, Py_NewRef(self));
        for (Py_ssize_t k = 0; k < count; ++k) PyTuple_SET_ITEM(all.get(), k + 1, Py_NewRef(PyTuple_GET_ITEM(args, k)));
        return Ref::check(PyObject_Call(generate.get(), all.get(), kwargs)).release();
    });
}

PyObject* chain_add_tokens(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"tokens", "order", nullptr};
    PyObject* tokens;
    Py_ssize_t order = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|n:add_tokens", const_cast<char**>(names), &tokens, &order)) {
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&] {
        add_tokens(as_chain(self), tokens, order);
        Py_RETURN_NONE;
    });
}

PyObject* chain_items(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        Ref bags = chain_bags(as_chain(self));
        return PyObject_CallMethodNoArgs(bags.get(), state_of(self).name_items);
    });
}

PyObject* chain_build_frequency_dict(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        return frequencies(as_chain(self)).release();
    });
}

PyObject* chain_clear_method(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        clear(as_chain(self));
        Py_RETURN_NONE;
    });
}

PyObject* chain_set_bag(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"start", "bag", nullptr};
    PyObject *start, *bag;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:set_bag", const_cast<char**>(names), &start, &bag)) {
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&] {
        set_bag(as_chain(self), start, bag);
        Py_RETURN_NONE;
    });
}

PyObject* chain_add_to_bag(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"start", "item", "count", nullptr};
    PyObject *start, *item;
    PyObject* count = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:add_to_bag", const_cast<char**>(names), &start, &item,
                                     &count)) {
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&] {
        Ref one;
        if (count == nullptr) count = (one = Ref::check(PyLong_FromLong(1))).get();
        add_to_bag(as_chain(self), start, item, count);
        Py_RETURN_NONE;
    });
}

PyObject* chain_walk(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"start", "seed", "order", nullptr};
    PyObject* start;
    PyObject* seed = Py_None;
    PyObject* order = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:walk", const_cast<char**>(names), &start, &seed, &order)) {
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&] {
        Py_ssize_t size = 0;
        if (order != Py_None) {
            size = PyNumber_AsSsize_t(order, PyExc_OverflowError);
            if (size == -1 && PyErr_Occurred()) throw PyError();
            if (size < 1) raise(PyExc_ValueError, "order must be at least 1");
        }
        return new_walk(self, start, seed, size).release();
    });
}

PyObject* chain_get_bag(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"start", nullptr};
    PyObject* start;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:get_bag", const_cast<char**>(names), &start)) return nullptr;
    return guarded<PyObject*>(nullptr, [&] {
        Ref bags = chain_bags(as_chain(self));
        Ref key = freeze(start);
        PyObject* found = PyDict_GetItemWithError(bags.get(), key.get());
        if (found == nullptr && PyErr_Occurred()) throw PyError();
        return Py_NewRef(found != nullptr ? found : Py_None);
    });
}

// zantu.files.<name>(first, path): saving and loading are written in Python.
PyObject* call_files(const char* name, PyObject* first, PyObject* path) {
    return guarded<PyObject*>(nullptr, [&] {
        Ref files = Ref::check(PyImport_ImportModule("zantu.files"));
        return PyObject_CallMethod(files.get(), name, "OO", first, path);
    });
}

PyObject* chain_save(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"path", nullptr};
    PyObject* path;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:save", const_cast<char**>(names), &path)) return nullptr;
    return call_files("save", self, path);
}

PyObject* chain_load(PyObject* cls, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"path", nullptr};
    PyObject* path;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:load", const_cast<char**>(names), &path)) return nullptr;
    return call_files("load", cls, path);
}

PyObject* chain_update_method(PyObject* self, PyObject* other) {
    return guarded<PyObject*>(nullptr, [&] {
        chain_update(self, other);
        Py_RETURN_NONE;
    });
}

PyObject* chain_inplace_add(PyObject* self, PyObject* other) {
    return guarded<PyObject*>(nullptr, [&] {
        const NativeState& state = state_of(self);
        if (!PyObject_TypeCheck(self, state.chain_type) || !PyObject_TypeCheck(other, state.chain_type)) {
            Py_RETURN_NOTIMPLEMENTED;
        }
        chain_update(self, other);
        return Py_NewRef(self);
    });
}

PyObject* chain_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    return guarded<PyObject*>(nullptr, [&] {
        if (!PyObject_TypeCheck(other, state_of(self).chain_type)) Py_RETURN_NOTIMPLEMENTED;
        Ref mine = chain_bags(as_chain(self));
        Ref theirs = chain_bags(as_chain(other));
        return PyObject_RichCompare(mine.get(), theirs.get(), op);
    });
}

PyObject* chain_repr(PyObject* self) { return PyUnicode_FromFormat("MarkovChain(%zd starts)", chain_len(self)); }

// The (start, bag) pairs and the instance's state: the form of older
// pickles, and of a shallow copy (which shares the bags, as a dict's does).
Ref pairs_state(PyObject* self) {
    Ref bags = chain_bags(as_chain(self));
    Ref view = Ref::check(PyObject_CallMethodNoArgs(bags.get(), state_of(self).name_items));
    Ref pairs = Ref::check(PySequence_List(view.get()));
    Ref attributes = instance_state(self);
    return Ref::check(PyTuple_Pack(2, pairs.get(), attributes.get()));
}

PyObject* chain_copy(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        Ref state = pairs_state(self);
        Ref twin = Ref::check(PyObject_CallOneArg(state_of(self).newobj, reinterpret_cast<PyObject*>(Py_TYPE(self))));
        Ref done = Ref::check(PyObject_CallMethod(twin.get(), "__setstate__", "(O)", state.get()));
        return twin.release();
    });
}

PyObject* chain_setstate(PyObject* self, PyObject* state) {
    return guarded<PyObject*>(nullptr, [&] {
        if (compact_state(state)) {
            chain_restore_compact(self, state);
            Py_RETURN_NONE;
        }
        PyObject *pairs, *attributes;
        if (!PyArg_ParseTuple(state, "OO:__setstate__", &pairs, &attributes)) throw PyError();
        Ref it = Ref::check(PyObject_GetIter(pairs));
        for (Ref pair; (pair = Ref::steal(PyIter_Next(it.get())));) {
            PyObject *start, *bag;
            if (!PyArg_ParseTuple(pair.get(), "OO:__setstate__", &start, &bag)) throw PyError();
            set_bag(as_chain(self), start, bag);
        }
        if (PyErr_Occurred()) throw PyError();
        restore_state(self, attributes);
        Py_RETURN_NONE;
    });
}

template <typename F>
PyCFunction keywords(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef chain_methods[] = {
    {"from_tokens", keywords(chain_from_tokens), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "from_tokens($cls, /, tokens, order=1)\n--\n\nBuild a chain that counts, after every run of `order` tokens, the\n"
     "token that follows: the start is the run's state (the token itself for\n"
     "order 1, else the tuple of the `order` tokens), the next state the\n"
     "one-element tuple of the token after it."},
    {"from_text", keywords(chain_from_text), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "from_text($cls, /, text, order=1, *, split='sentences', runs=None)\n--\n\nBuild a chain from a text: split 'sentences' (the default; see\n"
     "zantu.text) counts each sentence's tokens from the begin state (None,\n"
     "`order` times; None itself for order 1) to the end value None; 'lines'\n"
     "counts each non-blank line so; 'words' counts the text's words (runs of\n"
     "what re's \\w matches) as from_tokens does, without begin or end.\n"
     "With `runs` (a zantu.text.RunsBuilder), the runs of the sentences\n"
     "counted are added to it in the same pass, as its add(text) would."},
    {"add_text", keywords(chain_add_text), METH_VARARGS | METH_KEYWORDS,
     "add_text($self, /, text, order=1, *, split='sentences', runs=None)\n--\n\nCount a text into the chain, as from_text does."},
    {"sentences", keywords(chain_sentences), METH_VARARGS | METH_KEYWORDS,
     "sentences($self, /, seed=None, start=None, *, order=None, max_words=200, tries=10, runs=None,\n"
     "          overlap_ratio=0.7, overlap_total=15, balanced=True)\n--\n\n"
     "Yield sentences drawn from a chain built from sentences: each walks\n"
     "from the begin state (or from `start`, a word a sentence begins with,\n"
     "or a state) to the end value, its tokens joined with natural spacing\n"
     "(zantu.text.join). With `runs` (zantu.text.Runs of the source), a\n"
     "sentence holding a run of the source's of `overlap_total` tokens, or of\n"
     "`overlap_ratio` of its length when fewer, is drawn again, as is one of\n"
     "more than `max_words` words and, with `balanced`, one that leaves a\n"
     "bracket or a double quote open or closes one it did not open: up to\n"
     "`tries` times, then skipped; the\n"
     "sentences end after 10 skipped in a row. The same seed gives the same\n"
     "sentences."},
    {"add_tokens", keywords(chain_add_tokens), METH_VARARGS | METH_KEYWORDS,
     "add_tokens($self, /, tokens, order=1)\n--\n\nCount, after every run of `order` tokens, the token that follows\n"
     "(as from_tokens does)."},
    {"items", chain_items, METH_NOARGS, "items($self, /)\n--\n\nThe (start, bag) pairs."},
    {"build_frequency_dict", chain_build_frequency_dict, METH_NOARGS,
     "build_frequency_dict($self, /)\n--\n\nHow often each value occurs as a start or inside a next state,\n"
     "weighted by the counts; every start is a key, even one whose bag is empty."},
    {"clear", chain_clear_method, METH_NOARGS, "clear($self, /)\n--\n\nRemove every start."},
    {"set_bag", keywords(chain_set_bag), METH_VARARGS | METH_KEYWORDS,
     "set_bag($self, /, start, bag)\n--\n\nInstall `bag` as the bag of `start`."},
    {"add_to_bag", keywords(chain_add_to_bag), METH_VARARGS | METH_KEYWORDS,
     "add_to_bag($self, /, start, item, count=1)\n--\n\nAdd `count` to `item` in the bag of `start`, creating both as\n"
     "needed. `item` may be a tuple, a list or a one-shot iterator."},
    {"walk", keywords(chain_walk), METH_VARARGS | METH_KEYWORDS,
     "walk($self, /, start, seed=None, order=None)\n--\n\nYield values drawn from the chain, without end: from the bag of the\n"
     "current start a next state is drawn (ProbabilityBag.choose), its values\n"
     "are yielded, and the last `order` values of the start and the next\n"
     "state in a row are the next start (the last value itself for order 1;\n"
     "by default, the length of a tuple start, else 1). Ends where a start\n"
     "has no bag, or an empty one, or a next state is empty. The walk draws\n"
     "from a random.Random of its own, made from the second argument: the\n"
     "same argument gives the same values on every run and machine."},
    {"get_bag", keywords(chain_get_bag), METH_VARARGS | METH_KEYWORDS, "get_bag($self, /, start)\n--\n\nThe bag of `start`, or None."},
    {"save", keywords(chain_save), METH_VARARGS | METH_KEYWORDS,
     "save($self, /, path)\n--\n\nWrite the chain to the file at `path` in the compressed form, piece by\n"
     "piece (gzip when the name ends in .gz); the file is replaced only once\n"
     "it is whole."},
    {"load", keywords(chain_load), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "load($cls, /, path)\n--\n\nA new chain read from the document at `path` (either form, gzip or\n"
     "not), piece by piece."},
    {"update", chain_update_method, METH_O,
     "update($self, other, /)\n--\n\nAdd the counts of `other` (a chain, or anything whose items() gives\n"
     "(start, bag) pairs) to this chain: the same as adding its pairs one by one\n"
     "with add_to_bag, in its order. `chain += other` does the same."},
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {"__reduce_ex__", reduce_ex, METH_O, nullptr},
    {"__copy__", chain_copy, METH_NOARGS, nullptr},
    {"__setstate__", chain_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr}};

const char chain_doc[] =
    "MarkovChain()\n--\n\n"
    "Maps each start (a hashable value) to the ProbabilityBag of the next\n"
    "states seen after it. Equal values are kept as one object per chain.";

PyType_Slot chain_slots[] = {
    {Py_tp_doc, const_cast<char*>(chain_doc)},
    {Py_tp_new, reinterpret_cast<void*>(chain_new)},
    {Py_tp_init, reinterpret_cast<void*>(chain_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(chain_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(chain_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(chain_clear_slot)},
    {Py_sq_length, reinterpret_cast<void*>(chain_len)},
    {Py_sq_contains, reinterpret_cast<void*>(chain_contains)},
    {Py_tp_richcompare, reinterpret_cast<void*>(chain_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_repr, reinterpret_cast<void*>(chain_repr)},
    {Py_nb_inplace_add, reinterpret_cast<void*>(chain_inplace_add)},
    {Py_tp_methods, chain_methods},
    {0, nullptr}};

PyType_Spec chain_spec = {"zantu.chain.MarkovChain", sizeof(ChainObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                          chain_slots};

}  // namespace

void make_chain_types(PyObject* module, NativeState& state) {
    state.chain_type = reinterpret_cast<PyTypeObject*>(
        Ref::check(PyType_FromModuleAndSpec(module, &chain_spec, nullptr)).release());
    make_walk_type(module, state);
}

}  // namespace zantu::native
