// The weighted box filters "boxig" and "kivbox", and the fill of texels that no surface reaches.
#include "filters/weighted_box.h"

#include <gtest/gtest.h>

#include <sstream>

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

TEST(WeightedBox, NonSquareTexturesPairTexelsWithTheLargerGrid) {
    const Mesh mesh = modelFrom(unitSquareObj());
    FloatImage source;
    allocateImage(source, 4, 2);
    for (int i = 0; i < source.count; ++i) source.texels[i] = Texel{0.25f, 0.5f, 0.75f, 1};
    // Levels 4 x 2, 2 x 1 and 1 x 0 over grids of side 4, 2 and 1.
    for (int area = 0; area < 2; ++area) {
        const MipPyramid pyramid = runFilter(area, mesh, source, 3);
        ASSERT_EQ(pyramid.levels.count, 3);
        ASSERT_EQ(pyramid.levels[1].count, 2);
        EXPECT_EQ(pyramid.levels[2].count, 0);
        // Every texel covers two cells along v; the mean of a constant is that constant.
        for (int x = 0; x < 2; ++x) EXPECT_NEAR(pyramid.levels[1].at(x, 0).g, 0.5, 1e-6);
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
