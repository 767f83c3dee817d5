// "kivbi": every level solved from the full-resolution texture so that its bilinear reconstruction
// best reproduces the texture's over the model's surface (least squares, area-weighted).
#pragma once

#include <cstdint>
#include <string>

#include "image/float_image.h"
#include "mesh/obj_model.h"
#include "mesh/texel_coverage.h"
#include "sparse/sparse_matrix.h"

// How the level systems are solved: by conjugate gradients to a proven error bound (the default), or by the
// sparse Cholesky factorisation.
enum class LevelSolver { iterative, direct };

// Fills levelCount levels for a square power-of-two texture; level 0 is the texture. Returns false
// with a message naming the level when the solver fails.
bool buildBilinearOptimisedPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& texture,
                                   int32_t levelCount, std::string& error,
                                   LevelSolver solver = LevelSolver::iterative);

// Solves level i (a = 2^i) into `target` from `source` with a coverage of finest level levelCount.
bool bilinearOptimisedLevel(FloatImage& target, const FloatImage& source, const TexelCoverage& coverage,
                            int32_t a, int32_t i, std::string& error);

// The Gram matrix of the level's tents over the surface (parallel over the rows of grid i).
void assembleGramMatrix(SparseRowMatrix& matrix, const FloatImage& target, const TexelCoverage& coverage,
                        int32_t i);
// The products of the level's tents with the source's bilinear reconstruction (parallel over grid 0).
void assembleRightHandSides(DenseBlock& rhs, int32_t a, const FloatImage& target, const FloatImage& source,
                            const TexelCoverage& coverage, int32_t i);
