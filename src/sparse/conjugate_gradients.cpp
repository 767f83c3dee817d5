// Preconditioned conjugate gradients, one independent recurrence per column, the columns batched so
// that every operator application and vector pass serves all of them.
#include "sparse/conjugate_gradients.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>

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

void columnLargest(const DenseBlock& a, GrowArray<double>& largest) {
    resize(largest, a.columns);
    for (int32_t k = 0; k < a.columns; ++k) {
        const double* v = a.values.items + static_cast<int64_t>(k) * a.count;
        double most = 0.0;
#pragma omp parallel for schedule(static) reduction(max : most) if (worthThreads(a.count))
        for (int32_t i = 0; i < a.count; ++i) most = std::max(most, std::abs(v[i]));
        largest.items[k] = most;
    }
}

void setResidualRounding(ConjugateGradientOptions& options, const GrowArray<double>& rowSums, int32_t termsPerRow) {
    const int32_t n = rowSums.count, chunks = chunkCount(n);
    GrowArray<double> partials;
    resize(partials, chunks);
    double largest = 0.0;
#pragma omp parallel for schedule(static) reduction(max : largest) if (worthThreads(n))
    for (int32_t c = 0; c < chunks; ++c) {
        double sum = 0.0;
        for (int32_t i = c * reductionChunk; i < std::min(n, (c + 1) * reductionChunk); ++i) {
            sum += rowSums.items[i] * rowSums.items[i];
            largest = std::max(largest, rowSums.items[i]);
        }
        partials.items[c] = sum;
    }
    double squares = 0.0;
    for (int32_t c = 0; c < chunks; ++c) squares += partials.items[c];
    // 1.01: the row sums and the norms are themselves computed, each within a few units of rounding.
    const double unitRoundoff = std::ldexp(1.0, -53), m = termsPerRow;
    const double extendedRoundoff = 0.5 * static_cast<double>(std::numeric_limits<long double>::epsilon());
    for (ResidualRounding* rounding : {&options.rounding, &options.preciseRounding}) {
        const double roundoff = rounding == &options.rounding ? unitRoundoff : extendedRoundoff;
        rounding->gamma = 1.01 * m * roundoff / (1.0 - m * roundoff);
        rounding->relative = rounding == &options.rounding ? 0.0 : 1.01 * unitRoundoff;
        rounding->largestRowSum = largest;
        rounding->rowSumNorm = 1.01 * std::sqrt(squares);
    }
}

