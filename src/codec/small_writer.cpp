// The in-memory writer: the whole document built as Python objects and
// handed to the encoder bound as `json` in one call.
#include "small.h"

#include <vector>

#include "chain_calls.h"
#include "codes.h"
#include "fast_path.h"
#include "genuine.h"
#include "json_text.h"
#include "peek.h"
#include "prefetch.h"
namespace zantu {

namespace {

// The code of a value: its position, or the value itself when literal.
Ref code_of(const CodeTable& table, PyObject* value) {
    return table.code_at(table.position_of(table.next_entry(value)));
}

// The tuple of the codes of a next state's elements, in its order.
// `codes` is scratch space, left empty.
Ref coded_next_state(const CodeTable& table, const NextState& next_state, std::vector<Ref>& codes) {
    next_state.for_each([&](PyObject* element) { codes.push_back(code_of(table, element)); });
    return make_tuple(codes);
}

// OrderedDict((("codes", codes_list), ("chain", chain_array))), with the
// OrderedDict bound in the module.
Ref make_document(PyObject* ordered_dict, PyObject* codes_list, PyObject* chain_array) {
    Ref codes_member = Ref::check(PyTuple_Pack(2, interned().codes, codes_list));
    Ref chain_member = Ref::check(PyTuple_Pack(2, interned().chain, chain_array));
    Ref members = Ref::check(PyTuple_Pack(2, codes_member.get(), chain_member.get()));
    return call(ordered_dict, members.get());
}

// The arrays of the document, kept flat while the chain is walked: every
// start (or its code), then its bag's next states (or their codes) and
// counts; the number of pairs of each bag.
struct FlatChain {
    // A null element stands for the code of the next position in
    // `positions` (compressed form): for a start, the code itself, for an
    // item the one-code item (code,). Either is made only if the document
    // is built.
    std::vector<Ref> elements;
    std::vector<size_t> positions;
    std::vector<Py_ssize_t> bag_sizes;

    FlatChain() = default;
    FlatChain(const FlatChain&) = delete;
    FlatChain& operator=(const FlatChain&) = delete;
    // The elements lie scattered over the heap and have long left the
    // caches: each is asked for a few places ahead of its release.
    ~FlatChain() {
        constexpr size_t kAhead = 32;
        size_t n = elements.size();
        for (size_t i = 0; i < n; ++i) {
            if (i + kAhead < n) prefetch(elements[i + kAhead].get());
            elements[i] = Ref();
        }
    }

    // The chain array of the document: start, (next state, count, ...), ...
    // The elements are moved into it; `code(position)` gives the codes of
    // starts, `single(position)` the one-code items.
    template <typename Code, typename Single>
    Ref chain_array(Code code, Single single) {
        std::vector<Ref> chain_array;
        chain_array.reserve(2 * bag_sizes.size());
        std::vector<Ref> bag_array;
        auto element = elements.begin();
        auto position = positions.begin();
        auto next = [&](auto make) { return *element ? std::move(*element++) : (++element, make(*position++)); };
        for (Py_ssize_t size : bag_sizes) {
            chain_array.push_back(next(code));
            for (Py_ssize_t i = 0; i < 2 * size; ++i) bag_array.push_back(next(single));
            chain_array.push_back(make_tuple(bag_array));
        }
        elements.clear();
        return make_tuple(chain_array);
    }
};

// The document's text as ujson makes it, made while the chain is walked
// when ujson's dump is bound at the start: it then costs a single pass, and
// the document need not be built when its dump turns out to be ujson's
// own. Given up at the first value that is not made natively, or that code
// run later (by the chain's methods) could change before the document is
// dumped: a list, or anything else mutable (the document would show it as
// it is then).
class SpeculativeText {
public:
    explicit SpeculativeText(bool start) : going_(start) {}

