// Assembly of kivtri's joint system from the surface moments: a level's products with itself and with the next
// coarser level both come from the moments of the grid with two cells per texel of the finer level, on whose cells
// every tent of the two levels is bilinear.
#include "filters/trilinear_system.h"

#include <cassert>
#include <map>

#include "filters/level_system.h"
#include "filters/tent_kernel.h"

int32_t numberUnknowns(GrowArray<int32_t>& levelStart, int32_t width, int32_t height, int32_t levelCount) {
    release(levelStart);
    resize(levelStart, levelCount > 0 ? levelCount : 0);
    // Level l has (W H) div 4^l texels; levels 1 .. L - 2 are unknown.
    const int64_t texelCount = static_cast<int64_t>(width) * height;
    int32_t next = 0;
    for (int32_t l = 0; l < levelCount; ++l) {
        levelStart[l] = next;
        if (l >= 1 && l <= levelCount - 2) next += static_cast<int32_t>(texelCount >> (2 * l));
    }
    return next;
}

// Integrals over a segment's blend parameter t of products of the blend weights: t^2 and (1 - t)^2 give 1/3,
// t (1 - t) gives 1/6.
static constexpr double sameBlend = 1.0 / 3.0;
static constexpr double crossBlend = 1.0 / 6.0;

// Rounds the quotient towards minus infinity (texel columns left of column 0 are negative before wrapping).
static int32_t floorHalf(int32_t value) { return value >= 0 ? value / 2 : -((1 - value) / 2); }

// The products of the polynomials (o1 + s1 t)(o2 + s2 t) as coefficients of 1, t, t^2.
static void productOf(const TentFactor& a, const TentFactor& b, double product[3]) {
    product[0] = a.offset * b.offset;
    product[1] = a.offset * b.slope + a.slope * b.offset;
    product[2] = a.slope * b.slope;
}

// The coupling of level l (side `side`) with level l + 1 from the moments of grid l (two cells per finer texel,
// four per coarser one): coefficient (x, y, dx, dy) = factor times the integral of the two tents.
static void assembleCoupling(LevelCoupling& coupling, const MomentGrid& grid, double factor) {
    const int32_t cells = grid.side, side = cells / 2, coarse = side / 2;
    coupling.width = coupling.height = side;
    release(coupling.coefficients);
    resize(coupling.coefficients, 9 * side * side);
    for (double& value : coupling.coefficients) value = 0;
    // Band k of cell rows 2k + 1 and 2k + 2 writes finer rows k and k + 1; even bands first, then odd ones.
    for (int32_t parity = 0; parity < 2; ++parity) {
#pragma omp parallel for schedule(dynamic, 4)
        for (int32_t k = parity; k < side; k += 2) {
            for (int32_t r = 0; r < 2; ++r) {
                const int32_t y = (2 * k + 1 + r) % cells;
                // The row factors are those of the whole cell row: finer tent ey against coarser tent fy.
                const int32_t fineY0 = (y + 1) / 2 - 1, coarseY0 = (y + 2) / 4 - 1;
                int32_t fineRows[2], rowOffsets[2][2];
                double rowProducts[2][2][3];
                for (int32_t ey = 0; ey < 2; ++ey) {
                    const TentFactor fineRow = cellTent(y, 1, ey, side);
                    fineRows[ey] = fineRow.texel;
                    for (int32_t fy = 0; fy < 2; ++fy) {
                        productOf(fineRow, cellTent(y, 2, fy, coarse), rowProducts[ey][fy]);
                        rowOffsets[ey][fy] = coarseY0 + fy - floorHalf(fineY0 + ey);
                    }
                }
                for (int32_t x = 0; x < cells; ++x) {
                    const float* m = grid.moments.items + 9 * (static_cast<int64_t>(y) * cells + x);
                    if (m[0] == 0.0f) continue;  // no area, so every moment is 0
                    const int32_t fineX0 = (x + 1) / 2 - 1, coarseX0 = (x + 2) / 4 - 1;
                    TentFactor fineColumns[2], coarseColumns[2];
                    for (int32_t e = 0; e < 2; ++e) {
                        fineColumns[e] = cellTent(x, 1, e, side);
                        coarseColumns[e] = cellTent(x, 2, e, coarse);
                    }
                    for (int32_t ex = 0; ex < 2; ++ex) {
                        for (int32_t fx = 0; fx < 2; ++fx) {
                            double columnProduct[3];
                            productOf(fineColumns[ex], coarseColumns[fx], columnProduct);
                            // The column product against the moments, leaving a polynomial in v.
                            double inV[3];
                            for (int32_t b = 0; b < 3; ++b) {
                                inV[b] = columnProduct[0] * m[3 * b] + columnProduct[1] * m[3 * b + 1] +
                                         columnProduct[2] * m[3 * b + 2];
                            }
                            const int32_t dx = coarseX0 + fx - floorHalf(fineX0 + ex);
                            for (int32_t ey = 0; ey < 2; ++ey) {
                                double* slots = coupling.coefficients.items +
                                                9 * (static_cast<int64_t>(fineRows[ey]) * side + fineColumns[ex].texel);
                                for (int32_t fy = 0; fy < 2; ++fy) {
                                    const double* rowProduct = rowProducts[ey][fy];
                                    const int32_t dy = rowOffsets[ey][fy];
                                    assert(dx >= -1 && dx <= 1 && dy >= -1 && dy <= 1);
                                    const double sum =
                                        rowProduct[0] * inV[0] + rowProduct[1] * inV[1] + rowProduct[2] * inV[2];
                                    slots[3 * (dy + 1) + dx + 1] += factor * sum;
                                }
                            }
                        }
                    }
                }
            }
        }
    }
}

