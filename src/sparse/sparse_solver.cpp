// Sparse Cholesky factorisation of the compressed lower triangle and the multi-column solve: what both
// factorisations share (the checks on the matrix, the solution block, freeing). The factorisation itself is in
// sparse_cholesky_eigen.cpp or sparse_cholesky_cholmod.cpp.
#include "sparse/sparse_solver.h"

#include <cassert>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "sparse/sparse_cholesky.h"

bool factorise(SparseRowMatrix& matrix, SolverStats& stats, std::string& error) {
    stats = SolverStats();
    const CompressedColumnMatrix& lower = matrix.lower;
    assert(lower.colptr.count == lower.n + 1);
    if (matrix.factor) {
        freeCholeskyFactor(matrix.factor);
        matrix.factor = nullptr;
    }
    // The factorisation would pass a NaN through to the solution without complaint.
    for (int32_t j = 0; j < lower.n; ++j) {
        for (int32_t k = lower.colptr.items[j]; k < lower.colptr.items[j + 1]; ++k) {
            if (!std::isfinite(lower.values.items[k])) {
                error = "the solver failed: matrix entry is not finite (column " + std::to_string(j) + ")";
                return false;
            }
        }
    }
    matrix.factor = factoriseLowerTriangle(lower, stats, error);
    return matrix.factor != nullptr;
}

bool factorOrderedByMetis(const SparseRowMatrix& matrix) { return matrix.factor && orderedByMetis(*matrix.factor); }

bool solveColumns(SparseRowMatrix& matrix, DenseBlock& x, const DenseBlock& b) {
    if (!matrix.factor) return false;
    assert(b.count == matrix.lower.n);
    // Solved into a block of its own, so that X stays as it was when memory runs out.
    GrowArray<double> solution;
    try {
        resize(solution, b.values.count);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!solveWithFactor(*matrix.factor, b, solution.items)) return false;
    if (x.count == b.count && x.columns == b.columns) {
        if (x.values.count > 0)
            std::memcpy(x.values.items, solution.items, sizeof(double) * static_cast<size_t>(x.values.count));
    } else {
        x.values = std::move(solution);
        x.count = b.count;
        x.columns = b.columns;
    }
    return true;
}

bool solveByFactorisation(SparseRowMatrix& matrix, DenseBlock& x, const DenseBlock& b, SolverStats& stats,
                          std::string& error) {
    if (!factorise(matrix, stats, error)) return false;
    if (solveColumns(matrix, x, b)) return true;
    // With a factor in place, only exhausted memory stops the solve.
    error = "the solver failed: out of memory while solving";
    return false;
}

void releaseSolver(SparseRowMatrix& matrix) {
    if (matrix.factor) {
        freeCholeskyFactor(matrix.factor);
        matrix.factor = nullptr;
    }
    CompressedColumnMatrix& lower = matrix.lower;
    release(lower.colptr);
    release(lower.rowind);
    release(lower.values);
    lower.n = 0;
}
