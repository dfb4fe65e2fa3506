// kernel_codes.cpp: the bounded tile in 8-bit codes: rows and queries coded to bytes, summed exactly in integers (AVX-512 VNNI).
//
// A row's code is round(x_i * s) with s = 127 / max |x_i|, a query's the
// same plus 128 (so unsigned, as vpdpbusd takes it).  One vpdpbusd sums four
// products of 16 rows against one query, four times the floats a fused
// multiply-add takes, and twice its rate here.  Integer sums are exact, and
// score_bound.hpp turns the coding's error into the test the tile makes.
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#include "core/kernel.hpp"
#include "core/score_bound.hpp"

// GCC 12's AVX-512 intrinsics pass an undefined register as the unused
// source of their masked builtins, which it then warns of at every call.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace tessaray::core {

namespace {

#define TESSARAY_CODES_TARGET __attribute__((target("avx512f,avx512bw,avx512vnni")))

constexpr std::size_t kRowRegs = kBlockRows / 16;

// The codes of the rows of `nblocks` blocks of the store's layout, in the
// tile's (kernel.hpp's CodeBlocksFn).
TESSARAY_CODES_TARGET void code_blocks_vnni(const float* blocks, const float* roots, std::size_t dim,
                                            std::size_t nblocks, std::int8_t* codes, float* weights, float* offsets,
                                            std::uint64_t* always) {
    const std::size_t groups = code_groups(dim);
    const __m512 low = _mm512_set1_ps(kBoundRootLow);
    const __m512 high = _mm512_set1_ps(kBoundRootHigh);
    const __m512i most = _mm512_set1_epi32(127);
    const __m512i least = _mm512_set1_epi32(-127);
    const __m512i byte = _mm512_set1_epi32(0xFF);
    for (std::size_t b = 0; b < nblocks; ++b) {
        const float* block = blocks + b * dim * kBlockRows;
        std::int8_t* out = codes + b * groups * kBlockRows * 4;
        // Each pass reads the block front to back, an element's four lines at a time.
        __m512 top[kRowRegs];
        for (std::size_t r = 0; r < kRowRegs; ++r) top[r] = _mm512_setzero_ps();
        for (std::size_t i = 0; i < dim; ++i) {
            for (std::size_t r = 0; r < kRowRegs; ++r) {
                top[r] = _mm512_max_ps(top[r], _mm512_abs_ps(_mm512_loadu_ps(block + i * kBlockRows + r * 16)));
            }
        }
        std::uint64_t odd = 0;
        __m512 scale[kRowRegs];
        for (std::size_t r = 0; r < kRowRegs; ++r) {
            // A root in the bound's range makes every element finite and the
            // largest at least root / sqrt(dim): the scale is a number.  The
            // other rows are coded as zeros and always marked.
            const __m512 root = _mm512_loadu_ps(roots + b * kBlockRows + r * 16);
            const __mmask16 coded =
                _mm512_cmp_ps_mask(root, low, _CMP_GE_OQ) & _mm512_cmp_ps_mask(root, high, _CMP_LE_OQ);
            odd |= std::uint64_t{static_cast<__mmask16>(~coded)} << (r * 16);
            scale[r] = _mm512_maskz_div_ps(coded, _mm512_set1_ps(kCodeMax), top[r]);
            _mm512_storeu_ps(weights + b * kBlockRows + r * 16, _mm512_mul_ps(root, scale[r]));
        }
        always[b] = odd;
        __m512i sum[kRowRegs];
        __m512i magnitude[kRowRegs];
        for (std::size_t r = 0; r < kRowRegs; ++r) sum[r] = magnitude[r] = _mm512_setzero_si512();
        for (std::size_t g = 0; g < groups; ++g) {
            __m512i packed[kRowRegs];
            for (std::size_t r = 0; r < kRowRegs; ++r) packed[r] = _mm512_setzero_si512();
            for (std::size_t e = 0; e < 4 && g * 4 + e < dim; ++e) {
                for (std::size_t r = 0; r < kRowRegs; ++r) {
                    const __m512 x = _mm512_loadu_ps(block + (g * 4 + e) * kBlockRows + r * 16);
                    // Rounded to nearest, ties to even (the default mode).
                    __m512i code = _mm512_cvtps_epi32(_mm512_mul_ps(x, scale[r]));
                    code = _mm512_max_epi32(_mm512_min_epi32(code, most), least);
                    sum[r] = _mm512_add_epi32(sum[r], code);
                    magnitude[r] = _mm512_add_epi32(magnitude[r], _mm512_abs_epi32(code));
                    packed[r] = _mm512_or_si512(
                        packed[r], _mm512_slli_epi32(_mm512_and_si512(code, byte), static_cast<unsigned>(8 * e)));
                }
            }
            for (std::size_t r = 0; r < kRowRegs; ++r) {
                _mm512_storeu_si512(out + (g * kBlockRows + r * 16) * 4, packed[r]);
            }
        }
        for (std::size_t r = 0; r < kRowRegs; ++r) {
            alignas(64) std::int32_t sums[16];
            alignas(64) std::int32_t magnitudes[16];
            _mm512_store_si512(sums, sum[r]);
            _mm512_store_si512(magnitudes, magnitude[r]);
            for (std::size_t j = 0; j < 16; ++j) {
                offsets[b * kBlockRows + r * 16 + j] = code_offset(sums[j], static_cast<std::uint32_t>(magnitudes[j]));
            }
        }
    }
}

template <std::size_t Count, bool Filtered>
TESSARAY_CODES_TARGET void bound_codes_fixed(const std::uint8_t* const* queries, const float* limits,
                                             const float* rooms, const std::int8_t* codes, const float* weights,
                                             const float* offsets, const std::uint64_t* always, std::size_t dim,
                                             std::size_t nblocks, const std::uint64_t* allowed, std::uint64_t* hits) {
    const std::size_t groups = code_groups(dim);
    for (std::size_t b = 0; b < nblocks; ++b) {
        const std::int8_t* block = codes + b * groups * kBlockRows * 4;
        __m512i acc[Count][kRowRegs];
        for (std::size_t t = 0; t < Count; ++t) {
            for (std::size_t r = 0; r < kRowRegs; ++r) acc[t][r] = _mm512_setzero_si512();
        }
        for (std::size_t g = 0; g < groups; ++g) {
            __m512i rows[kRowRegs];
            for (std::size_t r = 0; r < kRowRegs; ++r) rows[r] = _mm512_loadu_si512(block + (g * kBlockRows + r * 16) * 4);
            for (std::size_t t = 0; t < Count; ++t) {
                std::int32_t four;
                __builtin_memcpy(&four, queries[t] + g * 4, 4);
                const __m512i q = _mm512_set1_epi32(four);
                for (std::size_t r = 0; r < kRowRegs; ++r) acc[t][r] = _mm512_dpbusd_epi32(acc[t][r], q, rows[r]);
            }
        }
        const std::uint64_t may = Filtered ? allowed[b] : ~std::uint64_t{0};
        std::uint64_t block_hits[Count] = {};
        for (std::size_t r = 0; r < kRowRegs; ++r) {
            const __m512 weight = _mm512_loadu_ps(weights + b * kBlockRows + r * 16);
            const __m512 offset = _mm512_loadu_ps(offsets + b * kBlockRows + r * 16);
            for (std::size_t t = 0; t < Count; ++t) {
                // Never fused: score_bound.hpp counts a rounding per operation.
                const __m512 bar = _mm512_sub_ps(
                    _mm512_add_ps(_mm512_mul_ps(_mm512_set1_ps(limits[t]), weight), offset), _mm512_set1_ps(rooms[t]));
                const __mmask16 kept = _mm512_cmp_ps_mask(_mm512_cvtepi32_ps(acc[t][r]), bar, _CMP_NLT_UQ);
                block_hits[t] |= std::uint64_t{kept} << (r * 16);
            }
        }
        for (std::size_t t = 0; t < Count; ++t) hits[t * nblocks + b] = (block_hits[t] | always[b]) & may;
    }
}

template <bool Filtered, std::size_t... Counts>
TESSARAY_CODES_TARGET void bound_codes_any(std::index_sequence<Counts...>, const std::uint8_t* const* queries,
                                           const float* limits, const float* rooms, std::size_t count,
                                           const std::int8_t* codes, const float* weights, const float* offsets,
                                           const std::uint64_t* always, std::size_t dim, std::size_t nblocks,
                                           const std::uint64_t* allowed, std::uint64_t* hits) {
    ((count == Counts + 1 ? bound_codes_fixed<Counts + 1, Filtered>(queries, limits, rooms, codes, weights, offsets,
                                                                    always, dim, nblocks, allowed, hits)
                          : void()),
     ...);
}

TESSARAY_CODES_TARGET void bound_codes_vnni(const std::uint8_t* const* queries, const float* limits,
                                            const float* rooms, std::size_t count, const std::int8_t* codes,
                                            const float* weights, const float* offsets, const std::uint64_t* always,
                                            std::size_t dim, std::size_t nblocks, const std::uint64_t* allowed,
                                            std::uint64_t* hits) {
    constexpr auto counts = std::make_index_sequence<kCodeTileQueries>();
    if (allowed != nullptr) {
        bound_codes_any<true>(counts, queries, limits, rooms, count, codes, weights, offsets, always, dim, nblocks,
                              allowed, hits);
    } else {
        bound_codes_any<false>(counts, queries, limits, rooms, count, codes, weights, offsets, always, dim, nblocks,
                               allowed, hits);
    }
}

#undef TESSARAY_CODES_TARGET

}  // namespace

float code_query(const float* query, std::size_t dim, std::uint8_t* codes, std::uint32_t* magnitude) noexcept {
    float top = 0.0f;
    for (std::size_t i = 0; i < dim; ++i) top = std::max(top, std::fabs(query[i]));
    const float scale = top > 0.0f && std::isfinite(top) ? kCodeMax / top : 0.0f;
    std::uint32_t total = 0;
    for (std::size_t i = 0; i < code_groups(dim) * 4; ++i) {
        const std::int32_t code =
            i < dim ? std::clamp(static_cast<std::int32_t>(std::nearbyint(query[i] * scale)), -127, 127) : 0;
        total += static_cast<std::uint32_t>(std::abs(code));
        codes[i] = static_cast<std::uint8_t>(code + 128);
    }
    *magnitude = total;
    return scale;
}

CodeKernels code_kernels() noexcept {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vnni")) {
        return {code_blocks_vnni, bound_codes_vnni};
    }
    return {};
}

}  // namespace tessaray::core
