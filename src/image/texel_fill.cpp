// Push-pull filling of unread texels.
#include "image/texel_fill.h"

#include <algorithm>
#include <cmath>

namespace {

// One grid of the push-pull chain: texel values and whether each holds a value.
struct FillGrid {
    FloatImage values;
    GrowArray<uint8_t> known;
};

}  // namespace

// Halves `fine` (sides rounded up) into `coarse`: each coarse texel is the mean of the known texels among its up to
// 2 x 2 fine ones, and known when one of them is.
static void pushDown(const FillGrid& fine, FillGrid& coarse) {
    const int32_t width = (fine.values.width + 1) / 2, height = (fine.values.height + 1) / 2;
    allocateImage(coarse.values, width, height);
    resize(coarse.known, width * height);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            double sum[4] = {0, 0, 0, 0};
            int32_t count = 0;
            for (int32_t dy = 0; dy < 2; ++dy) {
                for (int32_t dx = 0; dx < 2; ++dx) {
                    const int32_t fx = 2 * x + dx, fy = 2 * y + dy;
                    if (fx >= fine.values.width || fy >= fine.values.height) continue;
                    const int32_t j = fy * fine.values.width + fx;
                    if (!fine.known[j]) continue;
                    const Texel& t = fine.values.texels[j];
                    sum[0] += t.r, sum[1] += t.g, sum[2] += t.b, sum[3] += t.a;
                    ++count;
                }
            }
            const int32_t k = y * width + x;
            coarse.known[k] = count > 0;
            coarse.values.texels[k] = count > 0 ? Texel{static_cast<float>(sum[0] / count), static_cast<float>(sum[1] / count),
                                                        static_cast<float>(sum[2] / count), static_cast<float>(sum[3] / count)}
                                                : Texel{0, 0, 0, 0};
        }
    }
}

// The coarse grid's bilinear interpolation at the centre of fine texel (x, y), the coarse texel centres lying at
// (2 i + 0.5, 2 j + 0.5) in fine texels and the edges clamped.
static Texel pullUp(const FloatImage& coarse, int32_t x, int32_t y) {
    const double u = std::min(std::max((x - 0.5) / 2.0, 0.0), coarse.width - 1.0);
    const double v = std::min(std::max((y - 0.5) / 2.0, 0.0), coarse.height - 1.0);
    const int32_t x0 = static_cast<int32_t>(u), y0 = static_cast<int32_t>(v);
    const int32_t x1 = std::min(x0 + 1, coarse.width - 1), y1 = std::min(y0 + 1, coarse.height - 1);
    const double fu = u - x0, fv = v - y0;
    const Texel &a = coarse.at(x0, y0), &b = coarse.at(x1, y0), &c = coarse.at(x0, y1), &d = coarse.at(x1, y1);
    const auto mix = [&](float Texel::*channel) {
        return static_cast<float>((1 - fv) * ((1 - fu) * a.*channel + fu * b.*channel) +
                                  fv * ((1 - fu) * c.*channel + fu * d.*channel));
    };
    return Texel{mix(&Texel::r), mix(&Texel::g), mix(&Texel::b), mix(&Texel::a)};
}

void fillUnreadTexels(FloatImage& level, const LevelWeights& weights) {
    if (weights.count != level.count || level.count == 0) return;
    GrowArray<FillGrid> chain;
    resize(chain, 1);
    copyImage(chain[0].values, level);
    resize(chain[0].known, level.count);
    bool any = false, all = true;
    for (int32_t j = 0; j < level.count; ++j) {
        chain[0].known[j] = weights[j] > 0;
        any = any || chain[0].known[j];
        all = all && chain[0].known[j];
    }
    if (!any || all) return;
    // Down to a single texel, which holds the mean of every known texel.
    while (chain[chain.count - 1].values.count > 1) {
        append(chain, FillGrid());
        pushDown(chain[chain.count - 2], chain[chain.count - 1]);
    }
    // Back up: every grid's unknown texels from the filled grid below it.
    for (int32_t g = chain.count - 2; g >= 0; --g) {
        FillGrid& fine = chain[g];
        const FloatImage& coarse = chain[g + 1].values;
        for (int32_t y = 0; y < fine.values.height; ++y) {
            for (int32_t x = 0; x < fine.values.width; ++x) {
                const int32_t j = y * fine.values.width + x;
                if (!fine.known[j]) fine.values.texels[j] = pullUp(coarse, x, y);
            }
        }
    }
    for (int32_t j = 0; j < level.count; ++j) {
        if (!chain[0].known[j]) level.texels[j] = chain[0].values.texels[j];
    }
}
