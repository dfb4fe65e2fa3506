// convert_allow.hpp: the argument `allow` of the searches: a row mask, or the ids of the rows a search may answer with.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "binding/error.hpp"
#include "core/id_match.hpp"
#include "core/search_options.hpp"
#include "core/store.hpp"

namespace tessaray::binding {

// The allowed rows of a store: for every query the same rows, one bit per
// row (core::RowFilter), or a list of rows per query.
struct AllowedRows {
    std::vector<std::uint64_t> words;
    std::size_t allowed = 0;
    std::optional<core::RowLists> lists;

    // The rows allowed for every query, when there are no lists.
    std::optional<core::RowFilter> filter() const noexcept {
        if (lists) return std::nullopt;
        return core::RowFilter{words.data(), allowed};
    }
};

// `allow` for `store` and `queries` queries: None (or not given) is every
// row; a one-dimensional boolean buffer of len(store) is a row mask; a
// one-dimensional integer buffer or an iterable of integers lists ids, and
// allows every row whose id is listed (listed ids that are not stored are
// ignored); a pair (lims, ids) of such id lists gives query q the rows
// whose id is in ids[lims[q]:lims[q + 1]].
PyResult<std::optional<AllowedRows>> to_allowed_rows(PyObject* allow, const core::Vectorstore& store,
                                                     std::size_t queries);

}  // namespace tessaray::binding
