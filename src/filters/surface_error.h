// How well each level of a pyramid serves the model: the error of its bilinear reconstruction against the
// texture's over the model's surface, computed exactly from the surface moments (no sampling).
#pragma once

#include <cstdint>

#include "filters/surface_moments.h"
#include "image/float_image.h"
#include "mesh/obj_model.h"

// What the measures of every pyramid of one model and texture share.
struct SurfaceErrorBasis {
    SurfaceMoments moments;        // every grid with moments, from grid 1 on with the texture's weighted moments
    double area = 0;               // the model-space area of the surface the grids hold
    double targetSquares[3] = {};  // per colour channel, the integral over the surface of R_0^2
    int32_t width = 0, height = 0;
};

// The error of one pyramid, e_k = R_k - R_0 being level k's reconstruction less the texture's (linear RGB):
//   levelRms[k] = sqrt(1/(3A) integral |e_k|^2 dA), 0 for level 0,
//   segmentMeanSquare[k] = 1/(3A) integral dA integral_0^1 |(1 - t) e_k + t e_(k+1)|^2 dt, for levels k and
//   k + 1 that both have texels,
//   trilinear = the sum of the segments (what kivtri minimises).
// Levels without texels have no entry beyond the arrays' last filled one (levelRms and segments stop there).
struct PyramidSurfaceError {
    GrowArray<double> levelRms;
    GrowArray<double> segmentMeanSquare;
    double trilinear = 0;
};

// Gathers the moments of the model's surface for the linear texture, of any size (throws
// std::bad_alloc when memory runs out).
void prepareSurfaceError(SurfaceErrorBasis& basis, const Mesh& mesh, const FloatImage& texture);

// Measures the pyramid (linear levels, level 0 the texture) against the basis; the caller passes the levels as
// they were written (see texelAsWritten) to measure the files.
void measureSurfaceError(const SurfaceErrorBasis& basis, const MipPyramid& pyramid, PyramidSurfaceError& error);
