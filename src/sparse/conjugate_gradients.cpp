// Preconditioned conjugate gradients, one independent recurrence per column, the columns batched so
// that every operator application and vector pass serves all of them.
#include "sparse/conjugate_gradients.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdio>

#include "base/clock.h"
#include "base/parallel.h"

// Rows per partial sum: the chunks, not the threads, fix the order of every addition.
static constexpr int32_t reductionChunk = 4096;

static int32_t chunkCount(int32_t n) { return (n + reductionChunk - 1) / reductionChunk; }

// sums[k] = sum of the chunk partials of column k, in chunk order.
static void addPartials(const GrowArray<double>& partials, int32_t columns, GrowArray<double>& sums) {
    const int32_t chunks = partials.count / std::max(columns, 1);
    for (int32_t k = 0; k < columns; ++k) {
        double sum = 0.0;
        for (int32_t c = 0; c < chunks; ++c) sum += partials.items[c * columns + k];
        sums.items[k] = sum;
    }
}

void columnDotProducts(const DenseBlock& a, const DenseBlock& b, GrowArray<double>& sums) {
    assert(a.count == b.count && a.columns == b.columns);
    const int32_t n = a.count, columns = a.columns, chunks = chunkCount(n);
    GrowArray<double> partials;
    resize(partials, chunks * columns);
    resize(sums, columns);
#pragma omp parallel for schedule(static) if (worthThreads(n))
    for (int32_t c = 0; c < chunks; ++c) {
        const int32_t end = std::min(n, (c + 1) * reductionChunk);
        for (int32_t k = 0; k < columns; ++k) {
            const double* u = a.values.items + static_cast<int64_t>(k) * n;
            const double* v = b.values.items + static_cast<int64_t>(k) * n;
            double sum = 0.0;
            for (int32_t i = c * reductionChunk; i < end; ++i) sum += u[i] * v[i];
            partials.items[c * columns + k] = sum;
        }
    }
    addPartials(partials, columns, sums);
}

// r = b - A x for every column, and the squared norms of r's columns.
static void trueResidual(const BlockOperator& multiply, const DenseBlock& x, const DenseBlock& b, DenseBlock& r,
                         GrowArray<double>& squaredNorms) {
    multiply(x, r);
    const int64_t size = r.values.count;
#pragma omp parallel for schedule(static) if (worthThreads(size))
    for (int64_t i = 0; i < size; ++i) r.values.items[i] = b.values.items[i] - r.values.items[i];
    columnDotProducts(r, r, squaredNorms);
}

static bool allFinite(const DenseBlock& block, int32_t& column) {
    for (int32_t k = 0; k < block.columns; ++k) {
        for (int32_t i = 0; i < block.count; ++i) {
            if (!std::isfinite(block.at(i, k))) {
                column = k;
                return false;
            }
        }
    }
    return true;
}

