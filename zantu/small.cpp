#include "small.h"

#include <optional>
#include <vector>

#include "chain_calls.h"
#include "codes.h"
#include "json_text.h"
#include "peek.h"
#include "prefetch.h"

namespace zantu {

namespace {

// The code of a value: its position, or the value itself when literal.
Ref code_of(const CodeTable& table, PyObject* value) { return table.entry_of(value).code; }

// The tuple of the codes of a next state's elements, in its order. That of
// a next state of one element is made once per value and shared: tuples
// are immutable, and an encoder writes each the same.
// `codes` is scratch space, left empty.
Ref coded_next_state(const CodeTable& table, PyObject* next_state, std::vector<Ref>& singles,
                     std::vector<Ref>& codes) {
    if (PyObject* only = only_element(next_state)) {
        const CodeEntry& entry = table.entry_of(only);
        Ref& single = singles[size_t(&entry - table.entries.data())];
        if (!single) {
            codes.push_back(entry.code);
            single = make_tuple(codes);
        }
        return single;
    }
    for_each_element(next_state, [&](PyObject* element) { codes.push_back(code_of(table, element)); });
    return make_tuple(codes);
}

}  // namespace

void dump_json_small(PyObject* module, PyObject* chain, PyObject* file, PyObject* frequency_compress) {
    Ref codes_list = Ref::check(PyList_New(0));
    bool compress = check_status(PyObject_IsTrue(frequency_compress));
    CodeTable table;
    if (compress) {
        table = build_code_table(module, chain);
        for (const CodeEntry& e : table.entries) {
            check_status(PyList_Append(codes_list.get(), e.code.get()));
            check_status(PyList_Append(codes_list.get(), e.value.get()));
        }
    }

    // The whole chain is walked, and every code looked up, before any text
    // exists: a failure here leaves the file untouched.
    std::vector<Ref> singles(table.entries.size());  // by position: (code,)
    std::vector<Ref> chain_array;
    std::vector<Ref> bag_array;  // emptied by make_tuple; its room is kept for the next bag
    std::vector<Ref> item_codes;
    Ref entries = get_iter(chain_items(chain).get());
    Ref entry, start, bag, pair, next_state, count;
    while (iter_next(entries.get(), entry)) {
        unpack_pair(entry.get(), start, bag);
        entry = Ref();  // an iterator may reuse its result tuple when it is free
        chain_array.push_back(compress ? code_of(table, start.get()) : start);
        Ref pairs = get_iter(bag_choices(bag.get()).get());
        while (iter_next(pairs.get(), pair)) {
            unpack_pair(pair.get(), next_state, count);
            pair = Ref();
            // The memory of the next states a few pairs on (read in place,
            // without advancing the iterator).
            prefetch_stages(pairs.get(), [&](int stage, PyObject* ahead) {
                if (compress) {
                    prefetch_coding(stage, table, singles, ahead);
                } else if (stage == 0) {
                    prefetch(ahead);
                }
            });
            bag_array.push_back(compress ? coded_next_state(table, next_state.get(), singles, item_codes)
                                         : next_state);
            bag_array.push_back(count);
        }
        chain_array.push_back(make_tuple(bag_array));
    }
    Ref chain_tuple = make_tuple(chain_array);

    Ref codes_member = Ref::check(PyTuple_Pack(2, interned.codes, codes_list.get()));
    Ref chain_member = Ref::check(PyTuple_Pack(2, interned.chain, chain_tuple.get()));
    Ref members = Ref::check(PyTuple_Pack(2, codes_member.get(), chain_member.get()));
    Ref ordered_dict = module_global(module, interned.OrderedDict);
    Ref document = call(ordered_dict.get(), members.get());
    dump_document(module, document.get(), codes_list.get(), chain_tuple.get(),
                  is_genuine_ordered_dict(ordered_dict.get()), file);
}

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

void load_json_small(PyObject* module, PyObject* chain, PyObject* file, PyObject* merge) {
    // Decoding allocates a container per array of the document: with a
    // large chain alive, the collector would walk the whole heap again and
    // again. It is paused while the document is parsed and checked, and runs
    // again before the first call on the chain.
    std::optional<CollectorPause> pause(std::in_place);
    Ref document = json_load(module, file);

    Ref table = Ref::check(PyDict_New());
    {
        Ref codes = Ref::check(PyObject_GetItem(document.get(), interned.codes));
        PairReader code_pairs(codes.get());
        Ref code, value;
        while (code_pairs.next(code, value)) check_status(PyDict_SetItem(table.get(), code.get(), value.get()));
    }
    Ref chain_array = Ref::check(PyObject_GetItem(document.get(), interned.chain));
    std::optional<PairReader> chain_entries(std::in_place, chain_array.get());
    bool merging = check_status(PyObject_IsTrue(merge));
    bool decoded = PyDict_Size(table.get()) > 0;
    Ref by_code = values_by_code(table.get());

    // Decode everything first, raising each error the document can cause in
    // the order in which the chain calls would meet it.
    std::vector<PlannedEntry> entries;
    std::vector<PlannedPair> pairs;
    Ref start_code, bag_array, item, count;
    while (chain_entries->next(start_code, bag_array)) {
        PairReader bag_pairs(bag_array.get());
        PlannedEntry entry{Ref(), pairs.size(), 0};
        if (merging) {
            // add_to_bag(start, item, count=count) per pair: the start is
            // decoded first, and only when the bag has a pair.
            while (bag_pairs.next(item, count)) {
                if (decoded) {
                    if (!entry.start) entry.start = Ref::borrow(decode(table.get(), by_code.get(), start_code.get()));
                    item = decoded_item(table.get(), by_code.get(), item.get());
                }
                pairs.push_back(PlannedPair{item, count});
            }
            if (!decoded) entry.start = start_code;
        } else {
            // bag.add(tuple, count=count) per pair, then set_bag(start, bag).
            while (bag_pairs.next(item, count)) {
                item = decoded ? decoded_item(table.get(), by_code.get(), item.get())
                               : Ref::check(PySequence_Tuple(item.get()));
                pairs.push_back(PlannedPair{item, count});
            }
            entry.start = decoded ? Ref::borrow(decode(table.get(), by_code.get(), start_code.get())) : start_code;
        }
        entry.pair_count = pairs.size() - entry.first_pair;
        entries.push_back(std::move(entry));
    }
    // The document goes before the collector runs again: what the plan does
    // not hold of it is freed now instead of being walked by the collector.
    start_code = bag_array = item = count = Ref();
    chain_entries.reset();
    chain_array = document = table = by_code = Ref();
    pause.reset();

    if (merging) {
        for (const PlannedEntry& e : entries) {
            for (size_t i = e.first_pair; i < e.first_pair + e.pair_count; ++i) {
                chain_add_to_bag(chain, e.start.get(), pairs[i].item.get(), pairs[i].count.get());
            }
        }
        return;
    }
    chain_clear(chain);
    for (const PlannedEntry& e : entries) {
        Ref bag = new_probability_bag(module);
        for (size_t i = e.first_pair; i < e.first_pair + e.pair_count; ++i) {
            bag_add(bag.get(), pairs[i].item.get(), pairs[i].count.get());
        }
        chain_set_bag(chain, e.start.get(), bag.get());
    }
}

}  // namespace zantu
