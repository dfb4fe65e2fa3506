// kernel_baseline.cpp: the kernels' primitives on single floats, for any CPU.
//
// A "register" is one float, so a block element is kBlockRows independent
// accumulators in a row; the compiler may vectorise that loop with baseline
// SIMD without changing the order of any row's additions.
#include "core/kernel.hpp"
#include "core/score_bound.hpp"

namespace tessaray::core {

namespace {

#define TESSARAY_TARGET

struct Isa {
    using Vec = float;
    static constexpr std::size_t kLanes = 1;

    static Vec minus_zero() { return -0.0f; }
    static Vec broadcast(float x) { return x; }
    static Vec load(const float* p) { return *p; }
    static Vec mul(Vec a, Vec b) { return a * b; }
    static Vec add(Vec a, Vec b) { return a + b; }
    static Vec mul_broadcast(Vec x, const float* p) { return x * *p; }
    // Baseline x86-64 has no fused multiply-add: two roundings, which the
    // bound allows.
    static Vec fmadd_broadcast(Vec acc, Vec x, const float* p) { return acc + x * *p; }
    static std::uint64_t not_below(Vec a, Vec b) { return !(a < b); }
    static std::uint64_t within(Vec a, Vec lo, Vec hi) { return a >= lo && a <= hi; }
    static void store_where(float* p, std::uint64_t mask, Vec v) {
        if (mask != 0) *p = v;
    }
    static Vec root(Vec a) { return root_of(a); }
    static void store(float* p, Vec a) { *p = a; }
    static constexpr std::size_t tile_regs(std::size_t) { return 8; }
    static constexpr std::size_t kTileAhead = 0;
    static constexpr std::size_t kTileQueries = 4;
    using Index = std::int32_t;
    static Index load_index(const std::int32_t* p) { return *p; }
    static Vec gather(const float* base, Index at) { return base[at]; }
    static Vec pick(const float* element, Index lane) { return element[lane]; }
    static std::uint64_t above(Vec a, Vec b) { return a > b; }
    static std::uint64_t numbers(Vec a) { return a == a; }

    static void load_square(const float* p, std::size_t, std::size_t, std::size_t, Vec* x) { *x = *p; }

    class Finish {
    public:
        explicit Finish(float query_root) : query_root_(query_root) {}
        void store(Vec dot, const float* roots, float* out, std::size_t) const {
            *out = score_from_parts(dot, query_root_, *roots);
        }

    private:
        float query_root_;
    };
};

#include "core/kernel_generic-inl.hpp"
#include "core/kernel_bound-inl.hpp"

#undef TESSARAY_TARGET

}  // namespace

const KernelSet& baseline_kernels() noexcept {
    static const KernelSet set{"baseline",         score_blocks_generic, score_rows_generic,  candidates_generic,
                               score_tile_generic, kTileQueries,         root_blocks_generic, pack_blocks_generic,
                               bound_tile_generic, score_exact_generic, sum_pairs_generic, sse2_code_kernels()};
    return set;
}

}  // namespace tessaray::core
