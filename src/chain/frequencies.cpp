// build_frequency_dict(): how often each value occurs, weighted by the
// counts; summed natively while every count is a small integer of the
// package's own bags, else through each bag's choices() and each count's +.
#include <cstdint>

#include "probe_table.h"
#include "chain.h"

namespace zantu::native {
namespace {

// Sums per value in the order values are first met, keyed by the value's
// identity (every value of the chain is its table's own object).
class Tally {
public:
    // The running sum of `value`, made at 0 when it is new.
    uint64_t& at(PyObject* value) { return sums_.at(value); }

    Ref to_dict() const {
        Ref freq = Ref::check(PyDict_New());
        for (PyObject* value : sums_.keys()) {
            Ref sum = Ref::check(PyLong_FromUnsignedLongLong(*sums_.find(value)));
            check_status(PyDict_SetItem(freq.get(), value, sum.get()));
        }
        return freq;
    }

    // Each value and its sum, in the dict's order.
    template <typename Put>
    void each(Put put) const {
        for (PyObject* value : sums_.keys()) put(value, *sums_.find(value));
    }

private:
    AddressMap<uint64_t> sums_;  // keys borrowed: the chain's table holds them
};

// Whether every bag is exactly the package's, keeps its values in the
// chain's table and its counts as small integers: then the frequencies are
// sums of small integers, and no code of the caller's runs while they are
// made.
bool plain_counts(const NativeState& state, PyObject* bags, PyObject* table) {
    Py_ssize_t pos = 0;
    PyObject *start, *bag;
    while (PyDict_Next(bags, &pos, &start, &bag)) {
        if (!Py_IS_TYPE(bag, state.bag_type) || as_bag(bag)->table != table || as_bag(bag)->store.big) return false;
    }
    return true;
}

// The sums into `tally` when plain_counts holds (false otherwise, nothing
// summed). The tally's keys are borrowed from `table`: the caller holds it.
bool tally_frequencies(const NativeState& state, PyObject* bags, PyObject* table, Tally& tally) {
    if (!plain_counts(state, bags, table)) return false;
    Py_ssize_t pos = 0;
    PyObject *start, *bag;
    while (PyDict_Next(bags, &pos, &start, &bag)) {
        const BagStore& s = as_bag(bag)->store;
        uint64_t total = 0;
        for (Py_ssize_t row = 0; row < s.size; ++row) {
            uint32_t count = s.small_counts()[row];
            total += count;
            Row r = store_row(s, row);
            for (Py_ssize_t k = 0; k < r.size; ++k) tally.at(r.values[k]) += count;
        }
        tally.at(start) += total;
    }
    return true;
}

// freq[key] = freq.get(key, 0) + amount
void add_frequency(PyObject* freq, PyObject* key, PyObject* amount, PyObject* zero) {
    PyObject* found = PyDict_GetItemWithError(freq, key);
    if (found == nullptr && PyErr_Occurred()) throw PyError();
    Ref old = Ref::borrow(found != nullptr ? found : zero);
    Ref sum = Ref::check(PyNumber_Add(old.get(), amount));
    check_status(PyDict_SetItem(freq, key, sum.get()));
}

// Any bags and counts: each bag's choices(), each count's own +.
Ref general_frequencies(const NativeState& state, PyObject* bags) {
    Ref freq = Ref::check(PyDict_New());
    Ref zero = Ref::check(PyLong_FromLong(0));
    Ref view = Ref::check(PyObject_CallMethodNoArgs(bags, state.name_items));
    Ref entries = Ref::check(PyObject_GetIter(view.get()));
    for (Ref entry; (entry = Ref::steal(PyIter_Next(entries.get())));) {
        PyObject* start = PyTuple_GET_ITEM(entry.get(), 0);
        PyObject* bag = PyTuple_GET_ITEM(entry.get(), 1);
        Ref total = zero;
        Ref pairs = Ref::check(PyObject_CallMethod(bag, "choices", nullptr));
        Ref it = Ref::check(PyObject_GetIter(pairs.get()));
        for (Ref pair; (pair = Ref::steal(PyIter_Next(it.get())));) {
            Ref item, count;
            unpack_pair(pair.get(), item, count);
            total = Ref::check(PyNumber_Add(total.get(), count.get()));
            Ref values = Ref::check(PyObject_GetIter(item.get()));
            for (Ref value; (value = Ref::steal(PyIter_Next(values.get())));) {
                add_frequency(freq.get(), value.get(), count.get(), zero.get());
            }
            if (PyErr_Occurred()) throw PyError();
        }
        if (PyErr_Occurred()) throw PyError();
        add_frequency(freq.get(), start, total.get(), zero.get());
    }
    if (PyErr_Occurred()) throw PyError();
    return freq;
}

}  // namespace

Ref frequencies(ChainObject* chain) {
    Ref bags = chain_bags(chain);
    Ref table = chain_table(chain);
    const NativeState& state = state_of(chain);
    Tally tally;
    if (tally_frequencies(state, bags.get(), table.get(), tally)) return tally.to_dict();
    return general_frequencies(state, bags.get());
}

bool frequencies_each(ChainObject* chain, void* sink, void (*put)(void*, PyObject*, unsigned long long)) {
    Ref bags = chain_bags(chain);
    Ref table = chain_table(chain);
    Tally tally;
    if (!tally_frequencies(state_of(chain), bags.get(), table.get(), tally)) return false;
    tally.each([&](PyObject* value, uint64_t sum) { put(sink, value, sum); });
    return true;
}

}  // namespace zantu::native
