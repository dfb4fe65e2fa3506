// compute_limit.cpp: how fast one core can multiply and add floats, unfused and fused.
//
// The arithmetic bound of a query-tiled kernel: a tile of R row registers times
// T broadcast query values, R * T accumulators, data in L1.  Per element the
// loop loads R registers of rows (elements are stored element-major, every
// element's rows contiguous), broadcasts T query values and does R * T
// multiply-adds: either a separate multiply then add (what the search kernels
// do, since every sum is rounded the way the reference rounds it) or one fused
// multiply-add.  The two loops alternate within every repetition, so drift in
// the machine's speed hits them alike, and each keeps its best repetition.
// One multiply plus one add, or one fused multiply-add, counts as 2 flops.
//
// The baseline level is the same tile with 128-bit registers (SSE), what the
// baseline kernels' loops can be vectorised to without changing any row's
// order of additions.  Baseline x86-64 has no fused multiply-add: its fused
// loop is 128-bit FMA where the CPU has it (the same width fused, for the
// ratio), and without it the fused rate is null.
//
// Usage: compute_limit [--level avx512|avx2|baseline] [--repetitions N] [--json]
//   Without --level, the widest level this CPU supports.  With --json, prints
//   one JSON object: level, unfused_gflops, fused_gflops, ratio (unfused over
//   fused; null without a fused rate) and shape.
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kElements = 64;   // elements per pass: 64 x 64 rows x 4 bytes = 16 KiB, well inside L1
constexpr int kMaxRows = 64;    // rows per element (R * lanes), at most
constexpr int kQueries = 6;     // T: query values broadcast per element

alignas(64) float g_rows[kElements * kMaxRows];
alignas(64) float g_queries[kElements * kQueries];

// Where every tile's sum ends up, so that no multiply can be dropped.
volatile float g_sink;

// A level's primitives, each compiled for that level only.
struct Avx512 {
    using Vec = __m512;
    static constexpr int kRegisters = 4, kLanes = 16;
#define TARGET __attribute__((target("avx512f")))
    TARGET static Vec zero() { return _mm512_setzero_ps(); }
    TARGET static Vec load(const float* p) { return _mm512_load_ps(p); }
    TARGET static Vec broadcast(float x) { return _mm512_set1_ps(x); }
    TARGET static Vec mul(Vec a, Vec b) { return _mm512_mul_ps(a, b); }
    TARGET static Vec add(Vec a, Vec b) { return _mm512_add_ps(a, b); }
    TARGET static Vec fma(Vec a, Vec b, Vec c) { return _mm512_fmadd_ps(a, b, c); }
    TARGET static void store(float* p, Vec a) { _mm512_store_ps(p, a); }
#undef TARGET
};

struct Avx2 {
    using Vec = __m256;
    static constexpr int kRegisters = 2, kLanes = 8;
#define TARGET __attribute__((target("avx2,fma")))
    TARGET static Vec zero() { return _mm256_setzero_ps(); }
    TARGET static Vec load(const float* p) { return _mm256_load_ps(p); }
    TARGET static Vec broadcast(float x) { return _mm256_set1_ps(x); }
    TARGET static Vec mul(Vec a, Vec b) { return _mm256_mul_ps(a, b); }
    TARGET static Vec add(Vec a, Vec b) { return _mm256_add_ps(a, b); }
    TARGET static Vec fma(Vec a, Vec b, Vec c) { return _mm256_fmadd_ps(a, b, c); }
    TARGET static void store(float* p, Vec a) { _mm256_store_ps(p, a); }
#undef TARGET
};

struct Sse {
    using Vec = __m128;
    static constexpr int kRegisters = 2, kLanes = 4;
    static Vec zero() { return _mm_setzero_ps(); }
    static Vec load(const float* p) { return _mm_load_ps(p); }
    static Vec broadcast(float x) { return _mm_set1_ps(x); }
    static Vec mul(Vec a, Vec b) { return _mm_mul_ps(a, b); }
    static Vec add(Vec a, Vec b) { return _mm_add_ps(a, b); }
    __attribute__((target("fma"))) static Vec fma(Vec a, Vec b, Vec c) { return _mm_fmadd_ps(a, b, c); }
    static void store(float* p, Vec a) { _mm_store_ps(p, a); }
};

// The tile loop: `passes` sweeps over the kElements elements, the
// accumulators living in registers across all of them.  Always inlined into
// the level's own functions below, which carry the level's target; it is never
// called with registers across an ABI boundary, so GCC's note that its vector
// returns would change the ABI without that target does not apply.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
template <class Isa, bool Fused>
__attribute__((always_inline)) inline void tile(long passes) {
    constexpr int R = Isa::kRegisters, Lanes = Isa::kLanes;
    typename Isa::Vec acc[R * kQueries];
    for (auto& a : acc) a = Isa::zero();
    for (long p = 0; p < passes; ++p) {
        for (int i = 0; i < kElements; ++i) {
            typename Isa::Vec row[R];
            for (int r = 0; r < R; ++r) row[r] = Isa::load(g_rows + (i * R + r) * Lanes);
            for (int t = 0; t < kQueries; ++t) {
                const typename Isa::Vec q = Isa::broadcast(g_queries[i * kQueries + t]);
                for (int r = 0; r < R; ++r) {
                    auto& a = acc[t * R + r];
                    if constexpr (Fused) a = Isa::fma(row[r], q, a);
                    else a = Isa::add(a, Isa::mul(row[r], q));
                }
            }
        }
    }
    for (int k = 1; k < R * kQueries; ++k) acc[0] = Isa::add(acc[0], acc[k]);
    alignas(64) float lanes[Lanes];
    Isa::store(lanes, acc[0]);
    float sum = 0.0f;
    for (const float x : lanes) sum += x;
    g_sink = sum;
}
#pragma GCC diagnostic pop

