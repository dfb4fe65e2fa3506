// store_select.cpp: a store of the rows a mask keeps, built by one append of them, read stretch by stretch.
#include "core/store_select.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>

#include "core/out_of_memory.hpp"

namespace tessaray::core {

namespace {

constexpr std::size_t kWordBits = 64;

// The kept rows of a store, found stretch by stretch in the drop mask.  append_rows
// reads its rows front to back; a read elsewhere starts over from the first
// kept row, so any order of reads gets the right rows.
class KeptRows {
public:
    KeptRows(const Vectorstore& store, std::span<const std::uint64_t> drop) noexcept : store_(store), drop_(drop) {}

    static void read(void* context, std::size_t first, std::size_t count, float* out) {
        static_cast<KeptRows*>(context)->read(first, count, out);
    }

private:
    // The first row from `r` on whose drop bit is `bit` (or the store's size).
    std::size_t next_with(std::size_t r, bool bit) const noexcept {
        const std::size_t n = store_.size();
        while (r < n) {
            const std::size_t w = r / kWordBits;
            std::uint64_t word = w < drop_.size() ? drop_[w] : 0;
            if (!bit) word = ~word;
            word &= ~std::uint64_t(0) << (r % kWordBits);  // rows before r do not count
            if (word != 0) return std::min(n, w * kWordBits + static_cast<std::size_t>(std::countr_zero(word)));
            r = (w + 1) * kWordBits;
        }
        return n;
    }

    // Writes the next `count` kept rows to `out` (or only moves past them).
    void take(std::size_t count, float* out) noexcept {
        const std::size_t dim = store_.vector_size();
        while (count != 0) {
            // The stretch of kept rows [row_, end).
            row_ = next_with(row_, false);
            if (row_ == store_.size()) return;  // asked past the kept rows: never, from append_rows
            const std::size_t end = std::min(next_with(row_, true), row_ + count);
            const std::size_t n = end - row_;
            if (out != nullptr) {
                store_.copy_rows(row_, n, out);
                out += n * dim;
            }
            row_ = end;
            delivered_ += n;
            count -= n;
        }
    }

    void read(std::size_t first, std::size_t count, float* out) noexcept {
        if (first != delivered_) {
            row_ = 0;
            delivered_ = 0;
            take(first, nullptr);
        }
        take(count, out);
    }

    const Vectorstore& store_;
    std::span<const std::uint64_t> drop_;
    std::size_t row_ = 0;        // the store's row to look at next
    std::size_t delivered_ = 0;  // kept rows read so far
};

}  // namespace

Vectorstore without_rows(const Vectorstore& store, std::span<const std::uint64_t> drop_mask) {
    const std::size_t n = store.size();
    KeptRows kept(store, drop_mask);
    std::size_t dropped = 0;
    const std::size_t words = std::min(drop_mask.size(), n / kWordBits + (n % kWordBits != 0 ? 1 : 0));
    for (std::size_t w = 0; w < words; ++w) {
        std::uint64_t word = drop_mask[w];
        if ((w + 1) * kWordBits > n) word &= (std::uint64_t(1) << (n % kWordBits)) - 1;  // the bits past size()
        dropped += static_cast<std::size_t>(std::popcount(word));
    }
    const std::size_t count = n - dropped;

    std::vector<std::uint64_t> ids = allocate_vector<std::uint64_t>(count);
    const std::uint64_t* stored = store.ids_data();
    std::uint64_t* next = ids.data();
    for (std::size_t first = 0, w = 0; first < n; first += kWordBits, ++w) {
        const std::size_t rows = std::min(kWordBits, n - first);
        const std::uint64_t drop = w < drop_mask.size() ? drop_mask[w] : 0;
        if (drop == 0) {
            next = std::copy_n(stored + first, rows, next);
            continue;
        }
        for (std::size_t i = 0; i < rows; ++i) {
            if (((drop >> i) & 1) == 0) *next++ = stored[first + i];
        }
    }
    Vectorstore out(store.vector_size());
    out.append_rows(count, ids.data(), {&kept, &KeptRows::read});
    return out;
}

}  // namespace tessaray::core
