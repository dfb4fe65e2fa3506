// score_sink.cpp: where a search's scores go: the top-k sink, and the merge of several workers' lists.
#include "core/score_sink.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>

namespace tessaray::core {

namespace {

// Bit j set when scores[j] (j < count <= kBlockRows) may enter a full
// selection whose worst score is `worst` (see enters()), so that only the
// candidates are visited.  A whole block's scores are compared by the kernel
// set, a register at a time; fewer, at either end of the scores given, one
// score at a time.
std::uint64_t candidates(const float* scores, std::size_t count, float worst, CandidatesFn whole) noexcept {
    if (count == kBlockRows) return whole(scores, worst);
    std::uint64_t mask = 0;
    if (worst == worst) {
        for (std::size_t j = 0; j < count; ++j) mask |= static_cast<std::uint64_t>(scores[j] > worst) << j;
    } else {
        for (std::size_t j = 0; j < count; ++j) mask |= static_cast<std::uint64_t>(scores[j] == scores[j]) << j;
    }
    return mask;
}

// The set bits of `mask` in increasing order.
template <class F>
void for_each_bit(std::uint64_t mask, F&& f) {
    for (; mask != 0; mask &= mask - 1) f(static_cast<std::size_t>(std::countr_zero(mask)));
}

// The length of the piece of `count` scores from j on that ends at the next
// multiple of kBlockRows: all but the first and the last piece are whole.
std::size_t piece(std::size_t j, std::size_t count) noexcept {
    return std::min((j / kBlockRows + 1) * kBlockRows, count) - j;
}

}  // namespace

std::uint64_t RowPick::bits(std::size_t row, std::size_t count) const noexcept {
    std::uint64_t b = allow != nullptr ? allow->bits(row, count)
                                       : (count == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1);
    if (skip - row < count) b &= ~(std::uint64_t{1} << (skip - row));
    if (from > row) b &= from - row >= count ? 0 : ~((std::uint64_t{1} << (from - row)) - 1);
    return b;
}

// Rows arrive in increasing order, so once the selection is full a row
// enters exactly when enters() says so; each candidate is checked again
// against the worst score of the moment, which the earlier candidates among
// its block's scores may have raised.
void TopKSink::take(const float* scores, std::size_t first, std::size_t count) noexcept {
    if (!pick_.all()) return take_picked(scores, first, count);
    TopK& selection = selection_;
    std::size_t j = 0;
    for (; j < count && !selection.full(); ++j) selection.offer(scores[j], first + j);
    // A block's scores at a time, ending on multiples of kBlockRows, so that
    // all but the first and the last are whole.
    while (j < count) {
        const std::size_t n = piece(j, count);
        for (std::uint64_t mask = candidates(scores + j, n, selection.worst().score, whole_); mask != 0;
             mask &= mask - 1) {
            const std::size_t at = j + static_cast<std::size_t>(std::countr_zero(mask));
            if (enters(scores[at], selection.worst().score)) selection.replace_worst({scores[at], first + at});
        }
        j += n;
    }
}

// The same with the rows `pick` refuses taken out of each piece's mask.
void TopKSink::take_picked(const float* scores, std::size_t first, std::size_t count) noexcept {
    TopK& selection = selection_;
    for (std::size_t j = 0; j < count;) {
        const std::size_t n = piece(j, count);
        const std::uint64_t picked = pick_.bits(first + j, n);
        if (picked != 0 && !selection.full()) {
            for_each_bit(picked, [&](std::size_t b) { selection.offer(scores[j + b], first + j + b); });
        } else if (picked != 0) {
            for_each_bit(candidates(scores + j, n, selection.worst().score, whole_) & picked, [&](std::size_t b) {
                if (enters(scores[j + b], selection.worst().score)) {
                    selection.replace_worst({scores[j + b], first + j + b});
                }
            });
        }
        j += n;
    }
}

RangeSink::RangeSink(float threshold, RowPick pick, RangeLimit* limit, std::vector<ScoredEntry>* out) noexcept
        : below_(threshold == -std::numeric_limits<float>::infinity()
                     ? std::numeric_limits<float>::quiet_NaN()
                     : std::nextafter(threshold, -std::numeric_limits<float>::infinity())),
          pick_(pick),
          whole_(active_kernels().candidates),
          limit_(limit),
          out_(out) {}

// A score is at least the threshold exactly when it is above the float
// just under it (or, under a threshold of -inf, when it is a number), which
// is the comparison the kernels make a register at a time.
void RangeSink::take(const float* scores, std::size_t first, std::size_t count) noexcept {
    for (std::size_t j = 0; j < count;) {
        const std::size_t n = piece(j, count);
        std::uint64_t mask = candidates(scores + j, n, below_, whole_);
        if (mask != 0 && !pick_.all()) mask &= pick_.bits(first + j, n);
        if (mask != 0) {
            const auto k = static_cast<std::uint64_t>(std::popcount(mask));
            if (limit_->found.fetch_add(k, std::memory_order_relaxed) + k > limit_->max_results) {
                limit_->over.store(true, std::memory_order_relaxed);
                limit_->group->request_stop();
                return;
            }
            try {
                for_each_bit(mask, [&](std::size_t b) { out_->push_back({scores[j + b], first + j + b}); });
            } catch (const std::bad_alloc&) {
                limit_->out_of_memory.store(true, std::memory_order_relaxed);
                limit_->group->request_stop();
                return;
            }
        }
        j += n;
    }
}

std::span<ScoredEntry> merge_best(std::span<ScoredEntry> merged, std::size_t keep) noexcept {
    keep = std::min(keep, merged.size());
    std::partial_sort(merged.begin(), merged.begin() + static_cast<std::ptrdiff_t>(keep), merged.end(), ranks_before);
    return merged.first(keep);
}

}  // namespace tessaray::core
