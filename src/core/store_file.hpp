// store_file.hpp: the store's file: which members hold what, saving a store to a file and loading it back.
//
// The file is an uncompressed NumPy .npz archive, which numpy.load(path)
// reads with allow_pickle=False, holding the arrays "vectors" and "ids": a
// zip archive as zip_writer.hpp describes it (stored members, each member's
// bytes 64-byte aligned in the file, CRC-32s as the file's checksum, zip64
// records only where sizes or offsets need them, all times 1980-01-01
// 00:00, so equal stores give equal files), of two members in this order:
//     vectors.npy: descr '<f4', shape (N, d): the store's N vectors, d floats
//                  each, row after row in insertion order (N = 0 still
//                  records d);
//     ids.npy:     descr '<u8', shape (N,): the ids in the same order.
// Both are .npy files, format version 1.0, as npy_header.hpp describes them,
// whose array data starts at a multiple of 64 within the member, hence
// 64-byte aligned in the file.
//
// Loading takes that file and also what numpy.savez(path, vectors=...,
// ids=...) writes: the two members in either order, any extra fields,
// zip64 records, data descriptors, .npy versions 1.0 to 3.0 and any dict
// layout numpy reads, data at any alignment.
#pragma once

#include <cstddef>
#include <cstdint>
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
// on failure the temporary file is removed.  Throws OutOfMemory only where
// the memory for the copy buffer is refused.  A store whose vector size
// passes kMaxFileVectorSize fails with EOVERFLOW and writes nothing.
Expected<void, FileError> save_store_file(const Vectorstore& store, const std::string& path);

// Reads a store file.  Everything is checked before the store is built: the
// zip structure, the member names, each .npy header, the dtypes and shapes
// (the same N in both), the sizes and the CRC-32 of both members, so that a
// truncated, corrupted or foreign file is an error and never a store with
// other data.  Compressed members and object arrays are refused; nothing is
// ever unpickled.  Paths that are not regular files (FIFOs, devices,
// sockets) are refused without waiting on them.  The file is mapped, not
// read into memory, and must not be truncated by another process while this
// runs.  Throws OutOfMemory when the store's memory is refused.  A file that
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
