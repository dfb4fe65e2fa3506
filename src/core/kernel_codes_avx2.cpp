// kernel_codes_avx2.cpp: the bounded tile in 8-bit codes where AVX2 has no byte dot product: pairs of byte products summed in 16 bits.
//
// vpmaddubsw multiplies a query's codes plus 128 (unsigned, at most 255)
// by a row's (signed) and adds each two neighbouring products into 16 bits,
// saturating.  Rows are coded to at most kNarrowCodeMax = 63, so a pair
// sums to at most 2 * 255 * 63 = 32,130 and never saturates; vpmaddwd by
// ones then adds each two pairs into 32 bits.  The sums are the integers
// vpdpbusd gives, in the same layout (kernel.hpp's CodedRows), and
// score_bound.hpp's test holds for any scale.  Three instructions per 32
// products against one fused multiply-add per 8: about twice its rate on
// the AVX2 machines measured.
#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <utility>

#include "core/kernel.hpp"
#include "core/score_bound.hpp"

namespace tessaray::core {

namespace {

#define TESSARAY_CODES_TARGET __attribute__((target("avx2,fma")))

constexpr std::size_t kLanes = 8;
constexpr std::size_t kRowRegs = kBlockRows / kLanes;

// The codes of the rows of `nblocks` blocks of the store's layout, in the
// tile's layout, a register of rows at a time (more would not fit the
// sixteen registers).
TESSARAY_CODES_TARGET void code_blocks_avx2(const float* blocks, const float* roots, std::size_t dim,
                                            std::size_t nblocks, const CodedRows& out) {
    const std::size_t groups = code_groups(dim);
    const __m256 low = _mm256_set1_ps(kBoundRootLow);
    const __m256 high = _mm256_set1_ps(kBoundRootHigh);
    const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
    const __m256i most = _mm256_set1_epi32(static_cast<int>(kNarrowCodeMax));
    const __m256i least = _mm256_set1_epi32(-static_cast<int>(kNarrowCodeMax));
    const __m256i byte = _mm256_set1_epi32(0xFF);
    const float n = static_cast<float>(dim);
    const __m256 lost = _mm256_set1_ps(1.0f + 2.0f * n * 0x1p-24f);
    const __m256 underflow = _mm256_set1_ps(n * 0x1p-100f);
    const __m256 drift = _mm256_set1_ps(std::sqrt(n) * (kNarrowCodeMax + 0.01f) * 0x1p-24f);
    const __m256 up = _mm256_set1_ps(1.0f + 0x1p-16f);
    for (std::size_t b = 0; b < nblocks; ++b) {
        const float* block = blocks + b * dim * kBlockRows;
        std::int8_t* codes = out.codes + b * groups * kBlockRows * 4;
        std::uint64_t odd = 0;
        for (std::size_t r = 0; r < kRowRegs; ++r) {
            const float* rows = block + r * kLanes;
            __m256 top = _mm256_setzero_ps();
            for (std::size_t i = 0; i < dim; ++i) {
                top = _mm256_max_ps(top, _mm256_and_ps(_mm256_loadu_ps(rows + i * kBlockRows), magnitude));
            }
            // As in the VNNI coder: a root in the bound's range makes the
            // scale a number; the other rows are coded as zeros and always marked.
            const std::size_t first = b * kBlockRows + r * kLanes;
            const __m256 root = _mm256_loadu_ps(roots + first);
            const __m256 coded =
                _mm256_and_ps(_mm256_cmp_ps(root, low, _CMP_GE_OQ), _mm256_cmp_ps(root, high, _CMP_LE_OQ));
            odd |= std::uint64_t{static_cast<unsigned>(~_mm256_movemask_ps(coded)) & 0xFFu} << (r * kLanes);
            const __m256 scale = _mm256_and_ps(_mm256_div_ps(_mm256_set1_ps(kNarrowCodeMax), top), coded);
            _mm256_storeu_ps(out.weights + first, _mm256_mul_ps(root, scale));
            __m256i sum = _mm256_setzero_si256();
            __m256 squares = _mm256_setzero_ps();
            __m256 errors = _mm256_setzero_ps();
            for (std::size_t g = 0; g < groups; ++g) {
                __m256i packed = _mm256_setzero_si256();
                for (std::size_t e = 0; e < 4 && g * 4 + e < dim; ++e) {
                    const __m256 x = _mm256_mul_ps(_mm256_loadu_ps(rows + (g * 4 + e) * kBlockRows), scale);
                    // Rounded to nearest, ties to even (the default mode).
                    __m256i code = _mm256_cvtps_epi32(x);
                    code = _mm256_max_epi32(_mm256_min_epi32(code, most), least);
                    const __m256 exact = _mm256_cvtepi32_ps(code);
                    const __m256 error = _mm256_sub_ps(x, exact);
                    errors = _mm256_fmadd_ps(error, error, errors);
                    squares = _mm256_fmadd_ps(exact, exact, squares);
                    sum = _mm256_add_epi32(sum, code);
                    packed = _mm256_or_si256(packed,
                                             _mm256_slli_epi32(_mm256_and_si256(code, byte), static_cast<int>(8 * e)));
                }
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(codes + (g * kBlockRows + r * kLanes) * 4), packed);
            }
            _mm256_storeu_ps(out.offsets + first, _mm256_mul_ps(_mm256_cvtepi32_ps(sum), _mm256_set1_ps(128.0f)));
            // The norms' bounds as in the VNNI coder.
            const __m256 error =
                _mm256_mul_ps(_mm256_add_ps(_mm256_sqrt_ps(_mm256_fmadd_ps(errors, lost, underflow)), drift), up);
            const __m256 span = _mm256_mul_ps(_mm256_add_ps(_mm256_sqrt_ps(_mm256_mul_ps(squares, lost)), error), up);
            _mm256_storeu_ps(out.errors + first, error);
            _mm256_storeu_ps(out.spans + first, span);
        }
        out.always[b] = odd;
    }
}

// Registers of rows a tile sums at once: the queries' sums, with room
// left in the sixteen registers for the products on their way.
template <std::size_t Count>
constexpr std::size_t kTileRegsOf = Count <= 4 ? 2 : 1;

template <std::size_t Count, bool Filtered>
TESSARAY_CODES_TARGET void bound_codes_fixed(const CodedQuery* queries, const CodedRows& rows, std::size_t dim,
                                             std::size_t nblocks, const std::uint64_t* allowed, std::uint64_t* hits) {
    const std::size_t groups = code_groups(dim);
    constexpr std::size_t kTileRegs = kTileRegsOf<Count>;
    const __m256i ones = _mm256_set1_epi16(1);
    for (std::size_t b = 0; b < nblocks; ++b) {
        const std::int8_t* block = rows.codes + b * groups * kBlockRows * 4;
        std::uint64_t block_hits[Count] = {};
        for (std::size_t first_reg = 0; first_reg < kRowRegs; first_reg += kTileRegs) {
            __m256i acc[Count][kTileRegs];
            for (std::size_t t = 0; t < Count; ++t) {
                for (std::size_t r = 0; r < kTileRegs; ++r) acc[t][r] = _mm256_setzero_si256();
            }
            for (std::size_t g = 0; g < groups; ++g) {
                __m256i codes[kTileRegs];
                for (std::size_t r = 0; r < kTileRegs; ++r) {
                    codes[r] = _mm256_loadu_si256(
                        reinterpret_cast<const __m256i*>(block + (g * kBlockRows + (first_reg + r) * kLanes) * 4));
                }
                for (std::size_t t = 0; t < Count; ++t) {
                    std::int32_t four;
                    __builtin_memcpy(&four, queries[t].codes + g * 4, 4);
                    const __m256i q = _mm256_set1_epi32(four);
                    for (std::size_t r = 0; r < kTileRegs; ++r) {
                        acc[t][r] =
                            _mm256_add_epi32(acc[t][r], _mm256_madd_epi16(_mm256_maddubs_epi16(q, codes[r]), ones));
                    }
                }
            }
            for (std::size_t r = 0; r < kTileRegs; ++r) {
                const std::size_t first = b * kBlockRows + (first_reg + r) * kLanes;
                const __m256 weight = _mm256_loadu_ps(rows.weights + first);
                const __m256 offset = _mm256_loadu_ps(rows.offsets + first);
                const __m256 error = _mm256_loadu_ps(rows.errors + first);
                const __m256 span = _mm256_loadu_ps(rows.spans + first);
                for (std::size_t t = 0; t < Count; ++t) {
                    const CodedQuery& q = queries[t];
                    __m256 bar = _mm256_fmadd_ps(_mm256_set1_ps(q.limit), weight, offset);
                    bar = _mm256_fnmadd_ps(_mm256_set1_ps(q.norm), error, bar);
                    bar = _mm256_fnmadd_ps(_mm256_set1_ps(q.error), span, bar);
                    bar = _mm256_sub_ps(bar, _mm256_set1_ps(q.room));
                    const unsigned kept = static_cast<unsigned>(
                        _mm256_movemask_ps(_mm256_cmp_ps(_mm256_cvtepi32_ps(acc[t][r]), bar, _CMP_NLT_UQ)));
                    block_hits[t] |= std::uint64_t{kept} << ((first_reg + r) * kLanes);
                }
            }
        }
        const std::uint64_t may = Filtered ? allowed[b] : ~std::uint64_t{0};
        for (std::size_t t = 0; t < Count; ++t) hits[t * nblocks + b] = (block_hits[t] | rows.always[b]) & may;
    }
}

template <bool Filtered, std::size_t... Counts>
TESSARAY_CODES_TARGET void bound_codes_any(std::index_sequence<Counts...>, const CodedQuery* queries, std::size_t count,
                                           const CodedRows& rows, std::size_t dim, std::size_t nblocks,
                                           const std::uint64_t* allowed, std::uint64_t* hits) {
    ((count == Counts + 1 ? bound_codes_fixed<Counts + 1, Filtered>(queries, rows, dim, nblocks, allowed, hits)
                          : void()),
     ...);
}

TESSARAY_CODES_TARGET void bound_codes_avx2(const CodedQuery* queries, std::size_t count, const CodedRows& rows,
                                            std::size_t dim, std::size_t nblocks, const std::uint64_t* allowed,
                                            std::uint64_t* hits) {
    constexpr auto counts = std::make_index_sequence<kCodeTileQueries>();
    if (allowed != nullptr) {
        bound_codes_any<true>(counts, queries, count, rows, dim, nblocks, allowed, hits);
    } else {
        bound_codes_any<false>(counts, queries, count, rows, dim, nblocks, allowed, hits);
    }
}

#undef TESSARAY_CODES_TARGET

}  // namespace

CodeKernels avx2_code_kernels() noexcept { return {code_blocks_avx2, bound_codes_avx2, kNarrowCodeMax}; }

}  // namespace tessaray::core
