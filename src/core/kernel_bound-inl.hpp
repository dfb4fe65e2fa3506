// kernel_bound-inl.hpp: the bounded tile, which rules pairs out with a fused sum, and the exact scoring of the rows it keeps.
//
// Included by each kernel_<level>.cpp after kernel_generic-inl.hpp, whose
// Isa, kRegs and sum_tile it uses.  The tile sums each pair's products
// approximately, one Isa::fmadd_broadcast per element, and marks the rows
// that sum cannot rule out against their query's limit; score_exact scores
// the marked rows as score_blocks_generic would, several registers at a time.
#ifndef TESSARAY_TARGET
#error "kernel_bound-inl.hpp needs TESSARAY_TARGET and Isa from the including kernel file"
#endif

// Lane bits of one register.
constexpr std::uint64_t kRegisterLanes = (std::uint64_t{1} << Isa::kLanes) - 1;

// Several registers of rows, each against its own query, side by side:
// each lane still adds its row's products in index order from -0.0, while
// the chains of adds overlap.
template <std::size_t M>
TESSARAY_TARGET void score_chains(const ExactBlock* const* jobs, const std::size_t* regs, std::size_t dim) {
    const float* query[M];
    const float* element[M];
    Isa::Vec acc[M];
#pragma GCC unroll 8
    for (std::size_t m = 0; m < M; ++m) {
        query[m] = jobs[m]->query;
        element[m] = jobs[m]->block + regs[m] * Isa::kLanes;
        acc[m] = Isa::minus_zero();
    }
    for (std::size_t i = 0; i < dim; ++i) {
#pragma GCC unroll 8
        for (std::size_t m = 0; m < M; ++m) {
            acc[m] = Isa::add(acc[m], Isa::mul(Isa::broadcast(query[m][i]), Isa::load(element[m] + i * kBlockRows)));
        }
    }
    for (std::size_t m = 0; m < M; ++m) {
        const ExactBlock& job = *jobs[m];
        float* out = job.out + regs[m] * Isa::kLanes;
        Isa::Finish(job.query_root).store(acc[m], job.roots + regs[m] * Isa::kLanes, out, Isa::kLanes);
        Isa::store_where(out, ~(job.rows >> (regs[m] * Isa::kLanes)) & kRegisterLanes,
                         Isa::broadcast(-__builtin_inff()));
    }
}

// The most chains summed side by side: with their queries' and rows'
// pointers they fit the general registers.
constexpr std::size_t kExactChains = 6;

template <std::size_t... Ms>
TESSARAY_TARGET void score_chains_any(std::index_sequence<Ms...>, std::size_t m, const ExactBlock* const* jobs,
                                      const std::size_t* regs, std::size_t dim) {
    ((m == Ms + 1 ? score_chains<Ms + 1>(jobs, regs, dim) : void()), ...);
}

TESSARAY_TARGET void score_exact_generic(const ExactBlock* blocks, std::size_t count, std::size_t dim) {
    const ExactBlock* jobs[kExactChains];
    std::size_t regs[kExactChains];
    std::size_t m = 0;
    for (std::size_t b = 0; b < count; ++b) {
        for (std::size_t r = 0; r < kRegs; ++r) {
            if (((blocks[b].rows >> (r * Isa::kLanes)) & kRegisterLanes) == 0) {
                Isa::store(blocks[b].out + r * Isa::kLanes, Isa::broadcast(-__builtin_inff()));
                continue;
            }
            jobs[m] = &blocks[b];
            regs[m] = r;
            if (++m == kExactChains) {
                score_chains<kExactChains>(jobs, regs, dim);
                m = 0;
            }
        }
    }
    score_chains_any(std::make_index_sequence<kExactChains - 1>(), m, jobs, regs, dim);
}

