// FloatImage storage, copies and the level count of a pyramid.
#include <algorithm>
#include <gtest/gtest.h>

#include "image/float_image.h"

TEST(FloatImage, TexelsAreStoredRowByRow) {
    FloatImage image;
    allocateImage(image, 5, 3);
    EXPECT_EQ(image.count, 15);
    // Texel (x, y) of a 5-wide image sits at 5y + x.
    EXPECT_EQ(&image.at(2, 1), image.texels + 7);
    EXPECT_EQ(&image.at(4, 2), image.texels + 14);
}

TEST(FloatImage, CopiesAreDeep) {
    FloatImage source;
    allocateImage(source, 2, 2);
    for (int i = 0; i < 4; ++i) source.texels[i] = Texel{float(i), 0, 0, 1};
    FloatImage copy;
    copyImage(copy, source);
    copy.at(1, 1).r = 42;
    EXPECT_EQ(source.at(1, 1).r, 3);
    EXPECT_NE(copy.texels, source.texels);

    FloatImage empty, emptyCopy;
    allocateImage(emptyCopy, 3, 3);
    copyImage(emptyCopy, empty);
    EXPECT_EQ(emptyCopy.texels, nullptr);
    EXPECT_EQ(emptyCopy.width, 0);
    EXPECT_EQ(emptyCopy.height, 0);
    EXPECT_EQ(emptyCopy.count, 0);
}

TEST(FloatImage, SizesThatDoNotFitAreRefused) {
    FloatImage image;
    EXPECT_THROW(allocateImage(image, 65536, 65536), std::bad_alloc);
    EXPECT_THROW(allocateImage(image, -1, 4), std::bad_alloc);
    allocateImage(image, 3, 0);  // a legal empty level
    EXPECT_EQ(image.count, 0);
    EXPECT_EQ(image.width, 3);
}

TEST(MipLevelCount, TheChainEndsAtOneByOneWhateverTheSides) {
    // floor(log2(longer side)) + 1: the levels max(1, w >> i) x max(1, h >> i) down to 1 x 1.
    const int cases[][3] = {{1, 1, 1},   {2, 2, 2},    {256, 256, 9}, {257, 257, 9}, {300, 300, 9},
                            {512, 256, 10}, {3, 512, 10}, {1, 8, 4},     {2, 1, 2},     {211, 211, 8},
                            {768, 768, 10}, {1000, 600, 10}, {0, 0, 0},  {5, 0, 0}};
    for (const auto& c : cases) EXPECT_EQ(mipLevelCount(c[0], c[1]), c[2]) << c[0] << "x" << c[1];
    // The last level of every chain is 1 x 1 and the one before it is not.
    for (const auto& c : cases) {
        if (c[2] == 0) continue;
        EXPECT_EQ(levelSide(c[0], c[2] - 1), 1);
        EXPECT_EQ(levelSide(c[1], c[2] - 1), 1);
        if (c[2] >= 2) {
            EXPECT_GT(std::max(levelSide(c[0], c[2] - 2), levelSide(c[1], c[2] - 2)), 1);
        }
    }
    EXPECT_EQ(levelSide(211, 1), 105);
    EXPECT_EQ(levelSide(211, 40), 1);
    EXPECT_EQ(levelsToShorterSideOne(512, 256), 9);
    EXPECT_EQ(levelsToShorterSideOne(1, 8), 1);
}

TEST(SquarePowerOfTwo, OnlySquaresWhoseSideHalvesDownToOne) {
    const int sides[][2] = {{1, 1}, {2, 2}, {512, 512}, {1 << 30, 1 << 30}};
    for (const auto& side : sides) {
        FloatImage image;
        image.width = side[0], image.height = side[1];  // only the sides are looked at
        EXPECT_TRUE(isSquarePowerOfTwo(image)) << side[0] << "x" << side[1];
    }
    const int refused[][2] = {{0, 0}, {3, 3}, {8, 4}, {6, 6}, {-4, -4}};
    for (const auto& side : refused) {
        FloatImage image;
        image.width = side[0], image.height = side[1];
        EXPECT_FALSE(isSquarePowerOfTwo(image)) << side[0] << "x" << side[1];
    }
}

TEST(MipPyramid, ResizeAddsEmptyLevelsAndCopiesAreDeep) {
    MipPyramid pyramid;
    resizeLevels(pyramid, 3);
    ASSERT_EQ(pyramid.levels.count, 3);
    EXPECT_EQ(pyramid.levels[2].texels, nullptr);
    allocateImage(pyramid.levels[0], 1, 1);
    pyramid.levels[0].texels[0] = Texel{1, 2, 3, 4};
    MipPyramid copy = pyramid;
    copy.levels[0].texels[0].r = 9;
    EXPECT_EQ(pyramid.levels[0].texels[0].r, 1);
}
