// Moving pixels between image files and FloatImages: reading textures, writing PNG levels. The byte and sRGB
// conversions they use come with image/pixel_bytes.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "image/float_image.h"
#include "image/pixel_bytes.h"

// Reads a texture file into `texture`, channels byte / 255, alpha 1 when the file has none (texture.hasAlpha says
// whether it had): PNG through libpng, JPEG through libjpeg-turbo, and BMP, ICO, TGA, PNM, PFM, TIFF, GIF, PCX, Sun
// raster, SGI, DDS, Radiance HDR, OpenEXR, JPEG 2000 and WebP through the image library (depths other than 24 and 32
// bits converted first, to 32 when they carry alpha); the library's other formats, PSD among them, are refused by
// name. Returns false with a one-line message naming the file (and the reason) when it cannot be read, is not a
// regular file, ends before its picture does, declares more texels than an image can hold, or has no texels.
bool loadTexture(const char* path, FloatImage& texture, std::string& error);

// The decoder a texture file goes to, by its first bytes: the PNG and JPEG signatures, PSD's (refused), and the
// image library for everything else (which finds the format by signature, or by the file name's extension).
enum class TextureDecoder { png, jpeg, psd, imageLibrary };
TextureDecoder textureDecoderFor(const uint8_t* bytes, size_t size);

// Decodes the texture file held in bytes[0, size) as loadTexture does; `name` stands for the file in messages and
// gives the extension that names a format without a signature (TGA). A picture of more than `maxTexels` texels is
// refused from its header.
bool decodeTexture(const uint8_t* bytes, size_t size, const char* name, int64_t maxTexels, FloatImage& texture,
                   std::string& error);

// Writes r, g, b (already encoded, in [0, 1]) as a 24-bit PNG file through libpng, or r, g, b and alpha as a
// 32-bit one, whatever the name's extension; each byte is byteFromUnit of the value. The file is marked sRGB (an
// sRGB chunk) when `markedSrgb`. The file is written under a
// temporary name in the same directory and renamed into place, so a failed write never leaves a partial file.
// Returns false with "<path>: <reason>" for another depth, an empty image, or a failed encoding or write.
bool saveLevelPng(const char* path, int bitsPerPixel, const FloatImage& image, bool markedSrgb, std::string& error);

// The PNG file savePyramid writes for one level, in memory. Returns false with libpng's reason when encoding fails.
bool encodeLevelPng(const FloatImage& level, bool withAlpha, TexelEncoding encoding, GrowArray<uint8_t>& png,
                    std::string& reason);

// Encodes one level as `encoding` says (encodedTexel) and writes it as the PNG file `path`, as savePyramid writes
// each level. False with "<path>: <reason>" when it cannot.
bool saveLevelFile(const FloatImage& level, const std::string& path, bool withAlpha, TexelEncoding encoding,
                   std::string& error);

// Encodes every level as `encoding` says (encodedTexel) and writes it as "mip_%d_%s.png" in `folder`, which must
// exist (an empty folder is the working directory, and the file names then carry no folder part): 24-bit, or
// 32-bit with the levels' alpha (linear, as the filters computed it) when `withAlpha`; sRGB colour is marked so.
// A level with a width or height of 0 (no filter makes one) writes no file. A level that cannot be written appends a
// message naming the file to `errors` and the other levels are still written; returns false if
// any failed.
bool savePyramid(const MipPyramid& pyramid, const std::string& folder, const char* filterName, bool withAlpha,
                 TexelEncoding encoding, GrowArray<std::string>& errors);
