// store.cpp: appending entries: rows to the tail, a full tail packed into a block.
#include "core/store.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "core/kernel.hpp"
#include "core/out_of_memory.hpp"

namespace tessaray::core {

namespace {

std::size_t store_block_count(const StoreParts& parts) noexcept { return parts.size / kBlockRows; }

}  // namespace

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

void Vectorstore::append_rows(std::size_t count, const std::uint64_t* ids, RowSource rows) {
    if (count == 0) return;
    const std::size_t dim = vector_size_;
    const std::size_t before = size();
    if (count > std::numeric_limits<std::size_t>::max() - before)
        throw_out_of_memory(std::numeric_limits<std::size_t>::max());
    const std::size_t after = before + count;
    const std::size_t old_tail = before % kBlockRows;
    const std::size_t blocks_before = before / kBlockRows;
    const std::size_t blocks_after = after / kBlockRows;
    const std::size_t new_tail = after % kBlockRows;
    const bool packs = blocks_after > blocks_before;
    if (dim != 0 && blocks_after > std::numeric_limits<std::size_t>::max() / kBlockRows / dim) {
        throw_out_of_memory(std::numeric_limits<std::size_t>::max());
    }

    // Room for every part first, so that a refusal changes nothing.  When a
    // block is filled the rows after the last whole block go to a tail of
    // their own; the old tail is read while the first new block is packed.
    if (packs) blocks_.reserve(blocks_after * block_floats());
    PagedBuffer<float> fresh_tail;
    PagedBuffer<float>& tail = packs ? fresh_tail : tail_;
    tail.reserve((packs ? new_tail : old_tail + count) * dim);
    roots_.reserve(after);
    ids_.reserve(after);
    // One block's rows, row after row, on their way into the packed layout.
    std::vector<float> staging;
    if (packs) reserve_or_throw(staging, block_floats());
    staging.resize(packs ? block_floats() : 0);

    std::copy(ids, ids + count, ids_.data() + before);
    const KernelSet& kernels = active_kernels();
    std::size_t done = 0;  // rows appended so far
    for (std::size_t block = blocks_before; block < blocks_after; ++block) {
        // The old tail's rows start the first new block.
        const std::size_t from_tail = block == blocks_before ? old_tail : 0;
        const std::size_t take = kBlockRows - from_tail;
        std::copy(tail_.data(), tail_.data() + from_tail * dim, staging.data());
        rows.read(rows.context, done, take, staging.data() + from_tail * dim);
        float* packed = blocks_.data() + block * block_floats();
        kernels.pack_blocks(staging.data(), dim, 1, packed);
        // The roots of the old tail's rows are already there; recomputing them
        // gives the same bits.
        kernels.root_blocks(packed, dim, 1, roots_.data() + block * kBlockRows);
        done += take;
    }
    const std::size_t tail_first = packs ? 0 : old_tail;  // where the remaining rows go in `tail`
    const std::size_t rest = count - done;
    if (rest != 0) {
        float* out = tail.data() + tail_first * dim;
        rows.read(rows.context, done, rest, out);
        for (std::size_t r = 0; r < rest; ++r) roots_[after - rest + r] = root_of(sum_squares_ref(out + r * dim, dim));
    }

    if (packs) {
        blocks_.resize_within_capacity(blocks_after * block_floats());
        tail_ = std::move(fresh_tail);
    }
    tail_.resize_within_capacity(new_tail * dim);
    roots_.resize_within_capacity(after);
    ids_.resize_within_capacity(after);
}

void Vectorstore::copy_rows(std::size_t first, std::size_t count, float* out) const noexcept {
    const std::size_t dim = vector_size_;
    const std::size_t packed = packed_rows();
    std::size_t index = first;
    const std::size_t end = first + count;
    for (; index < std::min(end, packed);) {
        // The rows of one block that are asked for, element by element.
        const std::size_t block = index / kBlockRows;
        const std::size_t lane = index % kBlockRows;
        const std::size_t n = std::min(end, (block + 1) * kBlockRows) - index;
        const float* source = blocks_.data() + block * block_floats() + lane;
        float* rows = out + (index - first) * dim;
        // A few elements of every row at a time: the block's lines they come
        // from stay in cache while they are written to each row.
        constexpr std::size_t kElementStep = 16;
        for (std::size_t i0 = 0; i0 < dim; i0 += kElementStep) {
            const std::size_t i1 = std::min(dim, i0 + kElementStep);
            for (std::size_t r = 0; r < n; ++r) {
                for (std::size_t i = i0; i < i1; ++i) rows[r * dim + i] = source[i * kBlockRows + r];
            }
        }
        index += n;
    }
    if (index < end)
        std::copy(tail_.data() + (index - packed) * dim, tail_.data() + (end - packed) * dim,
                  out + (index - first) * dim);
}

std::vector<float> Vectorstore::vector(std::size_t index) const {
    std::vector<float> out(vector_size_);
    for (std::size_t i = 0; i < vector_size_; ++i) out[i] = element(index, i);
    return out;
}

std::size_t Vectorstore::reserved_bytes() const noexcept {
    return blocks_.owned_bytes() + tail_.owned_bytes() + roots_.owned_bytes() + ids_.owned_bytes();
}

namespace {

template <class T>
void copy_part(PagedBuffer<T>& part, const unsigned char* bytes, std::size_t count) {
    part.reserve(count);
    if (count != 0) std::memcpy(part.data(), bytes, count * sizeof(T));
    part.resize_within_capacity(count);
}

}  // namespace

Vectorstore Vectorstore::copy_of(const StoreParts& parts) {
    Vectorstore store(parts.vector_size);
    copy_part(store.blocks_, parts.blocks, store_block_count(parts) * store.block_floats());
    copy_part(store.tail_, parts.tail, parts.size % kBlockRows * parts.vector_size);
    copy_part(store.roots_, parts.roots, parts.size);
    copy_part(store.ids_, parts.ids, parts.size);
    return store;
}

void Vectorstore::read_ahead(std::size_t first, std::size_t count) const noexcept {
    if (backing_ == nullptr) return;
    if (blocks_.is_view()) {
        backing_->read_ahead(blocks_.data() + first * block_floats(), count * block_floats() * sizeof(float));
    }
    if (roots_.is_view()) backing_->read_ahead(roots_.data() + first * kBlockRows, count * kBlockRows * sizeof(float));
}

Vectorstore Vectorstore::viewing(const StoreParts& parts, std::shared_ptr<const StoreBacking> backing) noexcept {
    Vectorstore store(parts.vector_size);
    store.backing_ = std::move(backing);
    const auto as_floats = [](const unsigned char* p) { return reinterpret_cast<const float*>(p); };
    store.blocks_ = PagedBuffer<float>::view(as_floats(parts.blocks), store_block_count(parts) * store.block_floats());
    store.tail_ = PagedBuffer<float>::view(as_floats(parts.tail), parts.size % kBlockRows * parts.vector_size);
    store.roots_ = PagedBuffer<float>::view(as_floats(parts.roots), parts.size);
    store.ids_ = PagedBuffer<std::uint64_t>::view(reinterpret_cast<const std::uint64_t*>(parts.ids), parts.size);
    return store;
}

}  // namespace tessaray::core
