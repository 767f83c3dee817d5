// Stencil matrices and their iterative solve: products and the compressed-column copy against dense
// matrices built independently (small and non-square sides included), every preconditioner against
// the Cholesky solve within the promised error bound, thread-count independence and failures.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "sparse/sparse_matrix.h"
#include "sparse/sparse_solver.h"
#include "sparse/stencil_matrix.h"
#include "sparse/stencil_solver.h"
#include "stencil_preconditioners.h"

namespace {

using Dense = std::vector<std::vector<double>>;

const int32_t forwardX[5] = {0, 1, 0, 1, -1};
const int32_t forwardY[5] = {0, 0, 1, 1, 1};

int32_t wrapped(int32_t v, int32_t size) { return ((v % size) + size) % size; }

// The dense matrix of a stencil, from the record's definition: every forward coefficient couples
// the unknown with the one at its offset, both ways, so a coefficient whose offset wraps onto the
// unknown itself counts twice on the diagonal.
Dense denseOf(const StencilMatrix& matrix) {
    const int32_t w = matrix.width, h = matrix.height, n = w * h;
    Dense dense(n, std::vector<double>(n, 0.0));
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            const int32_t j = y * w + x;
            dense[j][j] += stencilAt(matrix, x, y, stencilCentre);
            for (int32_t c = 1; c < 5; ++c) {
                const int32_t k = wrapped(y + forwardY[c], h) * w + wrapped(x + forwardX[c], w);
                const double value = stencilAt(matrix, x, y, static_cast<StencilCoefficient>(c));
                dense[j][k] += value;
                dense[k][j] += value;
            }
        }
    }
    return dense;
}

StencilMatrix randomStencil(int32_t width, int32_t height, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    StencilMatrix matrix;
    createStencil(matrix, width, height);
    for (double& coefficient : matrix.coefficients) coefficient = value(random);
    return matrix;
}

DenseBlock randomBlock(int32_t count, int32_t columns, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    DenseBlock block;
    createBlock(block, count, columns);
    for (double& element : block.values) element = value(random);
    return block;
}

// A regularised least-squares system shaped like the filters' ones, on a wrapping grid: samples
// spread over their 2 x 2 nearest nodes with bilinear weights. Nodes right of `coveredWidth` see
// no sample and are pinned (diagonal 1, right-hand side 0); samples in the columns from
// `faintColumn` on carry a weight of 1e-10, so those nodes are barely covered.
struct TestSystem {
    StencilMatrix matrix;
    DenseBlock rhs;
};

TestSystem leastSquaresSystem(int32_t width, int32_t height, int32_t coveredWidth, int32_t faintColumn, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    TestSystem system;
    createStencil(system.matrix, width, height);
    createBlock(system.rhs, width * height, 3);
    std::vector<bool> touched(width * height, false);
    const int32_t samples = 6 * width * height;
    for (int32_t s = 0; s < samples; ++s) {
        // Sample at (px, py) in node units; its cell's lower-left node is (x0, y0).
        const double px = unit(random) * std::max(coveredWidth - 1, 1), py = unit(random) * height;
        const int32_t x0 = std::min(static_cast<int32_t>(px), width - 1), y0 = std::min(static_cast<int32_t>(py), height - 1);
        const double fx = coveredWidth > 1 ? px - x0 : 0.0, fy = py - y0;
        const double scale = x0 >= faintColumn ? 1e-10 : 1.0;
        const double weights[4] = {(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy};
        const int32_t xs[4] = {x0, x0 + 1, x0, x0 + 1}, ys[4] = {y0, y0, y0 + 1, y0 + 1};
        const double colour[3] = {unit(random), unit(random), unit(random)};
        for (int32_t a = 0; a < 4; ++a) {
            const int32_t j = wrapped(ys[a], height) * width + wrapped(xs[a], width);
            touched[j] = true;
            stencilAt(system.matrix, wrapped(xs[a], width), wrapped(ys[a], height), stencilCentre) +=
                scale * weights[a] * weights[a];
            for (int32_t c = 0; c < 3; ++c) system.rhs.at(j, c) += scale * weights[a] * colour[c];
        }
        // Each of the six pairs of the 2 x 2 block once, on the forward offset of its first node.
        auto pair = [&](int32_t a, int32_t b, StencilCoefficient which) {
            stencilAt(system.matrix, wrapped(xs[a], width), wrapped(ys[a], height), which) +=
                scale * weights[a] * weights[b];
        };
        pair(0, 1, stencilEast);
        pair(0, 2, stencilNorth);
        pair(0, 3, stencilNorthEast);
        pair(1, 2, stencilNorthWest);
        pair(1, 3, stencilNorth);
        pair(2, 3, stencilEast);
    }
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const int32_t j = y * width + x;
            if (touched[j]) {
                stencilAt(system.matrix, x, y, stencilCentre) += 0.001;
            } else {
                stencilAt(system.matrix, x, y, stencilCentre) = 1.0;
                for (int32_t c = 0; c < 3; ++c) system.rhs.at(j, c) = 0.0;
            }
        }
    }
    return system;
}

