/* src/slab_split.cpp: the rows of each slab and its ghosts, in two passes over the
   catalogue: one to size the pieces, one to fill them. */
#include "src/slab_split.h"

#include <algorithm>
#include <cstddef>

namespace quor {

SlabPieces split_slabs(const StridedMatrix &coords, const PartitionIds &ids, const Edges &faces,
                       double ghost) {
    std::vector<double> face(static_cast<size_t>(faces.size));
    for (int64_t k = 0; k < faces.size; ++k) face[k] = faces[k];
    const uint64_t n = face.size() - 1;
    const uint64_t rows = static_cast<uint64_t>(coords.rows);

    // Each row's slab, with the top bit set when the row is also a ghost of the slab below
    // (slab numbers stay far below 2^31).
    constexpr uint32_t GHOST = uint32_t{1} << 31;
    std::vector<uint32_t> code(rows);
    std::vector<uint64_t> size(n, 0);
    // Slabs of about equal width: x / width guesses the slab, the faces settle it.
    const double per_width = static_cast<double>(n) / (face[n] - face[0]);
    for (uint64_t i = 0; i < rows; ++i) {
        const double x = coords(static_cast<int64_t>(i), 0);
        // The last face at or below x, within [0, n - 1]; NaN passes every face.
        uint64_t s = n - 1;
        if (x == x) {
            s = std::min(trunc_sat((x - face[0]) * per_width), n - 1);
            while (s > 0 && x < face[s]) --s;
            while (s + 1 < n && x >= face[s + 1]) ++s;
        }
        // The same subtraction as the owner's test against the slab's lower face.
        const bool near = n > 1 && (x - face[s]) < ghost;
        code[i] = static_cast<uint32_t>(s) | (near ? GHOST : 0);
        ++size[s];
        if (near) ++size[(s + n - 1) % n];
    }

    SlabPieces out;
    out.offsets.assign(n + 1, 0);
    for (uint64_t s = 0; s < n; ++s) out.offsets[s + 1] = out.offsets[s] + size[s];
    const uint64_t total = out.offsets[n];
    out.xyz.resize(3 * total);
    out.ids.resize(total);

    std::vector<uint64_t> next(out.offsets.begin(), out.offsets.end() - 1);
    auto put = [&](uint64_t s, uint64_t i) {
        const uint64_t at = next[s]++;
        const int64_t r = static_cast<int64_t>(i);
        out.xyz[3 * at] = coords(r, 0);
        out.xyz[3 * at + 1] = coords(r, 1);
        out.xyz[3 * at + 2] = coords(r, 2);
        out.ids[at] = ids[r];
    };
    for (uint64_t i = 0; i < rows; ++i) {
        const uint64_t s = code[i] & ~GHOST;
        put(s, i);
        if (code[i] & GHOST) put((s + n - 1) % n, i);
    }
    return out;
}

}  // namespace quor
