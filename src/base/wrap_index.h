// Indices on an axis that wraps around, as a tiling texture does.
#pragma once

#include <cstdint>

// The texel that `index` lands on when an axis of `size` texels repeats in both directions:
// index mod size, taken into [0, size). The index may lie any distance past either edge, as the
// wide kernels of the coarse levels reach.
inline int32_t wrapIndex(int64_t index, int32_t size) {
    const int64_t wrapped = index % size;
    return static_cast<int32_t>(wrapped < 0 ? wrapped + size : wrapped);
}

// index - 1, index and index + 1 on an axis of `size` texels that wraps around, index in [0, size): the
// neighbours of a texel without a division.
inline void wrappedNeighbours(int32_t index, int32_t size, int32_t neighbours[3]) {
    neighbours[0] = index == 0 ? size - 1 : index - 1;
    neighbours[1] = index;
    neighbours[2] = index + 1 == size ? 0 : index + 1;
}