// The Cholesky solution through the compressed-column copy.
DenseBlock directSolution(const StencilMatrix& matrix, const DenseBlock& rhs) {
    SparseRowMatrix direct;
    stencilToCompressedColumn(matrix, direct.lower);
    std::string error;
    SolverStats stats;
    EXPECT_TRUE(factorise(direct, stats, error)) << error;
    DenseBlock x;
    EXPECT_TRUE(solveColumns(direct, x, rhs));
    return x;
}

double largestDifference(const DenseBlock& a, const DenseBlock& b) {
    double largest = 0.0;
    for (int32_t k = 0; k < a.values.count; ++k)
        largest = std::max(largest, std::abs(a.values.items[k] - b.values.items[k]));
    return largest;
}

const StudiedPreconditioner allPreconditioners[] = {
    StudiedPreconditioner::jacobi, StudiedPreconditioner::gaussSeidel, StudiedPreconditioner::incompleteCholesky,
    StudiedPreconditioner::multigrid};

// Sides 1 and 2 alias offsets; non-square and odd shapes exercise the wrap on each axis alone.
const int32_t shapes[][2] = {{1, 1}, {1, 2}, {2, 1}, {2, 2}, {1, 5}, {3, 2}, {4, 4}, {5, 3}, {8, 2}, {6, 7}};

}  // namespace

TEST(StencilMatrix, ProductMatchesTheDenseMatrixForEveryShape) {
    for (const auto& shape : shapes) {
        const int32_t w = shape[0], h = shape[1], n = w * h;
        const StencilMatrix matrix = randomStencil(w, h, 7 * w + h);
        const Dense dense = denseOf(matrix);
        const DenseBlock x = randomBlock(n, 3, 11 * w + h);
        DenseBlock y;
        multiplyStencil(matrix, x, y);
        ASSERT_EQ(y.count, n);
        ASSERT_EQ(y.columns, 3);
        for (int32_t k = 0; k < 3; ++k) {
            for (int32_t i = 0; i < n; ++i) {
                double expected = 0.0;
                for (int32_t j = 0; j < n; ++j) expected += dense[i][j] * x.at(j, k);
                EXPECT_NEAR(y.at(i, k), expected, 1e-12) << w << "x" << h << " row " << i << " column " << k;
            }
        }
        for (int32_t i = 0; i < n; ++i) EXPECT_NEAR(stencilDiagonal(matrix, i % w, i / w), dense[i][i], 1e-14);
    }
}

