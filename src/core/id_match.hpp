// id_match.hpp: which rows of a store carry ids from a list: as a row mask, or per query as lists of rows.
//
// The store never compares ids (they may repeat); these functions are where a
// caller's list of ids is matched against them, in one pass over the store's
// ids.  A list whose ids span a narrow range (at most 64 ids per listed id,
// or 2**23) becomes one bit per id of that range, so a stored id costs a range
// check and a bit test; any other list goes into an open-addressing hash set
// sized to the list, behind a bit filter that answers "not listed" for most
// stored ids with one load, so the cost is a few nanoseconds per stored id
// plus the set's build.  Either way the memory taken is bounded by the list.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/store.hpp"

namespace tessaray::core {

// A row mask of `store`: ceil(store.size() / 64) words, row r at bit r % 64 of
// word r / 64, set exactly when row r's id is among `ids` (ids that no row
// carries are ignored, a repeated id counts once); the bits past size() are
// clear.  Throws OutOfMemory (nothing kept) when memory runs out.
std::vector<std::uint64_t> rows_with_ids(const Vectorstore& store, std::span<const std::uint64_t> ids);

// Rows of a store per query, in CSR form: query q's rows are
// rows[lims[q] .. lims[q + 1]), ascending and unique.  lims has one entry more
// than there are queries and starts at 0.
struct RowLists {
    std::vector<std::uint64_t> lims;
    std::vector<std::uint64_t> rows;
};

// For each query q, whose ids are ids[lims[q] .. lims[q + 1]), every row of
// `store` whose id query q lists.  The caller has checked `lims`: not empty,
// starting at 0, non-decreasing, ending at ids.size().  Throws OutOfMemory
// (nothing kept) when memory runs out, the answers' size included.
RowLists rows_with_ids_per_query(const Vectorstore& store, std::span<const std::uint64_t> lims,
                                 std::span<const std::uint64_t> ids);

}  // namespace tessaray::core
