// store_file.hpp: the store's file: which members hold what, saving a store to a file, loading it back, finding its parts in place.
//
// The file is an uncompressed NumPy .npz archive, which numpy.load(path)
// reads with allow_pickle=False: a zip archive as zip_writer.hpp describes it
// (stored members, each member's array data on a page of its own, CRC-32s as
// the file's checksum, zip64 records only where sizes or offsets need them,
// all times 1980-01-01 00:00, so equal stores give equal files), of four
// .npy members that hold the store's parts as the store keeps them, so that
// a store can read them in place:
//     blocks.npy: descr '<f4', shape (B, d, 64): the B = N // 64 whole
//                 blocks, block b holding element i of its rows r at [b, i, r];
//     tail.npy:   descr '<f4', shape (N % 64, d): the rows after the last
//                 whole block, row after row;
//     roots.npy:  descr '<f4', shape (N,): each row's root (store.hpp);
//     ids.npy:    descr '<u8', shape (N,): the ids;
// in insertion order, N = 0 still recording d.  Each is a .npy file, format
// version 1.0, as npy_header.hpp describes them.
//
// Loading also takes the rows as arrays of their own, as earlier versions of
// this file and numpy.savez(path, vectors=..., ids=...) write them:
//     vectors.npy: descr '<f4', shape (N, d), row after row;
//     ids.npy:     descr '<u8', shape (N,);
// and, in either layout, the members in any order, any extra fields, zip64
// records, data descriptors, .npy versions 1.0 to 3.0 and any dict layout
// numpy reads, data at any alignment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "core/expected.hpp"
#include "core/file_error.hpp"
#include "core/store.hpp"

namespace tessaray::core {

// The largest vector size a file holds: a row of vector_size * 4 bytes must
// be describable as an array's row (a byte stride up to PTRDIFF_MAX), as
// numpy and the buffer protocol need.  A store of a larger vector size can
// only be empty; it is neither saved nor loaded.
inline constexpr std::size_t kMaxFileVectorSize = PTRDIFF_MAX / sizeof(float);

// Writes `store` to `path`: the file is written under a temporary name in the
// same folder, flushed to disk (fsync) and only then renamed over `path`, so
// an interrupted or failed save never leaves a partial file under that name;
// on failure the temporary file is removed.  The store's parts are written
// as they are, with no copy.  A store whose own file lost pages
// (Vectorstore::lost) fails with EIO from "read" and leaves no file.  A store whose vector size
// passes kMaxFileVectorSize fails with EOVERFLOW and writes nothing.
Expected<void, FileError> save_store_file(const Vectorstore& store, const std::string& path);

class GuardedMapping;

// The file at `path` mapped read-only (guarded_mapping.hpp) and advised for
// a read in order, as every reader of a store file reads it: fails as
// load_store_file fails to open a file.
Expected<std::shared_ptr<const GuardedMapping>, FileError> map_store_file(const std::string& path);

// A store file's parts within its bytes, checked but not yet copied.  In the
// layout of rows, `rows` points at them (N rows of d floats) and parts holds
// only the size, the vector size and the ids; otherwise rows is null.
struct FoundStore {
    StoreParts parts;
    const unsigned char* rows = nullptr;
};

// Finds a store in the bytes of a store file, checking everything that
// read_store checks but, unless `verify`, the CRC-32s (which reads every
// byte; the rest reads only the headers).
Expected<FoundStore, FileError> find_store(std::span<const unsigned char> file, bool verify);

// Reads a store file.  Everything is checked before the store is built: the
// zip structure, the member names, each .npy header, the dtypes and shapes
// (the same N in all), the sizes and the CRC-32 of every member, so that a
// truncated, corrupted or foreign file is an error and never a store with
// other data.  Compressed members and object arrays are refused; nothing is
// ever unpickled.  Paths that are not regular files (FIFOs, devices,
// sockets) are refused without waiting on them.  The file is mapped, not
// read into memory; shortened by another process while it is read, it fails
// with EIO from "read" (guarded_mapping.hpp).  Throws OutOfMemory when the store's memory is refused.  A file that
// is not a store file fails with os_error 0 and a message that starts "not a
// tessaray store file: ".
Expected<Vectorstore, FileError> load_store_file(const std::string& path);

// The store held by the bytes of a store file, checked as load_store_file
// checks a file.  Every message is plain ASCII: bytes of the file that
// appear in it (member names, dtype text) are backslash-escaped.  Nothing is
// allocated by a size the file declares before that size has been checked
// against the bytes that are there.
Expected<Vectorstore, FileError> read_store(std::span<const unsigned char> file);

}  // namespace tessaray::core
