// The incomplete Cholesky preconditioner of stencil systems, fitted to the faces of bounded solves, and the
// conjugate-gradient solve that uses it.
#include "sparse/stencil_solver.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>

#include "base/clock.h"
#include "base/parallel.h"

// --- Diagonal ----------------------------------------------------------------------------------

// Every diagonal entry must be positive and finite; the message names the last unknown where one is not.
static bool checkDiagonal(const StencilMatrix& matrix, std::string& error) {
    const int32_t w = matrix.width, h = matrix.height;
    int32_t bad = -1;
#pragma omp parallel for schedule(static) reduction(max : bad)
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            const double d = stencilDiagonal(matrix, x, y);
            if (!(d > 0.0) || !std::isfinite(d)) bad = std::max(bad, y * w + x);
        }
    }
    if (bad < 0) return true;
    error = "the solver failed: diagonal entry is not positive or not finite (unknown " +
            std::to_string(bad) + ")";
    return false;
}

// --- Incomplete Cholesky ----------------------------------------------------------------------

// IC(0): the Cholesky elimination keeping only the entries of M's own pattern, in an order that
// lets threads work at once and is the same for any thread count. The grid's rows are cut into
// `domains` bands; the first row of every band is a separator, so the rows between two
// separators (a domain's interior) couple with no other domain. The interiors come first, each in
// row order, then the separator rows. Every domain eliminates its interior on its own; what it
// subtracts from separator entries is kept apart and added in domain order; the separators go
// last. The number of domains depends on the grid alone, so the thread count changes nothing.
// For a matrix that is not an M-matrix a pivot can vanish; the factorisation is then redone for
// M + shift diag(M), the shift growing tenfold from 1e-4.

static int32_t domainCountFor(int32_t height, int32_t wanted) {
    return std::max(1, std::min(wanted, height / 3));
}

// The new position of every unknown, and the first position of each domain's interior (the last
// entry being the first separator position).
static void domainOrder(int32_t width, int32_t height, int32_t domains, GrowArray<int32_t>& position,
                        GrowArray<int32_t>& domainStart) {
    release(position);
    resize(position, width * height);
    release(domainStart);
    resize(domainStart, domains + 1);
    int32_t next = 0;
    auto place = [&](int32_t y) {
        for (int32_t x = 0; x < width; ++x) position.items[y * width + x] = next++;
    };
    for (int32_t d = 0; d < domains; ++d) {
        domainStart.items[d] = next;
        const int32_t first = domains == 1 ? 0 : d * height / domains + 1, end = (d + 1) * height / domains;
        for (int32_t y = first; y < end; ++y) place(y);
    }
    domainStart.items[domains] = next;
    if (domains > 1) {
        for (int32_t d = 0; d < domains; ++d) place(d * height / domains);
    }
}

// The lower triangle of P M P^T for the new positions: column c holds the rows >= c, sorted,
// offsets naming the same pair summed.
static void permutedLower(const StencilMatrix& matrix, const GrowArray<int32_t>& position,
                          const GrowArray<int32_t>& unknownAt, CompressedColumnMatrix& lower) {
    const int32_t w = matrix.width, n = w * matrix.height;
    lower.n = n;
    release(lower.colptr);
    resize(lower.colptr, n + 1);
    // Two passes over the same sorted terms: the counts, then the entries.
    for (int32_t pass = 0; pass < 2; ++pass) {
        if (pass == 1) {
            lower.colptr.items[0] = 0;
            for (int32_t c = 0; c < n; ++c) lower.colptr.items[c + 1] += lower.colptr.items[c];
            release(lower.rowind);
            release(lower.values);
            resize(lower.rowind, lower.colptr.items[n]);
            resize(lower.values, lower.colptr.items[n]);
        }
#pragma omp parallel for schedule(static)
        for (int32_t c = 0; c < n; ++c) {
            const int32_t j = unknownAt.items[c];
            StencilRow row;
            stencilRow(matrix, j % w, j / w, row);
            // The terms at or after c, insertion-sorted by position (equal positions keep the
            // row's term order), repeats summed.
            int32_t sorted[9];
            double values[9];
            int32_t count = 0;
            for (int32_t t = 0; t < 9; ++t) {
                const int32_t at = position.items[row.unknowns[t]];
                if (at < c) continue;
                int32_t e = count;
                while (e > 0 && sorted[e - 1] > at) --e;
                if (e > 0 && sorted[e - 1] == at) {
                    values[e - 1] += row.values[t];
                    continue;
                }
                for (int32_t m = count; m > e; --m) sorted[m] = sorted[m - 1], values[m] = values[m - 1];
                sorted[e] = at;
                values[e] = row.values[t];
                ++count;
            }
            if (pass == 0) {
                lower.colptr.items[c + 1] = count;
            } else {
                const int32_t at = lower.colptr.items[c];
                for (int32_t e = 0; e < count; ++e) {
                    lower.rowind.items[at + e] = sorted[e];
                    lower.values.items[at + e] = values[e];
                }
            }
        }
    }
}

