// convert.hpp: converting argument objects to the core's values (float arrays, ids, counts, pairs).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "binding/error.hpp"
#include "core/store.hpp"

namespace tessaray::binding {

// Each takes a borrowed object and returns the value or an error.
PyResult<std::vector<float>> to_float_array(PyObject* obj);
PyResult<std::uint64_t> to_u64(PyObject* obj);
// `obj` null (not given) or None means no value.
PyResult<std::optional<std::uint64_t>> to_optional_u64(PyObject* obj);
PyResult<core::StoredVector> to_pair(PyObject* obj);
PyResult<std::vector<core::StoredVector>> to_pairs(PyObject* obj);

}  // namespace tessaray::binding
