// The runs index's numbers (see zantu.text.RunsBuilder): a token's number
// in a builder's table; parts of builders taken as they are and joined,
// their words found in the table; and the ids ranked by how often each
// number occurs, here or by a thread of its own, which may join the last
// parts' words itself, by their characters, while the caller's thread goes
// on.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "chain.h"
#include "prefetch.h"
#include "probe_table.h"
#include "text_hash.h"

namespace zantu::native {

// A token's number in `table` (a dict of str to number, from 1), where a
// new one is added.
uint32_t number_of(PyObject* table, PyObject* token) {
    PyObject* known = PyDict_GetItemWithError(table, token);
    if (known == nullptr && PyErr_Occurred()) throw PyError();
    if (known != nullptr) {
        unsigned long id = PyLong_AsUnsignedLong(known);
        if (id == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw PyError();
        return uint32_t(id);
    }
    Py_ssize_t size = PyDict_GET_SIZE(table);
    if (size >= (Py_ssize_t(1) << 31)) raise(PyExc_OverflowError, "too many distinct tokens");
    Ref number = Ref::check(PyLong_FromSsize_t(size + 1));
    check_status(PyDict_SetItem(table, token, number.get()));
    return uint32_t(size + 1);
}

void raise_runs_damaged() { raise(PyExc_ValueError, "the runs index is damaged"); }

namespace {

// Calls each(number) for every varint of data[0:size] (see each_varint).
template <typename Each>
bool each_id(const unsigned char* data, size_t size, Each each) {
    return each_varint(data, size, [&](size_t, uint32_t v) { return each(v); });
}

// A runs builder's ids in the order of their text, in stretches: each
// stretch varints either of the table's own numbers, or of a part's that
// was merged in, with the part's numbers mapped to the table's.
struct IdsParts {
    std::vector<std::unique_ptr<Bytes>> ids;
    std::vector<std::vector<uint32_t>> mappings;  // empty: the table's numbers; [0] is 0 (a sentence's end)
    size_t size = 0;                              // the bytes of all of them
};

// `parts`, a sequence of (ids, mapping or None) with the mappings' numbers
// up to `numbers` (a mapping: uint32 in the machine's order, from number
// 0). The mappings are copied; the ids stay the caller's, held exported.
IdsParts read_parts(PyObject* parts_object, size_t numbers) {
    Ref items = Ref::check(PySequence_Fast(parts_object, "the runs' parts must be a sequence"));
    IdsParts parts;
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(items.get()); ++k) {
        // Held: an object's buffer export may run code that drops the pair.
        Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(items.get(), k));
        if (!PyTuple_Check(item.get()) || PyTuple_GET_SIZE(item.get()) != 2) {
            raise(PyExc_TypeError, "a part of the runs must be a pair (ids, mapping or None)");
        }
        parts.ids.push_back(std::make_unique<Bytes>(PyTuple_GET_ITEM(item.get(), 0)));
        parts.size += parts.ids.back()->size();
        std::vector<uint32_t>& mapping = parts.mappings.emplace_back();
        PyObject* mapping_object = PyTuple_GET_ITEM(item.get(), 1);
        if (mapping_object == Py_None) continue;
        Bytes held(mapping_object);
        if (held.size() % sizeof(uint32_t) != 0 || held.size() == 0) raise_runs_damaged();
        mapping.resize(held.size() / sizeof(uint32_t));
        std::memcpy(mapping.data(), held.data(), held.size());
        if (mapping[0] != 0) raise_runs_damaged();
        for (uint32_t v : mapping) {
            if (v > numbers) raise_runs_damaged();
        }
    }
    return parts;
}

// Calls each(number) for every id of `parts` in order, each in the
// table's numbers; false when an id is past its numbering or cut short.
template <typename Each>
bool each_part_id(const IdsParts& parts, size_t numbers, Each each) {
    for (size_t k = 0; k < parts.ids.size(); ++k) {
        const Bytes& in = *parts.ids[k];
        const std::vector<uint32_t>& mapping = parts.mappings[k];
        bool read = mapping.empty()
                        ? each_id(in.data(), in.size(), [&](uint32_t v) { return v <= numbers && each(v); })
                        : each_id(in.data(), in.size(), [&](uint32_t v) { return v < mapping.size() && each(mapping[v]); });
        if (!read) return false;
    }
    return true;
}

// rank_ids with counts of type Count.
template <typename Count>
bool rank_counted(const IdsParts& parts, size_t numbers, std::vector<uint32_t>& order, std::string& encoded) {
    std::vector<Count> counts(numbers + 1, 0);
    if (!each_part_id(parts, numbers, [&](uint32_t v) { return ++counts[v], true; })) return false;
    // Sorted as one key each: the count (inverted, so that more comes
    // first), then the number (ties in number order).
    std::vector<std::pair<Count, uint32_t>> keys(numbers);
    for (size_t n = 1; n <= numbers; ++n) keys[n - 1] = {Count(~counts[n]), uint32_t(n)};
    std::sort(keys.begin(), keys.end());
    order.resize(numbers);
    std::vector<uint32_t> rank(counts.size(), 0);
    size_t total = counts[0];  // the ends of sentences, 0: a byte each
    for (size_t r = 0; r < numbers; ++r) {
        uint32_t n = keys[r].second;
        order[r] = n;
        rank[n] = uint32_t(r + 1);
        total += size_t(counts[n]) * varint_size(uint32_t(r + 1));
    }
    counts = std::vector<Count>();
    keys = std::vector<std::pair<Count, uint32_t>>();
    encoded.resize(total);
    char* out = encoded.data();
    char* end = out + total;
    // Read again, each part's numbers straight to ranks: what a caller's
    // thread may have changed meanwhile is refused, never written past
    // the room.
    std::vector<uint32_t> ranks;
    for (size_t k = 0; k < parts.ids.size(); ++k) {
        const std::vector<uint32_t>& mapping = parts.mappings[k];
        const std::vector<uint32_t>* to_rank = &rank;
        if (!mapping.empty()) {
            ranks.resize(mapping.size());
            for (size_t v = 0; v < mapping.size(); ++v) ranks[v] = rank[mapping[v]];
            to_rank = &ranks;
        }
        const uint32_t* of = to_rank->data();
        size_t known = to_rank->size();
        bool written = each_id(parts.ids[k]->data(), parts.ids[k]->size(), [&](uint32_t v) {
            if (v >= known || end - out < std::ptrdiff_t(varint_size(of[v]))) return false;
            put_varint(out, of[v]);
            return true;
        });
        if (!written) return false;
    }
    return out == end;
}

// The numbers of `parts` (varints, 0 ends a sentence; `numbers` of them)
// ranked by how often they occur (ties in number order), into `order`,
// and each id as its rank (1 the most frequent) in varints, into
// `encoded`. Touches nothing of Python's: it may run without the GIL.
// False when an id is past its numbering, or cut short.
bool rank_ids(const IdsParts& parts, size_t numbers, std::vector<uint32_t>& order, std::string& encoded) {
    // Counts of 32 bits while no count can pass them (there are fewer ids
    // than bytes): half the memory to hit at random.
    if (parts.size <= UINT32_MAX) return rank_counted<uint32_t>(parts, numbers, order, encoded);
    return rank_counted<uint64_t>(parts, numbers, order, encoded);
}

// (the words of `vocabulary`, a sequence in number order, by rank; the
// ranks in varints) as Python objects. Words past the ranked numbers (put
// in the table by an add that failed once the ranking began) are left out.
Ref ranked_pair(const std::vector<uint32_t>& order, PyObject* vocabulary, const std::string& encoded) {
    Ref words = Ref::check(PySequence_Fast(vocabulary, "the vocabulary must be a sequence"));
    Ref ranked = Ref::check(PyList_New(Py_ssize_t(order.size())));
    // Measured after the allocation, whose collection may run code that
    // changes the vocabulary; nothing below runs any.
    if (size_t(PySequence_Fast_GET_SIZE(words.get())) < order.size()) {
        raise(PyExc_ValueError, "the vocabulary has %zd words, where the runs number %zu",
              PySequence_Fast_GET_SIZE(words.get()), order.size());
    }
    PyObject** known = PySequence_Fast_ITEMS(words.get());
    for (size_t r = 0; r < order.size(); ++r) {
        PyObject* word = known[order[r] - 1];
        Py_INCREF(word);
        PyList_SET_ITEM(ranked.get(), Py_ssize_t(r), word);
    }
    Ref bytes = Ref::check(PyBytes_FromStringAndSize(encoded.data(), Py_ssize_t(encoded.size())));
    return Ref::check(PyTuple_Pack(2, ranked.get(), bytes.get()));
}

Ref runs_finish(PyObject* parts_object, PyObject* vocabulary) {
    Py_ssize_t numbers = PyObject_Length(vocabulary);
    if (numbers < 0) throw PyError();
    if (numbers >= (Py_ssize_t(1) << 31)) raise_runs_damaged();
    IdsParts parts = read_parts(parts_object, size_t(numbers));
    std::vector<uint32_t> order;
    std::string encoded;
    if (!rank_ids(parts, size_t(numbers), order, encoded)) raise_runs_damaged();
    return ranked_pair(order, vocabulary, encoded);
}

// The same ranking made by a thread of its own, which never touches
// Python: the calling thread (and any other) goes on meanwhile, holding
// the GIL or not, and asks for the result when it is done. The ids stay
// exported (a bytearray of them cannot be resized) until the ranking is
// dropped, and dropping it waits for the thread first.
// Parts of other builders merged in (see runs_take) whose words the table
// has not yet: joined to its words by their characters, by the ranking's
// thread. Only exact strs, which are equal when their characters are, and
// whose characters never change: the thread reads them without the GIL,
// the tuples holding them (the caller's threads may meanwhile take and
// drop references, or hash them, which touches neither).
struct Unjoined {
    Ref own;                            // the table's words in number order (a tuple)
    std::vector<Ref> words;             // each part's vocabulary (a tuple)
    std::vector<IdsParts> parts;        // each part's ids, in its vocabulary's numbers
    std::vector<PyObject*> added;       // the words new to the table, in number order (borrowed)

