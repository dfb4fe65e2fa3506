// store_file.hpp: saving a store to a file and loading it back.
//
// The file is an uncompressed NumPy .npz archive, which numpy.load(path)
// reads with allow_pickle=False, holding the arrays "vectors" and "ids":
//
//   A zip archive, every member STORED (method 0), general purpose flags 0
//   (no data descriptors), no archive comment.  In this order:
//     1. local header of "vectors.npy", then that member's bytes;
//     2. local header of "ids.npy", then that member's bytes;
//     3. the central directory, one entry per member, in the same order;
//     4. the zip64 end of central directory record and its locator, only
//        when the central directory's offset (or size) reaches 0xFFFFFFFF;
//     5. the end of central directory record.
//   Each member's CRC-32 (zlib's crc32 over the member's bytes) is in its
//   local header and in its central directory entry: the file's checksum.
//   A member whose size reaches 0xFFFFFFFF has 0xFFFFFFFF in the 32-bit size
//   fields and its sizes in a zip64 extra field (tag 0x0001) in both headers;
//   a local header offset that reaches 0xFFFFFFFF is likewise 0xFFFFFFFF in
//   its central directory entry and in that entry's zip64 extra field.
//   Members that use zip64 say version 4.5 is needed, the others 2.0.
//   Each local header ends with an alignment extra field (tag 0xD935: a
//   16-bit alignment, 64, then zero bytes) sized so that the member's bytes
//   start at a multiple of 64 in the file.  Modification times are all
//   1980-01-01 00:00, so equal stores give equal files.
//
//   Both members are .npy files, format version 1.0: the magic "\x93NUMPY",
//   the bytes 1 and 0, a little-endian 16-bit header length, then the header
//   text, a Python dict literal
//     {'descr': '<f4', 'fortran_order': False, 'shape': (N, d), }
//   padded with spaces and ended by "\n" so that the array data starts at a
//   multiple of 64 within the member, hence 64-byte aligned in the file.
//     vectors.npy: descr '<f4', shape (N, d): the store's N vectors, d floats
//                  each, row after row in insertion order (N = 0 still
//                  records d);
//     ids.npy:     descr '<u8', shape (N,): the ids in the same order.
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
#include "core/store.hpp"

namespace tessaray::core {

// Why a file could not be saved or loaded.
struct FileError {
    // errno of the system call that failed, or 0 when the file is not a
    // valid store file.
    int os_error = 0;
    // With an os_error, the call that failed ("open", "write", ...); without,
    // "not a tessaray store file: " and what is wrong with it.
    std::string message;
};

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
Expected<void, FileError> save_store(const Vectorstore& store, const std::string& path);

// Reads a store file.  Everything is checked before the store is built: the
// zip structure, the member names, each .npy header, the dtypes and shapes
// (the same N in both), the sizes and the CRC-32 of both members, so that a
// truncated, corrupted or foreign file is an error and never a store with
// other data.  Compressed members and object arrays are refused; nothing is
// ever unpickled.  Paths that are not regular files (FIFOs, devices,
// sockets) are refused without waiting on them.  The file is mapped, not read into memory, and must not be
// truncated by another process while this runs.  Throws OutOfMemory when the
// store's memory is refused.
Expected<Vectorstore, FileError> load_store(const std::string& path);

// The store held by the bytes of a store file, checked as load_store checks
// a file.  Every message is plain ASCII: bytes of the file that appear in it
// (member names, dtype text) are backslash-escaped.  Nothing is allocated by
// a size the file declares before that size has been checked against the
// bytes that are there.
Expected<Vectorstore, FileError> read_store(std::span<const unsigned char> file);

}  // namespace tessaray::core
