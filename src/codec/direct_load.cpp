#include "direct_load.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "chain_calls.h"
#include "codes.h"
#include "native_api.h"
#include "number_text.h"
#include "probe_table.h"

namespace zantu {
namespace {

// The document as read: the codes array as the JSON library would have
// made it, and the chain array as numbers. A code of the chain array is
// an integer, or a str (a value that is its own code): those are kept
// once each in `literals`, and stand as -1 - their index there.
struct Plan {
    std::vector<Ref> by_code;         // the value of each integer code; null: none
    Ref named;                        // dict: str code -> value
    Ref literals;                     // list of strs
    std::unordered_map<std::string, long long> literal_index;  // by the JSON text
    std::vector<long long> starts;    // start code of each entry
    std::vector<size_t> bag_ends;     // end (in pairs) of each entry's bag
    std::vector<size_t> item_ends;    // end (in item_codes) of each pair's item
    std::vector<long long> item_codes;
    std::vector<long long> counts;
};

// A string met in the code table's values, by its text in the document
// (escapes and all): its str, held by the reader.
struct SeenText {
    uint64_t raw_hash = 0;
    std::string_view raw;
    PyObject* text = nullptr;
    long long code = -1;  // in the plain form, its code among the values by code
    bool empty() const { return text == nullptr; }
    size_t hash() const { return size_t(raw_hash); }
};

// Reads the text of a document that holds nothing but what a writer of
// ours writes: "codes" then "chain", integers within 64 bits, strings,
// nulls, booleans and arrays of these. Anything else (or anything this
// reader is not sure to read as the JSON library would) and it gives up:
// false, with nothing raised.
class Reader {
public:
    Reader(const char* text, size_t size) : at_(text), end_(text + size) {}

    bool document(Plan& plan) {
        plan.named = Ref::check(PyDict_New());
        plan.literals = Ref::check(PyList_New(0));
        return literal('{') && key("codes") && codes(plan) && literal(',') && key("chain") && chain(plan) &&
               literal('}') && (space(), at_ == end_);
    }

private:
    void space() {
        while (at_ < end_ && (*at_ == ' ' || *at_ == '\n' || *at_ == '\r' || *at_ == '\t')) ++at_;
    }

    bool literal(char c) {
        space();
        if (at_ == end_ || *at_ != c) return false;
        ++at_;
        return true;
    }

    // The next character after spaces, without taking it.
    char peek() {
        space();
        return at_ < end_ ? *at_ : '\0';
    }

    bool key(const char* name) {
        size_t n = std::strlen(name);
        if (!literal('"') || size_t(end_ - at_) < n + 1 || std::memcmp(at_, name, n) != 0 || at_[n] != '"') {
            return false;
        }
        at_ += n + 1;
        return literal(':');
    }

    // An integer with at most 18 digits (anything longer goes to the
    // JSON library with the rest of the document).
    bool integer(long long& out) {
        space();
        NumberText number = scan_number(at_, end_);
        if (number.end == at_ || !number.integral || !small_integer(at_, number.end, out)) return false;
        at_ = number.end;
        return true;
    }

    static int hex_digit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    bool hex4(const char* p, unsigned& out) {
        if (end_ - p < 4) return false;
        out = 0;
        for (int k = 0; k < 4; ++k) {
            int d = hex_digit(p[k]);
            if (d < 0) return false;
            out = out * 16 + unsigned(d);
        }
        return true;
    }

    static void put_utf8(std::string& out, unsigned cp) {
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | (cp >> 6));
            out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += char(0xE0 | (cp >> 12));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xF0 | (cp >> 18));
            out += char(0x80 | ((cp >> 12) & 0x3F));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    }

    // The escape at at_ (its backslash) onto `out`: JSON's own escapes, a
    // \u surrogate only in a pair.
    bool escape(std::string& out) {
        if (end_ - at_ < 2) return false;
        char e = at_[1];
        at_ += 2;
        switch (e) {
            case '"': out += '"'; return true;
            case '\\': out += '\\'; return true;
            case '/': out += '/'; return true;
            case 'b': out += '\b'; return true;
            case 'f': out += '\f'; return true;
            case 'n': out += '\n'; return true;
            case 'r': out += '\r'; return true;
            case 't': out += '\t'; return true;
            case 'u': break;
            default: return false;
        }
        unsigned cp;
        if (!hex4(at_, cp)) return false;
        at_ += 4;
        if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            unsigned low;
            if (end_ - at_ < 6 || at_[0] != '\\' || at_[1] != 'u' || !hex4(at_ + 2, low) || low < 0xDC00 ||
                low > 0xDFFF) {
                return false;
            }
            at_ += 6;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        put_utf8(out, cp);
        return true;
    }

