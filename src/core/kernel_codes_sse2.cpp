// kernel_codes_sse2.cpp: the bounded tile in 8-bit codes on baseline x86-64: codes widened to 16 bits and summed in pairs (pmaddwd).
//
// SSE2 has no byte products, but pmaddwd multiplies 16-bit integers and
// adds each two neighbouring products into 32 bits, exactly.  A row's codes
// are widened as a register of four rows is read (shared by the tile's
// queries); a query's are widened once per batch (widen_query_sse2), each
// group of four twice over, so that one load serves two rows.  Eight
// products per pmaddwd and its add, against four per multiply and its add
// in floats.  The sums are the integers vpdpbusd gives, and
// score_bound.hpp's test holds for them.
#include <emmintrin.h>

#include <cmath>
#include <cstdint>
#include <utility>

#include "core/kernel.hpp"
#include "core/score_bound.hpp"

namespace tessaray::core {

namespace {

constexpr std::size_t kLanes = 4;
constexpr std::size_t kRowRegs = kBlockRows / kLanes;
// A query's widened group: its four codes plus 128 as 16-bit integers, twice.
constexpr std::size_t kWideGroupBytes = 16;

// The codes of the rows of `nblocks` blocks of the store's layout, in the
// tile's layout, a register of rows at a time.
void code_blocks_sse2(const float* blocks, const float* roots, std::size_t dim, std::size_t nblocks,
                      const CodedRows& out) {
    const std::size_t groups = code_groups(dim);
    const __m128 low = _mm_set1_ps(kBoundRootLow);
    const __m128 high = _mm_set1_ps(kBoundRootHigh);
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    const __m128 most = _mm_set1_ps(kCodeMax);
    const __m128 least = _mm_set1_ps(-kCodeMax);
    const __m128i byte = _mm_set1_epi32(0xFF);
    const float n = static_cast<float>(dim);
    // Products and sums are rounded apart here: (n + 1) u of a norm's
    // square at most, which 2 n u covers.
    const __m128 lost = _mm_set1_ps(1.0f + 2.0f * n * 0x1p-24f);
    const __m128 underflow = _mm_set1_ps(n * 0x1p-100f);
    const __m128 drift = _mm_set1_ps(std::sqrt(n) * (kCodeMax + 0.01f) * 0x1p-24f);
    const __m128 up = _mm_set1_ps(1.0f + 0x1p-16f);
    for (std::size_t b = 0; b < nblocks; ++b) {
        const float* block = blocks + b * dim * kBlockRows;
        std::int8_t* codes = out.codes + b * groups * kBlockRows * 4;
        std::uint64_t odd = 0;
        for (std::size_t r = 0; r < kRowRegs; ++r) {
            const float* rows = block + r * kLanes;
            __m128 top = _mm_setzero_ps();
            for (std::size_t i = 0; i < dim; ++i) {
                top = _mm_max_ps(top, _mm_and_ps(_mm_loadu_ps(rows + i * kBlockRows), magnitude));
            }
            // As in the VNNI coder: a root in the bound's range makes the
            // scale a number; the other rows are coded as zeros and always marked.
            const std::size_t first = b * kBlockRows + r * kLanes;
            const __m128 root = _mm_loadu_ps(roots + first);
            const __m128 coded = _mm_and_ps(_mm_cmpge_ps(root, low), _mm_cmple_ps(root, high));
            odd |= std::uint64_t{static_cast<unsigned>(~_mm_movemask_ps(coded)) & 0xFu} << (r * kLanes);
            const __m128 scale = _mm_and_ps(_mm_div_ps(most, top), coded);
            _mm_storeu_ps(out.weights + first, _mm_mul_ps(root, scale));
            __m128i sum = _mm_setzero_si128();
            __m128 squares = _mm_setzero_ps();
            __m128 errors = _mm_setzero_ps();
            for (std::size_t g = 0; g < groups; ++g) {
                __m128i packed = _mm_setzero_si128();
                for (std::size_t e = 0; e < 4 && g * 4 + e < dim; ++e) {
                    const __m128 x = _mm_mul_ps(_mm_loadu_ps(rows + (g * 4 + e) * kBlockRows), scale);
                    // Rounded to nearest, ties to even (the default mode);
                    // SSE2 clamps in floats, where a code of 127 is exact.
                    const __m128i code = _mm_cvtps_epi32(_mm_min_ps(_mm_max_ps(x, least), most));
                    const __m128 exact = _mm_cvtepi32_ps(code);
                    const __m128 error = _mm_sub_ps(x, exact);
                    errors = _mm_add_ps(errors, _mm_mul_ps(error, error));
                    squares = _mm_add_ps(squares, _mm_mul_ps(exact, exact));
                    sum = _mm_add_epi32(sum, code);
                    packed = _mm_or_si128(packed, _mm_slli_epi32(_mm_and_si128(code, byte), static_cast<int>(8 * e)));
                }
                _mm_storeu_si128(reinterpret_cast<__m128i*>(codes + (g * kBlockRows + r * kLanes) * 4), packed);
            }
            _mm_storeu_ps(out.offsets + first, _mm_mul_ps(_mm_cvtepi32_ps(sum), _mm_set1_ps(128.0f)));
            const __m128 error =
                _mm_mul_ps(_mm_add_ps(_mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(errors, lost), underflow)), drift), up);
            const __m128 span = _mm_mul_ps(_mm_add_ps(_mm_sqrt_ps(_mm_mul_ps(squares, lost)), error), up);
            _mm_storeu_ps(out.errors + first, error);
            _mm_storeu_ps(out.spans + first, span);
        }
        out.always[b] = odd;
    }
}

