// store.cpp: appending entries: rows to the tail, a full tail packed into a block.
#include "core/store.hpp"

#include <algorithm>
#include <limits>

#include "core/out_of_memory.hpp"

namespace tessaray::core {

std::string vector_length_message(std::size_t found, std::size_t expected) {
    return "vector has length " + std::to_string(found) + " but vectorstore expects " + std::to_string(expected);
}

Expected<void, std::string> Vectorstore::insert(std::span<const float> vector, std::uint64_t id) {
    if (vector.size() != vector_size_) return unexpected(vector_length_message(vector.size(), vector_size_));

    const std::size_t index = size();
    const std::size_t lane = index % kBlockRows;
    const bool fills_block = lane == kBlockRows - 1;
    const std::size_t blocks = index / kBlockRows + (fills_block ? 1 : 0);
    // Grow every part before writing any, so that a refusal leaves the store
    // exactly as it was.
    if (vector_size_ != 0 && blocks > std::numeric_limits<std::size_t>::max() / kBlockRows / vector_size_) {
        throw_out_of_memory(std::numeric_limits<std::size_t>::max());
    }
    if (fills_block) {
        blocks_.reserve(blocks * block_floats());
    } else {
        tail_.reserve((lane + 1) * vector_size_);
    }
    roots_.reserve(index + 1);
    ids_.reserve(index + 1);

    roots_[index] = root_of(sum_squares_ref(vector.data(), vector.size()));
    ids_[index] = id;
    if (fills_block) {
        // The tail's rows and this one, interleaved into the new block, which
        // is written once, front to back.
        float* element = blocks_.data() + (blocks - 1) * block_floats();
        const float* tail = tail_.data();
        for (std::size_t i = 0; i < vector_size_; ++i, element += kBlockRows) {
            for (std::size_t r = 0; r < lane; ++r) element[r] = tail[r * vector_size_ + i];
            element[lane] = vector[i];
        }
        blocks_.resize_within_capacity(blocks * block_floats());
        tail_ = PagedBuffer<float>();
    } else {
        std::copy(vector.begin(), vector.end(), tail_.data() + lane * vector_size_);
        tail_.resize_within_capacity((lane + 1) * vector_size_);
    }
    roots_.resize_within_capacity(index + 1);
    ids_.resize_within_capacity(index + 1);
    return {};
}

std::vector<float> Vectorstore::vector(std::size_t index) const {
    std::vector<float> out(vector_size_);
    for (std::size_t i = 0; i < vector_size_; ++i) out[i] = element(index, i);
    return out;
}

std::size_t Vectorstore::reserved_bytes() const noexcept {
    return blocks_.capacity() * sizeof(float) + tail_.capacity() * sizeof(float) + roots_.capacity() * sizeof(float) +
           ids_.capacity() * sizeof(std::uint64_t);
}

}  // namespace tessaray::core