double residualRoundingBound(const ResidualRounding& rounding, double rhsNorm, double solutionNorm,
                             double solutionLargest, double residualNorm) {
    double product = rounding.largestRowSum * solutionNorm;
    if (rounding.rowSumNorm > 0.0) product = std::min(product, rounding.rowSumNorm * solutionLargest);
    return rounding.gamma * (rhsNorm + product) + rounding.relative * residualNorm;
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
// it in floating point), and its own rounding is counted: with m_k the bound of ResidualRounding on
// ||fl(b - A x) - (b - A x)||_2 at the current x, a column stops once ||fl(b - A x)||_2 + m_k <= lambda maxError,
// and then max_j |x_j - x*_j| <= maxError holds for the x returned. The residual is summed in double; where its
// margin alone keeps a column from stopping, the caller's precise residual (if any) is read instead. Where the rule
// cannot be met, because even the smallest margin comes near lambda maxError or the iterations run out, the column
// stops as close as arithmetic allows (its residual within twice the margin) or at the cap, and the statistics say
// the bound was not proved and what it is. A rough solve (residualReduction > 0) also stops a column once its
// residual is that factor of its starting one, with no bound on its error.
bool conjugateGradients(const BlockOperator& multiply, const BlockOperator& precondition, DenseBlock& x,
                        const DenseBlock& b, const ConjugateGradientOptions& options,
                        IterativeSolveStats& statistics, std::string& error,
                        ConjugateGradientWork* work) {
    assert(x.count == b.count && x.columns == b.columns);
    assert(options.lowestEigenvalue > 0.0 && options.maxError > 0.0);
    const double start = wallClockSeconds();
    const int32_t n = b.count, columns = b.columns;
    statistics.iterations = 0;
    statistics.restarts = 0;
    statistics.proved = true;
    int32_t bad = 0;
    if (!allFinite(b, bad) || !allFinite(x, bad)) {
        error = "the solver failed: a right-hand side or start value is not finite (column " +
                std::to_string(bad) + ")";
        return false;
    }
    GrowArray<double> rhsSquared, solutionSquared, solutionLargest, residualSquared, bounds, rough;
    GrowArray<uint8_t> precise;  // per column: its last recomputed residual came from options.preciseResidual
    columnDotProducts(b, b, rhsSquared);
    resize(bounds, columns);
    resize(precise, columns);
    for (uint8_t& flag : precise) flag = 0;
    // The rounding margin of column k's residual at the x last measured, as computed (or at best).
    auto marginOf = [&](const ResidualRounding& rounding, int32_t k) {
        return residualRoundingBound(rounding, std::sqrt(rhsSquared.items[k]), std::sqrt(solutionSquared.items[k]),
                                     solutionLargest.items[k], std::sqrt(residualSquared.items[k]));
    };
    auto margin = [&](int32_t k) {
        return marginOf(precise.items[k] ? options.preciseRounding : options.rounding, k);
    };
    auto finestMargin = [&](int32_t k) {
        return marginOf(options.preciseResidual ? options.preciseRounding : options.rounding, k);
    };
    // What a column's residual must meet: lambda maxError, or where even the finest margin comes near that, as
    // close as arithmetic allows.
    const double wanted = options.lowestEigenvalue * options.maxError;
    auto reachable = [&](int32_t k) { return std::max(wanted, 2.0 * finestMargin(k)); };
    auto meetsWith = [&](int32_t k, double rounding) {
        const double norm = std::sqrt(residualSquared.items[k]);
        return norm + rounding <= reachable(k) || norm <= rough.items[k];
    };
    auto meets = [&](int32_t k) { return meetsWith(k, margin(k)); };

    ConjugateGradientWork own;
    ConjugateGradientWork& blocks = work ? *work : own;
    DenseBlock &r = blocks.r, &z = blocks.z, &p = blocks.p, &q = blocks.q;
    GrowArray<double> rho, nextRho, curvature;
    GrowArray<uint8_t> active, restart;
    GrowArray<double> failedCheck;  // per column: its true residual at the last check it failed
    resize(failedCheck, columns);
    for (double& value : failedCheck) value = std::numeric_limits<double>::infinity();
    resize(rho, columns);
    resize(active, columns);
    resize(restart, columns);
    // residual = b - A x for the columns `which` selects (all when null), with the solution's measures; a column
    // that the double sum's margin alone keeps from meeting the rule is summed again precisely, into z (free at a
    // check, as the next iteration recomputes it). squares receives the chosen residuals' squared norms.
    auto measure = [&](DenseBlock& residual, GrowArray<double>& squares, const GrowArray<uint8_t>* which) {
        multiply(x, residual);
        const int64_t size = residual.values.count;
#pragma omp parallel for schedule(static) if (worthThreads(size))
        for (int64_t e = 0; e < size; ++e) residual.values.items[e] = b.values.items[e] - residual.values.items[e];
        columnDotProducts(residual, residual, squares);
        columnDotProducts(x, x, solutionSquared);
        columnLargest(x, solutionLargest);
        if (!options.preciseResidual) return;
        bool again = false;
        for (int32_t k = 0; k < columns; ++k) {
            if (which && !which->items[k]) continue;
            const double norm = std::sqrt(squares.items[k]);
            const double plain = marginOf(options.rounding, k);
            precise.items[k] = norm + plain > reachable(k) && norm - plain <= reachable(k) &&
                               norm > rough.items[k];
            again |= precise.items[k] != 0;
        }
        if (!again) return;
        options.preciseResidual(x, b, z);
        GrowArray<double> preciseSquares;
        columnDotProducts(z, z, preciseSquares);
        for (int32_t k = 0; k < columns; ++k) {
            if (!precise.items[k]) continue;
            squares.items[k] = preciseSquares.items[k];
            for (int32_t i = 0; i < n; ++i) residual.at(i, k) = z.at(i, k);
        }
    };
    // From x = 0 the residual is b itself, exactly as b - A 0 would give it.
    resize(rough, columns);
    for (double& value : rough) value = 0.0;
    bool zeroStart = true;
    for (int64_t e = 0; e < x.values.count && zeroStart; ++e) zeroStart = x.values.items[e] == 0.0;
    if (zeroStart) {
        copyBlock(r, b);
        columnDotProducts(r, r, residualSquared);
        columnDotProducts(x, x, solutionSquared);
        columnLargest(x, solutionLargest);
    } else {
        measure(r, residualSquared, nullptr);
    }
    for (int32_t k = 0; k < columns; ++k) rough.items[k] = options.residualReduction * std::sqrt(residualSquared.items[k]);
    GrowArray<double> startResidual;
    if (options.progress) {
        resize(startResidual, columns);
        for (int32_t k = 0; k < columns; ++k) startResidual.items[k] = std::sqrt(residualSquared.items[k]);
    }
    // The share of the way done, log(r0 / r) / log(r0 / r_stop), of the open column that has come the least far.
    auto reportProgress = [&]() {
        double share = 1.0;
        for (int32_t k = 0; k < columns; ++k) {
            if (!active.items[k]) continue;
            const double from = startResidual.items[k], now = std::sqrt(residualSquared.items[k]);
            const double stop = std::max(reachable(k), rough.items[k]);
            if (!(from > stop) || !(now > 0.0)) continue;
            share = std::min(share, std::max(0.0, std::log(from / now) / std::log(from / stop)));
        }
        options.progress(std::min(share, 1.0));
    };
    int32_t activeCount = 0;
    for (int32_t k = 0; k < columns; ++k) {
        bounds.items[k] = (std::sqrt(residualSquared.items[k]) + margin(k)) / options.lowestEigenvalue;
        active.items[k] = !meets(k);
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
    bool capped = false;
    while (activeCount > 0) {
        if (iteration >= options.maxIterations) {
            capped = true;
            // The cap: the open columns' bounds from b - A x at the last iterate (from the updated residual where it
            // may stop a column).
            if (options.updatedResidualStops) break;
            GrowArray<double> trueSquared;
            measure(q, trueSquared, &active);
            for (int32_t k = 0; k < columns; ++k) {
                if (!active.items[k]) continue;
                residualSquared.items[k] = trueSquared.items[k];
                bounds.items[k] = (std::sqrt(trueSquared.items[k]) + margin(k)) / options.lowestEigenvalue;
            }
            break;
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
        if (options.progress) reportProgress();

        // A column whose updated residual meets the rule (with the finest margin of the last x known) is
        // checked against b - A x; if that is larger, it replaces the updated residual and the
        // column's recurrence restarts.
        GrowArray<uint8_t> checked;
        resize(checked, columns);
        bool check = false;
        for (int32_t k = 0; k < columns; ++k) {
            checked.items[k] = active.items[k] && meetsWith(k, finestMargin(k));
            check |= checked.items[k] != 0;
        }
        if (!check) continue;
        if (options.updatedResidualStops) {
            for (int32_t k = 0; k < columns; ++k) {
                if (!checked.items[k]) continue;
                bounds.items[k] = (std::sqrt(residualSquared.items[k]) + margin(k)) / options.lowestEigenvalue;
                active.items[k] = 0;
                --activeCount;
            }
            continue;
        }
        // q is free until the next product, so it holds b - A x.
        GrowArray<double> trueSquared;
        measure(q, trueSquared, &checked);
        for (int32_t k = 0; k < columns; ++k) {
            if (!checked.items[k]) continue;
            residualSquared.items[k] = trueSquared.items[k];
            bounds.items[k] = (std::sqrt(trueSquared.items[k]) + margin(k)) / options.lowestEigenvalue;
            // A column whose true residual failed the rule twice without halving in between has reached what the
            // iterates' own rounding lets it reach: it stops there.
            const double norm = std::sqrt(trueSquared.items[k]);
            if (meets(k) || norm > 0.5 * failedCheck.items[k]) {
                active.items[k] = 0;
                --activeCount;
            } else {
                failedCheck.items[k] = norm;
                restart.items[k] = 1;
                ++statistics.restarts;
            }
            for (int32_t i = 0; i < n; ++i) r.at(i, k) = q.at(i, k);
        }
    }
    int32_t column = 0;
    if (!allFinite(x, column)) return fail("a solution value is not finite (column " + std::to_string(column) + ")");

    // The final residuals and bounds are those of the last check (or of the start, or of the cap).
    double worst = 0.0, bound = 0.0;
    for (int32_t k = 0; k < columns; ++k) {
        worst = std::max(worst, std::sqrt(residualSquared.items[k]));
        bound = std::max(bound, bounds.items[k]);
    }
    statistics.iterations = iteration;
    statistics.residualNorm = worst;
    statistics.errorBound = bound;
    statistics.proved = bound <= options.maxError;
    statistics.ending = statistics.proved ? nullptr : capped ? "the iteration cap" : "the residual's rounding";
    statistics.neededResidual = wanted;
    statistics.solveSeconds = wallClockSeconds() - start;
    return true;
}
