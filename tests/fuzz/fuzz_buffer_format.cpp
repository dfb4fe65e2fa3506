// fuzz_buffer_format.cpp: libFuzzer target for the buffer format strings that the buffer fast path reads.
//
// An input is one byte choosing the buffer's source (and a null format),
// eight bytes of item size (little-endian, signed, so negative sizes come
// too), then the format string's bytes up to the first zero.  What must
// hold: the parser reads nothing past the string's end, and what it accepts
// is one optional byte-order character and one type code, of an item size
// of 1, 2, 4 or 8 bytes, in another byte order only for numpy's arrays.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "binding/buffer_format.hpp"

namespace {

using tessaray::binding::BufferSource;
using tessaray::binding::ElementKind;
using tessaray::binding::parse_format;

[[noreturn]] void fail(const char* what, const char* format, std::ptrdiff_t itemsize) {
    std::fprintf(stderr, "buffer format fuzz: %s (format \"%s\", itemsize %td)\n", what, format ? format : "(null)",
                 itemsize);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kHead = 1 + sizeof(std::int64_t);
    if (size < kHead) return 0;
    const auto source = static_cast<BufferSource>(data[0] % 3);
    const bool null_format = (data[0] & 0x80) != 0;
    std::int64_t itemsize = 0;
    std::memcpy(&itemsize, data + 1, sizeof itemsize);
    // The string in memory of exactly its own length, so that a read past its
    // terminator is caught.
    const std::size_t length = strnlen(reinterpret_cast<const char*>(data + kHead), size - kHead);
    const std::unique_ptr<char[]> text(new char[length + 1]);
    std::memcpy(text.get(), data + kHead, length);
    text[length] = '\0';
    const char* format = null_format ? nullptr : text.get();

    const auto parsed = parse_format(format, static_cast<std::ptrdiff_t>(itemsize), source);
    if (!parsed) return 0;
    const char* f = format != nullptr ? format : "B";
    const std::size_t chars = std::strlen(f);
    const bool has_order = chars == 2;
    if (chars != 1 && !has_order) fail("accepted more than an order and a code", format, itemsize);
    if (has_order && std::strchr("@=<>!", f[0]) == nullptr)
        fail("accepted a byte order that is none", format, itemsize);
    if (itemsize != 1 && itemsize != 2 && itemsize != 4 && itemsize != 8)
        fail("accepted an odd item size", format, itemsize);
    if (has_order && f[0] != '@' && source != BufferSource::Numpy) {
        fail("accepted a standard-size format from a source that only has native ones", format, itemsize);
    }
    if (parsed->kind == ElementKind::Bool && itemsize != 1) fail("accepted a wide bool", format, itemsize);
    if (parsed->swap && (itemsize == 1 || !has_order)) fail("swaps bytes that need no swapping", format, itemsize);
    const bool floating = parsed->kind == ElementKind::Half || parsed->kind == ElementKind::Float32 ||
                          parsed->kind == ElementKind::Float64;
    if (floating && itemsize != (parsed->kind == ElementKind::Half      ? 2
                                 : parsed->kind == ElementKind::Float32 ? 4
                                                                        : 8)) {
        fail("a float of the wrong size", format, itemsize);
    }
    return 0;
}
