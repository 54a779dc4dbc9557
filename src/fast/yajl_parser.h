// The streaming reader's parse without events: while the parser bound as
// `ijson` is one of ijson's yajl backends (yajl2_c, yajl2_cffi, or the ijson
// package whose chosen backend is one of them), unchanged since import, the
// reader drives the very yajl library that backend calls, found at import
// (the one the yajl2_c extension is linked with; the one yajl2_cffi loaded),
// and gets each event as a call with a value made here: what the backend's
// basic_parse would have yielded, with the same errors, but no tuple, no
// generator step and no Python callback per event.
#pragma once

#include <string_view>

#include "events.h"
#include "number_text.h"
#include "ref.h"

namespace zantu {

// Where the events go: each event and its value (borrowed for the call; a
// number is an int or a float).
class EventSink {
public:
    virtual void event(Event kind, PyObject* value) = 0;
    // A number that is an int of at most 18 digits, first offered as it
    // is: true when the sink took it so, false to have it as an int through
    // event().
    virtual bool integer(long long value) = 0;
    // The start or end of an array, first offered on its own: true when
    // the sink took it so, false to have it through event().
    virtual bool bracket(Event kind) = 0;
    // A string's UTF-8 bytes (as yajl checked them), first offered as they
    // are: true when the sink took them so, false to have the str through
    // event().
    virtual bool text(Event kind, std::string_view bytes) = 0;
    // The str of a string the sink did not take: made from its bytes, or
    // one the sink made for the same bytes before. Null with the error set
    // when it cannot be made.
    virtual Ref string_value(std::string_view bytes) = 0;
    // Before each block of the source is read.
    virtual void block_read() = 0;

protected:
    ~EventSink() = default;
};

// Where the parse's blocks come from: each block of the source as the
// backend reads it (its bytes borrowed from `held`), empty at the end.
class BlockSource {
public:
    virtual std::string_view next(Ref& held) = 0;

protected:
    ~BlockSource() = default;
};

// Finds ijson's yajl backends already imported, and their yajl, at import.
void remember_yajl();

// The backend that basic_parse (the parser's, as looked up now) belongs to,
// when the parse can be driven from here: 1 for yajl2_c, 2 for yajl2_cffi;
// 0 otherwise.
int yajl_backend_of(PyObject* basic_parse);

// yajl 2's callbacks, as ijson's backends give them.
struct YajlCallbacks {
    int (*null)(void*);
    int (*boolean)(void*, int);
    int (*integer)(void*, long long);
    int (*real)(void*, double);
    int (*number)(void*, const char*, size_t);
    int (*string)(void*, const unsigned char*, size_t);
    int (*start_map)(void*);
    int (*map_key)(void*, const unsigned char*, size_t);
    int (*end_map)(void*);
    int (*start_array)(void*);
    int (*end_array)(void*);
};

// One parse by the yajl of the backend `backend` (1 or 2), with the
// callbacks and their context. Each step throws what the backend would
// raise: `value_failed` is set by the callbacks where a value made in one
// failed (its error is set), as opposed to the sink.
class YajlParse {
public:
    YajlParse(int backend, const YajlCallbacks* callbacks, void* context, const bool& value_failed);
    ~YajlParse();
    YajlParse(const YajlParse&) = delete;
    YajlParse& operator=(const YajlParse&) = delete;

    void feed(std::string_view block);
    void finish();

private:
    void check(int status, const unsigned char* data, size_t size);

    int backend_;
    const bool& value_failed_;
    Ref held_library_;  // keeps yajl loaded whatever the parse runs
    void* functions_[6];
    void* handle_;
};

// Any other number as the backends make it (an int, or a Decimal for one
// with a fraction or an exponent), as the reader hands it on: an int, or
// the float of that Decimal (the same as the float of its text). Null with
// the error set when it fails.
Ref yajl_number(const char* text, size_t size);

// yajl's callbacks for a sink of the type Sink (an EventSink; a final
// type, so that its calls are direct).
template <class Sink>
class YajlEvents {
public:
    explicit YajlEvents(Sink& sink) : sink_(sink) {}

