// One parallel walk of the texel quadtree that gathers, per cell of every grid, whether the surface uses it, its
// area and its moments, without storing the clipped pieces.
#include "filters/surface_moments.h"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "mesh/texel_coverage.h"
#include "mesh/texture_repeat.h"

// The walk is cut into tiles, the cells of one grid: each tile is walked by one thread, from the root down the one
// branch that leads to it and then through everything below it. Tiles of 64 x 64 finest cells keep the per-tile
// sums small and give many tiles to share out.
static constexpr int32_t tileDepth = 6;
static constexpr int32_t momentCount = 9;
static constexpr int32_t weightedPerChannel = 4;

void triangleMonomialMeans(const LocalPoint& p0, const LocalPoint& p1, const LocalPoint& p2, double mean[9]) {
    const TriangleMoments m = triangleMoments(p0, p1, p2);
    // With u = cu + du and v = cv + dv about the centroid, the means of du and dv vanish and those of du^i dv^j
    // are twice the integrals over the reference triangle, whose area is 1/2. Expanding u^a v^b:
    const double cu = m.centroidU, cv = m.centroidV;
    const double e20 = 2 * m.uu, e11 = 2 * m.uv, e02 = 2 * m.vv, e21 = 2 * m.uuv, e12 = 2 * m.uvv, e22 = 2 * m.uuvv;
    mean[0] = 1;
    mean[1] = cu;
    mean[2] = cu * cu + e20;
    mean[3] = cv;
    mean[4] = cu * cv + e11;
    mean[5] = cu * cu * cv + 2 * cu * e11 + cv * e20 + e21;
    mean[6] = cv * cv + e02;
    mean[7] = cu * cv * cv + 2 * cv * e11 + cu * e02 + e12;
    mean[8] = cu * cu * cv * cv + cu * cu * e02 + cv * cv * e20 + 4 * cu * cv * e11 + 2 * cu * e12 + 2 * cv * e21 + e22;
}

// Adds to m the moments of the piece: its fan triangles (vertex 0, k, k + 1), each weighted by its model-space area
// times `weight`, that of its triangle.
static void addPieceMoments(const SurfacePiece& piece, double weight, double m[momentCount]) {
    const int32_t k = piece.texPoints.count;
    const LocalPoint t0 = widened(piece.texPoints.items[0]);
    for (int32_t j = 1; j + 1 < k; ++j) {
        const double area = weight * fanTriangleArea(piece, j);
        double mean[momentCount];
        triangleMonomialMeans(t0, widened(piece.texPoints.items[j]), widened(piece.texPoints.items[j + 1]), mean);
        for (int32_t e = 0; e < momentCount; ++e) m[e] += area * mean[e];
    }
}

// Moments w[2 b + a] of a child cell (a, b = 0 .. 1) in the coordinates of its parent, the child being the one at
// (dx, dy) in the parent: U = (dx + u) / 2 and V = (dy + v) / 2.
static void addToParent(const double* child, int32_t dx, int32_t dy, double* parent) {
    parent[0] += child[0];
    parent[1] += (dx * child[0] + child[1]) * 0.5;
    parent[2] += (dy * child[0] + child[2]) * 0.5;
    parent[3] += (dx * dy * child[0] + dx * child[2] + dy * child[1] + child[3]) * 0.25;
}

