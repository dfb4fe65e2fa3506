// search_options.hpp: what a search is asked to do: the one value every search takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace tessaray::core {

// The calling thread's part while a search's workers run: `poll` is called
// about every `interval_ms` milliseconds while the work runs, and with
// `edges` also once when it starts and once when it is done, with the
// (query, row) pairs scored so far and their total.  Returning false stops
// the search: every worker stops before its next panel of rows, and the
// search reports that it stopped.
struct SearchWatch {
    bool (*poll)(void* context, std::uint64_t done, std::uint64_t total);
    void* context;
    unsigned interval_ms;
    bool edges;
};

// The rows a search may answer with: row r is allowed when bit r % 64 of
// words[r / 64] is set.  One word covers one block of kBlockRows rows, so a
// zero word is a block the scans need not read.  Bits past the store's last
// row are clear.
struct RowFilter {
    const std::uint64_t* words;
    std::size_t allowed;  // the set bits

    // Bits row .. row + count - 1 (count <= 64), row `row` in bit 0.
    std::uint64_t bits(std::size_t row, std::size_t count) const noexcept {
        const std::size_t shift = row % 64;
        std::uint64_t b = words[row / 64] >> shift;
        if (shift != 0 && shift + count > 64) b |= words[row / 64 + 1] << (64 - shift);
        return count == 64 ? b : b & ((std::uint64_t{1} << count) - 1);
    }
};

// The options of every search: search() reads top_k, parallel_search() also
// the worker count, search_batch() the watch and the row filter as well.
// The scans read the filter (which blocks to score) and the score sinks
// (which scores to keep).
struct SearchOptions {
    // The most answers per query; an answer holds min(top_k, rows) pairs.
    std::uint64_t top_k = 0;
    // The worker count; none means the processors the process may use (4
    // when that is unknown).  Answers never depend on it.
    std::optional<std::uint64_t> n_threads;
    // Progress and stop, or none.
    const SearchWatch* watch = nullptr;
    // The allowed rows, or none: every row.
    const RowFilter* allow = nullptr;

    SearchOptions(std::uint64_t k, std::optional<std::uint64_t> threads = std::nullopt, const SearchWatch* w = nullptr,
                  const RowFilter* a = nullptr) noexcept  // NOLINT: a bare top_k is the common case
            : top_k(k), n_threads(threads), watch(w), allow(a) {}
};

}  // namespace tessaray::core
