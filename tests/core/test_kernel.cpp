// test_kernel.cpp: the reference arithmetic, and every block kernel against it bit for bit.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/kernel.hpp"
#include "core/score_bound.hpp"
#include "core/store.hpp"
#include "test_util.hpp"

namespace tessaray::core {
namespace {

using test::bits;

// Scores agree when their bits agree, NaNs included: every NaN score is
// kScoreNaN, whatever NaNs went in.
bool same_score(float got, float expected) { return bits(got) == bits(expected); }

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
// NaNs of the other sign and with payloads, as x86 would pass them on.
const float kNegNaN = std::bit_cast<float>(0xFFC00000u);
const float kPayloadNaN = std::bit_cast<float>(0x7FC12345u);
const float kNegPayloadNaN = std::bit_cast<float>(0xFFE54321u);

// ---------------------------------------------------------------------------
// The reference against known values.

struct KnownCase {
    std::vector<float> a;
    std::vector<float> b;
    double expected;  // the float result, widened; NaN means kScoreNaN
    const char* what;
};

TEST(CosineRef, KnownValues) {
    const std::vector<KnownCase> cases = {
        {{1, 1}, {1, 1}, 1.0000001192092896, "equal vectors round above one"},
        {{1, 2, 3}, {1, 2, 3}, 0.9999999403953552, "equal vectors round below one"},
        {{3, 4}, {4, 3}, 0.9599999785423279, "3-4-5 triangle"},
        {{1, 0}, {-0.0f, -1}, -0.0, "dot of negative zeros stays -0.0"},
        {{1e-30f}, {1e-30f}, 0.0, "squares underflow: zero root gives +0.0"},
        {{1e20f}, {1e20f}, std::nan(""), "squares overflow: inf / inf"},
        {{1e20f, 0}, {0, 1}, 0.0, "zero dot over an infinite root"},
        {{kNaN}, {0}, 0.0, "zero vector wins over NaN"},
        {{kNegNaN, 1}, {1, 1}, std::nan(""), "a negative NaN gives the positive one"},
        {{kNegPayloadNaN, kPayloadNaN}, {1, 1}, std::nan(""), "NaN payloads are dropped"},
        {{-1e20f, 1}, {1e20f, 1}, std::nan(""), "-inf / inf"},
    };
    for (const KnownCase& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(c.a.size(), c.b.size());
        for (int swap = 0; swap < 2; ++swap) {
            SCOPED_TRACE(swap ? "swapped" : "as given");
            const std::vector<float>& x = swap ? c.b : c.a;
            const std::vector<float>& y = swap ? c.a : c.b;
            const float got = cosine_ref(x.data(), y.data(), x.size());
            if (std::isnan(c.expected)) {
                EXPECT_EQ(bits(got), kScoreNaNBits) << std::hex << bits(got);
            } else {
                // Compare bits, so that the sign of a zero counts.
                EXPECT_EQ(bits(got), bits(static_cast<float>(c.expected))) << got << " vs " << c.expected;
                EXPECT_EQ(static_cast<double>(got), c.expected);
            }
        }
    }
}

TEST(CosineRef, SwapSymmetricOnRandomVectors) {
    std::mt19937 rng(7);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    for (std::size_t dim : {1u, 2u, 5u, 64u, 300u}) {
        for (int rep = 0; rep < 50; ++rep) {
            std::vector<float> a(dim), b(dim);
            for (float& x : a) x = normal(rng);
            for (float& x : b) x = normal(rng);
            EXPECT_EQ(bits(cosine_ref(a.data(), b.data(), dim)), bits(cosine_ref(b.data(), a.data(), dim)))
                << "dim " << dim;
        }
    }
}

TEST(CosineRef, SumsInIndexOrderFromNegativeZero) {
    // 1 + 1e8 - 1e8 is 0 in float when summed left to right, but 1 when the
    // last two are added first: the order is observable.
    const std::vector<float> a = {1.0f, 1e8f, -1e8f};
    const std::vector<float> ones = {1.0f, 1.0f, 1.0f};
    EXPECT_EQ(dot_ref(a.data(), ones.data(), 3), 0.0f);
    const std::vector<float> b = {-0.0f, -0.0f};
    EXPECT_EQ(bits(dot_ref(ones.data(), b.data(), 2)), bits(-0.0f));
    EXPECT_EQ(bits(dot_ref(ones.data(), b.data(), 0)), bits(-0.0f));
}

// ---------------------------------------------------------------------------
// Blocks laid out as the store lays them out.

struct Blocks {
    std::size_t dim = 0;
    std::size_t nblocks = 0;
    std::vector<float> storage;  // blocks start at `offset` floats in
    std::size_t offset = 0;
    std::vector<float> roots;
    const float* data() const { return storage.data() + offset; }
};

// Interleaves `rows` (each of length dim) into blocks of kBlockRows rows;
// unused lanes of the last block are zero, their roots zero.  `offset`
// shifts the start so that kernels see unaligned blocks too.
Blocks make_blocks(const std::vector<std::vector<float>>& rows, std::size_t dim, std::size_t offset = 0) {
    Blocks out;
    out.dim = dim;
    out.nblocks = (rows.size() + kBlockRows - 1) / kBlockRows;
    out.offset = offset;
    out.storage.assign(offset + out.nblocks * dim * kBlockRows, 0.0f);
    out.roots.assign(out.nblocks * kBlockRows, 0.0f);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        float* block = out.storage.data() + offset + (r / kBlockRows) * dim * kBlockRows;
        for (std::size_t i = 0; i < dim; ++i) block[i * kBlockRows + r % kBlockRows] = rows[r][i];
        out.roots[r] = root_of(sum_squares_ref(rows[r].data(), dim));
    }
    return out;
}

// The blocks' rows coded by the set's coded kernels, and coded queries:
// the coded tile's inputs.
struct CodedPanel {
    std::vector<std::int8_t> codes;
    std::vector<float> rows;  // weights, offsets, errors and spans
    std::vector<std::uint64_t> always;
    CodedRows view;

