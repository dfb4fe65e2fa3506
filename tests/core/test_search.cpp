// Tests of the sequential, the parallel and the batch search: exact results, a
// differential check against a plain reference, the work plan, the fault
// paths of the worker threads and several threads reading one store at once.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/batch_codes.hpp"
#include "core/batch_search.hpp"
#include "core/fault.hpp"
#include "core/kernel.hpp"
#include "core/listed_search.hpp"
#include "core/range_search.hpp"
#include "core/search.hpp"
#include "core/self_search.hpp"
#include "core/store.hpp"
#include "core/work_plan.hpp"
#include "core/worker_group.hpp"
#include "test_util.hpp"

// Every thread join of this program passes through here, so that the fault
// tests can check that each started worker was joined: a worker that has
// finished but was never joined is invisible to every other check.
std::atomic<int> g_thread_joins{0};
extern "C" int pthread_join(pthread_t thread, void** result) {
    using JoinFn = int (*)(pthread_t, void**);
    static const auto next_join = reinterpret_cast<JoinFn>(dlsym(RTLD_NEXT, "pthread_join"));
    g_thread_joins.fetch_add(1);
    return next_join(thread, result);
}

namespace tessaray::core {
namespace {

constexpr std::uint64_t kAll = std::numeric_limits<std::uint64_t>::max();

using test::bits;

// Bit equality of two result lists (all NaNs count as one value).
void expect_same_results(const std::vector<ResultPair>& got, const std::vector<ResultPair>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].id, want[i].id) << "position " << i;
        if (std::isnan(want[i].score)) {
            EXPECT_TRUE(std::isnan(got[i].score)) << "position " << i;
        } else {
            EXPECT_EQ(bits(got[i].score), bits(want[i].score))
                << "position " << i << ": " << got[i].score << " vs " << want[i].score;
        }
    }
}

std::vector<ResultPair> ok(SearchResult r) {
    EXPECT_TRUE(r.has_value()) << (r.has_value() ? "" : r.error());
    if (!r.has_value()) return {};
    return std::move(r).value();
}

// ---- exact examples ----

TEST(Search, ExactExample) {
    Vectorstore store(2);
    ASSERT_TRUE(store.insert(std::vector<float>{1.0f, 0.0f}, 10).has_value());
    ASSERT_TRUE(store.insert(std::vector<float>{0.0f, 1.0f}, 20).has_value());
    ASSERT_TRUE(store.insert(std::vector<float>{1.0f, 1.0f}, 30).has_value());
    const std::vector<float> q = {1.0f, 0.0f};
    const std::vector<ResultPair> want = {{1.0f, 10}, {0.70710677f, 30}, {0.0f, 20}};
    expect_same_results(ok(search(store, q, 3)), want);
    for (std::optional<std::uint64_t> n : {std::optional<std::uint64_t>(), std::optional<std::uint64_t>(1),
                                           std::optional<std::uint64_t>(2), std::optional<std::uint64_t>(3)}) {
        expect_same_results(ok(parallel_search(store, q, {3, n})), want);
    }
    expect_same_results(ok(search(store, q, 2)), {{1.0f, 10}, {0.70710677f, 30}});
    expect_same_results(ok(search(store, q, 1)), {{1.0f, 10}});
}

TEST(Search, TiesKeepInsertionOrder) {
    Vectorstore store(2);
    const std::vector<std::uint64_t> ids = {5, 3, 9, 1, 8, 2, 7, 4, 6, 0};
    for (std::size_t e = 0; e < 40; ++e) {
        // The same two directions at several lengths: two exact scores, 1 and 0.
        const float scale = static_cast<float>(e % 3 + 1);
        const std::vector<float> v = e % 2 == 0 ? std::vector<float>{scale, 0.0f} : std::vector<float>{0.0f, -scale};
        ASSERT_TRUE(store.insert(v, ids[e % ids.size()] + 10 * e).has_value());
    }
    const std::vector<float> q = {2.0f, 0.0f};
    const auto all = ok(search(store, q, kAll));
    ASSERT_EQ(all.size(), 40u);
    for (std::size_t i = 0; i < 40; ++i) EXPECT_EQ(all[i].score, i < 20 ? 1.0f : 0.0f) << "position " << i;
    // The even entries first (score 1), then the odd ones, each in insertion order.
    for (std::size_t i = 0; i < 40; ++i) {
        const std::size_t e = i < 20 ? 2 * i : 2 * (i - 20) + 1;
        EXPECT_EQ(all[i].id, ids[e % ids.size()] + 10 * e) << "position " << i;
    }
    for (std::uint64_t n = 1; n <= 9; ++n) expect_same_results(ok(parallel_search(store, q, {kAll, n})), all);
}

