// read_ahead.hpp: keeping the kernel's reads of a store file ahead of a scan that goes through the store's blocks in order.
//
// A store read in place (store_open.hpp) faults its pages in from the file
// as a scan first touches them; from a cold page cache each fault would wait
// on the disk.  A scan that holds a ReadAhead asks, each time it passes
// another window of blocks, for the next two windows to be read, so that the
// disk streams while the kernel scores.  A mapping the kernel reads ahead in
// huge pages by itself ignores the asking (guarded_mapping.hpp).  For a store
// in memory `at` is one compare.
#pragma once

#include <cstddef>
#include <limits>

#include "core/store.hpp"

namespace tessaray::core {

class ReadAhead {
public:
    // For a scan of the blocks [first, end) of `store`.
    ReadAhead(const Vectorstore& store, std::size_t first, std::size_t end) noexcept
            : store_(store), end_(end), next_(store.reads_in_place() ? first : kNever), asked_(first) {}

    // The scan is at `block`.
    void at(std::size_t block) noexcept {
        if (block >= next_) advance(block);
    }

private:
    static constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();
    // Bytes in a window.
    static constexpr std::size_t kWindowBytes = std::size_t(16) << 20;

    void advance(std::size_t block) noexcept;

    const Vectorstore& store_;
    std::size_t end_;
    std::size_t next_;   // the block at which to ask again
    std::size_t asked_;  // blocks before this one were asked for
};

}  // namespace tessaray::core