__attribute__((target("avx512f"), noinline)) void unfused_avx512(long passes) { tile<Avx512, false>(passes); }
__attribute__((target("avx512f"), noinline)) void fused_avx512(long passes) { tile<Avx512, true>(passes); }
__attribute__((target("avx2,fma"), noinline)) void unfused_avx2(long passes) { tile<Avx2, false>(passes); }
__attribute__((target("avx2,fma"), noinline)) void fused_avx2(long passes) { tile<Avx2, true>(passes); }
__attribute__((noinline)) void unfused_sse(long passes) { tile<Sse, false>(passes); }
__attribute__((target("fma"), noinline)) void fused_sse(long passes) { tile<Sse, true>(passes); }

struct Level {
    const char* name;
    int registers, lanes;
    void (*unfused)(long);
    void (*fused)(long);
};

double seconds_of(void (*tile)(long), long passes) {
    const auto t0 = std::chrono::steady_clock::now();
    tile(passes);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    const char* want = nullptr;
    int reps = 7;
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[i], "--level") == 0 && i + 1 < argc) {
            want = argv[++i];
        } else if (std::strcmp(argv[i], "--repetitions") == 0 && i + 1 < argc) {
            reps = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--level avx512|avx2|baseline] [--repetitions N] [--json]\n", argv[0]);
            return 2;
        }
    }
    __builtin_cpu_init();
    const bool has512 = __builtin_cpu_supports("avx512f");
    const bool has_fma = __builtin_cpu_supports("fma");
    const bool has2 = __builtin_cpu_supports("avx2") && has_fma;
    const Level levels[] = {{"avx512", 4, 16, unfused_avx512, fused_avx512},
                            {"avx2", 2, 8, unfused_avx2, fused_avx2},
                            {"baseline", 2, 4, unfused_sse, has_fma ? fused_sse : nullptr}};
    const bool supported[] = {has512, has2, true};
    if (want == nullptr) want = has512 ? "avx512" : has2 ? "avx2" : "baseline";
    const Level* found = nullptr;
    for (int k = 0; k < 3; ++k) {
        if (std::strcmp(want, levels[k].name) == 0 && supported[k]) found = &levels[k];
    }
    if (found == nullptr) {
        std::fprintf(stderr, "%s: level %s is unknown or not supported by this CPU\n", argv[0], want);
        return 2;
    }
    const Level& level = *found;
    // The loop that sizes the passes: the fused one where there is one.
    void (*const sizing)(long) = level.fused ? level.fused : level.unfused;

    // Values near 1, so the sums stay normal numbers (no slow denormals) and finite.
    for (int k = 0; k < kElements * kMaxRows; ++k) g_rows[k] = 1.0f + static_cast<float>(k % 7) / 64.0f;
    for (int k = 0; k < kElements * kQueries; ++k) g_queries[k] = 1.0f / 1024.0f + static_cast<float>(k % 5) / 8192.0f;

    // Passes for about 0.2 s per timed call, scaled from a short one.
    long passes = 1000;
    while (seconds_of(sizing, passes) < 0.02) passes *= 4;
    passes = std::max(1L, static_cast<long>(static_cast<double>(passes) * 0.2 / seconds_of(sizing, passes)));

    double best_unfused = 1e300, best_fused = 1e300;
    for (int r = 0; r < reps; ++r) {
        best_unfused = std::min(best_unfused, seconds_of(level.unfused, passes));
        if (level.fused) best_fused = std::min(best_fused, seconds_of(level.fused, passes));
    }
    const double flops = 2.0 * static_cast<double>(passes) * kElements * level.registers * level.lanes * kQueries;
    const double unfused = flops / best_unfused / 1e9, fused = level.fused ? flops / best_fused / 1e9 : 0.0;
    const std::string shape = std::to_string(level.registers) + "x" + std::to_string(level.lanes) + " rows x " +
                              std::to_string(kQueries) + " queries";
    char fused_text[32] = "null", ratio_text[32] = "null";
    if (level.fused) {
        std::snprintf(fused_text, sizeof fused_text, "%.3f", fused);
        std::snprintf(ratio_text, sizeof ratio_text, "%.4f", unfused / fused);
    }
    if (json) {
        std::printf("{\"level\": \"%s\", \"unfused_gflops\": %.3f, \"fused_gflops\": %s, \"ratio\": %s, "
                    "\"shape\": \"%s\"}\n",
                    level.name, unfused, fused_text, ratio_text, shape.c_str());
    } else {
        std::printf("level    %s (%s, best of %d repetitions, %ld passes of %d elements each)\n", level.name,
                    shape.c_str(), reps, passes, kElements);
        std::printf("unfused  %.3f GFLOP/s (mul then add)\n", unfused);
        if (level.fused) {
            std::printf("fused    %.3f GFLOP/s (fma)\n", fused);
            std::printf("ratio    %.4f\n", unfused / fused);
        } else {
            std::printf("fused    none (no fma on this CPU)\n");
        }
    }
    return 0;
}