    CodedPanel(const KernelSet& set, const Blocks& blocks)
        : codes(blocks.nblocks * kBlockRows * code_groups(blocks.dim) * 4),
          rows(4 * blocks.nblocks * kBlockRows),
          always(blocks.nblocks) {
        const std::size_t n = blocks.nblocks * kBlockRows;
        view = {codes.data(), rows.data(), rows.data() + n, rows.data() + 2 * n, rows.data() + 3 * n, always.data()};
        set.codes.code_blocks(blocks.data(), blocks.roots.data(), blocks.dim, blocks.nblocks, view);
    }
};

// A query coded into `codes`, in the form `set`'s tile reads, against the
// float limit `limit` (bound_limit()).
CodedQuery code_against(const KernelSet& set, const float* query, std::size_t dim, float limit,
                        std::vector<std::uint8_t>& codes) {
    std::vector<std::uint8_t> bytes(code_groups(dim) * 4, 0);
    const QueryCode code = code_query(query, dim, bytes.data());
    codes = bytes;
    if (set.codes.widen_query != nullptr) {
        codes.assign(code_groups(dim) * set.codes.query_group_bytes, 0);
        set.codes.widen_query(bytes.data(), dim, codes.data());
    }
    const CodedLimit coded = coded_limit(limit, code.scale, dim);
    return {codes.data(), coded.limit, coded.room, code.norm, code.error};
}

// The rows one after another, from `offset` floats in (the store's tail layout).
std::vector<float> row_major(const std::vector<std::vector<float>>& rows, std::size_t dim, std::size_t offset) {
    std::vector<float> out(offset, 0.0f);
    for (const auto& row : rows) out.insert(out.end(), row.begin(), row.begin() + static_cast<std::ptrdiff_t>(dim));
    return out;
}

// Checks `count` scores against the reference, bit for bit, and that the
// sentinels after them are untouched.
void expect_scores(std::string_view what, const std::vector<float>& scores, std::size_t count, float sentinel,
                   const std::vector<float>& query, const std::vector<std::vector<float>>& rows, std::size_t dim) {
    int failures = 0;
    for (std::size_t lane = 0; lane < count && failures < 5; ++lane) {
        // Unused lanes have a zero root, so they score +0.0.
        const float expected = lane < rows.size() ? cosine_ref(query.data(), rows[lane].data(), dim) : 0.0f;
        if (!same_score(scores[lane], expected)) {
            ++failures;
            ADD_FAILURE() << what << ": row " << lane << " of " << rows.size() << ", dim " << dim << ": got "
                          << scores[lane] << " (0x" << std::hex << bits(scores[lane]) << "), expected " << std::dec
                          << expected << " (0x" << std::hex << bits(expected) << ")" << std::dec;
        }
    }
    for (std::size_t k = count; k < scores.size(); ++k) {
        EXPECT_EQ(bits(scores[k]), bits(sentinel)) << what << ": wrote past the end at " << k;
    }
}

// Runs `set`'s block kernel over the blocks and its row kernel over the same
// rows stored one after another, and checks every score against the
// reference, bit for bit, and that nothing is written past the end.
void expect_matches_reference(const KernelSet& set, const std::vector<float>& query,
                              const std::vector<std::vector<float>>& rows, const Blocks& blocks) {
    const std::size_t dim = blocks.dim;
    const std::size_t lanes = blocks.nblocks * kBlockRows;
    const float sentinel = std::bit_cast<float>(0x7fa5a5a5u);  // a NaN no kernel produces
    std::vector<float> scores(lanes + kBlockRows, sentinel);
    const float query_root = root_of(sum_squares_ref(query.data(), dim));
    set.score_blocks(query.data(), query_root, blocks.data(), blocks.roots.data(), dim, blocks.nblocks, scores.data());
    expect_scores(std::string(set.name) + " blocks", scores, lanes, sentinel, query, rows, dim);

    const std::vector<float> unpacked = row_major(rows, dim, blocks.offset);
    scores.assign(rows.size() + kBlockRows, sentinel);
    set.score_rows(query.data(), query_root, unpacked.data() + blocks.offset, blocks.roots.data(), dim, rows.size(),
                   scores.data());
    expect_scores(std::string(set.name) + " rows", scores, rows.size(), sentinel, query, rows, dim);

    // The same rows against tiles of 1 .. tile_queries queries: the query,
    // its negation, the zero query, and the first rows themselves.
    std::vector<std::vector<float>> tile_queries = {query, query, std::vector<float>(dim, -0.0f)};
    for (float& x : tile_queries[1]) x = -x;
    for (std::size_t r = 0; tile_queries.size() < set.tile_queries; ++r) tile_queries.push_back(rows[r % rows.size()]);
    for (std::size_t count = 1; count <= set.tile_queries; ++count) {
        const float* pointers[kMaxTileQueries];
        float roots[kMaxTileQueries];
        for (std::size_t t = 0; t < count; ++t) {
            pointers[t] = tile_queries[t].data();
            roots[t] = root_of(sum_squares_ref(pointers[t], dim));
        }
        const std::size_t stride = lanes + 3;
        std::vector<float> tile_scores(count * stride + kBlockRows, sentinel);
        set.score_tile(pointers, roots, count, blocks.data(), blocks.roots.data(), dim, blocks.nblocks,
                       tile_scores.data(), stride, true);
        for (std::size_t t = 0; t < count; ++t) {
            // Up to the next query's scores, or to the end: nothing written between.
            const std::size_t end = t + 1 == count ? tile_scores.size() : (t + 1) * stride;
            const std::vector<float> one(tile_scores.begin() + static_cast<std::ptrdiff_t>(t * stride),
                                         tile_scores.begin() + static_cast<std::ptrdiff_t>(end));
            expect_scores(std::string(set.name) + " tile of " + std::to_string(count) + ", query " + std::to_string(t),
                          one, lanes, sentinel, tile_queries[t], rows, dim);
        }
    }

    // Listed pairs: 1 .. kMaxPairs pairs of those queries against rows of
    // one block, in no order, a row or a query more than once; each sum
    // gives its pair's reference score (unused lanes are zero rows).
    std::vector<float> flat;
    for (const auto& q : tile_queries) flat.insert(flat.end(), q.begin(), q.begin() + static_cast<std::ptrdiff_t>(dim));
    for (std::size_t count = 1; count <= kMaxPairs; ++count) {
        const std::size_t b = count % blocks.nblocks;
        std::int32_t pair_lanes[kMaxPairs] = {};
        std::int32_t at[kMaxPairs] = {};
        for (std::size_t t = 0; t < count; ++t) {
            pair_lanes[t] = static_cast<std::int32_t>((t * 37 + count * 11) % kBlockRows);
            at[t] = static_cast<std::int32_t>((t + count) % tile_queries.size() * dim);
        }
        float sums[kMaxPairs];
        set.sum_pairs(flat.data(), at, pair_lanes, count, blocks.data() + b * dim * kBlockRows, dim, sums);
        for (std::size_t t = 0; t < count; ++t) {
            const std::size_t row = b * kBlockRows + static_cast<std::size_t>(pair_lanes[t]);
            const float* pair_query = flat.data() + at[t];
            const float want = row < rows.size() ? cosine_ref(pair_query, rows[row].data(), dim) : 0.0f;
            const float got = score_from_parts(sums[t], root_of(sum_squares_ref(pair_query, dim)), blocks.roots[row]);
            EXPECT_TRUE(same_score(got, want)) << set.name << " " << count << " pairs, pair " << t << " (row " << row
                                               << "): " << got << " vs " << want;
        }
    }

    // The bounded tile, in floats and (where the CPU has it) in codes,
    // against bars among the scores themselves (each query's median score,
    // and the next float above it with a third of the rows allowed), its
    // marked rows scored exactly: a marked row is allowed and has its
    // reference score, bit for bit, and a row it rules out scores -inf and
    // does not beat the bar or is not allowed.
    const std::optional<CodedPanel> panel =
        set.codes.code_blocks != nullptr ? std::optional<CodedPanel>(std::in_place, set, blocks) : std::nullopt;
    for (std::size_t count = 1; count <= set.tile_queries; ++count) {
        for (const auto& [above, coded] : {std::pair{false, false}, {true, false}, {false, true}, {true, true}}) {
            if (coded && set.codes.bound_codes == nullptr) continue;
            const float* pointers[kMaxTileQueries];
            float roots[kMaxTileQueries];
            float bars[kMaxTileQueries];
            float limits[kMaxTileQueries];
            CodedQuery coded_queries[kMaxTileQueries];
            std::vector<std::uint8_t> query_codes[kMaxTileQueries];
            bool bounded = true;
            for (std::size_t t = 0; t < count; ++t) {
                pointers[t] = tile_queries[t].data();
                roots[t] = root_of(sum_squares_ref(pointers[t], dim));
                std::vector<float> finite;
                for (const auto& row : rows) {
                    const float score = cosine_ref(pointers[t], row.data(), dim);
                    if (std::isfinite(score)) finite.push_back(score);
                }
                std::nth_element(finite.begin(), finite.begin() + static_cast<std::ptrdiff_t>(finite.size() / 2),
                                 finite.end());
                bars[t] = finite.empty() ? 0.0f : finite[finite.size() / 2];
                if (above) bars[t] = std::nextafter(bars[t], kInf);
                limits[t] = bound_limit(bars[t], roots[t], dim);
                if (coded) {
                    coded_queries[t] = code_against(set, pointers[t], dim, limits[t], query_codes[t]);
                    bounded = bounded && !std::isnan(coded_queries[t].limit);
                }
                bounded = bounded && !std::isnan(limits[t]);
            }
            if (!bounded) continue;
            std::vector<float> bound_scores(count * lanes, sentinel);
            std::vector<std::uint64_t> hits(count * blocks.nblocks, ~std::uint64_t{0});
            // Above the median, only rows 0, 3, 6, ... 63 of each block allowed.
            std::vector<std::uint64_t> allowed(blocks.nblocks, 0x9249249249249249u);
            if (coded) {
                set.codes.bound_codes(coded_queries, count, panel->view, dim, blocks.nblocks,
                                      above ? allowed.data() : nullptr, hits.data());
            } else {
                set.bound_tile(pointers, limits, count, blocks.data(), blocks.roots.data(), dim, blocks.nblocks,
                               above ? allowed.data() : nullptr, hits.data(), true);
            }
            // Every marked block of every query scored exactly in one call.
            std::vector<ExactBlock> marked;
            for (std::size_t t = 0; t < count; ++t) {
                for (std::size_t b = 0; b < blocks.nblocks; ++b) {
                    float* out = bound_scores.data() + t * lanes + b * kBlockRows;
                    if (hits[t * blocks.nblocks + b] == 0) {
                        std::fill(out, out + kBlockRows, -kInf);
                        continue;
                    }
                    marked.push_back({pointers[t], roots[t], blocks.data() + b * dim * kBlockRows,
                                      blocks.roots.data() + b * kBlockRows, hits[t * blocks.nblocks + b], out});
                }
            }
            set.score_exact(marked.data(), marked.size(), dim);
            int wrong = 0;
            for (std::size_t t = 0; t < count; ++t) {
                for (std::size_t lane = 0; lane < lanes && wrong < 5; ++lane) {
                    const float want = lane < rows.size() ? cosine_ref(pointers[t], rows[lane].data(), dim) : 0.0f;
                    const float got = bound_scores[t * lanes + lane];
                    const bool exact = (hits[t * blocks.nblocks + lane / kBlockRows] >> (lane % kBlockRows)) & 1;
                    const bool may = !above || lane % kBlockRows % 3 == 0;
                    if (exact ? may && same_score(got, want) : got == -kInf && !(may && want > bars[t])) continue;
                    ++wrong;
                    ADD_FAILURE() << set.name << (coded ? " coded" : "") << " bounded tile of " << count << ", query " << t << ", row " << lane
                                  << (exact ? " scored " : " ruled out ") << got << ", score " << want << ", bar "
                                  << bars[t];
                }
            }
        }
    }

    // Packing the rows (padded with zero rows to whole blocks) gives the blocks, bit for bit.
    std::vector<float> padded = row_major(rows, dim, 0);
    padded.resize(lanes * dim, 0.0f);
    std::vector<float> packed(lanes * dim + kBlockRows, sentinel);
    set.pack_blocks(padded.data(), dim, blocks.nblocks, packed.data());
    std::size_t packed_wrong = 0;
    for (std::size_t k = 0; k < packed.size(); ++k) {
        const float want = k < lanes * dim ? blocks.data()[k] : sentinel;
        packed_wrong += bits(packed[k]) != bits(want);
    }
    EXPECT_EQ(packed_wrong, 0u) << set.name << " pack of " << rows.size() << " rows, dim " << dim;

    std::vector<float> block_roots(lanes, sentinel);
    set.root_blocks(blocks.data(), dim, blocks.nblocks, block_roots.data());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        // A NaN root makes every score of its row the one NaN, so its bits do not matter.
        const float want = root_of(sum_squares_ref(rows[r].data(), dim));
        EXPECT_TRUE(std::isnan(want) ? std::isnan(block_roots[r]) : same_score(block_roots[r], want))
            << set.name << " root " << r << ": " << block_roots[r] << " vs " << want;
    }
}

