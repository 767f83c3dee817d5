// What the mapping-aware filters need to know of the model's surface on every texel of every grid, gathered in
// one parallel walk of the texel quadtree that never keeps the clipped pieces themselves.
#pragma once

#include <cstdint>
#include <functional>

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
    // The cells' bounds in the unit texture square, width + 1 (height + 1) ascending values from 0 to 1, for a grid
    // whose cells differ in size; empty when the cells split the square evenly.
    GrowArray<double> columnBounds, rowBounds;
};

// Grid g = 0 .. L for finest level L. For a texture whose sides are powers of two, grid g has 2^(L - g) cells along
// the longer side and that divided by the sides' ratio along the shorter one, every cell alike, as far as the
// shorter side has cells; the grids past it (those of the levels that end the chain) and the grids of every other
// size are cut along the levels' own texel centres (or, with `footprints`, edges): along an axis, grid g's bounds
// are those of every level from g on (see MomentRequest), so each grid refines the next coarser one and, for sides
// that are powers of two, equals the even grid.
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
    // max(1, firstGrid) on). Its levels' grids have finest level L = its level count, so that grid 0 (two cells per
    // texel where the sides are powers of two) splits every texel between its neighbours' centres.
    const FloatImage* texture = nullptr;
    // The size of the texture the grids serve (that of `texture` when it is given).
    int32_t width = 0, height = 0;
    // What the grids are cut along, level j having levelSide(width, j) x levelSide(height, j) texels. Without
    // `footprints` (the least-squares filters' grids, finest level L): grid g along the texel centres of the levels
    // g .. L - 1, so that the tents of levels g and g + 1 are bilinear on each cell; grid 0 then also splits the
    // texture's texels into the parts that lie between the centres. With `footprints` (the box filters' grids,
    // finest level L the last level): grid g along the texel edges of levels g .. L, so that each cell lies in one
    // texel of each of those levels.
    bool footprints = false;
    // Optional, for a display of progress: the share of the texture's tiles walked so far, told now and then by the
    // first thread (the walk for sides that are powers of two; other sizes tell nothing). Nothing depends on it.
    std::function<void(double share)> progress;
};

// The block of cells of a gridWidth x gridHeight grid that a texel of a width x height level covers, across and
// down: the grid's sides over the level's where both divide evenly, else one cell (texel (x, y) then pairs with
// cell (x, y)).
GridReach cellsPerTexel(int32_t gridWidth, int32_t gridHeight, int32_t width, int32_t height);

// The bounds [low, high] of cell `index` of the grid along `axis`, in the unit texture square.
void cellBounds(const MomentGrid& grid, SplitAxis axis, int32_t index, double& low, double& high);

// Tent number e (0 or 1) of the two tents of a level with `size` texels along `axis` that are non-zero on cell
// `index` of the grid, as a polynomial of the cell-local coordinate: the earlier texel's (falling) and the next
// one's (rising), wrapped. The grid's cells along the axis must lie between two of the level's texel centres, or the
// axis must have one cell and the level one texel, whose tent is 1 everywhere (tent 1 is then 0).
TentFactor gridCellTent(const MomentGrid& grid, SplitAxis axis, int32_t index, int32_t e, int32_t size);

// The same grids for any size, every grid cut along its bounds as `request` describes (no grid is even by
// construction, though their bounds may be even). buildSurfaceMoments takes it for every size it does not walk as a
// quadtree; it is public so that the two can be compared.
void buildBoundedMoments(SurfaceMoments& moments, const Mesh& mesh, int32_t finestLevel, const MomentRequest& request);

// Replaces grids firstGrid .. L of quadtree grids of a texture whose sides are unequal powers of two (those past the
// shorter side's last cell) by the grids cut along bounds that the levels ending the chain need, summed from grid
// firstGrid - 1, whose even cells they nest in.
void extendToChainEnd(SurfaceMoments& moments, int32_t finestLevel, const MomentRequest& request, int32_t firstGrid);

// Frees one grid's arrays; its sizes become 0.
void releaseMomentGrid(MomentGrid& grid);

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
