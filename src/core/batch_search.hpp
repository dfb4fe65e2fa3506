// batch_search.hpp: exact top-k answers for many queries in one pass over the store.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/search_options.hpp"
#include "core/store.hpp"

namespace tessaray::core {

// The answers per query: min(top_k, store.size()).
std::size_t batch_keep(const Vectorstore& store, std::uint64_t top_k) noexcept;

// Answers `count` queries, given row after row (store.vector_size() floats
// each): the answer to query q goes to scores[q * keep ..] and ids[q * keep ..]
// (keep = batch_keep(store, options.top_k)), and equals search(store, query
// q, options) bit for bit, whatever the worker count.  The workers
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
