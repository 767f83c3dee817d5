// The float RGBA image (texture and mip levels) and the mip pyramid of one filter.
#pragma once

#include <cstdint>

#include "base/grow_array.h"

// One texel: linear-light r, g, b and alpha, never clamped while in an image.
struct Texel {
    float r = 0, g = 0, b = 0, a = 0;
};

// Row-major RGBA image: texel (x, y) is texels[y * width + x]. Row 0 is the image library's
// first scan line (the bottom row of the picture). Copies are deep.
struct FloatImage {
    Texel* texels = nullptr;
    int32_t count = 0;
    int32_t width = 0;
    int32_t height = 0;
    // Whether alpha carries information (a texture read from a file with an alpha channel). Without it every alpha
    // is 1, and the least-squares filters do not solve for alpha.
    bool hasAlpha = false;

    FloatImage() = default;
    FloatImage(const FloatImage& other);
    FloatImage(FloatImage&& other) noexcept;
    FloatImage& operator=(const FloatImage& other);
    FloatImage& operator=(FloatImage&& other) noexcept;
    ~FloatImage() { deleteArray(texels); }

    Texel& at(int32_t x, int32_t y) { return texels[y * width + x]; }
    const Texel& at(int32_t x, int32_t y) const { return texels[y * width + x]; }
};

// The levels one filter produces: level i at index i, level 0 finest; level i is
// (w0 div 2^i) x (h0 div 2^i), so non-square or non-power-of-two textures end in empty levels.
struct MipPyramid {
    GrowArray<FloatImage> levels;
};

// Gives the image fresh storage for width x height texels whose values are not set.
// Throws std::bad_alloc when the size is negative or does not fit the texel count.
void allocateImage(FloatImage& image, int32_t width, int32_t height);

// Makes `destination` a deep copy of `source`.
void copyImage(FloatImage& destination, const FloatImage& source);

// Frees the texels; all numbers become 0.
void releaseImage(FloatImage& image);

// Sets the pyramid to n levels; new levels are empty images.
void resizeLevels(MipPyramid& pyramid, int32_t n);

// Whether the image is square with a side that is a power of two (1, 2, 4, ...): then every level
// of its pyramid halves both sides exactly, down to 1 x 1.
bool isSquarePowerOfTwo(const FloatImage& image);

// Whether both sides of the image are powers of two (1, 2, 4, ...): then every level of its pyramid halves both
// sides exactly until the shorter one reaches 1.
bool hasPowerOfTwoSides(const FloatImage& image);

// The number of levels 0, 1, ... of a width x height pyramid that have texels: until the shorter side, halved
// each level, reaches 0.
int32_t levelsWithTexels(int32_t width, int32_t height);

// The number of levels of a pyramid for a width x height texture: ceil(log2(max side - 0.01)) + 1.
int32_t mipLevelCount(int32_t width, int32_t height);
