// store_file.cpp: the store's .npz file, written in one streaming pass and read from a mapping.
#include "core/store_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/out_of_memory.hpp"

namespace tessaray::core {
namespace {

static_assert(std::endian::native == std::endian::little, "the file's arrays are little-endian, as is memory here");

using Byte = unsigned char;

constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kEnd64Signature = 0x06064b50;
constexpr std::uint32_t kLocatorSignature = 0x07064b50;
constexpr std::size_t kLocalSize = 30;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kEnd64Size = 56;
constexpr std::size_t kLocatorSize = 20;
constexpr std::size_t kLocalCrcAt = 14;
constexpr std::uint16_t kZip64Tag = 0x0001;
constexpr std::uint16_t kAlignTag = 0xD935;
constexpr std::uint32_t kMax32 = 0xFFFFFFFF;
constexpr std::uint16_t kMax16 = 0xFFFF;
constexpr std::uint16_t kStored = 0;
constexpr std::uint16_t kDeflated = 8;
constexpr std::uint16_t kEncrypted = 1 << 0;
constexpr std::uint16_t kDataDescriptor = 1 << 3;
constexpr std::uint16_t kVersion20 = 20;
constexpr std::uint16_t kVersion45 = 45;
constexpr std::uint16_t kMadeByUnix = 3 << 8;
constexpr std::uint16_t kDosDate1980 = (1 << 5) | 1;  // 1980-01-01, time 00:00
constexpr std::uint32_t kRegularFile0644 = 0100644u << 16;
constexpr std::size_t kAlign = 64;
constexpr std::size_t kChunkBytes = std::size_t(4) << 20;

constexpr std::string_view kVectorsName = "vectors.npy";
constexpr std::string_view kIdsName = "ids.npy";
constexpr std::string_view kNpyMagic = "\x93NUMPY";

// ---- little-endian fields ----

void put16(std::string& out, std::uint64_t v) {
    for (int i = 0; i < 2; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void put32(std::string& out, std::uint64_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void put64(std::string& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
std::uint64_t get(const Byte* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
std::uint16_t get16(const Byte* p) { return static_cast<std::uint16_t>(get(p, 2)); }
std::uint32_t get32(const Byte* p) { return static_cast<std::uint32_t>(get(p, 4)); }
std::uint64_t get64(const Byte* p) { return get(p, 8); }

std::uint32_t crc_of(std::uint32_t crc, const void* data, std::size_t bytes) {
    return static_cast<std::uint32_t>(crc32_z(crc, static_cast<const Byte*>(data), bytes));
}

// ---- errors ----

FileError os_failure(const char* call) { return FileError{errno, call}; }

Unexpected<FileError> not_a_store(const std::string& what) {
    return unexpected(FileError{0, "not a tessaray store file: " + what});
}

// `text` in single quotes for a message.  The bytes come from the file and
// may be anything: every byte that is not printable ASCII, and the quote and
// backslash themselves, are written as backslash escapes, so that a message
// is always plain ASCII text.
std::string quoted(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    constexpr std::size_t kShown = 80;
    std::string q(1, '\'');
    for (const char c : text.substr(0, kShown)) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && c != '\\' && c != '\'') {
            q.push_back(c);
        } else {
            q += "\\x";
            q.push_back(kHex[b >> 4]);
            q.push_back(kHex[b & 0xF]);
        }
    }
    q += '\'';
    if (text.size() > kShown) q += "... (" + std::to_string(text.size()) + " bytes)";
    return q;
}

// ---- descriptors and mappings ----

// An open file descriptor, closed with its owner.
class Fd {
public:
    explicit Fd(int fd = -1) noexcept : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }
    // Closes now and reports close's result (0, or -1 with errno).
    int close() noexcept { return ::close(std::exchange(fd_, -1)); }

private:
    int fd_;
};

// A read-only mapping of a file, unmapped with its owner.
class Mapping {
public:
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() { ::munmap(data_, bytes_); }
    // Maps `bytes` (more than 0) of `fd` read-only, or fails with errno set.
    static std::optional<Mapping> of(int fd, std::size_t bytes) {
        void* data = ::mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE, fd, 0);
        if (data == MAP_FAILED) return std::nullopt;
        return std::optional<Mapping>(std::in_place, data, bytes);
    }
    Mapping(void* data, std::size_t bytes) noexcept : data_(data), bytes_(bytes) {}
    const Byte* data() const noexcept { return static_cast<const Byte*>(data_); }

private:
    void* data_;
    std::size_t bytes_;
};

// ---- writing ----

// A new file under a temporary name beside `path`, removed again unless it
// was renamed over `path`.
class TempFile {
public:
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (!renamed_) ::unlink(name_.c_str());
    }

    static Expected<std::unique_ptr<TempFile>, FileError> create(const std::string& path) {
        static std::atomic<std::uint64_t> counter{0};
        const std::size_t slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
        // Hidden, and short enough for any name the folder takes.
        const std::string base = path.substr(folder.size()).substr(0, 180);
        for (int attempt = 0;; ++attempt) {
            const std::string name = folder + "." + base + ".tmp" + std::to_string(::getpid()) + "-" +
                                     std::to_string(counter.fetch_add(1));
            const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) return std::unique_ptr<TempFile>(new TempFile(name, fd));
            if (errno != EEXIST || attempt == 100) return unexpected(os_failure("open"));
        }
    }

