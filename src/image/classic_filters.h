// The filters that look only at the image: box, tent, truncated sinc ("lanczos3") and the rainbow test pyramid.
#pragma once

#include <cstdint>

#include "image/float_image.h"

// Each build operation sizes the pyramid to levelCount, copies the texture into level 0 (the rainbow
// paints level 0 too) and computes level i from the texture with the block factor 2^i.
void buildBoxPyramid(MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount);
void buildTentPyramid(MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount);
void buildLanczos3Pyramid(MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount);
void buildRainbowPyramid(MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount);

// Fills `level` with (w0 div a) x (h0 div a) texels from the texture; the texture is only read.
void boxLevel(FloatImage& level, const FloatImage& texture, int32_t a);
void tentLevel(FloatImage& level, const FloatImage& texture, int32_t a);
void lanczos3Level(FloatImage& level, const FloatImage& texture, int32_t a);
// Fills `level` with the flat colour of level number i, sized as level i of the texture's pyramid.
void rainbowLevel(FloatImage& level, const FloatImage& texture, int32_t i);

// Tent kernel: 1 - |t| inside (-1, 1), else 0.
double tentWeight(double t);
// Plain sinc truncated at |t| = 3 (no window factor); 1 for |t| < 0.0001.
double lanczos3Weight(double t);
