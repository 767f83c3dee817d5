// On the real models, kivbic's levels do no worse in kivbi's level objectives than kivbi's levels clamped into
// [0, 1] (as the level files clamp them), and kivtric's do no worse in kivtri's joint objective than kivtri's.
#include <gtest/gtest.h>

#include <string>

#include "bounded_objectives.h"
#include "filters/bilinear_filter.h"
#include "filters/trilinear_filter.h"
#include "system_checks.h"
#include "test_support.h"

static void expectBoundedFiltersNoWorse(const std::string& name) {
    const std::string folder = realModelsDirectory() + "/" + name;
    Mesh mesh;
    FloatImage texture;
    if (!loadRealModel(folder, mesh, texture)) GTEST_SKIP() << "no real models at " << folder;
    ASSERT_FALSE(::testing::Test::HasFailure());
    const int32_t levelCount = mipLevelCount(texture.width, texture.height);
    std::string error;
    MipPyramid kivbi, kivbic, kivtri, kivtric;
    FilterStats stats;
    ASSERT_TRUE(buildKivbiPyramid(mesh, kivbi, texture, levelCount, LevelSolver::iterative, stats, error)) << error;
    ASSERT_TRUE(buildKivbicPyramid(mesh, kivbic, texture, levelCount, LevelSolver::iterative, stats, error)) << error;
    expectKivbicNoWorseThanClampedKivbi(mesh, texture, kivbic, kivbi, name);
    release(kivbi.levels);
    release(kivbic.levels);
    ASSERT_TRUE(buildKivtriPyramid(mesh, kivtri, texture, levelCount, LevelSolver::iterative, stats, error)) << error;
    ASSERT_TRUE(buildKivtricPyramid(mesh, kivtric, texture, levelCount, LevelSolver::iterative, stats, error)) << error;
    expectKivtricNoWorseThanClampedKivtri(mesh, texture, kivtric, kivtri, name);
}

TEST(RealModelBounds, ConstrainedLevelsBeatTheClampedOnesOnTheDuck) { expectBoundedFiltersNoWorse("duck"); }

TEST(RealModelBounds, ConstrainedLevelsBeatTheClampedOnesOnTheMilkTruck) { expectBoundedFiltersNoWorse("milk_truck"); }
