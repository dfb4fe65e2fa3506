// buffer.cpp: the buffer fast path: exactly the floats the element path gives (NaN quiet bits aside), or nothing.
//
// A one-dimensional numpy array, array.array, memoryview, bytes or bytearray
// of a plain number format is read straight from its memory, without a Python
// call per element.  Each element becomes exactly the float the element path
// gives: the item's Python value converted to double (integers rounded to
// nearest, ties to even; float16 and float32 exactly; bool 0 or 1), then
// that double rounded to float.  Anything else (other formats, more or fewer
// dimensions, subclasses, other types, a refused buffer request) keeps the
// element path, errors included.
//
// The numpy arrays read here are numpy.ndarray and numpy.memmap.  memmap's
// element path indexes through memmap's own __getitem__, which calls
// ndarray's and changes only the class of the arrays that slicing returns:
// its single items are ndarray's.  Any other subclass, a subclass of memmap
// included, may decide its items itself (__getitem__, __iter__, __buffer__),
// and a memmap whose iteration or buffer has been replaced is not read
// either: these keep the element path.
#include "binding/buffer.hpp"

#include <immintrin.h>

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "binding/buffer_format.hpp"
#include "binding/once_cell.hpp"
#include "binding/sized_alloc.hpp"

namespace tessaray::binding {

static_assert(sizeof(Py_ssize_t) == sizeof(std::ptrdiff_t), "buffer item sizes are parsed as ptrdiff_t");

BufferView::BufferView(BufferView&& o) noexcept : view_(o.view_), held_(std::exchange(o.held_, false)) {}

BufferView::~BufferView() {
    if (held_) PyBuffer_Release(&view_);
}

bool BufferView::acquire(PyObject* obj) noexcept {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_FORMAT | PyBUF_ND | PyBUF_STRIDES) != 0) {
        PyErr_Clear();
        return false;
    }
    held_ = true;
    return true;
}

namespace {

std::atomic<PyTypeObject*> ndarray_type{nullptr};
std::atomic<PyTypeObject*> memmap_type{nullptr};
std::atomic<PyTypeObject*> array_type{nullptr};
OnceCell array_name_cell;
OnceCell numpy_name_cell;

// Whether `type` is the class that the already loaded module `module_name`
// holds under `name` (a class that is merely named so is not it).  The
// lookup imports nothing.
bool is_loaded_class(PyTypeObject* type, OnceCell& module_name, const char* module_text, const char* name) {
    Ref module = Ref::steal(PyImport_GetModule(interned(module_name, module_text)));
    PyObject* found = nullptr;
    if (module && PyModule_Check(module.get())) PyDict_GetItemStringRef(PyModule_GetDict(module.get()), name, &found);
    Ref found_ref = Ref::steal(found);
    if (PyErr_Occurred()) PyErr_Clear();
    return found == reinterpret_cast<PyObject*>(type);
}

// Keeps `type` in `cell` for good, the first time it is recognised.
void remember(std::atomic<PyTypeObject*>& cell, PyTypeObject* type) {
    PyTypeObject* expected = nullptr;
    if (cell.compare_exchange_strong(expected, type)) Py_INCREF(type);
}

// Whether `type` is the class `name` of the loaded module `module_text`,
// whose tp_name is `tp_name`; kept in `known` once recognised.
bool is_known_class(PyTypeObject* type, std::atomic<PyTypeObject*>& known, const char* tp_name, OnceCell& module_name,
                    const char* module_text, const char* name) {
    if (PyTypeObject* cached = known.load(std::memory_order_acquire); cached != nullptr && type == cached) return true;
    if (std::strcmp(type->tp_name, tp_name) != 0 || !is_loaded_class(type, module_name, module_text, name)) {
        return false;
    }
    remember(known, type);
    return true;
}

// numpy.ndarray itself (not a subclass), told by its module and name without
// importing numpy.  It is a static type: a class made in Python never is.
bool is_ndarray(PyTypeObject* type) {
    if (PyTypeObject* known = ndarray_type.load(std::memory_order_acquire)) return type == known;
    if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0 || std::strcmp(type->tp_name, "numpy.ndarray") != 0) return false;
    remember(ndarray_type, type);
    return true;
}

