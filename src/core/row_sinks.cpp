// row_sinks.cpp: a k-NN graph's later rows given the batch's scores, and the lowest of their bars.
#include "core/row_sinks.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "core/kernel.hpp"
#include "core/score_bound.hpp"

namespace tessaray::core {

void RowSinks::give(const float* scores, std::size_t stride, std::size_t q0, std::size_t n, std::size_t at,
                    std::size_t count) const noexcept {
    for (std::size_t r = first > at ? first - at : 0; r < count; ++r) {
        TopK& sink = sinks[at + r];
        for (std::size_t t = 0; t < n; ++t) sink.offer(scores[t * stride + r], query_first + q0 + t);
    }
}

void RowSinks::give_marked(const float* out, std::uint64_t marked, std::size_t q, std::size_t at) const noexcept {
    for (std::uint64_t bits = marked; bits != 0; bits &= bits - 1) {
        const std::size_t lane = static_cast<std::size_t>(std::countr_zero(bits));
        if (at + lane >= first) sinks[at + lane].offer(out[lane], query_first + q);
    }
}

float RowSinks::lowest_bar(const float* roots, std::size_t from, std::size_t end) const noexcept {
    float bar = std::numeric_limits<float>::infinity();
    for (std::size_t r = std::max(from, first); r < end; ++r) {
        if (!(roots[r] >= kBoundRootLow && roots[r] <= kBoundRootHigh)) continue;
        // A selection not yet full may still keep any row (TopKSink::bar()).
        const TopK& sink = sinks[r];
        if (!sink.full() || sink.capacity() == 0 || sink.worst().score != sink.worst().score) return kScoreNaN;
        bar = std::min(bar, sink.worst().score);
    }
    return bar;
}

std::uint64_t RowSinks::settled_zeros(const float* roots, std::size_t at) const noexcept {
    // A query's 0 comes with an index from query_first on, so it loses the
    // tie with every kept 0 of a lower index.
    const ScoredEntry offer{0.0f, query_first};
    std::uint64_t settled = 0;
    for (std::size_t j = 0; j < kBlockRows; ++j) {
        const std::size_t r = at + j;
        if (roots[r] != 0.0f) continue;
        if (r < first || (sinks[r].full() && !ranks_before(offer, sinks[r].worst()))) settled |= std::uint64_t{1} << j;
    }
    return settled;
}

}  // namespace tessaray::core
