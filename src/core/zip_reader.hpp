// zip_reader.hpp: the stored members of a zip archive, found and checked in the archive's bytes.
//
// It reads what zip writers produce for uncompressed members: any extra
// fields, zip64 records, data descriptors, members at any alignment.  Every
// offset and size the archive declares is checked against the bytes before
// it is followed, and nothing is allocated by such a size.  Messages are
// plain ASCII: names from the archive are quoted with backslash escapes.
//
// ZipArchive and ZipDirectory read step by step, so that a caller can check
// the member count and each name as soon as they are known; read_zip reads
// every member at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/expected.hpp"

namespace tessaray::core {

// What is wrong with an archive.
struct ZipError {
    std::string what;
    // Only that a member is compressed (what names the method), which this
    // reader does not undo.
    bool compressed = false;
};

// A stored member, within the archive's bytes.
struct ZipMember {
    std::string_view name;  // any bytes, as the central directory has them
    std::span<const unsigned char> bytes;
    std::uint32_t crc = 0;            // the CRC-32 the archive records for `bytes`
    std::uint64_t offset = 0;         // of `bytes` in the archive
    std::uint64_t header_offset = 0;  // of the member's local header
};

// Whether a member's bytes have the CRC-32 recorded for them (reads them all).
bool crc_matches(const ZipMember& member);

class ZipDirectory;

// An archive's end records: how many members it has and where its central
// directory is.
class ZipArchive {
public:
    // Finds the end of central directory record (the last signature whose
    // comment reaches exactly to the end) and the zip64 one it points to.
    // Multi-disk archives are refused.
    static Expected<ZipArchive, ZipError> open(std::span<const unsigned char> archive);

    // The member count the end records declare, not yet checked against the
    // bytes.
    std::uint64_t entries() const noexcept { return entries_; }

    // The central directory, once it is found to lie between the members and
    // the end records.
    Expected<ZipDirectory, ZipError> directory() const;

private:
    ZipArchive() = default;

    std::span<const unsigned char> archive_;
    std::uint64_t entries_ = 0;
    std::uint64_t cd_offset_ = 0;
    std::uint64_t cd_size_ = 0;
    std::uint64_t records_start_ = 0;  // the first end record
};

// The central directory, read one entry at a time: next_name(), then
// member() for the members wanted.  finish() after the last entry.
class ZipDirectory {
public:
    // The entries not read yet, of those the end records declare.
    std::uint64_t remaining() const noexcept { return remaining_; }
    // The name of the next entry (remaining() > 0), checked only for lying
    // within the directory.
    Expected<std::string_view, ZipError> next_name();
    // The member of the entry next_name() read: stored and not encrypted,
    // its central directory entry and local header in agreement, its bytes
    // within the file before the central directory.
    Expected<ZipMember, ZipError> member();
    // Checks that the directory ends with the last entry and that no member
    // read runs into the local header of the next.
    Expected<void, ZipError> finish() const;

private:
    friend class ZipArchive;
    ZipDirectory(std::span<const unsigned char> archive, std::uint64_t entries, std::uint64_t cd_offset,
                 std::uint64_t cd_size)
            : archive_(archive),
              remaining_(entries),
              at_(cd_offset),
              cd_offset_(cd_offset),
              cd_end_(cd_offset + cd_size) {}

    std::span<const unsigned char> archive_;
    std::uint64_t remaining_;
    std::uint64_t at_;  // the next entry
    std::uint64_t cd_offset_;
    std::uint64_t cd_end_;
    const unsigned char* entry_ = nullptr;  // the one next_name() read
    std::string_view name_;
    // For each member read: where its local header starts and its bytes end.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> extents_;
};

// Every member of the archive, in the central directory's order.
Expected<std::vector<ZipMember>, ZipError> read_zip(std::span<const unsigned char> archive);

}  // namespace tessaray::core
