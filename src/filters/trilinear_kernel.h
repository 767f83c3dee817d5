// The trilinear weight kernel: the exact integral of two trilinear basis functions (tent times
// blend weight) over a triangle and over the blend parameter t of a trilinear segment.
#pragma once

#include "filters/tent_kernel.h"

// An affine weight of the blend parameter: offset + slope * t.
struct BlendFactor {
    double offset = 0;
    double slope = 0;
};

// Weight 1 - t of the finer level of a segment, and t of the coarser one.
constexpr BlendFactor lowerBlend{1.0, -1.0};
constexpr BlendFactor upperBlend{0.0, 1.0};

// Integral over t in [0, 1] of T1(t) T2(t).
double blendIntegral(const BlendFactor& t1, const BlendFactor& t2);

// tentProductIntegral(p0, p1, p2, X1, Y1, X2, Y2) x blendIntegral(T1, T2).
double tentBlendProductIntegral(LocalPoint p0, LocalPoint p1, LocalPoint p2, const TentFactor& x1,
                                const TentFactor& y1, const BlendFactor& t1, const TentFactor& x2,
                                const TentFactor& y2, const BlendFactor& t2);
