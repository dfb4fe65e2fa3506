// kernel_bench.cpp: the kernels, the selection and insert, against the scalar reference loop.
//
// Each benchmark scores every row once per iteration; bytes processed are the
// row data read (rows x dim x 4 bytes), so the GB/s column compares directly
// with the machine's memory bandwidth.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/kernel.hpp"
#include "core/search.hpp"
#include "core/store.hpp"

namespace {

using tessaray::core::KernelSet;
using tessaray::core::kBlockRows;

struct Shape {
    std::size_t rows;
    std::size_t dim;
};

constexpr Shape kShapes[] = {{1'000, 128}, {100'000, 128}, {1'000'000, 128}, {200'000, 768}};

std::vector<float> random_floats(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = normal(rng);
    return v;
}

// The rows in the store's block layout (built once per shape and shared).
const tessaray::core::Vectorstore& store_for(const Shape& shape) {
    static std::vector<std::pair<const Shape*, std::unique_ptr<tessaray::core::Vectorstore>>> cache;
    for (auto& [s, store] : cache) {
        if (s == &shape) return *store;
    }
    auto store = std::make_unique<tessaray::core::Vectorstore>(shape.dim);
    const std::vector<float> data = random_floats(shape.rows * shape.dim, 1);
    for (std::size_t r = 0; r < shape.rows; ++r) {
        if (!store->insert({data.data() + r * shape.dim, shape.dim}, r).has_value()) std::abort();
    }
    cache.emplace_back(&shape, std::move(store));
    return *cache.back().second;
}

void set_counters(benchmark::State& state, const Shape& shape) {
    const auto bytes = static_cast<std::int64_t>(shape.rows * shape.dim * sizeof(float));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * bytes);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * shape.rows));
}

// Every row of the store scored once ("score_blocks", the kernel time that
// bench/single_call.py compares whole calls with): the whole blocks with the
// block kernel, then the unpacked tail with the row kernel.
void bench_kernel(benchmark::State& state, const KernelSet* set, const Shape* shape) {
    const auto& store = store_for(*shape);
    const std::vector<float> query = random_floats(shape->dim, 2);
    const float query_root =
        tessaray::core::root_of(tessaray::core::sum_squares_ref(query.data(), query.size()));
    std::vector<float> scores(store.size());
    for (auto _ : state) {
        set->score_blocks(query.data(), query_root, store.blocks_data(), store.roots_data(), shape->dim,
                          store.block_count(), scores.data());
        set->score_rows(query.data(), query_root, store.tail_data(), store.roots_data() + store.packed_rows(),
                        shape->dim, store.tail_rows(), scores.data() + store.packed_rows());
        benchmark::DoNotOptimize(scores.data());
        benchmark::ClobberMemory();
    }
    set_counters(state, *shape);
}

// The unpacked tail alone (the rows after the last whole block).
void bench_tail(benchmark::State& state, const KernelSet* set, const Shape* shape) {
    const auto& store = store_for(*shape);
    const std::vector<float> query = random_floats(shape->dim, 2);
    const float query_root =
        tessaray::core::root_of(tessaray::core::sum_squares_ref(query.data(), query.size()));
    std::vector<float> scores(kBlockRows);
    for (auto _ : state) {
        set->score_rows(query.data(), query_root, store.tail_data(), store.roots_data() + store.packed_rows(),
                        shape->dim, store.tail_rows(), scores.data());
        benchmark::DoNotOptimize(scores.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * store.tail_rows()));
}

// Filling a store from row-major rows; the time per item is the time per insert.
void bench_insert(benchmark::State& state, const Shape* shape) {
    const std::vector<float> data = random_floats(shape->rows * shape->dim, 1);
    for (auto _ : state) {
        tessaray::core::Vectorstore store(shape->dim);
        for (std::size_t r = 0; r < shape->rows; ++r) {
            if (!store.insert({data.data() + r * shape->dim, shape->dim}, r).has_value()) std::abort();
        }
        benchmark::DoNotOptimize(store.blocks_data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * shape->rows));
}

// The whole sequential search (scoring and the top-10 selection) on the same
// store, so that the selection's share shows against score_blocks above.
void bench_search(benchmark::State& state, const Shape* shape) {
    const auto& store = store_for(*shape);
    const std::vector<float> query = random_floats(shape->dim, 2);
    for (auto _ : state) {
        auto result = tessaray::core::search(store, query, 10);
        benchmark::DoNotOptimize(result);
    }
    set_counters(state, *shape);
}

// The scalar reference over row-major rows: cosine_ref per row.
void bench_reference(benchmark::State& state, const Shape* shape) {
    const std::vector<float> rows = random_floats(shape->rows * shape->dim, 1);
    const std::vector<float> query = random_floats(shape->dim, 2);
    std::vector<float> scores(shape->rows);
    for (auto _ : state) {
        for (std::size_t r = 0; r < shape->rows; ++r) {
            scores[r] = tessaray::core::cosine_ref(query.data(), rows.data() + r * shape->dim, shape->dim);
        }
        benchmark::DoNotOptimize(scores.data());
        benchmark::ClobberMemory();
    }
    set_counters(state, *shape);
}