    bool going() const { return going_; }
    // Room for about `size` bytes of text: the text is not copied as it
    // grows, and room never written costs no memory.
    void expect(size_t size) {
        if (going_) text_.reserve(size);
    }
    void literal(const char* text) {
        if (going_) text_ += text;
    }
    void literal(char c) {
        if (going_) text_ += c;
    }
    void separator(bool first) {
        if (going_ && !first) text_ += ',';
    }
    void value(PyObject* value) {
        if (going_ && !append_fixed(text_, value)) stop();
    }
    // A value of the code table, whose text is at hand.
    void value(const CodeTable& table, const CodeEntry& entry) {
        if (!going_) return;
        if (entry.fixed_text) {
            table.append_text_of(text_, entry);
        } else if (!append_fixed(text_, entry.value.get())) {
            stop();
        }
    }
    // The code of a value of the code table: its position, or its own text
    // when literal.
    void code(const CodeTable& table, const CodeEntry& entry) {
        if (entry.literal) {
            value(table, entry);
        } else if (going_) {
            append_integer(text_, static_cast<long long>(table.position_of(entry)));
        }
    }
    // The text of the one-code item (code,) of a value, without the tuple.
    void single(const CodeTable& table, const CodeEntry& entry) {
        literal('[');
        code(table, entry);
        literal(']');
    }
    void integer(long long value) {
        if (going_) append_integer(text_, value);
    }
    void stop() {
        going_ = false;
        std::string().swap(text_);
    }
    // Where the text ends now, and back to there.
    size_t mark() const { return text_.size(); }
    void back_to(size_t mark) {
        if (going_) text_.resize(mark);
    }
    Ref take() { return make_str(text_); }

private:
    bool going_;
    std::string text_;
};

// One call of dump_json_small, step by step: the code table, the walk of
// the chain into the flat arrays (and the text, while it can be made), then
// the dump. The whole chain is walked, and every code looked up, before any
// text is written: a failure before the dump leaves the file untouched.
class SmallWriter {
public:
    SmallWriter(PyObject* module, bool compress)
        : module_(module), compress_(compress) {}

    void make_code_table(PyObject* chain) {
        if (compress_) table_ = build_code_table(module_, chain);
        text_ = SpeculativeText(ujson_dump_bound(module_));
        // The code table is a quarter to two thirds of the document: its
        // values' texts and a code and two commas each.
        if (compress_) text_.expect(4 * (table_.texts.size() + 10 * table_.entries.size()) + 4096);
        text_.literal("{\"codes\":[");
        for (size_t p = 0; p < table_.entries.size(); ++p) {
            const CodeEntry& e = table_.entries[p];
            text_.separator(p == 0);
            text_.code(table_, e);
            text_.literal(',');
            text_.value(table_, e);
        }
        text_.literal("],\"chain\":[");
    }

    // The chain array. The flat arrays are needed only where the text made
    // here is not all that is needed (see dump); while nothing the walk
    // calls runs code of the caller's (the package's chain with its own
    // bags), they are left out, and the walk is made again with them if
    // they turn out to be needed: then the first walk ran nothing that the
    // second could find changed.
    void walk(PyObject* chain) {
        chain_ = Ref::borrow(chain);
        flat_on_ = !text_.going() || native_chain_api(chain) == nullptr;
        size_t mark = text_.mark();
        if (!walk_entries(chain)) {
            if (gave_up_) {
                // Code of the caller's would run (a bag or a count of
                // another type): walked once more with the arrays, the text
                // made on as before.
                flat_on_ = true;
                text_.back_to(mark);
                walk_entries(chain);
            } else {
                with_flat_arrays();
            }
        }
        text_.literal("]}");
    }

