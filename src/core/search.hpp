// search.hpp: exact top-k search of one query, on the calling thread or with worker threads, and the scan that feeds both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/expected.hpp"
#include "core/score_sink.hpp"
#include "core/search_options.hpp"
#include "core/store.hpp"

namespace tessaray::core {

class ReadAhead;

struct ResultPair {
    float score;
    std::uint64_t id;
};

using SearchResult = Expected<std::vector<ResultPair>, std::string>;

// The best min(options.top_k, size) rows for `query`, best first, equal
// scores in insertion order.  Fails with the query-length message when the
// query's length is not the store's vector size.  Runs on the calling thread
// and allocates only the result.
SearchResult search(const Vectorstore& store, std::span<const float> query, const SearchOptions& options);

// The same result computed by worker threads, one per range of the store
// (work_plan.hpp), with options.n_threads workers.  Thread failures are
// internal faults (thrown as Fault) after every started worker has ended.
// Neither search reads options.watch: a single query is one pass over the
// store, and their callers hold the interpreter lock throughout.
SearchResult parallel_search(const Vectorstore& store, std::span<const float> query, const SearchOptions& options);

// Scores the rows [begin, end) of `store` against `query` (whose root of its
// sum of squares is `query_root`) and hands the scores to `sink` in row
// order, a few blocks at a time, from a buffer on the stack.
void scan_rows(const Vectorstore& store, const float* query, float query_root, std::size_t begin, std::size_t end,
               ScoreSink& sink) noexcept;
// The same, for a scan cut into several calls: `ahead` (over the blocks of
// the whole scan) asks for a store file's next windows as it passes them.
void scan_rows(const Vectorstore& store, const float* query, float query_root, std::size_t begin, std::size_t end,
               ScoreSink& sink, ReadAhead& ahead) noexcept;

std::string query_length_message(std::size_t found, std::size_t expected);

}  // namespace tessaray::core
