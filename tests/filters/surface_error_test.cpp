// The exact surface error against an independent estimate (sampled_surface_error.h) on the bundled sample and a
// skewed pair of triangles over a texture whose sides differ.
#include "filters/surface_error.h"

#include <gtest/gtest.h>

#include <cmath>
#include <array>
#include <random>
#include <vector>
#include <string>

#include "image/classic_filters.h"
#include "image/texture_io.h"
#include "mesh/obj_model.h"
#include "sampled_surface_error.h"
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

TEST(SurfaceError, WrittenValuesRoundTripThroughTheBytes) {
    for (int byte = 0; byte < 256; ++byte) {
        const float linear = srgbToLinear(byte / 255.0f);
        EXPECT_EQ(asWritten(linear), linear) << byte;
    }
    EXPECT_EQ(asWritten(2.0f), 1.0f);
    EXPECT_EQ(asWritten(-1.0f), 0.0f);
}

}  // namespace