// Eliminates positions first..end-1 right-looking in every lane at once: `lanes` factors on one pattern, their
// values side by side (entry p of lane f at values[p * lanes + f]), so that the pattern is searched once for all.
// A pivot below 1e-12 of the position's original diagonal is a breakdown of its lane, which goes on with a unit
// pivot so that the other lanes can finish; the result tells the lanes that broke down, bit f for lane f. Updates
// of positions at or after `shared` go to `sharedDelta` (its lanes side by side, indexed from the first entry of
// position `shared`) instead of the factor.
template <int32_t Lanes>
static uint64_t eliminateLanes(CompressedColumnMatrix& factor, int32_t laneCount, const double* diagonal,
                               int32_t first, int32_t end, int32_t shared, double* sharedDelta) {
    const int32_t lanes = Lanes > 0 ? Lanes : laneCount;
    const int32_t* start = factor.colptr.items;
    const int32_t* rows = factor.rowind.items;
    double* l = factor.values.items;
    double* const delta = sharedDelta ? sharedDelta - static_cast<int64_t>(start[shared]) * lanes : nullptr;
    uint64_t broken = 0;
    for (int32_t j = first; j < end; ++j) {
        double* pivots = l + static_cast<int64_t>(start[j]) * lanes;
        for (int32_t f = 0; f < lanes; ++f) {
            double pivot = pivots[f];
            if (!(pivot > 1e-12 * diagonal[j]) || !std::isfinite(pivot)) {
                broken |= uint64_t{1} << f;
                pivot = 1.0;
            }
            const double d = std::sqrt(pivot);
            pivots[f] = d;
            for (int32_t p = start[j] + 1; p < start[j + 1]; ++p) l[static_cast<int64_t>(p) * lanes + f] /= d;
        }
        for (int32_t p = start[j] + 1; p < start[j + 1]; ++p) {
            const int32_t column = rows[p];
            double* target = column >= shared ? delta : l;
            const double* lp = l + static_cast<int64_t>(p) * lanes;
            for (int32_t q = p; q < start[j + 1]; ++q) {
                const double* lq = l + static_cast<int64_t>(q) * lanes;
                for (int32_t t = start[column]; t < start[column + 1]; ++t) {
                    if (rows[t] != rows[q]) continue;
                    double* to = target + static_cast<int64_t>(t) * lanes;
                    for (int32_t f = 0; f < lanes; ++f) to[f] -= lp[f] * lq[f];
                    break;
                }
            }
        }
    }
    return broken;
}

static uint64_t eliminate(CompressedColumnMatrix& factor, int32_t lanes, const double* diagonal, int32_t first,
                          int32_t end, int32_t shared, double* sharedDelta) {
    switch (lanes) {
        case 1: return eliminateLanes<1>(factor, lanes, diagonal, first, end, shared, sharedDelta);
        case 2: return eliminateLanes<2>(factor, lanes, diagonal, first, end, shared, sharedDelta);
        case 3: return eliminateLanes<3>(factor, lanes, diagonal, first, end, shared, sharedDelta);
        case 4: return eliminateLanes<4>(factor, lanes, diagonal, first, end, shared, sharedDelta);
        default: return eliminateLanes<0>(factor, lanes, diagonal, first, end, shared, sharedDelta);
    }
}

