// The streaming reader: follows the events of ijson's basic_parse and hands
// every (item, count) pair of the chain to chain.add_to_bag as soon as its
// count has been read.
#include <cstdint>
#include <optional>
#include <vector>

#include "big.h"
#include "reader_types.h"
#include "reader_values.h"
#include "chain_calls.h"
#include "codes.h"
#include "fast_path.h"
#include "genuine.h"
#include "json_text.h"
#include "kept_texts.h"
#include "pending_rows.h"
#include "native_api.h"
#include "prefetch.h"
#include "yajl_parser.h"

namespace zantu {

namespace {

// ---------------------------------------------------------------------------
// The reader.

enum class Lane : std::uint8_t { None, Codes, Texts };

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
    bool integer(long long value) override {
        if (lane_ == Lane::Codes) {
            lane_codes_.push_back(value);
            // Its kept object is read when the count comes.
            if (PyObject** slot = kept_slot(value)) prefetch(slot);
            return true;
        }
        if (state_ == State::ChainStart && lane_api_ != nullptr) {
            start_ = Ref::check(PyLong_FromLongLong(value));
            state_ = State::ChainBag;
            return true;
        }
        if (lane_ready_ == Lane::None || state_ != State::BagCount) return false;
        if (!add_lane_row(value)) add_pair(Ref::check(PyLong_FromLongLong(value)).get());
        state_ = State::BagItem;
        return true;
    }
    // The brackets of an item in a lane, and of a bag around such items.
    bool bracket(Event kind) noexcept override {
        if (lane_api_ == nullptr) return false;
        if (kind == Event::StartArray) {
            if (state_ == State::ChainBag) {
                state_ = State::BagItem;
                return true;
            }
            Lane lane = lane_for_item();
            if (state_ != State::BagItem || lane == Lane::None) return false;
            start_lane(lane);
            return true;
        }
        if (lane_ != Lane::None) {
            end_lane();
            return true;
        }
        if (state_ != State::BagItem) return false;
        state_ = State::ChainStart;
        return true;
    }
    // A string of an item in a lane, or a start of the plain form, whose
    // text was met already: the chain's object for it (with its code, for a
    // str code). Any other is made into a str.
    bool text(Event kind, std::string_view bytes) override {
        missed_.reset();
        if (lane_api_ == nullptr || kind != Event::String) return false;
        bool start = lane_ == Lane::None && state_ == State::ChainStart;
        if (lane_ == Lane::Codes || (start && decoded_mode_)) return code_text(bytes, start);
        if (lane_ != Lane::Texts && !start) return false;
        std::uint64_t hash = KeptTexts::hash(bytes);
        const KeptTexts::Slot* slot = texts_.find(hash, bytes);
        if (slot == nullptr) {
            if (lane_ != Lane::None) missed_ = hash;
            return false;
        }
        if (start) {
            start_ = Ref::borrow(slot->kept);
            state_ = State::ChainBag;
        } else {
            lane_items_.push_back(Ref::borrow(slot->kept));
        }
        return true;
    }
    // text() for a str code, of an item in the code lane or a start: found
    // by its bytes among the code table's keys (with the chain's object for
    // it, once kept), so that no str is made for it.
    bool code_text(std::string_view bytes, bool start) {
        std::uint64_t hash = KeptTexts::hash(bytes);
        PyObject* key = nullptr;
        if (start) {
            if (str_codes_.find(hash, bytes, &key) == nullptr) return false;
            start_ = Ref::borrow(key);
            state_ = State::ChainBag;
            return true;
        }
        if (const KeptTexts::Slot* slot = code_texts_.find(hash, bytes)) {
            lane_text_codes_.push_back({lane_codes_.size(), slot->text, slot->kept, true, std::nullopt});
        } else if (PyObject* value = str_codes_.find(hash, bytes, &key)) {
            lane_text_codes_.push_back({lane_codes_.size(), Ref::borrow(key), value, false, hash});
        } else {
            missed_ = hash;
            return false;
        }
        lane_codes_.push_back(kNoCode);
        return true;
    }
    // Before each block is read (the caller's code may run in the read);
    // only a driven parse reads blocks itself.
    void block_read() override {
        resume();
        table_known_ = false;
        driven_ = true;
        start_bag_ = Ref();
        lane_api_ = native_chain_api(chain_);
    }

