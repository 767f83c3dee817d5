// KTX 2.0 and DDS writers for pyramids of RGBA8 or block-compressed levels, and the RGBA8 encoding both store.
#include "image/texture_containers.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "image/block_compression.h"
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


// The bytes a width x height level takes in the format: 4 per texel, or a block per started block footprint.
static int64_t levelBytes(const ContainerFormat& format, int32_t width, int32_t height) {
    if (!format.compressed) return static_cast<int64_t>(width) * height * 4;
    const int64_t across = (width + blockWidth(format.codec) - 1) / blockWidth(format.codec);
    const int64_t down = (height + blockHeight(format.codec) - 1) / blockHeight(format.codec);
    return across * down * blockBytes(format.codec);
}

// Both containers require level i to be max(1, w0 >> i) x max(1, h0 >> i), ending at 1 x 1 at the latest.
static bool isMipChain(const char* path, const GrowArray<EncodedLevel>& levels, const ContainerFormat& format,
                       std::string& error) {
    for (int32_t i = 0; i < levels.count; ++i) {
        const EncodedLevel& level = levels[i];
        const int32_t width = i == 0 ? level.width : std::max(1, levels[0].width >> i);
        const int32_t height = i == 0 ? level.height : std::max(1, levels[0].height >> i);
        const bool pastOne = i > 0 && levels[i - 1].width == 1 && levels[i - 1].height == 1;
        if (level.width <= 0 || level.height <= 0 || level.width != width || level.height != height || pastOne ||
            level.rgba.count != levelBytes(format, width, height)) {
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

static uint64_t alignedTo(uint64_t offset, uint64_t alignment) { return (offset + alignment - 1) / alignment * alignment; }

// The Vulkan format of the levels, sRGB or UNORM as the encoding says (BC4 and BC5 have UNORM only).
static uint32_t vulkanFormat(const ContainerFormat& format) {
    const bool srgb = format.encoding == TexelEncoding::srgb;
    if (!format.compressed) return srgb ? 43u : 37u;  // R8G8B8A8
    switch (format.codec) {
    case BlockCodec::bc1: return srgb ? 132u : 131u;  // BC1_RGB
    case BlockCodec::bc3: return srgb ? 138u : 137u;
    case BlockCodec::bc4: return 139u;
    case BlockCodec::bc5: return 141u;
    case BlockCodec::bc7: return srgb ? 146u : 145u;
    case BlockCodec::astc4x4: return srgb ? 158u : 157u;
    case BlockCodec::astc6x6: return srgb ? 166u : 165u;
    case BlockCodec::astc8x8: return srgb ? 172u : 171u;
    }
    return 0;
}

// One sample of a data format descriptor: where it lies in the texel block and which channel it holds.
struct DescriptorSample {
    uint32_t bitOffset, bitLength, channel, upper;
};

// The basic data format descriptor's colour model and samples: RGBSDA with a byte per channel for RGBA8 (alpha
// marked linear in an sRGB texture, since it is not sRGB-encoded), else the block format's model and its parts.
static uint32_t describeSamples(const ContainerFormat& format, GrowArray<DescriptorSample>& samples) {
    if (!format.compressed) {
        const bool srgb = format.encoding == TexelEncoding::srgb;
        for (uint32_t k = 0; k < 4; ++k) {
            append(samples, DescriptorSample{8 * k, 8, k < 3 ? k : (srgb ? 15u | 0x10u : 15u), 255});
        }
        return 1;  // KHR_DF_MODEL_RGBSDA
    }
    const uint32_t all = 0xFFFFFFFFu;
    switch (format.codec) {
    case BlockCodec::bc1: append(samples, DescriptorSample{0, 64, 0, all}); return 128;  // BC1A, colour
    case BlockCodec::bc3:  // alpha block, then colour block
        append(samples, DescriptorSample{0, 64, 15, all});
        append(samples, DescriptorSample{64, 64, 0, all});
        return 130;
    case BlockCodec::bc4: append(samples, DescriptorSample{0, 64, 0, all}); return 131;
    case BlockCodec::bc5:  // red block, then green block
        append(samples, DescriptorSample{0, 64, 0, all});
        append(samples, DescriptorSample{64, 64, 1, all});
        return 132;
    case BlockCodec::bc7: append(samples, DescriptorSample{0, 128, 0, all}); return 134;
    case BlockCodec::astc4x4:
    case BlockCodec::astc6x6:
    case BlockCodec::astc8x8: append(samples, DescriptorSample{0, 128, 0, all}); return 162;
    }
    return 0;
}

bool writeKtx2(const char* path, const GrowArray<EncodedLevel>& levels, const ContainerFormat& format,
               const std::string& writer, std::string& error) {
    if (!isMipChain(path, levels, format, error)) return false;
    const uint32_t count = static_cast<uint32_t>(levels.count);
    static const uint8_t identifier[12] = {0xAB, 'K', 'T', 'X', ' ', '2', '0', 0xBB, '\r', '\n', 0x1A, '\n'};
    GrowArray<uint8_t> head;
    putBytes(head, identifier, sizeof identifier);
    // vkFormat, typeSize, width, height, depth 0 and layerCount 0 (a plain 2D texture), faceCount, levelCount,
    // supercompressionScheme none.
    for (uint32_t value : {vulkanFormat(format), 1u, static_cast<uint32_t>(levels[0].width),
                           static_cast<uint32_t>(levels[0].height), 0u, 0u, 1u, count, 0u}) {
        putU32(head, value);
    }
    // The key/value entries, sorted by their keys' bytes ("KTXo" before "KTXs" before "KTXw"). "rd": the first
    // texel of a level is the top left one, x grows rightwards and rows go down. "rgb1": alpha reads as 1.
    GrowArray<uint8_t> keyValues;
    putKeyValue(keyValues, "KTXorientation", "rd");
    if (format.alpha == StoredAlpha::opaque) putKeyValue(keyValues, "KTXswizzle", "rgb1");
    putKeyValue(keyValues, "KTXwriter", writer.c_str());
    GrowArray<DescriptorSample> samples;
    const uint32_t model = describeSamples(format, samples);
    const uint32_t descriptorAt = 80 + 24 * count, descriptorLength = 4 + 24 + 16 * static_cast<uint32_t>(samples.count);
    const uint32_t keyValuesAt = descriptorAt + descriptorLength;
    for (uint32_t value : {descriptorAt, descriptorLength, keyValuesAt, static_cast<uint32_t>(keyValues.count)}) {
        putU32(head, value);
    }
    putU64(head, 0);  // no supercompression global data
    putU64(head, 0);

    // The level images follow the key/value data, smallest first, each starting on a multiple of 4 and of the
    // block's size.
    const uint64_t alignment = format.compressed ? std::max(4, blockBytes(format.codec)) : 4;
    GrowArray<uint64_t> offsets;
    resize(offsets, levels.count);
    uint64_t at = alignedTo(keyValuesAt + static_cast<uint64_t>(keyValues.count), alignment);
    for (int32_t i = levels.count - 1; i >= 0; --i) {
        offsets[i] = at;
        at = alignedTo(at + static_cast<uint64_t>(levels[i].rgba.count), alignment);
    }
    for (int32_t i = 0; i < levels.count; ++i) {
        putU64(head, offsets[i]);
        putU64(head, static_cast<uint64_t>(levels[i].rgba.count));  // byteLength
        putU64(head, static_cast<uint64_t>(levels[i].rgba.count));  // uncompressedByteLength
    }

    // Basic data format descriptor: vendor 0, type 0; version 2 and block size; the colour model, primaries
    // BT.709, transfer sRGB (2) or linear (1), flags straight (0) or premultiplied (1) alpha; the texel block's
    // dimensions less 1 and its bytes in plane 0.
    putU32(head, descriptorLength);
    const uint32_t transfer = format.encoding == TexelEncoding::srgb ? 2u : 1u;
    const uint32_t flags = format.alpha == StoredAlpha::premultiplied ? 1u : 0u;
    const uint32_t blockSize = format.compressed ? static_cast<uint32_t>(blockWidth(format.codec) - 1) |
                                                       static_cast<uint32_t>(blockHeight(format.codec) - 1) << 8
                                                 : 0u;
    const uint32_t planeBytes = format.compressed ? static_cast<uint32_t>(blockBytes(format.codec)) : 4u;
    for (uint32_t value : {0u, 2u | (descriptorLength - 4) << 16, model | 1u << 8 | transfer << 16 | flags << 24,
                           blockSize, planeBytes, 0u}) {
        putU32(head, value);
    }
    // Per sample: bit offset, bit length - 1, channel; position 0, range 0 to its upper value.
    for (const DescriptorSample& sample : samples) {
        for (uint32_t value : {sample.bitOffset | (sample.bitLength - 1) << 16 | sample.channel << 24, 0u, 0u,
                               sample.upper}) {
            putU32(head, value);
        }
    }
    putBytes(head, keyValues.items, static_cast<size_t>(keyValues.count));

    PendingFile pending;
    openBeside(path, pending);
    writeBytes(pending, head.items, static_cast<size_t>(head.count));
    uint64_t written = static_cast<uint64_t>(head.count);
    static const uint8_t padding[16] = {};
    for (int32_t i = levels.count - 1; i >= 0; --i) {
        writeBytes(pending, padding, static_cast<size_t>(offsets[i] - written));
        writeBytes(pending, levels[i].rgba.items, static_cast<size_t>(levels[i].rgba.count));
        written = offsets[i] + static_cast<uint64_t>(levels[i].rgba.count);
    }
    return finishFile(pending, path, "file", error);
}

// The DXGI format of the levels, sRGB or UNORM as the encoding says; 0 for the ASTC codecs, which DDS does not hold.
static uint32_t dxgiFormat(const ContainerFormat& format) {
    const bool srgb = format.encoding == TexelEncoding::srgb;
    if (!format.compressed) return srgb ? 29u : 28u;  // R8G8B8A8
    switch (format.codec) {
    case BlockCodec::bc1: return srgb ? 72u : 71u;
    case BlockCodec::bc3: return srgb ? 78u : 77u;
    case BlockCodec::bc4: return 80u;
    case BlockCodec::bc5: return 83u;
    case BlockCodec::bc7: return srgb ? 99u : 98u;
    default: return 0;
    }
}

bool writeDds(const char* path, const GrowArray<EncodedLevel>& levels, const ContainerFormat& format,
              std::string& error) {
    if (dxgiFormat(format) == 0) {
        error = std::string(path) + ": DDS holds no ASTC levels";
        return false;
    }
    if (!isMipChain(path, levels, format, error)) return false;
    const uint32_t width = static_cast<uint32_t>(levels[0].width), height = static_cast<uint32_t>(levels[0].height);
    GrowArray<uint8_t> head;
    putBytes(head, "DDS ", 4);
    // Header of 124 bytes, flags CAPS | HEIGHT | WIDTH | PIXELFORMAT | MIPMAPCOUNT and PITCH with the pitch of the
    // first level's rows, or LINEARSIZE with the first level's bytes for blocks; no depth, then 11 reserved words.
    const uint32_t flags = format.compressed ? 0xA1007u : 0x2100Fu;
    const uint32_t pitch = format.compressed ? static_cast<uint32_t>(levels[0].rgba.count) : width * 4;
    for (uint32_t value : {124u, flags, height, width, pitch, 0u, static_cast<uint32_t>(levels.count)}) {
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
    // DX10 header: the format, a 2D texture, no flags, one array element, the alpha mode.
    const uint32_t alphaMode = format.alpha == StoredAlpha::opaque          ? 3u
                               : format.alpha == StoredAlpha::premultiplied ? 2u
                                                                            : 1u;
    for (uint32_t value : {dxgiFormat(format), 3u, 0u, 1u, alphaMode}) putU32(head, value);

    PendingFile pending;
    openBeside(path, pending);
    writeBytes(pending, head.items, static_cast<size_t>(head.count));
    for (const EncodedLevel& level : levels) writeBytes(pending, level.rgba.items, static_cast<size_t>(level.rgba.count));
    return finishFile(pending, path, "file", error);
}
