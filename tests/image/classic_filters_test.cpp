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

// 5 x 5 ones with 100 in the last row and column. Level 1 is 2 x 2 with s = 2.5: output 0 covers texels 0, 1 and
// half of 2 on an axis, output 1 the other half of 2 and texels 3, 4 (weights 0.2, 0.4, 0.4); nothing is left out.
TEST(BoxFilter, OddSidesAverageEveryTexelByItsCoveredArea) {
    FloatImage texture = constantImage(5, 5, Texel{1, 1, 1, 1});
    for (int k = 0; k < 5; ++k) texture.at(4, k) = texture.at(k, 4) = Texel{100, 100, 100, 100};
    MipPyramid pyramid;
    buildBoxPyramid(pyramid, texture, mipLevelCount(5, 5));
    ASSERT_EQ(pyramid.levels.count, 3);
    const FloatImage& half = pyramid.levels[1];
    ASSERT_EQ(half.width, 2);
    ASSERT_EQ(half.height, 2);
    EXPECT_FLOAT_EQ(half.at(0, 0).r, 1);
    // Column 4 weighs 0.4 across, no row 4 down: 0.4 * 100 + 0.6 * 1.
    EXPECT_FLOAT_EQ(half.at(1, 0).r, 40.6f);
    EXPECT_FLOAT_EQ(half.at(0, 1).g, 40.6f);
    // 100 unless both the column and the row miss 4: 0.36 * 1 + 0.64 * 100.
    EXPECT_FLOAT_EQ(half.at(1, 1).a, 64.36f);
    // 16 ones and 9 hundreds.
    ASSERT_EQ(pyramid.levels[2].count, 1);
    EXPECT_FLOAT_EQ(pyramid.levels[2].texels[0].b, 36.64f);
}

// Level i is levelSide(w0, i) x levelSide(h0, i) for every filter, down to 1 x 1 and never empty, whatever the
// shape: the longer side keeps halving after the shorter one has reached 1.
TEST(ClassicFilters, EveryLevelHasTexelsDownToOneByOne) {
    const std::pair<int, int> expected6x3[] = {{6, 3}, {3, 1}, {1, 1}};
    const FloatImage small = constantImage(6, 3, Texel{0.5f, 0.5f, 0.5f, 1});
    for (auto build : {buildBoxPyramid, buildTentPyramid, buildLanczos3Pyramid, buildRainbowPyramid}) {
        MipPyramid pyramid;
        build(pyramid, small, 3);
        ASSERT_EQ(pyramid.levels.count, 3);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(pyramid.levels[i].width, expected6x3[i].first) << "level " << i;
            EXPECT_EQ(pyramid.levels[i].height, expected6x3[i].second) << "level " << i;
        }
    }

    struct Chain {
        int width, height, levels;
    };
    const Chain chains[] = {{512, 256, 10}, {1, 8, 4}, {2, 1, 2}, {211, 211, 8}, {768, 768, 10}, {1, 1, 1}, {3, 5, 3}};
    uint32_t seed = 3;
    for (const Chain& chain : chains) {
        const FloatImage texture = scatteredImage(chain.width, chain.height, seed++);
        ASSERT_EQ(mipLevelCount(chain.width, chain.height), chain.levels);
        for (auto build : {buildBoxPyramid, buildTentPyramid, buildLanczos3Pyramid, buildRainbowPyramid}) {
            MipPyramid pyramid;
            build(pyramid, texture, chain.levels);
            ASSERT_EQ(pyramid.levels.count, chain.levels);
            for (int i = 0; i < chain.levels; ++i) {
                SCOPED_TRACE(testing::Message() << chain.width << "x" << chain.height << " level " << i);
                const FloatImage& level = pyramid.levels[i];
                EXPECT_EQ(level.width, levelSide(chain.width, i));
                EXPECT_EQ(level.height, levelSide(chain.height, i));
                ASSERT_EQ(level.count, level.width * level.height);
                ASSERT_NE(level.texels, nullptr);
                for (int k = 0; k < level.count; ++k) ASSERT_TRUE(std::isfinite(level.texels[k].r));
            }
            EXPECT_EQ(pyramid.levels[chain.levels - 1].count, 1);
        }
    }
}

// Normalised weights keep a constant texture constant at every level: on whole and fractional scales, where
// the scale differs between the axes, and where the wide kernels of the coarse levels wrap around a side
// several times.
TEST(ClassicFilters, ConstantTextureStaysConstant) {
    const Texel value{0.25f, 0.5f, 0.75f, 0.6f};
    const std::pair<int, int> sizes[] = {{8, 8}, {16, 4}, {5, 7}, {211, 7}, {1, 8},
                                         {2, 1}, {13, 9}, {768, 3}, {96, 48}};
    for (const auto& size : sizes) {
        const FloatImage texture = constantImage(size.first, size.second, value);
        const int levels = mipLevelCount(size.first, size.second);
        for (auto build : {buildBoxPyramid, buildTentPyramid, buildLanczos3Pyramid}) {
            MipPyramid pyramid;
            build(pyramid, texture, levels);
            ASSERT_EQ(pyramid.levels.count, levels);
            for (int i = 0; i < levels; ++i) {
                const FloatImage& level = pyramid.levels[i];
                ASSERT_GT(level.count, 0);
                for (int k = 0; k < level.count; ++k) {
                    SCOPED_TRACE(testing::Message() << size.first << "x" << size.second << " level " << i);
                    expectTexelNear(level.texels[k], value, 2e-6f);
                }
            }
        }
    }
}

