// The bilinear least-squares filter "kivbi": its assembled systems, its levels and its failures.
#include "filters/bilinear_filter.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <sstream>
#include <vector>

#include "filters/tent_kernel.h"
#include "image/texture_io.h"
#include "kernel_oracles.h"
#include "system_checks.h"
#include "test_support.h"
#include "piece_assembly.h"

namespace {

Mesh unitSquare() {
    return modelFrom(unitSquareObj());
}

// Every channel drawn from [0, 1), alpha too, so that a copied level 0 shows its alpha.
FloatImage randomImage(int side, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(0.0f, 1.0f);
    FloatImage image;
    allocateImage(image, side, side);
    for (int k = 0; k < image.count; ++k) {
        image.texels[k] = Texel{value(random), value(random), value(random), value(random)};
    }
    return image;
}

// Triangles scattered over texture space and a little beyond it (so border cells hold pieces whose
// local coordinates leave the cell), with unrelated model-space positions.
Mesh scatteredTriangles(int triangleCount, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> texCoord(-0.1f, 1.1f), position(-1.0f, 1.0f);
    Mesh mesh;
    for (int k = 0; k < 3 * triangleCount; ++k) {
        append(mesh.positions, Point3{position(random), position(random), position(random)});
        append(mesh.texCoords, TexPoint{texCoord(random), texCoord(random)});
    }
    for (int t = 0; t < triangleCount; ++t) {
        MeshTriangle triangle;
        for (int c = 0; c < 3; ++c) triangle.positionIndex[c] = triangle.texCoordIndex[c] = 3 * t + c;
        append(mesh.triangles, triangle);
    }
    std::string error;
    EXPECT_TRUE(normaliseMesh(mesh, error)) << error;
    return mesh;
}

// Sets the OpenMP thread count for one test and gives the machine's back afterwards.
struct ThreadCount {
    explicit ThreadCount(int count) { omp_set_num_threads(count); }
    ~ThreadCount() { omp_set_num_threads(omp_get_num_procs()); }
};

// The pyramid, after checking that every level above 0 reported its step: its solver's phases and its time. The
// exact (direct) solve unless asked otherwise, so that levels can be compared with dense solutions.
MipPyramid kivbi(const Mesh& mesh, const FloatImage& texture, LevelSolver solver = LevelSolver::direct) {
    MipPyramid pyramid;
    FilterStats stats;
    std::string error;
    const int32_t levelCount = mipLevelCount(texture.width, texture.height);
    EXPECT_TRUE(buildKivbiPyramid(mesh, pyramid, texture, levelCount, solver, stats, error)) << error;
    EXPECT_EQ(stats.steps.count, levelCount - 1);
    for (int32_t k = 0; k < stats.steps.count; ++k) {
        const FilterStep& level = stats.steps[k];
        const bool phases = solver == LevelSolver::direct
                                ? level.solver.analysisRan && level.solver.factorisationRan
                                : level.solver.iterationsRan;
        EXPECT_TRUE(level.done && phases) << "level " << k + 1;
        EXPECT_EQ(level.times.count, 1);
        for (const StepTime& time : level.times) EXPECT_GE(time.seconds, 0.0);
    }
    return pyramid;
}

// The assembled matrix and right-hand sides of level i, as the filter builds them.
struct LevelSystem {
    FloatImage target;
    SparseRowMatrix matrix;
    DenseBlock rhs;
};

void assembleLevel(LevelSystem& system, const FloatImage& source, const TexelCoverage& coverage, int i) {
    const int a = 1 << i;
    allocateImage(system.target, source.width / a, source.height / a);
    const int n = system.target.count;
    setRowCount(system.matrix, n);
    clearRows(system.matrix);
    assembleGramMatrix(system.matrix, system.target, coverage, i);
    createBlock(system.rhs, n, 3);
    assembleRightHandSides(system.rhs, a, system.target, source, coverage, i);
}

// The unit square mapped once onto texture space: the level-1 texel of a 2 x 2 texture has one
// tent covering everything (both wrapped halves), so M(0, 0) = S/2 * area = 4/2 * 1 = 2, and
// B(0, c) = 2 * the integral of the bilinear source, which is the mean of the four texels.
TEST(BilinearFilter, TwoByTwoOnAFlatSquareGivesTheMeanPulledSlightlyTowardsZero) {
    FloatImage texture;
    allocateImage(texture, 2, 2);
    texture.at(0, 0) = Texel{0.1f, 0.9f, 0.0f, 0.25f};
    texture.at(1, 0) = Texel{0.5f, 0.3f, 1.0f, 0.5f};
    texture.at(0, 1) = Texel{0.2f, 0.6f, 0.0f, 0.75f};
    texture.at(1, 1) = Texel{0.8f, 0.2f, 1.0f, 1.0f};
    const MipPyramid pyramid = kivbi(unitSquare(), texture);
    ASSERT_EQ(pyramid.levels.count, 2);
    const FloatImage& level0 = pyramid.levels[0];
    ASSERT_EQ(level0.count, 4);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(level0.texels[k].a, texture.texels[k].a);  // an exact copy
    const FloatImage& level1 = pyramid.levels[1];
    ASSERT_EQ(level1.width, 1);
    ASSERT_EQ(level1.height, 1);
    const double pull = 2.0 / 2.001;
    EXPECT_NEAR(level1.texels[0].r, (0.1 + 0.5 + 0.2 + 0.8) / 4 * pull, 1e-6);
    EXPECT_NEAR(level1.texels[0].g, (0.9 + 0.3 + 0.6 + 0.2) / 4 * pull, 1e-6);
    EXPECT_NEAR(level1.texels[0].b, 0.5 * pull, 1e-6);
    EXPECT_EQ(level1.texels[0].a, 1.0f);
}

// A level texel's tent reaches from the centre of its left neighbour to that of its right one, so
// with a small triangle in [0.05, 0.2]^2 texel 2 of a 4-texel level (support 0.375 .. 0.875) sees
// nothing. Such texels, and every texel of a model without triangles, come out opaque black.
TEST(BilinearFilter, TexelsWhoseTentsHoldNoSurfaceComeOutOpaqueBlack) {
    const Mesh smallTriangle =
        modelFrom("v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0.05 0.05\nvt 0.2 0.05\nvt 0.05 0.2\nf 1/1 2/2 3/3\n");
    FloatImage bright;
    allocateImage(bright, 8, 8);
    for (int k = 0; k < bright.count; ++k) bright.texels[k] = Texel{0.9f, 0.8f, 0.7f, 0.5f};
    const MipPyramid pyramid = kivbi(smallTriangle, bright);
    ASSERT_EQ(pyramid.levels.count, 4);
    const FloatImage& level1 = pyramid.levels[1];
    ASSERT_EQ(level1.width, 4);
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
            const Texel& t = level1.at(x, y);
            const bool seen = (x == 0 || x == 1 || x == 3) && (y == 0 || y == 1 || y == 3);
            EXPECT_EQ(t.a, 1.0f);
            if (seen) continue;
            EXPECT_EQ(t.r, 0.0f) << x << ", " << y;
            EXPECT_EQ(t.g, 0.0f) << x << ", " << y;
            EXPECT_EQ(t.b, 0.0f) << x << ", " << y;
        }
    }
    // The constant colour is within reach of the tents, so on the surface the level reconstructs
    // it: at (0.1, 0.1), between the centres -0.125 (texel 3) and 0.125 (texel 0) on both axes.
    const double w0 = 0.9, w3 = 0.1;
    const double reconstructed =
        w0 * w0 * level1.at(0, 0).r + w0 * w3 * (level1.at(3, 0).r + level1.at(0, 3).r) + w3 * w3 * level1.at(3, 3).r;
    EXPECT_NEAR(reconstructed, 0.9, 0.01);

    const Mesh empty;
    const MipPyramid blank = kivbi(empty, bright);
    ASSERT_EQ(blank.levels.count, 4);
    for (int i = 1; i < 4; ++i) {
        for (int k = 0; k < blank.levels[i].count; ++k) {
            const Texel& t = blank.levels[i].texels[k];
            EXPECT_TRUE(t.r == 0 && t.g == 0 && t.b == 0 && t.a == 1) << "level " << i << " texel " << k;
        }
    }

    // A triangle whose corners lie on one line in model space marks its texels used but has no
    // area: every overlap is exactly 0 and nothing is stored, so its rows are pinned too.
    const Mesh flat = modelFrom("v 0 0 0\nv 1 0 0\nv 2 0 0\nvt 0.1 0.1\nvt 0.9 0.2\nvt 0.3 0.8\nf 1/1 2/2 3/3\n");
    TexelCoverage coverage;
    buildTexelCoverage(coverage, flat, 4);
    LevelSystem system;
    assembleLevel(system, bright, coverage, 1);
    for (int r = 0; r < system.matrix.rows.count; ++r) EXPECT_TRUE(system.matrix.rows[r].empty()) << "row " << r;
    releaseCoverage(coverage);
}