// The domain order of M's rows and the lower triangle of the reordered matrix: data.factor's pattern, its values
// M's entries.
static void orderIncompleteCholesky(const StencilMatrix& matrix, StencilPreconditionerData& data) {
    const int32_t domains = domainCountFor(matrix.height, data.domains);
    GrowArray<int32_t> position;
    domainOrder(matrix.width, matrix.height, domains, position, data.domainStart);
    release(data.unknownAt);
    resize(data.unknownAt, position.count);
    for (int32_t j = 0; j < position.count; ++j) data.unknownAt.items[position.items[j]] = j;
    permutedLower(matrix, position, data.unknownAt, data.factor);
}

// Factors `lanes` matrices on data.factor's pattern at once, their values side by side. Lane f starts from `lower`
// (the reordered M's lower triangle on the pattern) without the entries that couple a position not free in lane f,
// freeAt[position * lanes + f] (every position free when null); a position that is not free keeps its diagonal.
// A lane that breaks down is redone for M + shift diag(M), the shift growing tenfold from 1e-4.
static bool factorLanes(StencilPreconditionerData& data, const GrowArray<double>& lower, const uint8_t* freeAt,
                        int32_t lanes, std::string& error) {
    assert(lanes >= 1 && lanes <= 64);
    CompressedColumnMatrix& factor = data.factor;
    const int32_t n = factor.n, domains = data.domainStart.count - 1, separators = data.domainStart.items[domains];
    const int32_t* start = factor.colptr.items;
    const int32_t* rows = factor.rowind.items;
    const int64_t size = static_cast<int64_t>(start[n]) * lanes;
    assert(size <= std::numeric_limits<int32_t>::max());
    data.factorColumns = lanes;
    if (factor.values.count != size) {
        release(factor.values);
        resize(factor.values, static_cast<int32_t>(size));
    }
    double* l = factor.values.items;
    // The unshifted diagonal, for the pivot test.
    GrowArray<double> diagonal, shift, deltas;
    resize(diagonal, n);
    for (int32_t j = 0; j < n; ++j) diagonal.items[j] = lower.items[start[j]];
    resize(shift, lanes);
    for (double& value : shift) value = 0.0;
    const int64_t sharedCount = static_cast<int64_t>(start[n] - start[separators]) * lanes;
    resize(deltas, static_cast<int32_t>(domains * sharedCount));
    for (;;) {
#pragma omp parallel for schedule(static)
        for (int32_t c = 0; c < n; ++c) {
            for (int32_t f = 0; f < lanes; ++f) l[static_cast<int64_t>(start[c]) * lanes + f] = lower.items[start[c]] * (1.0 + shift.items[f]);
            for (int32_t p = start[c] + 1; p < start[c + 1]; ++p) {
                for (int32_t f = 0; f < lanes; ++f) {
                    const bool kept = !freeAt || (freeAt[static_cast<int64_t>(c) * lanes + f] &&
                                                  freeAt[static_cast<int64_t>(rows[p]) * lanes + f]);
                    l[static_cast<int64_t>(p) * lanes + f] = kept ? lower.items[p] : 0.0;
                }
            }
        }
        for (double& delta : deltas) delta = 0.0;
        uint64_t broken = 0;
#pragma omp parallel for schedule(dynamic) reduction(| : broken)
        for (int32_t d = 0; d < domains; ++d) {
            broken |= eliminate(factor, lanes, diagonal.items, data.domainStart.items[d], data.domainStart.items[d + 1],
                                separators, deltas.items + d * sharedCount);
        }
        if (broken == 0) {
            double* shared = l + static_cast<int64_t>(start[separators]) * lanes;
            for (int32_t d = 0; d < domains; ++d)
                for (int64_t t = 0; t < sharedCount; ++t) shared[t] += deltas.items[d * sharedCount + t];
            broken = eliminate(factor, lanes, diagonal.items, separators, n, n, nullptr);
        }
        if (broken == 0) break;
        for (int32_t f = 0; f < lanes; ++f) {
            if (!(broken >> f & 1)) continue;
            shift.items[f] = shift.items[f] == 0.0 ? 1e-4 : shift.items[f] * 10.0;
            if (!(shift.items[f] < 1.0)) {
                error = "the solver failed: the incomplete Cholesky factorisation broke down";
                return false;
            }
        }
    }
    // The solves multiply by the pivots' inverses rather than divide.
    if (data.factorInverseDiagonal.count != n * lanes) {
        release(data.factorInverseDiagonal);
        resize(data.factorInverseDiagonal, n * lanes);
    }
    for (int32_t j = 0; j < n; ++j) {
        for (int32_t f = 0; f < lanes; ++f)
            data.factorInverseDiagonal.items[static_cast<int64_t>(j) * lanes + f] = 1.0 / l[static_cast<int64_t>(start[j]) * lanes + f];
    }
    return true;
}