// Widens a query's codes (code_query()) into kWideGroupBytes per group.
void widen_query_sse2(const std::uint8_t* codes, std::size_t dim, std::uint8_t* out) {
    const __m128i zero = _mm_setzero_si128();
    for (std::size_t g = 0; g < code_groups(dim); ++g) {
        std::int32_t four;
        __builtin_memcpy(&four, codes + g * 4, 4);
        const __m128i wide = _mm_unpacklo_epi8(_mm_set1_epi32(four), zero);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + g * kWideGroupBytes), wide);
    }
}

template <std::size_t Count, bool Filtered>
void bound_codes_fixed(const CodedQuery* queries, const CodedRows& rows, std::size_t dim, std::size_t nblocks,
                       const std::uint64_t* allowed, std::uint64_t* hits) {
    const std::size_t groups = code_groups(dim);
    for (std::size_t b = 0; b < nblocks; ++b) {
        const std::int8_t* block = rows.codes + b * groups * kBlockRows * 4;
        std::uint64_t block_hits[Count] = {};
        for (std::size_t reg = 0; reg < kRowRegs; ++reg) {
            // Lanes of low: rows 0 and 1's first and second pairs; of high, rows 2 and 3's.
            __m128i low[Count];
            __m128i high[Count];
            for (std::size_t t = 0; t < Count; ++t) low[t] = high[t] = _mm_setzero_si128();
            for (std::size_t g = 0; g < groups; ++g) {
                const __m128i codes =
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + (g * kBlockRows + reg * kLanes) * 4));
                const __m128i codes_low = _mm_srai_epi16(_mm_unpacklo_epi8(codes, codes), 8);
                const __m128i codes_high = _mm_srai_epi16(_mm_unpackhi_epi8(codes, codes), 8);
                for (std::size_t t = 0; t < Count; ++t) {
                    const __m128i q =
                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(queries[t].codes + g * kWideGroupBytes));
                    low[t] = _mm_add_epi32(low[t], _mm_madd_epi16(q, codes_low));
                    high[t] = _mm_add_epi32(high[t], _mm_madd_epi16(q, codes_high));
                }
            }
            const std::size_t first = b * kBlockRows + reg * kLanes;
            const __m128 weight = _mm_loadu_ps(rows.weights + first);
            const __m128 offset = _mm_loadu_ps(rows.offsets + first);
            const __m128 error = _mm_loadu_ps(rows.errors + first);
            const __m128 span = _mm_loadu_ps(rows.spans + first);
            for (std::size_t t = 0; t < Count; ++t) {
                const CodedQuery& q = queries[t];
                // Each row's two pairs' sums added: rows 0 to 3 in order.
                const __m128 l = _mm_castsi128_ps(low[t]);
                const __m128 h = _mm_castsi128_ps(high[t]);
                const __m128i sums = _mm_add_epi32(_mm_castps_si128(_mm_shuffle_ps(l, h, _MM_SHUFFLE(2, 0, 2, 0))),
                                                   _mm_castps_si128(_mm_shuffle_ps(l, h, _MM_SHUFFLE(3, 1, 3, 1))));
                __m128 bar = _mm_add_ps(_mm_mul_ps(_mm_set1_ps(q.limit), weight), offset);
                bar = _mm_sub_ps(bar, _mm_mul_ps(_mm_set1_ps(q.norm), error));
                bar = _mm_sub_ps(bar, _mm_mul_ps(_mm_set1_ps(q.error), span));
                bar = _mm_sub_ps(bar, _mm_set1_ps(q.room));
                const unsigned kept = static_cast<unsigned>(_mm_movemask_ps(_mm_cmpnlt_ps(_mm_cvtepi32_ps(sums), bar)));
                block_hits[t] |= std::uint64_t{kept} << (reg * kLanes);
            }
        }
        const std::uint64_t may = Filtered ? allowed[b] : ~std::uint64_t{0};
        for (std::size_t t = 0; t < Count; ++t) hits[t * nblocks + b] = (block_hits[t] | rows.always[b]) & may;
    }
}

template <bool Filtered, std::size_t... Counts>
void bound_codes_any(std::index_sequence<Counts...>, const CodedQuery* queries, std::size_t count,
                     const CodedRows& rows, std::size_t dim, std::size_t nblocks, const std::uint64_t* allowed,
                     std::uint64_t* hits) {
    ((count == Counts + 1 ? bound_codes_fixed<Counts + 1, Filtered>(queries, rows, dim, nblocks, allowed, hits)
                          : void()),
     ...);
}

void bound_codes_sse2(const CodedQuery* queries, std::size_t count, const CodedRows& rows, std::size_t dim,
                      std::size_t nblocks, const std::uint64_t* allowed, std::uint64_t* hits) {
    constexpr auto counts = std::make_index_sequence<kCodeTileQueries>();
    if (allowed != nullptr) {
        bound_codes_any<true>(counts, queries, count, rows, dim, nblocks, allowed, hits);
    } else {
        bound_codes_any<false>(counts, queries, count, rows, dim, nblocks, allowed, hits);
    }
}

}  // namespace

CodeKernels sse2_code_kernels() noexcept {
    return {code_blocks_sse2, bound_codes_sse2, kCodeMax, kWideGroupBytes, widen_query_sse2};
}

}  // namespace tessaray::core
