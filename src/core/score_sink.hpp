// score_sink.hpp: where a search's scores go: the seam between the scans that compute scores and what is kept of them.
//
// Every search scans rows in increasing order and hands their scores, a panel
// (or the tail) at a time, to a sink; the single query, the parallel search's
// workers and the batch's workers all feed the same kind of sink.  The top-k
// selection is the sink of every search today; a sink that keeps every score
// above a threshold, or only the scores of allowed rows, is another
// implementation of the same interface, and no scan changes for it.
// Sinks keep only the rows their RowPick allows.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/kernel.hpp"
#include "core/search_options.hpp"
#include "core/topk.hpp"
#include "core/worker_group.hpp"

namespace tessaray::core {

class ScoreSink {
public:
    // The scores of the rows first .. first + count - 1.  A sink is fed its
    // rows in increasing order, each row at most once: every row, except
    // that rows scoring no more than bar() may be left out.
    virtual void take(const float* scores, std::size_t first, std::size_t count) noexcept = 0;
    // A score the sink keeps no row at or below from now on, or NaN when it
    // may still keep any row.  A scan may then give it, in place of a row's
    // exact score, any score not above bar() of a row whose exact score is
    // not above it either (score_bound.hpp).
    virtual float bar() const noexcept { return std::numeric_limits<float>::quiet_NaN(); }
    // Every row has been given: called once, on the thread that fed the sink.
    virtual void end() noexcept {}

protected:
    ScoreSink() = default;
    ScoreSink(const ScoreSink&) = default;
    ScoreSink& operator=(const ScoreSink&) = default;
    ~ScoreSink() = default;
};

// Which of the rows given a sink may keep: the rows the filter allows (all
// without one), from row `from` on, except row `skip`.
struct RowPick {
    const RowFilter* allow = nullptr;
    std::size_t from = 0;
    std::size_t skip = SIZE_MAX;

    bool all() const noexcept { return allow == nullptr && from == 0 && skip == SIZE_MAX; }
    // Bit j set when row `row` + j may be kept, j < count <= kBlockRows.
    std::uint64_t bits(std::size_t row, std::size_t count) const noexcept;
};

// The best capacity() rows in the result order (topk.hpp) among those
// `pick` allows, kept in a caller's buffer.  Once full, only the scores given
// that may enter are visited: a block's scores (kBlockRows of them) are
// compared with the worst kept score by the active kernels, a register at a
// time.
class TopKSink final : public ScoreSink {
public:
    explicit TopKSink(std::span<ScoredEntry> buffer, RowPick pick = {}) noexcept
            : selection_(buffer), whole_(active_kernels().candidates), pick_(pick) {}

    void take(const float* scores, std::size_t first, std::size_t count) noexcept override;

    // Sorts the kept rows best first.
    void end() noexcept override { kept_ = selection_.finish(); }
    // Once full, a row must score above the worst kept (a later row loses
    // every tie).
    float bar() const noexcept override {
        return capacity() != 0 && selection_.full() ? selection_.worst().score
                                                    : std::numeric_limits<float>::quiet_NaN();
    }

    std::size_t capacity() const noexcept { return selection_.capacity(); }
    // Keeps the best of `entries` (distinct rows, each before every row the
    // sink will be given) as if it had been given them.
    void seed(std::span<const ScoredEntry> entries) noexcept {
        for (const ScoredEntry& e : entries) selection_.offer(e.score, e.index);
    }
    // The kept rows, best first, once ended.
    std::span<ScoredEntry> kept() const noexcept { return kept_; }

private:
    void take_picked(const float* scores, std::size_t first, std::size_t count) noexcept;

    TopK selection_;
    CandidatesFn whole_;
    RowPick pick_;
    std::span<ScoredEntry> kept_;
};

// What the threshold sinks of one search share: the count of rows kept so
// far by all of them, its bound, and why they stopped keeping.  A sink that
// would pass the bound, or cannot grow its list, stops the search's workers.
struct RangeLimit {
    std::uint64_t max_results = UINT64_MAX;
    WorkerGroup* group = nullptr;
    std::atomic<std::uint64_t> found{0};
    std::atomic<bool> over{false};           // more rows qualify than max_results
    std::atomic<bool> out_of_memory{false};  // a list could not grow
};

// Every row `pick` allows whose score is at least `threshold` (a NaN score
// never is), appended to `out` in the order given.
class RangeSink final : public ScoreSink {
public:
    RangeSink(float threshold, RowPick pick, RangeLimit* limit, std::vector<ScoredEntry>* out) noexcept;

    void take(const float* scores, std::size_t first, std::size_t count) noexcept override;
    float bar() const noexcept override { return below_; }

private:
    float below_;  // the greatest float under the threshold; NaN for a threshold of -inf
    RowPick pick_;
    CandidatesFn whole_;
    RangeLimit* limit_;
    std::vector<ScoredEntry>* out_;
};

// The best `keep` of several lists, each in result order and of rows that
// are all different: `merged` holds the lists one after another, and its
// first min(keep, merged.size()) entries are the answer afterwards, best
// first.  Entries carry their row, so the list order does not matter.
std::span<ScoredEntry> merge_best(std::span<ScoredEntry> merged, std::size_t keep) noexcept;

}  // namespace tessaray::core
