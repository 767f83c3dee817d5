// The trilinear optimisation filter "kivtri": numbering of the unknowns, the assembled system and
// the pyramid it solves for.
#include "filters/trilinear_filter.h"
#include "filters/trilinear_system.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <limits>
#include <random>
#include <sstream>
#include <vector>

#include "filters/weighted_box.h"
#include "kernel_oracles.h"
#include "system_checks.h"
#include "test_support.h"
#include "piece_assembly.h"
#include "trilinear_kernel.h"

namespace {

// A bent surface over most of texture space, reaching past its edges, and a small triangle that
// overlaps it, so that cells hold several pieces and tents wrap around.
const char* const bentModelObj =
    "v 0 0 0\nv 1 0 0.3\nv 1 1 0\nv 0 1 0.5\nv 0.5 0.5 1\nv 0.2 0.3 0.1\nv 0.4 0.2 0.4\n"
    "vt -0.1 0.05\nvt 0.9 -0.05\nvt 1.05 0.95\nvt 0.1 0.8\nvt 0.45 0.5\nvt 0.31 0.22\nvt 0.36 0.27\n"
    "f 1/1 2/2 5/5\nf 2/2 3/3 5/5\nf 3/3 4/4 5/5\nf 4/4 1/1 5/5\nf 6/6 7/7 5/7\n";

// A flat square on the texture square [0.3, 0.55]^2.
const char* const smallSquareObj =
    "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0.3 0.3\nvt 0.55 0.3\nvt 0.55 0.55\nvt 0.3 0.55\nf 1/1 2/2 3/3 4/4\n";

FloatImage randomTexture(int side, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(0.0f, 1.0f);
    FloatImage image;
    allocateImage(image, side, side);
    for (int i = 0; i < image.count; ++i) image.texels[i] = Texel{value(random), value(random), value(random), 0.5f};
    return image;
}

int levelCountOf(const FloatImage& texture) {
    return mipLevelCount(texture.width, texture.height);
}

// The system kivtri assembles and regularises, before it is solved.
struct PieceSystem {
    TexelCoverage coverage;
    MipPyramid boxPyramid;
    GrowArray<int32_t> levelStart;
    int32_t unknownCount = 0;
    SparseRowMatrix matrix;
    DenseBlock rhs;
};

void prepareSystem(PieceSystem& system, const Mesh& mesh, const FloatImage& texture) {
    const int32_t levelCount = levelCountOf(texture);
    buildTexelCoverage(system.coverage, mesh, levelCount);
    system.unknownCount = numberUnknowns(system.levelStart, texture.width, texture.height, levelCount);
    buildAreaWeightedPyramid(system.boxPyramid, texture, momentsOf(mesh, levelCount, 1), 1, levelCount);
    setRowCount(system.matrix, system.unknownCount);
    clearRows(system.matrix);
    createBlock(system.rhs, system.unknownCount, 3);
}

void assembleSystem(PieceSystem& system, const FloatImage& texture) {
    assembleTrilinearMatrix(system.rhs, system.matrix, system.boxPyramid, system.unknownCount, system.levelStart,
                            system.coverage, texture);
    assembleTrilinearTargets(system.rhs, system.unknownCount, system.levelStart, system.coverage, texture);
}

// Same stored entries (every key, zero values included) and values within 1e-12 of the largest.
void expectSameSystem(const SparseRowMatrix& matrix, const DenseBlock& rhs, const SparseRowMatrix& expected,
                      const DenseBlock& expectedRhs) {
    expectSameMatrix(matrix, expected, 1e-12);
    expectSameBlock(rhs, expectedRhs, 1e-12);
}

// The two assembly passes term by term, each term integrated on its own through the six-factor
// kernel and added at once: the direct reading of the normal equations that kivtri speeds up.
void assembleTermByTerm(SparseRowMatrix& matrix, DenseBlock& rhs, const PieceSystem& system,
                        const FloatImage& texture) {
    const TexelCoverage& coverage = system.coverage;
    const int32_t levelCount = coverage.levels.count - 1;
    const double scale = coverage.levels[0].cellCount;
    const Texel top = system.boxPyramid.levels[levelCount - 1].texels[0];
    auto addPairTerm = [&](int32_t i, int32_t p, int32_t px, int32_t py, int32_t sideP, double w) {
        if (p <= 0) {
            const Texel& v = texture.at(px, py);
            rhs.at(i, 0) -= w * v.r, rhs.at(i, 1) -= w * v.g, rhs.at(i, 2) -= w * v.b;
        } else if (p >= levelCount - 1) {
            rhs.at(i, 0) -= w * top.r, rhs.at(i, 1) -= w * top.g, rhs.at(i, 2) -= w * top.b;
        } else {
            accumulate(matrix, i, system.levelStart[p] + py * sideP + px, w);
        }
    };
    // Calls visit(p0, p1, p2, area) for the fan triangles (t0, t(m-1), tm) of the cell's pieces.
    auto forEachTriangle = [](const CoverageCell& cell, auto visit) {
        for (const SurfacePiece& piece : cell.pieces) {
            for (int32_t m = 2; m < piece.texPoints.count; ++m) {
                auto local = [&](int32_t n) { return LocalPoint{piece.texPoints[n].u, piece.texPoints[n].v}; };
                visit(local(0), local(m - 1), local(m), double(fanTriangleArea(piece, m - 1)));
            }
        }
    };
    for (int32_t l = 1; l <= levelCount - 2; ++l) {
        const CoverageGrid& grid = coverage.levels[l - 1];
        const int32_t side[3] = {texture.width >> (l - 1), texture.width >> l, texture.width >> (l + 1)};
        for (int32_t y = 0; y < grid.height; ++y) {
            for (int32_t x = 0; x < grid.width; ++x) {
                const CoverageCell& cell = grid.cells[y * grid.width + x];
                for (int32_t e = 0; e < 4; ++e) {
                    const TentFactor yi = cellTent(y, 2, e >> 1, side[1]), xi = cellTent(x, 2, e & 1, side[1]);
                    const int32_t i = system.levelStart[l] + yi.texel * side[1] + xi.texel;
                    for (int32_t f = 0; f < 4; ++f) {
                        const TentFactor ya = cellTent(y, 1, f >> 1, side[0]), xa = cellTent(x, 1, f & 1, side[0]);
                        const TentFactor yb = cellTent(y, 2, f >> 1, side[1]), xb = cellTent(x, 2, f & 1, side[1]);
                        const TentFactor yc = cellTent(y, 4, f >> 1, side[2]), xc = cellTent(x, 4, f & 1, side[2]);
                        forEachTriangle(cell, [&](LocalPoint p0, LocalPoint p1, LocalPoint p2, double area) {
                            auto k = [&](const TentFactor& x2, const TentFactor& y2, BlendFactor t1, BlendFactor t2) {
                                return tentBlendProductIntegral(p0, p1, p2, xi, yi, t1, x2, y2, t2) * scale * area;
                            };
                            addPairTerm(i, l - 1, xa.texel, ya.texel, side[0], k(xa, ya, upperBlend, lowerBlend));
                            addPairTerm(i, l, xb.texel, yb.texel, side[1], k(xb, yb, upperBlend, upperBlend));
                            addPairTerm(i, l, xb.texel, yb.texel, side[1], k(xb, yb, lowerBlend, lowerBlend));
                            addPairTerm(i, l + 1, xc.texel, yc.texel, side[2], k(xc, yc, lowerBlend, upperBlend));
                        });
                    }
                }
            }
        }
    }
    const CoverageGrid& grid0 = coverage.levels[0];
    const BlendFactor blends[4][2] = {
        {upperBlend, lowerBlend}, {upperBlend, upperBlend}, {lowerBlend, lowerBlend}, {lowerBlend, upperBlend}};
    for (int32_t l = 1; l <= levelCount - 2; ++l) {
        const int32_t side = texture.width >> l;
        for (int32_t y = 0; y < grid0.height; ++y) {
            for (int32_t x = 0; x < grid0.width; ++x) {
                for (int32_t e = 0; e < 4; ++e) {
                    const TentFactor yi = cellTent(y, 1 << l, e >> 1, side), xi = cellTent(x, 1 << l, e & 1, side);
                    const int32_t i = system.levelStart[l] + yi.texel * side + xi.texel;
                    for (int32_t f = 0; f < 4; ++f) {
                        const TentFactor yt = cellTent(y, 1, f >> 1, texture.height);
                        const TentFactor xt = cellTent(x, 1, f & 1, texture.width);
                        const Texel& v = texture.at(xt.texel, yt.texel);
                        forEachTriangle(grid0.cells[y * grid0.width + x],
                                        [&](LocalPoint p0, LocalPoint p1, LocalPoint p2, double area) {
                            for (const auto& blend : blends) {
                                const double w =
                                    tentBlendProductIntegral(p0, p1, p2, xi, yi, blend[0], xt, yt, blend[1]) * area *
                                    scale;
                                rhs.at(i, 0) += w * v.r, rhs.at(i, 1) += w * v.g, rhs.at(i, 2) += w * v.b;
                            }
                        });
                    }
                }
            }
        }
    }
}

// Runs `body` with the OpenMP team limited to `threads`, restoring the previous limit.
template <typename Body>
void withThreads(int threads, Body body) {
    const int previous = omp_get_max_threads();
    omp_set_num_threads(threads);
    body();
    omp_set_num_threads(previous);
}

// The filled pyramid, or one without levels when the filter fails. The exact (direct) solve unless asked
// otherwise, so that levels can be compared with dense solutions. `alone` levels are fitted one by one as kivbi fits
// them, each a step of its own besides the joint solve's: a power-of-two rectangle's levels after its shorter side
// reaches 1, or the 1 x 1 top of any other size.
MipPyramid runKivtri(const Mesh& mesh, const FloatImage& texture, LevelSolver solver = LevelSolver::direct,
                     int32_t alone = 0) {
    MipPyramid pyramid;
    FilterStats stats;
    std::string error;
    const bool built = buildKivtriPyramid(mesh, pyramid, texture, levelCountOf(texture), solver, stats, error);
    EXPECT_TRUE(built) << error;
    EXPECT_EQ(stats.steps.count, 1 + alone);
    // The joint solve's step; its solver runs only when there is an inner level between the texture and the fixed
    // top (the level where the shorter side reaches 1 for sides that are powers of two, else the 1 x 1 level).
    const int32_t joined = hasPowerOfTwoSides(texture) ? levelsToShorterSideOne(texture.width, texture.height)
                                                       : levelCountOf(texture);
    int32_t jointSteps = 0;
    for (const FilterStep& step : stats.steps) {
        EXPECT_TRUE(step.done);
        for (const StepTime& time : step.times) EXPECT_GE(time.seconds, 0.0);
        if (step.heading != "Trilinear downscale") continue;
        ++jointSteps;
        const bool ran = solver == LevelSolver::direct ? step.solver.factorisationRan : step.solver.iterationsRan;
        EXPECT_EQ(ran, joined >= 3);
        EXPECT_EQ(step.times.count, 3);
    }
    EXPECT_EQ(jointSteps, 1);
    if (!built) release(pyramid.levels);
    return pyramid;
}

// Same size and the same four channels in every texel, bit for bit.
void expectSameTexels(const FloatImage& image, const FloatImage& expected) {
    ASSERT_TRUE(image.width == expected.width && image.height == expected.height);
    for (int32_t i = 0; i < expected.count; ++i) {
        const Texel &a = image.texels[i], &b = expected.texels[i];
        EXPECT_TRUE(a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a) << "texel " << i;
    }
}

}  // namespace