namespace {

// What every thread of the walk reads.
struct WalkPlan {
    const Mesh* mesh = nullptr;
    const MomentRequest* request = nullptr;
    SurfaceMoments* out = nullptr;
    int32_t finest = 0;
    int32_t tileGrid = 0;       // tiles are the cells of this grid
    int32_t lowest = 0;         // the finest grid the walk reaches
    int32_t channelCount = 0;
    int32_t textureHalfCells[2] = {1, 1};  // a texture texel spans twice this many cells of grid 0, across and down
    int32_t cellOffset[2] = {0, 0};        // where the walked square's grid 0 lies in the texture's, across and down
    GrowArray<int32_t> tileStart;      // triangles of tile t: tileTriangles[tileStart[t] .. tileStart[t + 1])
    GrowArray<int32_t> tileTriangles;
    const double* weights = nullptr;   // what each triangle's pieces carry, times their own; none: 1 for all
    double* tileWeighted = nullptr;    // weighted moments of the grid of tiles in float64, for the grids above
};

// One thread's working storage, reused from tile to tile.
struct WalkScratch {
    GrowArray<SplitScratch> split;
    SurfacePiece triangle;
    GrowArray<double> moments[maxFinestLevel + 1];   // per grid of the tile, 9 per cell
    GrowArray<double> weighted[maxFinestLevel + 1];  // per grid of the tile from grid 1 on, 4 per cell and channel
};

}  // namespace

static void zeroArray(GrowArray<double>& array) {
    if (array.count > 0) std::memset(array.items, 0, sizeof(double) * static_cast<size_t>(array.count));
}

template <typename T>
static void allocateZeroed(GrowArray<T>& array, int64_t count) {
    if (count > std::numeric_limits<int32_t>::max()) throw std::bad_alloc();
    release(array);
    resize(array, static_cast<int32_t>(count));
    if (count > 0) std::memset(array.items, 0, sizeof(T) * static_cast<size_t>(count));
}

// Gives the array `count` items, cleared only when asked (otherwise whoever fills them writes every one).
template <typename T>
static void allocateCells(GrowArray<T>& array, int64_t count, bool cleared) {
    if (cleared) {
        allocateZeroed(array, count);
        return;
    }
    if (count > std::numeric_limits<int32_t>::max()) throw std::bad_alloc();
    release(array);
    resize(array, static_cast<int32_t>(count));
}

// The triangle's corners as a piece local to the single cell of the coarsest grid; false for bad indices.
static bool makeTriangle(const Mesh& mesh, const MeshTriangle& t, SurfacePiece& piece) {
    clear(piece.texPoints), clear(piece.surfacePoints);
    for (int c = 0; c < 3; ++c) {
        const int32_t p = t.positionIndex[c], q = t.texCoordIndex[c];
        if (p < 0 || p >= mesh.positions.count || q < 0 || q >= mesh.texCoords.count) return false;
        append(piece.texPoints, mesh.texCoords.items[q]);
        append(piece.surfacePoints, mesh.positions.items[p]);
    }
    return true;
}

// The tile range [first, last] that the interval [low, high] of a texture coordinate reaches, among `count`
// tiles; coordinates beyond the texture stay with the border tiles, as in the coverage.
static void tileRange(float low, float high, int32_t count, int32_t& first, int32_t& last) {
    auto tileOf = [count](float value) {
        const double scaled = std::floor(static_cast<double>(value) * count);
        if (!(scaled >= 0)) return int32_t{0};
        return scaled >= count - 1 ? count - 1 : static_cast<int32_t>(scaled);
    };
    first = tileOf(low);
    last = tileOf(high);
}

GridReach cellsPerTexel(int32_t gridWidth, int32_t gridHeight, int32_t width, int32_t height) {
    if (width > 0 && height > 0 && gridWidth % width == 0 && gridHeight % height == 0) {
        return GridReach{gridWidth / width, gridHeight / height};
    }
    return GridReach{1, 1};
}

