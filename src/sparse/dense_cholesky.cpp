// Dense Cholesky, row by row, in the plain left-looking order: sizes stay in the hundreds.
#include "sparse/dense_cholesky.h"

#include <cassert>
#include <cmath>

bool denseCholesky(GrowArray<double>& matrix, int32_t n) {
    assert(static_cast<int64_t>(n) * n == matrix.count);
    double* l = matrix.items;
    for (int32_t j = 0; j < n; ++j) {
        for (int32_t i = j; i < n; ++i) {
            double sum = l[i * n + j];
            for (int32_t k = 0; k < j; ++k) sum -= l[i * n + k] * l[j * n + k];
            if (i == j) {
                if (!(sum > 0.0) || !std::isfinite(sum)) return false;
                l[j * n + j] = std::sqrt(sum);
            } else {
                l[i * n + j] = sum / l[j * n + j];
            }
        }
    }
    // The upper triangle still holds the matrix; clear it so the array is the factor alone.
    for (int32_t i = 0; i < n; ++i) {
        for (int32_t j = i + 1; j < n; ++j) l[i * n + j] = 0.0;
    }
    return true;
}

void denseCholeskySolve(const GrowArray<double>& factor, const DenseBlock& r, DenseBlock& z) {
    const int32_t n = r.count;
    assert(static_cast<int64_t>(n) * n == factor.count);
    const double* l = factor.items;
    if (z.count != n || z.columns != r.columns) createBlock(z, n, r.columns);
    for (int32_t k = 0; k < r.columns; ++k) {
        for (int32_t i = 0; i < n; ++i) {
            double sum = r.at(i, k);
            for (int32_t m = 0; m < i; ++m) sum -= l[i * n + m] * z.at(m, k);
            z.at(i, k) = sum / l[i * n + i];
        }
        for (int32_t i = n - 1; i >= 0; --i) {
            double sum = z.at(i, k);
            for (int32_t m = i + 1; m < n; ++m) sum -= l[m * n + i] * z.at(m, k);
            z.at(i, k) = sum / l[i * n + i];
        }
    }
}
