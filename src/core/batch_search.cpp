// batch_search.cpp: the batch search's workers, their panels of rows and tiles of queries, and the merge.
#include "core/batch_search.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <span>
#include <vector>

#include "core/cpu_count.hpp"
#include "core/fault.hpp"
#include "core/out_of_memory.hpp"
#include "core/search.hpp"
#include "core/thread_start.hpp"

namespace tessaray::core {

std::size_t batch_keep(const Vectorstore& store, std::uint64_t top_k) noexcept {
    return static_cast<std::size_t>(std::min<std::uint64_t>(top_k, store.size()));
}

namespace {

constexpr std::size_t kWorkerStack = std::size_t(2) << 20;
// The rows one worker scores every query tile against before it moves on:
// small enough to stay in its core's L2 beside the queries' tiles.
constexpr std::size_t kPanelBytes = std::size_t(256) << 10;
constexpr std::size_t kPanelBlocksForDimZero = 64;
constexpr std::size_t kLineBytes = 64;
// The fewest query tiles per unit for which the next unit is fetched ahead.
constexpr std::size_t kAheadTiles = 16;

// What every worker reads, and how the workers and the calling thread meet.
struct Batch {
    const Vectorstore* store;
    const float* queries;
    const float* query_roots;
    std::size_t count;
    std::size_t panel_blocks;
    // The rows in units: `units` units of `unit_blocks` blocks (the last may
    // be shorter), then the unpacked tail rows as one more unit if there are
    // any.  When `dealt`, a unit goes to whichever worker asks next, so that
    // a worker whose core is busy with other work takes fewer; otherwise each
    // worker takes a fixed run of them.
    std::size_t unit_blocks;
    std::size_t units;
    std::size_t all_units;
    bool dealt;
    std::atomic<std::size_t> next_unit{0};
    std::atomic<std::uint64_t> done{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable finished;
    std::size_t running = 0;  // under `mutex`

    // A lone worker runs on the calling thread and polls the watch itself,
    // between panels.
    const BatchWatch* inline_watch = nullptr;
    std::uint64_t total = 0;
    std::chrono::steady_clock::time_point next_poll;
    bool go_on = true;

    // Polls the watch unless it has asked to stop; returns whether to go on.
    bool poll(const BatchWatch& watch) noexcept {
        if (go_on) go_on = watch.poll(watch.context, done.load(std::memory_order_relaxed), total);
        if (!go_on) stop.store(true, std::memory_order_relaxed);
        return go_on;
    }
};

// One worker: the units it takes, and a selection per query over its own
// buffer.  It takes units in increasing order, so each selection sees its rows
// in store order, as a search does.
struct BatchWorker {
    Batch* batch;
    std::size_t chunk;
    std::size_t next_unit;  // its own run of units, when they are not dealt
    std::size_t end_unit;
    std::size_t base;       // where its selections' buffers start
    std::size_t per_query;  // entries kept per query: min(keep, the rows it may take)
    std::span<TopK> selections;
    std::span<float> scores;  // tile_queries rows of panel_blocks * kBlockRows scores
    bool failed = false;

