/* src/pair_sums.cpp: the pair sums' slow path, the spills of their int64 parts into the
   exact digits, merging and rounding. */
#include "src/pair_sums.h"

#include <cmath>

namespace quor {

TermSplit TermSplit::below(double bound) {
    TermSplit p;
    int top = 0;
    if (bound > 0.0 && bound < INFINITY) std::frexp(bound, &top);  // bound < 2^top
    else if (!(bound == 0.0)) return p;                          // NaN or infinite: no fast path
    // sigma_lo and 2^(top - 81) must be normal numbers, sigma_hi finite.
    if (top < -900 || top > 1000) return p;
    p.top = top;
    p.top_exponent = static_cast<uint64_t>(top + 1023);
    p.sigma_hi = std::ldexp(1.5, top + 12);
    p.sigma_lo = std::ldexp(1.5, top - 29);
    p.scale_hi = std::ldexp(1.0, 40 - top);
    p.scale_lo = std::ldexp(1.0, 81 - top);
    return p;
}

PairTermSums::PairTermSums(uint64_t counters, const std::vector<double> &bounds) {
    for (const double bound : bounds) {
        splits_.push_back(TermSplit::below(bound));
        exact_.emplace_back(counters);
    }
    replicas_ = replicas(counters, bounds.size());
    parts_.assign(replicas_ * 2 * bounds.size() * (counters + 1), 0);
}

void PairTermSums::add_slow(uint64_t s, const int64_t *counters, const double *terms,
                            const uint64_t *slow, uint64_t n) {
    ExactSums &exact = exact_[s];
    exact.will_add(n);
    for (uint64_t u = 0; u < n; ++u)
        if (slow[u] && counters[u] >= 0) exact.add(static_cast<uint64_t>(counters[u]), terms[u]);
}

void PairTermSums::spill() {
    const uint64_t n_sums = sums();
    for (uint64_t s = 0; s < n_sums; ++s) {
        const int top = splits_[s].top;
        ExactSums &exact = exact_[s];
        const uint64_t counters = exact.counters();
        // Each part in two halves of 32 bits, each exact in float64 at its scale.
        auto add_part = [&](uint64_t k, int64_t v, int scale) {
            exact.add(k, std::ldexp(static_cast<double>(v & 0xFFFFFFFF), scale));
            exact.add(k, std::ldexp(static_cast<double>(v >> 32), scale + 32));
        };
        exact.will_add(4 * counters);
        const uint64_t copy_size = parts_.size() / replicas_;
        // The spare's parts (pairs with no counter) are dropped, so that they too stay
        // within int64 however many such pairs a count meets.
        for (uint64_t c = 0; c < replicas_; ++c) {
            int64_t *spare = parts_.data() + c * copy_size + 2 * s;
            spare[0] = spare[1] = 0;
        }
        for (uint64_t k = 0; k < counters; ++k) {
            // The copies' sum stays within int64: all of them took MAX_PENDING parts at most.
            int64_t hi = 0, lo = 0;
            for (uint64_t c = 0; c < replicas_; ++c) {
                int64_t *p = parts_.data() + c * copy_size + 2 * n_sums * (k + 1) + 2 * s;
                hi += p[0];
                lo += p[1];
                p[0] = p[1] = 0;
            }
            if (hi) add_part(k, hi, top - 40);
            if (lo) add_part(k, lo, top - 81);
        }
    }
    pending_ = 0;
}

void PairTermSums::merge(PairTermSums &other) {
    spill();
    other.spill();
    for (uint64_t s = 0; s < sums(); ++s) exact_[s].merge(other.exact_[s]);
}

std::vector<double> PairTermSums::rounded(uint64_t s) {
    spill();
    return exact_[s].rounded_all();
}

std::vector<double> PairTermSums::expansions(uint64_t s, uint64_t &parts) {
    spill();
    parts = exact_[s].parts();
    return exact_[s].expansions();
}

namespace {

/// The largest |w| of a catalogue's weights (1 without them; NaN passes through).
double largest_weight(const Catalogue &cat) {
    if (!cat.weighted()) return 1.0;
    double most = 0.0;
    for (int64_t i = 0; i < cat.weights.size; ++i) most = std::fmax(most, std::fabs(cat.weights[i]));
    return most;
}

}  // namespace

std::vector<double> pair_term_bounds(const PairQuery &query, double sep_lo, double sep_hi) {
    std::vector<double> bounds;
    const double w1 = largest_weight(query.first);
    const double w2 = query.cross ? largest_weight(query.second) : w1;
    const double product = w1 * w2 * (1.0 + 0x1p-50);  // above every fl(w_i w_j)
    if (query.weighted()) bounds.push_back(product);
    if (query.separations) {
        bounds.push_back(product * sep_hi);
        // ln r of a pair at r in [sep_lo, sep_hi); down to the smallest separation a
        // float64 square can hold when the first edge is 0.
        const double lowest = sep_lo > 0.0 ? sep_lo : 0x1p-537;
        bounds.push_back(product * std::fmax(std::fabs(std::log(lowest)), std::fabs(std::log(sep_hi))) * 1.01);
    }
    return bounds;
}

}  // namespace quor
