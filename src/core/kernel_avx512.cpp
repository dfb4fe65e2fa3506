// kernel_avx512.cpp: the kernels' primitives in 512-bit registers (16 rows per register).
//
// Only this file's functions are compiled for AVX-512 (function attributes);
// the dispatcher calls them only on CPUs that support it.
#include <immintrin.h>

#include <cstdint>

#include "core/kernel.hpp"
#include "core/score_bound.hpp"

namespace tessaray::core {

namespace {

#define TESSARAY_TARGET __attribute__((target("avx512f")))

struct Isa {
    using Vec = __m512;
    static constexpr std::size_t kLanes = 16;

    TESSARAY_TARGET static Vec minus_zero() { return _mm512_set1_ps(-0.0f); }
    TESSARAY_TARGET static Vec broadcast(float x) { return _mm512_set1_ps(x); }
    TESSARAY_TARGET static Vec load(const float* p) { return _mm512_loadu_ps(p); }
    TESSARAY_TARGET static Vec mul(Vec a, Vec b) { return _mm512_mul_ps(a, b); }
    TESSARAY_TARGET static Vec add(Vec a, Vec b) { return _mm512_add_ps(a, b); }
    // x * *p, the broadcast of *p embedded in the multiply's memory operand
    // ({1to16}) instead of a separate vbroadcastss, which on Zen 4 takes a
    // floating-point pipe (the query tile runs about a fifth faster without
    // it).  Written in asm since the compiler would share one broadcast
    // register among the tile's row registers.  One rounding, never fused.
    // The address goes in as a register, not as a memory operand: with one,
    // the compiler keeps the accumulators in memory in case *p is one of
    // them.  Nothing writes the queries while a kernel runs.
    TESSARAY_TARGET static Vec mul_broadcast(Vec x, const float* p) {
        Vec product;
        asm("vmulps (%1)%{1to16%}, %2, %0" : "=v"(product) : "r"(p), "v"(x));
        return product;
    }
    // acc + x * *p in one rounding, the broadcast embedded as in mul_broadcast.
    // acc + x * *p in one rounding.  Here the compiler's one broadcast per
    // query, shared by the row registers, is the faster form: with the
    // broadcast embedded in each fused multiply-add (as mul_broadcast does)
    // the tile's loads outnumber what the load ports take, and on an Intel
    // Xeon (Emerald Rapids) the batch ran 15-25 % slower.
    TESSARAY_TARGET static Vec fmadd_broadcast(Vec acc, Vec x, const float* p) {
        return _mm512_fmadd_ps(x, _mm512_set1_ps(*p), acc);
    }
    TESSARAY_TARGET static std::uint64_t not_below(Vec a, Vec b) { return _mm512_cmp_ps_mask(a, b, _CMP_NLT_UQ); }
    TESSARAY_TARGET static std::uint64_t within(Vec a, Vec lo, Vec hi) {
        return _mm512_cmp_ps_mask(a, lo, _CMP_GE_OQ) & _mm512_cmp_ps_mask(a, hi, _CMP_LE_OQ);
    }
    TESSARAY_TARGET static void store_where(float* p, std::uint64_t mask, Vec v) {
        _mm512_mask_storeu_ps(p, static_cast<__mmask16>(mask), v);
    }
    TESSARAY_TARGET static Vec root(Vec a) { return _mm512_maskz_sqrt_ps(0xFFFF, a); }
    TESSARAY_TARGET static void store(float* p, Vec a) { _mm512_storeu_ps(p, a); }
    // A lane index and whether it names one of the element's upper 32 floats.
    struct Index {
        __m512i at;
        __mmask16 upper;
    };
    TESSARAY_TARGET static Index load_index(const std::int32_t* p) {
        const __m512i at = _mm512_loadu_si512(p);
        return {at, _mm512_test_epi32_mask(at, _mm512_set1_epi32(32))};
    }
    TESSARAY_TARGET static Vec gather(const float* base, Index at) {
        return _mm512_mask_i32gather_ps(_mm512_setzero_ps(), kAll, at.at, base, 4);
    }
    static_assert(kBlockRows == 64, "a block element is four registers");
    // Picked out of the element's four registers by two two-register
    // permutes (each takes the low five bits of the index) and a blend.
    TESSARAY_TARGET static Vec pick(const float* element, Index lane) {
        const __m512 low = _mm512_permutex2var_ps(load(element), lane.at, load(element + 16));
        const __m512 high = _mm512_permutex2var_ps(load(element + 32), lane.at, load(element + 48));
        return _mm512_mask_blend_ps(lane.upper, low, high);
    }
    // The query tile: a block element's 4 registers times 6 queries make 24
    // accumulators, which with the 4 row registers and a broadcast fit the 32.
    static constexpr std::size_t tile_regs(std::size_t) { return 4; }
    static constexpr std::size_t kTileAhead = 0;
    static constexpr std::size_t kTileQueries = 6;
    TESSARAY_TARGET static std::uint64_t above(Vec a, Vec b) { return _mm512_cmp_ps_mask(a, b, _CMP_GT_OQ); }
    TESSARAY_TARGET static std::uint64_t numbers(Vec a) { return _mm512_cmp_ps_mask(a, a, _CMP_ORD_Q); }
    TESSARAY_TARGET static __mmask16 first(std::size_t n) {
        return static_cast<__mmask16>((std::uint32_t{1} << n) - 1);
    }

