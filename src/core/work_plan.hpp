// work_plan.hpp: how a search cuts the store among its workers: the single query's ranges and the batch's units.
#pragma once

#include <cstddef>

namespace tessaray::core {

// The plan of a parallel search over n rows (n >= 1) with w requested
// workers: consecutive ranges of `chunk_size` rows, one per worker.
struct WorkPlan {
    std::size_t workers;     // W: at least 1
    std::size_t chunk_size;  // C = ceil(N / W)
    std::size_t chunks;      // K = ceil(N / C)
};
WorkPlan plan_work(std::size_t n, std::size_t requested_workers) noexcept;

// The store as a batch sees it.
struct BatchShape {
    std::size_t blocks;     // packed blocks of kBlockRows rows
    std::size_t tail_rows;  // rows after them, not yet packed
    std::size_t dim;        // floats per row
    std::size_t keep;       // answers per query: min(top_k, rows), at least 1
};

// The plan of a batch: the packed blocks in units of `unit_blocks` (the last
// may be shorter), then the tail rows as one more unit if there are any.
// Every worker scores every query against a panel of `panel_blocks` blocks
// at a time, small enough to stay in its core's L2 beside the queries.
struct BatchPlan {
    std::size_t workers;       // at least 1, at most the blocks (when there are any)
    std::size_t panel_blocks;  // at least 1
    std::size_t unit_blocks;   // a panel, or less where that leaves a worker without a unit
    std::size_t units;         // units of packed blocks
    std::size_t all_units;     // and the tail's
    // Whether a unit goes to whichever worker asks next (so that a worker
    // whose core is busy with other work takes fewer), or each worker takes
    // a fixed run of units.  Runs are fixed when `keep` is large against the
    // store: a worker that may take any unit keeps `keep` entries per query,
    // and fixed runs keep the selections together at about one entry per row
    // and query rather than one per row, query and worker.
    bool dealt;
};
BatchPlan plan_batch(const BatchShape& shape, std::size_t requested_workers) noexcept;

// A worker's fixed run of units [first, end), and the most rows it may score
// for one query (all rows when units are dealt).
struct UnitRun {
    std::size_t first;
    std::size_t end;
    std::size_t rows;
};
UnitRun unit_run(const BatchPlan& plan, const BatchShape& shape, std::size_t worker) noexcept;

}  // namespace tessaray::core