    void run(PyObject* events) {
        Ref it = get_iter(events);
        Ref element, held_event, held_value, held_number;
        while (iter_next(it.get(), element)) {
            PyObject* event;
            PyObject* value;
            PyObject* pair = element.get();
            if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2 && PyTuple_GET_ITEM(pair, 0) != nullptr &&
                PyTuple_GET_ITEM(pair, 1) != nullptr) {
                // Borrowed from the event's tuple, held until the next event.
                event = PyTuple_GET_ITEM(pair, 0);
                value = PyTuple_GET_ITEM(pair, 1);
            } else {
                unpack_pair(pair, held_event, held_value);
                event = held_event.get();
                value = held_value.get();
            }
            Event kind = names_.classify(event);
            // Numbers: the parsers give non-integers as decimal.Decimal, which
            // is not equal to the float that was saved (Decimal("0.1") !=
            // 0.1). The chain gets host floats, as from json.load.
            PyObject* number = value;
            if (kind == Event::Number && !PyLong_CheckExact(value) && !PyFloat_CheckExact(value)) {
                held_number = Ref::check(PyNumber_Float(value));
                number = held_number.get();
            }
            step(ParserEvent{kind, event, value, number});
        }
        finish();
    }

    // The end of the events: the document must have ended, with a chain.
    void finish() {
        flush_pending();
        if (state_ != State::Done) {
            raise(PyExc_ValueError, state_ == State::Top ? "the document is empty"
                                                         : "the parser's events ended inside the document");
        }
        if (!saw_chain_) raise(PyExc_ValueError, "the document has no \"chain\" array");
        flush_clear();
    }

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
    void step(const ParserEvent& e) {
        switch (state_) {
            case State::Top: return on_top(e);
            case State::Members: return member(e);
            case State::Skip: return on_skip(e);
            case State::Codes: return on_codes(e);
            case State::ChainStart: return on_chain_start(e);
            case State::Start: return on_start(e);
            case State::ChainBag: return on_chain_bag(e);
            case State::BagItem: return on_bag_item(e);
            case State::Item: return on_item(e);
            case State::BagCount: return on_bag_count(e);
            case State::Done: return on_done(e);
        }
    }

    // Before the top-level object: only its start.
    void on_top(const ParserEvent& e) {
        if (e.kind != Event::StartMap) {
            raise(PyExc_ValueError, "the document is not a JSON object (it starts with %s)", event_description(e.kind));
        }
        state_ = State::Members;
    }

    // Inside a member that is not read: its end.
    void on_skip(const ParserEvent& e) {
        if (is_open(e.kind)) {
            ++skip_depth_;
        } else if (is_close(e.kind) && --skip_depth_ == 0) {
            state_ = State::Members;
        }
    }

    // Inside the "codes" array: its elements go to the builder.
    void on_codes(const ParserEvent& e) {
        if (e.kind == Event::EndArray && source_.depth() == 1) {
            // The list is read before the builder sees its end.
            build_table(source_.value().get());
            source_.feed(e);
            state_ = State::Members;
        } else {
            source_.feed(e);
        }
    }

    // In "chain", where a start (or the end) comes.
    void on_chain_start(const ParserEvent& e) {
        if (e.kind == Event::EndArray) {
            state_ = State::Members;
        } else if (is_open(e.kind)) {
            source_.feed(e);
            state_ = State::Start;
        } else if (is_scalar(e.kind)) {
            start_ = Ref::borrow(e.number);
            state_ = State::ChainBag;
        } else {
            raise(PyExc_ValueError, "expected a start in \"chain\", found %s", event_description(e.kind));
        }
    }

    // Inside a start that is an array or object.
    void on_start(const ParserEvent& e) {
        source_.feed(e);
        if (source_.depth() == 0) {
            start_ = source_.value();
            state_ = State::ChainBag;
        }
    }

    // Where the bag array of the start comes.
    void on_chain_bag(const ParserEvent& e) {
        if (e.kind == Event::StartArray) {
            state_ = State::BagItem;
        } else if (e.kind == Event::EndArray) {
            raise_odd_chain();
        } else {
            raise(PyExc_ValueError, "expected the bag array of start %.200R in \"chain\", found %s",
                  start_.get(), event_description(e.kind));
        }
    }

