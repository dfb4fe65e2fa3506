// id_sets.hpp: the sets a list of ids becomes: a bitmap of a narrow range, or a hash set behind a bit filter.
//
// Only id_match.cpp includes this; the sets answer, for 64 stored ids at a
// time, which of them are listed.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/out_of_memory.hpp"

namespace tessaray::core::id_sets {

constexpr std::size_t kWordBits = 64;
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// splitmix64's finalizer, the hash set's: every bit of the id moves about half
// the bits of the hash, so ids that differ only in high bits (multiples of
// 2**k) or that run consecutively spread over the table.
inline std::uint64_t mix(std::uint64_t x) noexcept {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

// The filter's hash, computed for every stored id, so cheaper: the high half
// folded onto the low half, then one multiply by 2**64 / golden ratio.  The
// product's high bits (the filter's word) and bits 32..43 (two bits in that
// word) depend on every bit of the id.  A poor spread would only let more ids
// through to the hash set, never change an answer.
constexpr std::uint64_t kGolden = 0x9e3779b97f4a7c15ULL;
inline std::uint64_t filter_hash(std::uint64_t x) noexcept { return (x ^ (x >> 32)) * kGolden; }

// What the filter's eight-at-a-time pass needs: 64-bit multiplies (DQ),
// compresses of eight 32-bit lanes (VL), and BMI2 for the rest.
#define TESSARAY_ID_WIDE "avx512f,avx512dq,avx512vl,bmi2,popcnt"

// The distinct ids of a list: an open-addressing hash set with linear
// probing, at most half full, and in front of it a bit filter: two bits of
// one word per listed id (a stored id passes when both its bits are set).  A
// slot holding 0 is empty; the id 0 itself has a slot of its own past the
// table.  Every allocation is made by the constructor.
class IdSet {
public:
    explicit IdSet(std::size_t listed) {
        if (listed > (std::size_t(1) << 60)) throw_out_of_memory(std::numeric_limits<std::size_t>::max());
        // About 16 filter bits per listed id (so that about 2 % of the ids not
        // listed pass it), at most 2**20 bits (128 KiB, which stays in L2;
        // with 100,000 listed ids about 4 % pass).
        constexpr std::size_t kMaxFilterWords = (std::size_t(1) << 20) / kWordBits;
        const std::size_t words = std::bit_ceil(std::clamp<std::size_t>(listed / 4, 1, kMaxFilterWords));
        word_shift_ = words == 1 ? 63 : 64 - static_cast<unsigned>(std::countr_zero(words));
        word_mask_ = words - 1;  // only for a filter of one word, whose index would shift by 64
        filter_ = allocate_vector<std::uint64_t>(words);
        const std::size_t table = std::bit_ceil(std::max<std::size_t>(16, listed * 2));
        // The slots past the table repeat its first ones, so that the four
        // slots from any one are read without wrapping.
        keys_ = allocate_vector<std::uint64_t>(table + kMirrored);
        slot_mask_ = table - 1;
    }

    // One slot per table entry, and the id 0's.
    std::size_t slots() const noexcept { return table() + 1; }

    // The slot of `id`, which is added when it is not there yet.  At most the
    // constructor's `listed` distinct ids may be added.
    std::size_t insert(std::uint64_t id) noexcept {
        const std::uint64_t f = filter_hash(id);
        filter_[(f >> word_shift_) & word_mask_] |= bit(f, 32) | bit(f, 38);
        if (id == 0) {
            zero_listed_ = true;
            return table();
        }
        for (std::size_t s = mix(id) & slot_mask_;; s = (s + 1) & slot_mask_) {
            if (keys_[s] == id) return s;
            if (keys_[s] == 0) {
                keys_[s] = id;
                if (s < kMirrored) keys_[table() + s] = id;
                return s;
            }
        }
    }

    // insert() of each of `ids` in turn; the slot of ids[j] goes to
    // slots[j] when `slots` is given.  The table's lines for a few ids at a
    // time are asked for before they are written, so their loads overlap.
    void insert_all(std::span<const std::uint64_t> ids, std::size_t* slots) noexcept {
        constexpr std::size_t kAhead = 16;
        for (std::size_t j = 0; j < ids.size(); ++j) {
            if (j % kAhead == 0) {
                const std::size_t end = std::min(ids.size(), j + kAhead);
                for (std::size_t k = j; k < end; ++k) __builtin_prefetch(keys_.data() + (mix(ids[k]) & slot_mask_), 1);
            }
            const std::size_t slot = insert(ids[j]);
            if (slots != nullptr) slots[j] = slot;
        }
    }

    // The positions i (ascending) of the ids among ids[0 .. count) that pass
    // the filter, written to `out` (room for `count`); returns how many.  No
    // branch per id, so the filter's loads overlap.
    std::size_t candidates(const std::uint64_t* ids, std::size_t count, std::uint32_t* out) const noexcept {
        const std::uint64_t* filter = filter_.data();
        const unsigned shift = word_shift_;
        const std::uint64_t mask = word_mask_;
        std::size_t m = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t f = filter_hash(ids[i]);
            const std::uint64_t word = filter[(f >> shift) & mask];
            out[m] = static_cast<std::uint32_t>(i);
            m += (word >> ((f >> 32) % kWordBits)) & (word >> ((f >> 38) % kWordBits)) & 1;
        }
        return m;
    }

    // candidates() of a full block of 64 ids, eight at a time: the filter's
    // words gathered, and the positions that pass packed by a compress.
    // About 40 % less time than one id at a time.
    [[gnu::target(TESSARAY_ID_WIDE), gnu::always_inline]] std::size_t candidates64(const std::uint64_t* ids,
                                                                                   std::uint32_t* out) const noexcept {
        const __m512i golden = _mm512_set1_epi64(static_cast<long long>(kGolden));
        const __m512i word_mask = _mm512_set1_epi64(static_cast<long long>(word_mask_));
        const __m512i low6 = _mm512_set1_epi64(kWordBits - 1);
        const __m512i one = _mm512_set1_epi64(1);
        const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(word_shift_));
        const __m256i eight = _mm256_set1_epi32(8);
        __m256i at = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        std::size_t m = 0;
        // The masked forms, all lanes on: the plain ones start from an
        // undefined value, which GCC 12 warns of as an uninitialised read.
        constexpr __mmask8 kAll = 0xff;
        const __m512i zero = _mm512_setzero_si512();
        for (std::size_t i = 0; i < kWordBits; i += 8) {
            const __m512i x = _mm512_loadu_si512(ids + i);
            const __m512i f = _mm512_mullo_epi64(_mm512_xor_si512(x, _mm512_maskz_srli_epi64(kAll, x, 32)), golden);
            const __m512i index = _mm512_and_si512(_mm512_maskz_srl_epi64(kAll, f, shift), word_mask);
            const __m512i word = _mm512_mask_i64gather_epi64(zero, kAll, index, filter_.data(), 8);
            const __m512i first = _mm512_and_si512(_mm512_maskz_srli_epi64(kAll, f, 32), low6);
            const __m512i second = _mm512_and_si512(_mm512_maskz_srli_epi64(kAll, f, 38), low6);
            const __m512i both = _mm512_and_si512(_mm512_maskz_srlv_epi64(kAll, word, first),
                                                  _mm512_maskz_srlv_epi64(kAll, word, second));
            const __mmask8 pass = _mm512_test_epi64_mask(both, one);
            // out has room for 64, and m <= i here: the store stays inside.
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + m), _mm256_maskz_compress_epi32(pass, at));
            m += static_cast<std::size_t>(__builtin_popcount(pass));
            at = _mm256_add_epi32(at, eight);
        }
        return m;
    }

    // The bits of the ids among ids[0 .. count) (at most 64) that are listed:
    // bit i for ids[i].  The candidates' first slots are asked for before
    // any is compared, so their loads (the table is larger than the caches)
    // overlap.
    [[gnu::always_inline]] std::uint64_t match(const std::uint64_t* ids, std::size_t count) const noexcept {
        std::uint32_t maybe[kWordBits];
        return hits(ids, maybe, candidates(ids, count, maybe));
    }

    // match() with candidates64() for the full blocks.
    [[gnu::target(TESSARAY_ID_WIDE), gnu::always_inline]] std::uint64_t match_wide(const std::uint64_t* ids,
                                                                                   std::size_t count) const noexcept {
        std::uint32_t maybe[kWordBits];
        return hits(ids, maybe, count == kWordBits ? candidates64(ids, maybe) : candidates(ids, count, maybe));
    }

    // Asks for the cache line of the first slot that find(id) reads.
    void prefetch(std::uint64_t id) const noexcept { __builtin_prefetch(keys_.data() + (mix(id) & slot_mask_)); }

    // The slot of `id`, or kNone when it is not listed.
    std::size_t find(std::uint64_t id) const noexcept {
        if (id == 0) return zero_listed_ ? table() : kNone;
        return find_from(id, mix(id) & slot_mask_);
    }

    // Whether `id` is listed.  The first four slots of its probe are compared
    // at once, two by two in vector registers, without a branch that depends
    // on what they hold: an id is in its run of full slots, so one of them
    // equal to it, or one of them empty, settles it (in all but a few percent
    // of the calls, a table at most half full); only then does the probe go
    // on slot by slot.  So whether an id is listed (which the caller cannot
    // predict) costs no mispredicted branch.  (Compared one by one into
    // bytes, the flags' partial registers chained each call to the one
    // before: three times the time.)
    bool contains(std::uint64_t id) const noexcept {
        if (id == 0) return zero_listed_;
        const std::size_t s = mix(id) & slot_mask_;
        const std::uint64_t* keys = keys_.data() + s;
        const __m128i x = _mm_set1_epi64x(static_cast<long long>(id));
        const __m128i zero = _mm_setzero_si128();
        const __m128i ab = _mm_loadu_si128(reinterpret_cast<const __m128i*>(keys));
        const __m128i cd = _mm_loadu_si128(reinterpret_cast<const __m128i*>(keys + 2));
        const int equal = _mm_movemask_epi8(_mm_or_si128(equal64(ab, x), equal64(cd, x)));
        const int open = _mm_movemask_epi8(_mm_or_si128(equal64(ab, zero), equal64(cd, zero)));
        if ((equal | open) != 0) [[likely]]
            return equal != 0;
        return find_from(id, (s + 4) & slot_mask_) != kNone;
    }

