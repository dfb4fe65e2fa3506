// npy_header.hpp: the header of a NumPy .npy array: written (version 1.0, data 64-byte aligned), parsed (versions 1.0 to 3.0) and checked against a zip member.
//
// A .npy file is the magic "\x93NUMPY", the format version's two bytes (major,
// minor), the header's length (16 bits little-endian in version 1.0, 32 in
// 2.0 and 3.0), then the header text, a Python dict literal such as
//   {'descr': '<f4', 'fortran_order': False, 'shape': (N, d), }
// padded with spaces and ended by "\n", then the array data.  The headers
// written here are version 1.0, padded so that the data starts at a multiple
// of 64 within the .npy bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/expected.hpp"
#include "core/zip_reader.hpp"

namespace tessaray::core {

// The .npy header of an array of dtype `descr` and shape `shape`, in C
// order: version 1.0, the dict padded with spaces and ended by a newline so
// that the data after it starts at a multiple of 64.
std::string npy_header(std::string_view descr, std::span<const std::uint64_t> shape);

struct NpyHeader {
    std::string descr;
    bool fortran_order = false;
    std::vector<std::uint64_t> shape;  // at most 64 dimensions, as numpy has
    std::uint64_t data_offset = 0;     // where the array data starts in the .npy bytes
};

// The header at the start of `npy`: the magic, a version from 1.0 to 3.0,
// and a dict of exactly the keys 'descr' (a string), 'fortran_order' (True
// or False) and 'shape' (a tuple of integers), in any order and spacing
// numpy reads.  Fails with what is wrong, as words that follow the array's
// name ("is cut short").
Expected<NpyHeader, std::string> parse_npy_header(std::span<const unsigned char> npy);

// The header of the .npy file that the zip member `member` holds, checked to
// be of dtype `descr` (items of `item_bytes` bytes) with `dims` dimensions,
// in C order, its data filling the rest of the member exactly.  Fails with a
// message that names the member.
Expected<NpyHeader, std::string> read_npy_member(const ZipMember& member, std::string_view descr,
                                                 std::size_t item_bytes, std::size_t dims);

}  // namespace tessaray::core