TEST(StencilMatrix, CompressedColumnCopyIsTheDenseLowerTriangle) {
    for (const auto& shape : shapes) {
        const int32_t w = shape[0], h = shape[1], n = w * h;
        const StencilMatrix matrix = randomStencil(w, h, 3 * w + 5 * h);
        const Dense dense = denseOf(matrix);
        CompressedColumnMatrix lower;
        stencilToCompressedColumn(matrix, lower);
        EXPECT_EQ(lower.n, n);
        ASSERT_EQ(lower.colptr.count, n + 1);
        Dense rebuilt(n, std::vector<double>(n, 0.0));
        for (int32_t j = 0; j < n; ++j) {
            ASSERT_LT(lower.colptr[j], lower.colptr[j + 1]) << "column " << j << " has no diagonal";
            EXPECT_EQ(lower.rowind[lower.colptr[j]], j) << "the diagonal comes first";
            for (int32_t p = lower.colptr[j]; p < lower.colptr[j + 1]; ++p) {
                if (p > lower.colptr[j]) {
                    EXPECT_LT(lower.rowind[p - 1], lower.rowind[p]) << "sorted, no repeats";
                }
                rebuilt[lower.rowind[p]][j] = lower.values[p];
            }
        }
        for (int32_t i = 0; i < n; ++i)
            for (int32_t j = 0; j <= i; ++j)
                EXPECT_NEAR(rebuilt[i][j], dense[i][j], 1e-14) << w << "x" << h << " (" << i << ", " << j << ")";
    }
}

// Off-diagonal pairs that sum to exactly 0 are left out (uncovered texels add no fill), even when
// two offsets of a small side cancel; the diagonal stays, also when it is 0.
TEST(StencilMatrix, CompressedColumnCopyLeavesOutZeroPairs) {
    StencilMatrix matrix;
    createStencil(matrix, 2, 3);
    stencilAt(matrix, 0, 0, stencilEast) = 1.5;
    stencilAt(matrix, 1, 0, stencilEast) = -1.5;  // the same pair (0, 1) through the wrap
    stencilAt(matrix, 0, 1, stencilNorth) = 2.0;
    CompressedColumnMatrix lower;
    stencilToCompressedColumn(matrix, lower);
    ASSERT_EQ(lower.colptr.count, 7);
    EXPECT_EQ(std::vector<int32_t>(lower.colptr.begin(), lower.colptr.end()),
              (std::vector<int32_t>{0, 1, 2, 4, 5, 6, 7}));
    EXPECT_EQ(std::vector<int32_t>(lower.rowind.begin(), lower.rowind.end()),
              (std::vector<int32_t>{0, 1, 2, 4, 3, 4, 5}));
    EXPECT_EQ(lower.values[3], 2.0);
}

// Every preconditioner reaches the Cholesky solution within the promised bound, from a zero start
// and from a near one, on systems with pinned rows and rows covered 1e-10 times as much as others;
// the reported bound holds and is itself within the wanted error.
TEST(StencilSolve, EveryPreconditionerMatchesCholeskyWithinTheBound) {
    const int32_t systems[][4] = {{16, 16, 12, 8}, {32, 8, 20, 14}, {8, 32, 6, 3}, {2, 16, 2, 1}, {1, 8, 1, 1}};
    for (const auto& shape : systems) {
        const TestSystem system = leastSquaresSystem(shape[0], shape[1], shape[2], shape[3], 99 + shape[0]);
        const DenseBlock exact = directSolution(system.matrix, system.rhs);
        for (StudiedPreconditioner kind : allPreconditioners) {
            for (bool nearStart : {false, true}) {
                StudiedSolveOptions options;
                options.preconditioner = kind;
                options.coarsestUnknowns = 16;  // several grids even on these small systems
                DenseBlock x;
                createBlock(x, system.rhs.count, 3);
                if (nearStart) {
                    x = exact;
                    for (double& value : x.values) value += 0.01;
                }
                IterativeSolveStats statistics;
                std::string error;
                ASSERT_TRUE(solveStencilWith(system.matrix, x, system.rhs, options, statistics, error))
                    << error << " (" << shape[0] << "x" << shape[1] << ", kind " << static_cast<int>(kind) << ")";
                const double difference = largestDifference(x, exact);
                EXPECT_LE(difference, statistics.errorBound);
                EXPECT_LE(statistics.errorBound, options.stencil.iterations.maxError);
                EXPECT_GE(statistics.errorBound, statistics.residualNorm / 0.001);
                EXPECT_GT(statistics.iterations, 0);
            }
        }
    }
}