// A triangle in the first cell column of grid 1 lies between the centre of texel W - 1 (wrapped
// round to u = -0.5/W) and that of texel 0, so both tents are non-zero on it and the Gram matrix
// couples the first and the last column of the same row.
TEST(BilinearFilter, TentsWrapAroundAndCoupleTheFirstAndLastColumns) {
    const Mesh nearLeftEdge =
        modelFrom("v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0.01 0.45\nvt 0.1 0.45\nvt 0.01 0.55\nf 1/1 2/2 3/3\n");
    TexelCoverage coverage;
    buildTexelCoverage(coverage, nearLeftEdge, 4);
    FloatImage level;
    allocateImage(level, 4, 4);
    SparseRowMatrix matrix;
    setRowCount(matrix, 16);
    clearRows(matrix);
    assembleGramMatrix(matrix, level, coverage, 1);
    // v in [0.45, 0.55] lies between the centres of rows 1 and 2 (0.375 and 0.625).
    for (int y = 1; y <= 2; ++y) {
        const SparseRow& first = matrix.rows[y * 4];
        ASSERT_EQ(first.count(y * 4 + 3), 1u) << "row " << y;
        EXPECT_GT(first.at(y * 4 + 3), 0.0);
        EXPECT_EQ(first.count(y * 4 + 1), 0u) << "column 1 is beyond the triangle";
    }
    releaseCoverage(coverage);
}

