// The exact division of the model's surface among the texels of every level: a quadtree of square
// grids whose cells hold the clipped pieces of the triangles that fall in them.
#pragma once

#include <cstdint>

#include "base/grow_array.h"
#include "mesh/obj_model.h"

// A convex polygon of at least 3 vertices: texture points local to its cell (0..1 inside the cell)
// and the matching model-space points, vertex i being (texPoints[i], surfacePoints[i]).
struct SurfacePiece {
    GrowArray<TexPoint> texPoints;
    GrowArray<Point3> surfacePoints;
};

// One texel of one level; it is used when it holds at least one piece.
struct CoverageCell {
    GrowArray<SurfacePiece> pieces;
};

// One level: width x height cells (both the side of the level), cell (x, y) at y * width + x.
struct CoverageGrid {
    GrowArray<CoverageCell> cells;
    int32_t cellCount = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// Built for a finest level L: L + 1 grids, grid i of side 2^(L - i).
struct TexelCoverage {
    GrowArray<CoverageGrid> levels;
};

enum class SplitAxis { u = 0, v = 1 };

// Replaces the coverage's grids with L + 1 fresh grids and inserts every triangle of the mesh.
void buildTexelCoverage(TexelCoverage& coverage, const Mesh& mesh, int32_t finestLevel);

// Frees every grid, cell and piece.
void releaseCoverage(TexelCoverage& coverage);

// Model-space area of the fan triangle (vertex 0, m, m + 1) of a piece, every step in float32.
float fanTriangleArea(const SurfacePiece& piece, int32_t m);

// Model-space area of a piece (fan around vertex 0); 0 below 3 vertices.
double pieceArea(const SurfacePiece& piece);

// Sum of the areas of the cell's pieces; 0 for an empty cell.
double cellArea(const CoverageCell& cell);

// Clips `piece` at the line where the chosen coordinate is 1: `low` keeps the part below it,
// `high` the part above it moved back by 1.
void splitPiece(const SurfacePiece& piece, SplitAxis axis, SurfacePiece& low, SurfacePiece& high);
