// Rows for one bag of the package's chain, not added yet: while nothing of
// the caller's can run (the collector paused, within a block of the driven
// reader), a start's rows are gathered and added in one go, so that a bag
// made for them is filled at once, not grown row by row. The reader adds
// them before any other row, before the chain's table or anything of the
// caller's may be used, and before an error leaves.
#pragma once

#include <cstdint>
#include <vector>

#include "native_api.h"
#include "ref.h"

namespace zantu {

class PendingRows {
public:
    // Values pending at most, so that a bag's rows do not take memory with
    // the document's size (past them, the pending rows go in, and
    // deferring starts again).
    static constexpr std::size_t kMost = 1 << 14;

    bool empty() const { return !bag_; }
    PyObject* bag() const { return bag_.get(); }
    PyObject* table() const { return table_.get(); }
    Py_ssize_t width() const { return width_; }
    // Whether rows for `bag` of values of `table`, `width` each, go on
    // after the pending ones.
    bool takes(PyObject* bag, PyObject* table, Py_ssize_t width) const {
        return bag == bag_.get() && table == table_.get() && width == width_ && values_.size() < kMost;
    }

    // Rows for `bag` from now on (those pending go in first).
    void start(const NativeApi* api, const Ref& bag, const Ref& table, Py_ssize_t width) {
        flush();
        bag_ = bag;
        table_ = table;
        api_ = api;
        width_ = width;
    }

    // A row of `values` (width() of them) with its count.
    void add(const std::vector<PyObject*>& values, std::uint32_t count) {
        values_.insert(values_.end(), values.begin(), values.end());
        counts_.push_back(count);
    }
    // A row whose values come one by one (push_value); drop_values takes
    // back those of a row left unfinished.
    size_t values_now() const { return values_.size(); }
    void push_value(PyObject* value) { values_.push_back(value); }
    void drop_values(size_t from) { values_.resize(from); }
    void end_row(std::uint32_t count) { counts_.push_back(count); }

    // Adds the pending rows to their bag, as adding each would have.
    void flush() {
        if (!bag_) return;
        Ref bag = std::move(bag_);
        Ref table = std::move(table_);
        int status = api_->bag_add_rows(bag.get(), table.get(), values_.data(), width_, counts_.data(),
                                        Py_ssize_t(counts_.size()));
        values_.clear();
        counts_.clear();
        if (status < 0) throw PyError();
    }

private:
    Ref bag_;
    Ref table_;  // the bag's table, which holds the values
    const NativeApi* api_ = nullptr;
    Py_ssize_t width_ = 0;
    std::vector<PyObject*> values_;
    std::vector<std::uint32_t> counts_;
};

}  // namespace zantu
