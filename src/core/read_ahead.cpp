// read_ahead.cpp: asking for the next windows of a store file's blocks as a scan passes each window.
#include "core/read_ahead.hpp"

#include <algorithm>

#include "core/kernel.hpp"

namespace tessaray::core {

void ReadAhead::advance(std::size_t block) noexcept {
    const std::size_t block_bytes = std::max<std::size_t>(1, store_.vector_size() * kBlockRows * sizeof(float));
    const std::size_t window = std::max<std::size_t>(1, kWindowBytes / block_bytes);
    const std::size_t from = std::max(block, asked_);
    const std::size_t to = std::min(end_, block + 2 * window);
    if (from < to) store_.read_ahead(from, to - from);
    asked_ = std::max(asked_, to);
    next_ = to >= end_ ? kNever : block + window;
}

}  // namespace tessaray::core
