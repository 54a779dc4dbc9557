// build_frequency_dict(): how often each value occurs, weighted by the
// counts; summed natively while every count is a small integer of the
// package's own bags, else through each bag's choices() and each count's +.
#include <cstddef>
#include <cstdint>

#include "chain.h"
#include "state_store.h"
#include "prefetch.h"
#include "probe_table.h"

namespace zantu::native {
namespace {

// Sums per value in the order values are first met, keyed by the value's
// identity (every value of the chain is its table's own object): each
// value's number in that order, and the sums by number.
class Tally {
public:
    Tally(AddressMap<uint32_t>& numbers, std::vector<uint64_t>& sums) : numbers_(numbers), sums_(sums) {}

    // Room for `values` values at once (no growing while they come).
    void make_room(size_t values) {
        numbers_.reset(values);
        sums_.reserve(values);
    }

    // Asks the memory for the slot where `value` will be looked for.
    void prefetch_slot(const PyObject* value) const {
        if (const void* slot = numbers_.first_slot(value)) prefetch(slot);
    }

    // The number of `value`, its sum made at 0 when it is new.
    uint32_t number(PyObject* value) {
        uint32_t number = numbers_.number(value);
        if (number == sums_.size()) sums_.push_back(0);
        return number;
    }
    // The running sum of `value`.
    uint64_t& at(PyObject* value) { return sums_[number(value)]; }
    uint64_t& sum(uint32_t number) { return sums_[number]; }