    // In a bag array, where an item (or the end) comes.
    void on_bag_item(const ParserEvent& e) {
        if (e.kind == Event::EndArray) {
            state_ = State::ChainStart;
        } else if (e.kind == Event::StartArray) {
            if (Lane lane = lane_for_item(); lane != Lane::None) return start_lane(lane);
            lane_ready_ = Lane::None;
            state_ = State::Item;
            // Decoded items are only read by the lazy item.
            if (decoded_mode_ || (driven_ && native_chain_api(chain_) != nullptr)) source_.allow_elements();
            source_.feed(e);
        } else {
            raise_not_an_item(start_.get(), event_description(e.kind));
        }
    }

    // Inside an item.
    void on_item(const ParserEvent& e) {
        if (lane_ != Lane::None) {
            if (e.kind == Event::EndArray) return end_lane();
            if (lane_ == Lane::Codes && e.kind == Event::String) {
                // A str code (the writer codes a value as itself where its
                // text is no longer than its position's digits): held with
                // its value.
                PyObject* value = find_value(e.value);
                if (value != nullptr) {
                    lane_text_codes_.push_back({lane_codes_.size(), Ref::borrow(e.value), value, false, missed_});
                    lane_codes_.push_back(kNoCode);
                    missed_.reset();
                    return;
                }
            }
            if (lane_ == Lane::Texts && e.kind == Event::String) {
                // A text not met yet: its chain object is remembered once
                // the row is in.
                if (missed_) {
                    lane_misses_.push_back({lane_items_.size(), *missed_});
                    missed_.reset();
                }
                lane_items_.push_back(Ref::borrow(e.value));
                return;
            }
            spill_lane();
        }
        source_.feed(e);
        if (source_.depth() == 0) state_ = State::BagCount;
    }

    // Where the count of the item comes.
    void on_bag_count(const ParserEvent& e) {
        if (e.kind == Event::Number) {
            add_pair(e.number);
            state_ = State::BagItem;
        } else if (e.kind == Event::EndArray) {
            raise_odd_bag(start_.get());
        } else {
            raise_not_a_count(start_.get(), event_description(e.kind));
        }
    }

    // After the top-level object: nothing more.
    void on_done(const ParserEvent& e) {
        raise(PyExc_ValueError, "the parser gave %s after the end of the document", event_description(e.kind));
    }

    // Between the members of the top-level object: a key, or the e.value of
    // the last key.
    void member(const ParserEvent& e) {
        if (e.kind == Event::MapKey) {
            last_key_ = Ref::borrow(e.value);
            return;
        }
        if (e.kind == Event::EndMap) {
            state_ = State::Done;
            return;
        }
        bool codes = key_is(interned().codes, "codes");
        bool chain = !codes && key_is(interned().chain, "chain");
        if (codes || chain) {
            if (e.kind != Event::StartArray) {
                raise(PyExc_ValueError, "\"%s\" is not an array (it is %s)", codes ? "codes" : "chain",
                      event_description(e.kind));
            }
            if (codes) {
                source_.feed(e);
                state_ = State::Codes;
            } else {
                saw_chain_ = true;
                state_ = State::ChainStart;
            }
        } else if (is_open(e.kind)) {
            skip_depth_ = 1;
            state_ = State::Skip;
        }
    }

