// self_search.cpp: a store searched against its own rows: the self-join and the k-NN graph, in rounds of rows as queries.
#include "core/self_search.hpp"

#include <algorithm>
#include <cstdint>

#include "core/batch_search.hpp"
#include "core/out_of_memory.hpp"
#include "core/range_search.hpp"

namespace tessaray::core {

namespace {

// A watch over one of several scans, giving the caller's watch the progress
// of them all.
struct PartWatch {
    const SearchWatch* outer;
    std::uint64_t before;  // pairs scored by the earlier scans
    std::uint64_t total;

    static bool poll(void* context, std::uint64_t done, std::uint64_t) {
        const auto* w = static_cast<const PartWatch*>(context);
        return w->outer->poll(w->outer->context, w->before + done, w->total);
    }
};

// Runs scan(first, rows, options) over the store's rows in rounds of
// join_rows(), each round's rows copied out as its queries.  `scored(first)`
// is the count of (query, row) pairs the round from `first` scores.
template <class Scan, class Scored>
bool by_rounds(const Vectorstore& store, const SearchOptions& options, Scored scored, Scan scan) {
    const std::size_t n = store.size();
    const std::size_t dim = store.vector_size();
    const std::size_t round = join_rows(dim);
    auto rows = allocate_vector<float>(std::min(n, round) * dim);
    std::uint64_t total = 0;
    for (std::size_t first = 0; first < n; first += round) total += scored(first);
    PartWatch part{options.watch, 0, total};
    const SearchWatch watch{PartWatch::poll, &part, options.watch != nullptr ? options.watch->interval_ms : 0};
    SearchOptions round_options = options;
    if (options.watch != nullptr) round_options.watch = &watch;
    for (std::size_t first = 0; first < n; first += round) {
        const std::size_t count = std::min(round, n - first);
        store.copy_rows(first, count, rows.data());
        if (!scan(first, count, rows.data(), round_options)) return false;
        part.before += scored(first);
    }
    return true;
}

}  // namespace

bool self_join(const Vectorstore& store, float threshold, const SearchOptions& options, PairList& out) {
    const std::size_t n = store.size();
    const std::size_t round = join_rows(store.vector_size());
    // The round from `first` scores its rows against the rows from its first block on.
    auto scored = [&](std::size_t first) {
        return static_cast<std::uint64_t>(std::min(round, n - first)) * (n - first / kBlockRows * kBlockRows);
    };
    RangeScan scan;
    std::vector<ScoredEntry> row;
    return by_rounds(store, options, scored,
                     [&](std::size_t first, std::size_t count, const float* rows, const SearchOptions& round_options) {
                         const RangeEnd end = scan_range(store, {rows, count, first / kBlockRows}, round_options,
                                                         threshold, UINT64_MAX, first, scan);
                         if (end != RangeEnd::done) return false;
                         for (std::size_t q = 0; q < count; ++q) {
                             row.clear();
                             gather(scan, count, q, row,
                                    [](const ScoredEntry& a, const ScoredEntry& b) { return a.index < b.index; });
                             for (const ScoredEntry& e : row) {
                                 out.first.push_back(first + q);
                                 out.second.push_back(e.index);
                                 out.scores.push_back(e.score);
                             }
                         }
                         return true;
                     });
}

bool knn_graph(const Vectorstore& store, const SearchOptions& options, float* scores, std::uint64_t* ids) {
    const std::size_t n = store.size();
    const std::size_t keep = n == 0 ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(options.top_k, n - 1));
    if (keep == 0) return true;
    const std::size_t round = join_rows(store.vector_size());
    auto scored = [&](std::size_t first) { return static_cast<std::uint64_t>(std::min(round, n - first)) * n; };
    return by_rounds(store, options, scored,
                     [&](std::size_t first, std::size_t count, const float* rows, const SearchOptions& round_options) {
                         return top_k_batch(store, {rows, count, 0}, round_options, keep, first, scores + first * keep,
                                            ids + first * keep);
                     });
}

}  // namespace tessaray::core