TEST(Search, QueryLengthError) {
    for (std::size_t entries : {0u, 1u, 20u}) {
        Vectorstore store(3);
        for (std::size_t e = 0; e < entries; ++e) {
            ASSERT_TRUE(store.insert(std::vector<float>{1.0f, 2.0f, 3.0f}, e).has_value());
        }
        for (std::size_t len : {0u, 2u, 4u}) {
            const std::vector<float> q(len, 1.0f);
            const std::string want = "query has length " + std::to_string(len) + " but vectorstore expects 3";
            const auto r = search(store, q, 5);
            ASSERT_FALSE(r.has_value());
            EXPECT_EQ(r.error(), want);
            for (std::optional<std::uint64_t> n :
                 {std::optional<std::uint64_t>(), std::optional<std::uint64_t>(0), std::optional<std::uint64_t>(3)}) {
                const auto p = parallel_search(store, q, {5, n});
                ASSERT_FALSE(p.has_value());
                EXPECT_EQ(p.error(), want);
            }
        }
    }
    EXPECT_EQ(query_length_message(2, 3), "query has length 2 but vectorstore expects 3");
}

TEST(Search, TopKZeroAndHuge) {
    Vectorstore store(4);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (std::size_t e = 0; e < 37; ++e) {
        std::vector<float> v(4);
        for (auto& x : v) x = dist(rng);
        ASSERT_TRUE(store.insert(v, e + 100).has_value());
    }
    const std::vector<float> q = {0.5f, -0.25f, 1.0f, 0.0f};
    EXPECT_TRUE(ok(search(store, q, 0)).empty());
    for (std::uint64_t n = 0; n <= 5; ++n) EXPECT_TRUE(ok(parallel_search(store, q, {0, n})).empty());
    const auto all = ok(search(store, q, kAll));
    EXPECT_EQ(all.size(), 37u);
    std::set<std::uint64_t> ids;
    for (const auto& r : all) ids.insert(r.id);
    EXPECT_EQ(ids.size(), 37u);
    for (std::size_t i = 1; i < all.size(); ++i) EXPECT_GE(all[i - 1].score, all[i].score);
    expect_same_results(ok(parallel_search(store, q, {kAll, kAll})), all);
    expect_same_results(ok(parallel_search(store, q, {kAll, 4})), all);
}

// ---- differential check against a plain reference ----

// The expected result: the reference cosine of every entry, a stable sort by
// score (higher first, NaN last), then the first k.
std::vector<ResultPair> reference_search(const std::vector<std::vector<float>>& rows,
                                         const std::vector<std::uint64_t>& ids, const std::vector<float>& q,
                                         std::uint64_t k) {
    std::vector<ResultPair> all;
    for (std::size_t e = 0; e < rows.size(); ++e) {
        all.push_back({cosine_ref(q.data(), rows[e].data(), q.size()), ids[e]});
    }
    std::stable_sort(all.begin(), all.end(), [](const ResultPair& a, const ResultPair& b) {
        if (std::isnan(a.score)) return false;
        if (std::isnan(b.score)) return true;
        return a.score > b.score;
    });
    all.resize(static_cast<std::size_t>(std::min<std::uint64_t>(k, all.size())));
    return all;
}

struct RandomStore {
    Vectorstore store;
    std::vector<std::vector<float>> rows;
    std::vector<std::uint64_t> ids;
};

// Values from a small palette so that scores tie often; some rows repeated,
// some all zero; optionally with infinities and NaN.
// `near`: every row one vector with each element changed by about 1e-4 of
// it instead, so that the scores of these rows against each other lie a few
// ulps apart and the order of summing decides between them.
RandomStore make_store(std::mt19937_64& rng, std::size_t dim, std::size_t n, bool special, bool near = false) {
    static const std::vector<float> palette = {0.0f, -0.0f, 1.0f, -1.0f, 0.5f, 2.0f, -3.0f, 0.25f};
    std::uniform_int_distribution<std::size_t> pick(0, palette.size() - 1);
    std::uniform_int_distribution<int> percent(0, 99);
    std::uniform_real_distribution<float> wide(-4.0f, 4.0f);
    RandomStore s{Vectorstore(dim), {}, {}};
    for (std::size_t e = 0; e < n; ++e) {
        std::vector<float> v(dim);
        const int kind = percent(rng);
        if (kind < 10) {
            for (auto& x : v) x = percent(rng) < 50 ? 0.0f : -0.0f;
        } else if (kind < 30 && !s.rows.empty()) {
            std::uniform_int_distribution<std::size_t> earlier(0, s.rows.size() - 1);
            v = s.rows[earlier(rng)];
        } else if (kind < 80) {
            for (auto& x : v) x = palette[pick(rng)];
        } else {
            for (auto& x : v) x = wide(rng);
        }
        if (near) {
            std::mt19937_64 same(dim);  // the same vector for every row
            std::normal_distribution<float> base, noise;
            for (auto& x : v) x = base(same) * (1.0f + 1e-4f * noise(rng));
        }
        if (special && dim > 0 && percent(rng) < 10) {
            const float odd[] = {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                                 std::numeric_limits<float>::quiet_NaN(), 3e38f};
            v[pick(rng) % dim] = odd[percent(rng) % 4];
        }
        const std::uint64_t id = percent(rng) < 20 ? 77 : rng();  // duplicate ids too
        if (!s.store.insert(v, id).has_value()) throw std::logic_error("insert failed");
        s.rows.push_back(v);
        s.ids.push_back(id);
    }
    return s;
}

