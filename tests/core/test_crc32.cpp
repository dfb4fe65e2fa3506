// Tests of the CRC-32 paths: each is zlib's crc32_z bit for bit, whole and in pieces; the choice follows the SIMD level.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "core/crc32.hpp"
#include "core/kernel.hpp"

namespace tessaray::core {
namespace {

std::vector<const Crc32Path*> all_paths() {
    const Crc32Path* paths[8];
    const std::size_t n = supported_crc32(paths, 8);
    return {paths, paths + n};
}

std::uint32_t zlib_crc(std::uint32_t crc, const unsigned char* p, std::size_t bytes) {
    return static_cast<std::uint32_t>(crc32_z(crc, p, bytes));
}

class Crc32Test : public ::testing::TestWithParam<const Crc32Path*> {};

// Lengths 0..300 (every tail and every count of whole blocks up to a few
// folding rounds), then some large ones, from every start alignment 0..63
// and from a CRC of 0 or not; then the same data cut into pieces at random
// points, empty pieces included, and continued piece by piece.
TEST_P(Crc32Test, EqualsZlibWholeAndInPieces) {
    const Crc32Fn update = GetParam()->update;
    std::vector<std::size_t> lengths(301);
    std::iota(lengths.begin(), lengths.end(), std::size_t{0});
    for (std::size_t n : {1000u, 4096u + 17u, 100003u, (1u << 20) + 77u}) lengths.push_back(n);
    std::mt19937_64 rng(5);
    std::vector<unsigned char> data(lengths.back() + 64);
    for (unsigned char& b : data) b = static_cast<unsigned char>(rng());

    for (const std::size_t n : lengths) {
        for (std::size_t align = 0; align < 64; ++align) {
            const unsigned char* p = data.data() + align;
            const auto start = align % 2 == 0 ? 0u : static_cast<std::uint32_t>(rng());
            ASSERT_EQ(update(start, p, n), zlib_crc(start, p, n)) << n << " bytes at offset " << align;
        }
        for (int split = 0; split < 3; ++split) {
            const unsigned char* p = data.data() + rng() % 64;
            std::vector<std::size_t> cuts(1 + rng() % 7);
            for (std::size_t& c : cuts) c = rng() % (n + 1);
            cuts.push_back(n);
            std::sort(cuts.begin(), cuts.end());
            std::uint32_t crc = 0;
            std::size_t done = 0;
            for (const std::size_t c : cuts) {
                crc = update(crc, p + done, c - done);
                done = c;
            }
            ASSERT_EQ(crc, zlib_crc(0, p, n)) << n << " bytes in " << cuts.size() << " pieces";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, Crc32Test, ::testing::ValuesIn(all_paths()),
                         [](const auto& param_info) { return std::string(param_info.param->name); });

TEST(Crc32Dispatch, FollowsTheKernelLevel) {
    const Crc32Path& active = active_crc32();
    EXPECT_EQ(&active, &active_crc32()) << "chosen once";
    // TESSARAY_SIMD forces the kernels' level; the CRC takes the same one when this CPU has it.
    const auto paths = all_paths();
    const std::string_view level = active_kernels().name;
    if (std::any_of(paths.begin(), paths.end(), [&](const Crc32Path* p) { return p->name == level; })) {
        EXPECT_EQ(active.name, level);
    }
    EXPECT_EQ(paths.back()->name, "baseline");
    // The check value of this CRC, through crc32_update.
    EXPECT_EQ(crc32_update(0, "123456789", 9), 0xCBF43926u);
}

}  // namespace
}  // namespace tessaray::core