TEST(TrilinearNumbering, LevelsFollowOneAnotherFineToCoarse) {
    GrowArray<int32_t> levelStart;
    // 512 x 512: unknown levels 1 .. 8 of 65536, 16384, ..., 4 texels.
    EXPECT_EQ(numberUnknowns(levelStart, 512, 512, 10), 87380);
    EXPECT_EQ(levelStart[1], 0);
    EXPECT_EQ(levelStart[2], 65536);
    EXPECT_EQ(levelStart[8], 87376);
    EXPECT_EQ(numberUnknowns(levelStart, 4, 4, 3), 4);
    EXPECT_EQ(numberUnknowns(levelStart, 2, 2, 2), 0);
    EXPECT_EQ(numberUnknowns(levelStart, 1, 1, 1), 0);
}

// A 4 x 4 texture on the unit square: level 1 (2 x 2) is the only unknown level, between the texture
// and the top colour. scale = 4^3; every level-1 tent integrates to 1/4 and the tents of a level
// add up to 1, so each fixed level takes (1/2) 64 (1/6) (1/4) its colour = 4/3 its colour from B.
TEST(TrilinearAssembly, TheOnlyUnknownLevelReceivesBothFixedLevels) {
    const Mesh mesh = modelFrom(unitSquareObj());
    FloatImage texture;
    allocateImage(texture, 4, 4);
    for (int32_t i = 0; i < texture.count; ++i) texture.texels[i] = Texel{0.25f, 0.5f, 1.0f, 1.0f};
    PieceSystem system;
    prepareSystem(system, mesh, texture);
    ASSERT_EQ(system.unknownCount, 4);
    system.boxPyramid.levels[2].texels[0] = Texel{2.0f, 3.0f, 4.0f, 1.0f};

    assembleTrilinearMatrix(system.rhs, system.matrix, system.boxPyramid, system.unknownCount, system.levelStart,
                            system.coverage, texture);
    const float top[3] = {2, 3, 4}, own[3] = {0.25f, 0.5f, 1.0f};
    for (int32_t i = 0; i < 4; ++i) {
        for (int32_t c = 0; c < 3; ++c) EXPECT_NEAR(system.rhs.at(i, c), -4.0 / 3.0 * (own[c] + top[c]), 1e-12);
    }
    // (1/2) 64 (2/3) times the tent products of a periodic 2 x 2 level: 1/9 with itself, 1/18 with
    // an edge neighbour and 1/36 with the diagonal one.
    for (int32_t i = 0; i < 4; ++i) {
        ASSERT_EQ(system.matrix.rows[i].size(), size_t(4 - i));
        for (const auto& [j, value] : system.matrix.rows[i]) {
            const int shared = (i & 1) == (j & 1) ? 1 : 0;
            const int sharedRow = (i >> 1) == (j >> 1) ? 1 : 0;
            const double expected = 64.0 / 3.0 * (shared ? 1.0 / 3 : 1.0 / 6) * (sharedRow ? 1.0 / 3 : 1.0 / 6);
            EXPECT_NEAR(value, expected, 1e-12) << i << ", " << j;
        }
    }
    // The target adds (1/2) 64 (1/4) its colour.
    assembleTrilinearTargets(system.rhs, system.unknownCount, system.levelStart, system.coverage, texture);
    for (int32_t c = 0; c < 3; ++c) EXPECT_NEAR(system.rhs.at(2, c), 8 * own[c] - 4.0 / 3.0 * (own[c] + top[c]), 1e-12);
}

