// id_match_bench.cpp: rows_with_ids (and the per-query form) at a million rows and a hundred thousand listed ids.
//
// The goal is at most 50 ns per listed id for rows_with_ids, everything
// included (building the set or bitmap, the pass over the store's ids, the
// mask), at 1,000,000 rows and 100,000 listed ids.  The cases:
//
//   random   the stored ids are random 64-bit numbers; half of the listed
//            ids are stored ids, half are ids no row has;
//   rows     the stored ids are the row numbers (the default ids of
//            insert_many); the listed ids are a random tenth of them, in
//            random order, each once (as bench/filter_search.py lists them);
//   far      the stored ids are the row numbers; half of the listed ids are
//            stored ids, half are random ids past 2**63 (no row has them, and
//            they spread the list over the whole range).
//
// The per-query form runs on the same store: 256 queries of 1,000 ids each
// (drawn as the case draws its list).  Each case runs a few untimed calls
// first (so that its memory is backed), then REPETITIONS timed calls;
// printed are the median wall time and the least thread CPU time (on a
// shared machine the CPU time leaves out the time the thread waited for a
// processor).
//
// Usage: id_match_bench [ROWS [LISTED [REPETITIONS]]]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <numeric>
#include <random>
#include <vector>

#include "core/id_match.hpp"
#include "core/store.hpp"

using namespace tessaray::core;

namespace {

struct Timing {
    double median_wall;
    double least_cpu;
};

double thread_cpu() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

template <class F>
Timing timing(int repetitions, F&& f) {
    for (int i = 0; i < 3; ++i) f();
    std::vector<double> times;
    double least = 1e300;
    for (int i = 0; i < repetitions; ++i) {
        const double c0 = thread_cpu();
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const auto t1 = std::chrono::steady_clock::now();
        least = std::min(least, thread_cpu() - c0);
        times.push_back(std::chrono::duration<double>(t1 - t0).count());
    }
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], least};
}

Vectorstore store_of(const std::vector<std::uint64_t>& ids) {
    Vectorstore store(0);  // the rows' floats play no part: ids only
    store.append_rows(ids.size(), ids.data(), {nullptr, [](void*, std::size_t, std::size_t, float*) {}});
    return store;
}

enum class Case { random, rows, far };

// `count` ids listed as `kind` lists them against `stored`.
std::vector<std::uint64_t> listed_ids(Case kind, const std::vector<std::uint64_t>& stored, std::size_t count,
                                      std::mt19937_64& rng) {
    std::vector<std::uint64_t> ids(count);
    if (kind == Case::rows) {
        // A random sample of distinct rows, in random order.
        std::vector<std::uint64_t> all(stored);
        for (std::size_t k = 0; k < count && k < all.size(); ++k) {
            std::swap(all[k], all[k + rng() % (all.size() - k)]);
            ids[k] = all[k];
        }
        return ids;
    }
    for (std::size_t k = 0; k < count; ++k) ids[k] = k % 2 == 0 ? stored[rng() % stored.size()] : rng() | (1ULL << 63);
    return ids;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const std::size_t listed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 100000;
    const int repetitions = argc > 3 ? std::atoi(argv[3]) : 21;
    constexpr std::size_t kQueries = 256, kPerQuery = 1000;
    std::mt19937_64 rng(1);
    std::printf("rows_with_ids: %zu rows, %zu listed ids, %d calls; goal: at most 50 ns per listed id\n", rows, listed,
                repetitions);
    for (const Case kind : {Case::random, Case::rows, Case::far}) {
        const char* name = kind == Case::random ? "random" : kind == Case::rows ? "rows" : "far";
        std::vector<std::uint64_t> stored(rows);
        for (std::size_t r = 0; r < rows; ++r) stored[r] = kind == Case::random ? rng() : r;
        const Vectorstore store = store_of(stored);
        const std::vector<std::uint64_t> ids = listed_ids(kind, stored, listed, rng);
        std::size_t found = 0;
        const Timing t = timing(repetitions, [&] {
            const std::vector<std::uint64_t> mask = rows_with_ids(store, ids);
            found = 0;
            for (const std::uint64_t w : mask) found += static_cast<std::size_t>(__builtin_popcountll(w));
        });
        std::printf(
            "  %-7s mask:      %7.3f ms median (%5.1f ns per listed id), %7.3f ms least CPU (%5.1f ns)"
            "  [%zu rows matched]\n",
            name, t.median_wall * 1e3, t.median_wall * 1e9 / double(listed), t.least_cpu * 1e3,
            t.least_cpu * 1e9 / double(listed), found);
        std::vector<std::uint64_t> lims(kQueries + 1), query_ids;
        for (std::size_t q = 0; q < kQueries; ++q) {
            const std::vector<std::uint64_t> some = listed_ids(kind, stored, kPerQuery, rng);
            query_ids.insert(query_ids.end(), some.begin(), some.end());
            lims[q + 1] = query_ids.size();
        }
        std::size_t answers = 0;
        const Timing tq = timing(repetitions, [&] {
            const RowLists lists = rows_with_ids_per_query(store, lims, query_ids);
            answers = lists.rows.size();
        });
        std::printf("  %-7s per query: %7.3f ms median, %7.3f ms least CPU  [%zu x %zu ids, %zu rows in the answers]\n",
                    "", tq.median_wall * 1e3, tq.least_cpu * 1e3, kQueries, kPerQuery, answers);
    }
    return 0;
}