// numpy.memmap itself: the class of the numpy that is loaded already.
bool is_memmap(PyTypeObject* type) {
    return is_known_class(type, memmap_type, "memmap", numpy_name_cell, "numpy", "memmap");
}

// numpy.memmap while it iterates and exports its buffer with ndarray's own
// functions.  Its __getitem__ is numpy's, and a single item is ndarray's.
bool is_plain_memmap(PyTypeObject* type) {
    if (!is_memmap(type)) return false;
    PyTypeObject* base = type->tp_base;
    return base != nullptr && is_ndarray(base) && type->tp_iter == base->tp_iter && type->tp_as_buffer != nullptr &&
           base->tp_as_buffer != nullptr && type->tp_as_buffer->bf_getbuffer == base->tp_as_buffer->bf_getbuffer;
}

// array.array itself: the class of the array module that is loaded already.
bool is_array_array(PyTypeObject* type) {
    return is_known_class(type, array_type, "array.array", array_name_cell, "array", "array");
}

// The kind of buffer object `obj` is, if it is one the fast path reads.
std::optional<BufferSource> buffer_source(PyObject* obj) {
    if (PyBytes_CheckExact(obj) || PyByteArray_CheckExact(obj)) return BufferSource::Plain;
    if (PyMemoryView_Check(obj)) return BufferSource::Memoryview;  // memoryview has no subclasses
    PyTypeObject* type = Py_TYPE(obj);
    if (is_ndarray(type)) return BufferSource::Numpy;
    if (is_array_array(type)) return BufferSource::Plain;
    if (is_plain_memmap(type)) return BufferSource::Numpy;
    return std::nullopt;
}

template <class U>
U byteswapped(U value) noexcept {
    if constexpr (sizeof(U) == 2)
        return static_cast<U>(__builtin_bswap16(value));
    else if constexpr (sizeof(U) == 4)
        return static_cast<U>(__builtin_bswap32(value));
    else if constexpr (sizeof(U) == 8)
        return static_cast<U>(__builtin_bswap64(value));
    else
        return value;
}

template <class U, bool Swap>
U load(const char* p) noexcept {
    U value;
    std::memcpy(&value, p, sizeof value);
    if constexpr (Swap) value = byteswapped(value);
    return value;
}

// The float of one element, as the element path makes it.
template <ElementKind Kind, class U, bool Swap>
float element_value(const char* p) noexcept {
    if constexpr (Kind == ElementKind::Bool) {
        return p[0] != 0 ? 1.0f : 0.0f;
    } else if constexpr (Kind == ElementKind::Signed) {
        // Integer to double (nearest, ties to even), then double to float:
        // two roundings, as the element path does them.
        const auto value = static_cast<std::make_signed_t<U>>(load<U, Swap>(p));
        return static_cast<float>(static_cast<double>(static_cast<long long>(value)));
    } else if constexpr (Kind == ElementKind::Unsigned) {
        return static_cast<float>(static_cast<double>(static_cast<unsigned long long>(load<U, Swap>(p))));
    } else if constexpr (Kind == ElementKind::Half) {
        // Exact in double; the interpreter's own decoder keeps NaN payloads
        // as numpy and memoryview do.
        return static_cast<float>(PyFloat_Unpack2(p, (std::endian::native == std::endian::little) != Swap ? 1 : 0));
    } else if constexpr (Kind == ElementKind::Float32) {
        // The element path's float -> double -> float also sets the quiet bit
        // of a signalling NaN.  That bit is not copied here: no result can
        // show it, since every score that meets a NaN is the one quiet NaN of
        // the kernels, and stored elements are never handed back.
        return std::bit_cast<float>(load<std::uint32_t, Swap>(p));
    } else {
        return static_cast<float>(std::bit_cast<double>(load<std::uint64_t, Swap>(p)));
    }
}

template <ElementKind Kind, class U, bool Swap>
void convert_elements(const char* base, Py_ssize_t stride, std::size_t n, float* out) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = element_value<Kind, U, Swap>(base + static_cast<Py_ssize_t>(i) * stride);
    }
}

template <ElementKind Kind, class U>
void convert_elements(const ElementFormat& format, const char* base, Py_ssize_t stride, std::size_t n, float* out) {
    if (format.swap) {
        convert_elements<Kind, U, true>(base, stride, n, out);
    } else {
        convert_elements<Kind, U, false>(base, stride, n, out);
    }
}

