// The KTX 2.0 and DDS writers, read back by a parser written here from the published layouts of both formats.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "image/texture_containers.h"
#include "image/texture_io.h"
#include "test_support.h"

using Bytes = std::vector<uint8_t>;

static uint32_t le32(const std::string& file, size_t at) {
    uint32_t value = 0;
    for (int k = 3; k >= 0; --k) value = value << 8 | static_cast<uint8_t>(file.at(at + k));
    return value;
}

static uint64_t le64(const std::string& file, size_t at) { return le32(file, at) | uint64_t{le32(file, at + 4)} << 32; }

static Bytes bytesAt(const std::string& file, uint64_t at, uint64_t length) {
    if (at + length > file.size()) return Bytes();
    return Bytes(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at + length));
}

// The bytes (r, g, b, alpha) the texel at column x, `row` rows below the top of the picture, of level `level`
// is stored as: distinct for every texel of a level and between levels, alpha unlike the colours.
static Bytes knownTexel(int level, int x, int row) {
    const int i = x + 8 * row;
    return {static_cast<uint8_t>(3 * i + 50 * level + 1), static_cast<uint8_t>(255 - 4 * i - level),
            static_cast<uint8_t>(17 * x + 31 * row + 5 * level), static_cast<uint8_t>(37 * x + 11 * row + 100 + 13 * level)};
}

// Level `level` of a width x height pyramid whose texels decode to knownTexel; FloatImage row 0 is the bottom.
static FloatImage knownImage(int level, int width, int height) {
    FloatImage image;
    allocateImage(image, width, height);
    for (int row = 0; row < height; ++row) {
        for (int x = 0; x < width; ++x) {
            const Bytes b = knownTexel(level, x, row);
            const auto unit = [](uint8_t v) { return static_cast<float>(v * 0.00392156862745098); };
            // Decoding a byte and encoding it again gives it back exactly (SrgbTransfer.EveryByteRoundTripsExactly).
            image.at(x, height - 1 - row) = Texel{srgbToLinear(unit(b[0])), srgbToLinear(unit(b[1])),
                                                  srgbToLinear(unit(b[2])), unit(b[3])};
        }
    }
    return image;
}

// What a width x height level must hold in a container: rows top first, alpha 255 without alpha.
static Bytes knownBytes(int level, int width, int height, bool hasAlpha) {
    Bytes bytes;
    for (int row = 0; row < height; ++row) {
        for (int x = 0; x < width; ++x) {
            Bytes b = knownTexel(level, x, row);
            if (!hasAlpha) b[3] = 255;
            bytes.insert(bytes.end(), b.begin(), b.end());
        }
    }
    return bytes;
}

struct Size { int width, height; };

static GrowArray<EncodedLevel> knownPyramid(const std::vector<Size>& sizes, bool hasAlpha) {
    GrowArray<EncodedLevel> levels;
    resize(levels, static_cast<int32_t>(sizes.size()));
    for (size_t k = 0; k < sizes.size(); ++k) {
        encodeLevel(knownImage(static_cast<int>(k), sizes[k].width, sizes[k].height), hasAlpha, TexelEncoding::srgb, levels[k]);
    }
    return levels;
}

static const std::vector<Size> wide = {{4, 2}, {2, 1}, {1, 1}};
static const std::vector<Size> square = {{8, 8}, {4, 4}, {2, 2}, {1, 1}};
// Chains whose sides halve rounding down: 13 x 9 never exactly, 1 x 5 along its height alone.
static const std::vector<Size> odd = {{13, 9}, {6, 4}, {3, 2}, {1, 1}};
static const std::vector<Size> tall = {{1, 5}, {1, 2}, {1, 1}};

