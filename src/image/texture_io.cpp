// Texture input and level output through the image library, and the sRGB transfer functions.
#include "image/texture_io.h"

#include <FreeImagePlus.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

static constexpr double byteToUnit = 0.00392156862745098;  // 1 / 255

static float unitFromByte(BYTE value) { return static_cast<float>(value * byteToUnit); }

// Float pixels are taken as display values in [0, 1] and rounded to bytes like every other depth.
static float unitFromFloat(float value) {
    const float clamped = value >= 0.0f ? (value <= 1.0f ? value : 1.0f) : 0.0f;  // NaN gives 0
    return unitFromByte(static_cast<BYTE>(std::lround(clamped * 255.0f)));
}

// Brings any pixel type the library reads to 24 or 32 bits per pixel (32 when it carries alpha),
// except the float types, which become 128-bit RGBA floats. Returns false for types with no
// sensible colour conversion (signed, 32-bit integer, double and complex samples).
static bool convertToReadableDepth(fipImage& picture) {
    switch (picture.getImageType()) {
    case FIT_BITMAP: {
        const unsigned bits = picture.getBitsPerPixel();
        if (bits == 24 || bits == 32) return true;
        return picture.isTransparent() ? picture.convertTo32Bits() : picture.convertTo24Bits();
    }
    case FIT_UINT16:
        // 16-bit grey: the library has no direct route to 24 bits, so go through 16-bit RGB.
        return picture.convertToRGB16() && picture.convertTo24Bits();
    case FIT_RGB16:
        return picture.convertTo24Bits();
    case FIT_RGBA16:
        return picture.convertTo32Bits();
    case FIT_FLOAT:
    case FIT_RGBF:
    case FIT_RGBAF:
        return picture.convertToRGBAF();
    default:
        return false;
    }
}

bool loadTexture(const char* path, FloatImage& texture, std::string& error) {
    fipImage picture(FIT_BITMAP, 0, 0, 0);
    if (!picture.load(path, 0) || picture.getWidth() == 0 || picture.getHeight() == 0) {
        error = std::string("Error: ") + path + ": cannot read the texture";
        return false;
    }
    if (!convertToReadableDepth(picture)) {
        error = std::string("Error: ") + path + ": unsupported pixel type";
        return false;
    }
    const unsigned width = picture.getWidth();
    const unsigned height = picture.getHeight();
    if (static_cast<uint64_t>(width) * height > static_cast<uint64_t>(INT32_MAX)) {
        error = std::string("Error: ") + path + ": the texture is too large (" + std::to_string(width) + "x" +
                std::to_string(height) + ")";
        return false;
    }
    allocateImage(texture, static_cast<int32_t>(width), static_cast<int32_t>(height));

    const bool floats = picture.getImageType() == FIT_RGBAF;
    const unsigned bytesPerPixel = picture.getBitsPerPixel() / 8;
    for (int32_t y = 0; y < texture.height; ++y) {
        const BYTE* line = picture.getScanLine(static_cast<unsigned>(y));
        for (int32_t x = 0; x < texture.width; ++x) {
            Texel& t = texture.at(x, y);
            if (floats) {
                const FIRGBAF& p = reinterpret_cast<const FIRGBAF*>(line)[x];
                t = Texel{unitFromFloat(p.red), unitFromFloat(p.green), unitFromFloat(p.blue), unitFromFloat(p.alpha)};
            } else {
                // The library stores blue, green, red (and alpha) on little-endian machines.
                const BYTE* p = line + x * bytesPerPixel;
                t = Texel{unitFromByte(p[2]), unitFromByte(p[1]), unitFromByte(p[0]),
                          bytesPerPixel == 4 ? unitFromByte(p[3]) : 1.0f};
            }
        }
    }
    return true;
}

float srgbToLinear(float c) {
    const double value = c;
    if (value < 0.04045) return static_cast<float>(value * 0.07739938080495357);  // 1 / 12.92
    return static_cast<float>(std::pow((value + 0.055) * 0.9478672985781991, 2.4));  // 1 / 1.055
}

