// crc32.hpp: the CRC-32 of zip archives (zlib's), computed in pieces.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>

namespace tessaray::core {

// `crc` (0 to start) continued over `bytes` bytes at `data`.
inline std::uint32_t crc32_update(std::uint32_t crc, const void* data, std::size_t bytes) {
    return static_cast<std::uint32_t>(crc32_z(crc, static_cast<const unsigned char*>(data), bytes));
}

}  // namespace tessaray::core
