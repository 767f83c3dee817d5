// The least-squares assemblies of the previous implementation, over the pieces of a stored texel coverage: kept as
// oracles that the assemblies from surface moments are checked against, term by term.
#include "piece_assembly.h"

#include <cassert>
#include <utility>

#include "parallel_assembly.h"
#include "filters/tent_kernel.h"
#include "tent_integrals.h"
#include "trilinear_kernel.h"

// Red, green and blue are solved; alpha is not.
static constexpr int32_t channelCount = 3;

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
    const int32_t unknownCount = rhs.count, columns = rhs.columns;

    auto prepare = [unknownCount, columns](DenseBlock& own) { createBlock(own, unknownCount, columns); };
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

// The integral over a segment's t of the products of the two blend weights: (1 - t)^2 and t^2
// give 1/3, t (1 - t) gives 1/6.
static const double upperUpper = blendIntegral(upperBlend, upperBlend);
static const double lowerLower = blendIntegral(lowerBlend, lowerBlend);
static const double upperLower = blendIntegral(upperBlend, lowerBlend);
static const double lowerUpper = blendIntegral(lowerBlend, upperBlend);

// Calls `visit(moments, area)` for every fan triangle (t0, t(m-1), tm) of every piece of the cell;
// pieces of fewer than three vertices hold none. The moments and the model-space area are shared
// by every term integrated over the triangle.
template <typename Visit>
static void forEachFanTriangle(const CoverageCell& cell, Visit visit) {
    for (const SurfacePiece& piece : cell.pieces) {
        const int32_t k = piece.texPoints.count;
        if (k < 3) continue;
        const LocalPoint t0 = widened(piece.texPoints[0]);
        for (int32_t m = 2; m <= k - 1; ++m) {
            const TriangleMoments moments =
                triangleMoments(t0, widened(piece.texPoints[m - 1]), widened(piece.texPoints[m]));
            visit(moments, static_cast<double>(fanTriangleArea(piece, m - 1)));
        }
    }
}

static bool holdsFanTriangle(const CoverageCell& cell) {
    for (const SurfacePiece& piece : cell.pieces) {
        if (piece.texPoints.count >= 3) return true;
    }
    return false;
}

// One thread's own sums of the matrix pass, merged into the shared matrix and right-hand sides.
struct MatrixPassSums {
    SparseRowMatrix matrix;
    DenseBlock rhs;
};

// Where the products of one unknown with one partner texel go: a matrix entry, the right-hand
// sides times the partner's fixed colour with a minus sign, or nowhere.
struct PairTarget {
    double* entry = nullptr;
    bool fixed = false;
    float colour[channelCount] = {0, 0, 0};
};

// What one thread's pass over the unknown levels reads.
struct MatrixPass {
    int32_t levelCount = 0;
    const GrowArray<int32_t>* levelStart = nullptr;
    const FloatImage* texture = nullptr;
    float topColour[channelCount] = {0, 0, 0};
};

// Routes the products of unknown i with texel (px, py) of level p: level 0 (the texture) and level
// L - 1 (the top colour) are fixed and move to the right-hand sides; an unknown partner j is the
// entry (i, j), kept only at or right of the diagonal since the pair is also met as (j, i). The
// entry is created here, before anything is added, so that a row the surface reaches is never empty
// even where its products come out 0.
static PairTarget routePair(const MatrixPass& pass, SparseRowMatrix& matrix, int32_t i, int32_t p, int32_t px,
                            int32_t py, int32_t sideP) {
    PairTarget target;
    if (p <= 0) {
        const Texel& texel = pass.texture->at(px, py);
        target.fixed = true;
        target.colour[0] = texel.r, target.colour[1] = texel.g, target.colour[2] = texel.b;
    } else if (p >= pass.levelCount - 1) {
        target.fixed = true;
        for (int32_t c = 0; c < channelCount; ++c) target.colour[c] = pass.topColour[c];
    } else {
        const int32_t j = (*pass.levelStart)[p] + py * sideP + px;
        if (j >= i) target.entry = &rowValue(matrix, i, j);
    }
    return target;
}