// ---------------------------------------------------------------------------
// Data.

enum class Kind { Normal, Ties, NearTies, SignedZeros, ZeroVectors, Subnormals, Overflow, Infinities, NaNs, Mixed };

const char* kind_name(Kind k) {
    switch (k) {
        case Kind::Normal: return "normal";
        case Kind::Ties: return "ties";
        case Kind::NearTies: return "near ties";
        case Kind::SignedZeros: return "signed zeros";
        case Kind::ZeroVectors: return "zero vectors";
        case Kind::Subnormals: return "subnormals";
        case Kind::Overflow: return "overflow";
        case Kind::Infinities: return "infinities";
        case Kind::NaNs: return "NaNs";
        case Kind::Mixed: return "mixed";
    }
    return "?";
}

constexpr Kind kAllKinds[] = {Kind::Normal,     Kind::Ties,     Kind::NearTies,   Kind::SignedZeros, Kind::ZeroVectors,
                              Kind::Subnormals, Kind::Overflow, Kind::Infinities, Kind::NaNs,        Kind::Mixed};

class Generator {
public:
    explicit Generator(std::uint32_t seed) : rng_(seed) {}

    float normal() { return normal_(rng_); }
    bool coin(double p) { return std::bernoulli_distribution(p)(rng_); }
    std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
    float sign() { return coin(0.5) ? 1.0f : -1.0f; }