static bool incompleteCholesky(const StencilMatrix& matrix, StencilPreconditionerData& data, std::string& error) {
    orderIncompleteCholesky(matrix, data);
    GrowArray<double> lower = std::move(data.factor.values);
    const bool factored = factorLanes(data, lower, nullptr, 1, error);
    if (data.keepLower) data.lower = std::move(lower);
    return factored;
}

// z = P^T (L L^T)^-1 P r: forward L y = P r over the domains at once (their contributions to the
// separator rows kept apart and added in domain order), the separators; backward in reverse. The
// columns of one unknown sit side by side, so every factor entry is read once for all of them;
// r is read and z written in the old numbering as the solves reach each unknown.
// Channels: the column count when fixed at compile time (1 to 4, the colour channels, whose loops then unroll),
// 0 for any count. OwnFactors: every column has its own factor's values, side by side, rather than one for all.
template <int32_t Channels, bool OwnFactors>
static void incompleteCholeskySolveOf(StencilPreconditionerData& data, const DenseBlock& r, DenseBlock& z) {
    const CompressedColumnMatrix& factor = data.factor;
    const int32_t n = factor.n, columns = Channels > 0 ? Channels : r.columns, domains = data.domainStart.count - 1;
    const int32_t separators = data.domainStart.items[domains], sharedRows = n - separators;
    const int32_t* start = factor.colptr.items;
    const int32_t* rows = factor.rowind.items;
    const double* values = factor.values.items;
    const int32_t* unknownAt = data.unknownAt.items;
    const double* inverses = data.factorInverseDiagonal.items;
    // Entry p of column k's factor, and 1 / L(j, j) of it.
    auto l = [&](int32_t p, int32_t k) { return OwnFactors ? values[static_cast<int64_t>(p) * columns + k] : values[p]; };
    auto inverseDiagonal = [&](int32_t j, int32_t k) {
        return OwnFactors ? inverses[static_cast<int64_t>(j) * columns + k] : inverses[j];
    };
    if (z.count != n || z.columns != columns) createBlock(z, n, columns);
    if (data.work.count != n * columns) {
        release(data.work);
        resize(data.work, n * columns);
    }
    if (data.separatorSums.count != domains * sharedRows * columns) {
        release(data.separatorSums);
        resize(data.separatorSums, domains * sharedRows * columns);
    }
    double* v = data.work.items;
    auto load = [&](int32_t j) {
        for (int32_t k = 0; k < columns; ++k)
            v[static_cast<int64_t>(j) * columns + k] = r.values.items[unknownAt[j] + static_cast<int64_t>(k) * n];
    };
    auto store = [&](int32_t j) {
        for (int32_t k = 0; k < columns; ++k)
            z.values.items[unknownAt[j] + static_cast<int64_t>(k) * n] = v[static_cast<int64_t>(j) * columns + k];
    };
#pragma omp parallel for schedule(dynamic) if (worthThreads(n))
    for (int32_t d = 0; d < domains; ++d) {
        // This domain's contributions to the separator rows: row separators + s at sums[s * columns].
        double* sums = data.separatorSums.items + static_cast<int64_t>(d) * sharedRows * columns;
        for (int64_t e = 0; e < static_cast<int64_t>(sharedRows) * columns; ++e) sums[e] = 0.0;
        for (int32_t j = data.domainStart.items[d]; j < data.domainStart.items[d + 1]; ++j) load(j);
        for (int32_t j = data.domainStart.items[d]; j < data.domainStart.items[d + 1]; ++j) {
            double* own = v + static_cast<int64_t>(j) * columns;
            for (int32_t k = 0; k < columns; ++k) own[k] *= inverseDiagonal(j, k);
            for (int32_t p = start[j] + 1; p < start[j + 1]; ++p) {
                double* target = rows[p] >= separators
                                     ? sums + static_cast<int64_t>(rows[p] - separators) * columns
                                     : v + static_cast<int64_t>(rows[p]) * columns;
                for (int32_t k = 0; k < columns; ++k) target[k] -= l(p, k) * own[k];
            }
        }
    }
    // The separators, on one thread: a few grid rows.
    for (int32_t j = separators; j < n; ++j) load(j);
    for (int32_t d = 0; d < domains; ++d) {
        const double* sums = data.separatorSums.items + static_cast<int64_t>(d) * sharedRows * columns;
        double* separatorValues = v + static_cast<int64_t>(separators) * columns;
        for (int64_t e = 0; e < static_cast<int64_t>(sharedRows) * columns; ++e) separatorValues[e] += sums[e];
    }
    for (int32_t j = separators; j < n; ++j) {
        double* own = v + static_cast<int64_t>(j) * columns;
        for (int32_t k = 0; k < columns; ++k) own[k] /= l(start[j], k);
        for (int32_t p = start[j] + 1; p < start[j + 1]; ++p)
            for (int32_t k = 0; k < columns; ++k) v[static_cast<int64_t>(rows[p]) * columns + k] -= l(p, k) * own[k];
    }
    for (int32_t j = n - 1; j >= separators; --j) {
        double* own = v + static_cast<int64_t>(j) * columns;
        for (int32_t p = start[j] + 1; p < start[j + 1]; ++p)
            for (int32_t k = 0; k < columns; ++k) own[k] -= l(p, k) * v[static_cast<int64_t>(rows[p]) * columns + k];
        for (int32_t k = 0; k < columns; ++k) own[k] /= l(start[j], k);
        store(j);
    }
#pragma omp parallel for schedule(dynamic) if (worthThreads(n))
    for (int32_t d = 0; d < domains; ++d) {
        for (int32_t j = data.domainStart.items[d + 1] - 1; j >= data.domainStart.items[d]; --j) {
            double* own = v + static_cast<int64_t>(j) * columns;
            for (int32_t p = start[j] + 1; p < start[j + 1]; ++p)
                for (int32_t k = 0; k < columns; ++k) own[k] -= l(p, k) * v[static_cast<int64_t>(rows[p]) * columns + k];
            for (int32_t k = 0; k < columns; ++k) own[k] *= inverseDiagonal(j, k);
            store(j);
        }
    }
}

