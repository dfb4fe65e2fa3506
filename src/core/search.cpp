// search.cpp: scoring ranges of the store and the sequential search.
#include "core/search.hpp"

#include <algorithm>
#include <cmath>

namespace tessaray::core {

std::string query_length_message(std::size_t found, std::size_t expected) {
    return "query has length " + std::to_string(found) + " but vectorstore expects " + std::to_string(expected);
}

namespace {

// Offers the entries [first, last) whose scores are scores[index - base].
//
// Indices arrive in increasing order, so once the selection is full an entry
// enters it only if it ranks before the worst kept entry while coming after
// every kept one: its score must be greater than the worst score (equal
// scores lose on index; a NaN score loses to any number).  When the worst
// kept score is itself NaN, any number ranks before it, so every entry is
// offered.  Runs of kBlockRows scores are tested with one branch-free
// comparison each, and only runs holding a candidate are offered one by one;
// offer() makes the exact decision, so the result does not change.
void offer_batch(const float* scores, std::size_t base, std::size_t first, std::size_t last,
                 TopK& selection) noexcept {
    std::size_t index = first;
    while (index < last && !selection.full()) {
        selection.offer(scores[index - base], index);
        ++index;
    }
    while (index < last) {
        const float worst = selection.worst().score;
        if (std::isnan(worst)) {
            for (; index < last; ++index) selection.offer(scores[index - base], index);
            return;
        }
        const std::size_t run_end = std::min(last, (index / kBlockRows + 1) * kBlockRows);
        const float* run = scores + (index - base);
        const std::size_t count = run_end - index;
        bool candidate = false;
        if (count == kBlockRows) {
            unsigned any = 0;
            for (std::size_t j = 0; j < kBlockRows; ++j) any |= static_cast<unsigned>(run[j] > worst);
            candidate = any != 0;
        } else {
            for (std::size_t j = 0; j < count; ++j) candidate = candidate || run[j] > worst;
        }
        if (candidate) {
            for (std::size_t j = 0; j < count; ++j) {
                if (run[j] > selection.worst().score || std::isnan(selection.worst().score)) {
                    selection.offer(run[j], index + j);
                }
            }
        }
        index = run_end;
    }
}

}  // namespace

void score_range(const Vectorstore& store, std::span<const float> query, float query_root, std::size_t begin,
                 std::size_t end, TopK& selection) noexcept {
    if (begin >= end || selection.capacity() == 0) return;
    // Blocks are scored a batch at a time into a small buffer on the stack,
    // then offered to the selection; lanes outside [begin, end) are skipped.
    constexpr std::size_t kBatchBlocks = kBlockRows >= 512 ? 1 : 512 / kBlockRows;
    float scores[kBatchBlocks * kBlockRows];
    const ScoreBlocksFn score_blocks = active_kernels().score_blocks;
    const std::size_t dim = store.vector_size();
    const std::size_t first_block = begin / kBlockRows;
    const std::size_t end_block = (end + kBlockRows - 1) / kBlockRows;
    for (std::size_t block = first_block; block < end_block; block += kBatchBlocks) {
        const std::size_t nblocks = std::min(kBatchBlocks, end_block - block);
        score_blocks(query.data(), query_root, store.blocks_data() + block * dim * kBlockRows,
                     store.roots_data() + block * kBlockRows, dim, nblocks, scores);
        const std::size_t first = std::max(begin, block * kBlockRows);
        const std::size_t last = std::min(end, (block + nblocks) * kBlockRows);
        offer_batch(scores, block * kBlockRows, first, last, selection);
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