    // Each part's stretches appended to `into`, mapped to the joined
    // numbers, of which there are `numbers`; false when past 2**31.
    bool join(IdsParts& into, size_t& numbers) {
        size_t own_size = size_t(PyTuple_GET_SIZE(own.get()));
        size_t total = own_size;
        for (const Ref& w : words) total += size_t(PyTuple_GET_SIZE(w.get()));
        ProbeTable<WordSlot> seen{16};
        seen.reset(total);
        std::vector<uint32_t> hashes;
        // The slot of word `k` of `of` (hashes[k] its hash): found, or
        // filled with `number`; the words' slots are asked of the memory
        // ahead.
        auto numbered = [&](PyObject* of, size_t k, uint32_t number) -> uint32_t {
            if (k + kWordAhead < hashes.size()) prefetch(seen.first_slot(hashes[k + kWordAhead]));
            PyObject* word = PyTuple_GET_ITEM(of, Py_ssize_t(k));
            WordSlot& slot = seen.slot_for(hashes[k], [&](const WordSlot& s) { return same_word(s.word, word); });
            if (slot.empty()) {
                slot = WordSlot{word, number, hashes[k]};
                seen.added();
            }
            return slot.number;
        };
        auto hash_all = [&](PyObject* of) {
            hashes.resize(size_t(PyTuple_GET_SIZE(of)));
            for (size_t k = 0; k < hashes.size(); ++k) hashes[k] = word_hash(PyTuple_GET_ITEM(of, Py_ssize_t(k)));
        };
        hash_all(own.get());
        for (size_t k = 0; k < own_size; ++k) numbered(own.get(), k, uint32_t(k + 1));
        numbers = own_size;
        for (size_t p = 0; p < words.size(); ++p) {
            PyObject* of = words[p].get();
            hash_all(of);
            std::vector<uint32_t> to(hashes.size() + 1, 0);  // the part's number -> the joined one
            for (size_t k = 0; k < hashes.size(); ++k) {
                if (numbers + 1 >= (size_t(1) << 31)) return false;
                uint32_t number = numbered(of, k, uint32_t(numbers + 1));
                if (number == numbers + 1) {
                    ++numbers;
                    added.push_back(PyTuple_GET_ITEM(of, Py_ssize_t(k)));
                }
                to[k + 1] = number;
            }
            IdsParts& part = parts[p];
            for (size_t s = 0; s < part.ids.size(); ++s) {
                std::vector<uint32_t> mapping = to;
                if (!part.mappings[s].empty()) {
                    mapping.resize(part.mappings[s].size());
                    for (size_t v = 0; v < mapping.size(); ++v) mapping[v] = to[part.mappings[s][v]];
                }
                into.size += part.ids[s]->size();
                into.ids.push_back(std::move(part.ids[s]));
                into.mappings.push_back(std::move(mapping));
            }
        }
        return true;
    }

private:
    struct WordSlot {
        PyObject* word = nullptr;
        uint32_t number = 0;
        uint32_t spot = 0;
        bool empty() const { return word == nullptr; }
        size_t hash() const { return spot; }
    };
    static constexpr size_t kWordAhead = 16;

