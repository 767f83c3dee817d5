// Container files that hold every level of a pyramid in one file: KTX 2.0 and DDS, both RGBA8, sRGB for colour
// and UNORM for linear values and normal maps.
#pragma once

#include <cstdint>
#include <string>

#include "base/grow_array.h"
#include "image/float_image.h"
#include "image/pixel_bytes.h"

// One level as both containers store it uncompressed: 4 bytes per texel (r, g, b as encodedTexel stores them, alpha linear), the rows
// from the top of the picture to the bottom, so rgba.count = width x height x 4.
struct EncodedLevel {
    int32_t width = 0, height = 0;
    GrowArray<uint8_t> rgba;
};

// Encodes the filtered `image` as `encoding` says: r, g, b as byteFromUnit of encodedTexel's values (for colour
// byteFromUnit(linearToSrgb(c))), alpha as byteFromUnit(a) when `hasAlpha`, else 255. FloatImage row 0 is the bottom of the picture (the image library's first scan line,
// as loadTexture reads and saveLevelPng writes it), so the encoded rows are the image's rows in reverse.
// Throws std::bad_alloc when the bytes do not fit the array's count.
void encodeLevel(const FloatImage& image, bool hasAlpha, TexelEncoding encoding, EncodedLevel& level);

enum class BlockCodec : uint8_t;  // image/block_compression.h

// What a container's levels hold: how r, g, b are encoded and what alpha means, and RGBA8 texels or the blocks of a
// codec.
struct ContainerFormat {
    TexelEncoding encoding = TexelEncoding::srgb;
    StoredAlpha alpha = StoredAlpha::straight;
    bool compressed = false;
    BlockCodec codec{};  // with `compressed`
};

// Writes the levels (finest first, a mip chain: level i is max(1, w0 >> i) x max(1, h0 >> i); each level's `rgba`
// holds its RGBA8 texels or, for a compressed format, its blocks, rows of blocks from the top) as a KTX 2.0 file:
// VK_FORMAT_R8G8B8A8_SRGB (colour) or _UNORM (linear values, normal maps), or the codec's BC or ASTC format, sRGB
// or UNORM likewise (BC4 and BC5 are UNORM only), with the matching data format descriptor, orientation "rd" and
// `writer` as its KTXwriter; the level images are stored smallest first. The descriptor's flags say premultiplied
// alpha, and an opaque texture's swizzle "rgb1" says that its alpha is 1. Written under an unpredictable temporary
// name beside `path` and renamed into place; returns false with a one-line message, leaving any existing file at
// `path` untouched, on failure.
bool writeKtx2(const char* path, const GrowArray<EncodedLevel>& levels, const ContainerFormat& format,
               const std::string& writer, std::string& error);

// Writes the same levels as a DDS file with the DX10 header (DXGI_FORMAT_R8G8B8A8_UNORM_SRGB for colour,
// DXGI_FORMAT_R8G8B8A8_UNORM otherwise, or the codec's BC format likewise; ASTC is refused), the alpha mode
// straight (1), premultiplied (2) or opaque (3), largest level first, tightly packed. Written and failing like
// writeKtx2.
bool writeDds(const char* path, const GrowArray<EncodedLevel>& levels, const ContainerFormat& format,
              std::string& error);
