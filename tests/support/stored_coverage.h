// The texel coverage stored whole: for a finest level L, L + 1 square grids whose cells hold copies of the clipped
// pieces of every triangle, laid by the same quadtree walk that the filters follow without storing anything. The
// tests and benchmarks read it as the oracle of what each texel of each level receives.
#pragma once

#include <cstdint>

#include "base/grow_array.h"
#include "mesh/obj_model.h"
#include "mesh/texel_coverage.h"

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

// Replaces the coverage's grids with L + 1 fresh grids and inserts every triangle of the mesh through walkPiece,
// each cell getting its pieces in the mesh's triangle order. Throws std::bad_alloc above maxFinestLevel.
void buildTexelCoverage(TexelCoverage& coverage, const Mesh& mesh, int32_t finestLevel);

// Frees every grid, cell and piece.
void releaseCoverage(TexelCoverage& coverage);

// Sum of the areas of the cell's pieces; 0 for an empty cell.
double cellArea(const CoverageCell& cell);