void assembleTrilinearSystem(TrilinearSystem& system, const SurfaceMoments& moments, const Texel& topColour,
                             int32_t levelCount) {
    const int32_t L = levelCount;
    assert(moments.grids.count == L + 1);
    system.levelCount = L;
    const int32_t side = L >= 1 ? moments.grids[0].side / 2 : 0;
    const int32_t unknownCount = numberUnknowns(system.levelStart, side, side, L);
    release(system.levels);
    release(system.couplings);
    resize(system.levels, L > 0 ? L : 0);
    resize(system.couplings, L > 0 ? L : 0);
    createBlock(system.rhs, unknownCount, 3);
    if (L < 3) return;

    // Every term is 1/2 times the scale times the integral over the surface and over t, the scale being the cell
    // count of the finest grid (as in kivbi's levels, it only sets the size against the regularisation).
    const double half = 0.5 * static_cast<double>(moments.grids[0].side) * moments.grids[0].side;
    const double top[3] = {topColour.r, topColour.g, topColour.b};
    for (int32_t l = 1; l <= L - 2; ++l) {
        const MomentGrid& grid = moments.grids[l];
        // A level meets itself in both segments it belongs to, with t^2 and (1 - t)^2.
        assembleGramStencil(system.levels[l], grid, half * 2 * sameBlend);
        if (l + 1 <= L - 2) assembleCoupling(system.couplings[l], grid, half * crossBlend);

        // The target enters both segments with both blend weights, which add up to 1. Level 1 also meets the
        // texture as its finer partner, and level L - 2 the top colour as its coarser one: both fixed, so their
        // products move to the right-hand side.
        DenseBlock targets, areas;
        assembleTargetSides(targets, grid, 3, half * (l == 1 ? 1 - crossBlend : 1.0));
        if (l == L - 2) assembleTentAreas(areas, grid, half * crossBlend);
        const int32_t start = system.levelStart[l];
        for (int32_t j = 0; j < targets.count; ++j) {
            for (int32_t c = 0; c < 3; ++c) {
                double value = targets.at(j, c);
                if (l == L - 2) value -= areas.at(j, 0) * top[c];
                system.rhs.at(start + j, c) = value;
            }
        }
    }

    // Unknowns no surface reaches are pinned to 0; the others get kivbi's regularisation.
    for (int32_t l = 1; l <= L - 2; ++l) {
        StencilMatrix& matrix = system.levels[l];
        const int32_t n = matrix.width * matrix.height;
        for (int32_t j = 0; j < n; ++j) {
            double& centre = matrix.coefficients.items[stencilCoefficientCount * static_cast<int64_t>(j) + stencilCentre];
            if (centre == 0.0) {
                centre = 1.0;
                for (int32_t c = 0; c < 3; ++c) system.rhs.at(system.levelStart[l] + j, c) = 0.0;
            } else {
                centre += regularisationWeight;
            }
        }
    }
}

