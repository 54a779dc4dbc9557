#include "chain_calls.h"

#include <string_view>

#include "fast_path.h"
#include "genuine.h"
#include "lookup.h"
#include "native_api.h"
#include "prefetch.h"

namespace zantu {

namespace {

bool is_native_chain(PyObject* o) {
    return fast_path(FastPath::native_chain) && Py_IS_TYPE(o, state().native->chain_type);
}
}  // namespace

bool is_native_bag(PyObject* o) {
    return fast_path(FastPath::native_chain) && Py_IS_TYPE(o, state().native->bag_type);
}

// How many rows ahead BagPairs asks for the values of; for a writer that
// codes them, the rows of its stages 1, 2 and 3 (each stage reads what the
// one before asked for, which has come in by then).
constexpr Py_ssize_t kRowsAhead = 4;
constexpr Py_ssize_t kStagesAhead[] = {12, 8, 4};

BagPairs::BagPairs(PyObject* bag) : bag_(Ref::borrow(bag)) {
    if (is_native_bag(bag)) {
        size_ = state().native->bag_size(bag);
        return;
    }
    iterator_ = get_iter(call_method(interned().choices, bag).get());
}

void BagPairs::prefetch_coded_ahead() const {
    const NativeApi* native = state().native;
    for (int stage = 1; stage <= 3; ++stage) {
        Py_ssize_t row = row_ + kStagesAhead[stage - 1];
        if (row >= size_) continue;
        Py_ssize_t size = 0;
        PyObject* const* values = native->bag_row_in_place(bag_.get(), row, &size);
        for (Py_ssize_t k = 0; k < size; ++k) ahead_(ahead_context_, stage, values[k]);
    }
}

bool BagPairs::next(NextState& out, Ref& count) {
    if (iterator_) {
        if (!iter_next(iterator_.get(), pair_)) return false;
        unpack_pair(pair_.get(), next_state_, count);
        pair_ = Ref();  // an iterator may reuse its result tuple when it is free
        out = NextState{next_state_.get(), nullptr, 0};
        return true;
    }
    if (!bag_) return false;
    const NativeApi* native = state().native;
    if (native->bag_size(bag_.get()) != size_) {
        bag_ = Ref();
        raise(PyExc_RuntimeError, "ProbabilityBag changed size during iteration");
    }
    if (row_ >= size_) {
        bag_ = Ref();
        return false;
    }
    PyObject* row_count = nullptr;
    PyObject* table = nullptr;
    Py_ssize_t size;
    while ((size = native->bag_row(bag_.get(), row_, values_, room_, &row_count, &table)) > room_) {
        Py_DECREF(row_count);
        many_.resize(size_t(size));
        values_ = many_.data();
        room_ = size;
    }
    if (size < 0) throw PyError();
    count = Ref::steal(row_count);
    if (table_.get() != table) {
        if (table_) older_tables_.push_back(std::move(table_));
        table_ = Ref::borrow(table);
    }
    // What the rows a few ahead will read: their values' objects, whose
    // text comes next, or what a writer that codes them asks for, or for a
    // writer that reads nothing of them, the row alone.
    if (values_ahead_ && ahead_ != nullptr) {
        prefetch_coded_ahead();
    } else if (row_ + kRowsAhead < size_) {
        Py_ssize_t ahead_size = 0;
        PyObject* const* ahead = native->bag_row_in_place(bag_.get(), row_ + kRowsAhead, &ahead_size);
        if (!values_ahead_) {
            prefetch(ahead);
        } else {
            for (Py_ssize_t k = 0; k < ahead_size; ++k) prefetch(ahead[k]);
        }
    }
    ++row_;
    out = NextState{nullptr, values_, size};
    return true;
}

Ref bag_unique_count(PyObject* bag) {
    if (is_native_bag(bag)) return Ref::check(PyLong_FromSsize_t(state().native->bag_size(bag)));
    return get_attr(bag, interned().unique_count);
}


Py_ssize_t chain_len(PyObject* chain) { return check_size(PyObject_Size(chain)); }

void chain_clear(PyObject* chain) {
    if (is_native_chain(chain)) {
        if (state().native->chain_clear(chain) < 0) throw PyError();
        return;
    }
    call_method(interned().clear, chain);
}

void chain_set_bag(PyObject* chain, PyObject* start, PyObject* bag) {
    if (is_native_chain(chain)) {
        if (state().native->chain_set_bag(chain, start, bag) < 0) throw PyError();
        return;
    }
    call_method(interned().set_bag, chain, start, bag);
}

void chain_add_to_bag(PyObject* chain, PyObject* start, PyObject* item, PyObject* count) {
    if (is_native_chain(chain)) {
        if (state().native->chain_add_to_bag(chain, start, item, count) < 0) throw PyError();
        return;
    }
    PyObject* stack[] = {nullptr, chain, start, item, count};
    Ref::check(PyObject_VectorcallMethod(interned().add_to_bag, stack + 1,
                                         3 | PY_VECTORCALL_ARGUMENTS_OFFSET, interned().kw_count));
}

void bag_add(PyObject* bag, PyObject* item, PyObject* count) {
    if (is_native_bag(bag)) {
        if (state().native->bag_add(bag, item, count) < 0) throw PyError();
        return;
    }
    PyObject* stack[] = {nullptr, bag, item, count};
    Ref::check(PyObject_VectorcallMethod(interned().add, stack + 1,
                                         2 | PY_VECTORCALL_ARGUMENTS_OFFSET, interned().kw_count));
}

Ref new_probability_bag(PyObject* module, PyObject* chain) {
    Ref cls = module_global(module, interned().ProbabilityBag);
    const NativeApi* native = state().native;
    if (is_native_chain(chain) && cls.get() == reinterpret_cast<PyObject*>(native->bag_type)) {
        return Ref::check(native->chain_new_bag(chain));
    }
    return call(cls.get());
}

const NativeApi* native_chain_api(PyObject* chain) { return is_native_chain(chain) ? state().native : nullptr; }

const NativeApi* native_sink_api(PyObject* file) {
    if (!fast_path(FastPath::text_sink) || !Py_IS_TYPE(file, state().native->sink_type)) return nullptr;
    return state().native;
}

void init_native() {
    // This interpreter's zantu._native: its capsule points into the state of
    // that module, which the state here holds.
    Ref module = Ref::check(PyImport_ImportModule("zantu._native"));
    Ref capsule = Ref::check(PyObject_GetAttrString(module.get(), "_api"));
    auto* api = static_cast<const NativeApi*>(PyCapsule_GetPointer(capsule.get(), "zantu._native._api"));
    if (api == nullptr) throw PyError();
    if (api->version != kNativeApiVersion) {
        raise(PyExc_ImportError, "zantu._native is of another build (interface %u, expected %u)", api->version,
              kNativeApiVersion);
    }
    state().native_module = std::move(module);
    state().native = api;
    set_fast_path_usable(FastPath::native_chain, true);
    set_fast_path_usable(FastPath::text_sink, true);
}


Ref ijson_basic_parse_function(PyObject* module) {
    Ref ijson = module_global(module, interned().ijson);
    return get_attr(ijson.get(), interned().basic_parse);
}

Ref ijson_basic_parse(PyObject* basic_parse, PyObject* source, long block) {
    if (block > 0 && fast_path(FastPath::parser_blocks) && is_ijson_basic_parse(basic_parse)) {
        Ref size = Ref::check(PyLong_FromLong(block));
        PyObject* stack[] = {nullptr, source, size.get()};
        return Ref::check(PyObject_Vectorcall(basic_parse, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                              interned().kw_buf_size));
    }
    return call(basic_parse, source);
}

void raise_key_error(PyObject* key) {
    PyObject* args = PyTuple_Pack(1, key);
    if (args != nullptr) {
        PyErr_SetObject(PyExc_KeyError, args);
        Py_DECREF(args);
    }
    throw PyError();
}

}  // namespace zantu
