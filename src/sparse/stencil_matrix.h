// Symmetric matrices over the texels of a level that couple each texel only with its 8 neighbours.
#pragma once

#include <cstdint>

#include "image/grow_array.h"

// A symmetric matrix over the texels of a width x height grid that wraps around, in which every unknown couples only
// with its 8 neighbours. Unknown j = y * width + x. Five coefficients per unknown: with itself, and with its forward
// neighbours east (x+1, y), north (x, y+1), north-east (x+1, y+1) and north-west (x-1, y+1); the coefficient with a
// backward neighbour is that neighbour's forward one (M(j, west j) = east of west j). Offsets are geometric: where a
// side is 1 or 2, several offsets name the same unknown and the matrix entry is their sum.
struct StencilMatrix {
    int32_t width = 0, height = 0;
    GrowArray<double> coefficients;  // 5 per unknown: centre, east, north, northEast, northWest
};
