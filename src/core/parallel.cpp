// parallel.cpp: the parallel search, one worker thread per chunk of the store.
//
// The calling thread plans the chunks, starts one worker per chunk in chunk
// order, joins them in chunk order and merges their selections.  Workers read
// the store and the query in place and write only their own slot; every
// buffer they write is allocated by the calling thread before the first one
// starts, so a worker allocates nothing.  No worker outlives the call.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "core/cpu_count.hpp"
#include "core/fault.hpp"
#include "core/out_of_memory.hpp"
#include "core/search.hpp"
#include "core/thread_start.hpp"

namespace tessaray::core {

namespace testing {
void (*worker_hook)(std::size_t chunk) = nullptr;
int (*spawn_hook)(std::size_t chunk) = nullptr;
}  // namespace testing

WorkPlan plan_work(std::size_t n, std::size_t requested_workers) noexcept {
    const std::size_t w = std::max<std::size_t>(requested_workers, 1);
    const std::size_t c = n / w + (n % w != 0 ? 1 : 0);
    const std::size_t k = c == 0 ? 0 : n / c + (n % c != 0 ? 1 : 0);
    return {w, c, k};
}

namespace {

constexpr std::size_t kWorkerStack = std::size_t(2) << 20;

// What a worker shares with the calling thread.
struct Worker {
    const Vectorstore* store;
    std::span<const float> query;
    float query_root;
    std::size_t chunk;
    std::size_t begin;
    std::size_t end;
    std::span<ScoredEntry> buffer;  // room for min(top_k, chunk length) entries
    std::atomic<std::size_t>* running;

    // The result slot: the kept entries, or the fact that the worker failed.
    std::size_t kept = 0;
    bool failed = false;
};

void* run_worker(void* arg) noexcept {
    auto* w = static_cast<Worker*>(arg);
    w->failed = worker_failed([&] {
        if (testing::worker_hook != nullptr) testing::worker_hook(w->chunk);
        TopK selection(w->buffer);
        score_range(*w->store, w->query, w->query_root, w->begin, w->end, selection);
        w->kept = selection.finish().size();
    });
    // The slot is written: let the calling thread know this worker is done.
    if (w->running->fetch_sub(1, std::memory_order_acq_rel) == 1) w->running->notify_all();
    return nullptr;
}

// Starts the worker's thread; returns 0 or the error number of a refused start.
int start_worker(pthread_t& thread, Worker& worker) noexcept {
    if (testing::spawn_hook != nullptr) {
        if (const int code = testing::spawn_hook(worker.chunk); code != 0) return code;
    }
    return start_thread(thread, kWorkerStack, run_worker, &worker);
}

}  // namespace

SearchResult parallel_search(const Vectorstore& store, std::span<const float> query, std::uint64_t top_k,
                             std::optional<std::uint64_t> n_threads) {
    if (query.size() != store.vector_size()) {
        return unexpected(query_length_message(query.size(), store.vector_size()));
    }
    const std::size_t n = store.size();
    if (n == 0) return std::vector<ResultPair>{};

    const std::size_t requested = n_threads ? static_cast<std::size_t>(*n_threads) : default_worker_count().value_or(4);
    const WorkPlan plan = plan_work(n, requested);
    const std::size_t per_chunk = static_cast<std::size_t>(std::min<std::uint64_t>(top_k, plan.chunk_size));

    // Everything the workers write is allocated here, before any starts.
    auto buffers = allocate_vector<ScoredEntry>(plan.chunks * per_chunk);
    auto workers = allocate_vector<Worker>(plan.chunks);
    auto threads = allocate_vector<pthread_t>(plan.chunks);
    auto merged = allocate_vector<ScoredEntry>(plan.chunks * per_chunk);
    std::size_t merged_count = 0;
    std::atomic<std::size_t> running{0};
    const float query_root = root_of(sum_squares_ref(query.data(), query.size()));

    std::size_t started = 0;
    int spawn_error = 0;
    for (std::size_t c = 0; c < plan.chunks; ++c) {
        const std::size_t begin = c * plan.chunk_size;
        workers[c] = Worker{&store, query, query_root, c, begin, std::min(n, begin + plan.chunk_size),
                            std::span(buffers).subspan(c * per_chunk, per_chunk), &running};
        running.fetch_add(1, std::memory_order_acq_rel);
        spawn_error = start_worker(threads[c], workers[c]);
        if (spawn_error != 0) {
            running.fetch_sub(1, std::memory_order_acq_rel);
            break;
        }
        ++started;
    }
    // Nothing between the first start and the last join may throw: every
    // started worker must be joined before the call ends.
    char spawn_message[512] = "";
    if (spawn_error != 0) {
        describe_start_error(spawn_error, spawn_message, sizeof spawn_message);
        report_fault(spawn_message);
    }

    // Collect in chunk order.  After a failure the remaining workers are still
    // joined, and their lists discarded.
    bool worker_failed = false;
    for (std::size_t c = 0; c < started; ++c) {
        pthread_join(threads[c], nullptr);
        if (spawn_error != 0 || worker_failed) continue;
        if (workers[c].failed) {
            worker_failed = true;
            continue;
        }
        const auto kept = workers[c].buffer.first(workers[c].kept);
        std::copy(kept.begin(), kept.end(), merged.begin() + static_cast<std::ptrdiff_t>(merged_count));
        merged_count += kept.size();
    }
    for (std::size_t left = running.load(std::memory_order_acquire); left != 0;
         left = running.load(std::memory_order_acquire)) {
        running.wait(left, std::memory_order_acquire);
    }

    if (spawn_error != 0) raise_reported_fault(spawn_message);
    if (worker_failed) raise_fault("called `Result::unwrap()` on an `Err` value: Any { .. }");

    // The chunk lists are each in result order; entries carry their store
    // position, so one more selection over them gives the overall order.
    const std::size_t keep = std::min<std::size_t>(per_chunk == 0 ? 0 : static_cast<std::size_t>(top_k), merged_count);
    const auto first = merged.begin();
    std::partial_sort(first, first + static_cast<std::ptrdiff_t>(keep), first + static_cast<std::ptrdiff_t>(merged_count),
                      ranks_before);
    auto result = allocate_vector<ResultPair>(keep);
    for (std::size_t i = 0; i < keep; ++i) result[i] = {merged[i].score, store.id(merged[i].index)};
    return result;
}

}  // namespace tessaray::core
