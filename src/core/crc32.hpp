// crc32.hpp: the CRC-32 of zip archives (zlib's), computed in pieces, and the ways of computing it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tessaray::core {

// `crc` (0 to start) continued over `bytes` bytes at `data`: the value of
// zlib's crc32_z, bit for bit, by the path active_crc32() names.  No bytes
// leave `crc` as it is.
std::uint32_t crc32_update(std::uint32_t crc, const void* data, std::size_t bytes) noexcept;

using Crc32Fn = std::uint32_t (*)(std::uint32_t crc, const void* data, std::size_t bytes) noexcept;

// One way of computing crc32_update, named after the SIMD level it goes with.
struct Crc32Path {
    std::string_view name;    // "avx512", "avx2" or "baseline", as the kernel sets
    std::string_view method;  // what it runs, for benchmarks
    Crc32Fn update;
};

// All paths this CPU runs, best first (for tests and benchmarks).
std::size_t supported_crc32(const Crc32Path** out, std::size_t max) noexcept;

// The path crc32_update takes, chosen once: the best one this CPU runs whose
// level is not above the kernels' (so TESSARAY_SIMD forces it lower too).
const Crc32Path& active_crc32() noexcept;

}  // namespace tessaray::core
