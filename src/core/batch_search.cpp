// batch_search.cpp: the batch search: its workers' scans of panels of rows, tile of queries by tile, and the answers.
#include "core/batch_search.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <span>
#include <vector>

#include "core/cpu_count.hpp"
#include "core/out_of_memory.hpp"
#include "core/score_sink.hpp"
#include "core/work_plan.hpp"
#include "core/worker_group.hpp"

namespace tessaray::core {

std::size_t batch_keep(const Vectorstore& store, std::uint64_t top_k) noexcept {
    return static_cast<std::size_t>(std::min<std::uint64_t>(top_k, store.size()));
}

namespace {

constexpr std::size_t kLineBytes = 64;
// The fewest query tiles per panel for which the next panel is fetched ahead.
constexpr std::size_t kAheadTiles = 16;

// What every worker reads, and how the workers and the calling thread meet.
struct Batch {
    const Vectorstore* store;
    const float* queries;
    const float* query_roots;
    std::size_t count;
    BatchPlan plan;
    WorkerGroup* group;
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

// One worker: the panels it takes, and its sink for each query.  It takes
// panels in increasing order, so each sink sees its rows in store order, as a
// search's does.
struct BatchWorker {
    std::size_t next_panel;  // its own range of panels, when they are not dealt
    std::size_t end_panel;
    std::span<ScoreSink* const> sinks;  // one per query
    std::span<float> scores;            // tile_queries rows of max_panel_blocks * kBlockRows scores
};

// The worker's next panel; plan.all_panels or beyond when there is none.
std::size_t take_panel(Batch& b, BatchWorker& w) noexcept {
    if (b.plan.dealt) return b.next_panel.fetch_add(1, std::memory_order_relaxed);
    return w.next_panel < w.end_panel ? w.next_panel++ : b.plan.all_panels;
}

void scan_panels(Batch& b, BatchWorker& w) {
    const Vectorstore& store = *b.store;
    const KernelSet& kernels = active_kernels();
    const std::size_t dim = store.vector_size();
    const BatchPlan& plan = b.plan;
    const std::size_t stride = plan.max_panel_blocks * kBlockRows;
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
        const std::size_t block = panel * plan.panel_blocks;
        const std::size_t nblocks = std::min(plan.panel_blocks, store.block_count() - block);
        const std::size_t first = block * kBlockRows;
        const std::size_t rows = nblocks * kBlockRows;
        const bool fetch = next < plan.panels && b.count >= kAheadTiles * kernels.tile_queries;
        const std::size_t next_block = fetch ? next * plan.panel_blocks : 0;
        const std::size_t next_blocks = fetch ? std::min(plan.panel_blocks, store.block_count() - next_block) : 0;
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
            kernels.score_tile(tile, b.query_roots + q0, n, store.blocks_data() + first * dim,
                               store.roots_data() + first, dim, nblocks, w.scores.data(), stride);
            for (std::size_t t = 0; t < n; ++t) w.sinks[q0 + t]->take(w.scores.data() + t * stride, first, rows);
        }
        b.done.fetch_add(static_cast<std::uint64_t>(rows) * b.count, std::memory_order_relaxed);
        panel = next;
    }
    if (panel < plan.all_panels && !b.group->stop_requested()) {
        const std::size_t first = store.packed_rows();
        const std::size_t rows = store.tail_rows();
        for (std::size_t q = 0; q < b.count; ++q) {
            kernels.score_rows(b.queries + q * dim, b.query_roots[q], store.tail_data(), store.roots_data() + first,
                               dim, rows, w.scores.data());
            w.sinks[q]->take(w.scores.data(), first, rows);
        }
        b.done.fetch_add(static_cast<std::uint64_t>(rows) * b.count, std::memory_order_relaxed);
    }
    for (ScoreSink* sink : w.sinks) sink->end();
}

}  // namespace

