// The filters that look only at the image: box, tent, truncated sinc and the rainbow test pyramid.
#include "image/classic_filters.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>

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
    // Rows are independent and each mean is summed by one thread in one order, so the result does
    // not depend on the thread count.
#pragma omp parallel for schedule(dynamic)
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


// The taps of every output texel along one axis: output o reads the source texels
// indices[o * tapsPerOutput + k] with the weights at the same places, which add up to 1.
struct AxisTaps {
    int32_t tapsPerOutput = 0;
    GrowArray<int32_t> indices;
    GrowArray<double> weights;
};

// Fills `taps` for `outputCount` outputs on an axis of `size` texels. Output o's taps sit at offsets
// firstOffset + k (k < kernelWeights.count) from its block's first texel o * a and weigh
// kernelWeights[k], divided by their sum. A kernel wider than the axis wraps around it several
// times; its taps on the same texel are then merged, so every output reads each texel once.
static void buildAxisTaps(AxisTaps& taps, int32_t outputCount, int32_t size, int32_t a, int32_t firstOffset,
                          const GrowArray<double>& kernelWeights) {
    const int32_t tapCount = kernelWeights.count;
    double weightSum = 0;
    for (double w : kernelWeights) weightSum += w;
    const double normaliser = 1.0 / weightSum;
    const bool merged = tapCount > size;
    taps.tapsPerOutput = merged ? size : tapCount;
    // Up to six entries per texel of the axis: a table that does not fit the 32-bit count is out of memory.
    const int64_t entryCount = static_cast<int64_t>(outputCount) * taps.tapsPerOutput;
    if (entryCount > INT32_MAX) throw std::bad_alloc();
    resize(taps.indices, static_cast<int32_t>(entryCount));
    resize(taps.weights, static_cast<int32_t>(entryCount));
    GrowArray<double> texelWeights;
    if (merged) resize(texelWeights, size);
    for (int32_t o = 0; o < outputCount; ++o) {
        int32_t* indices = taps.indices.items + o * taps.tapsPerOutput;
        double* weights = taps.weights.items + o * taps.tapsPerOutput;
        const int64_t first = static_cast<int64_t>(o) * a + firstOffset;
        if (!merged) {
            // At most `size` consecutive offsets: every tap lands on its own texel.
            for (int32_t k = 0; k < tapCount; ++k) {
                indices[k] = wrapIndex(first + k, size);
                weights[k] = kernelWeights[k] * normaliser;
            }
            continue;
        }
        for (double& w : texelWeights) w = 0;
        for (int32_t k = 0; k < tapCount; ++k) texelWeights[wrapIndex(first + k, size)] += kernelWeights[k];
        for (int32_t i = 0; i < size; ++i) {
            indices[i] = i;
            weights[i] = texelWeights[i] * normaliser;
        }
    }
}

// Four channel sums in double.
struct TexelSum {
    double r = 0, g = 0, b = 0, a = 0;
};

static inline void addWeighted(TexelSum& sum, const Texel& t, double w) {
    sum.r += t.r * w;
    sum.g += t.g * w;
    sum.b += t.b * w;
    sum.a += t.a * w;
}

// One row of the horizontal pass: out[x] = sum_k w_xk source[i_xk] over the column taps of x.
// Even and odd taps go to two sums so that consecutive additions do not wait on each other.
static void filterAcross(Texel* out, const Texel* source, const AxisTaps& columns, int32_t width) {
    const int32_t tapCount = columns.tapsPerOutput;
    for (int32_t x = 0; x < width; ++x) {
        const int32_t* indices = columns.indices.items + x * tapCount;
        const double* weights = columns.weights.items + x * tapCount;
        TexelSum even, odd;
        int32_t k = 0;
        for (; k + 1 < tapCount; k += 2) {
            addWeighted(even, source[indices[k]], weights[k]);
            addWeighted(odd, source[indices[k + 1]], weights[k + 1]);
        }
        if (k < tapCount) addWeighted(even, source[indices[k]], weights[k]);
        out[x] = Texel{static_cast<float>(even.r + odd.r), static_cast<float>(even.g + odd.g),
                       static_cast<float>(even.b + odd.b), static_cast<float>(even.a + odd.a)};
    }
}

// One row of the vertical pass: out[x] = sum_k weights[k] rows[k][x]. Whole rows are added one
// after another so the reads run along memory; `sums` holds 4 width doubles.
static void filterDown(Texel* out, const Texel* const* rows, const double* weights, int32_t tapCount,
                       int32_t width, double* sums) {
    for (int32_t i = 0; i < 4 * width; ++i) sums[i] = 0;
    for (int32_t k = 0; k < tapCount; ++k) {
        const Texel* row = rows[k];
        const double w = weights[k];
        for (int32_t x = 0; x < width; ++x) {
            sums[4 * x] += row[x].r * w;
            sums[4 * x + 1] += row[x].g * w;
            sums[4 * x + 2] += row[x].b * w;
            sums[4 * x + 3] += row[x].a * w;
        }
    }
    for (int32_t x = 0; x < width; ++x) {
        out[x] = Texel{static_cast<float>(sums[4 * x]), static_cast<float>(sums[4 * x + 1]),
                       static_cast<float>(sums[4 * x + 2]), static_cast<float>(sums[4 * x + 3])};
    }
}

