// "kivbi": every level solved from the full-resolution texture so that its bilinear reconstruction
// best reproduces the texture's over the model's surface (least squares, area-weighted).
#pragma once

#include <cstdint>
#include <string>

#include "filters/filter_stats.h"
#include "image/float_image.h"
#include "mesh/obj_model.h"
#include "mesh/texel_coverage.h"
#include "sparse/sparse_matrix.h"

// Fills levelCount levels for a square power-of-two texture; level 0 is the texture. Appends one
// record per level it starts to `stats.bilinearLevels`. Returns false with a message naming the
// level when the solver fails.
bool buildKivbiPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& texture,
                       int32_t levelCount, FilterStats& stats, std::string& error);

// Solves level i (a = 2^i) into `target` from `source` with a coverage of finest level levelCount.
bool kivbiLevel(FloatImage& target, const FloatImage& source, const TexelCoverage& coverage,
                int32_t a, int32_t i, BilinearLevelStats& stats, std::string& error);

// The Gram matrix of the level's tents over the surface (parallel over the rows of grid i).
void assembleGramMatrix(SparseRowMatrix& matrix, const FloatImage& target, const TexelCoverage& coverage,
                        int32_t i);
// The products of the level's tents with the source's bilinear reconstruction (parallel over grid 0).
void assembleRightHandSides(DenseBlock& rhs, int32_t a, const FloatImage& target, const FloatImage& source,
                            const TexelCoverage& coverage, int32_t i);
