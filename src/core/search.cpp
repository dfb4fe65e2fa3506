// search.cpp: the scan of a range of rows for one query, and the sequential search.
#include "core/search.hpp"

#include <algorithm>

#include "core/read_ahead.hpp"

namespace tessaray::core {

std::string query_length_message(std::size_t found, std::size_t expected) {
    return "query has length " + std::to_string(found) + " but vectorstore expects " + std::to_string(expected);
}

void scan_rows(const Vectorstore& store, const float* query, float query_root, std::size_t begin, std::size_t end,
               ScoreSink& sink) noexcept {
    const std::size_t packed_end = std::min(end, store.packed_rows());
    ReadAhead ahead(store, begin / kBlockRows, (packed_end + kBlockRows - 1) / kBlockRows);
    scan_rows(store, query, query_root, begin, end, sink, ahead);
}

void scan_rows(const Vectorstore& store, const float* query, float query_root, std::size_t begin, std::size_t end,
               ScoreSink& sink, ReadAhead& ahead) noexcept {
    if (begin >= end) return;
    // Scores go a panel of kPanelBlocks blocks at a time into a small buffer
    // on the stack, then to the sink: first the whole blocks, then the
    // unpacked tail rows (fewer than kBlockRows, one go).
    constexpr std::size_t kPanelBlocks = 8;
    float scores[kPanelBlocks * kBlockRows];
    const KernelSet& kernels = active_kernels();
    const std::size_t dim = store.vector_size();
    const std::size_t packed = store.packed_rows();
    const std::size_t packed_end = std::min(end, packed);
    for (std::size_t block = begin / kBlockRows; block * kBlockRows < packed_end; block += kPanelBlocks) {
        ahead.at(block);
        const std::size_t nblocks = std::min(kPanelBlocks, (packed_end + kBlockRows - 1) / kBlockRows - block);
        kernels.score_blocks(query, query_root, store.blocks_data() + block * dim * kBlockRows,
                             store.roots_data() + block * kBlockRows, dim, nblocks, scores);
        const std::size_t first = std::max(begin, block * kBlockRows);
        const std::size_t last = std::min(packed_end, (block + nblocks) * kBlockRows);
        sink.take(scores + (first - block * kBlockRows), first, last - first);
    }
    if (end > packed) {
        const std::size_t first = std::max(begin, packed);
        kernels.score_rows(query, query_root, store.tail_data() + (first - packed) * dim, store.roots_data() + first,
                           dim, end - first, scores);
        sink.take(scores, first, end - first);
    }
}

SearchResult search(const Vectorstore& store, std::span<const float> query, const SearchOptions& options) {
    if (query.size() != store.vector_size()) {
        return unexpected(query_length_message(query.size(), store.vector_size()));
    }
    const std::size_t n = store.size();
    const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(options.top_k, n));
    std::vector<ScoredEntry> buffer(keep);
    TopKSink sink(buffer);
    if (keep != 0) scan_rows(store, query.data(), root_of(sum_squares_ref(query.data(), query.size())), 0, n, sink);

    std::vector<ResultPair> result;
    result.reserve(keep);
    sink.end();
    for (const ScoredEntry& e : sink.kept()) result.push_back({e.score, store.id(e.index)});
    return result;
}

}  // namespace tessaray::core
