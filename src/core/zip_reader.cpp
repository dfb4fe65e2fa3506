// zip_reader.cpp: the stored members of a zip archive, found and checked in the archive's bytes.
#include "core/zip_reader.hpp"

#include <algorithm>
#include <cassert>
#include <initializer_list>

#include "core/crc32.hpp"
#include "core/little_endian.hpp"
#include "core/quoted.hpp"
#include "core/zip_format.hpp"

namespace tessaray::core {
namespace {

using namespace zip;
using Byte = unsigned char;

Unexpected<ZipError> broken(std::string what) { return unexpected(ZipError{std::move(what)}); }

// Whether `bytes` bytes from `offset` lie within the first `limit` bytes.
bool fits(std::uint64_t offset, std::uint64_t bytes, std::uint64_t limit) {
    return offset <= limit && bytes <= limit - offset;
}

// The zip64 extra field's values in `extra`, in their order, for each of
// `wanted` fields; false when the extra fields are malformed or lack them.
bool read_zip64(const Byte* extra, std::size_t bytes, std::initializer_list<std::uint64_t*> wanted) {
    for (std::size_t at = 0; at < bytes;) {
        if (bytes - at < 4) return false;
        const std::uint16_t tag = get16(extra + at);
        const std::size_t length = get16(extra + at + 2);
        if (bytes - at - 4 < length) return false;
        if (tag == kZip64Tag) {
            std::size_t field = 0;
            for (std::uint64_t* value : wanted) {
                if (value == nullptr) continue;
                if (length < 8 * (field + 1)) return false;
                *value = get64(extra + at + 4 + 8 * field++);
            }
            return true;
        }
        at += 4 + length;
    }
    for (std::uint64_t* value : wanted) {
        if (value != nullptr) return false;
    }
    return true;
}

// `value` itself when it is not the 32-bit field's "in the zip64 field".
std::uint64_t* in_zip64(std::uint64_t& value) { return value == kMax32 ? &value : nullptr; }

}  // namespace

bool crc_matches(const ZipMember& member) {
    return crc32_update(0, member.bytes.data(), member.bytes.size()) == member.crc;
}

Expected<ZipArchive, ZipError> ZipArchive::open(std::span<const unsigned char> archive) {
    const Byte* file = archive.data();
    const std::size_t file_size = archive.size();
    if (file_size < kEndSize) return broken("too short for a zip archive (" + std::to_string(file_size) + " bytes)");
    // The end record: the last place its signature sits with its comment
    // reaching exactly to the end of the file.
    std::size_t end = file_size;
    const std::size_t lowest = file_size >= kEndSize + kMax16 ? file_size - kEndSize - kMax16 : 0;
    for (std::size_t at = file_size - kEndSize + 1; at-- > lowest;) {
        if (get32(file + at) == kEndSignature && at + kEndSize + get16(file + at + 20) == file_size) {
            end = at;
            break;
        }
    }
    if (end == file_size) return broken("no zip end record (not a zip archive, or cut short)");

    ZipArchive a;
    a.archive_ = archive;
    std::uint64_t disk = get16(file + end + 4), cd_disk = get16(file + end + 6);
    std::uint64_t disk_entries = get16(file + end + 8);
    a.entries_ = get16(file + end + 10);
    a.cd_size_ = get32(file + end + 12);
    a.cd_offset_ = get32(file + end + 16);
    a.records_start_ = end;
    if (end >= kLocatorSize && get32(file + end - kLocatorSize) == kLocatorSignature) {
        const Byte* locator = file + end - kLocatorSize;
        const std::uint64_t end64 = get64(locator + 8);
        if (get32(locator + 4) != 0 || get32(locator + 16) != 1) return broken("a multi-disk zip archive");
        if (!fits(end64, kEnd64Size, end - kLocatorSize) || get32(file + end64) != kEnd64Signature) {
            return broken("a broken zip64 end record");
        }
        const Byte* r = file + end64;
        disk = get32(r + 16);
        cd_disk = get32(r + 20);
        disk_entries = get64(r + 24);
        a.entries_ = get64(r + 32);
        a.cd_size_ = get64(r + 40);
        a.cd_offset_ = get64(r + 48);
        a.records_start_ = end64;
    } else if (a.cd_size_ == kMax32 || a.cd_offset_ == kMax32 || a.entries_ == kMax16) {
        return broken("a zip64 archive without its zip64 end record");
    }
    if (disk != 0 || cd_disk != 0 || disk_entries != a.entries_) return broken("a multi-disk zip archive");
    return a;
}

Expected<ZipDirectory, ZipError> ZipArchive::directory() const {
    if (!fits(cd_offset_, cd_size_, records_start_)) return broken("the zip central directory lies outside the file");
    return ZipDirectory(archive_, entries_, cd_offset_, cd_size_);
}

Expected<std::string_view, ZipError> ZipDirectory::next_name() {
    assert(remaining_ > 0);
    const Byte* file = archive_.data();
    if (!fits(at_, kCentralSize, cd_end_) || get32(file + at_) != kCentralSignature) {
        return broken("a broken zip central directory");
    }
    const Byte* e = file + at_;
    const std::size_t name_bytes = get16(e + 28), extra_bytes = get16(e + 30), comment_bytes = get16(e + 32);
    if (!fits(at_ + kCentralSize, name_bytes + extra_bytes + comment_bytes, cd_end_)) {
        return broken("a broken zip central directory");
    }
    entry_ = e;
    name_ = std::string_view(reinterpret_cast<const char*>(e + kCentralSize), name_bytes);
    at_ += kCentralSize + name_bytes + extra_bytes + comment_bytes;
    --remaining_;
    return name_;
}

Expected<ZipMember, ZipError> ZipDirectory::member() {
    assert(entry_ != nullptr);
    const Byte* file = archive_.data();
    const Byte* e = entry_;
    const std::string name = quoted(name_);
    const std::uint16_t flags = get16(e + 8), method = get16(e + 10);
    if (flags & kEncrypted) return broken("member " + name + " is encrypted");
    if (method != kStored) {
        const std::string how = method == kDeflated ? "deflate" : "method " + std::to_string(method);
        return unexpected(
            ZipError{"member " + name + " is compressed (" + how + "); compression is not supported", true});
    }
    const std::uint32_t crc = get32(e + 16);
    std::uint64_t compressed = get32(e + 20), size = get32(e + 24), offset = get32(e + 42);
    const std::size_t name_bytes = get16(e + 28), extra_bytes = get16(e + 30);
    const bool ok = read_zip64(e + kCentralSize + name_bytes, extra_bytes,
                               {in_zip64(size), in_zip64(compressed), in_zip64(offset)});
    if (!ok || get16(e + 34) != 0) return broken("a broken zip central directory entry for " + name);
    if (compressed != size) return broken("stored member " + name + " with two sizes");

    // Its local header must agree.
    if (!fits(offset, kLocalSize, cd_offset_) || get32(file + offset) != kLocalSignature) {
        return broken("no zip local header for " + name);
    }
    const Byte* h = file + offset;
    const std::size_t local_name = get16(h + 26), local_extra = get16(h + 28);
    if (!fits(offset + kLocalSize, local_name + local_extra, cd_offset_) ||
        std::string_view(reinterpret_cast<const char*>(h + kLocalSize), local_name) != name_ ||
        get16(h + 8) != method) {
        return broken("the zip local header of " + name + " disagrees with the central directory");
    }
    if (!(get16(h + 6) & kDataDescriptor)) {
        std::uint64_t local_size = get32(h + 22), local_compressed = get32(h + 18);
        const bool local_ok =
            read_zip64(h + kLocalSize + local_name, local_extra, {in_zip64(local_size), in_zip64(local_compressed)});
        if (!local_ok || get32(h + kLocalCrcAt) != crc || local_size != size || local_compressed != size) {
            return broken("the zip local header of " + name + " disagrees with the central directory");
        }
    }
    const std::uint64_t data = offset + kLocalSize + local_name + local_extra;
    if (!fits(data, size, cd_offset_)) return broken("member " + name + " is cut short");
    extents_.emplace_back(offset, data + size);
    return ZipMember{name_, {file + data, static_cast<std::size_t>(size)}, crc, data, offset};
}

Expected<void, ZipError> ZipDirectory::finish() const {
    if (remaining_ != 0 || at_ != cd_end_) return broken("a broken zip central directory");
    // In the order of the files' bytes (members at one offset in the
    // directory's order), each member ends before the next one's header.
    auto extents = extents_;
    std::stable_sort(extents.begin(), extents.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 1; i < extents.size(); ++i) {
        if (extents[i - 1].second > extents[i].first) return broken("zip members overlap");
    }
    return {};
}

Expected<std::vector<ZipMember>, ZipError> read_zip(std::span<const unsigned char> archive) {
    TESSARAY_TRY_ASSIGN(const ZipArchive end_records, ZipArchive::open(archive));
    TESSARAY_TRY_ASSIGN(ZipDirectory directory, end_records.directory());
    std::vector<ZipMember> members;
    while (directory.remaining() > 0) {
        TESSARAY_TRY(directory.next_name());
        TESSARAY_TRY_ASSIGN(ZipMember member, directory.member());
        members.push_back(member);
    }
    TESSARAY_TRY(directory.finish());
    return members;
}

}  // namespace tessaray::core
