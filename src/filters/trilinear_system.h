// The joint least-squares system of kivtri's inner levels, assembled from the surface moments: for every unknown
// level a stencil of its products with itself, for every pair of adjacent unknown levels the products of each finer
// texel with the 3 x 3 coarser texels around it, and the right-hand sides.
#pragma once

#include <cstdint>

#include "filters/surface_moments.h"
#include "image/float_image.h"
#include "sparse/sparse_matrix.h"
#include "sparse/stencil_matrix.h"
#include "sparse/stencil_solver.h"

// Products of the texels of level l (the finer, side w x h) with those of level l + 1 (side w/2 x h/2): 9 per finer
// texel (x, y), coefficient 3 (dy + 1) + (dx + 1) with the coarser texel (x div 2 + dx, y div 2 + dy), wrapped.
struct LevelCoupling {
    int32_t width = 0, height = 0;  // of the finer level
    GrowArray<double> coefficients;
};

// The coupling of the width x height level l with level l + 1 (levelSide(width, 1) x levelSide(height, 1)) from the
// moments of grid l (cut along the texel centres of both levels): coefficient (x, y, dx, dy) = factor times the
// integral over the surface of the tents of finer texel (x, y) and of the coarser texel (cx + dx, cy + dy), wrapped,
// where (cx, cy) holds the finer texel's centre (coarserTexel). Where the coarser level has two texels along an
// axis, both offsets -1 and 1 stand for the other one.
void assembleCoupling(LevelCoupling& coupling, const MomentGrid& grid, int32_t width, int32_t height, double factor);

// Unknown levels 1 .. levelCount - 2, numbered fine to coarse: texel (x, y) of level l is unknown
// levelStart[l] + y * side + x.
struct TrilinearSystem {
    int32_t levelCount = 0;
    GrowArray<int32_t> levelStart;
    GrowArray<StencilMatrix> levels;        // entry l for l = 1 .. levelCount - 2
    GrowArray<LevelCoupling> couplings;     // entry l couples level l with l + 1, l = 1 .. levelCount - 3
    DenseBlock rhs;                         // one column per channel
};

// levelStart[l] is the first unknown of level l (l = 1 .. levelCount - 2) of a width x height texture, levels
// numbered fine to coarse; levelStart[levelCount - 1] is N, the number of unknowns per channel, which is returned.
int32_t numberUnknowns(GrowArray<int32_t>& levelStart, int32_t width, int32_t height, int32_t levelCount);

// Assembles the system of the trilinear objective for levels 0 .. levelCount - 1 of a width x height texture (level l
// levelSide(width, l) x levelSide(height, l)), from the texture's moment grids (grids 1 .. levelCount - 2 with moments
// and weighted moments, each cut along the texel centres of its level and the next); `top` is the fixed top level
// levelCount - 1, a single texel or, for a rectangle whose sides are powers of two, a row or column.
// Regularised like kivbi's levels.
void assembleTrilinearSystem(TrilinearSystem& system, const SurfaceMoments& moments, const FloatImage& top,
                             int32_t width, int32_t height, int32_t levelCount);

// y = A x for every column of x; y takes x's shape. Every entry is summed in a fixed order by one thread.
void multiplyTrilinear(const TrilinearSystem& system, const DenseBlock& x, DenseBlock& y);

// r = b - A x for every column (at most four), every entry summed in long double and rounded once: the residual
// that the solves' stopping tests read where a sum in double would round too coarsely to prove their bound.
void trilinearResidual(const TrilinearSystem& system, const DenseBlock& x, const DenseBlock& b, DenseBlock& r);

// The system's matrix as rows of its upper triangle, for the sparse Cholesky solve.
void trilinearToRows(const TrilinearSystem& system, SparseRowMatrix& matrix);

// Solves the system from X's contents by conjugate gradients, preconditioned by a symmetric block Gauss-Seidel
// sweep over the levels (each fine level's block through its own stencil preconditioner, the coarsest levels as one
// block solved exactly), until every unknown is provably within the options' error bound. The start is improved
// coarse to fine first: the coarsest levels solved exactly, then every finer level joins a rough solve in turn.
// Returns false with a message when the solve fails.
bool solveTrilinearSystem(const TrilinearSystem& system, DenseBlock& x, const StencilSolverOptions& options,
                          IterativeSolveStats& statistics, std::string& error);

// solveTrilinearSystem, then the minimiser of the same objective with every value within [bounds.lower,
// bounds.upper], started from that solution projected into the box and preconditioned by the same sweep over the
// face's own matrices (every level refactored for its free unknowns, per column, when the face moved by more than
// options.faceTolerance of the level); bounds.iterations is replaced by options.iterations. `bounded` tells the bounded solve.
bool solveTrilinearWithinBounds(const TrilinearSystem& system, DenseBlock& x, const StencilSolverOptions& options,
                                const BoundedSolveOptions& bounds, IterativeSolveStats& statistics,
                                BoundedSolveStats& bounded, std::string& error);
