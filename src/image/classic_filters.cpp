// The filters that look only at the image: box, tent, truncated sinc and the rainbow test pyramid.
#include "image/classic_filters.h"

#include <cmath>
#include <vector>

#include "base/wrap_index.h"

static constexpr double pi = 3.141592653589793;

double tentWeight(double t) {
    if (t <= -1 || t >= 1) return 0;
    return t < 0 ? 1 + t : 1 - t;
}

double lanczos3Weight(double t) {
    if (t <= -3 || t >= 3) return 0;
    if (std::fabs(t) < 0.0001) return 1;
    // sinc(t) = sin(pi t) / (pi t), cut off at |t| = 3 without a window.
    return std::sin(pi * t) / (pi * t);
}

void boxLevel(FloatImage& level, const FloatImage& texture, int32_t a) {
    allocateImage(level, texture.width / a, texture.height / a);
    const double scale = 1.0 / (static_cast<double>(a) * a);
    for (int32_t y = 0; y < level.height; ++y) {
        for (int32_t x = 0; x < level.width; ++x) {
            float r = 0, g = 0, b = 0, alpha = 0;
            for (int32_t j = 0; j < a; ++j) {
                for (int32_t i = 0; i < a; ++i) {
                    const Texel& t = texture.at(x * a + i, y * a + j);
                    r += t.r;
                    g += t.g;
                    b += t.b;
                    alpha += t.a;
                }
            }
            level.at(x, y) = Texel{static_cast<float>(r * scale), static_cast<float>(g * scale),
                                   static_cast<float>(b * scale), static_cast<float>(alpha * scale)};
        }
    }
}

// Applies a separable kernel directly as a two-dimensional sum over the taps of every output
// texel. Taps run over offsets firstOffset .. firstOffset + tapCount - 1 from the block's first
// texel in each direction; the tap at offset i weighs kernel((i - c) / a) with c = (a - 1) / 2,
// the block centre. Sums are normalised by the weight they actually gathered.
static void kernelLevel(FloatImage& level, const FloatImage& texture, int32_t a, int32_t firstOffset,
                        int32_t tapCount, double (*kernel)(double)) {
    allocateImage(level, texture.width / a, texture.height / a);
    const double centre = (a - 1) * 0.5;
    // The weight of an offset is the same for every output texel, so it is computed once.
    std::vector<double> weights(tapCount);
    for (int32_t k = 0; k < tapCount; ++k) weights[k] = kernel((firstOffset + k - centre) / a);

    for (int32_t y = 0; y < level.height; ++y) {
        for (int32_t x = 0; x < level.width; ++x) {
            float r = 0, g = 0, b = 0, alpha = 0;
            double weightSum = 0;
            for (int32_t j = 0; j < tapCount; ++j) {
                const int32_t row = wrapIndex(static_cast<int64_t>(y) * a + firstOffset + j, texture.height);
                for (int32_t i = 0; i < tapCount; ++i) {
                    const int32_t column = wrapIndex(static_cast<int64_t>(x) * a + firstOffset + i, texture.width);
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

void tentLevel(FloatImage& level, const FloatImage& texture, int32_t a) {
    // 2a taps per direction, one output texel wide on each side of the block centre.
    const int32_t firstOffset = -(a / 2);
    kernelLevel(level, texture, a, firstOffset, (3 * a) / 2 - firstOffset, tentWeight);
}

void lanczos3Level(FloatImage& level, const FloatImage& texture, int32_t a) {
    // 6a taps per direction, three output texels wide on each side of the block centre.
    const int32_t firstOffset = (-5 * a) / 2;
    kernelLevel(level, texture, a, firstOffset, (7 * a) / 2 - firstOffset, lanczos3Weight);
}

// Levels from number 31 on are empty for every texture whose sides fit a 32-bit integer; the
// factor 2^i would not fit one.
static constexpr int32_t firstAlwaysEmptyLevel = 31;

// Level 0 is the texture; level i is computed from the texture with the factor 2^i.
static void buildKernelPyramid(MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount,
                               void (*levelFunction)(FloatImage&, const FloatImage&, int32_t)) {
    resizeLevels(pyramid, levelCount);
    if (levelCount <= 0) return;
    copyImage(pyramid.levels[0], texture);
    for (int32_t i = 1; i < levelCount; ++i) {
        if (i >= firstAlwaysEmptyLevel) allocateImage(pyramid.levels[i], 0, 0);
        else levelFunction(pyramid.levels[i], texture, int32_t{1} << i);
    }
}

void buildBoxPyramid(MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount) {
    buildKernelPyramid(pyramid, texture, levelCount, boxLevel);
}

void buildTentPyramid(MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount) {
    buildKernelPyramid(pyramid, texture, levelCount, tentLevel);
}

void buildLanczos3Pyramid(MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount) {
    buildKernelPyramid(pyramid, texture, levelCount, lanczos3Level);
}

// Yellow, red, magenta, blue, cyan, green: one colour per level, repeating every six levels.
static constexpr Texel rainbowColours[6] = {
    {1, 1, 0, 1}, {1, 0, 0, 1}, {1, 0, 1, 1}, {0, 0, 1, 1}, {0, 1, 1, 1}, {0, 1, 0, 1},
};

void rainbowLevel(FloatImage& level, const FloatImage& texture, int32_t i) {
    if (i >= firstAlwaysEmptyLevel) allocateImage(level, 0, 0);
    else allocateImage(level, texture.width >> i, texture.height >> i);
    for (int32_t k = 0; k < level.count; ++k) level.texels[k] = rainbowColours[i % 6];
}

void buildRainbowPyramid(MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount) {
    resizeLevels(pyramid, levelCount);
    for (int32_t i = 0; i < levelCount; ++i) rainbowLevel(pyramid.levels[i], texture, i);
}