// Sharing a triangle's moments and area among all terms, routing once per cell and splitting rows
// between threads change only the order of additions.
TEST(TrilinearAssembly, MatchesTheTermByTermAssemblyWithOneThreadAndWithTwo) {
    const Mesh mesh = modelFrom(bentModelObj);
    const FloatImage texture = randomTexture(16, 5);
    PieceSystem expected;
    prepareSystem(expected, mesh, texture);
    ASSERT_EQ(expected.unknownCount, 64 + 16 + 4);
    assembleTermByTerm(expected.matrix, expected.rhs, expected, texture);
    for (int threads : {1, 2}) {
        SCOPED_TRACE(threads);
        PieceSystem system;
        prepareSystem(system, mesh, texture);
        withThreads(threads, [&] { assembleSystem(system, texture); });
        expectSameSystem(system.matrix, system.rhs, expected.matrix, expected.rhs);
    }
}

// A flat square covering texture space once: model area is texture area, and every integral of
// tents is a product of one-dimensional integrals of periodic tents. The normal equations of
//   E = sum over segments k of int int_0^1 ((1 - t) R_k + t R_(k+1) - R_0)^2 dt dA
// for the unknown of tent phi in level l are
//   int phi ((1/6) R_(l-1) + (2/3) R_l + (1/6) R_(l+1)) = int phi R_0,
// kivtri scales both sides by scale / 2 = 4^L / 2 and adds 0.001 to the diagonal.
namespace {

// Tent of texel t of a periodic level with `side` texels, at u in [0, 1); the one tent of a
// single-texel level wraps onto itself and is 1 everywhere.
double periodicTent(int side, int t, double u) {
    if (side == 1) return 1.0;
    double d = u - (t + 0.5) / side;
    d -= std::round(d);
    return std::max(0.0, 1.0 - std::fabs(d) * side);
}

// Integral over [0, 1) of two periodic tents; Simpson's rule is exact on each piece of 1/64, where
// both tents are affine (their kinks lie on multiples of 1/16 here).
double tentProduct1d(int sideA, int a, int sideB, int b) {
    const int pieces = 64;
    double sum = 0;
    for (int k = 0; k < pieces; ++k) {
        const double u0 = double(k) / pieces, u1 = double(k + 1) / pieces, um = (u0 + u1) / 2;
        auto f = [&](double u) { return periodicTent(sideA, a, u) * periodicTent(sideB, b, u); };
        sum += (f(u0) + 4 * f(um) + f(u1)) / (6.0 * pieces);
    }
    return sum;
}

double tentProduct2d(int sideA, int a, int sideB, int b) {
    return tentProduct1d(sideA, a % sideA, sideB, b % sideB) * tentProduct1d(sideA, a / sideA, sideB, b / sideB);
}

// Solves A x = b for the columns of b (dense, partial pivoting).
std::vector<std::vector<double>> solveDense(std::vector<std::vector<double>> a, std::vector<std::vector<double>> b) {
    const size_t n = a.size();
    for (size_t k = 0; k < n; ++k) {
        size_t pivot = k;
        for (size_t r = k + 1; r < n; ++r) {
            if (std::fabs(a[r][k]) > std::fabs(a[pivot][k])) pivot = r;
        }
        std::swap(a[k], a[pivot]);
        std::swap(b[k], b[pivot]);
        for (size_t r = k + 1; r < n; ++r) {
            const double factor = a[r][k] / a[k][k];
            for (size_t c = k; c < n; ++c) a[r][c] -= factor * a[k][c];
            for (size_t c = 0; c < b[r].size(); ++c) b[r][c] -= factor * b[k][c];
        }
    }
    for (size_t k = n; k-- > 0;) {
        for (size_t c = 0; c < b[k].size(); ++c) {
            for (size_t j = k + 1; j < n; ++j) b[k][c] -= a[k][j] * b[j][c];
            b[k][c] /= a[k][k];
        }
    }
    return b;
}

}  // namespace

