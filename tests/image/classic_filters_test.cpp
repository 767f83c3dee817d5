// The box, tent and truncated-sinc levels and pyramids, and the rainbow test pyramid.
#include <gtest/gtest.h>

#include <cmath>

#include "image/classic_filters.h"

static FloatImage constantImage(int width, int height, Texel value) {
    FloatImage image;
    allocateImage(image, width, height);
    for (int i = 0; i < image.count; ++i) image.texels[i] = value;
    return image;
}

// Texel i of the image holds r = i, g = 2i, b = -i, a = 1 - i / 100.
static FloatImage rampImage(int width, int height) {
    FloatImage image;
    allocateImage(image, width, height);
    for (int i = 0; i < image.count; ++i) image.texels[i] = Texel{float(i), 2.0f * i, -float(i), 1 - i / 100.0f};
    return image;
}

static void expectTexelNear(const Texel& actual, const Texel& expected, float tolerance) {
    EXPECT_NEAR(actual.r, expected.r, tolerance);
    EXPECT_NEAR(actual.g, expected.g, tolerance);
    EXPECT_NEAR(actual.b, expected.b, tolerance);
    EXPECT_NEAR(actual.a, expected.a, tolerance);
}

TEST(FilterKernels, TentAndTruncatedSincValues) {
    EXPECT_EQ(tentWeight(-1), 0);
    EXPECT_EQ(tentWeight(1), 0);
    EXPECT_EQ(tentWeight(-0.25), 0.75);
    EXPECT_EQ(tentWeight(0.75), 0.25);
    EXPECT_EQ(tentWeight(0), 1);

    const double pi = 3.141592653589793;
    EXPECT_EQ(lanczos3Weight(0), 1);
    EXPECT_EQ(lanczos3Weight(0.00005), 1);
    EXPECT_NEAR(lanczos3Weight(1), 0, 1e-15);
    EXPECT_NEAR(lanczos3Weight(2), 0, 1e-15);
    EXPECT_NEAR(lanczos3Weight(0.5), 2 / pi, 1e-15);
    // No window: at 1.5 the plain sinc is -2 / (3 pi).
    EXPECT_NEAR(lanczos3Weight(-1.5), -2 / (3 * pi), 1e-15);
    EXPECT_EQ(lanczos3Weight(3), 0);
    EXPECT_EQ(lanczos3Weight(-3.5), 0);
}

TEST(BoxFilter, LevelsAreBlockMeansOfTheTexture) {
    const FloatImage texture = rampImage(4, 4);
    MipPyramid pyramid;
    buildBoxPyramid(pyramid, texture, 3);
    ASSERT_EQ(pyramid.levels.count, 3);
    EXPECT_EQ(pyramid.levels[0].width, 4);
    EXPECT_EQ(pyramid.levels[0].at(3, 2).r, 11);
    const FloatImage& half = pyramid.levels[1];
    ASSERT_EQ(half.width, 2);
    ASSERT_EQ(half.height, 2);
    // The block of (1, 0) holds texels 2, 3, 6, 7: mean 4.5.
    expectTexelNear(half.at(1, 0), Texel{4.5f, 9.0f, -4.5f, 0.955f}, 1e-6f);
    // The block of (0, 1) holds texels 8, 9, 12, 13: mean 10.5.
    expectTexelNear(half.at(0, 1), Texel{10.5f, 21.0f, -10.5f, 0.895f}, 1e-6f);
    ASSERT_EQ(pyramid.levels[2].count, 1);
    expectTexelNear(pyramid.levels[2].texels[0], Texel{7.5f, 15.0f, -7.5f, 0.925f}, 1e-6f);
}

TEST(BoxFilter, TexelsPastTheLastWholeBlockAreLeftOut) {
    FloatImage texture = constantImage(5, 5, Texel{1, 1, 1, 1});
    for (int k = 0; k < 5; ++k) texture.at(4, k) = texture.at(k, 4) = Texel{100, 100, 100, 100};
    MipPyramid pyramid;
    buildBoxPyramid(pyramid, texture, 4);
    ASSERT_EQ(pyramid.levels.count, 4);
    EXPECT_EQ(pyramid.levels[0].at(4, 4).r, 100);
    EXPECT_EQ(pyramid.levels[1].width, 2);
    EXPECT_EQ(pyramid.levels[2].width, 1);
    EXPECT_EQ(pyramid.levels[3].width, 0);
    EXPECT_EQ(pyramid.levels[3].texels, nullptr);
    for (int i = 1; i < 3; ++i) {
        for (int k = 0; k < pyramid.levels[i].count; ++k) EXPECT_EQ(pyramid.levels[i].texels[k].r, 1);
    }
}

