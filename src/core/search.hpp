// search.hpp: exact top-k search, on the calling thread or with worker threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/expected.hpp"
#include "core/store.hpp"
#include "core/topk.hpp"

namespace tessaray::core {

struct ResultPair {
    float score;
    std::uint64_t id;
};

using SearchResult = Expected<std::vector<ResultPair>, std::string>;

// The best min(top_k, size) entries for `query`, best first, equal scores in
// insertion order.  Fails with the query-length message when the query's
// length is not the store's vector size.  Allocates only the result.
SearchResult search(const Vectorstore& store, std::span<const float> query, std::uint64_t top_k);

// The same result computed by worker threads, one per chunk of the store.
// With no count given the default worker count is used (4 when unknown).
// Thread failures are internal faults (thrown as Fault) after every started
// worker has ended.
SearchResult parallel_search(const Vectorstore& store, std::span<const float> query, std::uint64_t top_k,
                             std::optional<std::uint64_t> n_threads);

// Offers the entries [begin, end) of `store`, scored against `query`, to `selection`.
void score_range(const Vectorstore& store, std::span<const float> query, float query_root, std::size_t begin,
                 std::size_t end, TopK& selection) noexcept;

// Offers the entries first .. first + count - 1, whose scores are scores[0 ..
// count), to `selection`; `whole` compares whole runs of kBlockRows scores.
void offer_scores(const float* scores, std::size_t first, std::size_t count, TopK& selection,
                  CandidatesFn whole) noexcept;

std::string query_length_message(std::size_t found, std::size_t expected);

// The plan of a parallel search over n entries (n >= 1) with w requested workers.
struct WorkPlan {
    std::size_t workers;     // W: at least 1
    std::size_t chunk_size;  // C = ceil(N / W)
    std::size_t chunks;      // K = ceil(N / C)
};
WorkPlan plan_work(std::size_t n, std::size_t requested_workers) noexcept;

// Test hooks for the fault paths of parallel_search.  Not for production use.
namespace testing {
// When set, called by every worker with its chunk number before it scores;
// a throw from it is a worker fault.
extern void (*worker_hook)(std::size_t chunk);
// When set, called before each worker is started; a non-zero result is used
// as the error number of a refused thread start.
extern int (*spawn_hook)(std::size_t chunk);
}  // namespace testing

}  // namespace tessaray::core