TEST(TrilinearFilter, MatchesAnIndependentSolveOnAFlatSquare) {
    const Mesh mesh = modelFrom(unitSquareObj());
    const FloatImage texture = randomTexture(8, 7);
    const int levelCount = 4;  // unknown levels 1 (4 x 4) and 2 (2 x 2), N = 20
    const double halfScale = std::pow(4.0, levelCount) / 2;
    const MipPyramid pyramid = runKivtri(mesh, texture);
    ASSERT_EQ(pyramid.levels.count, levelCount);
    const Texel top = pyramid.levels[levelCount - 1].texels[0];

    // Unknown u of level levelOf[u] and texel texelOf[u] (y * side + x).
    std::vector<int> levelOf, texelOf;
    for (int l = 1; l <= levelCount - 2; ++l) {
        for (int t = 0; t < (8 >> l) * (8 >> l); ++t) levelOf.push_back(l), texelOf.push_back(t);
    }
    const size_t n = levelOf.size();
    ASSERT_EQ(n, 20u);
    std::vector<std::vector<double>> a(n, std::vector<double>(n, 0.0)), b(n, std::vector<double>(3, 0.0));
    for (size_t r = 0; r < n; ++r) {
        const int l = levelOf[r], side = 8 >> l;
        for (size_t c = 0; c < n; ++c) {
            const int gap = std::abs(levelOf[c] - l);
            const double blend = gap == 0 ? 2.0 / 3.0 : gap == 1 ? 1.0 / 6.0 : 0.0;
            a[r][c] = halfScale * blend * tentProduct2d(side, texelOf[r], 8 >> levelOf[c], texelOf[c]);
        }
        a[r][r] += 0.001;
        // The target with weight 1, less a sixth of each fixed neighbour level.
        double texture0[3] = {0, 0, 0};
        for (int t = 0; t < 64; ++t) {
            const double overlap = tentProduct2d(side, texelOf[r], 8, t);
            const Texel& v = texture.texels[t];
            texture0[0] += overlap * v.r, texture0[1] += overlap * v.g, texture0[2] += overlap * v.b;
        }
        const double topChannels[3] = {top.r, top.g, top.b};
        const double tentArea = tentProduct2d(side, texelOf[r], 1, 0);
        for (int c = 0; c < 3; ++c) {
            b[r][c] = halfScale * (texture0[c] - (l == 1 ? texture0[c] / 6 : 0.0) -
                                   (l == levelCount - 2 ? topChannels[c] * tentArea / 6 : 0.0));
        }
    }

    // The assembled, regularised system equals this one...
    PieceSystem system;
    prepareSystem(system, mesh, texture);
    assembleSystem(system, texture);
    regularise(system.matrix, system.rhs);
    for (size_t r = 0; r < n; ++r) {
        for (size_t c = r; c < n; ++c) {
            const auto found = system.matrix.rows[int32_t(r)].find(int32_t(c));
            const double value = found == system.matrix.rows[int32_t(r)].end() ? 0.0 : found->second;
            EXPECT_NEAR(value, a[r][c], 1e-12 * halfScale) << r << ", " << c;
        }
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(system.rhs.at(int32_t(r), c), b[r][c], 1e-12 * halfScale);
    }
    // ...and the levels are its solution, rounded to float.
    const std::vector<std::vector<double>> x = solveDense(a, b);
    for (size_t r = 0; r < n; ++r) {
        const Texel& texel = pyramid.levels[levelOf[r]].texels[texelOf[r]];
        EXPECT_NEAR(texel.r, x[r][0], 1e-6) << "unknown " << r;
        EXPECT_NEAR(texel.g, x[r][1], 1e-6) << "unknown " << r;
        EXPECT_NEAR(texel.b, x[r][2], 1e-6) << "unknown " << r;
        EXPECT_EQ(texel.a, 1.0f);
    }
}

