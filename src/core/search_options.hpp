// search_options.hpp: what a search is asked to do: the one value every search takes.
#pragma once

#include <cstdint>
#include <optional>

namespace tessaray::core {

// The calling thread's part while a search's workers run: `poll` is called
// once when the work starts, about every `interval_ms` milliseconds while it
// runs and once when it is done, with the (query, row) pairs scored so far
// and their total.  Returning false stops the search: every worker stops
// before its next panel of rows, and the search reports that it stopped.
struct SearchWatch {
    bool (*poll)(void* context, std::uint64_t done, std::uint64_t total);
    void* context;
    unsigned interval_ms;
};

// The options of every search: search() reads top_k, parallel_search() also
// the worker count, search_batch() the watch as well.  A row filter and a
// score threshold are options of the same kind: they belong here, read by
// the scans (which blocks to score) and the score sinks (which scores to
// keep), so that every search gets them at once.
struct SearchOptions {
    // The most answers per query; an answer holds min(top_k, rows) pairs.
    std::uint64_t top_k = 0;
    // The worker count; none means the processors the process may use (4
    // when that is unknown).  Answers never depend on it.
    std::optional<std::uint64_t> n_threads;
    // Progress and stop, or none.
    const SearchWatch* watch = nullptr;

    SearchOptions(std::uint64_t k, std::optional<std::uint64_t> threads = std::nullopt,
                  const SearchWatch* w = nullptr) noexcept  // NOLINT: a bare top_k is the common case
            : top_k(k), n_threads(threads), watch(w) {}
};

}  // namespace tessaray::core
