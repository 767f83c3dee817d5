// The box, tent and truncated-sinc levels and pyramids, and the rainbow test pyramid.
#include <gtest/gtest.h>

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

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

// Texels with values spread over [0, 1) from a fixed linear congruential sequence, so no two
// neighbours agree and a tap read from the wrong texel shows.
static FloatImage scatteredImage(int width, int height, uint32_t seed) {
    FloatImage image;
    allocateImage(image, width, height);
    auto next = [&seed]() {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<float>(seed >> 8) / 16777216.0f;
    };
    for (int i = 0; i < image.count; ++i) {
        const float r = next(), g = next(), b = next(), a = next();
        image.texels[i] = Texel{r, g, b, a};
    }
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

// The separable levels are checked against the direct two-dimensional sum that the level functions
// computed before: every output texel sums all tapCount^2 taps, each weighing kernel(i) kernel(j),
// in float, and divides by the weight gathered.
static int32_t oracleWrap(int64_t index, int32_t size) {
    const int64_t wrapped = index % size;
    return static_cast<int32_t>(wrapped < 0 ? wrapped + size : wrapped);
}

static void directKernelLevel(FloatImage& level, const FloatImage& texture, int32_t a, int32_t firstOffset,
                              int32_t tapCount, double (*kernel)(double)) {
    allocateImage(level, texture.width / a, texture.height / a);
    const double centre = (a - 1) * 0.5;
    std::vector<double> weights(tapCount);
    for (int32_t k = 0; k < tapCount; ++k) weights[k] = kernel((firstOffset + k - centre) / a);
    for (int32_t y = 0; y < level.height; ++y) {
        for (int32_t x = 0; x < level.width; ++x) {
            float r = 0, g = 0, b = 0, alpha = 0;
            double weightSum = 0;
            for (int32_t j = 0; j < tapCount; ++j) {
                const int32_t row = oracleWrap(static_cast<int64_t>(y) * a + firstOffset + j, texture.height);
                for (int32_t i = 0; i < tapCount; ++i) {
                    const int32_t column = oracleWrap(static_cast<int64_t>(x) * a + firstOffset + i, texture.width);
                    const Texel& t = texture.at(column, row);
                    const double w = weights[j] * weights[i];
                    r += static_cast<float>(t.r * w);
                    g += static_cast<float>(t.g * w);
                    b += static_cast<float>(t.b * w);
                    alpha += static_cast<float>(t.a * w);
                    weightSum += w;
                }
            }
            const double normaliser = 1.0 / weightSum;
            level.at(x, y) = Texel{static_cast<float>(r * normaliser), static_cast<float>(g * normaliser),
                                   static_cast<float>(b * normaliser), static_cast<float>(alpha * normaliser)};
        }
    }
}

struct SeparableCase {
    const char* name;
    void (*level)(FloatImage&, const FloatImage&, int32_t);
    double (*kernel)(double);
    int32_t (*firstOffset)(int32_t a);
    int32_t (*tapCount)(int32_t a);
};

static const SeparableCase separableCases[] = {
    {"tent", tentLevel, tentWeight, [](int32_t a) { return -(a / 2); },
     [](int32_t a) { return (3 * a) / 2 + a / 2; }},
    {"lanczos3", lanczos3Level, lanczos3Weight, [](int32_t a) { return (-5 * a) / 2; },
     [](int32_t a) { return (7 * a) / 2 + (5 * a) / 2; }},
};

// Odd, even and non-square textures down to their last non-empty level; at the coarse levels the
// kernel (2a or 6a taps) wraps around a side several times, on one axis only for the thin ones.
// Kernels at most an eighth of the texture's height go through the rows a thread keeps for its next
// level row (the tall textures), taller ones through one shared image of filtered rows.
// Tolerance: the oracle adds n = tapCount^2 float terms one by one, so its error is at most about
// (n + 1) 2^-24 sum |w t| / sum w; the separable path sums in double and rounds to float twice.
// With |t| < 1 that gives (n + 4) 2^-24 rho^2, rho = sum |w| / sum w on one axis.
TEST(SeparableFilters, LevelsMatchTheDirectTwoDimensionalSum) {
    const std::pair<int, int> sizes[] = {{7, 5}, {8, 6}, {16, 16}, {12, 5}, {3, 10}, {32, 3}, {9, 101}, {40, 200}};
    uint32_t seed = 1;
    for (const SeparableCase& filter : separableCases) {
        for (const auto& size : sizes) {
            const FloatImage texture = scatteredImage(size.first, size.second, seed++);
            for (int32_t a = 2; a <= std::max(size.first, size.second); a *= 2) {
                FloatImage expected, actual;
                const int32_t firstOffset = filter.firstOffset(a), tapCount = filter.tapCount(a);
                directKernelLevel(expected, texture, a, firstOffset, tapCount, filter.kernel);
                filter.level(actual, texture, a);
                ASSERT_EQ(actual.width, expected.width);
                ASSERT_EQ(actual.height, expected.height);
                double sum = 0, absoluteSum = 0;
                for (int32_t k = 0; k < tapCount; ++k) {
                    const double w = filter.kernel((firstOffset + k - (a - 1) * 0.5) / a);
                    sum += w;
                    absoluteSum += std::fabs(w);
                }
                const double rho = absoluteSum / sum;
                const float tolerance = static_cast<float>((double(tapCount) * tapCount + 4) * rho * rho / 16777216.0);
                for (int k = 0; k < actual.count; ++k) {
                    SCOPED_TRACE(testing::Message() << filter.name << " " << size.first << "x" << size.second
                                                    << " factor " << a << " texel " << k);
                    expectTexelNear(actual.texels[k], expected.texels[k], tolerance);
                }
            }
        }
    }
}

// Each output value is summed by one thread in a fixed order, so the thread count cannot change a bit.
TEST(SeparableFilters, ResultsDoNotDependOnTheThreadCount) {
    // Tall enough that the narrow kernels go through the rows each thread keeps.
    const FloatImage texture = scatteredImage(67, 133, 7);
    const int threads = omp_get_max_threads();
    for (auto levelFunction : {boxLevel, tentLevel, lanczos3Level}) {
        for (int32_t a : {2, 8, 32}) {
            FloatImage single, several;
            omp_set_num_threads(1);
            levelFunction(single, texture, a);
            omp_set_num_threads(3);
            levelFunction(several, texture, a);
            ASSERT_EQ(single.count, several.count);
            EXPECT_EQ(std::memcmp(single.texels, several.texels, sizeof(Texel) * single.count), 0) << "factor " << a;
        }
    }
    omp_set_num_threads(threads);
}
