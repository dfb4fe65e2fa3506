// zip_writer.hpp: a zip archive of stored members, written in one pass with each member's data page-aligned.
//
// What it writes: every member STORED (method 0), general purpose flags 0
// (no data descriptors), no archive comment.  In this order:
//   1. for each member, its local header, then its bytes;
//   2. the central directory, one entry per member, in the same order;
//   3. the zip64 end of central directory record and its locator, only when
//      the central directory's offset (or size) reaches 0xFFFFFFFF, or the
//      member count 0xFFFF;
//   4. the end of central directory record.
// Each member's CRC-32 (zlib's crc32 over the member's bytes) is in its local
// header and in its central directory entry.  A member whose size reaches
// 0xFFFFFFFF has 0xFFFFFFFF in the 32-bit size fields and its sizes in a
// zip64 extra field (tag 0x0001) in both headers; a local header offset that
// reaches 0xFFFFFFFF is likewise 0xFFFFFFFF in its central directory entry
// and in that entry's zip64 extra field.  Members that use zip64 say version
// 4.5 is needed, the others 2.0.  Each local header ends with an alignment
// extra field (tag 0xD935: a 16-bit alignment, 4096, then zero bytes) sized
// so that the member's data (its bytes after a header of the size begin() is
// told) starts at a multiple of 4096 in the file: a page of its own, which a
// reader can map and use in place.
// Modification times are all 1980-01-01 00:00, so equal contents give equal
// files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/expected.hpp"
#include "core/file_error.hpp"
#include "core/posix_file.hpp"

namespace tessaray::core {

// Writes an archive into a new file through `out`, from its first byte (the
// CRC-32s are patched in at offsets counted from there).  The sizes are
// declared up front, so nothing is buffered: each member's CRC-32 is written
// into its local header once its bytes are known.
class ZipWriter {
public:
    explicit ZipWriter(Output& out) noexcept : out_(out) {}

    // Starts the member `name`, of exactly `size` bytes that the next calls
    // of write() hand over, the first `header` of them before the data that
    // is to start a page: writes its local header.
    Expected<void, FileError> begin(std::string_view name, std::uint64_t size, std::uint64_t header = 0);
    // Writes bytes of the member begun last and folds them into its CRC-32, a
    // few megabytes at a time, while they are still in cache.
    Expected<void, FileError> write(const void* data, std::size_t bytes);
    // After the last member: writes the central directory and the end
    // records, then each member's CRC-32 into its local header.
    Expected<void, FileError> finish();

    // What the writer keeps of each member for the central directory.
    struct Member {
        std::string name;
        std::uint64_t size = 0;
        std::uint64_t offset = 0;  // of its local header
        std::uint32_t crc = 0;
    };

private:
    Output& out_;
    std::vector<Member> members_;
};

}  // namespace tessaray::core
