// zip_writer.cpp: a zip archive of stored members, written in one pass with each member's data page-aligned.
#include "core/zip_writer.hpp"

#include <algorithm>
#include <cassert>

#include "core/crc32.hpp"
#include "core/little_endian.hpp"
#include "core/zip_format.hpp"

namespace tessaray::core {
namespace {

using namespace zip;

constexpr std::uint16_t kVersion20 = 20;
constexpr std::uint16_t kVersion45 = 45;
constexpr std::uint16_t kMadeByUnix = 3 << 8;
constexpr std::uint16_t kDosDate1980 = (1 << 5) | 1;  // 1980-01-01, time 00:00
constexpr std::uint32_t kRegularFile0644 = 0100644u << 16;
constexpr std::size_t kAlign = 4096;
constexpr std::size_t kWriteBytes = std::size_t(4) << 20;  // checksummed and written at a time

using Member = ZipWriter::Member;

bool needs_zip64(const Member& m) { return m.size >= kMax32 || m.offset >= kMax32; }
std::uint16_t version_of(const Member& m) { return needs_zip64(m) ? kVersion45 : kVersion20; }

// The local header of `m`, the CRC left as 0, padded so that the member's
// data, `header` bytes into it, starts on a multiple of kAlign in the file.
std::string local_header(const Member& m, std::uint64_t header) {
    std::string extra;
    if (m.size >= kMax32) {
        put16(extra, kZip64Tag);
        put16(extra, 16);
        put64(extra, m.size);
        put64(extra, m.size);
    }
    const std::uint64_t unpadded = m.offset + kLocalSize + m.name.size() + extra.size() + header;
    std::size_t pad = static_cast<std::size_t>((kAlign - unpadded % kAlign) % kAlign);
    if (pad < 6) pad += kAlign;  // room for the field's tag, length and alignment
    put16(extra, kAlignTag);
    put16(extra, pad - 4);
    put16(extra, kAlign);
    extra.append(pad - 6, '\0');

    const std::uint64_t size32 = m.size >= kMax32 ? kMax32 : m.size;
    std::string h;
    put32(h, kLocalSignature);
    put16(h, version_of(m));
    put16(h, 0);  // flags
    put16(h, kStored);
    put16(h, 0);  // time
    put16(h, kDosDate1980);
    put32(h, 0);  // CRC-32, written once known
    put32(h, size32);
    put32(h, size32);
    put16(h, m.name.size());
    put16(h, extra.size());
    h += m.name;
    h += extra;
    return h;
}

std::string central_entry(const Member& m) {
    std::string extra;
    if (needs_zip64(m)) {
        put16(extra, kZip64Tag);
        put16(extra, (m.size >= kMax32 ? 16 : 0) + (m.offset >= kMax32 ? 8 : 0));
        if (m.size >= kMax32) {
            put64(extra, m.size);
            put64(extra, m.size);
        }
        if (m.offset >= kMax32) put64(extra, m.offset);
    }
    const std::uint64_t size32 = std::min<std::uint64_t>(m.size, kMax32);
    std::string e;
    put32(e, kCentralSignature);
    put16(e, kMadeByUnix | version_of(m));
    put16(e, version_of(m));
    put16(e, 0);  // flags
    put16(e, kStored);
    put16(e, 0);  // time
    put16(e, kDosDate1980);
    put32(e, m.crc);
    put32(e, size32);
    put32(e, size32);
    put16(e, m.name.size());
    put16(e, extra.size());
    put16(e, 0);  // comment length
    put16(e, 0);  // disk
    put16(e, 0);  // internal attributes
    put32(e, kRegularFile0644);
    put32(e, std::min<std::uint64_t>(m.offset, kMax32));
    e += m.name;
    e += extra;
    return e;
}

// The records after the central directory of `entries` entries.
std::string end_records(std::uint64_t entries, std::uint64_t cd_offset, std::uint64_t cd_size) {
    std::string r;
    const bool zip64 = cd_offset >= kMax32 || cd_size >= kMax32 || entries >= kMax16;
    if (zip64) {
        const std::uint64_t end64_offset = cd_offset + cd_size;
        put32(r, kEnd64Signature);
        put64(r, kEnd64Size - 12);
        put16(r, kMadeByUnix | kVersion45);
        put16(r, kVersion45);
        put32(r, 0);  // this disk
        put32(r, 0);  // the central directory's disk
        put64(r, entries);
        put64(r, entries);
        put64(r, cd_size);
        put64(r, cd_offset);
        put32(r, kLocatorSignature);
        put32(r, 0);  // the zip64 end record's disk
        put64(r, end64_offset);
        put32(r, 1);  // disks
    }
    put32(r, kEndSignature);
    put16(r, 0);
    put16(r, 0);
    put16(r, std::min<std::uint64_t>(entries, kMax16));
    put16(r, std::min<std::uint64_t>(entries, kMax16));
    put32(r, std::min<std::uint64_t>(cd_size, kMax32));
    put32(r, std::min<std::uint64_t>(cd_offset, kMax32));
    put16(r, 0);  // comment length
    return r;
}

}  // namespace

Expected<void, FileError> ZipWriter::begin(std::string_view name, std::uint64_t size, std::uint64_t header) {
    members_.push_back(Member{std::string(name), size, out_.position(), 0});
    return out_.write(local_header(members_.back(), header));
}

Expected<void, FileError> ZipWriter::write(const void* data, std::size_t bytes) {
    assert(!members_.empty());
    std::uint32_t& crc = members_.back().crc;
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t done = 0; done < bytes;) {
        const std::size_t n = std::min(kWriteBytes, bytes - done);
        crc = crc32_update(crc, p + done, n);
        TESSARAY_TRY(out_.write(p + done, n));
        done += n;
    }
    return {};
}

Expected<void, FileError> ZipWriter::finish() {
    const std::uint64_t cd_offset = out_.position();
    std::string directory;
    for (const Member& m : members_) directory += central_entry(m);
    TESSARAY_TRY(out_.write(directory + end_records(members_.size(), cd_offset, directory.size())));
    for (const Member& m : members_) {
        std::string crc;
        put32(crc, m.crc);
        TESSARAY_TRY(out_.write_at(m.offset + kLocalCrcAt, crc));
    }
    return {};
}

}  // namespace tessaray::core
