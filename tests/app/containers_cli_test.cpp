// Every output format of one run holds the same levels: the KTX2 and DDS files, read with a parser written here
// from the published layouts, against the PNG levels of the same run; and alpha kept end to end.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "container_levels.h"
#include "test_support.h"

namespace {

using containers::asContainerLevel;
using containers::Header;
using containers::Level;

TEST(Containers, KtxAndDdsHoldThePngLevelsByteForByteWithAlpha) {
    TempDir dir;
    writeTextFile(dir.file("model.obj"), unitSquareObj());
    // 16 x 8 with alpha: every filter's levels, the least-squares ones included, go down to 1 x 1 through 2 x 1,
    // where the shorter side stops halving before the longer one.
    std::mt19937 random(3);
    std::vector<unsigned char> samples(16 * 8 * 4);
    for (unsigned char& sample : samples) sample = static_cast<unsigned char>(random() % 256);
    writePngFile(dir.file("texture.png"), 16, 8, 8, pngRgba, samples);
    const CommandResult run =
        runKiv(dir.path, {"--format", "png,ktx2,dds", "-o", "out", "model.obj", "texture.png", "box", "tent", "kivbi",
                          "kivtri"});
    ASSERT_EQ(run.exitStatus, 0) << run.output;
    const int sides[5][2] = {{16, 8}, {8, 4}, {4, 2}, {2, 1}, {1, 1}};
    for (const std::string filter : {"box", "tent", "kivbi", "kivtri"}) {
        SCOPED_TRACE(filter);
        std::vector<Level> pngs;
        for (int k = 0; k < 5; ++k) {
            const DecodedImage png = readImageFile(dir.file("out/mip_" + std::to_string(k) + "_" + filter + ".png"));
            ASSERT_EQ(png.width, sides[k][0]) << k;
            ASSERT_EQ(png.height, sides[k][1]) << k;
            ASSERT_TRUE(png.hasAlpha);
            pngs.push_back(asContainerLevel(png));
        }
        EXPECT_FALSE(fileExists(dir.file("out/mip_5_" + filter + ".png")));
        const std::string stem = dir.file("out/mip_" + filter);
        Header ktx2Header, ddsHeader;
        const std::vector<Level> ktx2 = containers::ktx2Levels(readTextFile(stem + ".ktx2"), ktx2Header);
        const std::vector<Level> dds = containers::ddsLevels(readTextFile(stem + ".dds"), ddsHeader);
        EXPECT_EQ(ktx2Header.format, 43u);  // VK_FORMAT_R8G8B8A8_SRGB
        EXPECT_EQ(ddsHeader.format, 29u);   // DXGI_FORMAT_R8G8B8A8_UNORM_SRGB
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
    Header header;
    const std::vector<Level> levels = containers::ktx2Levels(readTextFile(dir.file("mip_kivbi.ktx2")), header);
    ASSERT_EQ(levels.size(), 3u);
    for (const Level& level : levels) {
        for (size_t i = 3; i < level.size(); i += 4) EXPECT_EQ(level[i], 255);
    }
    EXPECT_FALSE(fileExists(dir.file("mip_kivbi.dds")));
}

}  // namespace
