// Assembly of kivtri's joint system from the surface moments: a level's products with itself and with the next
// coarser level both come from the moments of the grid with two cells per texel of the finer level, on whose cells
// every tent of the two levels is bilinear.
#include "filters/trilinear_system.h"

#include <cassert>
#include <cmath>
#include <map>

#include "base/parallel.h"
#include "base/wrap_index.h"
#include "filters/level_system.h"
#include "filters/tent_kernel.h"
#include "sparse/column_blocks.h"
#include "sparse/dense_cholesky.h"

int32_t numberUnknowns(GrowArray<int32_t>& levelStart, int32_t width, int32_t height, int32_t levelCount) {
    release(levelStart);
    resize(levelStart, levelCount > 0 ? levelCount : 0);
    // Level l has levelSide(W, l) x levelSide(H, l) texels; levels 1 .. L - 2 are unknown.
    int32_t next = 0;
    for (int32_t l = 0; l < levelCount; ++l) {
        levelStart[l] = next;
        if (l >= 1 && l <= levelCount - 2) next += levelSide(width, l) * levelSide(height, l);
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

// The factors of one cell column (or row) of a grid with 2a cells per finer texel along it: for finer tent e and
// coarser tent f that are non-zero on it, the product of their one-dimensional factors as a polynomial in the
// cell-local coordinate, and where the coarser texel lies relative to the finer one's (-1, 0 or 1).
struct CouplingAxis {
    int32_t fineTexel[2];
    int32_t offset[2][2];
    double product[2][2][3];
};

// The factors of cell column (or row) x of `grid` along `axis`, for a level of `side` texels and the next coarser one
// of `coarse` texels along it.
static CouplingAxis couplingAxis(const MomentGrid& grid, SplitAxis axis, int32_t x, int32_t side, int32_t coarse) {
    CouplingAxis axisFactors;
    const int32_t cells = axis == SplitAxis::u ? grid.width : grid.height;
    const bool bounded = (axis == SplitAxis::u ? grid.columnBounds.count : grid.rowBounds.count) > 0;
    if (!bounded && side == 2 * coarse && cells % (2 * side) == 0) {
        // Even cells, 2a per finer texel: the texels follow from the cell's index.
        const int32_t a = cells / (2 * side);
        const int32_t fine0 = (x + a) / (2 * a) - 1, coarse0 = (x + 2 * a) / (4 * a) - 1;
        for (int32_t e = 0; e < 2; ++e) {
            const TentFactor fine = cellTent(x, a, e, side);
            axisFactors.fineTexel[e] = fine.texel;
            for (int32_t f = 0; f < 2; ++f) {
                productOf(fine, cellTent(x, 2 * a, f, coarse), axisFactors.product[e][f]);
                axisFactors.offset[e][f] = coarse0 + f - floorHalf(fine0 + e);
            }
        }
        return axisFactors;
    }
    for (int32_t e = 0; e < 2; ++e) {
        const TentFactor fine = gridCellTent(grid, axis, x, e, side);
        axisFactors.fineTexel[e] = fine.texel;
        const int32_t pair = coarserTexel(fine.texel, side, coarse);
        for (int32_t f = 0; f < 2; ++f) {
            const TentFactor coarser = gridCellTent(grid, axis, x, f, coarse);
            productOf(fine, coarser, axisFactors.product[e][f]);
            // The coarser texel relative to the one the finer texel pairs with, wrapped into -1 .. 1.
            int32_t offset = wrapIndex(static_cast<int64_t>(coarser.texel) - pair, coarse);
            if (offset > 1) offset -= coarse;
            assert(offset >= -1 && offset <= 1);
            axisFactors.offset[e][f] = offset;
        }
    }
    return axisFactors;
}

void assembleCoupling(LevelCoupling& coupling, const MomentGrid& grid, int32_t width, int32_t height, double factor) {
    coupling.width = width;
    coupling.height = height;
    release(coupling.coefficients);
    resize(coupling.coefficients, 9 * static_cast<int64_t>(width) * height);
    for (double& value : coupling.coefficients) value = 0;
    const int32_t coarseWidth = levelSide(width, 1), coarseHeight = levelSide(height, 1);
    GrowArray<CouplingAxis> columnAxes, rowAxes;
    resize(columnAxes, grid.width);
    resize(rowAxes, grid.height);
    for (int32_t x = 0; x < grid.width; ++x) columnAxes[x] = couplingAxis(grid, SplitAxis::u, x, width, coarseWidth);
    for (int32_t y = 0; y < grid.height; ++y) rowAxes[y] = couplingAxis(grid, SplitAxis::v, y, height, coarseHeight);
    // Each band of cell rows writes finer rows k and k + 1; even bands first, then odd ones.
    forEachBandInTwoPasses(grid, height, [&](int32_t y) {
        const CouplingAxis& rows = rowAxes[y];
        for (int32_t x = 0; x < grid.width; ++x) {
            const float* m = grid.moments.items + 9 * (static_cast<int64_t>(y) * grid.width + x);
            if (m[0] == 0.0f) continue;  // no area, so every moment is 0
            const CouplingAxis& columns = columnAxes[x];
            for (int32_t ex = 0; ex < 2; ++ex) {
                for (int32_t fx = 0; fx < 2; ++fx) {
                    const double* columnProduct = columns.product[ex][fx];
                    // The column product against the moments, leaving a polynomial in v.
                    double inV[3];
                    for (int32_t b = 0; b < 3; ++b) {
                        inV[b] = columnProduct[0] * m[3 * b] + columnProduct[1] * m[3 * b + 1] +
                                 columnProduct[2] * m[3 * b + 2];
                    }
                    const int32_t dx = columns.offset[ex][fx];
                    for (int32_t ey = 0; ey < 2; ++ey) {
                        double* slots = coupling.coefficients.items +
                                        9 * (static_cast<int64_t>(rows.fineTexel[ey]) * width + columns.fineTexel[ex]);
                        for (int32_t fy = 0; fy < 2; ++fy) {
                            const double* rowProduct = rows.product[ey][fy];
                            const int32_t dy = rows.offset[ey][fy];
                            assert(dx >= -1 && dx <= 1 && dy >= -1 && dy <= 1);
                            const double sum = rowProduct[0] * inV[0] + rowProduct[1] * inV[1] + rowProduct[2] * inV[2];
                            slots[3 * (dy + 1) + dx + 1] += factor * sum;
                        }
                    }
                }
            }
        }
    });
}

// out(j, c) -= sum over the 3 x 3 coarser texels s around finer texel j of coupling(j, s) times values(s, c): the
// products of a level's texels with the fixed texels of the next coarser level, wrapped.
static void subtractCoarserProducts(const LevelCoupling& coupling, const FloatImage& values, int32_t channels,
                                    DenseBlock& out, int32_t start) {
    const int32_t w = coupling.width, h = coupling.height, cw = values.width, ch = values.height;
    for (int32_t ty = 0; ty < h; ++ty) {
        int32_t rows[3], columns[3];
        wrappedNeighbours(coarserTexel(ty, h, ch), ch, rows);
        for (int32_t tx = 0; tx < w; ++tx) {
            wrappedNeighbours(coarserTexel(tx, w, cw), cw, columns);
            const double* slots = coupling.coefficients.items + 9 * (static_cast<int64_t>(ty) * w + tx);
            for (int32_t s = 0; s < 9; ++s) {
                const Texel& v = values.at(columns[s % 3], rows[s / 3]);
                const double channel[4] = {v.r, v.g, v.b, v.a};
                for (int32_t c = 0; c < channels; ++c) out.at(start + ty * w + tx, c) -= slots[s] * channel[c];
            }
        }
    }
}

void assembleTrilinearSystem(TrilinearSystem& system, const SurfaceMoments& moments, const FloatImage& top,
                             int32_t width, int32_t height, int32_t levelCount) {
    const int32_t L = levelCount;
    assert(moments.grids.count >= L + 1);
    assert(L < 2 || (top.width == levelSide(width, L - 1) && top.height == levelSide(height, L - 1)));
    system.levelCount = L;
    const int32_t unknownCount = numberUnknowns(system.levelStart, width, height, L);
    release(system.levels);
    release(system.couplings);
    resize(system.levels, L > 0 ? L : 0);
    resize(system.couplings, L > 0 ? L : 0);
    const int32_t channels = moments.channelCount;
    createBlock(system.rhs, unknownCount, channels);
    if (L < 3) return;

    // Every term is 1/2 times the scale times the integral over the surface and over t, the scale being that of the
    // texture's level system (as in kivbi's levels, it only sets the size against the regularisation).
    const double half = levelScale(width, height);
    const Texel& topColour = top.texels[0];
    const double topChannels[4] = {topColour.r, topColour.g, topColour.b, topColour.a};
    for (int32_t l = 1; l <= L - 2; ++l) {
        const MomentGrid& grid = moments.grids[l];
        const int32_t w = levelSide(width, l), h = levelSide(height, l);
        // A level meets itself in both segments it belongs to, with t^2 and (1 - t)^2.
        assembleGramStencil(system.levels[l], grid, w, h, half * 2 * sameBlend);
        if (l + 1 <= L - 2) assembleCoupling(system.couplings[l], grid, w, h, half * crossBlend);

        // The target enters both segments with both blend weights, which add up to 1. Level 1 also meets the
        // texture as its finer partner, and level L - 2 the top level as its coarser one: both fixed, so their
        // products move to the right-hand side.
        DenseBlock targets;
        assembleTargetSides(targets, grid, w, h, channels, half * (l == 1 ? 1 - crossBlend : 1.0));
        const int32_t start = system.levelStart[l];
        for (int32_t j = 0; j < targets.count; ++j) {
            for (int32_t c = 0; c < channels; ++c) system.rhs.at(start + j, c) = targets.at(j, c);
        }
        if (l != L - 2) continue;
        if (top.count == 1) {
            // A single texel's tent is 1 everywhere: its products are the areas of level l's tents.
            DenseBlock areas;
            assembleTentAreas(areas, grid, w, h, half * crossBlend);
            for (int32_t j = 0; j < targets.count; ++j) {
                for (int32_t c = 0; c < channels; ++c) system.rhs.at(start + j, c) -= areas.at(j, 0) * topChannels[c];
            }
        } else {
            // The top level of a texture whose sides differ is a row or column of texels.
            LevelCoupling toTop;
            assembleCoupling(toTop, grid, w, h, half * crossBlend);
            subtractCoarserProducts(toTop, top, channels, system.rhs, start);
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
                for (int32_t c = 0; c < channels; ++c) system.rhs.at(system.levelStart[l] + j, c) = 0.0;
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
        const int32_t coarseWidth = system.levels[l + 1].width, coarseHeight = system.levels[l + 1].height;
        const int32_t coarseStart = system.levelStart[l + 1];
        for (int32_t y = 0; y < h; ++y) {
            for (int32_t x = 0; x < w; ++x) {
                for (int32_t s = 0; s < 9; ++s) {
                    const int32_t cx = wrapIndex(coarserTexel(x, w, coarseWidth) + s % 3 - 1, coarseWidth);
                    const int32_t cy = wrapIndex(coarserTexel(y, h, coarseHeight) + s / 3 - 1, coarseHeight);
                    add(start + y * w + x, coarseStart + cy * coarseWidth + cx,
                        coupling.coefficients[9 * (y * w + x) + s]);
                }
            }
        }
    }
}

// The unknowns of levels `first` .. L - 2 as one block: level l's texels start at levelStart[l] - base, base being
// levelStart[first]. The whole system has first = 1.
struct LevelRange {
    int32_t first = 1, base = 0;
};

static LevelRange levelsFrom(const TrilinearSystem& system, int32_t first) {
    return LevelRange{first, system.levelStart[first]};
}

// out = the products of row ty of level l with the level itself (when `ownLevel`) and with the next coarser level,
// for columns first .. first + C - 1 of x (which holds the unknowns of `range`); column c of level l's values
// starts at out + c * outStride. Every entry is summed in a fixed order: the stencil's terms, then the coarser ones.
template <int32_t C>
static void rowProductsOf(const TrilinearSystem& system, LevelRange range, int32_t l, int32_t ty, const DenseBlock& x,
                          int32_t first, bool ownLevel, double* out, int64_t outStride) {
    const int32_t L = system.levelCount, n = x.count;
    const StencilMatrix& level = system.levels[l];
    const int32_t w = level.width, start = system.levelStart[l] - range.base;
    const bool coarser = l + 1 <= L - 2;
    const LevelCoupling* down = coarser ? &system.couplings[l] : nullptr;  // to level l + 1
    const int32_t coarseWidth = coarser ? system.levels[l + 1].width : 1;
    const int32_t coarseHeight = coarser ? system.levels[l + 1].height : 1;
    const int32_t coarseStart = coarser ? system.levelStart[l + 1] - range.base : 0;
    const double* own[C];
    const double* coarse[C];
    double* target[C];
    for (int32_t c = 0; c < C; ++c) {
        own[c] = x.values.items + static_cast<int64_t>(first + c) * n + start;
        coarse[c] = x.values.items + static_cast<int64_t>(first + c) * n + coarseStart;
        target[c] = out + (first + c) * outStride;
    }
    StencilRow row{};
    // Rows of the 3 coarser texels around the one that holds row ty's centres.
    int32_t coarseRows[3] = {0, 0, 0};
    if (coarser) {
        const int32_t pair = coarserTexel(ty, level.height, coarseHeight);
        for (int32_t d = 0; d < 3; ++d) coarseRows[d] = wrapIndex(pair + d - 1, coarseHeight) * coarseWidth;
    }
    for (int32_t tx = 0; tx < w; ++tx) {
        const int32_t j = ty * w + tx;
        double sum[C];
        for (int32_t c = 0; c < C; ++c) sum[c] = 0.0;
        if (ownLevel) {
            stencilRow(level, tx, ty, row);
            for (int32_t t = 0; t < 9; ++t) {
                for (int32_t c = 0; c < C; ++c) sum[c] += row.values[t] * own[c][row.unknowns[t]];
            }
        }
        if (coarser) {
            const double* coefficients = down->coefficients.items + 9 * static_cast<int64_t>(j);
            int32_t coarseColumns[3];
            wrappedNeighbours(coarserTexel(tx, w, coarseWidth), coarseWidth, coarseColumns);
            for (int32_t s = 0; s < 9; ++s) {
                const int32_t unknown = coarseRows[s / 3] + coarseColumns[s % 3];
                for (int32_t c = 0; c < C; ++c) sum[c] += coefficients[s] * coarse[c][unknown];
            }
        }
        for (int32_t c = 0; c < C; ++c) target[c][j] = sum[c];
    }
}

static void rowProducts(const TrilinearSystem& system, LevelRange range, int32_t l, int32_t ty, const DenseBlock& x,
                        bool ownLevel, double* out, int64_t outStride) {
    forColumnBlocks(x.columns, [&](auto block, int32_t first) {
        rowProductsOf<decltype(block)::value>(system, range, l, ty, x, first, ownLevel, out, outStride);
    });
}

// rowProducts for every row of level l, in parallel.
static void levelRowProducts(const TrilinearSystem& system, LevelRange range, int32_t l, const DenseBlock& x,
                             bool ownLevel, double* out, int64_t outStride) {
    const int32_t w = system.levels[l].width, h = system.levels[l].height;
#pragma omp parallel for schedule(static) if (worthThreads(int64_t{w} * h))
    for (int32_t ty = 0; ty < h; ++ty) rowProducts(system, range, l, ty, x, ownLevel, out, outStride);
}

// The first row (or column) of a finer level of `fine` texels whose centre lies in coarser texel m or after it, on an
// axis of `coarse` coarser texels: the finer texels of coarser texel m are first(m) .. first(m + 1) - 1.
static int32_t firstFinerOf(int32_t m, int32_t fine, int32_t coarse) {
    const int64_t reach = 2 * static_cast<int64_t>(fine) * m - coarse;
    return reach <= 0 ? 0 : static_cast<int32_t>((reach + 2 * static_cast<int64_t>(coarse) - 1) / (2 * static_cast<int64_t>(coarse)));
}

// out_l += sign A(l, l-1) x_(l-1) for every column, x_(l-1) being level l - 1's values (column c at
// finer + c * finerStride) and out_l level l's (column c at out + c * outStride): the couplings of level l - 1 with
// level l, transposed. Each finer texel adds its nine products to the coarser texels around the one that holds its
// centre; the finer rows of one coarser row (a band) reach three coarser rows, so the bands are taken in three passes
// of bands three apart, and every value receives its terms in the same order whatever the number of threads.
// beforeRow(fy) runs on the thread that takes finer row fy, just before the row's products are added.
template <typename BeforeRow>
static void addFinerProducts(const TrilinearSystem& system, int32_t l, int32_t columns, const double* finer,
                             int64_t finerStride, double sign, double* out, int64_t outStride, BeforeRow beforeRow) {
    const int32_t width = system.levels[l].width, height = system.levels[l].height;
    const int32_t fine = system.levels[l - 1].width, fineHeight = system.levels[l - 1].height;
    const LevelCoupling& coupling = system.couplings[l - 1];
    const bool halves = fine == 2 * width && fineHeight == 2 * height;
    auto band = [&](int32_t m) {
        const int32_t lastRow = firstFinerOf(m + 1, fineHeight, height);
        for (int32_t fy = firstFinerOf(m, fineHeight, height); fy < lastRow; ++fy) {
            beforeRow(fy);
            int32_t rows[3];
            for (int32_t d = 0; d < 3; ++d) rows[d] = wrapIndex(m + d - 1, height) * width;
            forColumnBlocks(columns, [&](auto block, int32_t first) {
                constexpr int32_t C = decltype(block)::value;
                const double* from[C];
                double* to[C];
                for (int32_t c = 0; c < C; ++c) {
                    from[c] = finer + (first + c) * finerStride + static_cast<int64_t>(fy) * fine;
                    to[c] = out + (first + c) * outStride;
                }
                if (!halves) {
                    // Sides that do not halve: finer texel by finer texel.
                    for (int32_t fx = 0; fx < fine; ++fx) {
                        int32_t columnsAround[3];
                        wrappedNeighbours(coarserTexel(fx, fine, width), width, columnsAround);
                        const double* own = coupling.coefficients.items + 9 * (static_cast<int64_t>(fy) * fine + fx);
                        for (int32_t s = 0; s < 9; ++s) {
                            const int32_t target = rows[s / 3] + columnsAround[s % 3];
                            for (int32_t c = 0; c < C; ++c) to[c][target] += own[s] * (sign * from[c][fx]);
                        }
                    }
                    return;
                }
                // The two finer texels of a pair (fx even, then fx + 1) meet the same nine coarser ones and add to
                // them one after the other, so each coarser value is read and written once per pair.
                for (int32_t fx = 0; fx < fine; fx += 2) {
                    int32_t columnsAround[3], targets[9];
                    wrappedNeighbours(fx / 2, width, columnsAround);
                    for (int32_t s = 0; s < 9; ++s) targets[s] = rows[s / 3] + columnsAround[s % 3];
                    const double* even = coupling.coefficients.items + 9 * (static_cast<int64_t>(fy) * fine + fx);
                    const double* odd = even + 9;
                    double evenValue[C], oddValue[C];
                    for (int32_t c = 0; c < C; ++c) {
                        evenValue[c] = sign * from[c][fx];
                        oddValue[c] = sign * from[c][fx + 1];
                    }
                    for (int32_t s = 0; s < 9; ++s) {
                        for (int32_t c = 0; c < C; ++c) {
                            double value = to[c][targets[s]];
                            value += even[s] * evenValue[c];
                            value += odd[s] * oddValue[c];
                            to[c][targets[s]] = value;
                        }
                    }
                }
            });
        }
    };
    // Bands 3 q .. height - 1 (q = height div 3) could meet the first ones across the wrap: they follow on one thread.
    const int32_t parallelBands = 3 * (height / 3);
    for (int32_t pass = 0; pass < 3; ++pass) {
#pragma omp parallel for schedule(dynamic, 4) if (worthThreads(int64_t{fine} * fineHeight))
        for (int32_t m = pass; m < parallelBands; m += 3) band(m);
    }
    for (int32_t m = parallelBands; m < height; ++m) band(m);
}

static void addFinerProducts(const TrilinearSystem& system, int32_t l, int32_t columns, const double* finer,
                             int64_t finerStride, double sign, double* out, int64_t outStride) {
    addFinerProducts(system, l, columns, finer, finerStride, sign, out, outStride, [](int32_t) {});
}

// y = A x over the unknowns of `range`, from the coarsest level to the finest: each level's rows are formed in the
// same pass that adds its products to the coarser level's, whose rows are complete by then, so the couplings are
// read once per product.
static void multiplyLevels(const TrilinearSystem& system, LevelRange range, const DenseBlock& x, DenseBlock& y) {
    if (y.count != x.count || y.columns != x.columns) createBlock(y, x.count, x.columns);
    const int64_t n = x.count;
    const int32_t last = system.levelCount - 2;
    auto levelOf = [&](double* values, int32_t l) { return values + system.levelStart[l] - range.base; };
    levelRowProducts(system, range, last, x, true, levelOf(y.values.items, last), n);
    for (int32_t l = last - 1; l >= range.first; --l) {
        double* own = levelOf(y.values.items, l);
        addFinerProducts(system, l + 1, x.columns, levelOf(x.values.items, l), n, 1.0, levelOf(y.values.items, l + 1), n,
                         [&](int32_t fy) { rowProducts(system, range, l, fy, x, true, own, n); });
    }
}

void multiplyTrilinear(const TrilinearSystem& system, const DenseBlock& x, DenseBlock& y) {
    multiplyLevels(system, levelsFrom(system, 1), x, y);
}

// A stage of the coarse-to-fine start stops once its residual is this factor of its starting one.
static constexpr double stageReduction = 1e-3;

// The coarsest inner levels are solved exactly, as one dense block, whenever the preconditioner reaches them: they
// carry the largest terms of the system, and an incomplete factorisation leaves them the slowest to settle. The
// block holds the levels from the first whose unknowns, with all coarser ones, number at most this many.
static constexpr int32_t denseBlockLimit = 512;

// Levels `first` .. L - 2 as one dense matrix, factored; the matrix itself is kept for the bounded solve's faces.
struct DenseLevels {
    int32_t first = 0;
    GrowArray<double> factor;
    GrowArray<double> matrix;
};

static bool factorCoarseLevels(const TrilinearSystem& system, DenseLevels& dense, std::string& error) {
    const int32_t L = system.levelCount, n = system.rhs.count;
    dense.first = L - 2;
    while (dense.first > 1 && n - system.levelStart[dense.first - 1] <= denseBlockLimit) --dense.first;
    const LevelRange range = levelsFrom(system, dense.first);
    const int32_t count = n - range.base;
    // The matrix's columns are its products with the unit vectors.
    DenseBlock units, columns;
    createBlock(units, count, count);
    for (int32_t k = 0; k < count; ++k) units.at(k, k) = 1.0;
    multiplyLevels(system, range, units, columns);
    release(dense.factor);
    resize(dense.factor, static_cast<int64_t>(count) * count);
    for (int32_t i = 0; i < count; ++i) {
        for (int32_t k = 0; k < count; ++k) dense.factor.items[static_cast<int64_t>(i) * count + k] = columns.at(i, k);
    }
    dense.matrix = dense.factor;
    if (denseCholesky(dense.factor, count)) return true;
    error = "the solver failed: the coarsest levels are not positive definite";
    return false;
}

// The texels of a finer level (`fine` texels) whose couplings reach texel c of the coarser one (w texels) along one
// axis, with the offset d (0 .. 2 for -1 .. 1) that reaches it: finer texel f couples with coarser
// (coarserTexel(f) + d - 1) mod w. Where the sides halve, at most six distinct finer texels reach c (fewer on sides
// below 3, where one may reach it by several offsets); otherwise at most nine, three for each coarser texel.
static int32_t finerReaching(int32_t c, int32_t w, int32_t fine, int32_t* finer, int32_t* offset) {
    int32_t count = 0;
    if (fine != 2 * w) {
        for (int32_t d = 0; d < 3; ++d) {
            const int32_t holder = wrapIndex(static_cast<int64_t>(c) - (d - 1), w);
            const int32_t last = firstFinerOf(holder + 1, fine, w);
            for (int32_t f = firstFinerOf(holder, fine, w); f < last; ++f) {
                finer[count] = f;
                offset[count] = d;
                ++count;
            }
        }
        return count;
    }
    const int32_t candidates = std::min(fine, 6);
    for (int32_t i = 0; i < candidates; ++i) {
        const int32_t f = fine <= 6 ? i : ((2 * c - 2 + i) % fine + fine) % fine;
        for (int32_t d = 0; d < 3; ++d) {
            if (((f / 2 + d - 1) % w + w) % w != c) continue;
            finer[count] = f;
            offset[count] = d;
            ++count;
        }
    }
    return count;
}

// Calls term(coefficient, unknown) for every term of row (x, y) of level l, in a fixed order: the stencil's nine,
// the nine with the coarser level, then those of the finer texels whose couplings reach it (36 at most where the
// sides halve: six along each axis; 81 otherwise). `row` is work space.
template <typename Term>
static void forEachTermOfRow(const TrilinearSystem& system, int32_t l, int32_t x, int32_t y, StencilRow& row,
                             Term term) {
    const int32_t L = system.levelCount;
    const StencilMatrix& level = system.levels[l];
    const int32_t w = level.width, h = level.height, start = system.levelStart[l];
    stencilRow(level, x, y, row);
    for (int32_t t = 0; t < 9; ++t) term(row.values[t], start + row.unknowns[t]);
    if (l + 1 <= L - 2) {
        const int32_t coarseWidth = system.levels[l + 1].width, coarseHeight = system.levels[l + 1].height;
        const int32_t coarseStart = system.levelStart[l + 1];
        const double* coefficients = system.couplings[l].coefficients.items + 9 * (static_cast<int64_t>(y) * w + x);
        for (int32_t s = 0; s < 9; ++s) {
            const int32_t cx = wrapIndex(coarserTexel(x, w, coarseWidth) + s % 3 - 1, coarseWidth);
            const int32_t cy = wrapIndex(coarserTexel(y, h, coarseHeight) + s / 3 - 1, coarseHeight);
            term(coefficients[s], coarseStart + cy * coarseWidth + cx);
        }
    }
    if (l >= 2) {
        int32_t fineRows[18], rowOffsets[18], fineColumns[18], columnOffsets[18];
        const int32_t fineWidth = system.levels[l - 1].width, fineHeight = system.levels[l - 1].height;
        const int32_t rows = finerReaching(y, h, fineHeight, fineRows, rowOffsets);
        const int32_t columns = finerReaching(x, w, fineWidth, fineColumns, columnOffsets);
        const int32_t fineStart = system.levelStart[l - 1];
        const LevelCoupling& up = system.couplings[l - 1];
        for (int32_t a = 0; a < rows; ++a) {
            for (int32_t e = 0; e < columns; ++e) {
                const int32_t f = fineRows[a] * fineWidth + fineColumns[e];
                term(up.coefficients[9 * static_cast<int64_t>(f) + 3 * rowOffsets[a] + columnOffsets[e]], fineStart + f);
            }
        }
    }
}

// Calls visit(j, x, y, l, row) for every row j of the system, in parallel over each level's rows.
template <typename Visit>
static void forEachRow(const TrilinearSystem& system, Visit visit) {
    for (int32_t l = 1; l <= system.levelCount - 2; ++l) {
        const int32_t w = system.levels[l].width, h = system.levels[l].height, start = system.levelStart[l];
#pragma omp parallel for schedule(static) if (worthThreads(int64_t{w} * h))
        for (int32_t y = 0; y < h; ++y) {
            StencilRow row;
            for (int32_t x = 0; x < w; ++x) visit(start + y * w + x, x, y, l, row);
        }
    }
}

// The rounding of b - A x, summed in double or (trilinearResidual) in long double: a row's terms (forEachTermOfRow)
// and the right-hand side, from the rows' absolute sums.
static void setTrilinearRounding(const TrilinearSystem& system, ConjugateGradientOptions& options) {
    GrowArray<double> rowSums;
    resize(rowSums, system.rhs.count);
    forEachRow(system, [&](int32_t j, int32_t x, int32_t y, int32_t l, StencilRow& row) {
        double sum = 0.0;
        forEachTermOfRow(system, l, x, y, row, [&](double coefficient, int32_t) { sum += std::abs(coefficient); });
        rowSums.items[j] = sum;
    });
    bool halves = true;
    for (int32_t l = 2; l <= system.levelCount - 2; ++l) {
        halves = halves && system.levels[l - 1].width == 2 * system.levels[l].width &&
                 system.levels[l - 1].height == 2 * system.levels[l].height;
    }
    setResidualRounding(options, rowSums, 9 + 9 + (halves ? 36 : 81) + 1);
}

// The coarse levels' terms are large (their tents cover many cells), and the wanted residual comes near a double
// sum's rounding of them.
void trilinearResidual(const TrilinearSystem& system, const DenseBlock& x, const DenseBlock& b, DenseBlock& r) {
    const int32_t n = x.count, columns = x.columns;
    assert(columns <= 4);
    if (r.count != n || r.columns != columns) createBlock(r, n, columns);
    forEachRow(system, [&](int32_t j, int32_t tx, int32_t ty, int32_t l, StencilRow& row) {
        long double sums[4];
        for (int32_t c = 0; c < columns; ++c) sums[c] = b.at(j, c);
        forEachTermOfRow(system, l, tx, ty, row, [&](double coefficient, int32_t unknown) {
            for (int32_t c = 0; c < columns; ++c)
                sums[c] -= static_cast<long double>(coefficient) * x.values.items[unknown + static_cast<int64_t>(c) * n];
        });
        for (int32_t c = 0; c < columns; ++c) r.at(j, c) = static_cast<double>(sums[c]);
    });
}

// The level-sweep preconditioner of the joint system: a symmetric block Gauss-Seidel sweep over the levels, each
// stencil level's block through its own stencil preconditioner, the coarsest levels one dense block solved exactly.
// On a bounded solve's face, every block maps the part of its free unknowns to theirs alone, per column.
struct LevelSweep {
    int32_t columns = 0;  // of the right-hand sides
    DenseLevels dense;
    GrowArray<StencilPreconditionerData> levels;  // entry l for the stencil levels 1 .. dense.first - 1
    // Per level: the block handed to its preconditioner, the forward sweep's result y_l and the backward correction,
    // kept from one application to the next; the dense levels are one block, at index dense.first.
    GrowArray<DenseBlock> parts, sweeps, corrections;
    // The bounded solve's face, once it has one: free[j + c n] for unknown j of column c; per column the dense
    // levels' matrix restricted to the face (a held unknown's row and column replaced by the unit's), factored; and
    // the stencil levels' face preconditioners.
    const GrowArray<uint8_t>* face = nullptr;
    GrowArray<GrowArray<double>> faceFactors;
    GrowArray<StencilFacePreconditioner> faceLevels;
};

// Factors the dense levels and builds every stencil level's preconditioner; with `forFaces` (a bounded solve) the
// stencil factors are kept for the face preconditioners to start from.
static bool buildLevelSweep(const TrilinearSystem& system, const StencilSolverOptions& options, bool forFaces,
                            LevelSweep& sweep, std::string& error) {
    const int32_t L = system.levelCount;
    if (!factorCoarseLevels(system, sweep.dense, error)) return false;
    resize(sweep.levels, L > 0 ? L : 0);
    for (int32_t l = 1; l < sweep.dense.first; ++l) {
        // A bounded solve's face preconditioners start from these, in their order and on their pattern.
        sweep.levels[l].keepLower = forFaces;
        if (!buildStencilPreconditioner(system.levels[l], options, sweep.levels[l], error)) return false;
    }
    resize(sweep.parts, L > 0 ? L : 0);
    resize(sweep.sweeps, L > 0 ? L : 0);
    resize(sweep.corrections, L > 0 ? L : 0);
    resize(sweep.faceLevels, L > 0 ? L : 0);
    return true;
}

static int32_t sweepBlockSize(const TrilinearSystem& system, const LevelSweep& sweep, int32_t l) {
    return (l == sweep.dense.first ? system.rhs.count : system.levelStart[l + 1]) - system.levelStart[l];
}

// result = C_l^-1 part for block l.
static void solveSweepBlock(const TrilinearSystem& system, LevelSweep& sweep, int32_t l, const DenseBlock& part,
                            DenseBlock& result) {
    if (l < sweep.dense.first && !sweep.face) {
        applyStencilPreconditioner(system.levels[l], sweep.levels[l], part, result);
    } else if (l < sweep.dense.first) {
        // The level's own face factors; the held texels' values cut, so that the sweep is one of A_FF's.
        applyStencilFacePreconditioner(sweep.faceLevels[l], part, result);
        const uint8_t* free = sweep.face->items + system.levelStart[l];
        for (int32_t c = 0; c < part.columns; ++c, free += system.rhs.count) {
            for (int32_t j = 0; j < part.count; ++j) {
                if (!free[j]) result.at(j, c) = 0.0;
            }
        }
    } else if (!sweep.face) {
        denseCholeskySolve(sweep.dense.factor, part, result);
    } else {
        if (result.count != part.count || result.columns != part.columns) createBlock(result, part.count, part.columns);
        const uint8_t* free = sweep.face->items + system.levelStart[l];
        DenseBlock one, solved;
        createBlock(one, part.count, 1);
        for (int32_t c = 0; c < part.columns; ++c, free += system.rhs.count) {
            for (int32_t j = 0; j < part.count; ++j) one.at(j, 0) = free[j] ? part.at(j, c) : 0.0;
            denseCholeskySolve(sweep.faceFactors[c], one, solved);
            for (int32_t j = 0; j < part.count; ++j) result.at(j, c) = free[j] ? solved.at(j, 0) : 0.0;
        }
    }
}

// z = the sweep applied to r over the levels from range.first. The forward sweep runs from coarse to fine,
// y_l = C_l^-1 (r_l - A(l, l+1) y_(l+1)), the backward one from fine to coarse, z_l = y_l - C_l^-1 A(l, l-1) z_(l-1):
// (C + U) C^-1 (C + L) inverted, symmetric and positive definite like C, carrying the strong coupling between
// neighbouring levels that a block-diagonal one leaves out. Running coarse to fine first leaves the finest level, by
// far the largest, the one block the backward sweep does not revisit: one solve with its C_l per application
// instead of two.
static void applyLevelSweep(const TrilinearSystem& system, LevelSweep& sweep, LevelRange range, const DenseBlock& r,
                            DenseBlock& z) {
    const int32_t columns = sweep.columns, denseFirst = sweep.dense.first;
    if (z.count != r.count || z.columns != r.columns) createBlock(z, r.count, r.columns);
    for (int32_t l = denseFirst; l >= range.first; --l) {
        const int32_t start = system.levelStart[l] - range.base, count = sweepBlockSize(system, sweep, l);
        DenseBlock& part = sweep.parts[l];
        if (part.count != count || part.columns != columns) createBlock(part, count, columns);
        if (l < denseFirst) {
            // The products with the coarser level's y, already in z.
            levelRowProducts(system, range, l, z, false, part.values.items, count);
            for (int32_t c = 0; c < columns; ++c) {
                for (int32_t j = 0; j < count; ++j) part.at(j, c) = r.at(start + j, c) - part.at(j, c);
            }
        } else {
            for (int32_t c = 0; c < columns; ++c) {
                for (int32_t j = 0; j < count; ++j) part.at(j, c) = r.at(start + j, c);
            }
        }
        solveSweepBlock(system, sweep, l, part, sweep.sweeps[l]);
        for (int32_t c = 0; c < columns; ++c) {
            for (int32_t j = 0; j < count; ++j) z.at(start + j, c) = sweep.sweeps[l].at(j, c);
        }
    }
    for (int32_t l = range.first + 1; l <= denseFirst; ++l) {
        const int32_t start = system.levelStart[l] - range.base, count = sweepBlockSize(system, sweep, l);
        const int32_t finerStart = system.levelStart[l - 1] - range.base;
        DenseBlock& part = sweep.parts[l];
        zeroBlock(part);
        addFinerProducts(system, l, columns, z.values.items + finerStart, z.count, 1.0, part.values.items, count);
        solveSweepBlock(system, sweep, l, part, sweep.corrections[l]);
        for (int32_t c = 0; c < columns; ++c) {
            for (int32_t j = 0; j < count; ++j) z.at(start + j, c) -= sweep.corrections[l].at(j, c);
        }
    }
}

// Fits the sweep to a bounded solve's new face. The dense levels are refactored per column for the face's own
// matrix: they carry the largest terms and, at the coarsest levels, the largest shares of held texels. The stencil
// levels get IC(0) of their face matrices, refactored where the face moved by more than options.faceTolerance of the
// level. Each block's values at held texels are cut before the sweep passes them to the next level, else the sweep is
// not one of A_FF (it then preconditioned worse than the whole factors cut at the end).
// Measured on milk_truck with one thread: refitting at every move of the face (a tolerance of 0) takes 9 steps and
// 15 iterations, where keeping a level's factors until a thousandth of it had moved took 10 steps and 23 iterations
// (the last face solves each gained only a factor of 2 to 3 per iteration on stale factors), and the refits cost
// 1.1 s of the 4.5 s. Refitting only after a face solve of 3 or more iterations, one factor shared by the channels, a
// bounded solve of the dense levels (or of the two coarsest stencil levels too) first, and 2 or 4 projected-gradient
// or preconditioned projected steps before each face solve all left the step count at 9 to 11 and the time the same
// or longer (measured with the earlier, costlier refits).
static bool fitLevelSweepToFace(const TrilinearSystem& system, const StencilSolverOptions& options,
                                const GrowArray<uint8_t>& free, int32_t columns, LevelSweep& sweep,
                                std::string& error) {
    sweep.face = &free;
    const DenseLevels& dense = sweep.dense;
    const int32_t n = system.rhs.count, first = system.levelStart[dense.first], count = n - first;
    for (int32_t l = 1; l < dense.first; ++l) {
        if (sweep.levels[l].keepLower) startStencilFacePreconditioner(sweep.faceLevels[l], std::move(sweep.levels[l]));
        if (!fitStencilFacePreconditioner(system.levels[l], options, free.items + system.levelStart[l], n, columns,
                                          options.faceTolerance, sweep.faceLevels[l], error))
            return false;
    }
    release(sweep.faceFactors);
    resize(sweep.faceFactors, columns);
    for (int32_t c = 0; c < columns; ++c) {
        GrowArray<double>& factor = sweep.faceFactors[c];
        factor = dense.matrix;
        const uint8_t* isFree = free.items + static_cast<int64_t>(c) * n + first;
        for (int32_t i = 0; i < count; ++i) {
            if (isFree[i]) continue;
            for (int32_t k = 0; k < count; ++k) {
                factor.items[static_cast<int64_t>(i) * count + k] = 0.0;
                factor.items[static_cast<int64_t>(k) * count + i] = 0.0;
            }
            factor.items[static_cast<int64_t>(i) * count + i] = 1.0;
        }
        if (!denseCholesky(factor, count)) {
            error = "the solver failed: the coarsest levels of a face are not positive definite";
            return false;
        }
    }
    return true;
}

// The coarse-to-fine start. The coarse levels carry the largest terms, so a start far from their solution costs the
// joint solve many iterations. They are solved first, from the dense levels towards the finest: the levels from
// `first` up, with the finer ones held at their current values, each stage starting from the one before and only
// roughly solved, as a start for the next. The last stage, over all levels, is the solve itself.
static bool startCoarseToFine(const TrilinearSystem& system, LevelSweep& sweep, const ConjugateGradientOptions& options,
                              DenseBlock& x, std::string& error) {
    const int32_t columns = x.columns;
    for (int32_t first = sweep.dense.first; first >= 2; --first) {
        const LevelRange range = levelsFrom(system, first);
        const int32_t count = system.rhs.count - range.base, finerStart = system.levelStart[first - 1];
        DenseBlock part, b;
        createBlock(part, count, columns);
        createBlock(b, count, columns);
        for (int32_t c = 0; c < columns; ++c) {
            for (int32_t j = 0; j < count; ++j) {
                part.at(j, c) = x.at(range.base + j, c);
                b.at(j, c) = system.rhs.at(range.base + j, c);
            }
        }
        // The held finer level's products with level `first` move to the right-hand side.
        DenseBlock finer;
        createBlock(finer, range.base - finerStart, columns);
        for (int32_t c = 0; c < columns; ++c) {
            for (int32_t j = 0; j < finer.count; ++j) finer.at(j, c) = x.at(finerStart + j, c);
        }
        addFinerProducts(system, first, columns, finer.values.items, finer.count, -1.0, b.values.items, count);
        if (first == sweep.dense.first) {
            denseCholeskySolve(sweep.dense.factor, b, part);
        } else {
            ConjugateGradientOptions rough = options;
            rough.residualReduction = stageReduction;
            rough.progress = nullptr;  // a stage's progress is not the solve's
            IterativeSolveStats stageStatistics;
            auto multiply = [&](const DenseBlock& v, DenseBlock& y) { multiplyLevels(system, range, v, y); };
            auto apply = [&](const DenseBlock& r, DenseBlock& z) { applyLevelSweep(system, sweep, range, r, z); };
            if (!conjugateGradients(multiply, apply, part, b, rough, stageStatistics, error)) return false;
        }
        for (int32_t c = 0; c < columns; ++c) {
            for (int32_t j = 0; j < count; ++j) x.at(range.base + j, c) = part.at(j, c);
        }
    }
    return true;
}

// solveTrilinearSystem, followed when `bounds` is given by the bounded solve from its result, preconditioned alike.
static bool solveTrilinearOf(const TrilinearSystem& system, DenseBlock& x, const StencilSolverOptions& settings,
                             IterativeSolveStats& statistics, const BoundedSolveOptions* bounds,
                             BoundedSolveStats* bounded, std::string& error) {
    StencilSolverOptions options = settings;
    setTrilinearRounding(system, options.iterations);
    LevelSweep sweep;
    sweep.columns = x.columns;
    if (!buildLevelSweep(system, options, bounds != nullptr, sweep, error)) return false;
    if (!startCoarseToFine(system, sweep, options.iterations, x, error)) return false;
    const LevelRange all = levelsFrom(system, 1);
    auto multiply = [&](const DenseBlock& v, DenseBlock& y) { multiplyLevels(system, all, v, y); };
    auto apply = [&](const DenseBlock& r, DenseBlock& z) { applyLevelSweep(system, sweep, all, r, z); };
    // The solve over all levels (not the stages, whose products cover only some levels) may read residuals summed
    // precisely.
    options.iterations.preciseResidual = [&system](const DenseBlock& v, const DenseBlock& b, DenseBlock& r) {
        trilinearResidual(system, v, b, r);
    };
    if (!conjugateGradients(multiply, apply, x, system.rhs, startOfSolve(options.iterations, bounds, 0), statistics, error))
        return false;
    if (!bounds) return true;
    const int32_t columns = x.columns;
    const FaceChange fitToFace = [&](const GrowArray<uint8_t>& free, std::string& message) {
        return fitLevelSweepToFace(system, options, free, columns, sweep, message);
    };
    BoundedSolveOptions within = *bounds;
    within.iterations = options.iterations;
    within.holdOutward = true;
    return solveBounded(multiply, apply, fitToFace, x, system.rhs, within, *bounded, error);
}

bool solveTrilinearSystem(const TrilinearSystem& system, DenseBlock& x, const StencilSolverOptions& options,
                          IterativeSolveStats& statistics, std::string& error) {
    return solveTrilinearOf(system, x, options, statistics, nullptr, nullptr, error);
}

bool solveTrilinearWithinBounds(const TrilinearSystem& system, DenseBlock& x, const StencilSolverOptions& options,
                                const BoundedSolveOptions& bounds, IterativeSolveStats& statistics,
                                BoundedSolveStats& bounded, std::string& error) {
    bounded = BoundedSolveStats();
    return solveTrilinearOf(system, x, options, statistics, &bounds, &bounded, error);
}
