// score_sink.hpp: where a search's scores go: the seam between the scans that compute scores and what is kept of them.
//
// Every search scans rows in increasing order and hands their scores, a panel
// (or the tail) at a time, to a sink; the single query, the parallel search's
// workers and the batch's workers all feed the same kind of sink.  The top-k
// selection is the sink of every search today; a sink that keeps every score
// above a threshold, or only the scores of allowed rows, is another
// implementation of the same interface, and no scan changes for it.
#pragma once

#include <cstddef>
#include <span>

#include "core/kernel.hpp"
#include "core/topk.hpp"

namespace tessaray::core {

class ScoreSink {
public:
    // The scores of the rows first .. first + count - 1.  A sink is fed its
    // rows in increasing order, each row once.
    virtual void take(const float* scores, std::size_t first, std::size_t count) noexcept = 0;
    // Every row has been given: called once, on the thread that fed the sink.
    virtual void end() noexcept {}

protected:
    ScoreSink() = default;
    ScoreSink(const ScoreSink&) = default;
    ScoreSink& operator=(const ScoreSink&) = default;
    ~ScoreSink() = default;
};

// The best capacity() rows in the result order (topk.hpp), kept in a
// caller's buffer.  Once full, only the scores given that may enter are
// visited: a block's scores (kBlockRows of them) are compared with the worst
// kept score by the active kernels, a register at a time.
class TopKSink final : public ScoreSink {
public:
    explicit TopKSink(std::span<ScoredEntry> buffer) noexcept
            : selection_(buffer), whole_(active_kernels().candidates) {}

    void take(const float* scores, std::size_t first, std::size_t count) noexcept override;

    // Sorts the kept rows best first.
    void end() noexcept override { kept_ = selection_.finish(); }

    std::size_t capacity() const noexcept { return selection_.capacity(); }
    // The kept rows, best first, once ended.
    std::span<ScoredEntry> kept() const noexcept { return kept_; }

private:
    TopK selection_;
    CandidatesFn whole_;
    std::span<ScoredEntry> kept_;
};

// The best `keep` of several lists, each in result order and of rows that
// are all different: `merged` holds the lists one after another, and its
// first min(keep, merged.size()) entries are the answer afterwards, best
// first.  Entries carry their row, so the list order does not matter.
std::span<ScoredEntry> merge_best(std::span<ScoredEntry> merged, std::size_t keep) noexcept;

}  // namespace tessaray::core