    // One vector of the given kind.  `is_query` picks the query's side of
    // the signed-zero pattern.
    std::vector<float> vector(Kind kind, std::size_t dim, bool is_query) {
        std::vector<float> v(dim);
        switch (kind) {
            case Kind::Normal:
            case Kind::Ties:
                for (float& x : v) x = normal();
                break;
            case Kind::NearTies:
                // One vector changed in its last bits: scores a few ulps
                // apart, where summing in another order changes their order.
                if (near_.size() != dim) {
                    near_.resize(dim);
                    for (float& x : near_) x = normal();
                }
                for (std::size_t i = 0; i < dim; ++i) v[i] = near_[i] * (1.0f + 1e-6f * normal());
                break;
            case Kind::SignedZeros:
                // Query: 1 at even indices, +0 at odd ones.  Rows: signed
                // zeros at even indices, nonzero at odd ones; half the rows
                // have -0.0 and negatives so every product is -0.0 and the dot
                // is -0.0 over nonzero roots.
                if (is_query) {
                    for (std::size_t i = 0; i < dim; ++i) v[i] = i % 2 == 0 ? 1.0f : (coin(0.8) ? 0.0f : 1.0f);
                } else {
                    const bool all_negative = coin(0.5);
                    for (std::size_t i = 0; i < dim; ++i) {
                        if (i % 2 == 0)
                            v[i] = all_negative ? -0.0f : sign() * 0.0f;
                        else
                            v[i] = all_negative ? -std::fabs(normal()) - 0.5f : normal();
                    }
                }
                break;
            case Kind::ZeroVectors:
                if (coin(0.5)) {
                    for (float& x : v) x = sign() * 0.0f;
                } else {
                    for (float& x : v) x = coin(0.3) ? normal() : sign() * 0.0f;
                }
                break;
            case Kind::Subnormals:
                for (float& x : v) {
                    const std::size_t pick = below(4);
                    if (pick == 0)
                        x = sign() * std::numeric_limits<float>::denorm_min() * static_cast<float>(1 + below(1000));
                    else if (pick == 1)
                        x = sign() * std::numeric_limits<float>::min() * std::fabs(normal());
                    else if (pick == 2)
                        x = normal() * 1e-20f;  // squares underflow
                    else
                        x = normal();
                }
                break;
            case Kind::Overflow:
                for (float& x : v) x = coin(0.3) ? normal() * 1e20f : normal() * 1e10f;
                break;
            case Kind::Infinities:
                for (float& x : v) x = coin(0.1) ? sign() * kInf : normal();
                break;
            case Kind::NaNs: {
                const float nans[] = {kNaN, kNegNaN, kPayloadNaN, kNegPayloadNaN};
                for (float& x : v) x = coin(0.05) ? nans[below(std::size(nans))] : normal();
                break;
            }
            case Kind::Mixed: {
                const float menu[] = {0.0f,
                                      -0.0f,
                                      kInf,
                                      -kInf,
                                      kNaN,
                                      kNegNaN,
                                      1e20f,
                                      -1e-20f,
                                      std::numeric_limits<float>::denorm_min(),
                                      1.0f,
                                      -1.0f,
                                      std::numeric_limits<float>::max(),
                                      std::numeric_limits<float>::min()};
                for (float& x : v) x = coin(0.5) ? menu[below(std::size(menu))] : normal();
                break;
            }
        }
        return v;
    }

