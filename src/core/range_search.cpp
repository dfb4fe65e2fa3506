// range_search.cpp: every row at or above a score: for many queries, and for every pair of a store's own rows.
#include "core/range_search.hpp"

#include <algorithm>
#include <cstdint>
#include <span>

#include "core/batch_search.hpp"
#include "core/out_of_memory.hpp"
#include "core/score_sink.hpp"
#include "core/work_plan.hpp"
#include "core/worker_group.hpp"

namespace tessaray::core {

namespace {

// The threshold sinks of one scan: per worker one list per query.
struct RangeScan {
    RangeLimit limit;
    std::vector<std::vector<ScoredEntry>> lists;  // worker-major
    std::vector<RangeSink> sinks;
    std::vector<ScoreSink*> sink_of;
};

// Scans `queries` with a threshold sink each, query q keeping rows from
// first_row + q + 1 on when first_row is not SIZE_MAX.
RangeEnd scan_range(const Vectorstore& store, const BatchQueries& queries, const SearchOptions& options,
                    float threshold, std::uint64_t max_results, std::size_t first_row, RangeScan& scan) {
    const std::size_t count = queries.count;
    const BatchPlan plan = plan_batch(batch_shape(store, queries.first_block, 1), requested_workers(options));
    WorkerGroup group;
    scan.limit.max_results = max_results;
    scan.limit.group = &group;
    const std::size_t lists = plan.workers * count;
    scan.lists.clear();
    scan.sinks.clear();
    reserve_or_throw(scan.lists, lists);
    reserve_or_throw(scan.sinks, lists);
    scan.lists.resize(lists);
    scan.sink_of = allocate_vector<ScoreSink*>(lists);
    for (std::size_t i = 0; i < lists; ++i) {
        const std::size_t q = i % count;
        const RowPick pick{options.allow, first_row == SIZE_MAX ? 0 : first_row + q + 1};
        scan.sinks.emplace_back(threshold, pick, &scan.limit, &scan.lists[i]);
        scan.sink_of[i] = &scan.sinks.back();
    }
    const bool completed = scan_batch(store, queries, plan, options, scan.sink_of, group);
    if (scan.limit.out_of_memory.load()) throw OutOfMemory(0);
    if (scan.limit.over.load()) return RangeEnd::over;
    return completed ? RangeEnd::done : RangeEnd::stopped;
}

// Query q's rows from every worker, in `order`, appended to `out`.
template <class Order>
void gather(RangeScan& scan, std::size_t count, std::size_t q, std::vector<ScoredEntry>& out, Order order) {
    const std::size_t start = out.size();
    for (std::size_t i = q; i < scan.lists.size(); i += count) {
        out.insert(out.end(), scan.lists[i].begin(), scan.lists[i].end());
        std::vector<ScoredEntry>().swap(scan.lists[i]);
    }
    std::sort(out.begin() + static_cast<std::ptrdiff_t>(start), out.end(), order);
}

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

// Runs scan(first, rows, options) over the store's rows kJoinRows at a
// time, each square's rows copied out as its queries.  `scored(first)` is
// the count of (query, row) pairs a square from `first` scores.
template <class Scan, class Scored>
bool by_squares(const Vectorstore& store, const SearchOptions& options, Scored scored, Scan scan) {
    const std::size_t n = store.size();
    const std::size_t dim = store.vector_size();
    auto rows = allocate_vector<float>(std::min(n, kJoinRows) * dim);
    std::uint64_t total = 0;
    for (std::size_t first = 0; first < n; first += kJoinRows) total += scored(first);
    PartWatch part{options.watch, 0, total};
    const SearchWatch watch{PartWatch::poll, &part, options.watch != nullptr ? options.watch->interval_ms : 0};
    SearchOptions square_options = options;
    if (options.watch != nullptr) square_options.watch = &watch;
    for (std::size_t first = 0; first < n; first += kJoinRows) {
        const std::size_t count = std::min(kJoinRows, n - first);
        store.copy_rows(first, count, rows.data());
        if (!scan(first, count, rows.data(), square_options)) return false;
        part.before += scored(first);
    }
    return true;
}

}  // namespace

RangeEnd range_search(const Vectorstore& store, const float* queries, std::size_t count, const SearchOptions& options,
                      float threshold, std::uint64_t max_results, RangeAnswers& out) {
    out.lims = allocate_vector<std::uint64_t>(count + 1);
    out.entries.clear();
    if (count == 0 || store.size() == 0) return RangeEnd::done;
    RangeScan scan;
    const RangeEnd end = scan_range(store, {queries, count, 0}, options, threshold, max_results, SIZE_MAX, scan);
    if (end != RangeEnd::done) return end;
    reserve_or_throw(out.entries, static_cast<std::size_t>(scan.limit.found.load()));
    for (std::size_t q = 0; q < count; ++q) {
        gather(scan, count, q, out.entries, ranks_before);
        out.lims[q + 1] = out.entries.size();
    }
    return RangeEnd::done;
}

bool self_join(const Vectorstore& store, float threshold, const SearchOptions& options, PairList& out) {
    const std::size_t n = store.size();
    // A square from `first` scores its rows against the rows from its first block on.
    auto scored = [&](std::size_t first) {
        return static_cast<std::uint64_t>(std::min(kJoinRows, n - first)) * (n - first / kBlockRows * kBlockRows);
    };
    RangeScan scan;
    std::vector<ScoredEntry> row;
    return by_squares(
        store, options, scored,
        [&](std::size_t first, std::size_t count, const float* rows, const SearchOptions& square_options) {
            const RangeEnd end = scan_range(store, {rows, count, first / kBlockRows}, square_options, threshold,
                                            UINT64_MAX, first, scan);
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
    auto scored = [&](std::size_t first) { return static_cast<std::uint64_t>(std::min(kJoinRows, n - first)) * n; };
    return by_squares(
        store, options, scored,
        [&](std::size_t first, std::size_t count, const float* rows, const SearchOptions& square_options) {
            return top_k_batch(store, {rows, count, 0}, square_options, keep, first, scores + first * keep,
                               ids + first * keep);
        });
}

}  // namespace tessaray::core