private:
    // The bits of the ids at the `m` positions `maybe` (ascending) that are listed.
    [[gnu::always_inline]] std::uint64_t hits(const std::uint64_t* ids, const std::uint32_t* maybe,
                                              std::size_t m) const noexcept {
        for (std::size_t k = 0; k < m; ++k) prefetch(ids[maybe[k]]);
        std::uint64_t bits = 0;
        for (std::size_t k = 0; k < m; ++k) bits |= std::uint64_t(contains(ids[maybe[k]])) << maybe[k];
        return bits;
    }

    // Lanes of all ones where the 64-bit lanes of a and b are equal (SSE2
    // compares 32 bits at a time).
    static __m128i equal64(__m128i a, __m128i b) noexcept {
        const __m128i halves = _mm_cmpeq_epi32(a, b);
        return _mm_and_si128(halves, _mm_shuffle_epi32(halves, 0xb1));
    }

    // The slot of `id` (not 0), or kNone, probing from slot `s` on.
    std::size_t find_from(std::uint64_t id, std::size_t s) const noexcept {
        for (;; s = (s + 1) & slot_mask_) {
            const std::uint64_t key = keys_[s];
            if (key == id) return s;
            if (key == 0) return kNone;
        }
    }

    // The filter word's bit that the 6 bits of `f` from `at` on name.
    static std::uint64_t bit(std::uint64_t f, unsigned at) noexcept {
        return std::uint64_t(1) << ((f >> at) % kWordBits);
    }

    static constexpr std::size_t kMirrored = 3;
    std::size_t table() const noexcept { return slot_mask_ + 1; }

    unsigned word_shift_ = 0;
    std::uint64_t word_mask_ = 0;
    std::vector<std::uint64_t> filter_;
    std::size_t slot_mask_ = 0;
    std::vector<std::uint64_t> keys_;
    bool zero_listed_ = false;  // 0 marks an empty slot, so the id 0 is kept apart
};