// The flat square under a 16 x 8 (and an 8 x 16) texture: levels 8 x 4 and 4 x 2 unknown, the top level the 2 x 1
// box means (every texel carries the same area) and level 4, which ends the chain at 1 x 1, fitted alone as kivbi
// fits it: (S/2) A x + 0.001 x = (S/2) A mean, S/2 = 2 and A = 1 for a single texel on the unit square. The unknowns
// solve the same objective, built here from one-dimensional tent integrals along each axis.
TEST(TrilinearFilter, UnequalPowerOfTwoSidesMatchAnIndependentSolve) {
    const Mesh mesh = modelFrom(unitSquareObj());
    const int levelCount = 5, top = 3;
    const double halfScale = 0.5 * 32 * 32;  // grid 0 has 32 x 32 cells
    auto product = [](int wA, int hA, int a, int wB, int hB, int b) {
        return tentProduct1d(wA, a % wA, wB, b % wB) * tentProduct1d(hA, a / wA, hB, b / wB);
    };
    for (const bool wide : {true, false}) {
        const int W = wide ? 16 : 8, H = wide ? 8 : 16;
        std::mt19937 random(wide ? 5 : 6);
        std::uniform_real_distribution<float> value(0.0f, 1.0f);
        FloatImage texture;
        allocateImage(texture, W, H);
        for (int i = 0; i < texture.count; ++i) texture.texels[i] = Texel{value(random), value(random), value(random), 1};
        for (LevelSolver solver : {LevelSolver::direct, LevelSolver::iterative}) {
            SCOPED_TRACE(std::string(wide ? "wide" : "tall") + (solver == LevelSolver::direct ? " direct" : " iterated"));
            const MipPyramid pyramid = runKivtri(mesh, texture, solver, 1);
            ASSERT_EQ(pyramid.levels.count, levelCount);
            ASSERT_EQ(pyramid.levels[4].count, 1);
            double mean = 0;
            for (int i = 0; i < texture.count; ++i) mean += texture.texels[i].b / double(texture.count);
            EXPECT_NEAR(pyramid.levels[4].texels[0].b, 2 * mean / 2.001, solver == LevelSolver::direct ? 1e-6 : 2e-4);
            const FloatImage& fixed = pyramid.levels[top];
            ASSERT_EQ(fixed.count, 2);
            for (int k = 0; k < 2; ++k) {
                double sum = 0;
                for (int ty = 0; ty < H; ++ty) {
                    for (int tx = 0; tx < W; ++tx) sum += (wide ? tx / 8 : ty / 8) == k ? texture.at(tx, ty).g : 0.0;
                }
                EXPECT_NEAR(fixed.texels[k].g, sum / 64, 1e-6);
            }
            std::vector<int> levelOf, texelOf;
            for (int l = 1; l < top; ++l) {
                for (int t = 0; t < (W >> l) * (H >> l); ++t) levelOf.push_back(l), texelOf.push_back(t);
            }
            const size_t n = levelOf.size();
            ASSERT_EQ(n, 40u);
            std::vector<std::vector<double>> a(n, std::vector<double>(n, 0.0)), b(n, std::vector<double>(3, 0.0));
            for (size_t r = 0; r < n; ++r) {
                const int l = levelOf[r], w = W >> l, h = H >> l;
                for (size_t c = 0; c < n; ++c) {
                    const int gap = std::abs(levelOf[c] - l);
                    const double blend = gap == 0 ? 2.0 / 3.0 : gap == 1 ? 1.0 / 6.0 : 0.0;
                    a[r][c] = halfScale * blend * product(w, h, texelOf[r], W >> levelOf[c], H >> levelOf[c], texelOf[c]);
                }
                a[r][r] += 0.001;
                for (int ch = 0; ch < 3; ++ch) {
                    auto channel = [ch](const Texel& t) { return ch == 0 ? t.r : ch == 1 ? t.g : t.b; };
                    double target = 0, fixedTerm = 0;
                    for (int t = 0; t < W * H; ++t) target += product(w, h, texelOf[r], W, H, t) * channel(texture.texels[t]);
                    for (int t = 0; t < 2; ++t) {
                        fixedTerm += product(w, h, texelOf[r], fixed.width, fixed.height, t) * channel(fixed.texels[t]);
                    }
                    b[r][ch] = halfScale * (target - (l == 1 ? target / 6 : 0.0) - (l == top - 1 ? fixedTerm / 6 : 0.0));
                }
            }
            const std::vector<std::vector<double>> x = solveDense(a, b);
            const double tolerance = solver == LevelSolver::direct ? 1e-6 : 2e-4;
            for (size_t r = 0; r < n; ++r) {
                const Texel& texel = pyramid.levels[levelOf[r]].texels[texelOf[r]];
                EXPECT_NEAR(texel.r, x[r][0], tolerance) << "unknown " << r;
                EXPECT_NEAR(texel.g, x[r][1], tolerance) << "unknown " << r;
                EXPECT_NEAR(texel.b, x[r][2], tolerance) << "unknown " << r;
            }
        }
    }
}

