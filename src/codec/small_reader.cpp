// The in-memory reader: the whole document decoded by the encoder bound as
// `json` in one call, checked in full, then handed to the chain.
#include "small.h"

#include <optional>
#include <vector>

#include "chain_calls.h"
#include "codes.h"
#include "direct_load.h"
#include "fast_path.h"
#include "genuine.h"
#include "json_text.h"

namespace zantu {

namespace {

Ref decoded_item(PyObject* table, PyObject* by_code, PyObject* item) {
    std::vector<Ref> values;
    for_each_element(item, [&](PyObject* code) { values.push_back(Ref::borrow(decode(table, by_code, code))); });
    return make_tuple(values);
}

// What a document asks of the chain, decoded in full before the first call
// on it, so that a bad document leaves the chain as it was.
struct PlannedEntry {
    Ref start;
    size_t first_pair;
    size_t pair_count;
};
struct PlannedPair {
    Ref item;
    Ref count;
};

}  // namespace

namespace {

// A document's item as the chain gets it; ValueError when it is not an
// array (a str would be taken for the tuple of its characters).
Ref planned_item(PyObject* start, PyObject* item, bool decoded, bool merging, PyObject* table, PyObject* by_code) {
    if (!PyList_Check(item) && !PyTuple_Check(item)) raise_not_an_item(start, json_kind(item));
    if (decoded) return decoded_item(table, by_code, item);
    // Merging hands the item over as decoded; replacing as a tuple.
    return merging ? Ref::borrow(item) : Ref::check(PySequence_Tuple(item));
}

// The chain array checked and decoded in full: what load_json_small asks of
// the chain, in the order it asks it.
void plan_chain(PyObject* chain_array, PyObject* table, PyObject* by_code, bool decoded, bool merging,
                std::vector<PlannedEntry>& entries, std::vector<PlannedPair>& pairs) {
    PairReader chain_entries(chain_array);
    Ref start_code, bag_array, item, count;
    while (chain_entries.next(start_code, bag_array)) {
        PairReader bag_pairs(bag_array.get());
        PlannedEntry entry{Ref(), pairs.size(), 0};
        while (bag_pairs.next(item, count)) {
            // add_to_bag(start, item, count=count) per pair decodes the
            // start first, and only for a bag that has a pair.
            if (merging && decoded && !entry.start) {
                entry.start = Ref::borrow(decode(table, by_code, start_code.get()));
            }
            Ref planned = planned_item(start_code.get(), item.get(), decoded, merging, table, by_code);
            if (!is_count(count.get())) raise_not_a_count(start_code.get(), json_kind(count.get()));
            pairs.push_back(PlannedPair{std::move(planned), count});
        }
        if (bag_pairs.odd()) raise_odd_bag(start_code.get());
        // Replacing: bag.add per pair, then set_bag(start, bag). Merging
        // an empty bag makes no call, and decodes nothing.
        if (!entry.start && !(merging && decoded)) {
            entry.start = decoded ? Ref::borrow(decode(table, by_code, start_code.get())) : start_code;
        }
        entry.pair_count = pairs.size() - entry.first_pair;
        entries.push_back(std::move(entry));
    }
    if (chain_entries.odd()) raise_odd_chain();
}

// json.load(file). While that is ujson's own load, its steps are taken
// here (as it takes them: a callable `read` asked of the file, called with
// no argument, its text decoded), so that the decoding, which runs no code
// of the caller's, can run with the collector paused: it allocates a
// container per array of the document, and with a large chain alive the
// collector would walk the whole heap again and again. `pause` is then
// started just before the decoding; it is left empty for any other json,
// whose document may be made of objects of the caller's. With `direct`,
// the document may go straight into the chain (load_directly): then there
// is no document, and the load is done.
Ref load_document(PyObject* module, PyObject* chain, PyObject* file, bool direct,
                  std::optional<CollectorPause>& pause) {
    Ref load = json_load_function(module);
    if (!fast_path(FastPath::ujson_load) || !is_ujson_load(load.get())) return call(load.get(), file);
    Ref text = call(ujson_file_method(file, "read").get());
    pause.emplace();
    if (direct && fast_path(FastPath::direct_load) && load_directly(module, chain, text.get(), pause)) return Ref();
    return ujson_decode(text.get());
}

// A merge flag whose truth is false and asks nothing of the caller's code.
bool plainly_false(PyObject* flag) {
    if (flag == Py_False || flag == Py_None) return true;
    int overflow = 0;
    return PyLong_CheckExact(flag) && PyLong_AsLongLongAndOverflow(flag, &overflow) == 0 && overflow == 0;
}

// The truth of `flag`. Its __bool__ may be code of the caller's: the pause
// is lifted around it, unless the flag is a builtin constant or int.
bool truth(PyObject* flag, std::optional<CollectorPause>& pause) {
    if (!pause || flag == Py_True || flag == Py_False || flag == Py_None || PyLong_CheckExact(flag)) {
        return check_status(PyObject_IsTrue(flag));
    }
    pause.reset();
    bool result = check_status(PyObject_IsTrue(flag));
    pause.emplace();
    return result;
}

// What load_json_small asks of the chain, planned from the document.
struct ChainPlan {
    bool merging = false;
    std::vector<PlannedEntry> entries;
    std::vector<PlannedPair> pairs;
};

// Everything is checked and decoded before the first call on the chain,
// raising each error the document can cause in the order in which the
// chain calls would meet it. The document is dropped here.
ChainPlan plan_load(Ref document, PyObject* merge, std::optional<CollectorPause>& pause) {
    Ref table;
    {
        Ref codes = Ref::check(PyObject_GetItem(document.get(), interned().codes));
        table = read_code_table(codes.get());
    }
    Ref chain_array = Ref::check(PyObject_GetItem(document.get(), interned().chain));
    ChainPlan plan;
    plan.merging = truth(merge, pause);
    bool decoded = PyDict_Size(table.get()) > 0;
    {
        Ref by_code = values_by_code(table.get());
        plan_chain(chain_array.get(), table.get(), by_code.get(), decoded, plan.merging, plan.entries, plan.pairs);
    }
    return plan;
}

// add_to_bag(start, item, count=count) per pair.
void merge_planned(PyObject* chain, const ChainPlan& plan) {
    for (const PlannedEntry& e : plan.entries) {
        for (size_t i = e.first_pair; i < e.first_pair + e.pair_count; ++i) {
            chain_add_to_bag(chain, e.start.get(), plan.pairs[i].item.get(), plan.pairs[i].count.get());
        }
    }
}

// clear(), then per start a new bag, bag.add per pair, set_bag(start, bag).
void replace_with_planned(PyObject* module, PyObject* chain, const ChainPlan& plan) {
    chain_clear(chain);
    for (const PlannedEntry& e : plan.entries) {
        Ref bag = new_probability_bag(module, chain);
        for (size_t i = e.first_pair; i < e.first_pair + e.pair_count; ++i) {
            bag_add(bag.get(), plan.pairs[i].item.get(), plan.pairs[i].count.get());
        }
        chain_set_bag(chain, e.start.get(), bag.get());
    }
}

}  // namespace

void load_json_small(PyObject* module, PyObject* chain, PyObject* file, PyObject* merge) {
    // Paused from ujson's own decoding until the document is checked and
    // dropped (see load_document): nothing of the caller's runs meanwhile.
    std::optional<CollectorPause> pause;
    Ref document = load_document(module, chain, file, plainly_false(merge), pause);
    if (!document) return;
    ChainPlan plan = plan_load(std::move(document), merge, pause);
    // What the plan does not hold of the document is freed before the
    // collector runs again, instead of being walked by it.
    pause.reset();
    if (plan.merging) {
        merge_planned(chain, plan);
    } else {
        replace_with_planned(module, chain, plan);
    }
}

}  // namespace zantu
