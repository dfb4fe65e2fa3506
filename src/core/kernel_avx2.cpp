// kernel_avx2.cpp: the kernels' primitives in 256-bit registers (8 rows per register).
//
// Only this file's functions are compiled for AVX2 (function attributes); the
// dispatcher calls them only on CPUs that support it.
#include <immintrin.h>

#include <cstdint>
#include <limits>

#include "core/kernel.hpp"

namespace tessaray::core {

namespace {

#define TESSARAY_TARGET __attribute__((target("avx2")))

struct Isa {
    using Vec = __m256;
    static constexpr std::size_t kLanes = 8;

    TESSARAY_TARGET static Vec minus_zero() { return _mm256_set1_ps(-0.0f); }
    TESSARAY_TARGET static Vec broadcast(float x) { return _mm256_set1_ps(x); }
    TESSARAY_TARGET static Vec load(const float* p) { return _mm256_loadu_ps(p); }
    TESSARAY_TARGET static Vec mul(Vec a, Vec b) { return _mm256_mul_ps(a, b); }
    TESSARAY_TARGET static Vec add(Vec a, Vec b) { return _mm256_add_ps(a, b); }
    // All ones in the lanes below n.
    TESSARAY_TARGET static __m256i first(std::size_t n) {
        return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    }

    // 32-bit indices lane * dim.
    class Gather {
    public:
        static bool reaches(std::size_t dim) {
            return dim <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) / (kLanes - 1);
        }
        TESSARAY_TARGET explicit Gather(std::size_t dim)
            : index_(_mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                        _mm256_set1_epi32(static_cast<int>(dim)))) {}
        TESSARAY_TARGET Vec load(const float* p, std::size_t n) const {
            return _mm256_mask_i32gather_ps(_mm256_setzero_ps(), p, index_, _mm256_castsi256_ps(first(n)), 4);
        }

    private:
        __m256i index_;
    };

    class Finish {
    public:
        TESSARAY_TARGET explicit Finish(float query_root)
            : query_root_(_mm256_set1_ps(query_root)),
              query_nonzero_(query_root == 0.0f ? _mm256_setzero_ps() : _mm256_castsi256_ps(_mm256_set1_epi32(-1))) {}
        TESSARAY_TARGET void store(Vec dot, const float* roots, float* out, std::size_t n) const {
            const bool whole = n == kLanes;
            const __m256i lanes = first(n);
            const __m256 row_roots = whole ? _mm256_loadu_ps(roots) : _mm256_maskload_ps(roots, lanes);
            // Unordered not-equal: a NaN root is not zero and goes through the
            // divide, as in the reference; -0.0 compares equal to zero.
            const __m256 nonzero = _mm256_and_ps(_mm256_cmp_ps(row_roots, _mm256_setzero_ps(), _CMP_NEQ_UQ), query_nonzero_);
            __m256 score = _mm256_div_ps(dot, _mm256_mul_ps(query_root_, row_roots));
            const __m256 nan = _mm256_cmp_ps(score, score, _CMP_UNORD_Q);
            score = _mm256_blendv_ps(score, _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(kScoreNaNBits))), nan);
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

#undef TESSARAY_TARGET

}  // namespace

const KernelSet& avx2_kernels() noexcept {
    static const KernelSet set{"avx2", score_blocks_generic, score_rows_generic};
    return set;
}

}  // namespace tessaray::core