    void dump(PyObject* file) {
        // Whether the text alone will do is known below only after lookups
        // that may run code of the caller's: where it is already plain
        // that it will not, the arrays are made first.
        if (!flat_on_ && !ujson_dump_bound(module_)) with_flat_arrays();
        Ref ordered_dict = module_global(module_, interned().OrderedDict);
        bool genuine_document = is_genuine_ordered_dict(ordered_dict.get());
        Ref dump;
        if (genuine_document && text_.going()) {
            // Nothing but ujson's own dump looks at a genuine document: with
            // that dump, its text is all that is needed.
            dump = json_dump(module_);
            if (is_ujson_dump(dump.get())) {
                Ref made = text_.take();
                text_.stop();
                dump_document(dump.get(), nullptr, nullptr, nullptr, true, file, made.get());
                return;
            }
        }
        text_.stop();
        if (!flat_on_) with_flat_arrays();
        Ref chain_tuple = flat_.chain_array([&](size_t position) { return table_.code_at(position); },
                                            [&](size_t position) { return single_of(position); });
        // The "codes" array as the JSON library gets it: made only on this
        // way, where the text is not made here.
        Ref codes_list = Ref::check(PyList_New(Py_ssize_t(2 * table_.entries.size())));
        for (size_t p = 0; p < table_.entries.size(); ++p) {
            PyList_SET_ITEM(codes_list.get(), Py_ssize_t(2 * p), table_.code_at(p).release());
            PyList_SET_ITEM(codes_list.get(), Py_ssize_t(2 * p + 1), Ref(table_.entries[p].value).release());
        }
        Ref document = make_document(ordered_dict.get(), codes_list.get(), chain_tuple.get());
        // Looked up after the document is made, as json.dump(document, file)
        // does; when it was looked up above, the document is a genuine
        // OrderedDict, whose making runs no code of the caller's.
        if (!dump) dump = json_dump(module_);
        dump_document(dump.get(), document.get(), codes_list.get(), chain_tuple.get(), genuine_document, file);
    }

private:
    // The chain's entries walked again, into the flat arrays only.
    void with_flat_arrays() {
        text_.stop();
        flat_on_ = true;
        walk_entries(chain_.get());
    }

    // The entries of the chain: false when the walk without the flat
    // arrays gives up (the text stopped, or a bag not the package's came),
    // having run nothing of the caller's.
    bool walk_entries(PyObject* chain) {
        if (!flat_on_) {
            int stored = walk_stored(chain);
            if (stored >= 0) return stored == 1;
        }
        // What the walk reads next, asked for ahead (see prefetch_next_state).
        const CodeTable* coding = compress_ ? &table_ : nullptr;
        if (coding != nullptr) coding->begin_walk();
        auto prefetch_entry_start = [&](int level, PyObject* start) { prefetch_start(level, coding, start); };
        Ref entries = get_iter(chain_items(chain).get());
        Ref entry, start, bag;
        bool first = true;
        while (iter_next(entries.get(), entry)) {
            unpack_pair(entry.get(), start, bag);
            entry = Ref();  // an iterator may reuse its result tuple when it is free
            if (!flat_on_ && !is_native_bag(bag.get())) {
                gave_up_ = true;
                return false;
            }
            prefetch_entries(entries.get(), prefetch_entry_start, [&](int stage, PyObject* bag) {
                prefetch_rows(stage, bag, [&](PyObject* value) { prefetch_value_of(coding, value); });
            });
            text_.separator(first);
            first = false;
            if (compress_) {
                const CodeEntry& entry = table_.next_entry(start.get());
                text_.code(table_, entry);
                if (flat_on_) {
                    flat_.elements.emplace_back();
                    flat_.positions.push_back(table_.position_of(entry));
                }
            } else {
                text_.value(start.get());
                if (flat_on_) flat_.elements.push_back(std::move(start));
            }
            text_.literal(",[");
            Py_ssize_t pairs = walk_bag(bag.get());
            if (flat_on_) flat_.bag_sizes.push_back(pairs);
            text_.literal(']');
            if (!flat_on_ && (gave_up_ || !text_.going())) return false;
        }
        return true;
    }

    // The text alone of the package's chain while it keeps its counts as
    // numbers, read a state at a time (nothing read runs code of the
    // caller's): 1 when walked, 0 when the text stopped (a value whose text
    // is not made natively), -1 when the chain keeps no such counts.
    int walk_stored(PyObject* chain) {
        const NativeApi* api = native_chain_api(chain);
        if (api == nullptr) return -1;
        StoreRowsMark mark;
        Py_ssize_t states = api->chain_store_states(chain, &mark);
        if (states < 0) return -1;
        if (compress_) table_.begin_walk();
        StoreRows rows;
        for (Py_ssize_t s = 0; s < states && text_.going(); ++s) {
            if (api->chain_store_state(chain, &mark, s, &rows) < 0) throw PyError();
            text_.separator(s == 0);
            if (compress_) {
                text_.code(table_, table_.next_entry(rows.start));
            } else {
                text_.value(rows.start);
            }
            text_.literal(",[");
            for (size_t r = 0; r < rows.nexts.size(); ++r) {
                text_.separator(r == 0);
                add_next_state(NextState{nullptr, &rows.nexts[r], 1});
                text_.literal(',');
                text_.integer(rows.counts[r]);
            }
            text_.literal(']');
        }
        return text_.going() ? 1 : 0;
    }