    int fd() const noexcept { return fd_.get(); }

    // Flushes the file to disk, closes it and renames it over `path`.
    Expected<void, FileError> commit(const std::string& path) {
        if (::fsync(fd_.get()) != 0) return unexpected(os_failure("fsync"));
        if (fd_.close() != 0) return unexpected(os_failure("close"));
        if (::rename(name_.c_str(), path.c_str()) != 0) return unexpected(os_failure("rename"));
        renamed_ = true;
        // Makes the rename itself durable; the file is in place whatever this says.
        const std::size_t slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.get() >= 0) ::fsync(dir.get());
        return {};
    }

private:
    TempFile(std::string name, int fd) : name_(std::move(name)), fd_(fd) {}

    std::string name_;
    Fd fd_;
    bool renamed_ = false;
};

// Writes everything it is given, counting the bytes.
class Output {
public:
    explicit Output(int fd) noexcept : fd_(fd) {}
    std::uint64_t position() const noexcept { return position_; }

    Expected<void, FileError> write(const void* data, std::size_t bytes) {
        const Byte* p = static_cast<const Byte*>(data);
        while (bytes > 0) {
            const ssize_t n = ::write(fd_, p, std::min<std::size_t>(bytes, std::size_t(1) << 30));
            if (n < 0) {
                if (errno == EINTR) continue;
                return unexpected(os_failure("write"));
            }
            p += n;
            bytes -= static_cast<std::size_t>(n);
            position_ += static_cast<std::uint64_t>(n);
        }
        return {};
    }
    Expected<void, FileError> write(const std::string& s) { return write(s.data(), s.size()); }

    // Writes `data` and folds it into `crc`, a few megabytes at a time.
    Expected<void, FileError> write(const void* data, std::size_t bytes, std::uint32_t& crc) {
        const Byte* p = static_cast<const Byte*>(data);
        for (std::size_t done = 0; done < bytes;) {
            const std::size_t n = std::min(kChunkBytes, bytes - done);
            crc = crc_of(crc, p + done, n);
            TESSARAY_TRY(write(p + done, n));
            done += n;
        }
        return {};
    }

    Expected<void, FileError> write_at(std::uint64_t offset, const std::string& s) {
        for (std::size_t done = 0; done < s.size();) {
            const ssize_t n = ::pwrite(fd_, s.data() + done, s.size() - done, static_cast<off_t>(offset + done));
            if (n < 0) {
                if (errno == EINTR) continue;
                return unexpected(os_failure("write"));
            }
            done += static_cast<std::size_t>(n);
        }
        return {};
    }

private:
    int fd_;
    std::uint64_t position_ = 0;
};

// The .npy header of an array: version 1.0, the dict padded with spaces and
// ended by a newline so that the data after it starts at a multiple of 64.
std::string npy_header(std::string_view descr, const std::string& shape) {
    const std::string dict = "{'descr': '" + std::string(descr) + "', 'fortran_order': False, 'shape': " + shape + ", }";
    const std::size_t prefix = kNpyMagic.size() + 4;
    const std::size_t total = (prefix + dict.size() + 1 + kAlign - 1) / kAlign * kAlign;
    std::string out(kNpyMagic);
    out.push_back(1);
    out.push_back(0);
    put16(out, total - prefix);
    out += dict;
    out.append(total - prefix - dict.size() - 1, ' ');
    out.push_back('\n');
    return out;
}

