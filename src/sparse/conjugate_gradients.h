// Preconditioned conjugate gradients on every column of a block at once, for any symmetric positive
// definite operator and preconditioner, with a stopping rule that bounds the error of every unknown.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "sparse/sparse_matrix.h"

// y = A x for every column of x; y takes x's shape. Used for the matrix and for the preconditioner
// (y = C^-1 x), both of which must be symmetric positive definite and must not depend on the
// thread count for the solve not to.
using BlockOperator = std::function<void(const DenseBlock& x, DenseBlock& y)>;

struct ConjugateGradientOptions {
    double maxError = 1e-4;           // wanted bound on |x_j - x*_j| for every unknown and column
    double lowestEigenvalue = 0.001;  // a lower bound on A's eigenvalues that the caller guarantees
    double residualRounding = 0.0;    // c with ||fl(b - A x) - (b - A x)||_2 <= c (||b||_2 + ||x||_2)
    int32_t maxIterations = 2000;
    // When > 0, a column may also stop once its residual is this factor of its starting one: a rough solve that
    // only serves as another solve's start, with no bound on its error.
    double residualReduction = 0.0;
    // A column stops on its updated residual alone, b - A x not recomputed: for solves whose result another test
    // proves (the error bound then no longer holds for the solve itself).
    bool updatedResidualStops = false;
};

struct IterativeSolveStatistics {
    int32_t iterations = 0;     // steps of the slowest column
    int32_t restarts = 0;       // times a column's updated residual was replaced by b - A x
    double residualNorm = 0.0;  // largest ||b - A x||_2 over the columns, recomputed at the end
    double errorBound = 0.0;    // (residualNorm + its rounding) / lowestEigenvalue: bounds every |x_j - x*_j|
    double setupSeconds = 0.0;  // building the preconditioner (filled by the callers that build one)
    double solveSeconds = 0.0;  // the iterations
};

// The working blocks of a solve. A caller that solves many times keeps one, so that they are not allocated (and
// their pages faulted in by the system) afresh for every solve.
struct ConjugateGradientWork {
    DenseBlock r, z, p, q;
};

// Solves A X = B column by column from the caller's X (same shape as B; an X of zeros costs no product) until every column's
// error is provably within options.maxError (see the rule in the .cpp). Returns false with a
// message, X holding the last iterate, when a value is not finite, an operator turns out not to
// be positive definite, maxIterations pass first, or the residual's rounding alone would exceed
// the wanted bound. Deterministic for any thread count.
bool conjugateGradients(const BlockOperator& multiply, const BlockOperator& precondition, DenseBlock& x,
                        const DenseBlock& b, const ConjugateGradientOptions& options,
                        IterativeSolveStatistics& statistics, std::string& error,
                        ConjugateGradientWork* work = nullptr);

// Per column k: sums[k] = sum over rows of a(i, k) b(i, k), added in chunks of fixed size and the
// chunks in order, so the result does not depend on the thread count.
void columnDotProducts(const DenseBlock& a, const DenseBlock& b, GrowArray<double>& sums);
