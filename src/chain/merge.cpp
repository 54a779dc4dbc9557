// Adding one chain, or bag, to another: what adding the other's pairs one by
// one makes (starts and rows in its order, counts with their types), done
// row by row in the stores when both sides are the package's own types.
#include <utility>
#include <vector>

#include "probe_table.h"
#include "bag_store.h"
#include "chain.h"
#include "state_store.h"

namespace zantu::native {

namespace {

// A bag's rows, read out in one go: nothing in the reading runs code of
// the caller's, so the copy is what the bag was, whatever runs later. The
// values are borrowed from the bag's table, which the copy holds.
struct RowsCopy {
    Ref table;
    std::vector<PyObject*> values;
    std::vector<Py_ssize_t> ends;  // row r is values[ends[r - 1] .. ends[r])
    std::vector<uint32_t> small;   // the counts while they are small
    std::vector<Ref> big;          // or else
    Py_ssize_t width = -1;         // the rows' one width, or -1 when they differ

    RowsCopy() = default;
    explicit RowsCopy(const BagObject* bag) { read(bag); }

    // Reads `bag` in place of what the copy held (its room is kept). What
    // it held is let go first: the last reference to an old table or count
    // may run a __del__, which must not come between reading and copying.
    void read(const BagObject* bag) {
        {
            Ref old_table;
            old_table.swap(table);
            std::vector<Ref> old_big;
            old_big.swap(big);
        }
        values.clear();
        ends.clear();
        small.clear();
        table = Ref::borrow(bag->table);
        const BagStore& s = bag->store;
        Py_ssize_t rows = s.size;
        if (s.big) {
            big.reserve(size_t(rows));
        } else {
            small.assign(s.small_counts(), s.small_counts() + rows);
        }
        width = s.mode == BagStore::kRows ? s.width : -1;
        for (Py_ssize_t row = 0; row < rows; ++row) {
            Row r = store_row(s, row);
            values.insert(values.end(), r.values, r.values + r.size);
            ends.push_back(Py_ssize_t(values.size()));
            if (s.big) big.push_back(Ref::borrow(s.big_counts()[row]));
        }
    }
    Py_ssize_t rows() const { return Py_ssize_t(ends.size()); }
    Py_ssize_t begin(Py_ssize_t row) const { return row == 0 ? 0 : ends[size_t(row - 1)]; }
};

// The objects of `to` (a table, held) kept for the objects of `from`,
// found once each: a chain's values recur in many of its bags.
class ValueMap {
public:
    ValueMap(PyObject* from, PyObject* to) : from_(Ref::borrow(from)), to_(Ref::borrow(to)) {}
    PyObject* to() const { return to_.get(); }
    bool maps(PyObject* from) const { return from == from_.get(); }

