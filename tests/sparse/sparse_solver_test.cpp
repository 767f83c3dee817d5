// Sparse Cholesky factorisation and multi-column solves: exact small cases, a random system's
// residual and its agreement with the dense factorisation, the shape of the solution block, the phase
// statistics and failures.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "sparse/dense_cholesky.h"
#include "sparse/sparse_solver.h"
#include "test_support.h"

// Regularises, converts and factorises; the rows are released as the filters do.
static void factoriseOrFail(SparseRowMatrix& matrix, DenseBlock& rhs) {
    regularise(matrix, rhs);
    toCompressedColumn(matrix);
    releaseRows(matrix);
    std::string error;
    SolverStats stats;
    ASSERT_TRUE(factorise(matrix, stats, error)) << error;
    EXPECT_TRUE(error.empty());
}

// The 5-point Laplacian of a side x side grid plus `shift` on the diagonal, straight into `lower` (row-major
// unknowns; column i lists i, its right and its lower neighbour).
static void gridLaplacian(CompressedColumnMatrix& lower, int32_t side, double shift) {
    const int32_t n = side * side;
    lower.n = n;
    resize(lower.colptr, n + 1);
    lower.colptr.items[0] = 0;
    for (int32_t i = 0; i < n; ++i) {
        const int32_t x = i % side, y = i / side;
        append(lower.rowind, i);
        append(lower.values, 4.0 + shift);
        if (x + 1 < side) {
            append(lower.rowind, i + 1);
            append(lower.values, -1.0);
        }
        if (y + 1 < side) {
            append(lower.rowind, i + side);
            append(lower.values, -1.0);
        }
        lower.colptr.items[i + 1] = lower.rowind.count;
    }
}

