// The streaming reader's class: it follows the events of ijson's
// basic_parse (or of yajl, driven from here) and hands every (item, count)
// pair of the chain to chain.add_to_bag as soon as its count has been read.
// big_reader.cpp holds its states and the values it builds;
// reader_rows_inl.h its ways straight into the package's chain (the yajl
// callbacks with their lanes, and the rows put in the bags).
#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <new>
#include <optional>
#include <vector>

#include "big.h"
#include "chain_calls.h"
#include "code_lane.h"
#include "codes.h"
#include "fast_path.h"
#include "genuine.h"
#include "json_text.h"
#include "kept_texts.h"
#include "native_api.h"
#include "pending_rows.h"
#include "prefetch.h"
#include "reader_types.h"
#include "reader_values.h"
#include "yajl_parser.h"

namespace zantu {

// Of big_reader.cpp alone, which includes this file: within one unit, and
// with its callbacks' template instances local to it, yajl's callbacks
// inline the reader's as they did when the class was one file.
namespace {

enum class Lane : std::uint8_t { None, Codes, Texts };

// The package's bags that a load fills, out of the cyclic collector's sight
// until it ends: its young collections between blocks would walk every bag
// made so far again and again, and as the chain grows, its full collections
// too (ten of them in a load of 900 k bags, a third of its time). A bag out
// of its sight is never freed by it, only kept alive (what it refers to
// seems referred to from outside); every one goes back to it when the load
// ends, however it ends, and a cycle through one is found from then on.
class RestingBags {
public:
    RestingBags() = default;
    RestingBags(const RestingBags&) = delete;
    RestingBags& operator=(const RestingBags&) = delete;
    ~RestingBags() { wake(); }

    void rest(const Ref& bag) {
        if (!PyObject_GC_IsTracked(bag.get())) return;
        if (used_ == kChunk) add_chunk();
        chunks_.back()[used_++] = Ref(bag).release();  // held: the object untracked here
        PyObject_GC_UnTrack(bag.get());
    }
    // Every bag back in the collector's sight, then let go (which may run
    // the caller's code: the list is taken out first).
    void wake() noexcept {
        std::vector<PyObject**> chunks;
        chunks.swap(chunks_);
        size_t last = used_;
        used_ = kChunk;
        auto filled = [&](size_t c) { return c + 1 == chunks.size() ? last : kChunk; };
        for (size_t c = 0; c < chunks.size(); ++c) {
            for (size_t i = 0; i < filled(c); ++i) {
                if (!PyObject_GC_IsTracked(chunks[c][i])) PyObject_GC_Track(chunks[c][i]);
            }
        }
        for (size_t c = 0; c < chunks.size(); ++c) {
            for (size_t i = 0; i < filled(c); ++i) Py_DECREF(chunks[c][i]);
            munmap(chunks[c], kChunk * sizeof(PyObject*));
        }
    }

private:
    // Chunks of 1 MiB mapped from the system and given back at the end: a
    // list of millions that grew in the heap left it 20 to 40 MB larger
    // after the load (what it freed, the heap kept).
    static constexpr size_t kChunk = (size_t(1) << 20) / sizeof(PyObject*);
    void add_chunk() {
        chunks_.reserve(chunks_.size() + 1);
        void* room =
            mmap(nullptr, kChunk * sizeof(PyObject*), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (room == MAP_FAILED) throw std::bad_alloc();
        chunks_.push_back(static_cast<PyObject**>(room));
        used_ = 0;
    }

    std::vector<PyObject**> chunks_;
    size_t used_ = kChunk;  // in the last chunk
};

class StreamReader final : public EventSink {
public:
    StreamReader(PyObject* chain, bool merge, Ref builder, bool host_numbers)
        : chain_(chain), replacing_(!merge), pending_clear_(!merge), source_(std::move(builder), host_numbers) {}

    // An event from yajl, driven from here: its value is made already, a
    // number as the host number.
    void event(Event kind, PyObject* value) override { step(ParserEvent{kind, names_.name(kind), value, value}); }
    // An int from yajl: the codes of an item in the code lane, and the int
    // count after an item of either lane, are taken as they are; a start
    // without the event.
    bool integer(long long value) override;
    // The brackets of an item in a lane, of a bag around such items, and
    // of the code table's array values.
    bool bracket(Event kind) override;
    // A string of an item in a lane, or a start of the plain form, whose
    // text was met already: the chain's object for it (with its code, for a
    // str code). Any other is made into a str.
    bool text(Event kind, std::string_view bytes) override;
    // A string of the code table read for the package's chain is one str
    // for each text met again (within the last texts' slots): a word of
    // many states is one object in all of them, as the chain keeps it.
    Ref string_value(std::string_view bytes) override;
    // text() for a str code, of an item in the code lane or a start: found
    // by its bytes among the code table's keys (with the chain's object for
    // it, once kept), so that no str is made for it.
    // Before each block is read (the caller's code may run in the read);
    // only a driven parse reads blocks itself.
    void block_read() override;

