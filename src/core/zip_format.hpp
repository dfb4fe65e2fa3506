// zip_format.hpp: the zip format's record signatures, fixed sizes, field offsets and flags that both the writer and the reader use.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessaray::core::zip {

constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kEnd64Signature = 0x06064b50;
constexpr std::uint32_t kLocatorSignature = 0x07064b50;

// Fixed parts of the records, before their variable fields.
constexpr std::size_t kLocalSize = 30;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kEnd64Size = 56;
constexpr std::size_t kLocatorSize = 20;

// Where a local header holds the member's CRC-32.
constexpr std::size_t kLocalCrcAt = 14;

// Extra field tags: zip64 sizes and offset; alignment padding.
constexpr std::uint16_t kZip64Tag = 0x0001;
constexpr std::uint16_t kAlignTag = 0xD935;

// A 32-bit (16-bit) field at its largest says the value is in the zip64 records.
constexpr std::uint32_t kMax32 = 0xFFFFFFFF;
constexpr std::uint16_t kMax16 = 0xFFFF;

constexpr std::uint16_t kStored = 0;
constexpr std::uint16_t kDeflated = 8;
constexpr std::uint16_t kEncrypted = 1 << 0;
constexpr std::uint16_t kDataDescriptor = 1 << 3;

}  // namespace tessaray::core::zip
