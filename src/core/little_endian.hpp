// little_endian.hpp: unsigned integers as little-endian bytes, appended to a string and read back.
#pragma once

#include <cstdint>
#include <string>

namespace tessaray::core {

// Appends the low `bytes` bytes of `v`, lowest first.
inline void put_le(std::string& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
inline void put16(std::string& out, std::uint64_t v) { put_le(out, v, 2); }
inline void put32(std::string& out, std::uint64_t v) { put_le(out, v, 4); }
inline void put64(std::string& out, std::uint64_t v) { put_le(out, v, 8); }

// The `bytes`-byte little-endian integer at `p` (any alignment).
inline std::uint64_t get_le(const unsigned char* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
inline std::uint16_t get16(const unsigned char* p) { return static_cast<std::uint16_t>(get_le(p, 2)); }
inline std::uint32_t get32(const unsigned char* p) { return static_cast<std::uint32_t>(get_le(p, 4)); }
inline std::uint64_t get64(const unsigned char* p) { return get_le(p, 8); }

}  // namespace tessaray::core
