// Tents restricted to coverage cells, and exact integrals of products of tents over triangles.
#include "filters/tent_kernel.h"

#include <cassert>
#include <cmath>

TentFactor cellTent(int32_t x, int32_t a, int32_t e, int32_t size) {
    assert(x >= 0 && a >= 1 && (e == 0 || e == 1) && size >= 1);
    // Texel t's centre lies on the cell boundary 2a t + a; r counts the cells from the nearest
    // centre at or below this cell's low edge, where tent 0 is 1 and tent 1 is 0.
    const int32_t cellsPerTexel = 2 * a;
    const int32_t r = (x + a) % cellsPerTexel;
    TentFactor tent;
    tent.texel = ((x + a) / cellsPerTexel + size - 1 + e) % size;
    tent.slope = (e == 0 ? -1.0 : 1.0) * (1.0 / cellsPerTexel);
    tent.offset = r * tent.slope + (1 - e);
    return tent;
}

static LocalPoint widened(const TexPoint& point) {
    return LocalPoint{point.u, point.v};
}

// Each fan triangle's kernel value is half the mean of the product over it, so weighting it by
// the triangle's model-space area gives half the model-space integral (the map is affine).
double cellOverlap(const CoverageCell& cell, const TentFactor& x1, const TentFactor& y1, const TentFactor& x2,
                   const TentFactor& y2, double scale) {
    double sum = 0.0;
    for (const SurfacePiece& piece : cell.pieces) {
        assert(piece.texPoints.count == piece.surfacePoints.count);
        const int32_t k = piece.texPoints.count;
        if (k <= 2) continue;
        const LocalPoint t0 = widened(piece.texPoints[0]);
        for (int32_t m = 1; m <= k - 2; ++m) {
            const float area = fanTriangleArea(piece, m);
            sum += tentProductIntegral(t0, widened(piece.texPoints[m]), widened(piece.texPoints[m + 1]), x1, y1,
                                       x2, y2) *
                   (static_cast<double>(area) * scale);
        }
    }
    return sum;
}
