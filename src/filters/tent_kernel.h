// The bilinear overlap kernel: tents restricted to coverage cells, and the moments of a piece's fan triangles
// from which the integrals of products of tents over the piece are assembled.
#pragma once

#include <cstdint>

#include "image/float_image.h"
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

// What the integral of a product of tents over a triangle needs of its shape: its centroid and the integrals over
// the reference triangle (barycentric parameters, area 1/2) of products of du = u - centroidU and
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

// The texture's reconstruction of channel c (0 .. 3: r, g, b, a) on a cell where it is bilinear, as
// f = f[0] + f[1] u + f[2] v + f[3] u v of the cell-local coordinates, from the two tents of each axis that reach it.
inline void cellReconstruction(const FloatImage& texture, const TentFactor columns[2], const TentFactor rows[2],
                               int32_t c, double f[4]) {
    f[0] = f[1] = f[2] = f[3] = 0;
    for (int32_t ey = 0; ey < 2; ++ey) {
        for (int32_t ex = 0; ex < 2; ++ex) {
            const Texel& texel = texture.at(columns[ex].texel, rows[ey].texel);
            const double value = c == 0 ? texel.r : c == 1 ? texel.g : c == 2 ? texel.b : texel.a;
            const TentFactor &X = columns[ex], &Y = rows[ey];
            f[0] += value * X.offset * Y.offset;
            f[1] += value * X.slope * Y.offset;
            f[2] += value * X.offset * Y.slope;
            f[3] += value * X.slope * Y.slope;
        }
    }
}

// A texture point of a piece (float32, local to its cell) in the float64 of the integrals.
inline LocalPoint widened(const TexPoint& point) {
    return LocalPoint{point.u, point.v};
}

// The moments of a triangle are the innermost operation of both least-squares filters; they are defined here so
// that assembly loops inline them.

// The moments of the triangle p0 p1 p2 (any size, orientation or vertex order; may be degenerate).
// On the reference triangle with barycentric coordinates l0, l1, l2,
//   integral of l0^j0 l1^j1 l2^j2 = j0! j1! j2! / (j0 + j1 + j2 + 2)!,
// so n affine functions g_i with vertex values g_i(p_k) have the product integral
//   1/(n + 2)! * sum over set partitions of {1..n} of prod over blocks B of (|B| - 1)! s(B),
//   s(B) = sum over k of prod over i in B of g_i(p_k).
// For du and dv (offsets from the centroid) every s of a single factor is 0, which leaves
//   int du du = Suu / 24,  int du du dv = Suuv / 60,
//   int du du dv dv = (6 Suuvv + Suu Svv + 2 Suv^2) / 720,
// S.. being the sums over the three vertices of the products named.
inline TriangleMoments triangleMoments(LocalPoint p0, LocalPoint p1, LocalPoint p2) {
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