TEST(TrilinearFilter, FixedLevelsAreTheTextureAndTheAreaWeightedTopAndUnreachedTexelsAreZero) {
    const Mesh mesh = modelFrom(smallSquareObj);
    const FloatImage texture = randomTexture(16, 9);
    const int32_t levelCount = levelCountOf(texture);
    const MipPyramid pyramid = runKivtri(mesh, texture);
    ASSERT_EQ(pyramid.levels.count, levelCount);
    expectSameTexels(pyramid.levels[0], texture);
    MipPyramid boxPyramid;
    buildAreaWeightedPyramid(boxPyramid, texture, momentsOf(mesh, levelCount, 1), 1, levelCount);
    expectSameTexels(pyramid.levels[levelCount - 1], boxPyramid.levels[levelCount - 1]);

    // A texel's tent reaches (c - 1/s, c + 1/s) around its centre c, wrapped; the surface covers
    // (0.3, 0.55) on both axes.
    auto reaches = [](int side, int t) {
        const double centre = (t + 0.5) / side;
        for (int shift = -1; shift <= 1; ++shift) {
            if (centre + shift - 1.0 / side < 0.55 && centre + shift + 1.0 / side > 0.3) return true;
        }
        return false;
    };
    int reached = 0;
    for (int32_t l = 1; l <= levelCount - 2; ++l) {
        const FloatImage& level = pyramid.levels[l];
        ASSERT_EQ(level.width, 16 >> l);
        for (int32_t y = 0; y < level.height; ++y) {
            for (int32_t x = 0; x < level.width; ++x) {
                const Texel& texel = level.at(x, y);
                EXPECT_EQ(texel.a, 1.0f);
                if (reaches(level.width, x) && reaches(level.height, y)) {
                    ++reached;
                    // Solved, not pinned: unclamped, so rim texels may well be negative.
                    EXPECT_TRUE(texel.r != 0 && texel.g != 0 && texel.b != 0)
                        << "level " << l << " (" << x << ", " << y << ")";
                } else {
                    EXPECT_EQ(texel.r, 0.0f) << "level " << l << " (" << x << ", " << y << ")";
                    EXPECT_EQ(texel.g, 0.0f);
                    EXPECT_EQ(texel.b, 0.0f);
                }
            }
        }
    }
    EXPECT_GT(reached, 8);
}

