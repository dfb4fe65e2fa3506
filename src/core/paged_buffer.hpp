// paged_buffer.hpp: a growable array of trivially copyable values.
//
// Small buffers live on the heap (64-byte aligned).  Larger ones get pages of
// their own from the kernel (mmap) and grow with mremap, without copying;
// from tens of megabytes on they sit on 2 MiB-aligned mappings advised for
// transparent huge pages, which an exact search reads markedly faster, and
// they keep those pages as they grow.  Spare capacity is never touched, so it
// never becomes resident; dropping a buffer returns all its memory at once.
// Keeping small buffers on the heap keeps many small stores from using up the
// process's mappings.  A buffer can also be a view of bytes it does not own
// (a store file mapped read-only): it reads them in place and, on its first
// growth, copies them into memory of its own, never writing to them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

#include "core/out_of_memory.hpp"

namespace tessaray::core {

// Raw memory, 64-byte aligned, that grows.  Throws OutOfMemory with the size
// asked for when the system refuses; the memory held before stays as it was.
class Pages {
public:
    Pages() = default;
    Pages(const Pages&) = delete;
    Pages& operator=(const Pages&) = delete;
    Pages(Pages&& o) noexcept
            : data_(std::exchange(o.data_, nullptr)),
              bytes_(std::exchange(o.bytes_, 0)),
              ready_(std::exchange(o.ready_, 0)),
              kind_(std::exchange(o.kind_, Kind::none)) {}
    Pages& operator=(Pages&& o) noexcept {
        if (this != &o) {
            release();
            data_ = std::exchange(o.data_, nullptr);
            bytes_ = std::exchange(o.bytes_, 0);
            ready_ = std::exchange(o.ready_, 0);
            kind_ = std::exchange(o.kind_, Kind::none);
        }
        return *this;
    }
    ~Pages() { release(); }

    // A view of `bytes` bytes at `data`, which the view never writes or
    // frees; they must outlive it.  Growth copies them into memory of its own.
    static Pages view(const void* data, std::size_t bytes) noexcept {
        Pages pages;
        pages.data_ = const_cast<void*>(data);
        pages.bytes_ = bytes;
        pages.ready_ = bytes;
        pages.kind_ = Kind::view;
        return pages;
    }
    // Whether this is a view of bytes it does not own.
    bool is_view() const noexcept { return kind_ == Kind::view; }

    void* data() const noexcept { return data_; }
    // Capacity in bytes.
    std::size_t bytes() const noexcept { return bytes_; }
    // The bytes usable without another call: zero where nothing was written.
    std::size_t ready() const noexcept { return ready_; }

    // Makes the first `need` bytes ready, growing to `want` bytes (or, if the
    // system refuses that, to `need`) when the capacity is short.  The first
    // `keep` bytes keep their contents; the bytes from `keep` to `need` read
    // as zero.  Requires keep <= ready() and keep <= need <= want.
    void reserve(std::size_t need, std::size_t want, std::size_t keep);

private:
    enum class Kind : std::uint8_t { none, heap, mapped, huge, view };

    bool grow_heap(std::size_t bytes, std::size_t keep) noexcept;
    bool grow_mapped(std::size_t bytes, std::size_t keep, bool huge) noexcept;
    void release() noexcept;

    void* data_ = nullptr;
    std::size_t bytes_ = 0;
    std::size_t ready_ = 0;
    Kind kind_ = Kind::none;
};

template <class T>
class PagedBuffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    PagedBuffer() = default;
    // A view of the `count` values at `data` (see Pages::view).
    static PagedBuffer view(const T* data, std::size_t count) noexcept {
        PagedBuffer buffer;
        buffer.pages_ = Pages::view(data, count * sizeof(T));
        buffer.size_ = count;
        return buffer;
    }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return pages_.bytes() / sizeof(T); }
    // Whether it is a view of values it does not own.
    bool is_view() const noexcept { return pages_.is_view(); }
    // Bytes of memory of its own (a view owns none).
    std::size_t owned_bytes() const noexcept { return pages_.is_view() ? 0 : pages_.bytes(); }
    T* data() noexcept { return static_cast<T*>(pages_.data()); }
    const T* data() const noexcept { return static_cast<const T*>(pages_.data()); }
    T& operator[](std::size_t i) noexcept { return data()[i]; }
    const T& operator[](std::size_t i) const noexcept { return data()[i]; }

    // Makes room for `count` elements, growing geometrically.  The first
    // size() elements are kept; the elements from size() up to `count` read as
    // zero until written (writes past size() are kept only until the next
    // growth: set the size once they are written).  Throws OutOfMemory with
    // count * sizeof(T) bytes, the buffer unchanged, when memory runs out.
    void reserve(std::size_t count) {
        if (count <= pages_.ready() / sizeof(T)) return;
        if (count > kMaxCount) throw_out_of_memory(count > kNoOverflow ? kSaturated : count * sizeof(T));
        std::size_t want = capacity() + capacity() / 2;
        if (want < count || want > kMaxCount) want = count;
        pages_.reserve(count * sizeof(T), want * sizeof(T), size_ * sizeof(T));
    }

    // Extends the size to `count` (room must have been reserved).
    void resize_within_capacity(std::size_t count) noexcept { size_ = count; }

private:
    static constexpr std::size_t kMaxCount = (std::size_t(1) << 62) / sizeof(T);
    static constexpr std::size_t kSaturated = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t kNoOverflow = kSaturated / sizeof(T);

    Pages pages_;
    std::size_t size_ = 0;
};

}  // namespace tessaray::core
