// kivbic and kivtric: their levels are the minimisers of kivbi's level systems and of kivtri's joint system within
// [0, 1], checked against projected Gauss-Seidel on the dense systems; never worse than the clamped unconstrained
// levels; the same bytes on any thread count; and their statistics.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "filters/bilinear_filter.h"
#include "filters/level_system.h"
#include "filters/trilinear_filter.h"
#include "filters/trilinear_system.h"
#include "filters/weighted_box.h"
#include "bounded_objectives.h"
#include "system_checks.h"
#include "test_support.h"

namespace {

// Texels of 0 or 1 at random (alpha 0.5): the unconstrained levels overshoot on both sides of every edge.
FloatImage contrastTexture(int side, unsigned seed) {
    std::mt19937 random(seed);
    std::bernoulli_distribution bright(0.5);
    FloatImage image;
    allocateImage(image, side, side);
    for (int i = 0; i < image.count; ++i) {
        image.texels[i] = Texel{bright(random) ? 1.0f : 0.0f, bright(random) ? 1.0f : 0.0f, bright(random) ? 1.0f : 0.0f, 0.5f};
    }
    return image;
}

// A bent surface over most of texture space, with a small overlapping triangle, so tents hold unequal areas.
Mesh bentModel() {
    return modelFrom(
        "v 0 0 0\nv 1 0 0.3\nv 1 1 0\nv 0 1 0.5\nv 0.5 0.5 1\nv 0.2 0.3 0.1\nv 0.4 0.2 0.4\n"
        "vt -0.1 0.05\nvt 0.9 -0.05\nvt 1.05 0.95\nvt 0.1 0.8\nvt 0.45 0.5\nvt 0.31 0.22\nvt 0.36 0.27\n"
        "f 1/1 2/2 5/5\nf 2/2 3/3 5/5\nf 3/3 4/4 5/5\nf 4/4 1/1 5/5\nf 6/6 7/7 5/7\n");
}

using Build = bool (*)(const Mesh&, MipPyramid&, const FloatImage&, int32_t, LevelSolver, FilterStats&, std::string&);

MipPyramid run(Build build, const Mesh& mesh, const FloatImage& texture, FilterStats& stats,
               LevelSolver solver = LevelSolver::iterative) {
    MipPyramid pyramid;
    std::string error;
    EXPECT_TRUE(build(mesh, pyramid, texture, mipLevelCount(texture.width, texture.height), solver, stats, error))
        << error;
    return pyramid;
}

MipPyramid run(Build build, const Mesh& mesh, const FloatImage& texture, LevelSolver solver = LevelSolver::iterative) {
    FilterStats stats;
    return run(build, mesh, texture, stats, solver);
}

double channelOf(const Texel& t, int32_t c) { return c == 0 ? t.r : c == 1 ? t.g : c == 2 ? t.b : t.a; }

// A symmetric system as a dense matrix (its products with the unit vectors) and its right-hand sides.
struct DenseSystem {
    std::vector<std::vector<double>> a;
    DenseBlock b;
};

template <typename Multiply>
DenseSystem denseOf(int32_t n, const DenseBlock& rhs, Multiply multiply) {
    DenseSystem system;
    DenseBlock units, columns;
    createBlock(units, n, n);
    for (int32_t k = 0; k < n; ++k) units.at(k, k) = 1.0;
    multiply(units, columns);
    system.a.assign(n, std::vector<double>(n));
    for (int32_t i = 0; i < n; ++i)
        for (int32_t k = 0; k < n; ++k) system.a[i][k] = columns.at(i, k);
    system.b = rhs;
    return system;
}

// Kivbi's regularised system of level i, as the filter assembles it (three channels).
DenseSystem levelSystem(const Mesh& mesh, const FloatImage& texture, int32_t i) {
    SurfaceMoments moments;
    MomentRequest request;
    request.firstGrid = 1;
    request.moments = true;
    request.texture = &texture;
    buildSurfaceMoments(moments, mesh, mipLevelCount(texture.width, texture.height), request);
    StencilMatrix matrix;
    DenseBlock rhs;
    MomentGrid& grid = moments.grids[i];
    assembleGramStencil(matrix, grid, texture.width >> i, texture.height >> i, levelScale(texture.width >> i, texture.height >> i));
    assembleTargetSides(rhs, grid, texture.width >> i, texture.height >> i, 3, levelScale(texture.width >> i, texture.height >> i));
    regulariseStencil(matrix, rhs, regularisationWeight);
    return denseOf(rhs.count, rhs, [&](const DenseBlock& x, DenseBlock& y) { multiplyStencil(matrix, x, y); });
}

// Kivtri's regularised joint system over the inner levels, as the filter assembles it.
DenseSystem jointSystem(const Mesh& mesh, const FloatImage& texture, GrowArray<int32_t>& levelStart) {
    TrilinearSystem system;
    assembleJointSystem(system, mesh, texture, mipLevelCount(texture.width, texture.height));
    levelStart = system.levelStart;
    DenseBlock rhs = system.rhs;
    return denseOf(rhs.count, rhs, [&](const DenseBlock& x, DenseBlock& y) { multiplyTrilinear(system, x, y); });
}

// Projected Gauss-Seidel on column c, run until a sweep moves no value by more than 1e-14: the minimiser of
// 1/2 x'Ax - b'x within [0, 1], by a method that shares nothing with the filters' solver.
std::vector<double> boundedOracle(const DenseSystem& system, int32_t c) {
    const size_t n = system.a.size();
    std::vector<double> x(n, 0.0);
    for (int sweep = 0; sweep < 200000; ++sweep) {
        double moved = 0.0;
        for (size_t i = 0; i < n; ++i) {
            double rest = system.b.at(static_cast<int32_t>(i), c);
            for (size_t j = 0; j < n; ++j)
                if (j != i) rest -= system.a[i][j] * x[j];
            const double value = std::min(1.0, std::max(0.0, rest / system.a[i][i]));
            moved = std::max(moved, std::abs(value - x[i]));
            x[i] = value;
        }
        if (moved < 1e-14) break;
    }
    return x;
}

double objective(const DenseSystem& system, int32_t c, const std::vector<double>& x) {
    double value = 0.0;
    for (size_t i = 0; i < x.size(); ++i) {
        double row = 0.0;
        for (size_t j = 0; j < x.size(); ++j) row += system.a[i][j] * x[j];
        value += 0.5 * x[i] * row - system.b.at(static_cast<int32_t>(i), c) * x[i];
    }
    return value;
}

// Channel c of the levels first .. last of a pyramid, one after another, clamped into [0, 1] when asked.
std::vector<double> valuesOf(const MipPyramid& pyramid, int32_t first, int32_t last, int32_t c, bool clamp) {
    std::vector<double> values;
    for (int32_t l = first; l <= last; ++l) {
        for (int32_t j = 0; j < pyramid.levels[l].count; ++j) {
            const double v = channelOf(pyramid.levels[l].texels[j], c);
            values.push_back(clamp ? std::min(1.0, std::max(0.0, v)) : v);
        }
    }
    return values;
}

// Within [0, 1], within 1e-4 of the oracle (the solver's bound) plus the float the level stores, and no worse in the
// objective than the clamped unconstrained values (up to that float's rounding). Returns the values on a bound.
int32_t expectBoundedMinimiser(const DenseSystem& system, int32_t c, const std::vector<double>& bounded,
                               const std::vector<double>& clamped) {
    const std::vector<double> oracle = boundedOracle(system, c);
    EXPECT_EQ(bounded.size(), oracle.size());
    int32_t onBound = 0;
    for (size_t i = 0; i < oracle.size() && i < bounded.size(); ++i) {
        EXPECT_GE(bounded[i], 0.0);
        EXPECT_LE(bounded[i], 1.0);
        EXPECT_NEAR(bounded[i], oracle[i], 1.01e-4) << "unknown " << i << " channel " << c;
        onBound += oracle[i] == 0.0 || oracle[i] == 1.0;
    }
    const double best = objective(system, c, bounded), slack = 1e-6 * (1.0 + std::abs(best));
    EXPECT_LE(best, objective(system, c, clamped) + slack) << "channel " << c;
    EXPECT_LE(objective(system, c, oracle), objective(system, c, clamped) + slack) << "channel " << c;
    return onBound;
}

struct ThreadCount {
    explicit ThreadCount(int count) { omp_set_num_threads(count); }
    ~ThreadCount() { omp_set_num_threads(omp_get_num_procs()); }
};

void expectSameLevels(const MipPyramid& a, const MipPyramid& b) {
    ASSERT_EQ(a.levels.count, b.levels.count);
    for (int32_t l = 0; l < a.levels.count; ++l) {
        ASSERT_EQ(a.levels[l].count, b.levels[l].count);
        for (int32_t j = 0; j < a.levels[l].count; ++j) {
            const Texel &s = a.levels[l].texels[j], &t = b.levels[l].texels[j];
            ASSERT_TRUE(s.r == t.r && s.g == t.g && s.b == t.b && s.a == t.a) << "level " << l << " texel " << j;
        }
    }
}

}  // namespace

