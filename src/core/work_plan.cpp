// work_plan.cpp: how a search cuts the store among its workers: the single query's ranges and the batch's panels.
#include "core/work_plan.hpp"

#include <algorithm>
#include <cstdint>

#include "core/kernel.hpp"

namespace tessaray::core {

namespace {

// The most rows of a panel, which one worker scores every tile of queries
// against before it moves on: small enough to stay in its core's L2 beside
// the queries.
constexpr std::size_t kPanelBytes = std::size_t(256) << 10;
constexpr std::size_t kPanelBlocksForDimZero = 64;

// One tile of queries reads each panel once, so its panel need not stay in
// L2 for a next tile; larger, the scan stops less often between panels (a
// lone query's batch took about 0.7 % longer than its search() with the
// panels above, and as long with these).  At most kLonePanelBlocks, so that
// the scores of a panel stay small where rows are short.
constexpr std::size_t kLonePanelBytes = std::size_t(2) << 20;
constexpr std::size_t kLonePanelBlocks = 64;

std::size_t ceil_div(std::size_t a, std::size_t b) noexcept { return a / b + (a % b != 0 ? 1 : 0); }

}  // namespace

WorkPlan plan_work(std::size_t n, std::size_t requested_workers) noexcept {
    const std::size_t w = std::max<std::size_t>(requested_workers, 1);
    const std::size_t c = ceil_div(n, w);
    const std::size_t k = c == 0 ? 0 : ceil_div(n, c);
    return {w, c, k};
}

BatchPlan plan_batch(const BatchShape& shape, std::size_t requested_workers) noexcept {
    BatchPlan p{};
    const std::size_t blocks = shape.blocks;
    p.workers = blocks == 0 ? 1 : std::min(std::max<std::size_t>(1, requested_workers), blocks);
    const std::size_t block_bytes = shape.dim * kBlockRows * sizeof(float);
    const std::size_t panel_bytes = shape.lone_tile ? kLonePanelBytes : kPanelBytes;
    // No panel is larger than the store: a small store's batch neither
    // allocates nor clears scores for blocks it does not have.
    const std::size_t most_blocks =
        std::min(shape.lone_tile ? kLonePanelBlocks : SIZE_MAX, std::max<std::size_t>(1, blocks));
    p.max_panel_blocks = block_bytes == 0 ? std::min(kPanelBlocksForDimZero, most_blocks)
                                          : std::clamp<std::size_t>(panel_bytes / block_bytes, 1, most_blocks);
    p.panel_blocks = std::min(p.max_panel_blocks, std::max<std::size_t>(1, ceil_div(blocks, p.workers)));
    p.panels = blocks == 0 ? 0 : ceil_div(blocks, p.panel_blocks);
    p.all_panels = p.panels + (shape.tail_rows != 0 ? 1 : 0);
    p.dealt = shape.keep <= (blocks * kBlockRows + shape.tail_rows) / p.workers;
    return p;
}

PanelRange panel_range(const BatchPlan& plan, const BatchShape& shape, std::size_t worker) noexcept {
    const std::size_t first = plan.panels * worker / plan.workers;
    const std::size_t end = worker + 1 == plan.workers ? plan.all_panels : plan.panels * (worker + 1) / plan.workers;
    std::size_t rows = shape.blocks * kBlockRows + shape.tail_rows;
    if (!plan.dealt) {
        const std::size_t end_block = std::min(shape.blocks, end * plan.panel_blocks);
        rows = (end_block - first * plan.panel_blocks) * kBlockRows + (end == plan.all_panels ? shape.tail_rows : 0);
    }
    return {first, end, rows};
}

}  // namespace tessaray::core
