// score_sink.cpp: where a search's scores go: the top-k sink, and the merge of several workers' lists.
#include "core/score_sink.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

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

}  // namespace

// Rows arrive in increasing order, so once the selection is full a row
// enters exactly when enters() says so; each candidate is checked again
// against the worst score of the moment, which the earlier candidates among
// its block's scores may have raised.
void TopKSink::take(const float* scores, std::size_t first, std::size_t count) noexcept {
    TopK& selection = selection_;
    std::size_t j = 0;
    for (; j < count && !selection.full(); ++j) selection.offer(scores[j], first + j);
    // A block's scores at a time, ending on multiples of kBlockRows, so that
    // all but the first and the last are whole.
    while (j < count) {
        const std::size_t n = std::min((j / kBlockRows + 1) * kBlockRows, count) - j;
        for (std::uint64_t mask = candidates(scores + j, n, selection.worst().score, whole_); mask != 0;
             mask &= mask - 1) {
            const std::size_t at = j + static_cast<std::size_t>(std::countr_zero(mask));
            if (enters(scores[at], selection.worst().score)) selection.replace_worst({scores[at], first + at});
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