    // The buffer of the selection of query q; sorted best first once finished.
    std::span<ScoredEntry> list(ScoredEntry* buffers, std::size_t q) const noexcept {
        return {buffers + base + q * per_query, per_query};
    }
};

// The worker's next unit; b.all_units or beyond when there is none.
std::size_t take_unit(Batch& b, BatchWorker& w) noexcept {
    if (b.dealt) return b.next_unit.fetch_add(1, std::memory_order_relaxed);
    return w.next_unit < w.end_unit ? w.next_unit++ : b.all_units;
}

void score_chunk(BatchWorker& w) {
    Batch& b = *w.batch;
    const Vectorstore& store = *b.store;
    const KernelSet& kernels = active_kernels();
    const std::size_t dim = store.vector_size();
    const std::size_t stride = b.panel_blocks * kBlockRows;
    std::size_t unit = take_unit(b, w);
    while (unit < b.units) {
        // The next unit is taken now, so that its rows can be asked into L2 a
        // share per tile while this one is scored, and its first tile need
        // not wait on memory.  With few tiles a unit is read about as fast as
        // memory delivers it, and the hardware's own prefetch does better.
        const std::size_t next = take_unit(b, w);
        if (b.inline_watch != nullptr && std::chrono::steady_clock::now() >= b.next_poll) {
            b.poll(*b.inline_watch);
            b.next_poll = std::chrono::steady_clock::now() + std::chrono::milliseconds(b.inline_watch->interval_ms);
        }
        if (b.stop.load(std::memory_order_relaxed)) return;
        const std::size_t block = unit * b.unit_blocks;
        const std::size_t nblocks = std::min(b.unit_blocks, store.block_count() - block);
        const std::size_t first = block * kBlockRows;
        const std::size_t rows = nblocks * kBlockRows;
        const bool fetch = next < b.units && b.count >= kAheadTiles * kernels.tile_queries;
        const std::size_t next_block = fetch ? next * b.unit_blocks : 0;
        const std::size_t next_blocks = fetch ? std::min(b.unit_blocks, store.block_count() - next_block) : 0;
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
            for (std::size_t t = 0; t < n; ++t) {
                offer_scores(w.scores.data() + t * stride, first, rows, w.selections[q0 + t], kernels.candidates);
            }
        }
        b.done.fetch_add(static_cast<std::uint64_t>(rows) * b.count, std::memory_order_relaxed);
        unit = next;
    }
    if (unit < b.all_units && !b.stop.load(std::memory_order_relaxed)) {
        const std::size_t first = store.packed_rows();
        const std::size_t rows = store.tail_rows();
        for (std::size_t q = 0; q < b.count; ++q) {
            kernels.score_rows(b.queries + q * dim, b.query_roots[q], store.tail_data(), store.roots_data() + first, dim,
                               rows, w.scores.data());
            offer_scores(w.scores.data(), first, rows, w.selections[q], kernels.candidates);
        }
        b.done.fetch_add(static_cast<std::uint64_t>(rows) * b.count, std::memory_order_relaxed);
    }
    for (TopK& selection : w.selections) selection.finish();
}

// Scores the worker's chunk; a failure is reported and marks the worker.
void run_chunk(BatchWorker* w) noexcept {
    w->failed = worker_failed([&] {
        if (testing::worker_hook != nullptr) testing::worker_hook(w->chunk);
        score_chunk(*w);
    });
    if (w->failed) w->batch->stop.store(true, std::memory_order_relaxed);
}

void* run_batch_worker(void* arg) noexcept {
    auto* w = static_cast<BatchWorker*>(arg);
    run_chunk(w);
    Batch& b = *w->batch;
    const std::lock_guard lock(b.mutex);
    if (--b.running == 0) b.finished.notify_all();
    return nullptr;
}

int start_batch_worker(pthread_t& thread, BatchWorker& worker) noexcept {
    if (testing::spawn_hook != nullptr) {
        if (const int code = testing::spawn_hook(worker.chunk); code != 0) return code;
    }
    return start_thread(thread, kWorkerStack, run_batch_worker, &worker);
}

// Waits until every started worker has signalled its end.  The watch is
// polled once at once, then every interval, and once more at the end with
// every pair scored; returns false when it asked to stop.
bool wait_for_workers(Batch& b, const BatchWatch* watch) noexcept {
    const auto poll = [&] {
        if (watch != nullptr) b.poll(*watch);
    };
    poll();
    std::unique_lock lock(b.mutex);
    const auto interval = std::chrono::milliseconds(watch != nullptr ? std::max(1u, watch->interval_ms) : 1000u);
    while (b.running != 0) {
        if (b.finished.wait_for(lock, interval, [&] { return b.running == 0; })) break;
        lock.unlock();
        poll();
        lock.lock();
    }
    lock.unlock();
    poll();
    return b.go_on;
}

// The lone worker, on the calling thread: the watch is polled when it
// starts, between panels and at the end, as wait_for_workers does.
bool run_inline(Batch& b, BatchWorker& w, const BatchWatch* watch) noexcept {
    if (watch != nullptr) {
        b.poll(*watch);
        b.inline_watch = watch;
        b.next_poll = std::chrono::steady_clock::now() + std::chrono::milliseconds(watch->interval_ms);
    }
    run_chunk(&w);
    if (watch != nullptr) b.poll(*watch);
    return b.go_on;
}

}  // namespace

bool search_batch(const Vectorstore& store, const float* queries, std::size_t count, std::uint64_t top_k,
                  std::optional<std::uint64_t> n_threads, float* scores, std::uint64_t* ids,
                  const BatchWatch* watch) {
    const std::size_t keep = batch_keep(store, top_k);
    if (keep == 0 || count == 0) return true;
    const std::size_t dim = store.vector_size();
    const std::size_t blocks = store.block_count();

    const std::size_t requested = std::max<std::size_t>(
        1, n_threads ? static_cast<std::size_t>(*n_threads) : default_worker_count().value_or(4));
    const std::size_t workers = blocks == 0 ? 1 : std::min(requested, blocks);

    Batch b;
    b.store = &store;
    b.queries = queries;
    b.count = count;
    const std::size_t block_bytes = dim * kBlockRows * sizeof(float);
    b.panel_blocks = block_bytes == 0 ? kPanelBlocksForDimZero : std::max<std::size_t>(1, kPanelBytes / block_bytes);
    // A panel per unit, or less where that leaves a worker without one.
    b.unit_blocks = std::min(b.panel_blocks, std::max<std::size_t>(1, (blocks + workers - 1) / workers));
    b.units = blocks == 0 ? 0 : (blocks + b.unit_blocks - 1) / b.unit_blocks;
    b.all_units = b.units + (store.tail_rows() != 0 ? 1 : 0);
    // A worker that may take any unit keeps `keep` entries per query.  That is
    // no more than a fixed run's rows unless `keep` is large against the
    // store; then the runs are fixed, so that the selections together hold
    // about one entry per row and query, not one per row, query and worker.
    b.dealt = keep <= store.size() / workers;
    const std::size_t tile_queries = active_kernels().tile_queries;
    const std::size_t stride = b.panel_blocks * kBlockRows;

    // Everything the workers write is allocated here, before any starts.
    auto query_roots = allocate_vector<float>(count);
    for (std::size_t q = 0; q < count; ++q) query_roots[q] = root_of(sum_squares_ref(queries + q * dim, dim));
    b.query_roots = query_roots.data();
    auto plan = allocate_vector<BatchWorker>(workers);
    std::size_t per_query_total = 0;  // selection entries per query, over every worker
    for (std::size_t c = 0; c < workers; ++c) {
        const std::size_t first = b.units * c / workers;
        const std::size_t end = c + 1 == workers ? b.all_units : b.units * (c + 1) / workers;
        std::size_t rows = store.size();
        if (!b.dealt) {
            const std::size_t end_block = std::min(blocks, end * b.unit_blocks);
            rows = (end_block - first * b.unit_blocks) * kBlockRows + (end == b.all_units ? store.tail_rows() : 0);
        }
        plan[c] = BatchWorker{&b, c, first, end, per_query_total * count, std::min(keep, rows), {}, {}};
        per_query_total += plan[c].per_query;
    }
    if (per_query_total > SIZE_MAX / count) throw_out_of_memory(SIZE_MAX);
    auto buffers = allocate_vector<ScoredEntry>(per_query_total * count);
    std::vector<TopK> selections;
    reserve_or_throw(selections, workers * count);
    auto tiles = allocate_vector<float>(workers * tile_queries * stride);
    auto threads = allocate_vector<pthread_t>(workers);
    auto merged = allocate_vector<ScoredEntry>(per_query_total);
    for (std::size_t c = 0; c < workers; ++c) {
        BatchWorker& w = plan[c];
        for (std::size_t q = 0; q < count; ++q) selections.emplace_back(w.list(buffers.data(), q));
        w.selections = std::span(selections).subspan(c * count, count);
        w.scores = std::span(tiles).subspan(c * tile_queries * stride, tile_queries * stride);
    }

    b.total = static_cast<std::uint64_t>(count) * store.size();
    std::size_t started = 0;
    int spawn_error = 0;
    bool completed = true;
    if (workers == 1) {
        // No thread to start: the calling thread scores the whole store.
        completed = run_inline(b, plan[0], watch);
    }
    for (std::size_t c = 0; c < workers && workers > 1; ++c) {
        {
            const std::lock_guard lock(b.mutex);
            ++b.running;
        }
        spawn_error = start_batch_worker(threads[c], plan[c]);
        if (spawn_error != 0) {
            const std::lock_guard lock(b.mutex);
            --b.running;
            b.stop.store(true, std::memory_order_relaxed);
            break;
        }
        ++started;
    }
    // Nothing between the first start and the last join may throw.
    char spawn_message[512] = "";
    if (spawn_error != 0) {
        describe_start_error(spawn_error, spawn_message, sizeof spawn_message);
        report_fault(spawn_message);
    }
    if (workers > 1) completed = wait_for_workers(b, spawn_error == 0 ? watch : nullptr);
    bool worker_failed = workers == 1 && plan[0].failed;
    for (std::size_t c = 0; c < started; ++c) {
        pthread_join(threads[c], nullptr);
        worker_failed = worker_failed || plan[c].failed;
    }
    if (spawn_error != 0) raise_reported_fault(spawn_message);
    if (worker_failed) raise_fault("called `Result::unwrap()` on an `Err` value: Any { .. }");
    if (!completed) return false;

    // Each worker's list is in result order and its entries carry their store
    // position, so one more selection over the lists gives the overall order.
    for (std::size_t q = 0; q < count; ++q) {
        std::size_t m = 0;
        for (BatchWorker& w : plan) {
            const std::span<ScoredEntry> list = w.list(buffers.data(), q).first(w.selections[q].size());
            std::copy(list.begin(), list.end(), merged.begin() + static_cast<std::ptrdiff_t>(m));
            m += list.size();
        }
        const auto first = merged.begin();
        std::partial_sort(first, first + static_cast<std::ptrdiff_t>(keep), first + static_cast<std::ptrdiff_t>(m),
                          ranks_before);
        for (std::size_t j = 0; j < keep; ++j) {
            scores[q * keep + j] = merged[j].score;
            ids[q * keep + j] = store.id(merged[j].index);
        }
    }
    return true;
}

}  // namespace tessaray::core
