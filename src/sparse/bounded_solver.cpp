// Bound-constrained minimisation of a quadratic by active sets: the unknowns that no bound holds are solved by
// preconditioned conjugate gradients with the others fixed, the solution is projected into the box, and a
// projected-gradient step follows wherever that step fell short, until the projected gradient proves the result.
#include "sparse/bounded_solver.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdio>

#include "base/clock.h"
#include "base/parallel.h"

namespace {

struct Box {
    double lower, upper;
    double project(double v) const { return std::min(upper, std::max(lower, v)); }
    // A bound holds an unknown when it sits on it and the gradient presses outwards.
    bool holds(double x, double g) const { return (x <= lower && g > 0.0) || (x >= upper && g < 0.0); }
    // The projected gradient: the gradient, less the parts a bound stops.
    double projectedGradient(double x, double g) const {
        if (x <= lower) return std::min(g, 0.0);
        if (x >= upper) return std::max(g, 0.0);
        return g;
    }
};

}  // namespace

// g = A x - b for every column.
static void computeGradient(const BlockOperator& multiply, const DenseBlock& x, const DenseBlock& b, DenseBlock& g) {
    multiply(x, g);
    const int64_t size = g.values.count;
#pragma omp parallel for schedule(static) if (worthThreads(size))
    for (int64_t e = 0; e < size; ++e) g.values.items[e] -= b.values.items[e];
}

static void projectedGradient(const Box& box, const DenseBlock& x, const DenseBlock& g, DenseBlock& pg) {
    if (pg.count != x.count || pg.columns != x.columns) createBlock(pg, x.count, x.columns);
    const int64_t size = x.values.count;
#pragma omp parallel for schedule(static) if (worthThreads(size))
    for (int64_t e = 0; e < size; ++e) pg.values.items[e] = box.projectedGradient(x.values.items[e], g.values.items[e]);
}

// Moves every column of x towards its feasible target t along s = t - x (x + a s stays in the box for a in [0, 1])
// and updates g = A x - b with A s. Along s the objective is f(x) + a g's + a^2/2 s'As, least at a* = -g's / s'As,
// and the whole step keeps at least half of that least value's decrease when a* >= 2 - sqrt(2):
// (2 a* - 1) / a*^2 >= 1/2 there. The whole step is taken then, so that x lands on every bound t reaches; else
// a = a*. `whole` tells which columns took the whole step of a non-zero s; a column whose g's >= 0 does not move.
static void stepTowards(const BlockOperator& multiply, const Box& box, DenseBlock& x, DenseBlock& g,
                        const DenseBlock& target, DenseBlock& direction, DenseBlock& product, GrowArray<uint8_t>& whole) {
    const int64_t size = x.values.count;
    const int32_t columns = x.columns;
    if (direction.count != x.count || direction.columns != columns) createBlock(direction, x.count, columns);
#pragma omp parallel for schedule(static) if (worthThreads(size))
    for (int64_t e = 0; e < size; ++e) direction.values.items[e] = target.values.items[e] - x.values.items[e];
    multiply(direction, product);
    GrowArray<double> slope, curvature, step;
    columnDotProducts(g, direction, slope);
    columnDotProducts(direction, product, curvature);
    resize(step, columns);
    resize(whole, columns);
    const double wholeStepFrom = 2.0 - std::sqrt(2.0);
    for (int32_t k = 0; k < columns; ++k) {
        const bool descends = curvature.items[k] > 0.0 && slope.items[k] < 0.0;
        const double best = descends ? -slope.items[k] / curvature.items[k] : 0.0;
        whole.items[k] = descends && best >= wholeStepFrom;
        step.items[k] = whole.items[k] ? 1.0 : best;
    }
    const int32_t n = x.count;
#pragma omp parallel for schedule(static) if (worthThreads(size))
    for (int32_t i = 0; i < n; ++i) {
        for (int32_t k = 0; k < columns; ++k) {
            const int64_t e = i + static_cast<int64_t>(k) * n;
            const double a = step.items[k];
            if (a == 0.0) continue;
            // The whole step lands on the target exactly; a partial one is kept in the box against rounding.
            x.values.items[e] = whole.items[k] ? target.values.items[e]
                                               : box.project(x.values.items[e] + a * direction.values.items[e]);
            g.values.items[e] += a * product.values.items[e];
        }
    }
}

