// kernel_generic-inl.hpp: the block and row loops, written once for every instruction set.
//
// Included by each kernel_<level>.cpp inside its own anonymous namespace,
// after it has defined TESSARAY_TARGET (the function attribute of its level,
// or nothing) and a struct Isa of primitives:
//
//   Vec, kLanes                  a register of kLanes floats
//   minus_zero(), broadcast(x)   constant registers
//   load(p)                      kLanes consecutive floats
//   mul(a, b), add(a, b)         one rounding each, never fused
//   mul_broadcast(x, p)          mul(x, broadcast(*p))
//   above(a, b), numbers(a)      bit l set when a > b, when a is not NaN
//   load_square(p, dim, n, m, x) x[e] lane l = p[l * dim + e] for l < n and
//                                e < m (other lanes and x[e >= m] anything);
//                                reads nothing else
//   fmadd_broadcast(acc, x, p)   acc + x * *p, fused where the level has it
//   not_below(a, b)              bit l set unless a < b (set when either is NaN)
//   within(a, lo, hi)            bit l set when lo <= a <= hi
//   store_where(p, mask, v)      v into the lanes of p whose bit is set
//   Index, load_index(p)         kLanes 32-bit indices from p
//   gather(base, at)             lane l = base[at[l]]
//   pick(element, lane)          lane l = element[lane[l]], lane[l] < kBlockRows
//   Finish(query_root)           .store(dot, roots, out, n): for lanes < n,
//                                out = dot / (query_root * root), +0.0 where
//                                a root is zero, kScoreNaN where that is NaN
//
// One lane follows one row and adds that row's products in index order from
// -0.0, the reference's order, so every score is bit-identical to it.
#ifndef TESSARAY_TARGET
#error "kernel_generic-inl.hpp needs TESSARAY_TARGET and Isa from the including kernel file"
#endif

// Registers that hold one element of a whole block (or of 64 unpacked rows).
constexpr std::size_t kRegs = kBlockRows / Isa::kLanes;
static_assert(kBlockRows % Isa::kLanes == 0, "whole registers per block element");

// Blocks: element i of a block's rows is kRegs consecutive registers, so a
// block is read as one sequential stream, and the kRegs accumulators are
// independent (one add does not wait on the previous add of the same row).
TESSARAY_TARGET void score_blocks_generic(const float* query, float query_root, const float* blocks, const float* roots,
                                          std::size_t dim, std::size_t nblocks, float* scores) {
    const Isa::Finish finish(query_root);
    for (std::size_t b = 0; b < nblocks; ++b) {
        const float* block = blocks + b * dim * kBlockRows;
        Isa::Vec acc[kRegs];
        for (std::size_t r = 0; r < kRegs; ++r) acc[r] = Isa::minus_zero();
        for (std::size_t i = 0; i < dim; ++i) {
            const Isa::Vec q = Isa::broadcast(query[i]);
            const float* element = block + i * kBlockRows;
            for (std::size_t r = 0; r < kRegs; ++r) {
                acc[r] = Isa::add(acc[r], Isa::mul(q, Isa::load(element + r * Isa::kLanes)));
            }
        }
        for (std::size_t r = 0; r < kRegs; ++r) {
            const std::size_t lane = b * kBlockRows + r * Isa::kLanes;
            finish.store(acc[r], roots + lane, scores + lane, Isa::kLanes);
        }
    }
}

// A block's scores compared against the worst kept one, a register at a time.
TESSARAY_TARGET std::uint64_t candidates_generic(const float* scores, float worst) {
    std::uint64_t mask = 0;
    if (worst == worst) {
        const Isa::Vec threshold = Isa::broadcast(worst);
        for (std::size_t r = 0; r < kRegs; ++r) {
            mask |= Isa::above(Isa::load(scores + r * Isa::kLanes), threshold) << (r * Isa::kLanes);
        }
    } else {
        for (std::size_t r = 0; r < kRegs; ++r)
            mask |= Isa::numbers(Isa::load(scores + r * Isa::kLanes)) << (r * Isa::kLanes);
    }
    return mask;
}

// The lanes of register r that hold one of n rows.
constexpr std::size_t lanes_in(std::size_t n, std::size_t r) {
    return n - r * Isa::kLanes < Isa::kLanes ? n - r * Isa::kLanes : Isa::kLanes;
}

