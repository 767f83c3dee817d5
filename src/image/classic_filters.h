// The filters that look only at the image: box, tent, truncated sinc ("lanczos3") and the rainbow test pyramid.
#pragma once

#include <cstdint>

#include "image/float_image.h"

// Each build operation sizes the pyramid to levelCount, copies the texture into level 0 (the rainbow
// paints level 0 too) and computes level i, levelSide(w0, i) x levelSide(h0, i), from the texture itself.
void buildBoxPyramid(MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount);
void buildTentPyramid(MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount);
void buildLanczos3Pyramid(MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount);
void buildRainbowPyramid(MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount);

// Fills `out` with width x height texels, 1 <= width <= source.width and 1 <= height <= source.height, both grids
// covering the same unit square; the source is only read. Each axis has its own scale s = source side / side.
// Box: output texel x is the exact mean of the source over [x s, (x + 1) s) (in source texels) on each axis.
void boxResample(FloatImage& out, const FloatImage& source, int32_t width, int32_t height);
// Tent and truncated sinc: the kernel stretched by s, centred on (x + 0.5) s - 0.5, over a source that repeats
// in both directions; the weights of each output texel are divided by their sum.
void tentResample(FloatImage& out, const FloatImage& source, int32_t width, int32_t height);
void lanczos3Resample(FloatImage& out, const FloatImage& source, int32_t width, int32_t height);

// Fills `level` with the flat colour of level number i, sized as level i of the texture's pyramid.
void rainbowLevel(FloatImage& level, const FloatImage& texture, int32_t i);

// Tent kernel: 1 - |t| inside (-1, 1), else 0.
double tentWeight(double t);
// Plain sinc truncated at |t| = 3 (no window factor); 1 for |t| < 0.0001.
double lanczos3Weight(double t);