// A loose tolerance stops early, yet the error stays within it; a tighter one gets closer.
TEST(StencilSolve, LooseToleranceStopsEarlyWithinItsBound) {
    const TestSystem system = leastSquaresSystem(32, 32, 24, 16, 5);
    const DenseBlock exact = directSolution(system.matrix, system.rhs);
    int32_t previousIterations = 0;
    for (double maxError : {1e-1, 1e-3, 1e-5, 1e-7}) {
        StudiedSolveOptions options;
        options.preconditioner = StudiedPreconditioner::jacobi;
        options.stencil.iterations.maxError = maxError;
        DenseBlock x;
        createBlock(x, system.rhs.count, 3);
        IterativeSolveStats statistics;
        std::string error;
        ASSERT_TRUE(solveStencilWith(system.matrix, x, system.rhs, options, statistics, error)) << error;
        const double difference = largestDifference(x, exact);
        EXPECT_LE(difference, maxError);
        EXPECT_LE(difference, statistics.errorBound);
        EXPECT_GT(difference, 0.0);
        EXPECT_GE(statistics.iterations, previousIterations);
        previousIterations = statistics.iterations;
    }
}

// A rough solve, only a start for another, stops once every column's residual is the wanted factor of its
// starting one, well before the bound on the error would stop it.
TEST(StencilSolve, RoughSolveStopsAtItsResidualReduction) {
    const TestSystem system = leastSquaresSystem(32, 32, 24, 16, 5);
    StudiedSolveOptions full;
    full.preconditioner = StudiedPreconditioner::jacobi;
    StudiedSolveOptions rough = full;
    rough.stencil.iterations.residualReduction = 1e-3;
    DenseBlock fullX, roughX;
    createBlock(fullX, system.rhs.count, 3);
    createBlock(roughX, system.rhs.count, 3);
    IterativeSolveStats fullStatistics, roughStatistics;
    std::string error;
    ASSERT_TRUE(solveStencilWith(system.matrix, fullX, system.rhs, full, fullStatistics, error)) << error;
    ASSERT_TRUE(solveStencilWith(system.matrix, roughX, system.rhs, rough, roughStatistics, error)) << error;
    EXPECT_LT(roughStatistics.iterations, fullStatistics.iterations);
    // From x = 0 the starting residual is b.
    DenseBlock product;
    multiplyStencil(system.matrix, roughX, product);
    for (int32_t c = 0; c < 3; ++c) {
        double residual = 0.0, start = 0.0;
        for (int32_t j = 0; j < system.rhs.count; ++j) {
            const double r = system.rhs.at(j, c) - product.at(j, c);
            residual += r * r;
            start += system.rhs.at(j, c) * system.rhs.at(j, c);
        }
        EXPECT_LE(std::sqrt(residual), 1e-3 * std::sqrt(start)) << "column " << c;
        EXPECT_GT(std::sqrt(residual), 1e-7 * std::sqrt(start)) << "column " << c;
    }
}

