// range_search.hpp: every row at or above a score, for many queries: the threshold sinks' scan and its answers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/batch_search.hpp"
#include "core/score_sink.hpp"
#include "core/search_options.hpp"
#include "core/store.hpp"
#include "core/topk.hpp"

namespace tessaray::core {

// How a threshold search ended.
enum class RangeEnd {
    done,
    stopped,  // the watch asked to stop
    over,     // more rows qualified than max_results: nothing is returned
};

// The rows of each query: query q's are entries[lims[q] .. lims[q + 1]).
struct RangeAnswers {
    std::vector<std::uint64_t> lims;
    std::vector<ScoredEntry> entries;
};

// For each of `count` queries (row after row, vector_size() floats each),
// every row options.allow allows whose score is at least `threshold` (a NaN
// score never is), best first, equal scores in row order: the rows of
// search() with top_k = every row, down to the last at or above the
// threshold.  At most `max_results` rows over all queries: past them the
// search stops and returns RangeEnd::over.  The workers and the watch are
// those of the batch; the lists grow as rows are found, and a list that
// cannot grow is OutOfMemory.
RangeEnd range_search(const Vectorstore& store, const float* queries, std::size_t count, const SearchOptions& options,
                      float threshold, std::uint64_t max_results, RangeAnswers& out);

// The threshold sinks of one scan: per worker one list per query.
struct RangeScan {
    RangeLimit limit;
    std::vector<std::vector<ScoredEntry>> lists;  // worker-major
    std::vector<RangeSink> sinks;
    std::vector<ScoreSink*> sink_of;
};

// Scans `queries` with a threshold sink each, query q keeping rows from
// first_row + q + 1 on when first_row is not SIZE_MAX (a self-join's rows
// after the query's own).  The lists in `scan` hold the rows found.
RangeEnd scan_range(const Vectorstore& store, const BatchQueries& queries, const SearchOptions& options,
                    float threshold, std::uint64_t max_results, std::size_t first_row, RangeScan& scan);

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

}  // namespace tessaray::core