    // `count` rows of a kind; Ties repeats a few rows (and the query) many times.
    std::vector<std::vector<float>> rows(Kind kind, std::size_t count, std::size_t dim,
                                         const std::vector<float>& query) {
        std::vector<std::vector<float>> out;
        out.reserve(count);
        for (std::size_t r = 0; r < count; ++r) {
            if (kind == Kind::Ties && r > 0 && coin(0.7)) {
                out.push_back(coin(0.3) ? query : out[below(out.size())]);
            } else {
                out.push_back(vector(kind, dim, false));
            }
        }
        return out;
    }

private:
    std::mt19937 rng_;
    std::normal_distribution<float> normal_{0.0f, 1.0f};
    std::vector<float> near_;
};

// ---------------------------------------------------------------------------
// Every kernel set this CPU runs, against the reference.

std::vector<const KernelSet*> all_supported() {
    const KernelSet* sets[8];
    const std::size_t n = supported_kernels(sets, 8);
    return {sets, sets + n};
}

class KernelTest : public ::testing::TestWithParam<const KernelSet*> {};

constexpr std::size_t kDims[] = {0, 1, 2, 3, 7, 8, 15, 16, 17, 31, 33, 127, 128, 129, 768};

TEST_P(KernelTest, MatchesReferenceBitForBit) {
    const KernelSet& set = *GetParam();
    std::uint32_t seed = 1;
    for (Kind kind : kAllKinds) {
        for (std::size_t dim : kDims) {
            for (std::size_t nblocks = 1; nblocks <= 9; ++nblocks) {
                SCOPED_TRACE(std::string(kind_name(kind)) + ", dim " + std::to_string(dim) + ", blocks " +
                             std::to_string(nblocks));
                Generator gen(seed++);
                // Vary how full the last block is, from 1 lane to all kBlockRows.
                const std::size_t count = (nblocks - 1) * kBlockRows + 1 + (nblocks * 7 + dim) % kBlockRows;
                std::vector<float> query = gen.vector(kind, dim, true);
                // Sometimes the zero query: every score is +0.0.
                if (kind == Kind::ZeroVectors && nblocks % 2 == 0) query.assign(dim, nblocks % 4 == 0 ? -0.0f : 0.0f);
                const auto rows = gen.rows(kind, count, dim, query);
                const Blocks blocks = make_blocks(rows, dim, nblocks % 3);
                expect_matches_reference(set, query, rows, blocks);
                if (HasFailure()) return;
            }
        }
    }
}

