// The streaming writer: the document written piece by piece with the
// file's write().
#include <climits>
#include <string>
#include <vector>

#include "big.h"
#include "chain_calls.h"
#include "codes.h"
#include "json_text.h"
#include "lookup.h"
#include "native_api.h"
#include "peek.h"
#include "prefetch.h"

namespace zantu {

namespace {

// Appends a count in its plain text form (see count_text).
void append_count(std::string& piece, PyObject* count) {
    long long value = 0;
    if (PyLong_CheckExact(count) && exact_int_value(count, value)) {
        append_integer(piece, value);
        return;
    }
    Ref text = count_text(count);
    append_text(piece, text.get());
}

class Writer : public CodeTableListener {
public:
    Writer(PyObject* module, PyObject* file) : encoder_(module), file_(file), sink_(native_sink_api(file)) {}

    // One piece, one call of file.write; into the package's TextSink, its
    // bytes appended as that call would append them (a piece made here of
    // other than ASCII may hold a surrogate, which the call refuses).
    void write(const std::string& piece) {
        if (sink_ != nullptr && all_ascii(piece)) {
            append(piece.data(), piece.size());
            return;
        }
        write(make_str(piece).get());
    }
    void write(PyObject* piece) {
        if (sink_ == nullptr || !PyUnicode_Check(piece)) {
            write_(file_, piece);
            return;
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(piece, &size);
        if (utf8 == nullptr) throw PyError();
        append(utf8, size_t(size));
    }

    // The text of a value's code: its position's digits, or its own JSON text.
    static void append_code(std::string& piece, const CodeTable& table, const CodeEntry& entry,
                            Py_ssize_t position) {
        if (entry.literal) {
            table.append_text_of(piece, entry);
        } else {
            append_integer(piece, position);
        }
    }

    // The item "[code]" of a next state of one value.
    static void append_single(std::string& piece, const CodeTable& table, const CodeEntry& entry,
                              Py_ssize_t position) {
        piece += '[';
        append_code(piece, table, entry, position);
        piece += ']';
    }

    // A pair's count as its piece: ",count," or, the bag's last, ",count".
    static void append_count_piece(std::string& piece, PyObject* count, bool last) {
        piece += ',';
        append_count(piece, count);
        if (!last) piece += ',';
    }

    // The code pairs are written as their codes become final.
    void sorted(Py_ssize_t announced, Py_ssize_t count) override {
        if (count > 0 && count != announced) {
            raise(PyExc_ValueError,
                  "the frequency items announce %zd values (len) but yielded %zd; "
                  "the document would not be valid JSON",
                  announced, count);
        }
        end_freqs_ = announced - 1;
    }

    void settled(const CodeTable& table, size_t position) override {
        const CodeEntry& entry = table.entries[position];
        piece_.clear();
        append_code(piece_, table, entry, Py_ssize_t(position));
        piece_ += ',';
        table.append_text_of(piece_, entry);
        if (Py_ssize_t(position) != end_freqs_) piece_ += ',';
        write(piece_);
    }

    // write_start: the start element followed by ",[".
    void write_start(const CodeTable* table, PyObject* start) {
        if (table == nullptr) {
            write(encoder_.piece(start, ",[", piece_).get());
            return;
        }
        piece_.clear();
        const CodeEntry& entry = table->next_entry(start);
        append_code(piece_, *table, entry, Py_ssize_t(table->position_of(entry)));
        piece_ += ",[";
        write(piece_);
    }

    // write_next_start: the item, whose elements are all looked up first.
    // The count's text is made before the item is written, so that a pair
    // that cannot be written leaves nothing of itself in the file.
    void write_pair(const CodeTable* table, const NextState& next_state, PyObject* count, bool last) {
        piece_.clear();
        Ref made;  // the item's piece, when it is made as a str at once
        PyObject* only = table != nullptr && (sink_ != nullptr || fast_path(FastPath::piece_caches))
                             ? next_state.only()
                             : nullptr;
        if (only != nullptr && sink_ != nullptr) {
            // Into the package's TextSink the pair goes as text, at once:
            // no str to make, or to find among the pieces made.
            const CodeEntry& entry = table->next_entry(only);
            append_single(piece_, *table, entry, Py_ssize_t(table->position_of(entry)));
            append_count_piece(piece_, count, last);
            write(piece_);
            return;
        }
        if (only != nullptr) {
            const CodeEntry& entry = table->next_entry(only);
            size_t position = table->position_of(entry);
            if (single_pieces_.size() < table->entries.size()) single_pieces_.resize(table->entries.size());
            prefetch_pieces_ahead(*table);
            Ref& slot = single_pieces_[position];
            if (!slot) {
                append_single(piece_, *table, entry, Py_ssize_t(position));
                slot = make_str(piece_);
            }
            made = slot;
        } else if (table == nullptr) {
            made = encoder_.piece(next_state.as_sequence().get(), "", piece_);
        } else {
            piece_ += '[';
            bool first = true;
            next_state.for_each([&](PyObject* element) {
                if (!first) piece_ += ',';
                first = false;
                const CodeEntry& entry = table->next_entry(element);
                append_code(piece_, *table, entry, Py_ssize_t(table->position_of(entry)));
            });
            piece_ += ']';
        }
        Ref cached = cached_count_piece(count, last);
        if (!cached) {
            count_piece_.clear();
            append_count_piece(count_piece_, count, last);
        }
        if (made) {
            write(made.get());
        } else {
            write(piece_);
        }
        if (cached) {
            write(cached.get());
        } else {
            write(count_piece_);
        }
    }

    // On the trail, the pieces of the values a few on: their slots, then
    // (once those have come in) the pieces themselves.
    void prefetch_pieces_ahead(const CodeTable& table) const {
        constexpr size_t kSlotsAhead = 8, kPiecesAhead = 4;
        size_t slot = table.position_ahead(kSlotsAhead);
        if (slot < single_pieces_.size()) prefetch(&single_pieces_[slot]);
        size_t piece = table.position_ahead(kPiecesAhead);
        if (piece < single_pieces_.size()) {
            if (PyObject* made = single_pieces_[piece].get()) prefetch(made);
        }
    }

    // Asks the memory for what writing the pair of `next_state` will read,
    // in stages (see prefetch_next_state), with the pieces made once per
    // value.
    void prefetch_pair(int stage, const CodeTable* table, PyObject* next_state) const {
        prefetch_next_state(stage, table, &single_pieces_, next_state);
    }
    // The same for a value of a row a few ahead (BagPairs::ask_ahead).
    struct RowsAhead {
        const Writer* writer;
        const CodeTable* table;
    };
    static void prefetch_row_value(const void* context, int stage, PyObject* value) {
        const RowsAhead& ahead = *static_cast<const RowsAhead*>(context);
        prefetch_value_coding(stage, *ahead.table, &ahead.writer->single_pieces_, value);
    }

    // Asks the memory for what the next chain entries will read (see
    // prefetch_entries and prefetch_start).
    void prefetch_entries(PyObject* entries, const CodeTable* table) const {
        zantu::prefetch_entries(
            entries, [&](int level, PyObject* start) { prefetch_start(level, table, start); },
            [&](int stage, PyObject* bag) { prefetch_rows(stage, bag, [&](PyObject* value) { prefetch_value_of(table, value); }); });
    }

    void write_ascii(const char* text) {
        piece_.assign(text);
        write(piece_);
    }

    // The end of a bag array: "]," or, after the last entry, "]"; made once.
    void write_bag_end(bool last) {
        if (sink_ != nullptr) {
            append(last ? "]" : "],", last ? 1 : 2);
            return;
        }
        Ref& slot = bag_ends_[last ? 1 : 0];
        if (!slot) slot = str(last ? "]" : "],");
        write(slot.get());
    }

    // The pieces ",N," and ",N" of the small counts that most pairs have,
    // made once per call.
    Ref cached_count_piece(PyObject* count, bool last) {
        long long n = 0;
        if (!fast_path(FastPath::piece_caches)) return Ref();
        if (!PyLong_CheckExact(count) || !exact_int_value(count, n) || n < 0 || n >= kCachedCounts) return Ref();
        Ref& slot = count_pieces_[last ? 1 : 0][n];
        if (!slot) {
            std::string text;
            append_count_piece(text, count, last);
            slot = make_str(text);
        }
        return slot;
    }

private:
    void append(const char* data, size_t size) {
        if (sink_->sink_append(file_, data, size) < 0) throw PyError();
    }

    Encoder encoder_;
    PyObject* file_;
    const NativeApi* sink_;  // the file is the package's TextSink
    MethodCall write_{interned().write};  // file.write, looked up afresh for every piece
    Py_ssize_t end_freqs_ = -1;
    std::string piece_;
    std::string count_piece_;
    std::vector<Ref> single_pieces_;  // by position: "[code]"
    static constexpr long long kCachedCounts = 64;
    Ref count_pieces_[2][kCachedCounts];
    Ref bag_ends_[2];
};

// Where a bag's array closes: at the pair whose index equals the bag's
// announced unique_count minus 1, compared as host objects unless the
// announcement is a plain int.
class BagEnd {
public:
    explicit BagEnd(PyObject* bag) : unique_count_(bag_unique_count(bag)) {
        long long n = 0;
        // The smallest value has no n - 1: it takes the general path.
        if (PyLong_CheckExact(unique_count_.get()) && exact_int_value(unique_count_.get(), n) && n > LLONG_MIN) {
            native_ = true;
            end_ = n - 1;
            return;
        }
        Ref one = Ref::check(PyLong_FromLong(1));
        end_object_ = Ref::check(PyNumber_Subtract(unique_count_.get(), one.get()));
    }

