// batch_tiles.cpp: a batch worker's queue of blocks to score exactly, and the split of each tile by how its queries are scored.
#include <algorithm>

#include "core/batch_worker.hpp"

namespace tessaray::core {

void score_queued(const Batch& b, BatchWorker& w) noexcept {
    ExactQueue& e = w.exact;
    if (e.size == 0) return;
    active_kernels().score_exact(e.blocks, e.size, b.store->vector_size());
    for (std::size_t i = 0; i < e.size; ++i) {
        w.sinks[e.query[i]]->take(e.blocks[i].out, e.first[i], kBlockRows);
        if (b.rows != nullptr) b.rows->give_marked(e.blocks[i].out, e.blocks[i].rows, e.query[i], e.first[i]);
        refresh_limit(b, w, e.query[i]);
    }
    e.size = 0;
}

TileSplit split_tile(const Batch& b, const BatchWorker& w, std::size_t q0, std::size_t n,
                     const float* const* tile) noexcept {
    bool all = b.count >= 2;
    for (std::size_t t = 0; t < n && all && b.rows != nullptr; ++t) all = w.limits[q0 + t] == w.limits[q0 + t];
    TileSplit split;
    for (std::size_t t = 0; t < n; ++t) {
        const std::size_t q = q0 + t;
        const float limit = w.limits[q];
        SubTile& sub = b.query_roots[q] == 0.0f ? split.zero : all && limit == limit ? split.bounded : split.exact;
        sub.query[sub.count] = q;
        sub.rows[sub.count] = tile[t];
        sub.roots[sub.count] = b.query_roots[q];
        sub.limits[sub.count] = limit;
        ++sub.count;
    }
    return split;
}

bool coded_limits(const Batch& b, const BatchWorker& w, const SubTile& sub, CodedQuery* coded) noexcept {
    if (b.codes->kernels == nullptr) return false;
    for (std::size_t t = 0; t < sub.count; ++t) {
        const std::size_t q = sub.query[t];
        const CodedLimit limit = w.coded_limits[q];
        const QueryCode& code = b.codes->coded[q];
        if (limit.limit != limit.limit) return false;
        coded[t] = {b.codes->codes.data() + q * b.codes->stride, limit.limit, limit.room, code.norm, code.error};
    }
    return true;
}

}  // namespace tessaray::core