TEST_P(KernelTest, FullBlocksAndLargePanels) {
    // More blocks in one call than above (up to 9), all lanes used.
    const KernelSet& set = *GetParam();
    Generator gen(99);
    for (std::size_t nblocks : {10u, 11u, 12u, 13u, 16u, 33u}) {
        for (std::size_t dim : {5u, 64u, 130u}) {
            SCOPED_TRACE("dim " + std::to_string(dim) + ", blocks " + std::to_string(nblocks));
            const std::vector<float> query = gen.vector(Kind::Normal, dim, true);
            const auto rows = gen.rows(Kind::Mixed, nblocks * kBlockRows, dim, query);
            expect_matches_reference(set, query, rows, make_blocks(rows, dim));
        }
    }
}

// The coded bound where every code errs the same way: a row (or query) of
// a 1 and elements that code to 0 with an error of 0.49 each, against the
// all-ones query (or row), whose products all add up.  Each must be marked
// against a bar one float below its score.
TEST_P(KernelTest, CodedBoundHoldsWhereEveryCodeErrsOneWay) {
    const KernelSet& set = *GetParam();
    if (set.codes.bound_codes == nullptr) GTEST_SKIP() << "no coded tile at this level on this CPU";
    for (const std::size_t dim : {3u, 128u, 768u}) {
        // Rows and queries may be coded to different largest codes.
        auto erring = [dim](float top) {
            std::vector<float> v(dim, 0.49f / top);
            v[0] = 1.0f;
            return v;
        };
        const std::vector<float> ones(dim, 1.0f);
        const std::vector<std::vector<float>> rows = {erring(set.codes.row_code_max), ones};
        const std::vector<std::vector<float>> queries = {ones, erring(kCodeMax)};
        const Blocks blocks = make_blocks(rows, dim);
        const CodedPanel panel(set, blocks);
        for (std::size_t t = 0; t < 2; ++t) {
            const std::vector<float>& query = queries[t];
            const float bar = std::nextafter(cosine_ref(query.data(), rows[t].data(), dim), -kInf);
            std::vector<std::uint8_t> codes;
            const CodedQuery coded = code_against(
                set, query.data(), dim, bound_limit(bar, root_of(sum_squares_ref(query.data(), dim)), dim), codes);
            std::uint64_t hits = 0;
            set.codes.bound_codes(&coded, 1, panel.view, dim, 1, nullptr, &hits);
            EXPECT_EQ((hits >> t) & 1, 1u) << set.name << ", dim " << dim << ", row " << t << " ruled out";
        }
    }
}

TEST_P(KernelTest, ZeroBlocksWritesNothing) {
    const KernelSet& set = *GetParam();
    const std::vector<float> query = {1.0f, 2.0f};
    const float sentinel = 42.0f;
    std::vector<float> scores(kBlockRows, sentinel);
    set.score_blocks(query.data(), root_of(sum_squares_ref(query.data(), 2)), nullptr, nullptr, 2, 0, scores.data());
    set.score_rows(query.data(), root_of(sum_squares_ref(query.data(), 2)), nullptr, nullptr, 2, 0, scores.data());
    for (float s : scores) EXPECT_EQ(s, sentinel);
}

