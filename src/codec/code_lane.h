// The streaming reader's code table, read for the package's chain as the
// in-memory reader reads it: pairs kept natively as they come (an integer
// code as a number, an array value as the tuple the chain freezes it to),
// then the list by integer code and a dict of the codes that list does not
// answer for. Nothing here is handed to the caller's code: a value shown to
// it goes out as the list it was in the document (see thawed).
//
// Anything else in the table (a code that is not an integer or a string, an
// object, an array within an array value) spills: what was read goes to the
// value source as the list it would have assembled, and the table is read
// as any other from there on.
#pragma once

#include <vector>

#include "codes.h"
#include "json_text.h"
#include "reader_values.h"
#include "ref.h"

namespace zantu {

class CodeLane {
public:
    bool active() const { return active_; }
    void begin() {
        active_ = true;
        pairs_.clear();
        items_.clear();
        has_code_ = false;
        in_array_ = false;
    }
    // At the level of the codes array itself, where its end closes it.
    bool at_top() const { return !in_array_; }

    // An integer of the table, as yajl gave it.
    void integer(long long value) {
        if (!has_code_) {
            code_ = value;
            code_object_ = Ref();
            has_code_ = true;
            return;
        }
        scalar(Ref::check(PyLong_FromLongLong(value)).get());
    }

    // A scalar event's value (a str, a host number, a bool or None): false
    // where the lane cannot take it (a code that is neither a str nor an int).
    bool scalar(PyObject* value) {
        if (!has_code_) {
            if (PyUnicode_CheckExact(value)) {
                code_object_ = Ref::borrow(value);
            } else if (PyLong_CheckExact(value)) {
                long long n = 0;
                code_object_ = exact_int_value(value, n) ? Ref() : Ref::borrow(value);
                code_ = n;
            } else {
                return false;
            }
            has_code_ = true;
            return true;
        }
        if (in_array_) {
            items_.push_back(Ref::borrow(value));
        } else {
            add(Ref::borrow(value));
        }
        return true;
    }

    // An array opens: a value's (false within one, or in a code's place).
    bool open() {
        if (!has_code_ || in_array_) return false;
        in_array_ = true;
        return true;
    }
    // The array of a value closes.
    void close() {
        in_array_ = false;
        add(make_tuple(items_));
    }

    // The table read, as the reader decodes through it: `table` the dict,
    // `by_code` the list by integer code (see values_by_code). False when it
    // is empty. ValueError when a code has no value.
    bool finish(Ref& table, Ref& by_code) {
        active_ = false;
        if (has_code_) raise_odd_codes();
        long long limit = 2 * static_cast<long long>(pairs_.size()) + 16;
        long long size = 0;
        for (const Pair& p : pairs_) {
            if (!p.code_object && p.code >= 0 && p.code < limit && p.code >= size) size = p.code + 1;
        }
        table = Ref::check(PyDict_New());
        by_code = Ref::check(PyList_New(Py_ssize_t(size)));
        for (Py_ssize_t i = 0; i < Py_ssize_t(size); ++i) PyList_SET_ITEM(by_code.get(), i, Ref::borrow(Py_None).release());
        for (Pair& p : pairs_) {
            bool listed = !p.code_object && p.code >= 0 && p.code < limit;
            if (listed) {
                check_status(PyList_SetItem(by_code.get(), Py_ssize_t(p.code), Ref(p.value).release()));
                // The list's None is "not listed": a None value is the dict's.
                if (p.value.get() != Py_None) continue;
            }
            Ref key = p.code_object ? p.code_object : Ref::check(PyLong_FromLongLong(p.code));
            check_status(PyDict_SetItem(table.get(), key.get(), p.value.get()));
        }
        bool any = !pairs_.empty();
        pairs_.clear();
        return any;
    }

    // What was read so far, into `codes` (the list the value source holds for
    // the codes array) as the source would have assembled it, with the
    // source inside the open array value, if any. The lane stops.
    void spill(ValueSource& source, PyObject* codes) {
        active_ = false;
        for (const Pair& p : pairs_) {
            append(codes, code_of(p.code_object, p.code));
            append(codes, thawed(p.value.get()));
        }
        pairs_.clear();
        if (has_code_) append(codes, code_of(code_object_, code_));
        if (in_array_) {
            Ref partial = list_of(items_);
            items_.clear();
            append(codes, partial);
            source.enter(std::move(partial));
        }
    }

private:
    struct Pair {
        long long code;
        Ref code_object;  // the code when it is not an int of 64 bits
        Ref value;
    };

    void add(Ref value) {
        pairs_.push_back({code_, std::move(code_object_), std::move(value)});
        has_code_ = false;
    }
    static Ref code_of(const Ref& object, long long code) {
        return object ? object : Ref::check(PyLong_FromLongLong(code));
    }
    static void append(PyObject* list, const Ref& value) { check_status(PyList_Append(list, value.get())); }

    bool active_ = false;
    std::vector<Pair> pairs_;
    bool has_code_ = false;  // a code waits for its value
    long long code_ = 0;
    Ref code_object_;
    bool in_array_ = false;   // inside an array value
    std::vector<Ref> items_;  // its elements
};

}  // namespace zantu
