// The least-squares system of one level from the surface moments: the Gram matrix of the level's tents over the
// model's surface as a stencil, and the products of the tents with the texture's bilinear reconstruction.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "filters/filter_stats.h"
#include "filters/surface_moments.h"
#include "sparse/sparse_matrix.h"
#include "sparse/sparse_solver.h"
#include "sparse/stencil_matrix.h"
#include "sparse/stencil_solver.h"

// M(j, k) = factor times the integral over the surface of tent j times tent k, for the width x height level whose
// texels span a whole number of cells of `grid` (which must hold moments) along each axis: two for the level of
// the grid's size (grid.width / 2 x grid.height / 2), more for a coarser one. Replaces the matrix.
void assembleGramStencil(StencilMatrix& matrix, const MomentGrid& grid, int32_t width, int32_t height, double factor);

// B(j, c) = factor times the integral over the surface of tent j times the texture's reconstruction of channel c,
// from the weighted moments of `grid`, for the same level; B gets one column per channel. Replaces the block.
void assembleTargetSides(DenseBlock& rhs, const MomentGrid& grid, int32_t width, int32_t height, int32_t channelCount,
                         double factor);

// a(j) = factor times the integral over the surface of tent j (one column), from the moments of `grid`.
void assembleTentAreas(DenseBlock& areas, const MomentGrid& grid, int32_t width, int32_t height, double factor);

// The factor kivbi's level systems use: S / 2 with S the number of cells of a grid square in the grid's longer
// side, the common size that the regularisation weight is measured against.
double levelScale(const MomentGrid& grid);

// Pins the unknowns no surface reaches (diagonal 0: diagonal 1, right-hand sides 0) and adds `weight` to every
// other diagonal, which makes the positive semidefinite Gram matrix positive definite with lowest eigenvalue at
// least min(weight, 1).
void regulariseStencil(StencilMatrix& matrix, DenseBlock& rhs, double weight);

// Whether the least-squares filter `filter` can take the texture: its sides must be powers of two, so that the
// grids have two cells per texel of their level along both axes. Else false with the message.
bool takesTexture(const FloatImage& texture, const char* filter, std::string& error);

// The iteration settings of both least-squares filters: every value provably within 1e-4 of the exact solution,
// the regularisation keeping every eigenvalue at least regularisationWeight.
StencilSolverOptions iterationSettings();

// Copies what an iterative solve did, and its seconds, into a filter's solver statistics; `proving` tells whether
// the iterations were to prove their bound (not so for a bounded solve's start, which its own solve proves).
void recordIterations(SolverStats& stats, const IterativeSolveStatistics& iterations, double seconds, bool proving);

// Systems of at most this many unknowns are factorised when their iterations cannot prove their bound: the sparse
// Cholesky factor of a level of 512 x 512 texels takes seconds and a few hundred megabytes. Larger ones iterate as
// long again instead.
constexpr int64_t factorisationFallbackUnknowns = int64_t{1} << 19;

// An unconstrained least-squares solve by conjugate gradients that falls back where they cannot prove their bound.
// `iterate` runs them from X's contents (returning false with a message on a failure); when they end unproved, a
// system of at most factorisationFallbackUnknowns is factorised exactly (`lowerTriangle` fills its compressed lower
// triangle) and iterated from that solution, which proves the bound where rounding allows; a larger one iterates
// again from where they stopped. The statistics of every phase go into `stats`.
using IterateSystem = std::function<bool(DenseBlock& x, IterativeSolveStatistics& statistics, std::string& error)>;
using LowerTriangle = std::function<void(CompressedColumnMatrix& lower)>;
bool solveProvingBound(const IterateSystem& iterate, const LowerTriangle& lowerTriangle, DenseBlock& x,
                       const DenseBlock& rhs, SolverStats& stats, std::string& error);

// The bounds of kivbic and kivtric: every value, linear light or alpha, within [0, 1], what a level file can hold.
BoundedSolveOptions boundedSettings();

// Copies what a bounded solve did, and its seconds, into a filter's bounds statistics; `held` counts the texels
// that a bound holds out of `texels`.
void recordBounds(BoundsStats& stats, const BoundedSolveStatistics& bounded, int64_t held, int64_t texels,
                  double seconds);
