// KTX 2.0 and DDS writers for pyramids of RGBA8 levels, and the encoding both store.
#include "image/texture_containers.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "image/file_output.h"
#include "image/pixel_bytes.h"

void encodeLevel(const FloatImage& image, bool hasAlpha, TexelEncoding encoding, EncodedLevel& level) {
    const int64_t bytes = static_cast<int64_t>(image.width) * image.height * 4;
    if (image.width < 0 || image.height < 0 || bytes > INT32_MAX) throw std::bad_alloc();
    level.width = image.width;
    level.height = image.height;
    clear(level.rgba);
    resize(level.rgba, static_cast<int32_t>(bytes));
    uint8_t* out = level.rgba.items;
    for (int32_t y = image.height - 1; y >= 0; --y) {  // the picture's top row is the image's last
        for (int32_t x = 0; x < image.width; ++x) {
            // Alpha is coverage, not a colour: never sRGB-encoded.
            const Texel t = encodedTexel(image.at(x, y), encoding, hasAlpha);
            *out++ = byteFromUnit(t.r);
            *out++ = byteFromUnit(t.g);
            *out++ = byteFromUnit(t.b);
            *out++ = byteFromUnit(t.a);
        }
    }
}

// Both containers store their numbers little-endian, whatever the machine.
static void putU32(GrowArray<uint8_t>& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) append(out, static_cast<uint8_t>(value >> shift));
}

static void putU64(GrowArray<uint8_t>& out, uint64_t value) {
    putU32(out, static_cast<uint32_t>(value));
    putU32(out, static_cast<uint32_t>(value >> 32));
}

static void putBytes(GrowArray<uint8_t>& out, const void* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) append(out, static_cast<const uint8_t*>(bytes)[i]);
}


// Both containers require level i to be max(1, w0 >> i) x max(1, h0 >> i), ending at 1 x 1 at the latest.
static bool isMipChain(const char* path, const GrowArray<EncodedLevel>& levels, std::string& error) {
    for (int32_t i = 0; i < levels.count; ++i) {
        const EncodedLevel& level = levels[i];
        const int32_t width = i == 0 ? level.width : std::max(1, levels[0].width >> i);
        const int32_t height = i == 0 ? level.height : std::max(1, levels[0].height >> i);
        const bool pastOne = i > 0 && levels[i - 1].width == 1 && levels[i - 1].height == 1;
        if (level.width <= 0 || level.height <= 0 || level.width != width || level.height != height || pastOne ||
            level.rgba.count != static_cast<int64_t>(width) * height * 4) {
            error = std::string(path) + ": level " + std::to_string(i) + " (" +
                    std::to_string(level.width) + "x" + std::to_string(level.height) + ") is not part of a mip chain";
            return false;
        }
    }
    if (levels.count == 0) error = std::string(path) + ": no levels to write";
    return levels.count > 0;
}

static void putKeyValue(GrowArray<uint8_t>& out, const char* key, const char* value) {
    const size_t keyLength = std::strlen(key) + 1, valueLength = std::strlen(value) + 1;  // both end in NUL
    putU32(out, static_cast<uint32_t>(keyLength + valueLength));
    putBytes(out, key, keyLength);
    putBytes(out, value, valueLength);
    while (out.count % 4 != 0) append(out, uint8_t{0});
}

static uint64_t alignedTo4(uint64_t offset) { return (offset + 3) & ~uint64_t{3}; }

