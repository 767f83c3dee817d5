// Sparse Cholesky through CHOLMOD (SuiteSparse): METIS ordering and the supernodal LL^T factorisation, whose dense
// kernels run in OpenBLAS. Built only with KIV_WITH_CHOLMOD: CHOLMOD's Supernodal module is GPL-2+.
#include "sparse/sparse_cholesky.h"

#include <cholmod.h>
#include <omp.h>
#include <sys/resource.h>

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/clock.h"
#include "sparse/dense_cholesky.h"

// OpenBLAS (the threaded one, in this build) runs the dense kernels of the supernodal factorisation. The entry point
// needed here is declared directly, so no particular OpenBLAS header variant has to be installed.
extern "C" void openblas_set_num_threads(int threadCount);

// OpenBLAS's work buffer per thread.
static constexpr size_t blasBufferBytes = size_t(128) << 20;

// The most BLAS threads whose buffers fit in the address-space limit (a quarter of it goes to them).
static int blasThreadLimit = 1 << 20;

// Runs before the threaded OpenBLAS starts its threads (it is linked statically, and its start-up code has no
// priority), so the thread count it starts with already fits the address-space limit: each of its threads reserves
// its buffer as it starts. The serial OpenBLAS of the default build starts none, and needs no such step.
__attribute__((constructor(101))) static void fitBlasThreadsToAddressSpace() {
    rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
    blasThreadLimit = static_cast<int>(std::max<rlim_t>(1, limit.rlim_cur / 4 / blasBufferBytes));
    const char* requested = std::getenv("OPENBLAS_NUM_THREADS");
    if (requested && std::atoi(requested) >= 1 && std::atoi(requested) <= blasThreadLimit) return;
    setenv("OPENBLAS_NUM_THREADS", std::to_string(blasThreadLimit).c_str(), 1);
}

// The factor together with the CHOLMOD state it was computed with; the solve needs both.
struct CholeskyFactor {
    cholmod_common common;
    cholmod_factor* factor = nullptr;
};

// Stands in for the value array of an empty matrix or block, which CHOLMOD refuses as null.
static double noValues[1];

void freeCholeskyFactor(CholeskyFactor* solver) {
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

CholeskyFactor* factoriseLowerTriangle(const CompressedColumnMatrix& lower, SolverStats& stats, std::string& error) {
    openblas_set_num_threads(std::min(omp_get_max_threads(), blasThreadLimit));
    if (!reserveBlasBuffer()) {
        error = "the solver failed: out of memory";
        return nullptr;
    }

    // CHOLMOD's long interface wants 64-bit indices: a temporary copy, the values are shared.
    const int32_t n = lower.n;
    const int32_t nnz = lower.colptr.items[n];
    GrowArray<SuiteSparse_long> columnStarts;
    GrowArray<SuiteSparse_long> rowIndices;
    resize(columnStarts, n + 1);
    resize(rowIndices, nnz);
    for (int32_t j = 0; j <= n; ++j) columnStarts.items[j] = lower.colptr.items[j];
    for (int32_t k = 0; k < nnz; ++k) rowIndices.items[k] = lower.rowind.items[k];

    CholeskyFactor* solver = new CholeskyFactor;
    cholmod_common& common = solver->common;
    // The long-integer interface: the factor of a large level passes 2^31 entries.
    cholmod_l_start(&common);
    common.print = 0;
    common.nmethods = 1;
    common.method[0].ordering = CHOLMOD_METIS;
    common.postorder = 1;
    common.supernodal = CHOLMOD_SUPERNODAL;

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
        return nullptr;
    }

    wallStart = wallClockSeconds();
    processorStart = processorSeconds();
    cholmod_l_factorize(&a, solver->factor, &common);
    stats.factorisationRan = true;
    stats.factorisationMethod = "Supernodal Multifrontal LL^T";
    stats.factorisationSeconds = wallClockSeconds() - wallStart;
    stats.factorisationProcessorSeconds = processorSeconds() - processorStart;
    // A matrix that is not positive definite is only a warning to CHOLMOD, with `minor` < n.
    if (common.status != CHOLMOD_OK || solver->factor->minor < solver->factor->n) {
        error = describeFailure(common, solver->factor);
        freeCholeskyFactor(solver);
        return nullptr;
    }
    // The analysis workspace is of the order of n and not needed by the solves.
    cholmod_l_free_work(&common);
    return solver;
}

bool orderedByMetis(const CholeskyFactor& factor) { return factor.factor->ordering == CHOLMOD_METIS; }

bool solveWithFactor(CholeskyFactor& solver, const DenseBlock& b, double* solution) {
    assert(static_cast<size_t>(b.count) == solver.factor->n);
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
    cholmod_dense* x = cholmod_l_solve(CHOLMOD_A, solver.factor, &rhs, &solver.common);
    if (!x) return false;
    if (b.values.count > 0)
        std::memcpy(solution, x->x, sizeof(double) * static_cast<size_t>(b.values.count));
    cholmod_l_free_dense(&x, &solver.common);
    return true;
}
