// convert_allow.cpp: the argument `allow` of the searches: a row mask, or the ids of the rows a search may answer with.
#include "binding/convert_allow.hpp"

#include <bit>
#include <cstring>
#include <string>
#include <unordered_set>

#include "binding/buffer.hpp"
#include "binding/convert.hpp"
#include "core/out_of_memory.hpp"

namespace tessaray::binding {

namespace {

std::size_t word_count(std::size_t rows) noexcept { return rows / 64 + (rows % 64 != 0 ? 1 : 0); }

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
    const auto* base = static_cast<const unsigned char*>(view.buf);
    for (std::size_t r = 0; r < n; ++r) {
        if (base[static_cast<Py_ssize_t>(r) * stride] != 0) out.words[r / 64] |= std::uint64_t{1} << (r % 64);
    }
    for (const std::uint64_t w : out.words) out.allowed += static_cast<std::size_t>(std::popcount(w));
    return PyResult<AllowedRows>(std::move(out));
}

}  // namespace

PyResult<std::optional<AllowedRows>> to_allowed_rows(PyObject* allow, const core::Vectorstore& store) {
    if (allow == nullptr || allow == Py_None) return std::optional<AllowedRows>();
    if (std::optional<PyResult<AllowedRows>> mask = mask_rows(allow, store.size())) {
        if (!*mask) return unexpected(std::move(*mask).error());
        return std::optional<AllowedRows>(std::move(**mask));
    }
    TESSARAY_TRY_ASSIGN(const std::vector<std::uint64_t> ids, to_ids(allow));
    AllowedRows out;
    out.words = core::allocate_vector<std::uint64_t>(word_count(store.size()));
    const std::unordered_set<std::uint64_t> listed(ids.begin(), ids.end());
    for (std::size_t r = 0; r < store.size(); ++r) {
        if (listed.count(store.id(r)) != 0) out.words[r / 64] |= std::uint64_t{1} << (r % 64);
    }
    for (const std::uint64_t w : out.words) out.allowed += static_cast<std::size_t>(std::popcount(w));
    return std::optional<AllowedRows>(std::move(out));
}

}  // namespace tessaray::binding
