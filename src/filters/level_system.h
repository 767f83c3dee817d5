// The least-squares system of one level from the surface moments: the Gram matrix of the level's tents over the
// model's surface as a stencil, and the products of the tents with the texture's bilinear reconstruction.
#pragma once

#include <cstdint>

#include "filters/surface_moments.h"
#include "sparse/sparse_matrix.h"
#include "sparse/stencil_matrix.h"

// Stencil slots of one unknown, in the order StencilMatrix stores them.
enum StencilSlot : int32_t { slotCentre = 0, slotEast, slotNorth, slotNorthEast, slotNorthWest, slotCount };

// M(j, k) = S/2 times the integral over the surface of tent j times tent k, S = side^2, for the level of side
// grid.side / 2 whose texels span two cells of `grid` (which must hold moments). Replaces the matrix.
void assembleGramStencil(StencilMatrix& matrix, const MomentGrid& grid);

// B(j, c) = S/2 times the integral over the surface of tent j times the texture's reconstruction of channel c,
// from the weighted moments of `grid`; B gets one column per channel. Replaces the block.
void assembleTargetSides(DenseBlock& rhs, const MomentGrid& grid, int32_t channelCount);

// Pins the unknowns no surface reaches (diagonal 0: diagonal 1, right-hand sides 0) and adds `weight` to every
// other diagonal, which makes the positive semidefinite Gram matrix positive definite with lowest eigenvalue at
// least min(weight, 1).
void regulariseStencil(StencilMatrix& matrix, DenseBlock& rhs, double weight);