    static uint32_t word_hash(PyObject* word) {
        const char* data = static_cast<const char*>(PyUnicode_DATA(word));
        uint64_t h = text_hash(std::string_view(data, size_t(PyUnicode_GET_LENGTH(word)) * PyUnicode_KIND(word)));
        return uint32_t(h ^ (h >> 32));
    }
    static bool same_word(PyObject* a, PyObject* b) {
        if (a == b) return true;
        Py_ssize_t length = PyUnicode_GET_LENGTH(a);
        int kind = PyUnicode_KIND(a);
        return PyUnicode_GET_LENGTH(b) == length && PyUnicode_KIND(b) == kind &&
               std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), size_t(length) * size_t(kind)) == 0;
    }
};

struct Ranking {
    IdsParts parts;
    size_t numbers = 0;
    std::unique_ptr<Unjoined> unjoined;  // joined by the thread first, when given
    std::vector<uint32_t> order;
    std::string encoded;
    bool damaged = false;
    bool out_of_memory = false;
    std::atomic<bool> done{false};
    OwnThread worker;

    Ranking() = default;
    Ranking(const Ranking&) = delete;
    Ranking& operator=(const Ranking&) = delete;

    // Whether this process was forked from the one whose thread ranks, before
    // it was done: what the ranking holds here was copied half made.
    bool left_behind() const { return worker.forked() && !done.load(std::memory_order_acquire); }

