// kernel.hpp: the similarity arithmetic, the scalar reference and the fast block kernels.
//
// Every score is 32-bit IEEE arithmetic in one fixed order: each product
// rounded on its own, sums in index order into one accumulator that starts at
// -0.0, no fused multiply-add.  The scalar functions below are the reference;
// every fast kernel must give bit-identical results.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

namespace tessaray::core {

// Sum of a[i] * b[i] for i = 0 .. n-1, in index order, from -0.0.
float dot_ref(const float* a, const float* b, std::size_t n) noexcept;

// Sum of a[i] * a[i] in index order, from -0.0.
float sum_squares_ref(const float* a, std::size_t n) noexcept;

// The one NaN every score that is not a number comes out as: positive and
// quiet.  x86 returns the first operand's NaN and compilers may swap the
// operands of an addition, so without this the sign and payload of a NaN
// score would depend on the kernel and the compiler.
inline constexpr std::uint32_t kScoreNaNBits = 0x7FC00000u;
inline constexpr float kScoreNaN = std::bit_cast<float>(kScoreNaNBits);

// The score from a dot product and the two square roots of the sums of
// squares.  A root is zero exactly when its sum of squares is zero (IEEE
// equality), so testing the roots is the zero-vector rule.  A NaN quotient
// becomes kScoreNaN.
inline float score_from_parts(float dot, float root_a, float root_b) noexcept {
    if (root_a == 0.0f || root_b == 0.0f) return 0.0f;
    const float score = dot / (root_a * root_b);
    return score == score ? score : kScoreNaN;
}

// The correctly rounded 32-bit square root.
inline float root_of(float sum_squares) noexcept { return std::sqrt(sum_squares); }

// Cosine similarity of a and b (length n), the reference kernel.
float cosine_ref(const float* a, const float* b, std::size_t n) noexcept;

// ---------------------------------------------------------------------------
// Block layout used by the store and the fast kernels.
//
// Rows are stored in blocks of kBlockRows.  Within a block, element i of its
// rows is stored together: block[i * kBlockRows + lane] is element i of row
// `lane`.  A block of rows of dimension d is d * kBlockRows floats.  One SIMD
// lane then follows one row and adds its products in index order, which keeps
// every score identical to the reference while the loads stream.  64 rows
// make element i of a block four whole 64-byte lines, so a kernel that takes
// one block at a time reads the store as one sequential stream.
inline constexpr std::size_t kBlockRows = 64;

// Scores `nblocks` consecutive blocks against `query` (length `dim`):
//   scores[b * kBlockRows + lane] =
//       score_from_parts(dot(query, row), query_root, roots[b * kBlockRows + lane])
// `roots` holds the square roots of the rows' sums of squares, in row order.
using ScoreBlocksFn = void (*)(const float* query, float query_root, const float* blocks, const float* roots,
                               std::size_t dim, std::size_t nblocks, float* scores);

// Scores `count` rows stored one after another (row r at rows + r * dim):
//   scores[r] = score_from_parts(dot(query, row r), query_root, roots[r])
// Writes scores[0 .. count) only.
using ScoreRowsFn = void (*)(const float* query, float query_root, const float* rows, const float* roots,
                             std::size_t dim, std::size_t count, float* scores);

// The most queries one call of a ScoreTileFn takes.
inline constexpr std::size_t kMaxTileQueries = 8;

// Scores `nblocks` consecutive blocks against `count` queries at once
// (count <= KernelSet::tile_queries), query t of length `dim` at queries[t]
// with root query_roots[t]:
//   scores[t * stride + b * kBlockRows + lane] =
//       score_from_parts(dot(query t, row), query_roots[t], roots[b * kBlockRows + lane])
// Each score is bit-identical to what ScoreBlocksFn gives for that query.
// With `fetch_next`, a tile that reads a block in several passes asks for
// the next block's lines while it sums the block from cache: for the first
// tile over rows that come from memory.
using ScoreTileFn = void (*)(const float* const* queries, const float* query_roots, std::size_t count,
                             const float* blocks, const float* roots, std::size_t dim, std::size_t nblocks,
                             float* scores, std::size_t stride, bool fetch_next);

// ScoreTileFn's tile for pairs that need not all be scored: each pair's
// products are summed approximately (fused where the level can), and the
// pairs that sum cannot rule out (score_bound.hpp) are marked, to be scored
// exactly by a ScoreExactFn.  limits[t] is bound_limit() of query t's bar, a
// number.  For each query t and block b, bit j of hits[t * nblocks + b] is
// set when row j of the block must be scored exactly; a row without its bit
// scores at most query t's bar, or is not allowed: with `allowed` (else
// null), only the rows j of block b with bit j of allowed[b] set are ever
// marked.  `fetch_next` as for a ScoreTileFn.
using BoundTileFn = void (*)(const float* const* queries, const float* limits, std::size_t count, const float* blocks,
                             const float* roots, std::size_t dim, std::size_t nblocks, const std::uint64_t* allowed,
                             std::uint64_t* hits, bool fetch_next);

// Rows of one block to score exactly against one query (of length dim).
struct ExactBlock {
    const float* query;
    float query_root;
    const float* block;  // the block's first element
    const float* roots;  // the block's kBlockRows roots
    std::uint64_t rows;  // bit j: row j
    float* out;          // kBlockRows scores
};

// For each of `count` blocks: out[j] = score_from_parts(dot(query, row j),
// query_root, roots[j]) for the rows j in `rows`, bit for bit as
// ScoreBlocksFn gives it, and -inf for the others.  The rows of several
// blocks are summed side by side: one row's sum is a chain of adds, each
// waiting on the last.
using ScoreExactFn = void (*)(const ExactBlock* blocks, std::size_t count, std::size_t dim);

// The most listed pairs one call of a SumPairsFn takes.
inline constexpr std::size_t kMaxPairs = 16;

// The dot products of `count` (query, row) pairs whose rows lie in one block
// (count <= kMaxPairs): pair t is row lanes[t] (< kBlockRows) of the block
// at `block` against the query at queries + query_at[t] (length `dim`):
//   sums[t] = dot_ref(queries + query_at[t], row lanes[t]), bit for bit.
// `lanes` and `query_at` hold kMaxPairs entries each, those past `count`
// any valid lane and offset (0 is); `sums` has room for kMaxPairs, and those
// past `count` are left undefined.  The block is read element by element,
// front to back, however its rows are picked.
using SumPairsFn = void (*)(const float* queries, const std::int32_t* query_at, const std::int32_t* lanes,
                            std::size_t count, const float* block, std::size_t dim, float* sums);

// The square roots of the sums of squares of the rows of `nblocks` blocks:
//   roots[b * kBlockRows + lane] = root_of(sum_squares_ref(row)), bit for bit.
using RootBlocksFn = void (*)(const float* blocks, std::size_t dim, std::size_t nblocks, float* roots);

// Rows one after another (nblocks * kBlockRows of them, `dim` floats each)
// into the block layout: element i of row r of block b goes to
// blocks[b * dim * kBlockRows + i * kBlockRows + r], bit for bit.
using PackBlocksFn = void (*)(const float* rows, std::size_t dim, std::size_t nblocks, float* blocks);

// A bitmask of a block's scores (kBlockRows of them) that beat `worst`: bit j
// set when scores[j] > worst, or, when worst is NaN, when scores[j] is a number.
using CandidatesFn = std::uint64_t (*)(const float* scores, float worst);

// The bounded tile in 8-bit codes (score_bound.hpp has the test it makes).
// A row or query of `dim` elements has code_groups(dim) groups of four
// codes, the last padded with zero codes.
inline constexpr std::size_t code_groups(std::size_t dim) noexcept { return (dim + 3) / 4; }

// The most queries one call of a BoundCodesFn takes.
inline constexpr std::size_t kCodeTileQueries = 6;

// A panel's rows in codes, per row j of block b: its codes at
// codes[b * code_groups(dim) * kBlockRows * 4 ..], group g of row j at
// [(g * kBlockRows + j) * 4 ..] (four bytes, element 4g first); and at
// [b * kBlockRows + j] its weight root * scale, its offset 128 * (sum of
// its codes), and upper bounds on its coding error's norm |g| and on
// |codes| + |g| (score_bound.hpp).  Bit j of always[b] is set for a row
// whose root is outside the bound's range, which the tile always marks.
struct CodedRows {
    std::int8_t* codes;
    float* weights;
    float* offsets;
    float* errors;
    float* spans;
    std::uint64_t* always;
};

// Codes the rows of `nblocks` consecutive blocks, whose roots are `roots`,
// into `out` (from its block 0 on).
using CodeBlocksFn = void (*)(const float* blocks, const float* roots, std::size_t dim, std::size_t nblocks,
                              const CodedRows& out);

// A query of the coded tile: its codes (code_query(), widened where the
// set widens them), and its side of the test (coded_limit() and
// code_query()): all numbers.
struct CodedQuery {
    const std::uint8_t* codes;
    float limit;
    float room;
    float norm;
    float error;
};

// BoundTileFn over coded rows: `count` queries (count <= kCodeTileQueries)
// against `nblocks` blocks of `rows` from its block 0 on.  Marks as
// BoundTileFn does.
using BoundCodesFn = void (*)(const CodedQuery* queries, std::size_t count, const CodedRows& rows, std::size_t dim,
                              std::size_t nblocks, const std::uint64_t* allowed, std::uint64_t* hits);

// A query's codes (code_query()) of `dim` elements into the form a set's
// tile reads, CodeKernels::query_group_bytes per group.
using WidenQueryFn = void (*)(const std::uint8_t* codes, std::size_t dim, std::uint8_t* out);

struct CodeKernels {
    CodeBlocksFn code_blocks = nullptr;
    BoundCodesFn bound_codes = nullptr;
    float row_code_max = 0.0f;  // the largest magnitude code_blocks codes a row to
    std::size_t query_group_bytes = 4;
    WidenQueryFn widen_query = nullptr;  // null: the tile reads code_query()'s bytes
};

// The coded tile's functions where the CPU has AVX-512 VNNI, else nulls.
CodeKernels code_kernels() noexcept;

// The coded tile in AVX2 (pairs of byte products summed in 16 bits), for
// CPUs that have AVX2 and FMA.
CodeKernels avx2_code_kernels() noexcept;

// The coded tile on baseline x86-64 (codes widened to 16 bits).
CodeKernels sse2_code_kernels() noexcept;

// A query's codes' scale, and upper bounds on the norm of its codes and
// of its coding error (score_bound.hpp).
struct QueryCode {
    float scale;
    float norm;
    float error;
};

// Codes a query of `dim` elements into codes[0 .. 4 * code_groups(dim))
// (each code plus 128).  The scale is 0 where its largest magnitude is 0
// or not a number.
QueryCode code_query(const float* query, std::size_t dim, std::uint8_t* codes) noexcept;

struct KernelSet {
    std::string_view name;  // "avx512", "avx2" or "baseline"
    ScoreBlocksFn score_blocks;
    ScoreRowsFn score_rows;
    CandidatesFn candidates;
    ScoreTileFn score_tile;
    std::size_t tile_queries;  // the most queries score_tile takes at once
    RootBlocksFn root_blocks;
    PackBlocksFn pack_blocks;
    BoundTileFn bound_tile;
    ScoreExactFn score_exact;
    SumPairsFn sum_pairs;
    CodeKernels codes;  // null functions at AVX-512 without VNNI
};

// The portable kernel set, always available.
const KernelSet& baseline_kernels() noexcept;

// The AVX2 and AVX-512 kernel sets.  Their functions may only be called on a
// CPU that has the feature; supported_kernels() lists the ones that run here.
const KernelSet& avx2_kernels() noexcept;
const KernelSet& avx512_kernels() noexcept;

// The best kernel set this CPU supports, chosen once.  The environment variable
// TESSARAY_SIMD ("avx512", "avx2" or "baseline") can force a lower level.
const KernelSet& active_kernels() noexcept;

// All kernel sets this CPU can run, best first (for tests and benchmarks).
std::size_t supported_kernels(const KernelSet** out, std::size_t max) noexcept;

}  // namespace tessaray::core
