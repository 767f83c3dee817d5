// Every output format of one run holds the same levels: the KTX2 and DDS files, read with a parser written here
// from the published layouts, against the PNG levels of the same run; and alpha kept end to end.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

uint32_t little32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (int k = 3; k >= 0; --k) value = value << 8 | static_cast<unsigned char>(bytes[at + k]);
    return value;
}

uint64_t little64(const std::string& bytes, size_t at) {
    return static_cast<uint64_t>(little32(bytes, at + 4)) << 32 | little32(bytes, at);
}

// One level's RGBA bytes, top row first, as both containers store them.
using Level = std::vector<unsigned char>;

// KTX 2.0: the level index follows the 80-byte header, three uint64 per level (offset, length, uncompressed
// length), level 0 first.
std::vector<Level> ktx2Levels(const std::string& file, uint32_t& vkFormat) {
    vkFormat = little32(file, 12);
    const uint32_t levelCount = little32(file, 40);
    std::vector<Level> levels;
    for (uint32_t k = 0; k < levelCount; ++k) {
        const uint64_t offset = little64(file, 80 + 24 * k), length = little64(file, 88 + 24 * k);
        levels.emplace_back(file.begin() + static_cast<long>(offset), file.begin() + static_cast<long>(offset + length));
    }
    return levels;
}

// DDS with the DX10 header: magic, 124-byte header (height at 12, width at 16, mip count at 28), 20-byte DX10
// header (DXGI format first), then the levels largest first, packed.
std::vector<Level> ddsLevels(const std::string& file, uint32_t& dxgiFormat) {
    const uint32_t height = little32(file, 12), width = little32(file, 16), count = little32(file, 28);
    dxgiFormat = little32(file, 128);
    std::vector<Level> levels;
    size_t at = 148;
    for (uint32_t k = 0; k < count; ++k) {
        const size_t size = size_t{std::max(1u, width >> k)} * std::max(1u, height >> k) * 4;
        levels.emplace_back(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at + size));
        at += size;
    }
    EXPECT_EQ(at, file.size());
    return levels;
}

// A PNG level as the containers lay it out: rows top first, alpha 255 when the file has none.
Level asContainerLevel(const DecodedImage& png) {
    Level level;
    for (int y = png.height - 1; y >= 0; --y) {
        for (int x = 0; x < png.width; ++x) {
            const int i = y * png.width + x;
            for (int c = 0; c < 3; ++c) level.push_back(png.rgb[3 * i + c]);
            level.push_back(png.hasAlpha ? png.alpha[i] : 255);
        }
    }
    return level;
}

TEST(Containers, KtxAndDdsHoldThePngLevelsByteForByteWithAlpha) {
    TempDir dir;
    writeTextFile(dir.file("model.obj"), unitSquareObj());
    // 16 x 8 with alpha: every filter's levels, the least-squares ones included, go down to 2 x 1 (a side of 0
    // after that writes nothing).
    std::mt19937 random(3);
    std::vector<unsigned char> samples(16 * 8 * 4);
    for (unsigned char& sample : samples) sample = static_cast<unsigned char>(random() % 256);
    writePngFile(dir.file("texture.png"), 16, 8, 8, pngRgba, samples);
    const CommandResult run =
        runKiv(dir.path, {"--format", "png,ktx2,dds", "-o", "out", "model.obj", "texture.png", "box", "tent", "kivbi",
                          "kivtri"});
    ASSERT_EQ(run.exitStatus, 0) << run.output;
    for (const std::string filter : {"box", "tent", "kivbi", "kivtri"}) {
        SCOPED_TRACE(filter);
        std::vector<Level> pngs;
        for (int k = 0; k < 4; ++k) {
            const DecodedImage png = readImageFile(dir.file("out/mip_" + std::to_string(k) + "_" + filter + ".png"));
            ASSERT_EQ(png.width, 16 >> k);
            ASSERT_TRUE(png.hasAlpha);
            pngs.push_back(asContainerLevel(png));
        }
        EXPECT_FALSE(fileExists(dir.file("out/mip_4_" + filter + ".png")));
        uint32_t vkFormat = 0, dxgiFormat = 0;
        const std::vector<Level> ktx2 = ktx2Levels(readTextFile(dir.file("out/mip_" + filter + ".ktx2")), vkFormat);
        const std::vector<Level> dds = ddsLevels(readTextFile(dir.file("out/mip_" + filter + ".dds")), dxgiFormat);
        EXPECT_EQ(vkFormat, 43u);    // VK_FORMAT_R8G8B8A8_SRGB
        EXPECT_EQ(dxgiFormat, 29u);  // DXGI_FORMAT_R8G8B8A8_UNORM_SRGB
        EXPECT_EQ(ktx2, pngs);
        EXPECT_EQ(dds, pngs);
    }
    // Level 0 is the texture itself, alpha included; box's level 1 alpha is the mean of four (linear) alphas.
    const Level& level0 = asContainerLevel(readImageFile(dir.file("out/mip_0_box.png")));
    EXPECT_EQ(level0, samples);
    const Level level1 = asContainerLevel(readImageFile(dir.file("out/mip_1_box.png")));
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 8; ++x) {
            double sum = 0;
            for (int d = 0; d < 4; ++d) sum += samples[4 * ((2 * y + d / 2) * 16 + 2 * x + d % 2) + 3];
            EXPECT_NEAR(level1[4 * (y * 8 + x) + 3], sum / 4, 0.5 + 1e-9) << x << ", " << y;
        }
    }
}

TEST(Containers, ATextureWithoutAlphaGivesOpaqueLevels) {
    TempDir dir;
    writeTextFile(dir.file("model.obj"), unitSquareObj());
    writeImageFile(dir.file("texture.png"), imageFromBytes(4, 4, std::vector<unsigned char>(48, 200)));
    const CommandResult run = runKiv(dir.path, {"--format", "ktx2,png", "model.obj", "texture.png", "kivbi"});
    ASSERT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_FALSE(readImageFile(dir.file("mip_1_kivbi.png")).hasAlpha);
    uint32_t vkFormat = 0;
    const std::vector<Level> levels = ktx2Levels(readTextFile(dir.file("mip_kivbi.ktx2")), vkFormat);
    ASSERT_EQ(levels.size(), 3u);
    for (const Level& level : levels) {
        for (size_t i = 3; i < level.size(); i += 4) EXPECT_EQ(level[i], 255);
    }
    EXPECT_FALSE(fileExists(dir.file("mip_kivbi.dds")));
}

}  // namespace
