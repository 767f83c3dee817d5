// The sparse Cholesky factorisation of a SparseRowMatrix's compressed lower triangle (METIS
// ordering, supernodal LL^T) and the multi-column solve with it.
#pragma once

#include <string>

#include "sparse/sparse_matrix.h"

// Orders `lower` with METIS and computes its supernodal LL^T factor, kept by the matrix. Returns
// false with a message when the ordering or the factorisation fails (a matrix that is not positive
// definite, exhausted memory).
bool factorise(SparseRowMatrix& matrix, std::string& error);
// True when the matrix holds a factor whose fill-reducing ordering came from METIS.
bool factorOrderedByMetis(const SparseRowMatrix& matrix);
// Solves lower * X = B for every column of B with the one factor; X takes B's shape.
// Returns false, leaving X untouched, when there is no factor or the solve ran out of memory.
bool solveColumns(SparseRowMatrix& matrix, DenseBlock& x, const DenseBlock& b);
// Frees the factor and `lower`.
void releaseSolver(SparseRowMatrix& matrix);