TEST(TrilinearFilter, OneThreadAndTwoGiveTheSameLevels) {
    const Mesh mesh = modelFrom(bentModelObj);
    const FloatImage texture = randomTexture(16, 13);
    MipPyramid one, two;
    withThreads(1, [&] { one = runKivtri(mesh, texture); });
    withThreads(2, [&] { two = runKivtri(mesh, texture); });
    ASSERT_EQ(one.levels.count, two.levels.count);
    for (int32_t l = 0; l < one.levels.count; ++l) {
        ASSERT_EQ(one.levels[l].count, two.levels[l].count);
        for (int32_t i = 0; i < one.levels[l].count; ++i) {
            EXPECT_NEAR(one.levels[l].texels[i].r, two.levels[l].texels[i].r, 1e-5) << "level " << l;
            EXPECT_NEAR(one.levels[l].texels[i].g, two.levels[l].texels[i].g, 1e-5) << "level " << l;
            EXPECT_NEAR(one.levels[l].texels[i].b, two.levels[l].texels[i].b, 1e-5) << "level " << l;
        }
    }
}

// The iterations stop only when every value is provably within 1e-4 of the exact joint solution. At 128 texels the
// two finest inner levels are iterated on through their incomplete factorisations and the coarser ones solved
// exactly as one block, from a start built coarse to fine; on a model with thin, barely covered texel rows the
// result must still reach the bound.
TEST(TrilinearFilter, IteratedLevelsAreWithinTheirBoundOfTheExactSolution) {
    const Mesh mesh = thinRowsModel();
    const FloatImage texture = randomTexture(128, 5);
    const MipPyramid exact = runKivtri(mesh, texture, LevelSolver::direct);
    const MipPyramid iterated = runKivtri(mesh, texture, LevelSolver::iterative);
    expectLevelsWithin(exact, iterated, 1e-4);
}

