// The weighted box filters "boxig" and "kivbox", and the fill of texels that no surface reaches.
#include "filters/weighted_box.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "surface_quadrature.h"
#include "system_checks.h"
#include "test_support.h"

// A flat unit square mapped onto the left half of texture space (u from 0 to 0.5).
static const char* const leftHalfSquareObj =
    "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0 0\nvt 0.5 0\nvt 0.5 1\nvt 0 1\nf 1/1 2/2 3/3 4/4\n";

// Two unit-high quads side by side: the left one three units wide on texel (0, 0) of a 2 x 2
// texture, the right one one unit wide on texel (1, 0). The top row of texels is unused.
static const char* const unevenQuadsObj =
    "v 0 0 0\nv 3 0 0\nv 3 1 0\nv 0 1 0\nv 4 0 0\nv 4 1 0\n"
    "vt 0 0\nvt 0.5 0\nvt 0.5 0.5\nvt 0 0.5\nvt 1 0\nvt 1 0.5\n"
    "f 1/1 2/2 3/3 4/4\nf 2/2 5/5 6/6 3/3\n";

// Texel (x, y) has red x + width * y, green y, blue 0.5 and alpha 1: every texel distinct.
static FloatImage rampImage(int width, int height) {
    FloatImage image;
    allocateImage(image, width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) image.at(x, y) = Texel{float(x + width * y), float(y), 0.5f, 1};
    }
    return image;
}

static void expectSameImage(const FloatImage& a, const FloatImage& b) {
    ASSERT_EQ(a.width, b.width);
    ASSERT_EQ(a.height, b.height);
    for (int i = 0; i < a.count; ++i) {
        EXPECT_EQ(a.texels[i].r, b.texels[i].r) << "texel " << i;
        EXPECT_EQ(a.texels[i].g, b.texels[i].g) << "texel " << i;
        EXPECT_EQ(a.texels[i].b, b.texels[i].b) << "texel " << i;
        EXPECT_EQ(a.texels[i].a, b.texels[i].a) << "texel " << i;
    }
}

// "kivbox" when `areaWeights`, else "boxig".
static MipPyramid runFilter(bool areaWeights, const Mesh& mesh, const FloatImage& source, int levelCount) {
    MipPyramid pyramid;
    if (areaWeights) buildKivboxPyramid(mesh, pyramid, source, levelCount);
    else buildBoxigPyramid(mesh, pyramid, source, levelCount);
    return pyramid;
}

// Red of the bilinear upsampling of `coarse` at the centre of fine texel (fx, fy), tiling the level.
static double bilinearRed(const FloatImage& coarse, int fx, int fy) {
    const int b = fx / 2, i = fy / 2;
    const int s = fx % 2 ? 1 : -1, t = fy % 2 ? 1 : -1;
    auto red = [&coarse](int x, int y) {
        return double(coarse.at((x + coarse.width) % coarse.width, (y + coarse.height) % coarse.height).r);
    };
    return (9 * red(b, i) + 3 * red(b + s, i) + 3 * red(b, i + t) + red(b + s, i + t)) / 16;
}

TEST(WeightedBox, LeftHalfSquareAveragesItsTexelsAndFillsTheRightHalfFromAbove) {
    const Mesh mesh = modelFrom(leftHalfSquareObj);
    const FloatImage source = rampImage(4, 4);
    for (int area = 0; area < 2; ++area) {
        const MipPyramid pyramid = runFilter(area, mesh, source, 3);
        ASSERT_EQ(pyramid.levels.count, 3);
        expectSameImage(pyramid.levels[0], source);
        const FloatImage& level1 = pyramid.levels[1];
        ASSERT_EQ(level1.width, 2);
        // Used columns: the means of their 2 x 2 blocks, (0 + 1 + 4 + 5) / 4 and (8 + 9 + 12 + 13) / 4.
        EXPECT_FLOAT_EQ(level1.at(0, 0).r, 2.5f);
        EXPECT_FLOAT_EQ(level1.at(0, 1).r, 10.5f);
        // The top level is the mean of the eight used texels; the unused column takes it.
        EXPECT_FLOAT_EQ(pyramid.levels[2].at(0, 0).r, 6.5f);
        EXPECT_FLOAT_EQ(level1.at(1, 0).r, 6.5f);
        EXPECT_FLOAT_EQ(level1.at(1, 1).r, 6.5f);
        EXPECT_FLOAT_EQ(level1.at(1, 1).a, 1.0f);
    }
}