bool search_batch(const Vectorstore& store, const float* queries, std::size_t count, const SearchOptions& options,
                  float* scores, std::uint64_t* ids) {
    const std::size_t keep = batch_keep(store, options.top_k);
    if (keep == 0 || count == 0) return true;
    const std::size_t dim = store.vector_size();
    const BatchShape shape{store.block_count(), store.tail_rows(), dim, keep};
    const std::size_t requested =
        options.n_threads ? static_cast<std::size_t>(*options.n_threads) : default_worker_count().value_or(4);
    WorkerGroup group;
    Batch b{&store, queries, nullptr, count, plan_batch(shape, requested), &group};
    const BatchPlan& plan = b.plan;
    const std::size_t workers = plan.workers;
    const std::size_t tile_queries = active_kernels().tile_queries;
    const std::size_t stride = plan.max_panel_blocks * kBlockRows;

    // Everything the workers write is allocated here, before any starts: per
    // worker a top-k sink per query, each over its share of one buffer.
    auto query_roots = allocate_vector<float>(count);
    for (std::size_t q = 0; q < count; ++q) query_roots[q] = root_of(sum_squares_ref(queries + q * dim, dim));
    b.query_roots = query_roots.data();
    auto ranges = allocate_vector<PanelRange>(workers);
    std::size_t per_query_total = 0;  // sink entries per query, over every worker
    for (std::size_t w = 0; w < workers; ++w) {
        ranges[w] = panel_range(plan, shape, w);
        ranges[w].rows = std::min(keep, ranges[w].rows);  // from here on: the entries its sinks keep
        per_query_total += ranges[w].rows;
    }
    if (per_query_total > SIZE_MAX / count) throw_out_of_memory(SIZE_MAX);
    auto buffers = allocate_vector<ScoredEntry>(per_query_total * count);
    std::vector<TopKSink> sinks;
    reserve_or_throw(sinks, workers * count);
    auto sink_of = allocate_vector<ScoreSink*>(workers * count);
    auto score_buffers = allocate_vector<float>(workers * tile_queries * stride);
    auto merged = allocate_vector<ScoredEntry>(per_query_total);
    auto plan_workers = allocate_vector<BatchWorker>(workers);
    for (std::size_t w = 0, base = 0; w < workers; base += ranges[w].rows * count, ++w) {
        for (std::size_t q = 0; q < count; ++q) {
            sinks.emplace_back(std::span(buffers).subspan(base + q * ranges[w].rows, ranges[w].rows));
            sink_of[w * count + q] = &sinks.back();
        }
        plan_workers[w] =
            BatchWorker{ranges[w].first, ranges[w].end, std::span(sink_of).subspan(w * count, count),
                        std::span(score_buffers).subspan(w * tile_queries * stride, tile_queries * stride)};
    }

    b.watch = options.watch;
    b.total = static_cast<std::uint64_t>(count) * store.size();
    b.polls_inline = workers == 1 && options.watch != nullptr;
    if (b.polls_inline) {
        b.next_poll = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.watch->interval_ms);
    }
    auto scan = [&](std::size_t w) { scan_panels(b, plan_workers[w]); };
    const GroupWatch watch{Batch::poll_of, &b, options.watch != nullptr ? options.watch->interval_ms : 0};
    if (!group.run(workers, scan, options.watch != nullptr ? &watch : nullptr, true)) return false;

    // Each worker's lists are in result order and their entries carry their
    // row, so one more selection over them gives each query's answer.
    for (std::size_t q = 0; q < count; ++q) {
        std::size_t m = 0;
        for (std::size_t w = 0; w < workers; ++w) {
            const std::span<ScoredEntry> list = sinks[w * count + q].kept();
            std::copy(list.begin(), list.end(), merged.begin() + static_cast<std::ptrdiff_t>(m));
            m += list.size();
        }
        const std::span<ScoredEntry> best = merge_best(std::span(merged).first(m), keep);
        for (std::size_t j = 0; j < keep; ++j) {
            scores[q * keep + j] = best[j].score;
            ids[q * keep + j] = store.id(best[j].index);
        }
    }
    return true;
}

}  // namespace tessaray::core
