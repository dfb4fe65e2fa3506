// store_file.cpp: the store's .npz file: its two members, their dtypes and shapes, the checks, and the store built from them.
#include "core/store_file.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/npy_header.hpp"
#include "core/out_of_memory.hpp"
#include "core/posix_file.hpp"
#include "core/quoted.hpp"
#include "core/zip_reader.hpp"
#include "core/zip_writer.hpp"

namespace tessaray::core {
namespace {

static_assert(std::endian::native == std::endian::little, "the file's arrays are little-endian, as is memory here");

constexpr std::string_view kVectorsName = "vectors.npy";
constexpr std::string_view kIdsName = "ids.npy";
constexpr std::size_t kBufferBytes = std::size_t(4) << 20;

Unexpected<FileError> not_a_store(const std::string& what) {
    return unexpected(FileError{0, "not a tessaray store file: " + what});
}

Unexpected<FileError> not_a_store(const ZipError& error) {
    return not_a_store(error.compressed ? error.what + ": save with numpy.savez, not savez_compressed" : error.what);
}

// A reader's result, its error made the refusal of the file.
template <class T, class E>
Expected<T, FileError> as_store(Expected<T, E>&& result) {
    if (!result) return not_a_store(result.error());
    if constexpr (std::is_void_v<T>) {
        return {};
    } else {
        return std::move(result).value();
    }
}

Expected<void, FileError> write_store(const Vectorstore& store, Output& out) {
    const std::size_t d = store.vector_size();
    const std::size_t n = store.size();
    const std::size_t row_bytes = d * sizeof(float);
    const std::uint64_t vectors_shape[] = {n, d}, ids_shape[] = {n};
    const std::string vectors_npy = npy_header("<f4", vectors_shape);
    const std::string ids_npy = npy_header("<u8", ids_shape);
    ZipWriter zip(out);

    // vectors.npy: rows copied out of the store a few megabytes at a time
    // into one buffer.
    TESSARAY_TRY(zip.begin(kVectorsName, vectors_npy.size() + std::uint64_t(n) * row_bytes));
    TESSARAY_TRY(zip.write(vectors_npy.data(), vectors_npy.size()));
    if (row_bytes != 0 && n != 0) {
        const std::size_t buffer_rows = std::max<std::size_t>(1, kBufferBytes / row_bytes);
        std::vector<float> buffer;
        reserve_or_throw(buffer, std::min(n, buffer_rows) * d);
        buffer.resize(std::min(n, buffer_rows) * d);
        for (std::size_t first = 0; first < n; first += buffer_rows) {
            const std::size_t rows = std::min(buffer_rows, n - first);
            store.copy_rows(first, rows, buffer.data());
            TESSARAY_TRY(zip.write(buffer.data(), rows * row_bytes));
        }
    }

    // ids.npy: straight from the store's contiguous ids.
    TESSARAY_TRY(zip.begin(kIdsName, ids_npy.size() + std::uint64_t(n) * sizeof(std::uint64_t)));
    TESSARAY_TRY(zip.write(ids_npy.data(), ids_npy.size()));
    TESSARAY_TRY(zip.write(store.ids_data(), n * sizeof(std::uint64_t)));
    return zip.finish();
}

// The file's two members, vectors.npy first: the archive must hold exactly
// these two, each once, whose names are checked as soon as they are read.
Expected<std::array<ZipMember, 2>, FileError> find_members(std::span<const unsigned char> file) {
    TESSARAY_TRY_ASSIGN(const ZipArchive archive, as_store(ZipArchive::open(file)));
    if (archive.entries() != 2) {
        return not_a_store("the archive has " + std::to_string(archive.entries()) + " members, not the two " +
                           quoted(kVectorsName) + " and " + quoted(kIdsName));
    }
    TESSARAY_TRY_ASSIGN(ZipDirectory directory, as_store(archive.directory()));
    std::array<ZipMember, 2> members;
    for (ZipMember& m : members) {
        TESSARAY_TRY_ASSIGN(const std::string_view name, as_store(directory.next_name()));
        if (name != kVectorsName && name != kIdsName) {
            return not_a_store("unexpected member " + quoted(name) + " (a store file holds " + quoted(kVectorsName) +
                               " and " + quoted(kIdsName) + ")");
        }
        if (&m != &members[0] && name == members[0].name) return not_a_store("member " + quoted(name) + " twice");
        TESSARAY_TRY_ASSIGN(m, as_store(directory.member()));
    }
    TESSARAY_TRY(as_store(directory.finish()));
    if (members[0].name != kVectorsName) std::swap(members[0], members[1]);
    return members;
}

// Rows handed from the file's bytes to append_rows; they may be unaligned.
struct MappedRows {
    const unsigned char* data;
    std::size_t row_bytes;