// Level i's system built pair by pair through the kernel: cellOverlap for every one of the 16
// ordered tent pairs of every cell, with nothing computed once and shared.
void assembleThroughCellOverlaps(LevelSystem& system, const FloatImage& source, const TexelCoverage& coverage, int i) {
    const int a = 1 << i, width = source.width / a, height = source.height / a;
    const CoverageGrid& coarse = coverage.levels[i];
    const CoverageGrid& fine = coverage.levels[0];
    const double scale = double(coarse.width) * coarse.height;
    setRowCount(system.matrix, width * height);
    clearRows(system.matrix);
    createBlock(system.rhs, width * height, 3);
    for (int pair = 0; pair < 16; ++pair) {
        const int e1 = pair >> 3, e2 = (pair >> 2) & 1, e3 = (pair >> 1) & 1, e4 = pair & 1;
        for (int y = 0; y < coarse.height; ++y) {
            for (int x = 0; x < coarse.width; ++x) {
                const TentFactor y1 = cellTent(y, 1, e1, height), x1 = cellTent(x, 1, e2, width);
                const TentFactor y2 = cellTent(y, 1, e3, height), x2 = cellTent(x, 1, e4, width);
                const double s = cellOverlap(coarse.cells[y * coarse.width + x], x1, y1, x2, y2, scale);
                const int j = y1.texel * width + x1.texel, k = y2.texel * width + x2.texel;
                if (s != 0) accumulate(system.matrix, k, j, s);
            }
        }
        for (int y = 0; y < fine.height; ++y) {
            for (int x = 0; x < fine.width; ++x) {
                const TentFactor y1 = cellTent(y, a, e1, height), x1 = cellTent(x, a, e2, width);
                const TentFactor y2 = cellTent(y, 1, e3, source.height), x2 = cellTent(x, 1, e4, source.width);
                const double s = cellOverlap(fine.cells[y * fine.width + x], x1, y1, x2, y2, scale);
                const Texel& c = source.at(x2.texel, y2.texel);
                const int j = y1.texel * width + x1.texel;
                system.rhs.at(j, 0) += c.r * s;
                system.rhs.at(j, 1) += c.g * s;
                system.rhs.at(j, 2) += c.b * s;
            }
        }
    }
}

