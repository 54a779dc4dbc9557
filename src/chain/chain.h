// What the chain type's files share (chain_type.cpp, count_tokens.cpp,
// frequencies.cpp, walk.cpp): the chain's own operations, each checking the
// chain after any code of the caller's that it runs.
#pragma once

#include <vector>

#include "native.h"
#include "probe_table.h"

namespace zantu::native {

// RuntimeError: "MarkovChain changed during <during>".
[[noreturn]] void raise_chain_changed(const char* during);

// The chain's dict of bags and its value table, made when it has none.
Ref chain_bags(ChainObject* chain);
Ref chain_table(ChainObject* chain);

// What a chain is while code of the caller's runs: if its bags, its table
// or a bag of a start changed meanwhile, what was found before is stale.
struct ChainMark {
    explicit ChainMark(ChainObject* c) : chain(c), bags(c->bags), table(c->table), changes(c->changes) {}
    void check(const char* during) const {
        if (chain->bags != bags || chain->table != table || chain->changes != changes) raise_chain_changed(during);
    }
    ChainObject* chain;
    PyObject* bags;
    PyObject* table;
    uint64_t changes;
};

// bag.add(item, count=count) through the bag's own method.
void call_add(const NativeState& state, PyObject* bag, PyObject* item, PyObject* count);
// The bag of `start` (a value of the chain's table), made and installed when
// there is none. The lookup runs the __eq__ of a start that is not plain.
Ref bag_of(NativeState& state, ChainObject* chain, PyObject* bags, PyObject* table, PyObject* start);

// The methods of the same names.
void add_to_bag(ChainObject* chain, PyObject* start, PyObject* item, PyObject* count);
void set_bag(ChainObject* chain, PyObject* start, PyObject* bag);
void clear(ChainObject* chain);
void add_tokens(ChainObject* chain, PyObject* tokens, Py_ssize_t order);  // count_tokens.cpp
// Counts, after every run of `order` values of `kept` (plain objects of
// `table`, the chain's, which the caller holds), the value that follows;
// with `ends`, pairs stay within each run of kept that ends there
// (count_tokens.cpp).
void count_kept(ChainObject* chain, PyObject* table, const std::vector<PyObject*>& kept, Py_ssize_t order,
                const std::vector<size_t>* ends = nullptr);
// The words of `text` (runs of what re's \w matches) counted into a chain,
// the tokens `carried` going first; the last `order` words (words.cpp).
Ref count_words(const NativeState& state, PyObject* chain, PyObject* text, Py_ssize_t order, PyObject* carried);
// The sentences (or, with `lines`, the non-blank lines) of `text` counted
// into `chain`, each from the begin state (None, `order` times) to the end
// value (None); unless `final`, the text after its last blank line (or
// line end) is left uncounted and returned (text_split.cpp).
// With `runs` (a zantu.text.RunsBuilder; None for none), each sentence's
// tokens also go to it, as its add() would put them.
Ref count_sentences(const NativeState& state, PyObject* chain, PyObject* text, Py_ssize_t order, bool lines,
                    bool final, PyObject* runs);
// Whether every bag of `bags` (a chain's dict) is exactly the package's and
// keeps its values in `table`; with `small_counts`, its counts as small
// integers too; with `values_met`, how many values a walk of them meets (a
// row of tuples counted as one) (frequencies.cpp).
bool own_bags(const NativeState& state, PyObject* bags, PyObject* table, bool small_counts,
              size_t* values_met = nullptr);
Ref frequencies(ChainObject* chain);                                     // frequencies.cpp
// The same sums without the dict, while they are made natively: each
// value numbered in `numbers` (empty when called) in the dict's order
// (keys borrowed: the chain's table holds them), its sum at its number in
// `sums`. With `trail`, the numbers of the values as a walk of the chain
// meets them, one by one: each start, then its bag's values row by row.
// False, all left empty, when they need the counts' own +.
bool frequency_sums(ChainObject* chain, AddressMap<uint32_t>& numbers, std::vector<uint64_t>& sums,
                    std::vector<uint32_t>* trail);
// chain.update(other): the other's pairs added one by one, in its order
// (merge.cpp).
void chain_update(PyObject* chain, PyObject* other);

// walk(start, seed) of `chain` (walk.cpp), and its type.
Ref new_walk(PyObject* chain, PyObject* start, PyObject* seed, Py_ssize_t order);  // order 0: from the start
void make_walk_type(PyObject* module, NativeState& state);

// What the capsule hands the codec (capsule.cpp).
NativeApi make_api(const NativeState& state);

}  // namespace zantu::native
