// The module zantu._native: the package's bag and chain types, and the
// capsule through which the codec reaches them directly.
#include "chain.h"
#include "module_slots.h"

namespace zantu::native {

Ref freeze(PyObject* value) {
    bool is_list = PyList_CheckExact(value);
    if (!is_list && !PyTuple_CheckExact(value)) return Ref::borrow(value);
    // Flat (the usual state of several tokens): a tuple as it is, a list's
    // items as a tuple.
    bool nested = false;
    for (Py_ssize_t k = 0; k < Py_SIZE(value) && !nested; ++k) {
        PyObject* v = is_list ? PyList_GET_ITEM(value, k) : PyTuple_GET_ITEM(value, k);
        nested = PyList_CheckExact(v) || PyTuple_CheckExact(v);
    }
    if (!nested) return is_list ? Ref::check(PyList_AsTuple(value)) : Ref::borrow(value);
    if (Py_EnterRecursiveCall(" while freezing a value")) throw PyError();
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    Ref items = is_list ? Ref::check(PyList_AsTuple(value)) : Ref::borrow(value);
    Py_ssize_t size = PyTuple_GET_SIZE(items.get());
    Ref frozen = Ref::check(PyTuple_New(size));
    for (Py_ssize_t k = 0; k < size; ++k) {
        PyTuple_SET_ITEM(frozen.get(), k, freeze(PyTuple_GET_ITEM(items.get(), k)).release());
    }
    return frozen;
}

Ref instance_state(PyObject* self) {
    // The package's own types have neither __dict__ nor __slots__.
    const NativeState& state = state_of(self);
    if (Py_IS_TYPE(self, state.bag_type) || Py_IS_TYPE(self, state.chain_type)) return Ref::borrow(Py_None);
    return Ref::check(PyObject_CallMethod(self, "__getstate__", nullptr));
}

void restore_state(PyObject* self, PyObject* state) {
    if (state == Py_None) return;
    PyObject* slots = nullptr;
    if (PyTuple_Check(state) && PyTuple_GET_SIZE(state) == 2) {
        slots = PyTuple_GET_ITEM(state, 1);
        state = PyTuple_GET_ITEM(state, 0);
    }
    Ref held = Ref::borrow(state);
    Ref held_slots = Ref::borrow(slots);
    if (state != Py_None) {
        if (!PyDict_Check(state)) raise(PyExc_TypeError, "state is not a dictionary");
        Ref mine = Ref::check(PyObject_GetAttrString(self, "__dict__"));
        check_status(PyDict_Update(mine.get(), state));
    }
    if (slots == nullptr || slots == Py_None) return;
    if (!PyDict_Check(slots)) raise(PyExc_TypeError, "slot state is not a dictionary");
    Ref items = Ref::check(PyDict_Items(slots));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        check_status(PyObject_SetAttr(self, PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)));
    }
}

namespace {

// (copyreg.__newobj__, (type,), the compact state) of a bag or a chain.
PyObject* compact_reduce(PyObject* self, bool buffers) {
    const NativeState& state = state_of(self);
    Ref compact = PyObject_TypeCheck(self, state.chain_type) ? chain_compact_state(self, buffers)
                                                              : bag_compact_state(self, buffers);
    return Py_BuildValue("O(O)O", state.newobj, Py_TYPE(self), compact.get());
}

}  // namespace

PyObject* reduce(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] { return compact_reduce(self, false); });
}

PyObject* reduce_ex(PyObject* self, PyObject* protocol_object) {
    return guarded<PyObject*>(nullptr, [&] {
        long protocol = PyLong_AsLong(protocol_object);
        if (protocol == -1 && PyErr_Occurred()) throw PyError();
        const NativeState& state = state_of(self);
        PyTypeObject* base = PyObject_TypeCheck(self, state.chain_type) ? state.chain_type : state.bag_type;
        if (Py_TYPE(self) != base) {
            Ref ours = Ref::check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(base), "__reduce__"));
            Ref theirs = Ref::check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__reduce__"));
            if (ours.get() != theirs.get()) return PyObject_CallMethod(self, "__reduce__", nullptr);
        }
        return compact_reduce(self, protocol >= 5);
    });
}