    void run() {
        try {
            damaged = (unjoined != nullptr && !unjoined->join(parts, numbers)) || !rank_ids(parts, numbers, order, encoded);
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        }
        done.store(true, std::memory_order_release);
    }
};

constexpr const char* kRankingName = "zantu._native.Ranking";

void drop_ranking(PyObject* capsule) {
    auto* ranking = static_cast<Ranking*>(PyCapsule_GetPointer(capsule, kRankingName));
    // Left behind by a fork: what it holds may have been copied mid-change,
    // so it is left as it is (and the ids it exported stay so).
    if (ranking == nullptr || ranking->left_behind()) return;
    delete ranking;
}

Ranking* ranking_of(PyObject* capsule) {
    auto* ranking = static_cast<Ranking*>(PyCapsule_GetPointer(capsule, kRankingName));
    if (ranking == nullptr) throw PyError();
    return ranking;
}

// `made` in a capsule, its thread started.
Ref started(std::unique_ptr<Ranking> made) {
    Ranking* ranking = made.get();
    Ref capsule = Ref::check(PyCapsule_New(ranking, kRankingName, drop_ranking));
    made.release();  // the capsule's now
    ranking->worker.start([ranking] { ranking->run(); });
    return capsule;
}

Ref runs_rank(PyObject* parts_object, Py_ssize_t numbers) {
    auto made = std::make_unique<Ranking>();
    made->parts = read_parts(parts_object, size_t(numbers));
    made->numbers = size_t(numbers);
    return started(std::move(made));
}

// Whether every word of `words` (a tuple) is an exact str, made ready to
// be read without the GIL.
bool exact_strs(PyObject* words) {
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(words); ++k) {
        PyObject* word = PyTuple_GET_ITEM(words, k);
        if (!PyUnicode_CheckExact(word)) return false;
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(word) < 0) throw PyError();
#endif
    }
    return true;
}

// runs_rank of `parts` in the numbers of `words` (the table's words in
// number order) followed by the parts `unjoined` (pairs of a vocabulary
// and its parts, as runs_take makes them), whose words the thread joins to
// the table's first; None, with nothing begun, unless all the words are
// exact strs.
Ref runs_rank_joined(PyObject* words_object, PyObject* parts_object, PyObject* unjoined_object) {
    auto made = std::make_unique<Ranking>();
    made->unjoined = std::make_unique<Unjoined>();
    Unjoined& unjoined = *made->unjoined;
    unjoined.own = Ref::check(PySequence_Tuple(words_object));
    if (!exact_strs(unjoined.own.get())) return Ref::borrow(Py_None);
    made->parts = read_parts(parts_object, size_t(PyTuple_GET_SIZE(unjoined.own.get())));
    Ref items = Ref::check(PySequence_Fast(unjoined_object, "the unjoined parts must be a sequence"));
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(items.get()); ++k) {
        Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(items.get(), k));
        if (!PyTuple_Check(item.get()) || PyTuple_GET_SIZE(item.get()) != 2) {
            raise(PyExc_TypeError, "an unjoined part must be a pair (vocabulary, parts)");
        }
        Ref words = Ref::check(PySequence_Tuple(PyTuple_GET_ITEM(item.get(), 0)));
        if (!exact_strs(words.get())) return Ref::borrow(Py_None);
        unjoined.parts.push_back(read_parts(PyTuple_GET_ITEM(item.get(), 1), size_t(PyTuple_GET_SIZE(words.get()))));
        unjoined.words.push_back(std::move(words));
    }
    return started(std::move(made));
}

