// topk.hpp: selection of the best k scored entries without sorting them all.
//
// The order: a higher score first; equal scores (+0.0 and -0.0 included) by
// entry index, lower first.  A NaN score ranks after every other score, NaNs
// among themselves by index.  This is a total order, so it equals a stable
// sort by descending score whenever no score is NaN, and the per-range
// selections of a parallel search merge to the same list as one sequential
// selection even when some scores are NaN.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tessaray::core {

struct ScoredEntry {
    float score;
    std::size_t index;  // the entry's position in insertion order
};

// True when x comes before y in the result order.
inline bool ranks_before(const ScoredEntry& x, const ScoredEntry& y) noexcept {
    const bool x_nan = std::isnan(x.score);
    const bool y_nan = std::isnan(y.score);
    if (x_nan != y_nan) return y_nan;
    if (!x_nan) {
        if (x.score > y.score) return true;
        if (x.score < y.score) return false;
    }
    return x.index < y.index;
}

// Whether an entry scoring `score` enters a full selection whose worst kept
// score is `worst`, when it comes after every kept entry (so it loses every
// tie): it must score higher, or be a number where the worst is NaN.
inline bool enters(float score, float worst) noexcept { return score > worst || (worst != worst && score == score); }

// Keeps the best `capacity` entries offered to it, in a caller-provided
// buffer, as a heap with the worst kept entry on top; offering costs one
// comparison against it and allocates nothing.
class TopK {
public:
    explicit TopK(std::span<ScoredEntry> buffer) noexcept : heap_(buffer) {}

    std::size_t capacity() const noexcept { return heap_.size(); }
    std::size_t size() const noexcept { return size_; }

    void offer(float score, std::size_t index) noexcept {
        const ScoredEntry e{score, index};
        if (size_ < heap_.size()) {
            heap_[size_++] = e;
            std::push_heap(heap_.begin(), heap_.begin() + size_, kRanksBefore);
        } else if (size_ != 0 && ranks_before(e, heap_[0])) {
            replace_worst(e);
        }
    }

    // The worst kept entry, when the selection is full: anything that does not
    // rank before it cannot enter.
    bool full() const noexcept { return size_ == heap_.size(); }
    const ScoredEntry& worst() const noexcept { return heap_[0]; }

    // Puts `e`, which ranks before worst(), in the worst entry's place: one
    // sift-down from the top.
    void replace_worst(const ScoredEntry& e) noexcept {
        ScoredEntry* heap = heap_.data();
        std::size_t hole = 0;
        for (std::size_t child = 1; child < size_; child = 2 * hole + 1) {
            // The later-ranking child rises, if it ranks after e.
            if (child + 1 < size_ && ranks_before(heap[child], heap[child + 1])) ++child;
            if (!ranks_before(e, heap[child])) break;
            heap[hole] = heap[child];
            hole = child;
        }
        heap[hole] = e;
    }

    // The kept entries, in no order.
    std::span<const ScoredEntry> held() const noexcept { return heap_.first(size_); }

    // Sorts the kept entries best first and returns them.
    std::span<ScoredEntry> finish() noexcept {
        std::sort_heap(heap_.begin(), heap_.begin() + size_, kRanksBefore);
        return heap_.first(size_);
    }

private:
    // ranks_before as a type of its own, so that the heap algorithms inline it.
    static constexpr auto kRanksBefore = [](const ScoredEntry& x, const ScoredEntry& y) { return ranks_before(x, y); };

    std::span<ScoredEntry> heap_;
    std::size_t size_ = 0;
};

}  // namespace tessaray::core
