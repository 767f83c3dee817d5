// Exact integrals of products of two trilinear basis functions over a triangle and a segment's t.
#include "filters/trilinear_kernel.h"

// integral over [0, 1] of (o1 + s1 t)(o2 + s2 t) dt = o1 o2 + (o1 s2 + s1 o2) / 2 + s1 s2 / 3
double blendIntegral(const BlendFactor& t1, const BlendFactor& t2) {
    return t1.offset * t2.offset + (t1.offset * t2.slope + t1.slope * t2.offset) * 0.5 +
           t1.slope * t2.slope * (1.0 / 3.0);
}

// The t-integral separates from the one over the triangle.
double tentBlendProductIntegral(LocalPoint p0, LocalPoint p1, LocalPoint p2, const TentFactor& x1,
                                const TentFactor& y1, const BlendFactor& t1, const TentFactor& x2,
                                const TentFactor& y2, const BlendFactor& t2) {
    return tentProductIntegral(p0, p1, p2, x1, y1, x2, y2) * blendIntegral(t1, t2);
}
