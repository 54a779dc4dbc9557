// The streaming reader: its states, one handler each, the values it builds
// (the code table, items, starts), and load_json_big itself.
#include "stream_reader.h"
#include "reader_rows_inl.h"

namespace zantu {
namespace {

inline void StreamReader::run(PyObject* events) {
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

inline void StreamReader::finish() {
    flush_pending();
    if (state_ != State::Done) {
        raise(PyExc_ValueError, state_ == State::Top ? "the document is empty"
                                                     : "the parser's events ended inside the document");
    }
    if (!saw_chain_) raise(PyExc_ValueError, "the document has no \"chain\" array");
    flush_clear();
}

inline void StreamReader::step(const ParserEvent& e) {
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

inline void StreamReader::on_top(const ParserEvent& e) {
    if (e.kind != Event::StartMap) {
        raise(PyExc_ValueError, "the document is not a JSON object (it starts with %s)", event_description(e.kind));
    }
    state_ = State::Members;
}

inline void StreamReader::on_skip(const ParserEvent& e) {
    if (is_open(e.kind)) {
        ++skip_depth_;
    } else if (is_close(e.kind) && --skip_depth_ == 0) {
        state_ = State::Members;
    }
}

inline void StreamReader::on_codes(const ParserEvent& e) {
    pause_for_codes();
    if (code_lane_.active()) {
        if (take_code_event(e)) return;
        code_lane_.spill(source_, source_.value().get());
    }
    if (e.kind == Event::EndArray && source_.depth() == 1) {
        // The list is read before the builder sees its end.
        build_table(source_.value().get());
        code_texts_.clear();
        source_.feed(e);
        state_ = State::Members;
    } else {
        source_.feed(e);
    }
}

inline void StreamReader::on_chain_start(const ParserEvent& e) {
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

inline void StreamReader::on_start(const ParserEvent& e) {
    if (start_tuple_) {
        if (is_scalar(e.kind)) {
            start_elements_.push_back(Ref::borrow(e.number));
            return;
        }
        if (e.kind == Event::EndArray) return end_start_tuple();
        spill_start_tuple();
    }
    source_.feed(e);
    if (source_.depth() == 0) {
        start_ = source_.value();
        state_ = State::ChainBag;
    }
}

inline void StreamReader::on_chain_bag(const ParserEvent& e) {
    if (e.kind == Event::StartArray) {
        state_ = State::BagItem;
    } else if (e.kind == Event::EndArray) {
        raise_odd_chain();
    } else {
        raise(PyExc_ValueError, "expected the bag array of start %.200R in \"chain\", found %s",
              thawed(start_.get()).get(), event_description(e.kind));
    }
}

inline void StreamReader::on_bag_item(const ParserEvent& e) {
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
        raise_not_an_item(thawed(start_.get()).get(), event_description(e.kind));
    }
}

inline void StreamReader::on_item(const ParserEvent& e) {
    if (lane_ != Lane::None) {
        if (e.kind == Event::EndArray) return end_lane();
        if (lane_ == Lane::Codes && e.kind == Event::String) {
            // A str code (the writer codes a value as itself where its
            // text is no longer than its position's digits): held with
            // its value.
            PyObject* value = find_value(e.value);
            if (value != nullptr) {
                lane_text_codes_.push_back({lane_codes_.size(), Ref::borrow(e.value), value});
                lane_codes_.push_back(kNoCode);
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

inline void StreamReader::on_bag_count(const ParserEvent& e) {
    if (e.kind == Event::Number) {
        add_pair(e.number);
        state_ = State::BagItem;
    } else if (e.kind == Event::EndArray) {
        raise_odd_bag(thawed(start_.get()).get());
    } else {
        raise_not_a_count(thawed(start_.get()).get(), event_description(e.kind));
    }
}

inline void StreamReader::on_done(const ParserEvent& e) {
    raise(PyExc_ValueError, "the parser gave %s after the end of the document", event_description(e.kind));
}

inline void StreamReader::member(const ParserEvent& e) {
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
            if (lane_api_ != nullptr) code_lane_.begin();
        } else {
            saw_chain_ = true;
            state_ = State::ChainStart;
        }
    } else if (is_open(e.kind)) {
        skip_depth_ = 1;
        state_ = State::Skip;
    }
}

inline bool StreamReader::key_is(PyObject* name, const char* text) const {
    PyObject* key = last_key_.get();
    if (key == name) return true;
    return key != nullptr && PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, text) == 0;
}

inline void StreamReader::build_table(PyObject* codes) {
    Ref table = read_code_table(codes);
    decoded_mode_ = check_size(PyDict_Size(table.get())) > 0;
    by_code_ = values_by_code(table.get());
    table_ = std::move(table);
    table_made_here_ = false;
    // A later "codes" member gives codes new values: nothing kept by
    // code stands.
    keep_for(Ref());
}

inline bool StreamReader::take_code_event(const ParserEvent& e) {
    switch (e.kind) {
        case Event::EndArray:
            if (!code_lane_.at_top()) {
                code_lane_.close();
                return true;
            }
            decoded_mode_ = code_lane_.finish(table_, by_code_);
            table_made_here_ = true;
            keep_for(Ref());
            code_texts_.clear();
            source_.feed(e);
            state_ = State::Members;
            return true;
        case Event::StartArray: return code_lane_.open();
        case Event::String:
        case Event::Number:
        case Event::Boolean:
        case Event::Null: return code_lane_.scalar(e.number);
        default: return false;
    }
}

inline PyObject* StreamReader::find_value(PyObject* code) const {
    return find_code(table_.get(), by_code_.get(), code);
}

inline PyObject* StreamReader::decode_start() const {
    PyObject* value = find_value(start_.get());
    if (value == nullptr) raise_missing_code(start_.get());
    return value;
}

inline Ref StreamReader::keep_for(Ref table) {
    Ref retired = std::move(kept_table_);
    kept_table_ = std::move(table);
    table_known_ = false;
    kept_.assign(kept_table_ && by_code_ ? size_t(PyList_GET_SIZE(by_code_.get())) : 0, nullptr);
    texts_.clear();
    start_bag_ = Ref();
    return retired;
}

inline void StreamReader::add_pair(PyObject* count) {
    resume();  // the chain's methods may be called
    if (decoded_mode_) {
        Ref decoded_start = Ref::borrow(decode_start());
        // A bound builder's value is read now: the builder goes on to
        // the next item, and a lazy item kept by the chain must still
        // yield its own values when advanced later.
        std::vector<Ref>* codes = item_elements();
        if (codes != nullptr && add_row(decoded_start.get(), *codes, count)) return;
        Ref item = codes ? Ref() : source_.value();
        Ref lazy = new_item_decoder(item.get(), table_.get(), by_code_.get(), codes, table_made_here_);
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

inline void StreamReader::resume() {
    flush_pending();
    pause_.reset();
}

inline void StreamReader::flush_before_error() noexcept {
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

inline void StreamReader::flush_clear() {
    if (!pending_clear_) return;
    pending_clear_ = false;
    table_known_ = false;
    chain_clear(chain_);
}




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
        reader.drive(backend, blocks);
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