// The distinct ids of a list that spans a narrow range, one bit each: the
// id lo + d at bit d % 64 of word d / 64.  Matching a stored id is one range
// check and one bit test, with no probe to wait for.
class IdBitmap {
public:
    // Whether the ids from `lo` to `hi` take a bitmap: at most one word per
    // listed id (the list's own size), or 1 MiB whatever the list.
    static bool fits(std::uint64_t lo, std::uint64_t hi, std::size_t listed) noexcept {
        constexpr std::uint64_t kFreeWords = std::uint64_t(1) << 17;
        return (hi - lo) / kWordBits < std::max<std::uint64_t>(listed, kFreeWords);
    }

    // Room for the ids from `lo` to `hi` (which fits()), none listed yet;
    // with `slotted`, room for slot numbers too.
    IdBitmap(std::uint64_t lo, std::uint64_t hi, bool slotted = false)
            : lo_(lo),
              words_(allocate_vector<std::uint64_t>(static_cast<std::size_t>((hi - lo) / kWordBits + 1))),
              before_(allocate_vector<std::uint64_t>(slotted ? words_.size() : 0)) {}

    // Lists each of `ids`, every one of them from lo to hi.
    void insert_all(std::span<const std::uint64_t> ids) noexcept {
        std::uint64_t* words = words_.data();
        for (const std::uint64_t id : ids) {
            const std::uint64_t d = id - lo_;
            words[d / kWordBits] |= std::uint64_t(1) << (d % kWordBits);
        }
    }