static void incompleteCholeskySolve(StencilPreconditionerData& data, const DenseBlock& r, DenseBlock& z) {
    if (data.factorColumns > 1) {
        assert(r.columns == data.factorColumns);
        switch (r.columns) {
            case 2: incompleteCholeskySolveOf<2, true>(data, r, z); return;
            case 3: incompleteCholeskySolveOf<3, true>(data, r, z); return;
            case 4: incompleteCholeskySolveOf<4, true>(data, r, z); return;
            default: incompleteCholeskySolveOf<0, true>(data, r, z); return;
        }
    }
    switch (r.columns) {
        case 1: incompleteCholeskySolveOf<1, false>(data, r, z); return;
        case 2: incompleteCholeskySolveOf<2, false>(data, r, z); return;
        case 3: incompleteCholeskySolveOf<3, false>(data, r, z); return;
        case 4: incompleteCholeskySolveOf<4, false>(data, r, z); return;
        default: incompleteCholeskySolveOf<0, false>(data, r, z); return;
    }
}

// --- Building and applying --------------------------------------------------------------------

bool buildStencilPreconditioner(const StencilMatrix& matrix, const StencilSolverOptions& options,
                                StencilPreconditionerData& data, std::string& error) {
    data.domains = options.domains;
    if (!checkDiagonal(matrix, error)) return false;
    return incompleteCholesky(matrix, data, error);
}

