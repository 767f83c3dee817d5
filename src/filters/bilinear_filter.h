// "kivbi": every level solved from the full-resolution texture so that its bilinear reconstruction
// best reproduces the texture's over the model's surface (least squares, area-weighted); "kivbic" the same with
// every value kept within [0, 1].
#pragma once

#include <cstdint>
#include <string>

#include "filters/filter_stats.h"
#include "image/float_image.h"
#include "mesh/obj_model.h"

// Fills levelCount levels for a texture whose sides are powers of two (equal or not); level 0 is the
// texture. Appends one step per level it starts to `stats.steps`. Returns false with a
// message naming the level when the solver fails.
bool buildKivbiPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount,
                       LevelSolver solver, FilterStats& stats, std::string& error);

// kivbic: as buildKivbiPyramid, each level minimising the same objective subject to 0 <= value <= 1 for every
// texel and channel; every level record also receives the bounded solve's statistics.
bool buildKivbicPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount,
                        LevelSolver solver, FilterStats& stats, std::string& error);
