// Symmetric matrices over the texels of a wrapping grid in which every unknown couples only with
// its 8 neighbours: the product with a block of columns and the exact compressed-column copy.
#pragma once

#include <cstdint>

#include "base/grow_array.h"
#include "sparse/sparse_matrix.h"

// A symmetric matrix over the texels of a width x height grid that wraps around, in which every
// unknown couples only with its 8 neighbours. Unknown j = y * width + x. Five coefficients per
// unknown: with itself, and with its forward neighbours east (x+1, y), north (x, y+1), north-east
// (x+1, y+1) and north-west (x-1, y+1); the coefficient with a backward neighbour is that
// neighbour's forward one (M(j, west j) = east of west j). Offsets are geometric: where a side is
// 1 or 2, several offsets name the same unknown and the matrix entry is their sum.
struct StencilMatrix {
    int32_t width = 0, height = 0;
    GrowArray<double> coefficients;  // 5 per unknown: centre, east, north, northEast, northWest
};

// Index of a coefficient within an unknown's five.
enum StencilCoefficient : int32_t {
    stencilCentre = 0,
    stencilEast = 1,
    stencilNorth = 2,
    stencilNorthEast = 3,
    stencilNorthWest = 4,
};
constexpr int32_t stencilCoefficientCount = 5;

// Gives the matrix width x height unknowns (both >= 1), every coefficient 0.0.
void createStencil(StencilMatrix& matrix, int32_t width, int32_t height);

// The coefficient `which` of unknown (x, y).
inline double& stencilAt(StencilMatrix& matrix, int32_t x, int32_t y, StencilCoefficient which) {
    return matrix.coefficients.items[(static_cast<int64_t>(y) * matrix.width + x) * stencilCoefficientCount + which];
}
inline double stencilAt(const StencilMatrix& matrix, int32_t x, int32_t y, StencilCoefficient which) {
    return matrix.coefficients.items[(static_cast<int64_t>(y) * matrix.width + x) * stencilCoefficientCount + which];
}

// The nine terms of one row: the unknowns they name and their coefficients, in a fixed order (the
// centre, the four forward offsets, then west, south, south-west, south-east). Wrapped indices may
// repeat where a side is 1 or 2; the row's product with v is the sum of value * v[unknown].
struct StencilRow {
    int32_t unknowns[9];
    double values[9];
};

// Row (x, y) of the matrix.
inline void stencilRow(const StencilMatrix& matrix, int32_t x, int32_t y, StencilRow& row) {
    const int32_t w = matrix.width, h = matrix.height;
    const int32_t xm = x == 0 ? w - 1 : x - 1, xp = x + 1 == w ? 0 : x + 1;
    const int32_t ym = y == 0 ? h - 1 : y - 1, yp = y + 1 == h ? 0 : y + 1;
    const double* c = matrix.coefficients.items;
    const int64_t own = (static_cast<int64_t>(y) * w + x) * stencilCoefficientCount;
    const int64_t below = static_cast<int64_t>(ym) * w * stencilCoefficientCount;
    row.unknowns[0] = y * w + x, row.values[0] = c[own + stencilCentre];
    row.unknowns[1] = y * w + xp, row.values[1] = c[own + stencilEast];
    row.unknowns[2] = yp * w + x, row.values[2] = c[own + stencilNorth];
    row.unknowns[3] = yp * w + xp, row.values[3] = c[own + stencilNorthEast];
    row.unknowns[4] = yp * w + xm, row.values[4] = c[own + stencilNorthWest];
    row.unknowns[5] = y * w + xm, row.values[5] = c[own + (xm - x) * stencilCoefficientCount + stencilEast];
    row.unknowns[6] = ym * w + x, row.values[6] = c[below + x * stencilCoefficientCount + stencilNorth];
    row.unknowns[7] = ym * w + xm, row.values[7] = c[below + xm * stencilCoefficientCount + stencilNorthEast];
    row.unknowns[8] = ym * w + xp, row.values[8] = c[below + xp * stencilCoefficientCount + stencilNorthWest];
}

// The row's product with one column v.
inline double stencilRowProduct(const StencilRow& row, const double* v) {
    double sum = 0.0;
    for (int32_t t = 0; t < 9; ++t) sum += row.values[t] * v[row.unknowns[t]];
    return sum;
}

// The matrix entry M(j, j): the centre plus every offset that wraps onto j itself (sides 1 and 2).
double stencilDiagonal(const StencilMatrix& matrix, int32_t x, int32_t y);

// y = M x for every column of x (x.count = width * height); y takes x's shape. Parallel over grid
// rows; every entry is summed in a fixed order, so the result does not depend on the thread count.
void multiplyStencil(const StencilMatrix& matrix, const DenseBlock& x, DenseBlock& y);

// r = b - M x for every column, each entry summed in long double and rounded once: for the stopping tests of the
// iterative solves, whose wanted residual can come near the rounding of a sum in double on large systems.
void stencilResidual(const StencilMatrix& matrix, const DenseBlock& x, const DenseBlock& b, DenseBlock& r);

// Fills `lower` with the matrix's lower triangle as factorise and solveColumns take it (every
// column sorted, the diagonal first); offsets that name the same pair of unknowns are summed.
// The diagonal is always stored; an off-diagonal entry that sums to exactly 0 is not.
void stencilToCompressedColumn(const StencilMatrix& matrix, CompressedColumnMatrix& lower);
