/* src/exact_sum.h: exact sums of float64 terms, one per counter, rounded once at the
   end: the same bits whatever the order of the additions, so whatever the split of a
   count over threads, kernel variants or slabs. */
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "src/common.h"

namespace quor {

/* Each counter holds its sum as a fixed-point number: LIMBS digits of 32 bits, digit d
   worth 2^(base + 32 d), each in an int64 so that an addition touches three digits and
   carries nothing (the carries are settled every 2^30 additions, and before a merge or a
   rounding). A float64 term m 2^q (m an integer below 2^53) lands whole in three digits;
   the digits cover every term seen so far, and grow (for all counters at once) when a
   term falls outside them. The lowest digit is never below 2^-1088, as no float64 has a
   bit below 2^-1074; one digit above the highest term takes the carries.

   Infinite and NaN terms are not added: they are kept as flags, and the sum is then
   what IEEE addition of the terms gives in any order (NaN with a NaN term or both
   infinities, else the infinity). The rounding of a finite sum is to nearest, ties to
   even, once; a sum beyond the float64 range rounds to an infinity. */
class ExactSums {
public:
    explicit ExactSums(uint64_t counters = 0) : counters_(counters), specials_(counters, 0) {}

    uint64_t counters() const { return counters_; }

    /// Announces `n` additions to come: settles the carries first when they could
    /// otherwise overflow a digit.
    void will_add(uint64_t n) {
        pending_ += n;
        if (pending_ > MAX_PENDING) {
            settle();
            pending_ = n;
        }
    }

    /// Adds the term t to counter k (after will_add counted it). Inlined: it runs once
    /// per pair and sum.
#if defined(__GNUC__)
    __attribute__((always_inline))
#endif
    void add(uint64_t k, double t) {
        uint64_t bits;
        std::memcpy(&bits, &t, sizeof bits);
        const uint64_t pos = ((bits >> 52) & 0x7FF) - low_exponent_;  // wraps below the digits
        if (pos > top_pos_) {
            add_rare(k, t);
            return;
        }
        // A normal number here: m 2^(exponent - 1075) with the implicit bit set.
        const uint64_t at = pos + first_bit_;
        const uint64_t m = (bits & MANTISSA) | IMPLICIT_BIT;
        const unsigned o = static_cast<unsigned>(at & 31);
        const uint64_t low = m << o;
        const uint64_t high = (m >> 1) >> (63 - o);  // the bits of m << o above 64
        const int64_t neg = -static_cast<int64_t>(bits >> 63);  // 0, or -1 to negate
        int64_t *d = digits_.data() + k * limbs_ + (at >> 5);
        d[0] += (static_cast<int64_t>(low & 0xFFFFFFFFu) ^ neg) - neg;
        d[1] += (static_cast<int64_t>(low >> 32) ^ neg) - neg;
        d[2] += (static_cast<int64_t>(high) ^ neg) - neg;
    }

    /// Adds every counter of `other` (of as many counters) into this one.
    void merge(ExactSums &other);

    /// Every counter's sum rounded to float64.
    std::vector<double> rounded_all();

    /// Each counter's sum as `parts()` float64 numbers whose exact sum it is (the digits,
    /// the top one split in two, then one part for the infinities and NaN: 0 without
    /// them), counter after counter. Parts of several counts of the same counters, summed
    /// exactly (exact_sums), give the sum of their terms rounded once.
    std::vector<double> expansions();
    uint64_t parts() const { return limbs_ + 2; }

private:
    static constexpr uint64_t MANTISSA = (uint64_t{1} << 52) - 1;
    static constexpr uint64_t IMPLICIT_BIT = uint64_t{1} << 52;
    static constexpr uint64_t MAX_PENDING = uint64_t{1} << 30;
    static constexpr int LOWEST_BASE = -1088;  ///< a multiple of 32 at or below 2^-1074
    enum : uint8_t { POS_INF = 1, NEG_INF = 2, NOT_A_NUMBER = 4 };  ///< the specials' flags

    uint64_t counters_;
    std::vector<int64_t> digits_;   ///< counters_ x limbs_
    std::vector<uint8_t> specials_;
    uint64_t limbs_ = 0;            ///< 0 until the first finite non-zero term
    int base_ = 0;                  ///< exponent of digit 0, a multiple of 32
    /* The fast path of add: a term whose biased exponent e has e - low_exponent_ in
       [0, top_pos_] is a normal number whose three digits, from bit
       e - low_exponent_ + first_bit_ of the counter, lie below the top digit. With no
       digits yet, top_pos_ = 0 and low_exponent_ = 2^64 - 1 send every term to add_rare. */
    uint64_t low_exponent_ = ~uint64_t{0};
    uint64_t first_bit_ = 0;
    uint64_t top_pos_ = 0;
    uint64_t pending_ = 0;

    void add_rare(uint64_t k, double t);
    /// Grows the digits to cover the bits of 2^lo .. 2^(hi - 1) at least (multiples of 32).
    void cover(int lo, int hi);
    double rounded_settled(uint64_t k) const;
    void set_fast_path();
    /// Carries every digit into the next: all digits but the top in [0, 2^32).
    void settle();
};

/// The sum of each row of `parts`, exactly, rounded once, with infinities and NaN as
/// IEEE addition combines them.
std::vector<double> exact_row_sums(const StridedMatrix &parts);

}  // namespace quor
