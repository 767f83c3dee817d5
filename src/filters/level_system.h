// The least-squares system of one level from the surface moments: the Gram matrix of the level's tents over the
// model's surface as a stencil, and the products of the tents with the texture's bilinear reconstruction.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "filters/surface_moments.h"
#include "sparse/sparse_matrix.h"
#include "sparse/stencil_matrix.h"

// Runs fill(y) for every cell row y of the grid, band by band: band k holds the rows between the centres of texel
// rows k and k + 1 of a level with `height` texel rows, which write only those two rows. All even bands run first,
// in parallel, then all odd ones (and, for an odd height, the last band, which wraps to row 0, on its own), so that
// no two threads write one texel row and every value receives its terms in the same order whatever the number of
// threads.
void forEachBandInTwoPasses(const MomentGrid& grid, int32_t height, const std::function<void(int32_t)>& fill);

// M(j, k) = factor times the integral over the surface of tent j times tent k, for the width x height level whose
// texel centres lie on cell bounds of `grid` (which must hold moments; see gridCellTent). Replaces the matrix.
void assembleGramStencil(StencilMatrix& matrix, const MomentGrid& grid, int32_t width, int32_t height, double factor);

// B(j, c) = factor times the integral over the surface of tent j times the texture's reconstruction of channel c,
// from the weighted moments of `grid`, for the same level; B gets one column per channel. Replaces the block.
void assembleTargetSides(DenseBlock& rhs, const MomentGrid& grid, int32_t width, int32_t height, int32_t channelCount,
                         double factor);

// a(j) = factor times the integral over the surface of tent j (one column), from the moments of `grid`.
void assembleTentAreas(DenseBlock& areas, const MomentGrid& grid, int32_t width, int32_t height, double factor);

// The factor kivbi's system for a width x height level uses: S^2 / 2 with S twice the level's longer side (the
// number of half texels along it), the common size that the regularisation weight is measured against.
double levelScale(int32_t width, int32_t height);

// Pins the unknowns no surface reaches (diagonal 0: diagonal 1, right-hand sides 0) and adds `weight` to every
// other diagonal, which makes the positive semidefinite Gram matrix positive definite with lowest eigenvalue at
// least min(weight, 1).
void regulariseStencil(StencilMatrix& matrix, DenseBlock& rhs, double weight);
