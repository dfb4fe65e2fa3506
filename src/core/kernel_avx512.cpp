// kernel_avx512.cpp: the block kernel with 512-bit vectors.
//
// One 16-float register holds element i of 16 rows of a block, so each SIMD
// lane follows one row and adds that row's products in index order: the same
// operations, in the same order, as the reference.  Products and sums are
// separate instructions (never a fused multiply-add).  A block of kBlockRows
// rows takes kBlockRows / 16 registers per element, loaded from consecutive
// addresses, so the block is read as one sequential stream; the registers'
// accumulators are independent, so one add does not wait on the latency of
// the previous add of the same row.  Software prefetch (to L1 or
// non-temporal, 512 B to 2 KiB ahead) did not read faster than the hardware
// prefetcher on this one stream.
//
// Only this file's functions are compiled for AVX-512 (function attributes);
// the dispatcher calls them only on CPUs that support it.
#include <immintrin.h>

#include "core/kernel.hpp"

namespace tessaray::core {

namespace {

#define TESSARAY_AVX512 __attribute__((target("avx512f")))

constexpr std::size_t kRegs = kBlockRows / 16;  // registers per block element
static_assert(kBlockRows % 16 == 0, "whole 512-bit registers per block element");
// Blocks scored at once: at least four independent accumulators.
constexpr std::size_t kGroupBlocks = kRegs >= 4 ? 1 : 4 / kRegs;

// Turns 16 accumulated dot products into scores: dot / (query_root *
// row_root); +0.0 where either root is zero; kScoreNaN where that is NaN.
TESSARAY_AVX512 inline void finish16(__m512 dot, __m512 query_root, __mmask16 query_nonzero, const float* roots,
                                     float* scores) {
    const __m512 row_roots = _mm512_loadu_ps(roots);
    // Unordered not-equal: a NaN root is not zero and goes through the divide,
    // as in the reference; -0.0 compares equal to zero.
    const __mmask16 nonzero =
        _mm512_cmp_ps_mask(row_roots, _mm512_setzero_ps(), _CMP_NEQ_UQ) & query_nonzero;
    const __m512 denominator = _mm512_mul_ps(query_root, row_roots);
    __m512 score = _mm512_div_ps(dot, denominator);
    const __mmask16 nan = _mm512_cmp_ps_mask(score, score, _CMP_UNORD_Q);
    score = _mm512_mask_mov_ps(score, nan, _mm512_castsi512_ps(_mm512_set1_epi32(static_cast<int>(kScoreNaNBits))));
    _mm512_storeu_ps(scores, _mm512_maskz_mov_ps(nonzero, score));
}

// Scores kGroup consecutive blocks together.
template <std::size_t kGroup>
TESSARAY_AVX512 inline void score_group(const float* query, __m512 query_root, __mmask16 query_nonzero,
                                        const float* blocks, const float* roots, std::size_t dim,
                                        float* scores) {
    const std::size_t stride = dim * kBlockRows;
    __m512 acc[kGroup][kRegs];
    for (std::size_t g = 0; g < kGroup; ++g) {
        for (std::size_t r = 0; r < kRegs; ++r) acc[g][r] = _mm512_set1_ps(-0.0f);
    }
    for (std::size_t i = 0; i < dim; ++i) {
        const __m512 q = _mm512_set1_ps(query[i]);
        const float* row = blocks + i * kBlockRows;
        for (std::size_t g = 0; g < kGroup; ++g) {
            for (std::size_t r = 0; r < kRegs; ++r) {
                const __m512 product = _mm512_mul_ps(q, _mm512_loadu_ps(row + g * stride + r * 16));
                acc[g][r] = _mm512_add_ps(acc[g][r], product);
            }
        }
    }
    for (std::size_t g = 0; g < kGroup; ++g) {
        for (std::size_t r = 0; r < kRegs; ++r) {
            finish16(acc[g][r], query_root, query_nonzero, roots + g * kBlockRows + r * 16,
                     scores + g * kBlockRows + r * 16);
        }
    }
}

// Scores the last `count` (< kGroup) blocks, in one group.
template <std::size_t kGroup>
TESSARAY_AVX512 inline void score_tail(const float* query, __m512 query_root, __mmask16 query_nonzero,
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

TESSARAY_AVX512 void score_blocks_avx512(const float* query, float query_root, const float* blocks,
                                         const float* roots, std::size_t dim, std::size_t nblocks,
                                         float* scores) {
    const std::size_t stride = dim * kBlockRows;
    const __m512 q_root = _mm512_set1_ps(query_root);
    const __mmask16 query_nonzero = query_root == 0.0f ? __mmask16{0} : __mmask16{0xFFFF};

    std::size_t b = 0;
    for (; b + kGroupBlocks <= nblocks; b += kGroupBlocks) {
        score_group<kGroupBlocks>(query, q_root, query_nonzero, blocks + b * stride, roots + b * kBlockRows, dim,
                                  scores + b * kBlockRows);
    }
    score_tail<kGroupBlocks>(query, q_root, query_nonzero, blocks + b * stride, roots + b * kBlockRows, dim,
                             nblocks - b, scores + b * kBlockRows);
}

#undef TESSARAY_AVX512

}  // namespace

const KernelSet& avx512_kernels() noexcept {
    static const KernelSet set{"avx512", score_blocks_avx512};
    return set;
}

}  // namespace tessaray::core
