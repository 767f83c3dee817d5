// The dense Cholesky factorisation against a matrix built from a known factor, and its refusal of matrices that
// are not positive definite.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "sparse/dense_cholesky.h"

extern "C" {
int openblas_get_num_threads(void);
void openblas_set_num_threads(int threads);
}

namespace {

// M = F F^T, row-major, for the random lower triangular F (row-major, diagonal above `diagonal`) it also returns.
GrowArray<double> matrixWithKnownFactor(int32_t n, double diagonal, std::mt19937& random, std::vector<double>& f) {
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    f.assign(static_cast<size_t>(n) * n, 0.0);
    for (int32_t i = 0; i < n; ++i) {
        for (int32_t k = 0; k < i; ++k) f[i * n + k] = value(random);
        f[i * n + i] = diagonal + std::abs(value(random));
    }
    GrowArray<double> matrix;
    resize(matrix, n * n);
    for (int32_t i = 0; i < n; ++i) {
        for (int32_t j = 0; j < n; ++j) {
            double sum = 0.0;
            for (int32_t k = 0; k < n; ++k) sum += f[i * n + k] * f[j * n + k];
            matrix.items[i * n + j] = sum;
        }
    }
    return matrix;
}

TEST(DenseCholesky, SolvesEveryColumnOfAMatrixWithAKnownFactor) {
    // X random, B = M X.
    const int32_t n = 37, columns = 3;
    std::mt19937 random(11);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::vector<double> f;
    GrowArray<double> matrix = matrixWithKnownFactor(n, 1.0, random, f);
    DenseBlock x, b;
    createBlock(x, n, columns);
    createBlock(b, n, columns);
    for (double& v : x.values) v = value(random);
    for (int32_t c = 0; c < columns; ++c) {
        for (int32_t i = 0; i < n; ++i) {
            for (int32_t j = 0; j < n; ++j) b.at(i, c) += matrix.items[i * n + j] * x.at(j, c);
        }
    }
    ASSERT_TRUE(denseCholesky(matrix, n));
    // The factor is F itself (Cholesky factors with a positive diagonal are unique), column-major.
    for (int32_t i = 0; i < n; ++i) {
        for (int32_t j = 0; j <= i; ++j) EXPECT_NEAR(matrix.items[i + j * n], f[i * n + j], 1e-10) << i << ", " << j;
    }
    DenseBlock solved;
    denseCholeskySolve(matrix, b, solved);
    ASSERT_EQ(solved.count, n);
    ASSERT_EQ(solved.columns, columns);
    for (int32_t c = 0; c < columns; ++c) {
        for (int32_t i = 0; i < n; ++i) EXPECT_NEAR(solved.at(i, c), x.at(i, c), 1e-10);
    }
}

TEST(DenseCholesky, FactorsAlikeWhateverTheThreadsOfTheLinearAlgebraLibrary) {
    // Large enough for the library to share the updates among threads if it were allowed to.
    const int32_t n = 500;
    std::mt19937 random(5);
    std::vector<double> f;
    const GrowArray<double> matrix = matrixWithKnownFactor(n, 30.0, random, f);
    DenseBlock b;
    createBlock(b, n, 3);
    for (int32_t i = 0; i < n; ++i) b.at(i, i % 3) = 1.0 + i;
    const int saved = openblas_get_num_threads();
    GrowArray<double> factors[2];
    DenseBlock solved[2];
    for (int threads = 1; threads <= 2; ++threads) {
        // The serial library of the default build keeps one thread whatever it is told; the threaded one of the
        // CHOLMOD build takes the count.
        openblas_set_num_threads(threads);
        const int set = openblas_get_num_threads();
        factors[threads - 1] = matrix;
        ASSERT_TRUE(denseCholesky(factors[threads - 1], n));
        denseCholeskySolve(factors[threads - 1], b, solved[threads - 1]);
        EXPECT_EQ(openblas_get_num_threads(), set) << "the caller's setting is restored";
    }
    openblas_set_num_threads(saved);
    for (int64_t e = 0; e < factors[0].count; ++e) ASSERT_EQ(factors[0].items[e], factors[1].items[e]) << e;
    for (int64_t e = 0; e < solved[0].values.count; ++e) {
        ASSERT_EQ(solved[0].values.items[e], solved[1].values.items[e]) << e;
    }
}

TEST(DenseCholesky, RefusesIndefiniteAndNonFiniteMatrices) {
    GrowArray<double> indefinite;
    resize(indefinite, 4);
    indefinite.items[0] = 1.0, indefinite.items[1] = 2.0, indefinite.items[2] = 2.0, indefinite.items[3] = 1.0;
    EXPECT_FALSE(denseCholesky(indefinite, 2));
    GrowArray<double> notFinite;
    resize(notFinite, 1);
    notFinite.items[0] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(denseCholesky(notFinite, 1));
}

}  // namespace
