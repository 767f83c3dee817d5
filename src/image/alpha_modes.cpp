// Premultiplied alpha and alpha coverage.
#include "image/alpha_modes.h"

#include <algorithm>
#include <cmath>

#include "image/pixel_bytes.h"

bool isOpaque(const FloatImage& image) {
    for (int32_t k = 0; k < image.count; ++k) {
        if (image.texels[k].a != 1.0f) return false;
    }
    return true;
}

void premultiplyAlpha(FloatImage& image) {
    for (int32_t k = 0; k < image.count; ++k) {
        Texel& t = image.texels[k];
        t.r *= t.a;
        t.g *= t.a;
        t.b *= t.a;
    }
}

void unpremultiplyAlpha(FloatImage& image) {
    for (int32_t k = 0; k < image.count; ++k) {
        Texel& t = image.texels[k];
        if (byteFromUnit(t.a) == 0) {
            t.r = t.g = t.b = 0;
            continue;
        }
        t.r /= t.a;
        t.g /= t.a;
        t.b /= t.a;
    }
}

// The alpha value an alpha test at `cutoff` first keeps among those 8 bits can store.
static double writtenCutoff(double cutoff) { return std::ceil(cutoff * 255.0 - 1e-9) / 255.0; }

static double weightOf(const LevelWeights& weights, int32_t k) { return weights.count > 0 ? weights[k] : 1.0; }

double alphaCoverage(const FloatImage& level, const LevelWeights& weights, double cutoff) {
    const double lowest = writtenCutoff(cutoff);
    double kept = 0, total = 0;
    for (int32_t k = 0; k < level.count; ++k) {
        const double w = weightOf(weights, k);
        total += w;
        if (unitFromByte(byteFromUnit(level.texels[k].a)) >= lowest) kept += w;
    }
    return total > 0 ? kept / total : 0.0;
}

void scaleAlphaToCoverage(FloatImage& level, const LevelWeights& weights, double cutoff, double share) {
    // The texels by falling alpha: keeping the first n of them (and every texel of the same alpha as the n-th) is
    // what scaling the n-th's alpha to the cutoff does. The n whose kept weight comes nearest the share wins.
    GrowArray<int32_t> order;
    resize(order, level.count);
    double total = 0;
    for (int32_t k = 0; k < level.count; ++k) {
        order[k] = k;
        total += weightOf(weights, k);
    }
    if (!(total > 0)) return;
    std::stable_sort(order.begin(), order.end(),
                     [&](int32_t a, int32_t b) { return level.texels[a].a > level.texels[b].a; });
    const double target = share * total;
    const float highest = level.count > 0 ? level.texels[order[0]].a : 0.0f;
    if (!(highest > 0)) return;
    // The alpha between the last texel kept and the first left out; keeping none puts it just above the highest.
    double kept = 0, bestMiss = target, threshold = highest * (1 + 1e-6);
    const double cutoffByte = writtenCutoff(cutoff) * 255.0;
    for (int32_t n = 0; n < level.count;) {
        const float alpha = level.texels[order[n]].a;
        if (!(alpha > 0)) break;  // a texel of alpha 0 stays below any cutoff whatever the scale
        while (n < level.count && level.texels[order[n]].a == alpha) kept += weightOf(weights, order[n++]);
        const double miss = std::fabs(kept - target);
        const double next = n < level.count ? std::max(0.0f, level.texels[order[n]].a) : 0.0;
        // Any threshold in (next, alpha] keeps the same texels; the highest one that leaves half a byte of room
        // against rounding scales alpha the least.
        if (miss < bestMiss) bestMiss = miss, threshold = std::max(0.5 * (alpha + next), alpha * (1 - 0.5 / cutoffByte));
    }
    // A texel passes the test as written when its scaled alpha rounds to at least the cutoff's byte m, that is when
    // it is at least (m - 0.5) / 255: the scale puts that bound on the threshold, between the kept and the rest.
    const double scale = (writtenCutoff(cutoff) - 0.5 / 255.0) / threshold;
    for (int32_t k = 0; k < level.count; ++k) {
        Texel& t = level.texels[k];
        t.a = static_cast<float>(std::min(1.0, std::max(0.0, t.a * scale)));
    }
}