// Lists each triangle under every tile its texture-space bounding box reaches, in the model's order. Every piece
// of the triangle lies within that box: clipping only adds points on the segments between its points.
static void bucketTriangles(WalkPlan& plan) {
    const Mesh& mesh = *plan.mesh;
    const int32_t side = 1 << (plan.finest - plan.tileGrid);
    const int64_t tileCount = static_cast<int64_t>(side) * side;
    GrowArray<int32_t> counts;
    allocateZeroed(counts, tileCount + 1);
    auto forEachTile = [&](const MeshTriangle& t, auto action) {
        float uLow = 0, uHigh = 0, vLow = 0, vHigh = 0;
        for (int c = 0; c < 3; ++c) {
            const int32_t q = t.texCoordIndex[c];
            if (q < 0 || q >= mesh.texCoords.count) return;
            const TexPoint& point = mesh.texCoords.items[q];
            if (c == 0 || point.u < uLow) uLow = point.u;
            if (c == 0 || point.u > uHigh) uHigh = point.u;
            if (c == 0 || point.v < vLow) vLow = point.v;
            if (c == 0 || point.v > vHigh) vHigh = point.v;
        }
        int32_t x0, x1, y0, y1;
        tileRange(uLow, uHigh, side, x0, x1);
        tileRange(vLow, vHigh, side, y0, y1);
        for (int32_t y = y0; y <= y1; ++y) {
            for (int32_t x = x0; x <= x1; ++x) action(y * side + x);
        }
    };
    int64_t total = 0;
    for (const MeshTriangle& t : mesh.triangles) {
        forEachTile(t, [&](int32_t tile) {
            ++counts.items[tile + 1];
            ++total;
        });
    }
    if (total > std::numeric_limits<int32_t>::max()) throw std::bad_alloc();
    for (int64_t tile = 0; tile < tileCount; ++tile) counts.items[tile + 1] += counts.items[tile];
    allocateZeroed(plan.tileTriangles, total);
    plan.tileStart = counts;
    for (int32_t index = 0; index < mesh.triangles.count; ++index) {
        forEachTile(mesh.triangles.items[index], [&](int32_t tile) { plan.tileTriangles.items[counts.items[tile]++] = index; });
    }
}

// The weight of the pieces of triangle `index` of the walked mesh.
static double triangleWeight(const WalkPlan& plan, int32_t index) { return plan.weights ? plan.weights[index] : 1.0; }

// Records one piece of a triangle of weight `weight` in grid g >= firstGrid: the used flag and the area straight into
// the result (the cell belongs to the caller alone), the moments into `sums` at `slot`.
static void recordPiece(const WalkPlan& plan, const SurfacePiece& piece, double weight, int32_t g, int64_t cell,
                        double* sums) {
    const MomentRequest& request = *plan.request;
    MomentGrid& grid = plan.out->grids.items[g];
    if (request.used) grid.used.items[cell] = 1;
    if (request.area) grid.area.items[cell] += weight * pieceArea(piece);
    if (request.moments) addPieceMoments(piece, weight, sums);
}

// The weighted moments of a piece of cell (x, y) of grid 0, where the texture's reconstruction is bilinear, added
// in the coordinates of the parent cell of grid 1 to `parent` (4 per channel).
static void addWeightedMoments(const WalkPlan& plan, const SurfacePiece& piece, double weight, int32_t x, int32_t y,
                               double* parent) {
    const FloatImage& texture = *plan.request->texture;
    double m[momentCount] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
    addPieceMoments(piece, weight, m);
    TentFactor columns[2], rows[2];
    for (int32_t e = 0; e < 2; ++e) {
        columns[e] = cellTent(x + plan.cellOffset[0], plan.textureHalfCells[0], e, texture.width);
        rows[e] = cellTent(y + plan.cellOffset[1], plan.textureHalfCells[1], e, texture.height);
    }
    for (int32_t c = 0; c < plan.channelCount; ++c) {
        // The reconstruction on the cell, f = sum of f_pq u^p v^q, from the four texels whose tents reach it.
        double f[4];
        cellReconstruction(texture, columns, rows, c, f);
        double own[4];
        for (int32_t b = 0; b < 2; ++b) {
            for (int32_t a = 0; a < 2; ++a) {
                own[2 * b + a] = f[0] * m[3 * b + a] + f[1] * m[3 * b + a + 1] + f[2] * m[3 * (b + 1) + a] +
                                 f[3] * m[3 * (b + 1) + a + 1];
            }
        }
        addToParent(own, x & 1, y & 1, parent + weightedPerChannel * c);
    }
}

