// The filters that look only at the image: box, tent, truncated sinc and the rainbow test pyramid.
#include "image/classic_filters.h"

#include <algorithm>
#include <cassert>
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

// The mean of every a x a block of the source, for an output whose sides both divide the source's by the same
// factor a. Sums run in float in row order, with the scale 1 / a^2 in double, as the box levels always have. Rows
// are independent and each mean is summed by one thread in one order, so the result does not depend on the
// thread count.
static void blockMeans(FloatImage& out, const FloatImage& source, int32_t a) {
    allocateImage(out, source.width / a, source.height / a);
    const double scale = 1.0 / (static_cast<double>(a) * a);
#pragma omp parallel for schedule(dynamic)
    for (int32_t y = 0; y < out.height; ++y) {
        for (int32_t x = 0; x < out.width; ++x) {
            float r = 0, g = 0, b = 0, alpha = 0;
            for (int32_t j = 0; j < a; ++j) {
                for (int32_t i = 0; i < a; ++i) {
                    const Texel& t = source.at(x * a + i, y * a + j);
                    r += t.r;
                    g += t.g;
                    b += t.b;
                    alpha += t.a;
                }
            }
            out.at(x, y) = Texel{static_cast<float>(r * scale), static_cast<float>(g * scale),
                                 static_cast<float>(b * scale), static_cast<float>(alpha * scale)};
        }
    }
}

// The taps of every output texel along one axis: output o reads the source texels indices[k] with the weights
// weights[k], k from starts[o] to starts[o + 1] - 1, which add up to 1. Unless they are merged (see
// buildKernelTaps), they sit at the consecutive positions firsts[o], firsts[o] + 1, ... before wrapping.
struct AxisTaps {
    int32_t outputCount = 0;
    int32_t maxTaps = 0;  // the most taps any output has
    GrowArray<int32_t> starts;
    GrowArray<int64_t> firsts;
    GrowArray<int32_t> indices;
    GrowArray<double> weights;
};

// Empties `taps` for outputCount outputs with at most tapBound taps each. A table whose entries do not fit the
// 32-bit count is out of memory.
static void startAxisTaps(AxisTaps& taps, int32_t outputCount, int64_t tapBound) {
    const int64_t entryBound = static_cast<int64_t>(outputCount) * tapBound;
    if (entryBound > INT32_MAX) throw std::bad_alloc();
    taps.outputCount = outputCount;
    taps.maxTaps = 0;
    resize(taps.starts, outputCount + 1);
    resize(taps.firsts, outputCount);
    taps.starts[0] = 0;
    clear(taps.indices);
    clear(taps.weights);
    reserve(taps.indices, static_cast<int32_t>(entryBound));
    reserve(taps.weights, static_cast<int32_t>(entryBound));
}

static void appendTap(AxisTaps& taps, int32_t index, double weight) {
    append(taps.indices, index);
    append(taps.weights, weight);
}

static void finishOutput(AxisTaps& taps, int32_t o) {
    taps.starts[o + 1] = taps.indices.count;
    taps.maxTaps = std::max(taps.maxTaps, taps.starts[o + 1] - taps.starts[o]);
}

// Fills `taps` for outputCount outputs on an axis of `size` texels that repeats, s = size / outputCount texels
// per output. Output o's centre maps to c = (o + 0.5) s - 0.5 in source texels; texel j (before wrapping) weighs
// kernel((j - c) / s), the kernel stretched by s, and the taps are the j whose weight is not 0, |j - c| < radius s.
// They are divided by their sum, added in tap order. With a whole s, c and j - c are multiples of 1/2 and exact,
// so every output of the axis gets the same weights, bit for bit. A kernel wider than the axis wraps around it
// several times; its taps on the same texel are then merged, so every output reads each texel once.
static void buildKernelTaps(AxisTaps& taps, int32_t outputCount, int32_t size, double radius,
                            double (*kernel)(double)) {
    const double s = static_cast<double>(size) / outputCount;
    const double reach = radius * s;
    startAxisTaps(taps, outputCount, std::min<int64_t>(size, static_cast<int64_t>(2 * reach) + 1));
    GrowArray<double> kernelWeights, texelWeights;
    resize(texelWeights, size);
    for (int32_t o = 0; o < outputCount; ++o) {
        const double c = (o + 0.5) * s - 0.5;
        // One candidate past each end of the support, so that rounding in c -+ reach drops no tap; the zero
        // weights at both ends are then cut off.
        const int64_t firstCandidate = static_cast<int64_t>(std::floor(c - reach)) - 1;
        const int64_t lastCandidate = static_cast<int64_t>(std::ceil(c + reach)) + 1;
        clear(kernelWeights);
        for (int64_t j = firstCandidate; j <= lastCandidate; ++j) {
            append(kernelWeights, kernel((static_cast<double>(j) - c) / s));
        }
        int32_t begin = 0, end = kernelWeights.count;
        while (begin < end && kernelWeights[begin] == 0) ++begin;
        while (end > begin && kernelWeights[end - 1] == 0) --end;
        const int64_t first = firstCandidate + begin;
        double weightSum = 0;
        for (int32_t k = begin; k < end; ++k) weightSum += kernelWeights[k];
        const double normaliser = 1.0 / weightSum;
        taps.firsts[o] = first;
        if (end - begin <= size) {
            // At most `size` consecutive positions: every tap lands on its own texel.
            for (int32_t k = begin; k < end; ++k) {
                appendTap(taps, wrapIndex(first + (k - begin), size), kernelWeights[k] * normaliser);
            }
        } else {
            for (double& w : texelWeights) w = 0;
            for (int32_t k = begin; k < end; ++k) {
                texelWeights[wrapIndex(first + (k - begin), size)] += kernelWeights[k];
            }
            for (int32_t i = 0; i < size; ++i) appendTap(taps, i, texelWeights[i] * normaliser);
        }
        finishOutput(taps, o);
    }
}

