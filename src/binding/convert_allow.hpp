// convert_allow.hpp: the argument `allow` of the searches: a row mask, or the ids of the rows a search may answer with.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "binding/error.hpp"
#include "core/search_options.hpp"
#include "core/store.hpp"

namespace tessaray::binding {

// The allowed rows of a store, one bit per row (core::RowFilter).
struct AllowedRows {
    std::vector<std::uint64_t> words;
    std::size_t allowed = 0;

    core::RowFilter filter() const noexcept { return {words.data(), allowed}; }
};

// `allow` for `store`: None (or not given) is every row; a one-dimensional
// boolean buffer of len(store) is a row mask; a one-dimensional integer
// buffer or an iterable of integers lists ids, and allows every row whose
// id is listed (listed ids that are not stored are ignored).
PyResult<std::optional<AllowedRows>> to_allowed_rows(PyObject* allow, const core::Vectorstore& store);

}  // namespace tessaray::binding
