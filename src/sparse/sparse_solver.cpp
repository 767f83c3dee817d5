// Sparse Cholesky factorisation of the compressed lower triangle and the multi-column solve.
#include "sparse/sparse_solver.h"

#include <cholmod.h>
#include <omp.h>

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/clock.h"
#include "sparse/dense_cholesky.h"

// OpenBLAS runs the dense kernels of the supernodal factorisation. The entry point needed here is declared
// directly, so no particular OpenBLAS header variant has to be installed.
extern "C" void openblas_set_num_threads(int threadCount);

// The factor together with the CHOLMOD state it was computed with; the solve needs both.
struct CholeskyFactor {
    cholmod_common common;
    cholmod_factor* factor = nullptr;
};

// Stands in for the value array of an empty matrix or block, which CHOLMOD refuses as null.
static double noValues[1];

static void freeCholeskyFactor(CholeskyFactor* solver) {
    if (solver->factor) cholmod_l_free_factor(&solver->factor, &solver->common);
    cholmod_l_finish(&solver->common);
    delete solver;
}

// One line on why the ordering or the factorisation stopped, in the unpermuted numbering.
static std::string describeFailure(const cholmod_common& common, const cholmod_factor* factor) {
    const std::string failed = "the solver failed: ";
    if (common.status == CHOLMOD_OUT_OF_MEMORY) return failed + "out of memory";
    if (common.status == CHOLMOD_TOO_LARGE) return failed + "the matrix is too large";
    if (common.status == CHOLMOD_NOT_INSTALLED) return failed + "the METIS ordering is not available";
    if (factor && factor->minor < factor->n) {
        // `minor` counts in the permuted order; Perm maps it back to the matrix's own column.
        const SuiteSparse_long permuted = static_cast<SuiteSparse_long>(factor->minor);
        const SuiteSparse_long column =
            factor->Perm ? static_cast<const SuiteSparse_long*>(factor->Perm)[permuted] : permuted;
        return failed + "matrix is not positive definite (column " + std::to_string(static_cast<long>(column)) + ")";
    }
    return failed + "status " + std::to_string(common.status);
}

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
    openblas_set_num_threads(std::min(omp_get_max_threads(), blasThreadsThatFit()));
    if (!reserveBlasBuffer()) {
        error = "the solver failed: out of memory";
        return false;
    }

    CholeskyFactor* solver = new CholeskyFactor;
    cholmod_common& common = solver->common;
    // The long-integer interface: the factor of a large level passes 2^31 entries.
    cholmod_l_start(&common);
    common.print = 0;
    common.nmethods = 1;
    common.method[0].ordering = CHOLMOD_METIS;
    common.postorder = 1;
    common.supernodal = CHOLMOD_SUPERNODAL;

    // CHOLMOD's long interface wants 64-bit indices: a temporary copy, the values are shared.
    const int32_t n = lower.n;
    const int32_t nnz = lower.colptr.items[n];
    GrowArray<SuiteSparse_long> columnStarts;
    GrowArray<SuiteSparse_long> rowIndices;
    resize(columnStarts, n + 1);
    resize(rowIndices, nnz);
    for (int32_t j = 0; j <= n; ++j) columnStarts.items[j] = lower.colptr.items[j];
    for (int32_t k = 0; k < nnz; ++k) rowIndices.items[k] = lower.rowind.items[k];

    cholmod_sparse a;
    std::memset(&a, 0, sizeof a);
    a.nrow = a.ncol = static_cast<size_t>(n);
    a.nzmax = static_cast<size_t>(nnz);
    a.p = columnStarts.items;
    a.i = rowIndices.items;
    a.x = nnz > 0 ? lower.values.items : noValues;
    a.stype = -1;  // symmetric, lower triangle stored
    a.itype = CHOLMOD_LONG;
    a.xtype = CHOLMOD_REAL;
    a.dtype = CHOLMOD_DOUBLE;
    a.sorted = 1;
    a.packed = 1;

    double wallStart = wallClockSeconds();
    double processorStart = processorSeconds();
    solver->factor = cholmod_l_analyze(&a, &common);
    stats.analysisRan = true;
    stats.analysisSeconds = wallClockSeconds() - wallStart;
    stats.analysisProcessorSeconds = processorSeconds() - processorStart;
    if (!solver->factor || common.status != CHOLMOD_OK) {
        error = describeFailure(common, solver->factor);
        freeCholeskyFactor(solver);
        return false;
    }

    wallStart = wallClockSeconds();
    processorStart = processorSeconds();
    cholmod_l_factorize(&a, solver->factor, &common);
    stats.factorisationRan = true;
    stats.factorisationSeconds = wallClockSeconds() - wallStart;
    stats.factorisationProcessorSeconds = processorSeconds() - processorStart;
    release(columnStarts);
    release(rowIndices);
    // A matrix that is not positive definite is only a warning to CHOLMOD, with `minor` < n.
    if (common.status != CHOLMOD_OK || solver->factor->minor < solver->factor->n) {
        error = describeFailure(common, solver->factor);
        freeCholeskyFactor(solver);
        return false;
    }
    // The analysis workspace is of the order of n and not needed by the solves.
    cholmod_l_free_work(&common);
    matrix.factor = solver;
    return true;
}

bool factorOrderedByMetis(const SparseRowMatrix& matrix) {
    return matrix.factor && matrix.factor->factor->ordering == CHOLMOD_METIS;
}

bool solveColumns(SparseRowMatrix& matrix, DenseBlock& x, const DenseBlock& b) {
    CholeskyFactor* solver = matrix.factor;
    if (!solver) return false;
    assert(static_cast<size_t>(b.count) == solver->factor->n);

    // B is handed to CHOLMOD as it stands: column-major with leading dimension n.
    cholmod_dense rhs;
    std::memset(&rhs, 0, sizeof rhs);
    rhs.nrow = static_cast<size_t>(b.count);
    rhs.ncol = static_cast<size_t>(b.columns);
    rhs.nzmax = rhs.nrow * rhs.ncol;
    rhs.d = rhs.nrow;
    rhs.x = b.values.items ? b.values.items : noValues;
    rhs.xtype = CHOLMOD_REAL;
    rhs.dtype = CHOLMOD_DOUBLE;
    cholmod_dense* solution = cholmod_l_solve(CHOLMOD_A, solver->factor, &rhs, &solver->common);
    if (!solution) return false;

    if (x.count != b.count || x.columns != b.columns) {
        release(x.values);
        resize(x.values, b.count * b.columns);
        x.count = b.count;
        x.columns = b.columns;
    }
    if (x.values.count > 0)
        std::memcpy(x.values.items, solution->x, sizeof(double) * static_cast<size_t>(x.values.count));
    cholmod_l_free_dense(&solution, &solver->common);
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
