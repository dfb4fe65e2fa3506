// Tests of the vector store: length checks, entry round trips and growth.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/kernel.hpp"
#include "core/store.hpp"
#include "test_util.hpp"

namespace tessaray::core {
namespace {

using test::bits;
using test::expect_same_bits;

struct LengthCase {
    std::size_t vector_size;
    std::size_t given;
};

class StoreLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(StoreLength, WrongLengthIsRejectedAndStoreUnchanged) {
    const auto [dim, given] = GetParam();
    Vectorstore store(dim);
    // Some entries first, so that "unchanged" has something to keep.
    std::vector<std::vector<float>> kept;
    for (std::size_t e = 0; e < 17; ++e) {
        std::vector<float> v(dim);
        for (std::size_t i = 0; i < dim; ++i) v[i] = static_cast<float>(e * 10 + i) - 3.5f;
        ASSERT_TRUE(store.insert(v, 100 + e).has_value());
        kept.push_back(v);
    }
    const std::size_t bytes_before = store.reserved_bytes();

    const std::vector<float> wrong(given, 1.0f);
    const auto r = store.insert(wrong, 999);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(),
              "vector has length " + std::to_string(given) + " but vectorstore expects " + std::to_string(dim));
    EXPECT_EQ(r.error(), vector_length_message(given, dim));

    EXPECT_EQ(store.size(), kept.size());
    EXPECT_EQ(store.reserved_bytes(), bytes_before);
    for (std::size_t e = 0; e < kept.size(); ++e) {
        expect_same_bits(store.vector(e), kept[e]);
        EXPECT_EQ(store.id(e), 100 + e);
    }
    // The store still takes vectors of the right length afterwards.
    ASSERT_TRUE(store.insert(std::vector<float>(dim, 2.0f), 7).has_value());
    EXPECT_EQ(store.size(), kept.size() + 1);
    EXPECT_EQ(store.id(kept.size()), 7u);
}

INSTANTIATE_TEST_SUITE_P(Lengths, StoreLength,
                         ::testing::Values(LengthCase{0, 1}, LengthCase{0, 5}, LengthCase{3, 2}, LengthCase{3, 0},
                                           LengthCase{3, 4}, LengthCase{1, 2}, LengthCase{16, 15}, LengthCase{16, 17}));

TEST(Store, ExactLengthMessage) {
    Vectorstore store(0);
    const float one[1] = {1.0f};
    const auto r = store.insert(one, 1);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), "vector has length 1 but vectorstore expects 0");
    EXPECT_EQ(store.size(), 0u);
}

TEST(Store, EntriesRoundTrip) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<std::vector<float>> vectors = {{1.0f, 2.0f, 3.0f}, {-0.0f, 0.0f, -0.0f},
                                                     {nan, -inf, inf},   {1e-45f, -1e38f, 0.1f},
                                                     {0.0f, 0.0f, 0.0f}, {-7.25f, 3.0e-39f, 65504.0f}};
    const std::vector<std::uint64_t> ids = {0, std::numeric_limits<std::uint64_t>::max(), 42, 42, 7, 1};
    for (std::size_t dim_case = 0; dim_case < 2; ++dim_case) {
        // The same entries, once as the first rows of the unpacked tail and
        // once straddling the moment the tail is packed into a block.
        Vectorstore store(3);
        const std::size_t filler = dim_case == 0 ? 0 : kBlockRows - 3;
        for (std::size_t f = 0; f < filler; ++f) ASSERT_TRUE(store.insert(std::vector<float>(3, 9.0f), 5).has_value());
        for (std::size_t e = 0; e < vectors.size(); ++e) ASSERT_TRUE(store.insert(vectors[e], ids[e]).has_value());
        ASSERT_EQ(store.size(), filler + vectors.size());
        for (std::size_t e = 0; e < vectors.size(); ++e) {
            SCOPED_TRACE("entry " + std::to_string(e) + " after " + std::to_string(filler));
            expect_same_bits(store.vector(filler + e), vectors[e]);
            EXPECT_EQ(store.id(filler + e), ids[e]);
            for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(bits(store.element(filler + e, i)), bits(vectors[e][i]));
            const float root = root_of(sum_squares_ref(vectors[e].data(), 3));
            if (std::isnan(root)) {
                EXPECT_TRUE(std::isnan(store.root(filler + e)));
            } else {
                EXPECT_EQ(bits(store.root(filler + e)), bits(root));
            }
        }
        EXPECT_EQ(store.block_count(), store.size() / kBlockRows);
        EXPECT_EQ(store.tail_rows(), store.size() % kBlockRows);
    }
}

TEST(Store, ZeroLengthVectors) {
    Vectorstore store(0);
    for (std::uint64_t id = 0; id < 40; ++id) {
        const auto r = store.insert(std::span<const float>(), id * 3);
        ASSERT_TRUE(r.has_value()) << r.error();
    }
    ASSERT_EQ(store.size(), 40u);
    for (std::size_t e = 0; e < 40; ++e) {
        EXPECT_TRUE(store.vector(e).empty());
        EXPECT_EQ(store.id(e), e * 3);
        EXPECT_EQ(store.root(e), 0.0f);
    }
}