    // A string: its UTF-8 must be valid, its escapes JSON's own. With
    // `seen`, a string met before (the same text) is the same object, and
    // `*seen` is its slot.
    bool string(Ref& out, SeenText** seen = nullptr) {
        if (!literal('"')) return false;
        const char* start = at_;
        std::string unescaped;
        bool escaped = false;
        while (true) {
            // The plain run, then what ends it.
            while (at_ != end_ && static_cast<unsigned char>(*at_) >= 0x20 && *at_ != '"' && *at_ != '\\') {
                if (escaped) unescaped += *at_;
                ++at_;
            }
            if (at_ == end_ || static_cast<unsigned char>(*at_) < 0x20) return false;
            if (*at_ == '"') break;
            if (!escaped) {
                unescaped.assign(start, at_);
                escaped = true;
            }
            if (!escape(unescaped)) return false;
        }
        const char* stop = at_;
        ++at_;
        std::string_view raw(start, size_t(stop - start));
        SeenText* slot = nullptr;
        if (seen != nullptr) {
            uint64_t hash = raw_hash(raw);
            slot = &seen_.slot_for(size_t(hash), [&](const SeenText& s) { return s.raw_hash == hash && s.raw == raw; });
            *seen = slot;
            if (!slot->empty()) {
                out = Ref::borrow(slot->text);
                return true;
            }
            slot->raw_hash = hash;
            slot->raw = raw;
        }
        PyObject* text = escaped ? PyUnicode_DecodeUTF8(unescaped.data(), Py_ssize_t(unescaped.size()), "strict")
                                 : PyUnicode_DecodeUTF8(start, Py_ssize_t(stop - start), "strict");
        if (text == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw PyError();
            PyErr_Clear();
            return false;
        }
        out = Ref::steal(text);
        if (slot != nullptr) {
            slot->text = text;
            seen_.added();
            seen_held_.push_back(Ref::borrow(text));
        }
        return true;
    }

    // A hash of a string's text in the document, eight bytes at a time.
    static uint64_t raw_hash(std::string_view raw) {
        uint64_t h = 0x9E3779B97F4A7C15ull ^ raw.size();
        size_t i = 0;
        for (; i + 8 <= raw.size(); i += 8) {
            uint64_t word;
            std::memcpy(&word, raw.data() + i, 8);
            h = (h ^ word) * 0xff51afd7ed558ccdull;
            h ^= h >> 32;
        }
        if (i < raw.size()) {
            uint64_t word = 0;
            std::memcpy(&word, raw.data() + i, raw.size() - i);
            h = (h ^ word) * 0xc4ceb9fe1a85ec53ull;
        }
        return h ^ (h >> 29);
    }

    // A value of the code table: a string, an integer, null, true, false,
    // or an array of these (made the tuple the chain would freeze it to;
    // nested at most kDeepest deep).
    static constexpr int kDeepest = 32;
    bool value(Ref& out, int depth = 0) {
        char c = peek();
        SeenText* slot = nullptr;
        if (c == '"') return string(out, &slot);
        if (c == 'n' || c == 't' || c == 'f') {
            const char* word = c == 'n' ? "null" : c == 't' ? "true" : "false";
            size_t n = std::strlen(word);
            if (size_t(end_ - at_) < n || std::memcmp(at_, word, n) != 0) return false;
            at_ += n;
            out = Ref::borrow(c == 'n' ? Py_None : c == 't' ? Py_True : Py_False);
            return true;
        }
        if (c != '[') {
            long long n;
            if (!integer(n)) return false;
            out = Ref::check(PyLong_FromLongLong(n));
            return true;
        }
        if (depth == kDeepest) return false;
        ++at_;
        // The items of every array being read, on one stack.
        size_t base = items_.size();
        if (peek() != ']') {
            do {
                Ref item;
                if (!value(item, depth + 1)) return false;
                items_.push_back(std::move(item));
            } while (literal(','));
        }
        if (!literal(']')) return false;
        out = Ref::check(PyTuple_New(Py_ssize_t(items_.size() - base)));
        for (size_t k = base; k < items_.size(); ++k) {
            PyTuple_SET_ITEM(out.get(), Py_ssize_t(k - base), items_[k].release());
        }
        items_.resize(base);
        return true;
    }

