// buffer_format.hpp: the buffer protocol's format strings that the buffer fast path reads, parsed without the interpreter.
#pragma once

#include <cstddef>
#include <optional>

namespace tessaray::binding {

// Where a buffer object comes from; it decides which formats its own items
// can have.
enum class BufferSource {
    Numpy,       // numpy.ndarray or numpy.memmap exactly: any byte order
    Memoryview,  // memoryview: it unpacks native formats only
    Plain,       // bytes, bytearray, array.array: always native
};

enum class ElementKind { Bool, Signed, Unsigned, Half, Float32, Float64 };

struct ElementFormat {
    ElementKind kind;
    bool swap;  // the bytes are in the other order than this machine's
};

// The element format of a buffer format string (null meaning "B"): one
// optional byte-order character and one type code, of a size that matches
// `itemsize`, which is then 1, 2, 4 or 8.  Nothing for every other format
// (structures, repeat counts, pointers, complex numbers, ...) and for sizes
// that do not match: the fast path leaves those to the element path.
// `format` is a C string; nothing past its terminator is read.
std::optional<ElementFormat> parse_format(const char* format, std::ptrdiff_t itemsize, BufferSource source) noexcept;

}  // namespace tessaray::binding
