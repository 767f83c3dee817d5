// Assembly of a level's stencil and right-hand sides from the surface moments of the grid with two cells per texel.
#include "filters/level_system.h"

#include <algorithm>
#include <cassert>
#include <functional>

#include "filters/tent_kernel.h"

namespace {

// The two tents of a cell column (or row) and the three distinct products of their factors, as polynomials
// p[0] + p[1] s + p[2] s^2 of the cell-local coordinate: products[0] = tent 0 squared, [1] = tent 0 times tent 1,
// [2] = tent 1 squared.
struct AxisTents {
    int32_t first = 0;  // texel of tent 0; tent 1 is the next texel (wrapped)
    TentFactor tents[2];
    double products[3][3];
};

// The tents of a level with `size` texels along `axis` on every cell of the grid along it.
GrowArray<AxisTents> axisTents(const MomentGrid& grid, SplitAxis axis, int32_t size) {
    GrowArray<AxisTents> table;
    resize(table, axis == SplitAxis::u ? grid.width : grid.height);
    for (int32_t x = 0; x < table.count; ++x) {
        AxisTents& cell = table[x];
        for (int32_t e = 0; e < 2; ++e) cell.tents[e] = gridCellTent(grid, axis, x, e, size);
        cell.first = cell.tents[0].texel;
        const int32_t pairs[3][2] = {{0, 0}, {0, 1}, {1, 1}};
        for (int32_t k = 0; k < 3; ++k) {
            const TentFactor &a = cell.tents[pairs[k][0]], &b = cell.tents[pairs[k][1]];
            cell.products[k][0] = a.offset * b.offset;
            cell.products[k][1] = a.offset * b.slope + a.slope * b.offset;
            cell.products[k][2] = a.slope * b.slope;
        }
    }
    return table;
}

}  // namespace

void forEachBandInTwoPasses(const MomentGrid& grid, int32_t height, const std::function<void(int32_t)>& fill) {
    // Band k holds the cell rows between the centres of texel rows k and k + 1 (those whose first tent is row k),
    // listed from the row after centre 0 on and wrapping round, so the last band ends with the rows before centre 0.
    GrowArray<int32_t> firstTexel, bandStart, rows;
    resize(firstTexel, grid.height);
    for (int32_t y = 0; y < grid.height; ++y) firstTexel[y] = gridCellTent(grid, SplitAxis::v, y, 0, height).texel;
    int32_t origin = 0;
    if (grid.rowBounds.count == 0 && grid.height % (2 * height) == 0) {
        origin = grid.height / (2 * height);  // even cells: texel row 0's centre is after this many rows
    } else {
        while (origin < grid.height && firstTexel[origin] != 0) ++origin;
        while (origin > 0 && origin < grid.height && firstTexel[origin - 1] == 0) --origin;
        if (origin == grid.height) origin = 0;
    }
    resize(bandStart, height + 1);
    for (int32_t& start : bandStart) start = 0;
    for (int32_t y = 0; y < grid.height; ++y) ++bandStart[firstTexel[y] + 1];
    for (int32_t k = 0; k < height; ++k) bandStart[k + 1] += bandStart[k];
    resize(rows, grid.height);
    GrowArray<int32_t> next = bandStart;
    for (int32_t r = 0; r < grid.height; ++r) {
        const int32_t y = (origin + r) % grid.height;
        rows[next[firstTexel[y]]++] = y;
    }
    // With an odd number of rows (3 or more) the last band writes rows height - 1 and 0, as band 0 does: it runs
    // alone after the two passes.
    const int32_t paired = height > 1 && height % 2 == 1 ? height - 1 : height;
    for (int32_t parity = 0; parity < 2; ++parity) {
#pragma omp parallel for schedule(dynamic, 4)
        for (int32_t k = parity; k < paired; k += 2) {
            for (int32_t i = bandStart[k]; i < bandStart[k + 1]; ++i) fill(rows[i]);
        }
    }
    for (int32_t k = paired; k < height; ++k) {
        for (int32_t i = bandStart[k]; i < bandStart[k + 1]; ++i) fill(rows[i]);
    }
}

