// The blend weights of a trilinear segment and the integral of their product over its parameter t.
// The integral of two trilinear basis functions (tent times blend weight) over a triangle and over t
// separates: tentProductIntegral times blendIntegral.
#pragma once

#include "tent_integrals.h"

// An affine weight of the blend parameter: offset + slope * t.
struct BlendFactor {
    double offset = 0;
    double slope = 0;
};

// Weight 1 - t of the finer level of a segment, and t of the coarser one.
constexpr BlendFactor lowerBlend{1.0, -1.0};
constexpr BlendFactor upperBlend{0.0, 1.0};

// Integral over t in [0, 1] of T1(t) T2(t):
//   o1 o2 + (o1 s2 + s1 o2) / 2 + s1 s2 / 3.
inline double blendIntegral(const BlendFactor& t1, const BlendFactor& t2) {
    return t1.offset * t2.offset + (t1.offset * t2.slope + t1.slope * t2.offset) * 0.5 +
           t1.slope * t2.slope * (1.0 / 3.0);
}