namespace {

PyObject* attribute_of(const char* module, const char* name) {
    Ref m = Ref::check(PyImport_ImportModule(module));
    return Ref::check(PyObject_GetAttrString(m.get(), name)).release();
}

PyObject* interned(const char* text) {
    PyObject* name = PyUnicode_InternFromString(text);
    if (name == nullptr) throw PyError();
    return name;
}

PyMethodDef functions[] = {
    {"_count_words", count_words_function, METH_VARARGS,
     "_count_words(chain, text, order, carried, /)\n--\n\n"
     "Count the words of `text` (runs of characters that re's \\w matches) into\n"
     "`chain` (a MarkovChain), the words `carried` going first; returns the\n"
     "last `order` words, to be carried into the next text."},
    {"_sentences", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sentences_function)),
     METH_VARARGS | METH_KEYWORDS,
     "_sentences(text, *, lines=False)\n--\n\nThe sentences of `text`, trimmed (with `lines`: its non-blank lines)."},
    {"_merge_state", merge_state_function, METH_VARARGS,
     "_merge_state(chain, state, /)\n--\n\n"
     "Add to `chain` (a MarkovChain) the chain that `state` makes (what pickling a\n"
     "MarkovChain gives as its state), as update() adds it."},
    {"_next_value_sums", next_value_sums_function, METH_O,
     "_next_value_sums(chain, /)\n--\n\n"
     "For each value, the sum of the counts of the next states that are that value\n"
     "alone (a dict); False when a next state holds another number of values; None\n"
     "when a bag is not the package's own with small counts (ask each bag then)."},
    {"_unique_pairs", unique_pairs_function, METH_O,
     "_unique_pairs(chain, /)\n--\n\n"
     "The number of distinct (start, next state) pairs of `chain` (a MarkovChain):\n"
     "the sum of its bags' unique_count, without making its bags; None when a bag\n"
     "is not the package's own (ask each bag then)."},
    {"_count_sentences", count_sentences_function, METH_VARARGS,
     "_count_sentences(chain, text, order, lines, final, runs=None, /)\n--\n\n"
     "Count the sentences of `text` (with `lines`: its non-blank lines) into\n"
     "`chain`, each from the begin state to the end value (None); unless\n"
     "`final`, the text after the last blank line (line end) is returned uncounted.\n"
     "With `runs` (a zantu.text.RunsBuilder), the runs of the sentences counted go to it."},
    {"_split_ahead", split_ahead_function, METH_O,
     "_split_ahead(on, /)\n--\n\nWhether a text being counted is split a block ahead by a thread of its own (by\n"
     "default; off in a process that is one of several counting at once); returns what it was."},
    {"_runs_add", runs_add_function, METH_VARARGS,
     "_runs_add(text, lines, table, ids, /)\n--\n\nAppend each sentence of `text` to `ids` (a bytearray of varints) as its\n"
     "tokens' numbers in `table` (str to number, from 1; new ones added), then 0."},
    {"_runs_join", runs_join_function, METH_VARARGS,
     "_runs_join(table, vocabulary, parts, /)\n--\n\nA part's runs (pairs of ids and a mapping from their numbers to those of\n"
     "`vocabulary`, or None) as pairs of copied ids and a mapping to the numbers of `table`,\n"
     "where the vocabulary's new words are added."},
    {"_runs_take", runs_take_function, METH_VARARGS,
     "_runs_take(vocabulary, parts, /)\n--\n\nA part's runs as they are now, to be joined later: (its vocabulary as a\n"
     "tuple, its parts as pairs of ids copied as bytes and a mapping as bytes or None);\n"
     "ValueError when an id is past the vocabulary or cut short."},
    {"_runs_rank_joined", runs_rank_joined_function, METH_VARARGS,
     "_runs_rank_joined(words, parts, unjoined, /)\n--\n\nA ranking as _runs_rank makes, of `parts` in the numbers of `words` then of\n"
     "the parts `unjoined` (what _runs_take returns), whose words its thread joins to `words`\n"
     "first; None, with nothing begun, unless every word is an exact str."},
    {"_runs_finish", runs_finish_function, METH_VARARGS,
     "_runs_finish(parts, vocabulary, /)\n--\n\nThe words of `vocabulary` (in number order) ranked by how often the runs'\n"
     "parts (pairs of ids and a mapping or None) hold them, and the ids as ranks in varints."},
    {"_runs_rank", runs_rank_function, METH_VARARGS,
     "_runs_rank(parts, numbers, /)\n--\n\nWhat _runs_finish returns, made by a thread that holds no GIL: a ranking\n"
     "to hand to _runs_ranked (the ids stay exported until the ranking is dropped)."},
    {"_runs_ranked", runs_ranked_function, METH_VARARGS,
     "_runs_ranked(ranking, vocabulary, /)\n--\n\nNone while the ranking runs; then what _runs_finish returns (`vocabulary`\n"
     "None for a ranking that joins words: its words are those it joined); False in a process\n"
     "forked from the one whose thread ranked, before it was done."},
    {"_runs_search", runs_search_function, METH_VARARGS,
     "_runs_search(encoded, numbers, /)\n--\n\nThe search of the runs index `encoded` (varints of numbers up to\n"
     "`numbers`), made by a thread that holds no GIL (`encoded` stays exported until it is dropped)."},
    {"_runs_searchable", runs_searchable_function, METH_O,
     "_runs_searchable(search, /)\n--\n\nFalse while the search is made; then True, or ValueError when the index\n"
     "is damaged."},
    {"_copies", copies_function, METH_VARARGS,
     "_copies(search, ids, width, /)\n--\n\nWhether a run of `width` of `ids` occurs within a sentence of the source."},
    {"_tokens", tokens_function, METH_O, "_tokens(text, /)\n--\n\nThe tokens of `text`: words and punctuation marks."},
    {nullptr, nullptr, 0, nullptr}};