static int32_t weightedStride(const WalkPlan& plan) { return weightedPerChannel * plan.channelCount; }

// Walks the triangles of tile (tx, ty) and stores what the tile's cells gathered.
static void walkTile(const WalkPlan& plan, WalkScratch& scratch, int32_t tx, int32_t ty) {
    const MomentRequest& request = *plan.request;
    const int32_t T = plan.tileGrid;
    const int32_t tilesPerSide = 1 << (plan.finest - T);
    const int32_t tile = ty * tilesPerSide + tx;
    const int32_t first = plan.tileStart.items[tile], last = plan.tileStart.items[tile + 1];
    const int32_t stride = weightedStride(plan);
    const bool weighted = request.texture != nullptr;
    // The tile's cells of the result are cleared here rather than all at once beforehand, so that their memory
    // is first touched by the thread that fills it.
    for (int32_t g = std::max(plan.lowest, request.firstGrid); g <= T; ++g) {
        const int32_t tileSide = 1 << (T - g);
        MomentGrid& grid = plan.out->grids.items[g];
        const int32_t across = std::max(0, std::min(tileSide, grid.width - tx * tileSide));
        const int32_t down = std::max(0, std::min(tileSide, grid.height - ty * tileSide));
        if (across == 0 || down == 0) continue;  // the tile lies past the cells this grid keeps
        for (int32_t y = 0; y < down; ++y) {
            const int64_t row = static_cast<int64_t>(ty * tileSide + y) * grid.width + tx * tileSide;
            if (request.used) std::memset(grid.used.items + row, 0, static_cast<size_t>(across));
            if (request.area) std::memset(grid.area.items + row, 0, sizeof(double) * static_cast<size_t>(across));
        }
    }

    double weight = 1;  // that of the triangle being walked
    auto visit = [&](int32_t g, int32_t x, int32_t y, const SurfacePiece& piece) {
        // Cell (x, y) of grid g within the tile, whose side there is 2^(T - g).
        const int32_t tileSide = 1 << (T - g);
        const int32_t localX = x - tx * tileSide, localY = y - ty * tileSide;
        if (g >= request.firstGrid) {
            const int64_t cell = static_cast<int64_t>(y) * plan.out->grids.items[g].width + x;
            const int32_t local = localY * tileSide + localX;
            double* sums = request.moments ? scratch.moments[g].items + momentCount * local : nullptr;
            recordPiece(plan, piece, weight, g, cell, sums);
        }
        if (g == 0 && weighted) {
            const int32_t parentSide = tileSide / 2;
            const int32_t parent = (localY / 2) * parentSide + localX / 2;
            addWeightedMoments(plan, piece, weight, x, y, scratch.weighted[1].items + stride * parent);
        }
    };

    // An empty tile stores zeros: the scratch sums start cleared and are cleared again after every tile.
    for (int32_t k = first; k < last; ++k) {
        const int32_t index = plan.tileTriangles.items[k];
        if (!makeTriangle(*plan.mesh, plan.mesh->triangles.items[index], scratch.triangle)) continue;
        weight = triangleWeight(plan, index);
        SurfacePiece* inTile = nullptr;
        if (!descendToCell(scratch.triangle, plan.finest, T, tx, ty, scratch.split.items, inTile)) continue;
        walkPiece(*inTile, tx, ty, T, plan.lowest, scratch.split.items, visit);
    }

    // Store the tile's moments, and carry its weighted moments up from grid 1 to the tile itself.
    for (int32_t g = plan.lowest; g <= T; ++g) {
        const int32_t tileSide = 1 << (T - g);
        MomentGrid& grid = plan.out->grids.items[g];
        if (weighted && g >= 2) {
            const GrowArray<double>& children = scratch.weighted[g - 1];
            for (int32_t y = 0; y < 2 * tileSide; ++y) {
                for (int32_t x = 0; x < 2 * tileSide; ++x) {
                    const double* child = children.items + stride * (y * 2 * tileSide + x);
                    double* parent = scratch.weighted[g].items + stride * ((y / 2) * tileSide + x / 2);
                    for (int32_t c = 0; c < plan.channelCount; ++c) {
                        addToParent(child + weightedPerChannel * c, x & 1, y & 1, parent + weightedPerChannel * c);
                    }
                }
            }
        }
        if (g < request.firstGrid) continue;
        const int32_t across = std::max(0, std::min(tileSide, grid.width - tx * tileSide));
        const int32_t down = std::max(0, std::min(tileSide, grid.height - ty * tileSide));
        for (int32_t y = 0; y < down; ++y) {
            const int64_t row = static_cast<int64_t>(ty * tileSide + y) * grid.width + tx * tileSide;
            for (int32_t x = 0; x < across; ++x) {
                const int32_t local = y * tileSide + x;
                if (request.moments) {
                    for (int32_t e = 0; e < momentCount; ++e) {
                        grid.moments.items[momentCount * (row + x) + e] =
                            static_cast<float>(scratch.moments[g].items[momentCount * local + e]);
                    }
                }
                if (weighted && g >= 1) {
                    for (int32_t e = 0; e < stride; ++e) {
                        grid.weighted.items[stride * (row + x) + e] =
                            static_cast<float>(scratch.weighted[g].items[stride * local + e]);
                    }
                }
            }
        }
    }
    if (weighted) {
        for (int32_t e = 0; e < stride; ++e) plan.tileWeighted[static_cast<int64_t>(stride) * tile + e] = scratch.weighted[T].items[e];
    }
    if (first < last) {
        for (int32_t g = plan.lowest; g <= T; ++g) {
            zeroArray(scratch.moments[g]);
            zeroArray(scratch.weighted[g]);
        }
    }
}

