// Moving pixels between image files and FloatImages, and the sRGB transfer functions.
#pragma once

#include <cstdint>
#include <string>

#include "image/float_image.h"

// Reads any format the image library knows into `texture`, channels byte / 255, alpha 1 when the
// file has none (texture.hasAlpha says whether it had). Depths other than 24 and 32 bits are converted first (32 when they carry alpha).
// Returns false with a one-line message naming the file (and the reason) when it cannot be read, ends
// before its picture does, declares more texels than an image can hold, or has no texels.
bool loadTexture(const char* path, FloatImage& texture, std::string& error);

// The sRGB decoding of one display-encoded value (threshold 0.04045), in 64-bit float.
float srgbToLinear(float c);

// The sRGB encoding of one linear value (threshold 0.0031308), clamped to [0, 1]; NaN gives 1.
float linearToSrgb(float v);

// c x 255 rounded to the nearest byte, clamped to [0, 255]; NaN gives 0. Every level writer stores bytes this way.
uint8_t byteFromUnit(float c);

// Replaces r, g, b of every texel by their linear-light values; alpha stays as read.
void lineariseImage(FloatImage& image);

// Writes r, g, b (already encoded, in [0, 1]) as a 24-bit image, or r, g, b and alpha as a 32-bit one, in the
// format the extension names; each byte is value x 255 rounded to nearest. The file is written under a temporary name in the same
// directory and renamed into place, so a failed write never leaves a partial file.
bool saveLevelPng(const char* path, int bitsPerPixel, const FloatImage& image, std::string& error);

// `name` inside `folder`; an empty folder is the working directory and leaves the name as it is.
std::string pathInFolder(const std::string& folder, const std::string& name);

// Encodes every level to sRGB and writes it as "mip_%d_%s.png" in `folder`, which must exist (an
// empty folder is the working directory, and the file names then carry no folder part): 24-bit, or
// 32-bit with the levels' alpha (linear, as the filters computed it) when `withAlpha`.
// Levels with a width or height of 0 write no file. A level that cannot be written appends a
// message naming the file to `errors` and the other levels are still written; returns false if
// any failed.
bool savePyramid(const MipPyramid& pyramid, const std::string& folder, const char* filterName, bool withAlpha,
                 GrowArray<std::string>& errors);