TEST(EncodeLevel, RowsGoTopFirstColoursAreSrgbAndAlphaIsLinearOrOpaque) {
    for (bool hasAlpha : {false, true}) {
        EncodedLevel level;
        encodeLevel(knownImage(0, 4, 2), hasAlpha, TexelEncoding::srgb, level);
        EXPECT_EQ(level.width, 4);
        EXPECT_EQ(level.height, 2);
        EXPECT_EQ(Bytes(level.rgba.begin(), level.rgba.end()), knownBytes(0, 4, 2, hasAlpha));
    }
    // Linear 0.5 is sRGB 188 as a colour but 128 as an alpha; out-of-range values are clamped.
    FloatImage image;
    allocateImage(image, 2, 1);
    image.texels[0] = Texel{0.5f, 2.0f, -1.0f, 0.5f};
    image.texels[1] = Texel{0.0f, 1.0f, 0.0f, 1.5f};
    EncodedLevel level;
    encodeLevel(image, true, TexelEncoding::srgb, level);
    EXPECT_EQ(Bytes(level.rgba.begin(), level.rgba.end()), (Bytes{188, 255, 0, 128, 0, 255, 0, 255}));
}

// The file layout: a 12-byte identifier, nine header words from byte 12, the index (data format descriptor
// and key/value offsets and lengths, supercompression data as two 64-bit numbers) from byte 48, and from
// byte 80 one entry of three 64-bit numbers per level: offset, length, uncompressed length.
static void expectKtx2Holds(const std::string& file, const std::vector<Size>& sizes, bool hasAlpha) {
    const size_t levelCount = sizes.size();
    ASSERT_GT(file.size(), 80 + 24 * levelCount);
    EXPECT_EQ(bytesAt(file, 0, 12), (Bytes{0xAB, 0x4B, 0x54, 0x58, 0x20, 0x32, 0x30, 0xBB, 0x0D, 0x0A, 0x1A, 0x0A}));
    EXPECT_EQ(le32(file, 12), 43u);  // VK_FORMAT_R8G8B8A8_SRGB
    EXPECT_EQ(le32(file, 16), 1u);   // typeSize
    EXPECT_EQ(le32(file, 20), static_cast<uint32_t>(sizes[0].width));
    EXPECT_EQ(le32(file, 24), static_cast<uint32_t>(sizes[0].height));
    EXPECT_EQ(le32(file, 28), 0u);  // pixelDepth
    EXPECT_EQ(le32(file, 32), 0u);  // layerCount
    EXPECT_EQ(le32(file, 36), 1u);  // faceCount
    EXPECT_EQ(le32(file, 40), levelCount);
    EXPECT_EQ(le32(file, 44), 0u);  // supercompressionScheme
    EXPECT_EQ(le64(file, 64), 0u);  // sgdByteOffset
    EXPECT_EQ(le64(file, 72), 0u);  // sgdByteLength

    // The descriptor right after the level index: its total size, then one basic block of 24 + 4 x 16 bytes.
    const uint32_t dfdAt = le32(file, 48), dfdLength = le32(file, 52);
    EXPECT_EQ(dfdAt, 80 + 24 * levelCount);
    EXPECT_EQ(dfdLength, 92u);
    ASSERT_GE(file.size(), dfdAt + 92u);
    EXPECT_EQ(le32(file, dfdAt), 92u);
    EXPECT_EQ(le32(file, dfdAt + 4), 0u);                     // vendor 0 (Khronos), descriptor type 0 (basic)
    EXPECT_EQ(le32(file, dfdAt + 8), 2u | 88u << 16);         // version 2, block size 88
    EXPECT_EQ(bytesAt(file, dfdAt + 12, 4), (Bytes{1, 1, 2, 0}));  // RGBSDA, BT.709, sRGB, straight alpha
    EXPECT_EQ(le32(file, dfdAt + 16), 0u);                    // a 1x1x1x1 block
    EXPECT_EQ(bytesAt(file, dfdAt + 20, 8), (Bytes{4, 0, 0, 0, 0, 0, 0, 0}));
    const uint8_t channelTypes[4] = {0, 1, 2, 15 | 0x10};     // R, G, B, and alpha qualified linear
    for (uint32_t k = 0; k < 4; ++k) {
        const uint32_t sample = dfdAt + 28 + 16 * k;
        EXPECT_EQ(bytesAt(file, sample, 4), (Bytes{static_cast<uint8_t>(8 * k), 0, 7, channelTypes[k]})) << k;
        EXPECT_EQ(le32(file, sample + 4), 0u);    // sample position
        EXPECT_EQ(le32(file, sample + 8), 0u);    // lower
        EXPECT_EQ(le32(file, sample + 12), 255u);  // upper
    }

    // Key/value entries in the order of their keys' bytes, each padded to 4 bytes.
    const uint32_t kvdAt = le32(file, 56), kvdLength = le32(file, 60);
    EXPECT_EQ(kvdAt, dfdAt + dfdLength);
    std::vector<std::string> entries;
    for (uint32_t at = kvdAt; at < kvdAt + kvdLength;) {
        const uint32_t length = le32(file, at);
        entries.push_back(file.substr(at + 4, length));
        at += (4 + length + 3) / 4 * 4;
        ASSERT_LE(at, kvdAt + kvdLength);
    }
    EXPECT_EQ(entries, (std::vector<std::string>{std::string("KTXorientation\0rd\0", 18),
                                                 std::string("KTXwriter\0kiv 1.2.3\0", 20)}));

    // Level images after the key/value data, smallest first, on 4-byte boundaries, holding the known bytes.
    uint64_t next = kvdAt + kvdLength;
    for (size_t i = levelCount; i-- > 0;) {
        const size_t entry = 80 + 24 * i;
        const uint64_t offset = le64(file, entry), length = le64(file, entry + 8);
        EXPECT_EQ(offset % 4, 0u) << "level " << i;
        EXPECT_GE(offset, next) << "level " << i;
        EXPECT_LT(offset, next + 4) << "level " << i;
        EXPECT_EQ(length, static_cast<uint64_t>(sizes[i].width * sizes[i].height * 4));
        EXPECT_EQ(le64(file, entry + 16), length);
        EXPECT_EQ(bytesAt(file, offset, length), knownBytes(static_cast<int>(i), sizes[i].width, sizes[i].height,
                                                             hasAlpha)) << "level " << i;
        next = offset + length;
    }
    EXPECT_EQ(next, file.size());
}

