// FloatImage storage and the pyramid frame shared by every filter.
#include "image/float_image.h"

#include <algorithm>
#include <cmath>
#include <new>

FloatImage::FloatImage(const FloatImage& other) { copyImage(*this, other); }

FloatImage::FloatImage(FloatImage&& other) noexcept
    : texels(other.texels), count(other.count), width(other.width), height(other.height), hasAlpha(other.hasAlpha) {
    other.texels = nullptr;
    other.count = other.width = other.height = 0;
    other.hasAlpha = false;
}

FloatImage& FloatImage::operator=(const FloatImage& other) {
    if (this != &other) copyImage(*this, other);
    return *this;
}

FloatImage& FloatImage::operator=(FloatImage&& other) noexcept {
    std::swap(texels, other.texels);
    std::swap(count, other.count);
    std::swap(width, other.width);
    std::swap(height, other.height);
    std::swap(hasAlpha, other.hasAlpha);
    return *this;
}

void allocateImage(FloatImage& image, int32_t width, int32_t height) {
    const int64_t count = static_cast<int64_t>(width) * height;
    if (width < 0 || height < 0 || count > INT32_MAX) throw std::bad_alloc();
    Texel* texels = count > 0 ? newArray<Texel>(count) : nullptr;
    deleteArray(image.texels);
    image.texels = texels;
    image.width = width;
    image.height = height;
    image.count = static_cast<int32_t>(count);
}

void copyImage(FloatImage& destination, const FloatImage& source) {
    if (&destination == &source) return;
    allocateImage(destination, source.width, source.height);
    std::copy(source.texels, source.texels + source.count, destination.texels);
    destination.hasAlpha = source.hasAlpha;
}

void releaseImage(FloatImage& image) {
    deleteArray(image.texels);
    image.texels = nullptr;
    image.count = image.width = image.height = 0;
    image.hasAlpha = false;
}

void resizeLevels(MipPyramid& pyramid, int32_t n) { resize(pyramid.levels, n); }

bool isSquarePowerOfTwo(const FloatImage& image) {
    return image.width == image.height && image.width > 0 && (image.width & (image.width - 1)) == 0;
}

bool hasPowerOfTwoSides(const FloatImage& image) {
    return image.width > 0 && image.height > 0 && (image.width & (image.width - 1)) == 0 &&
           (image.height & (image.height - 1)) == 0;
}

int32_t levelSide(int32_t side, int32_t level) {
    if (level >= 31) return 1;
    return std::max(1, side >> level);
}

// floor(log2(n)) + 1 for n >= 1: the number of halvings that keep n at least 1, plus one.
static int32_t halvingsToOne(int32_t n) {
    int32_t count = 0;
    while (n > 0) {
        ++count;
        n >>= 1;
    }
    return count;
}

int32_t mipLevelCount(int32_t width, int32_t height) {
    if (width < 1 || height < 1) return 0;
    return halvingsToOne(std::max(width, height));
}

int32_t levelsToShorterSideOne(int32_t width, int32_t height) {
    if (width < 1 || height < 1) return 0;
    return halvingsToOne(std::min(width, height));
}
