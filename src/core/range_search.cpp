// range_search.cpp: every row at or above a score, for many queries: the threshold sinks' scan and its answers.
#include "core/range_search.hpp"

#include <algorithm>
#include <cstdint>
#include <span>

#include "core/batch_search.hpp"
#include "core/out_of_memory.hpp"
#include "core/work_plan.hpp"
#include "core/worker_group.hpp"

namespace tessaray::core {

// Scans `queries` with a threshold sink each, query q keeping rows from
// first_row + q + 1 on when first_row is not SIZE_MAX.
RangeEnd scan_range(const Vectorstore& store, const BatchQueries& queries, const SearchOptions& options,
                    float threshold, std::uint64_t max_results, std::size_t first_row, RangeScan& scan) {
    const std::size_t count = queries.count;
    const BatchPlan plan =
        plan_batch(batch_shape(store, queries.first_block, 1, queries.count), requested_workers(options));
    WorkerGroup group;
    scan.limit.max_results = max_results;
    scan.limit.group = &group;
    const std::size_t lists = plan.workers * count;
    scan.lists.clear();
    scan.sinks.clear();
    reserve_or_throw(scan.lists, lists);
    reserve_or_throw(scan.sinks, lists);
    scan.lists.resize(lists);
    scan.sink_of = allocate_vector<ScoreSink*>(lists);
    for (std::size_t i = 0; i < lists; ++i) {
        const std::size_t q = i % count;
        const RowPick pick{options.allow, first_row == SIZE_MAX ? 0 : first_row + q + 1};
        scan.sinks.emplace_back(threshold, pick, &scan.limit, &scan.lists[i]);
        scan.sink_of[i] = &scan.sinks.back();
    }
    const bool completed = scan_batch(store, queries, plan, options, scan.sink_of, group);
    if (scan.limit.out_of_memory.load()) throw OutOfMemory(0);
    if (scan.limit.over.load()) return RangeEnd::over;
    return completed ? RangeEnd::done : RangeEnd::stopped;
}

RangeEnd range_search(const Vectorstore& store, const float* queries, std::size_t count, const SearchOptions& options,
                      float threshold, std::uint64_t max_results, RangeAnswers& out) {
    out.lims = allocate_vector<std::uint64_t>(count + 1);
    out.entries.clear();
    if (count == 0 || store.size() == 0) return RangeEnd::done;
    RangeScan scan;
    const RangeEnd end = scan_range(store, {queries, count, 0}, options, threshold, max_results, SIZE_MAX, scan);
    if (end != RangeEnd::done) return end;
    reserve_or_throw(out.entries, static_cast<std::size_t>(scan.limit.found.load()));
    for (std::size_t q = 0; q < count; ++q) {
        gather(scan, count, q, out.entries, ranks_before);
        out.lims[q + 1] = out.entries.size();
    }
    return RangeEnd::done;
}

}  // namespace tessaray::core
