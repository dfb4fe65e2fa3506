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
// tile's (kernel.hpp's CodedRows).
TESSARAY_CODES_TARGET void code_blocks_vnni(const float* blocks, const float* roots, std::size_t dim,
                                            std::size_t nblocks, const CodedRows& out) {
    const std::size_t groups = code_groups(dim);
    const __m512 low = _mm512_set1_ps(kBoundRootLow);
    const __m512 high = _mm512_set1_ps(kBoundRootHigh);
    const __m512i most = _mm512_set1_epi32(127);
    const __m512i least = _mm512_set1_epi32(-127);
    const __m512i byte = _mm512_set1_epi32(0xFF);
    const float n = static_cast<float>(dim);
    const __m512 lost = _mm512_set1_ps(1.0f + 2.0f * n * 0x1p-24f);
    const __m512 underflow = _mm512_set1_ps(n * 0x1p-100f);
    const __m512 drift = _mm512_set1_ps(std::sqrt(n) * 127.01f * 0x1p-24f);
    const __m512 up = _mm512_set1_ps(1.0f + 0x1p-16f);
    for (std::size_t b = 0; b < nblocks; ++b) {
        const float* block = blocks + b * dim * kBlockRows;
        std::int8_t* codes = out.codes + b * groups * kBlockRows * 4;
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
            _mm512_storeu_ps(out.weights + b * kBlockRows + r * 16, _mm512_mul_ps(root, scale[r]));
        }
        out.always[b] = odd;
        __m512i sum[kRowRegs];
        __m512 squares[kRowRegs];
        __m512 errors[kRowRegs];
        for (std::size_t r = 0; r < kRowRegs; ++r) {
            sum[r] = _mm512_setzero_si512();
            squares[r] = errors[r] = _mm512_setzero_ps();
        }
        for (std::size_t g = 0; g < groups; ++g) {
            __m512i packed[kRowRegs];
            for (std::size_t r = 0; r < kRowRegs; ++r) packed[r] = _mm512_setzero_si512();
            for (std::size_t e = 0; e < 4 && g * 4 + e < dim; ++e) {
                for (std::size_t r = 0; r < kRowRegs; ++r) {
                    const __m512 x =
                        _mm512_mul_ps(_mm512_loadu_ps(block + (g * 4 + e) * kBlockRows + r * 16), scale[r]);
                    // Rounded to nearest, ties to even (the default mode).
                    __m512i code = _mm512_cvtps_epi32(x);
                    code = _mm512_max_epi32(_mm512_min_epi32(code, most), least);
                    const __m512 exact = _mm512_cvtepi32_ps(code);
                    const __m512 error = _mm512_sub_ps(x, exact);
                    errors[r] = _mm512_fmadd_ps(error, error, errors[r]);
                    squares[r] = _mm512_fmadd_ps(exact, exact, squares[r]);
                    sum[r] = _mm512_add_epi32(sum[r], code);
                    packed[r] = _mm512_or_si512(
                        packed[r], _mm512_slli_epi32(_mm512_and_si512(code, byte), static_cast<unsigned>(8 * e)));
                }
            }
            for (std::size_t r = 0; r < kRowRegs; ++r) {
                _mm512_storeu_si512(codes + (g * kBlockRows + r * 16) * 4, packed[r]);
            }
        }
        for (std::size_t r = 0; r < kRowRegs; ++r) {
            const std::size_t first = b * kBlockRows + r * 16;
            _mm512_storeu_ps(out.offsets + first, _mm512_mul_ps(_mm512_cvtepi32_ps(sum[r]), _mm512_set1_ps(128.0f)));
            // Each norm's square was summed with fused steps, each rounded
            // once: at most n u of it lost (with what underflow lost, for the
            // errors).  Each error is within 127.01 u of the rounded part.
            // `up` covers the roundings of these few steps many times over.
            const __m512 error =
                _mm512_mul_ps(_mm512_add_ps(_mm512_sqrt_ps(_mm512_fmadd_ps(errors[r], lost, underflow)), drift), up);
            const __m512 span =
                _mm512_mul_ps(_mm512_add_ps(_mm512_sqrt_ps(_mm512_mul_ps(squares[r], lost)), error), up);
            _mm512_storeu_ps(out.errors + first, error);
            _mm512_storeu_ps(out.spans + first, span);
        }
    }
}

