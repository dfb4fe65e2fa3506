// row_sinks.hpp: a k-NN graph's later rows fed the scores a batch computes for its queries, each pair scored once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/topk.hpp"

namespace tessaray::core {

// Rows of the store searched as queries of their own (a k-NN graph), which
// take the batch's scores as well: row r from `first` on is given the score
// of query q against it as the score of row query_first + q (a score is the
// same either way round), the queries in order: offered to sinks[r], row
// r's selection so far.  A query's bound then also answers for these rows:
// in each panel it is taken at the lowest of their bars and its own, so a
// pair it rules out could enter neither.
struct RowSinks {
    std::span<TopK> sinks;
    std::size_t first;
    std::size_t query_first;

    // Gives the rows from `first` on among rows at .. at + count - 1 the
    // scores of queries q0 .. q0 + n - 1: query t's at scores[t * stride + r]
    // for row at + r.
    void give(const float* scores, std::size_t stride, std::size_t q0, std::size_t n, std::size_t at,
              std::size_t count) const noexcept;
    // Gives the rows from `first` on among the block rows at + j, j a bit of
    // `marked`, query q's scores out[j].
    void give_marked(const float* out, std::uint64_t marked, std::size_t q, std::size_t at) const noexcept;
    // The lowest bar of the selections of rows [from, end) from `first` on
    // (NaN while one may keep any row, +inf with none), `roots` the store's.
    // Rows whose root the bound leaves to the exact kernel are marked for
    // every query whatever its limit, so their bars need not hold the limits
    // down; for a zero row, or one holding NaN or an infinity, that bar is
    // NaN (every score of such a row is).
    float lowest_bar(const float* roots, std::size_t from, std::size_t end) const noexcept;
    // Bit j for a zero row at + j of a block whose own selection, if it has
    // one, can take no query's score: a zero row scores 0 against every
    // row, so once its selection is full of rows before the queries' it
    // keeps them (score_bound.hpp's KnownRows, for these sinks).
    std::uint64_t settled_zeros(const float* roots, std::size_t at) const noexcept;
};

}  // namespace tessaray::core
