// The integrals of the least-squares filters in their literal, one-term-at-a-time form, as oracles
// for the assembly loops that share work between terms.
#pragma once

#include <cassert>
#include <cstdint>

#include "filters/tent_kernel.h"
#include "stored_coverage.h"
#include "tent_integrals.h"
#include "trilinear_kernel.h"

// scale / 2 times the integral over the cell's surface (model-space area) of X1 Y1 X2 Y2, pair by
// pair. Each fan triangle's kernel value is half the mean of the product over it, so weighting it by
// the triangle's model-space area gives half the model-space integral (the map is affine).
inline double cellOverlap(const CoverageCell& cell, const TentFactor& x1, const TentFactor& y1, const TentFactor& x2,
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

// The integral of two trilinear basis functions (tent times blend weight) over the triangle
// p0 p1 p2 and over t: tentProductIntegral(p0, p1, p2, X1, Y1, X2, Y2) x blendIntegral(T1, T2),
// since the integral over t separates from the one over the triangle.
inline double tentBlendProductIntegral(LocalPoint p0, LocalPoint p1, LocalPoint p2, const TentFactor& x1,
                                       const TentFactor& y1, const BlendFactor& t1, const TentFactor& x2,
                                       const TentFactor& y2, const BlendFactor& t2) {
    return tentProductIntegral(p0, p1, p2, x1, y1, x2, y2) * blendIntegral(t1, t2);
}
