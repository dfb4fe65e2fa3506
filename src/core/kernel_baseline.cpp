// kernel_baseline.cpp: the portable block kernel.
//
// The inner loop runs across the rows of a block, each row with its own
// accumulator, so the compiler may vectorise it with baseline SIMD without
// changing the order of any row's additions.
#include "core/kernel.hpp"

namespace tessaray::core {

namespace {

void score_blocks_baseline(const float* query, float query_root, const float* blocks, const float* roots,
                           std::size_t dim, std::size_t nblocks, float* scores) {
    for (std::size_t b = 0; b < nblocks; ++b) {
        const float* block = blocks + b * dim * kBlockRows;
        float acc[kBlockRows];
        for (std::size_t lane = 0; lane < kBlockRows; ++lane) acc[lane] = -0.0f;
        for (std::size_t i = 0; i < dim; ++i) {
            const float q = query[i];
            const float* row = block + i * kBlockRows;
            for (std::size_t lane = 0; lane < kBlockRows; ++lane) {
                const float product = q * row[lane];
                acc[lane] += product;
            }
        }
        for (std::size_t lane = 0; lane < kBlockRows; ++lane) {
            scores[b * kBlockRows + lane] = score_from_parts(acc[lane], query_root, roots[b * kBlockRows + lane]);
        }
    }
}

}  // namespace

const KernelSet& baseline_kernels() noexcept {
    static const KernelSet set{"baseline", score_blocks_baseline};
    return set;
}

}  // namespace tessaray::core
