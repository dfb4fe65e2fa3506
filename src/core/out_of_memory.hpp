// out_of_memory.hpp: the failure of an allocation whose size is known.
#pragma once

#include <cstddef>
#include <limits>
#include <new>
#include <vector>

namespace tessaray::core {

// Thrown where a request of bytes() bytes cannot be met: the system refused
// it, or it is larger than anything that can be allocated.  Anything that
// handles std::bad_alloc handles it; the call boundary reports the size.
class OutOfMemory : public std::bad_alloc {
public:
    explicit OutOfMemory(std::size_t bytes) noexcept : bytes_(bytes) {}
    std::size_t bytes() const noexcept { return bytes_; }
    const char* what() const noexcept override { return "memory allocation failed"; }

private:
    std::size_t bytes_;
};

[[noreturn]] inline void throw_out_of_memory(std::size_t bytes) { throw OutOfMemory(bytes); }

// The bytes of `count` elements of T.  A count whose bytes do not fit in a
// size_t is reported as the largest size_t: no allocation can be that large.
template <class T>
constexpr std::size_t bytes_of(std::size_t count) noexcept {
    constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
    return count <= max / sizeof(T) ? count * sizeof(T) : max;
}

// Makes room for `count` elements in `v`, or throws OutOfMemory with their
// bytes (`v` unchanged), whatever refused: the system or the container's own
// limit (which would otherwise be std::length_error).
template <class T>
void reserve_or_throw(std::vector<T>& v, std::size_t count) {
    if (count <= v.capacity()) return;
    if (count > v.max_size()) throw_out_of_memory(bytes_of<T>(count));
    try {
        v.reserve(count);
    } catch (const std::bad_alloc&) {
        throw_out_of_memory(bytes_of<T>(count));
    }
}

// `count` value-initialised elements; a refusal is OutOfMemory with the bytes
// they need.
template <class T>
std::vector<T> allocate_vector(std::size_t count) {
    std::vector<T> v;
    reserve_or_throw(v, count);
    v.resize(count);
    return v;
}

}  // namespace tessaray::core
