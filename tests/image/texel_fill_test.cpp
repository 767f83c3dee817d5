// Push-pull filling: read texels keep their values, unread ones take an extension of them that stays within their
// range and follows them smoothly, and levels with nothing read, or everything read, stay as they are.
#include <gtest/gtest.h>

#include <algorithm>

#include "image/texel_fill.h"

namespace {

FloatImage ramp(int32_t width, int32_t height) {
    FloatImage image;
    allocateImage(image, width, height);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) image.at(x, y) = Texel{x / float(width), 0.5f, y / float(height), 1.0f};
    }
    return image;
}

LevelWeights leftColumns(int32_t width, int32_t height, int32_t columns) {
    LevelWeights weights;
    resize(weights, width * height);
    for (int32_t j = 0; j < width * height; ++j) weights[j] = j % width < columns ? 1.0f : 0.0f;
    return weights;
}

TEST(TexelFill, UnreadTexelsExtendTheReadOnesAndReadTexelsStay) {
    for (const auto& [width, height] : {std::pair{16, 16}, std::pair{13, 7}, std::pair{5, 1}}) {
        const FloatImage original = ramp(width, height);
        FloatImage level;
        copyImage(level, original);
        const LevelWeights weights = leftColumns(width, height, 2);
        fillUnreadTexels(level, weights);
        for (int32_t y = 0; y < height; ++y) {
            for (int32_t x = 0; x < width; ++x) {
                const Texel &t = level.at(x, y), &o = original.at(x, y);
                if (x < 2) {
                    EXPECT_EQ(t.r, o.r);
                    EXPECT_EQ(t.b, o.b);
                    continue;
                }
                // Within the read texels' range; next to them, close to their row's value (further away the
                // coarser averages take over).
                EXPECT_LE(t.r, original.at(1, y).r + 1e-6f) << width << " " << x << " " << y;
                EXPECT_GE(t.r, 0.0f);
                EXPECT_FLOAT_EQ(t.g, 0.5f);
                EXPECT_GE(t.b, 0.0f);
                EXPECT_LE(t.b, original.at(0, height - 1).b + 1e-6f);
                if (x == 2 && height > 1) {
                    EXPECT_NEAR(t.b, o.b, 2.5f / height) << width << " " << y;
                }
            }
        }
    }
}

TEST(TexelFill, OneReadTexelFillsEverythingAndNothingReadChangesNothing) {
    FloatImage level = ramp(8, 8);
    LevelWeights weights;
    resize(weights, 64);
    std::fill(weights.begin(), weights.end(), 0.0f);
    fillUnreadTexels(level, weights);
    EXPECT_EQ(level.at(7, 7).r, 7 / 8.0f);
    weights[8 * 3 + 5] = 0.25f;
    const Texel read = level.at(5, 3);
    fillUnreadTexels(level, weights);
    for (int32_t j = 0; j < 64; ++j) {
        EXPECT_FLOAT_EQ(level.texels[j].r, read.r);
        EXPECT_FLOAT_EQ(level.texels[j].b, read.b);
    }
}

}  // namespace
