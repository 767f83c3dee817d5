// The exact surface error against an independent estimate (sampled_surface_error.h) on the bundled sample and a
// skewed pair of triangles over a texture whose sides differ.
#include "filters/surface_error.h"

#include <gtest/gtest.h>

#include <cmath>
#include <array>
#include <random>
#include <vector>
#include <string>

#include "filters/bilinear_filter.h"
#include "image/classic_filters.h"
#include "image/texture_io.h"
#include "mesh/obj_model.h"
#include "sampled_surface_error.h"
#include "system_checks.h"
#include "test_support.h"

namespace {

using namespace sampled_error;

TEST(SurfaceError, AgreesWithPointsDrawnOverTheSurface) {
    // The bundled sample: charts of a box on a 512 x 512 atlas, its own texture and box levels.
    Mesh sample;
    std::string error;
    ASSERT_TRUE(loadObjModel(sample, KIV_SOURCE_DIR "/data/sample.obj", error)) << error;
    ASSERT_TRUE(normaliseMesh(sample, error)) << error;
    FloatImage texture;
    ASSERT_TRUE(loadTexture(KIV_SOURCE_DIR "/data/sample.png", texture, error)) << error;
    lineariseImage(texture);
    MipPyramid box;
    buildBoxPyramid(box, texture, mipLevelCount(texture.width, texture.height));
    {
        SCOPED_TRACE("sample, box levels");
        expectAgreement(sample, texture, box, 0.02);
    }
    // A skewed triangle pair over a random 32 x 16 texture with random levels, the grids following both sides.
    Mesh pair;
    {
        std::string text = "v 0 0 0\nv 3 0 1\nv 3 2 0\nv 0 1 2\nvt 0.05 0.1\nvt 0.9 0.02\nvt 0.97 0.93\nvt 0.1 0.8\n"
                           "f 1/1 2/2 3/3 4/4\n";
        TempDir dir;
        writeTextFile(dir.file("pair.obj"), text);
        ASSERT_TRUE(loadObjModel(pair, dir.file("pair.obj").c_str(), error)) << error;
        ASSERT_TRUE(normaliseMesh(pair, error)) << error;
    }
    const FloatImage wide = randomTexture(32, 16, 9);
    SCOPED_TRACE("skewed pair, random levels");
    expectAgreement(pair, wide, randomPyramid(wide, 4), 0.02);
}

// Textures whose sides are not powers of two, or of one or two texels along an axis: the grids cut along the levels'
// own texel centres give the same figures as the points, for box levels (area averages), kivbi's levels and random
// ones, on the skewed pair.
TEST(SurfaceError, AgreesWithPointsDrawnOverTheSurfaceForEverySize) {
    const Mesh pair = modelFrom(
        "v 0 0 0\nv 3 0 1\nv 3 2 0\nv 0 1 2\nvt 0.05 0.1\nvt 0.9 0.02\nvt 0.97 0.93\nvt 0.1 0.8\nf 1/1 2/2 3/3 4/4\n");
    const FloatImage odd = randomTexture(13, 9, 5);
    MipPyramid box, kivbi;
    buildBoxPyramid(box, odd, mipLevelCount(13, 9));
    FilterStats stats;
    std::string error;
    ASSERT_TRUE(buildKivbiPyramid(pair, kivbi, odd, mipLevelCount(13, 9), LevelSolver::iterative, stats, error))
        << error;
    {
        SCOPED_TRACE("13 x 9, box levels");
        expectAgreement(pair, odd, box, 0.02, 100000);
    }
    {
        SCOPED_TRACE("13 x 9, kivbi levels");
        expectAgreement(pair, odd, kivbi, 0.02, 100000);
    }
    for (const auto& [width, height] : {std::make_pair(12, 5), std::make_pair(1, 6)}) {
        SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height) + ", random levels");
        const FloatImage texture = randomTexture(width, height, 7);
        expectAgreement(pair, texture, randomPyramid(texture, 8), 0.02, 100000);
    }
}

TEST(SurfaceError, WrittenValuesRoundTripThroughTheBytes) {
    for (int byte = 0; byte < 256; ++byte) {
        const float linear = srgbToLinear(byte / 255.0f);
        EXPECT_EQ(texelAsWritten(Texel{linear, linear, linear, 1.0f}, TexelEncoding::srgb).r, linear) << byte;
    }
    EXPECT_EQ(texelAsWritten(Texel{2.0f, 2.0f, 2.0f, 1.0f}, TexelEncoding::srgb).r, 1.0f);
    EXPECT_EQ(texelAsWritten(Texel{-1.0f, -1.0f, -1.0f, 1.0f}, TexelEncoding::srgb).r, 0.0f);
}

}  // namespace
