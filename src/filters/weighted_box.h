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

// Fills levelCount levels: level 0 the source, level j the used-texel means of the source over its texels'
// footprints (block means for factor 2^j where the sides halve), then the fill pass from coarse to fine. Needs the
// used cells of every grid, cut along the levels' texel edges (MomentRequest::footprints).
void buildUsedTexelPyramid(MipPyramid& pyramid, const FloatImage& source, const SurfaceMoments& moments,
                           int32_t levelCount);
// The same with area weights; the base grid (the one with the texture's texels) is grid `base`, which needs its
// areas; the grids from `base` on need their used cells. For sides that do not halve, grid base + j must be cut along
// the texel edges of levels j and on.
void buildAreaWeightedPyramid(MipPyramid& pyramid, const FloatImage& source, const SurfaceMoments& moments,
                              int32_t base, int32_t levelCount);

// Replace the level's texels with the weighted block means of the source for block side `factor`, both sides of the
// source multiples of it. A source texel's weight comes from the cells of `grid` it covers, a block of whole cells
// (the grids of sides that are powers of two follow both sides).
void usedTexelBoxLevel(FloatImage& level, const FloatImage& source, const MomentGrid& grid, int32_t factor);
void areaWeightedBoxLevel(FloatImage& level, const FloatImage& source, const MomentGrid& grid, int32_t factor);

// Overwrites the texels of `fine` (twice `coarse` along both sides) whose cells of `grid` (paired as above) hold no
// piece with the bilinear upsampling (wrap-around) of `coarse`.
void fillUnusedTexels(const FloatImage& coarse, FloatImage& fine, const MomentGrid& grid);
