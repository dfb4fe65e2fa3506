// work_plan.hpp: how a search cuts the store among its workers: the single query's ranges and the batch's panels.
#pragma once

#include <cstddef>

namespace tessaray::core {

// The plan of a parallel search over n rows (n >= 1) with w requested
// workers: consecutive ranges of `range_size` rows, one per worker.
struct WorkPlan {
    std::size_t workers;     // W: at least 1
    std::size_t range_size;  // C = ceil(N / W)
    std::size_t ranges;      // K = ceil(N / C)
};
WorkPlan plan_work(std::size_t n, std::size_t requested_workers) noexcept;

// The store as a batch sees it.
struct BatchShape {
    std::size_t blocks;      // packed blocks of kBlockRows rows
    std::size_t tail_rows;   // rows after them, not yet packed
    std::size_t dim;         // floats per row
    std::size_t keep;        // answers per query: min(top_k, rows), at least 1
    bool lone_tile = false;  // the queries make one tile: each panel is read once
};

// The plan of a batch: the packed blocks in panels of `panel_blocks` (the
// last may be shorter), then the tail rows as one more panel if there are
// any.  Every worker scores every query against a panel at a time, of at
// most `max_panel_blocks` blocks, small enough to stay in its core's L2
// beside the queries (with one tile of queries, larger: see plan_batch).
struct BatchPlan {
    std::size_t workers;           // at least 1, at most the blocks (when there are any)
    std::size_t max_panel_blocks;  // at least 1: the stride of a worker's scores
    std::size_t panel_blocks;      // max_panel_blocks, or fewer where that leaves a worker without a panel
    std::size_t panels;            // panels of packed blocks
    std::size_t all_panels;        // and the tail's
    // Whether a panel goes to whichever worker asks next (so that a worker
    // whose core is busy with other work takes fewer), or each worker takes
    // a fixed range of panels.  Ranges are fixed when `keep` is large against
    // the store: a worker that may take any panel keeps `keep` entries per
    // query, and fixed ranges keep the selections together at about one entry
    // per row and query rather than one per row, query and worker.
    bool dealt;
};
BatchPlan plan_batch(const BatchShape& shape, std::size_t requested_workers) noexcept;

// A worker's fixed range of panels [first, end), and the most rows it may
// score for one query (all rows when panels are dealt).
struct PanelRange {
    std::size_t first;
    std::size_t end;
    std::size_t rows;
};
PanelRange panel_range(const BatchPlan& plan, const BatchShape& shape, std::size_t worker) noexcept;

}  // namespace tessaray::core
