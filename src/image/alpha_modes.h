// How the filters treat alpha: colour as it is beside its alpha, colour multiplied by alpha (so that transparent
// texels add nothing to coarser levels), or alpha scaled level by level so that an alpha-tested surface keeps the
// share it covers.
#pragma once

#include <cstdint>

#include "base/grow_array.h"
#include "image/float_image.h"

// How the filters treat a texture's alpha.
enum class AlphaMode {
    straight,       // every channel filtered on its own, colour as stored beside its alpha
    premultiplied,  // colour times alpha filtered, so that transparent texels add nothing to coarser levels
    coverage,       // as straight, then each level's alpha scaled to keep the share an alpha test passes
};

// Whether every texel's alpha is 1: such a texture is opaque, whatever its file's channels.
bool isOpaque(const FloatImage& image);

// r, g, b times alpha, texel by texel.
void premultiplyAlpha(FloatImage& image);

// r, g, b divided by alpha where alpha is written as at least 1 / 255 (byteFromUnit), and 0 where it is written as
// 0: the straight colour of premultiplied texels.
void unpremultiplyAlpha(FloatImage& image);

// How much each texel of one level counts when a share of the texture is measured: width x height non-negative
// values in the level's texel order (row 0 the bottom); an empty array counts every texel alike.
using LevelWeights = GrowArray<float>;

// The share of the level's weight (of its texels, when `weights` is empty) on texels whose alpha, as written in 8
// bits, is at least `cutoff`: what an alpha test at `cutoff` keeps. 0 for a level without weight.
double alphaCoverage(const FloatImage& level, const LevelWeights& weights, double cutoff);

// Scales the level's alpha by one factor (clamped to [0, 1] afterwards) chosen so that alphaCoverage comes as near
// `share` as the level's texels allow; a level without any alpha above 0, or without weight, is left alone.
void scaleAlphaToCoverage(FloatImage& level, const LevelWeights& weights, double cutoff, double share);