// Adds the products of elements i .. i + m - 1 (m <= kLanes) of the tail's
// rows (n <= kBlockRows of them) to their accumulators: per register, a
// square of kLanes rows by m elements is loaded and transposed, then added
// element by element.
TESSARAY_TARGET inline void add_squares(const float* query, const float* tail, std::size_t dim, std::size_t n,
                                        std::size_t i, std::size_t m, Isa::Vec* acc) {
    const std::size_t regs = (n + Isa::kLanes - 1) / Isa::kLanes;
    for (std::size_t r = 0; r < regs; ++r) {
        Isa::Vec x[Isa::kLanes];
        Isa::load_square(tail + r * Isa::kLanes * dim + i, dim, lanes_in(n, r), m, x);
        for (std::size_t e = 0; e < m; ++e) acc[r] = Isa::add(acc[r], Isa::mul(Isa::broadcast(query[i + e]), x[e]));
    }
}

// Rows one after another: a register's lanes follow kLanes rows; up to kRegs
// registers at once, and only the registers that hold rows are loaded and
// scored.
TESSARAY_TARGET void score_rows_generic(const float* query, float query_root, const float* rows, const float* roots,
                                        std::size_t dim, std::size_t count, float* scores) {
    const Isa::Finish finish(query_root);
    for (std::size_t first = 0; first < count; first += kBlockRows) {
        const std::size_t n = count - first < kBlockRows ? count - first : kBlockRows;
        const std::size_t regs = (n + Isa::kLanes - 1) / Isa::kLanes;
        const float* tail = rows + first * dim;
        Isa::Vec acc[kRegs];
        for (std::size_t r = 0; r < regs; ++r) acc[r] = Isa::minus_zero();
        std::size_t i = 0;
        for (; i + Isa::kLanes <= dim; i += Isa::kLanes) add_squares(query, tail, dim, n, i, Isa::kLanes, acc);
        if (i < dim) add_squares(query, tail, dim, n, i, dim - i, acc);
        for (std::size_t r = 0; r < regs; ++r) {
            const std::size_t lane = first + r * Isa::kLanes;
            finish.store(acc[r], roots + lane, scores + lane, lanes_in(n, r));
        }
    }
}

// ---------------------------------------------------------------------------
// Many queries against the same blocks.  A tile is tile_regs(Count) registers
// of a block element (that many times kLanes rows) times `Count` queries: each loaded
// row register feeds every query's multiply, and each query's broadcast every
// row register's, so that the loop is bound by arithmetic rather than by
// reading.  One lane of one accumulator still follows one (query, row) pair
// in index order from -0.0.  Where a tile covers only part of a block element
// its reads jump a block element at a time, which the hardware fetches ahead
// poorly: Isa::kTileAhead elements ahead (0: none) are then fetched by hand.
constexpr std::size_t kTileQueries = Isa::kTileQueries;
static_assert(kTileQueries <= kMaxTileQueries, "a tile fits the callers' query arrays");

// The registers of a block element one pass of a tile of `count` queries
// covers: Isa::tile_regs(count), a whole number of passes per block element.
template <std::size_t Count>
constexpr std::size_t kTileRegsOf = Isa::tile_regs(Count);

// The 64-byte lines of one block element.
constexpr std::size_t kElementLines = kBlockRows * sizeof(float) / 64;

