// store.hpp: the vector store, entries in insertion order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/expected.hpp"
#include "core/kernel.hpp"
#include "core/paged_buffer.hpp"

namespace tessaray::core {

// An entry as handed to the store: a vector and the caller's id.
struct StoredVector {
    std::vector<float> vector;
    std::uint64_t id = 0;
};

// The core store: an append-only sequence of (vector, id) entries, every
// vector of length vector_size().
//
// Vectors are kept in blocks of kBlockRows rows interleaved element by element
// (see kernel.hpp), together with the square root of each vector's sum of
// squares, computed once at insert with the reference arithmetic.  Ids are
// kept apart, in entry order.  The layout is private: readers go through
// entry accessors or the block views.
class Vectorstore {
public:
    explicit Vectorstore(std::size_t vector_size) noexcept : vector_size_(vector_size) {}

    Vectorstore(Vectorstore&&) noexcept = default;
    Vectorstore& operator=(Vectorstore&&) noexcept = default;

    std::size_t vector_size() const noexcept { return vector_size_; }
    std::size_t size() const noexcept { return ids_.size(); }

    // Appends an entry, or fails with the length message and leaves the store
    // as it was.  Throws std::bad_alloc (store unchanged) when memory runs out.
    Expected<void, std::string> insert(std::span<const float> vector, std::uint64_t id);

    // Entry access, in insertion order.
    std::uint64_t id(std::size_t index) const noexcept { return ids_[index]; }
    float root(std::size_t index) const noexcept { return roots_[index]; }
    float element(std::size_t index, std::size_t i) const noexcept {
        return blocks_[block_offset(index / kBlockRows) + i * kBlockRows + index % kBlockRows];
    }
    std::vector<float> vector(std::size_t index) const;

    // Block views for the kernels: blocks_data() holds block_count() blocks of
    // vector_size() * kBlockRows floats; roots_data() one root per row slot
    // (zero in the unused slots of the last block).
    std::size_t block_count() const noexcept { return (size() + kBlockRows - 1) / kBlockRows; }
    const float* blocks_data() const noexcept { return blocks_.data(); }
    const float* roots_data() const noexcept { return roots_.data(); }
    const std::uint64_t* ids_data() const noexcept { return ids_.data(); }

    // Bytes of memory held for the entries (capacity included).
    std::size_t reserved_bytes() const noexcept;

private:
    std::size_t block_offset(std::size_t block) const noexcept { return block * vector_size_ * kBlockRows; }

    std::size_t vector_size_;
    PagedBuffer<float> blocks_;
    PagedBuffer<float> roots_;
    PagedBuffer<std::uint64_t> ids_;
};

// The length message shared by the constructor and insert.
std::string vector_length_message(std::size_t found, std::size_t expected);

}  // namespace tessaray::core
