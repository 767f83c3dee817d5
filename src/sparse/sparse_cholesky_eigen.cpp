// Sparse Cholesky through Eigen's simplicial LDL^T (MPL-2.0 only: the build defines EIGEN_MPL2_ONLY), the unknowns
// ordered by METIS's nested dissection.
#include "sparse/sparse_cholesky.h"

#include <metis.h>

#include <Eigen/SparseCholesky>

#include <cassert>
#include <cstdint>
#include <limits>
#include <new>
#include <string>

#include "base/clock.h"

// The matrix is reordered here and handed over as the upper triangle of the reordered matrix, in Eigen's own
// storage: with no ordering of its own to apply, Eigen's numeric factorisation reads that matrix as it stands
// instead of a reordered copy. (Eigen's MetisOrdering could not serve: it hands Eigen's index type to Debian's
// METIS, whose idx_t has 32 bits, and only prints when METIS fails.) The factor's indices are 32-bit when its
// entries fit them, which makes it a quarter smaller and its factorisation faster, else 64-bit: the factor of a
// large level passes 2^31 entries.
template <typename Index>
using FactorMatrix = Eigen::SparseMatrix<double, Eigen::ColMajor, Index>;
template <typename Index>
using Factorisation = Eigen::SimplicialLDLT<FactorMatrix<Index>, Eigen::Upper, Eigen::NaturalOrdering<Index>>;

struct CholeskyFactor {
    GrowArray<int32_t> order;  // the unknown at each position of the reordered matrix (METIS's `perm`)
    bool wide = false;         // which of the two holds the factor
    Factorisation<int32_t> narrow;
    Factorisation<int64_t> wideFactor;
};

void freeCholeskyFactor(CholeskyFactor* factor) { delete factor; }

// Why the factorisation stopped, other than exhausted memory (which is std::bad_alloc).
struct FactorisationRefused {
    std::string reason;
};

// Orders the unknowns by METIS's nested dissection of the matrix's graph (an edge for every stored entry off the
// diagonal): order[k] is the unknown placed at position k.
static void orderByNestedDissection(const CompressedColumnMatrix& lower, GrowArray<int32_t>& order) {
    const int32_t n = lower.n;
    release(order);
    if (n == 0) return;
    // Both ends of every edge list it, so the graph holds twice the entries below the diagonal.
    GrowArray<idx_t> starts, neighbours, position;
    resize(starts, n + 1);
    for (int32_t i = 0; i <= n; ++i) starts.items[i] = 0;
    int64_t edges = 0;
    for (int32_t j = 0; j < n; ++j) {
        for (int32_t k = lower.colptr.items[j]; k < lower.colptr.items[j + 1]; ++k) {
            const int32_t i = lower.rowind.items[k];
            if (i == j) continue;
            ++starts.items[i + 1];
            ++starts.items[j + 1];
            edges += 2;
        }
    }
    if (edges > std::numeric_limits<int32_t>::max()) throw FactorisationRefused{"the matrix is too large"};
    for (int32_t i = 0; i < n; ++i) starts.items[i + 1] += starts.items[i];
    resize(neighbours, static_cast<int32_t>(edges));
    resize(order, n);
    resize(position, n);
    GrowArray<idx_t> next(starts);
    for (int32_t j = 0; j < n; ++j) {
        for (int32_t k = lower.colptr.items[j]; k < lower.colptr.items[j + 1]; ++k) {
            const int32_t i = lower.rowind.items[k];
            if (i == j) continue;
            neighbours.items[next.items[i]++] = j;
            neighbours.items[next.items[j]++] = i;
        }
    }
    release(next);
    idx_t vertices = n;
    const int status =
        METIS_NodeND(&vertices, starts.items, neighbours.items, nullptr, nullptr, order.items, position.items);
    if (status == METIS_ERROR_MEMORY) throw std::bad_alloc();
    if (status != METIS_OK)
        throw FactorisationRefused{"the METIS ordering failed (status " + std::to_string(status) + ")"};
}