TEST(WriteKtx2, HeaderDescriptorKeyValuesAndLevelsReadBack) {
    TempDir dir;
    for (bool hasAlpha : {false, true}) {
        for (const std::vector<Size>& sizes : {wide, square, odd, tall, std::vector<Size>{{2, 2}}}) {
            const std::string path = dir.file("levels.ktx2");
            std::string error;
            ASSERT_TRUE(writeKtx2(path.c_str(), knownPyramid(sizes, hasAlpha), ContainerFormat{TexelEncoding::srgb, StoredAlpha::straight}, "kiv 1.2.3", error)) << error;
            SCOPED_TRACE(std::to_string(sizes[0].width) + "x" + std::to_string(sizes[0].height));
            expectKtx2Holds(readTextFile(path), sizes, hasAlpha);
        }
    }
    EXPECT_EQ(listFiles(dir.path), std::vector<std::string>{"levels.ktx2"});  // no temporary file left
}

// The file layout: "DDS ", a 124-byte header from byte 4 (pixel format at byte 76, caps at byte 108), the
// 20-byte extension header from byte 128 and the levels from byte 148.
TEST(WriteDds, HeadersAndLevelsLargestFirstReadBack) {
    TempDir dir;
    for (bool hasAlpha : {false, true}) {
        for (const std::vector<Size>& sizes : {wide, square, odd, tall, std::vector<Size>{{2, 2}}}) {
            SCOPED_TRACE(std::to_string(sizes[0].width) + "x" + std::to_string(sizes[0].height));
            const std::string path = dir.file("levels.dds");
            std::string error;
            ASSERT_TRUE(writeDds(path.c_str(), knownPyramid(sizes, hasAlpha), ContainerFormat{TexelEncoding::srgb, StoredAlpha::straight}, error)) << error;
            const std::string file = readTextFile(path);
            ASSERT_GE(file.size(), 148u);
            EXPECT_EQ(file.substr(0, 4), "DDS ");
            EXPECT_EQ(le32(file, 4), 124u);
            EXPECT_EQ(le32(file, 8), 0x1u | 0x2u | 0x4u | 0x8u | 0x1000u | 0x20000u);
            EXPECT_EQ(le32(file, 12), static_cast<uint32_t>(sizes[0].height));
            EXPECT_EQ(le32(file, 16), static_cast<uint32_t>(sizes[0].width));
            EXPECT_EQ(le32(file, 20), static_cast<uint32_t>(sizes[0].width * 4));  // pitch
            EXPECT_EQ(le32(file, 28), sizes.size());                               // mip map count
            EXPECT_EQ(le32(file, 76), 32u);
            EXPECT_EQ(le32(file, 80), 0x4u);  // DDPF_FOURCC
            EXPECT_EQ(file.substr(84, 4), "DX10");
            EXPECT_EQ(le32(file, 108), sizes.size() > 1 ? 0x1000u | 0x400000u | 0x8u : 0x1000u);
            EXPECT_EQ(le32(file, 128), 29u);  // DXGI_FORMAT_R8G8B8A8_UNORM_SRGB
            EXPECT_EQ(le32(file, 132), 3u);   // TEXTURE2D
            EXPECT_EQ(le32(file, 136), 0u);
            EXPECT_EQ(le32(file, 140), 1u);   // array size
            EXPECT_LE(le32(file, 144), 1u);   // alpha mode unknown or straight
            uint64_t at = 148;
            for (size_t i = 0; i < sizes.size(); ++i) {
                const uint64_t length = static_cast<uint64_t>(sizes[i].width * sizes[i].height * 4);
                EXPECT_EQ(bytesAt(file, at, length), knownBytes(static_cast<int>(i), sizes[i].width,
                                                                sizes[i].height, hasAlpha)) << "level " << i;
                at += length;
            }
            EXPECT_EQ(at, file.size());
        }
    }
}

