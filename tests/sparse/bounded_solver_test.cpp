// The bounded solve against independent dense oracles: on small random SPD systems its result meets the optimality
// conditions of min 1/2 x'Ax - b'x over the box and equals both the exhaustive active-set enumeration (tiny
// systems) and projected Gauss-Seidel run to convergence, column by column; the promised error bound holds;
// failures are reported.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "sparse/bounded_solver.h"
#include "sparse/dense_cholesky.h"

namespace {

using Dense = std::vector<std::vector<double>>;

// A random SPD matrix M = G'G / n + shift I with eigenvalues >= shift, off-diagonal couplings of either sign.
Dense randomSpd(int32_t n, double shift, std::mt19937& random) {
    std::normal_distribution<double> normal(0.0, 1.0);
    Dense g(n, std::vector<double>(n));
    for (auto& row : g)
        for (double& v : row) v = normal(random);
    Dense a(n, std::vector<double>(n, 0.0));
    for (int32_t i = 0; i < n; ++i)
        for (int32_t j = 0; j < n; ++j) {
            for (int32_t k = 0; k < n; ++k) a[i][j] += g[k][i] * g[k][j] / n;
            if (i == j) a[i][j] += shift;
        }
    return a;
}

BlockOperator denseOperator(const Dense& a) {
    return [&a](const DenseBlock& x, DenseBlock& y) {
        if (y.count != x.count || y.columns != x.columns) createBlock(y, x.count, x.columns);
        for (int32_t k = 0; k < x.columns; ++k)
            for (int32_t i = 0; i < x.count; ++i) {
                double sum = 0.0;
                for (int32_t j = 0; j < x.count; ++j) sum += a[i][j] * x.at(j, k);
                y.at(i, k) = sum;
            }
    };
}

// The inverse diagonal: a preconditioner unrelated to the couplings.
BlockOperator jacobi(const Dense& a) {
    return [&a](const DenseBlock& r, DenseBlock& z) {
        if (z.count != r.count || z.columns != r.columns) createBlock(z, r.count, r.columns);
        for (int32_t k = 0; k < r.columns; ++k)
            for (int32_t i = 0; i < r.count; ++i) z.at(i, k) = r.at(i, k) / a[i][i];
    };
}

double objective(const Dense& a, const std::vector<double>& b, const std::vector<double>& x) {
    double value = 0.0;
    for (size_t i = 0; i < x.size(); ++i) {
        double row = 0.0;
        for (size_t j = 0; j < x.size(); ++j) row += a[i][j] * x[j];
        value += 0.5 * x[i] * row - b[i] * x[i];
    }
    return value;
}

// Projected Gauss-Seidel: exact minimisation along one coordinate at a time, clamped into the box. For an SPD
// matrix it converges to the unique minimiser; run until a sweep moves nothing by more than 1e-15.
std::vector<double> projectedGaussSeidel(const Dense& a, const std::vector<double>& b, double lower, double upper) {
    const size_t n = b.size();
    std::vector<double> x(n, 0.0);
    for (int sweep = 0; sweep < 1000000; ++sweep) {
        double moved = 0.0;
        for (size_t i = 0; i < n; ++i) {
            double rest = b[i];
            for (size_t j = 0; j < n; ++j)
                if (j != i) rest -= a[i][j] * x[j];
            const double value = std::min(upper, std::max(lower, rest / a[i][i]));
            moved = std::max(moved, std::abs(value - x[i]));
            x[i] = value;
        }
        if (moved < 1e-15) break;
    }
    return x;
}

// Every assignment of each unknown to lower, upper or free: the free ones solve their rows with the others fixed,
// and among the assignments whose solution lies in the box the one of least objective is the minimiser.
std::vector<double> enumerateActiveSets(const Dense& a, const std::vector<double>& b, double lower, double upper) {
    const int32_t n = static_cast<int32_t>(b.size());
    int32_t patterns = 1;
    for (int32_t i = 0; i < n; ++i) patterns *= 3;
    std::vector<double> best;
    double bestValue = INFINITY;
    for (int32_t pattern = 0; pattern < patterns; ++pattern) {
        std::vector<int32_t> state(n), freeUnknowns;
        std::vector<double> x(n, 0.0);
        for (int32_t i = 0, p = pattern; i < n; ++i, p /= 3) {
            state[i] = p % 3;
            if (state[i] == 0) x[i] = lower;
            else if (state[i] == 1) x[i] = upper;
            else freeUnknowns.push_back(i);
        }
        const int32_t m = static_cast<int32_t>(freeUnknowns.size());
        if (m > 0) {
            GrowArray<double> factor;
            resize(factor, m * m);
            DenseBlock rhs, solution;
            createBlock(rhs, m, 1);
            for (int32_t r = 0; r < m; ++r) {
                double side = b[freeUnknowns[r]];
                for (int32_t j = 0; j < n; ++j)
                    if (state[j] != 2) side -= a[freeUnknowns[r]][j] * x[j];
                rhs.at(r, 0) = side;
                for (int32_t c = 0; c < m; ++c) factor.items[c * m + r] = a[freeUnknowns[r]][freeUnknowns[c]];
            }
            if (!denseCholesky(factor, m)) continue;
            denseCholeskySolve(factor, rhs, solution);
            bool inside = true;
            for (int32_t r = 0; r < m; ++r) {
                x[freeUnknowns[r]] = solution.at(r, 0);
                inside = inside && solution.at(r, 0) >= lower - 1e-12 && solution.at(r, 0) <= upper + 1e-12;
            }
            if (!inside) continue;
        }
        const double value = objective(a, b, x);
        if (value < bestValue) bestValue = value, best = x;
    }
    return best;
}

struct Problem {
    Dense a;
    DenseBlock b;
};

// Right-hand sides A t with targets t spread over [-0.6, 1.6], so that a good share of the minimiser sits on each
// bound and the rest inside.
Problem randomProblem(int32_t n, int32_t columns, double shift, uint32_t seed) {
    std::mt19937 random(seed);
    Problem problem;
    problem.a = randomSpd(n, shift, random);
    std::uniform_real_distribution<double> target(-0.6, 1.6);
    createBlock(problem.b, n, columns);
    for (int32_t k = 0; k < columns; ++k) {
        std::vector<double> t(n);
        for (double& v : t) v = target(random);
        for (int32_t i = 0; i < n; ++i)
            for (int32_t j = 0; j < n; ++j) problem.b.at(i, k) += problem.a[i][j] * t[j];
    }
    return problem;
}

std::vector<double> column(const DenseBlock& block, int32_t k) {
    std::vector<double> values(block.count);
    for (int32_t i = 0; i < block.count; ++i) values[i] = block.at(i, k);
    return values;
}

BoundedSolveOptions optionsFor(double lowestEigenvalue) {
    BoundedSolveOptions options;
    options.iterations.lowestEigenvalue = lowestEigenvalue;
    options.iterations.maxError = 1e-9;
    options.iterations.rounding.gamma = 1e-14;
    options.iterations.rounding.largestRowSum = 1.0;
    return options;
}

// Solves from a start of zeros and checks each column: within the box, the optimality conditions (strictly inside
// with a gradient of about 0, on the lower bound with gradient >= 0, on the upper with gradient <= 0), the oracle's
// minimiser within the promised bound, and how many unknowns ended on a bound.
void expectMinimiser(const Problem& problem, const BoundedSolveOptions& options, bool enumerate, int32_t& onBounds) {
    const int32_t n = problem.b.count;
    DenseBlock x;
    createBlock(x, n, problem.b.columns);
    BoundedSolveStats statistics;
    std::string error;
    ASSERT_TRUE(solveBounded(denseOperator(problem.a), jacobi(problem.a), FaceChange(), x, problem.b, options, statistics, error))
        << error;
    EXPECT_LE(statistics.errorBound, options.iterations.maxError);
    const double tolerance = 1e-8;
    onBounds = 0;
    for (int32_t k = 0; k < x.columns; ++k) {
        const std::vector<double> b = column(problem.b, k), solved = column(x, k);
        const bool own = options.columnLower.count > 0;
        const double lower = own ? options.columnLower[k] : options.lower;
        const double upper = own ? options.columnUpper[k] : options.upper;
        for (int32_t i = 0; i < n; ++i) {
            double g = -b[i];
            for (int32_t j = 0; j < n; ++j) g += problem.a[i][j] * solved[j];
            ASSERT_GE(solved[i], lower);
            ASSERT_LE(solved[i], upper);
            if (solved[i] == lower) EXPECT_GE(g, -tolerance) << "column " << k << " unknown " << i;
            else if (solved[i] == upper) EXPECT_LE(g, tolerance) << "column " << k << " unknown " << i;
            else EXPECT_NEAR(g, 0.0, tolerance) << "column " << k << " unknown " << i;
            onBounds += solved[i] == lower || solved[i] == upper;
        }
        const std::vector<double> oracle = enumerate ? enumerateActiveSets(problem.a, b, lower, upper)
                                                     : projectedGaussSeidel(problem.a, b, lower, upper);
        ASSERT_EQ(oracle.size(), solved.size());
        for (int32_t i = 0; i < n; ++i) EXPECT_NEAR(solved[i], oracle[i], options.iterations.maxError) << "unknown " << i;
    }
}

}  // namespace