// The filter reuses each fan triangle's area and moments for all sixteen tent pairs of its cell;
// that must give the per-pair overlaps of the kernel, on one thread and on two.
TEST(BilinearFilter, AssemblyEqualsTheCellOverlapsOfEveryTentPairOnOneAndTwoThreads) {
    const Mesh mesh = scatteredTriangles(12, 7);
    const FloatImage source = randomImage(8, 3);
    const int levelCount = 4;
    TexelCoverage coverage;
    buildTexelCoverage(coverage, mesh, levelCount);
    for (int i = 1; i < levelCount; ++i) {
        LevelSystem expected;
        assembleThroughCellOverlaps(expected, source, coverage, i);
        ASSERT_GT(largestMagnitude(expected.matrix), 0.0);
        for (int threads : {1, 2}) {
            SCOPED_TRACE("level " + std::to_string(i) + ", " + std::to_string(threads) + " threads");
            ThreadCount use(threads);
            LevelSystem system;
            assembleLevel(system, source, coverage, i);
            expectSameMatrix(system.matrix, expected.matrix, 1e-12);
            expectSameBlock(system.rhs, expected.rhs, 1e-12);
        }
    }
    releaseCoverage(coverage);
}

TEST(BilinearFilter, OneThreadAndTwoThreadsGiveTheSameLevels) {
    const Mesh mesh = scatteredTriangles(20, 11);
    const FloatImage texture = randomImage(16, 5);
    MipPyramid single, two;
    {
        ThreadCount use(1);
        single = kivbi(mesh, texture);
    }
    {
        ThreadCount use(2);
        two = kivbi(mesh, texture);
    }
    ASSERT_EQ(single.levels.count, 5);
    ASSERT_EQ(two.levels.count, 5);
    for (int i = 0; i < 5; ++i) {
        const FloatImage& a = single.levels[i];
        const FloatImage& b = two.levels[i];
        ASSERT_EQ(a.count, b.count);
        for (int k = 0; k < a.count; ++k) {
            const float tolerance = 1e-5f * std::max(1.0f, std::abs(a.texels[k].r));
            EXPECT_NEAR(a.texels[k].r, b.texels[k].r, tolerance) << "level " << i << " texel " << k;
            EXPECT_NEAR(a.texels[k].g, b.texels[k].g, 1e-5f * std::max(1.0f, std::abs(a.texels[k].g)));
            EXPECT_NEAR(a.texels[k].b, b.texels[k].b, 1e-5f * std::max(1.0f, std::abs(a.texels[k].b)));
            EXPECT_EQ(a.texels[k].a, b.texels[k].a);
        }
    }
}

// --- An independent solution for the flat square -------------------------------------------------
//
// On the unit square mapped once onto texture space, model area is texture area and every integral
// separates into u and v. The periodic tent of texel t in a level of `count` texels is the sum of
// the hats of width 2/count centred at (t + 0.5)/count shifted by whole periods. Then
//   M(j, k) = S/2 * m(jx, kx) m(jy, ky),   m(s, t) = integral over [0, 1] of tent_s tent_t,
//   B(j, c) = S/2 * sum over source texels q of f_c(q) * mixed(jx, qx) mixed(jy, qy),
// with mixed the integrals of a level tent times a source tent, and S = (2 W)^2.

double periodicTent(double u, int t, int count) {
    double value = 0;
    for (int shift = -1; shift <= 1; ++shift) {
        value += std::max(0.0, 1.0 - count * std::abs(u - (t + 0.5) / count - shift));
    }
    return value;
}