    // The objects of `to` for `values`, in place. Keeping a value that is
    // not plain runs its __hash__ and __eq__.
    void map(std::vector<PyObject*>& values) {
        if (from_.get() == to_.get()) return;
        for (PyObject*& value : values) {
            if (const PyObject* const* found = kept_.find(value)) {
                value = const_cast<PyObject*>(*found);
                continue;
            }
            PyObject* kept = kept_value(to_.get(), value);
            kept_.at(value) = kept;
            value = kept;
        }
    }

private:
    Ref from_;
    Ref to_;
    AddressMap<const PyObject*> kept_;
};

// Adds the copied rows to `to`, whose table `map` keeps.
void add_copy(BagObject* to, RowsCopy& copy, ValueMap& map) {
    TrackedWhenBig tracked(to);
    map.map(copy.values);
    if (to->table != map.to()) raise_bag_changed("update");
    if (copy.width >= 0 && copy.big.empty()) {
        bag_add_rows(to, copy.values.data(), copy.width, copy.small.data(), copy.rows());
        return;
    }
    for (Py_ssize_t row = 0; row < copy.rows(); ++row) {
        // A count's + may have run code that gave the bag another table.
        if (to->table != map.to()) raise_bag_changed("update");
        Py_ssize_t begin = copy.begin(row);
        add_row(to->store, copy.values.data() + begin, copy.ends[size_t(row)] - begin,
                copy.big.empty() ? nullptr : copy.big[size_t(row)].get(), copy.big.empty() ? copy.small[size_t(row)] : 0);
    }
}

// bag.choices() of any bag, as a list of (item, count) pairs.
Ref choices_list(const NativeState& state, PyObject* bag) {
    Ref choices = Ref::check(PyObject_CallMethodNoArgs(bag, state.name_choices));
    return Ref::check(PySequence_List(choices.get()));
}

}  // namespace

void bag_update(PyObject* bag, PyObject* other) {
    const NativeState& state = state_of(bag);
    if (Py_IS_TYPE(bag, state.bag_type) && Py_IS_TYPE(other, state.bag_type)) {
        BagObject* to = as_bag(bag);
        if (as_bag(other)->store.size == 0) return;
        RowsCopy copy(as_bag(other));
        if (to->table == nullptr) to->table = new_table(state).release();
        ValueMap map(copy.table.get(), to->table);
        add_copy(to, copy, map);
        return;
    }
    // The pairs as they are now (`other` may be `bag`), through add.
    Ref pairs = choices_list(state, other);
    bag_add_pairs(as_bag(bag), pairs.get(), true);
}

namespace {

// add_to_bag(start, item, count=count) of a chain that is not the package's
// own, through its method.
void call_add_to_bag(const NativeState& state, PyObject* chain, PyObject* start, PyObject* item, PyObject* count) {
    PyObject* stack[] = {chain, start, item, count};
    Ref done = Ref::check(PyObject_VectorcallMethod(state.name_add_to_bag, stack, 3, state.kw_count));
}

// The pairs of any bag added one by one to the start's bag of `chain`.
void add_pairs_of(const NativeState& state, PyObject* chain, PyObject* start, PyObject* bag) {
    Ref pairs = choices_list(state, bag);
    bool exact = Py_IS_TYPE(chain, state.chain_type);
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(pairs.get()); ++k) {
        Ref item, count;
        unpack_pair(PyList_GET_ITEM(pairs.get(), k), item, count);
        if (exact) {
            add_to_bag(as_chain(chain), start, item.get(), count.get());
        } else {
            call_add_to_bag(state, chain, start, item.get(), count.get());
        }
    }
}

// Both chains the package's own: every start found once in the chain's
// table, every row of a package bag added to a package bag in the store.
void merge_chains(ChainObject* chain, ChainObject* other) {
    NativeState& state = state_of(chain);
    // Counts that are still numbers go in as numbers.
    if (merge_stores(chain, other)) return;
    materialize(other);
    if (other->bags == nullptr || PyDict_GET_SIZE(other->bags) == 0) return;
    // The pairs as they are now (`other` may be `chain`); nothing in the
    // reading runs code of the caller's.
    std::vector<std::pair<Ref, Ref>> pairs;
    pairs.reserve(size_t(PyDict_GET_SIZE(other->bags)));
    Py_ssize_t position = 0;
    for (PyObject *key, *value; PyDict_Next(other->bags, &position, &key, &value);) {
        pairs.emplace_back(Ref::borrow(key), Ref::borrow(value));
    }
    Ref table = chain_table(chain);
    Ref bags = chain_bags(chain);
    ValueMap starts(other->table, table.get());
    ChainMark mark(chain);
    std::vector<PyObject*> start(1);
    RowsCopy copy;
    for (const auto& [key, bag] : pairs) {
        PyObject* from = bag.get();
        bool package_bag = Py_IS_TYPE(from, state.bag_type);
        if (package_bag && as_bag(from)->store.size == 0) continue;  // adds no pair, makes no start
        start[0] = key.get();
        if (!package_bag) {
            add_pairs_of(state, reinterpret_cast<PyObject*>(chain), start[0], from);
            mark = ChainMark(chain);
            continue;
        }
        copy.read(as_bag(from));
        starts.map(start);
        mark.check("update");
        Ref to = bag_of(state, chain, bags.get(), table.get(), start[0]);
        mark = ChainMark(chain);
        if (!Py_IS_TYPE(to.get(), state.bag_type)) {
            for (Py_ssize_t row = 0; row < copy.rows(); ++row) {
                Py_ssize_t begin = copy.begin(row);
                Ref item = Ref::check(PyTuple_New(copy.ends[size_t(row)] - begin));
                for (Py_ssize_t v = 0; v < PyTuple_GET_SIZE(item.get()); ++v) {
                    PyTuple_SET_ITEM(item.get(), v, Py_NewRef(copy.values[size_t(begin + v)]));
                }
                Ref count = copy.big.empty() ? Ref::check(PyLong_FromUnsignedLong(copy.small[size_t(row)]))
                                             : copy.big[size_t(row)];
                call_add(state, to.get(), item.get(), count.get());
            }
            mark = ChainMark(chain);
            continue;
        }
        BagObject* target = as_bag(to.get());
        if (target->table == table.get() && starts.maps(copy.table.get())) {
            starts.map(copy.values);
            ValueMap same(table.get(), table.get());
            add_copy(target, copy, same);
        } else {
            // A bag of another table (installed in another chain since).
            if (target->table == nullptr) target->table = new_table(state).release();
            ValueMap own(copy.table.get(), target->table);
            add_copy(target, copy, own);
        }
        mark.check("update");
    }
}

}  // namespace

void chain_update(PyObject* chain, PyObject* other) {
    NativeState& state = state_of(chain);
    if (Py_IS_TYPE(chain, state.chain_type) && Py_IS_TYPE(other, state.chain_type)) {
        merge_chains(as_chain(chain), as_chain(other));
        return;
    }
    Ref items = Ref::check(PyObject_CallMethodNoArgs(other, state.name_items));
    Ref pairs = Ref::check(PySequence_List(items.get()));
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(pairs.get()); ++k) {
        Ref start, bag;
        unpack_pair(PyList_GET_ITEM(pairs.get(), k), start, bag);
        add_pairs_of(state, chain, start.get(), bag.get());
    }
}

}  // namespace zantu::native
