// store.cpp: appending entries to the block layout.
#include "core/store.hpp"

#include <limits>

namespace tessaray::core {

std::string vector_length_message(std::size_t found, std::size_t expected) {
    return "vector has length " + std::to_string(found) + " but vectorstore expects " + std::to_string(expected);
}

Expected<void, std::string> Vectorstore::insert(std::span<const float> vector, std::uint64_t id) {
    if (vector.size() != vector_size_) return unexpected(vector_length_message(vector.size(), vector_size_));

    const std::size_t index = size();
    const std::size_t slot_count = (index / kBlockRows + 1) * kBlockRows;
    // Grow every part before writing any, so that a refusal leaves the store
    // exactly as it was.
    if (vector_size_ != 0 && slot_count > std::numeric_limits<std::size_t>::max() / vector_size_) {
        throw std::bad_alloc();
    }
    blocks_.reserve(slot_count * vector_size_);
    roots_.reserve(slot_count);
    ids_.reserve(index + 1);

    float* block = blocks_.data() + block_offset(index / kBlockRows);
    const std::size_t lane = index % kBlockRows;
    for (std::size_t i = 0; i < vector_size_; ++i) block[i * kBlockRows + lane] = vector[i];
    roots_[index] = root_of(sum_squares_ref(vector.data(), vector.size()));
    ids_[index] = id;

    blocks_.resize_within_capacity(slot_count * vector_size_);
    roots_.resize_within_capacity(slot_count);
    ids_.resize_within_capacity(index + 1);
    return {};
}

std::vector<float> Vectorstore::vector(std::size_t index) const {
    std::vector<float> out(vector_size_);
    for (std::size_t i = 0; i < vector_size_; ++i) out[i] = element(index, i);
    return out;
}

std::size_t Vectorstore::reserved_bytes() const noexcept {
    return blocks_.capacity() * sizeof(float) + roots_.capacity() * sizeof(float) +
           ids_.capacity() * sizeof(std::uint64_t);
}

}  // namespace tessaray::core