    bool is_last(long long index) const {
        if (native_) return index == end_;
        Ref i = Ref::check(PyLong_FromLongLong(index));
        return check_status(PyObject_RichCompareBool(i.get(), end_object_.get(), Py_NE)) == 0;
    }

    PyObject* announced() const { return unique_count_.get(); }

private:
    Ref unique_count_;
    bool native_ = false;
    long long end_ = 0;
    Ref end_object_;
};

// The pairs of one start's bag, each with its count, then the bag's end.
void write_bag(Writer& out, const CodeTable* codes, PyObject* start, PyObject* bag) {
    BagEnd bag_end(bag);
    BagPairs pairs(bag);
    const Writer::RowsAhead ahead{&out, codes};
    if (codes != nullptr && codes->on_trail()) {
        pairs.ask_nothing_ahead();
    } else if (codes != nullptr) {
        pairs.ask_ahead(Writer::prefetch_row_value, &ahead);
    }
    if (PyObject* it = pairs.iterator()) {
        prefetch_bag(it, [&](int stage, PyObject* ahead) { out.prefetch_pair(stage, codes, ahead); });
    }
    long long pairs_written = 0;
    bool closed = false;
    NextState state;
    Ref count;
    for (; pairs.next(state, count); ++pairs_written) {
        if (closed) {
            raise(PyExc_ValueError,
                  "the bag of start %.200R announces unique_count %.200R but its choices() "
                  "yielded at least %lld pairs; the document would not be valid JSON",
                  start, bag_end.announced(), pairs_written + 1);
        }
        // The next states a few pairs on: first their own objects, and
        // once those have come in, what their writing will read.
        if (PyObject* it = pairs.iterator()) {
            prefetch_stages(it, [&](int stage, PyObject* ahead) { out.prefetch_pair(stage, codes, ahead); });
        }
        closed = bag_end.is_last(pairs_written);
        out.write_pair(codes, state, count.get(), closed);
    }
    if (pairs_written > 0 && !closed) {
        raise(PyExc_ValueError,
              "the bag of start %.200R announces unique_count %.200R but its choices() "
              "yielded %lld pairs; the document would not be valid JSON",
              start, bag_end.announced(), pairs_written);
    }
}

// The entries of the package's chain while it keeps its counts as numbers,
// read a state at a time, each held while it is written (a write may run
// code of the caller's, which may change the chain: the next state read
// then raises RuntimeError). False, nothing written, when it keeps none.
bool write_stored(Writer& out, const CodeTable* codes, PyObject* chain) {
    const NativeApi* api = native_chain_api(chain);
    if (api == nullptr) return false;
    StoreRowsMark mark;
    Py_ssize_t states = api->chain_store_states(chain, &mark);
    if (states < 0) return false;
    StoreRows rows;
    Ref count;
    for (Py_ssize_t s = 0; s < states; ++s) {
        if (api->chain_store_state(chain, &mark, s, &rows) < 0) throw PyError();
        out.write_start(codes, rows.start);
        for (size_t r = 0; r < rows.nexts.size(); ++r) {
            count = Ref::check(PyLong_FromUnsignedLong(rows.counts[r]));
            out.write_pair(codes, NextState{nullptr, &rows.nexts[r], 1}, count.get(), r + 1 == rows.nexts.size());
        }
        out.write_bag_end(s + 1 == states);
    }
    return true;
}

}  // namespace

void dump_json_big(PyObject* module, PyObject* chain, PyObject* file, PyObject* frequency_compress) {
    Writer out(module, file);
    out.write_ascii("{\"codes\":[");
    bool compress = check_status(PyObject_IsTrue(frequency_compress));
    CodeTable table;
    if (compress) {
        table = build_code_table(module, chain, &out);
        table.begin_walk();
    }
    const CodeTable* codes = compress ? &table : nullptr;
    out.write_ascii("],\"chain\":[");
    if (write_stored(out, codes, chain)) {
        out.write_ascii("]}");
        return;
    }

    Py_ssize_t chain_end = chain_len(chain) - 1;
    Ref entries = get_iter(chain_items(chain).get());
    Ref entry, start, bag;
    Py_ssize_t idx = 0;
    for (; iter_next(entries.get(), entry); ++idx) {
        if (idx > chain_end) {
            raise(PyExc_ValueError,
                  "len(chain) is %zd but chain.items() yielded at least %zd entries; "
                  "the document would not be valid JSON",
                  chain_end + 1, idx + 1);
        }
        unpack_pair(entry.get(), start, bag);
        entry = Ref();  // an iterator may reuse its result tuple when it is free
        out.prefetch_entries(entries.get(), codes);
        out.write_start(codes, start.get());
        write_bag(out, codes, start.get(), bag.get());
        out.write_bag_end(idx == chain_end);
    }
    if (idx > 0 && idx != chain_end + 1) {
        raise(PyExc_ValueError,
              "len(chain) is %zd but chain.items() yielded %zd entries; "
              "the document would not be valid JSON",
              chain_end + 1, idx);
    }
    out.write_ascii("]}");
}

}  // namespace zantu
