// Tests of the compacted copy of a store: equal, bit for bit, to the store of the kept rows inserted one by one.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/store.hpp"
#include "core/store_select.hpp"
#include "test_util.hpp"

namespace tessaray::core {
namespace {

using test::bits;

// Everything the store holds for its rows, as bytes to compare.
struct Snapshot {
    std::size_t vector_size, size, blocks, tail;
    std::vector<std::uint32_t> block_floats, tail_floats, roots;
    std::vector<std::uint64_t> ids;
    bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(const Vectorstore& s) {
    Snapshot out{s.vector_size(), s.size(), s.block_count(), s.tail_rows(), {}, {}, {}, {}};
    for (std::size_t k = 0; k < s.packed_rows() * s.vector_size(); ++k)
        out.block_floats.push_back(bits(s.blocks_data()[k]));
    for (std::size_t k = 0; k < s.tail_rows() * s.vector_size(); ++k) out.tail_floats.push_back(bits(s.tail_data()[k]));
    for (std::size_t r = 0; r < s.size(); ++r) {
        out.roots.push_back(bits(s.root(r)));
        out.ids.push_back(s.id(r));
    }
    return out;
}

std::vector<float> row_of(std::size_t r, std::size_t dim) {
    std::vector<float> v(dim);
    for (std::size_t i = 0; i < dim; ++i) {
        const std::size_t k = r * 31 + i;
        v[i] = k % 29 == 0 ? -0.0f : static_cast<float>(k % 97) * (k % 3 == 0 ? -0.37f : 1.13f);
    }
    if (dim > 0 && r % 50 == 5) v[0] = std::numeric_limits<float>::quiet_NaN();
    if (dim > 1 && r % 70 == 6) v[1] = std::numeric_limits<float>::infinity();
    return v;
}

std::vector<std::uint64_t> mask_of(std::size_t n, auto&& drop) {
    std::vector<std::uint64_t> mask((n + 63) / 64);
    for (std::size_t r = 0; r < n; ++r) {
        if (drop(r)) mask[r / 64] |= std::uint64_t(1) << (r % 64);
    }
    return mask;
}

TEST(StoreSelect, WithoutRowsEqualsInsertingTheKeptRows) {
    std::mt19937_64 rng(9);
    for (std::size_t dim : {0u, 1u, 3u, 17u, 130u}) {
        for (std::size_t n : {0u, 1u, 63u, 64u, 65u, 127u, 128u, 129u, 1000u}) {
            Vectorstore store(dim);
            for (std::size_t r = 0; r < n; ++r) ASSERT_TRUE(store.insert(row_of(r, dim), r * 7 % 5).has_value());
            const Snapshot before = snapshot(store);
            const std::uint64_t seed = rng();
            const std::vector<std::pair<std::string, std::vector<std::uint64_t>>> masks = {
                {"none", mask_of(n, [](std::size_t) { return false; })},
                {"all", mask_of(n, [](std::size_t) { return true; })},
                {"first", mask_of(n, [](std::size_t r) { return r == 0; })},
                {"last", mask_of(n, [n](std::size_t r) { return r + 1 == n; })},
                {"every other", mask_of(n, [](std::size_t r) { return r % 2 == 0; })},
                {"every third", mask_of(n, [](std::size_t r) { return r % 3 == 1; })},
                {"a block's edge", mask_of(n, [](std::size_t r) { return r >= 60 && r < 70; })},
                {"all but one", mask_of(n, [n](std::size_t r) { return r != n / 2; })},
                {"one in a hundred", mask_of(n, [seed](std::size_t r) { return (r * 2654435761u + seed) % 100 == 0; })},
                {"a short mask", {}},
                {"bits past the end", std::vector<std::uint64_t>((n + 63) / 64 + 2, 0xAAAAAAAAAAAAAAAAULL)},
            };
            for (const auto& [name, mask] : masks) {
                SCOPED_TRACE("dim " + std::to_string(dim) + ", " + std::to_string(n) + " rows, drop " + name);
                Vectorstore want(dim);
                for (std::size_t r = 0; r < n; ++r) {
                    const bool drop = r / 64 < mask.size() && ((mask[r / 64] >> (r % 64)) & 1) != 0;
                    if (!drop) {
                        ASSERT_TRUE(want.insert(row_of(r, dim), r * 7 % 5).has_value());
                    }
                }
                const Vectorstore got = without_rows(store, mask);
                ASSERT_EQ(snapshot(got), snapshot(want));
                ASSERT_EQ(snapshot(store), before);  // the store itself never changes
            }
        }
    }
}

}  // namespace
}  // namespace tessaray::core
