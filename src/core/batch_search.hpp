// batch_search.hpp: exact top-k answers for many queries in one pass over the store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/store.hpp"

namespace tessaray::core {

// What the calling thread does while the workers of a batch run.
struct BatchWatch {
    // Called once when the workers have started, about every `interval_ms`
    // milliseconds while they run and once when they are done, with the
    // (query, entry) pairs scored so far and their total.  Returning false
    // stops the batch: every worker stops before its next panel of rows.
    bool (*poll)(void* context, std::uint64_t done, std::uint64_t total);
    void* context;
    unsigned interval_ms;
};

// The answers per query: min(top_k, store.size()).
std::size_t batch_keep(const Vectorstore& store, std::uint64_t top_k) noexcept;

// Answers `count` queries, given row after row (store.vector_size() floats
// each): the answer to query q goes to scores[q * keep ..] and ids[q * keep ..]
// (keep = batch_keep(store, top_k)), and equals search(store, query q, top_k)
// bit for bit, whatever the worker count.  The rows are split into one
// contiguous range per worker (n_threads, by default the processors the
// process may use); every worker scores tiles of queries against panels of
// blocks that stay in its cache, and the calling thread merges the workers'
// selections.  A lone worker is the calling thread itself.  Returns false when the watch stopped the batch (the outputs
// then hold nothing useful).  Everything is allocated before a worker starts
// (OutOfMemory); a refused thread start or a failed worker is a Fault, raised
// after every started worker has ended.
bool search_batch(const Vectorstore& store, const float* queries, std::size_t count, std::uint64_t top_k,
                  std::optional<std::uint64_t> n_threads, float* scores, std::uint64_t* ids,
                  const BatchWatch* watch = nullptr);

}  // namespace tessaray::core
