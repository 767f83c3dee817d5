// The exact division of the model's surface among the texels of every level: each triangle is walked down a
// quadtree of square grids, clipped at every cell boundary, and each piece is handed to the caller in the cell it
// falls in.
#pragma once

#include <algorithm>
#include <cstdint>

#include "base/grow_array.h"
#include "mesh/obj_model.h"

// A convex polygon of at least 3 vertices: texture points local to its cell (0..1 inside the cell)
// and the matching model-space points, vertex i being (texPoints[i], surfacePoints[i]).
struct SurfacePiece {
    GrowArray<TexPoint> texPoints;
    GrowArray<Point3> surfacePoints;
};

enum class SplitAxis { u = 0, v = 1 };

// Triangles with the same three texture points, in any order, lay the same pieces on every texel; what each piece
// carries (its area, its moments) is its texture-space share times the triangle's ratio of model-space to
// texture-space area. Such triangles are walked once: `merged` gets one triangle per distinct set of texture points,
// in the place of the first (the first with any area stands for its set), and weights[t] the factor by which triangle
// t of `merged` multiplies what its pieces carry: the set's area over its own (1 for a set without area). False, with
// `merged` and `weights` untouched, when no two triangles share their texture points: the mesh is walked as it is.
bool mergeOverlaidTriangles(const Mesh& mesh, Mesh& merged, GrowArray<double>& weights);

// Model-space area of the fan triangle (vertex 0, m, m + 1) of a piece, every step in float32.
float fanTriangleArea(const SurfacePiece& piece, int32_t m);

// Model-space area of a piece (fan around vertex 0); 0 below 3 vertices.
double pieceArea(const SurfacePiece& piece);

// Clips `piece` at the line where the chosen coordinate is 1: `low` keeps the part below it,
// `high` the part above it moved back by 1.
void splitPiece(const SurfacePiece& piece, SplitAxis axis, SurfacePiece& low, SurfacePiece& high);

// Removes each vertex whose model-space point equals its predecessor's (cyclically).
void dropRepeatedVertices(SurfacePiece& piece);

// Split outputs of one depth of a quadtree walk, kept across calls so that their storage is reused.
struct SplitScratch {
    SurfacePiece left, right, low, high;
};

// The largest finest level a walk takes: a grid of side 2^15 already has 2^30 cells.
constexpr int32_t maxFinestLevel = 15;

// A count of cells across and down.
struct GridReach {
    int32_t across = 0, down = 0;
};

// Carries `piece` (texture points local to cell (x, y) of grid `level`) down the quadtree to grid `lowest`,
// calling visit(level, x, y, piece) for every cell that holds a part of it: repeated vertices are dropped first,
// pieces of fewer than 3 vertices end the walk, parents come before children and the children in the order
// (2x, 2y), (2x, 2y + 1), (2x + 1, 2y), (2x + 1, 2y + 1). A grid of side 2^(L - g) for finest level L, walked from
// each triangle at (0, 0) of grid L, gets in every cell exactly the part of the triangle that the cell covers.
// `scratch` holds at least level + 1 entries; the caller's piece is changed.
template <typename Visit>
void walkPiece(SurfacePiece& piece, int32_t x, int32_t y, int32_t level, int32_t lowest, SplitScratch* scratch,
               Visit& visit) {
    dropRepeatedVertices(piece);
    if (piece.texPoints.count < 3) return;
    visit(level, x, y, static_cast<const SurfacePiece&>(piece));
    if (level <= lowest) return;
    for (TexPoint& point : piece.texPoints) {
        point.u *= 2;
        point.v *= 2;
    }
    SplitScratch& parts = scratch[level];
    splitPiece(piece, SplitAxis::u, parts.left, parts.right);
    SurfacePiece* columns[2] = {&parts.left, &parts.right};
    for (int32_t dx = 0; dx < 2; ++dx) {
        splitPiece(*columns[dx], SplitAxis::v, parts.low, parts.high);
        if (parts.low.texPoints.count >= 3) walkPiece(parts.low, 2 * x + dx, 2 * y, level - 1, lowest, scratch, visit);
        if (parts.high.texPoints.count >= 3) walkPiece(parts.high, 2 * x + dx, 2 * y + 1, level - 1, lowest, scratch, visit);
    }
}

// Carries `piece` (local to cell (x, y) of grid `level`) down the one branch of the quadtree that leads to cell
// (targetX, targetY) of grid `target` <= level, with the same arithmetic as walkPiece, and leaves there the part
// of the piece that falls into that cell, local to it. False when no part of 3 or more vertices reaches it.
bool descendToCell(SurfacePiece& piece, int32_t level, int32_t target, int32_t targetX, int32_t targetY,
                   SplitScratch* scratch, SurfacePiece*& result);
