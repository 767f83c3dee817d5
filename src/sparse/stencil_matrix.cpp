// Product of a wrapping 9-point stencil matrix with a block of columns, and its exact lower triangle.
#include "sparse/stencil_matrix.h"

#include <algorithm>
#include <cassert>
#include <limits>

#include "base/parallel.h"
#include "sparse/column_blocks.h"

void createStencil(StencilMatrix& matrix, int32_t width, int32_t height) {
    assert(width >= 1 && height >= 1);
    const int64_t size = static_cast<int64_t>(width) * height * stencilCoefficientCount;
    assert(size <= std::numeric_limits<int32_t>::max());
    release(matrix.coefficients);
    resize(matrix.coefficients, static_cast<int32_t>(size));
    for (double& value : matrix.coefficients) value = 0.0;
    matrix.width = width;
    matrix.height = height;
}

double stencilDiagonal(const StencilMatrix& matrix, int32_t x, int32_t y) {
    StencilRow row;
    stencilRow(matrix, x, y, row);
    double sum = 0.0;
    for (int32_t t = 0; t < 9; ++t) sum += row.unknowns[t] == row.unknowns[0] ? row.values[t] : 0.0;
    return sum;
}

void multiplyStencil(const StencilMatrix& matrix, const DenseBlock& x, DenseBlock& y) {
    const int32_t w = matrix.width, h = matrix.height;
    const int32_t n = w * h;
    assert(x.count == n);
    if (y.count != x.count || y.columns != x.columns) createBlock(y, x.count, x.columns);
    const int32_t columns = x.columns;
#pragma omp parallel for schedule(static) if (worthThreads(n))
    for (int32_t row = 0; row < h; ++row) {
        forColumnBlocks(columns, [&](auto block, int32_t first) {
            constexpr int32_t C = decltype(block)::value;
            const double* from[C];
            double* to[C];
            for (int32_t k = 0; k < C; ++k) {
                from[k] = x.values.items + static_cast<int64_t>(first + k) * n;
                to[k] = y.values.items + static_cast<int64_t>(first + k) * n;
            }
            StencilRow terms;
            for (int32_t col = 0; col < w; ++col) {
                stencilRow(matrix, col, row, terms);
                double sum[C] = {};
                for (int32_t t = 0; t < 9; ++t) {
                    for (int32_t k = 0; k < C; ++k) sum[k] += terms.values[t] * from[k][terms.unknowns[t]];
                }
                for (int32_t k = 0; k < C; ++k) to[k][row * w + col] = sum[k];
            }
        });
    }
}

void stencilResidual(const StencilMatrix& matrix, const DenseBlock& x, const DenseBlock& b, DenseBlock& r) {
    const int32_t w = matrix.width, h = matrix.height, n = w * h;
    assert(x.count == n && b.count == n && b.columns == x.columns);
    if (r.count != x.count || r.columns != x.columns) createBlock(r, x.count, x.columns);
    for (int32_t k = 0; k < x.columns; ++k) {
        const double* from = x.values.items + static_cast<int64_t>(k) * n;
        const double* rhs = b.values.items + static_cast<int64_t>(k) * n;
        double* to = r.values.items + static_cast<int64_t>(k) * n;
#pragma omp parallel for schedule(static) if (worthThreads(n))
        for (int32_t row = 0; row < h; ++row) {
            StencilRow terms;
            for (int32_t col = 0; col < w; ++col) {
                stencilRow(matrix, col, row, terms);
                const int32_t j = row * w + col;
                long double sum = rhs[j];
                for (int32_t t = 0; t < 9; ++t)
                    sum -= static_cast<long double>(terms.values[t]) * static_cast<long double>(from[terms.unknowns[t]]);
                to[j] = static_cast<double>(sum);
            }
        }
    }
}

void stencilToCompressedColumn(const StencilMatrix& matrix, CompressedColumnMatrix& lower) {
    const int32_t w = matrix.width, h = matrix.height;
    const int32_t n = w * h;
    assert(static_cast<int64_t>(n) * 9 <= std::numeric_limits<int32_t>::max());
    lower.n = n;
    release(lower.colptr);
    release(lower.rowind);
    release(lower.values);
    resize(lower.colptr, n + 1);
    reserve(lower.rowind, 5 * n);
    reserve(lower.values, 5 * n);

    // Column j of the lower triangle is row j's terms at or after j, sorted, with repeats summed:
    // every term of the row is the full coefficient of its geometric offset, so the pair (j, k) is
    // complete in row j alone.
    lower.colptr.items[0] = 0;
    StencilRow row;
    int32_t order[9];
    for (int32_t j = 0; j < n; ++j) {
        stencilRow(matrix, j % w, j / w, row);
        for (int32_t t = 0; t < 9; ++t) order[t] = t;
        std::stable_sort(order, order + 9, [&](int32_t a, int32_t b) { return row.unknowns[a] < row.unknowns[b]; });
        int32_t previous = -1;
        for (int32_t t : order) {
            const int32_t unknown = row.unknowns[t];
            if (unknown < j) continue;
            if (unknown == previous) {
                lower.values.items[lower.values.count - 1] += row.values[t];
            } else {
                append(lower.rowind, unknown);
                append(lower.values, row.values[t]);
                previous = unknown;
            }
        }
        // An off-diagonal pair that sums to exactly 0 is left out: uncovered regions of the grid
        // then add no fill to the factor.
        int32_t kept = lower.colptr.items[j] + 1;
        for (int32_t p = kept; p < lower.rowind.count; ++p) {
            if (lower.values.items[p] == 0.0) continue;
            lower.rowind.items[kept] = lower.rowind.items[p];
            lower.values.items[kept] = lower.values.items[p];
            ++kept;
        }
        lower.rowind.count = lower.values.count = kept;
        lower.colptr.items[j + 1] = kept;
    }
}