static void addPairTerm(const PairTarget& target, DenseBlock& rhs, int32_t i, double w) {
    if (target.entry) {
        *target.entry += w;
    } else if (target.fixed) {
        for (int32_t c = 0; c < channelCount; ++c) rhs.at(i, c) -= w * target.colour[c];
    }
}

// The pair terms of one cell of grid l - 1 for unknown level l, whose texels span four cells; the
// partners of level l - 1 span two and those of level l + 1 eight. sides[k] is the side of level
// l - 1 + k (columns), rowSides likewise for rows.
static void assembleMatrixCell(const MatrixPass& pass, SparseRowMatrix& matrix, DenseBlock& rhs,
                               const CoverageCell& cell, int32_t l, int32_t x, int32_t y, const int32_t sides[3],
                               const int32_t rowSides[3], double scale) {
    if (!holdsFanTriangle(cell)) return;
    const int32_t cellsPerHalfTexel[3] = {1, 2, 4};
    TentFactor columnTents[3][2], rowTents[3][2];
    for (int32_t k = 0; k < 3; ++k) {
        for (int32_t e = 0; e < 2; ++e) {
            columnTents[k][e] = cellTent(x, cellsPerHalfTexel[k], e, sides[k]);
            rowTents[k][e] = cellTent(y, cellsPerHalfTexel[k], e, rowSides[k]);
        }
    }
    const int32_t start = (*pass.levelStart)[l];
    // Unknown tents (ey, ex) and partner tents (fy, fx): 16 combinations, each with a partner in
    // level l - 1 (term 1), in level l (terms 2 and 3) and in level l + 1 (term 4).
    struct Combination {
        const TentFactor *xi, *yi;
        int32_t i;
        PairTarget finer, same, coarser;
    };
    Combination combinations[16];
    int32_t n = 0;
    for (int32_t ey = 0; ey < 2; ++ey) {
        for (int32_t ex = 0; ex < 2; ++ex) {
            const TentFactor& yi = rowTents[1][ey];
            const TentFactor& xi = columnTents[1][ex];
            const int32_t i = start + yi.texel * sides[1] + xi.texel;
            for (int32_t fy = 0; fy < 2; ++fy) {
                for (int32_t fx = 0; fx < 2; ++fx) {
                    Combination& combination = combinations[n++];
                    combination.xi = &xi;
                    combination.yi = &yi;
                    combination.i = i;
                    combination.finer = routePair(pass, matrix, i, l - 1, columnTents[0][fx].texel,
                                                  rowTents[0][fy].texel, sides[0]);
                    combination.same =
                        routePair(pass, matrix, i, l, columnTents[1][fx].texel, rowTents[1][fy].texel, sides[1]);
                    combination.coarser = routePair(pass, matrix, i, l + 1, columnTents[2][fx].texel,
                                                    rowTents[2][fy].texel, sides[2]);
                }
            }
        }
    }
    forEachFanTriangle(cell, [&](const TriangleMoments& moments, double area) {
        for (int32_t c = 0; c < 16; ++c) {
            const Combination& combination = combinations[c];
            const int32_t fy = (c >> 1) & 1, fx = c & 1;
            const TentFactor &xi = *combination.xi, &yi = *combination.yi;
            const int32_t i = combination.i;
            // A pair term is K scale a = (1/2) scale times the integral of the product over the
            // model-space triangle and over t.
            if (combination.finer.entry || combination.finer.fixed) {
                const double k = tentProductIntegral(moments, xi, yi, columnTents[0][fx], rowTents[0][fy]);
                addPairTerm(combination.finer, rhs, i, k * upperLower * scale * area);
            }
            if (combination.same.entry) {
                const double k = tentProductIntegral(moments, xi, yi, columnTents[1][fx], rowTents[1][fy]);
                addPairTerm(combination.same, rhs, i, k * upperUpper * scale * area);
                addPairTerm(combination.same, rhs, i, k * lowerLower * scale * area);
            }
            const double k = tentProductIntegral(moments, xi, yi, columnTents[2][fx], rowTents[2][fy]);
            addPairTerm(combination.coarser, rhs, i, k * lowerUpper * scale * area);
        }
    });
}