    void run(PyObject* events);
    // The parse of the yajl `backend`, driven from here over `blocks`, to
    // the end of the document.
    void drive(int backend, FileBlocks& blocks);

    // The end of the events: the document must have ended, with a chain.
    void finish();

private:
    enum class State : std::uint8_t {
        Top,         // before the top-level object
        Members,     // inside the top-level object, between members
        Skip,        // inside a member that is not read
        Codes,       // inside the "codes" array
        ChainStart,  // in "chain", where a start (or the end) comes
        Start,       // in "chain", inside a start that is an array or object
        ChainBag,    // in "chain", where the bag array of the start comes
        BagItem,     // in a bag array, where an item (or the end) comes
        Item,        // inside an item
        BagCount,    // in a bag array, where the count of the item comes
        Done,        // after the top-level object
    };

    // One handler per state; each e.event goes to the handler of the state
    // the reader is in.
    void step(const ParserEvent& e);

    // Before the top-level object: only its start.
    void on_top(const ParserEvent& e);

    // Inside a member that is not read: its end.
    void on_skip(const ParserEvent& e);

    // Inside the "codes" array: its elements go to the builder.
    void on_codes(const ParserEvent& e);

    // In "chain", where a start (or the end) comes.
    void on_chain_start(const ParserEvent& e);

    // Inside a start that is an array or object.
    void on_start(const ParserEvent& e);

    // Where the bag array of the start comes.
    void on_chain_bag(const ParserEvent& e);

    // In a bag array, where an item (or the end) comes.
    void on_bag_item(const ParserEvent& e);

    // Inside an item.
    void on_item(const ParserEvent& e);

    // Where the count of the item comes.
    void on_bag_count(const ParserEvent& e);

    // After the top-level object: nothing more.
    void on_done(const ParserEvent& e);

    // Between the members of the top-level object: a key, or the e.value of
    // the last key.
    void member(const ParserEvent& e);

    bool key_is(PyObject* name, const char* text) const;

    // The code table: the codes list read two elements at a time.
    void build_table(PyObject* codes);
    // An event of the code table read natively: false when the lane cannot
    // take it (it spills, and the event goes on as any other).
    bool take_code_event(const ParserEvent& e);

    // The value of `code` in the code table (null when it has none), and
    // of the start (MissingCodeError when it has none).
    PyObject* find_value(PyObject* code) const;
    PyObject* decode_start() const;

    // What is kept is of the chain's table `table` from now on: nothing
    // kept before stands (what a row borrowed from the table of before is
    // returned, held, for it to stay alive through the row).
    Ref keep_for(Ref table);

    // An item and its count: one add_to_bag call, with the start and the
    // item decoded through the code table when it is not empty.
    void add_pair(PyObject* count);

    // A start that is an array, in the plain form into the package's chain:
    // its elements kept as they come (a text met before as the chain's
    // object for it), then the tuple the chain freezes the start to. A
    // nested array turns it into a start assembled as any other; a message
    // shows it as the list the document has.
    void begin_start_tuple();
    void end_start_tuple();
    void spill_start_tuple();
    // The start of an array and its scalar `elements`, as events into the
    // value source (what was taken as it came, assembled after all).
    void feed_array_of(const std::vector<Ref>& elements);

    // The lane the next item goes in.
    Lane lane_for_item() const;
    void start_lane(Lane lane);
    void end_lane();

    // Something else than the lane takes came in the item: it is assembled
    // from what came so far, then as any other.
    void spill_lane();

    // The elements of the lane's item as objects: ints for codes.
    std::vector<Ref>& lane_elements(Lane lane);
    // The elements of the last item: of its lane (the lane is done), or
    // as the source kept them (null: see take_elements).
    std::vector<Ref>* item_elements();

    // For the package's own chain, an item of scalars (`elements`: its codes
    // in decoded mode, its values otherwise) and an int count go in as a
    // row of the chain's own objects, which is what add_to_bag makes of
    // them: no lazy item or list, and each value kept once per code. False
    // (and nothing done) where that would differ: an item with a code that
    // is not in the table (the lazy item raises as the chain reads it), or
    // any other count.
    bool add_row(PyObject* decoded_start, const std::vector<Ref>& elements, PyObject* count);

    // add_row for the item of a lane: of the code lane, its codes all
    // listed in the code table (false, and nothing done, otherwise).
    bool add_lane_row(long long count);

    // The row made of row_ (values) and row_codes_ (their listed codes, or
    // kNoCode, or kKept for the chain's own objects), with the count `n`,
    // into the chain at the start `decoded_start` (null: decoded here when
    // needed).
    void put_row(const NativeApi* api, PyObject* decoded_start, long long n);

    // Defers the row in row_ (count `n`) for `bag`, the bag of the current
    // start, when nothing of the caller's can run before the pending rows are
    // added (see pending_): true when deferred.
    bool defer_row(const NativeApi* api, const Ref& bag, const Ref& table, long long n);

    // The usual row of the code lane deferred as it is, where put_row would
    // find nothing to look up or decide: rows are pending for the start's
    // bag, in this table, of this width, and each code's object is kept.
    bool defer_lane_row(long long count);

