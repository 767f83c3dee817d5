// "kivbi": each level is the least-squares fit, over the model's surface, of its bilinear
// reconstruction to the texture's, assembled in parallel over coverage rows and solved by Cholesky.
#include "filters/bilinear_filter.h"

#include <cassert>

#include "base/clock.h"
#include "filters/parallel_assembly.h"
#include "filters/tent_kernel.h"
#include "sparse/sparse_solver.h"

// The two tents of a cell's row and of its column. Tent p (0 .. 3) of the cell is the product of
// row tent p >> 1 and column tent p & 1, so p = 2 e_row + e_column.
struct CellTents {
    TentFactor row[2];
    TentFactor column[2];
};

static int32_t texelOfTent(const CellTents& tents, int32_t p, int32_t width) {
    return tents.row[p >> 1].texel * width + tents.column[p & 1].texel;
}

// The two tents of every cell column of a grid, for texels spanning 2a cells in a level of `size`.
static GrowArray<TentFactor> tentsOfColumns(int32_t columnCount, int32_t a, int32_t size) {
    GrowArray<TentFactor> tents;
    resize(tents, 2 * columnCount);
    for (int32_t x = 0; x < columnCount; ++x) {
        tents.items[2 * x] = cellTent(x, a, 0, size);
        tents.items[2 * x + 1] = cellTent(x, a, 1, size);
    }
    return tents;
}

static void setTents(CellTents& tents, const TentFactor* rowTents, const TentFactor* columnTents) {
    tents.row[0] = rowTents[0], tents.row[1] = rowTents[1];
    tents.column[0] = columnTents[0], tents.column[1] = columnTents[1];
}

// overlaps[p][q] = cellOverlap(cell, tent p of `first`, tent q of `second`, scale) for all 16 pairs,
// with each fan triangle's area and moments computed once for all of them. The terms are added in
// the same order as cellOverlap adds them. When `first` and `second` are the same tents the
// integrand is symmetric in p and q, so only q >= p is evaluated and mirrored.
static void cellOverlaps(const CoverageCell& cell, const CellTents& first, const CellTents& second, bool sameTents,
                         double scale, double overlaps[4][4]) {
    for (int32_t p = 0; p < 4; ++p) {
        for (int32_t q = 0; q < 4; ++q) overlaps[p][q] = 0.0;
    }
    for (const SurfacePiece& piece : cell.pieces) {
        const int32_t k = piece.texPoints.count;
        if (k <= 2) continue;
        const LocalPoint t0 = widened(piece.texPoints.items[0]);
        for (int32_t m = 1; m <= k - 2; ++m) {
            const double weight = static_cast<double>(fanTriangleArea(piece, m)) * scale;
            const TriangleMoments moments =
                triangleMoments(t0, widened(piece.texPoints.items[m]), widened(piece.texPoints.items[m + 1]));
            for (int32_t p = 0; p < 4; ++p) {
                const TentFactor& x1 = first.column[p & 1];
                const TentFactor& y1 = first.row[p >> 1];
                for (int32_t q = sameTents ? p : 0; q < 4; ++q) {
                    overlaps[p][q] +=
                        tentProductIntegral(moments, x1, y1, second.column[q & 1], second.row[q >> 1]) * weight;
                }
            }
        }
    }
    if (!sameTents) return;
    for (int32_t p = 1; p < 4; ++p) {
        for (int32_t q = 0; q < p; ++q) overlaps[p][q] = overlaps[q][p];
    }
}

