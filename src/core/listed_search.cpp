// listed_search.cpp: searches in which every query has a list of rows of its own: only the listed rows are scored.
#include "core/listed_search.hpp"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <new>
#include <span>
#include <vector>

#include "core/batch_search.hpp"
#include "core/kernel.hpp"
#include "core/out_of_memory.hpp"
#include "core/topk.hpp"
#include "core/worker_group.hpp"

namespace tessaray::core {

namespace {

// One listed (query, row) pair.
struct Pair {
    std::size_t query;
    std::uint64_t row;
};

// How many pairs of the tail are summed side by side: independent sums that
// hide the latency of each addition, each one still added in index order.
constexpr std::size_t kSideBySide = 4;

// The scores of up to kMaxPairs pairs of one packed block, each bit for bit
// the reference's: the kernels sum them a lane per pair while they read the
// block front to back, which the hardware fetches ahead as it does for the
// other searches.  (Summed one pair at a time, each row's elements are
// kBlockRows floats apart, and scattered lists took half as long again.)
void score_block_pairs(const KernelSet& kernels, const Vectorstore& store, const float* queries,
                       const float* query_roots, const Pair* pairs, std::size_t n, float* out) noexcept {
    const std::size_t dim = store.vector_size();
    std::int32_t lanes[kMaxPairs] = {};
    std::int32_t at[kMaxPairs] = {};
    for (std::size_t t = 0; t < n; ++t) {
        lanes[t] = static_cast<std::int32_t>(pairs[t].row % kBlockRows);
        at[t] = static_cast<std::int32_t>(pairs[t].query * dim);
    }
    float sums[kMaxPairs];
    const float* block = store.blocks_data() + pairs[0].row / kBlockRows * dim * kBlockRows;
    kernels.sum_pairs(queries, at, lanes, n, block, dim, sums);
    for (std::size_t t = 0; t < n; ++t) {
        out[t] = score_from_parts(sums[t], query_roots[pairs[t].query], store.root(pairs[t].row));
    }
}

// The scores of up to kSideBySide pairs of the tail (or of a block, when the
// queries are too many for the kernels' 32-bit offsets), each bit for bit
// the reference's.  All of them step through their rows alike: a packed
// row's elements are kBlockRows floats apart, a tail row's one.
void score_pairs(const Vectorstore& store, const float* queries, const float* query_roots, const Pair* pairs,
                 std::size_t n, float* out) noexcept {
    const std::size_t dim = store.vector_size();
    const std::size_t packed = store.packed_rows();
    const float* q[kSideBySide];
    const float* r[kSideBySide];
    for (std::size_t t = 0; t < kSideBySide; ++t) {
        const Pair& p = pairs[t < n ? t : 0];
        q[t] = queries + p.query * dim;
        r[t] = p.row < packed ? store.blocks_data() + (p.row / kBlockRows) * dim * kBlockRows + p.row % kBlockRows
                              : store.tail_data() + (p.row - packed) * dim;
    }
    const std::size_t step = pairs[0].row < packed ? kBlockRows : 1;
    float sum[kSideBySide];
    for (std::size_t t = 0; t < kSideBySide; ++t) sum[t] = -0.0f;
    for (std::size_t i = 0, at = 0; i < dim; ++i, at += step) {
        for (std::size_t t = 0; t < kSideBySide; ++t) sum[t] += q[t][i] * r[t][at];
    }
    for (std::size_t t = 0; t < n; ++t) {
        out[t] = score_from_parts(sum[t], query_roots[pairs[t].query], store.root(pairs[t].row));
    }
}

// The pairs of every query, ordered by block (the tail last), each block's
// by query, each query's by row.
std::vector<Pair> pairs_by_block(const Vectorstore& store, const RowLists& lists, std::size_t count,
                                 std::vector<std::size_t>& block_start) {
    const std::size_t blocks = store.block_count() + 1;
    block_start = allocate_vector<std::size_t>(blocks + 1);
    for (const std::uint64_t row : lists.rows) ++block_start[row / kBlockRows + 1];
    for (std::size_t b = 0; b < blocks; ++b) block_start[b + 1] += block_start[b];
    auto next = allocate_vector<std::size_t>(blocks);
    std::copy(block_start.begin(), block_start.end() - 1, next.begin());
    auto pairs = allocate_vector<Pair>(lists.rows.size());
    for (std::size_t q = 0; q < count; ++q) {
        for (std::uint64_t i = lists.lims[q]; i < lists.lims[q + 1]; ++i) {
            const std::uint64_t row = lists.rows[i];
            pairs[next[row / kBlockRows]++] = {q, row};
        }
    }
    return pairs;
}

// Scores every listed pair and hands it to keep(worker, query, score, row),
// which sees each query's rows in increasing order per worker.  Workers
// take consecutive stretches of blocks with about equal numbers of pairs.
template <class Keep>
bool score_listed(const Vectorstore& store, const float* queries, std::size_t count, const RowLists& lists,
                  const SearchOptions& options, std::size_t workers, WorkerGroup& group, Keep& keep) {
    const std::size_t dim = store.vector_size();
    std::vector<std::size_t> block_start;
    const std::vector<Pair> pairs = pairs_by_block(store, lists, count, block_start);
    const std::vector<float> roots = query_roots(queries, count, dim);
    // Worker w scores the blocks [first_block[w], first_block[w + 1]).
    const std::size_t blocks = block_start.size() - 1;
    auto first_block = allocate_vector<std::size_t>(workers + 1);
    for (std::size_t w = 1; w < workers; ++w) {
        const std::size_t target = pairs.size() * w / workers;
        first_block[w] = static_cast<std::size_t>(std::upper_bound(block_start.begin(), block_start.end() - 1, target) -
                                                  block_start.begin() - 1);
        first_block[w] = std::max(first_block[w], first_block[w - 1]);
    }
    first_block[workers] = blocks;

    const KernelSet& kernels = active_kernels();
    // Whether every query's offset, in floats, fits the kernels' 32 bits.
    const bool offsets_fit = dim == 0 || count <= static_cast<std::size_t>(INT32_MAX) / dim;
    std::atomic<std::uint64_t> done{0};
    auto work = [&](std::size_t w) {
        float scores[kMaxPairs];
        for (std::size_t b = first_block[w]; b < first_block[w + 1]; ++b) {
            if (group.stop_requested()) return;
            const bool picked = offsets_fit && b < store.block_count();
            const std::size_t step = picked ? kMaxPairs : kSideBySide;
            for (std::size_t i = block_start[b]; i < block_start[b + 1]; i += step) {
                const std::size_t n = std::min(step, block_start[b + 1] - i);
                if (picked) {
                    score_block_pairs(kernels, store, queries, roots.data(), pairs.data() + i, n, scores);
                } else {
                    score_pairs(store, queries, roots.data(), pairs.data() + i, n, scores);
                }
                for (std::size_t t = 0; t < n; ++t) keep(w, pairs[i + t].query, scores[t], pairs[i + t].row);
            }
            done.fetch_add(block_start[b + 1] - block_start[b], std::memory_order_relaxed);
        }
    };
    struct Poll {
        const SearchWatch* watch;
        std::atomic<std::uint64_t>* done;
        std::uint64_t total;
        static bool poll(void* context) {
            const auto* p = static_cast<const Poll*>(context);
            return p->watch->poll(p->watch->context, p->done->load(std::memory_order_relaxed), p->total);
        }
    } poll{options.watch, &done, pairs.size()};
    const GroupWatch watch{Poll::poll, &poll, options.watch != nullptr ? options.watch->interval_ms : 0,
                           options.watch != nullptr && options.watch->edges};
    return group.run(workers, work, options.watch != nullptr ? &watch : nullptr, options.watch == nullptr);
}

std::size_t listed_workers(const RowLists& lists, const SearchOptions& options) {
    // A worker for fewer than a block's worth of pairs costs more than it saves.
    const std::size_t most = std::max<std::size_t>(1, lists.rows.size() / kBlockRows);
    return std::min(std::max<std::size_t>(1, requested_workers(options)), most);
}

std::size_t listed_keep(const RowLists& lists, std::size_t q, std::uint64_t top_k) noexcept {
    return static_cast<std::size_t>(std::min<std::uint64_t>(top_k, lists.lims[q + 1] - lists.lims[q]));
}

}  // namespace

std::size_t listed_width(const RowLists& lists, std::uint64_t top_k) noexcept {
    std::size_t width = 0;
    for (std::size_t q = 0; q + 1 < lists.lims.size(); ++q) width = std::max(width, listed_keep(lists, q, top_k));
    return width;
}

bool search_listed(const Vectorstore& store, const float* queries, std::size_t count, const RowLists& lists,
                   const SearchOptions& options, float* scores, std::uint64_t* ids) {
    const std::size_t width = listed_width(lists, options.top_k);
    if (width == 0 || count == 0) return true;
    const std::size_t workers = listed_workers(lists, options);
    // Per worker a selection per query, over its share of one buffer.
    std::size_t per_worker = 0;
    for (std::size_t q = 0; q < count; ++q) per_worker += listed_keep(lists, q, options.top_k);
    auto buffer = allocate_vector<ScoredEntry>(per_worker * workers);
    std::vector<TopK> selections;
    reserve_or_throw(selections, workers * count);
    for (std::size_t w = 0, base = 0; w < workers; ++w) {
        for (std::size_t q = 0; q < count; ++q) {
            const std::size_t k = listed_keep(lists, q, options.top_k);
            selections.emplace_back(std::span(buffer).subspan(base, k));
            base += k;
        }
    }
    auto merged = allocate_vector<ScoredEntry>(width * workers);
    auto keep = [&](std::size_t w, std::size_t q, float score, std::size_t row) {
        selections[w * count + q].offer(score, row);
    };
    WorkerGroup group;
    if (!score_listed(store, queries, count, lists, options, workers, group, keep)) return false;
    write_answers(
        store, count, workers, width, [&](std::size_t w, std::size_t q) { return selections[w * count + q].finish(); },
        merged, scores, ids);
    return true;
}

RangeEnd range_search_listed(const Vectorstore& store, const float* queries, std::size_t count, const RowLists& lists,
                             const SearchOptions& options, float threshold, std::uint64_t max_results,
                             RangeAnswers& out) {
    out.lims = allocate_vector<std::uint64_t>(count + 1);
    out.entries.clear();
    if (count == 0 || lists.rows.empty()) return RangeEnd::done;
    const std::size_t workers = listed_workers(lists, options);
    std::vector<std::vector<ScoredEntry>> found;
    reserve_or_throw(found, workers * count);
    found.resize(workers * count);
    std::atomic<std::uint64_t> total{0};
    std::atomic<bool> over{false};
    std::atomic<bool> out_of_memory{false};
    WorkerGroup group;
    auto keep = [&](std::size_t w, std::size_t q, float score, std::size_t row) {
        if (!(score >= threshold) || over.load(std::memory_order_relaxed)) return;
        if (total.fetch_add(1, std::memory_order_relaxed) + 1 > max_results) {
            over.store(true, std::memory_order_relaxed);
            group.request_stop();
            return;
        }
        try {
            found[w * count + q].push_back({score, row});
        } catch (const std::bad_alloc&) {
            out_of_memory.store(true, std::memory_order_relaxed);
            group.request_stop();
        }
    };
    const bool completed = score_listed(store, queries, count, lists, options, workers, group, keep);
    if (out_of_memory.load()) throw OutOfMemory(0);
    if (over.load()) return RangeEnd::over;
    if (!completed) return RangeEnd::stopped;
    reserve_or_throw(out.entries, static_cast<std::size_t>(total.load()));
    for (std::size_t q = 0; q < count; ++q) {
        const std::size_t start = out.entries.size();
        for (std::size_t w = 0; w < workers; ++w) {
            const std::vector<ScoredEntry>& list = found[w * count + q];
            out.entries.insert(out.entries.end(), list.begin(), list.end());
        }
        std::sort(out.entries.begin() + static_cast<std::ptrdiff_t>(start), out.entries.end(), ranks_before);
        out.lims[q + 1] = out.entries.size();
    }
    return RangeEnd::done;
}

}  // namespace tessaray::core