bool writeKtx2(const char* path, const GrowArray<EncodedLevel>& levels, TexelEncoding encoding, StoredAlpha alpha,
               const std::string& writer, std::string& error) {
    if (!isMipChain(path, levels, error)) return false;
    const uint32_t count = static_cast<uint32_t>(levels.count);
    static const uint8_t identifier[12] = {0xAB, 'K', 'T', 'X', ' ', '2', '0', 0xBB, '\r', '\n', 0x1A, '\n'};
    GrowArray<uint8_t> head;
    putBytes(head, identifier, sizeof identifier);
    // vkFormat R8G8B8A8_SRGB or R8G8B8A8_UNORM, typeSize, width, height, depth 0 and layerCount 0 (a plain 2D
    // texture), faceCount, levelCount, supercompressionScheme none.
    const bool srgb = encoding == TexelEncoding::srgb;
    for (uint32_t value : {srgb ? 43u : 37u, 1u, static_cast<uint32_t>(levels[0].width), static_cast<uint32_t>(levels[0].height),
                           0u, 0u, 1u, count, 0u}) {
        putU32(head, value);
    }
    // The key/value entries, sorted by their keys' bytes ("KTXo" before "KTXs" before "KTXw"). "rd": the first
    // texel of a level is the top left one, x grows rightwards and rows go down. "rgb1": alpha reads as 1.
    GrowArray<uint8_t> keyValues;
    putKeyValue(keyValues, "KTXorientation", "rd");
    if (alpha == StoredAlpha::opaque) putKeyValue(keyValues, "KTXswizzle", "rgb1");
    putKeyValue(keyValues, "KTXwriter", writer.c_str());
    const uint32_t descriptorAt = 80 + 24 * count, descriptorLength = 4 + 24 + 4 * 16;
    const uint32_t keyValuesAt = descriptorAt + descriptorLength;
    for (uint32_t value : {descriptorAt, descriptorLength, keyValuesAt, static_cast<uint32_t>(keyValues.count)}) {
        putU32(head, value);
    }
    putU64(head, 0);  // no supercompression global data
    putU64(head, 0);

    // The level images follow the key/value data, smallest first, each starting on a multiple of 4.
    GrowArray<uint64_t> offsets;
    resize(offsets, levels.count);
    uint64_t at = alignedTo4(keyValuesAt + static_cast<uint64_t>(keyValues.count));
    for (int32_t i = levels.count - 1; i >= 0; --i) {
        offsets[i] = at;
        at = alignedTo4(at + static_cast<uint64_t>(levels[i].rgba.count));
    }
    for (int32_t i = 0; i < levels.count; ++i) {
        putU64(head, offsets[i]);
        putU64(head, static_cast<uint64_t>(levels[i].rgba.count));  // byteLength
        putU64(head, static_cast<uint64_t>(levels[i].rgba.count));  // uncompressedByteLength
    }

    // Basic data format descriptor: vendor 0, type 0; version 2 and block size; model RGBSDA, primaries
    // BT.709, transfer sRGB (2) or linear (1), flags straight (0) or premultiplied (1) alpha; a 1x1x1x1 texel block
    // of 4 bytes in plane 0.
    putU32(head, descriptorLength);
    const uint32_t transfer = srgb ? 2u : 1u, flags = alpha == StoredAlpha::premultiplied ? 1u : 0u;
    for (uint32_t value : {0u, 2u | (descriptorLength - 4) << 16, 1u | 1u << 8 | transfer << 16 | flags << 24, 0u, 4u,
                           0u}) {
        putU32(head, value);
    }
    // One sample per byte: bit offset, bit length - 1, channel (alpha 15, marked linear in an sRGB texture since it
    // is not sRGB-encoded); position 0, range 0 to 255.
    const uint32_t channels[4] = {0, 1, 2, srgb ? 15u | 0x10u : 15u};
    for (uint32_t k = 0; k < 4; ++k) {
        for (uint32_t value : {8 * k | 7u << 16 | channels[k] << 24, 0u, 0u, 255u}) putU32(head, value);
    }
    putBytes(head, keyValues.items, static_cast<size_t>(keyValues.count));

    PendingFile pending;
    openBeside(path, pending);
    writeBytes(pending, head.items, static_cast<size_t>(head.count));
    uint64_t written = static_cast<uint64_t>(head.count);
    static const uint8_t padding[4] = {0, 0, 0, 0};
    for (int32_t i = levels.count - 1; i >= 0; --i) {
        writeBytes(pending, padding, static_cast<size_t>(offsets[i] - written));
        writeBytes(pending, levels[i].rgba.items, static_cast<size_t>(levels[i].rgba.count));
        written = offsets[i] + static_cast<uint64_t>(levels[i].rgba.count);
    }
    return finishFile(pending, path, "file", error);
}

bool writeDds(const char* path, const GrowArray<EncodedLevel>& levels, TexelEncoding encoding, StoredAlpha alpha,
              std::string& error) {
    if (!isMipChain(path, levels, error)) return false;
    const uint32_t width = static_cast<uint32_t>(levels[0].width), height = static_cast<uint32_t>(levels[0].height);
    GrowArray<uint8_t> head;
    putBytes(head, "DDS ", 4);
    // Header of 124 bytes, flags CAPS | HEIGHT | WIDTH | PITCH | PIXELFORMAT | MIPMAPCOUNT, the pitch of
    // the first level's rows, no depth, then 11 reserved words.
    for (uint32_t value : {124u, 0x2100Fu, height, width, width * 4, 0u, static_cast<uint32_t>(levels.count)}) {
        putU32(head, value);
    }
    for (int k = 0; k < 11; ++k) putU32(head, 0);
    // Pixel format of 32 bytes: FOURCC "DX10", so the extension header below names the format.
    putU32(head, 32);
    putU32(head, 0x4);
    putBytes(head, "DX10", 4);
    for (int k = 0; k < 5; ++k) putU32(head, 0);  // bit count and masks, unused with a four-character code
    // Caps TEXTURE, with MIPMAP | COMPLEX when there is more than one level; caps2 to 4 and a reserved word.
    putU32(head, levels.count > 1 ? 0x401008u : 0x1000u);
    for (int k = 0; k < 4; ++k) putU32(head, 0);
    // DX10 header: R8G8B8A8_UNORM_SRGB or R8G8B8A8_UNORM, a 2D texture, no flags, one array element, the alpha
    // mode.
    const uint32_t alphaMode = alpha == StoredAlpha::opaque ? 3u : alpha == StoredAlpha::premultiplied ? 2u : 1u;
    for (uint32_t value : {encoding == TexelEncoding::srgb ? 29u : 28u, 3u, 0u, 1u, alphaMode}) putU32(head, value);

    PendingFile pending;
    openBeside(path, pending);
    writeBytes(pending, head.items, static_cast<size_t>(head.count));
    for (const EncodedLevel& level : levels) writeBytes(pending, level.rgba.items, static_cast<size_t>(level.rgba.count));
    return finishFile(pending, path, "file", error);
}