TEST(StencilSolve, ResultsDoNotDependOnTheThreadCount) {
    const TestSystem system = leastSquaresSystem(64, 32, 48, 40, 17);
    const int32_t saved = omp_get_max_threads();
    for (StudiedPreconditioner kind : allPreconditioners) {
        StudiedSolveOptions options;
        options.preconditioner = kind;
        std::vector<double> first;
        int32_t firstIterations = -1;
        for (int32_t threads : {1, 2, 3}) {
            omp_set_num_threads(threads);
            DenseBlock x;
            createBlock(x, system.rhs.count, 3);
            IterativeSolveStats statistics;
            std::string error;
            ASSERT_TRUE(solveStencilWith(system.matrix, x, system.rhs, options, statistics, error)) << error;
            const std::vector<double> values(x.values.begin(), x.values.end());
            if (firstIterations < 0) {
                first = values;
                firstIterations = statistics.iterations;
            } else {
                EXPECT_EQ(statistics.iterations, firstIterations) << threads << " threads";
                EXPECT_TRUE(values == first) << threads << " threads, kind " << static_cast<int>(kind);
            }
        }
    }
    omp_set_num_threads(saved);
}

TEST(StencilSolve, RefusesNonFiniteValuesAndIndefiniteMatrices) {
    const TestSystem system = leastSquaresSystem(8, 8, 6, 8, 3);
    StencilSolverOptions options;
    IterativeSolveStats statistics;
    std::string error;
    DenseBlock x;
    createBlock(x, system.rhs.count, 3);

    DenseBlock rhs = system.rhs;
    rhs.at(5, 1) = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(solveStencil(system.matrix, x, rhs, options, statistics, error));
    EXPECT_NE(error.find("not finite (column 1)"), std::string::npos) << error;

    StencilMatrix matrix = system.matrix;
    stencilAt(matrix, 3, 2, stencilNorth) = std::numeric_limits<double>::infinity();
    error.clear();
    EXPECT_FALSE(solveStencil(matrix, x, system.rhs, options, statistics, error));
    EXPECT_NE(error.find("matrix entry is not finite (unknown 19)"), std::string::npos) << error;

    DenseBlock start = x;
    start.at(0, 0) = std::numeric_limits<double>::infinity();
    error.clear();
    EXPECT_FALSE(solveStencil(system.matrix, start, system.rhs, options, statistics, error));
    EXPECT_NE(error.find("not finite"), std::string::npos) << error;

    // A negative diagonal is caught by every preconditioner's set-up.
    matrix = system.matrix;
    stencilAt(matrix, 1, 1, stencilCentre) = -1.0;
    for (StudiedPreconditioner kind : allPreconditioners) {
        StudiedSolveOptions studied;
        studied.preconditioner = kind;
        error.clear();
        EXPECT_FALSE(solveStencilWith(matrix, x, system.rhs, studied, statistics, error)) << static_cast<int>(kind);
        EXPECT_FALSE(error.empty());
    }
}

// A cap, or a bound finer than arithmetic can prove, ends the solve without failing it: the result is the last
// iterate, and the bound that the statistics give for it holds.
TEST(StencilSolve, CapsAndUnreachableBoundsEndUnprovedWithAnHonestBound) {
    const TestSystem system = leastSquaresSystem(32, 32, 24, 16, 8);
    const DenseBlock exact = directSolution(system.matrix, system.rhs);
    StudiedSolveOptions capped;
    capped.preconditioner = StudiedPreconditioner::jacobi;
    capped.stencil.iterations.maxIterations = 2;
    DenseBlock x;
    createBlock(x, system.rhs.count, 3);
    IterativeSolveStats statistics;
    std::string error;
    ASSERT_TRUE(solveStencilWith(system.matrix, x, system.rhs, capped, statistics, error)) << error;
    EXPECT_FALSE(statistics.proved);
    EXPECT_STREQ(statistics.ending, "the iteration cap");
    EXPECT_EQ(statistics.iterations, 2);
    EXPECT_GT(statistics.errorBound, capped.stencil.iterations.maxError);
    EXPECT_LE(largestDifference(x, exact), statistics.errorBound);

    // A bound far below the rounding of b - M x: as close as arithmetic allows, and said so.
    StencilSolverOptions options;
    options.iterations.maxIterations = 2000;
    options.iterations.maxError = 1e-22;
    createBlock(x, system.rhs.count, 3);
    ASSERT_TRUE(solveStencil(system.matrix, x, system.rhs, options, statistics, error)) << error;
    EXPECT_FALSE(statistics.proved);
    EXPECT_STREQ(statistics.ending, "the residual's rounding");
    EXPECT_LT(statistics.iterations, 2000);
    EXPECT_LE(largestDifference(x, exact), std::max(statistics.errorBound, 1e-12));
}