// Fills `taps` with the area weights of outputCount outputs on an axis of `size` texels. Counted in 1/outputCount
// of a texel, output o covers [o size, (o + 1) size) and texel j covers [j outputCount, (j + 1) outputCount), so
// the overlaps are exact integers; texel j weighs overlap / size, its overlap in texels divided by s. The weights
// of each output add up to 1 and those of each texel to 1 / s, so the mean of the axis is kept.
static void buildBoxTaps(AxisTaps& taps, int32_t outputCount, int32_t size) {
    startAxisTaps(taps, outputCount, std::min(size, size / outputCount + 2));
    const int64_t n = outputCount;
    for (int32_t o = 0; o < outputCount; ++o) {
        const int64_t begin = o * static_cast<int64_t>(size), end = begin + size;
        const int64_t firstTexel = begin / n, lastTexel = (end - 1) / n;
        taps.firsts[o] = firstTexel;
        for (int64_t j = firstTexel; j <= lastTexel; ++j) {
            const int64_t overlap = std::min(end, (j + 1) * n) - std::max(begin, j * n);
            appendTap(taps, static_cast<int32_t>(j), static_cast<double>(overlap) / size);
        }
        finishOutput(taps, o);
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
static void filterAcross(Texel* out, const Texel* source, const AxisTaps& columns) {
    for (int32_t x = 0; x < columns.outputCount; ++x) {
        const int32_t start = columns.starts[x];
        const int32_t tapCount = columns.starts[x + 1] - start;
        const int32_t* indices = columns.indices.items + start;
        const double* weights = columns.weights.items + start;
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

// Applies the column taps along every source row it needs, then the row taps down those filtered rows, so
// the output is sum_ij w_i w_j source(i, j) with each axis normalised on its own. Sums run in double; every
// output value is summed by one thread in tap order, and a filtered row depends only on its source row, so the
// result does not depend on the thread count.
static void resampleSeparable(FloatImage& out, const FloatImage& source, const AxisTaps& columns,
                              const AxisTaps& rows) {
    allocateImage(out, columns.outputCount, rows.outputCount);
    if (out.count == 0) return;
    const int32_t width = out.width;
    const int32_t ringSize = rows.maxTaps;

    // Narrow kernels: each thread keeps the filtered rows of its current output row in a ring of ringSize
    // slots, the tap at unwrapped position p in slot p mod ringSize, so an output row filters only the rows the
    // previous one did not read; a full intermediate image would cost more in fresh pages than in sums. A thread
    // refilters the rows its first output row shares with the one before, so kernels taller than an eighth of
    // the source filter every source row once into a shared image instead; kernels taller than the source,
    // whose row taps are merged per source row, always do. Both give the same values.
    const bool allRows = static_cast<int64_t>(ringSize) * 8 > source.height;
    FloatImage across;
    if (allRows) {
        allocateImage(across, width, source.height);
#pragma omp parallel for schedule(dynamic, 16)
        for (int32_t y = 0; y < source.height; ++y) filterAcross(&across.at(0, y), &source.at(0, y), columns);
    }
    // Threads take output rows in chunks as they get free, so one that the machine holds back delays the
    // output by one chunk at most. A chunk spans at least 8 ringSize source rows, so refilling the ring at its
    // start adds at most an eighth to the horizontal pass.
    const int32_t rowStep = std::max(1, source.height / out.height);
    const int32_t chunk = allRows ? 1 : std::max(1, 8 * ringSize / rowStep);
#pragma omp parallel
    {
        GrowArray<const Texel*> tapRows;
        resize(tapRows, ringSize);
        GrowArray<double> sums;
        resize(sums, 4 * width);
        GrowArray<Texel> ring;
        GrowArray<int32_t> ringSource;  // the source row each slot holds, -1 for none yet
        if (!allRows) {
            resize(ring, ringSize * width);
            resize(ringSource, ringSize);
            for (int32_t& row : ringSource) row = -1;
        }
#pragma omp for schedule(dynamic, chunk)
        for (int32_t y = 0; y < out.height; ++y) {
            const int32_t start = rows.starts[y];
            const int32_t tapCount = rows.starts[y + 1] - start;
            const int32_t* sources = rows.indices.items + start;
            for (int32_t k = 0; k < tapCount; ++k) {
                if (allRows) {
                    tapRows[k] = &across.at(0, sources[k]);
                    continue;
                }
                const int32_t slot = wrapIndex(rows.firsts[y] + k, ringSize);
                Texel* filtered = ring.items + static_cast<int64_t>(slot) * width;
                if (ringSource[slot] != sources[k]) {
                    filterAcross(filtered, &source.at(0, sources[k]), columns);
                    ringSource[slot] = sources[k];
                }
                tapRows[k] = filtered;
            }
            filterDown(&out.at(0, y), tapRows.items, rows.weights.items + start, tapCount, width, sums.items);
        }
    }
}

void boxResample(FloatImage& out, const FloatImage& source, int32_t width, int32_t height) {
    assert(width >= 1 && height >= 1 && width <= source.width && height <= source.height);
    // Both sides divided by the same whole factor a: the plain a x a block means.
    const int32_t a = source.width / width;
    if (source.width % width == 0 && source.height % height == 0 && source.height / height == a) {
        blockMeans(out, source, a);
        return;
    }
    AxisTaps columns, rows;
    buildBoxTaps(columns, width, source.width);
    buildBoxTaps(rows, height, source.height);
    resampleSeparable(out, source, columns, rows);
}

static void kernelResample(FloatImage& out, const FloatImage& source, int32_t width, int32_t height,
                           double radius, double (*kernel)(double)) {
    assert(width >= 1 && height >= 1 && width <= source.width && height <= source.height);
    AxisTaps columns, rows;
    buildKernelTaps(columns, width, source.width, radius, kernel);
    buildKernelTaps(rows, height, source.height, radius, kernel);
    resampleSeparable(out, source, columns, rows);
}

void tentResample(FloatImage& out, const FloatImage& source, int32_t width, int32_t height) {
    // One output texel wide on each side of its centre: 2s taps per direction.
    kernelResample(out, source, width, height, 1, tentWeight);
}

void lanczos3Resample(FloatImage& out, const FloatImage& source, int32_t width, int32_t height) {
    // Three output texels wide on each side of its centre: 6s taps per direction.
    kernelResample(out, source, width, height, 3, lanczos3Weight);
}

// The sides of level i of the texture's pyramid; a texture without texels has only empty levels.
static int32_t pyramidSide(int32_t side, int32_t i) { return side < 1 ? 0 : levelSide(side, i); }

// Level 0 is the texture; level i is resampled from the texture directly, not from level i - 1.
static void buildResampledPyramid(MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount,
                                  void (*resample)(FloatImage&, const FloatImage&, int32_t, int32_t)) {
    resizeLevels(pyramid, levelCount);
    if (levelCount <= 0) return;
    copyImage(pyramid.levels[0], texture);
    for (int32_t i = 1; i < levelCount; ++i) {
        if (texture.count == 0) allocateImage(pyramid.levels[i], 0, 0);
        else resample(pyramid.levels[i], texture, levelSide(texture.width, i), levelSide(texture.height, i));
    }
}

void buildBoxPyramid(MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount) {
    buildResampledPyramid(pyramid, texture, levelCount, boxResample);
}

void buildTentPyramid(MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount) {
    buildResampledPyramid(pyramid, texture, levelCount, tentResample);
}

void buildLanczos3Pyramid(MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount) {
    buildResampledPyramid(pyramid, texture, levelCount, lanczos3Resample);
}

// Yellow, red, magenta, blue, cyan, green: one colour per level, repeating every six levels.
static constexpr Texel rainbowColours[6] = {
    {1, 1, 0, 1}, {1, 0, 0, 1}, {1, 0, 1, 1}, {0, 0, 1, 1}, {0, 1, 1, 1}, {0, 1, 0, 1},
};

void rainbowLevel(FloatImage& level, const FloatImage& texture, int32_t i) {
    allocateImage(level, pyramidSide(texture.width, i), pyramidSide(texture.height, i));
    for (int32_t k = 0; k < level.count; ++k) level.texels[k] = rainbowColours[i % 6];
}

void buildRainbowPyramid(MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount) {
    resizeLevels(pyramid, levelCount);
    for (int32_t i = 0; i < levelCount; ++i) rainbowLevel(pyramid.levels[i], texture, i);
}
