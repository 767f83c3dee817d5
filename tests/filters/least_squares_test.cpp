// The least-squares filters' one solve path: the factorisation, the iterations that prove their bound (with the
// fallback where they cannot) and the bounded solve after either, on one small system.
#include "filters/least_squares.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

// A graph Laplacian over the wrapping 16 x 12 grid plus the regularisation (positive definite), and right-hand sides
// whose solution leaves [0, 1] in places.
struct SmallSystem {
    StencilMatrix matrix;
    DenseBlock rhs;
    SmallSystem() {
        createStencil(matrix, 16, 12);
        createBlock(rhs, 16 * 12, 3);
        for (int j = 0; j < 16 * 12; ++j) {
            matrix.coefficients[stencilCoefficientCount * j + stencilCentre] = 4.001 + 0.5 * (j % 5);
            matrix.coefficients[stencilCoefficientCount * j + stencilEast] = -1.0;
            matrix.coefficients[stencilCoefficientCount * j + stencilNorth] = -0.5 - 0.1 * (j % 3);
            for (int c = 0; c < 3; ++c) rhs.at(j, c) = std::sin(0.3 * j + c);
        }
    }
};

// The system as the solve path takes it; `maxIterations` above 0 caps every unconstrained iteration run.
LeastSquaresSystem asLeastSquares(const SmallSystem& small, int maxIterations = 0) {
    LeastSquaresSystem system;
    system.iterate = [&small, maxIterations](DenseBlock& x, const StencilSolverOptions& wanted,
                                             IterativeSolveStats& statistics, std::string& error) {
        StencilSolverOptions options = wanted;
        if (maxIterations > 0) options.iterations.maxIterations = maxIterations;
        return solveStencil(small.matrix, x, small.rhs, options, statistics, error);
    };
    system.iterateWithinBounds = [&small](DenseBlock& x, const StencilSolverOptions& options,
                                          const BoundedSolveOptions& bounds, IterativeSolveStats& statistics,
                                          BoundedSolveStats& bounded, std::string& error) {
        return solveStencilWithinBounds(small.matrix, x, small.rhs, options, bounds, statistics, bounded, error);
    };
    system.lowerTriangle = [&small](CompressedColumnMatrix& lower, bool) { stencilToCompressedColumn(small.matrix, lower); };
    return system;
}

DenseBlock exactSolution(const SmallSystem& small) {
    DenseBlock exact;
    SparseRowMatrix factored;
    stencilToCompressedColumn(small.matrix, factored.lower);
    SolverStats stats;
    std::string error;
    EXPECT_TRUE(solveByFactorisation(factored, exact, small.rhs, stats, error)) << error;
    return exact;
}

DenseBlock solved(const LeastSquaresSystem& system, const SmallSystem& small, LevelSolver solver, bool bounded,
                  LeastSquaresStats& stats) {
    DenseBlock x;
    createBlock(x, small.rhs.count, 3);
    std::string error;
    const ValueRange range;
    EXPECT_TRUE(solveLeastSquares(system, x, small.rhs, solver, bounded ? &range : nullptr, stats, error)) << error;
    return x;
}

}  // namespace

// Iterations that end without proving their bound (here capped at one) fall back to the exact factorisation and
// prove the bound from its solution; the statistics show both phases and the proof.
TEST(LeastSquares, UnprovedIterationsFallBackToTheFactorisation) {
    const SmallSystem small;
    const LeastSquaresSystem system = asLeastSquares(small, 1);
    LeastSquaresStats solve;
    const DenseBlock x = solved(system, small, LevelSolver::iterative, false, solve);
    EXPECT_TRUE(solve.solver.factorisationRan);
    EXPECT_TRUE(solve.solver.proved);
    EXPECT_EQ(solve.solver.iterations, 1);  // the capped one; the exact solution proves its bound at once
    const DenseBlock exact = exactSolution(small);
    for (int k = 0; k < x.values.count; ++k) EXPECT_NEAR(x.values[k], exact.values[k], 1e-4);
}

// Both solvers give the exact solution within the bound; with bounds, both give one minimiser within [0, 1], and
// the statistics name the phases that ran.
TEST(LeastSquares, BothSolversAgreeWithAndWithoutBounds) {
    const SmallSystem small;
    const LeastSquaresSystem system = asLeastSquares(small);
    const DenseBlock exact = exactSolution(small);
    LeastSquaresStats direct, iterative;
    const DenseBlock byFactor = solved(system, small, LevelSolver::direct, false, direct);
    const DenseBlock byIterations = solved(system, small, LevelSolver::iterative, false, iterative);
    EXPECT_TRUE(direct.solver.factorisationRan);
    EXPECT_FALSE(direct.solver.iterationsRan);
    EXPECT_TRUE(iterative.solver.iterationsRan && iterative.solver.proved);
    EXPECT_FALSE(direct.bounds.ran || iterative.bounds.ran);
    bool leavesTheBox = false;
    for (int k = 0; k < exact.values.count; ++k) {
        EXPECT_NEAR(byFactor.values[k], exact.values[k], 1e-9);
        EXPECT_NEAR(byIterations.values[k], exact.values[k], 1e-4);
        leavesTheBox = leavesTheBox || exact.values[k] < 0 || exact.values[k] > 1;
    }
    ASSERT_TRUE(leavesTheBox);

    LeastSquaresStats directBounded, iterativeBounded;
    const DenseBlock a = solved(system, small, LevelSolver::direct, true, directBounded);
    const DenseBlock b = solved(system, small, LevelSolver::iterative, true, iterativeBounded);
    EXPECT_TRUE(directBounded.bounds.ran && directBounded.bounds.proved);
    EXPECT_TRUE(iterativeBounded.bounds.ran && iterativeBounded.bounds.proved);
    EXPECT_GT(directBounded.bounds.heldShare, 0.0);
    EXPECT_EQ(directBounded.held.count, a.count);
    for (int k = 0; k < a.values.count; ++k) {
        EXPECT_GE(a.values[k], 0.0);
        EXPECT_LE(a.values[k], 1.0);
        EXPECT_NEAR(a.values[k], b.values[k], 2e-4);
    }
}
