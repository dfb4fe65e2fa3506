// results.hpp: building the Python results of the module's calls from the core's values.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "binding/error.hpp"
#include "core/search.hpp"

namespace tessaray::binding {

// Each returns a new reference.  Running out of memory throws std::bad_alloc
// (core::OutOfMemory with the size when known); any other null from the
// interpreter is a fault.
PyObject* float_result(float value);
PyObject* u64_result(std::uint64_t value);
PyObject* pairs_result(const std::vector<core::ResultPair>& pairs);
// A list of `count` such lists, list q from scores[q * keep ..] and ids[q * keep ..],
// of keep pairs each, or of lengths[q] <= keep.
PyObject* pair_lists_result(const float* scores, const std::uint64_t* ids, std::size_t count, std::size_t keep,
                            const std::uint64_t* lengths = nullptr);
PyObject* none_result();
PyObject* str_result(std::string_view text);

// The pair (a, b) of two results, or the first error; takes over both values.
PyResult<PyObject*> pair_of(PyResult<PyObject*> a, PyResult<PyObject*> b);
// The same for three.
PyResult<PyObject*> triple_of(PyResult<PyObject*> a, PyResult<PyObject*> b, PyResult<PyObject*> c);

}  // namespace tessaray::binding
