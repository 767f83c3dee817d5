// "kivbi": every level solved from the full-resolution texture so that its bilinear reconstruction
// best reproduces the texture's over the model's surface (least squares, area-weighted).
#pragma once

#include <cstdint>
#include <string>

#include "filters/filter_stats.h"
#include "image/float_image.h"
#include "mesh/obj_model.h"

// Fills levelCount levels for a square power-of-two texture; level 0 is the texture. Appends one
// record per level it starts to `stats.bilinearLevels`. Returns false with a message naming the
// level when the solver fails.
bool buildKivbiPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount,
                       LevelSolver solver, FilterStats& stats, std::string& error);
