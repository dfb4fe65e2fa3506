// batch_search.hpp: many queries in one pass over the store: the scan under every batch, and its top-k answers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/row_sinks.hpp"
#include "core/score_sink.hpp"
#include "core/search_options.hpp"
#include "core/store.hpp"
#include "core/work_plan.hpp"
#include "core/worker_group.hpp"

namespace tessaray::core {

// The answers per query: min(top_k, the rows options.allow allows, or all).
std::size_t batch_keep(const Vectorstore& store, const SearchOptions& options) noexcept;

// The rows a batch scans for its queries (row after row, vector_size()
// floats each): the blocks from first_block on, and the tail.
struct BatchQueries {
    const float* rows;
    std::size_t count;
    std::size_t first_block;
};

// The root of each query's sum of squares, as every search takes it.
std::vector<float> query_roots(const float* queries, std::size_t count, std::size_t dim);

BatchShape batch_shape(const Vectorstore& store, std::size_t first_block, std::size_t keep, std::size_t count) noexcept;
// The workers asked for: options.n_threads, or the processors the process may use.
std::size_t requested_workers(const SearchOptions& options);

// The scan under every batch: the workers of `group` (plan.workers of them)
// score every query against the planned panels and hand the scores of query
// q to sinks[w * count + q], worker w's sink, in increasing row order; the
// blocks options.allow has no row of are skipped unread.  The calling thread
// polls options.watch meanwhile.  Returns false when the watch stopped the
// scan.  With `rows`, those rows' sinks are fed too, each by the worker
// that scans its panel.  Allocates before any worker starts (OutOfMemory); a
// refused thread start or a failed worker is a Fault, raised after every
// worker has ended.
bool scan_batch(const Vectorstore& store, const BatchQueries& queries, const BatchPlan& plan,
                const SearchOptions& options, std::span<ScoreSink* const> sinks, WorkerGroup& group,
                const RowSinks* rows = nullptr);

// Writes each of `count` queries' answers from its workers' lists:
// list(w, q) is worker w's list for query q, in result order (topk.hpp),
// and the best `width` of them over every worker go to scores[q * width ..]
// and ids[q * width ..], completed with kScoreNaN and UINT64_MAX when there
// are fewer.  `merged` has room for every worker's list of one query.
template <class List>
void write_answers(const Vectorstore& store, std::size_t count, std::size_t workers, std::size_t width, List list,
                   std::span<ScoredEntry> merged, float* scores, std::uint64_t* ids) {
    for (std::size_t q = 0; q < count; ++q) {
        std::size_t m = 0;
        for (std::size_t w = 0; w < workers; ++w) {
            const std::span<ScoredEntry> one = list(w, q);
            std::copy(one.begin(), one.end(), merged.begin() + static_cast<std::ptrdiff_t>(m));
            m += one.size();
        }
        const std::span<ScoredEntry> best = merge_best(merged.first(m), width);
        for (std::size_t j = 0; j < width; ++j) {
            scores[q * width + j] = j < best.size() ? best[j].score : kScoreNaN;
            ids[q * width + j] = j < best.size() ? store.id(best[j].index) : UINT64_MAX;
        }
    }
}

// The best `keep` rows for each query, as search_batch() writes them: from
// the blocks from queries.first_block on, the rows options.allow allows,
// and, with skip_first other than SIZE_MAX, never row skip_first + q for
// query q.
bool top_k_batch(const Vectorstore& store, const BatchQueries& queries, const SearchOptions& options, std::size_t keep,
                 std::size_t skip_first, float* scores, std::uint64_t* ids);

// Answers `count` queries, given row after row (store.vector_size() floats
// each): the answer to query q goes to scores[q * keep ..] and ids[q * keep ..]
// (keep = batch_keep(store, options)), and equals search(store, query q,
// options) bit for bit, whatever the worker count; with options.allow, as if
// the store held only the allowed rows, in their order.  The workers
// (options.n_threads; a lone worker is the calling thread itself) take
// panels of the store's blocks as planned by plan_batch(), score tiles of
// queries against each panel while it stays in their cache, and feed one
// top-k sink per query each; the calling thread merges the sinks' lists and polls
// options.watch meanwhile.  Returns false when the watch stopped the batch
// (the outputs then hold nothing useful).  Everything is allocated before a
// worker starts (OutOfMemory); a refused thread start or a failed worker is
// a Fault, raised after every started worker has ended.
bool search_batch(const Vectorstore& store, const float* queries, std::size_t count, const SearchOptions& options,
                  float* scores, std::uint64_t* ids);

}  // namespace tessaray::core
