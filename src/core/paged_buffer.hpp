// paged_buffer.hpp: a growable array of trivially copyable values.
//
// Small buffers live on the heap (64-byte aligned).  Large ones get pages of
// their own from the kernel (mmap) and grow with mremap: a large store grows
// without copying, its spare capacity is never touched (and so never
// resident), and dropping it returns every page at once.  Keeping small
// buffers on the heap keeps many small stores from using up the process's
// mappings.
#pragma once

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace tessaray::core {

// Raw memory, 64-byte aligned: reserve, grow, release.  Throws std::bad_alloc when the system
// refuses; the pages held before stay as they were.
class Pages {
public:
    Pages() = default;
    Pages(const Pages&) = delete;
    Pages& operator=(const Pages&) = delete;
    Pages(Pages&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)), bytes_(std::exchange(o.bytes_, 0)),
          mapped_(std::exchange(o.mapped_, false)) {}
    Pages& operator=(Pages&& o) noexcept {
        if (this != &o) {
            release();
            data_ = std::exchange(o.data_, nullptr);
            bytes_ = std::exchange(o.bytes_, 0);
            mapped_ = std::exchange(o.mapped_, false);
        }
        return *this;
    }
    ~Pages() { release(); }

    void* data() const noexcept { return data_; }
    std::size_t bytes() const noexcept { return bytes_; }

    // Makes room for at least `bytes` bytes; new bytes read as zero.
    void grow_to(std::size_t bytes);

private:
    void release() noexcept;

    void* data_ = nullptr;
    std::size_t bytes_ = 0;
    bool mapped_ = false;  // pages of its own (mmap) rather than heap memory
};

template <class T>
class PagedBuffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return pages_.bytes() / sizeof(T); }
    T* data() noexcept { return static_cast<T*>(pages_.data()); }
    const T* data() const noexcept { return static_cast<const T*>(pages_.data()); }
    T& operator[](std::size_t i) noexcept { return data()[i]; }
    const T& operator[](std::size_t i) const noexcept { return data()[i]; }

    // Makes room for `count` elements, growing geometrically.  Elements past
    // size() read as zero until written.
    void reserve(std::size_t count) {
        if (count <= capacity()) return;
        std::size_t want = capacity() + capacity() / 2;
        if (want < count) want = count;
        if (want > max_count()) want = count;
        if (count > max_count()) throw std::bad_alloc();
        pages_.grow_to(want * sizeof(T));
    }

    // Extends the size to `count` (room must have been reserved).
    void resize_within_capacity(std::size_t count) noexcept { size_ = count; }

private:
    static constexpr std::size_t max_count() noexcept { return (std::size_t(1) << 62) / sizeof(T); }

    Pages pages_;
    std::size_t size_ = 0;
};

}  // namespace tessaray::core