// Every output texel covers the same area of the texture, so the mean of a box level is the mean of the
// texture, also where a side does not halve exactly and the scale is fractional.
TEST(BoxFilter, EveryLevelKeepsTheMeanOfTheTexture) {
    const std::pair<int, int> sizes[] = {{211, 7}, {13, 9}, {5, 3}, {100, 37}, {1, 31}, {96, 48}};
    uint32_t seed = 40;
    for (const auto& size : sizes) {
        const FloatImage texture = scatteredImage(size.first, size.second, seed++);
        MipPyramid pyramid;
        buildBoxPyramid(pyramid, texture, mipLevelCount(size.first, size.second));
        double textureMean[4] = {};
        for (int k = 0; k < texture.count; ++k) {
            const Texel& t = texture.texels[k];
            textureMean[0] += t.r / texture.count;
            textureMean[1] += t.g / texture.count;
            textureMean[2] += t.b / texture.count;
            textureMean[3] += t.a / texture.count;
        }
        for (int i = 1; i < pyramid.levels.count; ++i) {
            const FloatImage& level = pyramid.levels[i];
            double mean[4] = {};
            for (int k = 0; k < level.count; ++k) {
                const Texel& t = level.texels[k];
                mean[0] += double(t.r) / level.count;
                mean[1] += double(t.g) / level.count;
                mean[2] += double(t.b) / level.count;
                mean[3] += double(t.a) / level.count;
            }
            for (int c = 0; c < 4; ++c) {
                EXPECT_NEAR(mean[c], textureMean[c], 1e-6)
                    << size.first << "x" << size.second << " level " << i << " channel " << c;
            }
        }
    }
}