// Gives the thread's scratch the tile-local sums for the plan's tile size.
static void prepareScratch(const WalkPlan& plan, WalkScratch& scratch) {
    resize(scratch.split, plan.finest + 1);
    for (int32_t g = plan.lowest; g <= plan.tileGrid; ++g) {
        const int64_t cells = int64_t{1} << (2 * (plan.tileGrid - g));
        if (plan.request->moments && g >= plan.request->firstGrid) allocateZeroed(scratch.moments[g], momentCount * cells);
        if (plan.request->texture && g >= 1) allocateZeroed(scratch.weighted[g], weightedStride(plan) * cells);
    }
}

// The grids above the tiles: every triangle walked from the root down to the grid above the tiles, one after
// the other, and the weighted moments carried up from the tiles' sums.
static void walkAboveTiles(WalkPlan& plan, WalkScratch& scratch) {
    const MomentRequest& request = *plan.request;
    const int32_t L = plan.finest, T = plan.tileGrid;
    GrowArray<GrowArray<double>> sums;
    resize(sums, L + 1);
    for (int32_t g = T + 1; g <= L; ++g) {
        const MomentGrid& grid = plan.out->grids.items[g];
        const int64_t cells = static_cast<int64_t>(grid.width) * grid.height;
        if (request.moments && g >= request.firstGrid) allocateZeroed(sums[g], momentCount * cells);
    }
    double weight = 1;  // that of the triangle being walked
    auto visit = [&](int32_t g, int32_t x, int32_t y, const SurfacePiece& piece) {
        if (g < request.firstGrid) return;
        const int64_t cell = static_cast<int64_t>(y) * plan.out->grids.items[g].width + x;
        recordPiece(plan, piece, weight, g, cell, request.moments ? sums[g].items + momentCount * cell : nullptr);
    };
    for (int32_t index = 0; index < plan.mesh->triangles.count; ++index) {
        if (!makeTriangle(*plan.mesh, plan.mesh->triangles.items[index], scratch.triangle)) continue;
        weight = triangleWeight(plan, index);
        walkPiece(scratch.triangle, 0, 0, L, T + 1, scratch.split.items, visit);
    }
    for (int32_t g = T + 1; g <= L; ++g) {
        for (int32_t e = 0; e < sums[g].count; ++e) plan.out->grids.items[g].moments.items[e] = static_cast<float>(sums[g].items[e]);
    }

    if (!request.texture) return;
    const int32_t stride = weightedStride(plan);
    GrowArray<double> children, parents;
    allocateZeroed(children, static_cast<int64_t>(stride) << (2 * (L - T)));
    std::memcpy(children.items, plan.tileWeighted, sizeof(double) * static_cast<size_t>(children.count));
    for (int32_t g = T + 1; g <= L; ++g) {
        const int32_t side = 1 << (L - g);
        allocateZeroed(parents, static_cast<int64_t>(stride) * side * side);
        for (int32_t y = 0; y < 2 * side; ++y) {
            for (int32_t x = 0; x < 2 * side; ++x) {
                const double* child = children.items + static_cast<int64_t>(stride) * (y * 2 * side + x);
                double* parent = parents.items + static_cast<int64_t>(stride) * ((y / 2) * side + x / 2);
                for (int32_t c = 0; c < plan.channelCount; ++c) {
                    addToParent(child + weightedPerChannel * c, x & 1, y & 1, parent + weightedPerChannel * c);
                }
            }
        }
        MomentGrid& grid = plan.out->grids.items[g];
        if (g >= request.firstGrid) {
            for (int32_t e = 0; e < parents.count; ++e) grid.weighted.items[e] = static_cast<float>(parents.items[e]);
        }
        std::swap(children, parents);
    }
}

