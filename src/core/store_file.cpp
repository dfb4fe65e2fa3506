// store_file.cpp: the store's .npz file: its members, their dtypes and shapes, the checks, and the store built from them.
#include "core/store_file.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/guarded_mapping.hpp"
#include "core/kernel.hpp"
#include "core/npy_header.hpp"
#include "core/out_of_memory.hpp"
#include "core/posix_file.hpp"
#include "core/quoted.hpp"
#include "core/zip_reader.hpp"
#include "core/zip_writer.hpp"

namespace tessaray::core {
namespace {

static_assert(std::endian::native == std::endian::little, "the file's arrays are little-endian, as is memory here");

// The members of each layout, in the order this file writes them.
constexpr std::string_view kStoreNames[] = {"blocks.npy", "tail.npy", "roots.npy", "ids.npy"};
constexpr std::string_view kRowNames[] = {"vectors.npy", "ids.npy"};
enum Member : std::size_t { kBlocks, kTail, kRoots, kIds };

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

// Writes one .npy member: its header, then each piece of its data in turn.
Expected<void, FileError> write_npy(ZipWriter& zip, std::string_view name, std::string_view descr,
                                    std::span<const std::uint64_t> shape,
                                    std::initializer_list<std::span<const unsigned char>> data) {
    const std::string header = npy_header(descr, shape);
    std::uint64_t bytes = header.size();
    for (const auto piece : data) bytes += piece.size();
    TESSARAY_TRY(zip.begin(name, bytes, header.size()));
    TESSARAY_TRY(zip.write(header.data(), header.size()));
    for (const auto piece : data) TESSARAY_TRY(zip.write(piece.data(), piece.size()));
    return {};
}

template <class T>
std::span<const unsigned char> bytes_of(const T* data, std::size_t count) {
    return {reinterpret_cast<const unsigned char*>(data), count * sizeof(T)};
}

Expected<void, FileError> write_store(const Vectorstore& store, Output& out) {
    const std::uint64_t d = store.vector_size(), n = store.size();
    const std::uint64_t blocks = store.block_count(), tail = store.tail_rows();
    ZipWriter zip(out);
    const std::uint64_t blocks_shape[] = {blocks, d, kBlockRows}, tail_shape[] = {tail, d}, rows_shape[] = {n};
    TESSARAY_TRY(write_npy(zip, kStoreNames[kBlocks], "<f4", blocks_shape,
                           {bytes_of(store.blocks_data(), store.packed_rows() * d)}));
    TESSARAY_TRY(write_npy(zip, kStoreNames[kTail], "<f4", tail_shape, {bytes_of(store.tail_data(), tail * d)}));
    TESSARAY_TRY(write_npy(zip, kStoreNames[kRoots], "<f4", rows_shape, {bytes_of(store.roots_data(), n)}));
    TESSARAY_TRY(write_npy(zip, kStoreNames[kIds], "<u8", rows_shape, {bytes_of(store.ids_data(), n)}));
    return zip.finish();
}

// The archive's members, in the order of one of the two layouts: the archive
// must hold exactly that layout's members, each once, whose names are checked
// as soon as they are read.
Expected<std::vector<ZipMember>, FileError> find_members(std::span<const unsigned char> file) {
    TESSARAY_TRY_ASSIGN(const ZipArchive archive, as_store(ZipArchive::open(file)));
    const std::span<const std::string_view> names = archive.entries() == std::size(kRowNames)
                                                        ? std::span<const std::string_view>(kRowNames)
                                                        : std::span<const std::string_view>(kStoreNames);
    const auto listed = [&] {
        std::string text;
        for (const std::string_view name : names) text += (text.empty() ? "" : ", ") + quoted(name);
        return text;
    };
    if (archive.entries() != names.size()) {
        return not_a_store("the archive has " + std::to_string(archive.entries()) + " members, not " + listed());
    }
    TESSARAY_TRY_ASSIGN(ZipDirectory directory, as_store(archive.directory()));
    std::vector<ZipMember> members(names.size());
    std::vector<bool> seen(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        TESSARAY_TRY_ASSIGN(const std::string_view name, as_store(directory.next_name()));
        const std::size_t at = static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
        if (at == names.size())
            return not_a_store("unexpected member " + quoted(name) + " (a store file holds " + listed() + ")");
        if (seen[at]) return not_a_store("member " + quoted(name) + " twice");
        seen[at] = true;
        TESSARAY_TRY_ASSIGN(members[at], as_store(directory.member()));
    }
    TESSARAY_TRY(as_store(directory.finish()));
    return members;
}

// Where member `m`'s array data lies, once its header is checked.
Expected<const unsigned char*, FileError> array_of(const ZipMember& m, std::string_view descr, std::size_t item_bytes,
                                                   std::size_t dims, std::vector<std::uint64_t>& shape) {
    TESSARAY_TRY_ASSIGN(NpyHeader header, as_store(read_npy_member(m, descr, item_bytes, dims)));
    shape = std::move(header.shape);
    return m.bytes.data() + header.data_offset;
}

Expected<void, FileError> check_vector_size(std::uint64_t d, std::string_view member) {
    if (d <= kMaxFileVectorSize) return {};
    return not_a_store("member " + quoted(member) + " has rows of " + std::to_string(d) +
                       " floats, more than an array's row can hold");
}

Expected<FoundStore, FileError> find_parts(const std::vector<ZipMember>& members) {
    std::vector<std::uint64_t> blocks, tail, roots, ids;
    FoundStore found;
    StoreParts& parts = found.parts;
    TESSARAY_TRY_ASSIGN(parts.blocks, array_of(members[kBlocks], "<f4", sizeof(float), 3, blocks));
    TESSARAY_TRY_ASSIGN(parts.tail, array_of(members[kTail], "<f4", sizeof(float), 2, tail));
    TESSARAY_TRY_ASSIGN(parts.roots, array_of(members[kRoots], "<f4", sizeof(float), 1, roots));
    TESSARAY_TRY_ASSIGN(parts.ids, array_of(members[kIds], "<u8", sizeof(std::uint64_t), 1, ids));
    const std::uint64_t d = blocks[1], n = roots[0];
    if (blocks[2] != kBlockRows) {
        return not_a_store("member " + quoted(kStoreNames[kBlocks]) + " has blocks of " + std::to_string(blocks[2]) +
                           " rows, not " + std::to_string(kBlockRows));
    }
    TESSARAY_TRY(check_vector_size(d, kStoreNames[kBlocks]));
    if (tail[1] != d) {
        return not_a_store("member " + quoted(kStoreNames[kTail]) + " has rows of " + std::to_string(tail[1]) +
                           " floats, the blocks " + std::to_string(d));
    }
    const std::uint64_t whole = blocks[0];
    if (tail[0] >= kBlockRows || tail[0] > n || (n - tail[0]) % kBlockRows != 0 ||
        whole != (n - tail[0]) / kBlockRows) {
        return not_a_store(std::to_string(whole) + " blocks and a tail of " + std::to_string(tail[0]) +
                           " rows do not make the " + std::to_string(n) + " rows of " + quoted(kStoreNames[kRoots]));
    }
    if (ids[0] != n) return not_a_store(std::to_string(n) + " roots but " + std::to_string(ids[0]) + " ids");
    parts.vector_size = static_cast<std::size_t>(d);
    parts.size = static_cast<std::size_t>(n);
    return found;
}

Expected<FoundStore, FileError> find_rows(const std::vector<ZipMember>& members) {
    std::vector<std::uint64_t> vectors, ids;
    FoundStore found;
    TESSARAY_TRY_ASSIGN(found.rows, array_of(members[0], "<f4", sizeof(float), 2, vectors));
    TESSARAY_TRY_ASSIGN(found.parts.ids, array_of(members[1], "<u8", sizeof(std::uint64_t), 1, ids));
    const std::uint64_t n = vectors[0], d = vectors[1];
    if (ids[0] != n) return not_a_store(std::to_string(n) + " vectors but " + std::to_string(ids[0]) + " ids");
    TESSARAY_TRY(check_vector_size(d, kRowNames[0]));
    found.parts.vector_size = static_cast<std::size_t>(d);
    found.parts.size = static_cast<std::size_t>(n);
    return found;
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

// The store of rows found row after row: packed, and its roots computed, as
// inserting them would.
Vectorstore store_of_rows(const FoundStore& found) {
    const std::size_t n = found.parts.size, d = found.parts.vector_size;
    // The ids are handed over in place when they are aligned.
    const std::uint64_t* id_values = reinterpret_cast<const std::uint64_t*>(found.parts.ids);
    std::vector<std::uint64_t> aligned_ids;
    if (n != 0 && reinterpret_cast<std::uintptr_t>(found.parts.ids) % alignof(std::uint64_t) != 0) {
        reserve_or_throw(aligned_ids, n);
        aligned_ids.resize(n);
        std::memcpy(aligned_ids.data(), found.parts.ids, n * sizeof(std::uint64_t));
        id_values = aligned_ids.data();
    }
    Vectorstore store(d);
    MappedRows rows{found.rows, d * sizeof(float)};
    store.append_rows(n, id_values, {&rows, &MappedRows::read});
    return store;
}

}  // namespace

Expected<FoundStore, FileError> find_store(std::span<const unsigned char> file, bool verify) {
    TESSARAY_TRY_ASSIGN(const std::vector<ZipMember> members, find_members(file));
    Expected<FoundStore, FileError> found =
        members.size() == std::size(kRowNames) ? find_rows(members) : find_parts(members);
    if (!found || !verify) return found;
    for (const ZipMember& m : members) {
        if (!crc_matches(m)) return not_a_store("CRC-32 mismatch in member " + quoted(m.name));
    }
    return found;
}

Expected<void, FileError> save_store_file(const Vectorstore& store, const std::string& path) {
    if (store.vector_size() > kMaxFileVectorSize) return unexpected(FileError{EOVERFLOW, "write"});
    TESSARAY_TRY_ASSIGN(const auto file, TempFile::create(path));
    Output out(file->fd());
    TESSARAY_TRY(write_store(store, out));
    // What was written came from lost pages of the store's own file: no file
    // at all is better than one that reads as valid.
    if (store.lost()) return unexpected(FileError{EIO, "read"});
    return file->commit(path);
}

Expected<Vectorstore, FileError> read_store(std::span<const unsigned char> file) {
    TESSARAY_TRY_ASSIGN(const FoundStore found, find_store(file, true));
    if (found.rows != nullptr) return store_of_rows(found);
    return Vectorstore::copy_of(found.parts);
}

Expected<std::shared_ptr<const GuardedMapping>, FileError> map_store_file(const std::string& path) {
    auto mapping = GuardedMapping::open(path);
    if (!mapping) {
        if (mapping.error().os_error == 0) return not_a_store(mapping.error().message);
        return unexpected(std::move(mapping).error());
    }
    (*mapping)->advise_sequential();
    return std::move(mapping).value();
}

Expected<Vectorstore, FileError> load_store_file(const std::string& path) {
    TESSARAY_TRY_ASSIGN(const std::shared_ptr<const GuardedMapping> file, map_store_file(path));
    auto store = read_store(file->bytes());
    // A file shortened while it was read: what was read were zeros.
    if (file->lost()) return unexpected(FileError{EIO, "read"});
    return store;
}

}  // namespace tessaray::core