    // insert_all(), then the slot of each listed id: the distinct ids are
    // numbered 0, 1, ... in the order of their values (the bits set before
    // the id's), the slot of ids[j] going to slots[j].  For a bitmap made
    // `slotted` only.
    void insert_all(std::span<const std::uint64_t> ids, std::size_t* slots) noexcept {
        insert_all(ids);
        std::uint64_t total = 0;
        for (std::size_t w = 0; w < words_.size(); ++w) {
            before_[w] = total;
            total += static_cast<std::uint64_t>(std::popcount(words_[w]));
        }
        distinct_ = static_cast<std::size_t>(total);
        for (std::size_t j = 0; j < ids.size(); ++j) slots[j] = find(ids[j]);
    }

    // The slots numbered by insert_all(ids, slots).
    std::size_t slots() const noexcept { return distinct_; }

    // The slot of `id`, which is listed.
    std::size_t find(std::uint64_t id) const noexcept {
        const std::uint64_t d = id - lo_;
        const std::size_t w = static_cast<std::size_t>(d / kWordBits);
        const std::uint64_t below = words_[w] & ((std::uint64_t(1) << (d % kWordBits)) - 1);
        return static_cast<std::size_t>(before_[w]) + static_cast<std::size_t>(std::popcount(below));
    }

    // The bits of the ids among ids[0 .. count) (at most 64) that are listed:
    // bit i for ids[i].  An id out of range reads word 0 and drops the bit,
    // so no branch depends on the ids.
    [[gnu::always_inline]] std::uint64_t match(const std::uint64_t* ids, std::size_t count) const noexcept {
        const std::uint64_t* words = words_.data();
        const std::uint64_t lo = lo_;
        const std::uint64_t end = std::uint64_t(words_.size()) * kWordBits;
        std::uint64_t hits = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t d = ids[i] - lo;
            const bool in = d < end;
            const std::uint64_t word = words[in ? d / kWordBits : 0];
            hits |= ((word >> (d % kWordBits)) & std::uint64_t(in)) << i;
        }
        return hits;
    }

private:
    std::uint64_t lo_;
    std::vector<std::uint64_t> words_;
    std::vector<std::uint64_t> before_;  // of each word: the bits set in the words before it
    std::size_t distinct_ = 0;
};

}  // namespace tessaray::core::id_sets
