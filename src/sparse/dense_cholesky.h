// Cholesky factorisation and solves of small dense symmetric positive definite matrices: the exact solves of the
// coarsest grids and levels, where a few hundred unknowns are cheaper to factor than to iterate on.
#pragma once

#include <cstdint>

#include "sparse/sparse_matrix.h"

// Replaces the n x n symmetric matrix (both triangles filled) by its Cholesky factor M = L L^T, in LAPACK's
// layout (L in the lower triangle of the column-major array, the rest left as it was). Returns false, the matrix
// partly overwritten, when it is not finite or a pivot is not positive; throws std::bad_alloc when the BLAS cannot
// have its work buffer (reserveBlasBuffer).
bool denseCholesky(GrowArray<double>& matrix, int32_t n);

// z = (L L^T)^-1 r for every column, L being a factor from denseCholesky; z takes r's shape.
void denseCholeskySolve(const GrowArray<double>& factor, const DenseBlock& r, DenseBlock& z);

// OpenBLAS reserves a work buffer of 128 MiB for each thread that runs a kernel, and retries a refused reservation
// for ever. reserveBlasBuffer makes the calling thread's reservation after checking that the address space can hold
// it: false when it cannot, so the caller reports exhausted memory instead of hanging in the kernel. Once made, the
// buffer stays in OpenBLAS's pool and later calls return true at once.
bool reserveBlasBuffer();
