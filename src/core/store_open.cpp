// store_open.cpp: a store file opened in place: its mapping kept by the store, its parts read where they lie.
#include "core/store_open.hpp"

#include <cstdint>
#include <memory>
#include <utility>

#include "core/guarded_mapping.hpp"
#include "core/store_file.hpp"

namespace tessaray::core {
namespace {

// The store's hold on its file's mapping.
class MappedBacking final : public StoreBacking {
public:
    explicit MappedBacking(std::shared_ptr<const GuardedMapping> mapping) noexcept : mapping_(std::move(mapping)) {}
    bool lost() const noexcept override { return mapping_->lost(); }
    void read_ahead(const void* data, std::size_t bytes) const noexcept override {
        const auto at = static_cast<std::size_t>(static_cast<const unsigned char*>(data) - mapping_->bytes().data());
        mapping_->read_ahead(at, bytes);
    }

private:
    std::shared_ptr<const GuardedMapping> mapping_;
};

Unexpected<FileError> cannot_open(const std::string& why) {
    return unexpected(FileError{0, "cannot open in place: " + why});
}

bool aligned(const unsigned char* p, std::size_t alignment) {
    return reinterpret_cast<std::uintptr_t>(p) % alignment == 0;
}

}  // namespace

Expected<Vectorstore, FileError> open_store_file(const std::string& path, bool verify) {
    TESSARAY_TRY_ASSIGN(const std::shared_ptr<const GuardedMapping> file, map_store_file(path));
    TESSARAY_TRY_ASSIGN(const FoundStore found, find_store(file->bytes(), verify));
    // A file shortened while it was checked: what was checked were zeros.
    if (file->lost()) return unexpected(FileError{EIO, "read"});
    if (found.rows != nullptr) {
        return cannot_open(
            "the file holds its rows row after row (as numpy.savez, or an earlier version, saves them): load it, "
            "and save it again to open it in place");
    }
    const StoreParts& parts = found.parts;
    if (!aligned(parts.blocks, alignof(float)) || !aligned(parts.tail, alignof(float)) ||
        !aligned(parts.roots, alignof(float)) || !aligned(parts.ids, alignof(std::uint64_t))) {
        return cannot_open(
            "its arrays are not aligned for their values: load it, and save it again to open it in place");
    }
    return Vectorstore::viewing(parts, std::make_shared<const MappedBacking>(file));
}

}  // namespace tessaray::core