void applyStencilPreconditioner(const StencilMatrix&, StencilPreconditionerData& data, const DenseBlock& r,
                                DenseBlock& z) {
    incompleteCholeskySolve(data, r, z);
}

// --- Faces of bounded solves -------------------------------------------------------------------

// A face's IC(0) is that of M with every coupling of a held unknown removed (A_FF on the free unknowns, the held
// ones' own diagonal alone): it preconditions A_FF about as well as M's preconditions M, where M's factor cut to the
// face does not. On M's pattern and order, the face's lower triangle is M's with those entries zeroed.

static int64_t faceDifference(const uint8_t* a, const uint8_t* b, int32_t n) {
    int64_t different = 0;
#pragma omp parallel for schedule(static) reduction(+ : different) if (worthThreads(n))
    for (int32_t j = 0; j < n; ++j) different += a[j] != b[j];
    return different;
}

void startStencilFacePreconditioner(StencilFacePreconditioner& face, StencilPreconditionerData&& data) {
    assert(data.keepLower);
    face.factors = std::move(data);
    face.factors.keepLower = false;
    face.lower = std::move(face.factors.lower);
    release(face.faces);
    data = StencilPreconditionerData();
}

bool fitStencilFacePreconditioner(const StencilMatrix& matrix, const StencilSolverOptions& options,
                                  const uint8_t* free, int64_t stride, int32_t columns, double tolerance,
                                  StencilFacePreconditioner& face, std::string& error) {
    const int32_t n = matrix.width * matrix.height;
    StencilPreconditionerData& data = face.factors;
    if (data.factor.n != n || data.factor.colptr.count != n + 1 || face.lower.count != data.factor.colptr.items[n]) {
        data.domains = options.domains;
        orderIncompleteCholesky(matrix, data);
        face.lower = std::move(data.factor.values);
        release(face.faces);
    }
    bool refit = face.faces.count != static_cast<int64_t>(n) * columns;
    for (int32_t k = 0; k < columns && !refit; ++k)
        refit = faceDifference(face.faces.items + static_cast<int64_t>(k) * n, free + k * stride, n) > tolerance * n;
    if (!refit) return true;
    if (face.faces.count != n * columns) {
        release(face.faces);
        resize(face.faces, n * columns);
    }
    GrowArray<uint8_t> freeAt;
    resize(freeAt, n * columns);
    for (int32_t k = 0; k < columns; ++k) {
        std::copy(free + k * stride, free + k * stride + n, face.faces.items + static_cast<int64_t>(k) * n);
#pragma omp parallel for schedule(static) if (worthThreads(n))
        for (int32_t c = 0; c < n; ++c)
            freeAt.items[static_cast<int64_t>(c) * columns + k] = free[k * stride + data.unknownAt.items[c]];
    }
    if (!factorLanes(data, face.lower, freeAt.items, columns, error)) return false;
    ++face.builds;
    return true;
}

void applyStencilFacePreconditioner(StencilFacePreconditioner& face, const DenseBlock& r, DenseBlock& z) {
    assert(face.factors.factorColumns == r.columns);
    incompleteCholeskySolve(face.factors, r, z);
}