std::vector<float> make_query(std::mt19937_64& rng, std::size_t dim, int variant) {
    std::vector<float> q(dim);
    std::uniform_real_distribution<float> wide(-2.0f, 2.0f);
    for (std::size_t i = 0; i < dim; ++i) {
        switch (variant) {
            case 0: q[i] = wide(rng); break;
            case 1: q[i] = static_cast<float>(static_cast<int>(i % 3) - 1); break;
            case 2: q[i] = i % 2 == 0 ? -0.0f : 0.0f; break;  // a zero query
            default: q[i] = 1.0f; break;
        }
    }
    return q;
}

struct DiffCase {
    std::size_t dim;
    bool special;
};

class SearchDifferential : public ::testing::TestWithParam<DiffCase> {};

TEST_P(SearchDifferential, MatchesReferenceAndParallelMatchesSequential) {
    const auto [dim, special] = GetParam();
    std::mt19937_64 rng(0x5eed + dim * 31 + (special ? 1 : 0));
    const std::vector<std::size_t> sizes = {0,  1,  2,  15, 16,  17,  31,  32,  33,  47,  48,  49, 63,
                                            64, 65, 80, 97, 127, 128, 129, 150, 191, 192, 193, 200};
    std::vector<std::optional<std::uint64_t>> thread_counts;
    for (std::uint64_t n = 0; n <= 9; ++n) thread_counts.emplace_back(n);
    thread_counts.emplace_back(17);
    thread_counts.emplace_back(std::nullopt);

    for (std::size_t n : sizes) {
        const RandomStore s = make_store(rng, dim, n, special);
        for (int variant = 0; variant < 4; ++variant) {
            const std::vector<float> q = make_query(rng, dim, variant);
            for (std::uint64_t k : {std::uint64_t(0), std::uint64_t(1), std::uint64_t(5), std::uint64_t(n / 2 + 1),
                                    std::uint64_t(n), std::uint64_t(n + 1), kAll}) {
                SCOPED_TRACE("dim=" + std::to_string(dim) + " n=" + std::to_string(n) +
                             " query=" + std::to_string(variant) + " k=" + std::to_string(k));
                const auto seq = ok(search(s.store, q, k));
                expect_same_results(seq, reference_search(s.rows, s.ids, q, k));
                if (variant != 0 && k != kAll && k != 5) continue;  // keep the thread count manageable
                for (const auto& threads : thread_counts) {
                    SCOPED_TRACE("threads=" + (threads ? std::to_string(*threads) : std::string("default")));
                    expect_same_results(ok(parallel_search(s.store, q, {k, threads})), seq);
                }
                if (::testing::Test::HasFailure()) return;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, SearchDifferential,
                         ::testing::Values(DiffCase{1, false}, DiffCase{2, false}, DiffCase{3, false},
                                           DiffCase{7, false}, DiffCase{8, false}, DiffCase{17, false},
                                           DiffCase{0, false}, DiffCase{128, true}, DiffCase{5, true},
                                           DiffCase{16, true}),
                         [](const auto& test_info) {
                             return "dim" + std::to_string(test_info.param.dim) +
                                    (test_info.param.special ? "_special" : "");
                         });

// ---- many queries at once ----

// Each answer of a batch is search()'s for that query, for query counts
// around the kernel's tile, row counts around blocks and panels, and any
// worker count.
TEST(SearchBatch, EqualsSearchForEveryQuery) {
    std::mt19937_64 rng(0xba7c4);
    const std::size_t tile = active_kernels().tile_queries;
    struct Shape {
        std::size_t dim, n;
        bool near;
    };
    for (const auto& [dim, n, near] : {Shape{0, 70, false},
                                       {1, 65, false},
                                       {3, 200, false},
                                       {17, 1, false},
                                       {17, 64, false},
                                       {128, 1100, false},
                                       {128, 1100, true},
                                       {129, 127, false},
                                       {768, 400, false}}) {
        const RandomStore s = make_store(rng, dim, n, dim % 2 == 1, near);
        for (std::size_t count : {std::size_t(1), tile - 1, tile, tile + 1, 2 * tile + 3, kCodedQueries + 1}) {
            std::vector<float> queries;
            for (std::size_t q = 0; q < count; ++q) {
                const auto one = near         ? s.rows[(q * 7) % n]
                                 : q % 4 == 3 ? s.rows[q % n]
                                              : make_query(rng, dim, static_cast<int>(q % 3));
                queries.insert(queries.end(), one.begin(), one.end());
            }
            for (std::uint64_t k : {std::uint64_t(0), std::uint64_t(1), std::uint64_t(10), std::uint64_t(n), kAll}) {
                for (const auto threads : {std::optional<std::uint64_t>(1), std::optional<std::uint64_t>(3),
                                           std::optional<std::uint64_t>()}) {
                    SCOPED_TRACE("dim=" + std::to_string(dim) + " n=" + std::to_string(n) + (near ? " near" : "") +
                                 " queries=" + std::to_string(count) + " k=" + std::to_string(k) +
                                 " threads=" + (threads ? std::to_string(*threads) : std::string("default")));
                    const std::size_t keep = batch_keep(s.store, k);
                    std::vector<float> scores(count * keep);
                    std::vector<std::uint64_t> ids(count * keep);
                    ASSERT_TRUE(search_batch(s.store, queries.data(), count, {k, threads}, scores.data(), ids.data()));
                    for (std::size_t q = 0; q < count; ++q) {
                        std::vector<ResultPair> got(keep);
                        for (std::size_t j = 0; j < keep; ++j) got[j] = {scores[q * keep + j], ids[q * keep + j]};
                        expect_same_results(got, ok(search(s.store, {queries.data() + q * dim, dim}, k)));
                    }
                    if (HasFailure()) return;
                }
            }
        }
    }
}

// Everything the other sinks keep (rows at or above a threshold, each
// query's own listed rows, a self-join, a k-NN graph) is the same from one
// worker as from several, filtered or not.
TEST(SearchBatch, OtherSinksAnswerTheSameOnAnyWorkerCount) {
    std::mt19937_64 rng(0x51f);
    const std::size_t dim = 9;
    const std::size_t n = 2100;
    const RandomStore s = make_store(rng, dim, n, true);
    const std::size_t count = 20;
    std::vector<float> queries;
    for (std::size_t q = 0; q < count; ++q) {
        const auto one = q % 2 == 0 ? s.rows[q * 97 % n] : make_query(rng, dim, static_cast<int>(q % 3));
        queries.insert(queries.end(), one.begin(), one.end());
    }
    std::vector<std::uint64_t> words((n + 63) / 64);
    for (std::size_t r = 0; r < n; ++r) words[r / 64] |= std::uint64_t(r % 7 < 3 && r / 64 % 3 != 1) << (r % 64);
    std::size_t allowed = 0;
    for (const std::uint64_t w : words) allowed += static_cast<std::size_t>(std::popcount(w));
    const RowFilter filter{words.data(), allowed};
    RowLists lists{{0}, {}};
    for (std::size_t q = 0; q < count; ++q) {
        for (std::size_t r = q; r < n; r += 7 + q) lists.rows.push_back(r);
        lists.lims.push_back(lists.rows.size());
    }
    // Every answer of one worker count, as bits and rows.
    auto answers = [&](std::uint64_t threads) {
        std::vector<std::uint64_t> out;
        auto add_entries = [&](const RangeAnswers& a) {
            out.insert(out.end(), a.lims.begin(), a.lims.end());
            for (const ScoredEntry& e : a.entries) out.insert(out.end(), {bits(e.score), e.index});
        };
        for (const RowFilter* allow : {static_cast<const RowFilter*>(nullptr), &filter}) {
            RangeAnswers a;
            EXPECT_EQ(range_search(s.store, queries.data(), count, {0, threads, nullptr, allow}, 0.25f, kAll, a),
                      RangeEnd::done);
            add_entries(a);
        }
        RangeAnswers listed;
        EXPECT_EQ(range_search_listed(s.store, queries.data(), count, lists, {0, threads}, 0.0f, kAll, listed),
                  RangeEnd::done);
        add_entries(listed);
        const std::size_t width = listed_width(lists, 6);
        std::vector<float> scores(count * width + n * 6);
        std::vector<std::uint64_t> ids(scores.size());
        EXPECT_TRUE(search_listed(s.store, queries.data(), count, lists, {6, threads}, scores.data(), ids.data()));
        EXPECT_TRUE(knn_graph(s.store, {6, threads}, scores.data() + count * width, ids.data() + count * width));
        for (std::size_t i = 0; i < scores.size(); ++i) out.insert(out.end(), {bits(scores[i]), ids[i]});
        PairList pairs;
        EXPECT_TRUE(self_join(s.store, 0.5f, {0, threads}, pairs));
        out.insert(out.end(), pairs.first.begin(), pairs.first.end());
        out.insert(out.end(), pairs.second.begin(), pairs.second.end());
        for (const float f : pairs.scores) out.push_back(bits(f));
        return out;
    };
    const std::vector<std::uint64_t> one = answers(1);
    EXPECT_GT(one.size(), n * 12);
    EXPECT_EQ(answers(3), one);
}

// A watch sees the work advance and can stop it.
TEST(SearchBatch, WatchSeesProgressAndStops) {
    std::mt19937_64 rng(7);
    const RandomStore s = make_store(rng, 64, 20000, false);
    const std::vector<float> queries(256 * 64, 0.5f);
    struct Seen {
        std::uint64_t calls = 0, last = 0, total = 0;
        bool stop = false;
    } seen;
    const auto poll = [](void* context, std::uint64_t done, std::uint64_t total) {
        auto* so_far = static_cast<Seen*>(context);
        EXPECT_GE(done, so_far->last);
        so_far->last = done;
        so_far->total = total;
        ++so_far->calls;
        return !so_far->stop;
    };
    std::vector<float> scores(256 * 10);
    std::vector<std::uint64_t> ids(256 * 10);
    const SearchWatch watch{poll, &seen, 1, true};
    ASSERT_TRUE(search_batch(s.store, queries.data(), 256, {10, 1, &watch}, scores.data(), ids.data()));
    EXPECT_EQ(seen.total, std::uint64_t(256) * 20000);
    EXPECT_EQ(seen.last, seen.total) << "the last call sees every pair scored";
    EXPECT_GE(seen.calls, 2u);
    seen = Seen{0, 0, 0, true};
    EXPECT_FALSE(search_batch(s.store, queries.data(), 256, {10, 2, &watch}, scores.data(), ids.data()));
    EXPECT_EQ(seen.calls, 1u);
}

// One query on one worker is scanned in stretches with the watch polled
// between them: its answer is search()'s across their seams and the tail,
// and the watch sees the work advance and can stop it there.
TEST(SearchBatch, LoneQueryIsPolledBetweenStretches) {
    std::mt19937_64 rng(11);
    const std::size_t n = 20000;  // 5 MB of rows: more than one stretch, and a tail
    const RandomStore s = make_store(rng, 64, n, false);
    const std::vector<float> query = make_query(rng, 64, 0);
    struct Seen {
        std::vector<std::uint64_t> done;
        bool stop = false;
    } seen;
    const auto poll = [](void* context, std::uint64_t done, std::uint64_t total) {
        EXPECT_EQ(total, 20000u);
        static_cast<Seen*>(context)->done.push_back(done);
        return !static_cast<Seen*>(context)->stop;
    };
    std::vector<float> scores(n);
    std::vector<std::uint64_t> ids(n);
    const SearchWatch every_stretch{poll, &seen, 0, true};
    ASSERT_TRUE(search_batch(s.store, query.data(), 1, {kAll, 1, &every_stretch}, scores.data(), ids.data()));
    std::vector<ResultPair> got(n);
    for (std::size_t j = 0; j < n; ++j) got[j] = {scores[j], ids[j]};
    expect_same_results(got, ok(search(s.store, query, kAll)));
    ASSERT_GE(seen.done.size(), 3u) << "polled as it starts, between stretches and as it ends";
    EXPECT_EQ(seen.done.front(), 0u);
    EXPECT_EQ(seen.done.back(), n);
    EXPECT_TRUE(std::is_sorted(seen.done.begin(), seen.done.end()));

    seen = Seen{{}, true};
    const SearchWatch between{poll, &seen, 0, false};
    EXPECT_FALSE(search_batch(s.store, query.data(), 1, {10, 1, &between}, scores.data(), ids.data()));
    ASSERT_EQ(seen.done.size(), 1u);
    EXPECT_GT(seen.done[0], 0u);
    EXPECT_LT(seen.done[0], n);
}

// ---- the work plan ----

struct PlanCase {
    std::size_t n;
    std::size_t requested;
    WorkPlan want;
};

class PlanWork : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanWork, Examples) {
    const auto& c = GetParam();
    const WorkPlan got = plan_work(c.n, c.requested);
    EXPECT_EQ(got.workers, c.want.workers);
    EXPECT_EQ(got.range_size, c.want.range_size);
    EXPECT_EQ(got.ranges, c.want.ranges);
}

INSTANTIATE_TEST_SUITE_P(Plans, PlanWork,
                         ::testing::Values(PlanCase{10, 4, {4, 3, 4}}, PlanCase{10, 6, {6, 2, 5}},
                                           PlanCase{10, 0, {1, 10, 1}}, PlanCase{10, 1, {1, 10, 1}},
                                           PlanCase{10, 10, {10, 1, 10}}, PlanCase{10, 11, {11, 1, 10}},
                                           PlanCase{10, 1000, {1000, 1, 10}}, PlanCase{1, 0, {1, 1, 1}},
                                           PlanCase{1, 8, {8, 1, 1}}, PlanCase{17, 4, {4, 5, 4}},
                                           PlanCase{16, 3, {3, 6, 3}}));

// Every range holds at least one entry and the ranges cover the store.
TEST(PlanWorkProperties, RangesCoverTheStore) {
    for (std::size_t n = 1; n <= 120; ++n) {
        for (std::size_t w = 0; w <= 130; ++w) {
            const WorkPlan p = plan_work(n, w);
            ASSERT_EQ(p.workers, std::max<std::size_t>(w, 1)) << n << "," << w;
            ASSERT_GE(p.range_size, 1u) << n << "," << w;
            ASSERT_GE(p.ranges, 1u) << n << "," << w;
            ASSERT_LE(p.ranges, p.workers) << n << "," << w;
            ASSERT_LT((p.ranges - 1) * p.range_size, n) << n << "," << w;
            ASSERT_GE(p.ranges * p.range_size, n) << n << "," << w;
            // The range size is the smallest that lets the workers cover the store.
            ASSERT_GE(p.range_size * p.workers, n) << n << "," << w;
            ASSERT_LT((p.range_size - 1) * p.workers, n) << n << "," << w;
        }
    }
}

// A batch's fixed ranges of panels partition the panels, each worker has one
// panel at least, and no worker's sinks keep more rows than it can see.
TEST(PlanBatchProperties, RangesPartitionThePanels) {
    for (const std::size_t dim : {0u, 1u, 128u, 4096u}) {
        for (std::size_t blocks = 0; blocks <= 70; blocks += 7) {
            for (const std::size_t tail : {0u, 5u}) {
                for (std::size_t w = 0; w <= 9; ++w) {
                    for (const std::size_t keep : {1u, 10u, 64u, 1000u, 1001u}) {
                        const BatchShape shape{blocks, tail, dim, keep, keep % 2 == 1};
                        const BatchPlan p = plan_batch(shape, w);
                        const std::string at = std::to_string(dim) + "," + std::to_string(blocks) + "," +
                                               std::to_string(tail) + "," + std::to_string(w) + "," +
                                               std::to_string(keep);
                        ASSERT_GE(p.workers, 1u) << at;
                        ASSERT_LE(p.workers, std::max<std::size_t>(blocks, 1)) << at;
                        ASSERT_GE(p.panel_blocks, 1u) << at;
                        ASSERT_LE(p.panel_blocks, p.max_panel_blocks) << at;
                        ASSERT_GE(p.panels * p.panel_blocks, blocks) << at;
                        ASSERT_LT(p.panels == 0 ? 0 : (p.panels - 1) * p.panel_blocks, std::max<std::size_t>(blocks, 1))
                            << at;
                        ASSERT_EQ(p.all_panels, p.panels + (tail != 0)) << at;
                        ASSERT_EQ(p.dealt, keep * p.workers <= blocks * kBlockRows + tail) << at;
                        std::size_t next = 0, rows = 0;
                        for (std::size_t worker = 0; worker < p.workers; ++worker) {
                            const PanelRange range = panel_range(p, shape, worker);
                            ASSERT_EQ(range.first, next) << at;
                            ASSERT_LE(range.first, range.end) << at;
                            next = range.end;
                            rows += range.rows;
                        }
                        ASSERT_EQ(next, p.all_panels) << at;
                        if (!p.dealt) {
                            ASSERT_EQ(rows, blocks * kBlockRows + tail) << at;
                        }
                    }
                }
            }
        }
    }
}

// ---- fault paths ----

// Resets the test hooks, whatever happens in the test.
struct HookGuard {
    HookGuard() = default;
    HookGuard(const HookGuard&) = delete;
    HookGuard& operator=(const HookGuard&) = delete;
    ~HookGuard() {
        testing::worker_hook = nullptr;
        testing::spawn_hook = nullptr;
    }
};

std::atomic<int> g_worker_calls{0};
std::atomic<int> g_worker_done{0};
std::atomic<unsigned> g_workers_seen{0};  // bit w: worker w ran
std::atomic<unsigned> g_spawns_seen{0};   // bit w: start of worker w asked
std::atomic<int> g_throw_kind{0};
std::atomic<int> g_spawn_error{0};
std::atomic<std::size_t> g_fail_worker{0};

void reset_counters() {
    g_worker_calls = 0;
    g_worker_done = 0;
    g_workers_seen = 0;
    g_spawns_seen = 0;
    g_thread_joins = 0;
}

// A worker that takes a while, so that a caller that did not wait for it
// would see it unfinished.
void slow_worker(std::size_t worker) {
    g_worker_calls.fetch_add(1);
    g_workers_seen.fetch_or(1u << worker);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    g_worker_done.fetch_add(1);
}

int refuse_one_worker(std::size_t worker) {
    g_spawns_seen.fetch_or(1u << worker);
    return worker == g_fail_worker.load() ? g_spawn_error.load() : 0;
}

void throwing_worker(std::size_t worker) {
    g_worker_calls.fetch_add(1);
    g_workers_seen.fetch_or(1u << worker);
    if (worker == g_fail_worker.load()) {
        switch (g_throw_kind.load()) {
            case 0: throw std::runtime_error("worker broke");
            case 1: throw 42;
            default: throw Fault("an inner fault");
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    g_worker_done.fetch_add(1);
}

RandomStore fault_store() {
    std::mt19937_64 rng(99);
    // 4 workers: 4 ranges of 65 rows for the parallel search, one block of 64
    // each (the last with the 4 tail rows) for a batch.
    return make_store(rng, 4, 4 * kBlockRows + 4, false);
}

// The parallel search, or a batch of the one query: both run the worker hooks
// and share the start, join and fault paths.
std::vector<ResultPair> threaded_search(bool batch, const Vectorstore& store, const std::vector<float>& q,
                                        std::uint64_t k, std::optional<std::uint64_t> threads) {
    if (!batch) return ok(parallel_search(store, q, {k, threads}));
    const std::size_t keep = batch_keep(store, k);
    std::vector<float> scores(keep);
    std::vector<std::uint64_t> ids(keep);
    EXPECT_TRUE(search_batch(store, q.data(), 1, {k, threads}, scores.data(), ids.data()));
    std::vector<ResultPair> found(keep);
    for (std::size_t j = 0; j < keep; ++j) found[j] = {scores[j], ids[j]};
    return found;
}

std::string search_name(bool batch) { return batch ? "_batch" : "_parallel"; }

struct SpawnCase {
    int error;
    std::size_t fail_worker;
};

class SpawnFailure : public ::testing::TestWithParam<std::tuple<SpawnCase, bool>> {};

TEST_P(SpawnFailure, FaultAfterStartedWorkersEnd) {
    const auto [error, fail_worker] = std::get<0>(GetParam());
    const bool batch = std::get<1>(GetParam());
    HookGuard guard;
    const RandomStore s = fault_store();
    const std::vector<float> q = {1.0f, 0.5f, -1.0f, 0.0f};
    reset_counters();
    g_spawn_error = error;
    g_fail_worker = fail_worker;
    testing::spawn_hook = refuse_one_worker;
    testing::worker_hook = slow_worker;

    std::string message;
    bool faulted = false;
    try {
        (void)threaded_search(batch, s.store, q, 5, 4);
    } catch (const Fault& f) {
        faulted = true;
        message = f.message();
        EXPECT_STREQ(f.what(), message.c_str());
    }
    ASSERT_TRUE(faulted) << "no fault for a refused thread start";
    EXPECT_EQ(message.rfind("failed to spawn thread: ", 0), 0u) << message;
    EXPECT_NE(message.find("code: " + std::to_string(error)), std::string::npos) << message;

    // The workers before the refused one were started, ran and were waited
    // for; no start was asked for after the refusal.
    const unsigned before = (1u << fail_worker) - 1;
    EXPECT_EQ(g_worker_calls.load(), static_cast<int>(fail_worker));
    EXPECT_EQ(g_worker_done.load(), static_cast<int>(fail_worker));
    EXPECT_EQ(g_workers_seen.load(), before);
    EXPECT_EQ(g_spawns_seen.load(), before | (1u << fail_worker));
    EXPECT_EQ(g_thread_joins.load(), static_cast<int>(fail_worker)) << "every started worker is joined";

    // Nothing is left behind: the next search works.
    testing::spawn_hook = nullptr;
    testing::worker_hook = nullptr;
    expect_same_results(threaded_search(batch, s.store, q, 5, 4), ok(search(s.store, q, 5)));
}

INSTANTIATE_TEST_SUITE_P(Refusals, SpawnFailure,
                         ::testing::Combine(::testing::Values(SpawnCase{EAGAIN, 2}, SpawnCase{EAGAIN, 0},
                                                              SpawnCase{EAGAIN, 3}, SpawnCase{ENOMEM, 1},
                                                              SpawnCase{EPERM, 2}),
                                            ::testing::Bool()),
                         [](const auto& test_info) {
                             const SpawnCase& c = std::get<0>(test_info.param);
                             return "errno" + std::to_string(c.error) + "_worker" + std::to_string(c.fail_worker) +
                                    search_name(std::get<1>(test_info.param));
                         });

TEST(SpawnFailureMessage, WouldBlockCodeEleven) {
    HookGuard guard;
    const RandomStore s = fault_store();
    const std::vector<float> q = {1.0f, 0.5f, -1.0f, 0.0f};
    reset_counters();
    g_spawn_error = EAGAIN;
    g_fail_worker = 2;
    testing::spawn_hook = refuse_one_worker;
    testing::worker_hook = slow_worker;
    try {
        (void)parallel_search(s.store, q, {3, 4});
        ADD_FAILURE() << "no fault";
    } catch (const Fault& f) {
        const std::string m = f.message();
        EXPECT_EQ(m.rfind("failed to spawn thread: ", 0), 0u) << m;
        EXPECT_NE(m.find("code: 11"), std::string::npos) << m;
    }
    EXPECT_EQ(g_worker_calls.load(), 2);
    EXPECT_EQ(g_worker_done.load(), 2);
}

struct WorkerFaultCase {
    int throw_kind;  // 0: std::exception, 1: not an exception class, 2: Fault
    std::size_t fail_worker;
    std::uint64_t top_k;
};

class WorkerFailure : public ::testing::TestWithParam<std::tuple<WorkerFaultCase, bool>> {};

TEST_P(WorkerFailure, FaultAfterEveryWorkerEnds) {
    const auto [kind, fail_worker, top_k] = std::get<0>(GetParam());
    const bool batch = std::get<1>(GetParam());
    if (batch && top_k == 0) GTEST_SKIP() << "a batch that keeps nothing starts no worker";
    HookGuard guard;
    const RandomStore s = fault_store();
    const std::vector<float> q = {1.0f, 0.5f, -1.0f, 0.0f};
    reset_counters();
    g_throw_kind = kind;
    g_fail_worker = fail_worker;
    testing::worker_hook = throwing_worker;

    EXPECT_THROW(
        {
            try {
                (void)threaded_search(batch, s.store, q, top_k, 4);
            } catch (const Fault& f) {
                EXPECT_EQ(f.message(), "called `Result::unwrap()` on an `Err` value: Any { .. }");
                throw;
            }
        },
        Fault);
    // Every worker ran, and every one that did not fail finished before the call ended.
    EXPECT_EQ(g_worker_calls.load(), 4);
    EXPECT_EQ(g_workers_seen.load(), 0xFu);
    EXPECT_EQ(g_worker_done.load(), 3);
    EXPECT_EQ(g_thread_joins.load(), 4) << "every started worker is joined";

    testing::worker_hook = nullptr;
    expect_same_results(threaded_search(batch, s.store, q, top_k, 4), ok(search(s.store, q, top_k)));
}

INSTANTIATE_TEST_SUITE_P(Throws, WorkerFailure,
                         ::testing::Combine(::testing::Values(WorkerFaultCase{0, 1, 5}, WorkerFaultCase{1, 1, 5},
                                                              WorkerFaultCase{2, 1, 5}, WorkerFaultCase{0, 0, 5},
                                                              WorkerFaultCase{0, 3, 5}, WorkerFaultCase{0, 1, 0},
                                                              WorkerFaultCase{1, 2, kAll}),
                                            ::testing::Bool()),
                         [](const auto& test_info) {
                             const WorkerFaultCase& c = std::get<0>(test_info.param);
                             return "kind" + std::to_string(c.throw_kind) + "_worker" + std::to_string(c.fail_worker) +
                                    "_k" + (c.top_k == kAll ? std::string("all") : std::to_string(c.top_k)) +
                                    search_name(std::get<1>(test_info.param));
                         });

// ---- several threads on one store ----

// Threads that search one store at the same time, each with the sequential,
// the parallel and the batch search (the last two with workers of their own),
// all get the answers of a quiet run: readers write nothing they share.
TEST(ConcurrentReaders, SameAnswersAsAQuietRun) {
    std::mt19937_64 rng(0x5ead);
    const RandomStore s = make_store(rng, 17, 3 * kBlockRows + 5, true);
    constexpr std::size_t kQueries = 6;
    constexpr std::uint64_t k = 7;
    std::vector<float> queries;
    std::vector<std::vector<ResultPair>> quiet;
    for (std::size_t q = 0; q < kQueries; ++q) {
        const auto one = make_query(rng, 17, static_cast<int>(q % 4));
        queries.insert(queries.end(), one.begin(), one.end());
        quiet.push_back(ok(search(s.store, one, k)));
    }
    std::atomic<int> wrong{0};
    const auto same = [](const std::vector<ResultPair>& a, const std::vector<ResultPair>& b) {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const auto& x, const auto& y) {
                   return x.id == y.id &&
                          (bits(x.score) == bits(y.score) || (std::isnan(x.score) && std::isnan(y.score)));
               });
    };
    const auto reader = [&](std::size_t t) {
        const std::optional<std::uint64_t> threads = t % 2 == 0 ? std::optional<std::uint64_t>(3) : std::nullopt;
        std::vector<float> scores(kQueries * k);
        std::vector<std::uint64_t> ids(kQueries * k);
        for (int round = 0; round < 4; ++round) {
            for (std::size_t q = 0; q < kQueries; ++q) {
                const std::vector<float> one(queries.begin() + static_cast<std::ptrdiff_t>(q * 17),
                                             queries.begin() + static_cast<std::ptrdiff_t>((q + 1) * 17));
                auto plain = search(s.store, one, k);
                auto parallel = parallel_search(s.store, one, {k, threads});
                if (!plain || !same(*plain, quiet[q]) || !parallel || !same(*parallel, quiet[q])) ++wrong;
            }
            if (!search_batch(s.store, queries.data(), kQueries, {k, threads}, scores.data(), ids.data())) ++wrong;
            for (std::size_t q = 0; q < kQueries; ++q) {
                std::vector<ResultPair> got(k);
                for (std::size_t j = 0; j < k; ++j) got[j] = {scores[q * k + j], ids[q * k + j]};
                if (!same(got, quiet[q])) ++wrong;
            }
        }
    };
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 4; ++t) threads.emplace_back(reader, t);
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0) << "answers that differ from the quiet run's";
}

}  // namespace
}  // namespace tessaray::core