// The stopping tests read b - M x summed in long double where a double sum's rounding would hide the bound: with
// lambda maxError set to half the double residual's rounding margin at the solution, only the precise residual can
// prove the bound, and it does; the bound holds.
TEST(StencilSolve, BoundsBelowTheDoubleResidualsRoundingAreProvedThroughThePreciseOne) {
    const TestSystem system = leastSquaresSystem(64, 64, 64, 64, 12);
    const DenseBlock exact = directSolution(system.matrix, system.rhs);
    GrowArray<double> rowSums;
    resize(rowSums, system.rhs.count);
    for (int32_t j = 0; j < rowSums.count; ++j) {
        StencilRow row;
        stencilRow(system.matrix, j % 64, j / 64, row);
        rowSums.items[j] = 0.0;
        for (double value : row.values) rowSums.items[j] += std::abs(value);
    }
    ConjugateGradientOptions plain;
    setResidualRounding(plain, rowSums, 10);
    double largestMargin = 0.0;
    for (int32_t k = 0; k < 3; ++k) {
        double xNorm = 0.0, xLargest = 0.0, bNorm = 0.0;
        for (int32_t i = 0; i < exact.count; ++i) {
            xNorm += exact.at(i, k) * exact.at(i, k);
            xLargest = std::max(xLargest, std::abs(exact.at(i, k)));
            bNorm += system.rhs.at(i, k) * system.rhs.at(i, k);
        }
        largestMargin = std::max(largestMargin,
                                 residualRoundingBound(plain.rounding, std::sqrt(bNorm), std::sqrt(xNorm), xLargest, 0.0));
    }
    StencilSolverOptions options;
    options.iterations.maxError = 0.5 * largestMargin / options.iterations.lowestEigenvalue;
    DenseBlock x;
    createBlock(x, system.rhs.count, 3);
    IterativeSolveStats statistics;
    std::string error;
    ASSERT_TRUE(solveStencil(system.matrix, x, system.rhs, options, statistics, error)) << error;
    EXPECT_TRUE(statistics.proved) << statistics.errorBound << " " << options.iterations.maxError;
    EXPECT_LE(largestDifference(x, exact), options.iterations.maxError + 1e-15);
}

// A start that already meets the rule is returned unchanged, with no iteration.
TEST(StencilSolve, ExactStartTakesNoIteration) {
    const TestSystem system = leastSquaresSystem(16, 16, 16, 16, 4);
    DenseBlock x = directSolution(system.matrix, system.rhs);
    const DenseBlock start = x;
    StencilSolverOptions options;
    IterativeSolveStats statistics;
    std::string error;
    ASSERT_TRUE(solveStencil(system.matrix, x, system.rhs, options, statistics, error)) << error;
    EXPECT_EQ(statistics.iterations, 0);
    EXPECT_EQ(largestDifference(x, start), 0.0);
}

