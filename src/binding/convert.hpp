// convert.hpp: converting argument objects to the core's values (float arrays, ids, counts, pairs, flags, paths).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
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
// Ids from a one-dimensional integer buffer, or any iterable of integers.
PyResult<std::vector<std::uint64_t>> to_ids(PyObject* obj);
// A score threshold: a real number, not NaN, as the least float32 at or
// above it, so that a float32 score is at least the result exactly when it
// is at least the number itself.
PyResult<float> to_threshold(PyObject* obj);
// The truth of `obj`; null (not given) is false.
PyResult<bool> to_flag(PyObject* obj);
// A path (str, bytes or os.PathLike) as the file system's bytes.
PyResult<std::string> to_path(PyObject* obj);

}  // namespace tessaray::binding