TEST(WeightedBox, KivboxWeightsTexelsByTheSurfaceAreaOnThem) {
    const Mesh mesh = modelFrom(unevenQuadsObj);
    FloatImage source;
    allocateImage(source, 2, 2);
    source.at(0, 0) = Texel{1, 0, 0.5f, 1};
    source.at(1, 0) = Texel{0, 1, 0.5f, 1};
    source.at(0, 1) = source.at(1, 1) = Texel{9, 9, 9, 1};  // unused: never counts
    MipPyramid kivbox, boxig;
    buildKivboxPyramid(mesh, kivbox, source, 2);
    buildBoxigPyramid(mesh, boxig, source, 2);
    // Areas 3a and a on the two texels: (3 T1 + T2) / 4.
    EXPECT_NEAR(kivbox.levels[1].at(0, 0).r, 0.75, 1e-6);
    EXPECT_NEAR(kivbox.levels[1].at(0, 0).g, 0.25, 1e-6);
    EXPECT_NEAR(kivbox.levels[1].at(0, 0).b, 0.5, 1e-6);
    EXPECT_NEAR(kivbox.levels[1].at(0, 0).a, 1.0, 1e-6);
    EXPECT_FLOAT_EQ(boxig.levels[1].at(0, 0).r, 0.5f);
    EXPECT_FLOAT_EQ(boxig.levels[1].at(0, 0).g, 0.5f);
}

TEST(WeightedBox, FilledTexelsAreTheBilinearUpsamplingOfTheFilledLevelAbove) {
    const Mesh mesh = modelFrom(leftHalfSquareObj);
    const FloatImage source = rampImage(8, 8);
    MipPyramid pyramid;
    buildBoxigPyramid(mesh, pyramid, source, 4);
    ASSERT_EQ(pyramid.levels.count, 4);
    // Top: the mean of the left half, 1.5 + 8 * 3.5.
    EXPECT_FLOAT_EQ(pyramid.levels[3].at(0, 0).r, 29.5f);
    const FloatImage& level2 = pyramid.levels[2];
    for (int y = 0; y < 2; ++y) {
        EXPECT_FLOAT_EQ(level2.at(0, y).r, 13.5f + 32 * y);  // block mean of a 4 x 4 block
        EXPECT_FLOAT_EQ(level2.at(1, y).r, 29.5f);           // unused, from the 1 x 1 level
    }
    const FloatImage& level1 = pyramid.levels[1];
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
            if (x < 2) EXPECT_FLOAT_EQ(level1.at(x, y).r, 2 * x + 16 * y + 4.5f);
            else EXPECT_NEAR(level1.at(x, y).r, bilinearRed(level2, x, y), 1e-5) << x << ", " << y;
        }
    }
}

TEST(WeightedBox, FillWeighsTheWrappedNeighboursOnTheFineTexelsSide) {
    const FloatImage coarse = rampImage(4, 4);
    FloatImage fine;
    allocateImage(fine, 9, 9);  // the odd last row and column are never visited
    for (int i = 0; i < fine.count; ++i) fine.texels[i] = Texel{-1, -1, -1, -1};
    MomentGrid grid;  // 8 x 8, only cell (1, 0) used
    grid.width = grid.height = 8;
    resize(grid.used, 64);
    for (uint8_t& used : grid.used) used = 0;
    grid.used[1] = 1;
    fillUnusedTexels(coarse, fine, grid);
    // 9/16 P(0, 0) + 3/16 P(3, 0) + 3/16 P(0, 3) + 1/16 P(3, 3) = (0 + 9 + 36 + 15) / 16.
    EXPECT_FLOAT_EQ(fine.at(0, 0).r, 3.75f);
    // 9/16 P(3, 3) + 3/16 P(0, 3) + 3/16 P(3, 0) + 1/16 P(0, 0) = (135 + 36 + 9) / 16.
    EXPECT_FLOAT_EQ(fine.at(7, 7).r, 11.25f);
    EXPECT_FLOAT_EQ(fine.at(7, 7).a, 1.0f);
    EXPECT_EQ(fine.at(1, 0).r, -1.0f);
    EXPECT_EQ(fine.at(8, 3).r, -1.0f);
    EXPECT_EQ(fine.at(3, 8).r, -1.0f);
}

