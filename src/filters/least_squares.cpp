// The least-squares filters' solve path: factorisation, proving iterations with their fallback, the bounded solve.
#include "filters/least_squares.h"

#include <utility>

#include "base/clock.h"

StencilSolverOptions iterationOptions() {
    StencilSolverOptions options;
    options.iterations.lowestEigenvalue = regularisationWeight;
    return options;
}

BoundedSolveOptions boundedOptions(const ValueRange& range, int32_t channels) {
    BoundedSolveOptions options;
    options.lower = range.lower;
    options.upper = range.upper;
    for (int32_t k = 0; k < channels; ++k) {
        append(options.columnLower, k == 3 ? 0.0 : range.lower);
        append(options.columnUpper, k == 3 ? 1.0 : range.upper);
    }
    options.iterations = iterationOptions().iterations;
    return options;
}

// Copies what an iterative solve did, and its seconds, into the solver statistics; `proving` tells whether the
// iterations were to prove their bound (not so for a bounded solve's start, which its own solve proves).
static void recordIterations(SolverStats& stats, const IterativeSolveStats& iterations, double seconds,
                             bool proving) {
    stats.iterationsRan = true;
    stats.startOfBoundedSolve = !proving;
    stats.iterationSeconds = seconds;
    stats.iterations = iterations.iterations;
    stats.residual = iterations.residualNorm;
    stats.proved = iterations.proved || !proving;
    stats.ending = iterations.ending;
    stats.neededResidual = iterations.neededResidual;
    stats.wantedError = iterationOptions().iterations.maxError;
}

// Copies what a bounded solve did into the bounds statistics, out of `texels` unknowns.
static void recordBounds(BoundsStats& stats, const BoundedSolveStats& bounded, int64_t texels) {
    stats.ran = true;
    stats.seconds = bounded.solveSeconds;
    stats.steps = bounded.steps;
    stats.iterations = bounded.iterations;
    stats.gradientSteps = bounded.gradientSteps;
    stats.heldShare = texels > 0 ? static_cast<double>(bounded.heldCount) / static_cast<double>(texels) : 0.0;
    stats.proved = bounded.proved;
    stats.ending = bounded.stop;
    stats.projectedGradient = bounded.projectedGradientNorm;
    stats.neededGradient = bounded.wantedGradientNorm;
    stats.wantedError = boundedOptions(ValueRange(), 3).iterations.maxError;
}

static bool factoriseAndSolve(const LeastSquaresSystem& system, bool lastUse, DenseBlock& x, const DenseBlock& rhs,
                              SolverStats& stats, std::string& error) {
    SparseRowMatrix factored;
    system.lowerTriangle(factored.lower, lastUse);
    return solveByFactorisation(factored, x, rhs, stats, error);
}

// The iteration settings, reporting their progress to the system's display as shares [from, to] of the solve.
static StencilSolverOptions reportingOptions(const LeastSquaresSystem& system, double from, double to) {
    StencilSolverOptions options = iterationOptions();
    if (system.progress) {
        options.iterations.progress = [&system, from, to](double share) { system.progress(from + (to - from) * share); };
    }
    return options;
}

// Conjugate gradients that prove their bound, with the factorisation (or a second run) where they end unproved.
static bool solveProvingBound(const LeastSquaresSystem& system, DenseBlock& x, const DenseBlock& rhs,
                              SolverStats& stats, std::string& error) {
    IterativeSolveStats iterations;
    double start = wallClockSeconds();
    if (!system.iterate(x, reportingOptions(system, 0.0, 1.0), iterations, error)) return false;
    recordIterations(stats, iterations, wallClockSeconds() - start, true);
    if (iterations.proved) return true;
    const int32_t ranBefore = iterations.iterations;
    if (x.count <= factorisationFallbackUnknowns && !factoriseAndSolve(system, false, x, rhs, stats, error)) return false;
    const double earlier = stats.iterationSeconds;
    start = wallClockSeconds();
    if (!system.iterate(x, reportingOptions(system, 0.0, 1.0), iterations, error)) return false;
    recordIterations(stats, iterations, earlier + wallClockSeconds() - start, true);
    stats.iterations += ranBefore;
    return true;
}

// The share of a bounded solve's time its unconstrained start takes, for the progress display: kivtric's
// coarse-to-fine start took 0.25 of its solve on the bundled sample, and 18 s of about two minutes on a 4096 x 4096
// texture.
static const double boundedStartShare = 0.2;

bool solveLeastSquares(const LeastSquaresSystem& system, DenseBlock& x, const DenseBlock& rhs, LevelSolver solver,
                       const ValueRange* bounds, LeastSquaresStats& stats, std::string& error) {
    stats.solver.start = system.start;
    const bool bounded = bounds != nullptr;
    if (solver == LevelSolver::direct) {
        if (!factoriseAndSolve(system, !bounded, x, rhs, stats.solver, error)) return false;
        if (!bounded) return true;
    } else if (!bounded) {
        return solveProvingBound(system, x, rhs, stats.solver, error);
    }
    IterativeSolveStats iterations;
    BoundedSolveStats within;
    const double start = wallClockSeconds();
    BoundedSolveOptions box = boundedOptions(*bounds, x.columns);
    if (system.progress) {
        if (solver == LevelSolver::direct) system.progress(boundedStartShare);
        box.progress = [&system](double share) { system.progress(boundedStartShare + (1 - boundedStartShare) * share); };
    }
    const bool solved = system.iterateWithinBounds(x, reportingOptions(system, 0.0, boundedStartShare), box,
                                                   iterations, within, error);
    const double end = wallClockSeconds();
    if (solver == LevelSolver::iterative)
        recordIterations(stats.solver, iterations, end - start - within.solveSeconds, false);
    recordBounds(stats.bounds, within, x.count);
    stats.held = std::move(within.held);
    return solved;
}
