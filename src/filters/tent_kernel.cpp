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

// On the reference triangle with barycentric coordinates l0, l1, l2,
//   integral of l0^j0 l1^j1 l2^j2 = j0! j1! j2! / (j0 + j1 + j2 + 2)!,
// so n affine functions g_i with vertex values g_i(p_k) have the product integral
//   1/(n + 2)! * sum over set partitions of {1..n} of prod over blocks B of (|B| - 1)! s(B),
//   s(B) = sum over k of prod over i in B of g_i(p_k).
// For du and dv (offsets from the centroid) every s of a single factor is 0, which leaves
//   int du du = Suu / 24,  int du du dv = Suuv / 60,
//   int du du dv dv = (6 Suuvv + Suu Svv + 2 Suv^2) / 720,
// S.. being the sums over the three vertices of the products named.
TriangleMoments triangleMoments(LocalPoint p0, LocalPoint p1, LocalPoint p2) {
    TriangleMoments moments;
    moments.centroidU = (p0.u + p1.u + p2.u) * (1.0 / 3.0);
    moments.centroidV = (p0.v + p1.v + p2.v) * (1.0 / 3.0);
    const double du0 = p0.u - moments.centroidU, du1 = p1.u - moments.centroidU, du2 = p2.u - moments.centroidU;
    const double dv0 = p0.v - moments.centroidV, dv1 = p1.v - moments.centroidV, dv2 = p2.v - moments.centroidV;
    const double w0 = du0 * dv0, w1 = du1 * dv1, w2 = du2 * dv2;
    const double sumUU = du0 * du0 + du1 * du1 + du2 * du2;
    const double sumVV = dv0 * dv0 + dv1 * dv1 + dv2 * dv2;
    const double sumUV = w0 + w1 + w2;
    moments.uu = sumUU * (1.0 / 24.0);
    moments.vv = sumVV * (1.0 / 24.0);
    moments.uv = sumUV * (1.0 / 24.0);
    moments.uuv = (du0 * w0 + du1 * w1 + du2 * w2) * (1.0 / 60.0);
    moments.uvv = (dv0 * w0 + dv1 * w1 + dv2 * w2) * (1.0 / 60.0);
    moments.uuvv = (6.0 * (w0 * w0 + w1 * w1 + w2 * w2) + sumUU * sumVV + 2.0 * sumUV * sumUV) * (1.0 / 720.0);
    return moments;
}

// X1 X2 is a quadratic in du and Y1 Y2 one in dv:
//   X1 X2 = pu + qu du + ru du^2,  Y1 Y2 = pv + qv dv + rv dv^2,
// so their product integrates to pu pv / 2 + pu rv vv + qu qv uv + qu rv uvv + ru pv uu + ru qv uuv
// + ru rv uuvv (the terms linear in du or dv alone vanish).
double tentProductIntegral(const TriangleMoments& moments, const TentFactor& x1, const TentFactor& y1,
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

double tentProductIntegral(LocalPoint p0, LocalPoint p1, LocalPoint p2, const TentFactor& x1,
                           const TentFactor& y1, const TentFactor& x2, const TentFactor& y2) {
    return tentProductIntegral(triangleMoments(p0, p1, p2), x1, y1, x2, y2);
}

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