    // The code table: each code (an integer, at most about twice the
    // table's size, or a string; anything else is for the full path) and
    // its value; a code given twice has its last value, as in a dict.
    bool codes(Plan& plan) {
        if (!literal('[')) return false;
        // No code table: the plain form, whose values are the document's own.
        if (peek() == ']') {
            plain_ = true;
            return literal(']');
        }
        std::vector<std::pair<long long, Ref>> numbered;
        do {
            Ref code, value;
            long long number = -1;
            if (peek() == '"') {
                if (!string(code)) return false;
            } else if (!integer(number) || number < 0) {
                return false;
            }
            if (!literal(',') || !this->value(value)) return false;
            if (code) {
                check_status(PyDict_SetItem(plan.named.get(), code.get(), value.get()));
            } else {
                numbered.emplace_back(number, std::move(value));
            }
        } while (literal(','));
        if (!literal(']')) return false;
        long long limit = 2 * (static_cast<long long>(numbered.size()) + PyDict_GET_SIZE(plan.named.get())) + 16;
        for (auto& [number, value] : numbered) {
            if (number >= limit) return false;
            if (size_t(number) >= plan.by_code.size()) plan.by_code.resize(size_t(number) + 1);
            plan.by_code[size_t(number)] = std::move(value);
        }
        return true;
    }

    // A code of the chain array: an integer (never negative: those stand
    // for the strs here, and the writers write none), or a str. In the
    // plain form, a value: kept among the values by code, at the end.
    bool code(Plan& plan, long long& out) {
        if (plain_) {
            // A string is one code however often it comes.
            Ref value;
            SeenText* slot = nullptr;
            if (peek() == '"' ? !string(value, &slot) : !this->value(value)) return false;
            if (slot != nullptr && slot->code >= 0) {
                out = slot->code;
                return true;
            }
            out = static_cast<long long>(plan.by_code.size());
            plan.by_code.push_back(std::move(value));
            if (slot != nullptr) slot->code = out;
            return true;
        }
        if (peek() != '"') return integer(out) && out >= 0;
        const char* start = at_;
        Ref text;
        if (!string(text)) return false;
        auto found = plan.literal_index.emplace(std::string(start, at_), PyList_GET_SIZE(plan.literals.get()));
        if (found.second) check_status(PyList_Append(plan.literals.get(), text.get()));
        out = -1 - found.first->second;
        return true;
    }

    bool item(Plan& plan) {
        if (!literal('[')) return false;
        if (peek() != ']') {
            do {
                long long code;
                if (!this->code(plan, code)) return false;
                plan.item_codes.push_back(code);
            } while (literal(','));
        }
        plan.item_ends.push_back(plan.item_codes.size());
        return literal(']');
    }

    bool bag(Plan& plan) {
        if (!literal('[')) return false;
        if (peek() != ']') {
            do {
                long long count;
                if (!item(plan) || !literal(',') || !integer(count)) return false;
                plan.counts.push_back(count);
            } while (literal(','));
        }
        plan.bag_ends.push_back(plan.counts.size());
        return literal(']');
    }

    bool chain(Plan& plan) {
        if (!literal('[')) return false;
        if (peek() == ']') return literal(']');
        do {
            long long start;
            if (!code(plan, start) || !literal(',') || !bag(plan)) return false;
            plan.starts.push_back(start);
        } while (literal(','));
        return literal(']');
    }

    const char* at_;
    const char* end_;
    // The strs of the code table's values by their text: a word is one
    // object in all the states it is part of.
    ProbeTable<SeenText> seen_{1024};
    std::vector<Ref> seen_held_;
    std::vector<Ref> items_;
    bool plain_ = false;  // the code table is empty
};