// Stopping rule. For f(x) = 1/2 x'Ax - b'x with A's eigenvalues >= lambda and the constrained minimiser x*, every
// feasible x has lambda ||x - x*||^2 <= (g(x) - g(x*))'(x - x*) <= g(x)'(x - x*), since g(x*)'(y - x*) >= 0 for
// every feasible y. Term by term g_j (x_j - x*_j) <= p_j (x_j - x*_j), p the projected gradient (where a bound
// stops g_j, x_j sits on it and x*_j lies on the inner side, so that term is <= 0 = p_j (x_j - x*_j)). Hence
//   max_j |x_j - x*_j| <= ||x - x*||_2 <= ||p||_2 / lambda,
// the bound of the unconstrained rule with p for the residual. p_j is 1-Lipschitz in g_j, so the rounding of
// fl(A x - b) (at most residualRounding (||b||_2 + ||x||_2)) adds at most as much to ||p||_2. With maxError 1e-4 a
// value is within a third of an 8-bit sRGB step of the exact one even at the darkest values, where sRGB is
// steepest (12.92 x 255 x 1e-4 = 0.33 byte): closer than half a step, a byte can change only where the exact
// value lies within that distance of a rounding boundary, as for the unconstrained solves.
bool solveBounded(const BlockOperator& multiply, const BlockOperator& precondition, const FaceChange& faceChange,
                  DenseBlock& x, const DenseBlock& b, const BoundedSolveOptions& options,
                  BoundedSolveStatistics& statistics, std::string& error) {
    assert(x.count == b.count && x.columns == b.columns);
    assert(options.lower < options.upper && options.iterations.lowestEigenvalue > 0.0);
    const double start = wallClockSeconds();
    const int32_t n = b.count, columns = b.columns;
    const int64_t size = b.values.count;
    const Box box{options.lower, options.upper};
    const ConjugateGradientOptions& rule = options.iterations;
    statistics = BoundedSolveStatistics();
    resize(statistics.held, n);
    for (uint8_t& held : statistics.held) held = 0;
    for (int64_t e = 0; e < size; ++e) {
        if (!std::isfinite(b.values.items[e]) || !std::isfinite(x.values.items[e])) {
            error = "the solver failed: a right-hand side or start value is not finite (column " +
                    std::to_string(e / std::max(n, 1)) + ")";
            return false;
        }
    }
#pragma omp parallel for schedule(static) if (worthThreads(size))
    for (int64_t e = 0; e < size; ++e) x.values.items[e] = box.project(x.values.items[e]);

    const double wanted = rule.lowestEigenvalue * rule.maxError;
    GrowArray<double> rhsSquared, solutionSquared, projectedSquared;
    columnDotProducts(b, b, rhsSquared);
    auto margin = [&](int32_t k) {
        return rule.residualRounding * (std::sqrt(rhsSquared.items[k]) + std::sqrt(solutionSquared.items[k]));
    };
    DenseBlock g, pg, d, rhs, target, product;
    ConjugateGradientWork faceWork;  // kept over the face solves
    computeGradient(multiply, x, b, g);
    bool fresh = true;  // g is fl(A x - b), not updated by steps
    GrowArray<uint8_t> done, freeNow, freeBefore, whole;
    resize(done, columns);
    for (uint8_t& flag : done) flag = 0;
    resize(freeNow, static_cast<int32_t>(size));
    createBlock(d, n, columns);
    createBlock(rhs, n, columns);
    createBlock(target, n, columns);

    // The face: A restricted to the unknowns that no bound holds (the others' rows and columns zero). Its inputs
    // lie in the face already (the face solve starts from 0 with a right-hand side in it), so only outputs are cut.
    auto restrictToFace = [&](DenseBlock& out) {
#pragma omp parallel for schedule(static) if (worthThreads(size))
        for (int64_t e = 0; e < size; ++e) {
            if (!freeNow.items[e]) out.values.items[e] = 0.0;
        }
    };
    const BlockOperator faceMultiply = [&](const DenseBlock& in, DenseBlock& out) {
        multiply(in, out);
        restrictToFace(out);
    };
    const BlockOperator facePrecondition = [&](const DenseBlock& in, DenseBlock& out) {
        precondition(in, out);
        restrictToFace(out);
    };

    auto finish = [&]() {
        double worst = 0.0, bound = 0.0;
        for (int32_t k = 0; k < columns; ++k) {
            worst = std::max(worst, std::sqrt(projectedSquared.items[k]));
            bound = std::max(bound, (std::sqrt(projectedSquared.items[k]) + margin(k)) / rule.lowestEigenvalue);
        }
        statistics.projectedGradientNorm = worst;
        statistics.errorBound = bound;
        statistics.solveSeconds = wallClockSeconds() - start;
    };

    for (int32_t step = 0;; ++step) {
        projectedGradient(box, x, g, pg);
        columnDotProducts(pg, pg, projectedSquared);
        columnDotProducts(x, x, solutionSquared);
        auto passes = [&](int32_t k) { return std::sqrt(projectedSquared.items[k]) + margin(k) <= wanted; };
        // A column that the updated gradient lets stop is checked against fl(A x - b) first.
        bool check = false;
        for (int32_t k = 0; k < columns; ++k) check |= !done.items[k] && passes(k);
        if (check && !fresh) {
            computeGradient(multiply, x, b, g);
            fresh = true;
            projectedGradient(box, x, g, pg);
            columnDotProducts(pg, pg, projectedSquared);
        }
        int32_t open = 0;
        for (int32_t k = 0; k < columns; ++k) {
            if (done.items[k]) continue;
            if (margin(k) >= 0.4 * wanted) {
                finish();
                error = "the solver failed: the wanted error is below the rounding of the gradient (column " +
                        std::to_string(k) + ")";
                return false;
            }
            if (fresh && passes(k)) done.items[k] = 1;
            else ++open;
        }
        if (open == 0) break;
        if (step >= options.maxSteps) {
            finish();
            char text[160];
            std::snprintf(text, sizeof text, "the solver failed: no convergence in %d bounded steps (projected gradient %.3g, wanted %.3g)",
                          step, statistics.projectedGradientNorm, wanted);
            error = text;
            return false;
        }

        // The face solve: A_FF d_F = -g_F from d = 0 over the free unknowns F of the open columns, rough while the
        // face keeps changing, else to wanted / 8 (then the test above passes with a margin below 0.4 wanted) or a
        // millionth of its start, whichever is larger: the test above, not the face solve, proves the result, and a
        // solve from a large gradient could not prove a much smaller residual against its own rounding.
        bool changed = freeBefore.count != freeNow.count;
#pragma omp parallel for schedule(static) reduction(|| : changed) if (worthThreads(size))
        for (int64_t e = 0; e < size; ++e) {
            const int32_t k = static_cast<int32_t>(e / n);
            const uint8_t isFree = !done.items[k] && !box.holds(x.values.items[e], g.values.items[e]);
            freeNow.items[e] = isFree;
            rhs.values.items[e] = isFree ? -g.values.items[e] : 0.0;
            d.values.items[e] = 0.0;
            if (freeBefore.count == freeNow.count && freeBefore.items[e] != isFree) changed = true;
        }
        freeBefore = freeNow;
        if (changed && faceChange && !faceChange(freeNow, error)) {
            finish();
            return false;
        }
        ConjugateGradientOptions face = rule;
        face.maxError = 0.125 * rule.maxError;
        face.residualReduction = changed ? options.faceReduction : 1e-6;
        face.updatedResidualStops = true;
        IterativeSolveStatistics faceStatistics;
        if (!conjugateGradients(faceMultiply, facePrecondition, d, rhs, face, faceStatistics, error, &faceWork)) {
            finish();
            return false;
        }
        statistics.steps = step + 1;
        statistics.iterations += faceStatistics.iterations;
        // Into the box: towards P(x + d).
#pragma omp parallel for schedule(static) if (worthThreads(size))
        for (int64_t e = 0; e < size; ++e) target.values.items[e] = box.project(x.values.items[e] + d.values.items[e]);
        stepTowards(multiply, box, x, g, target, pg, product, whole);
        fresh = false;

        // Where the step fell short (a bound cut it, or the projection turned it), a projected-gradient step
        // towards P(x - t g), t = p'p / p'Ap the exact step along the projected gradient p: it frees the unknowns
        // that the face held wrongly and always descends.
        bool shortfall = false;
        for (int32_t k = 0; k < columns; ++k) shortfall |= !done.items[k] && !whole.items[k];
        if (!shortfall) continue;
        projectedGradient(box, x, g, pg);
        for (int32_t k = 0; k < columns; ++k) {
            if (done.items[k] || whole.items[k]) {
                for (int32_t i = 0; i < n; ++i) pg.at(i, k) = 0.0;
            }
        }
        multiply(pg, product);
        GrowArray<double> along, curvature;
        columnDotProducts(pg, pg, along);
        columnDotProducts(pg, product, curvature);
        for (int32_t k = 0; k < columns; ++k) {
            const double t = curvature.items[k] > 0.0 ? along.items[k] / curvature.items[k] : 0.0;
#pragma omp parallel for schedule(static) if (worthThreads(n))
            for (int32_t i = 0; i < n; ++i) target.at(i, k) = box.project(x.at(i, k) - t * pg.at(i, k));
        }
        stepTowards(multiply, box, x, g, target, pg, product, whole);
        ++statistics.gradientSteps;
    }

    for (int32_t i = 0; i < n; ++i) {
        for (int32_t k = 0; k < columns; ++k) statistics.held.items[i] |= box.holds(x.at(i, k), g.at(i, k));
        statistics.heldCount += statistics.held.items[i];
    }
    finish();
    return true;
}

ConjugateGradientOptions startOfSolve(const ConjugateGradientOptions& rule, const BoundedSolveOptions* bounds) {
    ConjugateGradientOptions start = rule;
    if (!bounds) return start;
    start.residualReduction = 1.0;
    start.updatedResidualStops = true;
    return start;
}
