// range_search.hpp: every row at or above a score: for many queries, and for every pair of a store's own rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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

// The pairs of rows i < j of a store whose score is at least `threshold`,
// ordered by i, then j.
struct PairList {
    std::vector<std::uint64_t> first;
    std::vector<std::uint64_t> second;
    std::vector<float> scores;
};

// Every such pair, each once, its score that of the two stored rows (a
// score is the same either way round, so only j > i is scored): rows are
// taken as queries a square of kJoinRows at a time, each against the rows
// from its own block on.  Returns false when the watch stopped the join.
bool self_join(const Vectorstore& store, float threshold, const SearchOptions& options, PairList& out);

// For every row r, the best min(top_k, size - 1) other rows (row r itself
// left out by position, so an equal row is found): scores[r * keep ..] and
// ids[r * keep ..], equal to a search of row r over the store without it.
// Returns false when the watch stopped it.
bool knn_graph(const Vectorstore& store, const SearchOptions& options, float* scores, std::uint64_t* ids);

// How many rows of the store a self-join or k-NN graph takes as queries at a time.
inline constexpr std::size_t kJoinRows = 1024;

}  // namespace tessaray::core
