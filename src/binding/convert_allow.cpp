// convert_allow.cpp: the argument `allow` of the searches: a row mask, or the ids of the rows a search may answer with.
#include "binding/convert_allow.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "binding/buffer.hpp"
#include "binding/convert.hpp"
#include "binding/ref.hpp"
#include "core/out_of_memory.hpp"

namespace tessaray::binding {

namespace {

std::size_t allowed_count(const std::vector<std::uint64_t>& words) noexcept {
    std::size_t allowed = 0;
    for (const std::uint64_t w : words) allowed += static_cast<std::size_t>(std::popcount(w));
    return allowed;
}

std::size_t word_count(std::size_t rows) noexcept { return rows / 64 + (rows % 64 != 0 ? 1 : 0); }

// The 8 bools at `p` (bytes, any nonzero one true) as 8 bits, p[0] in bit 0.
std::uint64_t eight_bits(const unsigned char* p) noexcept {
    std::uint64_t x;
    std::memcpy(&x, p, sizeof x);
    constexpr std::uint64_t kLow7 = 0x7f7f7f7f7f7f7f7full;
    // The top bit of each byte: set where the byte is not zero.
    const std::uint64_t top = (((x & kLow7) + kLow7) | x) & ~kLow7;
    // Each byte's top bit, moved by the multiply into bits 56..63 in order.
    return ((top >> 7) * 0x0102040810204080ull) >> 56;
}

// Row bits of `n` bools `stride` bytes apart from `base`, into zeroed
// `words`: eight contiguous bools at a time, without a branch per row (a
// random mask mispredicts every other one).
void pack_mask(const unsigned char* base, Py_ssize_t stride, std::size_t n, std::uint64_t* words) noexcept {
    std::size_t r = 0;
    if (stride == 1) {
        for (; r + 8 <= n; r += 8) words[r / 64] |= eight_bits(base + r) << (r % 64);
    }
    for (; r < n; ++r) {
        words[r / 64] |= std::uint64_t(base[static_cast<Py_ssize_t>(r) * stride] != 0) << (r % 64);
    }
}

// A one-dimensional buffer of bools, as row bits, or nothing for any other object.
std::optional<PyResult<AllowedRows>> mask_rows(PyObject* obj, std::size_t rows) {
    if (!PyObject_CheckBuffer(obj)) return std::nullopt;
    BufferView buffer;
    if (!buffer.acquire(obj)) return std::nullopt;
    const Py_buffer& view = buffer.view();
    if (view.format == nullptr || std::strcmp(view.format, "?") != 0) return std::nullopt;
    if (view.ndim != 1 || view.shape == nullptr || view.suboffsets != nullptr) {
        return PyResult<AllowedRows>(unexpected(PyErr::value_error(
            "allow is a boolean buffer of " + std::to_string(view.ndim) + " dimensions, not a row mask of one")));
    }
    const auto n = static_cast<std::size_t>(view.shape[0]);
    if (n != rows) {
        return PyResult<AllowedRows>(unexpected(PyErr::value_error(
            "allow has length " + std::to_string(n) + " but the store has " + std::to_string(rows) + " rows")));
    }
    AllowedRows out;
    out.words = core::allocate_vector<std::uint64_t>(word_count(rows));
    const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : 1;
    pack_mask(static_cast<const unsigned char*>(view.buf), stride, n, out.words.data());
    out.allowed = allowed_count(out.words);
    return PyResult<AllowedRows>(std::move(out));
}

// Whether `obj` is an integer (its __index__ gives one).
bool is_integer(PyObject* obj) {
    const Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) PyErr_Clear();
    return static_cast<bool>(index);
}

// A pair (lims, ids) whose items are not integers: per-query lists.
bool is_lists(PyObject* obj) {
    return PyTuple_Check(obj) && PyTuple_GET_SIZE(obj) == 2 && !is_integer(PyTuple_GET_ITEM(obj, 0)) &&
           !is_integer(PyTuple_GET_ITEM(obj, 1));
}

PyResult<core::RowLists> row_lists(PyObject* obj, const core::Vectorstore& store, std::size_t queries) {
    TESSARAY_TRY_ASSIGN(const std::vector<std::uint64_t> lims, to_ids(PyTuple_GET_ITEM(obj, 0)));
    TESSARAY_TRY_ASSIGN(const std::vector<std::uint64_t> ids, to_ids(PyTuple_GET_ITEM(obj, 1)));
    if (lims.size() != queries + 1) {
        return unexpected(PyErr::value_error("allow's lims has length " + std::to_string(lims.size()) + " but " +
                                             std::to_string(queries) + " queries need " + std::to_string(queries + 1)));
    }
    if (lims.front() != 0 || lims.back() != ids.size() || !std::is_sorted(lims.begin(), lims.end())) {
        return unexpected(PyErr::value_error("allow's lims must rise from 0 to the length of its ids (" +
                                             std::to_string(ids.size()) + ")"));
    }
    return core::rows_with_ids_per_query(store, lims, ids);
}

}  // namespace

PyResult<std::optional<AllowedRows>> to_allowed_rows(PyObject* allow, const core::Vectorstore& store,
                                                     std::size_t queries) {
    if (allow == nullptr || allow == Py_None) return std::optional<AllowedRows>();
    if (is_lists(allow)) {
        AllowedRows out;
        TESSARAY_TRY_ASSIGN(out.lists, row_lists(allow, store, queries));
        return std::optional<AllowedRows>(std::move(out));
    }
    if (std::optional<PyResult<AllowedRows>> mask = mask_rows(allow, store.size())) {
        if (!*mask) return unexpected(std::move(*mask).error());
        return std::optional<AllowedRows>(std::move(**mask));
    }
    TESSARAY_TRY_ASSIGN(const std::vector<std::uint64_t> ids, to_ids(allow));
    AllowedRows out;
    out.words = core::rows_with_ids(store, ids);
    out.allowed = allowed_count(out.words);
    return std::optional<AllowedRows>(std::move(out));
}

}  // namespace tessaray::binding
