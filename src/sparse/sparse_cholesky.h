// The factorisation behind sparse_solver.h, one implementation per build: Eigen's simplicial LDL^T
// (sparse_cholesky_eigen.cpp, the default) or CHOLMOD's supernodal LL^T (sparse_cholesky_cholmod.cpp, with
// KIV_WITH_CHOLMOD). Both order the unknowns by METIS's nested dissection. Only sparse_solver.cpp calls these.
#pragma once

#include <string>

#include "sparse/sparse_matrix.h"
#include "sparse/sparse_solver.h"

// Orders and factorises the symmetric matrix whose lower triangle is `lower`, every entry of which is finite.
// Returns the factor, or null with `error` set ("the solver failed: ...") when the ordering or the factorisation
// fails; `stats` receives the phases that ran and their times (it arrives cleared).
CholeskyFactor* factoriseLowerTriangle(const CompressedColumnMatrix& lower, SolverStats& stats, std::string& error);
// True when the factor's fill-reducing ordering came from METIS.
bool orderedByMetis(const CholeskyFactor& factor);
// Fills `solution` (b.count x b.columns, column-major like b) with the solution of every column of b.
// Returns false when memory ran out, `solution` then partly written.
bool solveWithFactor(CholeskyFactor& factor, const DenseBlock& b, double* solution);
void freeCholeskyFactor(CholeskyFactor* factor);