TEST(BoundedSolver, TinySystemsMatchTheExhaustiveActiveSetEnumeration) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        int32_t onBounds = 0;
        expectMinimiser(randomProblem(6, 2, 0.05, seed), optionsFor(0.05), true, onBounds);
        EXPECT_GT(onBounds, 0);
    }
}

// Larger systems, one of them badly conditioned (eigenvalues from 1e-3), against projected Gauss-Seidel; four
// columns with different active sets share every product.
TEST(BoundedSolver, LargerSystemsMatchProjectedGaussSeidelInEveryColumn) {
    for (uint32_t seed = 20; seed <= 23; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const double shift = seed == 23 ? 1e-3 : 0.02;
        int32_t onBounds = 0;
        expectMinimiser(randomProblem(60, 4, shift, seed), optionsFor(shift), false, onBounds);
        EXPECT_GT(onBounds, 4 * 60 / 10);
        EXPECT_LT(onBounds, 4 * 60);
    }
}

TEST(BoundedSolver, OtherBoundsAreKeptAlike) {
    BoundedSolveOptions options = optionsFor(0.05);
    options.lower = -0.25;
    options.upper = 0.5;
    int32_t onBounds = 0;
    expectMinimiser(randomProblem(6, 1, 0.05, 40), options, true, onBounds);
    EXPECT_GT(onBounds, 0);
}

