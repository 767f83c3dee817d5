// What the mapping-aware filters need to know of the model's surface on every texel of every grid, gathered in
// one parallel walk of the texel quadtree that never keeps the clipped pieces themselves.
#pragma once

#include <cstdint>

#include "filters/tent_kernel.h"
#include "image/float_image.h"
#include "mesh/obj_model.h"
#include "mesh/texel_coverage.h"

// One grid of width x height cells; cell (x, y) is entry y * width + x. Each array is filled only when it was asked
// for. Cell-local coordinates run from 0 to 1 across the cell, as in the texel coverage.
struct MomentGrid {
    int32_t width = 0, height = 0;
    // 1 where the cell holds a piece of the surface (a used texel), else 0.
    GrowArray<uint8_t> used;
    // The model-space area of the cell's pieces, added piece by piece in the model's order.
    GrowArray<double> area;
    // 9 per cell: m[3 b + a] = sum over the fan triangles of the cell's pieces of their model-space area times the
    // mean over the triangle (in texture space) of u^a v^b, a, b = 0 .. 2. The integral over the surface in the
    // cell of any polynomial of degree <= 2 in u and in v follows from them, the map being affine on a triangle.
    GrowArray<float> moments;
    // 4 per cell and channel, w[4 c + 2 b + a]: the same integral of u^a v^b times the bilinear reconstruction of
    // channel c of the texture, a, b = 0 .. 1, gathered from the finest grid, where the reconstruction is bilinear.
    GrowArray<float> weighted;
};

// Grid g of side 2^(L - g), g = 0 .. L, for the quadtree of finest level L. For a texture whose sides
// are unequal powers of two the grids follow both sides: the longer one has 2^(L - g) cells, the shorter one that
// divided by their ratio, and the grids past the shorter side's last cell have none. For other sizes, asked for
// without a texture, the grids are square in the longer side but keep only the cells that texels of level g pair
// with (cellsPerTexel): a thin texture costs its texels, not the square of its longer side.
struct SurfaceMoments {
    GrowArray<MomentGrid> grids;
    int32_t channelCount = 0;
};

// What to gather, and from which grid on: grids below `firstGrid` are walked but nothing of them is kept.
struct MomentRequest {
    int32_t firstGrid = 0;
    bool used = false;
    bool area = false;
    bool moments = false;
    // Weighted moments of this texture's red, green and blue, and alpha when it has alpha (kept from grid
    // max(1, firstGrid) on). The texture's sides must be powers of two, the longer one 2^(L - 1), so that grid 0 has
    // two cells per texel along both sides.
    const FloatImage* texture = nullptr;
    // The size of the texture the grids serve (that of `texture` when it is given): when both sides are powers of
    // two and differ, the grids follow both sides; otherwise they are square.
    int32_t width = 0, height = 0;
};

// The block of cells of a gridWidth x gridHeight grid that a texel of a width x height level covers, across and
// down: the grid's sides over the level's where both divide evenly, else one cell (texel (x, y) then pairs with
// cell (x, y)).
GridReach cellsPerTexel(int32_t gridWidth, int32_t gridHeight, int32_t width, int32_t height);

// Walks every triangle of the mesh through the quadtree of finest level L, cutting it along the cells' boundaries
// (walkPiece), and fills what `request` asks for. Every value is added in the model's triangle order
// within its cell, so the result does not depend on the number of threads. Triangles on the same texture points are
// walked once, as one (mergeOverlaidTriangles). Throws std::bad_alloc when memory
// runs out or L is beyond the largest finest level.
void buildSurfaceMoments(SurfaceMoments& moments, const Mesh& mesh, int32_t finestLevel, const MomentRequest& request);

// Frees every grid.
void releaseSurfaceMoments(SurfaceMoments& moments);

// The mean over the triangle p0 p1 p2 (texture space) of u^a v^b, a, b = 0 .. 2, into mean[3 b + a].
void triangleMonomialMeans(const LocalPoint& p0, const LocalPoint& p1, const LocalPoint& p2, double mean[9]);