template <ElementKind Kind>
void convert_sized(const ElementFormat& format, std::size_t size, const char* base, Py_ssize_t stride, std::size_t n,
                   float* out) {
    switch (size) {
        case 1: convert_elements<Kind, std::uint8_t>(format, base, stride, n, out); break;
        case 2: convert_elements<Kind, std::uint16_t>(format, base, stride, n, out); break;
        case 4: convert_elements<Kind, std::uint32_t>(format, base, stride, n, out); break;
        default: convert_elements<Kind, std::uint64_t>(format, base, stride, n, out); break;
    }
}

// Halves to floats with the processor's conversion, eight at a time.  It
// gives exactly the bits of the interpreter's decoder followed by the cast
// to float (every one of the 65,536 halves checked), NaN payloads included.
__attribute__((target("avx,f16c"))) void convert_halves_f16c(const char* base, Py_ssize_t stride, bool swap,
                                                             std::size_t n, float* out) noexcept {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint16_t halves[8];
        for (std::size_t j = 0; j < 8; ++j) {
            std::memcpy(&halves[j], base + static_cast<Py_ssize_t>(i + j) * stride, 2);
            if (swap) halves[j] = byteswapped(halves[j]);
        }
        __m128i packed;
        std::memcpy(&packed, halves, sizeof packed);
        _mm256_storeu_ps(out + i, _mm256_cvtph_ps(packed));
    }
    for (; i < n; ++i) {
        std::uint16_t half;
        std::memcpy(&half, base + static_cast<Py_ssize_t>(i) * stride, 2);
        if (swap) half = byteswapped(half);
        out[i] = _mm_cvtss_f32(_mm_cvtph_ps(_mm_cvtsi32_si128(half)));
    }
}

bool has_f16c() noexcept {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("f16c") && __builtin_cpu_supports("avx");
    }();
    return has;
}

// Converts n elements, `stride` bytes apart from `base`, to floats.
void convert_run(const ElementFormat& format, std::size_t size, const char* base, Py_ssize_t stride, std::size_t n,
                 float* out) noexcept {
    if (format.kind == ElementKind::Float32 && !format.swap && stride == static_cast<Py_ssize_t>(sizeof(float))) {
        if (n != 0) std::memcpy(out, base, n * sizeof(float));  // native floats, one after another
        return;
    }
    switch (format.kind) {
        case ElementKind::Bool: convert_sized<ElementKind::Bool>(format, size, base, stride, n, out); break;
        case ElementKind::Signed: convert_sized<ElementKind::Signed>(format, size, base, stride, n, out); break;
        case ElementKind::Unsigned: convert_sized<ElementKind::Unsigned>(format, size, base, stride, n, out); break;
        case ElementKind::Half:
            if (has_f16c()) {
                convert_halves_f16c(base, stride, format.swap, n, out);
            } else {
                convert_elements<ElementKind::Half, std::uint16_t>(format, base, stride, n, out);
            }
            break;
        case ElementKind::Float32:
            convert_elements<ElementKind::Float32, std::uint32_t>(format, base, stride, n, out);
            break;
        case ElementKind::Float64:
            convert_elements<ElementKind::Float64, std::uint64_t>(format, base, stride, n, out);
            break;
    }
}

// The floats of a buffer object, or nothing when the element path is to
// convert it.
std::optional<std::vector<float>> read_buffer(PyObject* obj, BufferSource source) {
    BufferView buffer;
    if (!buffer.acquire(obj)) return std::nullopt;
    const Py_buffer& view = buffer.view();
    if (view.ndim != 1 || view.shape == nullptr || view.suboffsets != nullptr) return std::nullopt;
    const std::optional<ElementFormat> format = parse_format(view.format, view.itemsize, source);
    if (!format) return std::nullopt;
    const auto n = static_cast<std::size_t>(view.shape[0]);
    const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
    // No Python runs from here on: the contents cannot change under us.
    std::vector<float> out;
    reserve_or_throw(out, n);
    out.resize(n);
    convert_run(*format, static_cast<std::size_t>(view.itemsize), static_cast<const char*>(view.buf), stride, n,
                out.data());
    return out;
}

}  // namespace

