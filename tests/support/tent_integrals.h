// The integral of a product of four tents over one triangle, term by term from the triangle's moments: the
// literal form of what the least-squares filters' assembly gathers, kept as the tests' oracle and the
// benchmarks' baseline.
#pragma once

#include "filters/tent_kernel.h"

// tentProductIntegral on a triangle whose moments are given.
// X1 X2 is a quadratic in du and Y1 Y2 one in dv:
//   X1 X2 = pu + qu du + ru du^2,  Y1 Y2 = pv + qv dv + rv dv^2,
// so their product integrates to pu pv / 2 + pu rv vv + qu qv uv + qu rv uvv + ru pv uu + ru qv uuv
// + ru rv uuvv (the terms linear in du or dv alone vanish).
inline double tentProductIntegral(const TriangleMoments& moments, const TentFactor& x1, const TentFactor& y1,
                                  const TentFactor& x2, const TentFactor& y2) {
    const double x1c = x1.offset + x1.slope * moments.centroidU;
    const double x2c = x2.offset + x2.slope * moments.centroidU;
    const double y1c = y1.offset + y1.slope * moments.centroidV;
    const double y2c = y2.offset + y2.slope * moments.centroidV;
    const double pu = x1c * x2c, qu = x1.slope * x2c + x2.slope * x1c, ru = x1.slope * x2.slope;
    const double pv = y1c * y2c, qv = y1.slope * y2c + y2.slope * y1c, rv = y1.slope * y2.slope;
    return pu * (0.5 * pv + moments.vv * rv) + qu * (moments.uv * qv + moments.uvv * rv) +
           ru * (moments.uu * pv + moments.uuv * qv + moments.uuvv * rv);
}

// Integral over the reference triangle (barycentric parameters, area 1/2) of
// X1(u) Y1(v) X2(u) Y2(v) on the triangle p0 p1 p2; exact, independent of the triangle's size,
// orientation and vertex order, and defined for collinear points too.
inline double tentProductIntegral(LocalPoint p0, LocalPoint p1, LocalPoint p2, const TentFactor& x1,
                                  const TentFactor& y1, const TentFactor& x2, const TentFactor& y2) {
    return tentProductIntegral(triangleMoments(p0, p1, p2), x1, y1, x2, y2);
}
