/* src/exact_sum.cpp: the digits of the exact sums: growing them, settling their carries,
   merging two sums and rounding one to float64. */
#include "src/exact_sum.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quor {

namespace {

constexpr int DIGIT_BITS = 32;
constexpr int64_t DIGIT_MASK = 0xFFFFFFFF;

/// Floor division of a by the positive b.
int floor_div(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

/// The float64 nearest to (top + sticky) 2^scale, ties to even: `top` holds the 64
/// leading bits of a positive number, its highest bit set; `sticky` says whether any
/// bit below them is set.
double round_to_double(uint64_t top, bool sticky, int scale) {
    const int lead = 63 + scale;  // the exponent of the leading bit
    // Bits a float64 keeps at that exponent: 53, fewer for a subnormal result. The
    // sums are multiples of 2^-1074, so lead >= -1074 and at least one bit is kept.
    const int keep = lead >= -1022 ? 53 : 53 - (-1022 - lead);
    const int shift = 64 - keep;
    uint64_t mant = top >> shift;
    const uint64_t rest = top & ((uint64_t{1} << shift) - 1);
    const uint64_t half = uint64_t{1} << (shift - 1);
    if (rest > half || (rest == half && (sticky || (mant & 1)))) ++mant;
    // mant <= 2^53: exact in float64, and so is its scaling unless it overflows, when
    // the rounded value is past the largest float64: infinity.
    return std::ldexp(static_cast<double>(mant), scale + shift);
}

/// The sum of settled digits (all in [0, 2^32) but the top, signed) worth
/// 2^(base + 32 d), rounded to float64.
double round_digits(std::vector<int64_t> digits, int base) {
    const size_t n = digits.size();
    const bool negative = n > 0 && digits[n - 1] < 0;
    if (negative) {
        // The magnitude: negate every digit and settle the borrows.
        for (int64_t &d : digits) d = -d;
        for (size_t i = 0; i + 1 < n; ++i) {
            digits[i + 1] += digits[i] >> DIGIT_BITS;
            digits[i] &= DIGIT_MASK;
        }
    }
    // The top digit (now >= 0) can exceed 32 bits: spread it into digits of its own.
    while (!digits.empty() && digits.back() > DIGIT_MASK) {
        const int64_t carry = digits.back() >> DIGIT_BITS;
        digits.back() &= DIGIT_MASK;
        digits.push_back(carry);
    }
    size_t h = digits.size();
    while (h > 0 && digits[h - 1] == 0) --h;
    if (h == 0) return 0.0;
    auto bit = [&](int i) -> uint64_t {
        return i < 0 ? 0 : (static_cast<uint64_t>(digits[static_cast<size_t>(i / DIGIT_BITS)]) >> (i % DIGIT_BITS)) & 1;
    };
    int lead = static_cast<int>(h) * DIGIT_BITS - 1;  // the highest set bit
    while (!bit(lead)) --lead;
    const int low = lead - 63;
    uint64_t top = 0;
    for (int i = lead; i >= low; --i) top = (top << 1) | bit(i);
    bool sticky = false;
    for (int i = low - 1; i >= 0 && !sticky; --i) sticky = bit(i) != 0;
    const double magnitude = round_to_double(top, sticky, base + low);
    return negative ? -magnitude : magnitude;
}

/// What IEEE addition gives for terms with these special flags (POS_INF 1, NEG_INF 2,
/// NaN 4), whatever the finite terms.
double special_sum(uint8_t flags) {
    if ((flags & 4) || (flags & 3) == 3) return std::numeric_limits<double>::quiet_NaN();
    return (flags & 1) ? INFINITY : -INFINITY;
}

}  // namespace

void ExactSums::add_rare(uint64_t k, double t) {
    if (std::isnan(t)) {
        specials_[k] |= NOT_A_NUMBER;
        return;
    }
    if (std::isinf(t)) {
        specials_[k] |= t > 0 ? POS_INF : NEG_INF;
        return;
    }
    if (t == 0.0) return;
    // |t| = m 2^q, m an integer below 2^53 (a subnormal's q is -1074): cover its digits,
    // then add it.
    int exp;
    const double frac = std::frexp(std::fabs(t), &exp);  // |t| = frac 2^exp, frac in [0.5, 1)
    const int q = std::max(exp - 53, -1074);
    const int first = floor_div(q, DIGIT_BITS) * DIGIT_BITS;
    cover(first, first + 4 * DIGIT_BITS);
    const uint64_t m = static_cast<uint64_t>(std::ldexp(frac, exp - q));  // exact
    const uint64_t at = static_cast<uint64_t>(q - base_);
    const unsigned o = static_cast<unsigned>(at & 31);
    const uint64_t low = m << o;
    const uint64_t high = (m >> 1) >> (63 - o);
    const int64_t sign = t < 0 ? -1 : 1;
    int64_t *d = digits_.data() + k * limbs_ + (at >> 5);
    d[0] += sign * static_cast<int64_t>(low & 0xFFFFFFFFu);
    d[1] += sign * static_cast<int64_t>(low >> 32);
    d[2] += sign * static_cast<int64_t>(high);
}

void ExactSums::cover(int lo, int hi) {
    // New digits come two at a time on the side that grows, so that terms drifting in
    // size cost few re-layouts.
    if (limbs_ > 0) {
        const int old_hi = base_ + static_cast<int>(limbs_) * DIGIT_BITS;
        if (lo >= base_ && hi <= old_hi) return;
        if (lo < base_) lo -= 2 * DIGIT_BITS;
        if (hi > old_hi) hi += 2 * DIGIT_BITS;
        lo = std::min(lo, base_);
        hi = std::max(hi, old_hi);
    }
    lo = std::max(lo, LOWEST_BASE);
    const uint64_t limbs = static_cast<uint64_t>((hi - lo) / DIGIT_BITS);
    std::vector<int64_t> grown(counters_ * limbs, 0);
    if (limbs_ > 0) {
        const uint64_t shift = static_cast<uint64_t>((base_ - lo) / DIGIT_BITS);
        for (uint64_t k = 0; k < counters_; ++k)
            std::copy(digits_.begin() + static_cast<ptrdiff_t>(k * limbs_),
                      digits_.begin() + static_cast<ptrdiff_t>((k + 1) * limbs_),
                      grown.begin() + static_cast<ptrdiff_t>(k * limbs + shift));
    }
    digits_ = std::move(grown);
    limbs_ = limbs;
    base_ = lo;
    set_fast_path();
}

void ExactSums::set_fast_path() {
    // A normal number of biased exponent e has its lowest bit at 2^(e - 1075), so from
    // bit e - 1075 - base_ of the counter; the fast path takes e >= 1 whose three digits
    // end below the top digit, and never e = 2047 (infinities and NaN).
    const int64_t lowest = std::max<int64_t>(1, int64_t{base_} + 1075);
    low_exponent_ = static_cast<uint64_t>(lowest);
    first_bit_ = static_cast<uint64_t>(lowest - 1075 - base_);
    // The first digit of the term must be at most limbs_ - 4.
    const int64_t last_at = static_cast<int64_t>(limbs_ - 4) * DIGIT_BITS + DIGIT_BITS - 1;
    int64_t top = last_at - static_cast<int64_t>(first_bit_);
    top = std::min<int64_t>(top, 2046 - lowest);
    if (top < 0) {  // no exponent fits: everything takes add_rare
        low_exponent_ = ~uint64_t{0};
        top_pos_ = 0;
        return;
    }
    top_pos_ = static_cast<uint64_t>(top);
}

void ExactSums::settle() {
    for (uint64_t k = 0; k < counters_; ++k) {
        int64_t *d = digits_.data() + k * limbs_;
        for (uint64_t i = 0; i + 1 < limbs_; ++i) {
            d[i + 1] += d[i] >> DIGIT_BITS;  // arithmetic shift: floor division
            d[i] &= DIGIT_MASK;
        }
    }
    pending_ = 0;
}

void ExactSums::merge(ExactSums &other) {
    for (uint64_t k = 0; k < counters_; ++k) specials_[k] |= other.specials_[k];
    if (other.limbs_ == 0) return;
    settle();
    other.settle();
    cover(other.base_, other.base_ + static_cast<int>(other.limbs_) * DIGIT_BITS);
    const uint64_t shift = static_cast<uint64_t>((other.base_ - base_) / DIGIT_BITS);
    for (uint64_t k = 0; k < counters_; ++k)
        for (uint64_t i = 0; i < other.limbs_; ++i)
            digits_[k * limbs_ + shift + i] += other.digits_[k * other.limbs_ + i];
    settle();
}

double ExactSums::rounded_settled(uint64_t k) const {
    if (specials_[k]) return special_sum(specials_[k]);
    if (limbs_ == 0) return 0.0;
    return round_digits(std::vector<int64_t>(digits_.begin() + static_cast<ptrdiff_t>(k * limbs_),
                                             digits_.begin() + static_cast<ptrdiff_t>((k + 1) * limbs_)),
                        base_);
}

std::vector<double> ExactSums::rounded_all() {
    settle();
    std::vector<double> out(counters_);
    for (uint64_t k = 0; k < counters_; ++k) out[k] = rounded_settled(k);
    return out;
}

std::vector<double> ExactSums::expansions() {
    settle();
    const uint64_t width = parts();
    std::vector<double> out(counters_ * width, 0.0);
    for (uint64_t k = 0; k < counters_; ++k) {
        double *p = out.data() + k * width;
        const int64_t *d = digits_.data() + k * limbs_;
        for (uint64_t i = 0; i < limbs_; ++i) {
            const int at = base_ + static_cast<int>(i) * DIGIT_BITS;
            if (i + 1 < limbs_) {
                p[i] = std::ldexp(static_cast<double>(d[i]), at);
            } else {  // the signed top digit, in two halves of 32 bits: each exact
                p[i] = std::ldexp(static_cast<double>(d[i] & DIGIT_MASK), at);
                p[i + 1] = std::ldexp(static_cast<double>(d[i] >> DIGIT_BITS), at + DIGIT_BITS);
            }
        }
        if (specials_[k]) p[width - 1] = special_sum(specials_[k]);
    }
    return out;
}

std::vector<double> exact_row_sums(const StridedMatrix &parts) {
    const uint64_t rows = static_cast<uint64_t>(parts.rows);
    ExactSums sums(rows);
    for (int64_t k = 0; k < parts.rows; ++k) {
        sums.will_add(static_cast<uint64_t>(parts.cols));
        for (int64_t j = 0; j < parts.cols; ++j) sums.add(static_cast<uint64_t>(k), parts(k, j));
    }
    return sums.rounded_all();
}

}  // namespace quor
