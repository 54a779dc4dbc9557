// The search of a runs index (zantu.text.Runs.copies): whether a run of a
// generated sentence's tokens occurs in the source. The index's varints
// are searched where they lie; what is made for the search is, for each
// number, the bytes at which its varints begin, so that a run is looked for
// where its rarest number occurs.
//
// That list is made by a thread of its own, which never touches Python:
// a command starts it as it reads the index, and loads the chain
// meanwhile. The varints stay exported until the search is dropped, and
// dropping it stops the thread first.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "native.h"

namespace zantu::native {
namespace {

class Search {
public:
    Search() = default;
    Search(const Search&) = delete;
    Search& operator=(const Search&) = delete;
    ~Search() {
        stop_.store(true, std::memory_order_relaxed);
        worker_.join();
        if (view_.obj != nullptr) PyBuffer_Release(&view_);
    }

    // Takes the varints of `encoded` (numbers from 0, the end of a
    // sentence, to `numbers`), and begins the list.
    void start(PyObject* encoded, size_t numbers) {
        if (PyObject_GetBuffer(encoded, &view_, PyBUF_SIMPLE) < 0) throw PyError();
        numbers_ = numbers;
        worker_.start([this] { run(); });
    }

    // False while the list is made; then true, or the error that made it
    // fail. In a process forked while the thread made it, the list is made
    // again here (from the start: what it holds was copied half made).
    bool ready() {
        if (worker_.forked() && !done_.load(std::memory_order_acquire)) {
            worker_.join();
            // What the lists held is left as it is: it may have been copied
            // mid-change.
            new (&counts_) std::vector<uint32_t>();
            new (&lists_) std::vector<size_t>();
            new (&gaps_) std::vector<unsigned char>();
            run();
        }
        if (!done_.load(std::memory_order_acquire)) return false;
        worker_.join();
        if (out_of_memory_) {
            PyErr_NoMemory();
            throw PyError();
        }
        if (damaged_) raise_runs_damaged();
        return true;
    }

    // Whether a run of `width` of `ids` (0: a token the source lacks)
    // occurs within a sentence of the source.
    bool copies(const uint32_t* ids, size_t count, size_t width) const {
        if (width == 0 || width > count) return false;
        for (size_t i = 0; i + width <= count; ++i) {
            size_t rarest = i;
            bool known = true;
            for (size_t j = i; j < i + width && known; ++j) {
                known = ids[j] != 0 && ids[j] <= numbers_;
                if (known && occurrences(ids[j]) < occurrences(ids[rarest])) rarest = j;
            }
            if (!known) continue;
            // Its places, each as the bytes from the one before.
            uint32_t id = ids[rarest];
            size_t place = 0;
            for (size_t at = lists_[id - 1]; at < lists_[id];) {
                uint32_t gap = 0;
                read_varint(gaps_.data(), lists_[id], at, gap);  // written here, whole
                place += gap;
                if (run_at(place, rarest - i, ids + i, width)) return true;
            }
        }
        return false;
    }

private:
    const unsigned char* data() const { return static_cast<const unsigned char*>(view_.buf); }
    size_t size() const { return size_t(view_.len); }
    uint32_t occurrences(uint32_t id) const { return counts_[id]; }

    void run() {
        try {
            damaged_ = !make();
        } catch (const std::bad_alloc&) {
            out_of_memory_ = true;
        }
        done_.store(true, std::memory_order_release);
    }

    // Counts each number's varints and the room its list takes, then lists
    // where each begins, as varints of the gaps between them (most are
    // small: a list takes about half the room of 32-bit places); false
    // where a varint is cut short, too long or past the numbers.
    bool make() {
        if (size() > UINT32_MAX) return false;  // past what 32-bit places reach
        counts_.assign(numbers_ + 1, 0);
        lists_.assign(numbers_ + 1, 0);
        std::vector<uint32_t> last(numbers_ + 1, 0);
        bool read = each_varint([&](size_t begin, uint32_t v) {
            if (v == 0) return true;  // the ends of sentences are not looked for
            ++counts_[v];
            lists_[v] += varint_size(uint32_t(begin) - last[v]);
            last[v] = uint32_t(begin);
            return true;
        });
        if (!read) return false;
        for (size_t v = 1; v <= numbers_; ++v) lists_[v] += lists_[v - 1];
        gaps_.resize(lists_.back());
        std::vector<size_t> at(lists_.begin(), lists_.end() - 1);
        std::fill(last.begin(), last.end(), 0);
        // Read again: varints a caller's thread changed meanwhile (the
        // index may be a bytearray of theirs) are refused, never written
        // past a list's room.
        return each_varint([&](size_t begin, uint32_t v) {
            if (v == 0) return true;
            uint32_t gap = uint32_t(begin) - last[v];
            last[v] = uint32_t(begin);
            size_t& out = at[v - 1];
            if (lists_[v] - out < varint_size(gap)) return false;
            unsigned char* put = gaps_.data() + out;
            put_varint(put, gap);
            out = size_t(put - gaps_.data());
            return true;
        });
    }

