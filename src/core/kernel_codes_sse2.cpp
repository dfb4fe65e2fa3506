// kernel_codes_sse2.cpp: the bounded tile in 8-bit codes on baseline x86-64: codes widened to 16 bits and summed in pairs (pmaddwd).
//
// SSE2 has no byte products, but pmaddwd multiplies 16-bit integers and
// adds each two neighbouring products into 32 bits, exactly.  A row's codes
// are widened as a register of four rows is read (shared by the tile's
// queries); a query's are widened once per batch (widen_query_sse2), each
// group of four twice over, so that one load serves two rows.  Eight
// products per pmaddwd and its add, against four per multiply and its add
// in floats.  The sums are the integers vpdpbusd gives, and
// score_bound.hpp's test holds for them.
#include <emmintrin.h>

#include <cmath>
#include <cstdint>
#include <utility>

#include "core/kernel.hpp"
#include "core/score_bound.hpp"

namespace tessaray::core {

namespace {

#define TESSARAY_CODES_TARGET

constexpr std::size_t kLanes = 4;
constexpr std::size_t kRowRegs = kBlockRows / kLanes;
// A query's widened group: its four codes plus 128 as 16-bit integers, twice.
constexpr std::size_t kWideGroupBytes = 16;

struct CodeIsa {
    using Vec = __m128;
    using Int = __m128i;
    static constexpr std::size_t kLanes = 4;
    // Products of 16-bit codes cannot saturate: rows keep the full range.
    static constexpr float kRowCodeMax = kCodeMax;

    static Vec zero() { return _mm_setzero_ps(); }
    static Vec broadcast(float x) { return _mm_set1_ps(x); }
    static Vec load(const float* p) { return _mm_loadu_ps(p); }
    static void store(float* p, Vec v) { _mm_storeu_ps(p, v); }
    static Vec abs(Vec v) { return _mm_and_ps(v, _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF))); }
    static Vec max(Vec a, Vec b) { return _mm_max_ps(a, b); }
    static Vec add(Vec a, Vec b) { return _mm_add_ps(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm_sub_ps(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm_mul_ps(a, b); }
    static Vec div(Vec a, Vec b) { return _mm_div_ps(a, b); }
    static Vec sqrt(Vec a) { return _mm_sqrt_ps(a); }
    // No fused multiply-add: two roundings, which the coder's margins allow.
    static Vec multiply_add(Vec a, Vec b, Vec c) { return _mm_add_ps(_mm_mul_ps(a, b), c); }
    static Vec multiply_subtract(Vec c, Vec a, Vec b) { return _mm_sub_ps(c, _mm_mul_ps(a, b)); }
    static Vec not_below(Vec a, Vec b) { return _mm_cmpnlt_ps(a, b); }
    static Vec within(Vec a, Vec lo, Vec hi) { return _mm_and_ps(_mm_cmpge_ps(a, lo), _mm_cmple_ps(a, hi)); }
    static std::uint64_t lanes(Vec mask) { return static_cast<unsigned>(_mm_movemask_ps(mask)); }
    static Vec where(Vec mask, Vec v) { return _mm_and_ps(mask, v); }
    // x rounded to nearest, ties to even (the default mode); SSE2 has no
    // 32-bit integer min and max, so it clamps in floats, where 127 is exact.
    static Int code(Vec x) {
        return _mm_cvtps_epi32(_mm_min_ps(_mm_max_ps(x, _mm_set1_ps(-kRowCodeMax)), _mm_set1_ps(kRowCodeMax)));
    }
    static Vec to_float(Int a) { return _mm_cvtepi32_ps(a); }
    static Int zero_int() { return _mm_setzero_si128(); }
    static Int add_int(Int a, Int b) { return _mm_add_epi32(a, b); }
    static Int pack_byte(Int packed, Int code, std::size_t e) {
        const Int byte = _mm_and_si128(code, _mm_set1_epi32(0xFF));
        return _mm_or_si128(packed, _mm_sll_epi32(byte, _mm_cvtsi32_si128(static_cast<int>(8 * e))));
    }
    static void store_int(std::int8_t* p, Int a) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), a); }
};

#include "core/kernel_codes-inl.hpp"

// Widens a query's codes (code_query()) into kWideGroupBytes per group.
void widen_query_sse2(const std::uint8_t* codes, std::size_t dim, std::uint8_t* out) {
    const __m128i zero = _mm_setzero_si128();
    for (std::size_t g = 0; g < code_groups(dim); ++g) {
        std::int32_t four;
        __builtin_memcpy(&four, codes + g * 4, 4);
        const __m128i wide = _mm_unpacklo_epi8(_mm_set1_epi32(four), zero);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + g * kWideGroupBytes), wide);
    }
}

template <std::size_t Count, bool Filtered>
TESSARAY_CODES_TARGET void bound_codes_fixed(const CodedQuery* queries, const CodedRows& rows, std::size_t dim,
                                             std::size_t nblocks, const std::uint64_t* allowed, std::uint64_t* hits) {
    const std::size_t groups = code_groups(dim);
    for (std::size_t b = 0; b < nblocks; ++b) {
        const std::int8_t* block = rows.codes + b * groups * kBlockRows * 4;
        std::uint64_t block_hits[Count] = {};
        for (std::size_t reg = 0; reg < kRowRegs; ++reg) {
            // Lanes of low: rows 0 and 1's first and second pairs; of high, rows 2 and 3's.
            __m128i low[Count];
            __m128i high[Count];
            for (std::size_t t = 0; t < Count; ++t) low[t] = high[t] = _mm_setzero_si128();
            for (std::size_t g = 0; g < groups; ++g) {
                const __m128i codes =
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + (g * kBlockRows + reg * kLanes) * 4));
                const __m128i codes_low = _mm_srai_epi16(_mm_unpacklo_epi8(codes, codes), 8);
                const __m128i codes_high = _mm_srai_epi16(_mm_unpackhi_epi8(codes, codes), 8);
                for (std::size_t t = 0; t < Count; ++t) {
                    const __m128i q =
                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(queries[t].codes + g * kWideGroupBytes));
                    low[t] = _mm_add_epi32(low[t], _mm_madd_epi16(q, codes_low));
                    high[t] = _mm_add_epi32(high[t], _mm_madd_epi16(q, codes_high));
                }
            }
            const CodedRowSide<CodeIsa> side(rows, b * kBlockRows + reg * kLanes);
            for (std::size_t t = 0; t < Count; ++t) {
                // Each row's two pairs' sums added: rows 0 to 3 in order.
                const __m128 l = _mm_castsi128_ps(low[t]);
                const __m128 h = _mm_castsi128_ps(high[t]);
                const __m128i sums = _mm_add_epi32(_mm_castps_si128(_mm_shuffle_ps(l, h, _MM_SHUFFLE(2, 0, 2, 0))),
                                                   _mm_castps_si128(_mm_shuffle_ps(l, h, _MM_SHUFFLE(3, 1, 3, 1))));
                block_hits[t] |= side.kept(queries[t], sums) << (reg * kLanes);
            }
        }
        const std::uint64_t may = Filtered ? allowed[b] : ~std::uint64_t{0};
        for (std::size_t t = 0; t < Count; ++t) hits[t * nblocks + b] = (block_hits[t] | rows.always[b]) & may;
    }
}

#undef TESSARAY_CODES_TARGET

}  // namespace

CodeKernels sse2_code_kernels() noexcept {
    return {code_blocks_generic<CodeIsa>, bound_codes_generic, kCodeMax, kWideGroupBytes, widen_query_sse2};
}

}  // namespace tessaray::core
