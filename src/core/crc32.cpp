// crc32.cpp: zlib's CRC-32 by carry-less multiplication (PCLMULQDQ, VPCLMULQDQ) and the choice of path.
//
// The CRC is the reflected one: the first bit of the data is the lowest bit
// of its first byte, and a 32-bit CRC holds the coefficient of x^(31-i) in
// bit i.  So a 16-byte block loaded little-endian holds in bit i the
// coefficient of x^(127-i) (counting from the block's own end): its low 64
// bits are the upper half H of the block's polynomial, its high 64 bits the
// lower half L.  The CRC of data ending in that block is reflect(block * x^32
// mod P) with the blocks before it folded into it.
//
// A 64-bit half a (bit j = x^(63-j)) times a 64-bit half b the same way gives
// in bit k of the 128-bit product the coefficient of x^(126-k) of a*b: read as
// a block, that is a*b*x.  So a half is multiplied by x^n (mod P) through the
// constant x^(n-1) mod P, 32 bits placed in the upper half of 64 (bit j =
// x^(63-j)); the product has at most 96 bits and fits in a block.
//
// Folding moves a block F bits further on: H*x^64 + L becomes
// H*(x^(64+F) mod P) + L*(x^F mod P), which is xored into the block found F
// bits later.  With PCLMULQDQ eight blocks (128 bytes) are folded at once by
// 1024 bits, then four by 512; with VPCLMULQDQ four 512-bit registers of four
// blocks each (256 bytes) by 2048 bits, then one by 512.
// What remains at the end is reduced to 32 bits (96, then 64 bits by the
// same multiplications, then Barrett's reduction), and bytes short of a
// whole block go to zlib's crc32_z.  Short inputs go there whole.
//
// Starting from a CRC c is the same as starting from 0 with ~c xored into the
// data's first four bytes, which is how the folding paths take it.
#include "core/crc32.hpp"

#include <immintrin.h>
#include <zlib.h>

#include "core/kernel.hpp"

