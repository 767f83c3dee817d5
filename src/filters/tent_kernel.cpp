// Tents restricted to coverage cells.
#include "filters/tent_kernel.h"

#include <cassert>

TentFactor cellTent(int32_t x, int32_t a, int32_t e, int32_t size) {
    assert(x >= 0 && a >= 1 && (e == 0 || e == 1) && size >= 1);
    // Texel t's centre lies on the cell boundary 2a t + a; r counts the cells from the nearest
    // centre at or below this cell's low edge, where tent 0 is 1 and tent 1 is 0.
    const int32_t cellsPerTexel = 2 * a;
    const int32_t r = (x + a) % cellsPerTexel;
    TentFactor tent;
    tent.texel = ((x + a) / cellsPerTexel + size - 1 + e) % size;
    tent.slope = (e == 0 ? -1.0 : 1.0) * (1.0 / cellsPerTexel);
    tent.offset = r * tent.slope + (1 - e);
    return tent;
}
