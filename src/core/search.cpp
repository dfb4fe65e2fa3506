// search.cpp: scoring ranges of the store and the sequential search.
#include "core/search.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace tessaray::core {

std::string query_length_message(std::size_t found, std::size_t expected) {
    return "query has length " + std::to_string(found) + " but vectorstore expects " + std::to_string(expected);
}

namespace {

// Bit j set when run[j] (j < count <= kBlockRows) may enter a full selection
// whose worst score is `worst` (see enters()), so that only the candidates
// are visited.  Whole runs are compared by the kernel set, a register at a
// time; the partial runs at the ends of a range one score at a time.
std::uint64_t candidates(const float* run, std::size_t count, float worst, CandidatesFn whole) noexcept {
    if (count == kBlockRows) return whole(run, worst);
    std::uint64_t mask = 0;
    if (worst == worst) {
        for (std::size_t j = 0; j < count; ++j) mask |= static_cast<std::uint64_t>(run[j] > worst) << j;
    } else {
        for (std::size_t j = 0; j < count; ++j) mask |= static_cast<std::uint64_t>(run[j] == run[j]) << j;
    }
    return mask;
}

}  // namespace

// Indices arrive in increasing order, so once the selection is full an entry
// enters exactly when enters() says so; each candidate is checked again
// against the worst score of the moment, which the earlier candidates of its
// run may have raised.
void offer_scores(const float* scores, std::size_t first, std::size_t count, TopK& selection,
                  CandidatesFn whole) noexcept {
    std::size_t j = 0;
    for (; j < count && !selection.full(); ++j) selection.offer(scores[j], first + j);
    // Runs end on multiples of kBlockRows, so that all but the first and the
    // last are whole.
    while (j < count) {
        const std::size_t n = std::min((j / kBlockRows + 1) * kBlockRows, count) - j;
        for (std::uint64_t mask = candidates(scores + j, n, selection.worst().score, whole); mask != 0; mask &= mask - 1) {
            const std::size_t at = j + static_cast<std::size_t>(std::countr_zero(mask));
            if (enters(scores[at], selection.worst().score)) selection.replace_worst({scores[at], first + at});
        }
        j += n;
    }
}

void score_range(const Vectorstore& store, std::span<const float> query, float query_root, std::size_t begin,
                 std::size_t end, TopK& selection) noexcept {
    if (begin >= end || selection.capacity() == 0) return;
    // Scores go a batch at a time into a small buffer on the stack, then to
    // the selection: first the whole blocks, then the unpacked tail rows
    // (fewer than kBlockRows, one batch).
    constexpr std::size_t kBatchBlocks = 8;
    float scores[kBatchBlocks * kBlockRows];
    const KernelSet& kernels = active_kernels();
    const std::size_t dim = store.vector_size();
    const std::size_t packed = store.packed_rows();
    const std::size_t packed_end = std::min(end, packed);
    for (std::size_t block = begin / kBlockRows; block * kBlockRows < packed_end; block += kBatchBlocks) {
        const std::size_t nblocks = std::min(kBatchBlocks, (packed_end + kBlockRows - 1) / kBlockRows - block);
        kernels.score_blocks(query.data(), query_root, store.blocks_data() + block * dim * kBlockRows,
                             store.roots_data() + block * kBlockRows, dim, nblocks, scores);
        const std::size_t first = std::max(begin, block * kBlockRows);
        const std::size_t last = std::min(packed_end, (block + nblocks) * kBlockRows);
        offer_scores(scores + (first - block * kBlockRows), first, last - first, selection, kernels.candidates);
    }
    if (end > packed) {
        const std::size_t first = std::max(begin, packed);
        kernels.score_rows(query.data(), query_root, store.tail_data() + (first - packed) * dim,
                           store.roots_data() + first, dim, end - first, scores);
        offer_scores(scores, first, end - first, selection, kernels.candidates);
    }
}

SearchResult search(const Vectorstore& store, std::span<const float> query, std::uint64_t top_k) {
    if (query.size() != store.vector_size()) {
        return unexpected(query_length_message(query.size(), store.vector_size()));
    }
    const std::size_t n = store.size();
    const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(top_k, n));
    std::vector<ScoredEntry> buffer(keep);
    TopK selection(buffer);
    const float query_root = root_of(sum_squares_ref(query.data(), query.size()));
    score_range(store, query, query_root, 0, n, selection);

    std::vector<ResultPair> result;
    result.reserve(keep);
    for (const ScoredEntry& e : selection.finish()) result.push_back({e.score, store.id(e.index)});
    return result;
}

}  // namespace tessaray::core
