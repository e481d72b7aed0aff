/* src/prepare_input.h: the passes that turn a catalogue as users hold it into what the
   counters read: float64 positions wrapped into the box, int32 partition ids, dense
   labels and the jackknife cubes. Each runs on the pool, in chunks of rows. */
#pragma once

#include <cmath>
#include <cstdint>

#include "src/common.h"

namespace quor {

/// One column of numbers in memory: float32 or float64 values `stride` bytes apart.
struct RealColumn {
    const char *data = nullptr;
    int64_t stride = 0;  ///< in bytes; may be zero or negative
    bool single = false;  ///< float32 rather than float64
};

/// The x, y and z columns of a catalogue of `rows` galaxies.
struct PositionColumns {
    RealColumn axis[3];
    int64_t rows = 0;
};

/// What a scan of a catalogue's positions found.
enum class PositionsFound { inside_box, outside_box, not_finite };

/// Whether every position is finite and, if so, whether each lies in [0, box): -0.0 counts
/// as inside, as 0.0 >= -0.0.
PositionsFound scan_positions(const PositionColumns &columns, double box);

/// x wrapped into [0, box) for a finite x and box > 0, bit for bit as NumPy's
/// np.mod(x, box) (fmod, then box added to a negative remainder, zero as +0.0) followed
/// by the periodic image of box itself, 0.0: a tiny negative x rounds to x + box == box.
inline double wrap_coordinate(double x, double box) {
    double m;
    if (x >= 0.0 && x < box) {
        m = x;  // fmod would return x itself
    } else if (x >= -box && x < 0.0) {
        m = x + box;  // fmod returns x, and NumPy adds box to a negative remainder
    } else if (x >= box && x < 2.0 * box) {
        m = x - box;  // exact (Sterbenz), as fmod is
    } else {
        m = std::fmod(x, box);
        if (m < 0.0) m += box;
    }
    if (m == 0.0) m = 0.0;  // NumPy's remainder is +0.0 where fmod gives -0.0
    return m >= box ? 0.0 : m;
}

/// Writes the positions as float64 into `out` (rows x 3, row-major), each wrapped by
/// wrap_coordinate when `wrap`. The positions must be finite.
void copy_positions(const PositionColumns &columns, double box, bool wrap, double *out);

/// One column of integers: `width` bytes each (1, 2, 4 or 8), signed or not.
struct IntegerColumn {
    const char *data = nullptr;
    int64_t size = 0;
    int64_t stride = 0;  ///< in bytes; may be zero or negative
    int width = 8;
    bool is_signed = true;
};

/// Writes the ids as int32 into `out` (size entries) when every one fits int32 and
/// returns true; returns false (with `out` partly written) when one does not.
bool ids_to_int32(const IntegerColumn &ids, int32_t *out);

/// Every id replaced by its rank among the distinct ids of `ids` (0, 1, 2, ... in
/// ascending order of value), written to `out` (size entries) as int32, as np.unique's
/// inverse gives them. Returns the number of distinct ids; when that exceeds 2**31, `out`
/// is left unwritten. Columns of 8-byte integers only. The rows are sorted in pieces of
/// at least `piece_rows` (at most 64 pieces), on the pool, then merged.
constexpr int64_t RELABEL_PIECE_ROWS = int64_t{1} << 18;
uint64_t relabel_dense(const IntegerColumn &ids, int32_t *out, int64_t piece_rows = RELABEL_PIECE_ROWS);

/// The cube of each position among n**3 of side box / n, as (ix * n + iy) * n + iz with
/// ix = min(floor(x / (box / n)), n - 1), written to `out` (coords.rows entries). The
/// positions must lie in [0, box) (so the labels fit int32 for n**3 <= 2**31).
void cube_labels(const StridedMatrix &coords, int64_t n, double box, int32_t *out);

}  // namespace quor