    // each_varint over the index, numbers past the table refused, and
    // stopped (false) now and then when the search is dropped meanwhile.
    template <typename Found>
    bool each_varint(Found found) const {
        size_t seen = 0;
        return zantu::native::each_varint(data(), size(), [&](size_t begin, uint32_t v) {
            if ((++seen & 0xFFFFF) == 0 && stop_.load(std::memory_order_relaxed)) return false;
            return v <= numbers_ && found(begin, v);
        });
    }

    // Whether the varints about the one at byte `at` (ids[back], which it
    // is) are the `width` numbers of `ids`: those after it are compared
    // first (most places differ at once), then those `back` before it.
    bool run_at(size_t at, size_t back, const uint32_t* ids, size_t width) const {
        size_t after = at;
        uint32_t v = 0;
        next(after, v);  // ids[back] itself
        for (size_t k = back + 1; k < width; ++k) {
            if (!next(after, v) || v != ids[k]) return false;
        }
        const unsigned char* bytes = data();
        size_t begin = at;
        for (size_t k = back; k > 0; --k) {
            if (begin == 0) return false;
            // The varint before ends at begin - 1, and begins after the last
            // byte before that which ends one.
            --begin;
            while (begin > 0 && (bytes[begin - 1] & 128)) --begin;
            size_t from = begin;
            if (!next(from, v) || v != ids[k - 1]) return false;
        }
        return true;
    }

    bool next(size_t& at, uint32_t& v) const { return read_varint(data(), size(), at, v); }

    Py_buffer view_{};
    size_t numbers_ = 0;
    std::vector<uint32_t> counts_;      // by number: how often it occurs
    std::vector<size_t> lists_;         // by number: where its list in gaps_ ends
    std::vector<unsigned char> gaps_;   // by number: where its varints begin, as gaps
    bool damaged_ = false;
    bool out_of_memory_ = false;
    std::atomic<bool> done_{false};
    std::atomic<bool> stop_{false};
    OwnThread worker_;
};

constexpr const char* kSearchName = "zantu._native.RunsSearch";

void drop_search(PyObject* capsule) { delete static_cast<Search*>(PyCapsule_GetPointer(capsule, kSearchName)); }

Search& search_of(PyObject* capsule) {
    auto* search = static_cast<Search*>(PyCapsule_GetPointer(capsule, kSearchName));
    if (search == nullptr) throw PyError();
    return *search;
}

}  // namespace

PyObject* runs_search_function(PyObject*, PyObject* args) {
    PyObject* encoded;
    Py_ssize_t numbers;
    if (!PyArg_ParseTuple(args, "On:_runs_search", &encoded, &numbers)) return nullptr;
    return guarded<PyObject*>(nullptr, [&] {
        if (numbers < 0 || numbers >= (Py_ssize_t(1) << 31)) raise_runs_damaged();
        auto made = std::make_unique<Search>();
        Search* search = made.get();
        Ref capsule = Ref::check(PyCapsule_New(search, kSearchName, drop_search));
        made.release();  // the capsule's now
        search->start(encoded, size_t(numbers));
        return capsule.release();
    });
}

PyObject* runs_searchable_function(PyObject*, PyObject* capsule) {
    return guarded<PyObject*>(nullptr, [&] { return PyBool_FromLong(search_of(capsule).ready()); });
}

PyObject* copies_function(PyObject*, PyObject* args) {
    PyObject *capsule, *ids;
    Py_ssize_t width;
    if (!PyArg_ParseTuple(args, "OOn:_copies", &capsule, &ids, &width)) return nullptr;
    return guarded<PyObject*>(nullptr, [&] {
        Search& search = search_of(capsule);
        if (!search.ready()) raise(PyExc_RuntimeError, "the runs index is still being made");
        Bytes held(ids);
        return PyBool_FromLong(search.copies(reinterpret_cast<const uint32_t*>(held.data()),
                                             held.size() / sizeof(uint32_t), size_t(std::max<Py_ssize_t>(width, 0))));
    });
}

}  // namespace zantu::native