// The face preconditioner of a bounded solve: IC(0) of M with the held unknowns' couplings removed. On a face whose
// free unknowns form an open path along one grid row the face matrix is tridiagonal there, where IC(0) has no
// fill-in and is exact, so it must return A_FF^-1 r whatever r holds at the held unknowns; every column, fitted and
// solved beside the others, gives at its free unknowns the bits it gives alone (also one with nothing free).
TEST(StencilFacePreconditioner, SolvesAPathFaceExactlyAndKeepsEveryColumnToItsFace) {
    const int32_t w = 9, h = 8, n = w * h;
    const TestSystem system = leastSquaresSystem(w, h, w, w, 6);
    const Dense dense = denseOf(system.matrix);
    std::mt19937 random(8);
    std::bernoulli_distribution coin(0.7);
    GrowArray<uint8_t> free;
    resize(free, 4 * n);
    for (int32_t j = 0; j < n; ++j) {
        free.items[j] = j / w == 3 && j % w < w - 1;  // row 3 but its last texel: a path
        free.items[n + j] = coin(random);
        free.items[2 * n + j] = free.items[n + j];
        free.items[3 * n + j] = 0;
    }
    StencilFacePreconditioner face;
    std::string error;
    ASSERT_TRUE(fitStencilFacePreconditioner(system.matrix, StencilSolverOptions(), free.items, n, 4, 0.0, face, error))
        << error;
    EXPECT_EQ(face.builds, 1);
    const DenseBlock r = randomBlock(n, 4, 9);
    DenseBlock z;
    applyStencilFacePreconditioner(face, r, z);

    // The path: A_FF z_F = r_F by dense elimination.
    std::vector<int32_t> path;
    for (int32_t j = 0; j < n; ++j) {
        if (free.items[j]) path.push_back(j);
    }
    const int32_t m = static_cast<int32_t>(path.size());
    Dense a(m, std::vector<double>(m + 1));
    for (int32_t i = 0; i < m; ++i) {
        for (int32_t k = 0; k < m; ++k) a[i][k] = dense[path[i]][path[k]];
        a[i][m] = r.at(path[i], 0);
    }
    for (int32_t p = 0; p < m; ++p) {
        for (int32_t i = p + 1; i < m; ++i) {
            const double factor = a[i][p] / a[p][p];
            for (int32_t k = p; k <= m; ++k) a[i][k] -= factor * a[p][k];
        }
    }
    std::vector<double> solution(m);
    for (int32_t i = m - 1; i >= 0; --i) {
        double sum = a[i][m];
        for (int32_t k = i + 1; k < m; ++k) sum -= a[i][k] * solution[k];
        solution[i] = sum / a[i][i];
    }
    for (int32_t i = 0; i < m; ++i) EXPECT_NEAR(z.at(path[i], 0), solution[i], 1e-9 * std::abs(solution[i]) + 1e-12);

    for (int32_t c = 0; c < 4; ++c) {
        StencilFacePreconditioner alone;
        ASSERT_TRUE(fitStencilFacePreconditioner(system.matrix, StencilSolverOptions(), free.items + c * n, n, 1, 0.0,
                                                 alone, error));
        DenseBlock one, solved;
        createBlock(one, n, 1);
        for (int32_t j = 0; j < n; ++j) one.at(j, 0) = r.at(j, c);
        applyStencilFacePreconditioner(alone, one, solved);
        for (int32_t j = 0; j < n; ++j) {
            if (free.items[c * n + j]) {
                EXPECT_EQ(z.at(j, c), solved.at(j, 0)) << "column " << c << " unknown " << j;
            }
        }
    }
}

// A face started from the whole matrix's incomplete Cholesky preconditioner (its order, pattern and kept lower
// triangle) fits and solves to the same bits as one that builds its own, on the first face and on a later one.
TEST(StencilFacePreconditioner, StartedFromTheMatrixsPreconditionerMatchesOneBuiltAlone) {
    const int32_t w = 12, h = 10, n = w * h;
    const TestSystem system = leastSquaresSystem(w, h, w, w, 11);
    StencilSolverOptions options;
    StencilPreconditionerData whole;
    whole.keepLower = true;
    std::string error;
    ASSERT_TRUE(buildStencilPreconditioner(system.matrix, options, whole, error)) << error;
    StencilFacePreconditioner started, alone;
    startStencilFacePreconditioner(started, std::move(whole));
    EXPECT_EQ(whole.factor.n, 0);
    std::mt19937 random(12);
    std::bernoulli_distribution coin(0.8);
    GrowArray<uint8_t> free;
    resize(free, 3 * n);
    const DenseBlock r = randomBlock(n, 3, 13);
    for (int32_t fit = 0; fit < 2; ++fit) {
        for (uint8_t& isFree : free) isFree = coin(random);
        ASSERT_TRUE(fitStencilFacePreconditioner(system.matrix, options, free.items, n, 3, 0.0, started, error)) << error;
        ASSERT_TRUE(fitStencilFacePreconditioner(system.matrix, options, free.items, n, 3, 0.0, alone, error)) << error;
        DenseBlock fromStarted, fromAlone;
        applyStencilFacePreconditioner(started, r, fromStarted);
        applyStencilFacePreconditioner(alone, r, fromAlone);
        EXPECT_EQ(largestDifference(fromStarted, fromAlone), 0.0) << "fit " << fit;
    }
    EXPECT_EQ(started.builds, 2);
}

