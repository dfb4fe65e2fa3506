// score_bound.hpp: when a dot product summed in any order proves that a row's exact score cannot beat a bar.
//
// A sink that keeps only scores above a bar (the worst of a full top-k, the
// float under a threshold) need not see the exact score of a row whose score
// cannot pass it.  The batch scans first sum each pair's products in
// whatever order and rounding is fastest (fused multiply-adds, several
// accumulators), and score exactly, in the reference order, only the pairs
// that this approximate sum cannot rule out.
//
// The bound.  Let s be the exact kernel's dot product (products rounded,
// summed in index order) and f any other sum of the same n products with at
// most one rounding per multiply and per add, and p the real dot product.
// Both are within gamma_n * sum |q_i r_i| of p, gamma_n = n u / (1 - n u),
// u = 2^-24, while no partial result underflows; a product in the subnormal
// range adds at most 2^-150 more.  By Cauchy-Schwarz, sum |q_i r_i| <= |q| |r|,
// and a root computed by the reference (a sum of squares, then a correctly
// rounded square root) is at least |x| (1 - u) sqrt(1 - gamma_n).  So
//
//   |s - f| <= c * root_q * root_r + n 2^-149,
//   c = 2 gamma_n / ((1 - u)^2 (1 - gamma_n)).
//
// The exact score is fl(s / fl(root_q * root_r)).  It can exceed `bar` only
// if s / fl(root_q root_r) > bar (a rounded quotient never crosses a float
// it does not cross exactly), so only if
//
//   f > root_q * root_r * (bar - |bar| u - c) - n 2^-149.
//
// bound_limit() turns the part that depends on the query into one float b,
// rounded down with room for its own rounding and for that of b * root_r,
// and the kernels test each pair with "not f < b * root_r", which NaN
// passes.  Roots outside [kBoundRootLow, kBoundRootHigh] (and NaN ones) are
// left to the exact kernel: inside, no product, partial sum or product of
// roots overflows, and the room b leaves, at least 2^-20 c root_q root_r >=
// n 2^-143, covers the n 2^-149 of underflow many times over; a zero root
// (whose score is 0 whatever the dot product) does not occur.  No operand is
// subnormal (b is kept out of (-2^-100, 2^-100)), which on some CPUs would
// cost a microcode assist per instruction.
//
// In 8-bit codes.  Coded with scales s_q and s_r (floats, s = 127 / max |x_i|,
// or 63 / max |x_i| for rows summed in 16-bit pairs),
// each code is round(x_i * s) with the product rounded once, so a query's
// codes qc and a row's rc are qc = q s_q + e and rc = r s_r + g with every
// |e_i|, |g_i| <= 1/2 + 2^-16.  The integer sum D = sum qc_i rc_i is
// exact, and expanding (qc - e).(rc - g), by Cauchy-Schwarz,
//
//   p s_q s_r = D - qc.g - e.rc + e.g <= D + |qc| |g| + |e| (|rc| + |g|),
//
// with upper bounds on the four norms worked out as the vectors are coded.
// That upper bound may stand for f above: s <= p + (half of c's room), so
// it rules a row out when it is below b * root_r.  The tile sums the
// query's codes plus 128 (unsigned), Du = D + 128 S_r with S_r = sum rc_i,
// and tests, with B = b * s_q per query and w = root_r * s_r per row,
//
//   not Du < ((B * w + 128 S_r) - |qc| |g| - |e| (|rc| + |g|)) - room,
//
// in floats, rounded at each step (or fused).  The room, 2^-19 (|B| 128
// sqrt(n) + 65536 n), is many times the rounding of the test's every
// operand and step (Du <= 255 * 127 n, w <= 127 sqrt(n) (1 + 2u),
// |128 S_r| <= 128 * 127 n, each product of norms <= 66 n).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessaray::core {

inline constexpr float kBoundRootLow = 0x1p-50f;
inline constexpr float kBoundRootHigh = 0x1p+60f;
// Above this many elements the bound is too loose to rule anything out.
inline constexpr std::size_t kBoundMaxDim = std::size_t{1} << 16;

// The per-query limit b for the pairs of a query whose root is `query_root`
// against a sink whose bar is `bar`, at `dim` elements: a row whose root_r
// lies in [kBoundRootLow, kBoundRootHigh] and whose approximate dot product f
// satisfies f < b * root_r (rounded once) cannot score above `bar`.  NaN when the bound does not apply (bar not finite, query_root
// outside [kBoundRootLow, kBoundRootHigh], dim over kBoundMaxDim): every pair
// must then be scored exactly.
float bound_limit(float bar, float query_root, std::size_t dim) noexcept;

// The largest code's magnitude: a query's everywhere, and a row's where
// the tile sums four byte products at once (VNNI).
inline constexpr float kCodeMax = 127.0f;
// A row's largest code where the tile adds pairs of byte products in 16
// bits (AVX2): 2 * 255 * 63 fits them.
inline constexpr float kNarrowCodeMax = 63.0f;

// An upper bound, as a float, on a norm given as a double a few roundings
// below it.
float norm_above(double norm) noexcept;

// A query's side of the coded test, for its limit b (bound_limit()) and its
// codes' scale s_q: `limit` B and `room`.  NaN limit when b is NaN or B is
// too large for the test's floats.
struct CodedLimit {
    float limit;
    float room;
};
CodedLimit coded_limit(float b, float scale, std::size_t dim) noexcept;

// The rows of a block whose scores are known without their dot products,
// among those the bounded tiles mark whatever their sums: bit j of `zero`
// for a row j whose root is 0 or +inf (its score is 0 against a query the
// bound applies to, or NaN where the dot product overflows), of `nan` for
// one whose root is NaN (its score is NaN).
struct KnownRows {
    std::uint64_t zero;
    std::uint64_t nan;
};
// The known rows of a block of kBlockRows rows, from their roots.
KnownRows known_rows(const float* roots) noexcept;

// The known rows that a sink whose bound limit is `limit` (a number, so its
// bar is one) cannot keep: a NaN score never enters against a number, and
// a limit above 0 means a bar above 0 (bound_limit() takes c and more off
// the bar), which a score of 0 does not pass.
inline std::uint64_t unwanted(KnownRows known, float limit) noexcept {
    return known.nan | (limit > 0.0f ? known.zero : 0);
}

}  // namespace tessaray::core