// A normal map's three vector components within [-1, 1] beside its alpha within [0, 1], in one solve: each column
// is the minimiser within its own bounds, and the alpha column alone reaches 0 (the targets reach -0.6).
TEST(BoundedSolver, EachColumnKeepsItsOwnBounds) {
    BoundedSolveOptions options = optionsFor(0.02);
    for (int32_t k = 0; k < 4; ++k) {
        append(options.columnLower, k == 3 ? 0.0 : -1.0);
        append(options.columnUpper, 1.0);
    }
    const Problem problem = randomProblem(60, 4, 0.02, 41);
    int32_t onBounds = 0;
    expectMinimiser(problem, options, false, onBounds);
    EXPECT_GT(onBounds, 0);
}

// An unconstrained minimiser inside the box is left where it is, with no step; a start outside is projected first
// and the result never has a larger objective than that projected start.
TEST(BoundedSolver, AnInteriorMinimiserTakesNoStepAndEveryResultBeatsTheProjectedStart) {
    const Problem problem = randomProblem(30, 1, 0.05, 50);
    // The right-hand side of the interior point 0.3 + 0.4 u, u in [0, 1).
    std::mt19937 random(51);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> inside(30);
    for (double& v : inside) v = 0.3 + 0.4 * unit(random);
    DenseBlock b, x;
    createBlock(b, 30, 1);
    createBlock(x, 30, 1);
    for (int32_t i = 0; i < 30; ++i) {
        for (int32_t j = 0; j < 30; ++j) b.at(i, 0) += problem.a[i][j] * inside[j];
        x.at(i, 0) = inside[i];
    }
    BoundedSolveStats statistics;
    std::string error;
    ASSERT_TRUE(solveBounded(denseOperator(problem.a), jacobi(problem.a), FaceChange(), x, b, optionsFor(0.05), statistics, error));
    EXPECT_EQ(statistics.steps, 0);
    EXPECT_EQ(statistics.heldCount, 0);
    for (int32_t i = 0; i < 30; ++i) EXPECT_EQ(x.at(i, 0), inside[i]);

    // From the unconstrained solution, far outside, projected.
    const std::vector<double> rhs = column(problem.b, 0);
    std::vector<double> start(30);
    DenseBlock fromOutside;
    createBlock(fromOutside, 30, 1);
    for (int32_t i = 0; i < 30; ++i) fromOutside.at(i, 0) = 3.0 * unit(random) - 1.0;
    for (int32_t i = 0; i < 30; ++i) start[i] = std::min(1.0, std::max(0.0, fromOutside.at(i, 0)));
    ASSERT_TRUE(solveBounded(denseOperator(problem.a), jacobi(problem.a), FaceChange(), fromOutside, problem.b, optionsFor(0.05),
                             statistics, error));
    EXPECT_LT(objective(problem.a, rhs, column(fromOutside, 0)), objective(problem.a, rhs, start));
    EXPECT_GT(statistics.heldCount, 0);
    EXPECT_GT(statistics.steps, 0);
}

