// buffer_format.cpp: the buffer protocol's format strings that the buffer fast path reads, parsed without the interpreter.
#include "binding/buffer_format.hpp"

#include <bit>
#include <cstring>

namespace tessaray::binding {

std::optional<ElementFormat> parse_format(const char* format, std::ptrdiff_t itemsize, BufferSource source) noexcept {
    if (format == nullptr) format = "B";
    char order = '@';
    if (format[0] != '\0' && std::strchr("@=<>!", format[0]) != nullptr) order = *format++;
    const char code = format[0];
    if (code == '\0' || format[1] != '\0') return std::nullopt;
    const bool native = order == '@';
    // A memoryview unpacks its items in native formats only; bytes,
    // bytearray and array.array only have those.
    if (source != BufferSource::Numpy && !native) return std::nullopt;
    constexpr bool little_host = std::endian::native == std::endian::little;
    const bool swap = (order == '<' && !little_host) || ((order == '>' || order == '!') && little_host);

    ElementKind kind;
    std::size_t size;  // in the standard sizes, or native ones for '@'
    // One line a type code: the table reads best as a table.
    // clang-format off
    switch (code) {
        case '?': kind = ElementKind::Bool; size = native ? sizeof(bool) : 1; break;
        case 'b': kind = ElementKind::Signed; size = 1; break;
        case 'B': kind = ElementKind::Unsigned; size = 1; break;
        case 'h': kind = ElementKind::Signed; size = native ? sizeof(short) : 2; break;
        case 'H': kind = ElementKind::Unsigned; size = native ? sizeof(unsigned short) : 2; break;
        case 'i': kind = ElementKind::Signed; size = native ? sizeof(int) : 4; break;
        case 'I': kind = ElementKind::Unsigned; size = native ? sizeof(unsigned int) : 4; break;
        case 'l': kind = ElementKind::Signed; size = native ? sizeof(long) : 4; break;
        case 'L': kind = ElementKind::Unsigned; size = native ? sizeof(unsigned long) : 4; break;
        case 'q': kind = ElementKind::Signed; size = native ? sizeof(long long) : 8; break;
        case 'Q': kind = ElementKind::Unsigned; size = native ? sizeof(unsigned long long) : 8; break;
        case 'n':
            if (!native) return std::nullopt;
            kind = ElementKind::Signed; size = sizeof(std::ptrdiff_t); break;
        case 'N':
            if (!native) return std::nullopt;
            kind = ElementKind::Unsigned; size = sizeof(std::size_t); break;
        case 'e': kind = ElementKind::Half; size = 2; break;
        case 'f': kind = ElementKind::Float32; size = 4; break;
        case 'd': kind = ElementKind::Float64; size = 8; break;
        default: return std::nullopt;  // 'c', 's', 'P', 'g', 'O', complex, structures, ...
    }
    // clang-format on
    if (static_cast<std::size_t>(itemsize) != size) return std::nullopt;
    if (kind == ElementKind::Bool && size != 1) return std::nullopt;
    if (size != 1 && size != 2 && size != 4 && size != 8) return std::nullopt;
    return ElementFormat{kind, swap && size != 1};
}

}  // namespace tessaray::binding