TEST(BoundedFilters, KivbicLevelsAreTheMinimisersOfKivbisLevelSystemsWithinTheBox) {
    const Mesh mesh = bentModel();
    const FloatImage texture = contrastTexture(32, 3);
    FilterStats stats;
    const MipPyramid bounded = run(buildKivbicPyramid, mesh, texture, stats);
    const MipPyramid free = run(buildKivbiPyramid, mesh, texture);
    int32_t onBound = 0;
    for (int32_t i = 1; i <= 3; ++i) {
        const DenseSystem system = levelSystem(mesh, texture, i);
        for (int32_t c = 0; c < 3; ++c) {
            onBound += expectBoundedMinimiser(system, c, valuesOf(bounded, i, i, c, false), valuesOf(free, i, i, c, true));
        }
    }
    EXPECT_GT(onBound, 20);
    // Every level reports its bounded solve: the share of held texels is a share.
    ASSERT_EQ(stats.steps.count, 5);
    for (const FilterStep& level : stats.steps) {
        EXPECT_TRUE(level.bounds.ran && level.solver.iterationsRan);
        EXPECT_GE(level.bounds.heldShare, 0.0);
        EXPECT_LE(level.bounds.heldShare, 1.0);
    }
    EXPECT_GT(stats.steps[0].bounds.heldShare, 0.0);
    EXPECT_GT(stats.steps[0].bounds.steps, 0);
}