// A store grows from heap memory to pages of its own past 1 MiB; every
// earlier vector must survive each move.
TEST(Store, GrowthKeepsEarlierEntries) {
    constexpr std::size_t dim = 64;  // 256 B per entry: 1 MiB at 4096 entries
    constexpr std::size_t count = 9000;
    const auto value = [](std::size_t e, std::size_t i) {
        return static_cast<float>(e * 100 + i) * (e % 2 == 0 ? 1.0f : -1.0f);
    };
    Vectorstore store(dim);
    std::vector<float> v(dim);
    for (std::size_t e = 0; e < count; ++e) {
        for (std::size_t i = 0; i < dim; ++i) v[i] = value(e, i);
        ASSERT_TRUE(store.insert(v, e * 7 + 1).has_value());
        // The incomplete last block holds only its rows, and once the block
        // is packed the rows it was kept in are given back.
        if (e == 0) {
            EXPECT_LE(store.reserved_bytes(), dim * sizeof(float) + 2 * 64) << "one entry";
        }
        if (e == kBlockRows - 1) {
            EXPECT_LE(store.reserved_bytes(), kBlockRows * dim * sizeof(float) + 2 * kBlockRows * 12) << "one block";
        }
        // Check a few earlier entries along the way, around the switch.
        if (e % 997 == 0 || e == 4095 || e == 4096 || e == 4097) {
            for (std::size_t probe : {std::size_t(0), e / 2, e}) {
                const auto got = store.vector(probe);
                for (std::size_t i = 0; i < dim; ++i) ASSERT_EQ(got[i], value(probe, i)) << probe << "," << i;
                ASSERT_EQ(store.id(probe), probe * 7 + 1);
            }
        }
    }
    ASSERT_EQ(store.size(), count);
    EXPECT_GE(store.reserved_bytes(), std::size_t(1) << 20);
    for (std::size_t e = 0; e < count; ++e) {
        for (std::size_t i = 0; i < dim; ++i) ASSERT_EQ(store.element(e, i), value(e, i)) << e << "," << i;
        ASSERT_EQ(store.id(e), e * 7 + 1) << e;
        for (std::size_t i = 0; i < dim; ++i) v[i] = value(e, i);
        ASSERT_EQ(bits(store.root(e)), bits(root_of(sum_squares_ref(v.data(), dim)))) << e;
    }
}

// Rows appended by calls of many sizes (around the tail filling and whole
// blocks) make the same store as insert() row by row, and come out again.
TEST(Store, AppendRowsEqualsInsertingEachRow) {
    struct Source {
        const std::vector<float>* rows;
        std::size_t offset;  // the first of the rows appended
    };
    const auto read = [](void* context, std::size_t first, std::size_t count, float* out) {
        const auto* source = static_cast<const Source*>(context);
        const std::size_t dim = source->rows->size() / 1000;
        std::copy_n(source->rows->data() + (source->offset + first) * dim, count * dim, out);
    };
    for (std::size_t dim : {0u, 1u, 3u, 17u, 130u}) {
        std::vector<float> rows(1000 * dim);
        for (std::size_t k = 0; k < rows.size(); ++k) {
            rows[k] = k % 29 == 0 ? -0.0f : static_cast<float>(k % 97) * (k % 3 == 0 ? -0.37f : 1.13f);
        }
        if (dim > 0) rows[5 * dim] = std::numeric_limits<float>::quiet_NaN();
        Vectorstore inserted(dim);
        for (std::size_t r = 0; r < 1000; ++r) {
            ASSERT_TRUE(inserted.insert({rows.data() + r * dim, dim}, r * 3).has_value());
        }
        for (const std::vector<std::size_t>& counts :
             {std::vector<std::size_t>{1000}, {1, 62, 1, 64, 3, 200, 669}, {63, 65, 127, 129, 616}}) {
            SCOPED_TRACE("dim " + std::to_string(dim) + ", first append " + std::to_string(counts[0]));
            Vectorstore appended(dim);
            std::size_t at = 0;
            std::vector<std::uint64_t> ids(1000);
            for (std::size_t r = 0; r < 1000; ++r) ids[r] = r * 3;
            for (std::size_t n : counts) {
                Source source{&rows, at};
                appended.append_rows(n, ids.data() + at, {&source, read});
                at += n;
                ASSERT_EQ(appended.size(), at);
            }
            appended.append_rows(0, nullptr, {nullptr, nullptr});
            ASSERT_EQ(appended.block_count(), inserted.block_count());
            ASSERT_EQ(appended.tail_rows(), inserted.tail_rows());
            for (std::size_t k = 0; k < appended.packed_rows() * dim; ++k) {
                ASSERT_EQ(bits(appended.blocks_data()[k]), bits(inserted.blocks_data()[k])) << "float " << k;
            }
            for (std::size_t k = 0; k < appended.tail_rows() * dim; ++k) {
                ASSERT_EQ(bits(appended.tail_data()[k]), bits(inserted.tail_data()[k])) << "tail float " << k;
            }
            for (std::size_t r = 0; r < 1000; ++r) {
                ASSERT_EQ(appended.id(r), inserted.id(r));
                const float want = inserted.root(r);
                ASSERT_TRUE(std::isnan(want) ? std::isnan(appended.root(r)) : bits(appended.root(r)) == bits(want))
                    << r;
            }
            // Any range comes out as it went in.
            for (const auto& [first, count] :
                 {std::pair<std::size_t, std::size_t>{0, 1000}, {1, 63}, {60, 70}, {990, 10}}) {
                std::vector<float> out(count * dim + 1, 7.0f);
                appended.copy_rows(first, count, out.data());
                expect_same_bits({out.begin(), out.end() - 1},
                                 {rows.begin() + static_cast<std::ptrdiff_t>(first * dim),
                                  rows.begin() + static_cast<std::ptrdiff_t>((first + count) * dim)});
                EXPECT_EQ(out.back(), 7.0f) << "wrote past the end";
            }
        }
    }
}

}  // namespace
}  // namespace tessaray::core