// The walk of one square of texture space through the quadtree of finest level L into square grids of side
// 2^(L - g); halfCells and offset place its grid 0 in the texture's (see WalkPlan).
static void walkSquare(SurfaceMoments& result, const Mesh& mesh, int32_t L, const MomentRequest& request,
                       const int32_t halfCells[2], const int32_t offset[2]) {
    if (L > maxFinestLevel) throw std::bad_alloc();
    const bool weighted = request.texture != nullptr;
    result.channelCount = weighted ? (request.texture->hasAlpha ? 4 : 3) : 0;

    // Triangles laid on the same texture points are walked once, so that overlaid copies cost one walk.
    Mesh overlaidOnce;
    GrowArray<double> weights;
    const bool merged = mergeOverlaidTriangles(mesh, overlaidOnce, weights);

    WalkPlan plan;
    plan.mesh = merged ? &overlaidOnce : &mesh;
    plan.weights = merged ? weights.items : nullptr;
    plan.request = &request;
    plan.out = &result;
    plan.finest = L;
    plan.channelCount = result.channelCount;
    for (int32_t axis = 0; axis < 2; ++axis) {
        plan.textureHalfCells[axis] = halfCells[axis];
        plan.cellOffset[axis] = offset[axis];
    }
    plan.lowest = weighted ? 0 : std::max(0, std::min(L, request.firstGrid));
    plan.tileGrid = std::min(L, std::max(tileDepth, plan.lowest));
    const int32_t stride = weightedStride(plan);

    resize(result.grids, L + 1);
    for (int32_t g = 0; g <= L; ++g) {
        MomentGrid& grid = result.grids.items[g];
        grid.width = grid.height = 1 << (L - g);
        if (g < request.firstGrid) continue;
        const int64_t cells = static_cast<int64_t>(grid.width) * grid.height;
        // The tiles clear or write every cell of their grids; the grids above them start cleared.
        const bool aboveTiles = g > plan.tileGrid;
        if (request.used) allocateCells(grid.used, cells, aboveTiles);
        if (request.area) allocateCells(grid.area, cells, aboveTiles);
        if (request.moments) allocateCells(grid.moments, momentCount * cells, aboveTiles);
        if (weighted && g >= 1) allocateCells(grid.weighted, stride * cells, aboveTiles);
    }

    bucketTriangles(plan);
    const int32_t tilesPerSide = 1 << (L - plan.tileGrid);
    GrowArray<double> tileWeighted;
    if (weighted) allocateZeroed(tileWeighted, static_cast<int64_t>(stride) * tilesPerSide * tilesPerSide);
    plan.tileWeighted = tileWeighted.items;

    // Each tile's cells are written by the one thread that walks it, in the model's triangle order.
    std::atomic<bool> outOfMemory(false);
    std::atomic<int32_t> tilesWalked(0);
    const int32_t tileCount = tilesPerSide * tilesPerSide;
#pragma omp parallel if (tilesPerSide > 1)
    {
        WalkScratch scratch;
        bool ready = false;
        try {
            prepareScratch(plan, scratch);
            ready = true;
        } catch (const std::bad_alloc&) {
            outOfMemory = true;
        }
#pragma omp for schedule(dynamic, 1)
        for (int32_t tile = 0; tile < tilesPerSide * tilesPerSide; ++tile) {
            if (!ready || outOfMemory) continue;
            const int32_t tx = tile % tilesPerSide, ty = tile / tilesPerSide;
            try {
                walkTile(plan, scratch, tx, ty);
            } catch (const std::bad_alloc&) {
                outOfMemory = true;
            }
            const int32_t walked = ++tilesWalked;
            if (request.progress && omp_get_thread_num() == 0) request.progress(static_cast<double>(walked) / tileCount);
        }
    }
    if (outOfMemory) throw std::bad_alloc();

    if (plan.tileGrid < L) {
        WalkScratch scratch;
        resize(scratch.split, L + 1);
        walkAboveTiles(plan, scratch);
    }
}

