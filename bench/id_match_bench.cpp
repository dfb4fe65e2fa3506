// id_match_bench.cpp: rows_with_ids (and the per-query form) at a million rows and a hundred thousand listed ids.
//
// The goal is at most 50 ns per listed id for rows_with_ids, everything
// included (building the set and its filter, the pass over the store's ids,
// the mask), at 1,000,000 rows and 100,000 listed ids.  Half of the listed
// ids are stored ids, half are ids no row has; the stored ids are random
// 64-bit numbers, or the row numbers (the default ids of insert_many).  Each
// case runs a few untimed calls first (so that its memory is backed), then
// REPETITIONS timed calls; printed are the median wall time and the least
// thread CPU time (on a shared machine the CPU time leaves out the time the
// thread waited for a processor).
//
// Usage: id_match_bench [ROWS [LISTED [REPETITIONS]]]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
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

}  // namespace

int main(int argc, char** argv) {
    const std::size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const std::size_t listed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 100000;
    const int repetitions = argc > 3 ? std::atoi(argv[3]) : 21;
    std::mt19937_64 rng(1);
    std::printf("rows_with_ids: %zu rows, %zu listed ids (half stored), %d calls; goal: at most 50 ns per listed id\n",
                rows, listed, repetitions);
    for (const bool consecutive : {false, true}) {
        std::vector<std::uint64_t> stored(rows);
        for (std::size_t r = 0; r < rows; ++r) stored[r] = consecutive ? r : rng();
        const Vectorstore store = store_of(stored);
        std::vector<std::uint64_t> ids(listed);
        for (std::size_t k = 0; k < listed; ++k) ids[k] = k % 2 == 0 ? stored[rng() % rows] : rng() | (1ULL << 63);
        std::size_t found = 0;
        const Timing t = timing(repetitions, [&] {
            const std::vector<std::uint64_t> mask = rows_with_ids(store, ids);
            found = 0;
            for (const std::uint64_t w : mask) found += static_cast<std::size_t>(__builtin_popcountll(w));
        });
        std::printf(
            "  %-19s mask:     %7.3f ms median (%5.1f ns per listed id), %7.3f ms least CPU (%5.1f ns)"
            "  [%zu rows matched]\n",
            consecutive ? "ids 0, 1, 2, ...," : "random 64-bit ids,", t.median_wall * 1e3,
            t.median_wall * 1e9 / double(listed), t.least_cpu * 1e3, t.least_cpu * 1e9 / double(listed), found);
        // The same ids as 1,000 queries of listed / 1,000 ids each.
        const std::size_t queries = 1000;
        std::vector<std::uint64_t> lims(queries + 1);
        for (std::size_t q = 0; q <= queries; ++q) lims[q] = listed * q / queries;
        std::size_t answers = 0;
        const Timing tq = timing(repetitions, [&] {
            const RowLists lists = rows_with_ids_per_query(store, lims, ids);
            answers = lists.rows.size();
        });
        std::printf(
            "  %-19s per query: %7.3f ms median (%5.1f ns per listed id), %7.3f ms least CPU (%5.1f ns)"
            "  [%zu queries, %zu rows in the answers]\n",
            "", tq.median_wall * 1e3, tq.median_wall * 1e9 / double(listed), tq.least_cpu * 1e3,
            tq.least_cpu * 1e9 / double(listed), queries, answers);
    }
    return 0;
}