// Integrals over [0, 1] of tent_s (levels of `countA`) times tent_t (of `countB`). Every kink lies
// on a multiple of 1/segments, so Simpson's rule on those pieces is exact for the quadratics.
std::vector<std::vector<double>> tentProducts(int countA, int countB, int segments) {
    std::vector<std::vector<double>> products(countA, std::vector<double>(countB, 0.0));
    const double h = 1.0 / segments;
    for (int s = 0; s < countA; ++s) {
        for (int t = 0; t < countB; ++t) {
            double sum = 0;
            for (int k = 0; k < segments; ++k) {
                const double u0 = k * h, u1 = u0 + h / 2, u2 = u0 + h;
                auto f = [&](double u) { return periodicTent(u, s, countA) * periodicTent(u, t, countB); };
                sum += h / 6 * (f(u0) + 4 * f(u1) + f(u2));
            }
            products[s][t] = sum;
        }
    }
    return products;
}

// Solves the symmetric positive definite system `a` x = b densely (Cholesky), in place in b.
void denseSolve(std::vector<double> a, int n, std::vector<double>& b) {
    for (int j = 0; j < n; ++j) {
        double d = a[j * n + j];
        for (int k = 0; k < j; ++k) d -= a[j * n + k] * a[j * n + k];
        a[j * n + j] = std::sqrt(d);
        for (int i = j + 1; i < n; ++i) {
            double s = a[i * n + j];
            for (int k = 0; k < j; ++k) s -= a[i * n + k] * a[j * n + k];
            a[i * n + j] = s / a[j * n + j];
        }
    }
    for (int i = 0; i < n; ++i) {
        for (int k = 0; k < i; ++k) b[i] -= a[i * n + k] * b[k];
        b[i] /= a[i * n + i];
    }
    for (int i = n - 1; i >= 0; --i) {
        for (int k = i + 1; k < n; ++k) b[i] -= a[k * n + i] * b[k];
        b[i] /= a[i * n + i];
    }
}

TEST(BilinearFilter, FlatSquareLevelsAreTheLeastSquaresSolutionFromOneDimensionalTentIntegrals) {
    const int side = 16, levelCount = 5;
    const Mesh square = unitSquare();
    const FloatImage texture = randomImage(side, 9);
    const MipPyramid pyramid = kivbi(square, texture);
    ASSERT_EQ(pyramid.levels.count, levelCount);
    TexelCoverage coverage;
    buildTexelCoverage(coverage, square, levelCount);

    for (int i = 1; i < levelCount; ++i) {
        SCOPED_TRACE("level " + std::to_string(i));
        const int width = side >> i, n = width * width;
        const double halfScale = 0.5 * (2.0 * width) * (2.0 * width);
        const auto mass = tentProducts(width, width, 2 * side);
        const auto mixed = tentProducts(width, side, 2 * side);
        std::vector<double> gram(n * n);
        for (int j = 0; j < n; ++j) {
            for (int k = 0; k < n; ++k) {
                gram[j * n + k] = halfScale * mass[j % width][k % width] * mass[j / width][k / width];
            }
        }
        std::vector<double> rhs[3];
        for (int c = 0; c < 3; ++c) rhs[c].assign(n, 0.0);
        for (int j = 0; j < n; ++j) {
            for (int qy = 0; qy < side; ++qy) {
                for (int qx = 0; qx < side; ++qx) {
                    const double weight = halfScale * mixed[j % width][qx] * mixed[j / width][qy];
                    const Texel& f = texture.at(qx, qy);
                    rhs[0][j] += weight * f.r, rhs[1][j] += weight * f.g, rhs[2][j] += weight * f.b;
                }
            }
        }

        // The assembled system itself, before regularisation.
        LevelSystem system;
        assembleLevel(system, texture, coverage, i);
        const double largest = largestMagnitude(system.matrix);
        for (int j = 0; j < n; ++j) {
            for (int k = j; k < n; ++k) {
                const auto found = system.matrix.rows[j].find(k);
                const double stored = found == system.matrix.rows[j].end() ? 0.0 : found->second;
                EXPECT_NEAR(stored, gram[j * n + k], 1e-12 * largest) << j << ", " << k;
            }
            for (int c = 0; c < 3; ++c) {
                EXPECT_NEAR(system.rhs.at(j, c), rhs[c][j], 1e-12 * largestMagnitude(system.rhs));
            }
        }

        // The level: the regularised solution, rounded to float32. The filter keeps the surface moments it
        // assembles from in float32, which perturbs every entry by about one float32 step of the largest
        // ones: four steps of the values' size (about 1) of slack.
        for (int j = 0; j < n; ++j) gram[j * n + j] += 0.001;
        const FloatImage& level = pyramid.levels[i];
        ASSERT_EQ(level.count, n);
        for (int c = 0; c < 3; ++c) {
            denseSolve(gram, n, rhs[c]);
            for (int j = 0; j < n; ++j) {
                const Texel& t = level.texels[j];
                const float value = c == 0 ? t.r : c == 1 ? t.g : t.b;
                const double ulp = std::ldexp(1.0, std::ilogb(std::max(std::abs(rhs[c][j]), 1.0)) - 23);
                EXPECT_NEAR(value, rhs[c][j], 4 * ulp) << "texel " << j << " channel " << c;
            }
        }
    }
    releaseCoverage(coverage);
}