TEST(BoundedSolver, FailuresAreReportedAndCapsEndWithTheBestIterate) {
    const Problem problem = randomProblem(8, 1, 0.05, 60);
    DenseBlock x, b = problem.b;
    createBlock(x, 8, 1);
    BoundedSolveStats statistics;
    std::string error;
    b.at(3, 0) = NAN;
    EXPECT_FALSE(solveBounded(denseOperator(problem.a), jacobi(problem.a), FaceChange(), x, b, optionsFor(0.05), statistics, error));
    EXPECT_NE(error.find("not finite"), std::string::npos) << error;

    // No step allowed: the projected start stands, feasible, and the statistics say the bound was not proved.
    BoundedSolveOptions options = optionsFor(0.05);
    options.maxSteps = 0;
    createBlock(x, 8, 1);
    ASSERT_TRUE(solveBounded(denseOperator(problem.a), jacobi(problem.a), FaceChange(), x, problem.b, options, statistics, error));
    EXPECT_FALSE(statistics.proved);
    EXPECT_STREQ(statistics.stop, "the step cap");
    EXPECT_GT(statistics.errorBound, options.iterations.maxError);

    // A face-iteration budget ends the solve alike, with the best iterate: never worse than the projected start.
    options = optionsFor(0.05);
    options.maxIterations = 1;
    createBlock(x, 8, 1);
    ASSERT_TRUE(solveBounded(denseOperator(problem.a), jacobi(problem.a), FaceChange(), x, problem.b, options, statistics, error));
    EXPECT_FALSE(statistics.proved);
    EXPECT_STREQ(statistics.stop, "the iteration cap");
    EXPECT_LE(statistics.iterations, 1);
    EXPECT_LE(objective(problem.a, column(problem.b, 0), column(x, 0)),
              objective(problem.a, column(problem.b, 0), std::vector<double>(8, 0.0)));
    for (int32_t i = 0; i < 8; ++i) EXPECT_TRUE(x.at(i, 0) >= 0.0 && x.at(i, 0) <= 1.0);

    // A wanted error below what the gradient's rounding allows: as close as arithmetic allows, and said so.
    options = optionsFor(0.05);
    options.iterations.maxError = 1e-20;
    createBlock(x, 8, 1);
    ASSERT_TRUE(solveBounded(denseOperator(problem.a), jacobi(problem.a), FaceChange(), x, problem.b, options, statistics, error));
    EXPECT_FALSE(statistics.proved);
    EXPECT_STREQ(statistics.stop, "the gradient's rounding");
}
