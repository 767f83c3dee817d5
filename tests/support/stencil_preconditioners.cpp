// The Jacobi, Gauss-Seidel and multigrid preconditioners of stencil systems, and the conjugate-gradient solve with
// any of them.
#include "stencil_preconditioners.h"

#include <algorithm>
#include <cassert>
#include <cmath>

#include "base/clock.h"
#include "sparse/dense_cholesky.h"

// --- Diagonal and Gauss-Seidel ----------------------------------------------------------------

static bool invertDiagonal(const StencilMatrix& matrix, GrowArray<double>& inverse, std::string& error) {
    const int32_t w = matrix.width, h = matrix.height;
    release(inverse);
    resize(inverse, w * h);
    int32_t bad = -1;
#pragma omp parallel for schedule(static) reduction(max : bad)
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            const double d = stencilDiagonal(matrix, x, y);
            inverse.items[y * w + x] = 1.0 / d;
            if (!(d > 0.0) || !std::isfinite(d)) bad = std::max(bad, y * w + x);
        }
    }
    if (bad < 0) return true;
    error = "the solver failed: diagonal entry is not positive or not finite (unknown " +
            std::to_string(bad) + ")";
    return false;
}

// One Gauss-Seidel pass over the unknowns of colour (colourX, colourY) = (x mod 2, y mod 2) for
// M z = r: z_j += (r_j - (M z)_j) / M(j, j). An unknown's 8 neighbours all have other colours (or
// are itself where a side is 1), so the unknowns of one colour are independent and their order,
// hence the thread count, does not matter.
static void colourPass(const StencilMatrix& matrix, const GrowArray<double>& inverseDiagonal, const DenseBlock& r,
                       DenseBlock& z, int32_t colourX, int32_t colourY) {
    const int32_t w = matrix.width, h = matrix.height, n = w * h, columns = r.columns;
    if ((w == 1 && colourX == 1) || (h == 1 && colourY == 1)) return;
    const int32_t stepX = w == 1 ? 1 : 2, stepY = h == 1 ? 1 : 2;
#pragma omp parallel for schedule(static)
    for (int32_t y = colourY; y < h; y += stepY) {
        StencilRow row;
        for (int32_t x = colourX; x < w; x += stepX) {
            stencilRow(matrix, x, y, row);
            const int32_t j = y * w + x;
            for (int32_t k = 0; k < columns; ++k) {
                const int64_t offset = static_cast<int64_t>(k) * n;
                double* v = z.values.items + offset;
                v[j] += (r.values.items[offset + j] - stencilRowProduct(row, v)) * inverseDiagonal.items[j];
            }
        }
    }
}

// A forward sweep takes the colours in the order 0..3, a backward one in 3..0, so that a forward
// sweep before and a backward one after a symmetric correction make a symmetric preconditioner.
static void gaussSeidelSweep(const StencilMatrix& matrix, const GrowArray<double>& inverseDiagonal,
                             const DenseBlock& r, DenseBlock& z, bool forward) {
    for (int32_t c = 0; c < 4; ++c) {
        const int32_t colour = forward ? c : 3 - c;
        colourPass(matrix, inverseDiagonal, r, z, colour & 1, colour >> 1);
    }
}

// --- Aggregation ------------------------------------------------------------------------------

static int32_t aggregateSide(int32_t side) { return side % 2 == 0 ? 2 : 1; }

