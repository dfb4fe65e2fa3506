// sized_alloc.hpp: room in the vectors whose size an argument decides; a refusal is core::OutOfMemory.
//
// An argument can ask for any size (a buffer of 2**62 items that has no
// memory behind it, a list that keeps growing), so these allocations never
// meet the container's own limit (std::length_error) and never fail without
// saying what was asked for: both are core::OutOfMemory with the bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <new>
#include <vector>

#include "core/out_of_memory.hpp"

namespace tessaray::binding {

using core::bytes_of;
using core::reserve_or_throw;

// Makes room for `count` elements in `v`, growing geometrically as
// push_back does, through reserve_or_throw.
template <class T>
void grow_to(std::vector<T>& v, std::size_t count) {
    const std::size_t capacity = v.capacity();
    if (count <= capacity) return;
    const std::size_t doubled = capacity <= v.max_size() / 2 ? 2 * capacity : v.max_size();
    reserve_or_throw(v, std::max({count, doubled, std::size_t(8)}));
}

template <class T>
[[gnu::cold, gnu::noinline]] void grow_full(std::vector<T>& v) {
    grow_to(v, v.size() + 1);
}

// Appends `value`; growth fails as core::OutOfMemory.
template <class T, class U>
inline void append(std::vector<T>& v, U&& value) {
    if (v.size() == v.capacity()) [[unlikely]]
        grow_full(v);
    v.push_back(static_cast<U&&>(value));
}

}  // namespace tessaray::binding