// Stopping rule. For a symmetric A whose eigenvalues are all >= lambda, the error e = x - x* of
// an iterate solves A e = -r with r = b - A x, so
//   max_j |e_j| <= ||e||_2 <= ||A^-1||_2 ||r||_2 <= ||r||_2 / lambda.
// The residual is recomputed as b - A x rather than taken from the recurrence (which drifts from
// it in floating point), and its own rounding is counted: the caller bounds it by
//   ||fl(b - A x) - (b - A x)||_2 <= residualRounding (||b||_2 + ||x||_2),
// so a column stops once ||fl(b - A x)||_2 + residualRounding (||b||_2 + ||x||_2) <= lambda maxError,
// and then max_j |x_j - x*_j| <= maxError holds for the x returned.
bool conjugateGradients(const BlockOperator& multiply, const BlockOperator& precondition, DenseBlock& x,
                        const DenseBlock& b, const ConjugateGradientOptions& options,
                        IterativeSolveStatistics& statistics, std::string& error,
                        ConjugateGradientWork* work) {
    assert(x.count == b.count && x.columns == b.columns);
    assert(options.lowestEigenvalue > 0.0 && options.maxError > 0.0);
    const double start = wallClockSeconds();
    const int32_t n = b.count, columns = b.columns;
    statistics.iterations = 0;
    statistics.restarts = 0;
    int32_t bad = 0;
    if (!allFinite(b, bad) || !allFinite(x, bad)) {
        error = "the solver failed: a right-hand side or start value is not finite (column " +
                std::to_string(bad) + ")";
        return false;
    }
    GrowArray<double> rhsSquared, solutionSquared, bounds, targets;
    columnDotProducts(b, b, rhsSquared);
    resize(bounds, columns);
    // The residual's rounding margin for column k at the current x.
    auto margin = [&](int32_t k) {
        return options.residualRounding * (std::sqrt(rhsSquared.items[k]) + std::sqrt(solutionSquared.items[k]));
    };

    ConjugateGradientWork own;
    ConjugateGradientWork& blocks = work ? *work : own;
    DenseBlock &r = blocks.r, &z = blocks.z, &p = blocks.p, &q = blocks.q;
    GrowArray<double> residualSquared, rho, nextRho, curvature;
    GrowArray<uint8_t> active, restart;
    resize(rho, columns);
    resize(active, columns);
    resize(restart, columns);
    // From x = 0 the residual is b itself, exactly as b - A 0 would give it.
    bool zeroStart = true;
    for (int64_t e = 0; e < x.values.count && zeroStart; ++e) zeroStart = x.values.items[e] == 0.0;
    if (zeroStart) {
        copyBlock(r, b);
        columnDotProducts(r, r, residualSquared);
    } else {
        trueResidual(multiply, x, b, r, residualSquared);
    }
    columnDotProducts(x, x, solutionSquared);
    // A column's residual target: what bounds its error by maxError, or for a rougher start the starting residual
    // cut by the wanted factor, whichever is larger.
    resize(targets, columns);
    for (int32_t k = 0; k < columns; ++k) {
        targets.items[k] = std::max(options.lowestEigenvalue * options.maxError,
                                    options.residualReduction * std::sqrt(residualSquared.items[k]));
    }
    int32_t activeCount = 0;
    for (int32_t k = 0; k < columns; ++k) {
        const double target = targets.items[k];
        bounds.items[k] = (std::sqrt(residualSquared.items[k]) + margin(k)) / options.lowestEigenvalue;
        if (margin(k) >= 0.5 * target) {
            error = "the solver failed: the wanted error is below the rounding of the residual (column " +
                    std::to_string(k) + ")";
            return false;
        }
        active.items[k] = std::sqrt(residualSquared.items[k]) + margin(k) > target;
        restart.items[k] = 1;
        activeCount += active.items[k];
    }
    shapeBlock(p, n, columns);
    zeroBlock(p);
    GrowArray<double> alpha, beta;
    resize(alpha, columns);
    resize(beta, columns);

    auto fail = [&](const std::string& what) {
        error = "the solver failed: " + what;
        statistics.solveSeconds = wallClockSeconds() - start;
        return false;
    };

    int32_t iteration = 0;
    while (activeCount > 0) {
        if (iteration >= options.maxIterations) {
            double worst = 0.0;
            for (int32_t k = 0; k < columns; ++k) worst = std::max(worst, std::sqrt(residualSquared.items[k]));
            char text[160];
            double wanted = 0.0;
            for (int32_t k = 0; k < columns; ++k) wanted = std::max(wanted, targets.items[k]);
            std::snprintf(text, sizeof text, "no convergence in %d iterations (residual %.3g, wanted %.3g)",
                          iteration, worst, wanted);
            statistics.iterations = iteration;
            statistics.residualNorm = worst;
            statistics.errorBound = worst / options.lowestEigenvalue;  // the rounding margin left out
            return fail(text);
        }
        // z = C^-1 r; p = z + beta p, with beta = 0 on a (re)start. Settled columns keep p = 0.
        precondition(r, z);
        columnDotProducts(r, z, nextRho);
        for (int32_t k = 0; k < columns; ++k) {
            if (!active.items[k]) {
                beta.items[k] = 0.0;
                continue;
            }
            if (!(nextRho.items[k] > 0.0) || !std::isfinite(nextRho.items[k]))
                return fail("the preconditioner is not positive definite or not finite (column " + std::to_string(k) +
                            ", iteration " + std::to_string(iteration) + ")");
            beta.items[k] = restart.items[k] ? 0.0 : nextRho.items[k] / rho.items[k];
            rho.items[k] = nextRho.items[k];
            restart.items[k] = 0;
        }
#pragma omp parallel for schedule(static) if (worthThreads(n))
        for (int32_t i = 0; i < n; ++i) {
            for (int32_t k = 0; k < columns; ++k) {
                const int64_t e = i + static_cast<int64_t>(k) * n;
                p.values.items[e] = active.items[k] ? z.values.items[e] + beta.items[k] * p.values.items[e] : 0.0;
            }
        }
        // q = A p; alpha = rho / p'q; x += alpha p; r -= alpha q.
        multiply(p, q);
        columnDotProducts(p, q, curvature);
        for (int32_t k = 0; k < columns; ++k) {
            if (!active.items[k]) {
                alpha.items[k] = 0.0;
                continue;
            }
            if (!(curvature.items[k] > 0.0) || !std::isfinite(curvature.items[k]))
                return fail("the matrix is not positive definite or not finite (column " + std::to_string(k) +
                            ", iteration " + std::to_string(iteration) + ")");
            alpha.items[k] = rho.items[k] / curvature.items[k];
        }
#pragma omp parallel for schedule(static) if (worthThreads(n))
        for (int32_t i = 0; i < n; ++i) {
            for (int32_t k = 0; k < columns; ++k) {
                const int64_t e = i + static_cast<int64_t>(k) * n;
                x.values.items[e] += alpha.items[k] * p.values.items[e];
                r.values.items[e] -= alpha.items[k] * q.values.items[e];
            }
        }
        ++iteration;
        columnDotProducts(r, r, residualSquared);

        // A column whose updated residual meets the rule (with the margin of the last x known) is
        // checked against b - A x; if that is larger, it replaces the updated residual and the
        // column's recurrence restarts.
        auto mayStop = [&](int32_t k) {
            const double allowed = targets.items[k] - margin(k);
            return active.items[k] && residualSquared.items[k] <= allowed * allowed;
        };
        bool check = false;
        for (int32_t k = 0; k < columns; ++k) check |= mayStop(k);
        if (!check) continue;
        if (options.updatedResidualStops) {
            for (int32_t k = 0; k < columns; ++k) {
                if (!mayStop(k)) continue;
                bounds.items[k] = (std::sqrt(residualSquared.items[k]) + margin(k)) / options.lowestEigenvalue;
                active.items[k] = 0;
                --activeCount;
            }
            continue;
        }
        // q is free until the next product, so it holds b - A x.
        GrowArray<double> trueSquared;
        trueResidual(multiply, x, b, q, trueSquared);
        columnDotProducts(x, x, solutionSquared);
        for (int32_t k = 0; k < columns; ++k) {
            if (!mayStop(k)) continue;
            residualSquared.items[k] = trueSquared.items[k];
            bounds.items[k] = (std::sqrt(trueSquared.items[k]) + margin(k)) / options.lowestEigenvalue;
            if (std::sqrt(trueSquared.items[k]) + margin(k) <= targets.items[k]) {
                active.items[k] = 0;
                --activeCount;
            } else {
                restart.items[k] = 1;
                ++statistics.restarts;
            }
            for (int32_t i = 0; i < n; ++i) r.at(i, k) = q.at(i, k);
        }
    }
    int32_t column = 0;
    if (!allFinite(x, column)) return fail("a solution value is not finite (column " + std::to_string(column) + ")");

    // The final residuals and bounds are those of the last check (or of the start).
    double worst = 0.0, bound = 0.0;
    for (int32_t k = 0; k < columns; ++k) {
        worst = std::max(worst, std::sqrt(residualSquared.items[k]));
        bound = std::max(bound, bounds.items[k]);
    }
    statistics.iterations = iteration;
    statistics.residualNorm = worst;
    statistics.errorBound = bound;
    statistics.solveSeconds = wallClockSeconds() - start;
    return true;
}