void assembleTrilinearMatrix(DenseBlock& rhs, SparseRowMatrix& matrix, const MipPyramid& boxPyramid,
                             int32_t unknownCount, const GrowArray<int32_t>& levelStart,
                             const TexelCoverage& coverage, const FloatImage& texture) {
    MatrixPass pass;
    pass.levelCount = coverage.levels.count - 1;
    if (pass.levelCount < 3) return;
    assert(boxPyramid.levels.count == pass.levelCount && levelStart.count == pass.levelCount);
    pass.levelStart = &levelStart;
    pass.texture = &texture;
    const Texel& top = boxPyramid.levels[pass.levelCount - 1].texels[0];
    pass.topColour[0] = top.r, pass.topColour[1] = top.g, pass.topColour[2] = top.b;
    const double scale = static_cast<double>(coverage.levels[0].cellCount);

    // Adding a matrix to one without entries copies it exactly, so the first merge may take over
    // the thread's rows instead: one matrix fewer at the memory peak.
    bool sharedMatrixEmpty = true;
    for (const SparseRow& row : matrix.rows) sharedMatrixEmpty = sharedMatrixEmpty && row.empty();
    auto prepare = [unknownCount](MatrixPassSums& own) {
        setRowCount(own.matrix, unknownCount);
        clearRows(own.matrix);
        createBlock(own.rhs, unknownCount, channelCount);
    };
    auto merge = [&](MatrixPassSums& own) {
        if (sharedMatrixEmpty) std::swap(matrix.rows, own.matrix.rows);
        else addMatrix(matrix, own.matrix);
        sharedMatrixEmpty = false;
        addBlock(rhs, own.rhs);
    };
    // Thread t of T takes the rows t, t + T, t + 2T, ... of every grid.
    accumulateInParallel<MatrixPassSums>(prepare, [&](MatrixPassSums* own, int32_t thread, int32_t threadCount) {
        SparseRowMatrix& target = own ? own->matrix : matrix;
        DenseBlock& targetRhs = own ? own->rhs : rhs;
        for (int32_t l = 1; l <= pass.levelCount - 2; ++l) {
            const CoverageGrid& grid = coverage.levels[l - 1];
            // Grid l has the side of level l - 1; level 0 itself is the texture.
            const CoverageGrid& sizes = coverage.levels[l];
            const int32_t sides[3] = {l == 1 ? texture.width : sizes.width, sizes.width / 2, sizes.width / 4};
            const int32_t rowSides[3] = {l == 1 ? texture.height : sizes.height, sizes.height / 2,
                                         sizes.height / 4};
            for (int32_t y = thread; y < grid.height; y += threadCount) {
                for (int32_t x = 0; x < grid.width; ++x) {
                    assembleMatrixCell(pass, target, targetRhs, grid.cells.items[y * grid.width + x], l, x, y, sides,
                                       rowSides, scale);
                }
            }
        }
    }, merge);
}

// Column (or row) tents of every unknown level for every cell column of grid 0: tents[l][2 x + e].
static GrowArray<GrowArray<TentFactor>> unknownTentsOfGrid0(int32_t cellCount, int32_t levelCount,
                                                           int32_t textureSide) {
    GrowArray<GrowArray<TentFactor>> tents;
    resize(tents, levelCount);
    for (int32_t l = 1; l <= levelCount - 2; ++l) {
        resize(tents[l], 2 * cellCount);
        for (int32_t x = 0; x < cellCount; ++x) {
            for (int32_t e = 0; e < 2; ++e) tents[l][2 * x + e] = cellTent(x, 1 << l, e, textureSide >> l);
        }
    }
    return tents;
}