// 16 x 8 and 8 x 16 textures: every level down to 1 x 1 (the levels after the shorter side reaches 1 halve only the
// longer one), each the least-squares solution on the flat square computed from one-dimensional tent integrals along
// each axis separately; a level of one texel along an axis has the tent 1 everywhere along it.
TEST(BilinearFilter, UnequalPowerOfTwoSidesSolveEveryLevelDownToOneTexel) {
    const Mesh square = unitSquare();
    for (const bool wide : {true, false}) {
        const int width = wide ? 16 : 8, height = wide ? 8 : 16, levelCount = 5;
        const FloatImage square16 = randomImage(16, wide ? 11 : 12);
        FloatImage texture;
        allocateImage(texture, width, height);
        for (int k = 0; k < texture.count; ++k) texture.texels[k] = square16.texels[k];
        for (LevelSolver solver : {LevelSolver::direct, LevelSolver::iterative}) {
            MipPyramid pyramid;
            FilterStats stats;
            std::string error;
            ASSERT_TRUE(buildKivbiPyramid(square, pyramid, texture, levelCount, solver, stats, error)) << error;
            ASSERT_EQ(pyramid.levels.count, levelCount);
            EXPECT_EQ(stats.steps.count, 4);
            for (int i = 1; i <= 4; ++i) {
                SCOPED_TRACE("level " + std::to_string(i) + (wide ? " wide" : " tall"));
                const int w = levelSide(width, i), h = levelSide(height, i), n = w * h;
                const double halfScale = 0.5 * (2.0 * (16 >> i)) * (2.0 * (16 >> i));
                const auto massU = tentProducts(w, w, 32), massV = tentProducts(h, h, 32);
                const auto mixedU = tentProducts(w, width, 32), mixedV = tentProducts(h, height, 32);
                std::vector<double> gram(n * n);
                for (int j = 0; j < n; ++j) {
                    for (int k = 0; k < n; ++k) gram[j * n + k] = halfScale * massU[j % w][k % w] * massV[j / w][k / w];
                    gram[j * n + j] += 0.001;
                }
                std::vector<double> rhs(n, 0.0);
                for (int j = 0; j < n; ++j) {
                    for (int qy = 0; qy < height; ++qy) {
                        for (int qx = 0; qx < width; ++qx) {
                            rhs[j] += halfScale * mixedU[j % w][qx] * mixedV[j / w][qy] * texture.at(qx, qy).g;
                        }
                    }
                }
                denseSolve(gram, n, rhs);
                ASSERT_EQ(pyramid.levels[i].width, w);
                ASSERT_EQ(pyramid.levels[i].height, h);
                for (int j = 0; j < n; ++j) EXPECT_NEAR(pyramid.levels[i].texels[j].g, rhs[j], 2e-4) << "texel " << j;
                if (solver != LevelSolver::direct) continue;
                // As written: every byte is the independent solution encoded to sRGB and rounded to nearest
                // (texels within a thousandth of a step of a tie are left out).
                TempDir dir;
                GrowArray<std::string> errors;
                ASSERT_TRUE(savePyramid(pyramid, dir.path, "kivbi", false, TexelEncoding::srgb, errors));
                const DecodedImage written = readImageFile(dir.file("mip_" + std::to_string(i) + "_kivbi.png"));
                ASSERT_EQ(written.width, w);
                for (int j = 0; j < n; ++j) {
                    const double scaled = 255.0 * linearToSrgb(static_cast<float>(rhs[j]));
                    if (std::abs(scaled - std::floor(scaled) - 0.5) < 1e-3) continue;
                    EXPECT_EQ(written.rgb[3 * j + 1], static_cast<int>(std::lround(scaled))) << "texel " << j;
                }
            }
        }
    }
}

