// store.hpp: the vector store, entries in insertion order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

// What keeps the parts of a store that it does not own (a mapped file) alive,
// and says whether they are still whole.
class StoreBacking {
public:
    virtual ~StoreBacking() = default;
    // True once some of the bytes were found lost (their file shortened):
    // they read as zero from then on, so nothing read from them can be trusted.
    virtual bool lost() const noexcept = 0;
    // Asks for `bytes` bytes at `data`, within what it keeps, to be read now.
    virtual void read_ahead(const void* data, std::size_t bytes) const noexcept = 0;
};

// A store's parts as they lie outside any store (in a store file): n entries
// of vector_size floats, as Vectorstore keeps them.  `blocks` holds the
// n / kBlockRows whole blocks, `tail` the remaining rows row after row,
// `roots` and `ids` one value per entry; the bytes may be at any alignment.
struct StoreParts {
    std::size_t vector_size = 0;
    std::size_t size = 0;
    const unsigned char* blocks = nullptr;
    const unsigned char* tail = nullptr;
    const unsigned char* roots = nullptr;
    const unsigned char* ids = nullptr;
};

// The core store: an append-only sequence of (vector, id) entries, every
// vector of length vector_size().
//
// Vectors live in two parts.  The entries fill blocks of kBlockRows in turn:
// each whole block is packed, its rows interleaved element by element (see
// kernel.hpp); the entries after the last whole block, fewer than
// kBlockRows, are the tail, kept row after row with exactly their floats.
// The row that fills the tail packs it into a new block, and the tail's
// memory is given back.  Each vector's square root of its sum of squares,
// computed once at insert with the reference arithmetic, and its id are kept
// apart, one per entry, in entry order.  Readers go through the entry
// accessors or the two views.
class Vectorstore {
public:
    explicit Vectorstore(std::size_t vector_size) noexcept : vector_size_(vector_size) {}

    Vectorstore(Vectorstore&&) noexcept = default;
    Vectorstore& operator=(Vectorstore&&) noexcept = default;

    // A store holding a copy of `parts`.  Throws OutOfMemory.
    static Vectorstore copy_of(const StoreParts& parts);
    // A store that reads `parts` in place, kept alive by `backing`: the
    // parts must be aligned for their values.  Nothing is ever written to
    // them: the first append copies each part that grows into memory of the
    // store's own.
    static Vectorstore viewing(const StoreParts& parts, std::shared_ptr<const StoreBacking> backing) noexcept;
    // Where filled() has a new store's parts written, laid out as StoreParts'.
    struct PartsOut {
        float* blocks;
        float* tail;
        float* roots;
        std::uint64_t* ids;
    };
    // A store of `size` entries of `vector_size` floats whose parts
    // fill(PartsOut) writes in place, every part whole, as insert() would
    // have built them.  All memory is reserved first.  Throws OutOfMemory.
    template <class Fill>
    static Vectorstore filled(std::size_t vector_size, std::size_t size, Fill&& fill) {
        Vectorstore store(vector_size);
        const std::size_t block_floats = size / kBlockRows * store.block_floats();
        const std::size_t tail_floats = size % kBlockRows * vector_size;
        store.blocks_.reserve(block_floats);
        store.tail_.reserve(tail_floats);
        store.roots_.reserve(size);
        store.ids_.reserve(size);
        fill(PartsOut{store.blocks_.data(), store.tail_.data(), store.roots_.data(), store.ids_.data()});
        store.blocks_.resize_within_capacity(block_floats);
        store.tail_.resize_within_capacity(tail_floats);
        store.roots_.resize_within_capacity(size);
        store.ids_.resize_within_capacity(size);
        return store;
    }
    // Whether some of the parts it reads in place were lost (see StoreBacking).
    bool lost() const noexcept { return backing_ != nullptr && backing_->lost(); }
    // Whether it reads parts in place.
    bool reads_in_place() const noexcept { return backing_ != nullptr; }
    // For a store that reads its blocks in place: asks for the blocks
    // [first, first + count) and their roots to be read ahead of a scan.
    void read_ahead(std::size_t first, std::size_t count) const noexcept;

    std::size_t vector_size() const noexcept { return vector_size_; }
    std::size_t size() const noexcept { return ids_.size(); }

    // Appends an entry, or fails with the length message and leaves the store
    // as it was.  Throws OutOfMemory (store unchanged) when memory runs out.
    Expected<void, std::string> insert(std::span<const float> vector, std::uint64_t id);

    // The rows appended by one append_rows call: read(context, first, count,
    // out) writes rows first .. first + count - 1 of them, row after row,
    // vector_size() floats each, to `out`.  It must not fail.
    struct RowSource {
        void* context;
        void (*read)(void* context, std::size_t first, std::size_t count, float* out);
    };

    // Appends `count` entries, row r of `rows` with id ids[r]: afterwards the
    // store equals one built by insert() of each row in order, bit for bit.
    // Room for every part is made before anything is written, so a refusal
    // (OutOfMemory) leaves the store exactly as it was.
    void append_rows(std::size_t count, const std::uint64_t* ids, RowSource rows);

    // Copies the vectors of entries [first, first + count) row after row into
    // `out` (count * vector_size() floats).
    void copy_rows(std::size_t first, std::size_t count, float* out) const noexcept;

    // Entry access, in insertion order.
    std::uint64_t id(std::size_t index) const noexcept { return ids_[index]; }
    float root(std::size_t index) const noexcept { return roots_[index]; }
    float element(std::size_t index, std::size_t i) const noexcept {
        const std::size_t packed = packed_rows();
        if (index < packed) return blocks_[(index / kBlockRows) * block_floats() + i * kBlockRows + index % kBlockRows];
        return tail_[(index - packed) * vector_size_ + i];
    }
    std::vector<float> vector(std::size_t index) const;

    // The packed view: blocks_data() holds block_count() whole blocks of
    // vector_size() * kBlockRows floats, the entries [0, packed_rows()).
    std::size_t block_count() const noexcept { return size() / kBlockRows; }
    std::size_t packed_rows() const noexcept { return block_count() * kBlockRows; }
    const float* blocks_data() const noexcept { return blocks_.data(); }
    // The tail view: tail_rows() entries from packed_rows() on, entry
    // packed_rows() + r at tail_data() + r * vector_size().
    std::size_t tail_rows() const noexcept { return size() % kBlockRows; }
    const float* tail_data() const noexcept { return tail_.data(); }
    // One root and one id per entry, in entry order.
    const float* roots_data() const noexcept { return roots_.data(); }
    const std::uint64_t* ids_data() const noexcept { return ids_.data(); }

    // Bytes of memory held for the entries (capacity included); parts read in
    // place are not counted.
    std::size_t reserved_bytes() const noexcept;

private:
    std::size_t block_floats() const noexcept { return vector_size_ * kBlockRows; }

    std::size_t vector_size_;
    // Declared before the parts, so that it outlives them.
    std::shared_ptr<const StoreBacking> backing_;
    PagedBuffer<float> blocks_;
    PagedBuffer<float> tail_;
    PagedBuffer<float> roots_;
    PagedBuffer<std::uint64_t> ids_;
};

// The length message shared by the constructor and insert.
std::string vector_length_message(std::size_t found, std::size_t expected);

}  // namespace tessaray::core