TEST(TrilinearFilter, AlphaIsAFourthRightHandSideOfTheSameSystem) {
    const Mesh mesh = thinRowsModel();
    for (LevelSolver solver : {LevelSolver::direct, LevelSolver::iterative}) {
        expectAlphaSolvedLikeAColour(randomTexture(64, 8), [&](const FloatImage& texture) {
            return runKivtri(mesh, texture, solver);
        });
    }
}

TEST(TrilinearFilter, SmallAndEmptyCasesWriteEveryLevel) {
    const Mesh square = modelFrom(unitSquareObj());
    // Sides 1 and 2 have no unknown level: the texture and the top of the area-weighted pyramid.
    for (int side : {1, 2}) {
        const FloatImage texture = randomTexture(side, 3);
        const MipPyramid pyramid = runKivtri(square, texture);
        ASSERT_EQ(pyramid.levels.count, side);
        expectSameTexels(pyramid.levels[0], texture);
        if (side == 2) {
            const Texel& top = pyramid.levels[1].texels[0];
            EXPECT_NEAR(top.r, (texture.texels[0].r + texture.texels[1].r + texture.texels[2].r + texture.texels[3].r) / 4,
                        1e-6);
        }
    }
    // No surface at all: every inner texel is pinned to 0, the top level is the box pyramid's zero.
    const Mesh empty;
    const FloatImage texture = randomTexture(8, 4);
    const MipPyramid pyramid = runKivtri(empty, texture);
    ASSERT_EQ(pyramid.levels.count, 4);
    expectSameTexels(pyramid.levels[0], texture);
    for (int32_t l = 1; l < 4; ++l) {
        const float alpha = l < 3 ? 1.0f : 0.0f;
        for (int32_t i = 0; i < pyramid.levels[l].count; ++i) {
            const Texel& texel = pyramid.levels[l].texels[i];
            EXPECT_EQ(texel.r, 0.0f);
            EXPECT_EQ(texel.g, 0.0f);
            EXPECT_EQ(texel.b, 0.0f);
            EXPECT_EQ(texel.a, alpha);
        }
    }
}

TEST(TrilinearFilter, ASolverFailureIsReported) {
    // A model position that is not a number makes the surface areas, and so the matrix, not finite.
    Mesh mesh = modelFrom(unitSquareObj());
    mesh.positions[1].x = std::numeric_limits<float>::quiet_NaN();
    MipPyramid pyramid;
    std::string error;
    for (LevelSolver solver : {LevelSolver::direct, LevelSolver::iterative}) {
        FilterStats stats;
        EXPECT_FALSE(buildKivtriPyramid(mesh, pyramid, randomTexture(8, 1), 4, solver, stats, error));
        EXPECT_EQ(error.rfind("kivtri: the solver failed: ", 0), 0u) << error;
        ASSERT_EQ(stats.steps.count, 1);
        EXPECT_FALSE(stats.steps[0].done);
    }
}
