// paged_buffer.cpp: heap memory for small buffers, mmap and mremap for large ones.
#include "core/paged_buffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

namespace tessaray::core {

namespace {

// From this size on a buffer gets pages of its own.
constexpr std::size_t kMappedFrom = std::size_t(1) << 20;
constexpr std::size_t kHeapAlign = 64;

std::size_t round_up(std::size_t bytes, std::size_t unit) {
    if (bytes > (std::size_t(1) << 62)) throw std::bad_alloc();
    return (bytes + unit - 1) / unit * unit;
}

std::size_t page_size() {
    static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

}  // namespace

void Pages::grow_to(std::size_t bytes) {
    if (bytes <= bytes_) return;
    if (bytes < kMappedFrom) {
        const std::size_t rounded = round_up(bytes, kHeapAlign);
        void* p = std::aligned_alloc(kHeapAlign, rounded);
        if (p == nullptr) throw std::bad_alloc();
        if (bytes_ != 0) std::memcpy(p, data_, bytes_);
        std::memset(static_cast<char*>(p) + bytes_, 0, rounded - bytes_);
        std::free(data_);
        data_ = p;
        bytes_ = rounded;
        return;
    }
    const std::size_t rounded = round_up(bytes, page_size());
    void* p;
    if (mapped_) {
        p = mremap(data_, bytes_, rounded, MREMAP_MAYMOVE);
        if (p == MAP_FAILED) throw std::bad_alloc();
    } else {
        p = mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        if (bytes_ != 0) std::memcpy(p, data_, bytes_);
        std::free(data_);
        mapped_ = true;
    }
    data_ = p;
    bytes_ = rounded;
}

void Pages::release() noexcept {
    if (mapped_) {
        munmap(data_, bytes_);
    } else {
        std::free(data_);
    }
    data_ = nullptr;
    bytes_ = 0;
    mapped_ = false;
}

}  // namespace tessaray::core