TEST(ContainerWriters, FailuresNameTheFileAndLeaveNothingBehind) {
    TempDir dir;
    const GrowArray<EncodedLevel> levels = knownPyramid(wide, false);
    const std::string missing = dir.file("no-such-dir/levels.ktx2");
    std::string error;
    EXPECT_FALSE(writeKtx2(missing.c_str(), levels, ContainerFormat{TexelEncoding::srgb, StoredAlpha::straight}, "kiv", error));
    EXPECT_EQ(error, missing + ": cannot write the file (No such file or directory)");
    error.clear();
    EXPECT_FALSE(writeDds(missing.c_str(), levels, ContainerFormat{TexelEncoding::srgb, StoredAlpha::straight}, error));
    EXPECT_EQ(error, missing + ": cannot write the file (No such file or directory)");

    // Levels that are not a mip chain are refused before any file is made.
    GrowArray<EncodedLevel> broken = knownPyramid({{4, 2}, {2, 2}}, false);
    const std::string path = dir.file("broken.dds");
    EXPECT_FALSE(writeDds(path.c_str(), broken, ContainerFormat{TexelEncoding::srgb, StoredAlpha::straight}, error));
    EXPECT_NE(error.find(path + ": level 1 (2x2)"), std::string::npos) << error;
    broken = knownPyramid({{1, 1}, {1, 1}}, false);
    EXPECT_FALSE(writeKtx2(path.c_str(), broken, ContainerFormat{TexelEncoding::srgb, StoredAlpha::straight}, "kiv", error));
    EXPECT_TRUE(listFiles(dir.path).empty());
}

// A file size limit stands in for a full disk: the short write must be reported, the existing file kept, by the
// container writers and the PNG level writer alike.
TEST(ContainerWriters, AWriteCutShortIsReportedAndTheOldFileKept) {
    TempDir dir;
    const std::string path = dir.file("levels.ktx2"), png = dir.file("level.png");
    writeTextFile(path, "old");
    writeTextFile(png, "old level");
    const GrowArray<EncodedLevel> levels = knownPyramid(square, true);  // more than 8 x 8 x 4 bytes
    const FloatImage picture = knownImage(0, 64, 64);                   // its PNG is far above 100 bytes
    rlimit previous;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit limit = previous;
    limit.rlim_cur = 100;
    void (*handler)(int) = std::signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    std::string ktxError, ddsError;
    const bool ktxWritten = writeKtx2(path.c_str(), levels, ContainerFormat{TexelEncoding::srgb, StoredAlpha::straight}, "kiv", ktxError);
    const bool ddsWritten = writeDds(path.c_str(), levels, ContainerFormat{TexelEncoding::srgb, StoredAlpha::straight}, ddsError);
    std::string pngError;
    const bool pngWritten = saveLevelPng(png.c_str(), 32, picture, false, pngError);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &previous), 0);
    std::signal(SIGXFSZ, handler);
    EXPECT_FALSE(ktxWritten);
    EXPECT_FALSE(ddsWritten);
    EXPECT_EQ(ktxError, path + ": cannot write the file (File too large)");
    EXPECT_EQ(ddsError, ktxError);
    EXPECT_EQ(readTextFile(path), "old");
    EXPECT_FALSE(pngWritten);
    EXPECT_EQ(pngError, png + ": cannot write the image (File too large)");
    EXPECT_EQ(readTextFile(png), "old level");
    EXPECT_EQ(listFiles(dir.path), (std::vector<std::string>{"level.png", "levels.ktx2"}));
}

