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

#include "big.h"
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
    // the sink took it so (which cannot fail), false to have it through
    // event().
    virtual bool bracket(Event kind) noexcept = 0;
    // A string's UTF-8 bytes (as yajl checked them), first offered as they
    // are: true when the sink took them so, false to have the str through
    // event().
    virtual bool text(Event kind, std::string_view bytes) = 0;
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

// The parse of the blocks of `source` as the backend `backend` makes it,
// its events handed to `sink`. Throws what that parse would raise.
void parse_with_yajl(int backend, BlockSource& source, EventSink& sink);

}  // namespace zantu
