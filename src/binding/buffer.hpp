// buffer.hpp: the buffer fast path: exactly the floats the element path gives (NaN quiet bits aside), or nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "binding/python.hpp"

namespace tessaray::binding {

// The floats of `obj` read straight from its memory, when it is a
// one-dimensional numpy.ndarray or numpy.memmap, array.array, memoryview,
// bytes or bytearray of a plain number format: each element becomes exactly
// the float the element path makes of its Python value, except that a
// signalling float32 NaN may stay signalling (every score that meets a NaN
// is the same quiet NaN, so no result tells them apart).  Nothing, with no
// exception pending, for every other object, which the element path then
// converts (errors included).  Throws core::OutOfMemory when the floats
// cannot be allocated.
std::optional<std::vector<float>> buffer_floats(PyObject* obj);

// Owns a filled Py_buffer and releases it on every path.
class BufferView {
public:
    BufferView() noexcept = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    BufferView(BufferView&& o) noexcept;
    BufferView& operator=(BufferView&&) = delete;
    ~BufferView();
    // False (with no exception left) when the object refuses the request.
    bool acquire(PyObject* obj) noexcept;
    const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A two-dimensional buffer of numbers, held for reading its rows without the
// interpreter: the same objects and formats as buffer_floats, with two
// dimensions and any strides.  Each element becomes exactly the float the
// element path makes of it.
class MatrixBuffer {
public:
    // Nothing, with no exception pending, for every other object.
    static std::optional<MatrixBuffer> of(PyObject* obj);

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    // Rows first .. first + count - 1, row after row, cols() floats each.
    // Needs no interpreter lock while the buffer is held.
    void read_rows(std::size_t first, std::size_t count, float* out) const noexcept;

private:
    explicit MatrixBuffer(BufferView&& buffer) noexcept : buffer_(std::move(buffer)) {}
    BufferView buffer_;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    Py_ssize_t row_stride_ = 0;
    Py_ssize_t col_stride_ = 0;
    int kind_ = 0;
    bool swap_ = false;
};

// The ids of a one-dimensional buffer of non-negative integers (any integer
// format), or nothing for every other object and for a negative id: those
// are converted one by one, errors included.
std::optional<std::vector<std::uint64_t>> buffer_ids(PyObject* obj);

}  // namespace tessaray::binding