std::optional<std::vector<float>> buffer_floats(PyObject* obj) {
    const std::optional<BufferSource> source = buffer_source(obj);
    if (!source) return std::nullopt;
    return read_buffer(obj, *source);
}

std::optional<MatrixBuffer> MatrixBuffer::of(PyObject* obj) {
    const std::optional<BufferSource> source = buffer_source(obj);
    if (!source) return std::nullopt;
    BufferView buffer;
    if (!buffer.acquire(obj)) return std::nullopt;
    const Py_buffer& view = buffer.view();
    if (view.ndim != 2 || view.shape == nullptr || view.suboffsets != nullptr) return std::nullopt;
    const std::optional<ElementFormat> format = parse_format(view.format, view.itemsize, *source);
    if (!format) return std::nullopt;
    MatrixBuffer m(std::move(buffer));
    m.rows_ = static_cast<std::size_t>(view.shape[0]);
    m.cols_ = static_cast<std::size_t>(view.shape[1]);
    m.row_stride_ = view.strides != nullptr ? view.strides[0] : view.shape[1] * view.itemsize;
    m.col_stride_ = view.strides != nullptr ? view.strides[1] : view.itemsize;
    m.kind_ = static_cast<int>(format->kind);
    m.swap_ = format->swap;
    return m;
}

void MatrixBuffer::read_rows(std::size_t first, std::size_t count, float* out) const noexcept {
    const Py_buffer& view = buffer_.view();
    const ElementFormat format{static_cast<ElementKind>(kind_), swap_};
    const auto* base = static_cast<const char*>(view.buf);
    for (std::size_t r = 0; r < count; ++r) {
        convert_run(format, static_cast<std::size_t>(view.itemsize),
                    base + static_cast<Py_ssize_t>(first + r) * row_stride_, col_stride_, cols_, out + r * cols_);
    }
}

namespace {

// The `n` integers of `Size` bytes from `base`, `stride` bytes apart, as ids
// into out; false at the first negative one (the element path refuses it).
// The size is a constant, so that each element's copy is one load.
template <std::size_t Size>
bool read_ids(const char* base, Py_ssize_t stride, std::size_t n, ElementFormat format, std::uint64_t* out) noexcept {
    constexpr unsigned kShift = 64 - 8 * Size;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t raw = 0;
        std::memcpy(&raw, base + static_cast<Py_ssize_t>(i) * stride, Size);  // little-endian host
        if (format.swap) raw = __builtin_bswap64(raw) >> kShift;
        if (format.kind == ElementKind::Signed) {
            const auto value = static_cast<std::int64_t>(raw << kShift) >> kShift;
            if (value < 0) return false;
            raw = static_cast<std::uint64_t>(value);
        }
        out[i] = raw;
    }
    return true;
}

}  // namespace

std::optional<std::vector<std::uint64_t>> buffer_ids(PyObject* obj) {
    const std::optional<BufferSource> source = buffer_source(obj);
    if (!source) return std::nullopt;
    BufferView buffer;
    if (!buffer.acquire(obj)) return std::nullopt;
    const Py_buffer& view = buffer.view();
    if (view.ndim != 1 || view.shape == nullptr || view.suboffsets != nullptr) return std::nullopt;
    const std::optional<ElementFormat> format = parse_format(view.format, view.itemsize, *source);
    // Integers only: anything else is converted one by one, with its errors.
    if (!format || (format->kind != ElementKind::Signed && format->kind != ElementKind::Unsigned)) return std::nullopt;
    const auto n = static_cast<std::size_t>(view.shape[0]);
    const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
    const auto* base = static_cast<const char*>(view.buf);
    std::vector<std::uint64_t> out;
    reserve_or_throw(out, n);
    out.resize(n);
    bool read = false;
    switch (view.itemsize) {
        case 1: read = read_ids<1>(base, stride, n, *format, out.data()); break;
        case 2: read = read_ids<2>(base, stride, n, *format, out.data()); break;
        case 4: read = read_ids<4>(base, stride, n, *format, out.data()); break;
        case 8: read = read_ids<8>(base, stride, n, *format, out.data()); break;
        default: break;  // no integer format has another size
    }
    if (!read) return std::nullopt;
    return out;
}

}  // namespace tessaray::binding