void fill_module(PyObject* module, NativeState& state) {
    state.random_module = Ref::check(PyImport_ImportModule("random")).release();
    state.random_class = attribute_of("random", "Random");
    state.newobj = attribute_of("copyreg", "__newobj__");
    state.sum = attribute_of("builtins", "sum");
    state.name_random = interned("random");
    state.name_add = interned("add");
    state.name_choose = interned("choose");
    state.name_items = interned("items");
    state.name_choices = interned("choices");
    state.name_add_to_bag = interned("add_to_bag");
    state.name_write = interned("write");
    state.name_add_tokens = interned("add_tokens");
    state.kw_count = Ref::check(Py_BuildValue("(s)", "count")).release();
    make_table_type(module, state);
    make_bag_types(module, state);
    make_chain_types(module, state);
    make_sink_type(module, state);
    state.api = make_api(state);
    check_status(PyModule_AddObjectRef(module, "ProbabilityBag", reinterpret_cast<PyObject*>(state.bag_type)));
    check_status(PyModule_AddObjectRef(module, "MarkovChain", reinterpret_cast<PyObject*>(state.chain_type)));
    check_status(PyModule_AddObjectRef(module, "TextSink", reinterpret_cast<PyObject*>(state.sink_type)));
    Ref capsule = Ref::check(PyCapsule_New(&state.api, "zantu._native._api", nullptr));
    check_status(PyModule_AddObjectRef(module, "_api", capsule.get()));
}

using Module = StateModule<NativeState, fill_module>;

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "zantu._native",
                          "The package's ProbabilityBag and MarkovChain as native types.", sizeof(NativeState*),
                          functions, Module::slots, Module::traverse, Module::clear, Module::free};

}  // namespace

NativeState::~NativeState() {
#define ZANTU_DROP(name) Py_CLEAR(name);
    ZANTU_NATIVE_OBJECTS(ZANTU_DROP)
    ZANTU_NATIVE_TYPES(ZANTU_DROP)
#undef ZANTU_DROP
}

int NativeState::traverse(visitproc visit, void* arg) {
#define ZANTU_VISIT(name) Py_VISIT(name);
    ZANTU_NATIVE_TYPES(ZANTU_VISIT)
    ZANTU_NATIVE_OBJECTS(ZANTU_VISIT)
#undef ZANTU_VISIT
    return 0;
}

NativeState& type_state(PyTypeObject* type) {
    PyObject* module = PyType_GetModuleByDef(type, &module_def);
    if (module == nullptr) throw PyError();
    return module_state(module);
}

NativeState& module_state(PyObject* module) {
    NativeState* s = Module::slot(module);
    if (s == nullptr) raise(PyExc_SystemError, "the module zantu._native is being torn down");
    return *s;
}

}  // namespace zantu::native

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&zantu::native::module_def); }
