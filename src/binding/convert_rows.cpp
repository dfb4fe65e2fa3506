// convert_rows.cpp: many vectors of one length: a two-dimensional buffer read in place, or vectors one by one.
#include "binding/convert_rows.hpp"

#include <cstring>
#include <utility>

#include "binding/convert.hpp"
#include "binding/sized_alloc.hpp"

namespace tessaray::binding {

core::Vectorstore::RowSource Rows::source() const {
    return {const_cast<Rows*>(this), [](void* context, std::size_t first, std::size_t n, float* out) {
                const auto* rows = static_cast<const Rows*>(context);
                if (rows->matrix) {
                    rows->matrix->read_rows(first, n, out);
                } else if (n * rows->dim != 0) {
                    std::memcpy(out, rows->floats.data() + first * rows->dim, n * rows->dim * sizeof(float));
                }
            }};
}

const float* Rows::contiguous() {
    if (matrix) {
        floats.clear();
        reserve_or_throw(floats, count * dim);
        floats.resize(count * dim);
        matrix->read_rows(0, count, floats.data());
        matrix.reset();
    }
    return floats.data();
}

PyResult<Rows> to_rows(PyObject* obj, std::size_t dim, LengthMessage length_message) {
    Rows rows;
    rows.dim = dim;
    if (std::optional<MatrixBuffer> m = MatrixBuffer::of(obj)) {
        if (m->cols() != dim) return unexpected(PyErr::value_error(length_message(m->cols(), dim)));
        rows.count = m->rows();
        rows.matrix.emplace(std::move(*m));
        return rows;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(obj));
    if (!iterator) return unexpected(fetch());
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        TESSARAY_TRY_ASSIGN(const std::vector<float> row, to_float_array(item.get()));
        if (row.size() != dim) return unexpected(PyErr::value_error(length_message(row.size(), dim)));
        grow_to(rows.floats, rows.floats.size() + dim);
        rows.floats.insert(rows.floats.end(), row.begin(), row.end());
        ++rows.count;
    }
    if (PyErr_Occurred()) return unexpected(fetch());
    return rows;
}

}  // namespace tessaray::binding
