// batch_worker.hpp: what a batch's workers share and what each holds, and the pieces of a worker's scan of a panel.
//
// Internal to the batch's scan (batch_search.cpp, batch_tiles.cpp).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "core/batch_codes.hpp"
#include "core/kernel.hpp"
#include "core/row_sinks.hpp"
#include "core/score_bound.hpp"
#include "core/score_sink.hpp"
#include "core/search_options.hpp"
#include "core/store.hpp"
#include "core/work_plan.hpp"
#include "core/worker_group.hpp"

namespace tessaray::core {

// What every worker reads, and how the workers and the calling thread meet.
struct Batch {
    const Vectorstore* store;
    const float* queries;
    const float* query_roots;
    std::size_t count;
    std::size_t first_block;  // the scan's panels start here
    const BatchPlan& plan;
    WorkerGroup* group;
    const RowFilter* allow;                  // or null: every block is read
    const QueryCodes* codes;                 // codes.kernels null: the bound sums floats
    const RowSinks* rows;                    // or null: only the queries' sinks are fed
    std::atomic<std::size_t> next_panel{0};  // the next dealt panel
    std::atomic<std::uint64_t> done{0};

    const SearchWatch* watch = nullptr;
    std::uint64_t total = 0;
    bool go_on = true;
    // A lone worker runs on the calling thread and polls the watch itself,
    // between panels.
    bool polls_inline = false;
    std::chrono::steady_clock::time_point next_poll{};

    // Polls the watch unless it has asked to stop; returns whether to go on.
    bool poll() noexcept {
        if (go_on) go_on = watch->poll(watch->context, done.load(std::memory_order_relaxed), total);
        if (!go_on) group->request_stop();
        return go_on;
    }
    static bool poll_of(void* batch) noexcept { return static_cast<Batch*>(batch)->poll(); }
};

// The most blocks a worker holds back for exact scoring before it scores
// them: a bounded tile marks few rows, and their blocks, scored together,
// overlap their chains of adds (kernel.hpp).
constexpr std::size_t kExactQueue = 32;

// The blocks the bounded tiles marked rows of, to be scored exactly and then
// given to their queries' sinks, in the order they were marked.  It is made
// uncleared, since each entry is written before it is read: clearing (and
// copying) its 10 KiB on every call took longer than scanning a tiny store.
struct ExactQueue {
    ExactQueue() noexcept {}  // not = default, which would clear the entries
    std::size_t size = 0;
    ExactBlock blocks[kExactQueue];
    std::size_t query[kExactQueue];
    std::size_t first[kExactQueue];  // the block's first row
    alignas(64) float scores[kExactQueue * kBlockRows];
};

// One worker: the panels it takes, and its sink for each query.  It takes
// panels in increasing order, so each sink sees its rows in store order, as a
// search's does.
struct BatchWorker {
    std::size_t next_panel;  // its own range of panels, when they are not dealt
    std::size_t end_panel;
    std::span<ScoreSink* const> sinks;  // one per query
    std::span<float> scores;            // tile_queries rows of max_panel_blocks * kBlockRows scores
    std::span<std::uint64_t> hits;      // tile_queries * max_panel_blocks masks of the rows to score exactly
    // Each panel block's rows whose scores are known (with row sinks, the
    // settled zero rows): a query's marks of those no sink can keep are
    // taken out again.
    std::span<KnownRows> known;
    // Per query, its sink's bar when last asked and the limit for that bar
    // (NaN while the bound does not apply).  A bar moves only when its sink
    // takes rows, so they are asked again only then: asking every sink of
    // a tile before each block cost 2-3 % of a batch.
    std::span<float> bars;
    std::span<float> limits;
    // With codes, each query's coded_limit() of its limit, and the panel's rows coded.
    std::span<CodedLimit> coded_limits;
    CodedRows panel;
    // With row sinks, the lowest of the bars of those in the panel (NaN while
    // one may keep any row, +inf with none): every query's bar is taken no
    // higher.
    float rows_bar = std::numeric_limits<float>::infinity();
    // Blocks marked by the bounded tiles.
    ExactQueue exact;
};

// The lower of two bars, NaN when either is.
inline float lower_bar(float a, float b) noexcept { return a != a || b != b ? kScoreNaN : std::min(a, b); }

// Works query q's limit out again when its sink's bar (or the row sinks')
// has moved.  Inline: the scan asks it of every query after every stretch.
inline void refresh_limit(const Batch& b, BatchWorker& w, std::size_t q) noexcept {
    const float bar = lower_bar(w.sinks[q]->bar(), w.rows_bar);
    // A NaN bar (a sink that may still keep any row) never equals the one
    // kept, and its limit is NaN.
    if (bar == w.bars[q]) return;
    w.bars[q] = bar;
    w.limits[q] = bound_limit(bar, b.query_roots[q], b.store->vector_size());
    if (b.codes->kernels != nullptr) {
        w.coded_limits[q] = coded_limit(w.limits[q], b.codes->coded[q].scale, b.store->vector_size());
    }
}

// Scores the queued blocks and gives them to their sinks.  A query's
// blocks are queued in row order, and the queue is emptied before its sink
// is given rows any other way, so each sink still sees its rows in order;
// the row sinks are given the marked rows' scores, the queries in order.
void score_queued(const Batch& b, BatchWorker& w) noexcept;

// Some of a tile's queries: query[t] (of the batch) for t < count, its row
// and root, and its limit where the bounded tile takes it.
struct SubTile {
    std::size_t count = 0;
    std::size_t query[kMaxTileQueries];
    const float* rows[kMaxTileQueries];
    float roots[kMaxTileQueries];
    float limits[kMaxTileQueries];
};

// A tile's queries by how each is scored: by the bounded tile, exactly, or
// not at all (a zero query's every score is 0, score_from_parts()).
struct TileSplit {
    SubTile bounded;
    SubTile exact;
    SubTile zero;
};

// The queries q0 .. q0 + n - 1 (rows `tile`) split: zero where their roots
// are 0, bounded where their limits hold, the others exact.  A lone query's
// scan is bound by reading, not arithmetic, so the bounded tile takes none
// of a batch of one.  With row sinks it takes the whole tile or none of it:
// there the rows the bounded tile marks whatever their sums are scored one
// block at a time for every query, and a tile that has to be scored exactly
// for one query is cheaper scored so for all (a graph with one zero row in
// ten took 1.5 x as long split).
TileSplit split_tile(const Batch& b, const BatchWorker& w, std::size_t q0, std::size_t n,
                     const float* const* tile) noexcept;

// Whether the bounded queries of `sub` may be ruled on in codes: their
// coded queries then go to `coded`.
bool coded_limits(const Batch& b, const BatchWorker& w, const SubTile& sub, CodedQuery* coded) noexcept;

}  // namespace tessaray::core