// None while the ranking runs; then what runs_finish returns, for the
// words of `vocabulary`, or, for a ranking that joined words (whose
// vocabulary must be None), those it joined. False in a process forked
// from the one whose thread ranked, before it was done: the caller ranks
// here.
Ref runs_ranked(PyObject* capsule, PyObject* vocabulary) {
    Ranking* ranking = ranking_of(capsule);
    if ((ranking->unjoined != nullptr) != (vocabulary == Py_None)) {
        raise(PyExc_TypeError, "the vocabulary must be None for a ranking that joins words, and only then");
    }
    if (ranking->left_behind()) return Ref::borrow(Py_False);
    if (!ranking->done.load(std::memory_order_acquire)) return Ref::borrow(Py_None);
    ranking->worker.join();
    if (ranking->out_of_memory) {
        PyErr_NoMemory();
        throw PyError();
    }
    if (ranking->damaged) raise_runs_damaged();
    if (ranking->unjoined == nullptr) return ranked_pair(ranking->order, vocabulary, ranking->encoded);
    const Unjoined& unjoined = *ranking->unjoined;
    Py_ssize_t own = PyTuple_GET_SIZE(unjoined.own.get());
    Ref joined = Ref::check(PyList_New(own + Py_ssize_t(unjoined.added.size())));
    for (Py_ssize_t k = 0; k < own; ++k) PyList_SET_ITEM(joined.get(), k, Py_NewRef(PyTuple_GET_ITEM(unjoined.own.get(), k)));
    for (size_t k = 0; k < unjoined.added.size(); ++k) {
        PyList_SET_ITEM(joined.get(), own + Py_ssize_t(k), Py_NewRef(unjoined.added[k]));
    }
    return ranked_pair(ranking->order, joined.get(), ranking->encoded);
}

// The ids of `parts` (numbers up to `numbers`) as bytes, which take the
// owner's buffers' place in `parts`: held where they are bytes already,
// else copied, so that what the owner does with them after changes
// nothing. ValueError when an id is past its numbers or cut short.
std::vector<Ref> checked_copies(IdsParts& parts, size_t numbers) {
    std::vector<Ref> copies;
    for (auto& ids : parts.ids) {
        PyObject* exporter = ids->view.obj;
        copies.push_back(PyBytes_CheckExact(exporter)
                             ? Ref::borrow(exporter)
                             : Ref::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(ids->data()),
                                                                    Py_ssize_t(ids->size()))));
        ids = std::make_unique<Bytes>(copies.back().get());
    }
    if (!each_part_id(parts, numbers, [](uint32_t) { return true; })) raise_runs_damaged();
    return copies;
}

// A part's runs as they are now, to be merged: its `vocabulary` as a tuple
// and its `parts` (see read_parts) as a list of (ids, mapping or None),
// the ids copied as bytes (what the part's owner, or a word's code while
// the words are joined, does after cannot change what is merged), the
// mappings as bytes; ValueError, when an id is past the vocabulary's
// numbers or cut short.
Ref runs_take(PyObject* vocabulary, PyObject* parts_object) {
    Ref words = Ref::check(PySequence_Tuple(vocabulary));
    size_t size = size_t(PyTuple_GET_SIZE(words.get()));
    IdsParts parts = read_parts(parts_object, size);
    std::vector<Ref> copies = checked_copies(parts, size);
    Ref taken = Ref::check(PyList_New(Py_ssize_t(copies.size())));
    for (size_t k = 0; k < copies.size(); ++k) {
        const std::vector<uint32_t>& mapping = parts.mappings[k];
        Ref numbers = mapping.empty() ? Ref::borrow(Py_None)
                                      : Ref::check(PyBytes_FromStringAndSize(
                                            reinterpret_cast<const char*>(mapping.data()),
                                            Py_ssize_t(mapping.size() * sizeof(uint32_t))));
        Ref pair = Ref::check(PyTuple_Pack(2, copies[k].get(), numbers.get()));
        PyList_SET_ITEM(taken.get(), Py_ssize_t(k), pair.release());
    }
    return Ref::check(PyTuple_Pack(2, words.get(), taken.get()));
}

