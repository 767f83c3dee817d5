// The float RGBA image (texture and mip levels) and the mip pyramid of one filter.
#pragma once

#include <cstdint>

#include "base/grow_array.h"

// One texel: r, g, b and alpha as the filters work on them (linear light for colour, the stored values of data maps,
// a normal map's vector components), never clamped while in an image.
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

// The levels one filter produces: level i at index i, level 0 finest; level i is levelSide(w0, i) x
// levelSide(h0, i), down to 1 x 1 for every texture.
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

// The side of level i of a pyramid whose level 0 has `side` texels along an axis: max(1, side div 2^i), as GPUs and
// the KTX2, DDS and OpenGL conventions take it.
int32_t levelSide(int32_t side, int32_t level);

// The texel of the next coarser level (`coarse` texels along the axis) that holds the centre of texel `index` of a
// level of `size` texels: index div 2 when the sides halve exactly.
inline int32_t coarserTexel(int32_t index, int32_t size, int32_t coarse) {
    return static_cast<int32_t>((static_cast<int64_t>(2 * index + 1) * coarse) / (2 * static_cast<int64_t>(size)));
}

// The number of levels of a pyramid for a width x height texture, down to 1 x 1: floor(log2(max side)) + 1; 0 for
// an image without texels.
int32_t mipLevelCount(int32_t width, int32_t height);

// The number of levels 0, 1, ... of a width x height pyramid before and at the first one whose shorter side is 1
// (both sides halve exactly down to it when they are powers of two): floor(log2(min side)) + 1.
int32_t levelsToShorterSideOne(int32_t width, int32_t height);