namespace tessaray::core {
namespace {

// P without its x^32 term, reflected.
constexpr std::uint32_t kPoly = 0xEDB88320u;

// x^n mod P, reflected (bit i = x^(31-i)).  Times x is a shift to the right,
// and the x^32 that leaves bit 0 comes back as P - x^32.
constexpr std::uint32_t x_pow_mod(unsigned n) {
    std::uint32_t v = 0x80000000u;
    for (; n > 0; --n) v = (v >> 1) ^ ((v & 1u) != 0 ? kPoly : 0u);
    return v;
}

// The 64-bit constant whose carry-less product with a half multiplies it by x^n mod P.
constexpr std::uint64_t times_x_pow(unsigned n) { return std::uint64_t{x_pow_mod(n - 1)} << 32; }

// The low `bits` bits of v in reverse order.
constexpr std::uint64_t reflect(std::uint64_t v, unsigned bits) {
    std::uint64_t r = 0;
    for (unsigned i = 0; i < bits; ++i) r |= ((v >> i) & 1u) << (bits - 1 - i);
    return r;
}

// P with its x^32 term, 33 bits reflected (bit j = x^(32-j)).
constexpr std::uint64_t kPoly33 = std::uint64_t{kPoly} << 1 | 1u;

// floor(x^64 / P), 33 bits reflected: long division in the usual bit order.
constexpr std::uint64_t barrett_mu() {
    const std::uint64_t p = reflect(kPoly33, 33);
    std::uint64_t rest = 0;
    std::uint64_t quotient = 0;
    for (int bit = 64; bit >= 0; --bit) {
        rest = rest << 1 | (bit == 64 ? 1u : 0u);
        quotient <<= 1;
        if ((rest >> 32 & 1u) != 0) {
            rest ^= p;
            quotient |= 1u;
        }
    }
    return reflect(quotient, 33);
}
constexpr std::uint64_t kMu = barrett_mu();

// The multipliers of a block's upper and lower halves that fold it `bits` further on.
struct FoldBy {
    std::uint64_t upper;
    std::uint64_t lower;
};
constexpr FoldBy fold_by(unsigned bits) { return {times_x_pow(bits + 64), times_x_pow(bits)}; }

constexpr FoldBy k128 = fold_by(128), k256 = fold_by(256), k384 = fold_by(384), k512 = fold_by(512),
                 k1024 = fold_by(1024), k1536 = fold_by(1536), k2048 = fold_by(2048);

std::uint32_t crc32_zlib(std::uint32_t crc, const void* data, std::size_t bytes) noexcept {
    // (crc32_z of a null pointer is 0 whatever the CRC.)
    if (bytes == 0) return crc;
    return static_cast<std::uint32_t>(crc32_z(crc, static_cast<const Bytef*>(data), bytes));
}

#define TESSARAY_CLMUL __attribute__((target("pclmul,sse4.1")))
#define TESSARAY_WIDE __attribute__((target("pclmul,sse4.1,avx2,avx512f,vpclmulqdq")))

TESSARAY_CLMUL inline __m128i constant(FoldBy k) {
    return _mm_set_epi64x(static_cast<long long>(k.lower), static_cast<long long>(k.upper));
}

TESSARAY_CLMUL inline __m128i load(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

TESSARAY_CLMUL inline __m128i fold(__m128i x, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

// Four consecutive blocks folded into the last.
TESSARAY_CLMUL inline __m128i fold_into_last(__m128i x0, __m128i x1, __m128i x2, __m128i x3) {
    return _mm_xor_si128(_mm_xor_si128(fold(x0, constant(k384)), fold(x1, constant(k256))),
                         _mm_xor_si128(fold(x2, constant(k128)), x3));
}

// The CRC of the data folded into `x`, continued over the `bytes` bytes at p that follow.
TESSARAY_CLMUL std::uint32_t finish(__m128i x, const unsigned char* p, std::size_t bytes) noexcept {
    for (; bytes >= 16; p += 16, bytes -= 16) x = _mm_xor_si128(fold(x, constant(k128)), load(p));
    // x*x^32 = H*x^96 + L*x^32: L moves to bits 32..95, H is multiplied.
    const __m128i times96 = _mm_cvtsi64_si128(static_cast<long long>(times_x_pow(96)));
    const __m128i v = _mm_xor_si128(_mm_clmulepi64_si128(x, times96, 0x00), _mm_slli_si128(_mm_srli_si128(x, 8), 4));
    // 96 bits to 64: the upper 32 (bits 32..63) times x^64, into the high half.
    const __m128i times64 = _mm_cvtsi64_si128(static_cast<long long>(times_x_pow(64)));
    const auto u =
        static_cast<std::uint64_t>(_mm_extract_epi64(_mm_xor_si128(_mm_clmulepi64_si128(v, times64, 0x00), v), 1));
    // Barrett: with U = U1*x^32 + U0 and mu = floor(x^64 / P), the quotient
    // q = floor(U1 * mu / x^32) of U by P comes out in bits 0..31 of the first
    // product, q*P mod x^32 in bits 32..63 of the second; U0 + that is U mod P.
    const __m128i upper = _mm_cvtsi64_si128(static_cast<long long>(u & 0xFFFFFFFFu));
    const __m128i product = _mm_clmulepi64_si128(upper, _mm_cvtsi64_si128(static_cast<long long>(kMu)), 0x00);
    const __m128i q = _mm_cvtsi32_si128(_mm_cvtsi128_si32(product));
    const auto qp = static_cast<std::uint64_t>(
        _mm_cvtsi128_si64(_mm_clmulepi64_si128(q, _mm_cvtsi64_si128(static_cast<long long>(kPoly33)), 0x00)));
    const auto crc = static_cast<std::uint32_t>((qp ^ u) >> 32);
    return crc32_zlib(~crc, p, bytes);
}

TESSARAY_CLMUL std::uint32_t crc32_clmul(std::uint32_t crc, const void* data, std::size_t bytes) noexcept {
    if (bytes < 64) return crc32_zlib(crc, data, bytes);
    const auto* p = static_cast<const unsigned char*>(data);
    __m128i x[4];
    for (int i = 0; i < 4; ++i) x[i] = load(p + 16 * i);
    x[0] = _mm_xor_si128(x[0], _mm_cvtsi32_si128(static_cast<int>(~crc)));
    p += 64;
    bytes -= 64;
    if (bytes >= 64) {
        // Eight blocks at a time: x the first four of each 128 bytes, y the last four.
        __m128i y[4];
        for (int i = 0; i < 4; ++i) y[i] = load(p + 16 * i);
        const __m128i k = constant(k1024);
        for (p += 64, bytes -= 64; bytes >= 128; p += 128, bytes -= 128) {
            for (int i = 0; i < 4; ++i) {
                x[i] = _mm_xor_si128(fold(x[i], k), load(p + 16 * i));
                y[i] = _mm_xor_si128(fold(y[i], k), load(p + 64 + 16 * i));
            }
        }
        for (int i = 0; i < 4; ++i) x[i] = _mm_xor_si128(fold(x[i], constant(k512)), y[i]);
    }
    for (; bytes >= 64; p += 64, bytes -= 64) {
        for (int i = 0; i < 4; ++i) x[i] = _mm_xor_si128(fold(x[i], constant(k512)), load(p + 16 * i));
    }
    return finish(fold_into_last(x[0], x[1], x[2], x[3]), p, bytes);
}

TESSARAY_WIDE inline __m512i load_wide(const unsigned char* p) { return _mm512_loadu_si512(p); }

// Each 128-bit lane of x folded by k, xored with `next`.
TESSARAY_WIDE inline __m512i fold_wide(__m512i x, __m512i k, __m512i next) {
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, k, 0x00), _mm512_clmulepi64_epi128(x, k, 0x11), next,
                                     0x96);
}

// (Broadcast and extraction are written masked, with all lanes: GCC 12 warns
// about the undefined source operand of the unmasked forms.)
TESSARAY_WIDE inline __m512i constant_wide(FoldBy k) { return _mm512_maskz_broadcast_i32x4(0xFFFF, constant(k)); }

TESSARAY_WIDE std::uint32_t crc32_wide(std::uint32_t crc, const void* data, std::size_t bytes) noexcept {
    if (bytes < 256) return crc32_clmul(crc, data, bytes);
    const auto* p = static_cast<const unsigned char*>(data);
    __m512i z0 = _mm512_xor_si512(load_wide(p), _mm512_maskz_set1_epi32(1, static_cast<int>(~crc)));
    __m512i z1 = load_wide(p + 64), z2 = load_wide(p + 128), z3 = load_wide(p + 192);
    const __m512i k = constant_wide(k2048);
    for (p += 256, bytes -= 256; bytes >= 256; p += 256, bytes -= 256) {
        z0 = fold_wide(z0, k, load_wide(p));
        z1 = fold_wide(z1, k, load_wide(p + 64));
        z2 = fold_wide(z2, k, load_wide(p + 128));
        z3 = fold_wide(z3, k, load_wide(p + 192));
    }
    __m512i z = fold_wide(z0, constant_wide(k1536),
                          fold_wide(z1, constant_wide(k1024), fold_wide(z2, constant_wide(k512), z3)));
    for (; bytes >= 64; p += 64, bytes -= 64) z = fold_wide(z, constant_wide(k512), load_wide(p));
    const __m128i x =
        fold_into_last(_mm512_maskz_extracti32x4_epi32(0xF, z, 0), _mm512_maskz_extracti32x4_epi32(0xF, z, 1),
                       _mm512_maskz_extracti32x4_epi32(0xF, z, 2), _mm512_maskz_extracti32x4_epi32(0xF, z, 3));
    return finish(x, p, bytes);
}

constexpr Crc32Path kWide{"avx512", "VPCLMULQDQ, 512-bit folding", crc32_wide};
constexpr Crc32Path kClmul{"avx2", "PCLMULQDQ, 128-bit folding", crc32_clmul};
constexpr Crc32Path kZlib{"baseline", "zlib crc32_z", crc32_zlib};

int level_rank(std::string_view level) { return level == "avx512" ? 2 : level == "avx2" ? 1 : 0; }

}  // namespace

std::size_t supported_crc32(const Crc32Path** out, std::size_t max) noexcept {
    std::size_t n = 0;
    __builtin_cpu_init();
    const bool clmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    if (n < max && clmul && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("vpclmulqdq")) {
        out[n++] = &kWide;
    }
    if (n < max && clmul) out[n++] = &kClmul;
    if (n < max) out[n++] = &kZlib;
    return n;
}

const Crc32Path& active_crc32() noexcept {
    static const Crc32Path* chosen = [] {
        const Crc32Path* paths[3];
        const std::size_t n = supported_crc32(paths, 3);
        // The kernels' level is the best, or the one TESSARAY_SIMD forces.
        const int most = level_rank(active_kernels().name);
        for (std::size_t i = 0; i < n; ++i) {
            if (level_rank(paths[i]->name) <= most) return paths[i];
        }
        return paths[n - 1];
    }();
    return *chosen;
}

std::uint32_t crc32_update(std::uint32_t crc, const void* data, std::size_t bytes) noexcept {
    return active_crc32().update(crc, data, bytes);
}

}  // namespace tessaray::core