void trilinearToRows(const TrilinearSystem& system, SparseRowMatrix& matrix) {
    const int32_t L = system.levelCount;
    const int32_t n = system.rhs.count;
    setRowCount(matrix, n);
    clearRows(matrix);
    // Products that no surface carries are left out (the diagonal excepted), so the factorisation sees the
    // pattern of the surface, not of the whole grid.
    auto add = [&matrix](int32_t j, int32_t k, double value) {
        if (value == 0.0 && j != k) return;
        if (j <= k) rowValue(matrix, j, k) += value;
        else rowValue(matrix, k, j) += value;
    };
    const int32_t dx[stencilCoefficientCount] = {0, 1, 0, 1, -1}, dy[stencilCoefficientCount] = {0, 0, 1, 1, 1};
    for (int32_t l = 1; l <= L - 2; ++l) {
        const StencilMatrix& level = system.levels[l];
        const int32_t w = level.width, h = level.height, start = system.levelStart[l];
        for (int32_t y = 0; y < h; ++y) {
            for (int32_t x = 0; x < w; ++x) {
                const int32_t j = y * w + x;
                for (int32_t s = 0; s < stencilCoefficientCount; ++s) {
                    const double value = level.coefficients[stencilCoefficientCount * j + s];
                    const int32_t k = ((y + dy[s]) % h) * w + (x + dx[s] + w) % w;
                    // A forward offset that names the unknown itself is met again as the backward one.
                    add(start + j, start + k, s != stencilCentre && j == k ? 2 * value : value);
                }
            }
        }
        if (l + 1 > L - 2) continue;
        const LevelCoupling& coupling = system.couplings[l];
        const int32_t coarse = w / 2, coarseStart = system.levelStart[l + 1];
        for (int32_t y = 0; y < h; ++y) {
            for (int32_t x = 0; x < w; ++x) {
                for (int32_t s = 0; s < 9; ++s) {
                    const int32_t cx = (x / 2 + s % 3 - 1 + coarse) % coarse, cy = (y / 2 + s / 3 - 1 + coarse) % coarse;
                    add(start + y * w + x, coarseStart + cy * coarse + cx, coupling.coefficients[9 * (y * w + x) + s]);
                }
            }
        }
    }
}