// The upper triangle of P A P^T, A being the symmetric matrix whose lower triangle is `lower` and P the ordering
// (row k of P A P^T is row order[k] of A). Within a column the rows come in no particular order, which the
// factorisation does not need.
template <typename Index>
static void reorderedUpperTriangle(const CompressedColumnMatrix& lower, const GrowArray<int32_t>& order,
                                   FactorMatrix<Index>& upper) {
    const int32_t n = lower.n;
    GrowArray<int32_t> position;
    resize(position, n);
    for (int32_t k = 0; k < n; ++k) position.items[order.items[k]] = k;
    upper.resize(n, n);
    upper.resizeNonZeros(lower.colptr.items[n]);
    Index* starts = upper.outerIndexPtr();
    for (int32_t c = 0; c <= n; ++c) starts[c] = 0;
    // Entry (i, j) of A lands in column max(position[i], position[j]) of the reordered upper triangle.
    for (int32_t j = 0; j < n; ++j) {
        for (int32_t k = lower.colptr.items[j]; k < lower.colptr.items[j + 1]; ++k) {
            const int32_t pi = position.items[lower.rowind.items[k]], pj = position.items[j];
            ++starts[(pi > pj ? pi : pj) + 1];
        }
    }
    for (int32_t c = 0; c < n; ++c) starts[c + 1] += starts[c];
    GrowArray<Index> next;
    resize(next, n);
    for (int32_t c = 0; c < n; ++c) next.items[c] = starts[c];
    for (int32_t j = 0; j < n; ++j) {
        for (int32_t k = lower.colptr.items[j]; k < lower.colptr.items[j + 1]; ++k) {
            const int32_t pi = position.items[lower.rowind.items[k]], pj = position.items[j];
            const Index at = next.items[pi > pj ? pi : pj]++;
            upper.innerIndexPtr()[at] = pi < pj ? pi : pj;
            upper.valuePtr()[at] = lower.values.items[k];
        }
    }
}

// The entries of L below the diagonal, for the reordered upper triangle: row k of L holds the nodes of the
// elimination tree met on the way up from each entry of column k of `upper` (above the diagonal) towards k, and
// the tree links each node to the first row that meets it.
static int64_t factorEntryCount(const FactorMatrix<int32_t>& upper) {
    const int32_t n = static_cast<int32_t>(upper.cols());
    GrowArray<int32_t> parent, visited;
    resize(parent, n);
    resize(visited, n);
    int64_t entries = 0;
    for (int32_t k = 0; k < n; ++k) {
        parent.items[k] = -1;
        visited.items[k] = k;
        for (FactorMatrix<int32_t>::InnerIterator it(upper, k); it; ++it) {
            for (int32_t i = it.index(); i < k && visited.items[i] != k; i = parent.items[i]) {
                if (parent.items[i] == -1) parent.items[i] = k;
                visited.items[i] = k;
                ++entries;
            }
        }
    }
    return entries;
}

// Times one phase into SolverStats' fields for it, also when the phase throws.
struct PhaseClock {
    double& seconds;
    double& processor;
    const double wallStart = wallClockSeconds();
    const double processorStart = processorSeconds();

    PhaseClock(bool& ran, double& wallSeconds, double& processorTotal)
        : seconds(wallSeconds), processor(processorTotal) {
        ran = true;
    }
    ~PhaseClock() {
        seconds = wallClockSeconds() - wallStart;
        processor = processorSeconds() - processorStart;
    }
};

// L D L^T = A has the pivots D(k) = A(k,k) - sum_{i<k} L(k,i)^2 D(i), the squares of an LL^T factor's diagonal: A is
// positive definite exactly when every pivot is positive. Eigen stops at a zero pivot (leaving the later ones unset)
// but carries on past a negative one, so the first pivot that is not positive, in the reordered numbering, is where
// an LL^T factorisation would have stopped. -1 when every pivot is positive.
template <typename Index>
static int64_t firstPivotNotPositive(const Factorisation<Index>& ldlt) {
    const Eigen::VectorXd pivots = ldlt.vectorD();
    for (Eigen::Index k = 0; k < pivots.size(); ++k) {
        if (!(pivots[k] > 0)) return k;
    }
    return -1;
}

