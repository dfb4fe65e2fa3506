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

struct CodeIsa {
    using Vec = __m256;
    using Int = __m256i;
    static constexpr std::size_t kLanes = 8;
    static constexpr float kRowCodeMax = kNarrowCodeMax;

    TESSARAY_CODES_TARGET static Vec zero() { return _mm256_setzero_ps(); }
    TESSARAY_CODES_TARGET static Vec broadcast(float x) { return _mm256_set1_ps(x); }
    TESSARAY_CODES_TARGET static Vec load(const float* p) { return _mm256_loadu_ps(p); }
    TESSARAY_CODES_TARGET static void store(float* p, Vec v) { _mm256_storeu_ps(p, v); }
    TESSARAY_CODES_TARGET static Vec abs(Vec v) {
        return _mm256_and_ps(v, _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF)));
    }
    TESSARAY_CODES_TARGET static Vec max(Vec a, Vec b) { return _mm256_max_ps(a, b); }
    TESSARAY_CODES_TARGET static Vec add(Vec a, Vec b) { return _mm256_add_ps(a, b); }
    TESSARAY_CODES_TARGET static Vec sub(Vec a, Vec b) { return _mm256_sub_ps(a, b); }
    TESSARAY_CODES_TARGET static Vec mul(Vec a, Vec b) { return _mm256_mul_ps(a, b); }
    TESSARAY_CODES_TARGET static Vec div(Vec a, Vec b) { return _mm256_div_ps(a, b); }
    TESSARAY_CODES_TARGET static Vec sqrt(Vec a) { return _mm256_sqrt_ps(a); }
    TESSARAY_CODES_TARGET static Vec multiply_add(Vec a, Vec b, Vec c) { return _mm256_fmadd_ps(a, b, c); }
    // c - a * b.
    TESSARAY_CODES_TARGET static Vec multiply_subtract(Vec c, Vec a, Vec b) { return _mm256_fnmadd_ps(a, b, c); }
    // All bits of a lane where not a < b (NaN included).
    TESSARAY_CODES_TARGET static Vec not_below(Vec a, Vec b) { return _mm256_cmp_ps(a, b, _CMP_NLT_UQ); }
    // All bits of a lane where lo <= a <= hi.
    TESSARAY_CODES_TARGET static Vec within(Vec a, Vec lo, Vec hi) {
        return _mm256_and_ps(_mm256_cmp_ps(a, lo, _CMP_GE_OQ), _mm256_cmp_ps(a, hi, _CMP_LE_OQ));
    }
    TESSARAY_CODES_TARGET static std::uint64_t lanes(Vec mask) {
        return static_cast<unsigned>(_mm256_movemask_ps(mask));
    }
    TESSARAY_CODES_TARGET static Vec where(Vec mask, Vec v) { return _mm256_and_ps(mask, v); }
    // x rounded to nearest, ties to even (the default mode), within the codes' range.
    TESSARAY_CODES_TARGET static Int code(Vec x) {
        const Int most = _mm256_set1_epi32(static_cast<int>(kRowCodeMax));
        return _mm256_max_epi32(_mm256_min_epi32(_mm256_cvtps_epi32(x), most),
                                _mm256_sub_epi32(_mm256_setzero_si256(), most));
    }
    TESSARAY_CODES_TARGET static Vec to_float(Int a) { return _mm256_cvtepi32_ps(a); }
    TESSARAY_CODES_TARGET static Int zero_int() { return _mm256_setzero_si256(); }
    TESSARAY_CODES_TARGET static Int add_int(Int a, Int b) { return _mm256_add_epi32(a, b); }
    // Each lane's code as its byte e.
    TESSARAY_CODES_TARGET static Int pack_byte(Int packed, Int code, std::size_t e) {
        const Int byte = _mm256_and_si256(code, _mm256_set1_epi32(0xFF));
        return _mm256_or_si256(packed, _mm256_sll_epi32(byte, _mm_cvtsi32_si128(static_cast<int>(8 * e))));
    }
    TESSARAY_CODES_TARGET static void store_int(std::int8_t* p, Int a) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), a);
    }
};

#include "core/kernel_codes-inl.hpp"

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
                const CodedRowSide<CodeIsa> side(rows, b * kBlockRows + (first_reg + r) * kLanes);
                for (std::size_t t = 0; t < Count; ++t) {
                    block_hits[t] |= side.kept(queries[t], acc[t][r]) << ((first_reg + r) * kLanes);
                }
            }
        }
        const std::uint64_t may = Filtered ? allowed[b] : ~std::uint64_t{0};
        for (std::size_t t = 0; t < Count; ++t) hits[t * nblocks + b] = (block_hits[t] | rows.always[b]) & may;
    }
}

#undef TESSARAY_CODES_TARGET

}  // namespace

CodeKernels avx2_code_kernels() noexcept { return {code_blocks_generic<CodeIsa>, bound_codes_generic, kNarrowCodeMax}; }

}  // namespace tessaray::core
