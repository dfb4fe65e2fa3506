// store_select.hpp: new stores made of some of a store's rows; the store itself never changes.
#pragma once

#include <cstdint>
#include <span>

#include "core/store.hpp"

namespace tessaray::core {

// A new store of `store`'s vector size holding the rows whose bit in
// `drop_mask` is clear (row r at bit r % 64 of word r / 64; words past the
// span's end count as clear, bits past store.size() are ignored), in their
// order: bit for bit the store that insert() of each kept row would build
// (blocks, tail, roots and ids).  Each new block is copied element by
// element from the few stretches of old rows it holds, and roots are
// copied, not summed again: about one pass over the kept rows' bytes.
// Everything is allocated before anything is written, so OutOfMemory
// leaves nothing behind.
Vectorstore without_rows(const Vectorstore& store, std::span<const std::uint64_t> drop_mask);

}  // namespace tessaray::core
