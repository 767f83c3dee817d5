// Cholesky factorisation and solves of small dense symmetric positive definite matrices: the exact solves of the
// coarsest grids and levels, where a few hundred unknowns are cheaper to factor than to iterate on.
#pragma once

#include <cstdint>

#include "sparse/sparse_matrix.h"

// Replaces the n x n symmetric matrix (row-major, both triangles filled) by its lower Cholesky factor L, M = L L^T.
// Returns false, the matrix partly overwritten, when a pivot is not positive or not finite.
bool denseCholesky(GrowArray<double>& matrix, int32_t n);

// z = (L L^T)^-1 r for every column, L being a factor from denseCholesky; z takes r's shape.
void denseCholeskySolve(const GrowArray<double>& factor, const DenseBlock& r, DenseBlock& z);
