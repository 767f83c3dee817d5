// Integrals over a model's surface by a route of their own, for the oracles of textures of any size: every triangle
// is cut along given texture-space lines into convex pieces, each piece fanned into triangles, and each of those
// integrated by a symmetric seven-point rule that is exact for polynomials of degree 5 in the texture coordinates.
// Between the lines, a product of two bilinear reconstructions has degree 4, so the integrals are exact but for
// rounding. The wrapped tents and reconstructions are evaluated straight from their definition.
#pragma once

#include <cstdint>
#include <vector>

#include "image/float_image.h"
#include "mesh/obj_model.h"

// A point of the surface in texture space and the model-space area it stands for.
struct SurfacePoint {
    double u = 0, v = 0;
    double weight = 0;
};

// The quadrature points of the whole surface, cut along the lines u = uLines[k] and v = vLines[k] (any order,
// repeats allowed): each triangle's points carry its ratio of model-space to texture-space area. Triangles without
// texture-space area are left out (the oracles' meshes have none).
std::vector<SurfacePoint> surfacePoints(const Mesh& mesh, const std::vector<double>& uLines,
                                        const std::vector<double>& vLines);

// The texel centres (i + 1/2) / n of an axis of n texels.
std::vector<double> texelCentres(int32_t n);

// Concatenates lists of lines.
std::vector<double> joined(std::vector<std::vector<double>> lists);

// The tent of texel i of an axis of n texels at u, wrapped round the unit period: 1 at the texel's centre, 0 at its
// neighbours' centres; 1 everywhere when n is 1.
double wrappedTent(int32_t n, int32_t i, double u);

// The two texels whose tents are non-zero at u (the one whose centre is at or left of u first, wrapped) and their
// values.
void tentsAt(int32_t n, double u, int32_t texel[2], double value[2]);

// The bilinear reconstruction of channel c (0 .. 3: r, g, b, a) of the image at (u, v), wrapped.
double reconstruction(const FloatImage& image, double u, double v, int32_t c);

// A texel's channel c (0 .. 3: r, g, b, a).
double channelOf(const Texel& texel, int32_t c);

// `count` triangles with texture corners inside [margin, 1 - margin]^2 (of sizes up to `extent`) and model-space
// corners drawn on their own, so that the ratio of model-space to texture-space area differs from triangle to
// triangle. The mesh is not normalised.
Mesh randomSurface(int32_t count, unsigned seed, double extent = 0.5, double margin = 0.01);

// A texture of random channels in [0, 1); alpha 1 (and not carried) unless `alpha`.
FloatImage randomPicture(int32_t width, int32_t height, unsigned seed, bool alpha = false);

// The unit square of texture space laid once, as `cells` x `cells` quads of two triangles each, on a bumpy model-space
// sheet whose corners are jittered: every texel is covered, by surface of unequal density.
Mesh coveringSurface(int32_t cells, unsigned seed);
