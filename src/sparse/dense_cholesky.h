// Cholesky factorisation and solves of small dense symmetric positive definite matrices: the exact solves of the
// coarsest grids and levels, where a few hundred unknowns are cheaper to factor than to iterate on.
#pragma once

#include <cstdint>

#include "sparse/sparse_matrix.h"

// Replaces the n x n symmetric matrix (both triangles filled) by its Cholesky factor M = L L^T, in LAPACK's
// layout (L in the lower triangle of the column-major array, the rest left as it was). Returns false, the matrix
// partly overwritten, when it is not finite or a pivot is not positive.
bool denseCholesky(GrowArray<double>& matrix, int32_t n);

// z = (L L^T)^-1 r for every column, L being a factor from denseCholesky; z takes r's shape.
void denseCholeskySolve(const GrowArray<double>& factor, const DenseBlock& r, DenseBlock& z);