// Throws FactorisationRefused, naming the column in the matrix's own numbering, when the factorisation that ran
// shows the matrix is not positive definite.
template <typename Index>
static void checkPivots(const Factorisation<Index>& ldlt, const GrowArray<int32_t>& order) {
    const int64_t pivot = firstPivotNotPositive(ldlt);
    if (pivot >= 0) {
        throw FactorisationRefused{"matrix is not positive definite (column " + std::to_string(order.items[pivot]) +
                                   ")"};
    }
    if (ldlt.info() != Eigen::Success) throw FactorisationRefused{"the factorisation broke down"};
}

CholeskyFactor* factoriseLowerTriangle(const CompressedColumnMatrix& lower, SolverStats& stats, std::string& error) {
    CholeskyFactor* factor = nullptr;
    try {
        factor = new CholeskyFactor;
        FactorMatrix<int32_t> upper;
        FactorMatrix<int64_t> wideUpper;
        int64_t entries = 0;
        {
            const PhaseClock clock(stats.analysisRan, stats.analysisSeconds, stats.analysisProcessorSeconds);
            orderByNestedDissection(lower, factor->order);
            reorderedUpperTriangle(lower, factor->order, upper);
            entries = factorEntryCount(upper);
            factor->wide = entries > std::numeric_limits<int32_t>::max();
            if (factor->wide) {
                FactorMatrix<int32_t>().swap(upper);
                reorderedUpperTriangle(lower, factor->order, wideUpper);
                factor->wideFactor.analyzePattern(wideUpper);
            } else {
                factor->narrow.analyzePattern(upper);
            }
        }
        {
            stats.factorisationMethod = "Simplicial LDL^T";
            const PhaseClock clock(stats.factorisationRan, stats.factorisationSeconds,
                                   stats.factorisationProcessorSeconds);
            if (factor->wide) factor->wideFactor.factorize(wideUpper);
            else factor->narrow.factorize(upper);
        }
        if (factor->wide) checkPivots(factor->wideFactor, factor->order);
        else checkPivots(factor->narrow, factor->order);
        assert(entries == (factor->wide ? factor->wideFactor.matrixL().nestedExpression().nonZeros()
                                        : factor->narrow.matrixL().nestedExpression().nonZeros()));
        return factor;
    } catch (const std::bad_alloc&) {
        error = "the solver failed: out of memory";
    } catch (const FactorisationRefused& refused) {
        error = "the solver failed: " + refused.reason;
    }
    freeCholeskyFactor(factor);
    return nullptr;
}

bool orderedByMetis(const CholeskyFactor& factor) { return factor.order.count > 0; }

// Each column: x = P^T L^-T D^-1 L^-1 P b, solved in the solution block itself in the reordered numbering, then put
// back in the matrix's own through one column of scratch.
template <typename Index>
static void solveReordered(const Factorisation<Index>& ldlt, const GrowArray<int32_t>& order, const DenseBlock& b,
                           double* solution) {
    const int32_t n = b.count;
    Eigen::Map<Eigen::MatrixXd> x(solution, n, b.columns);
    for (int32_t c = 0; c < b.columns; ++c) {
        for (int32_t k = 0; k < n; ++k) x(k, c) = b.at(order.items[k], c);
    }
    if (n == 0) return;
    ldlt.matrixL().solveInPlace(x);
    x = ldlt.vectorD().asDiagonal().inverse() * x;
    ldlt.matrixU().solveInPlace(x);
    Eigen::VectorXd reordered(n);
    for (int32_t c = 0; c < b.columns; ++c) {
        reordered = x.col(c);
        for (int32_t k = 0; k < n; ++k) x(order.items[k], c) = reordered[k];
    }
}

bool solveWithFactor(CholeskyFactor& factor, const DenseBlock& b, double* solution) {
    assert(b.count == factor.order.count);
    try {
        if (factor.wide) solveReordered(factor.wideFactor, factor.order, b, solution);
        else solveReordered(factor.narrow, factor.order, b, solution);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}