// M(j, k) = S/2 times the integral over the surface of tent j times tent k, from the cells of grid
// i, two cells per texel of the level. Both orders of every pair are offered to `accumulate`, which
// keeps the one at or right of the diagonal; pairs that overlap no surface store nothing.
void assembleGramMatrix(SparseRowMatrix& matrix, const FloatImage& target, const TexelCoverage& coverage,
                        int32_t i) {
    const CoverageGrid& grid = coverage.levels[i];
    const int32_t width = target.width, height = target.height;
    assert(grid.width == 2 * width && grid.height == 2 * height);
    const double scale = static_cast<double>(grid.width) * grid.height;
    const GrowArray<TentFactor> columnTents = tentsOfColumns(grid.width, 1, width);
    const int32_t unknownCount = matrix.rows.count;

    auto prepare = [unknownCount](SparseRowMatrix& own) {
        setRowCount(own, unknownCount);
        clearRows(own);
    };
    auto fillRow = [&](SparseRowMatrix& sum, int32_t y) {
        const TentFactor rowTents[2] = {cellTent(y, 1, 0, height), cellTent(y, 1, 1, height)};
        CellTents tents;
        double overlaps[4][4];
        for (int32_t x = 0; x < grid.width; ++x) {
            const CoverageCell& cell = grid.cells.items[y * grid.width + x];
            if (cell.pieces.count == 0) continue;  // every overlap would be 0
            setTents(tents, rowTents, &columnTents.items[2 * x]);
            cellOverlaps(cell, tents, tents, true, scale, overlaps);
            for (int32_t p = 0; p < 4; ++p) {
                const int32_t j = texelOfTent(tents, p, width);
                for (int32_t q = 0; q < 4; ++q) {
                    const double s = overlaps[p][q];
                    if (s != 0.0) accumulate(sum, texelOfTent(tents, q, width), j, s);
                }
            }
        }
    };
    // Thread t of T fills the rows t, t + T, t + 2T, ... of the grid.
    accumulateInParallel<SparseRowMatrix>(
        prepare,
        [&](SparseRowMatrix* own, int32_t thread, int32_t threadCount) {
            for (int32_t y = thread; y < grid.height; y += threadCount) fillRow(own ? *own : matrix, y);
        },
        [&matrix](const SparseRowMatrix& own) { addMatrix(matrix, own); });
}

// B(j, c) = S/2 times the integral over the surface of level tent j times the bilinear
// reconstruction of channel c of the source, from the cells of grid 0: 2a cells per level texel,
// two per source texel.
void assembleRightHandSides(DenseBlock& rhs, int32_t a, const FloatImage& target, const FloatImage& source,
                            const TexelCoverage& coverage, int32_t i) {
    const CoverageGrid& grid = coverage.levels[0];
    const int32_t width = target.width, height = target.height;
    assert(grid.width == 2 * source.width && grid.height == 2 * source.height);
    assert(source.width == a * width && source.height == a * height);
    const double scale = static_cast<double>(coverage.levels[i].width) * coverage.levels[i].height;
    const GrowArray<TentFactor> levelColumnTents = tentsOfColumns(grid.width, a, width);
    const GrowArray<TentFactor> sourceColumnTents = tentsOfColumns(grid.width, 1, source.width);
    const int32_t unknownCount = rhs.count, channelCount = rhs.columns;

    auto prepare = [unknownCount, channelCount](DenseBlock& own) { createBlock(own, unknownCount, channelCount); };
    auto fillRow = [&](DenseBlock& sum, int32_t y) {
        const TentFactor levelRowTents[2] = {cellTent(y, a, 0, height), cellTent(y, a, 1, height)};
        const TentFactor sourceRowTents[2] = {cellTent(y, 1, 0, source.height), cellTent(y, 1, 1, source.height)};
        CellTents levelTents, sourceTents;
        double overlaps[4][4];
        for (int32_t x = 0; x < grid.width; ++x) {
            const CoverageCell& cell = grid.cells.items[y * grid.width + x];
            if (cell.pieces.count == 0) continue;  // every overlap would be 0
            setTents(levelTents, levelRowTents, &levelColumnTents.items[2 * x]);
            setTents(sourceTents, sourceRowTents, &sourceColumnTents.items[2 * x]);
            cellOverlaps(cell, levelTents, sourceTents, false, scale, overlaps);
            for (int32_t p = 0; p < 4; ++p) {
                const int32_t j = texelOfTent(levelTents, p, width);
                for (int32_t q = 0; q < 4; ++q) {
                    const Texel& colour = source.at(sourceTents.column[q & 1].texel, sourceTents.row[q >> 1].texel);
                    const double s = overlaps[p][q];
                    sum.at(j, 0) += static_cast<double>(colour.r) * s;
                    sum.at(j, 1) += static_cast<double>(colour.g) * s;
                    sum.at(j, 2) += static_cast<double>(colour.b) * s;
                }
            }
        }
    };
    accumulateInParallel<DenseBlock>(
        prepare,
        [&](DenseBlock* own, int32_t thread, int32_t threadCount) {
            for (int32_t y = thread; y < grid.height; y += threadCount) fillRow(own ? *own : rhs, y);
        },
        [&rhs](const DenseBlock& own) { addBlock(rhs, own); });
}

