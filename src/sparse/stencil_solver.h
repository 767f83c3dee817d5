// Iterative solves of stencil systems: the preconditioners built for a StencilMatrix and the
// conjugate-gradient solve that uses them.
#pragma once

#include <cstdint>
#include <string>

#include "sparse/bounded_solver.h"
#include "sparse/conjugate_gradients.h"
#include "sparse/stencil_matrix.h"

enum class StencilPreconditioner {
    jacobi,              // the inverse diagonal
    gaussSeidel,         // one symmetric sweep of four-colour Gauss-Seidel
    incompleteCholesky,  // IC(0) on the 9-point pattern, bands of rows eliminated at once, separators last
    multigrid,           // a V-cycle over 2 x 2 aggregates with Galerkin coarse stencils
};

struct StencilSolverOptions {
    StencilPreconditioner preconditioner = StencilPreconditioner::incompleteCholesky;
    ConjugateGradientOptions iterations;
    int32_t smoothingSweeps = 1;         // multigrid: Gauss-Seidel sweeps before and after the coarse correction
    double coarseCorrectionWeight = 1.0; // multigrid: the coarse correction's factor (aggregates under-correct)
    int32_t coarsestUnknowns = 256;      // multigrid: at or below this many unknowns a level is solved densely
    int32_t domains = 8;                 // incomplete Cholesky: bands of rows (fewer on short grids)
    double faceTolerance = 0.0;          // bounded solves: the share of a grid a face may move before its refactoring
};

// One grid of the multigrid hierarchy, or the only one of the single-grid preconditioners.
struct StencilGrid {
    StencilMatrix matrix;                // the Galerkin operator; empty on grid 0 (the caller's matrix)
    GrowArray<double> inverseDiagonal;   // 1 / M(j, j)
    GrowArray<double> denseFactor;       // coarsest grid: the lower Cholesky factor, n x n row-major
    DenseBlock rightHandSide, correction, residual;  // work blocks of the V-cycle
};

// What a preconditioner needs between applications, built once per matrix.
struct StencilPreconditionerData {
    StencilPreconditioner kind = StencilPreconditioner::jacobi;
    int32_t smoothingSweeps = 1;
    double coarseCorrectionWeight = 1.0;
    int32_t domains = 8;
    GrowArray<StencilGrid> grids;        // grid 0 has the caller's size, each next one 2 x 2 aggregates
    CompressedColumnMatrix factor;       // incomplete Cholesky: L of the reordered matrix, by columns
    int32_t factorColumns = 1;           // incomplete Cholesky: 1 when one factor serves every column, else the
                                         // column count, each column's factor's values side by side
    GrowArray<int32_t> unknownAt;        // incomplete Cholesky: the unknown at every new position
    GrowArray<double> factorInverseDiagonal;  // incomplete Cholesky: 1 / L(j, j) for every position j (and column)
    GrowArray<int32_t> domainStart;      // incomplete Cholesky: first position of each band's interior
    GrowArray<double> work;              // incomplete Cholesky: the reordered columns, an unknown's side by side
    GrowArray<double> separatorSums;     // incomplete Cholesky: each band's share of the separator rows
    bool keepLower = false;              // incomplete Cholesky, set before building: keep `lower` for a face
    GrowArray<double> lower;             // incomplete Cholesky with keepLower: the reordered matrix's lower triangle
};

// Builds the chosen preconditioner for `matrix` (which must stay unchanged while it is used).
// Returns false with a message when a diagonal or pivot is not positive or not finite.
bool buildStencilPreconditioner(const StencilMatrix& matrix, const StencilSolverOptions& options,
                                StencilPreconditionerData& data, std::string& error);

// z = C^-1 r for every column; z takes r's shape. Deterministic for any thread count.
void applyStencilPreconditioner(const StencilMatrix& matrix, StencilPreconditionerData& data, const DenseBlock& r,
                                DenseBlock& z);

// The preconditioner fitted to a bounded solve's face: per column, incomplete Cholesky of M restricted to that
// column's free unknowns (a held unknown's couplings removed). The columns' factors share the order and pattern of
// M's own, so that they are computed and applied together, their values side by side.
struct StencilFacePreconditioner {
    StencilPreconditionerData factors;  // every column's factor (factorColumns = the column count)
    GrowArray<double> lower;            // the reordered M's lower triangle on the pattern: every fit starts from it
    GrowArray<uint8_t> faces;           // the free unknowns the factors were built for, n per column
    int32_t builds = 0;                 // fits that refactored the columns
};

// Starts `face` from `data`, the incomplete Cholesky preconditioner of the matrix that every fit will be given, built
// with keepLower: the face takes over its order, pattern and storage, and `data` is left empty.
void startStencilFacePreconditioner(StencilFacePreconditioner& face, StencilPreconditionerData&& data);

// Fits `face` to the free unknowns, free[j + k stride] = 1 when unknown j of column k is free (stride >= the
// matrix's size), for the same `matrix` at every fit. Every column is refactored for its own face when some column's
// face differs from its factor's in more than `tolerance` times the unknowns (or on the first fit); else all keep
// their factors (a factor stays SPD on any face; it only preconditions less well). Returns false with a message
// when a factorisation fails.
bool fitStencilFacePreconditioner(const StencilMatrix& matrix, const StencilSolverOptions& options,
                                  const uint8_t* free, int64_t stride, int32_t columns, double tolerance,
                                  StencilFacePreconditioner& face, std::string& error);

// z = C_k^-1 r for every column k through its own factor; z takes r's shape. Only the values at a column's free
// unknowns are meaningful. Deterministic for any thread count.
void applyStencilFacePreconditioner(StencilFacePreconditioner& face, const DenseBlock& r, DenseBlock& z);

// Solves M X = B by preconditioned conjugate gradients from the caller's X (same shape as B) until
// every unknown is within options.iterations.maxError of the exact solution, given that M's
// eigenvalues are at least options.iterations.lowestEigenvalue. Returns false with a message on a
// non-finite coefficient or value, a matrix that is not positive definite, or no convergence.
bool solveStencil(const StencilMatrix& matrix, DenseBlock& x, const DenseBlock& b, const StencilSolverOptions& options,
                  IterativeSolveStatistics& statistics, std::string& error);

// solveStencil, then the minimiser of 1/2 x'Mx - b'x with every value within [bounds.lower, bounds.upper], started
// from that solution projected into the box and preconditioned by the same preconditioner restricted to the free
// unknowns; bounds.iterations is replaced by options.iterations (with the rounding of M x - b). `statistics` tells
// the unconstrained solve, `bounded` the bounded one.
bool solveStencilWithinBounds(const StencilMatrix& matrix, DenseBlock& x, const DenseBlock& b,
                              const StencilSolverOptions& options, const BoundedSolveOptions& bounds,
                              IterativeSolveStatistics& statistics, BoundedSolveStatistics& bounded,
                              std::string& error);
