// kernel_avx2.cpp: the kernels' primitives in 256-bit registers (8 rows per register).
//
// Only this file's functions are compiled for AVX2 and FMA (function
// attributes); the dispatcher calls them only on CPUs that support both.
// Only fmadd_broadcast fuses: the build never contracts a multiply
// and an add written apart.
#include <immintrin.h>

#include <cstdint>

#include "core/kernel.hpp"
#include "core/score_bound.hpp"

namespace tessaray::core {

namespace {

#define TESSARAY_TARGET __attribute__((target("avx2,fma")))

struct Isa {
    using Vec = __m256;
    static constexpr std::size_t kLanes = 8;

    TESSARAY_TARGET static Vec minus_zero() { return _mm256_set1_ps(-0.0f); }
    TESSARAY_TARGET static Vec broadcast(float x) { return _mm256_set1_ps(x); }
    TESSARAY_TARGET static Vec load(const float* p) { return _mm256_loadu_ps(p); }
    TESSARAY_TARGET static Vec mul(Vec a, Vec b) { return _mm256_mul_ps(a, b); }
    TESSARAY_TARGET static Vec add(Vec a, Vec b) { return _mm256_add_ps(a, b); }
    // x * *p; the compiler loads each broadcast once for all row registers.
    TESSARAY_TARGET static Vec mul_broadcast(Vec x, const float* p) { return _mm256_mul_ps(x, _mm256_set1_ps(*p)); }
    TESSARAY_TARGET static Vec fmadd_broadcast(Vec acc, Vec x, const float* p) {
        return _mm256_fmadd_ps(x, _mm256_set1_ps(*p), acc);
    }
    TESSARAY_TARGET static std::uint64_t not_below(Vec a, Vec b) {
        return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_NLT_UQ)));
    }
    TESSARAY_TARGET static std::uint64_t within(Vec a, Vec lo, Vec hi) {
        return static_cast<unsigned>(
            _mm256_movemask_ps(_mm256_and_ps(_mm256_cmp_ps(a, lo, _CMP_GE_OQ), _mm256_cmp_ps(a, hi, _CMP_LE_OQ))));
    }
    TESSARAY_TARGET static void store_where(float* p, std::uint64_t mask, Vec v) {
        const __m256i bits = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
        const __m256i lanes =
            _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(static_cast<int>(mask)), bits), bits);
        _mm256_maskstore_ps(p, lanes, v);
    }
    TESSARAY_TARGET static Vec root(Vec a) { return _mm256_sqrt_ps(a); }
    TESSARAY_TARGET static void store(float* p, Vec a) { _mm256_storeu_ps(p, a); }
    struct Index {
        std::int32_t at[8];
    };
    TESSARAY_TARGET static Index load_index(const std::int32_t* p) {
        Index x;
        for (std::size_t l = 0; l < 8; ++l) x.at[l] = p[l];
        return x;
    }
    TESSARAY_TARGET static Vec gather(const float* base, const Index& at) {
        return _mm256_i32gather_ps(base, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at.at)), 4);
    }
    TESSARAY_TARGET static Vec pick(const float* element, const Index& lane) {
        const std::int32_t* l = lane.at;
        return _mm256_setr_ps(element[l[0]], element[l[1]], element[l[2]], element[l[3]], element[l[4]], element[l[5]],
                              element[l[6]], element[l[7]]);
    }
    // The query tile: 2 row registers times 6 queries make 12 accumulators,
    // which with the 2 row registers and a broadcast fit the 16.
    // Two queries take 4 row registers (8 accumulators): half the passes.
    static constexpr std::size_t tile_regs(std::size_t count) { return count <= 2 ? 4 : 2; }
    // Each pass reads one line in four of every block element: fetched 8
    // elements ahead, a 256 KiB panel in L2 is scored about 14% faster on Zen 4.
    static constexpr std::size_t kTileAhead = 8;
    static constexpr std::size_t kTileQueries = 6;
    TESSARAY_TARGET static std::uint64_t above(Vec a, Vec b) {
        return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_GT_OQ)));
    }
    TESSARAY_TARGET static std::uint64_t numbers(Vec a) {
        return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(a, a, _CMP_ORD_Q)));
    }
    // All ones in the lanes below n.
    TESSARAY_TARGET static __m256i first(std::size_t n) {
        return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    }

    // Rows of 8 elements in, 8 registers of one element out (an 8 x 8 transpose).
    TESSARAY_TARGET static void load_square(const float* p, std::size_t dim, std::size_t n, std::size_t m, Vec* x) {
        Vec a[8];
        for (std::size_t l = 0; l < 8; ++l) {
            a[l] = l >= n   ? _mm256_setzero_ps()
                   : m == 8 ? _mm256_loadu_ps(p + l * dim)
                            : _mm256_maskload_ps(p + l * dim, first(m));
        }
        Vec b[8];
        for (std::size_t l = 0; l < 8; l += 2) {
            b[l] = _mm256_unpacklo_ps(a[l], a[l + 1]);
            b[l + 1] = _mm256_unpackhi_ps(a[l], a[l + 1]);
        }
        for (std::size_t l = 0; l < 8; l += 4) {
            a[l] = _mm256_shuffle_ps(b[l], b[l + 2], _MM_SHUFFLE(1, 0, 1, 0));
            a[l + 1] = _mm256_shuffle_ps(b[l], b[l + 2], _MM_SHUFFLE(3, 2, 3, 2));
            a[l + 2] = _mm256_shuffle_ps(b[l + 1], b[l + 3], _MM_SHUFFLE(1, 0, 1, 0));
            a[l + 3] = _mm256_shuffle_ps(b[l + 1], b[l + 3], _MM_SHUFFLE(3, 2, 3, 2));
        }
        for (std::size_t l = 0; l < 4; ++l) {
            x[l] = _mm256_permute2f128_ps(a[l], a[l + 4], 0x20);
            x[l + 4] = _mm256_permute2f128_ps(a[l], a[l + 4], 0x31);
        }
    }

    class Finish {
    public:
        TESSARAY_TARGET explicit Finish(float query_root)
                : query_root_(_mm256_set1_ps(query_root)),
                  query_nonzero_(query_root == 0.0f ? _mm256_setzero_ps()
                                                    : _mm256_castsi256_ps(_mm256_set1_epi32(-1))) {}
        TESSARAY_TARGET void store(Vec dot, const float* roots, float* out, std::size_t n) const {
            const bool whole = n == kLanes;
            const __m256i lanes = first(n);
            const __m256 row_roots = whole ? _mm256_loadu_ps(roots) : _mm256_maskload_ps(roots, lanes);
            // Unordered not-equal: a NaN root is not zero and goes through the
            // divide, as in the reference; -0.0 compares equal to zero.
            const __m256 nonzero =
                _mm256_and_ps(_mm256_cmp_ps(row_roots, _mm256_setzero_ps(), _CMP_NEQ_UQ), query_nonzero_);
            __m256 score = _mm256_div_ps(dot, _mm256_mul_ps(query_root_, row_roots));
            const __m256 nan = _mm256_cmp_ps(score, score, _CMP_UNORD_Q);
            score =
                _mm256_blendv_ps(score, _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(kScoreNaNBits))), nan);
            score = _mm256_and_ps(score, nonzero);
            if (whole) {
                _mm256_storeu_ps(out, score);
            } else {
                _mm256_maskstore_ps(out, lanes, score);
            }
        }

    private:
        __m256 query_root_;
        __m256 query_nonzero_;
    };
};

#include "core/kernel_generic-inl.hpp"
#include "core/kernel_bound-inl.hpp"

#undef TESSARAY_TARGET

}  // namespace

const KernelSet& avx2_kernels() noexcept {
    static const KernelSet set{
        "avx2",       score_blocks_generic, score_rows_generic,  candidates_generic, score_tile_generic,
        kTileQueries, root_blocks_generic,  pack_blocks_generic, bound_tile_generic, score_exact_generic, sum_pairs_generic, avx2_code_kernels()};
    return set;
}

}  // namespace tessaray::core
