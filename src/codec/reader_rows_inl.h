// The streaming reader's ways straight into the package's chain: the yajl
// callbacks of the driven parse with their lanes (an item read as yajl gives
// it, without an object per code or text met before), and the rows put in
// the bags, held while nothing of the caller's can run.
//
// Compiled with big_reader.cpp, which includes this file (see
// stream_reader.h): apart, with the class's members out of line, the driven
// load took 7% more instructions.
#pragma once

#include "stream_reader.h"

namespace zantu {
namespace {

// Here, where its callbacks are, for them to be inlined into the parse's.
inline void StreamReader::drive(int backend, FileBlocks& blocks) {
    try {
        parse_with_yajl(backend, blocks, *this);
        finish();
    } catch (...) {
        flush_before_error();
        throw;
    }
}

inline bool StreamReader::integer(long long value) {
    if (state_ == State::Codes && code_lane_.active()) {
        pause_for_codes();
        code_lane_.integer(value);
        return true;
    }
    if (state_ == State::Start && start_tuple_) {
        start_elements_.push_back(Ref::check(PyLong_FromLongLong(value)));
        return true;
    }
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

inline bool StreamReader::bracket(Event kind) {
    if (lane_api_ == nullptr) return false;
    if (state_ == State::Codes && code_lane_.active()) {
        // The table's own end, and what the lane cannot take, go the usual way.
        if (kind == Event::EndArray && code_lane_.at_top()) return false;
        pause_for_codes();
        if (kind == Event::StartArray) return code_lane_.open();
        code_lane_.close();
        return true;
    }
    if (state_ == State::Start && start_tuple_) {
        // A nested array goes the usual way; the end makes the start.
        if (kind == Event::StartArray) return false;
        end_start_tuple();
        return true;
    }
    if (kind == Event::StartArray) {
        if (state_ == State::ChainBag) {
            state_ = State::BagItem;
            return true;
        }
        if (state_ == State::ChainStart && !decoded_mode_) {
            begin_start_tuple();
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

inline bool StreamReader::text(Event kind, std::string_view bytes) {
    missed_.reset();
    if (lane_api_ == nullptr || kind != Event::String) return false;
    if (state_ == State::Codes && code_lane_.active()) {
        // Where the str cannot be made, the usual way makes it again and
        // reports the failure as the backend does.
        Ref made = string_value(bytes);
        if (!made) {
            PyErr_Clear();
            return false;
        }
        pause_for_codes();
        return code_lane_.scalar(made.get());
    }
    // A text of the plain form: a start, an element of one, or a next
    // state's text.
    bool start = lane_ == Lane::None && state_ == State::ChainStart && !decoded_mode_;
    bool in_start = state_ == State::Start && start_tuple_;
    if (lane_ != Lane::Texts && !start && !in_start) return false;
    std::uint64_t hash = KeptTexts::hash(bytes);
    const KeptTexts::Slot* slot = texts_.find(hash, bytes);
    if (slot == nullptr) {
        if (lane_ != Lane::None) missed_ = hash;
        return false;
    }
    if (in_start) {
        start_elements_.push_back(Ref::borrow(slot->kept));
    } else if (start) {
        start_ = Ref::borrow(slot->kept);
        state_ = State::ChainBag;
    } else {
        lane_items_.push_back(Ref::borrow(slot->kept));
    }
    return true;
}

inline Ref StreamReader::string_value(std::string_view bytes) {
    bool shared = state_ == State::Codes && lane_api_ != nullptr;
    std::uint64_t hash = 0;
    if (shared) {
        hash = KeptTexts::hash(bytes);
        if (const KeptTexts::Slot* slot = code_texts_.find(hash, bytes)) return Ref::borrow(slot->kept);
    }
    Ref made = Ref::steal(PyUnicode_DecodeUTF8(bytes.data(), Py_ssize_t(bytes.size()), "strict"));
    if (shared && made) code_texts_.put(hash, made.get(), made.get());
    return made;
}

inline void StreamReader::begin_start_tuple() {
    start_tuple_ = true;
    start_elements_.clear();
    state_ = State::Start;
}

inline void StreamReader::end_start_tuple() {
    // Made natively, perhaps in a block of its own, the tuple runs no code
    // of the caller's: the collector rests as it does for the rows, once
    // the chain was emptied (its bags' release may run the caller's code).
    if (replacing_ && !pending_clear_ && !pause_) pause_.emplace();
    start_tuple_ = false;
    start_ = make_tuple(start_elements_);
    state_ = State::ChainBag;
}

inline void StreamReader::spill_start_tuple() {
    start_tuple_ = false;
    feed_array_of(start_elements_);
    start_elements_.clear();
}

inline void StreamReader::feed_array_of(const std::vector<Ref>& elements) {
    source_.feed(ParserEvent{Event::StartArray, names_.name(Event::StartArray), Py_None, Py_None});
    for (const Ref& element : elements) {
        PyObject* v = element.get();
        Event kind = PyUnicode_Check(v) ? Event::String
                     : PyBool_Check(v)  ? Event::Boolean
                     : v == Py_None     ? Event::Null
                                        : Event::Number;
        source_.feed(ParserEvent{kind, names_.name(kind), v, v});
    }
}

inline void StreamReader::block_read() {
    resume();
    table_known_ = false;
    driven_ = true;
    start_bag_ = Ref();
    lane_api_ = native_chain_api(chain_);
}

inline Lane StreamReader::lane_for_item() const {
    if (lane_api_ == nullptr) return Lane::None;
    return decoded_mode_ ? Lane::Codes : Lane::Texts;
}

inline void StreamReader::start_lane(Lane lane) {
    lane_ = lane;
    lane_ready_ = Lane::None;
    lane_codes_.clear();
    lane_text_codes_.clear();
    lane_items_.clear();
    lane_misses_.clear();
    state_ = State::Item;
}

inline void StreamReader::end_lane() {
    lane_ready_ = lane_;
    lane_ = Lane::None;
    state_ = State::BagCount;
}

inline void StreamReader::spill_lane() {
    Lane lane = lane_;
    lane_ = Lane::None;
    source_.allow_elements();
    feed_array_of(lane_elements(lane));
}

inline std::vector<Ref>& StreamReader::lane_elements(Lane lane) {
    lane_refs_.clear();
    if (lane == Lane::Texts) {
        lane_refs_.swap(lane_items_);
    } else {
        for (long long code : lane_codes_) lane_refs_.push_back(Ref::check(PyLong_FromLongLong(code)));
        for (const TextCode& text : lane_text_codes_) lane_refs_[text.index] = text.code;
    }
    return lane_refs_;
}

inline std::vector<Ref>* StreamReader::item_elements() {
    if (lane_ready_ == Lane::None) return source_.take_elements();
    Lane lane = lane_ready_;
    lane_ready_ = Lane::None;
    return &lane_elements(lane);
}

inline bool StreamReader::add_row(PyObject* decoded_start, const std::vector<Ref>& elements, PyObject* count) {
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

inline bool StreamReader::add_lane_row(long long count) {
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
            row_codes_.push_back(kNoCode);
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
    return true;
}

inline void StreamReader::put_row(const NativeApi* api, PyObject* decoded_start, long long n) {
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
    // A bag of another type gets its own add, with the values as the
    // document has them (an array as a list), as the chain's add_to_bag
    // hands them on.
    resume();
    if (decoded_start == nullptr) decoded_start = decode_start();
    Ref item = Ref::check(PyList_New(Py_ssize_t(row_.size())));
    for (size_t k = 0; k < row_.size(); ++k) PyList_SET_ITEM(item.get(), Py_ssize_t(k), thawed(row_[k]).release());
    Ref count = Ref::check(PyLong_FromLongLong(n));
    chain_add_to_bag(chain_, decoded_start, item.get(), count.get());
}

inline bool StreamReader::defer_row(const NativeApi* api, const Ref& bag, const Ref& table, long long n) {
    if (!may_defer(n) || bag.get() != start_bag_.get()) return false;
    Py_ssize_t width = Py_ssize_t(row_.size());
    if (!pending_.takes(bag.get(), table.get(), width)) pending_.start(api, bag, table, width);
    pending_.add(row_, std::uint32_t(n));
    return true;
}

inline bool StreamReader::defer_lane_row(long long count) {
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

inline Ref StreamReader::bag_of_start(const NativeApi* api, PyObject* table, PyObject* decoded_start) {
    if (has_start_bag()) return start_bag_;
    PyObject* start = kept(api, table, start_code(), decoded_start);
    Ref bag = Ref::check(api->chain_bag_of(chain_, table, start));
    if (Py_IS_TYPE(bag.get(), api->bag_type) && fast_path(FastPath::resting_bags)) resting_.rest(bag);
    if (driven_) {
        start_bag_ = bag;
        start_of_bag_ = start_;
    }
    return bag;
}

inline long long StreamReader::listed_code(PyObject* code) const {
    long long i = kNoCode;
    if (!PyLong_CheckExact(code) || !exact_int_value(code, i) || i < 0 || i >= PyList_GET_SIZE(by_code_.get())) {
        return kNoCode;
    }
    return i;
}

inline PyObject** StreamReader::kept_slot(long long code) {
    return code >= 0 && size_t(code) < kept_.size() ? &kept_[size_t(code)] : nullptr;
}

inline PyObject* StreamReader::kept(const NativeApi* api, PyObject* table, long long code, PyObject* value) {
    PyObject** slot = kept_slot(code);
    if (slot != nullptr && *slot != nullptr) return *slot;
    PyObject* k = api->chain_keep(chain_, table, value);
    if (k == nullptr) throw PyError();
    if (slot != nullptr) *slot = k;
    return k;
}

}  // namespace
}  // namespace zantu