// out = the products of the rows of level l with the level itself (when `ownLevel`) and with the next coarser
// level, for every column of x (which holds all unknowns); column c of level l's values starts at
// out + c * outStride. Every entry is summed in a fixed order by one thread.
static void levelRowProducts(const TrilinearSystem& system, int32_t l, const DenseBlock& x, bool ownLevel,
                             double* out, int64_t outStride) {
    const int32_t L = system.levelCount, n = x.count;
    const StencilMatrix& level = system.levels[l];
    const int32_t w = level.width, h = level.height, start = system.levelStart[l];
    const bool coarser = l + 1 <= L - 2;
    const LevelCoupling* down = coarser ? &system.couplings[l] : nullptr;  // to level l + 1
    const int32_t coarse = w / 2, coarseStart = coarser ? system.levelStart[l + 1] : 0;
#pragma omp parallel for schedule(static)
    for (int32_t ty = 0; ty < h; ++ty) {
        StencilRow row{};
        // Rows of the 3 coarser texels around ty div 2.
        int32_t coarseRows[3];
        for (int32_t d = 0; d < 3; ++d) coarseRows[d] = coarse > 0 ? ((ty / 2 + d - 1 + coarse) % coarse) * coarse : 0;
        for (int32_t tx = 0; tx < w; ++tx) {
            if (ownLevel) stencilRow(level, tx, ty, row);
            const int32_t j = ty * w + tx;
            int32_t coarseUnknowns[9] = {};
            const double* coarseCoefficients = nullptr;
            if (coarser) {
                coarseCoefficients = down->coefficients.items + 9 * static_cast<int64_t>(j);
                for (int32_t s = 0; s < 9; ++s) {
                    coarseUnknowns[s] = coarseRows[s / 3] + (tx / 2 + s % 3 - 1 + coarse) % coarse;
                }
            }
            for (int32_t c = 0; c < x.columns; ++c) {
                const double* v = x.values.items + static_cast<int64_t>(c) * n;
                double sum = ownLevel ? stencilRowProduct(row, v + start) : 0.0;
                if (coarser) {
                    const double* u = v + coarseStart;
                    for (int32_t s = 0; s < 9; ++s) sum += coarseCoefficients[s] * u[coarseUnknowns[s]];
                }
                out[c * outStride + j] = sum;
            }
        }
    }
}

// out_l += sign A(l, l-1) x_(l-1) for every column, x_(l-1) being level l - 1's values (column c at
// finer + c * finerStride) and out_l level l's (column c at out + c * outStride): the couplings of level l - 1 with
// level l, transposed. Each finer texel
// adds its nine products to the coarser texels around it; bands of two finer rows reach three coarser rows, so the
// bands are taken in three passes of bands three apart, and every value receives its terms in the same order
// whatever the number of threads.
static void addFinerProducts(const TrilinearSystem& system, int32_t l, int32_t columns, const double* finer,
                             int64_t finerStride, double sign, double* out, int64_t outStride) {
    const int32_t side = system.levels[l].width, fine = 2 * side;
    const LevelCoupling& coupling = system.couplings[l - 1];
    auto band = [&](int32_t m) {
        for (int32_t fy = 2 * m; fy < 2 * m + 2; ++fy) {
            int32_t rows[3];
            for (int32_t d = 0; d < 3; ++d) rows[d] = ((fy / 2 + d - 1 + side) % side) * side;
            for (int32_t fx = 0; fx < fine; ++fx) {
                int32_t targets[9];
                for (int32_t s = 0; s < 9; ++s) targets[s] = rows[s / 3] + (fx / 2 + s % 3 - 1 + side) % side;
                const double* slots = coupling.coefficients.items + 9 * (static_cast<int64_t>(fy) * fine + fx);
                for (int32_t c = 0; c < columns; ++c) {
                    const double value = sign * finer[c * finerStride + fy * fine + fx];
                    double* column = out + c * outStride;
                    for (int32_t s = 0; s < 9; ++s) column[targets[s]] += slots[s] * value;
                }
            }
        }
    };
    // Bands 3 q .. side - 1 (q = side div 3) could meet the first ones across the wrap: they follow on one thread.
    const int32_t parallelBands = 3 * (side / 3);
    for (int32_t pass = 0; pass < 3; ++pass) {
#pragma omp parallel for schedule(dynamic, 4)
        for (int32_t m = pass; m < parallelBands; m += 3) band(m);
    }
    for (int32_t m = parallelBands; m < side; ++m) band(m);
}

