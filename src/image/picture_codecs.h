// PNG through libpng and JPEG through libjpeg-turbo: decoding a file held in memory into a texture, and encoding
// a level as PNG. texture_io chooses the codec for a file and words the messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/grow_array.h"
#include "image/float_image.h"

enum class DecodeStatus { decoded, unreadable, tooManyTexels, noMemoryToHold, noMemoryToDecode };

// How a decode ended: `reason` is the codec's one-line message when the file is unreadable; `width` and
// `height` are the declared size once the header was read (0 before).
struct DecodeOutcome {
    DecodeStatus status = DecodeStatus::decoded;
    std::string reason;
    uint64_t width = 0, height = 0;
};

// Decodes the PNG in bytes[0, size) into `texture` (row 0 the bottom row of the picture), channels byte / 255,
// with the values the image library gave before: samples reduced to 8 bits by their high byte, grey and palette
// pictures through their colour table, a tRNS chunk as alpha where that library kept it, a gAMA chunk applied for
// a display gamma of 2.2. texture.hasAlpha says whether the picture has alpha; without it every alpha is 1.
// A picture of more than `maxTexels` texels is refused from its header, before any pixel is decoded; a file that
// ends before its end chunk, or whose picture data is damaged, is unreadable.
DecodeOutcome decodePng(const uint8_t* bytes, size_t size, int64_t maxTexels, FloatImage& texture);

// Decodes the JPEG in bytes[0, size) like decodePng: grey, RGB (from YCbCr or stored as RGB) and CMYK (Adobe's
// inverted samples, r = k c / 255 and so on), decoded with libjpeg's fast integer transform and plain upsampling
// as the image library did; the EXIF orientation is not applied. A file that ends before its picture does, or
// whose entropy-coded data is damaged, is unreadable.
DecodeOutcome decodeJpeg(const uint8_t* bytes, size_t size, int64_t maxTexels, FloatImage& texture);

// Encodes `image` as a PNG file into `png`: 8-bit RGB, or RGBA when `withAlpha`, each sample byteFromUnit of the
// value, the top row of the picture (FloatImage row height - 1) first, with an sRGB chunk when `markedSrgb` (the
// values are sRGB-encoded colour). Returns false with libpng's reason (and
// `png` empty) when encoding fails, a file beyond the array's 2^31 - 1 bytes included.
bool encodePng(const FloatImage& image, bool withAlpha, bool markedSrgb, GrowArray<uint8_t>& png, std::string& reason);
