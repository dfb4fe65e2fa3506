// parallel.cpp: the parallel search of one query: one worker per range of the store, their lists merged.
//
// Workers read the store and the query in place and write only their own
// sink's buffer; every buffer is allocated by the calling thread before the
// first worker starts, so a worker allocates nothing.
#include <algorithm>
#include <cstdint>

#include "core/cpu_count.hpp"
#include "core/out_of_memory.hpp"
#include "core/search.hpp"
#include "core/work_plan.hpp"
#include "core/worker_group.hpp"

namespace tessaray::core {

SearchResult parallel_search(const Vectorstore& store, std::span<const float> query, const SearchOptions& options) {
    if (query.size() != store.vector_size()) {
        return unexpected(query_length_message(query.size(), store.vector_size()));
    }
    const std::size_t n = store.size();
    if (n == 0) return std::vector<ResultPair>{};

    const std::size_t requested =
        options.n_threads ? static_cast<std::size_t>(*options.n_threads) : default_worker_count().value_or(4);
    const WorkPlan plan = plan_work(n, requested);
    const std::size_t per_range = static_cast<std::size_t>(std::min<std::uint64_t>(options.top_k, plan.range_size));

    auto buffers = allocate_vector<ScoredEntry>(plan.ranges * per_range);
    std::vector<TopKSink> sinks;
    reserve_or_throw(sinks, plan.ranges);
    for (std::size_t r = 0; r < plan.ranges; ++r)
        sinks.emplace_back(std::span(buffers).subspan(r * per_range, per_range));
    const float query_root = root_of(sum_squares_ref(query.data(), query.size()));
    auto score_range = [&](std::size_t r) {
        const std::size_t begin = r * plan.range_size;
        if (per_range != 0)
            scan_rows(store, query.data(), query_root, begin, std::min(n, begin + plan.range_size), sinks[r]);
        sinks[r].end();
    };
    WorkerGroup group;
    group.run(plan.ranges, score_range, nullptr, false);

    // Each worker's list is in result order and its entries carry their row,
    // so one more selection over the lists, in range order, gives the answer.
    std::size_t merged = 0;
    for (std::size_t r = 0; r < plan.ranges; ++r) {
        const std::span<ScoredEntry> kept = sinks[r].kept();
        std::copy(kept.begin(), kept.end(), buffers.begin() + static_cast<std::ptrdiff_t>(merged));
        merged += kept.size();
    }
    const auto best = merge_best(std::span(buffers).first(merged),
                                 static_cast<std::size_t>(std::min<std::uint64_t>(options.top_k, n)));
    auto result = allocate_vector<ResultPair>(best.size());
    for (std::size_t i = 0; i < best.size(); ++i) result[i] = {best[i].score, store.id(best[i].index)};
    return result;
}

}  // namespace tessaray::core
