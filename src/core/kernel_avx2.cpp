// kernel_avx2.cpp: the block kernel with 256-bit vectors.
//
// A block's 16 rows take two 8-float registers per element (lanes 0-7 and
// 8-15); each SIMD lane follows one row and adds that row's products in index
// order, as the reference does.  Products and sums are separate instructions
// (never a fused multiply-add).  Four blocks are scored at once, eight
// independent accumulators, to hide the latency of the adds.
//
// Only this file's functions are compiled for AVX2 (function attributes); the
// dispatcher calls them only on CPUs that support it.
#include <immintrin.h>

#include "core/kernel.hpp"

namespace tessaray::core {

namespace {

#define TESSARAY_AVX2 __attribute__((target("avx2")))

// dot / (query_root * row_root) for 8 rows, and +0.0 where either root is zero.
TESSARAY_AVX2 inline void finish_half(__m256 dot, __m256 query_root, __m256 query_nonzero, const float* roots,
                                      float* scores) {
    const __m256 row_roots = _mm256_loadu_ps(roots);
    // Unordered not-equal: a NaN root is not zero and goes through the divide,
    // as in the reference; -0.0 compares equal to zero.
    const __m256 nonzero =
        _mm256_and_ps(_mm256_cmp_ps(row_roots, _mm256_setzero_ps(), _CMP_NEQ_UQ), query_nonzero);
    const __m256 score = _mm256_div_ps(dot, _mm256_mul_ps(query_root, row_roots));
    _mm256_storeu_ps(scores, _mm256_and_ps(score, nonzero));
}

// Scores kGroup consecutive blocks together.
template <std::size_t kGroup>
TESSARAY_AVX2 inline void score_group(const float* query, __m256 query_root, __m256 query_nonzero,
                                      const float* blocks, const float* roots, std::size_t dim, float* scores) {
    const std::size_t stride = dim * kBlockRows;
    __m256 lo[kGroup];
    __m256 hi[kGroup];
    for (std::size_t g = 0; g < kGroup; ++g) lo[g] = hi[g] = _mm256_set1_ps(-0.0f);
    for (std::size_t i = 0; i < dim; ++i) {
        const __m256 q = _mm256_set1_ps(query[i]);
        const float* row = blocks + i * kBlockRows;
        for (std::size_t g = 0; g < kGroup; ++g) {
            const __m256 p_lo = _mm256_mul_ps(q, _mm256_loadu_ps(row + g * stride));
            const __m256 p_hi = _mm256_mul_ps(q, _mm256_loadu_ps(row + g * stride + 8));
            lo[g] = _mm256_add_ps(lo[g], p_lo);
            hi[g] = _mm256_add_ps(hi[g], p_hi);
        }
    }
    for (std::size_t g = 0; g < kGroup; ++g) {
        const float* r = roots + g * kBlockRows;
        float* s = scores + g * kBlockRows;
        finish_half(lo[g], query_root, query_nonzero, r, s);
        finish_half(hi[g], query_root, query_nonzero, r + 8, s + 8);
    }
}

// Scores the last `count` (< kGroup) blocks, in one group.
template <std::size_t kGroup>
TESSARAY_AVX2 inline void score_tail(const float* query, __m256 query_root, __m256 query_nonzero,
                                     const float* blocks, const float* roots, std::size_t dim, std::size_t count,
                                     float* scores) {
    if constexpr (kGroup > 1) {
        if (count == kGroup - 1) {
            score_group<kGroup - 1>(query, query_root, query_nonzero, blocks, roots, dim, scores);
        } else {
            score_tail<kGroup - 1>(query, query_root, query_nonzero, blocks, roots, dim, count, scores);
        }
    }
}

TESSARAY_AVX2 void score_blocks_avx2(const float* query, float query_root, const float* blocks, const float* roots,
                                     std::size_t dim, std::size_t nblocks, float* scores) {
    static_assert(kBlockRows == 16, "two 256-bit registers per block element");
    // Four blocks: with two, the adds' latency, not memory, set the pace.
    constexpr std::size_t kInFlight = 4;
    const std::size_t stride = dim * kBlockRows;
    const __m256 q_root = _mm256_set1_ps(query_root);
    const __m256 query_nonzero =
        query_root == 0.0f ? _mm256_setzero_ps() : _mm256_castsi256_ps(_mm256_set1_epi32(-1));

    std::size_t b = 0;
    for (; b + kInFlight <= nblocks; b += kInFlight) {
        score_group<kInFlight>(query, q_root, query_nonzero, blocks + b * stride, roots + b * kBlockRows, dim,
                               scores + b * kBlockRows);
    }
    score_tail<kInFlight>(query, q_root, query_nonzero, blocks + b * stride, roots + b * kBlockRows, dim,
                          nblocks - b, scores + b * kBlockRows);
}

#undef TESSARAY_AVX2

}  // namespace

const KernelSet& avx2_kernels() noexcept {
    static const KernelSet set{"avx2", score_blocks_avx2};
    return set;
}

}  // namespace tessaray::core
