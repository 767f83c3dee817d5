// Iterative solves of stencil systems: the incomplete Cholesky preconditioner built for a StencilMatrix and the
// conjugate-gradient solve that uses it.
#pragma once

#include <cstdint>
#include <string>

#include "sparse/bounded_solver.h"
#include "sparse/conjugate_gradients.h"
#include "sparse/stencil_matrix.h"

// The stencil solves are preconditioned by IC(0) on the 9-point pattern, bands of rows eliminated at once,
// separators last.
struct StencilSolverOptions {
    ConjugateGradientOptions iterations;
    int32_t domains = 8;                 // incomplete Cholesky: bands of rows (fewer on short grids)
    double faceTolerance = 0.0;          // bounded solves: the share of a grid a face may move before its refactoring
};

// What the incomplete Cholesky preconditioner needs between applications, built once per matrix.
struct StencilPreconditionerData {
    int32_t domains = 8;
    CompressedColumnMatrix factor;       // L of the reordered matrix, by columns
    int32_t factorColumns = 1;           // 1 when one factor serves every column, else the column count, each
                                         // column's factor's values side by side
    GrowArray<int32_t> unknownAt;        // the unknown at every new position
    GrowArray<double> factorInverseDiagonal;  // 1 / L(j, j) for every position j (and column)
    GrowArray<int32_t> domainStart;      // first position of each band's interior
    GrowArray<double> work;              // the reordered columns, an unknown's side by side
    GrowArray<double> separatorSums;     // each band's share of the separator rows
    bool keepLower = false;              // set before building: keep `lower` for a face
    GrowArray<double> lower;             // with keepLower: the reordered matrix's lower triangle
};

// Builds the incomplete Cholesky preconditioner for `matrix` (which must stay unchanged while it is used), in
// options.domains bands. Returns false with a message when a diagonal entry is not positive or not finite, or when
// the factorisation breaks down even for a shifted matrix.
bool buildStencilPreconditioner(const StencilMatrix& matrix, const StencilSolverOptions& options,
                                StencilPreconditionerData& data, std::string& error);

// z = C^-1 r for every column through the factor built for `matrix`; z takes r's shape. Deterministic for any
// thread count.
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

// The rounding of b - M x, summed in double or (stencilResidual) in long double, for conjugate gradients on M:
// nine products and the right-hand side per row, from the rows' absolute sums. Sets options.rounding,
// options.preciseRounding and options.preciseResidual, which reads `matrix` for as long as the options are used.
void setStencilRounding(const StencilMatrix& matrix, ConjugateGradientOptions& options);

// Whether every coefficient is a finite number; else false with the message naming the first unknown that is not.
bool stencilIsFinite(const StencilMatrix& matrix, std::string& error);

// Solves M X = B by preconditioned conjugate gradients from the caller's X (same shape as B) until
// every unknown is within options.iterations.maxError of the exact solution, given that M's
// eigenvalues are at least options.iterations.lowestEigenvalue. Returns false with a message on a
// non-finite coefficient or value, a matrix that is not positive definite, or no convergence.
bool solveStencil(const StencilMatrix& matrix, DenseBlock& x, const DenseBlock& b, const StencilSolverOptions& options,
                  IterativeSolveStats& statistics, std::string& error);

// solveStencil, then the minimiser of 1/2 x'Mx - b'x with every value within [bounds.lower, bounds.upper], started
// from that solution projected into the box and preconditioned by the same preconditioner restricted to the free
// unknowns; bounds.iterations is replaced by options.iterations (with the rounding of M x - b). `statistics` tells
// the unconstrained solve, `bounded` the bounded one.
bool solveStencilWithinBounds(const StencilMatrix& matrix, DenseBlock& x, const DenseBlock& b,
                              const StencilSolverOptions& options, const BoundedSolveOptions& bounds,
                              IterativeSolveStats& statistics, BoundedSolveStats& bounded,
                              std::string& error);
