// The least-squares assemblies of the previous implementation, over the pieces of a stored texel coverage: the
// oracles that the assemblies from surface moments are checked against.
#pragma once

#include <cstdint>

#include "image/float_image.h"
#include "sparse/sparse_matrix.h"
#include "stored_coverage.h"

// kivbi, level i: the Gram matrix of the level's tents over the surface, from grid i.
void assembleGramMatrix(SparseRowMatrix& matrix, const FloatImage& target, const TexelCoverage& coverage,
                        int32_t i);
// kivbi, level i (a = 2^i): the products of the level's tents with the source's bilinear reconstruction, from grid 0.
void assembleRightHandSides(DenseBlock& rhs, int32_t a, const FloatImage& target, const FloatImage& source,
                            const TexelCoverage& coverage, int32_t i);

// kivtri: the matrix terms between unknown levels, and the fixed-level terms moved to the right-hand sides.
void assembleTrilinearMatrix(DenseBlock& rhs, SparseRowMatrix& matrix, const MipPyramid& boxPyramid,
                             int32_t unknownCount, const GrowArray<int32_t>& levelStart,
                             const TexelCoverage& coverage, const FloatImage& texture);
// kivtri: the products of every unknown's trilinear basis function with the texture's reconstruction.
void assembleTrilinearTargets(DenseBlock& rhs, int32_t unknownCount, const GrowArray<int32_t>& levelStart,
                              const TexelCoverage& coverage, const FloatImage& texture);
