// out_of_memory.hpp: the failure of an allocation whose size is known.
#pragma once

#include <cstddef>
#include <new>

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

}  // namespace tessaray::core
