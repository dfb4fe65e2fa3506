// id_match.cpp: the rows whose ids a list holds: one pass over the stored ids through the list's set (id_sets.hpp).
#include "core/id_match.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <limits>
#include <string_view>
#include <type_traits>

#include "core/id_sets.hpp"
#include "core/kernel.hpp"
#include "core/out_of_memory.hpp"

namespace tessaray::core {

namespace {

using id_sets::IdBitmap;
using id_sets::IdSet;
using id_sets::kWordBits;

// The rows of `store` whose id `set` (an IdSet or an IdBitmap) holds,
// recorded in `mask` (ceil(size / 64) words): inlined into each of the
// builds below.
template <class Set>
[[gnu::always_inline]] inline void match_ids(const Vectorstore& store, const Set& set, std::uint64_t* mask) noexcept {
    const std::size_t n = store.size();
    const std::uint64_t* stored = store.ids_data();
    for (std::size_t first = 0, w = 0; first < n; first += kWordBits, ++w) {
        mask[w] = set.match(stored + first, std::min(kWordBits, n - first));
    }
}

template <class Set>
void match_store_plain(const Vectorstore& store, const Set& set, std::uint64_t* mask) noexcept {
    match_ids(store, set, mask);
}

// The same compiled for BMI2, whose shifts by a register need not go
// through the count register: the filter's two shifts per stored id no
// longer wait on each other (about a third less time where it runs).
template <class Set>
[[gnu::target("bmi2")]] void match_store_bmi2(const Vectorstore& store, const Set& set, std::uint64_t* mask) noexcept {
    match_ids(store, set, mask);
}

// The hash set's pass with the filter eight ids at a time.
[[gnu::target(TESSARAY_ID_WIDE)]] void match_store_wide(const Vectorstore& store, const IdSet& set,
                                                        std::uint64_t* mask) noexcept {
    const std::size_t n = store.size();
    const std::uint64_t* stored = store.ids_data();
    for (std::size_t first = 0, w = 0; first < n; first += kWordBits, ++w) {
        mask[w] = set.match_wide(stored + first, std::min(kWordBits, n - first));
    }
}

// The pass follows the kernels' level (TESSARAY_SIMD included), so that
// each of its builds is tested wherever that level is: the wide one with the
// AVX-512 kernels, BMI2 with the AVX2 ones (every AVX2 CPU has it), the plain
// one with the baseline.
template <class Set>
void match_store(const Vectorstore& store, const Set& set, std::uint64_t* mask) noexcept {
    static const std::string_view level = active_kernels().name;
    static const bool bmi2 = level != "baseline" && __builtin_cpu_supports("bmi2") != 0;
    if constexpr (std::is_same_v<Set, IdSet>) {
        static const bool wide = bmi2 && level == "avx512" && __builtin_cpu_supports("avx512dq") &&
                                 __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("popcnt");
        if (wide) return match_store_wide(store, set, mask);
    }
    if (bmi2) {
        match_store_bmi2(store, set, mask);
    } else {
        match_store_plain(store, set, mask);
    }
}

std::size_t mask_words(std::size_t rows) noexcept { return rows / kWordBits + (rows % kWordBits != 0 ? 1 : 0); }

// Whether the ids of a list (not empty) take a bitmap, and from which id to which.
struct IdRange {
    std::uint64_t lo, hi;
    bool narrow;
};

IdRange id_range(std::span<const std::uint64_t> ids) noexcept {
    std::uint64_t lo = ids[0], hi = ids[0];
    for (const std::uint64_t id : ids) {  // a plain loop: minmax_element's branches take twice the time
        lo = std::min(lo, id);
        hi = std::max(hi, id);
    }
    return {lo, hi, IdBitmap::fits(lo, hi, ids.size())};
}

}  // namespace

std::vector<std::uint64_t> rows_with_ids(const Vectorstore& store, std::span<const std::uint64_t> ids) {
    std::vector<std::uint64_t> mask = allocate_vector<std::uint64_t>(mask_words(store.size()));
    if (ids.empty() || store.size() == 0) return mask;
    const IdRange range = id_range(ids);
    if (range.narrow) {
        IdBitmap set(range.lo, range.hi);
        set.insert_all(ids);
        match_store(store, set, mask.data());
    } else {
        IdSet set(ids.size());
        set.insert_all(ids, nullptr);
        match_store(store, set, mask.data());
    }
    return mask;
}

namespace {

// rows_with_ids_per_query() with the listed ids in `set` (an IdSet, or an
// IdBitmap made slotted), empty yet: `out` holds the answers' lims, zero,
// one more than there are `queries`.
template <class Set>
RowLists lists_per_query(const Vectorstore& store, std::size_t queries, std::span<const std::uint64_t> lims,
                         std::span<const std::uint64_t> ids, Set& set, RowLists out) {
    // Every allocation but the answers' rows, before the pass over the store.
    std::vector<std::size_t> slot_of = allocate_vector<std::size_t>(ids.size());  // of each listed id
    set.insert_all(ids, slot_of.data());
    const std::size_t slots = set.slots();
    std::vector<std::uint64_t> last = allocate_vector<std::uint64_t>(slots);  // query + 1 that listed it last
    std::vector<std::uint64_t> slot_lims = allocate_vector<std::uint64_t>(slots + 1);
    std::vector<std::uint64_t> slot_queries = allocate_vector<std::uint64_t>(ids.size());
    std::vector<std::uint64_t> slot_hits = allocate_vector<std::uint64_t>(slots);
    std::vector<std::uint64_t> matched = allocate_vector<std::uint64_t>(mask_words(store.size()));

    // Each distinct id's queries, ascending and once each (a query that lists
    // an id twice counts it once): counted, then filled.
    for (std::size_t q = 0; q < queries; ++q) {
        for (std::size_t j = lims[q]; j < lims[q + 1]; ++j) {
            const std::size_t s = slot_of[j];
            if (last[s] != q + 1) {
                last[s] = q + 1;
                ++slot_lims[s + 1];
            }
        }
    }
    for (std::size_t s = 0; s < slots; ++s) slot_lims[s + 1] += slot_lims[s];
    std::fill(last.begin(), last.end(), 0);
    // slot_lims[s] serves as slot s's cursor, then is shifted back.
    for (std::size_t q = 0; q < queries; ++q) {
        for (std::size_t j = lims[q]; j < lims[q + 1]; ++j) {
            const std::size_t s = slot_of[j];
            if (last[s] != q + 1) {
                last[s] = q + 1;
                slot_queries[slot_lims[s]++] = q;
            }
        }
    }
    for (std::size_t s = slots; s > 0; --s) slot_lims[s] = slot_lims[s - 1];
    slot_lims[0] = 0;

    // One pass over the store's ids: the matched rows, then the rows each id matched.
    match_store(store, set, matched.data());
    const std::uint64_t* stored = store.ids_data();
    for (std::size_t w = 0; w < matched.size(); ++w) {
        for (std::uint64_t bits = matched[w]; bits != 0; bits &= bits - 1) {
            ++slot_hits[set.find(stored[w * kWordBits + static_cast<std::size_t>(std::countr_zero(bits))])];
        }
    }

    // Each query's count is the sum of its ids' rows (distinct ids match
    // distinct rows), so at most the store's size.
    for (std::size_t s = 0; s < slots; ++s) {
        if (slot_hits[s] == 0) continue;
        for (std::size_t k = slot_lims[s]; k < slot_lims[s + 1]; ++k) out.lims[slot_queries[k] + 1] += slot_hits[s];
    }
    for (std::size_t q = 0; q < queries; ++q) {
        if (out.lims[q + 1] > std::numeric_limits<std::uint64_t>::max() - out.lims[q]) {
            throw_out_of_memory(std::numeric_limits<std::size_t>::max());
        }
        out.lims[q + 1] += out.lims[q];
    }
    if (out.lims[queries] > std::numeric_limits<std::size_t>::max()) {
        throw_out_of_memory(std::numeric_limits<std::size_t>::max());
    }
    out.rows = allocate_vector<std::uint64_t>(static_cast<std::size_t>(out.lims[queries]));

    // The matched rows in row order, each to its id's queries: every query's
    // rows come out ascending.  out.lims[q] is query q's cursor, then shifted back.
    for (std::size_t w = 0; w < matched.size(); ++w) {
        for (std::uint64_t bits = matched[w]; bits != 0; bits &= bits - 1) {
            const std::size_t r = w * kWordBits + static_cast<std::size_t>(std::countr_zero(bits));
            const std::size_t s = set.find(stored[r]);
            for (std::size_t k = slot_lims[s]; k < slot_lims[s + 1]; ++k) out.rows[out.lims[slot_queries[k]]++] = r;
        }
    }
    for (std::size_t q = queries; q > 0; --q) out.lims[q] = out.lims[q - 1];
    out.lims[0] = 0;
    return out;
}

}  // namespace

RowLists rows_with_ids_per_query(const Vectorstore& store, std::span<const std::uint64_t> lims,
                                 std::span<const std::uint64_t> ids) {
    const std::size_t queries = lims.empty() ? 0 : lims.size() - 1;
    RowLists out;
    out.lims = allocate_vector<std::uint64_t>(queries + 1);
    if (ids.empty() || store.size() == 0) return out;
    // A narrow list's slots are its ids' ranks in the bitmap: numbered
    // densely, found without a probe.
    const IdRange range = id_range(ids);
    if (range.narrow) {
        IdBitmap set(range.lo, range.hi, true);
        return lists_per_query(store, queries, lims, ids, set, std::move(out));
    }
    IdSet set(ids.size());
    return lists_per_query(store, queries, lims, ids, set, std::move(out));
}

}  // namespace tessaray::core