static int32_t floorDivide(int32_t a, int32_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// Offsets of the terms of a StencilRow, in its order.
static constexpr int32_t termOffsetX[9] = {0, 1, 0, 1, -1, -1, 0, -1, 1};
static constexpr int32_t termOffsetY[9] = {0, 0, 1, 1, 1, 0, -1, -1, -1};

// The coarse coefficient that a coarse offset (dX, dY) belongs to on the coarse unknown itself:
// the centre, a forward one, or -1 for a backward offset (it is its neighbour's forward one).
static int32_t coarseCoefficient(int32_t dX, int32_t dY) {
    if (dY == 0) return dX == 0 ? stencilCentre : dX == 1 ? stencilEast : -1;
    if (dY == 1) return dX == 0 ? stencilNorth : dX == 1 ? stencilNorthEast : stencilNorthWest;
    return -1;
}

// The Galerkin operator P^T M P of piecewise-constant aggregates of fx x fy fine unknowns. Coarse
// entry (J, K) is the sum of M(i, k) over i in J and k in K; every coarse unknown gathers, from its
// own fine unknowns, the terms that land on its centre or on a forward coarse offset, so each fine
// term is counted once (a pair inside an aggregate twice: from both ends, as M(i, k) + M(k, i)).
// Offsets stay geometric, so small coarse sides add up like the fine ones.
static void galerkinCoarse(const StencilMatrix& fine, StencilMatrix& coarse) {
    const int32_t fx = aggregateSide(fine.width), fy = aggregateSide(fine.height);
    createStencil(coarse, fine.width / fx, fine.height / fy);
    const int32_t cw = coarse.width, ch = coarse.height;
#pragma omp parallel for schedule(static)
    for (int32_t cy = 0; cy < ch; ++cy) {
        StencilRow row;
        for (int32_t cx = 0; cx < cw; ++cx) {
            double* target = coarse.coefficients.items + (static_cast<int64_t>(cy) * cw + cx) * stencilCoefficientCount;
            for (int32_t b = 0; b < fy; ++b) {
                for (int32_t a = 0; a < fx; ++a) {
                    stencilRow(fine, fx * cx + a, fy * cy + b, row);
                    for (int32_t t = 0; t < 9; ++t) {
                        const int32_t which =
                            coarseCoefficient(floorDivide(a + termOffsetX[t], fx), floorDivide(b + termOffsetY[t], fy));
                        if (which >= 0) target[which] += row.values[t];
                    }
                }
            }
        }
    }
}

// coarse(J) = sum of fine(i) over the aggregate J, every column.
static void restrictToCoarse(const DenseBlock& fine, int32_t fineWidth, const StencilMatrix& coarse, DenseBlock& result) {
    const int32_t cw = coarse.width, ch = coarse.height, n = cw * ch;
    const int32_t fx = aggregateSide(fineWidth), fy = fine.count / fineWidth / ch;
    if (result.count != n || result.columns != fine.columns) createBlock(result, n, fine.columns);
    for (int32_t k = 0; k < fine.columns; ++k) {
#pragma omp parallel for schedule(static)
        for (int32_t cy = 0; cy < ch; ++cy) {
            for (int32_t cx = 0; cx < cw; ++cx) {
                double sum = 0.0;
                for (int32_t b = 0; b < fy; ++b)
                    for (int32_t a = 0; a < fx; ++a) sum += fine.at((fy * cy + b) * fineWidth + fx * cx + a, k);
                result.at(cy * cw + cx, k) = sum;
            }
        }
    }
}

// fine(i) += weight * coarse(J) for every i of aggregate J, every column.
static void prolongAdd(const DenseBlock& coarse, const StencilMatrix& coarseMatrix, double weight, DenseBlock& fine,
                       int32_t fineWidth) {
    const int32_t cw = coarseMatrix.width, ch = coarseMatrix.height;
    const int32_t fx = aggregateSide(fineWidth), fineHeight = fine.count / fineWidth, fy = fineHeight / ch;
    for (int32_t k = 0; k < fine.columns; ++k) {
#pragma omp parallel for schedule(static)
        for (int32_t y = 0; y < fineHeight; ++y) {
            for (int32_t x = 0; x < fineWidth; ++x)
                fine.at(y * fineWidth + x, k) += weight * coarse.at((y / fy) * cw + x / fx, k);
        }
    }
}

// --- Dense coarsest solve ---------------------------------------------------------------------

// The lower Cholesky factor of the n x n matrix, row-major.
static bool denseFactorise(const StencilMatrix& matrix, GrowArray<double>& factor, std::string& error) {
    const int32_t w = matrix.width, n = w * matrix.height;
    release(factor);
    resize(factor, n * n);
    for (double& value : factor) value = 0.0;
    StencilRow row;
    for (int32_t j = 0; j < n; ++j) {
        stencilRow(matrix, j % w, j / w, row);
        for (int32_t t = 0; t < 9; ++t) factor.items[j * n + row.unknowns[t]] += row.values[t];
    }
    if (denseCholesky(factor, n)) return true;
    error = "the solver failed: the coarsest grid is not positive definite";
    return false;
}

// --- Multigrid --------------------------------------------------------------------------------

// z = V(r) on grid g: forward sweeps from z = 0, the coarse correction of the remaining residual,
// backward sweeps. The coarsest grid is solved exactly when it is small, smoothed otherwise.
static void vCycle(const StencilMatrix& fineMatrix, StudiedPreconditionerData& data, int32_t g, const DenseBlock& r,
                   DenseBlock& z) {
    StencilGrid& grid = data.grids[g];
    const StencilMatrix& matrix = g == 0 ? fineMatrix : grid.matrix;
    if (grid.denseFactor.count > 0) {
        denseCholeskySolve(grid.denseFactor, r, z);
        return;
    }
    if (z.count != r.count || z.columns != r.columns) createBlock(z, r.count, r.columns);
    else zeroBlock(z);
    for (int32_t s = 0; s < data.smoothingSweeps; ++s) gaussSeidelSweep(matrix, grid.inverseDiagonal, r, z, true);
    if (g + 1 < data.grids.count) {
        StencilGrid& coarse = data.grids[g + 1];
        multiplyStencil(matrix, z, grid.residual);
        const int64_t size = grid.residual.values.count;
#pragma omp parallel for schedule(static)
        for (int64_t i = 0; i < size; ++i) grid.residual.values.items[i] = r.values.items[i] - grid.residual.values.items[i];
        restrictToCoarse(grid.residual, matrix.width, coarse.matrix, coarse.rightHandSide);
        vCycle(fineMatrix, data, g + 1, coarse.rightHandSide, coarse.correction);
        prolongAdd(coarse.correction, coarse.matrix, data.coarseCorrectionWeight, z, matrix.width);
    }
    for (int32_t s = 0; s < data.smoothingSweeps; ++s) gaussSeidelSweep(matrix, grid.inverseDiagonal, r, z, false);
}

// --- Building and applying --------------------------------------------------------------------

bool buildStudiedPreconditioner(const StencilMatrix& matrix, const StudiedSolveOptions& options,
                                StudiedPreconditionerData& data, std::string& error) {
    data.kind = options.preconditioner;
    data.smoothingSweeps = options.smoothingSweeps;
    data.coarseCorrectionWeight = options.coarseCorrectionWeight;
    if (data.kind == StudiedPreconditioner::incompleteCholesky)
        return buildStencilPreconditioner(matrix, options.stencil, data.incompleteCholesky, error);
    release(data.grids);
    resize(data.grids, 1);
    if (!invertDiagonal(matrix, data.grids[0].inverseDiagonal, error)) return false;
    if (data.kind != StudiedPreconditioner::multigrid) return true;

    // Aggregate while a side is even and the grid is above the dense size.
    const StencilMatrix* current = &matrix;
    while (current->width * current->height > options.coarsestUnknowns &&
           (current->width % 2 == 0 || current->height % 2 == 0)) {
        StencilGrid coarse;
        galerkinCoarse(*current, coarse.matrix);
        if (!invertDiagonal(coarse.matrix, coarse.inverseDiagonal, error)) return false;
        append(data.grids, std::move(coarse));
        current = &data.grids[data.grids.count - 1].matrix;
    }
    StencilGrid& last = data.grids[data.grids.count - 1];
    if (current->width * current->height <= options.coarsestUnknowns)
        return denseFactorise(*current, last.denseFactor, error);
    return true;
}

void applyStudiedPreconditioner(const StencilMatrix& matrix, StudiedPreconditionerData& data, const DenseBlock& r,
                                DenseBlock& z) {
    switch (data.kind) {
    case StudiedPreconditioner::jacobi: {
        if (z.count != r.count || z.columns != r.columns) createBlock(z, r.count, r.columns);
        const double* inverse = data.grids[0].inverseDiagonal.items;
        const int32_t n = r.count;
        for (int32_t k = 0; k < r.columns; ++k) {
#pragma omp parallel for schedule(static)
            for (int32_t i = 0; i < n; ++i) z.at(i, k) = r.at(i, k) * inverse[i];
        }
        return;
    }
    case StudiedPreconditioner::gaussSeidel: {
        if (z.count != r.count || z.columns != r.columns) createBlock(z, r.count, r.columns);
        else zeroBlock(z);
        gaussSeidelSweep(matrix, data.grids[0].inverseDiagonal, r, z, true);
        gaussSeidelSweep(matrix, data.grids[0].inverseDiagonal, r, z, false);
        return;
    }
    case StudiedPreconditioner::incompleteCholesky:
        applyStencilPreconditioner(matrix, data.incompleteCholesky, r, z);
        return;
    case StudiedPreconditioner::multigrid:
        vCycle(matrix, data, 0, r, z);
        return;
    }
}

// --- The solve --------------------------------------------------------------------------------

bool solveStencilWith(const StencilMatrix& matrix, DenseBlock& x, const DenseBlock& b,
                      const StudiedSolveOptions& options, IterativeSolveStats& statistics, std::string& error) {
    if (options.preconditioner == StudiedPreconditioner::incompleteCholesky)
        return solveStencil(matrix, x, b, options.stencil, statistics, error);
    assert(b.count == matrix.width * matrix.height && x.count == b.count && x.columns == b.columns);
    statistics = IterativeSolveStats();
    if (!stencilIsFinite(matrix, error)) return false;
    ConjugateGradientOptions iterations = options.stencil.iterations;
    setStencilRounding(matrix, iterations);

    const double start = wallClockSeconds();
    StudiedPreconditionerData data;
    if (!buildStudiedPreconditioner(matrix, options, data, error)) return false;
    const double setup = wallClockSeconds() - start;
    const BlockOperator multiply = [&matrix](const DenseBlock& in, DenseBlock& out) { multiplyStencil(matrix, in, out); };
    const BlockOperator precondition = [&matrix, &data](const DenseBlock& in, DenseBlock& out) {
        applyStudiedPreconditioner(matrix, data, in, out);
    };
    const bool solved = conjugateGradients(multiply, precondition, x, b, iterations, statistics, error);
    statistics.setupSeconds = setup;
    return solved;
}