TEST(WeightedBox, AnEmptyModelGivesZerosAboveTheSource) {
    const FloatImage source = rampImage(4, 4);
    for (int area = 0; area < 2; ++area) {
        const MipPyramid pyramid = runFilter(area, Mesh{}, source, 3);
        expectSameImage(pyramid.levels[0], source);
        for (int level = 1; level < 3; ++level) {
            const FloatImage& image = pyramid.levels[level];
            for (int i = 0; i < image.count; ++i) {
                EXPECT_EQ(image.texels[i].r, 0.0f);
                EXPECT_EQ(image.texels[i].a, 0.0f);
            }
        }
    }
}

TEST(WeightedBox, OneAndTwoLevels) {
    const Mesh mesh = modelFrom(leftHalfSquareObj);
    const FloatImage one = rampImage(1, 1);
    MipPyramid pyramid;
    buildKivboxPyramid(mesh, pyramid, one, 1);
    ASSERT_EQ(pyramid.levels.count, 1);
    expectSameImage(pyramid.levels[0], one);

    // Two levels: the unused right column of the 2 x 2 source is left out.
    MipPyramid two;
    buildBoxigPyramid(mesh, two, rampImage(2, 2), 2);
    ASSERT_EQ(two.levels.count, 2);
    EXPECT_FLOAT_EQ(two.levels[1].at(0, 0).r, 1.0f);  // (0 + 2) / 2
}

// A 4 x 2 texture has levels 4 x 2, 2 x 1 and 1 x 1: the chain goes on past the shorter side's end, and the mean of a
// constant is that constant at every level.
TEST(WeightedBox, PowerOfTwoRectanglesEndAtOneTexel) {
    const Mesh mesh = modelFrom(unitSquareObj());
    FloatImage source;
    allocateImage(source, 4, 2);
    for (int i = 0; i < source.count; ++i) source.texels[i] = Texel{0.25f, 0.5f, 0.75f, 1};
    for (int area = 0; area < 2; ++area) {
        const MipPyramid pyramid = runFilter(area, mesh, source, 3);
        ASSERT_EQ(pyramid.levels.count, 3);
        ASSERT_EQ(pyramid.levels[1].width, 2);
        ASSERT_EQ(pyramid.levels[1].height, 1);
        ASSERT_EQ(pyramid.levels[2].count, 1);
        for (int level = 1; level < 3; ++level) {
            for (int i = 0; i < pyramid.levels[level].count; ++i) {
                EXPECT_NEAR(pyramid.levels[level].texels[i].g, 0.5, 1e-6) << "level " << level;
                EXPECT_NEAR(pyramid.levels[level].texels[i].a, 1.0, 1e-6) << "level " << level;
            }
        }
    }
}

// A square mapped onto the top half of texture space (v from 0.5 to 1) of a 4 x 2 texture uses exactly texel row 1:
// each texel must weigh the cells of its own place in texture space, whichever shape the grids have.
TEST(WeightedBox, TexelsOfUnequalPowerOfTwoSidesWeighEveryCellTheyCover) {
    const Mesh mesh = modelFrom("v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0 0.5\nvt 1 0.5\nvt 1 1\nvt 0 1\nf 1/1 2/2 3/3 4/4\n");
    const FloatImage source = rampImage(4, 2);  // red x + 4 y: row 1 holds 4, 5, 6, 7
    for (int area = 0; area < 2; ++area) {
        const MipPyramid pyramid = runFilter(area, mesh, source, 3);
        ASSERT_EQ(pyramid.levels[1].width, 2);
        ASSERT_EQ(pyramid.levels[1].height, 1);
        EXPECT_FLOAT_EQ(pyramid.levels[1].at(0, 0).r, 4.5f);
        EXPECT_FLOAT_EQ(pyramid.levels[1].at(1, 0).r, 6.5f);
        EXPECT_FLOAT_EQ(pyramid.levels[1].at(0, 0).g, 1.0f);
    }
    // The transposed texture: texel columns cover two cells along u, and a square on the right half uses column 1.
    const Mesh right = modelFrom("v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0.5 0\nvt 1 0\nvt 1 1\nvt 0.5 1\nf 1/1 2/2 3/3 4/4\n");
    const FloatImage tall = rampImage(2, 4);  // red x + 2 y: column 1 holds 1, 3, 5, 7
    for (int area = 0; area < 2; ++area) {
        const MipPyramid pyramid = runFilter(area, right, tall, 3);
        ASSERT_EQ(pyramid.levels[1].width, 1);
        ASSERT_EQ(pyramid.levels[1].height, 2);
        EXPECT_FLOAT_EQ(pyramid.levels[1].at(0, 0).r, 2.0f);  // (1 + 3) / 2
        EXPECT_FLOAT_EQ(pyramid.levels[1].at(0, 1).r, 6.0f);  // (5 + 7) / 2
    }
}