    // Rows of 16 elements in, 16 registers of one element out (a 16 x 16
    // transpose).  The shuffles are written with an all-lanes mask: GCC 12
    // warns about the undefined source operand of the unmasked forms.
    static constexpr __mmask16 kAll = 0xFFFF;
    TESSARAY_TARGET static void load_square(const float* p, std::size_t dim, std::size_t n, std::size_t m, Vec* x) {
        Vec a[16];
        for (std::size_t l = 0; l < 16; ++l) {
            a[l] = l >= n    ? _mm512_setzero_ps()
                   : m == 16 ? _mm512_loadu_ps(p + l * dim)
                             : _mm512_maskz_loadu_ps(first(m), p + l * dim);
        }
        Vec b[16];
        for (std::size_t l = 0; l < 16; l += 2) {
            b[l] = _mm512_maskz_unpacklo_ps(kAll, a[l], a[l + 1]);
            b[l + 1] = _mm512_maskz_unpackhi_ps(kAll, a[l], a[l + 1]);
        }
        for (std::size_t l = 0; l < 16; l += 4) {
            for (std::size_t k = 0; k < 2; ++k) {
                const __m512d lo = _mm512_castps_pd(b[l + k]);
                const __m512d hi = _mm512_castps_pd(b[l + k + 2]);
                a[l + 2 * k] = _mm512_castpd_ps(_mm512_maskz_unpacklo_pd(0xFF, lo, hi));
                a[l + 2 * k + 1] = _mm512_castpd_ps(_mm512_maskz_unpackhi_pd(0xFF, lo, hi));
            }
        }
        // a[4q + e] holds element 4j + e of rows 4q .. 4q + 3 in 128-bit lane j.
        for (std::size_t l = 0; l < 4; ++l) {
            b[l] = _mm512_maskz_shuffle_f32x4(kAll, a[l], a[l + 4], 0x88);
            b[l + 4] = _mm512_maskz_shuffle_f32x4(kAll, a[l], a[l + 4], 0xDD);
            b[l + 8] = _mm512_maskz_shuffle_f32x4(kAll, a[l + 8], a[l + 12], 0x88);
            b[l + 12] = _mm512_maskz_shuffle_f32x4(kAll, a[l + 8], a[l + 12], 0xDD);
        }
        for (std::size_t l = 0; l < 8; ++l) {
            x[l] = _mm512_maskz_shuffle_f32x4(kAll, b[l], b[l + 8], 0x88);
            x[l + 8] = _mm512_maskz_shuffle_f32x4(kAll, b[l], b[l + 8], 0xDD);
        }
    }

    class Finish {
    public:
        TESSARAY_TARGET explicit Finish(float query_root)
                : query_root_(_mm512_set1_ps(query_root)),
                  query_nonzero_(query_root == 0.0f ? __mmask16{0} : __mmask16{0xFFFF}) {}
        TESSARAY_TARGET void store(Vec dot, const float* roots, float* out, std::size_t n) const {
            const __mmask16 lanes = first(n);
            const __m512 row_roots = _mm512_maskz_loadu_ps(lanes, roots);
            // Unordered not-equal: a NaN root is not zero and goes through the
            // divide, as in the reference; -0.0 compares equal to zero.
            const __mmask16 nonzero = _mm512_cmp_ps_mask(row_roots, _mm512_setzero_ps(), _CMP_NEQ_UQ) & query_nonzero_;
            __m512 score = _mm512_div_ps(dot, _mm512_mul_ps(query_root_, row_roots));
            const __mmask16 nan = _mm512_cmp_ps_mask(score, score, _CMP_UNORD_Q);
            score =
                _mm512_mask_mov_ps(score, nan, _mm512_castsi512_ps(_mm512_set1_epi32(static_cast<int>(kScoreNaNBits))));
            _mm512_mask_storeu_ps(out, lanes, _mm512_maskz_mov_ps(nonzero, score));
        }

    private:
        __m512 query_root_;
        __mmask16 query_nonzero_;
    };
};

#include "core/kernel_generic-inl.hpp"
#include "core/kernel_bound-inl.hpp"

#undef TESSARAY_TARGET

}  // namespace

const KernelSet& avx512_kernels() noexcept {
    static const KernelSet set{"avx512",           score_blocks_generic, score_rows_generic,  candidates_generic,
                               score_tile_generic, kTileQueries,         root_blocks_generic, pack_blocks_generic,
                               bound_tile_generic, score_exact_generic, sum_pairs_generic, code_kernels()};
    return set;
}

}  // namespace tessaray::core
