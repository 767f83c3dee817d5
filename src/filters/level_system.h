// The least-squares system of one level from the surface moments: the Gram matrix of the level's tents over the
// model's surface as a stencil, and the products of the tents with the texture's bilinear reconstruction.
#pragma once

#include <cstdint>
#include <string>

#include "filters/surface_moments.h"
#include "sparse/sparse_matrix.h"
#include "sparse/stencil_matrix.h"

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
