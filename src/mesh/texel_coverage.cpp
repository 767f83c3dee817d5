// Cutting every triangle along the texel boundaries of each level, so that every texel knows the
// exact part of the model's surface that the texture lays on it.
#include "mesh/texel_coverage.h"

#include <cassert>
#include <cmath>
#include <new>

// A grid of side 2^15 already has 2^30 cells; one more level would overflow the 32-bit cell count.
static const int32_t maxFinestLevel = 15;

// Split parts of one depth of the quadtree walk, kept across calls so that their storage is reused.
struct SplitScratch {
    SurfacePiece left, right, low, high;
};

static void appendVertex(SurfacePiece& piece, const TexPoint& texPoint, const Point3& surfacePoint) {
    append(piece.texPoints, texPoint);
    append(piece.surfacePoints, surfacePoint);
}

static void removeVertex(SurfacePiece& piece, int32_t index) {
    for (int32_t i = index; i + 1 < piece.texPoints.count; ++i) {
        piece.texPoints.items[i] = piece.texPoints.items[i + 1];
        piece.surfacePoints.items[i] = piece.surfacePoints.items[i + 1];
    }
    --piece.texPoints.count;
    --piece.surfacePoints.count;
}

static bool samePoint(const Point3& a, const Point3& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

// Removes each vertex whose model-space point equals its predecessor's (cyclically).
static void dropRepeatedVertices(SurfacePiece& piece) {
    int32_t i = 0;
    while (i < piece.surfacePoints.count) {
        const int32_t j = (i + 1) % piece.surfacePoints.count;
        if (samePoint(piece.surfacePoints.items[i], piece.surfacePoints.items[j])) {
            removeVertex(piece, j);
        } else {
            ++i;
        }
    }
}

// Appends a copy of the piece to the cell, its arrays holding exactly its vertices.
static void storePiece(CoverageCell& cell, const SurfacePiece& piece) {
    append(cell.pieces, SurfacePiece());
    SurfacePiece& stored = cell.pieces.items[cell.pieces.count - 1];
    const int32_t k = piece.texPoints.count;
    reserve(stored.texPoints, k);
    reserve(stored.surfacePoints, k);
    for (int32_t i = 0; i < k; ++i) appendVertex(stored, piece.texPoints.items[i], piece.surfacePoints.items[i]);
}

static float& axisCoordinate(TexPoint& point, SplitAxis axis) { return axis == SplitAxis::u ? point.u : point.v; }
static float axisCoordinate(const TexPoint& point, SplitAxis axis) {
    return axis == SplitAxis::u ? point.u : point.v;
}

// The point where the edge from p to c crosses the line where coordinate `axis` is 1.
static void crossingPoint(const TexPoint& pTex, const Point3& pSurface, const TexPoint& cTex, const Point3& cSurface,
                          SplitAxis axis, TexPoint& xTex, Point3& xSurface) {
    const SplitAxis other = axis == SplitAxis::u ? SplitAxis::v : SplitAxis::u;
    const double pa = axisCoordinate(pTex, axis), ca = axisCoordinate(cTex, axis);
    // The edge reaches the line at p + (c - p) t with t = (1 - p_a) / (c_a - p_a). Rounding (or an
    // infinite coordinate) can put t outside [0, 1] or make it NaN; the edge's midpoint stands in.
    double t = (1 - pa) / (ca - pa);
    if (!(t >= 0 && t <= 1)) t = 0.5;
    const float pb = axisCoordinate(pTex, other), cb = axisCoordinate(cTex, other);
    const float db = cb - pb;
    axisCoordinate(xTex, axis) = 1;
    axisCoordinate(xTex, other) = static_cast<float>(pb + static_cast<double>(db) * t);
    const double s = 1 - t;
    xSurface.x = static_cast<float>(pSurface.x * s) + static_cast<float>(cSurface.x * t);
    xSurface.y = static_cast<float>(pSurface.y * s) + static_cast<float>(cSurface.y * t);
    xSurface.z = static_cast<float>(pSurface.z * s) + static_cast<float>(cSurface.z * t);
}

void splitPiece(const SurfacePiece& piece, SplitAxis axis, SurfacePiece& low, SurfacePiece& high) {
    clear(low.texPoints), clear(low.surfacePoints);
    clear(high.texPoints), clear(high.surfacePoints);
    const int32_t k = piece.texPoints.count;
    if (k == 0) return;
    const TexPoint* tex = piece.texPoints.items;
    const Point3* surface = piece.surfacePoints.items;
    // A NaN coordinate compares false and so counts as high.
    auto isLow = [axis](const TexPoint& point) { return static_cast<double>(axisCoordinate(point, axis)) < 1.0; };
    int32_t p = k - 1;
    bool pLow = isLow(tex[p]);
    for (int32_t c = 0; c < k; p = c, ++c) {
        const bool cLow = isLow(tex[c]);
        if (pLow != cLow) {
            TexPoint xTex;
            Point3 xSurface;
            crossingPoint(tex[p], surface[p], tex[c], surface[c], axis, xTex, xSurface);
            appendVertex(low, xTex, xSurface);
            appendVertex(high, xTex, xSurface);
        }
        appendVertex(cLow ? low : high, tex[c], surface[c]);
        pLow = cLow;
    }
    for (TexPoint& point : high.texPoints) axisCoordinate(point, axis) -= 1;
}

// Stores the piece in cell (x, y) of grid `level` and carries the parts that overlap each child
// cell down to the finer grid, depth first. `scratch[level]` holds the split parts of this depth.
static void insertPiece(TexelCoverage& coverage, SurfacePiece& piece, int32_t x, int32_t y, int32_t level,
                          SplitScratch* scratch) {
    dropRepeatedVertices(piece);
    if (piece.texPoints.count < 3) return;
    CoverageGrid& grid = coverage.levels[level];
    storePiece(grid.cells[y * grid.width + x], piece);
    if (level == 0) return;

    // Into the units of the four children, child (2x, 2y) at the origin.
    for (TexPoint& point : piece.texPoints) {
        point.u *= 2;
        point.v *= 2;
    }
    SplitScratch& parts = scratch[level];
    splitPiece(piece, SplitAxis::u, parts.left, parts.right);
    SurfacePiece* columns[2] = {&parts.left, &parts.right};
    for (int32_t dx = 0; dx < 2; ++dx) {
        splitPiece(*columns[dx], SplitAxis::v, parts.low, parts.high);
        if (parts.low.texPoints.count >= 3) insertPiece(coverage, parts.low, 2 * x + dx, 2 * y, level - 1, scratch);
        if (parts.high.texPoints.count >= 3) {
            insertPiece(coverage, parts.high, 2 * x + dx, 2 * y + 1, level - 1, scratch);
        }
    }
}

void buildTexelCoverage(TexelCoverage& coverage, const Mesh& mesh, int32_t finestLevel) {
    releaseCoverage(coverage);
    if (finestLevel < 0) return;
    if (finestLevel > maxFinestLevel) throw std::bad_alloc();
    resize(coverage.levels, finestLevel + 1);
    for (int32_t i = 0; i <= finestLevel; ++i) {
        CoverageGrid& grid = coverage.levels[i];
        grid.width = grid.height = 1 << (finestLevel - i);
        grid.cellCount = grid.width * grid.height;
        resize(grid.cells, grid.cellCount);
    }

    GrowArray<SplitScratch> scratch;
    resize(scratch, finestLevel + 1);
    SurfacePiece triangle;
    const int32_t positionCount = mesh.positions.count, texCoordCount = mesh.texCoords.count;
    for (const MeshTriangle& t : mesh.triangles) {
        clear(triangle.texPoints), clear(triangle.surfacePoints);
        for (int c = 0; c < 3; ++c) {
            const int32_t p = t.positionIndex[c], q = t.texCoordIndex[c];
            // The loader only makes triangles with valid indices; a mesh built otherwise is not read outside.
            assert(p >= 0 && p < positionCount && q >= 0 && q < texCoordCount);
            if (p < 0 || p >= positionCount || q < 0 || q >= texCoordCount) break;
            appendVertex(triangle, mesh.texCoords.items[q], mesh.positions.items[p]);
        }
        if (triangle.texPoints.count == 3) insertPiece(coverage, triangle, 0, 0, finestLevel, scratch.items);
    }
}

void releaseCoverage(TexelCoverage& coverage) { release(coverage.levels); }

// Fan around vertex 0: the area is the sum of 0.5 |(P_m - P_0) x (P_m+1 - P_0)|.
// Half the length of the cross product of two edges from vertex 0.
float fanTriangleArea(const SurfacePiece& piece, int32_t m) {
    const Point3& a = piece.surfacePoints[0];
    const Point3& b = piece.surfacePoints[m];
    const Point3& c = piece.surfacePoints[m + 1];
    const float bx = b.x - a.x, by = b.y - a.y, bz = b.z - a.z;
    const float cx = c.x - a.x, cy = c.y - a.y, cz = c.z - a.z;
    const float nx = by * cz - bz * cy, ny = bz * cx - bx * cz, nz = bx * cy - by * cx;
    return 0.5f * std::sqrt(nx * nx + ny * ny + nz * nz);
}

double pieceArea(const SurfacePiece& piece) {
    double area = 0;
    for (int32_t m = 1; m + 1 < piece.surfacePoints.count; ++m) area += fanTriangleArea(piece, m);
    return area;
}

double cellArea(const CoverageCell& cell) {
    double area = 0;
    for (const SurfacePiece& piece : cell.pieces) area += pieceArea(piece);
    return area;
}