void multiplyTrilinear(const TrilinearSystem& system, const DenseBlock& x, DenseBlock& y) {
    if (y.count != x.count || y.columns != x.columns) createBlock(y, x.count, x.columns);
    const int64_t n = x.count;
    for (int32_t l = 1; l <= system.levelCount - 2; ++l) {
        levelRowProducts(system, l, x, true, y.values.items + system.levelStart[l], n);
    }
    for (int32_t l = 2; l <= system.levelCount - 2; ++l) {
        addFinerProducts(system, l, x.columns, x.values.items + system.levelStart[l - 1], n, 1.0,
                         y.values.items + system.levelStart[l], n);
    }
}

bool solveTrilinearSystem(const TrilinearSystem& system, DenseBlock& x, const StencilSolverOptions& options,
                          IterativeSolveStatistics& statistics, std::string& error) {
    const int32_t L = system.levelCount;
    GrowArray<StencilPreconditionerData> preconditioners;
    resize(preconditioners, L > 0 ? L : 0);
    for (int32_t l = 1; l <= L - 2; ++l) {
        if (!buildStencilPreconditioner(system.levels[l], options, preconditioners[l], error)) return false;
    }
    // Symmetric block Gauss-Seidel over the levels, each level's block applied through its own preconditioner
    // C_l: a sweep from fine to coarse, y_l = C_l^-1 (r_l - A(l, l-1) y_(l-1)), then back from coarse to fine,
    // z_l = y_l - C_l^-1 A(l, l+1) z_(l+1). It is (C + L) C^-1 (C + U) inverted, symmetric and positive definite
    // like C, and carries the strong coupling between neighbouring levels that a block-diagonal one leaves out.
    // Per level: the block handed to its preconditioner, the forward sweep's result y_l and the backward
    // correction, kept from one application to the next.
    GrowArray<DenseBlock> parts, sweeps, corrections;
    resize(parts, L > 0 ? L : 0);
    resize(sweeps, L > 0 ? L : 0);
    resize(corrections, L > 0 ? L : 0);
    auto precondition = [&](const DenseBlock& r, DenseBlock& z) {
        if (z.count != r.count || z.columns != r.columns) createBlock(z, r.count, r.columns);
        const int32_t columns = r.columns;
        for (int32_t l = 1; l <= L - 2; ++l) {
            const int32_t start = system.levelStart[l], count = system.levelStart[l + 1] - start;
            DenseBlock& part = parts[l];
            if (part.count != count || part.columns != columns) createBlock(part, count, columns);
            for (int32_t c = 0; c < columns; ++c) {
                for (int32_t j = 0; j < count; ++j) part.at(j, c) = r.at(start + j, c);
            }
            if (l > 1) {
                addFinerProducts(system, l, columns, sweeps[l - 1].values.items, sweeps[l - 1].count, -1.0,
                                 part.values.items, count);
            }
            applyStencilPreconditioner(system.levels[l], preconditioners[l], part, sweeps[l]);
        }
        for (int32_t l = L - 2; l >= 1; --l) {
            const int32_t start = system.levelStart[l], count = system.levelStart[l + 1] - start;
            const DenseBlock& sweep = sweeps[l];
            if (l == L - 2) {
                for (int32_t c = 0; c < columns; ++c) {
                    for (int32_t j = 0; j < count; ++j) z.at(start + j, c) = sweep.at(j, c);
                }
                continue;
            }
            DenseBlock& part = parts[l];
            levelRowProducts(system, l, z, false, part.values.items, count);
            applyStencilPreconditioner(system.levels[l], preconditioners[l], part, corrections[l]);
            for (int32_t c = 0; c < columns; ++c) {
                for (int32_t j = 0; j < count; ++j) z.at(start + j, c) = sweep.at(j, c) - corrections[l].at(j, c);
            }
        }
    };
    auto multiply = [&system](const DenseBlock& v, DenseBlock& y) { multiplyTrilinear(system, v, y); };
    return conjugateGradients(multiply, precondition, x, system.rhs, options.iterations, statistics, error);
}