// The sums of a tile: for each of `Count` queries and each of the kR
// registers of rows from register first_reg of every block element, the
// products summed over the `dim` elements from -0.0, each product rounded
// and added in index order (the exact scores' sums) or, `Fused`, one fused
// multiply-add per element (sums only to rule pairs out).
//
// With `Next`, for a tile that reads the block from memory and another
// block follows it: the passes after the first find the block in cache and
// would leave memory idle, so they ask for the next block's lines, a share
// each, and reading goes on while they sum (a tile of few queries is bound
// by reading, not arithmetic).
template <std::size_t Count, bool Fused, bool Next = false, std::size_t kR = kTileRegsOf<Count>>
TESSARAY_TARGET __attribute__((always_inline)) inline void sum_tile(const float* const* queries, const float* block,
                                                                    std::size_t first_reg, std::size_t dim,
                                                                    Isa::Vec (&acc)[Count][kR]) {
    constexpr std::size_t kPasses = kRegs / kR;
    constexpr std::size_t kNextLines = kPasses > 1 ? (kElementLines + kPasses - 2) / (kPasses - 1) : 0;
    const std::size_t pass = first_reg / kR;
    const std::size_t next_first = pass > 0 ? std::min((pass - 1) * kNextLines, kElementLines) : kElementLines;
    const std::size_t next_end = std::min(next_first + kNextLines, kElementLines);
    const float* next = block + dim * kBlockRows;
#pragma GCC unroll 8
    for (std::size_t t = 0; t < Count; ++t) {
#pragma GCC unroll 8
        for (std::size_t r = 0; r < kR; ++r) acc[t][r] = Isa::minus_zero();
    }
    // A tile that reads from memory fetches ahead on every level.
    constexpr std::size_t kAhead = Next && Isa::kTileAhead == 0 ? 8 : Isa::kTileAhead;
    const float* element = block + first_reg * Isa::kLanes;
    for (std::size_t i = 0; i < dim; ++i, element += kBlockRows) {
        if constexpr (kAhead != 0 && kR < kRegs) {
            // The first pass over a block asks for whole block elements,
            // so that the block is read as one stream and the later
            // passes find it in cache; the later ones for their own lines.
            const float* ahead = element + kAhead * kBlockRows;
            if (first_reg == 0) {
#pragma GCC unroll 8
                for (std::size_t line = 0; line < kElementLines; ++line) __builtin_prefetch(ahead + line * 16, 0, 3);
            } else {
                __builtin_prefetch(ahead, 0, 3);
            }
        }
        if constexpr (Next && kR < kRegs) {
            for (std::size_t line = next_first; line < next_end; ++line) {
                __builtin_prefetch(next + i * kBlockRows + line * 16, 0, 2);
            }
        }
        Isa::Vec x[kR];
#pragma GCC unroll 8
        for (std::size_t r = 0; r < kR; ++r) x[r] = Isa::load(element + r * Isa::kLanes);
#pragma GCC unroll 8
        for (std::size_t t = 0; t < Count; ++t) {
#pragma GCC unroll 8
            for (std::size_t r = 0; r < kR; ++r) {
                if constexpr (Fused) {
                    acc[t][r] = Isa::fmadd_broadcast(acc[t][r], x[r], queries[t] + i);
                } else {
                    acc[t][r] = Isa::add(acc[t][r], Isa::mul_broadcast(x[r], queries[t] + i));
                }
            }
        }
    }
}

template <std::size_t Count>
TESSARAY_TARGET void score_tile_fixed(const float* const* queries, const float* query_roots, const float* blocks,
                                      const float* roots, std::size_t dim, std::size_t nblocks, float* scores,
                                      std::size_t stride, bool fetch_next) {
    constexpr std::size_t kR = kTileRegsOf<Count>;
    static_assert(kRegs % kR == 0, "whole tiles per block element");
    for (std::size_t b = 0; b < nblocks; ++b) {
        const float* block = blocks + b * dim * kBlockRows;
        // The tile's rows: registers first_reg .. first_reg + kR - 1 of each block element.
        for (std::size_t first_reg = 0; first_reg < kRegs; first_reg += kR) {
            Isa::Vec acc[Count][kR];
            if (fetch_next && b + 1 < nblocks) {
                sum_tile<Count, false, true>(queries, block, first_reg, dim, acc);
            } else {
                sum_tile<Count, false>(queries, block, first_reg, dim, acc);
            }
            for (std::size_t t = 0; t < Count; ++t) {
                const Isa::Finish finish(query_roots[t]);
                for (std::size_t r = 0; r < kR; ++r) {
                    const std::size_t lane = b * kBlockRows + (first_reg + r) * Isa::kLanes;
                    finish.store(acc[t][r], roots + lane, scores + t * stride + lane, Isa::kLanes);
                }
            }
        }
    }
}

template <std::size_t... Counts>
TESSARAY_TARGET void score_tile_any(std::index_sequence<Counts...>, const float* const* queries,
                                    const float* query_roots, std::size_t count, const float* blocks,
                                    const float* roots, std::size_t dim, std::size_t nblocks, float* scores,
                                    std::size_t stride, bool fetch_next) {
    ((count == Counts + 1
          ? score_tile_fixed<Counts + 1>(queries, query_roots, blocks, roots, dim, nblocks, scores, stride, fetch_next)
          : void()),
     ...);
}