// Applies a separable kernel as a horizontal pass over the texture rows, then a vertical pass over
// those filtered rows. Taps run over offsets firstOffset .. firstOffset + tapCount - 1 from the
// block's first texel in each direction; the tap at offset i weighs kernel((i - c) / a) with
// c = (a - 1) / 2, the block centre. Each axis is normalised by the weight it gathered, so the level
// is the two-dimensional sum over the tapCount^2 taps divided by their weight,
// sum_ij w_i w_j = (sum_i w_i)(sum_j w_j). Sums run in double; every output value is summed by one
// thread in tap order, and a filtered row depends only on its texture row, so the result does not
// depend on the thread count.
static void separableLevel(FloatImage& level, const FloatImage& texture, int32_t a, int32_t firstOffset,
                           int32_t tapCount, double (*kernel)(double)) {
    allocateImage(level, texture.width / a, texture.height / a);
    if (level.count == 0) return;
    const double centre = (a - 1) * 0.5;
    // The weight of an offset is the same for every output texel and both axes.
    GrowArray<double> kernelWeights;
    resize(kernelWeights, tapCount);
    for (int32_t k = 0; k < tapCount; ++k) kernelWeights[k] = kernel((firstOffset + k - centre) / a);
    AxisTaps columns, rows;
    buildAxisTaps(columns, level.width, texture.width, a, firstOffset, kernelWeights);
    buildAxisTaps(rows, level.height, texture.height, a, firstOffset, kernelWeights);
    const int32_t width = level.width;
    const int32_t rowTaps = rows.tapsPerOutput;

    // Narrow kernels: each thread keeps the filtered rows of its current level row in a ring of
    // rowTaps slots, the tap at unwrapped position p in slot p mod rowTaps, so a level row filters
    // only the a rows the previous one did not read; a full intermediate image would cost more in
    // fresh pages than in sums. A thread refilters the rowTaps - a rows before its first level row,
    // so kernels taller than an eighth of the texture (these levels are at most 1/64 of it) filter
    // every texture row once into a shared image instead; kernels taller than the texture, whose
    // row taps are merged per texture row, always do. Both give the same values.
    const bool allRows = static_cast<int64_t>(tapCount) * 8 > texture.height;
    FloatImage across;
    if (allRows) {
        allocateImage(across, width, texture.height);
#pragma omp parallel for schedule(dynamic, 16)
        for (int32_t y = 0; y < texture.height; ++y) filterAcross(&across.at(0, y), &texture.at(0, y), columns, width);
    }
    // Threads take level rows in chunks as they get free, so one that the machine holds back delays
    // the level by one chunk at most. A chunk spans at least 8 rowTaps texture rows, so refilling
    // the ring at its start adds at most an eighth to the horizontal pass.
    const int32_t chunk = allRows ? 1 : std::max(1, 8 * rowTaps / a);
#pragma omp parallel
    {
        GrowArray<const Texel*> tapRows;
        resize(tapRows, rowTaps);
        GrowArray<double> sums;
        resize(sums, 4 * width);
        GrowArray<Texel> ring;
        GrowArray<int32_t> ringSource;  // the texture row each slot holds, -1 for none yet
        if (!allRows) {
            resize(ring, rowTaps * width);
            resize(ringSource, rowTaps);
            for (int32_t& source : ringSource) source = -1;
        }
#pragma omp for schedule(dynamic, chunk)
        for (int32_t y = 0; y < level.height; ++y) {
            const int32_t* sources = rows.indices.items + y * rowTaps;
            for (int32_t k = 0; k < rowTaps; ++k) {
                if (allRows) {
                    tapRows[k] = &across.at(0, sources[k]);
                    continue;
                }
                const int32_t slot = wrapIndex(static_cast<int64_t>(y) * a + firstOffset + k, rowTaps);
                Texel* filtered = ring.items + static_cast<int64_t>(slot) * width;
                if (ringSource[slot] != sources[k]) {
                    filterAcross(filtered, &texture.at(0, sources[k]), columns, width);
                    ringSource[slot] = sources[k];
                }
                tapRows[k] = filtered;
            }
            filterDown(&level.at(0, y), tapRows.items, rows.weights.items + y * rowTaps, rowTaps, width, sums.items);
        }
    }
}

void tentLevel(FloatImage& level, const FloatImage& texture, int32_t a) {
    // 2a taps per direction, one output texel wide on each side of the block centre.
    const int32_t firstOffset = -(a / 2);
    separableLevel(level, texture, a, firstOffset, (3 * a) / 2 - firstOffset, tentWeight);
}

void lanczos3Level(FloatImage& level, const FloatImage& texture, int32_t a) {
    // 6a taps per direction, three output texels wide on each side of the block centre.
    const int32_t firstOffset = (-5 * a) / 2;
    separableLevel(level, texture, a, firstOffset, (7 * a) / 2 - firstOffset, lanczos3Weight);
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