    // Whether a row of count `n` may be deferred: nothing of the caller's runs
    // until the pending rows go in, and the count is a small one.
    bool may_defer(long long n) const {
        return pause_ && n >= 0 && n <= static_cast<long long>(UINT32_MAX) && fast_path(FastPath::held_rows);
    }

    void flush_pending() { pending_.flush(); }

    // Assembled natively within a block, the code table runs no code of
    // the caller's: the collector rests until the next read, as it does
    // for the rows (else it walks the growing table again and again).
    void pause_for_codes() {
        if (driven_ && lane_api_ != nullptr && replacing_ && !pause_) pause_.emplace();
    }

    // Before anything of the caller's may run: the pending rows go in, and the
    // collector goes on.
    void resume();

public:
    // On the way out with an error: the pending rows go in, as they would have
    // gone before the error came; the error stays the one raised.
    void flush_before_error() noexcept;

private:
    // The chain's bag of the current start. The pairs of one start come
    // together: while nothing of the caller's can have run (within a block
    // of the driven parse), the bag found for the first is the bag of the
    // rest.
    bool has_start_bag() const { return start_bag_ && start_of_bag_.get() == start_.get(); }
    Ref bag_of_start(const NativeApi* api, PyObject* table, PyObject* decoded_start);

    // The index of `code` in the code table's list by code, or kNoCode.
    long long listed_code(PyObject* code) const;
    long long start_code() const { return decoded_mode_ ? listed_code(start_.get()) : kNoCode; }

    // Where the chain's object for the listed `code` is kept (null when it
    // is not listed); the object is null until found.
    PyObject** kept_slot(long long code);

    // The chain's object for `value` (the value of the listed `code`, if
    // any): found once per code while the chain's table stays the same.
    PyObject* kept(const NativeApi* api, PyObject* table, long long code, PyObject* value);

    // Replacing empties the chain only once the document has shown it
    // has something to load, or has ended well.
    void flush_clear();

    PyObject* chain_;
    bool replacing_;
    bool pending_clear_;
    ValueSource source_;
    EventNames names_;
    State state_ = State::Top;
    std::size_t skip_depth_ = 0;
    bool saw_chain_ = false;
    Ref last_key_;
    Ref start_;
    Ref table_;
    Ref by_code_;
    bool decoded_mode_ = false;  // the code table is not empty: codes are decoded through it
    bool table_made_here_ = false;  // by the code lane: its array values are tuples
    // For add_row: the chain's objects by integer code (borrowed: the
    // chain's table, held here, holds them) and a row being made.
    Ref kept_table_;
    std::vector<PyObject*> kept_;
    std::vector<PyObject*> row_;
    std::vector<long long> row_codes_;
    static constexpr long long kNoCode = -1;
    static constexpr long long kKept = -2;
    // The lanes: while driven, into the package's chain, an item is first
    // read as what yajl gives, as it is: in decoded mode its codes as small
    // ints (no int object per code), else its strings, each text met
    // before as the chain's object for it (no str made and looked up
    // again). Anything else in it turns it into an item as any other.
    Lane lane_ = Lane::None;        // the lane of the item being read
    Lane lane_ready_ = Lane::None;  // the lane of the last item, not yet added
    std::vector<long long> lane_codes_;
    struct TextCode {
        std::size_t index;  // in the item
        Ref code;
        PyObject* value;  // its value (borrowed from table_)
    };
    std::vector<TextCode> lane_text_codes_;  // the item's str codes
    std::vector<Ref> lane_items_;
    struct Miss {
        std::size_t index;  // in the item
        std::uint64_t hash;
    };
    std::vector<Miss> lane_misses_;  // its texts not met before
    // The hash of the bytes of the text being made into a str, when it was
    // not met before.
    std::optional<std::uint64_t> missed_;
    // The chain's objects (borrowed from kept_table_) for the texts of the
    // plain form.
    KeptTexts texts_{15};
    KeptTexts code_texts_{16};  // the code table's strings, while it is read
    // The code table read natively, for the package's chain while driven.
    CodeLane code_lane_;
    bool start_tuple_ = false;  // an array start is read as a tuple
    std::vector<Ref> start_elements_;
    std::vector<Ref> lane_refs_;
    const NativeApi* lane_api_ = nullptr;  // the package's chain's, found at each block
    bool table_known_ = false;             // kept_table_ is the chain's, within this block
    // Replacing the package's chain through its rows, what is done within
    // a block runs no code of the caller's: the collector is paused for it
    // (else its young collections walk the growing chain again and again),
    // and resumed before the next read and before anything else is called.
    std::optional<CollectorPause> pause_;
    // The bag of the start start_of_bag_, while driven and within a block.
    bool driven_ = false;
    Ref start_bag_;
    Ref start_of_bag_;
    // Rows for the bag of the current start, not added yet (while the
    // collector is paused).
    PendingRows pending_;
    // Declared after pause_: the bags are back in the collector's sight
    // before it runs again.
    RestingBags resting_;
};

}  // namespace
}  // namespace zantu
