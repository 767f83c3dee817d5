// The bilinear overlap kernel: tents restricted to coverage cells and the exact integral of
// products of tents over the surface pieces of a cell.
#pragma once

#include <cstdint>

#include "mesh/texel_coverage.h"

// One one-dimensional tent restricted to one cell: value offset + slope * s at local coordinate s.
struct TentFactor {
    int32_t texel = 0;
    double offset = 0;
    double slope = 0;
};

// A cell-local texture point in float64.
struct LocalPoint {
    double u = 0, v = 0;
};

// What tentProductIntegral needs of a triangle's shape: its centroid and the integrals over the
// reference triangle (barycentric parameters, area 1/2) of products of du = u - centroidU and
// dv = v - centroidV. Computing it once lets every tent pair of the triangle share it.
struct TriangleMoments {
    double centroidU = 0, centroidV = 0;
    double uu = 0, uv = 0, vv = 0;  // integrals of du du, du dv, dv dv
    double uuv = 0, uvv = 0;        // of du du dv, du dv dv
    double uuvv = 0;                // of du du dv dv
};

// Tent number e (0 or 1) of the two tents that are non-zero in cell column (or row) x, for texels
// that span 2a cells, in a level with `size` texels along that axis (wrapped).
TentFactor cellTent(int32_t x, int32_t a, int32_t e, int32_t size);

// The moments of the triangle p0 p1 p2 (any size, orientation or vertex order; may be degenerate).
TriangleMoments triangleMoments(LocalPoint p0, LocalPoint p1, LocalPoint p2);

// tentProductIntegral on a triangle whose moments are given.
double tentProductIntegral(const TriangleMoments& moments, const TentFactor& x1, const TentFactor& y1,
                           const TentFactor& x2, const TentFactor& y2);

// Integral over the reference triangle (barycentric parameters, area 1/2) of
// X1(u) Y1(v) X2(u) Y2(v) on the triangle p0 p1 p2; exact, independent of the triangle's size.
double tentProductIntegral(LocalPoint p0, LocalPoint p1, LocalPoint p2, const TentFactor& x1,
                           const TentFactor& y1, const TentFactor& x2, const TentFactor& y2);

// Model-space area of the fan triangle (vertex 0, m, m + 1) of a piece, every step in float32.
float fanTriangleArea(const SurfacePiece& piece, int32_t m);

// scale / 2 times the integral over the cell's surface (model-space area) of X1 Y1 X2 Y2.
double cellOverlap(const CoverageCell& cell, const TentFactor& x1, const TentFactor& y1, const TentFactor& x2,
                   const TentFactor& y2, double scale);