    bool key_is(PyObject* name, const char* text) const {
        PyObject* key = last_key_.get();
        if (key == name) return true;
        return key != nullptr && PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, text) == 0;
    }

    // The code table: the codes list read two elements at a time.
    void build_table(PyObject* codes) {
        Ref table = read_code_table(codes);
        decoded_mode_ = check_size(PyDict_Size(table.get())) > 0;
        by_code_ = values_by_code(table.get());
        table_ = std::move(table);
        str_codes_.fill(table_.get());
        // A later "codes" member gives codes new values: nothing kept by
        // code stands.
        keep_for(Ref());
    }

    // The value of `code` in the code table (null when it has none), and
    // of the start (MissingCodeError when it has none).
    PyObject* find_value(PyObject* code) const {
        PyObject* value = str_codes_.find(code);
        return value != nullptr ? value : find_code(table_.get(), by_code_.get(), code);
    }
    PyObject* decode_start() const {
        PyObject* value = find_value(start_.get());
        if (value == nullptr) raise_missing_code(start_.get());
        return value;
    }

    // What is kept is of the chain's table `table` from now on: nothing
    // kept before stands (what a row borrowed from the table of before is
    // returned, held, for it to stay alive through the row).
    Ref keep_for(Ref table) {
        Ref retired = std::move(kept_table_);
        kept_table_ = std::move(table);
        table_known_ = false;
        kept_.assign(kept_table_ && by_code_ ? size_t(PyList_GET_SIZE(by_code_.get())) : 0, nullptr);
        texts_.clear();
        code_texts_.clear();
        start_bag_ = Ref();
        return retired;
    }

    // An item and its count: one add_to_bag call, with the start and the
    // item decoded through the code table when it is not empty.
    void add_pair(PyObject* count) {
        resume();  // the chain's methods may be called
        if (decoded_mode_) {
            Ref decoded_start = Ref::borrow(decode_start());
            // A bound builder's value is read now: the builder goes on to
            // the next item, and a lazy item kept by the chain must still
            // yield its own values when advanced later.
            std::vector<Ref>* codes = item_elements();
            if (codes != nullptr && add_row(decoded_start.get(), *codes, count)) return;
            Ref item = codes ? Ref() : source_.value();
            Ref lazy = new_item_decoder(item.get(), table_.get(), by_code_.get(), codes);
            flush_clear();
            chain_add_to_bag(chain_, decoded_start.get(), lazy.get(), count);
        } else {
            std::vector<Ref>* values = item_elements();
            if (values != nullptr && add_row(start_.get(), *values, count)) return;
            Ref item = values ? list_of(*values) : source_.value();
            flush_clear();
            chain_add_to_bag(chain_, start_.get(), item.get(), count);
        }
    }

    // The lane the next item goes in.
    Lane lane_for_item() const {
        if (lane_api_ == nullptr) return Lane::None;
        return decoded_mode_ ? Lane::Codes : Lane::Texts;
    }
    void start_lane(Lane lane) {
        lane_ = lane;
        lane_ready_ = Lane::None;
        lane_codes_.clear();
        lane_text_codes_.clear();
        lane_items_.clear();
        lane_misses_.clear();
        state_ = State::Item;
    }
    void end_lane() {
        lane_ready_ = lane_;
        lane_ = Lane::None;
        state_ = State::BagCount;
    }

    // Something else than the lane takes came in the item: it is assembled
    // from what came so far, then as any other.
    void spill_lane() {
        Lane lane = lane_;
        lane_ = Lane::None;
        source_.allow_elements();
        source_.feed(ParserEvent{Event::StartArray, names_.name(Event::StartArray), Py_None, Py_None});
        for (Ref& element : lane_elements(lane)) {
            Event kind = lane == Lane::Codes ? Event::Number : Event::String;
            source_.feed(ParserEvent{kind, names_.name(kind), element.get(), element.get()});
        }
    }

    // The elements of the lane's item as objects: ints for codes.
    std::vector<Ref>& lane_elements(Lane lane) {
        lane_refs_.clear();
        if (lane == Lane::Texts) {
            lane_refs_.swap(lane_items_);
        } else {
            for (long long code : lane_codes_) lane_refs_.push_back(Ref::check(PyLong_FromLongLong(code)));
            for (const TextCode& text : lane_text_codes_) lane_refs_[text.index] = text.code;
        }
        return lane_refs_;
    }
    // The elements of the last item: of its lane (the lane is done), or
    // as the source kept them (null: see take_elements).
    std::vector<Ref>* item_elements() {
        if (lane_ready_ == Lane::None) return source_.take_elements();
        Lane lane = lane_ready_;
        lane_ready_ = Lane::None;
        return &lane_elements(lane);
    }

    // For the package's own chain, an item of scalars (`elements`: its codes
    // in decoded mode, its values otherwise) and an int count go in as a
    // row of the chain's own objects, which is what add_to_bag makes of
    // them: no lazy item or list, and each value kept once per code. False
    // (and nothing done) where that would differ: an item with a code that
    // is not in the table (the lazy item raises as the chain reads it), or
    // any other count.
    bool add_row(PyObject* decoded_start, const std::vector<Ref>& elements, PyObject* count) {
        const NativeApi* api = native_chain_api(chain_);
        long long n = 0;
        if (api == nullptr || !PyLong_CheckExact(count) || !exact_int_value(count, n)) return false;
        row_.clear();
        row_codes_.clear();
        for (const Ref& element : elements) {
            PyObject* value = decoded_mode_ ? find_value(element.get()) : element.get();
            if (value == nullptr) return false;
            row_.push_back(value);
            row_codes_.push_back(decoded_mode_ ? listed_code(element.get()) : kNoCode);
        }
        put_row(api, decoded_start, n);
        return true;
    }

    // add_row for the item of a lane: of the code lane, its codes all
    // listed in the code table (false, and nothing done, otherwise).
    bool add_lane_row(long long count) {
        const NativeApi* api = lane_api_;
        if (api == nullptr) return false;
        row_.clear();
        row_codes_.clear();
        if (lane_ready_ == Lane::Texts) {
            for (const Ref& item : lane_items_) {
                row_.push_back(item.get());
                row_codes_.push_back(kKept);
            }
            for (const Miss& miss : lane_misses_) row_codes_[miss.index] = kNoCode;
            lane_ready_ = Lane::None;
            put_row(api, start_.get(), count);
            for (const Miss& miss : lane_misses_) texts_.put(miss.hash, row_[miss.index], row_[miss.index]);
            return true;
        }
        if (defer_lane_row(count)) return true;
        Py_ssize_t listed = PyList_GET_SIZE(by_code_.get());
        auto text = lane_text_codes_.begin();
        for (size_t k = 0; k < lane_codes_.size(); ++k) {
            if (text != lane_text_codes_.end() && text->index == k) {
                row_.push_back(text->value);
                row_codes_.push_back(text->kept ? kKept : kNoCode);
                ++text;
                continue;
            }
            // The chain's object for the code when kept already (it stands
            // for the value), else the value.
            long long code = lane_codes_[k];
            PyObject** slot = kept_slot(code);
            PyObject* value = slot != nullptr ? *slot : nullptr;
            if (value == nullptr && code >= 0 && code < listed) value = PyList_GET_ITEM(by_code_.get(), Py_ssize_t(code));
            if (value == nullptr || value == Py_None) return false;
            row_.push_back(value);
            row_codes_.push_back(code);
        }
        // The start is decoded when its bag is not known yet.
        PyObject* decoded_start = has_start_bag() ? nullptr : decode_start();
        lane_ready_ = Lane::None;
        put_row(api, decoded_start, count);
        for (const TextCode& text : lane_text_codes_) {
            if (text.missed) code_texts_.put(*text.missed, text.code.get(), row_[text.index]);
        }
        return true;
    }

    // The row made of row_ (values) and row_codes_ (their listed codes, or
    // kNoCode, or kKept for the chain's own objects), with the count `n`,
    // into the chain at the start `decoded_start` (null: decoded here when
    // needed).
    void put_row(const NativeApi* api, PyObject* decoded_start, long long n) {
        Ref held_start = Ref::borrow(decoded_start);  // the table may go in the clear
        flush_clear();
        if (api == lane_api_ && replacing_ && !pause_) pause_.emplace();
        // The chain's table, looked up once per block while driven (only the
        // caller's code, which runs between blocks, can change it).
        bool same_table = table_known_ && api == lane_api_;
        Ref retired;
        if (!same_table) {
            flush_pending();  // its values are of the table known before
            Ref current = Ref::check(api->chain_table(chain_));
            same_table = current.get() == kept_table_.get();
            if (!same_table) retired = keep_for(current);
            table_known_ = api == lane_api_;
        }
        Ref table = kept_table_;
        for (size_t k = 0; k < row_.size(); ++k) {
            if (row_codes_[k] != kKept || !same_table) row_[k] = kept(api, table.get(), row_codes_[k], row_[k]);
        }
        if (decoded_start == nullptr && !has_start_bag()) {
            decoded_start = decode_start();
        }
        Ref bag = bag_of_start(api, table.get(), decoded_start);
        if (Py_IS_TYPE(bag.get(), api->bag_type)) {
            if (defer_row(api, bag, table, n)) return;
            flush_pending();
            if (api->bag_add_row(bag.get(), table.get(), row_.data(), Py_ssize_t(row_.size()), n) < 0) throw PyError();
            return;
        }
        resume();  // a bag of another type gets its own add
        if (decoded_start == nullptr) decoded_start = decode_start();
        PyObject* start = kept(api, table.get(), start_code(), decoded_start);
        if (api->chain_add_row(chain_, table.get(), start, row_.data(), Py_ssize_t(row_.size()), n) < 0) {
            throw PyError();
        }
    }

    // Defers the row in row_ (count `n`) for `bag`, the bag of the current
    // start, when nothing of the caller's can run before the pending rows are
    // added (see pending_): true when deferred.
    bool defer_row(const NativeApi* api, const Ref& bag, const Ref& table, long long n) {
        if (!may_defer(n) || bag.get() != start_bag_.get()) return false;
        Py_ssize_t width = Py_ssize_t(row_.size());
        if (!pending_.takes(bag.get(), table.get(), width)) pending_.start(api, bag, table, width);
        pending_.add(row_, std::uint32_t(n));
        return true;
    }

    // The usual row of the code lane deferred as it is, where put_row would
    // find nothing to look up or decide: rows are pending for the start's
    // bag, in this table, of this width, and each code's object is kept.
    bool defer_lane_row(long long count) {
        if (!may_defer(count) || !table_known_ || pending_.empty() || !has_start_bag() || !lane_text_codes_.empty() ||
            !pending_.takes(start_bag_.get(), kept_table_.get(), Py_ssize_t(lane_codes_.size()))) {
            return false;
        }
        size_t before = pending_.values_now();
        for (long long code : lane_codes_) {
            PyObject** slot = kept_slot(code);
            PyObject* known = slot != nullptr ? *slot : nullptr;
            if (known == nullptr) {
                pending_.drop_values(before);
                return false;
            }
            pending_.push_value(known);
        }
        pending_.end_row(std::uint32_t(count));
        lane_ready_ = Lane::None;
        return true;
    }

    // Whether a row of count `n` may be deferred: nothing of the caller's runs
    // until the pending rows go in, and the count is a small one.
    bool may_defer(long long n) const { return pause_ && n >= 0 && n <= static_cast<long long>(UINT32_MAX); }

    void flush_pending() { pending_.flush(); }

    // Before anything of the caller's may run: the pending rows go in, and the
    // collector goes on.
    void resume() {
        flush_pending();
        pause_.reset();
    }