TEST(ClassicFilters, LevelSizesHalveAndRoundDown) {
    const FloatImage texture = constantImage(6, 3, Texel{0.5f, 0.5f, 0.5f, 1});
    const int expected[4][2] = {{6, 3}, {3, 1}, {1, 0}, {0, 0}};
    for (auto build : {buildBoxPyramid, buildTentPyramid, buildLanczos3Pyramid, buildRainbowPyramid}) {
        MipPyramid pyramid;
        build(pyramid, texture, 4);
        ASSERT_EQ(pyramid.levels.count, 4);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(pyramid.levels[i].width, expected[i][0]) << "level " << i;
            EXPECT_EQ(pyramid.levels[i].height, expected[i][1]) << "level " << i;
            EXPECT_EQ(pyramid.levels[i].count, expected[i][0] * expected[i][1]);
        }
    }
}

// Normalised weights keep a constant texture constant, also where the wide kernels of the
// coarse levels wrap around the texture several times.
TEST(ClassicFilters, ConstantTextureStaysConstant) {
    const Texel value{0.25f, 0.5f, 0.75f, 0.6f};
    for (auto size : {std::pair<int, int>{8, 8}, {16, 4}, {5, 7}}) {
        const FloatImage texture = constantImage(size.first, size.second, value);
        const int levels = mipLevelCount(size.first, size.second);
        for (auto build : {buildBoxPyramid, buildTentPyramid, buildLanczos3Pyramid}) {
            MipPyramid pyramid;
            build(pyramid, texture, levels);
            ASSERT_EQ(pyramid.levels.count, levels);
            for (const FloatImage& level : pyramid.levels) {
                for (int k = 0; k < level.count; ++k) expectTexelNear(level.texels[k], value, 2e-6f);
            }
        }
    }
}

TEST(TentFilter, FirstTexelReachesTheOppositeCornerThroughWrapAround) {
    FloatImage texture = constantImage(8, 6, Texel{0, 0, 0, 0});
    texture.at(7, 5) = Texel{1, 1, 1, 1};
    FloatImage level;
    tentLevel(level, texture, 2);
    ASSERT_EQ(level.width, 4);
    ASSERT_EQ(level.height, 3);
    // Weight 0.25 x 0.25 for the corner tap, divided by the weight sum 4.
    EXPECT_FLOAT_EQ(level.at(0, 0).r, 0.015625f);
    EXPECT_FLOAT_EQ(level.at(0, 0).a, 0.015625f);
    // The same texel lies in the block of (3, 2) with weight 0.75 x 0.75.
    EXPECT_FLOAT_EQ(level.at(3, 2).r, 0.140625f);
    EXPECT_EQ(level.at(1, 1).r, 0);
}

TEST(TentFilter, AFactorTwoRowWeighsAQuarterThreeQuartersThreeQuartersAQuarter) {
    // A texture that varies along x only: output x = 1 reads columns 1, 2, 3, 4.
    FloatImage texture;
    allocateImage(texture, 8, 2);
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 8; ++x) texture.at(x, y) = Texel{float(x * x), 0, 0, 1};
    }
    FloatImage level;
    tentLevel(level, texture, 2);
    EXPECT_FLOAT_EQ(level.at(1, 0).r, (0.25f * 1 + 0.75f * 4 + 0.75f * 9 + 0.25f * 16) / 2);
}

// A thin line rings under the unwindowed sinc: negative lobes push values out of [0, 1], and
// they are kept as computed. Red holds the line, green its complement.
TEST(Lanczos3Filter, RingingLeavesTheUnitRangeAndIsNotClamped) {
    FloatImage texture;
    allocateImage(texture, 32, 8);
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 32; ++x) texture.at(x, y) = Texel{x == 16 ? 1.0f : 0.0f, x == 16 ? 0.0f : 1.0f, 0, 1};
    }
    FloatImage level;
    lanczos3Level(level, texture, 2);
    float lowestRed = 1, highestGreen = 0;
    for (int k = 0; k < level.count; ++k) {
        lowestRed = std::min(lowestRed, level.texels[k].r);
        highestGreen = std::max(highestGreen, level.texels[k].g);
        // Normalised weights: the filtered complement is the complement of the filtered line.
        EXPECT_NEAR(level.texels[k].r + level.texels[k].g, 1.0f, 1e-5f);
    }
    EXPECT_LT(lowestRed, -0.01f);
    EXPECT_GT(highestGreen, 1.01f);
}

TEST(RainbowFilter, EachLevelHasItsOwnColourWhateverTheTexture) {
    const FloatImage texture = rampImage(256, 256);
    MipPyramid pyramid;
    buildRainbowPyramid(pyramid, texture, 9);
    // Yellow, red, magenta, blue, cyan, green, then again from yellow.
    const Texel colours[9] = {{1, 1, 0, 1}, {1, 0, 0, 1}, {1, 0, 1, 1}, {0, 0, 1, 1}, {0, 1, 1, 1},
                              {0, 1, 0, 1}, {1, 1, 0, 1}, {1, 0, 0, 1}, {1, 0, 1, 1}};
    ASSERT_EQ(pyramid.levels.count, 9);
    for (int i = 0; i < 9; ++i) {
        const FloatImage& level = pyramid.levels[i];
        EXPECT_EQ(level.width, 256 >> i);
        EXPECT_EQ(level.height, 256 >> i);
        for (int k = 0; k < level.count; ++k) expectTexelNear(level.texels[k], colours[i], 0);
    }
}