// A face that moved by less than the tolerance keeps its factor; a larger move, or a zero tolerance, rebuilds it.
TEST(StencilFacePreconditioner, RefactorsOnlyWhenTheFaceMovedBeyondTheTolerance) {
    const int32_t w = 10, h = 10, n = w * h;
    const TestSystem system = leastSquaresSystem(w, h, w, w, 7);
    GrowArray<uint8_t> free;
    resize(free, n);
    for (int32_t j = 0; j < n; ++j) free.items[j] = j % 3 != 0;
    StencilFacePreconditioner face;
    std::string error;
    ASSERT_TRUE(fitStencilFacePreconditioner(system.matrix, StencilSolverOptions(), free.items, n, 1, 0.02, face, error));
    EXPECT_EQ(face.builds, 1);
    free.items[0] = 1;  // one unknown of a hundred: within 2%
    ASSERT_TRUE(fitStencilFacePreconditioner(system.matrix, StencilSolverOptions(), free.items, n, 1, 0.02, face, error));
    EXPECT_EQ(face.builds, 1);
    for (int32_t j = 3; j < 12; j += 3) free.items[j] = 1;
    ASSERT_TRUE(fitStencilFacePreconditioner(system.matrix, StencilSolverOptions(), free.items, n, 1, 0.02, face, error));
    EXPECT_EQ(face.builds, 2);
    free.items[0] = 0;
    ASSERT_TRUE(fitStencilFacePreconditioner(system.matrix, StencilSolverOptions(), free.items, n, 1, 0.0, face, error));
    EXPECT_EQ(face.builds, 3);
}

// A start of zeros takes b as its residual without a product, and gives the same iterates as a product would; a
// solve that stops on its updated residual spends one product per iteration and none on checks.
TEST(StencilSolve, ZeroStartsAndUpdatedResidualStopsSpendNoExtraProducts) {
    const TestSystem system = leastSquaresSystem(12, 12, 12, 12, 5);
    int32_t products = 0;
    const BlockOperator multiply = [&](const DenseBlock& in, DenseBlock& out) {
        ++products;
        multiplyStencil(system.matrix, in, out);
    };
    const BlockOperator identity = [](const DenseBlock& in, DenseBlock& out) { out = in; };
    ConjugateGradientOptions options;
    options.residualReduction = 1e-3;
    DenseBlock checked;
    createBlock(checked, system.rhs.count, system.rhs.columns);
    IterativeSolveStats statistics;
    std::string error;
    ASSERT_TRUE(conjugateGradients(multiply, identity, checked, system.rhs, options, statistics, error)) << error;
    EXPECT_GT(products, statistics.iterations);  // the stopping checks recompute b - A x

    products = 0;
    options.updatedResidualStops = true;
    DenseBlock updated;
    createBlock(updated, system.rhs.count, system.rhs.columns);
    ASSERT_TRUE(conjugateGradients(multiply, identity, updated, system.rhs, options, statistics, error)) << error;
    EXPECT_EQ(products, statistics.iterations);
    // Until its first check a column's iterates are the same either way; the rough target stops both near there.
    EXPECT_LT(largestDifference(checked, updated), 1e-2);
}
