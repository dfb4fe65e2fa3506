// paged_buffer.cpp: heap memory for small buffers, mappings for large ones, huge pages for the largest.
#include "core/paged_buffer.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace tessaray::core {

namespace {

constexpr std::size_t kHeapAlign = 64;
// Heap memory is zeroed this far ahead of what is asked for, so that a buffer
// that grows by a few bytes at a time calls in here once per 4 KiB.
constexpr std::size_t kZeroAhead = 4096;
// From this size on a buffer gets a mapping of its own.
constexpr std::size_t kMappedFrom = std::size_t(1) << 20;
// Mappings are sized and aligned in units of a transparent huge page.
constexpr std::size_t kHugePage = std::size_t(2) << 20;
// Past this much data a buffer moves to huge pages.  The last huge page is
// resident in full even when only one byte of it holds data, so below this the
// pages would cost more than 5% of the data.
constexpr std::size_t kHugeFrom = std::size_t(40) << 20;

std::size_t round_up(std::size_t bytes, std::size_t unit) noexcept { return (bytes + unit - 1) / unit * unit; }

// A fresh private mapping of `bytes` bytes (a multiple of kHugePage) that
// starts on a kHugePage boundary, or nullptr: an oversized mapping, trimmed.
void* map_aligned(std::size_t bytes, int prot) noexcept {
    const std::size_t span = bytes + kHugePage;
    // Writable memory is committed now, so that the system can refuse it here
    // rather than when a page is first touched; a range held for a move is not.
    const int flags = MAP_PRIVATE | MAP_ANONYMOUS | (prot == PROT_NONE ? MAP_NORESERVE : 0);
    void* raw = mmap(nullptr, span, prot, flags, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = round_up(start, kHugePage);
    if (aligned != start) munmap(raw, aligned - start);
    munmap(reinterpret_cast<void*>(aligned + bytes), start + span - (aligned + bytes));
    return reinterpret_cast<void*>(aligned);
}

}  // namespace

void Pages::reserve(std::size_t need, std::size_t want, std::size_t keep) {
    const bool huge = need > kHugeFrom;
    if (need > bytes_) {
        bool grown = false;
        if (want < kMappedFrom) {
            grown = grow_heap(want, keep) || grow_heap(need, keep);
        } else {
            // The geometric step can be refused where the size asked for
            // still fits: then that is tried.
            grown = grow_mapped(round_up(want, kHugePage), keep, huge) ||
                    grow_mapped(round_up(need, kHugePage), keep, huge);
        }
        if (!grown) throw_out_of_memory(need);
    } else if (huge && kind_ == Kind::mapped && !grow_mapped(bytes_, keep, true)) {
        // The data has outgrown ordinary pages within the capacity, but there
        // is no memory for the move: stay on them until the next growth.
        ready_ = bytes_;
    }
    if (kind_ == Kind::heap && need > ready_) {
        // Only heap memory can hold old bytes; zero what is asked for, and a
        // little more, never the whole capacity (that would make it resident).
        const std::size_t upto = std::min(bytes_, round_up(need, kZeroAhead));
        std::memset(static_cast<char*>(data_) + ready_, 0, upto - ready_);
        ready_ = upto;
    }
}

bool Pages::grow_heap(std::size_t bytes, std::size_t keep) noexcept {
    const std::size_t rounded = round_up(bytes, kHeapAlign);
    void* p = std::aligned_alloc(kHeapAlign, rounded);
    if (p == nullptr) return false;
    if (keep != 0) std::memcpy(p, data_, keep);
    release();
    data_ = p;
    bytes_ = rounded;
    ready_ = keep;
    kind_ = Kind::heap;
    return true;
}

bool Pages::grow_mapped(std::size_t bytes, std::size_t keep, bool huge) noexcept {
    void* p = nullptr;
    if (kind_ == Kind::huge || (kind_ == Kind::mapped && !huge)) {
        // Grow in place where the address space after the mapping is free,
        // else move the pages (without copying them) to a fresh aligned range;
        // a huge page moved from one 2 MiB boundary to another stays whole.
        p = mremap(data_, bytes_, bytes, 0);
        if (p == MAP_FAILED) {
            void* range = map_aligned(bytes, PROT_NONE);
            if (range == nullptr) return false;
            p = mremap(data_, bytes_, bytes, MREMAP_MAYMOVE | MREMAP_FIXED, range);
            if (p == MAP_FAILED) {
                munmap(range, bytes);
                return false;
            }
        }
    } else {
        // A first mapping, or the move onto huge pages: fresh pages, and the
        // kept bytes copied (touching them there puts them on huge pages).
        p = map_aligned(bytes, PROT_READ | PROT_WRITE);
        if (p == nullptr) return false;
        // Advice only: where the kernel has no huge pages, ordinary ones
        // serve.  Below kHugeFrom the advice is the opposite, so that a kernel
        // that hands out huge pages unasked does not either.
        (void)madvise(p, bytes, huge ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
        if (keep != 0) std::memcpy(p, data_, keep);
        release();
        kind_ = huge ? Kind::huge : Kind::mapped;
    }
    data_ = p;
    bytes_ = bytes;
    // Fresh pages read as zero.  On ordinary pages the buffer comes back here
    // once its data outgrows them, to move onto huge pages.
    ready_ = kind_ == Kind::mapped ? std::min(bytes, kHugeFrom) : bytes;
    return true;
}

void Pages::release() noexcept {
    if (kind_ == Kind::mapped || kind_ == Kind::huge) {
        munmap(data_, bytes_);
    } else if (kind_ != Kind::view) {
        std::free(data_);
    }
    data_ = nullptr;
    bytes_ = 0;
    ready_ = 0;
    kind_ = Kind::none;
}

}  // namespace tessaray::core