TEST_P(KernelTest, SignOfZeroScores) {
    // The dot of all -0.0 products is -0.0 and so is its score; a zero root
    // gives +0.0 whatever the dot.
    const KernelSet& set = *GetParam();
    const std::vector<float> query = {1.0f, 0.0f};
    const std::vector<std::vector<float>> rows = {
        {-0.0f, -1.0f},  // -0.0
        {0.0f, -1.0f},   // +0.0 (+0 + -0)
        {-0.0f, -0.0f},  // zero row: +0.0
        {0.0f, 0.0f},    // zero row: +0.0
        {kNaN, 0.0f},    // NaN row: NaN
        {1.0f, 0.0f},    // 1
    };
    const Blocks blocks = make_blocks(rows, 2);
    std::vector<float> scores(kBlockRows);
    set.score_blocks(query.data(), 1.0f, blocks.data(), blocks.roots.data(), 2, 1, scores.data());
    EXPECT_EQ(bits(scores[0]), bits(-0.0f));
    EXPECT_EQ(bits(scores[1]), bits(0.0f));
    EXPECT_EQ(bits(scores[2]), bits(0.0f));
    EXPECT_EQ(bits(scores[3]), bits(0.0f));
    EXPECT_EQ(bits(scores[4]), kScoreNaNBits);
    EXPECT_EQ(scores[5], 1.0f);
    for (std::size_t lane = rows.size(); lane < kBlockRows; ++lane) EXPECT_EQ(bits(scores[lane]), bits(0.0f));
    // A zero query root: every lane +0.0, even over NaN rows.
    set.score_blocks(query.data(), -0.0f, blocks.data(), blocks.roots.data(), 2, 1, scores.data());
    for (float s : scores) EXPECT_EQ(bits(s), bits(0.0f));
}

TEST_P(KernelTest, EveryNaNScoreIsTheCanonicalNaN) {
    // NaNs of either sign and any payload, in the rows or the query, and NaNs
    // the arithmetic makes (inf - inf, inf / inf): all come out as kScoreNaN.
    const KernelSet& set = *GetParam();
    const float nans[] = {kNaN, kNegNaN, kPayloadNaN, kNegPayloadNaN};
    for (float query_nan : {1.0f, kNegNaN, kNegPayloadNaN}) {
        SCOPED_TRACE(std::isnan(query_nan) ? "NaN in the query" : "plain query");
        const std::vector<float> query = {query_nan, 1.0f, -2.0f};
        std::vector<std::vector<float>> rows;
        for (float a : nans) {
            for (float b : nans) rows.push_back({a, b, 1.0f});
            rows.push_back({1.0f, a, 1.0f});
        }
        rows.push_back({kInf, -kInf, 1.0f});   // inf - inf in the dot
        rows.push_back({-kInf, 1.0f, 1.0f});   // inf / inf
        rows.push_back({3e38f, 3e38f, 1.0f});  // an infinite dot over an infinite root
        rows.push_back({2.0f, 1.0f, 0.0f});    // a number, unless the query is NaN
        const Blocks blocks = make_blocks(rows, 3, 1);
        std::vector<float> scores(blocks.nblocks * kBlockRows);
        set.score_blocks(query.data(), root_of(sum_squares_ref(query.data(), 3)), blocks.data(), blocks.roots.data(), 3,
                         blocks.nblocks, scores.data());
        for (std::size_t r = 0; r < rows.size(); ++r) {
            const bool expect_nan = r + 1 < rows.size() || std::isnan(query_nan);
            const float expected = cosine_ref(query.data(), rows[r].data(), 3);
            EXPECT_EQ(bits(expected), expect_nan ? kScoreNaNBits : bits(expected)) << "reference, row " << r;
            EXPECT_EQ(bits(scores[r]), bits(expected)) << "row " << r << std::hex << ": got 0x" << bits(scores[r]);
        }
    }
}

