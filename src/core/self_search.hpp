// self_search.hpp: a store searched against its own rows: the self-join and the k-NN graph.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/search_options.hpp"
#include "core/store.hpp"

namespace tessaray::core {

// The pairs of rows i < j of a store whose score is at least `threshold`,
// ordered by i, then j.
struct PairList {
    std::vector<std::uint64_t> first;
    std::vector<std::uint64_t> second;
    std::vector<float> scores;
};

// Every such pair, each once, its score that of the two stored rows (a
// score is the same either way round, so only j > i is scored): rows are
// taken as queries in rounds of join_rows(), each against the rows
// from its own block on.  Returns false when the watch stopped the join.
bool self_join(const Vectorstore& store, float threshold, const SearchOptions& options, PairList& out);

// For every row r, the best min(top_k, size - 1) other rows (row r itself
// left out by position, so an equal row is found): scores[r * keep ..] and
// ids[r * keep ..], equal to a search of row r over the store without it.
// Each pair is scored once: rows are taken as queries in rounds, each
// against the rows from itself on, and the later rows take the same scores
// for their own selections (kept for every row, keep entries each), which
// their next rounds start from.  Returns false when the watch stopped it.
bool knn_graph(const Vectorstore& store, const SearchOptions& options, float* scores, std::uint64_t* ids);

// How many rows of the store a self-join or k-NN graph takes as queries at
// a time, for rows of `dim` elements (a k-NN graph's first rounds take
// fewer).  Each round reads the store from its rows on and, on levels that
// code it, codes that part once: rounds are as large as 16 MiB of copied
// rows allows, from 1,024 to 4,096 rows.
constexpr std::size_t join_rows(std::size_t dim) noexcept {
    constexpr std::size_t kRoundBytes = std::size_t{16} << 20;
    return std::clamp<std::size_t>(kRoundBytes / (std::max<std::size_t>(dim, 1) * sizeof(float)), 1024, 4096);
}

}  // namespace tessaray::core
