// Tests of the top-k selection against a full stable sort.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/topk.hpp"
#include "test_util.hpp"

namespace tessaray::core {
namespace {

using test::bits;

// The expected result: a stable sort of the entries in index order by score,
// higher first, NaN after everything, then the first k.
std::vector<ScoredEntry> reference_top(std::vector<ScoredEntry> entries, std::size_t k) {
    std::sort(entries.begin(), entries.end(),
              [](const ScoredEntry& a, const ScoredEntry& b) { return a.index < b.index; });
    std::stable_sort(entries.begin(), entries.end(), [](const ScoredEntry& a, const ScoredEntry& b) {
        if (std::isnan(a.score)) return false;
        if (std::isnan(b.score)) return true;
        return a.score > b.score;
    });
    entries.resize(std::min(k, entries.size()));
    return entries;
}

std::vector<ScoredEntry> select(const std::vector<ScoredEntry>& offers, std::size_t k) {
    std::vector<ScoredEntry> buffer(k);
    TopK selection(buffer);
    EXPECT_EQ(selection.capacity(), k);
    for (const ScoredEntry& e : offers) selection.offer(e.score, e.index);
    EXPECT_EQ(selection.size(), std::min(k, offers.size()));
    EXPECT_EQ(selection.full(), offers.size() >= k);
    const auto done = selection.finish();
    return {done.begin(), done.end()};
}

void expect_same(const std::vector<ScoredEntry>& got, const std::vector<ScoredEntry>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].index, want[i].index) << "position " << i;
        EXPECT_EQ(bits(got[i].score), bits(want[i].score)) << "position " << i;
    }
}

struct Palette {
    std::string name;
    std::vector<float> values;
};

std::vector<Palette> palettes() {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    return {
        {"ties", {0.5f, 0.25f, 0.5f, 1.0f, -1.0f}},
        {"signed_zeros", {0.0f, -0.0f, 0.0f, -0.0f, 1e-30f, -1e-30f}},
        {"nan_and_infinities", {nan, 0.0f, -0.0f, 1.0f, -inf, inf, nan, 0.75f}},
        {"mostly_nan", {nan, nan, nan, -0.0f}},
        {"all_equal", {0.3f}},
    };
}

TEST(TopK, MatchesStableSortThenCut) {
    std::mt19937_64 rng(20240611);
    for (const Palette& p : palettes()) {
        for (std::size_t n : {0u, 1u, 2u, 3u, 7u, 16u, 17u, 40u, 100u}) {
            for (int order = 0; order < 3; ++order) {
                std::vector<ScoredEntry> offers(n);
                std::uniform_int_distribution<std::size_t> pick(0, p.values.size() - 1);
                for (std::size_t i = 0; i < n; ++i) offers[i] = {p.values[pick(rng)], i};
                // Offers in index order, reversed, and shuffled: the order is total.
                if (order == 1) std::reverse(offers.begin(), offers.end());
                if (order == 2) std::shuffle(offers.begin(), offers.end(), rng);
                for (std::size_t k = 0; k <= n + 2; ++k) {
                    SCOPED_TRACE(p.name + " n=" + std::to_string(n) + " order=" + std::to_string(order) +
                                 " k=" + std::to_string(k));
                    expect_same(select(offers, k), reference_top(offers, k));
                    if (::testing::Test::HasFailure()) return;
                }
            }
        }
    }
}

TEST(TopK, RanksBeforeIsAStrictTotalOrder) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> scores = {nan, -1.0f, -0.0f, 0.0f, 0.5f, 1.0f, std::numeric_limits<float>::infinity()};
    std::vector<ScoredEntry> entries;
    for (std::size_t i = 0; i < 3; ++i) {
        for (float s : scores) entries.push_back({s, i});
    }
    for (const auto& a : entries) {
        EXPECT_FALSE(ranks_before(a, a));
        for (const auto& b : entries) {
            const bool same =
                a.index == b.index && (bits(a.score) == bits(b.score) || (std::isnan(a.score) && std::isnan(b.score)) ||
                                       (a.score == b.score));
            if (same) continue;
            EXPECT_NE(ranks_before(a, b), ranks_before(b, a))
                << a.score << "/" << a.index << " vs " << b.score << "/" << b.index;
        }
    }
    // NaN ranks after everything; equal scores, zeros of either sign included, by index.
    EXPECT_TRUE(ranks_before({-std::numeric_limits<float>::infinity(), 9}, {nan, 0}));
    EXPECT_FALSE(ranks_before({nan, 0}, {-1.0f, 9}));
    EXPECT_TRUE(ranks_before({nan, 1}, {nan, 2}));
    EXPECT_TRUE(ranks_before({-0.0f, 1}, {0.0f, 2}));
    EXPECT_TRUE(ranks_before({0.0f, 1}, {-0.0f, 2}));
    EXPECT_TRUE(ranks_before({0.5f, 9}, {0.25f, 1}));
}

TEST(TopK, WorstIsTheLastKeptEntry) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<ScoredEntry> offers(64);
    for (std::size_t i = 0; i < offers.size(); ++i) offers[i] = {dist(rng), i};
    for (std::size_t k = 1; k <= 8; ++k) {
        std::vector<ScoredEntry> buffer(k);
        TopK selection(buffer);
        for (const auto& e : offers) selection.offer(e.score, e.index);
        ASSERT_TRUE(selection.full());
        const ScoredEntry worst = selection.worst();
        const auto want = reference_top(offers, k);
        EXPECT_EQ(worst.index, want.back().index) << "k=" << k;
    }
}

}  // namespace
}  // namespace tessaray::core