    bool value_failed = false;

private:
    static YajlEvents& of(void* context) { return *static_cast<YajlEvents*>(context); }

    // Hands an event to the sink: 1 to go on, 0 (with the error set) to stop.
    int deliver(Event kind, PyObject* value) {
        return guarded(0, [&] {
            sink_.event(kind, value);
            return 1;
        });
    }
    // Hands on a value made here, or stops with its error.
    int deliver_value(Event kind, const Ref& value) {
        if (!value) {
            value_failed = true;
            return 0;
        }
        return deliver(kind, value.get());
    }
    int text_event(Event kind, const unsigned char* text, size_t size) {
        return deliver_value(
            kind, Ref::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(text), Py_ssize_t(size), "strict")));
    }
    int array_event(Event kind) {
        int taken = offer([&] { return sink_.bracket(kind); });
        return taken >= 0 ? taken : deliver(kind, Py_None);
    }
    // What yajl gave, offered to the sink as it is: 1 taken, 0 stopped
    // (with the error set), -1 not taken.
    template <typename Offer>
    static int offer(Offer taken) {
        return guarded(0, [&] { return taken() ? 1 : -1; });
    }

    static int on_null(void* c) { return of(c).deliver(Event::Null, Py_None); }
    static int on_boolean(void* c, int value) { return of(c).deliver(Event::Boolean, value ? Py_True : Py_False); }
    static int on_number(void* c, const char* text, size_t size) {
        YajlEvents& run = of(c);
        long long n = 0;
        if (small_integer(text, text + size, n)) {  // yajl has checked the grammar
            int taken = offer([&] { return run.sink_.integer(n); });
            if (taken >= 0) return taken;
            return run.deliver_value(Event::Number, Ref::steal(PyLong_FromLongLong(n)));
        }
        return run.deliver_value(Event::Number, yajl_number(text, size));
    }
    static int on_string(void* c, const unsigned char* text, size_t size) {
        YajlEvents& run = of(c);
        std::string_view bytes(reinterpret_cast<const char*>(text), size);
        int taken = offer([&] { return run.sink_.text(Event::String, bytes); });
        if (taken >= 0) return taken;
        Ref value;
        guarded(0, [&] {
            value = run.sink_.string_value(bytes);
            return 0;
        });
        return run.deliver_value(Event::String, value);
    }
    static int on_map_key(void* c, const unsigned char* text, size_t size) {
        return of(c).text_event(Event::MapKey, text, size);
    }
    static int on_start_map(void* c) { return of(c).deliver(Event::StartMap, Py_None); }
    static int on_end_map(void* c) { return of(c).deliver(Event::EndMap, Py_None); }
    static int on_start_array(void* c) { return of(c).array_event(Event::StartArray); }
    static int on_end_array(void* c) { return of(c).array_event(Event::EndArray); }

    Sink& sink_;

public:
    static constexpr YajlCallbacks kCallbacks = {on_null,    on_boolean, nullptr,        nullptr,
                                                 on_number,  on_string,  on_start_map,   on_map_key,
                                                 on_end_map, on_start_array, on_end_array};
};

// The parse of the blocks of `source` as the backend `backend` makes it,
// its events handed to `sink`. Throws what that parse would raise.
template <class Sink>
void parse_with_yajl(int backend, BlockSource& source, Sink& sink) {
    YajlEvents<Sink> events(sink);
    YajlParse parse(backend, &YajlEvents<Sink>::kCallbacks, &events, events.value_failed);
    for (;;) {
        sink.block_read();
        Ref held;
        std::string_view block = source.next(held);
        if (block.empty()) break;
        parse.feed(block);
    }
    parse.finish();
}

}  // namespace zantu