// The default iterations stop only when every value is provably within 1e-4 of the exact solution; on a
// model whose charts leave thin, barely covered texel rows they must still get there.
TEST(BilinearFilter, IteratedLevelsAreWithinTheirBoundOfTheExactSolution) {
    const Mesh mesh = thinRowsModel();
    const FloatImage texture = randomImage(64, 5);
    const MipPyramid exact = kivbi(mesh, texture, LevelSolver::direct);
    const MipPyramid iterated = kivbi(mesh, texture, LevelSolver::iterative);
    expectLevelsWithin(exact, iterated, 1e-4);
}

TEST(BilinearFilter, AlphaIsAFourthRightHandSideOfTheSameSystem) {
    const Mesh mesh = thinRowsModel();
    for (LevelSolver solver : {LevelSolver::direct, LevelSolver::iterative}) {
        expectAlphaSolvedLikeAColour(randomImage(32, 8), [&](const FloatImage& texture) {
            return kivbi(mesh, texture, solver);
        });
    }
}

// Model positions of 1e30 make the surface area overflow to infinity, which the factorisation
// refuses; the message names the filter and the level.
TEST(BilinearFilter, ASolverFailureIsReportedWithTheLevel) {
    Mesh huge;
    for (const Point3& p : {Point3{0, 0, 0}, Point3{1e30f, 0, 0}, Point3{0, 1e30f, 0}}) append(huge.positions, p);
    for (const TexPoint& t : {TexPoint{0.1f, 0.1f}, TexPoint{0.9f, 0.1f}, TexPoint{0.1f, 0.9f}}) {
        append(huge.texCoords, t);
    }
    MeshTriangle triangle;
    triangle.positionIndex[1] = triangle.texCoordIndex[1] = 1;
    triangle.positionIndex[2] = triangle.texCoordIndex[2] = 2;
    append(huge.triangles, triangle);
    MipPyramid pyramid;
    FilterStats stats;
    std::string error;
    EXPECT_FALSE(buildKivbiPyramid(huge, pyramid, randomImage(2, 1), 2, LevelSolver::direct, stats, error));
    EXPECT_EQ(error.rfind("kivbi: level 1 (1x1): the solver failed: ", 0), 0u) << error;
    // The level was started but not solved; the infinite entries stop the solver before its analysis.
    ASSERT_EQ(stats.steps.count, 1);
    EXPECT_FALSE(stats.steps[0].done);
    EXPECT_FALSE(stats.steps[0].solver.analysisRan);
    // The iterations refuse the same system with the same words.
    FilterStats iterated;
    EXPECT_FALSE(buildKivbiPyramid(huge, pyramid, randomImage(2, 1), 2, LevelSolver::iterative, iterated, error));
    EXPECT_EQ(error.rfind("kivbi: level 1 (1x1): the solver failed: ", 0), 0u) << error;
    // A texture of any size fails the same way, the message naming the level's own sides (5 x 3: level 1 is 2 x 1).
    FloatImage odd;
    allocateImage(odd, 5, 3);
    for (int k = 0; k < odd.count; ++k) odd.texels[k] = Texel{0.5f, 0.5f, 0.5f, 1};
    FilterStats oddStats;
    EXPECT_FALSE(buildKivbiPyramid(huge, pyramid, odd, 3, LevelSolver::iterative, oddStats, error));
    EXPECT_EQ(error.rfind("kivbi: level 1 (2x1): the solver failed: ", 0), 0u) << error;
}

}  // namespace
