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

// Runs scan(first, count, rows, options) over the store's rows in rounds
// of join_rows() rows, each round's rows copied out as its queries; from a
// first round of `first_round` rows, if fewer, each round takes as many
// rows as the rounds before it together, up to join_rows().  Each round
// scores its rows against the rows from its first block on.
template <class Scan>
bool by_rounds(const Vectorstore& store, const SearchOptions& options, std::size_t first_round, Scan scan) {
    const std::size_t n = store.size();
    const std::size_t round = join_rows(store.vector_size());
    const std::size_t first_count = std::min(round, first_round);
    auto next = [&](std::size_t first) { return std::min(round, std::max(first, first_count)); };
    auto scored = [&](std::size_t first) {
        return static_cast<std::uint64_t>(std::min(next(first), n - first)) * (n - first / kBlockRows * kBlockRows);
    };
    auto rows = allocate_vector<float>(std::min(n, round) * store.vector_size());
    std::uint64_t total = 0;
    for (std::size_t first = 0; first < n; first += next(first)) total += scored(first);
    PartWatch part{options.watch, 0, total};
    const SearchWatch watch{PartWatch::poll, &part, options.watch != nullptr ? options.watch->interval_ms : 0,
                            options.watch != nullptr && options.watch->edges};
    SearchOptions round_options = options;
    if (options.watch != nullptr) round_options.watch = &watch;
    for (std::size_t first = 0; first < n; first += next(first)) {
        const std::size_t count = std::min(next(first), n - first);
        store.copy_rows(first, count, rows.data());
        if (!scan(first, count, rows.data(), round_options)) return false;
        part.before += scored(first);
    }
    return true;
}

}  // namespace

bool self_join(const Vectorstore& store, float threshold, const SearchOptions& options, PairList& out) {
    RangeScan scan;
    std::vector<ScoredEntry> row;
    return by_rounds(store, options, SIZE_MAX,
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

namespace {

// The rows of a k-NN graph's first round, at least: see knn_graph().
constexpr std::size_t kFirstRound = 256;

// One round of a k-NN graph: the rows from `first` on as queries (copied
// out in `queries`), each against the rows from itself on, the later rows
// taking the same scores for their own sinks.  rows[r] holds row r's best
// so far: from the earlier rounds, the rows before `first`; each query's
// row gets the rows this round finds for it.
bool knn_round(const Vectorstore& store, const BatchQueries& queries, const SearchOptions& options, std::size_t keep,
               std::size_t first, std::span<TopK> rows, std::span<const std::span<ScoredEntry>> buffers) {
    const std::size_t count = queries.count;
    const BatchShape shape = batch_shape(store, queries.first_block, keep, count);
    const BatchPlan plan = plan_batch(shape, requested_workers(options));
    const std::size_t workers = plan.workers;
    // Per worker a sink per query, from the rows after those its row holds
    // (so from `first` on), its row itself left out; each starts from what
    // its row holds, so that the bound applies from the first panel on.
    auto entries = allocate_vector<ScoredEntry>(workers * count * keep);
    std::vector<TopKSink> sinks;
    reserve_or_throw(sinks, workers * count);
    auto sink_of = allocate_vector<ScoreSink*>(workers * count);
    auto merged = allocate_vector<ScoredEntry>(workers * keep);
    for (std::size_t w = 0; w < workers; ++w) {
        for (std::size_t q = 0; q < count; ++q) {
            const RowPick pick{nullptr, first, first + q};
            sinks.emplace_back(std::span(entries).subspan((w * count + q) * keep, keep), pick);
            sinks.back().seed(rows[first + q].held());
            sink_of[w * count + q] = &sinks.back();
        }
    }
    const RowSinks later{rows, first + count, first};
    WorkerGroup group;
    if (!scan_batch(store, queries, plan, options, sink_of, group, &later)) return false;

    // Each query's row: the best of its workers' lists, whose rows from
    // before `first` (the same in every list) count once.
    for (std::size_t q = 0; q < count; ++q) {
        std::size_t m = 0;
        for (std::size_t w = 0; w < workers; ++w) {
            for (const ScoredEntry& e : sinks[w * count + q].kept()) merged[m++] = e;
        }
        std::sort(merged.begin(), merged.begin() + static_cast<std::ptrdiff_t>(m),
                  [](const ScoredEntry& a, const ScoredEntry& b) { return a.index < b.index; });
        const auto end = std::unique(merged.begin(), merged.begin() + static_cast<std::ptrdiff_t>(m),
                                     [](const ScoredEntry& a, const ScoredEntry& b) { return a.index == b.index; });
        rows[first + q] = TopK(buffers[first + q]);
        for (auto e = merged.begin(); e != end; ++e) rows[first + q].offer(e->score, e->index);
    }
    return true;
}

}  // namespace

bool knn_graph(const Vectorstore& store, const SearchOptions& options, float* scores, std::uint64_t* ids) {
    const std::size_t n = store.size();
    const std::size_t keep = n == 0 ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(options.top_k, n - 1));
    if (keep == 0) return true;
    // Every row's best so far, each in its share of one buffer.
    auto entries = allocate_vector<ScoredEntry>(n * keep);
    auto buffers = allocate_vector<std::span<ScoredEntry>>(n);
    std::vector<TopK> rows;
    reserve_or_throw(rows, n);
    auto merged = allocate_vector<ScoredEntry>(keep);  // for write_answers()
    for (std::size_t r = 0; r < n; ++r) {
        buffers[r] = std::span(entries).subspan(r * keep, keep);
        rows.emplace_back(buffers[r]);
    }
    // The first rounds are small.  Until every later row's sink is full
    // (after the first round), its rows are scored exactly against every
    // later row, and the lower the later rows' bars, the more pairs their
    // bound lets through (a round's rows take the bars of what the rounds
    // before it found).
    const bool done = by_rounds(
        store, options, std::max(kFirstRound, keep),
        [&](std::size_t first, std::size_t count, const float* queries, const SearchOptions& round_options) {
            return knn_round(store, {queries, count, first / kBlockRows}, round_options, keep, first, rows, buffers);
        });
    if (!done) return false;
    write_answers(
        store, n, 1, keep, [&](std::size_t, std::size_t r) { return rows[r].finish(); }, merged, scores, ids);
    return true;
}

}  // namespace tessaray::core
