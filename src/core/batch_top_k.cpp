// batch_top_k.cpp: the batch's top-k answers: a sink per query and worker over the scan, merged.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include "core/batch_search.hpp"
#include "core/kernel.hpp"
#include "core/out_of_memory.hpp"
#include "core/read_ahead.hpp"
#include "core/search.hpp"

namespace tessaray::core {

namespace {

// The bytes of rows a lone query scans between two looks at the clock.
constexpr std::size_t kStretchBytes = std::size_t(4) << 20;

// One query on one worker over every row: search()'s own scan and sink, in
// stretches between which the watch is polled as the batch polls it.  The
// panels, per-worker sinks and merge of the batch cost a small store's
// query a good part of its time again, and buy one query nothing.
bool search_one(const Vectorstore& store, const float* query, const SearchOptions& options, std::size_t keep,
                float* scores, std::uint64_t* ids) {
    const std::size_t n = store.size();
    const SearchWatch* watch = options.watch;
    auto buffer = allocate_vector<ScoredEntry>(keep);
    TopKSink sink(buffer);
    auto poll = [&](std::size_t done) { return watch->poll(watch->context, done, n); };
    if (watch != nullptr && watch->edges && !poll(0)) return false;

    const std::size_t dim = store.vector_size();
    const std::size_t stretch =
        std::max<std::size_t>(1, kStretchBytes / std::max<std::size_t>(1, dim * sizeof(float) * kBlockRows)) *
        kBlockRows;
    const float root = root_of(sum_squares_ref(query, dim));
    ReadAhead ahead(store, 0, store.block_count());
    auto next_poll = std::chrono::steady_clock::time_point::max();
    if (watch != nullptr) next_poll = std::chrono::steady_clock::now() + std::chrono::milliseconds(watch->interval_ms);
    for (std::size_t begin = 0; begin < n;) {
        const std::size_t end = std::min(n, begin + stretch);
        scan_rows(store, query, root, begin, end, sink, ahead);
        begin = end;
        if (begin < n && watch != nullptr && std::chrono::steady_clock::now() >= next_poll) {
            if (!poll(begin)) return false;
            next_poll = std::chrono::steady_clock::now() + std::chrono::milliseconds(watch->interval_ms);
        }
    }
    if (watch != nullptr && watch->edges && !poll(n)) return false;

    // Every row was offered, so the sink kept all `keep` of its entries.
    sink.end();
    const std::span<ScoredEntry> best = sink.kept();
    for (std::size_t j = 0; j < keep; ++j) {
        scores[j] = best[j].score;
        ids[j] = store.id(best[j].index);
    }
    return true;
}

}  // namespace

std::size_t batch_keep(const Vectorstore& store, const SearchOptions& options) noexcept {
    const std::size_t rows = options.allow != nullptr ? options.allow->allowed : store.size();
    return static_cast<std::size_t>(std::min<std::uint64_t>(options.top_k, rows));
}

bool top_k_batch(const Vectorstore& store, const BatchQueries& queries, const SearchOptions& options, std::size_t keep,
                 std::size_t skip_first, float* scores, std::uint64_t* ids) {
    const std::size_t count = queries.count;
    if (keep == 0 || count == 0) return true;
    const BatchShape shape = batch_shape(store, queries.first_block, keep, count);
    const BatchPlan plan = plan_batch(shape, requested_workers(options));
    const std::size_t workers = plan.workers;
    if (count == 1 && workers == 1 && queries.first_block == 0 && options.allow == nullptr && skip_first == SIZE_MAX) {
        return search_one(store, queries.rows, options, keep, scores, ids);
    }

    // Per worker a top-k sink per query, each over its share of one buffer.
    auto ranges = allocate_vector<PanelRange>(workers);
    std::size_t per_query_total = 0;  // sink entries per query, over every worker
    for (std::size_t w = 0; w < workers; ++w) {
        ranges[w] = panel_range(plan, shape, w);
        ranges[w].rows = std::min(keep, ranges[w].rows);  // from here on: the entries its sinks keep
        per_query_total += ranges[w].rows;
    }
    if (per_query_total > SIZE_MAX / count) throw_out_of_memory(SIZE_MAX);
    auto buffers = allocate_vector<ScoredEntry>(per_query_total * count);
    std::vector<TopKSink> sinks;
    reserve_or_throw(sinks, workers * count);
    auto sink_of = allocate_vector<ScoreSink*>(workers * count);
    auto merged = allocate_vector<ScoredEntry>(per_query_total);
    for (std::size_t w = 0, base = 0; w < workers; base += ranges[w].rows * count, ++w) {
        for (std::size_t q = 0; q < count; ++q) {
            const RowPick pick{options.allow, 0, skip_first == SIZE_MAX ? SIZE_MAX : skip_first + q};
            sinks.emplace_back(std::span(buffers).subspan(base + q * ranges[w].rows, ranges[w].rows), pick);
            sink_of[w * count + q] = &sinks.back();
        }
    }
    WorkerGroup group;
    if (!scan_batch(store, queries, plan, options, sink_of, group)) return false;

    // Each worker's lists are in result order and their entries carry their
    // row, so one more selection over them gives each query's answer.
    write_answers(
        store, count, workers, keep, [&](std::size_t w, std::size_t q) { return sinks[w * count + q].kept(); }, merged,
        scores, ids);
    return true;
}

bool search_batch(const Vectorstore& store, const float* queries, std::size_t count, const SearchOptions& options,
                  float* scores, std::uint64_t* ids) {
    return top_k_batch(store, {queries, count, 0}, options, batch_keep(store, options), SIZE_MAX, scores, ids);
}

}  // namespace tessaray::core