// The level writer's old temporary name was "<final>.partial-<pid>"; a symlink planted there (or at any name
// an attacker can guess) must be neither followed nor replaced.
TEST(ContainerWriters, APlantedSymlinkAtAPredictableNameIsNotFollowed) {
    TempDir dir;
    const std::string target = dir.file("target.txt");
    writeTextFile(target, "keep me");
    for (const char* name : {"levels.ktx2", "levels.dds", "level.png"}) {
        const std::string path = dir.file(name);
        const std::string planted = path + ".partial-" + std::to_string(getpid());
        ASSERT_EQ(symlink(target.c_str(), planted.c_str()), 0);
        std::string error;
        const std::string kind = name;
        const bool written = kind == "levels.dds"   ? writeDds(path.c_str(), knownPyramid(square, true), ContainerFormat{TexelEncoding::srgb, StoredAlpha::straight}, error)
                             : kind == "level.png" ? saveLevelPng(path.c_str(), 24, knownImage(0, 16, 16), false, error)
                                                   : writeKtx2(path.c_str(), knownPyramid(square, true), ContainerFormat{TexelEncoding::srgb, StoredAlpha::straight}, "kiv", error);
        EXPECT_TRUE(written) << error;
        struct stat info;
        ASSERT_EQ(lstat(planted.c_str(), &info), 0);
        EXPECT_TRUE(S_ISLNK(info.st_mode));
        ASSERT_EQ(lstat(path.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_GT(info.st_size, 100);
    }
    EXPECT_EQ(readTextFile(target), "keep me");
}

// The PNG files savePyramid writes and the containers' levels hold the same colours, rows flipped: the
// decoded PNG's row 0 is the bottom of the picture, the container's first row its top. Odd widths give PNG rows
// of a length that is not a multiple of 4 bytes.
TEST(ContainerWriters, LevelsAgreeWithThePngLevelWriter) {
    for (const std::vector<Size>& sizes : {wide, odd}) {
        SCOPED_TRACE(std::to_string(sizes[0].width) + "x" + std::to_string(sizes[0].height));
        TempDir dir;
        MipPyramid pyramid;
        for (size_t k = 0; k < sizes.size(); ++k) {
            append(pyramid.levels, knownImage(static_cast<int>(k), sizes[k].width, sizes[k].height));
        }
        GrowArray<std::string> errors;
        ASSERT_TRUE(savePyramid(pyramid, dir.path, "box", false, TexelEncoding::srgb, errors));
        EXPECT_EQ(listFiles(dir.path).size(), sizes.size());
        for (int32_t k = 0; k < pyramid.levels.count; ++k) {
            EncodedLevel level;
            encodeLevel(pyramid.levels[k], false, TexelEncoding::srgb, level);
            const DecodedImage png = readImageFile(dir.file("mip_" + std::to_string(k) + "_box.png"));
            ASSERT_EQ(png.width, level.width);
            ASSERT_EQ(png.height, level.height);
            for (int row = 0; row < level.height; ++row) {
                for (int x = 0; x < level.width; ++x) {
                    const size_t fromPng = 3 * static_cast<size_t>((level.height - 1 - row) * level.width + x);
                    const uint8_t* texel = level.rgba.items + 4 * (row * level.width + x);
                    EXPECT_EQ(Bytes(png.rgb.begin() + fromPng, png.rgb.begin() + fromPng + 3), Bytes(texel, texel + 3))
                        << "level " << k << " x " << x << " row " << row;
                }
            }
        }
    }
}