void assembleGramStencil(StencilMatrix& matrix, const MomentGrid& grid, int32_t width, int32_t height, double factor) {
    assert(grid.moments.count == 9 * grid.width * grid.height);
    const GrowArray<AxisTents> columnTents = axisTents(grid, SplitAxis::u, width);
    const GrowArray<AxisTents> rowTents = axisTents(grid, SplitAxis::v, height);
    matrix.width = width;
    matrix.height = height;
    release(matrix.coefficients);
    resize(matrix.coefficients, stencilCoefficientCount * width * height);
    for (double& value : matrix.coefficients) value = 0;
    double* coefficients = matrix.coefficients.items;

    forEachBandInTwoPasses(grid, height, [&](int32_t y) {
        const AxisTents& rows = rowTents[y];
        const int32_t row0 = rows.first, row1 = (rows.first + 1) % height;
        for (int32_t x = 0; x < grid.width; ++x) {
            const float* m = grid.moments.items + 9 * (static_cast<int64_t>(y) * grid.width + x);
            if (m[0] == 0.0f) continue;  // no area, so every moment is 0
            const AxisTents& columns = columnTents[x];
            // I[p][q] = S/2 times the integral of column product p times row product q over the cell's surface.
            double integral[3][3];
            for (int32_t p = 0; p < 3; ++p) {
                for (int32_t q = 0; q < 3; ++q) {
                    double sum = 0;
                    for (int32_t b = 0; b < 3; ++b) {
                        for (int32_t a = 0; a < 3; ++a) sum += columns.products[p][a] * rows.products[q][b] * m[3 * b + a];
                    }
                    integral[p][q] = factor * sum;
                }
            }
            const int32_t column0 = columns.first, column1 = (columns.first + 1) % width;
            // Tent (e, f) is texel (column e, row f). Every pair of the cell's four tents lands in one slot:
            // the same tent in its centre, the others in the forward slot of the earlier tent.
            auto slots = [&](int32_t e, int32_t f) {
                const int32_t row = f == 0 ? row0 : row1, column = e == 0 ? column0 : column1;
                return coefficients + stencilCoefficientCount * (static_cast<int64_t>(row) * width + column);
            };
            for (int32_t f = 0; f < 2; ++f) {
                for (int32_t e = 0; e < 2; ++e) slots(e, f)[stencilCentre] += integral[2 * e][2 * f];
                slots(0, f)[stencilEast] += integral[1][2 * f];
                slots(f, 0)[stencilNorth] += integral[2 * f][1];
            }
            slots(0, 0)[stencilNorthEast] += integral[1][1];
            slots(1, 0)[stencilNorthWest] += integral[1][1];
        }
    });
}

double levelScale(int32_t width, int32_t height) {
    const double side = 2.0 * std::max(width, height);
    return 0.5 * side * side;
}

// B(j, c) += factor times the sum over the cells of grid of t_ab(j) values(cell, c)[ab], t being tent j on the
// cell as (ox + sx u)(oy + sy v) = sum of t_ab u^a v^b and values(cell, c) the four integrals of u^a v^b g_c.
template <typename Values>
static void gatherTentProducts(DenseBlock& rhs, const MomentGrid& grid, int32_t width, int32_t height,
                               int32_t columns, double factor, Values values) {
    const GrowArray<AxisTents> columnTents = axisTents(grid, SplitAxis::u, width);
    const GrowArray<AxisTents> rowTents = axisTents(grid, SplitAxis::v, height);
    createBlock(rhs, width * height, columns);
    forEachBandInTwoPasses(grid, height, [&](int32_t y) {
        const TentFactor* rows = rowTents[y].tents;
        for (int32_t x = 0; x < grid.width; ++x) {
            const int64_t cell = static_cast<int64_t>(y) * grid.width + x;
            for (int32_t ey = 0; ey < 2; ++ey) {
                for (int32_t ex = 0; ex < 2; ++ex) {
                    const TentFactor& column = columnTents[x].tents[ex];
                    const TentFactor& row = rows[ey];
                    const double t[4] = {column.offset * row.offset, column.slope * row.offset,
                                         column.offset * row.slope, column.slope * row.slope};
                    const int32_t j = row.texel * width + column.texel;
                    for (int32_t c = 0; c < columns; ++c) {
                        double w[4];
                        values(cell, c, w);
                        rhs.at(j, c) += factor * (t[0] * w[0] + t[1] * w[1] + t[2] * w[2] + t[3] * w[3]);
                    }
                }
            }
        }
    });
}

void assembleTargetSides(DenseBlock& rhs, const MomentGrid& grid, int32_t width, int32_t height, int32_t channelCount,
                         double factor) {
    const int32_t stride = 4 * channelCount;
    assert(grid.weighted.count == stride * grid.width * grid.height);
    gatherTentProducts(rhs, grid, width, height, channelCount, factor, [&](int64_t cell, int32_t c, double w[4]) {
        const float* source = grid.weighted.items + stride * cell + 4 * c;
        for (int32_t e = 0; e < 4; ++e) w[e] = source[e];
    });
}

void assembleTentAreas(DenseBlock& areas, const MomentGrid& grid, int32_t width, int32_t height, double factor) {
    assert(grid.moments.count == 9 * grid.width * grid.height);
    gatherTentProducts(areas, grid, width, height, 1, factor, [&](int64_t cell, int32_t, double w[4]) {
        // The moments of u^a v^b for a, b <= 1: m[3 b + a].
        const float* m = grid.moments.items + 9 * cell;
        w[0] = m[0], w[1] = m[1], w[2] = m[3], w[3] = m[4];
    });
}

void regulariseStencil(StencilMatrix& matrix, DenseBlock& rhs, double weight) {
    const int32_t n = matrix.width * matrix.height;
    assert(rhs.count == n);
    for (int32_t j = 0; j < n; ++j) {
        double* c = matrix.coefficients.items + stencilCoefficientCount * static_cast<int64_t>(j);
        if (c[stencilCentre] == 0.0) {
            // No surface under the tent: every product with it is 0 too. The unknown is pinned to 0.
            c[stencilCentre] = 1.0;
            for (int32_t k = 0; k < rhs.columns; ++k) rhs.at(j, k) = 0.0;
        } else {
            c[stencilCentre] += weight;
        }
    }
}