    Ref to_dict() const {
        Ref freq = Ref::check(PyDict_New());
        const std::vector<PyObject*>& values = numbers_.keys();
        for (size_t k = 0; k < values.size(); ++k) {
            Ref sum = Ref::check(PyLong_FromUnsignedLongLong(sums_[k]));
            check_status(PyDict_SetItem(freq.get(), values[k], sum.get()));
        }
        return freq;
    }

private:
    AddressMap<uint32_t>& numbers_;  // keys borrowed: the chain's table holds them
    std::vector<uint64_t>& sums_;
};

// The sums into `tally` when every bag is the package's own with small
// counts (false otherwise, nothing summed): then they are sums of small
// integers, and no code of the caller's runs while they are made. The
// tally's keys are borrowed from `table`: the caller holds it.
// Bags, rows and values lie scattered over the heap: what each bag will
// read is asked for a few bags ahead, in stages (its object, then its rows,
// then the slots of its values), each stage reading only what the one
// before asked for. With `trail`, each value's number as a walk of the
// chain meets it (see frequency_sums).
bool tally_frequencies(const NativeState& state, PyObject* bags, PyObject* table, Tally& tally,
                       std::vector<uint32_t>* trail = nullptr) {
    size_t values_met = 0;
    if (!own_bags(state, bags, table, true, &values_met)) return false;
    // The chain's table holds every value to come.
    tally.make_room(size_t(table_size(table)));
    // The trail's room: exact, but where a bag's rows are tuples (one value
    // each counted).
    if (trail != nullptr) trail->reserve(values_met);
    constexpr size_t kAhead = 16;  // a power of two
    constexpr Py_ssize_t kRowsAhead = 8;
    struct Entry {
        PyObject* start;
        BagObject* bag;
    };
    Entry ring[kAhead];
    size_t taken = 0, pulled = 0;  // entries summed, and read from the dict
    Py_ssize_t pos = 0;
    auto pull = [&]() {
        PyObject *start, *bag;
        if (pulled - taken == kAhead || !PyDict_Next(bags, &pos, &start, &bag)) return;
        ring[pulled++ % kAhead] = Entry{start, as_bag(bag)};
        prefetch(bag, offsetof(BagObject, store));
    };
    auto prefetch_rows = [&](size_t at) {
        if (at < pulled) prefetch(ring[at % kAhead].bag->store.states);
    };
    auto prefetch_values = [&](size_t at) {
        if (at >= pulled) return;
        const Entry& e = ring[at % kAhead];
        tally.prefetch_slot(e.start);
        const BagStore& s = e.bag->store;
        for (Py_ssize_t row = 0; row < s.size && row < 4; ++row) {
            Row r = store_row(s, row);
            for (Py_ssize_t k = 0; k < r.size; ++k) tally.prefetch_slot(r.values[k]);
        }
    };
    for (size_t k = 0; k < kAhead; ++k) pull();
    while (taken < pulled) {
        prefetch_rows(taken + kAhead / 2);
        prefetch_values(taken + kAhead / 4);
        const Entry e = ring[taken % kAhead];
        const BagStore& s = e.bag->store;
        uint64_t total = 0;
        // The start comes first on the trail; it is numbered after its
        // bag's values, where build_frequency_dict() meets it.
        size_t start_at = trail != nullptr ? trail->size() : 0;
        if (trail != nullptr) trail->push_back(0);
        for (Py_ssize_t row = 0; row < s.size; ++row) {
            // In a large bag, the slots of the values a few rows on.
            if (row + kRowsAhead < s.size) {
                Row ahead = store_row(s, row + kRowsAhead);
                for (Py_ssize_t k = 0; k < ahead.size; ++k) tally.prefetch_slot(ahead.values[k]);
            }
            uint32_t count = s.small_counts()[row];
            total += count;
            Row r = store_row(s, row);
            for (Py_ssize_t k = 0; k < r.size; ++k) {
                uint32_t number = tally.number(r.values[k]);
                tally.sum(number) += count;
                if (trail != nullptr) trail->push_back(number);
            }
        }
        uint32_t start = tally.number(e.start);
        tally.sum(start) += total;
        if (trail != nullptr) (*trail)[start_at] = start;
        ++taken;
        pull();
    }
    return true;
}

// The sums of a chain that keeps its counts as numbers, as
// tally_frequencies makes them from the bags it would make: each start's
// object (a tuple kept in the table from order 2 on) is made here, with
// the collector paused, so no code of the caller's runs.
void tally_store(StateStore& store, PyObject* table, Tally& tally, std::vector<uint32_t>* trail) {
    CollectorPause pause(true);
    tally.make_room(store.values() + (store.order() > 1 ? store.states() : 0));
    if (trail != nullptr) trail->reserve(store.states() + store.all_rows());
    // Each value's number in the order met, found by the value's own
    // number in the store once it has one.
    std::vector<uint32_t> numbers(store.values(), StateStore::kNone);
    for (uint32_t s = 0; s < store.states(); ++s) {
        size_t start_at = trail != nullptr ? trail->size() : 0;
        if (trail != nullptr) trail->push_back(0);
        uint64_t total = 0;
        store.each_row(s, [&](uint32_t next, uint32_t count) {
            total += count;
            uint32_t& number = numbers[next];
            if (number == StateStore::kNone) number = tally.number(store.value(next));
            tally.sum(number) += count;
            if (trail != nullptr) trail->push_back(number);
        });
        uint32_t start;
        if (store.order() == 1) {
            uint32_t& number = numbers[store.state_ids(s)[0]];
            if (number == StateStore::kNone) number = tally.number(store.start(s, table));
            start = number;
        } else {
            start = tally.number(store.start(s, table));
        }
        tally.sum(start) += total;
        if (trail != nullptr) (*trail)[start_at] = start;
    }
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

bool own_bags(const NativeState& state, PyObject* bags, PyObject* table, bool small_counts, size_t* values_met) {
    Py_ssize_t pos = 0;
    PyObject *start, *bag;
    size_t met = 0;
    while (PyDict_Next(bags, &pos, &start, &bag)) {
        if (!Py_IS_TYPE(bag, state.bag_type) || as_bag(bag)->table != table) return false;
        const BagStore& s = as_bag(bag)->store;
        if (small_counts && s.big) return false;
        met += 1 + size_t(s.size) * size_t(s.mode == BagStore::kRows ? s.width : 1);
    }
    if (values_met != nullptr) *values_met = met;
    return true;
}

Ref frequencies(ChainObject* chain) {
    AddressMap<uint32_t> numbers;
    std::vector<uint64_t> sums;
    Tally tally(numbers, sums);
    if (chain->store != nullptr) {
        Ref table = chain_table(chain);
        tally_store(*chain->store, table.get(), tally, nullptr);
        return tally.to_dict();
    }
    Ref bags = chain_bags(chain);
    Ref table = chain_table(chain);
    const NativeState& state = state_of(chain);
    if (tally_frequencies(state, bags.get(), table.get(), tally)) return tally.to_dict();
    return general_frequencies(state, bags.get());
}

namespace {

// The chain handed to one of the module's functions, which takes only a
// MarkovChain.
ChainObject* chain_argument(const NativeState& state, PyObject* chain, const char* function) {
    if (!PyObject_TypeCheck(chain, state.chain_type)) {
        raise(PyExc_TypeError, "%s() needs a MarkovChain, not %.200s", function, Py_TYPE(chain)->tp_name);
    }
    return as_chain(chain);
}

}  // namespace

PyObject* next_value_sums_function(PyObject* module, PyObject* chain) {
    return guarded<PyObject*>(nullptr, [&] {
        const NativeState& state = module_state(module);
        ChainObject* c = chain_argument(state, chain, "_next_value_sums");
        Ref bags = chain_bags(c);
        Ref table = chain_table(c);
        if (!own_bags(state, bags.get(), table.get(), true)) return Ref::borrow(Py_None).release();
        // Small counts of the package's bags, values held by the table: no
        // code of the caller's runs until the dict is made.
        AddressMap<uint32_t> numbers;
        std::vector<uint64_t> sums;
        Tally tally(numbers, sums);
        tally.make_room(size_t(table_size(table.get())));
        Py_ssize_t pos = 0;
        PyObject *start, *bag;
        while (PyDict_Next(bags.get(), &pos, &start, &bag)) {
            const BagStore& s = as_bag(bag)->store;
            for (Py_ssize_t row = 0; row < s.size; ++row) {
                Row r = store_row(s, row);
                if (r.size != 1) return Ref::borrow(Py_False).release();
                tally.at(r.values[0]) += s.small_counts()[row];
            }
        }
        return tally.to_dict().release();
    });
}

PyObject* unique_pairs_function(PyObject* module, PyObject* chain) {
    return guarded<PyObject*>(nullptr, [&] {
        const NativeState& state = module_state(module);
        ChainObject* c = chain_argument(state, chain, "_unique_pairs");
        size_t pairs = 0;
        if (const StateStore* store = c->store) {
            pairs = store->all_rows();
        } else if (c->bags != nullptr) {
            Py_ssize_t pos = 0;
            PyObject *start, *bag;
            while (PyDict_Next(c->bags, &pos, &start, &bag)) {
                if (!Py_IS_TYPE(bag, state.bag_type)) return Ref::borrow(Py_None).release();
                pairs += size_t(as_bag(bag)->store.size);
            }
        }
        return PyLong_FromSize_t(pairs);
    });
}

bool frequency_sums(ChainObject* chain, AddressMap<uint32_t>& numbers, std::vector<uint64_t>& sums,
                    std::vector<uint32_t>* trail) {
    Tally tally(numbers, sums);
    if (chain->store != nullptr) {
        Ref table = chain_table(chain);
        tally_store(*chain->store, table.get(), tally, trail);
        return true;
    }
    Ref bags = chain_bags(chain);
    Ref table = chain_table(chain);
    // When false, nothing was summed: all are as they came, empty.
    if (tally_frequencies(state_of(chain), bags.get(), table.get(), tally, trail)) return true;
    if (trail != nullptr) trail->clear();
    return false;
}

}  // namespace zantu::native
