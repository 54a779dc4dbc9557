// The streaming reader's small types (reader_types.cpp): what it hands to
// outside code, and how it reads a file itself.
#pragma once

#include <string_view>
#include <vector>

#include "ref.h"
#include "yajl_parser.h"

namespace zantu {

// A lazy item of `item` (a new reference), or, with `codes`, of those
// codes, which are moved into it (`codes` is left empty): the one-shot
// iterator that decoded mode hands to add_to_bag. `thaw`: the table was read
// natively, its array values are tuples, handed out as lists.
Ref new_item_decoder(PyObject* item, PyObject* table, PyObject* by_code, std::vector<Ref>* codes, bool thaw);

// What the parser reads (a new reference): one of io's own binary files as
// it is, any other file through a reader object whose read() calls the
// file's (a text file's text as UTF-8).
Ref parser_source(PyObject* file);

// Whether the reader may read `source` (what parser_source gave) itself: a
// text file, or one of io's own binary files, whose reads run no code of
// the caller's that could tell the difference.
bool plain_source(PyObject* source);

// The blocks of a source the reader reads itself, of `size` bytes, as the
// backend reads them; a text file's are read from the file, and its text's
// UTF-8 is what the parser would have been given.
class FileBlocks final : public BlockSource {
public:
    FileBlocks(PyObject* source, long size);
    std::string_view next(Ref& held) override;

private:
    PyObject* source_;
    PyObject* text_file_ = nullptr;  // held by source_
    Ref size_;
};

}  // namespace zantu