// Copies array `from` of a square grid (`per` values a cell) into `to`, a grid `width` cells wide, with the square's
// cell (0, 0) at (x0, y0).
template <typename T>
static void copyCells(const GrowArray<T>& from, int32_t side, int32_t per, GrowArray<T>& to, int32_t width, int32_t x0,
                      int32_t y0) {
    if (from.count == 0) return;
    for (int32_t y = 0; y < side; ++y) {
        std::memcpy(to.items + per * (static_cast<int64_t>(y0 + y) * width + x0),
                    from.items + per * static_cast<int64_t>(y) * side, sizeof(T) * static_cast<size_t>(per) * side);
    }
}

void buildSurfaceMoments(SurfaceMoments& result, const Mesh& mesh, int32_t finestLevel, const MomentRequest& request) {
    releaseSurfaceMoments(result);
    if (finestLevel < 0) return;
    const int32_t L = finestLevel;
    const bool weighted = request.texture != nullptr;
    const int32_t width = weighted ? request.texture->width : request.width;
    const int32_t height = weighted ? request.texture->height : request.height;
    const auto powerOfTwo = [](int32_t n) { return n > 0 && (n & (n - 1)) == 0; };
    const bool sized = width > 0 && height > 0;
    if (sized && (!powerOfTwo(width) || !powerOfTwo(height) || (std::min(width, height) == 1 && width != height))) {
        // Grids cut along the levels' own bounds, which no quadtree follows.
        buildBoundedMoments(result, mesh, L, request);
        return;
    }
    // The texture's longer side is 2^(L - 1) when it is weighted, so grid 0 has two cells per texel along it.
    assert(!weighted || (L >= 1 && std::max(width, height) == (1 << (L - 1))));
    if (!sized || width == height) {
        // Square grids of side 2^(L - g): those of a square texture, or of no texture in particular.
        int32_t halfCells[2] = {1, 1};
        const int32_t offset[2] = {0, 0};
        if (weighted) {
            halfCells[0] = (1 << L) / (2 * width);
            halfCells[1] = (1 << L) / (2 * height);
        }
        walkSquare(result, mesh, L, request, halfCells, offset);
        return;
    }

    // Unequal sides: the texture is a row (or column) of squares of its shorter side, each walked on its own into
    // square grids and copied into its place, so no grid is ever square in the longer side.
    const bool wide = width > height;
    const int32_t squares = wide ? width / height : height / width;
    int32_t shift = 0;
    while ((1 << shift) < squares) ++shift;
    const int32_t squareLevel = L - shift;  // the finest level of each square's quadtree
    resize(result.grids, L + 1);
    result.channelCount = weighted ? (request.texture->hasAlpha ? 4 : 3) : 0;
    const int32_t stride = weightedPerChannel * result.channelCount;
    for (int32_t g = 0; g <= L; ++g) {
        MomentGrid& grid = result.grids.items[g];
        if (g > squareLevel) continue;  // past the shorter side's last cell
        const int32_t side = 1 << (squareLevel - g);
        grid.width = wide ? squares * side : side;
        grid.height = wide ? side : squares * side;
        if (g < request.firstGrid) continue;
        const int64_t cells = static_cast<int64_t>(grid.width) * grid.height;
        if (request.used) allocateCells(grid.used, cells, false);
        if (request.area) allocateCells(grid.area, cells, false);
        if (request.moments) allocateCells(grid.moments, momentCount * cells, false);
        if (weighted && g >= 1) allocateCells(grid.weighted, stride * cells, false);
    }
    GrowArray<Mesh> strips;
    splitIntoStrips(mesh, squares, wide, strips);
    const int32_t halfCells[2] = {1, 1};
    auto walkOne = [&](int32_t s) {
        const int32_t squareSide = 1 << squareLevel;
        const int32_t offset[2] = {wide ? s * squareSide : 0, wide ? 0 : s * squareSide};
        SurfaceMoments part;
        walkSquare(part, strips.items[s], squareLevel, request, halfCells, offset);
        release(strips.items[s].positions), release(strips.items[s].texCoords), release(strips.items[s].triangles);
        for (int32_t g = request.firstGrid; g <= squareLevel; ++g) {
            const MomentGrid& from = part.grids.items[g];
            MomentGrid& to = result.grids.items[g];
            const int32_t side = from.width, x0 = wide ? s * side : 0, y0 = wide ? 0 : s * side;
            copyCells(from.used, side, 1, to.used, to.width, x0, y0);
            copyCells(from.area, side, 1, to.area, to.width, x0, y0);
            copyCells(from.moments, side, momentCount, to.moments, to.width, x0, y0);
            copyCells(from.weighted, side, stride, to.weighted, to.width, x0, y0);
        }
    };
    // The levels past the shorter side's last halving read grids that no square's quadtree has.
    const int32_t chainEnd = levelsToShorterSideOne(width, height);
    if (squareLevel > tileDepth) {
        // Squares of several tiles: one after the other, each walked by all threads, so only one is held at a time.
        for (int32_t s = 0; s < squares; ++s) walkOne(s);
        extendToChainEnd(result, L, request, chainEnd);
        return;
    }
    // Squares of one tile: the threads share out the squares (each walk then runs on its thread alone), and write
    // disjoint blocks of the grids.
    std::atomic<bool> outOfMemory(false);
#pragma omp parallel for schedule(dynamic, 1)
    for (int32_t s = 0; s < squares; ++s) {
        if (outOfMemory) continue;
        try {
            walkOne(s);
        } catch (const std::bad_alloc&) {
            outOfMemory = true;
        }
    }
    if (outOfMemory) throw std::bad_alloc();
    extendToChainEnd(result, L, request, chainEnd);
}

void releaseMomentGrid(MomentGrid& grid) {
    release(grid.used);
    release(grid.area);
    release(grid.moments);
    release(grid.weighted);
    release(grid.columnBounds);
    release(grid.rowBounds);
    grid.width = grid.height = 0;
}

void releaseSurfaceMoments(SurfaceMoments& moments) {
    release(moments.grids);
    moments.channelCount = 0;
}
