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

// What bounds the rounding of a computed residual fl(b - A x). Each entry sums at most m products and b_j; summed in
// a precision of unit roundoff v, its error is at most gamma (|b_j| + sum_k |A_jk| |x_k|), gamma = m v / (1 - m v),
// and rounding the entry to double adds at most u |r_j| (u = 2^-53) where the sum ran in a wider precision. With
// s_j = sum_k |A_jk|, the absolute row sums, the error's 2-norm is at most
//   gamma (||b||_2 + min(max_j s_j ||x||_2, ||s||_2 max_j |x_j|)) + relative ||r||_2:
// || |A| |x| ||_2 <= || |A| ||_2 ||x||_2 <= max_j s_j ||x||_2 for a symmetric A, and (|A| |x|)_j <= s_j max_k |x_k|.
// The second form holds the margin down where the matrix's scale varies over the grid (one crowded texel no longer
// inflates every other's), and extended precision (v = 2^-64 for x86's long double) holds it far below what a
// double sum allows on systems of a large scale, where the wanted residual comes near a double's rounding of b.
struct ResidualRounding {
    double gamma = 0.0;          // gamma for the sums, a little enlarged for the rounding of the norms; 0: not counted
    double relative = 0.0;       // u for a residual summed in a wider precision and rounded to double, else 0
    double largestRowSum = 0.0;  // max_j s_j
    double rowSumNorm = 0.0;     // ||s||_2; 0 when not known (then only the first form is used)
};

struct ConjugateGradientOptions;

// Sets options.rounding (the residual summed in double) and options.preciseRounding (summed in long double and
// rounded to double) for a matrix whose rows hold at most `termsPerRow` products, from its absolute row sums.
void setResidualRounding(ConjugateGradientOptions& options, const GrowArray<double>& rowSums, int32_t termsPerRow);

// The bound above on ||fl(b - A x) - (b - A x)||_2 for one column, from ||b||_2, ||x||_2, max_j |x_j| and the
// computed ||r||_2.
double residualRoundingBound(const ResidualRounding& rounding, double rhsNorm, double solutionNorm,
                             double solutionLargest, double residualNorm);

// r = b - A x for every column (r takes x's shape), for a caller that computes it more precisely than `multiply`.
using ResidualOperator = std::function<void(const DenseBlock& x, const DenseBlock& b, DenseBlock& r)>;

struct ConjugateGradientOptions {
    double maxError = 1e-4;           // wanted bound on |x_j - x*_j| for every unknown and column
    double lowestEigenvalue = 0.001;  // a lower bound on A's eigenvalues that the caller guarantees
    ResidualRounding rounding;        // bounds ||fl(b - A x) - (b - A x)||_2 for A x from `multiply`, in double
    // Optional: b - A x summed more precisely, with its rounding, read where the double sum's margin alone keeps a
    // column from stopping (a check of its own, as the precise sum costs more than a product).
    ResidualOperator preciseResidual;
    ResidualRounding preciseRounding;
    int32_t maxIterations = 2000;
    // When > 0, a column may also stop once its residual is this factor of its starting one: a rough solve that
    // only serves as another solve's start, with no bound on its error.
    double residualReduction = 0.0;
    // A column stops on its updated residual alone, b - A x not recomputed: for solves whose result another test
    // proves (the error bound then no longer holds for the solve itself).
    bool updatedResidualStops = false;
    // Optional, for a display of progress: called after each iteration with how far the slowest open column has come
    // from its starting residual towards the one that stops it, on a log scale (0 to 1). Nothing depends on it.
    std::function<void(double share)> progress;
};

struct IterativeSolveStats {
    int32_t iterations = 0;     // steps of the slowest column
    int32_t restarts = 0;       // times a column's updated residual was replaced by b - A x
    double residualNorm = 0.0;  // largest ||b - A x||_2 over the columns, recomputed at the end
    double errorBound = 0.0;    // (residualNorm + its rounding) / lowestEigenvalue: bounds every |x_j - x*_j|
    bool proved = true;         // errorBound <= maxError: the wanted bound holds
    const char* ending = nullptr;  // when not proved: what ended the iterations ("the iteration cap", ...)
    double neededResidual = 0.0;   // lowestEigenvalue maxError: what the residual, with its rounding, had to meet
    double setupSeconds = 0.0;  // building the preconditioner (filled by the callers that build one)
    double solveSeconds = 0.0;  // the iterations
};

// The working blocks of a solve. A caller that solves many times keeps one, so that they are not allocated (and
// their pages faulted in by the system) afresh for every solve.
struct ConjugateGradientWork {
    DenseBlock r, z, p, q;
};

// Solves A X = B column by column from the caller's X (same shape as B; an X of zeros costs no product) until every column's
// error is provably within options.maxError (see the rule in the .cpp). When maxIterations pass first, or the
// residual's rounding keeps the rule from being met, it still returns true, X the last iterate, with
// statistics.proved false and statistics.errorBound the bound that does hold: the caller decides. Returns false
// with a message, X holding the last iterate, when a value is not finite or an operator turns out not to be
// positive definite. Deterministic for any thread count.
bool conjugateGradients(const BlockOperator& multiply, const BlockOperator& precondition, DenseBlock& x,
                        const DenseBlock& b, const ConjugateGradientOptions& options,
                        IterativeSolveStats& statistics, std::string& error,
                        ConjugateGradientWork* work = nullptr);

// Per column k: sums[k] = sum over rows of a(i, k) b(i, k), added in chunks of fixed size and the
// chunks in order, so the result does not depend on the thread count.
void columnDotProducts(const DenseBlock& a, const DenseBlock& b, GrowArray<double>& sums);

// Per column k: largest[k] = max over rows of |a(i, k)|.
void columnLargest(const DenseBlock& a, GrowArray<double>& largest);
