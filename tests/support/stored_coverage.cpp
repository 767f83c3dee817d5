// Storing every piece of the quadtree walk in the cell it reaches, for the tests to read back.
#include "stored_coverage.h"

#include <cassert>
#include <new>

// Appends a copy of the piece to the cell, its arrays holding exactly its vertices.
static void storePiece(CoverageCell& cell, const SurfacePiece& piece) {
    append(cell.pieces, SurfacePiece());
    SurfacePiece& stored = cell.pieces.items[cell.pieces.count - 1];
    const int32_t k = piece.texPoints.count;
    reserve(stored.texPoints, k);
    reserve(stored.surfacePoints, k);
    for (int32_t i = 0; i < k; ++i) {
        append(stored.texPoints, piece.texPoints.items[i]);
        append(stored.surfacePoints, piece.surfacePoints.items[i]);
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
            append(triangle.texPoints, mesh.texCoords.items[q]);
            append(triangle.surfacePoints, mesh.positions.items[p]);
        }
        auto store = [&coverage](int32_t level, int32_t x, int32_t y, const SurfacePiece& piece) {
            CoverageGrid& grid = coverage.levels[level];
            storePiece(grid.cells[y * grid.width + x], piece);
        };
        if (triangle.texPoints.count == 3) walkPiece(triangle, 0, 0, finestLevel, 0, scratch.items, store);
    }
}

void releaseCoverage(TexelCoverage& coverage) { release(coverage.levels); }

double cellArea(const CoverageCell& cell) {
    double area = 0;
    for (const SurfacePiece& piece : cell.pieces) area += pieceArea(piece);
    return area;
}