TESSARAY_TARGET void score_tile_generic(const float* const* queries, const float* query_roots, std::size_t count,
                                        const float* blocks, const float* roots, std::size_t dim, std::size_t nblocks,
                                        float* scores, std::size_t stride, bool fetch_next) {
    // One query: the single-query kernel, whose pass reads each block as one
    // sequential stream (a tile narrower than a block element would read it
    // in strided passes).
    if (count == 1) {
        score_blocks_generic(queries[0], query_roots[0], blocks, roots, dim, nblocks, scores);
        return;
    }
    score_tile_any(std::make_index_sequence<kTileQueries>(), queries, query_roots, count, blocks, roots, dim, nblocks,
                   scores, stride, fetch_next);
}

// Rows into blocks, kLanes elements of the block's rows at a time: each
// square of kLanes rows by kLanes elements is transposed in registers, and
// the block is written element after element.
TESSARAY_TARGET void pack_blocks_generic(const float* rows, std::size_t dim, std::size_t nblocks, float* blocks) {
    for (std::size_t b = 0; b < nblocks; ++b) {
        const float* block_rows = rows + b * kBlockRows * dim;
        float* block = blocks + b * dim * kBlockRows;
        for (std::size_t i = 0; i < dim; i += Isa::kLanes) {
            const std::size_t m = dim - i < Isa::kLanes ? dim - i : Isa::kLanes;
            for (std::size_t r = 0; r < kRegs; ++r) {
                Isa::Vec x[Isa::kLanes];
                Isa::load_square(block_rows + r * Isa::kLanes * dim + i, dim, Isa::kLanes, m, x);
                for (std::size_t e = 0; e < m; ++e) Isa::store(block + (i + e) * kBlockRows + r * Isa::kLanes, x[e]);
            }
        }
    }
}

// The rows' roots, a lane per row as in the scoring loops.
TESSARAY_TARGET void root_blocks_generic(const float* blocks, std::size_t dim, std::size_t nblocks, float* roots) {
    for (std::size_t b = 0; b < nblocks; ++b) {
        const float* block = blocks + b * dim * kBlockRows;
        Isa::Vec acc[kRegs];
        for (std::size_t r = 0; r < kRegs; ++r) acc[r] = Isa::minus_zero();
        for (std::size_t i = 0; i < dim; ++i) {
            const float* element = block + i * kBlockRows;
            for (std::size_t r = 0; r < kRegs; ++r) {
                const Isa::Vec x = Isa::load(element + r * Isa::kLanes);
                acc[r] = Isa::add(acc[r], Isa::mul(x, x));
            }
        }
        for (std::size_t r = 0; r < kRegs; ++r) Isa::store(roots + b * kBlockRows + r * Isa::kLanes, Isa::root(acc[r]));
    }
}

// Listed pairs of one block, a lane per pair: element i of each pair's row
// is picked out of the block's element i and multiplied by element i of the
// pair's query (gathered), so each lane still follows one pair in index
// order from -0.0, while the block is read front to back as a stream.
TESSARAY_TARGET void sum_pairs_generic(const float* queries, const std::int32_t* query_at, const std::int32_t* lanes,
                                       std::size_t count, const float* block, std::size_t dim, float* sums) {
    constexpr std::size_t kPairRegs = kMaxPairs / Isa::kLanes;
    static_assert(kMaxPairs % Isa::kLanes == 0, "whole registers of pairs");
    const std::size_t regs = (count + Isa::kLanes - 1) / Isa::kLanes;
    Isa::Index lane[kPairRegs];
    Isa::Index at[kPairRegs];
    Isa::Vec acc[kPairRegs];
    for (std::size_t r = 0; r < regs; ++r) {
        lane[r] = Isa::load_index(lanes + r * Isa::kLanes);
        at[r] = Isa::load_index(query_at + r * Isa::kLanes);
        acc[r] = Isa::minus_zero();
    }
    for (std::size_t i = 0; i < dim; ++i) {
        const float* element = block + i * kBlockRows;
        // The lines 16 elements on (4 KiB at 64 rows), asked for by hand: the
        // gathers keep so few loads in flight that the hardware's own fetching
        // ahead falls behind, and scattered lists read nearly every block.
        for (std::size_t l = 0; l < kBlockRows; l += 16) __builtin_prefetch(element + 16 * kBlockRows + l);
        for (std::size_t r = 0; r < regs; ++r) {
            acc[r] = Isa::add(acc[r], Isa::mul(Isa::gather(queries + i, at[r]), Isa::pick(element, lane[r])));
        }
    }
    for (std::size_t r = 0; r < regs; ++r) Isa::store(sums + r * Isa::kLanes, acc[r]);
}