void setStencilRounding(const StencilMatrix& matrix, ConjugateGradientOptions& options) {
    GrowArray<double> rowSums;
    resize(rowSums, matrix.width * matrix.height);
#pragma omp parallel for schedule(static) if (worthThreads(rowSums.count))
    for (int32_t y = 0; y < matrix.height; ++y) {
        StencilRow row;
        for (int32_t x = 0; x < matrix.width; ++x) {
            stencilRow(matrix, x, y, row);
            double sum = 0.0;
            for (int32_t t = 0; t < 9; ++t) sum += std::abs(row.values[t]);
            rowSums.items[y * matrix.width + x] = sum;
        }
    }
    setResidualRounding(options, rowSums, 10);
    options.preciseResidual = [&matrix](const DenseBlock& x, const DenseBlock& b, DenseBlock& r) {
        stencilResidual(matrix, x, b, r);
    };
}

bool stencilIsFinite(const StencilMatrix& matrix, std::string& error) {
    for (int32_t k = 0; k < matrix.coefficients.count; ++k) {
        if (!std::isfinite(matrix.coefficients.items[k])) {
            error = "the solver failed: matrix entry is not finite (unknown " +
                    std::to_string(k / stencilCoefficientCount) + ")";
            return false;
        }
    }
    return true;
}

// solveStencil, followed when `bounds` is given by the bounded solve from its result with the same preconditioner.
static bool solveStencilOf(const StencilMatrix& matrix, DenseBlock& x, const DenseBlock& b,
                           const StencilSolverOptions& options, IterativeSolveStats& statistics,
                           const BoundedSolveOptions* bounds, BoundedSolveStats* bounded, std::string& error) {
    assert(b.count == matrix.width * matrix.height && x.count == b.count && x.columns == b.columns);
    statistics = IterativeSolveStats();
    if (!stencilIsFinite(matrix, error)) return false;
    ConjugateGradientOptions iterations = options.iterations;
    setStencilRounding(matrix, iterations);

    const double start = wallClockSeconds();
    StencilPreconditionerData data;
    data.keepLower = bounds != nullptr;
    if (!buildStencilPreconditioner(matrix, options, data, error)) return false;
    statistics.setupSeconds = wallClockSeconds() - start;
    const BlockOperator multiply = [&matrix](const DenseBlock& in, DenseBlock& out) { multiplyStencil(matrix, in, out); };
    const BlockOperator precondition = [&matrix, &data](const DenseBlock& in, DenseBlock& out) {
        applyStencilPreconditioner(matrix, data, in, out);
    };
    const double setup = statistics.setupSeconds;
    const bool solved =
        conjugateGradients(multiply, precondition, x, b, startOfSolve(iterations, bounds, 1), statistics, error);
    statistics.setupSeconds = setup;
    if (!solved || !bounds) return solved;
    BoundedSolveOptions within = *bounds;
    within.iterations = iterations;
    // The face solves are preconditioned by every channel's IC(0) of its own face matrix, refitted as the face moves.
    StencilFacePreconditioner face;
    bool onFace = false;
    const BlockOperator facePrecondition = [&](const DenseBlock& in, DenseBlock& out) {
        if (onFace) applyStencilFacePreconditioner(face, in, out);
        else applyStencilPreconditioner(matrix, data, in, out);
    };
    const FaceChange fitToFace = [&](const GrowArray<uint8_t>& free, std::string& message) {
        if (!onFace && data.keepLower) startStencilFacePreconditioner(face, std::move(data));
        onFace = true;
        return fitStencilFacePreconditioner(matrix, options, free.items, b.count, b.columns, options.faceTolerance, face,
                                            message);
    };
    return solveBounded(multiply, facePrecondition, fitToFace, x, b, within, *bounded, error);
}

bool solveStencil(const StencilMatrix& matrix, DenseBlock& x, const DenseBlock& b, const StencilSolverOptions& options,
                  IterativeSolveStats& statistics, std::string& error) {
    return solveStencilOf(matrix, x, b, options, statistics, nullptr, nullptr, error);
}

bool solveStencilWithinBounds(const StencilMatrix& matrix, DenseBlock& x, const DenseBlock& b,
                              const StencilSolverOptions& options, const BoundedSolveOptions& bounds,
                              IterativeSolveStats& statistics, BoundedSolveStats& bounded,
                              std::string& error) {
    bounded = BoundedSolveStats();
    return solveStencilOf(matrix, x, b, options, statistics, &bounds, &bounded, error);
}