TEST_P(KernelTest, ScoresTheStoresBlocksAndTail) {
    // The test's layouts are the store's: whole blocks packed, the rows after
    // them one after another.  Row counts around the moment the last block
    // fills, and the kernels score both parts of the store like the reference.
    const KernelSet& set = *GetParam();
    Generator gen(5);
    for (std::size_t dim : {0u, 1u, 7u, 17u, 128u}) {
        for (std::size_t count : {1u, 63u, 64u, 65u, 127u, 128u, 129u}) {
            SCOPED_TRACE("dim " + std::to_string(dim) + ", rows " + std::to_string(count));
            const std::vector<float> query = gen.vector(Kind::Mixed, dim, true);
            const auto rows = gen.rows(Kind::Mixed, count, dim, query);
            Vectorstore store(dim);
            for (std::size_t r = 0; r < count; ++r) ASSERT_TRUE(store.insert(rows[r], r).has_value());
            const std::size_t packed = count / kBlockRows * kBlockRows;
            ASSERT_EQ(store.block_count(), count / kBlockRows);
            ASSERT_EQ(store.packed_rows(), packed);
            ASSERT_EQ(store.tail_rows(), count - packed);
            const Blocks mine = make_blocks({rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(packed)}, dim);
            for (std::size_t k = 0; k < mine.nblocks * dim * kBlockRows; ++k) {
                ASSERT_EQ(bits(store.blocks_data()[k]), bits(mine.data()[k])) << "float " << k;
            }
            const std::vector<float> tail =
                row_major({rows.begin() + static_cast<std::ptrdiff_t>(packed), rows.end()}, dim, 0);
            for (std::size_t k = 0; k < tail.size(); ++k) {
                ASSERT_EQ(bits(store.tail_data()[k]), bits(tail[k])) << "tail float " << k;
            }
            for (std::size_t r = 0; r < count; ++r) {
                ASSERT_EQ(bits(store.roots_data()[r]), bits(root_of(sum_squares_ref(rows[r].data(), dim))))
                    << "root " << r;
            }
            std::vector<float> scores(count);
            const float query_root = root_of(sum_squares_ref(query.data(), dim));
            set.score_blocks(query.data(), query_root, store.blocks_data(), store.roots_data(), dim,
                             store.block_count(), scores.data());
            set.score_rows(query.data(), query_root, store.tail_data(), store.roots_data() + packed, dim,
                           store.tail_rows(), scores.data() + packed);
            for (std::size_t r = 0; r < count; ++r) {
                const float expected = cosine_ref(query.data(), rows[r].data(), dim);
                EXPECT_TRUE(same_score(scores[r], expected)) << "row " << r << ": " << scores[r] << " vs " << expected;
            }
        }
    }
}

TEST_P(KernelTest, RowKernelReadsOnlyItsRows) {
    // The rows, and separately their roots, end where readable memory ends:
    // a kernel that loads a lane past the last row or root faults.
    const KernelSet& set = *GetParam();
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    char* map = static_cast<char*>(mmap(nullptr, 4 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(map, MAP_FAILED);
    ASSERT_EQ(mprotect(map + page, page, PROT_NONE), 0);
    ASSERT_EQ(mprotect(map + 3 * page, page, PROT_NONE), 0);
    Generator gen(11);
    for (std::size_t dim : {1u, 3u, 16u}) {
        for (std::size_t count : {1u, 5u, 17u, 63u}) {
            SCOPED_TRACE("dim " + std::to_string(dim) + ", rows " + std::to_string(count));
            const std::vector<float> query = gen.vector(Kind::Normal, dim, true);
            const auto rows = gen.rows(Kind::Normal, count, dim, query);
            const std::vector<float> unpacked = row_major(rows, dim, 0);
            float* row_data = reinterpret_cast<float*>(map + page) - unpacked.size();
            float* roots = reinterpret_cast<float*>(map + 3 * page) - count;
            std::copy(unpacked.begin(), unpacked.end(), row_data);
            for (std::size_t r = 0; r < count; ++r) roots[r] = root_of(sum_squares_ref(rows[r].data(), dim));
            std::vector<float> scores(count);
            set.score_rows(query.data(), root_of(sum_squares_ref(query.data(), dim)), row_data, roots, dim, count,
                           scores.data());
            expect_scores(set.name, scores, count, 0.0f, query, rows, dim);
        }
    }
    munmap(map, 4 * page);
}

INSTANTIATE_TEST_SUITE_P(SupportedKernels, KernelTest, ::testing::ValuesIn(all_supported()),
                         [](const ::testing::TestParamInfo<const KernelSet*>& param_info) {
                             return std::string(param_info.param->name);
                         });

// ---------------------------------------------------------------------------
// Dispatch.

TEST(KernelDispatch, ListsWhatTheCpuRunsBestFirst) {
    const auto sets = all_supported();
    std::vector<std::string> names;
    for (const KernelSet* s : sets) names.emplace_back(s->name);

    std::vector<std::string> expected;
    if (__builtin_cpu_supports("avx512f")) expected.emplace_back("avx512");
    if (__builtin_cpu_supports("avx2")) expected.emplace_back("avx2");
    expected.emplace_back("baseline");
    EXPECT_EQ(names, expected);

    // Truncated lists keep the order.
    const KernelSet* one[1];
    ASSERT_EQ(supported_kernels(one, 1), 1u);
    EXPECT_EQ(one[0]->name, names.front());
    EXPECT_EQ(supported_kernels(one, 0), 0u);
}

TEST(KernelDispatch, ActiveIsSupported) {
    const auto sets = all_supported();
    const KernelSet& active = active_kernels();
    EXPECT_EQ(&active, &active_kernels()) << "chosen once";
    bool found = false;
    for (const KernelSet* s : sets) found = found || s == &active;
    EXPECT_TRUE(found) << active.name;
    const char* forced = std::getenv("TESSARAY_SIMD");
    bool forced_supported = false;
    for (const KernelSet* s : sets) forced_supported = forced_supported || (forced && s->name == forced);
    EXPECT_EQ(active.name, forced_supported ? std::string_view(forced) : sets.front()->name);
}

}  // namespace
}  // namespace tessaray::core
