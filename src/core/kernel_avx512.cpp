// kernel_avx512.cpp: the kernels' primitives in 512-bit registers (16 rows per register).
//
// Only this file's functions are compiled for AVX-512 (function attributes);
// the dispatcher calls them only on CPUs that support it.
#include <immintrin.h>

#include <cstdint>
#include <limits>

#include "core/kernel.hpp"

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
    TESSARAY_TARGET static __mmask16 first(std::size_t n) {
        return static_cast<__mmask16>((std::uint32_t{1} << n) - 1);
    }

    // 32-bit indices lane * dim.
    class Gather {
    public:
        static bool reaches(std::size_t dim) {
            return dim <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) / (kLanes - 1);
        }
        TESSARAY_TARGET explicit Gather(std::size_t dim)
            : index_(_mm512_mullo_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                                        _mm512_set1_epi32(static_cast<int>(dim)))) {}
        TESSARAY_TARGET Vec load(const float* p, std::size_t n) const {
            return _mm512_mask_i32gather_ps(_mm512_setzero_ps(), first(n), index_, p, 4);
        }

    private:
        __m512i index_;
    };

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
            const __mmask16 nonzero =
                _mm512_cmp_ps_mask(row_roots, _mm512_setzero_ps(), _CMP_NEQ_UQ) & query_nonzero_;
            __m512 score = _mm512_div_ps(dot, _mm512_mul_ps(query_root_, row_roots));
            const __mmask16 nan = _mm512_cmp_ps_mask(score, score, _CMP_UNORD_Q);
            score = _mm512_mask_mov_ps(score, nan, _mm512_castsi512_ps(_mm512_set1_epi32(static_cast<int>(kScoreNaNBits))));
            _mm512_mask_storeu_ps(out, lanes, _mm512_maskz_mov_ps(nonzero, score));
        }

    private:
        __m512 query_root_;
        __mmask16 query_nonzero_;
    };
};

#include "core/kernel_generic-inl.hpp"

#undef TESSARAY_TARGET

}  // namespace

const KernelSet& avx512_kernels() noexcept {
    static const KernelSet set{"avx512", score_blocks_generic, score_rows_generic};
    return set;
}

}  // namespace tessaray::core