TEST(BoundedFilters, KivtricIsTheMinimiserOfKivtrisJointSystemWithinTheBox) {
    const Mesh mesh = bentModel();
    const FloatImage texture = contrastTexture(32, 4);
    FilterStats stats;
    const MipPyramid bounded = run(buildKivtricPyramid, mesh, texture, stats);
    const MipPyramid free = run(buildKivtriPyramid, mesh, texture);
    GrowArray<int32_t> levelStart;
    const DenseSystem system = jointSystem(mesh, texture, levelStart);
    const int32_t last = levelStart.count - 2;  // the inner levels 1 .. last
    int32_t onBound = 0;
    for (int32_t c = 0; c < 3; ++c) {
        onBound += expectBoundedMinimiser(system, c, valuesOf(bounded, 1, last, c, false), valuesOf(free, 1, last, c, true));
    }
    EXPECT_GT(onBound, 20);
    // The fixed levels stay as kivtri has them.
    for (int32_t j = 0; j < texture.count; ++j) EXPECT_EQ(bounded.levels[0].texels[j].r, texture.texels[j].r);
    const FloatImage &topBounded = bounded.levels[last + 1], &topFree = free.levels[last + 1];
    ASSERT_EQ(topBounded.count, topFree.count);
    for (int32_t j = 0; j < topFree.count; ++j) EXPECT_EQ(topBounded.texels[j].g, topFree.texels[j].g);
    ASSERT_EQ(stats.steps.count, 1);
    const FilterStep& joint = stats.steps[0];
    EXPECT_TRUE(joint.bounds.ran && joint.done);
    ASSERT_EQ(joint.levelHeldShare.count, last + 1);
    EXPECT_GT(joint.levelHeldShare[1], 0.0);
}

// The exact unconstrained start (--solver direct) and the iterated one lead to the same bounded levels, each within
// 1e-4 of the minimiser; alpha, a fourth channel with red's values, is kept within the box like red.
TEST(BoundedFilters, DirectAndIterativeStartsAgreeAndAlphaIsBounded) {
    const Mesh mesh = thinRowsModel();
    FloatImage texture = contrastTexture(64, 5);
    texture.hasAlpha = true;
    for (int32_t j = 0; j < texture.count; ++j) texture.texels[j].a = texture.texels[j].r;
    for (Build build : {buildKivbicPyramid, buildKivtricPyramid}) {
        const MipPyramid direct = run(build, mesh, texture, LevelSolver::direct);
        const MipPyramid iterated = run(build, mesh, texture, LevelSolver::iterative);
        ASSERT_EQ(direct.levels.count, iterated.levels.count);
        for (int32_t l = 1; l < iterated.levels.count; ++l) {
            ASSERT_EQ(direct.levels[l].count, iterated.levels[l].count);
            for (int32_t j = 0; j < iterated.levels[l].count; ++j) {
                const Texel &s = direct.levels[l].texels[j], &t = iterated.levels[l].texels[j];
                for (int32_t c = 0; c < 4; ++c) {
                    ASSERT_NEAR(channelOf(s, c), channelOf(t, c), 2e-4) << "level " << l << " texel " << j;
                    ASSERT_TRUE(channelOf(t, c) >= 0.0 && channelOf(t, c) <= 1.0) << "level " << l << " texel " << j;
                }
                ASSERT_NEAR(t.a, t.r, 2e-4) << "level " << l << " texel " << j;
            }
        }
    }
}

