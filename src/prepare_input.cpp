/* src/prepare_input.cpp: the passes over a catalogue before counting (positions, ids,
   dense labels, jackknife cubes), split into chunks of rows that the pool runs. */
#include "src/prepare_input.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <type_traits>
#include <utility>
#include <vector>

#include "src/parallel.h"

namespace quor {

namespace {

/* Rows per index of a pass: long enough that the pool's bookkeeping vanishes, short
   enough that a stop request is seen within a millisecond or so of work. */
constexpr int64_t CHUNK_ROWS = int64_t{1} << 16;

/// Calls `f(begin, end)` for every chunk of [0, rows) on the pool.
template <class F>
void for_each_chunk(int64_t rows, const F &f) {
    const uint64_t chunks = static_cast<uint64_t>((rows + CHUNK_ROWS - 1) / CHUNK_ROWS);
    parallel_for(chunks, [&](uint64_t c) {
        const int64_t begin = static_cast<int64_t>(c) * CHUNK_ROWS;
        f(begin, std::min(rows, begin + CHUNK_ROWS));
    });
}

template <class T>
T load(const char *p) {
    T v;  // memcpy: NumPy arrays need not be aligned
    std::memcpy(&v, p, sizeof(T));
    return v;
}

inline double real_at(const RealColumn &c, int64_t i) {
    const char *p = c.data + i * c.stride;
    return c.single ? static_cast<double>(load<float>(p)) : load<double>(p);
}

/// 0 when every value of rows [begin, end) of `c` lies in [0, box); else 1 when all are
/// finite, 2 when one is not.
template <class T>
int scan_chunk(const RealColumn &c, int64_t begin, int64_t end, double box) {
    bool outside = false;
    for (int64_t i = begin; i < end; ++i) {
        const double v = static_cast<double>(load<T>(c.data + i * c.stride));
        outside |= !(v >= 0.0 && v < box);  // NaN too
    }
    if (!outside) return 0;
    for (int64_t i = begin; i < end; ++i)
        if (!std::isfinite(static_cast<double>(load<T>(c.data + i * c.stride)))) return 2;
    return 1;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Positions

PositionsFound scan_positions(const PositionColumns &columns, double box) {
    const int64_t rows = columns.rows;
    std::vector<unsigned char> found(static_cast<size_t>((rows + CHUNK_ROWS - 1) / CHUNK_ROWS), 0);
    for_each_chunk(rows, [&](int64_t begin, int64_t end) {
        int worst = 0;
        for (const RealColumn &c : columns.axis)
            worst = std::max(worst, c.single ? scan_chunk<float>(c, begin, end, box)
                                             : scan_chunk<double>(c, begin, end, box));
        found[static_cast<size_t>(begin / CHUNK_ROWS)] = static_cast<unsigned char>(worst);
    });
    const int worst = found.empty() ? 0 : *std::max_element(found.begin(), found.end());
    return worst == 0 ? PositionsFound::inside_box
                      : worst == 1 ? PositionsFound::outside_box : PositionsFound::not_finite;
}

void copy_positions(const PositionColumns &columns, double box, bool wrap, double *out) {
    for_each_chunk(columns.rows, [&](int64_t begin, int64_t end) {
        for (int k = 0; k < 3; ++k) {
            const RealColumn &c = columns.axis[k];
            if (wrap)
                for (int64_t i = begin; i < end; ++i) out[3 * i + k] = wrap_coordinate(real_at(c, i), box);
            else
                for (int64_t i = begin; i < end; ++i) out[3 * i + k] = real_at(c, i);
        }
    });
}

// ---------------------------------------------------------------------------------------------
// Partition ids and labels

namespace {

/// Calls `f(value)` with the column's loader for its width and signedness: a function of
/// the row giving the value as int64 (signed) or uint64 (unsigned).
template <class F>
auto with_integer_loader(const IntegerColumn &ids, const F &f) {
    const char *data = ids.data;
    const int64_t stride = ids.stride;
    auto at = [data, stride](auto zero, int64_t i) { return load<decltype(zero)>(data + i * stride); };
    switch (ids.width * (ids.is_signed ? 1 : -1)) {
    case 1: return f([=](int64_t i) { return int64_t{at(int8_t{}, i)}; });
    case 2: return f([=](int64_t i) { return int64_t{at(int16_t{}, i)}; });
    case 4: return f([=](int64_t i) { return int64_t{at(int32_t{}, i)}; });
    case -1: return f([=](int64_t i) { return int64_t{at(uint8_t{}, i)}; });
    case -2: return f([=](int64_t i) { return int64_t{at(uint16_t{}, i)}; });
    case -4: return f([=](int64_t i) { return int64_t{at(uint32_t{}, i)}; });
    case -8: return f([=](int64_t i) { return at(uint64_t{}, i); });
    default: return f([=](int64_t i) { return at(int64_t{}, i); });
    }
}

/// The id as an unsigned key in the order of the values: a signed id with its sign bit
/// flipped, so that INT64_MIN maps to 0.
inline uint64_t order_key(const IntegerColumn &ids, int64_t i) {
    const uint64_t raw = load<uint64_t>(ids.data + i * ids.stride);
    return ids.is_signed ? raw ^ (uint64_t{1} << 63) : raw;
}

/// The first position of `key` in sorted[from, end), searched by doubling steps from
/// `from`: cheap when the next key is near, as it is when both walk the same range.
size_t gallop_to(const std::vector<uint64_t> &sorted, size_t from, uint64_t key) {
    size_t step = 1, lo = from, hi = from;
    while (hi < sorted.size() && sorted[hi] < key) {
        lo = hi + 1;
        hi = std::min(sorted.size(), hi + step);
        step *= 2;
    }
    return static_cast<size_t>(std::lower_bound(sorted.begin() + static_cast<std::ptrdiff_t>(lo),
                                                sorted.begin() + static_cast<std::ptrdiff_t>(hi), key) -
                               sorted.begin());
}

using KeyedRow = std::pair<uint64_t, int64_t>;  ///< an id's order key and its row

/// Sorts `rows` by key: a least-significant-digit radix sort over the bits in which the
/// keys differ (the span from the least to the largest), 11 bits a pass. Ids packed in a
/// narrow range, as halo ids are, take one or two passes; any ids at most six.
void radix_sort(std::vector<KeyedRow> &rows) {
    if (rows.size() < 2) return;
    uint64_t lo = rows.front().first, hi = lo;
    for (const KeyedRow &r : rows) {
        lo = std::min(lo, r.first);
        hi = std::max(hi, r.first);
    }
    const uint64_t span = hi - lo;
    constexpr int DIGIT_BITS = 11;
    constexpr uint64_t DIGITS = uint64_t{1} << DIGIT_BITS;
    std::vector<KeyedRow> moved(rows.size());
    std::vector<size_t> start(DIGITS + 1);
    for (int shift = 0; shift < 64 && (span >> shift) != 0; shift += DIGIT_BITS) {
        auto digit = [&](const KeyedRow &r) { return static_cast<size_t>(((r.first - lo) >> shift) & (DIGITS - 1)); };
        std::fill(start.begin(), start.end(), size_t{0});
        for (const KeyedRow &r : rows) ++start[digit(r) + 1];
        for (size_t d = 0; d < DIGITS; ++d) start[d + 1] += start[d];
        for (const KeyedRow &r : rows) moved[start[digit(r)]++] = r;  // stable
        rows.swap(moved);
    }
}

/* Rows relabelled per piece: at most this many pieces (pairwise merges of their distinct
   ids take log2 of it rounds); at a billion rows each is sorted in about a second, the
   longest a stop request waits. */
constexpr int64_t MOST_PIECES = 64;

}  // namespace

bool ids_to_int32(const IntegerColumn &ids, int32_t *out) {
    const uint64_t chunks = static_cast<uint64_t>((ids.size + CHUNK_ROWS - 1) / CHUNK_ROWS);
    std::vector<unsigned char> fits(chunks, 1);
    for_each_chunk(ids.size, [&](int64_t begin, int64_t end) {
        bool ok = with_integer_loader(ids, [&](auto value) {
            bool all = true;
            for (int64_t i = begin; i < end; ++i) {
                const auto v = value(i);
                // Compared in the id's own type: an unsigned id is never below INT32_MIN.
                all &= v <= static_cast<decltype(v)>(INT32_MAX) &&
                       (std::is_unsigned<decltype(v)>::value || static_cast<int64_t>(v) >= INT32_MIN);
                out[i] = static_cast<int32_t>(v);
            }
            return all;
        });
        fits[static_cast<uint64_t>(begin / CHUNK_ROWS)] = ok;
    });
    return std::all_of(fits.begin(), fits.end(), [](unsigned char f) { return f != 0; });
}

uint64_t relabel_dense(const IntegerColumn &ids, int32_t *out, int64_t piece_rows) {
    const int64_t n = ids.size;
    if (n == 0) return 0;
    const int64_t pieces = std::max<int64_t>(1, std::min(MOST_PIECES, n / std::max<int64_t>(1, piece_rows)));
    auto piece_begin = [&](int64_t p) { return n / pieces * p + std::min(p, n % pieces); };
    // Stop checks inside the pieces, which are long: the sort itself is not stopped.
    const CountControl *ctl = current_control();

    // Each piece's (key, row) sorted, and its distinct keys.
    std::vector<std::vector<KeyedRow>> sorted(static_cast<size_t>(pieces));
    std::vector<std::vector<uint64_t>> distinct(static_cast<size_t>(pieces));
    parallel_for(static_cast<uint64_t>(pieces), [&](uint64_t p) {
        const int64_t begin = piece_begin(static_cast<int64_t>(p)), end = piece_begin(static_cast<int64_t>(p) + 1);
        auto &rows = sorted[p];
        rows.resize(static_cast<size_t>(end - begin));
        for (int64_t i = begin; i < end; ++i) {
            if ((i - begin) % CHUNK_ROWS == 0) check_cancelled(ctl);
            rows[static_cast<size_t>(i - begin)] = {order_key(ids, i), i};
        }
        check_cancelled(ctl);
        radix_sort(rows);
        auto &keys = distinct[p];
        for (const auto &row : rows)
            if (keys.empty() || keys.back() != row.first) keys.push_back(row.first);
    });

    // The distinct keys of all pieces: merged in pairs, round after round.
    std::vector<std::vector<uint64_t>> merged = std::move(distinct);
    while (merged.size() > 1) {
        std::vector<std::vector<uint64_t>> next((merged.size() + 1) / 2);
        parallel_for(next.size(), [&](uint64_t j) {
            if (2 * j + 1 == merged.size()) {
                next[j] = std::move(merged[2 * j]);
                return;
            }
            const auto &a = merged[2 * j], &b = merged[2 * j + 1];
            next[j].reserve(a.size() + b.size());
            std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(next[j]));
            std::vector<uint64_t>().swap(merged[2 * j]);
            std::vector<uint64_t>().swap(merged[2 * j + 1]);
        });
        merged = std::move(next);
    }
    const std::vector<uint64_t> &all = merged.front();
    if (all.size() > (uint64_t{1} << 31)) return all.size();

    // Each piece walks its sorted keys and the distinct ones together.
    parallel_for(static_cast<uint64_t>(pieces), [&](uint64_t p) {
        size_t at = 0, done = 0;
        for (const auto &row : sorted[p]) {
            if (++done % CHUNK_ROWS == 0) check_cancelled(ctl);
            if (all[at] != row.first) at = gallop_to(all, at, row.first);
            out[row.second] = static_cast<int32_t>(at);
        }
        std::vector<KeyedRow>().swap(sorted[p]);
    });
    return all.size();
}

// ---------------------------------------------------------------------------------------------
// Jackknife cubes

void cube_labels(const StridedMatrix &coords, int64_t n, double box, int32_t *out) {
    const double side = box / static_cast<double>(n);
    for_each_chunk(coords.rows, [&](int64_t begin, int64_t end) {
        for (int64_t i = begin; i < end; ++i) {
            int64_t index = 0;
            for (int k = 0; k < 3; ++k) {
                const int64_t cell = static_cast<int64_t>(std::floor(coords(i, k) / side));
                index = index * n + std::min(cell, n - 1);
            }
            out[i] = static_cast<int32_t>(index);
        }
    });
}

}  // namespace quor
