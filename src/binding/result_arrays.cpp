// result_arrays.cpp: results as writable buffers that numpy and memoryview read in place.
#include "binding/result_arrays.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <string>

#include "binding/once_cell.hpp"
#include "core/out_of_memory.hpp"
#include "core/store_file.hpp"

namespace tessaray::binding {

namespace {

OnceCell cast_name_cell;
OnceCell float_format_cell;
OnceCell u64_format_cell;

}  // namespace

Array new_array(std::size_t bytes) {
    if (bytes > static_cast<std::size_t>(PY_SSIZE_T_MAX)) core::throw_out_of_memory(bytes);
    PyObject* made = PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes));
    if (made == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            PyErr_Clear();
            core::throw_out_of_memory(bytes);
        }
        panic_on_null();
    }
    // Large buffers are written in full right away: on transparent huge
    // pages that costs a fraction of the page faults (numpy advises its own
    // large arrays the same way).
    constexpr std::uintptr_t kHuge = std::uintptr_t(2) << 20;
    const auto start = reinterpret_cast<std::uintptr_t>(PyByteArray_AS_STRING(made));
    const std::uintptr_t first = (start + kHuge - 1) / kHuge * kHuge;
    const std::uintptr_t last = (start + bytes) / kHuge * kHuge;
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    return Array{Ref::steal(made)};
}

PyResult<void> check_row_size(const core::Vectorstore& store) {
    static_assert(core::kMaxFileVectorSize * sizeof(float) <= static_cast<std::size_t>(PY_SSIZE_T_MAX));
    const std::size_t dim = store.vector_size();
    if (dim <= core::kMaxFileVectorSize) return {};
    return unexpected(PyErr::lazy(PyExc_OverflowError, "vector_size " + std::to_string(dim) +
                                                           " is too large for an array: a row of that many floats "
                                                           "passes the largest buffer"));
}

PyResult<PyObject*> array_view(const Array& array, const char* format, std::size_t rows,
                               std::optional<std::size_t> cols) {
    if (rows == 0 || cols == 0) {
        // memoryview.cast refuses a zero in the shape.  An empty view needs no
        // owner: its shape is copied and its format is a literal.
        static char nothing[8];
        Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(cols.value_or(0))};
        const Py_ssize_t itemsize = format[0] == 'f' ? 4 : 8;
        Py_ssize_t strides[2] = {cols ? shape[1] * itemsize : itemsize, itemsize};
        Py_buffer info{};
        info.buf = nothing;
        info.itemsize = itemsize;
        info.format = const_cast<char*>(format);
        info.ndim = cols ? 2 : 1;
        info.shape = shape;
        info.strides = strides;
        PyObject* empty = PyMemoryView_FromBuffer(&info);
        if (empty == nullptr) return unexpected(fetch());
        return empty;
    }
    Ref view = Ref::steal(PyMemoryView_FromObject(array.bytes.get()));
    if (!view) return unexpected(fetch());
    Ref shape = Ref::steal(cols ? Py_BuildValue("(nn)", static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(*cols))
                                : Py_BuildValue("(n)", static_cast<Py_ssize_t>(rows)));
    if (!shape) return unexpected(fetch());
    // The call, its name and the format made once: on a small answer,
    // parsing them anew took a third of the batch's time.
    PyObject* name = interned(cast_name_cell, "cast");
    PyObject* form = format[0] == 'f' ? interned(float_format_cell, "f") : interned(u64_format_cell, "Q");
    PyObject* args[] = {view.get(), form, shape.get()};
    PyObject* cast = PyObject_VectorcallMethod(name, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (cast == nullptr) return unexpected(fetch());
    return cast;
}

}  // namespace tessaray::binding
