// The exact surface error against points drawn over a real model's surface (the duck, its texture and its box and
// kivbi levels).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "filters/bilinear_filter.h"
#include "image/classic_filters.h"
#include "image/texture_io.h"
#include "mesh/obj_model.h"
#include "sampled_surface_error.h"
#include "system_checks.h"
#include "test_support.h"

TEST(RealModelSurfaceError, AgreesWithPointsDrawnOverTheDuck) {
    const std::string folder = realModelsDirectory() + "/duck";
    Mesh mesh;
    FloatImage texture;
    if (!loadRealModel(folder, mesh, texture)) GTEST_SKIP() << "no real models at " << folder;
    ASSERT_FALSE(::testing::Test::HasFailure());
    std::string error;
    const int32_t levelCount = mipLevelCount(texture.width, texture.height);
    MipPyramid box, kivbi;
    buildBoxPyramid(box, texture, levelCount);
    FilterStats stats;
    ASSERT_TRUE(buildKivbiPyramid(mesh, kivbi, texture, levelCount, LevelSolver::iterative, stats, error)) << error;
    {
        SCOPED_TRACE("box");
        sampled_error::expectAgreement(mesh, texture, box, 0.02, 400000, 8);
    }
    SCOPED_TRACE("kivbi");
    sampled_error::expectAgreement(mesh, texture, kivbi, 0.02, 400000, 8);
}