// A least-squares system shaped like the filters' ones: samples on a grid, each spread over its
// four nearest nodes with bilinear weights; normal equations assembled from both orders of
// every pair, so only the upper entries are kept. Some nodes see no sample and get pinned.
static void sampledGridSystem(SparseRowMatrix& matrix, DenseBlock& b, int32_t side, unsigned seed) {
    const int32_t n = side * side;
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    setRowCount(matrix, n);
    clearRows(matrix);
    createBlock(b, n, 3);
    for (int32_t sample = 0; sample < 3 * n; ++sample) {
        const double px = unit(random) * (side - 1) * 0.9;  // leaves the far nodes unobserved
        const double py = unit(random) * (side - 1) * 0.9;
        const int32_t x0 = static_cast<int32_t>(px);
        const int32_t y0 = static_cast<int32_t>(py);
        const double fx = px - x0;
        const double fy = py - y0;
        const int32_t nodes[4] = {y0 * side + x0, y0 * side + x0 + 1, (y0 + 1) * side + x0,
                                  (y0 + 1) * side + x0 + 1};
        const double weights[4] = {(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy};
        const double colour[3] = {unit(random), unit(random), unit(random)};
        for (int32_t a = 0; a < 4; ++a) {
            for (int32_t c = 0; c < 4; ++c) accumulate(matrix, nodes[a], nodes[c], weights[a] * weights[c]);
            for (int32_t j = 0; j < 3; ++j) b.at(nodes[a], j) += weights[a] * colour[j];
        }
    }
}

// y = M x for the symmetric matrix whose lower triangle is `lower`.
static std::vector<double> multiply(const CompressedColumnMatrix& lower, const DenseBlock& x, int32_t column) {
    std::vector<double> y(lower.n, 0.0);
    for (int32_t j = 0; j < lower.n; ++j) {
        for (int32_t k = lower.colptr[j]; k < lower.colptr[j + 1]; ++k) {
            const int32_t i = lower.rowind[k];
            const double value = lower.values[k];
            y[i] += value * x.at(j, column);
            if (i != j) y[j] += value * x.at(i, column);
        }
    }
    return y;
}

TEST(CholeskySolve, DiagonalSystemDividesByTheDiagonal) {
    const int32_t n = 6;
    SparseRowMatrix matrix;
    setRowCount(matrix, n);
    clearRows(matrix);
    DenseBlock b;
    createBlock(b, n, 3);
    for (int32_t i = 0; i < n; ++i) {
        rowValue(matrix, i, i) = 0.5 + i;
        for (int32_t j = 0; j < 3; ++j) b.at(i, j) = 1.0 + i - 2.0 * j;
    }
    factoriseOrFail(matrix, b);
    DenseBlock x;
    ASSERT_TRUE(solveColumns(matrix, x, b));
    ASSERT_EQ(x.count, n);
    ASSERT_EQ(x.columns, 3);
    for (int32_t i = 0; i < n; ++i)
        for (int32_t j = 0; j < 3; ++j)
            EXPECT_NEAR(x.at(i, j), b.at(i, j) / (0.5 + i + 0.001), 1e-14) << i << ", " << j;
}

TEST(CholeskySolve, OneUnknownSolvesEveryColumn) {
    SparseRowMatrix matrix;
    setRowCount(matrix, 1);
    clearRows(matrix);
    rowValue(matrix, 0, 0) = 3.999;
    DenseBlock b;
    createBlock(b, 1, 3);
    b.at(0, 0) = 2.0;
    b.at(0, 1) = -6.0;
    b.at(0, 2) = 0.0;
    factoriseOrFail(matrix, b);
    DenseBlock x;
    ASSERT_TRUE(solveColumns(matrix, x, b));
    EXPECT_DOUBLE_EQ(x.at(0, 0), 0.5);
    EXPECT_DOUBLE_EQ(x.at(0, 1), -1.5);
    EXPECT_EQ(x.at(0, 2), 0.0);
}

TEST(CholeskySolve, RandomSystemIsSolvedToATinyResidualWithAMetisOrdering) {
    const int32_t n = 24 * 24;
    SparseRowMatrix matrix;
    DenseBlock b;
    sampledGridSystem(matrix, b, 24, 12345);
    int32_t pinned = 0;
    for (const SparseRow& row : matrix.rows) pinned += row.empty() ? 1 : 0;
    ASSERT_GT(pinned, 0);

    factoriseOrFail(matrix, b);
    EXPECT_TRUE(factorOrderedByMetis(matrix));
    DenseBlock x;
    ASSERT_TRUE(solveColumns(matrix, x, b));
    for (int32_t j = 0; j < 3; ++j) {
        const std::vector<double> product = multiply(matrix.lower, x, j);
        double residual = 0.0;
        double norm = 0.0;
        for (int32_t i = 0; i < n; ++i) {
            residual += (product[i] - b.at(i, j)) * (product[i] - b.at(i, j));
            norm += b.at(i, j) * b.at(i, j);
        }
        EXPECT_LT(std::sqrt(residual / norm), 1e-10) << "column " << j;
    }
}

// The dense LAPACK factorisation of the same matrix, with no ordering at all, is an independent oracle: the
// two solutions differ only by rounding.
TEST(CholeskySolve, AgreesWithTheDenseFactorisationOfTheSameMatrix) {
    const int32_t n = 20 * 20;
    SparseRowMatrix matrix;
    DenseBlock b;
    sampledGridSystem(matrix, b, 20, 777);
    factoriseOrFail(matrix, b);
    DenseBlock x;
    ASSERT_TRUE(solveColumns(matrix, x, b));

    GrowArray<double> dense;
    resize(dense, n * n);
    for (double& value : dense) value = 0.0;
    const CompressedColumnMatrix& lower = matrix.lower;
    for (int32_t j = 0; j < n; ++j) {
        for (int32_t k = lower.colptr[j]; k < lower.colptr[j + 1]; ++k) {
            dense[lower.rowind[k] * n + j] = lower.values[k];
            dense[j * n + lower.rowind[k]] = lower.values[k];
        }
    }
    ASSERT_TRUE(denseCholesky(dense, n));
    DenseBlock expected;
    denseCholeskySolve(dense, b, expected);
    double largest = 0.0, difference = 0.0;
    for (int32_t e = 0; e < expected.values.count; ++e) {
        largest = std::max(largest, std::fabs(expected.values[e]));
        difference = std::max(difference, std::fabs(x.values[e] - expected.values[e]));
    }
    ASSERT_GT(largest, 0.0);
    EXPECT_LT(difference, 1e-10 * largest);
}

TEST(CholeskySolve, SolutionBlockIsReusedOrReshaped) {
    SparseRowMatrix matrix;
    setRowCount(matrix, 2);
    clearRows(matrix);
    rowValue(matrix, 0, 0) = 1.999;
    rowValue(matrix, 1, 1) = 3.999;
    DenseBlock b;
    createBlock(b, 2, 3);
    for (int32_t j = 0; j < 3; ++j) {
        b.at(0, j) = 2.0 * (j + 1);
        b.at(1, j) = 4.0 * (j + 1);
    }
    factoriseOrFail(matrix, b);
    DenseBlock x;
    ASSERT_TRUE(solveColumns(matrix, x, b));
    const double* storage = x.values.items;
    ASSERT_TRUE(solveColumns(matrix, x, b));
    EXPECT_EQ(x.values.items, storage);

    DenseBlock single;
    createBlock(single, 2, 1);
    single.at(0, 0) = 6.0;
    single.at(1, 0) = 8.0;
    ASSERT_TRUE(solveColumns(matrix, x, single));
    EXPECT_EQ(x.count, 2);
    EXPECT_EQ(x.columns, 1);
    ASSERT_EQ(x.values.count, 2);
    EXPECT_DOUBLE_EQ(x.at(0, 0), 3.0);
    EXPECT_DOUBLE_EQ(x.at(1, 0), 2.0);
}

// The phases and their times go back to the caller; the solver prints nothing itself.
TEST(CholeskySolve, ReportsTheAnalysisAndFactorisationTimesWithoutPrinting) {
    SparseRowMatrix matrix;
    setRowCount(matrix, 3);
    clearRows(matrix);
    DenseBlock b;
    createBlock(b, 3, 3);
    regularise(matrix, b);
    toCompressedColumn(matrix);
    std::string error;
    SolverStats stats;
    stats.iterations = 7;  // left over from an earlier solve: every field starts afresh
    testing::internal::CaptureStdout();
    const bool factorised = factorise(matrix, stats, error);
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(factorised) << error;
    EXPECT_EQ(output, "");
    EXPECT_TRUE(stats.analysisRan);
    EXPECT_TRUE(stats.factorisationRan);
    EXPECT_GE(stats.analysisSeconds, 0.0);
    EXPECT_GE(stats.analysisProcessorSeconds, 0.0);
    EXPECT_GE(stats.factorisationSeconds, 0.0);
    EXPECT_GE(stats.factorisationProcessorSeconds, 0.0);
    EXPECT_EQ(stats.iterations, 0);  // a direct solve
    EXPECT_EQ(stats.residual, 0.0);
}

TEST(CholeskySolve, MatrixThatIsNotPositiveDefiniteIsReported) {
    SparseRowMatrix matrix;
    setRowCount(matrix, 5);
    clearRows(matrix);
    for (int32_t i = 0; i < 5; ++i) rowValue(matrix, i, i) = 1.0;
    rowValue(matrix, 3, 3) = -1.0;
    toCompressedColumn(matrix);
    std::string error;
    SolverStats stats;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(factorise(matrix, stats, error));
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(error, "the solver failed: matrix is not positive definite (column 3)");
    // Both phases ran before the failure showed; neither we nor the solver library print anything.
    EXPECT_TRUE(stats.analysisRan);
    EXPECT_TRUE(stats.factorisationRan);
    EXPECT_EQ(output, "");
    EXPECT_EQ(matrix.factor, nullptr);

    // With no factor a solve leaves the solution block untouched.
    DenseBlock b;
    createBlock(b, 5, 3);
    DenseBlock x;
    createBlock(x, 1, 1);
    x.at(0, 0) = 42.0;
    EXPECT_FALSE(solveColumns(matrix, x, b));
    EXPECT_EQ(x.count, 1);
    EXPECT_EQ(x.at(0, 0), 42.0);
}

TEST(CholeskySolve, IndefiniteCouplingAndNonFiniteEntriesAreReported) {
    // [[1, 2], [2, 1]] has eigenvalues 3 and -1: indefinite, though its diagonal is positive.
    SparseRowMatrix indefinite;
    setRowCount(indefinite, 2);
    clearRows(indefinite);
    rowValue(indefinite, 0, 0) = 1.0;
    rowValue(indefinite, 0, 1) = 2.0;
    rowValue(indefinite, 1, 1) = 1.0;
    toCompressedColumn(indefinite);
    std::string error;
    SolverStats stats;
    EXPECT_FALSE(factorise(indefinite, stats, error));
    EXPECT_EQ(error.rfind("the solver failed: matrix is not positive definite (column ", 0), 0u) << error;

    SparseRowMatrix notANumber;
    setRowCount(notANumber, 3);
    clearRows(notANumber);
    for (int32_t i = 0; i < 3; ++i) rowValue(notANumber, i, i) = 2.0;
    rowValue(notANumber, 1, 1) = std::numeric_limits<double>::quiet_NaN();
    toCompressedColumn(notANumber);
    error.clear();
    EXPECT_FALSE(factorise(notANumber, stats, error));
    EXPECT_EQ(error, "the solver failed: matrix entry is not finite (column 1)");
    // Refused before the solver starts: no phase ran.
    EXPECT_FALSE(stats.analysisRan);
    EXPECT_FALSE(stats.factorisationRan);
}

// With one strongly negative diagonal entry in a diagonally dominant grid, every leading block of any elimination
// order that leaves that unknown out is positive definite, so the factorisation fails exactly there, wherever the
// ordering has put it: the message names it in the matrix's own numbering.
TEST(CholeskySolve, FailingColumnIsNamedInTheMatrixsOwnNumbering) {
    for (const int32_t bad : {0, 137, 399}) {
        SparseRowMatrix matrix;
        gridLaplacian(matrix.lower, 20, 0.5);
        for (int32_t k = matrix.lower.colptr[bad]; k < matrix.lower.colptr[bad + 1]; ++k) {
            if (matrix.lower.rowind[k] == bad) matrix.lower.values[k] = -50.0;
        }
        std::string error;
        SolverStats stats;
        EXPECT_FALSE(factorise(matrix, stats, error));
        EXPECT_EQ(error, "the solver failed: matrix is not positive definite (column " + std::to_string(bad) + ")");
    }
}

TEST(CholeskySolve, EmptySystemHasAnEmptySolution) {
    SparseRowMatrix matrix;
    setRowCount(matrix, 0);
    DenseBlock b;
    createBlock(b, 0, 3);
    factoriseOrFail(matrix, b);
    DenseBlock x;
    ASSERT_TRUE(solveColumns(matrix, x, b));
    EXPECT_EQ(x.count, 0);
    EXPECT_EQ(x.columns, 3);
}

// Under an address-space limit that leaves a few megabytes, the factor of a 400 x 400 grid (some ten million
// entries) cannot be held: the factorisation says so instead of ending the process, whether the ordering (24 MB) or
// the factor itself (64 MB) is what does not fit. Each runs in a fresh process of its own, whose address space the
// limit may take.
TEST(CholeskySolve, ExhaustedMemoryIsReportedAsAFailure) {
#ifdef KIV_ADDRESS_SANITIZER
    GTEST_SKIP() << "an address-space limit cannot be combined with AddressSanitizer";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto factoriseUnderALimit = [](rlim_t spareMegabytes) {
        alarm(60);  // a hang fails the test rather than the suite
        SparseRowMatrix matrix;
        gridLaplacian(matrix.lower, 400, 0.001);
        long pages = 0;
        FILE* statm = std::fopen("/proc/self/statm", "r");
        if (!statm || std::fscanf(statm, "%ld", &pages) != 1) std::_Exit(2);
        std::fclose(statm);
        const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) +
                             (spareMegabytes << 20);
        const rlimit cap = {limit, limit};
        if (setrlimit(RLIMIT_AS, &cap) != 0) std::_Exit(3);
        std::string error;
        SolverStats stats;
        const bool factorised = factorise(matrix, stats, error);
        std::fprintf(stderr, "[%s]\n", error.c_str());
        std::_Exit(factorised ? 1 : 0);
    };
    for (const rlim_t spare : {24, 64}) {
        EXPECT_EXIT(factoriseUnderALimit(spare), testing::ExitedWithCode(0), "\\[the solver failed: out of memory\\]")
            << spare << " MB";
    }
}

TEST(CholeskySolve, ReleaseFreesTheFactorAndTheCompressedCopy) {
    SparseRowMatrix matrix;
    setRowCount(matrix, 2);
    clearRows(matrix);
    DenseBlock b;
    createBlock(b, 2, 3);
    factoriseOrFail(matrix, b);
    ASSERT_NE(matrix.factor, nullptr);
    releaseSolver(matrix);
    EXPECT_EQ(matrix.factor, nullptr);
    EXPECT_EQ(matrix.lower.colptr.items, nullptr);
    EXPECT_EQ(matrix.lower.rowind.items, nullptr);
    EXPECT_EQ(matrix.lower.values.items, nullptr);
    DenseBlock x;
    EXPECT_FALSE(solveColumns(matrix, x, b));
    EXPECT_EQ(x.values.items, nullptr);
}