    static void read(void* context, std::size_t first, std::size_t count, float* out) {
        const auto* rows = static_cast<const MappedRows*>(context);
        if (count * rows->row_bytes != 0)
            std::memcpy(out, rows->data + first * rows->row_bytes, count * rows->row_bytes);
    }
};

}  // namespace

Expected<void, FileError> save_store_file(const Vectorstore& store, const std::string& path) {
    if (store.vector_size() > kMaxFileVectorSize) return unexpected(FileError{EOVERFLOW, "write"});
    TESSARAY_TRY_ASSIGN(const auto file, TempFile::create(path));
    Output out(file->fd());
    TESSARAY_TRY(write_store(store, out));
    return file->commit(path);
}

Expected<Vectorstore, FileError> read_store(std::span<const unsigned char> file) {
    TESSARAY_TRY_ASSIGN(const auto members, find_members(file));
    TESSARAY_TRY_ASSIGN(const NpyHeader vectors, as_store(read_npy_member(members[0], "<f4", sizeof(float), 2)));
    TESSARAY_TRY_ASSIGN(const NpyHeader ids, as_store(read_npy_member(members[1], "<u8", sizeof(std::uint64_t), 1)));
    const std::uint64_t n = vectors.shape[0], d = vectors.shape[1];
    if (ids.shape[0] != n) {
        return not_a_store(std::to_string(n) + " vectors but " + std::to_string(ids.shape[0]) + " ids");
    }
    if (d > kMaxFileVectorSize) {
        return not_a_store("member " + quoted(kVectorsName) + " has rows of " + std::to_string(d) +
                           " floats, more than an array's row can hold");
    }
    for (const ZipMember& m : members) {
        if (!crc_matches(m)) return not_a_store("CRC-32 mismatch in member " + quoted(m.name));
    }

    // The ids are handed over in place when they are aligned.
    const unsigned char* id_bytes = members[1].bytes.data() + ids.data_offset;
    const std::uint64_t* id_values = reinterpret_cast<const std::uint64_t*>(id_bytes);
    std::vector<std::uint64_t> aligned_ids;
    if (n != 0 && reinterpret_cast<std::uintptr_t>(id_bytes) % alignof(std::uint64_t) != 0) {
        reserve_or_throw(aligned_ids, n);
        aligned_ids.resize(n);
        std::memcpy(aligned_ids.data(), id_bytes, n * sizeof(std::uint64_t));
        id_values = aligned_ids.data();
    }
    Vectorstore store(d);
    MappedRows rows{members[0].bytes.data() + vectors.data_offset, d * sizeof(float)};
    store.append_rows(n, id_values, {&rows, &MappedRows::read});
    return store;
}

Expected<Vectorstore, FileError> load_store_file(const std::string& path) {
    auto mapped = MappedFile::open(path);
    if (!mapped) {
        if (mapped.error().os_error == 0) return not_a_store(mapped.error().message);
        return unexpected(std::move(mapped).error());
    }
    mapped->advise_sequential();
    return read_store(mapped->bytes());
}

}  // namespace tessaray::core
