// listed_search.hpp: searches in which every query has a list of rows of its own: only the listed rows are scored.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/id_match.hpp"
#include "core/range_search.hpp"
#include "core/search_options.hpp"
#include "core/store.hpp"

namespace tessaray::core {

// The answers per query: min(top_k, the most rows any query lists).
std::size_t listed_width(const RowLists& lists, std::uint64_t top_k) noexcept;

// For each of `count` queries (row after row), the best min(top_k, its
// listed rows) of the rows `lists` gives it, equal to search() on a store
// holding only those rows: query q's answer goes to scores[q * width ..]
// and ids[q * width ..] (width = listed_width()), and a query with fewer
// answers than width has the rest of its row filled with kScoreNaN and id
// UINT64_MAX.  The listed (query, row) pairs are taken block by block of
// the store, so each block is read once however many queries list its rows;
// the workers (options.n_threads) take stretches of blocks with about as many
// pairs each.  Returns false when options.watch stopped the search.
bool search_listed(const Vectorstore& store, const float* queries, std::size_t count, const RowLists& lists,
                   const SearchOptions& options, float* scores, std::uint64_t* ids);

// range_search() over each query's listed rows.
RangeEnd range_search_listed(const Vectorstore& store, const float* queries, std::size_t count, const RowLists& lists,
                             const SearchOptions& options, float threshold, std::uint64_t max_results,
                             RangeAnswers& out);

}  // namespace tessaray::core
