// "kivtri": all inner levels solved at once so that trilinear reconstruction of the pyramid best
// reproduces the full-resolution texture over the model's surface and every level of detail.
#pragma once

#include <cstdint>
#include <string>

#include "filters/filter_stats.h"
#include "filters/least_squares.h"
#include "image/float_image.h"
#include "mesh/obj_model.h"

// Fills levelCount levels for a texture of any size: level 0 the texture, a fixed top level (for sides that are
// powers of two the area-weighted box level where the shorter side reaches 1, else kivbi's 1 x 1 level), the levels
// in between solved jointly, and the levels after a power-of-two rectangle's top fitted one by one as kivbi fits
// them. One step appended to `stats` receives the joint solve's phases and the times, and one more each level
// fitted alone. Returns false with a message when
// the solver fails.
bool buildKivtriPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount,
                        LevelSolver solver, FilterStats& stats, std::string& error);

// kivtric: as buildKivtriPyramid, the inner levels minimising the same objective subject to 0 <= value <= 1 for
// every texel and channel; its step also receives the bounded solve's statistics and each level's share of
// texels held at a bound.
bool buildKivtricPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount,
                         LevelSolver solver, FilterStats& stats, std::string& error);

// kivtric with every value kept within `range` instead ([-1, 1] for a normal map's vectors).
bool buildKivtricPyramidWithin(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount,
                               LevelSolver solver, const ValueRange& range, FilterStats& stats, std::string& error);
