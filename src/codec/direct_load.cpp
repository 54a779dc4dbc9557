#include "direct_load.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

#include "chain_calls.h"
#include "codes.h"
#include "native_api.h"
#include "number_text.h"

namespace zantu {
namespace {

// The document as read: the codes array as the JSON library would have
// made it, and the chain array as numbers. A code of the chain array is
// an integer, or a str (a value that is its own code): those are kept
// once each in `literals`, and stand as -1 - their index there.
struct Plan {
    Ref codes;                        // list of ints and strs
    Ref literals;                     // list of strs
    std::unordered_map<std::string, long long> literal_index;  // by the JSON text
    std::vector<long long> starts;    // start code of each entry
    std::vector<size_t> bag_ends;     // end (in pairs) of each entry's bag
    std::vector<size_t> item_ends;    // end (in item_codes) of each pair's item
    std::vector<long long> item_codes;
    std::vector<long long> counts;
};

// Reads the text of a compressed document that holds nothing but what a
// writer of ours writes: "codes" then "chain", integers within 64 bits,
// strings. Anything else (or anything this reader is not sure to read as
// the JSON library would) and it gives up: false, with nothing raised.
class Reader {
public:
    Reader(const char* text, size_t size) : at_(text), end_(text + size) {}

    bool document(Plan& plan) {
        plan.codes = Ref::check(PyList_New(0));
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

    // A string: its UTF-8 must be valid, its escapes JSON's own.
    bool string(Ref& out) {
        if (!literal('"')) return false;
        const char* start = at_;
        std::string unescaped;
        bool escaped = false;
        while (true) {
            if (at_ == end_) return false;
            unsigned char c = static_cast<unsigned char>(*at_);
            if (c == '"') break;
            if (c < 0x20) return false;
            if (c != '\\') {
                if (escaped) unescaped += char(c);
                ++at_;
                continue;
            }
            if (!escaped) {
                unescaped.assign(start, at_);
                escaped = true;
            }
            if (!escape(unescaped)) return false;
        }
        const char* stop = at_;
        ++at_;
        PyObject* text = escaped ? PyUnicode_DecodeUTF8(unescaped.data(), Py_ssize_t(unescaped.size()), "strict")
                                 : PyUnicode_DecodeUTF8(start, Py_ssize_t(stop - start), "strict");
        if (text == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw PyError();
            PyErr_Clear();
            return false;
        }
        out = Ref::steal(text);
        return true;
    }

    bool codes(Plan& plan) {
        if (!literal('[')) return false;
        // No code table: the values are the document's own, which the full
        // path reads as fast; give up before reading the chain.
        if (peek() == ']') return false;
        do {
            Ref value;
            if (peek() == '"') {
                if (!string(value)) return false;
            } else {
                long long n;
                if (!integer(n)) return false;
                value = Ref::check(PyLong_FromLongLong(n));
            }
            check_status(PyList_Append(plan.codes.get(), value.get()));
        } while (literal(','));
        return literal(']');
    }

    // A code of the chain array: an integer (never negative: those stand
    // for the strs here, and the writers write none), or a str.
    bool code(Plan& plan, long long& out) {
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

// Whether every code used has a value: an integer in the table's list by
// code, a str in the table (its values for the str codes go to
// `literal_values`, in the order of plan.literals). False when one is
// missing: the full path then says what is wrong.
bool resolve(const Plan& plan, PyObject* table, PyObject* by_code, std::vector<PyObject*>& literal_values) {
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(plan.literals.get()); ++k) {
        PyObject* value = PyDict_GetItemWithError(table, PyList_GET_ITEM(plan.literals.get(), k));
        if (value == nullptr) {
            if (PyErr_Occurred()) throw PyError();
            return false;
        }
        literal_values.push_back(value);
    }
    Py_ssize_t size = PyList_GET_SIZE(by_code);
    auto known = [&](long long code) {
        return code < 0 || (code < size && PyList_GET_ITEM(by_code, Py_ssize_t(code)) != Py_None);
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
void fill(const NativeApi* api, PyObject* chain, const Plan& plan, PyObject* by_code,
          const std::vector<PyObject*>& literal_values, std::optional<CollectorPause>& pause) {
    pause.reset();
    if (api->chain_clear(chain) < 0) throw PyError();
    if (check_size(PyObject_Size(chain)) == 0) pause.emplace();
    Ref table = Ref::check(api->chain_table(chain));
    std::vector<PyObject*> kept(size_t(PyList_GET_SIZE(by_code)), nullptr);
    std::vector<PyObject*> kept_literals(literal_values.size(), nullptr);
    auto value_of = [&](long long code) {
        bool literal = code < 0;
        size_t index = literal ? size_t(-1 - code) : size_t(code);
        PyObject*& k = literal ? kept_literals[index] : kept[index];
        if (k == nullptr) {
            PyObject* value = literal ? literal_values[index] : PyList_GET_ITEM(by_code, Py_ssize_t(index));
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
    if (PyList_GET_SIZE(plan.codes.get()) % 2 != 0) return false;
    Ref table = read_code_table(plan.codes.get());
    if (PyDict_GET_SIZE(table.get()) == 0) return false;
    Ref by_code = values_by_code(table.get());
    std::vector<PyObject*> literal_values;  // borrowed from the table
    if (!resolve(plan, table.get(), by_code.get(), literal_values)) return false;
    fill(api, chain, plan, by_code.get(), literal_values, pause);
    return true;
}

}  // namespace zantu
