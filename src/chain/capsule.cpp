// The capsule "zantu._native._api" (native_api.h): the codec's direct ways
// into the package's chain and bag, each what the method of the same name
// does, for objects of exactly these types.
#include <algorithm>

#include "bag_store.h"
#include "chain.h"
#include "state_store.h"

namespace zantu::native {
namespace {

int api_chain_add_to_bag(PyObject* chain, PyObject* start, PyObject* item, PyObject* count) {
    return guarded(-1, [&] {
        add_to_bag(as_chain(chain), start, item, count);
        return 0;
    });
}

int api_chain_set_bag(PyObject* chain, PyObject* start, PyObject* bag) {
    return guarded(-1, [&] {
        set_bag(as_chain(chain), start, bag);
        return 0;
    });
}

int api_chain_clear(PyObject* chain) {
    return guarded(-1, [&] {
        clear(as_chain(chain));
        return 0;
    });
}

PyObject* api_chain_bag_of(PyObject* chain, PyObject* table, PyObject* start) {
    return guarded<PyObject*>(nullptr, [&] {
        ChainObject* c = as_chain(chain);
        if (c->table != table) raise_chain_changed("a load");
        Ref bags = chain_bags(c);
        return bag_of(state_of(c), c, bags.get(), table, start).release();
    });
}

PyObject* api_chain_new_bag(PyObject* chain) {
    return guarded<PyObject*>(nullptr, [&] {
        Ref table = chain_table(as_chain(chain));
        return new_bag(state_of(chain), table.get()).release();
    });
}

int api_bag_add(PyObject* bag, PyObject* item, PyObject* count) {
    return guarded(-1, [&] {
        bag_add(as_bag(bag), item, count);
        return 0;
    });
}

Py_ssize_t api_bag_size(PyObject* bag) { return as_bag(bag)->store.size; }

PyObject* api_chain_table(PyObject* chain) {
    return guarded<PyObject*>(nullptr, [&] { return chain_table(as_chain(chain)).release(); });
}

PyObject* api_chain_keep(PyObject* chain, PyObject* table, PyObject* value) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (as_chain(chain)->table != table) raise_chain_changed("a load");
        return kept_value(table, value);
    });
}

int api_bag_add_row(PyObject* bag, PyObject* table, PyObject* const* values, Py_ssize_t size, long long count) {
    return guarded(-1, [&] {
        if (as_bag(bag)->table != table) raise_bag_changed("a load");
        if (count >= 0 && count <= static_cast<long long>(UINT32_MAX)) {
            bag_add_kept(as_bag(bag), values, size, uint32_t(count));
        } else {
            Ref object = Ref::check(PyLong_FromLongLong(count));
            bag_add_kept_object(as_bag(bag), values, size, object.get());
        }
        return 0;
    });
}

int api_bag_add_rows(PyObject* bag, PyObject* table, PyObject* const* values, Py_ssize_t width,
                     const uint32_t* counts, Py_ssize_t rows) {
    return guarded(-1, [&] {
        if (as_bag(bag)->table != table) raise_bag_changed("a load");
        bag_add_rows(as_bag(bag), values, width, counts, rows);
        return 0;
    });
}

Py_ssize_t api_bag_row(PyObject* bag, Py_ssize_t row, PyObject** values, Py_ssize_t room, PyObject** count,
                       PyObject** table) {
    return guarded<Py_ssize_t>(-1, [&] {
        const BagStore& s = as_bag(bag)->store;
        Row r = store_row(s, row);
        if (r.size <= room) std::copy(r.values, r.values + r.size, values);
        *count = store_count(s, row).release();
        *table = as_bag(bag)->table;
        return r.size;
    });
}

PyObject* const* api_bag_row_in_place(PyObject* bag, Py_ssize_t row, Py_ssize_t* size) {
    Row r = store_row(as_bag(bag)->store, row);
    *size = r.size;
    return r.values;
}

int api_chain_frequencies(PyObject* chain, AddressMap<uint32_t>* numbers, std::vector<uint64_t>* sums,
                          std::vector<uint32_t>* trail) {
    return guarded(-1, [&] {
        if (!frequency_sums(as_chain(chain), *numbers, *sums, trail)) return 0;
        // A table keeps one of each value: of plain values, no two equal.
        return table_plain(chain_table(as_chain(chain)).get()) ? 2 : 1;
    });
}

Py_ssize_t api_chain_store_states(PyObject* chain, StoreRowsMark* mark) {
    return store_states(as_chain(chain), *mark);
}

int api_chain_store_state(PyObject* chain, const StoreRowsMark* mark, Py_ssize_t state, StoreRows* rows) {
    return guarded(-1, [&] {
        store_state(as_chain(chain), *mark, state, *rows);
        return 0;
    });
}

}  // namespace

NativeApi make_api(const NativeState& state) {
    return {kNativeApiVersion, state.bag_type, state.chain_type, api_chain_add_to_bag, api_chain_set_bag,
            api_chain_clear, api_chain_new_bag, api_bag_add, api_bag_size,
            api_chain_table, api_chain_keep, api_bag_add_row, api_bag_row, api_bag_row_in_place,
            api_chain_bag_of, api_bag_add_rows, api_chain_frequencies, api_chain_store_states,
            api_chain_store_state, state.sink_type, sink_append};
}

}  // namespace zantu::native