TEST(TentFilter, FirstTexelReachesTheOppositeCornerThroughWrapAround) {
    FloatImage texture = constantImage(8, 6, Texel{0, 0, 0, 0});
    texture.at(7, 5) = Texel{1, 1, 1, 1};
    FloatImage level;
    tentResample(level, texture, 4, 3);
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
    tentResample(level, texture, 4, 1);
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
    lanczos3Resample(level, texture, 16, 4);
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

// The oracle for the resamplers: every output texel is the weighted sum over all texels of the source, each
// weighing w_x(column) w_y(row), in double. A kernel's weight on an axis that repeats is the stretched kernel summed
// over every copy of the texel, i + m size; the kernel weights are then divided by their total, the box's are not
// (its weights add up to 1 by themselves).
using AxisWeights = std::vector<double> (*)(int output, int outputCount, int size);

static std::vector<double> wrappedKernelWeights(int output, int outputCount, int size, double radius,
                                                double (*kernel)(double)) {
    const double s = double(size) / outputCount, centre = (output + 0.5) * s - 0.5;
    const int copies = int(radius * s / size) + 2;
    std::vector<double> weights(size, 0.0);
    for (int i = 0; i < size; ++i) {
        for (int m = -copies; m <= copies; ++m) weights[i] += kernel((i + double(m) * size - centre) / s);
    }
    return weights;
}

// Texel i covers [i, i + 1), the output [o s, (o + 1) s): the weight is their overlap over s.
static std::vector<double> boxAxisWeights(int output, int outputCount, int size) {
    const double s = double(size) / outputCount, begin = output * s, end = (output + 1) * s;
    std::vector<double> weights(size, 0.0);
    for (int i = 0; i < size; ++i) weights[i] = std::max(0.0, std::min(end, i + 1.0) - std::max(begin, double(i))) / s;
    return weights;
}

static std::vector<double> tentAxisWeights(int output, int outputCount, int size) {
    return wrappedKernelWeights(output, outputCount, size, 1, tentWeight);
}

static std::vector<double> lanczos3AxisWeights(int output, int outputCount, int size) {
    return wrappedKernelWeights(output, outputCount, size, 3, lanczos3Weight);
}

static FloatImage bruteForceResample(const FloatImage& source, int width, int height, AxisWeights axisWeights,
                                     bool normalise) {
    FloatImage out;
    allocateImage(out, width, height);
    for (int y = 0; y < height; ++y) {
        const std::vector<double> down = axisWeights(y, height, source.height);
        for (int x = 0; x < width; ++x) {
            const std::vector<double> across = axisWeights(x, width, source.width);
            double sum[4] = {}, weightSum = 0;
            for (int row = 0; row < source.height; ++row) {
                for (int column = 0; column < source.width; ++column) {
                    const double w = down[row] * across[column];
                    const Texel& t = source.at(column, row);
                    sum[0] += w * t.r;
                    sum[1] += w * t.g;
                    sum[2] += w * t.b;
                    sum[3] += w * t.a;
                    weightSum += w;
                }
            }
            const double scale = normalise ? 1 / weightSum : 1;
            out.at(x, y) = Texel{float(sum[0] * scale), float(sum[1] * scale), float(sum[2] * scale),
                                 float(sum[3] * scale)};
        }
    }
    return out;
}

struct ResampleCase {
    const char* name;
    void (*build)(MipPyramid&, const FloatImage&, int32_t);
    void (*resample)(FloatImage&, const FloatImage&, int32_t, int32_t);
    AxisWeights axisWeights;
    bool normalise;
};

static const ResampleCase resampleCases[] = {
    {"box", buildBoxPyramid, boxResample, boxAxisWeights, false},
    {"tent", buildTentPyramid, tentResample, tentAxisWeights, true},
    {"lanczos3", buildLanczos3Pyramid, lanczos3Resample, lanczos3AxisWeights, true},
};

// Every level of odd, even, thin and non-square textures against the brute-force sums: fractional scales
// that differ between the axes, whole factors (the block means and the fixed kernels of 2^i), kernels that
// wrap around a side several times (7 rows, 1 x 1 levels), and tall textures whose narrow kernels go through
// the rows a thread keeps for its next output row. Then resamplings to sizes that are no pyramid level.
// Values lie in [0, 1); the implementation rounds each filtered row to float once before the second pass.
TEST(ClassicFilters, LevelsMatchTheBruteForceSumOverTheWholeTexture) {
    const std::pair<int, int> sizes[] = {{211, 7}, {7, 211}, {5, 3}, {13, 9}, {1, 6},
                                         {16, 16}, {12, 5}, {3, 10}, {9, 101}};
    const float tolerance = 1e-5f;
    uint32_t seed = 1;
    for (const ResampleCase& filter : resampleCases) {
        for (const auto& size : sizes) {
            const FloatImage texture = scatteredImage(size.first, size.second, seed++);
            MipPyramid pyramid;
            filter.build(pyramid, texture, mipLevelCount(size.first, size.second));
            for (int i = 1; i < pyramid.levels.count; ++i) {
                const FloatImage& level = pyramid.levels[i];
                ASSERT_EQ(level.width, levelSide(size.first, i));
                ASSERT_EQ(level.height, levelSide(size.second, i));
                const FloatImage expected =
                    bruteForceResample(texture, level.width, level.height, filter.axisWeights, filter.normalise);
                for (int k = 0; k < level.count; ++k) {
                    SCOPED_TRACE(testing::Message() << filter.name << " " << size.first << "x" << size.second
                                                    << " level " << i << " texel " << k);
                    expectTexelNear(level.texels[k], expected.texels[k], tolerance);
                }
            }
        }
        // Sources and output sizes: fractional scales, a scale of 1 on one axis, whole factors that differ
        // between the axes.
        const int resamplings[][4] = {{10, 7, 4, 3}, {7, 7, 7, 2}, {9, 4, 2, 4}, {12, 12, 5, 5}, {40, 30, 9, 30},
                                      {8, 6, 4, 1}, {6, 9, 3, 3}};
        for (const auto& sizes4 : resamplings) {
            const FloatImage source = scatteredImage(sizes4[0], sizes4[1], seed++);
            FloatImage actual;
            filter.resample(actual, source, sizes4[2], sizes4[3]);
            ASSERT_EQ(actual.width, sizes4[2]);
            ASSERT_EQ(actual.height, sizes4[3]);
            const FloatImage expected =
                bruteForceResample(source, sizes4[2], sizes4[3], filter.axisWeights, filter.normalise);
            for (int k = 0; k < actual.count; ++k) {
                SCOPED_TRACE(testing::Message() << filter.name << " " << sizes4[0] << "x" << sizes4[1] << " to "
                                                << sizes4[2] << "x" << sizes4[3] << " texel " << k);
                expectTexelNear(actual.texels[k], expected.texels[k], tolerance);
            }
        }
    }
}

// Each output value is summed by one thread in a fixed order, so the thread count cannot change a bit.
TEST(ClassicFilters, ResultsDoNotDependOnTheThreadCount) {
    // Tall enough that the narrow kernels go through the rows each thread keeps; 67 x 133 gives fractional
    // scales, 64 x 128 the block means and fixed kernels of whole factors.
    const int sizes[][2] = {{67, 133}, {64, 128}};
    const int threads = omp_get_max_threads();
    for (const auto& size : sizes) {
        const FloatImage texture = scatteredImage(size[0], size[1], 7);
        for (const ResampleCase& filter : resampleCases) {
            for (int i : {1, 3, 5}) {
                FloatImage single, several;
                omp_set_num_threads(1);
                filter.resample(single, texture, levelSide(size[0], i), levelSide(size[1], i));
                omp_set_num_threads(3);
                filter.resample(several, texture, levelSide(size[0], i), levelSide(size[1], i));
                ASSERT_EQ(single.count, several.count);
                EXPECT_EQ(std::memcmp(single.texels, several.texels, sizeof(Texel) * single.count), 0)
                    << filter.name << " " << size[0] << "x" << size[1] << " level " << i;
            }
        }
    }
    omp_set_num_threads(threads);
}
