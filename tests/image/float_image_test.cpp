// FloatImage storage, copies and the level count of a pyramid.
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

TEST(MipLevelCount, OnlyTheLargerSideCountsAndPowersOfTwoGetNoExtraLevel) {
    EXPECT_EQ(mipLevelCount(1, 1), 1);
    EXPECT_EQ(mipLevelCount(2, 2), 2);
    EXPECT_EQ(mipLevelCount(256, 256), 9);
    EXPECT_EQ(mipLevelCount(257, 257), 10);
    EXPECT_EQ(mipLevelCount(300, 300), 10);
    EXPECT_EQ(mipLevelCount(512, 256), 10);
    EXPECT_EQ(mipLevelCount(3, 512), 10);
    EXPECT_EQ(mipLevelCount(0, 0), 0);
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