float linearToSrgb(float v) {
    if (v < 0) return 0.0f;
    if (static_cast<double>(v) < 0.0031308) return static_cast<float>(v * 12.92);
    if (v < 1) {
        // The exponent is the float nearest 0.41666, not 1 / 2.4.
        const float p = static_cast<float>(std::pow(static_cast<double>(v), 0.41666001081466675));
        return static_cast<float>(p * 1.055 - 0.055);
    }
    return 1.0f;  // v >= 1, and NaN
}

void linearizeImage(FloatImage& image) {
    for (int32_t k = 0; k < image.count; ++k) {
        Texel& t = image.texels[k];
        t.r = srgbToLinear(t.r);
        t.g = srgbToLinear(t.g);
        t.b = srgbToLinear(t.b);
    }
}

// c x 255 truncated toward zero (1 gives 255, 0.999 gives 254); out-of-range values are clamped.
static BYTE byteFromUnit(float c) {
    if (!(c > 0.0f)) return 0;
    if (c >= 1.0f) return 255;
    return static_cast<BYTE>(static_cast<double>(c) * 255.0);
}

static std::string systemReason() { return std::string(" (") + std::strerror(errno) + ")"; }

bool saveLevelPng(const char* path, int bitsPerPixel, const FloatImage& image, std::string& error) {
    const std::string failure = std::string("Error: ") + path + ": ";
    // The final name's extension picks the format; the temporary name must not.
    const FREE_IMAGE_FORMAT format = FreeImage_GetFIFFromFilename(path);
    if (format == FIF_UNKNOWN || bitsPerPixel != 24) {
        error = failure + "no 24-bit image format for this file name";
        return false;
    }
    fipImage picture(FIT_BITMAP, 0, 0, 0);
    if (image.width <= 0 || image.height <= 0 ||
        !picture.setSize(FIT_BITMAP, static_cast<unsigned>(image.width), static_cast<unsigned>(image.height), 24)) {
        error = failure + "cannot make a " + std::to_string(image.width) + "x" + std::to_string(image.height) + " image";
        return false;
    }
    for (int32_t y = 0; y < image.height; ++y) {
        BYTE* line = picture.getScanLine(static_cast<unsigned>(y));
        for (int32_t x = 0; x < image.width; ++x) {
            const Texel& t = image.at(x, y);
            BYTE* p = line + 3 * x;
            p[2] = byteFromUnit(t.r);
            p[1] = byteFromUnit(t.g);
            p[0] = byteFromUnit(t.b);
        }
    }

    // Write beside the final file and rename it into place, so an interrupted run never leaves a
    // truncated image under the final name. The process id keeps concurrent runs apart.
    const std::string temporary = std::string(path) + ".partial-" + std::to_string(getpid());
    errno = 0;
    if (!picture.save(format, temporary.c_str(), 0)) {
        error = failure + "cannot write the image" + (errno != 0 ? systemReason() : std::string());
        std::remove(temporary.c_str());
        return false;
    }
    if (std::rename(temporary.c_str(), path) != 0) {
        error = failure + "cannot replace the file" + systemReason();
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

bool savePyramid(const MipPyramid& pyramid, const char* filterName) {
    bool allWritten = true;
    for (int32_t k = 0; k < pyramid.levels.count; ++k) {
        const FloatImage& level = pyramid.levels[k];
        if (level.width == 0 || level.height == 0) continue;  // an empty level has no picture
        FloatImage encoded;
        allocateImage(encoded, level.width, level.height);
        for (int32_t i = 0; i < level.count; ++i) {
            const Texel& t = level.texels[i];
            encoded.texels[i] = Texel{linearToSrgb(t.r), linearToSrgb(t.g), linearToSrgb(t.b), 1.0f};
        }
        const std::string name = "mip_" + std::to_string(k) + "_" + filterName + ".png";
        std::string error;
        if (!saveLevelPng(name.c_str(), 24, encoded, error)) {
            std::printf("%s\n", error.c_str());
            allWritten = false;
        }
    }
    return allWritten;
}
