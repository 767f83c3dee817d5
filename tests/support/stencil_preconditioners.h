// The preconditioners of the stencil solve that kiv does not build: the inverse diagonal, a symmetric four-colour
// Gauss-Seidel sweep and an aggregation multigrid V-cycle, beside kiv's own incomplete Cholesky. The sparse tests
// hold each of them to the solve's error bound, and the stencil solver study times them against each other.
#pragma once

#include <cstdint>
#include <string>

#include "sparse/conjugate_gradients.h"
#include "sparse/sparse_matrix.h"
#include "sparse/stencil_matrix.h"
#include "sparse/stencil_solver.h"

enum class StudiedPreconditioner {
    jacobi,              // the inverse diagonal
    gaussSeidel,         // one symmetric sweep of four-colour Gauss-Seidel
    incompleteCholesky,  // kiv's own: solveStencil as it is
    multigrid,           // a V-cycle over 2 x 2 aggregates with Galerkin coarse stencils
};

struct StudiedSolveOptions {
    StudiedPreconditioner preconditioner = StudiedPreconditioner::incompleteCholesky;
    StencilSolverOptions stencil;         // the iterations, and incomplete Cholesky's bands
    int32_t smoothingSweeps = 1;          // multigrid: Gauss-Seidel sweeps before and after the coarse correction
    double coarseCorrectionWeight = 1.0;  // multigrid: the coarse correction's factor (aggregates under-correct)
    int32_t coarsestUnknowns = 256;       // multigrid: at or below this many unknowns a level is solved densely
};

// One grid of the multigrid hierarchy, or the only one of the single-grid preconditioners.
struct StencilGrid {
    StencilMatrix matrix;               // the Galerkin operator; empty on grid 0 (the caller's matrix)
    GrowArray<double> inverseDiagonal;  // 1 / M(j, j)
    GrowArray<double> denseFactor;      // coarsest grid: the lower Cholesky factor, n x n row-major
    DenseBlock rightHandSide, correction, residual;  // work blocks of the V-cycle
};

// What a preconditioner needs between applications, built once per matrix.
struct StudiedPreconditionerData {
    StudiedPreconditioner kind = StudiedPreconditioner::jacobi;
    int32_t smoothingSweeps = 1;
    double coarseCorrectionWeight = 1.0;
    GrowArray<StencilGrid> grids;                   // grid 0 has the caller's size, each next one 2 x 2 aggregates
    StencilPreconditionerData incompleteCholesky;  // kind incompleteCholesky: kiv's preconditioner
};

// Builds the chosen preconditioner for `matrix` (which must stay unchanged while it is used). Returns false with a
// message when a diagonal or pivot is not positive or not finite.
bool buildStudiedPreconditioner(const StencilMatrix& matrix, const StudiedSolveOptions& options,
                                StudiedPreconditionerData& data, std::string& error);

// z = C^-1 r for every column; z takes r's shape. Deterministic for any thread count.
void applyStudiedPreconditioner(const StencilMatrix& matrix, StudiedPreconditionerData& data, const DenseBlock& r,
                                DenseBlock& z);

// solveStencil with the chosen preconditioner: the same checks of the matrix, rounding of b - M x and stopping rule,
// statistics.setupSeconds the building of the preconditioner. Incomplete Cholesky is solveStencil itself.
bool solveStencilWith(const StencilMatrix& matrix, DenseBlock& x, const DenseBlock& b,
                      const StudiedSolveOptions& options, IterativeSolveStats& statistics, std::string& error);
