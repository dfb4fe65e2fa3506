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
//   Gather(dim).load(p, n)       p[lane * dim] for lanes < n, others zero;
//                                Gather::reaches(dim) when it can index that far
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
TESSARAY_TARGET void score_blocks_generic(const float* query, float query_root, const float* blocks,
                                          const float* roots, std::size_t dim, std::size_t nblocks,
                                          float* scores) {
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

// The lanes of register r that hold one of n rows.
constexpr std::size_t lanes_in(std::size_t n, std::size_t r) {
    return n - r * Isa::kLanes < Isa::kLanes ? n - r * Isa::kLanes : Isa::kLanes;
}

// Rows one after another: a register's lanes follow kLanes rows, element i
// of each picked up `dim` floats apart; up to kRegs registers at once, and
// only the registers that hold rows are scored.
TESSARAY_TARGET void score_rows_generic(const float* query, float query_root, const float* rows,
                                        const float* roots, std::size_t dim, std::size_t count, float* scores) {
    if (!Isa::Gather::reaches(dim)) {
        score_rows_ref(query, query_root, rows, roots, dim, count, scores);
        return;
    }
    const Isa::Finish finish(query_root);
    const Isa::Gather gather(dim);
    for (std::size_t first = 0; first < count; first += kBlockRows) {
        const std::size_t n = count - first < kBlockRows ? count - first : kBlockRows;
        const std::size_t regs = (n + Isa::kLanes - 1) / Isa::kLanes;
        const float* group = rows + first * dim;
        Isa::Vec acc[kRegs];
        for (std::size_t r = 0; r < regs; ++r) acc[r] = Isa::minus_zero();
        for (std::size_t i = 0; i < dim; ++i) {
            const Isa::Vec q = Isa::broadcast(query[i]);
            for (std::size_t r = 0; r < regs; ++r) {
                const Isa::Vec x = gather.load(group + r * Isa::kLanes * dim + i, lanes_in(n, r));
                acc[r] = Isa::add(acc[r], Isa::mul(q, x));
            }
        }
        for (std::size_t r = 0; r < regs; ++r) {
            const std::size_t lane = first + r * Isa::kLanes;
            finish.store(acc[r], roots + lane, scores + lane, lanes_in(n, r));
        }
    }
}
