// The sparse Cholesky factorisation of a SparseRowMatrix's compressed lower triangle (METIS ordering; Eigen's
// simplicial LDL^T, or CHOLMOD's supernodal LL^T in a build with KIV_WITH_CHOLMOD) and the multi-column solve with it.
#pragma once

#include <cstdint>
#include <string>

#include "sparse/sparse_matrix.h"

// What a solver did and how long its phases took, for the caller's log. A phase's times are set
// only when it ran; a solver that fails still reports the phases it reached.
struct SolverStats {
    bool analysisRan = false;  // fill-reducing ordering and symbolic analysis
    double analysisSeconds = 0;
    double analysisProcessorSeconds = 0;  // of every thread of the process
    bool factorisationRan = false;  // numeric factorisation
    const char* factorisationMethod = nullptr;  // its name in the log, e.g. "Simplicial LDL^T"
    double factorisationSeconds = 0;
    double factorisationProcessorSeconds = 0;
    bool iterationsRan = false;  // preconditioned conjugate gradients
    double iterationSeconds = 0;  // building the preconditioner and iterating
    int32_t iterations = 0;       // steps of the slowest right-hand side
    double residual = 0;          // the largest final ||b - A x||_2 over the right-hand sides
    // Whether every value is provably within the wanted error of the exact solution; when not, what ended the
    // iterations and the residual the proof needed.
    bool proved = true;
    const char* ending = nullptr;
    double neededResidual = 0;
    double wantedError = 0;
    // The iterations only made the start of a bounded solve (kivbic, kivtric), which proves its bound itself: their
    // residual is what that solve starts from, not a result. `start` says how the start was made, when the log says
    // so (e.g. kivtri's coarse-to-fine start).
    bool startOfBoundedSolve = false;
    const char* start = nullptr;
};

// Orders `lower` with METIS and computes its Cholesky factor, kept by the matrix; `stats` receives the phases
// that ran and their times. Returns false with a message when an entry is not finite or the ordering or the
// factorisation fails (a matrix that is not positive definite, exhausted memory).
bool factorise(SparseRowMatrix& matrix, SolverStats& stats, std::string& error);
// True when the matrix holds a factor whose fill-reducing ordering came from METIS.
bool factorOrderedByMetis(const SparseRowMatrix& matrix);
// Solves lower * X = B for every column of B with the one factor; X takes B's shape.
// Returns false, leaving X untouched, when there is no factor or the solve ran out of memory.
bool solveColumns(SparseRowMatrix& matrix, DenseBlock& x, const DenseBlock& b);
// factorise, then solveColumns: X = the exact solution for every column of B. Returns false with a message
// when either fails.
bool solveByFactorisation(SparseRowMatrix& matrix, DenseBlock& x, const DenseBlock& b, SolverStats& stats,
                          std::string& error);
// Frees the factor and `lower`.
void releaseSolver(SparseRowMatrix& matrix);
