// Push-pull filling of unread texels.
#include "image/texel_fill.h"


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
    // Back up: every grid's unknown texels take the value of the coarse texel they lie in, the mean of the known
    // texels nearest them. Piecewise constant rather than interpolated, so that a block of texels read and unread
    // gains no colour that its read texels do not span: the encoders spend nothing on the filled ones.
    for (int32_t g = chain.count - 2; g >= 0; --g) {
        FillGrid& fine = chain[g];
        const FloatImage& coarse = chain[g + 1].values;
        for (int32_t y = 0; y < fine.values.height; ++y) {
            for (int32_t x = 0; x < fine.values.width; ++x) {
                const int32_t j = y * fine.values.width + x;
                if (!fine.known[j]) fine.values.texels[j] = coarse.at(x / 2, y / 2);
            }
        }
    }
    for (int32_t j = 0; j < level.count; ++j) {
        if (!chain[0].known[j]) level.texels[j] = chain[0].values.texels[j];
    }
}