template <std::size_t Count, bool Filtered>
TESSARAY_TARGET void bound_tile_fixed(const float* const* queries, const float* limits, const float* blocks,
                                      const float* roots, std::size_t dim, std::size_t nblocks,
                                      const std::uint64_t* allowed, std::uint64_t* hits, bool fetch_next) {
    constexpr std::size_t kR = kTileRegsOf<Count>;
    static_assert(kRegs % kR == 0, "whole tiles per block element");
    const Isa::Vec low = Isa::broadcast(kBoundRootLow);
    const Isa::Vec high = Isa::broadcast(kBoundRootHigh);
    for (std::size_t b = 0; b < nblocks; ++b) {
        const float* block = blocks + b * dim * kBlockRows;
        const std::uint64_t allowed_rows = Filtered ? allowed[b] : ~std::uint64_t{0};
        std::uint64_t block_hits[Count] = {};
        for (std::size_t first_reg = 0; first_reg < kRegs; first_reg += kR) {
            Isa::Vec acc[Count][kR];
            if (fetch_next && b + 1 < nblocks) {
                sum_tile<Count, true, true>(queries, block, first_reg, dim, acc);
            } else {
                sum_tile<Count, true>(queries, block, first_reg, dim, acc);
            }
            if constexpr (Isa::kLanes == 1) {
                // Single floats: the sums are read back from memory.  Read
                // from the loop's registers by the tests below, GCC
                // vectorised the loop only for some tile sizes (at 1 to 3
                // queries the baseline tile ran on single floats, 2 x slower).
                Isa::Vec sums[Count][kR];
                for (std::size_t t = 0; t < Count; ++t) {
                    for (std::size_t r = 0; r < kR; ++r) sums[t][r] = acc[t][r];
                }
                __asm__ volatile("" : : "g"(&sums) : "memory");
                for (std::size_t t = 0; t < Count; ++t) {
                    for (std::size_t r = 0; r < kR; ++r) acc[t][r] = sums[t][r];
                }
            }
            // Rows whose roots the bound does not cover are marked whatever
            // their sums, and rows not allowed never.
            Isa::Vec row_roots[kR];
            std::uint64_t always[kR];
            std::uint64_t may[kR];
            for (std::size_t r = 0; r < kR; ++r) {
                row_roots[r] = Isa::load(roots + b * kBlockRows + (first_reg + r) * Isa::kLanes);
                may[r] = (allowed_rows >> ((first_reg + r) * Isa::kLanes)) & kRegisterLanes;
                always[r] = ~Isa::within(row_roots[r], low, high) & may[r];
            }
            for (std::size_t t = 0; t < Count; ++t) {
                const Isa::Vec limit = Isa::broadcast(limits[t]);
                for (std::size_t r = 0; r < kR; ++r) {
                    const std::uint64_t exact =
                        (Isa::not_below(acc[t][r], Isa::mul(limit, row_roots[r])) & may[r]) | always[r];
                    block_hits[t] |= exact << ((first_reg + r) * Isa::kLanes);
                }
            }
        }
        for (std::size_t t = 0; t < Count; ++t) hits[t * nblocks + b] = block_hits[t];
    }
}

template <bool Filtered, std::size_t... Counts>
TESSARAY_TARGET void bound_tile_any(std::index_sequence<Counts...>, const float* const* queries, const float* limits,
                                    std::size_t count, const float* blocks, const float* roots, std::size_t dim,
                                    std::size_t nblocks, const std::uint64_t* allowed, std::uint64_t* hits,
                                    bool fetch_next) {
    ((count == Counts + 1 ? bound_tile_fixed<Counts + 1, Filtered>(queries, limits, blocks, roots, dim, nblocks,
                                                                   allowed, hits, fetch_next)
                          : void()),
     ...);
}

// Unfiltered tiles have a build of their own, which knows every row is allowed.
TESSARAY_TARGET void bound_tile_generic(const float* const* queries, const float* limits, std::size_t count,
                                        const float* blocks, const float* roots, std::size_t dim, std::size_t nblocks,
                                        const std::uint64_t* allowed, std::uint64_t* hits, bool fetch_next) {
    if (allowed != nullptr) {
        bound_tile_any<true>(std::make_index_sequence<kTileQueries>(), queries, limits, count, blocks, roots, dim,
                             nblocks, allowed, hits, fetch_next);
    } else {
        bound_tile_any<false>(std::make_index_sequence<kTileQueries>(), queries, limits, count, blocks, roots, dim,
                              nblocks, allowed, hits, fetch_next);
    }
}