// A member as written: its .npy header, then `data_bytes` of array data.
struct Planned {
    std::string_view name;
    std::string npy;
    std::uint64_t data_bytes;
    std::uint64_t offset = 0;  // of its local header
    std::uint32_t crc = 0;

    std::uint64_t size() const noexcept { return npy.size() + data_bytes; }
    bool zip64() const noexcept { return size() >= kMax32 || offset >= kMax32; }
    std::uint16_t version() const noexcept { return zip64() ? kVersion45 : kVersion20; }
};

// The local header of `m`, the CRC left as 0, padded to end on a multiple of
// 64 in the file.
std::string local_header(const Planned& m) {
    std::string extra;
    if (m.size() >= kMax32) {
        put16(extra, kZip64Tag);
        put16(extra, 16);
        put64(extra, m.size());
        put64(extra, m.size());
    }
    const std::uint64_t unpadded = m.offset + kLocalSize + m.name.size() + extra.size();
    std::size_t pad = static_cast<std::size_t>((kAlign - unpadded % kAlign) % kAlign);
    if (pad < 6) pad += kAlign;  // room for the field's tag, length and alignment
    put16(extra, kAlignTag);
    put16(extra, pad - 4);
    put16(extra, kAlign);
    extra.append(pad - 6, '\0');

    const std::uint64_t size32 = m.size() >= kMax32 ? kMax32 : m.size();
    std::string h;
    put32(h, kLocalSignature);
    put16(h, m.version());
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

std::string central_entry(const Planned& m) {
    std::string extra;
    if (m.zip64()) {
        put16(extra, kZip64Tag);
        put16(extra, (m.size() >= kMax32 ? 16 : 0) + (m.offset >= kMax32 ? 8 : 0));
        if (m.size() >= kMax32) {
            put64(extra, m.size());
            put64(extra, m.size());
        }
        if (m.offset >= kMax32) put64(extra, m.offset);
    }
    const std::uint64_t size32 = std::min<std::uint64_t>(m.size(), kMax32);
    std::string e;
    put32(e, kCentralSignature);
    put16(e, kMadeByUnix | m.version());
    put16(e, m.version());
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

Expected<void, FileError> write_archive(const Vectorstore& store, Output& out) {
    const std::size_t d = store.vector_size();
    const std::size_t n = store.size();
    const std::size_t row_bytes = d * sizeof(float);
    Planned vectors{kVectorsName, npy_header("<f4", "(" + std::to_string(n) + ", " + std::to_string(d) + ")"),
                    std::uint64_t(n) * row_bytes};
    Planned ids{kIdsName, npy_header("<u8", "(" + std::to_string(n) + ",)"), std::uint64_t(n) * sizeof(std::uint64_t)};

    // vectors.npy: rows copied out of the store a few megabytes at a time
    // into one buffer; the CRC is patched into the header behind them.
    vectors.offset = out.position();
    TESSARAY_TRY(out.write(local_header(vectors)));
    vectors.crc = crc_of(0, vectors.npy.data(), vectors.npy.size());
    TESSARAY_TRY(out.write(vectors.npy));
    if (row_bytes != 0 && n != 0) {
        const std::size_t rows_per_chunk = std::max<std::size_t>(1, kChunkBytes / row_bytes);
        std::vector<float> buffer;
        reserve_or_throw(buffer, std::min(n, rows_per_chunk) * d);
        buffer.resize(std::min(n, rows_per_chunk) * d);
        for (std::size_t first = 0; first < n; first += rows_per_chunk) {
            const std::size_t rows = std::min(rows_per_chunk, n - first);
            store.copy_rows(first, rows, buffer.data());
            TESSARAY_TRY(out.write(buffer.data(), rows * row_bytes, vectors.crc));
        }
    }

    // ids.npy: straight from the store's contiguous ids.
    ids.offset = out.position();
    TESSARAY_TRY(out.write(local_header(ids)));
    ids.crc = crc_of(0, ids.npy.data(), ids.npy.size());
    TESSARAY_TRY(out.write(ids.npy));
    TESSARAY_TRY(out.write(store.ids_data(), n * sizeof(std::uint64_t), ids.crc));

    const std::uint64_t cd_offset = out.position();
    const std::string directory = central_entry(vectors) + central_entry(ids);
    TESSARAY_TRY(out.write(directory + end_records(2, cd_offset, directory.size())));
    for (const Planned* m : {&vectors, &ids}) {
        std::string crc;
        put32(crc, m->crc);
        TESSARAY_TRY(out.write_at(m->offset + kLocalCrcAt, crc));
    }
    return {};
}

// ---- reading the zip structure ----

// A member's bytes within the mapping.
struct Member {
    std::string_view name;
    const Byte* data = nullptr;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    std::uint64_t header_offset = 0;
};

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

// Whether `bytes` bytes from `offset` lie within the first `limit` bytes.
bool fits(std::uint64_t offset, std::uint64_t bytes, std::uint64_t limit) {
    return offset <= limit && bytes <= limit - offset;
}

Expected<std::array<Member, 2>, FileError> read_members(const Byte* file, std::size_t file_size) {
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
    if (end == file_size) return not_a_store("no zip end record (not a zip archive, or cut short)");

    std::uint64_t disk = get16(file + end + 4), cd_disk = get16(file + end + 6);
    std::uint64_t disk_entries = get16(file + end + 8), entries = get16(file + end + 10);
    std::uint64_t cd_size = get32(file + end + 12), cd_offset = get32(file + end + 16);
    std::uint64_t records_start = end;
    if (end >= kLocatorSize && get32(file + end - kLocatorSize) == kLocatorSignature) {
        const Byte* locator = file + end - kLocatorSize;
        const std::uint64_t end64 = get64(locator + 8);
        if (get32(locator + 4) != 0 || get32(locator + 16) != 1) return not_a_store("a multi-disk zip archive");
        if (!fits(end64, kEnd64Size, end - kLocatorSize) || get32(file + end64) != kEnd64Signature) {
            return not_a_store("a broken zip64 end record");
        }
        const Byte* r = file + end64;
        disk = get32(r + 16);
        cd_disk = get32(r + 20);
        disk_entries = get64(r + 24);
        entries = get64(r + 32);
        cd_size = get64(r + 40);
        cd_offset = get64(r + 48);
        records_start = end64;
    } else if (cd_size == kMax32 || cd_offset == kMax32 || entries == kMax16) {
        return not_a_store("a zip64 archive without its zip64 end record");
    }
    if (disk != 0 || cd_disk != 0 || disk_entries != entries) return not_a_store("a multi-disk zip archive");
    if (entries != 2) {
        return not_a_store("the archive has " + std::to_string(entries) + " members, not the two " +
                           quoted(kVectorsName) + " and " + quoted(kIdsName));
    }
    if (!fits(cd_offset, cd_size, records_start)) return not_a_store("the zip central directory lies outside the file");

    std::array<Member, 2> members;
    std::uint64_t at = cd_offset;
    const std::uint64_t cd_end = cd_offset + cd_size;
    for (Member& m : members) {
        if (!fits(at, kCentralSize, cd_end) || get32(file + at) != kCentralSignature) {
            return not_a_store("a broken zip central directory");
        }
        const Byte* e = file + at;
        const std::uint16_t flags = get16(e + 8), method = get16(e + 10);
        const std::size_t name_bytes = get16(e + 28), extra_bytes = get16(e + 30), comment_bytes = get16(e + 32);
        if (!fits(at + kCentralSize, name_bytes + extra_bytes + comment_bytes, cd_end)) {
            return not_a_store("a broken zip central directory");
        }
        m.name = std::string_view(reinterpret_cast<const char*>(e + kCentralSize), name_bytes);
        if (m.name != kVectorsName && m.name != kIdsName) {
            return not_a_store("unexpected member " + quoted(m.name) + " (a store file holds " + quoted(kVectorsName) +
                               " and " + quoted(kIdsName) + ")");
        }
        if (&m != &members[0] && m.name == members[0].name) return not_a_store("member " + quoted(m.name) + " twice");
        if (flags & kEncrypted) return not_a_store("member " + quoted(m.name) + " is encrypted");
        if (method != kStored) {
            const std::string how = method == kDeflated ? "deflate" : "method " + std::to_string(method);
            return not_a_store("member " + quoted(m.name) + " is compressed (" + how +
                               "); compression is not supported: save with numpy.savez, not savez_compressed");
        }
        m.crc = get32(e + 16);
        std::uint64_t compressed = get32(e + 20), size = get32(e + 24), offset = get32(e + 42);
        const bool ok = read_zip64(e + kCentralSize + name_bytes, extra_bytes,
                                   {size == kMax32 ? &size : nullptr, compressed == kMax32 ? &compressed : nullptr,
                                    offset == kMax32 ? &offset : nullptr});
        if (!ok || get16(e + 34) != 0) return not_a_store("a broken zip central directory entry for " + quoted(m.name));
        if (compressed != size) return not_a_store("stored member " + quoted(m.name) + " with two sizes");
        at += kCentralSize + name_bytes + extra_bytes + comment_bytes;

        // Its local header must agree.
        if (!fits(offset, kLocalSize, cd_offset) || get32(file + offset) != kLocalSignature) {
            return not_a_store("no zip local header for " + quoted(m.name));
        }
        const Byte* h = file + offset;
        const std::size_t local_name = get16(h + 26), local_extra = get16(h + 28);
        if (!fits(offset + kLocalSize, local_name + local_extra, cd_offset) ||
            std::string_view(reinterpret_cast<const char*>(h + kLocalSize), local_name) != m.name ||
            get16(h + 8) != method) {
            return not_a_store("the zip local header of " + quoted(m.name) + " disagrees with the central directory");
        }
        if (!(get16(h + 6) & kDataDescriptor)) {
            std::uint64_t local_size = get32(h + 22), local_compressed = get32(h + 18);
            const bool local_ok =
                read_zip64(h + kLocalSize + local_name, local_extra,
                           {local_size == kMax32 ? &local_size : nullptr,
                            local_compressed == kMax32 ? &local_compressed : nullptr});
            if (!local_ok || get32(h + kLocalCrcAt) != m.crc || local_size != size || local_compressed != size) {
                return not_a_store("the zip local header of " + quoted(m.name) + " disagrees with the central directory");
            }
        }
        const std::uint64_t data = offset + kLocalSize + local_name + local_extra;
        if (!fits(data, size, cd_offset)) return not_a_store("member " + quoted(m.name) + " is cut short");
        m.data = file + data;
        m.size = size;
        m.header_offset = offset;
    }
    if (at != cd_end) return not_a_store("a broken zip central directory");
    const auto [first, second] = std::minmax(members[0], members[1], [](const Member& a, const Member& b) {
        return a.header_offset < b.header_offset;
    });
    if (first.data + first.size > file + second.header_offset) return not_a_store("zip members overlap");
    if (members[0].name != kVectorsName) std::swap(members[0], members[1]);
    return members;
}

// ---- reading a .npy member ----

struct NpyHeader {
    std::string descr;
    bool fortran_order = false;
    std::vector<std::uint64_t> shape;
};

// Parses the header dict as numpy writes it: a Python dict literal of
// exactly the keys 'descr' (a string), 'fortran_order' (True or False) and
// 'shape' (a tuple of integers), followed by blanks only.
class DictParser {
public:
    explicit DictParser(std::string_view text) : s_(text) {}

    std::optional<NpyHeader> parse() {
        NpyHeader h;
        bool has_descr = false, has_order = false, has_shape = false;
        if (!eat('{')) return std::nullopt;
        while (!eat('}')) {
            const auto key = string();
            if (!key || !eat(':')) return std::nullopt;
            if (*key == "descr" && !has_descr) {
                const auto v = string();
                if (!v) return std::nullopt;
                h.descr = *v;
                has_descr = true;
            } else if (*key == "fortran_order" && !has_order) {
                if (word("True")) {
                    h.fortran_order = true;
                } else if (!word("False")) {
                    return std::nullopt;
                }
                has_order = true;
            } else if (*key == "shape" && !has_shape) {
                if (!tuple(h.shape)) return std::nullopt;
                has_shape = true;
            } else {
                return std::nullopt;
            }
            if (!eat(',')) {
                if (!eat('}')) return std::nullopt;
                break;
            }
        }
        blanks();
        if (i_ != s_.size() || !(has_descr && has_order && has_shape)) return std::nullopt;
        return h;
    }

private:
    void blanks() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
    }
    bool eat(char c) {
        blanks();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    bool word(std::string_view w) {
        blanks();
        if (s_.substr(i_, w.size()) != w) return false;
        i_ += w.size();
        return true;
    }
    std::optional<std::string_view> string() {
        blanks();
        if (i_ >= s_.size() || (s_[i_] != '\'' && s_[i_] != '"')) return std::nullopt;
        const char quote = s_[i_];
        const std::size_t close = s_.find(quote, i_ + 1);
        if (close == std::string_view::npos) return std::nullopt;
        const std::string_view v = s_.substr(i_ + 1, close - i_ - 1);
        if (v.find('\\') != std::string_view::npos || v.find('\n') != std::string_view::npos) return std::nullopt;
        i_ = close + 1;
        return v;
    }
    std::optional<std::uint64_t> integer() {
        blanks();
        const std::size_t start = i_;
        std::uint64_t v = 0;
        for (; i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9'; ++i_) {
            const std::uint64_t digit = static_cast<std::uint64_t>(s_[i_] - '0');
            if (v > (UINT64_MAX - digit) / 10) return std::nullopt;
            v = v * 10 + digit;
        }
        if (i_ == start) return std::nullopt;
        return v;
    }
    // "()", "(n,)", "(n, m)", "(n, m,)": one value needs its comma.  At
    // most numpy's 64 dimensions, so the shape's memory never follows the
    // header's length.
    bool tuple(std::vector<std::uint64_t>& out) {
        constexpr std::size_t kMaxDims = 64;
        if (!eat('(')) return false;
        bool comma = false;
        while (!eat(')')) {
            if ((!out.empty() && !comma) || out.size() == kMaxDims) return false;
            const auto v = integer();
            if (!v) return false;
            out.push_back(*v);
            comma = eat(',');
        }
        return out.size() != 1 || comma;
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

struct NpyArray {
    std::vector<std::uint64_t> shape;
    const Byte* data;
};

// Checks that `m` is a .npy file of dtype `descr` with `dims` dimensions in C
// order, whose data fills the rest of the member exactly.
Expected<NpyArray, FileError> read_npy(const Member& m, std::string_view descr, std::size_t item_bytes,
                                       std::size_t dims) {
    const std::string name = quoted(m.name);
    const std::size_t magic = kNpyMagic.size();
    if (m.size < magic + 4 || std::string_view(reinterpret_cast<const char*>(m.data), magic) != kNpyMagic) {
        return not_a_store("member " + name + " is not a .npy array");
    }
    const Byte major = m.data[magic], minor = m.data[magic + 1];
    if (major < 1 || major > 3 || minor != 0) {
        return not_a_store("member " + name + " has .npy format version " + std::to_string(major) + "." +
                           std::to_string(minor));
    }
    const std::size_t length_bytes = major == 1 ? 2 : 4;
    const std::uint64_t prefix = magic + 2 + length_bytes;
    if (m.size < prefix) return not_a_store("member " + name + " is cut short");
    const std::uint64_t header_bytes = get(m.data + magic + 2, static_cast<int>(length_bytes));
    if (header_bytes > m.size - prefix) return not_a_store("member " + name + " is cut short");
    const auto header =
        DictParser(std::string_view(reinterpret_cast<const char*>(m.data + prefix), header_bytes)).parse();
    if (!header) return not_a_store("member " + name + " has a malformed .npy header");
    if (header->descr != descr) {
        return not_a_store("member " + name + " has dtype " + quoted(header->descr) + ", not " + quoted(descr));
    }
    if (header->fortran_order) return not_a_store("member " + name + " is in Fortran order");
    if (header->shape.size() != dims) {
        return not_a_store("member " + name + " has " + std::to_string(header->shape.size()) + " dimensions, not " +
                           std::to_string(dims));
    }
    std::uint64_t data_bytes = item_bytes;
    for (const std::uint64_t extent : header->shape) {
        if (__builtin_mul_overflow(data_bytes, extent, &data_bytes)) {
            return not_a_store("member " + name + " has an impossible shape");
        }
    }
    if (data_bytes != m.size - prefix - header_bytes) {
        return not_a_store("member " + name + " holds " + std::to_string(m.size - prefix - header_bytes) +
                           " bytes of data where its shape needs " + std::to_string(data_bytes));
    }
    return NpyArray{header->shape, m.data + prefix + header_bytes};
}

// Rows handed from the mapping to append_rows; they may be unaligned.
struct MappedRows {
    const Byte* data;
    std::size_t row_bytes;

    static void read(void* context, std::size_t first, std::size_t count, float* out) {
        const auto* rows = static_cast<const MappedRows*>(context);
        if (count * rows->row_bytes != 0) std::memcpy(out, rows->data + first * rows->row_bytes, count * rows->row_bytes);
    }
};

}  // namespace

Expected<void, FileError> save_store(const Vectorstore& store, const std::string& path) {
    if (store.vector_size() > kMaxFileVectorSize) return unexpected(FileError{EOVERFLOW, "write"});
    TESSARAY_TRY_ASSIGN(const auto file, TempFile::create(path));
    Output out(file->fd());
    TESSARAY_TRY(write_archive(store, out));
    return file->commit(path);
}

Expected<Vectorstore, FileError> read_store(std::span<const unsigned char> file) {
    if (file.size() < kEndSize) {
        return not_a_store("too short for a zip archive (" + std::to_string(file.size()) + " bytes)");
    }
    TESSARAY_TRY_ASSIGN(const auto members, read_members(file.data(), file.size()));
    TESSARAY_TRY_ASSIGN(const auto vectors, read_npy(members[0], "<f4", sizeof(float), 2));
    TESSARAY_TRY_ASSIGN(const auto ids, read_npy(members[1], "<u8", sizeof(std::uint64_t), 1));
    const std::uint64_t n = vectors.shape[0], d = vectors.shape[1];
    if (ids.shape[0] != n) {
        return not_a_store(std::to_string(n) + " vectors but " + std::to_string(ids.shape[0]) + " ids");
    }
    if (d > kMaxFileVectorSize) {
        return not_a_store("member " + quoted(kVectorsName) + " has rows of " + std::to_string(d) +
                           " floats, more than an array's row can hold");
    }
    for (const Member& m : members) {
        if (crc_of(0, m.data, m.size) != m.crc) return not_a_store("CRC-32 mismatch in member " + quoted(m.name));
    }

    // The ids are handed over in place when they are aligned.
    const std::uint64_t* id_values = reinterpret_cast<const std::uint64_t*>(ids.data);
    std::vector<std::uint64_t> aligned_ids;
    if (n != 0 && reinterpret_cast<std::uintptr_t>(ids.data) % alignof(std::uint64_t) != 0) {
        reserve_or_throw(aligned_ids, n);
        aligned_ids.resize(n);
        std::memcpy(aligned_ids.data(), ids.data, n * sizeof(std::uint64_t));
        id_values = aligned_ids.data();
    }
    Vectorstore store(d);
    MappedRows rows{vectors.data, d * sizeof(float)};
    store.append_rows(n, id_values, {&rows, &MappedRows::read});
    return store;
}

Expected<Vectorstore, FileError> load_store(const std::string& path) {
    // Without O_NONBLOCK, opening a FIFO waits for a writer (and a device may
    // wait too) before the file's type can be checked.
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) {
        const int error = errno;
        struct stat st;
        // A socket cannot be opened at all (ENXIO): say what it is instead.
        if (error == ENXIO && ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            return not_a_store("not a regular file");
        }
        errno = error;
        return unexpected(os_failure("open"));
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return unexpected(os_failure("fstat"));
    if (S_ISDIR(st.st_mode)) return unexpected(FileError{EISDIR, "open"});
    if (!S_ISREG(st.st_mode)) return not_a_store("not a regular file");
    const std::size_t size = static_cast<std::size_t>(st.st_size);
    if (size == 0) return read_store({});  // nothing to map
    const auto mapping = Mapping::of(fd.get(), size);
    if (!mapping) return unexpected(os_failure("mmap"));
    ::madvise(const_cast<Byte*>(mapping->data()), size, MADV_SEQUENTIAL);
    return read_store({mapping->data(), size});
}

}  // namespace tessaray::core
