// "kivtri": all inner levels solved at once so that trilinear reconstruction of the pyramid best
// reproduces the full-resolution texture over the model's surface and every level of detail.
#pragma once

#include <cstdint>
#include <string>

#include "filters/filter_stats.h"
#include "image/float_image.h"
#include "mesh/obj_model.h"
#include "mesh/texel_coverage.h"
#include "sparse/sparse_matrix.h"

// Fills levelCount levels for a square power-of-two texture: level 0 the texture, the top level
// from the area-weighted pyramid, levels in between solved jointly; `stats.trilinear` receives the
// solver's phases and the times. Returns false with a message when the solver fails.
bool buildKivtriPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& texture,
                        int32_t levelCount, FilterStats& stats, std::string& error);

// levelStart[l] is the first unknown of level l (l = 1 .. levelCount - 2); returns N, the number
// of unknowns per channel.
int32_t numberUnknowns(GrowArray<int32_t>& levelStart, int32_t width, int32_t height, int32_t levelCount);

// The matrix terms between unknown levels, and the fixed-level terms moved to the right-hand sides.
void assembleTrilinearMatrix(DenseBlock& rhs, SparseRowMatrix& matrix, const MipPyramid& boxPyramid,
                             int32_t unknownCount, const GrowArray<int32_t>& levelStart,
                             const TexelCoverage& coverage, const FloatImage& texture);
// The products of every unknown's trilinear basis function with the texture's reconstruction.
void assembleTrilinearTargets(DenseBlock& rhs, int32_t unknownCount, const GrowArray<int32_t>& levelStart,
                              const TexelCoverage& coverage, const FloatImage& texture);
