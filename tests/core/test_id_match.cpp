// Tests of matching a list of ids against a store's ids: the row mask and the per-query row lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/id_match.hpp"
#include "core/store.hpp"

namespace tessaray::core {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// A store of one-float rows (the row's index) with the given ids.
Vectorstore store_with_ids(const std::vector<std::uint64_t>& ids, std::size_t dim = 1) {
    Vectorstore store(dim);
    const auto read = [](void* context, std::size_t first, std::size_t count, float* out) {
        const std::size_t d = *static_cast<const std::size_t*>(context);
        for (std::size_t k = 0; k < count * d; ++k) out[k] = static_cast<float>(first + k / d);
    };
    store.append_rows(ids.size(), ids.data(), {&dim, read});
    return store;
}

std::vector<std::uint64_t> mask_by_hand(const std::vector<std::uint64_t>& stored,
                                        const std::vector<std::uint64_t>& listed) {
    const std::set<std::uint64_t> set(listed.begin(), listed.end());
    std::vector<std::uint64_t> mask((stored.size() + 63) / 64);
    for (std::size_t r = 0; r < stored.size(); ++r) {
        if (set.count(stored[r]) != 0) mask[r / 64] |= std::uint64_t(1) << (r % 64);
    }
    return mask;
}

// Stored ids of several shapes: consecutive, repeated, high bits only, the
// extremes (0 and 2**64 - 1, which a hash set may treat specially), random.
std::vector<std::vector<std::uint64_t>> stored_id_sets() {
    std::mt19937_64 rng(7);
    std::vector<std::vector<std::uint64_t>> sets;
    for (std::size_t n : {0u, 1u, 63u, 64u, 65u, 130u, 1000u}) {
        std::vector<std::uint64_t> consecutive(n), repeated(n), high(n), extremes(n), random(n);
        for (std::size_t r = 0; r < n; ++r) {
            consecutive[r] = r;
            repeated[r] = r % 7;
            high[r] = (r % 300) << 55 | (r % 2);
            extremes[r] = r % 3 == 0 ? 0 : r % 3 == 1 ? kMax : kMax - r;
            random[r] = rng();
        }
        for (auto* s : {&consecutive, &repeated, &high, &extremes, &random}) sets.push_back(*s);
    }
    return sets;
}

// Lists drawn from the stored ids and from ids no row has, duplicates
// included; lists of a narrow range (kept as one bit per id) with stored ids
// on either side of it, at 0 and at 2**64 - 1, and lists a little too wide
// for that.
std::vector<std::vector<std::uint64_t>> listed_id_sets(const std::vector<std::uint64_t>& stored, std::mt19937_64& rng) {
    std::vector<std::vector<std::uint64_t>> lists = {{},
                                                     {0},
                                                     {kMax},
                                                     {0, kMax, 0, kMax},
                                                     {12345678901234567ULL},
                                                     {kMax - 70, kMax - 5, kMax},
                                                     {70, 5, 600},
                                                     {5, 5 + (1u << 23)}};
    lists.push_back(stored);
    lists.emplace_back(stored.begin() + static_cast<std::ptrdiff_t>(stored.size() / 3),
                       stored.begin() + static_cast<std::ptrdiff_t>(stored.size() / 2));
    for (std::size_t size : {1u, 5u, 100u, 3000u}) {
        std::vector<std::uint64_t> list;
        for (std::size_t k = 0; k < size; ++k) {
            const std::uint64_t pick = rng();
            if (!stored.empty() && pick % 3 != 0) {
                list.push_back(stored[pick % stored.size()]);
            } else {
                list.push_back(pick % 5 == 0 ? (pick % 2000) : pick);
            }
        }
        lists.push_back(list);
    }
    return lists;
}

TEST(IdMatch, MaskIsExactlyTheListedRows) {
    std::mt19937_64 rng(11);
    for (const std::vector<std::uint64_t>& stored : stored_id_sets()) {
        const Vectorstore store = store_with_ids(stored);
        for (const std::vector<std::uint64_t>& listed : listed_id_sets(stored, rng)) {
            SCOPED_TRACE(std::to_string(stored.size()) + " rows, " + std::to_string(listed.size()) + " listed");
            const std::vector<std::uint64_t> mask = rows_with_ids(store, listed);
            ASSERT_EQ(mask, mask_by_hand(stored, listed));
        }
    }
}

// Lists far longer than the filter has bits for (the filter is full), and
// stores of ids none of which is listed.
TEST(IdMatch, LongListsAndMisses) {
    std::mt19937_64 rng(3);
    std::vector<std::uint64_t> stored(20000);
    for (std::uint64_t& id : stored) id = rng() % 1000000;
    const Vectorstore store = store_with_ids(stored, 0);
    std::vector<std::uint64_t> listed(300000);
    for (std::size_t k = 0; k < listed.size(); ++k) listed[k] = k * 3;
    EXPECT_EQ(rows_with_ids(store, listed), mask_by_hand(stored, listed));
    std::vector<std::uint64_t> misses(5000);
    for (std::uint64_t& id : misses) id = 1000000 + rng() % 1000000;
    const std::vector<std::uint64_t> none = rows_with_ids(store, misses);
    EXPECT_TRUE(std::all_of(none.begin(), none.end(), [](std::uint64_t w) { return w == 0; }));
    EXPECT_EQ(none.size(), (stored.size() + 63) / 64);
}

RowLists lists_by_hand(const std::vector<std::uint64_t>& stored, const std::vector<std::uint64_t>& lims,
                       const std::vector<std::uint64_t>& ids) {
    RowLists out;
    out.lims.push_back(0);
    for (std::size_t q = 0; q + 1 < lims.size(); ++q) {
        const std::set<std::uint64_t> set(ids.begin() + static_cast<std::ptrdiff_t>(lims[q]),
                                          ids.begin() + static_cast<std::ptrdiff_t>(lims[q + 1]));
        for (std::size_t r = 0; r < stored.size(); ++r) {
            if (set.count(stored[r]) != 0) out.rows.push_back(r);
        }
        out.lims.push_back(out.rows.size());
    }
    return out;
}

TEST(IdMatch, PerQueryListsAreEachQuerysRows) {
    std::mt19937_64 rng(5);
    for (const std::vector<std::uint64_t>& stored : stored_id_sets()) {
        const Vectorstore store = store_with_ids(stored);
        for (std::size_t queries : {0u, 1u, 2u, 9u, 40u, 41u}) {
            // Lists of 0 to 30 ids, from the store and from outside it, some
            // repeated within a query.  For an odd number of queries the ids
            // from outside are below 5,000, so that with consecutive stored
            // ids the lists span a narrow range.
            const bool narrow = queries % 2 == 1;
            std::vector<std::uint64_t> lims = {0};
            std::vector<std::uint64_t> ids;
            for (std::size_t q = 0; q < queries; ++q) {
                const std::size_t count = q % 4 == 1 ? 0 : rng() % 31;
                for (std::size_t k = 0; k < count; ++k) {
                    const std::uint64_t pick = rng();
                    if (k > 0 && pick % 7 == 0) {
                        ids.push_back(ids.back());
                    } else if (!stored.empty() && pick % 4 != 0) {
                        ids.push_back(stored[pick % stored.size()]);
                    } else {
                        ids.push_back(pick % 3 == 0 ? 0 : narrow ? pick % 5000 : pick);
                    }
                }
                lims.push_back(ids.size());
            }
            SCOPED_TRACE(std::to_string(stored.size()) + " rows, " + std::to_string(queries) + " queries");
            const RowLists got = rows_with_ids_per_query(store, lims, ids);
            const RowLists want = lists_by_hand(stored, lims, ids);
            ASSERT_EQ(got.lims, want.lims);
            ASSERT_EQ(got.rows, want.rows);
        }
    }
    // No lims at all is no query.
    const Vectorstore store = store_with_ids({1, 2, 3});
    const RowLists none = rows_with_ids_per_query(store, {}, {});
    EXPECT_EQ(none.lims, std::vector<std::uint64_t>{0});
    EXPECT_TRUE(none.rows.empty());
}

// Every query listing the same ids, and one id on every row.
TEST(IdMatch, PerQueryManyQueriesOneId) {
    const std::vector<std::uint64_t> stored(500, 42);
    const Vectorstore store = store_with_ids(stored, 3);
    std::vector<std::uint64_t> lims = {0}, ids;
    for (std::size_t q = 0; q < 100; ++q) {
        ids.push_back(q % 2 == 0 ? 42 : 41);
        ids.push_back(42);
        lims.push_back(ids.size());
    }
    const RowLists got = rows_with_ids_per_query(store, lims, ids);
    const RowLists want = lists_by_hand(stored, lims, ids);
    EXPECT_EQ(got.lims, want.lims);
    EXPECT_EQ(got.rows, want.rows);
    EXPECT_EQ(got.rows.size(), 100u * 500u);
}

}  // namespace
}  // namespace tessaray::core