    // The pairs of one bag; returns how many.
    Py_ssize_t walk_bag(PyObject* bag) {
        const CodeTable* coding = compress_ ? &table_ : nullptr;
        Py_ssize_t pairs_written = 0;
        BagPairs pairs(bag);
        if (coding != nullptr && coding->on_trail()) {
            pairs.ask_nothing_ahead();
        } else if (coding != nullptr) {
            pairs.ask_ahead(prefetch_code_ahead, coding);
        }
        NextState next_state;
        Ref count;
        while (pairs.next(next_state, count)) {
            // The memory of the next states a few pairs on (read in place,
            // without advancing the iterator).
            if (PyObject* it = pairs.iterator()) {
                prefetch_stages(it, [&](int stage, PyObject* ahead) {
                    prefetch_next_state(stage, coding, nullptr, ahead);
                });
            }
            // A count of another type has its text made by its own code.
            if (!flat_on_ && !PyLong_CheckExact(count.get()) && !PyFloat_CheckExact(count.get())) {
                gave_up_ = true;
                return pairs_written;
            }
            text_.separator(pairs_written == 0);
            add_next_state(next_state);
            Ref written_count = document_count(count.get());
            text_.literal(',');
            text_.value(written_count.get());
            if (flat_on_) flat_.elements.push_back(std::move(written_count));
            ++pairs_written;
        }
        return pairs_written;
    }

    void add_next_state(const NextState& next_state) {
        PyObject* only = compress_ ? next_state.only() : nullptr;
        if (only == nullptr && !flat_on_) {
            // A row of the package's bag: its text without a tuple.
            text_.literal('[');
            bool first = true;
            next_state.for_each([&](PyObject* element) {
                text_.separator(first);
                first = false;
                if (!compress_) {
                    text_.value(element);
                    return;
                }
                text_.code(table_, table_.next_entry(element));
            });
            text_.literal(']');
            return;
        }
        if (only == nullptr) {
            Ref item = compress_ ? coded_next_state(table_, next_state, item_codes_) : next_state.as_sequence();
            text_.value(item.get());
            flat_.elements.push_back(std::move(item));
            return;
        }
        // Written from its position (an integer code is the position),
        // without the memory of a shared tuple.
        const CodeEntry& entry = table_.next_entry(only);
        text_.single(table_, entry);
        if (flat_on_) {
            flat_.elements.emplace_back();
            flat_.positions.push_back(table_.position_of(entry));
        }
    }

    // The one-code item (code,) of the value at `position`, made once.
    const Ref& single_of(size_t position) {
        if (singles_.size() < table_.entries.size()) singles_.resize(table_.entries.size());
        Ref& single = singles_[position];
        if (!single) {
            item_codes_.push_back(table_.code_at(position));
            single = make_tuple(item_codes_);
        }
        return single;
    }

    PyObject* module_;
    bool compress_;
    Ref chain_;
    bool flat_on_ = true;   // the walk fills the flat arrays
    bool gave_up_ = false;  // the walk without them met a bag or count of another type
    CodeTable table_;
    SpeculativeText text_{false};
    FlatChain flat_;
    std::vector<Ref> singles_;     // by position: (code,)
    std::vector<Ref> item_codes_;  // scratch for the codes of a next state
};

}  // namespace

void dump_json_small(PyObject* module, PyObject* chain, PyObject* file, PyObject* frequency_compress) {
    SmallWriter writer(module, check_status(PyObject_IsTrue(frequency_compress)));
    writer.make_code_table(chain);
    writer.walk(chain);
    writer.dump(file);
}

}  // namespace zantu
