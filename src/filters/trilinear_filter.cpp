// "kivtri": the inner levels of the pyramid solved jointly, so that trilinear reconstruction best
// reproduces the full-resolution texture over the model's surface and over every level of detail.
#include "filters/trilinear_filter.h"

#include <cassert>
#include <utility>

#include "base/clock.h"
#include "filters/parallel_assembly.h"
#include "filters/trilinear_kernel.h"
#include "filters/weighted_box.h"
#include "sparse/sparse_solver.h"

// Red, green and blue are solved; alpha is not.
static constexpr int32_t channelCount = 3;

int32_t numberUnknowns(GrowArray<int32_t>& levelStart, int32_t width, int32_t height, int32_t levelCount) {
    release(levelStart);
    resize(levelStart, levelCount > 0 ? levelCount : 0);
    // Level l has (W H) div 4^l texels; levels 1 .. L - 2 are unknown, numbered fine to coarse.
    // levelStart[0] is 0 and levelStart[L - 1] is the end of the last unknown level.
    const int64_t texelCount = static_cast<int64_t>(width) * height;
    int32_t next = 0;
    for (int32_t l = 0; l < levelCount; ++l) {
        levelStart[l] = next;
        if (l >= 1 && l <= levelCount - 2) next += static_cast<int32_t>(texelCount >> (2 * l));
    }
    return next;
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

// --- The filter -------------------------------------------------------------------------------

bool buildKivtriPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& texture,
                        int32_t levelCount, FilterStats& stats, std::string& error) {
    assert(texture.width == texture.height && levelCount >= 1 && (texture.width >> (levelCount - 1)) == 1);
    TexelCoverage coverage;
    buildTexelCoverage(coverage, mesh, levelCount);
    resizeLevels(pyramid, levelCount);
    GrowArray<int32_t> levelStart;
    const int32_t unknownCount = numberUnknowns(levelStart, texture.width, texture.height, levelCount);
    MipPyramid boxPyramid;
    buildAreaWeightedPyramid(boxPyramid, texture, coverage, 1, levelCount);

    // The solve replaces X; the box levels are only its starting contents.
    DenseBlock x;
    createBlock(x, unknownCount, channelCount);
    for (int32_t l = 1; l <= levelCount - 2; ++l) {
        const FloatImage& level = boxPyramid.levels[l];
        for (int32_t ty = 0; ty < level.height; ++ty) {
            for (int32_t tx = 0; tx < level.width; ++tx) {
                const int32_t i = levelStart[l] + ty * level.width + tx;
                const Texel& texel = level.at(tx, ty);
                x.at(i, 0) = texel.r, x.at(i, 1) = texel.g, x.at(i, 2) = texel.b;
            }
        }
    }

    const double t0 = wallClockSeconds();
    double t1 = t0, t2 = t0;
    // Sides 1 and 2 have no inner level: only the fixed levels are written.
    if (unknownCount > 0) {
        SparseRowMatrix matrix;
        setRowCount(matrix, unknownCount);
        clearRows(matrix);
        DenseBlock rhs;
        createBlock(rhs, unknownCount, channelCount);
        assembleTrilinearMatrix(rhs, matrix, boxPyramid, unknownCount, levelStart, coverage, texture);
        assembleTrilinearTargets(rhs, unknownCount, levelStart, coverage, texture);
        regularise(matrix, rhs);
        // The coverage's pieces, the matrix's map nodes and the factor are never all held at once.
        releaseCoverage(coverage);
        toCompressedColumn(matrix);
        releaseRows(matrix);
        t1 = wallClockSeconds();

        std::string solverError;
        if (!factorise(matrix, stats.trilinear.solver, solverError)) {
            error = "Error: kivtri: " + solverError;
            return false;
        }
        if (!solveColumns(matrix, x, rhs)) {
            error = "Error: kivtri: the solver failed: out of memory while solving";
            return false;
        }
        t2 = wallClockSeconds();
    }
    releaseCoverage(coverage);

    copyImage(pyramid.levels[0], texture);
    for (int32_t l = 1; l <= levelCount - 2; ++l) {
        FloatImage& level = pyramid.levels[l];
        allocateImage(level, texture.width >> l, texture.height >> l);
        for (int32_t ty = 0; ty < level.height; ++ty) {
            for (int32_t tx = 0; tx < level.width; ++tx) {
                const int32_t i = levelStart[l] + ty * level.width + tx;
                level.at(tx, ty) = Texel{static_cast<float>(x.at(i, 0)), static_cast<float>(x.at(i, 1)),
                                         static_cast<float>(x.at(i, 2)), 1.0f};
            }
        }
    }
    if (levelCount >= 2) copyImage(pyramid.levels[levelCount - 1], boxPyramid.levels[levelCount - 1]);
    // t0 to t1: assembly, regularisation and conversion; t1 to t2: ordering, factorisation and solve.
    stats.trilinear.buildSeconds = t1 - t0;
    stats.trilinear.solveSeconds = t2 - t1;
    stats.trilinear.totalSeconds = t2 - t0;
    stats.trilinear.solved = true;
    return true;
}