// The bytes of what file.read() gave: bytes, or a str as UTF-8.
bool text_bytes(PyObject* text, const char*& data, size_t& size) {
    if (PyBytes_CheckExact(text)) {
        data = PyBytes_AS_STRING(text);
        size = size_t(PyBytes_GET_SIZE(text));
        return true;
    }
    if (PyUnicode_CheckExact(text)) {
        Py_ssize_t n = 0;
        data = PyUnicode_AsUTF8AndSize(text, &n);
        if (data == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PyError();
            PyErr_Clear();
            return false;
        }
        size = size_t(n);
        return true;
    }
    return false;
}

// Whether every code used has a value: an integer one of the plan's
// values by code, a str one of its named codes (their values go to
// `literal_values`, in the order of plan.literals). False when one is
// missing: the full path then says what is wrong.
bool resolve(const Plan& plan, std::vector<PyObject*>& literal_values) {
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(plan.literals.get()); ++k) {
        PyObject* value = PyDict_GetItemWithError(plan.named.get(), PyList_GET_ITEM(plan.literals.get(), k));
        if (value == nullptr) {
            if (PyErr_Occurred()) throw PyError();
            return false;
        }
        literal_values.push_back(value);
    }
    auto known = [&](long long code) {
        return code < 0 || (size_t(code) < plan.by_code.size() && plan.by_code[size_t(code)]);
    };
    for (long long code : plan.starts) {
        if (!known(code)) return false;
    }
    for (long long code : plan.item_codes) {
        if (!known(code)) return false;
    }
    return true;
}

// Fills the chain as load_json_small without merge does: cleared, then a
// bag per entry with its pairs added, installed with set_bag.
void fill(const NativeApi* api, PyObject* chain, const Plan& plan, const std::vector<PyObject*>& literal_values,
          std::optional<CollectorPause>& pause) {
    pause.reset();
    if (api->chain_clear(chain) < 0) throw PyError();
    if (check_size(PyObject_Size(chain)) == 0) pause.emplace();
    Ref table = Ref::check(api->chain_table(chain));
    std::vector<PyObject*> kept(plan.by_code.size(), nullptr);
    std::vector<PyObject*> kept_literals(literal_values.size(), nullptr);
    auto value_of = [&](long long code) {
        bool literal = code < 0;
        size_t index = literal ? size_t(-1 - code) : size_t(code);
        PyObject*& k = literal ? kept_literals[index] : kept[index];
        if (k == nullptr) {
            PyObject* value = literal ? literal_values[index] : plan.by_code[index].get();
            k = api->chain_keep(chain, table.get(), value);
            if (k == nullptr) throw PyError();
        }
        return k;
    };
    std::vector<PyObject*> values;
    size_t pair = 0, code = 0;
    for (size_t entry = 0; entry < plan.starts.size(); ++entry) {
        Ref bag = Ref::check(api->chain_new_bag(chain));
        for (; pair < plan.bag_ends[entry]; ++pair) {
            values.clear();
            for (; code < plan.item_ends[pair]; ++code) values.push_back(value_of(plan.item_codes[code]));
            if (api->bag_add_row(bag.get(), table.get(), values.data(), Py_ssize_t(values.size()), plan.counts[pair]) <
                0) {
                throw PyError();
            }
        }
        if (api->chain_set_bag(chain, value_of(plan.starts[entry]), bag.get()) < 0) throw PyError();
    }
}

}  // namespace

bool load_directly(PyObject* module, PyObject* chain, PyObject* text, std::optional<CollectorPause>& pause) {
    const NativeApi* api = native_chain_api(chain);
    if (api == nullptr) return false;
    // Looked up quietly: where it is missing, the full path says so.
    PyObject* bag_class = dict_entry(PyModule_GetDict(module), interned().ProbabilityBag);
    if (bag_class != reinterpret_cast<PyObject*>(api->bag_type)) return false;
    const char* data = nullptr;
    size_t size = 0;
    if (!text_bytes(text, data, size)) return false;
    Plan plan;
    Ref held = Ref::borrow(text);
    if (!Reader(data, size).document(plan)) return false;
    std::vector<PyObject*> literal_values;  // borrowed from the plan
    if (!resolve(plan, literal_values)) return false;
    fill(api, chain, plan, literal_values, pause);
    return true;
}

}  // namespace zantu