public:
    // On the way out with an error: the pending rows go in, as they would have
    // gone before the error came; the error stays the one raised.
    void flush_before_error() noexcept {
        if (pending_.empty()) return;
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        try {
            flush_pending();
        } catch (...) {
            PyErr_Clear();
        }
        PyErr_Restore(type, value, traceback);
    }

private:
    // The chain's bag of the current start. The pairs of one start come
    // together: while nothing of the caller's can have run (within a block
    // of the driven parse), the bag found for the first is the bag of the
    // rest.
    bool has_start_bag() const { return start_bag_ && start_of_bag_.get() == start_.get(); }
    Ref bag_of_start(const NativeApi* api, PyObject* table, PyObject* decoded_start) {
        if (has_start_bag()) return start_bag_;
        PyObject* start = kept(api, table, start_code(), decoded_start);
        Ref bag = Ref::check(api->chain_bag_of(chain_, table, start));
        if (driven_) {
            start_bag_ = bag;
            start_of_bag_ = start_;
        }
        return bag;
    }

    // The index of `code` in the code table's list by code, or kNoCode.
    long long listed_code(PyObject* code) const {
        long long i = kNoCode;
        if (!PyLong_CheckExact(code) || !exact_int_value(code, i) || i < 0 || i >= PyList_GET_SIZE(by_code_.get())) {
            return kNoCode;
        }
        return i;
    }
    long long start_code() const { return decoded_mode_ ? listed_code(start_.get()) : kNoCode; }

    // Where the chain's object for the listed `code` is kept (null when it
    // is not listed); the object is null until found.
    PyObject** kept_slot(long long code) {
        return code >= 0 && size_t(code) < kept_.size() ? &kept_[size_t(code)] : nullptr;
    }

    // The chain's object for `value` (the value of the listed `code`, if
    // any): found once per code while the chain's table stays the same.
    PyObject* kept(const NativeApi* api, PyObject* table, long long code, PyObject* value) {
        PyObject** slot = kept_slot(code);
        if (slot != nullptr && *slot != nullptr) return *slot;
        PyObject* k = api->chain_keep(chain_, table, value);
        if (k == nullptr) throw PyError();
        if (slot != nullptr) *slot = k;
        return k;
    }

    // Replacing empties the chain only once the document has shown it
    // has something to load, or has ended well.
    void flush_clear() {
        if (!pending_clear_) return;
        pending_clear_ = false;
        table_known_ = false;
        chain_clear(chain_);
    }

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
        PyObject* value;  // its value (borrowed from table_), or
        bool kept;        // the chain's object for it (from code_texts_)
        std::optional<std::uint64_t> missed;  // the hash of its bytes, when not met before
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
    // plain form, and for the str codes.
    KeptTexts texts_{15};
    KeptTexts code_texts_{12};
    KeyTexts str_codes_;  // the code table's str codes
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
};

}  // namespace


