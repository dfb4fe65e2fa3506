// result_arrays.hpp: results as writable buffers that numpy and memoryview read in place.
#pragma once

#include <cstddef>
#include <optional>

#include "binding/error.hpp"
#include "core/store.hpp"

namespace tessaray::binding {

// The memory of an array result: a bytearray that owns it.
struct Array {
    Ref bytes;
    char* data() const { return PyByteArray_AS_STRING(bytes.get()); }
};

// A new array of `bytes` bytes, not yet written.  Running out of memory
// throws core::OutOfMemory with the size; any other failure is a fault.
Array new_array(std::size_t bytes);

// Refuses a vector size whose rows no array can describe: a row of
// vector_size * 4 bytes needs a byte stride up to PY_SSIZE_T_MAX.  Only an
// empty store can have one.
PyResult<void> check_row_size(const core::Vectorstore& store);

// A new memoryview of `array` shown as `format` items ("f" or "Q") of shape
// (rows, cols), or (rows) without cols.
PyResult<PyObject*> array_view(const Array& array, const char* format, std::size_t rows,
                               std::optional<std::size_t> cols);

}  // namespace tessaray::binding