void assembleTrilinearTargets(DenseBlock& rhs, int32_t unknownCount, const GrowArray<int32_t>& levelStart,
                              const TexelCoverage& coverage, const FloatImage& texture) {
    const int32_t levelCount = coverage.levels.count - 1;
    if (levelCount < 3) return;
    assert(levelStart.count == levelCount);
    const CoverageGrid& grid = coverage.levels[0];
    const double scale = static_cast<double>(grid.cellCount);
    const GrowArray<GrowArray<TentFactor>> columnTents = unknownTentsOfGrid0(grid.width, levelCount, texture.width);
    const GrowArray<GrowArray<TentFactor>> rowTents = unknownTentsOfGrid0(grid.height, levelCount, texture.height);

    auto prepare = [unknownCount](DenseBlock& own) { createBlock(own, unknownCount, channelCount); };
    auto merge = [&rhs](const DenseBlock& own) { addBlock(rhs, own); };
    accumulateInParallel<DenseBlock>(prepare, [&](DenseBlock* own, int32_t thread, int32_t threadCount) {
        DenseBlock& target = own ? *own : rhs;
        // Every level's unknowns meet the same texture tents over the same triangles of grid 0, so
        // a triangle's moments serve all levels. Each unknown still receives its terms cell by cell
        // in the grid's order.
        for (int32_t y = thread; y < grid.height; y += threadCount) {
            TentFactor textureRow[2];
            for (int32_t f = 0; f < 2; ++f) textureRow[f] = cellTent(y, 1, f, texture.height);
            for (int32_t x = 0; x < grid.width; ++x) {
                const CoverageCell& cell = grid.cells.items[y * grid.width + x];
                if (cell.pieces.count == 0) continue;
                TentFactor textureColumn[2];
                for (int32_t f = 0; f < 2; ++f) textureColumn[f] = cellTent(x, 1, f, texture.width);
                const Texel* values[2][2];
                for (int32_t fy = 0; fy < 2; ++fy) {
                    for (int32_t fx = 0; fx < 2; ++fx)
                        values[fy][fx] = &texture.at(textureColumn[fx].texel, textureRow[fy].texel);
                }
                forEachFanTriangle(cell, [&](const TriangleMoments& moments, double area) {
                    for (int32_t l = 1; l <= levelCount - 2; ++l) {
                        const int32_t side = texture.width >> l;
                        for (int32_t ey = 0; ey < 2; ++ey) {
                            const TentFactor& yi = rowTents[l].items[2 * y + ey];
                            for (int32_t ex = 0; ex < 2; ++ex) {
                                const TentFactor& xi = columnTents[l].items[2 * x + ex];
                                const int32_t i = levelStart[l] + yi.texel * side + xi.texel;
                                // Held in locals while the unknown meets its sixteen terms, added in
                                // the same order as to the block itself.
                                double sum[channelCount] = {target.at(i, 0), target.at(i, 1), target.at(i, 2)};
                                for (int32_t fy = 0; fy < 2; ++fy) {
                                    for (int32_t fx = 0; fx < 2; ++fx) {
                                        const double k =
                                            tentProductIntegral(moments, xi, yi, textureColumn[fx], textureRow[fy]);
                                        // The target enters both segments of the level with both
                                        // blend weights, which add up to 1.
                                        const double w[4] = {k * upperLower * area * scale,
                                                             k * upperUpper * area * scale,
                                                             k * lowerLower * area * scale,
                                                             k * lowerUpper * area * scale};
                                        const Texel& v = *values[fy][fx];
                                        for (double term : w) {
                                            sum[0] += term * v.r;
                                            sum[1] += term * v.g;
                                            sum[2] += term * v.b;
                                        }
                                    }
                                }
                                for (int32_t c = 0; c < channelCount; ++c) target.at(i, c) = sum[c];
                            }
                        }
                    }
                });
            }
        }
    }, merge);
}

