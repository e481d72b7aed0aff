/* src/slab_split.h: a catalogue's rows cut into the slabs of a distributed count, each
   with its ghosts. */
#pragma once

#include <cstdint>
#include <vector>

#include "src/common.h"

namespace quor {

/// Every slab's rows, one piece after another: positions (x, y, z) row-major and ids.
struct SlabPieces {
    std::vector<double> xyz;
    std::vector<int32_t> ids;
    std::vector<uint64_t> offsets;  ///< n + 1 entries: piece s holds rows offsets[s] .. offsets[s + 1]
};

/// Cuts the rows of `coords` (first three columns) and `ids` into the n = faces.size - 1
/// slabs faces[s] <= x < faces[s + 1] (x below faces[0] goes to the first slab, x from
/// faces[n] on and NaN to the last). Piece s holds, in input order, the rows slab s owns
/// and its ghosts: the rows of slab s + 1 (of slab 0 for the last one) whose x lies less
/// than `ghost` above that slab's lower face. With one slab there are no ghosts.
/// Requires faces.size >= 2, faces ascending, and ids.size >= coords.rows.
SlabPieces split_slabs(const StridedMatrix &coords, const PartitionIds &ids, const Edges &faces,
                       double ghost);

}  // namespace quor
