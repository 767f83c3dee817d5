// Coverage scaling at its ends: a share of 0 or 1, texels of equal alpha, weights that leave texels out, and levels
// that no scale can change.
#include <gtest/gtest.h>

#include <vector>

#include "image/alpha_modes.h"
#include "image/pixel_bytes.h"

namespace {

FloatImage alphaLevel(const std::vector<float>& alphas) {
    FloatImage level;
    allocateImage(level, static_cast<int32_t>(alphas.size()), 1);
    level.hasAlpha = true;
    for (size_t k = 0; k < alphas.size(); ++k) level.texels[k] = Texel{0.2f, 0.4f, 0.6f, alphas[k]};
    return level;
}

LevelWeights weightsOf(const std::vector<float>& values) {
    LevelWeights weights;
    for (float w : values) append(weights, w);
    return weights;
}

TEST(AlphaCoverage, ScalingReachesEveryShareTheTexelsAllow) {
    const LevelWeights even;
    // Four distinct alphas: every share of quarters is reached exactly, rounding to bytes included.
    for (double share : {0.0, 0.25, 0.5, 0.75, 1.0}) {
        FloatImage level = alphaLevel({0.1f, 0.3f, 0.45f, 0.2f});
        scaleAlphaToCoverage(level, even, 0.5, share);
        EXPECT_DOUBLE_EQ(alphaCoverage(level, even, 0.5), share) << share;
        // Colour is left alone, and the order of the alphas kept.
        EXPECT_EQ(level.texels[0].g, 0.4f);
        EXPECT_LT(level.texels[0].a, level.texels[3].a);
    }
    // Equal alphas go together: 0.9 of a texel is nearer none than both.
    FloatImage tied = alphaLevel({0.2f, 0.2f, 0.1f, 0.05f, 0.0f, 0.0f});
    scaleAlphaToCoverage(tied, even, 0.5, 0.15);
    EXPECT_DOUBLE_EQ(alphaCoverage(tied, even, 0.5), 0.0);
    scaleAlphaToCoverage(tied, even, 0.5, 0.3);
    EXPECT_DOUBLE_EQ(alphaCoverage(tied, even, 0.5), 2.0 / 6);
    // Texels of alpha 0 never pass, so a share beyond the others' is as near as it gets.
    scaleAlphaToCoverage(tied, even, 0.5, 1.0);
    EXPECT_DOUBLE_EQ(alphaCoverage(tied, even, 0.5), 4.0 / 6);
    EXPECT_EQ(tied.texels[5].a, 0.0f);
}

TEST(AlphaCoverage, WeightsDecideWhatCounts) {
    // The unweighted texels (the surface never reads them) count for nothing, however high their alpha.
    const LevelWeights weights = weightsOf({1, 1, 0, 0});
    FloatImage level = alphaLevel({0.2f, 0.1f, 0.9f, 0.8f});
    EXPECT_DOUBLE_EQ(alphaCoverage(level, weights, 0.5), 0.0);
    scaleAlphaToCoverage(level, weights, 0.5, 0.5);
    EXPECT_DOUBLE_EQ(alphaCoverage(level, weights, 0.5), 0.5);
    EXPECT_GE(byteFromUnit(level.texels[0].a), 128);
    EXPECT_LT(byteFromUnit(level.texels[1].a), 128);
    // A level without weight, or without any alpha, is left as it is.
    FloatImage unread = alphaLevel({0.2f, 0.1f});
    scaleAlphaToCoverage(unread, weightsOf({0, 0}), 0.5, 1.0);
    EXPECT_EQ(unread.texels[0].a, 0.2f);
    FloatImage clear = alphaLevel({0.0f, 0.0f});
    scaleAlphaToCoverage(clear, LevelWeights(), 0.5, 1.0);
    EXPECT_EQ(clear.texels[1].a, 0.0f);
}

TEST(AlphaCoverage, CutoffsBetweenBytesAreTestedAsWritten) {
    // 0.302 lies between bytes 77 (0.30196) and 78: a texel passes from byte 78 on, as a sampler compares.
    FloatImage level = alphaLevel({77 / 255.0f, 78 / 255.0f});
    EXPECT_DOUBLE_EQ(alphaCoverage(level, LevelWeights(), 0.302), 0.5);
    scaleAlphaToCoverage(level, LevelWeights(), 0.302, 1.0);
    EXPECT_DOUBLE_EQ(alphaCoverage(level, LevelWeights(), 0.302), 1.0);
}

TEST(PremultipliedAlpha, TransparentTexelsLoseTheirColourAndOthersKeepIt) {
    FloatImage level = alphaLevel({1.0f, 0.5f, 1.0f / 600, 0.0f});
    premultiplyAlpha(level);
    EXPECT_FLOAT_EQ(level.texels[1].b, 0.3f);
    unpremultiplyAlpha(level);
    EXPECT_FLOAT_EQ(level.texels[0].r, 0.2f);
    EXPECT_FLOAT_EQ(level.texels[1].b, 0.6f);
    // Alpha written as 0 (below half a byte) has no colour.
    EXPECT_EQ(level.texels[2].r, 0.0f);
    EXPECT_EQ(level.texels[3].g, 0.0f);
    EXPECT_FALSE(isOpaque(level));
    EXPECT_TRUE(isOpaque(alphaLevel({1.0f, 1.0f})));
}

}  // namespace
