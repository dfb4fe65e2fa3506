// convert_rows.hpp: many vectors of one length: a two-dimensional buffer read in place, or vectors one by one.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "binding/buffer.hpp"
#include "binding/error.hpp"
#include "core/store.hpp"

namespace tessaray::binding {

// `count` rows of `dim` floats each.
struct Rows {
    std::size_t dim = 0;
    std::optional<MatrixBuffer> matrix;  // read in place
    std::vector<float> floats;           // or converted, row after row
    std::size_t count = 0;

    // The rows for core::Vectorstore::append_rows; read without the
    // interpreter lock.
    core::Vectorstore::RowSource source() const;
    // The rows as one array, row after row (read from the buffer if need be).
    const float* contiguous();
};

// The message of a row whose length is not the expected one.
using LengthMessage = std::string (*)(std::size_t found, std::size_t expected);

// The rows of `obj`, each of which must have `dim` floats; a row of another
// length is a ValueError with `length_message`.
PyResult<Rows> to_rows(PyObject* obj, std::size_t dim, LengthMessage length_message);

}  // namespace tessaray::binding