// Like the search does: the row roots are precomputed, only the dot per row.
void bench_reference_dot(benchmark::State& state, const Shape* shape) {
    const std::vector<float> rows = random_floats(shape->rows * shape->dim, 1);
    const std::vector<float> query = random_floats(shape->dim, 2);
    std::vector<float> roots(shape->rows);
    for (std::size_t r = 0; r < shape->rows; ++r) {
        roots[r] = tessaray::core::root_of(
            tessaray::core::sum_squares_ref(rows.data() + r * shape->dim, shape->dim));
    }
    const float query_root =
        tessaray::core::root_of(tessaray::core::sum_squares_ref(query.data(), query.size()));
    std::vector<float> scores(shape->rows);
    for (auto _ : state) {
        for (std::size_t r = 0; r < shape->rows; ++r) {
            const float dot = tessaray::core::dot_ref(query.data(), rows.data() + r * shape->dim, shape->dim);
            scores[r] = tessaray::core::score_from_parts(dot, query_root, roots[r]);
        }
        benchmark::DoNotOptimize(scores.data());
        benchmark::ClobberMemory();
    }
    set_counters(state, *shape);
}

// The batch's kernel alone: `count` queries (a tile at a time) against one
// panel of `panel_blocks` blocks of the store, the panel in cache after the
// first pass, as the batch scores it.  Items are (query, row) pairs; the
// FLOP/s counter counts a multiply and an add per element of each pair, as
// the compute_limit probe does.
void bench_tile(benchmark::State& state, const KernelSet* set, const Shape* shape, std::size_t count,
                std::size_t panel_blocks) {
    const auto& store = store_for(*shape);
    const std::size_t dim = shape->dim;
    const std::vector<float> queries = random_floats(count * dim, 3);
    std::vector<float> roots(count);
    for (std::size_t q = 0; q < count; ++q) {
        roots[q] = tessaray::core::root_of(tessaray::core::sum_squares_ref(queries.data() + q * dim, dim));
    }
    const std::size_t stride = panel_blocks * kBlockRows;
    std::vector<float> scores(set->tile_queries * stride);
    for (auto _ : state) {
        for (std::size_t q0 = 0; q0 < count; q0 += set->tile_queries) {
            const std::size_t n = std::min(set->tile_queries, count - q0);
            const float* tile[tessaray::core::kMaxTileQueries];
            for (std::size_t t = 0; t < n; ++t) tile[t] = queries.data() + (q0 + t) * dim;
            set->score_tile(tile, roots.data() + q0, n, store.blocks_data(), store.roots_data(), dim, panel_blocks,
                            scores.data(), stride, q0 == 0);
            benchmark::DoNotOptimize(scores.data());
            benchmark::ClobberMemory();
        }
    }
    const double pairs = static_cast<double>(count * panel_blocks * kBlockRows);
    state.counters["GFLOP/s"] = benchmark::Counter(pairs * static_cast<double>(dim) * 2.0 * 1e-9 *
                                                       static_cast<double>(state.iterations()),
                                                   benchmark::Counter::kIsRate);
    state.SetItemsProcessed(static_cast<std::int64_t>(pairs) * static_cast<std::int64_t>(state.iterations()));
}

std::string shape_name(const Shape& shape) { return std::to_string(shape.rows) + "x" + std::to_string(shape.dim); }

void register_all() {
    const KernelSet* sets[8];
    const std::size_t n = tessaray::core::supported_kernels(sets, 8);
    for (const Shape& shape : kShapes) {
        for (std::size_t i = 0; i < n; ++i) {
            benchmark::RegisterBenchmark(("score_blocks/" + std::string(sets[i]->name) + "/" + shape_name(shape)).c_str(),
                                         bench_kernel, sets[i], &shape)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
            if (shape.rows % kBlockRows != 0 && shape.rows < 10'000) {
                benchmark::RegisterBenchmark(("score_tail/" + std::string(sets[i]->name) + "/" + shape_name(shape)).c_str(),
                                             bench_tail, sets[i], &shape)
                    ->Unit(benchmark::kMicrosecond)
                    ->UseRealTime();
            }
        }
        if (shape.rows <= 100'000) {
            benchmark::RegisterBenchmark(("insert/" + shape_name(shape)).c_str(), bench_insert, &shape)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
        }
        if (shape.rows >= 100'000) {
            // The batch's panel: 256 KiB of rows, at least one block.
            const std::size_t panel_blocks = std::max<std::size_t>(1, (std::size_t(256) << 10) / (shape.dim * kBlockRows * 4));
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t count : {1u, 2u, 3u, 4u, 6u, 8u, 256u}) {
                    benchmark::RegisterBenchmark(("score_tile/" + std::string(sets[i]->name) + "/" + shape_name(shape) +
                                                  "/panel" + std::to_string(panel_blocks) + "/q" + std::to_string(count))
                                                     .c_str(),
                                                 bench_tile, sets[i], &shape, count, panel_blocks)
                        ->Unit(benchmark::kMicrosecond)
                        ->UseRealTime();
                }
            }
        }
        benchmark::RegisterBenchmark(("search/top10/" + shape_name(shape)).c_str(), bench_search, &shape)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark(("reference/cosine_ref/" + shape_name(shape)).c_str(), bench_reference, &shape)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark(("reference/dot_ref/" + shape_name(shape)).c_str(), bench_reference_dot, &shape)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
}

}  // namespace

int main(int argc, char** argv) {
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