// ijson's own parsers read the file in blocks and turn each block into a
// batch of event tuples before handing out the first. With its default
// 64 KiB blocks, a batch of some ten thousand tuples sets the cyclic
// collector off and outlives its young collections, which then walk the
// growing chain far more often: up to a fifth of a load went to the
// collector. Blocks of 2 KiB keep a batch near the collector's threshold
// (a parser bound in ijson's place is called with the file alone).
// zantu.pycodec and the benchmark's parse-alone baseline use the same size.
constexpr long kParserBlock = 2048;
constexpr long kDefaultBlock = 64 * 1024;  // what ijson's basic_parse reads otherwise

// The yajl backend whose parse the reader drives itself for `source` (see
// yajl_parser.h), or 0: only while ijson's own ObjectBuilder is bound and
// the reader assembles values itself.
int driven_backend(PyObject* module, PyObject* basic_parse, PyObject* source) {
    if (!fast_path(FastPath::native_builder) || !plain_source(source)) return 0;
    int backend = yajl_backend_of(basic_parse);
    if (backend == 0) return 0;
    PyObject* builder_class = dict_entry(PyModule_GetDict(module), interned().ObjectBuilder);
    return is_ijson_object_builder(builder_class) ? backend : 0;
}


void load_json_big(PyObject* module, PyObject* chain, PyObject* file, PyObject* merge) {
    bool merging = check_status(PyObject_IsTrue(merge));
    Ref source = parser_source(file);
    Ref basic_parse = ijson_basic_parse_function(module);
    if (int backend = driven_backend(module, basic_parse.get(), source.get())) {
        // As the backend's basic_parse reads: a probe of the source (which
        // gives bytes), then blocks of the size it would ask for.
        Ref probe = Ref::check(PyLong_FromLong(0));
        call_method(interned().read, source.get(), probe.get());
        long block = fast_path(FastPath::parser_blocks) && is_ijson_basic_parse(basic_parse.get()) ? kParserBlock
                                                                                                  : kDefaultBlock;
        StreamReader reader(chain, merging, Ref(), true);
        FileBlocks blocks(source.get(), block);
        try {
            parse_with_yajl(backend, blocks, reader);
            reader.finish();
        } catch (...) {
            reader.flush_before_error();
            throw;
        }
        return;
    }
    Ref events = ijson_basic_parse(basic_parse.get(), source.get(), kParserBlock);
    Ref builder_class = module_global(module, interned().ObjectBuilder);
    bool genuine_builder = is_ijson_object_builder(builder_class.get());
    Ref builder;
    if (!genuine_builder || !fast_path(FastPath::native_builder)) builder = call(builder_class.get());
    StreamReader reader(chain, merging, std::move(builder), genuine_builder);
    reader.run(events.get());
}

}  // namespace zantu
