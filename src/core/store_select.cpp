// store_select.cpp: a store of the rows a mask keeps, its parts written in place: blocks copied a stretch of rows at a time.
#include "core/store_select.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>

namespace tessaray::core {

namespace {

constexpr std::size_t kWordBits = 64;

// The first row from `r` on whose drop bit is `bit` (or `n`).
std::size_t next_with(std::span<const std::uint64_t> drop, std::size_t n, std::size_t r, bool bit) noexcept {
    while (r < n) {
        const std::size_t w = r / kWordBits;
        std::uint64_t word = w < drop.size() ? drop[w] : 0;
        if (!bit) word = ~word;
        word &= ~std::uint64_t(0) << (r % kWordBits);  // rows before r do not count
        if (word != 0) return std::min(n, w * kWordBits + static_cast<std::size_t>(std::countr_zero(word)));
        r = (w + 1) * kWordBits;
    }
    return n;
}

// The kept entries of one per-row part (ids, roots), in order.
template <class T>
void keep_entries(const T* from, std::size_t n, std::span<const std::uint64_t> drop, T* out) noexcept {
    for (std::size_t first = 0, w = 0; first < n; first += kWordBits, ++w) {
        const std::size_t rows = std::min(kWordBits, n - first);
        const std::uint64_t word = w < drop.size() ? drop[w] : 0;
        if (word == 0) {
            out = std::copy_n(from + first, rows, out);
            continue;
        }
        for (std::size_t i = 0; i < rows; ++i) {
            if (((word >> i) & 1) == 0) *out++ = from[first + i];
        }
    }
}

// A run of rows of one block of the new store that lie together in one
// block (or in the tail) of the old: `count` rows from the old store's row
// `from`, to lane `lane` of the new block on.
struct Piece {
    std::size_t from;
    std::size_t lane;
    std::size_t count;
};

// Writes one block of the new store, element by element: each element's
// kBlockRows floats are written front to back, from the pieces' blocks.
void fill_block(const Vectorstore& store, const Piece* pieces, std::size_t count, float* block) noexcept {
    const std::size_t dim = store.vector_size();
    const std::size_t packed = store.packed_rows();
    const std::size_t block_floats = dim * kBlockRows;
    for (std::size_t i = 0; i < dim; ++i) {
        float* element = block + i * kBlockRows;
        for (std::size_t p = 0; p < count; ++p) {
            const Piece& piece = pieces[p];
            float* out = element + piece.lane;
            if (piece.from < packed) {
                const float* in = store.blocks_data() + piece.from / kBlockRows * block_floats + i * kBlockRows +
                                  piece.from % kBlockRows;
                for (std::size_t r = 0; r < piece.count; ++r) out[r] = in[r];
            } else {
                const float* in = store.tail_data() + (piece.from - packed) * dim + i;
                for (std::size_t r = 0; r < piece.count; ++r) out[r] = in[r * dim];
            }
        }
    }
}

}  // namespace

Vectorstore without_rows(const Vectorstore& store, std::span<const std::uint64_t> drop_mask) {
    const std::size_t n = store.size();
    std::size_t dropped = 0;
    const std::size_t words = std::min(drop_mask.size(), n / kWordBits + (n % kWordBits != 0 ? 1 : 0));
    for (std::size_t w = 0; w < words; ++w) {
        std::uint64_t word = drop_mask[w];
        if ((w + 1) * kWordBits > n) word &= (std::uint64_t(1) << (n % kWordBits)) - 1;  // the bits past size()
        dropped += static_cast<std::size_t>(std::popcount(word));
    }
    const std::size_t count = n - dropped;
    const std::size_t dim = store.vector_size();
    // A kept row's root is the same bits whatever block it moves to.
    return Vectorstore::filled(dim, count, [&](const Vectorstore::PartsOut& out) {
        keep_entries(store.ids_data(), n, drop_mask, out.ids);
        keep_entries(store.roots_data(), n, drop_mask, out.roots);
        const std::size_t old_packed = store.packed_rows();
        const std::size_t new_packed = count / kBlockRows * kBlockRows;
        Piece pieces[kBlockRows];
        std::size_t npieces = 0;
        std::size_t to = 0;  // the new store's row the next kept row becomes
        for (std::size_t row = next_with(drop_mask, n, 0, false); row < n;) {
            const std::size_t end = next_with(drop_mask, n, row, true);  // kept: [row, end)
            if (to >= new_packed) {
                // The new tail, row after row.
                store.copy_rows(row, end - row, out.tail + (to - new_packed) * dim);
                to += end - row;
                row = next_with(drop_mask, n, end, false);
                continue;
            }
            std::size_t take = std::min(end - row, kBlockRows - to % kBlockRows);
            if (row < old_packed) take = std::min(take, kBlockRows - row % kBlockRows);
            pieces[npieces++] = {row, to % kBlockRows, take};
            row += take;
            to += take;
            if (to % kBlockRows == 0) {
                fill_block(store, pieces, npieces, out.blocks + (to / kBlockRows - 1) * dim * kBlockRows);
                npieces = 0;
            }
            if (row == end) row = next_with(drop_mask, n, end, false);
        }
    });
}

}  // namespace tessaray::core