// A part's `parts` (see read_parts; numbers of its `vocabulary`, a list
// in number order) in the numbers of `table`, where its new words are
// added: a list of (ids, mapping), the ids copied unless bytes (what the
// part's owner does with them after cannot change the merged runs), each
// mapping from the part's numbers to the table's. Damaged ids are refused
// before the table changes.
Ref runs_join(PyObject* table, PyObject* vocabulary, PyObject* parts_object) {
    Ref words = Ref::check(PySequence_Tuple(vocabulary));
    size_t size = size_t(PyTuple_GET_SIZE(words.get()));
    IdsParts parts = read_parts(parts_object, size);
    // The words' code below may change the owner's buffers at will.
    std::vector<Ref> copies = checked_copies(parts, size);
    parts.ids.clear();
    std::vector<uint32_t> global(size + 1, 0);
    for (size_t k = 0; k < size; ++k) global[k + 1] = number_of(table, PyTuple_GET_ITEM(words.get(), Py_ssize_t(k)));
    Ref joined = Ref::check(PyList_New(Py_ssize_t(copies.size())));
    for (size_t k = 0; k < copies.size(); ++k) {
        const std::vector<uint32_t>& mapping = parts.mappings[k];
        size_t known = mapping.empty() ? size + 1 : mapping.size();
        Ref numbers = Ref::check(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(known * sizeof(uint32_t))));
        auto* out = reinterpret_cast<uint32_t*>(PyBytes_AS_STRING(numbers.get()));
        for (size_t v = 0; v < known; ++v) out[v] = global[mapping.empty() ? v : mapping[v]];
        Ref pair = Ref::check(PyTuple_Pack(2, copies[k].get(), numbers.get()));
        PyList_SET_ITEM(joined.get(), Py_ssize_t(k), pair.release());
    }
    return joined;
}

}  // namespace

PyObject* runs_join_function(PyObject*, PyObject* args) {
    PyObject *table, *vocabulary, *parts;
    if (!PyArg_ParseTuple(args, "O!OO:_runs_join", &PyDict_Type, &table, &vocabulary, &parts)) return nullptr;
    return guarded<PyObject*>(nullptr, [&] { return runs_join(table, vocabulary, parts).release(); });
}

PyObject* runs_take_function(PyObject*, PyObject* args) {
    PyObject *vocabulary, *parts;
    if (!PyArg_ParseTuple(args, "OO:_runs_take", &vocabulary, &parts)) return nullptr;
    return guarded<PyObject*>(nullptr, [&] { return runs_take(vocabulary, parts).release(); });
}

PyObject* runs_rank_joined_function(PyObject*, PyObject* args) {
    PyObject *words, *parts, *unjoined;
    if (!PyArg_ParseTuple(args, "OOO:_runs_rank_joined", &words, &parts, &unjoined)) return nullptr;
    return guarded<PyObject*>(nullptr, [&] { return runs_rank_joined(words, parts, unjoined).release(); });
}

PyObject* runs_finish_function(PyObject*, PyObject* args) {
    PyObject *parts, *vocabulary;
    if (!PyArg_ParseTuple(args, "OO:_runs_finish", &parts, &vocabulary)) return nullptr;
    return guarded<PyObject*>(nullptr, [&] { return runs_finish(parts, vocabulary).release(); });
}

PyObject* runs_rank_function(PyObject*, PyObject* args) {
    PyObject* parts;
    Py_ssize_t numbers;
    if (!PyArg_ParseTuple(args, "On:_runs_rank", &parts, &numbers)) return nullptr;
    return guarded<PyObject*>(nullptr, [&] {
        if (numbers < 0 || numbers >= (Py_ssize_t(1) << 31)) raise_runs_damaged();
        return runs_rank(parts, numbers).release();
    });
}

PyObject* runs_ranked_function(PyObject*, PyObject* args) {
    PyObject *ranking, *vocabulary;
    if (!PyArg_ParseTuple(args, "OO:_runs_ranked", &ranking, &vocabulary)) return nullptr;
    return guarded<PyObject*>(nullptr, [&] { return runs_ranked(ranking, vocabulary).release(); });
}

}  // namespace zantu::native
