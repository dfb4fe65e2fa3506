// kernel_avx2.cpp: the block kernel with 256-bit vectors.
//
// A block's kBlockRows rows take kBlockRows / 8 registers per element,
// loaded from consecutive addresses; each SIMD lane follows one row and adds
// that row's products in index order, as the reference does.  Products and
// sums are separate instructions (never a fused multiply-add).  The
// registers' accumulators are independent, which hides the latency of the
// adds.
//
// Only this file's functions are compiled for AVX2 (function attributes); the
// dispatcher calls them only on CPUs that support it.
#include <immintrin.h>

#include "core/kernel.hpp"

namespace tessaray::core {

namespace {

#define TESSARAY_AVX2 __attribute__((target("avx2")))

constexpr std::size_t kRegs = kBlockRows / 8;  // registers per block element
static_assert(kBlockRows % 8 == 0, "whole 256-bit registers per block element");
// Blocks scored at once: at least eight independent accumulators.
constexpr std::size_t kGroupBlocks = kRegs >= 8 ? 1 : 8 / kRegs;

// dot / (query_root * row_root) for 8 rows; +0.0 where either root is zero;
// kScoreNaN where that is NaN.
TESSARAY_AVX2 inline void finish8(__m256 dot, __m256 query_root, __m256 query_nonzero, const float* roots,
                                  float* scores) {
    const __m256 row_roots = _mm256_loadu_ps(roots);
    // Unordered not-equal: a NaN root is not zero and goes through the divide,
    // as in the reference; -0.0 compares equal to zero.
    const __m256 nonzero =
        _mm256_and_ps(_mm256_cmp_ps(row_roots, _mm256_setzero_ps(), _CMP_NEQ_UQ), query_nonzero);
    __m256 score = _mm256_div_ps(dot, _mm256_mul_ps(query_root, row_roots));
    const __m256 nan = _mm256_cmp_ps(score, score, _CMP_UNORD_Q);
    score = _mm256_blendv_ps(score, _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(kScoreNaNBits))), nan);
    _mm256_storeu_ps(scores, _mm256_and_ps(score, nonzero));
}

// Scores kGroup consecutive blocks together.
template <std::size_t kGroup>
TESSARAY_AVX2 inline void score_group(const float* query, __m256 query_root, __m256 query_nonzero,
                                      const float* blocks, const float* roots, std::size_t dim, float* scores) {
    const std::size_t stride = dim * kBlockRows;
    __m256 acc[kGroup][kRegs];
    for (std::size_t g = 0; g < kGroup; ++g) {
        for (std::size_t r = 0; r < kRegs; ++r) acc[g][r] = _mm256_set1_ps(-0.0f);
    }
    for (std::size_t i = 0; i < dim; ++i) {
        const __m256 q = _mm256_set1_ps(query[i]);
        const float* row = blocks + i * kBlockRows;
        for (std::size_t g = 0; g < kGroup; ++g) {
            for (std::size_t r = 0; r < kRegs; ++r) {
                const __m256 product = _mm256_mul_ps(q, _mm256_loadu_ps(row + g * stride + r * 8));
                acc[g][r] = _mm256_add_ps(acc[g][r], product);
            }
        }
    }
    for (std::size_t g = 0; g < kGroup; ++g) {
        for (std::size_t r = 0; r < kRegs; ++r) {
            finish8(acc[g][r], query_root, query_nonzero, roots + g * kBlockRows + r * 8,
                    scores + g * kBlockRows + r * 8);
        }
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
    const std::size_t stride = dim * kBlockRows;
    const __m256 q_root = _mm256_set1_ps(query_root);
    const __m256 query_nonzero =
        query_root == 0.0f ? _mm256_setzero_ps() : _mm256_castsi256_ps(_mm256_set1_epi32(-1));

    std::size_t b = 0;
    for (; b + kGroupBlocks <= nblocks; b += kGroupBlocks) {
        score_group<kGroupBlocks>(query, q_root, query_nonzero, blocks + b * stride, roots + b * kBlockRows, dim,
                                  scores + b * kBlockRows);
    }
    score_tail<kGroupBlocks>(query, q_root, query_nonzero, blocks + b * stride, roots + b * kBlockRows, dim,
                             nblocks - b, scores + b * kBlockRows);
}

#undef TESSARAY_AVX2

}  // namespace

const KernelSet& avx2_kernels() noexcept {
    static const KernelSet set{"avx2", score_blocks_avx2};
    return set;
}

}  // namespace tessaray::core
