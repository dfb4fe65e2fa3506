// batch_search.cpp: the scan under every batch: its workers' scans of panels of rows, tile of queries by tile.
#include "core/batch_search.hpp"

#include <algorithm>
#include <chrono>
#include <span>
#include <vector>

#include "core/batch_worker.hpp"
#include "core/cpu_count.hpp"
#include "core/out_of_memory.hpp"
#include "core/read_ahead.hpp"

namespace tessaray::core {

namespace {

constexpr std::size_t kLineBytes = 64;
// The fewest query tiles per panel for which the next panel is fetched ahead.
constexpr std::size_t kAheadTiles = 16;

// The worker's next panel; plan.all_panels or beyond when there is none.
std::size_t take_panel(Batch& b, BatchWorker& w) noexcept {
    if (b.plan.dealt) return b.next_panel.fetch_add(1, std::memory_order_relaxed);
    return w.next_panel < w.end_panel ? w.next_panel++ : b.plan.all_panels;
}

// Whether any row of blocks [block, block + nblocks) is allowed.
bool any_allowed(const RowFilter* allow, std::size_t block, std::size_t nblocks) noexcept {
    if (allow == nullptr) return true;
    for (std::size_t i = block; i < block + nblocks; ++i) {
        if (allow->words[i] != 0) return true;
    }
    return false;
}

// The next stretch of blocks with an allowed row in [block, end): its first
// block and its end, or end twice when there is none.
std::pair<std::size_t, std::size_t> next_stretch(const RowFilter* allow, std::size_t block, std::size_t end) noexcept {
    if (allow == nullptr) return {block, end};
    while (block < end && allow->words[block] == 0) ++block;
    std::size_t run_end = block;
    while (run_end < end && allow->words[run_end] != 0) ++run_end;
    return {block, run_end};
}

// The coded rows of `rows` from its block `at` on.
CodedRows panel_at(const CodedRows& rows, std::size_t at, std::size_t block_bytes) noexcept {
    const std::size_t first = at * kBlockRows;
    return {rows.codes + at * block_bytes, rows.weights + first, rows.offsets + first, rows.errors + first,
            rows.spans + first, rows.always + at};
}

// Codes the panel's blocks with an allowed row into the worker's panel
// codes, each at its place in the panel; the others are not read.
void code_panel(const Batch& b, BatchWorker& w, std::size_t block, std::size_t nblocks) noexcept {
    const std::size_t dim = b.store->vector_size();
    const std::size_t block_bytes = code_groups(dim) * 4 * kBlockRows;
    for (auto stretch = next_stretch(b.allow, block, block + nblocks); stretch.first < stretch.second;
         stretch = next_stretch(b.allow, stretch.second, block + nblocks)) {
        const std::size_t at = stretch.first - block;
        b.codes->kernels->code_blocks(b.store->blocks_data() + stretch.first * kBlockRows * dim,
                                      b.store->roots_data() + stretch.first * kBlockRows, dim,
                                      stretch.second - stretch.first, panel_at(w.panel, at, block_bytes));
    }
}

void scan_panels(Batch& b, BatchWorker& w) {
    const Vectorstore& store = *b.store;
    const KernelSet& kernels = active_kernels();
    const std::size_t dim = store.vector_size();
    const BatchPlan& plan = b.plan;
    const std::size_t stride = plan.max_panel_blocks * kBlockRows;
    const std::size_t blocks = store.block_count();
    auto panel_first = [&](std::size_t panel) { return b.first_block + panel * plan.panel_blocks; };
    auto panel_size = [&](std::size_t panel) { return std::min(plan.panel_blocks, blocks - panel_first(panel)); };
    ReadAhead file_ahead(store, b.first_block, blocks);
    std::size_t panel = take_panel(b, w);
    while (panel < plan.panels) {
        // The next panel is taken now, so that its rows can be asked into L2
        // a share per tile while this one is scored, and its first tile need
        // not wait on memory.  With few tiles a panel is read about as fast
        // as memory delivers it, and the hardware's own prefetch does better.
        const std::size_t next = take_panel(b, w);
        if (b.polls_inline && std::chrono::steady_clock::now() >= b.next_poll) {
            b.poll();
            b.next_poll = std::chrono::steady_clock::now() + std::chrono::milliseconds(b.watch->interval_ms);
        }
        if (b.group->stop_requested()) return;
        const std::size_t block = panel_first(panel);
        const std::size_t nblocks = panel_size(panel);
        const std::size_t rows = nblocks * kBlockRows;
        // A filter's blocks are read where they lie, not a window ahead.
        if (b.allow == nullptr) file_ahead.at(block);
        b.done.fetch_add(static_cast<std::uint64_t>(rows) * b.count, std::memory_order_relaxed);
        // Blocks without an allowed row are neither read nor fetched.
        if (!any_allowed(b.allow, block, nblocks)) {
            panel = next;
            continue;
        }
        if (b.codes->kernels != nullptr) code_panel(b, w, block, nblocks);
        for (std::size_t j = 0; j < w.known.size() && j < nblocks; ++j) {
            const std::size_t at = (block + j) * kBlockRows;
            // With row sinks only the zero rows that no query can enter.
            w.known[j] = b.rows == nullptr ? known_rows(store.roots_data() + at)
                                           : KnownRows{b.rows->settled_zeros(store.roots_data(), at), 0};
        }
        if (b.rows != nullptr) {
            w.rows_bar = b.rows->lowest_bar(store.roots_data(), block * kBlockRows, (block + nblocks) * kBlockRows);
            for (std::size_t q = 0; q < b.count; ++q) refresh_limit(b, w, q);
        }
        const bool fetch = next < plan.panels && b.count >= kAheadTiles * kernels.tile_queries &&
                           any_allowed(b.allow, panel_first(next), panel_size(next));
        const std::size_t next_block = fetch ? panel_first(next) : 0;
        const std::size_t next_blocks = fetch ? panel_size(next) : 0;
        const char* ahead = reinterpret_cast<const char*>(store.blocks_data() + next_block * kBlockRows * dim);
        const std::size_t ahead_lines = next_blocks * kBlockRows * dim * sizeof(float) / kLineBytes;
        const std::size_t lines_per_tile = (ahead_lines * kernels.tile_queries + b.count - 1) / b.count;
        std::size_t line = 0;
        for (std::size_t q0 = 0; q0 < b.count; q0 += kernels.tile_queries) {
            for (const std::size_t end = std::min(ahead_lines, line + lines_per_tile); line < end; ++line) {
                __builtin_prefetch(ahead + line * kLineBytes, 0, 2);
            }
            const std::size_t n = std::min(kernels.tile_queries, b.count - q0);
            const float* tile[kMaxTileQueries];
            for (std::size_t t = 0; t < n; ++t) tile[t] = b.queries + (q0 + t) * dim;
            for (auto stretch = next_stretch(b.allow, block, block + nblocks); stretch.first < stretch.second;
                 stretch = next_stretch(b.allow, stretch.second, block + nblocks)) {
                const std::size_t first = stretch.first * kBlockRows;
                const std::size_t stretch_blocks = stretch.second - stretch.first;
                float* out = w.scores.data() + (stretch.first - block) * kBlockRows;
                const float* stretch_data = store.blocks_data() + first * dim;
                const float* stretch_roots = store.roots_data() + first;
                // The queries whose limits hold are ruled on by the bounded
                // tile; the others (a sink that may still keep any row, a
                // query whose root the bound does not cover) are scored
                // exactly, without holding the rest of the tile to that.
                const TileSplit split = split_tile(b, w, q0, n, tile);
                const SubTile& bounded = split.bounded;
                const SubTile& exact = split.exact;
                const SubTile& zero = split.zero;
                if (bounded.count != 0) {
                    // Only the blocks with a marked row are scored exactly and go to the sink.
                    const std::uint64_t* allowed = b.allow != nullptr ? b.allow->words + stretch.first : nullptr;
                    CodedQuery coded[kCodeTileQueries];
                    if (coded_limits(b, w, bounded, coded)) {
                        b.codes->kernels->bound_codes(
                            coded, bounded.count,
                            panel_at(w.panel, stretch.first - block, code_groups(dim) * 4 * kBlockRows), dim,
                            stretch_blocks, allowed, w.hits.data());
                    } else {
                        kernels.bound_tile(bounded.rows, bounded.limits, bounded.count, stretch_data, stretch_roots,
                                           dim, stretch_blocks, allowed, w.hits.data(), q0 == 0);
                    }
                    for (std::size_t t = 0; t < bounded.count; ++t) {
                        const std::size_t q = bounded.query[t];
                        for (std::size_t j = 0; j < stretch_blocks; ++j) {
                            std::uint64_t marked = w.hits[t * stretch_blocks + j];
                            if (!w.known.empty()) {
                                marked &= ~unwanted(w.known[stretch.first - block + j], bounded.limits[t]);
                            }
                            if (marked == 0) continue;
                            if (w.exact.size == kExactQueue) score_queued(b, w);
                            ExactQueue& e = w.exact;
                            e.blocks[e.size] = {bounded.rows[t],
                                                b.query_roots[q],
                                                stretch_data + j * dim * kBlockRows,
                                                stretch_roots + j * kBlockRows,
                                                marked,
                                                e.scores + e.size * kBlockRows};
                            e.query[e.size] = q;
                            e.first[e.size] = first + j * kBlockRows;
                            ++e.size;
                        }
                    }
                }
                if (exact.count == 0 && zero.count == 0) continue;
                score_queued(b, w);
                const std::size_t stretch_rows = stretch_blocks * kBlockRows;
                if (exact.count != 0) {
                    kernels.score_tile(exact.rows, exact.roots, exact.count, stretch_data, stretch_roots, dim,
                                       stretch_blocks, out, stride, q0 == 0 && bounded.count == 0);
                }
                for (std::size_t t = 0; t < exact.count + zero.count; ++t) {
                    float* scores = out + t * stride;
                    if (t >= exact.count) std::fill_n(scores, stretch_rows, 0.0f);
                    const std::size_t q = t < exact.count ? exact.query[t] : zero.query[t - exact.count];
                    w.sinks[q]->take(scores, first, stretch_rows);
                    if (b.rows != nullptr) b.rows->give(scores, stride, q, 1, first, stretch_rows);
                    refresh_limit(b, w, q);
                }
            }
        }
        // Every query's limit is worked out again before its next panel.
        score_queued(b, w);
        panel = next;
    }
    const std::size_t first = store.packed_rows();
    const std::size_t rows = store.tail_rows();
    if (panel < plan.all_panels && !b.group->stop_requested() && (b.allow == nullptr || b.allow->words[blocks] != 0)) {
        for (std::size_t q = 0; q < b.count; ++q) {
            kernels.score_rows(b.queries + q * dim, b.query_roots[q], store.tail_data(), store.roots_data() + first,
                               dim, rows, w.scores.data());
            w.sinks[q]->take(w.scores.data(), first, rows);
            if (b.rows != nullptr) b.rows->give(w.scores.data(), 0, q, 1, first, rows);
        }
    }
    if (panel < plan.all_panels)
        b.done.fetch_add(static_cast<std::uint64_t>(rows) * b.count, std::memory_order_relaxed);
    for (ScoreSink* sink : w.sinks) sink->end();
}

}  // namespace

std::vector<float> query_roots(const float* queries, std::size_t count, std::size_t dim) {
    auto roots = allocate_vector<float>(count);
    for (std::size_t q = 0; q < count; ++q) roots[q] = root_of(sum_squares_ref(queries + q * dim, dim));
    return roots;
}

BatchShape batch_shape(const Vectorstore& store, std::size_t first_block, std::size_t keep,
                       std::size_t count) noexcept {
    return {store.block_count() - first_block, store.tail_rows(), store.vector_size(), keep,
            count <= active_kernels().tile_queries};
}

std::size_t requested_workers(const SearchOptions& options) {
    return options.n_threads ? static_cast<std::size_t>(*options.n_threads) : default_worker_count().value_or(4);
}

bool scan_batch(const Vectorstore& store, const BatchQueries& queries, const BatchPlan& plan,
                const SearchOptions& options, std::span<ScoreSink* const> sinks, WorkerGroup& group,
                const RowSinks* rows) {
    const std::size_t count = queries.count;
    const std::size_t workers = plan.workers;
    const std::size_t dim = store.vector_size();
    // A batch of fewer queries than a tile needs buffers for only those.
    const std::size_t tile_queries = std::min(active_kernels().tile_queries, count);
    const std::size_t stride = plan.max_panel_blocks * kBlockRows;
    const BatchShape shape = batch_shape(store, queries.first_block, 1, count);
    // Everything the workers use is allocated here, before any starts.
    const std::vector<float> roots = query_roots(queries.rows, count, dim);
    const QueryCodes codes = code_queries(active_kernels(), queries.rows, count, dim);
    Batch b{&store, queries.rows, roots.data(), count, queries.first_block, plan, &group, options.allow, &codes, rows};
    PanelBuffers panels(codes.kernels != nullptr, workers, plan.max_panel_blocks, dim);
    auto score_buffers = allocate_vector<float>(workers * tile_queries * stride);
    auto hit_buffers = allocate_vector<std::uint64_t>(workers * tile_queries * plan.max_panel_blocks);
    // Rows whose scores are known, taken out of the marks where no sink can keep them.
    const std::size_t known_per_worker = count >= 2 ? plan.max_panel_blocks : 0;
    auto known_buffers = allocate_vector<KnownRows>(workers * known_per_worker);
    // Each worker's bars and limits, one of each per query (sinks.size() =
    // workers * count); from NaN bars, the first refresh_limit sets every limit.
    auto bar_buffers = allocate_vector<float>(sinks.size());
    std::fill(bar_buffers.begin(), bar_buffers.end(), kScoreNaN);
    auto limit_buffers = allocate_vector<float>(sinks.size());
    auto coded_buffers = allocate_vector<CodedLimit>(codes.kernels != nullptr ? sinks.size() : 0);
    const std::size_t coded_per_worker = codes.kernels != nullptr ? count : 0;
    std::vector<BatchWorker> plan_workers;
    reserve_or_throw(plan_workers, workers);
    for (std::size_t w = 0; w < workers; ++w) {
        const PanelRange range = panel_range(plan, shape, w);
        plan_workers.emplace_back(
            range.first, range.end, sinks.subspan(w * count, count),
            std::span(score_buffers).subspan(w * tile_queries * stride, tile_queries * stride),
            std::span(hit_buffers)
                .subspan(w * tile_queries * plan.max_panel_blocks, tile_queries * plan.max_panel_blocks),
            std::span(known_buffers).subspan(w * known_per_worker, known_per_worker),
            std::span(bar_buffers).subspan(w * count, count), std::span(limit_buffers).subspan(w * count, count),
            std::span(coded_buffers).subspan(w * coded_per_worker, coded_per_worker), panels.of(w));
        for (std::size_t q = 0; q < count; ++q) refresh_limit(b, plan_workers[w], q);
    }

    b.watch = options.watch;
    b.total = static_cast<std::uint64_t>(count) * (store.size() - queries.first_block * kBlockRows);
    b.polls_inline = workers == 1 && options.watch != nullptr;
    if (b.polls_inline) {
        b.next_poll = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.watch->interval_ms);
    }
    auto scan = [&](std::size_t w) { scan_panels(b, plan_workers[w]); };
    const GroupWatch watch{Batch::poll_of, &b, options.watch != nullptr ? options.watch->interval_ms : 0,
                           options.watch != nullptr && options.watch->edges};
    return group.run(workers, scan, options.watch != nullptr ? &watch : nullptr, true);
}

}  // namespace tessaray::core