template <std::size_t Count, bool Filtered>
TESSARAY_CODES_TARGET void bound_codes_fixed(const CodedQuery* queries, const CodedRows& rows, std::size_t dim,
                                             std::size_t nblocks, const std::uint64_t* allowed, std::uint64_t* hits) {
    const std::size_t groups = code_groups(dim);
    for (std::size_t b = 0; b < nblocks; ++b) {
        const std::int8_t* block = rows.codes + b * groups * kBlockRows * 4;
        __m512i acc[Count][kRowRegs];
        for (std::size_t t = 0; t < Count; ++t) {
            for (std::size_t r = 0; r < kRowRegs; ++r) acc[t][r] = _mm512_setzero_si512();
        }
        for (std::size_t g = 0; g < groups; ++g) {
            __m512i codes[kRowRegs];
            for (std::size_t r = 0; r < kRowRegs; ++r) {
                codes[r] = _mm512_loadu_si512(block + (g * kBlockRows + r * 16) * 4);
            }
            for (std::size_t t = 0; t < Count; ++t) {
                std::int32_t four;
                __builtin_memcpy(&four, queries[t].codes + g * 4, 4);
                const __m512i q = _mm512_set1_epi32(four);
                for (std::size_t r = 0; r < kRowRegs; ++r) acc[t][r] = _mm512_dpbusd_epi32(acc[t][r], q, codes[r]);
            }
        }
        const std::uint64_t may = Filtered ? allowed[b] : ~std::uint64_t{0};
        std::uint64_t block_hits[Count] = {};
        for (std::size_t r = 0; r < kRowRegs; ++r) {
            const std::size_t first = b * kBlockRows + r * 16;
            const __m512 weight = _mm512_loadu_ps(rows.weights + first);
            const __m512 offset = _mm512_loadu_ps(rows.offsets + first);
            const __m512 error = _mm512_loadu_ps(rows.errors + first);
            const __m512 span = _mm512_loadu_ps(rows.spans + first);
            for (std::size_t t = 0; t < Count; ++t) {
                const CodedQuery& q = queries[t];
                __m512 bar = _mm512_fmadd_ps(_mm512_set1_ps(q.limit), weight, offset);
                bar = _mm512_fnmadd_ps(_mm512_set1_ps(q.norm), error, bar);
                bar = _mm512_fnmadd_ps(_mm512_set1_ps(q.error), span, bar);
                bar = _mm512_sub_ps(bar, _mm512_set1_ps(q.room));
                const __mmask16 kept = _mm512_cmp_ps_mask(_mm512_cvtepi32_ps(acc[t][r]), bar, _CMP_NLT_UQ);
                block_hits[t] |= std::uint64_t{kept} << (r * 16);
            }
        }
        for (std::size_t t = 0; t < Count; ++t) hits[t * nblocks + b] = (block_hits[t] | rows.always[b]) & may;
    }
}

#include "core/kernel_codes-inl.hpp"

#undef TESSARAY_CODES_TARGET

}  // namespace

QueryCode code_query(const float* query, std::size_t dim, std::uint8_t* codes) noexcept {
    float top = 0.0f;
    for (std::size_t i = 0; i < dim; ++i) top = std::max(top, std::fabs(query[i]));
    const float scale = top > 0.0f && std::isfinite(top) ? kCodeMax / top : 0.0f;
    // Each product is exact in double, and so is each error.
    double squares = 0.0;
    double errors = 0.0;
    for (std::size_t i = 0; i < code_groups(dim) * 4; ++i) {
        // Not a number only where the scale is 0 for an element that is not
        // one (such a query's limits are NaN, and it is never coded): code 0.
        const float x = i < dim ? query[i] * scale : 0.0f;
        const std::int32_t code = std::isfinite(x) ? static_cast<std::int32_t>(std::nearbyint(x)) : 0;
        if (i < dim) {
            const double error = code - static_cast<double>(query[i]) * scale;
            errors += error * error;
        }
        squares += static_cast<double>(code) * code;
        codes[i] = static_cast<std::uint8_t>(code + 128);
    }
    return {scale, norm_above(std::sqrt(squares)), norm_above(std::sqrt(errors))};
}

CodeKernels code_kernels() noexcept {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vnni")) {
        return {code_blocks_vnni, bound_codes_generic, kCodeMax};
    }
    return {};
}

}  // namespace tessaray::core