TEST(WeightedBox, TheAreaWeightedPyramidReadsTheGridWithTheTexturesSize) {
    // Moments one level finer, read from grid 1, gives exactly the kivbox pyramid.
    const Mesh mesh = modelFrom(
        "v 0 0 0\nv 2 0 0.5\nv 0 1 0\nv 1 1 1\nvt 0.05 0.1\nvt 0.8 0.2\nvt 0.1 0.7\nvt 0.6 0.9\n"
        "f 1/1 2/2 3/3\nf 2/2 4/4 3/3\n");
    const FloatImage source = rampImage(8, 8);
    MipPyramid kivbox, trilinearBase;
    buildKivboxPyramid(mesh, kivbox, source, 4);
    buildAreaWeightedPyramid(trilinearBase, source, momentsOf(mesh, 4, 1), 1, 4);
    ASSERT_EQ(trilinearBase.levels.count, 4);
    for (int level = 0; level < 4; ++level) expectSameImage(kivbox.levels[level], trilinearBase.levels[level]);
}

namespace {

// The inner texel edges i / n of an axis of n texels.
std::vector<double> texelEdges(int32_t n) {
    std::vector<double> edges;
    for (int32_t i = 1; i < n; ++i) edges.push_back(static_cast<double>(i) / n);
    return edges;
}

// The texel of an axis of n texels that holds u.
int32_t texelHolding(double u, int32_t n) {
    return std::max(0, std::min(n - 1, static_cast<int32_t>(std::floor(u * n))));
}

// The length of [a0, a1] within [b0, b1].
double overlap(double a0, double a1, double b0, double b1) {
    return std::max(0.0, std::min(a1, b1) - std::max(a0, b0));
}

// Level k of a weighted box pyramid before its unused texels are filled, from the definitions: kivbox weighs each
// source texel by the surface's area in the part of it inside the level texel's footprint, boxig by whether the
// surface reaches the source texel at all times the share of it inside the footprint. `reached` tells the level's
// texels whose footprint holds surface (the others are filled afterwards).
FloatImage weightedMeansOracle(const Mesh& mesh, const FloatImage& source, int32_t k, bool areaWeights,
                               std::vector<bool>& reached) {
    const int32_t W = source.width, H = source.height, w = levelSide(W, k), h = levelSide(H, k);
    // Between the edges of both the source and the level, each piece lies in one source texel and one footprint.
    const std::vector<SurfacePoint> points =
        surfacePoints(mesh, joined({texelEdges(W), texelEdges(w)}), joined({texelEdges(H), texelEdges(h)}));
    std::vector<double> sourceArea(static_cast<size_t>(W) * H, 0.0), weight(static_cast<size_t>(w) * h, 0.0);
    std::vector<double> sums(4 * weight.size(), 0.0);
    for (const SurfacePoint& p : points) {
        const int32_t sx = texelHolding(p.u, W), sy = texelHolding(p.v, H);
        const int32_t t = texelHolding(p.v, h) * w + texelHolding(p.u, w);
        sourceArea[static_cast<size_t>(sy) * W + sx] += p.weight;
        if (!areaWeights) continue;
        weight[t] += p.weight;
        for (int32_t c = 0; c < 4; ++c) sums[4 * t + c] += p.weight * channelOf(source.at(sx, sy), c);
    }
    reached.assign(weight.size(), false);
    for (const SurfacePoint& p : points) {
        if (p.weight > 0) reached[texelHolding(p.v, h) * w + texelHolding(p.u, w)] = true;
    }
    if (!areaWeights) {
        for (int32_t y = 0; y < h; ++y) {
            for (int32_t x = 0; x < w; ++x) {
                const int32_t t = y * w + x;
                for (int32_t sy = 0; sy < H; ++sy) {
                    const double down =
                        overlap(double(sy) / H, double(sy + 1) / H, double(y) / h, double(y + 1) / h) * H;
                    for (int32_t sx = 0; sx < W && down > 0; ++sx) {
                        if (sourceArea[static_cast<size_t>(sy) * W + sx] == 0) continue;
                        const double share =
                            down * overlap(double(sx) / W, double(sx + 1) / W, double(x) / w, double(x + 1) / w) * W;
                        weight[t] += share;
                        for (int32_t c = 0; c < 4; ++c) sums[4 * t + c] += share * channelOf(source.at(sx, sy), c);
                    }
                }
            }
        }
    }
    FloatImage level;
    allocateImage(level, w, h);
    for (int32_t t = 0; t < level.count; ++t) {
        const double total = weight[t];
        const double* sum = sums.data() + 4 * t;
        level.texels[t] = total > 0 ? Texel{static_cast<float>(sum[0] / total), static_cast<float>(sum[1] / total),
                                            static_cast<float>(sum[2] / total), static_cast<float>(sum[3] / total)}
                                    : Texel{};
    }
    return level;
}

}  // namespace

