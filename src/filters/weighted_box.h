// Box filters that look at the texture mapping: "boxig" (ignores unused texels) and "kivbox"
// (texels weighted by the surface area that falls on them), with the fill of unused texels.
#pragma once

#include <cstdint>

#include "image/float_image.h"
#include "mesh/obj_model.h"
#include "filters/surface_moments.h"

// "boxig": used cells of every grid for finest level levelCount - 1, then buildUsedTexelPyramid.
void buildBoxigPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& source, int32_t levelCount);
// "kivbox": areas and used cells for finest level levelCount - 1, then buildAreaWeightedPyramid with base 0.
void buildKivboxPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& source, int32_t levelCount);

// Fills levelCount levels: level 0 the source, level j the used-texel block means of the source
// (factor 2^j) over grid 0, then the fill pass from coarse to fine. Needs the used cells of every grid.
void buildUsedTexelPyramid(MipPyramid& pyramid, const FloatImage& source, const SurfaceMoments& moments,
                           int32_t levelCount);
// The same with area weights; the base grid (the one with the texture's size) is grid `base`, which needs its
// areas; the grids from `base` on need their used cells.
void buildAreaWeightedPyramid(MipPyramid& pyramid, const FloatImage& source, const SurfaceMoments& moments,
                              int32_t base, int32_t levelCount);

// Replace the level's texels with the weighted block means of the source for block side `factor`. A source
// texel's weight comes from the cells of `grid` it covers: cell (X, Y) for a texture whose sides are powers of two
// (the grids follow both sides), and cell (X, Y) again, only approximately where the texel lies, for other sizes
// (square grids in the next power of two).
void usedTexelBoxLevel(FloatImage& level, const FloatImage& source, const MomentGrid& grid, int32_t factor);
void areaWeightedBoxLevel(FloatImage& level, const FloatImage& source, const MomentGrid& grid, int32_t factor);

// Overwrites the texels of `fine` whose cells of `grid` (paired as above) hold no piece with the bilinear
// upsampling (wrap-around) of `coarse`.
void fillUnusedTexels(const FloatImage& coarse, FloatImage& fine, const MomentGrid& grid);