bool kivbiLevel(FloatImage& target, const FloatImage& source, const TexelCoverage& coverage,
                int32_t a, int32_t i, BilinearLevelStats& stats, std::string& error) {
    const double start = wallClockSeconds();
    stats.factor = a;
    const int32_t width = source.width / a, height = source.height / a;
    allocateImage(target, width, height);
    const int32_t unknownCount = width * height;

    SparseRowMatrix matrix;
    setRowCount(matrix, unknownCount);
    clearRows(matrix);
    assembleGramMatrix(matrix, target, coverage, i);
    DenseBlock rhs;
    createBlock(rhs, unknownCount, 3);
    assembleRightHandSides(rhs, a, target, source, coverage, i);

    regularise(matrix, rhs);
    toCompressedColumn(matrix);
    releaseRows(matrix);
    std::string solverError;
    DenseBlock solution;
    if (!factorise(matrix, stats.solver, solverError) || !solveColumns(matrix, solution, rhs)) {
        if (solverError.empty()) solverError = "the solver failed: the solve returned no solution";
        error = "Error: kivbi: level " + std::to_string(i) + " (" + std::to_string(width) + "x" +
                std::to_string(height) + "): " + solverError;
        return false;
    }

    // Unclamped: values outside [0, 1] are clamped only when the level is encoded for output.
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const int32_t j = y * width + x;
            target.at(x, y) = Texel{static_cast<float>(solution.at(j, 0)), static_cast<float>(solution.at(j, 1)),
                                    static_cast<float>(solution.at(j, 2)), 1.0f};
        }
    }
    stats.seconds = wallClockSeconds() - start;
    stats.solved = true;
    release(solution.values);
    release(rhs.values);
    releaseSolver(matrix);
    return true;
}

bool buildKivbiPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& texture,
                       int32_t levelCount, FilterStats& stats, std::string& error) {
    // Grid i + 1 pairs two cells with each texel of level i only for a square power-of-two side.
    if (!isSquarePowerOfTwo(texture)) {
        error = "Error: kivbi: the texture is " + std::to_string(texture.width) + "x" +
                std::to_string(texture.height) + "; it needs a square side that is a power of two";
        return false;
    }
    assert(levelCount == mipLevelCount(texture.width, texture.height));
    TexelCoverage coverage;
    buildTexelCoverage(coverage, mesh, levelCount);
    resizeLevels(pyramid, levelCount);
    copyImage(pyramid.levels[0], texture);
    for (int32_t i = 1; i < levelCount; ++i) {
        append(stats.bilinearLevels, BilinearLevelStats());
        BilinearLevelStats& levelStats = stats.bilinearLevels.items[stats.bilinearLevels.count - 1];
        if (!kivbiLevel(pyramid.levels[i], texture, coverage, 1 << i, i, levelStats, error)) {
            releaseCoverage(coverage);
            return false;
        }
    }
    releaseCoverage(coverage);
    return true;
}