// boxig and kivbox on sizes whose levels do not halve (odd sides, sides of 1), on a power-of-two rectangle whose chain
// goes on past its shorter side's end, and on a power-of-two square, under random triangles that leave texels of
// every level unused. A texel whose footprint holds surface is the weighted mean of the source texels over its
// footprint (see weightedMeansOracle); any other is filled with the bilinear sample, wrapped, of the next coarser
// level (itself filled) at its centre, except on the level where a power-of-two rectangle's shorter side reaches 1,
// which keeps (0, 0, 0, 0) there, and on the last level, which has nothing coarser.
TEST(WeightedBox, LevelsOfEverySizeAreWeightedMeansOverTheirFootprintsAndFillsFromAbove) {
    int32_t filled = 0, unfilledZeros = 0;
    for (const auto& [width, height] : {std::make_pair(13, 9), std::make_pair(12, 5), std::make_pair(7, 1),
                                        std::make_pair(1, 6), std::make_pair(64, 4), std::make_pair(8, 8)}) {
        const Mesh mesh = randomSurface(3, 40 + width, 0.25);
        const FloatImage source = randomPicture(width, height, 6, true);
        const int32_t levelCount = mipLevelCount(width, height);
        const bool powerOfTwoRectangle = hasPowerOfTwoSides(source) && width != height;
        const int32_t unfilled = powerOfTwoRectangle ? levelsToShorterSideOne(width, height) - 1 : -1;
        for (const bool area : {false, true}) {
            SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + (area ? " kivbox" : " boxig"));
            const MipPyramid pyramid = runFilter(area, mesh, source, levelCount);
            ASSERT_EQ(pyramid.levels.count, levelCount);
            expectSameImage(pyramid.levels[0], source);
            for (int32_t k = 1; k < levelCount; ++k) {
                std::vector<bool> reached;
                const FloatImage expected = weightedMeansOracle(mesh, source, k, area, reached);
                const FloatImage& level = pyramid.levels[k];
                ASSERT_EQ(level.width, expected.width) << "level " << k;
                ASSERT_EQ(level.height, expected.height) << "level " << k;
                for (int32_t y = 0; y < level.height; ++y) {
                    for (int32_t x = 0; x < level.width; ++x) {
                        const int32_t t = y * level.width + x;
                        for (int32_t c = 0; c < 4; ++c) {
                            double want = channelOf(expected.texels[t], c);
                            if (!reached[t] && k != unfilled && k + 1 < levelCount) {
                                want = reconstruction(pyramid.levels[k + 1], (x + 0.5) / level.width,
                                                      (y + 0.5) / level.height, c);
                                filled += c == 0;
                            }
                            unfilledZeros += !reached[t] && k == unfilled && c == 0;
                            EXPECT_NEAR(channelOf(level.texels[t], c), want, 1e-5)
                                << "level " << k << " texel " << t << " channel " << c
                                << (reached[t] ? "" : " (filled)");
                        }
                    }
                }
            }
        }
    }
    EXPECT_GT(filled, 20);
    EXPECT_GT(unfilledZeros, 0);
}
