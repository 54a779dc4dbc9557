// What the streaming reader makes of the parser's events: their kinds told
// apart by name, and values assembled from balanced runs of them.
#pragma once

#include <utility>
#include <vector>

#include "chain_calls.h"
#include "events.h"
#include "module_state.h"
#include "ref.h"

namespace zantu {

// Tells event names apart by identity first: the interned names, then the
// objects a parser has already shown to carry each name (held, so that
// their identity stays meaningful), and only then by comparing text.
class EventNames {
public:
    EventNames() {
        PyObject* names[kEventKinds] = {interned().start_map,   interned().end_map, interned().start_array,
                                        interned().end_array,   interned().map_key, interned().number,
                                        interned().string,      interned().boolean, interned().null};
        for (int i = 0; i < kEventKinds; ++i) names_[i] = names[i];
    }

    Event classify(PyObject* event) {
        // The kinds a chain's document is made of come first.
        for (Event kind : kByFrequency) {
            int i = int(kind);
            if (event == names_[i] || event == seen_[i].get()) return kind;
        }
        if (PyUnicode_Check(event)) {
            for (int i = 0; i < kEventKinds; ++i) {
                if (PyUnicode_CompareWithASCIIString(event, kEventNames[i]) == 0) {
                    seen_[i] = Ref::borrow(event);
                    return Event(i);
                }
            }
        }
        raise(PyExc_ValueError, "the parser gave an unknown event %.200R", event);
    }

    // The interned name of `kind`.
    PyObject* name(Event kind) const { return names_[int(kind)]; }

private:
    static constexpr Event kByFrequency[kEventKinds] = {Event::Number, Event::StartArray, Event::EndArray, Event::String, Event::MapKey,
                                                     Event::StartMap,  Event::EndMap,     Event::Boolean,  Event::Null};
    PyObject* names_[kEventKinds];
    Ref seen_[kEventKinds];
};

// One event of the parser: its kind, its name and value as the parser gave
// them, and the value as the chain gets it (a number as a host number).
struct ParserEvent {
    Event kind;
    PyObject* event;
    PyObject* value;
    PyObject* number;
};
// Assembles one value (the codes array, a start or an item) from a balanced
// run of events. Natively while ijson's own ObjectBuilder is bound; through
// the bound builder otherwise, which then sees every event of the run:
// ijson's own with numbers as host numbers (what the native assembly
// makes), any other with the values as the parser delivered them.
// The list of `elements`: what an array of those scalars is assembled as.
inline Ref list_of(const std::vector<Ref>& elements) {
    Ref list = Ref::check(PyList_New(Py_ssize_t(elements.size())));
    for (size_t k = 0; k < elements.size(); ++k) {
        PyList_SET_ITEM(list.get(), Py_ssize_t(k), Ref(elements[k]).release());
    }
    return list;
}

class ValueSource {
public:
    ValueSource(Ref builder, bool host_numbers) : builder_(std::move(builder)), host_numbers_(host_numbers) {}

    // The next run, if it is an array of scalars only, may be kept as its
    // elements instead of a list (for a reader that only reads them; see
    // take_elements). Natively assembled runs only; the first nested
    // container turns it into a list.
    void allow_elements() {
        elements_allowed_ = !builder_;
        elements_ready_ = false;
        flat_items_.clear();
    }

    // The elements of the last run, when it was kept as its elements; null
    // otherwise. The caller moves them out.
    std::vector<Ref>* take_elements() {
        if (!elements_ready_) return nullptr;
        elements_ready_ = false;
        return &flat_items_;
    }

    // A bound builder receives the event's value as the parser delivered
    // it (or as a host number, for ijson's own builder).
    void feed(const ParserEvent& e) {
        if (is_open(e.kind)) {
            ++depth_;
        } else if (is_close(e.kind)) {
            --depth_;
        }
        if (builder_) {
            builder_event(builder_.get(), e.event, host_numbers_ ? e.number : e.value);
            return;
        }
        if (flat_) {
            if (is_scalar(e.kind)) {
                flat_items_.push_back(Ref::borrow(e.number));
                return;
            }
            if (e.kind == Event::EndArray && depth_ == 0) {
                flat_ = false;
                elements_ready_ = true;
                value_ = Ref();
                return;
            }
            // A nested container: the run becomes a list after all.
            flat_ = false;
            Ref list = list_of(flat_items_);
            flat_items_.clear();
            value_ = list;
            open_.push_back(std::move(list));
        }
        if (elements_allowed_) {
            elements_allowed_ = false;
            if (e.kind == Event::StartArray && open_.empty()) {
                flat_ = true;
                return;
            }
        }
        switch (e.kind) {
            case Event::MapKey:
                key_ = Ref::borrow(e.value);
                break;
            case Event::StartMap: {
                Ref map = Ref::check(PyDict_New());
                add(map);
                open_.push_back(std::move(map));
                break;
            }
            case Event::StartArray: {
                Ref list = Ref::check(PyList_New(0));
                add(list);
                open_.push_back(std::move(list));
                break;
            }
            case Event::EndMap:
            case Event::EndArray:
                if (!open_.empty()) open_.pop_back();
                break;
            default:
                add(Ref::borrow(e.number));
        }
    }

    // Containers of the current run still open.
    std::size_t depth() const { return depth_; }

    // The run goes on inside `list`, an array already added where it
    // belongs (assembled elsewhere up to here).
    void enter(Ref list) {
        ++depth_;
        open_.push_back(std::move(list));
    }

    // The value of the current or last run (a run kept as its elements:
    // see take_elements).
    Ref value() const { return builder_ ? builder_value(builder_.get()) : value_; }

private:
    void add(const Ref& v) {
        if (open_.empty()) {
            value_ = v;
            return;
        }
        PyObject* top = open_.back().get();
        if (PyList_CheckExact(top)) {
            check_status(PyList_Append(top, v.get()));
            return;
        }
        if (!key_) raise(PyExc_ValueError, "the parser gave an object member without its key");
        check_status(PyDict_SetItem(top, key_.get(), v.get()));
    }

    Ref builder_;
    bool host_numbers_;
    std::size_t depth_ = 0;
    bool elements_allowed_ = false;
    bool flat_ = false;              // inside a run kept as its elements
    bool elements_ready_ = false;    // the last run was, and they are not taken
    std::vector<Ref> flat_items_;    // its elements
    std::vector<Ref> open_;
    Ref key_;
    Ref value_;
};

}  // namespace zantu