// At 256 x 256 the finest levels' loops run on several threads; the levels are the same bits on one and on two.
TEST(BoundedFilters, OneThreadAndTwoGiveTheSameLevels) {
    const Mesh mesh = thinRowsModel();
    const FloatImage texture = contrastTexture(256, 6);
    for (Build build : {buildKivbicPyramid, buildKivtricPyramid}) {
        MipPyramid one, two;
        {
            ThreadCount threads(1);
            one = run(build, mesh, texture);
        }
        {
            ThreadCount threads(2);
            two = run(build, mesh, texture);
        }
        expectSameLevels(one, two);
    }
}

// The bundled sample: every level of kivbic, and kivtric's inner levels, no worse in their objectives than the
// unconstrained levels clamped as the files clamp them.
TEST(BoundedFilters, OnTheSampleTheConstrainedLevelsBeatTheClampedOnes) {
    Mesh mesh;
    FloatImage texture;
    std::string error;
    ASSERT_TRUE(loadObjModel(mesh, KIV_SOURCE_DIR "/data/sample.obj", error) && normaliseMesh(mesh, error)) << error;
    ASSERT_TRUE(loadTexture(KIV_SOURCE_DIR "/data/sample.png", texture, error)) << error;
    lineariseImage(texture);
    expectKivbicNoWorseThanClampedKivbi(mesh, texture, run(buildKivbicPyramid, mesh, texture),
                                        run(buildKivbiPyramid, mesh, texture), "sample");
    expectKivtricNoWorseThanClampedKivtri(mesh, texture, run(buildKivtricPyramid, mesh, texture),
                                          run(buildKivtriPyramid, mesh, texture), "sample");
}

// A normal map's vectors within [-1, 1] and its alpha within [0, 1] in one bounded solve: random signed components
// and alpha of 0 or 1, where the unconstrained levels take alpha below 0; the bounded levels keep every alpha within
// [0, 1] while their components still reach below 0.
TEST(BoundedFilters, NormalVectorsKeepTheirRangeAndAlphaItsOwn) {
    std::mt19937 random(7);
    std::bernoulli_distribution on(0.5);
    FloatImage texture;
    allocateImage(texture, 32, 32);
    texture.hasAlpha = true;
    for (int i = 0; i < texture.count; ++i) {
        texture.texels[i] = Texel{on(random) ? 0.9f : -0.9f, on(random) ? 0.6f : -0.6f, 0.3f, on(random) ? 1.0f : 0.0f};
    }
    const Mesh mesh = bentModel();
    double lowestAlpha = 0;
    for (const FloatImage& level : run(buildKivbiPyramid, mesh, texture).levels) {
        for (int i = 0; i < level.count; ++i) lowestAlpha = std::min(lowestAlpha, double(level.texels[i].a));
    }
    ASSERT_LT(lowestAlpha, -0.01) << "the unconstrained levels must overshoot for the test to mean anything";

    const ValueRange vectors{-1.0, 1.0};
    for (const auto build : {buildKivbicPyramidWithin, buildKivtricPyramidWithin}) {
        MipPyramid pyramid;
        FilterStats stats;
        std::string error;
        ASSERT_TRUE(build(mesh, pyramid, texture, mipLevelCount(32, 32), LevelSolver::iterative, vectors, stats, error))
            << error;
        double lowestComponent = 0;
        for (int32_t l = 1; l < pyramid.levels.count; ++l) {
            const FloatImage& level = pyramid.levels[l];
            for (int i = 0; i < level.count; ++i) {
                const Texel& t = level.texels[i];
                for (int32_t c = 0; c < 3; ++c) {
                    ASSERT_GE(channelOf(t, c), -1.0) << "level " << l;
                    ASSERT_LE(channelOf(t, c), 1.0) << "level " << l;
                    lowestComponent = std::min(lowestComponent, channelOf(t, c));
                }
                ASSERT_GE(t.a, 0.0f) << "level " << l;
                ASSERT_LE(t.a, 1.0f) << "level " << l;
            }
        }
        EXPECT_LT(lowestComponent, -0.1);
    }
}
