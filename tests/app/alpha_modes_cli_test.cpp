// --alpha and --alpha-output end to end: premultiplied filtering keeps transparent texels' colour out of coarser
// levels (no halo), premultiplied levels are marked so in both containers, an opaque texture is written and marked
// opaque whatever its file's channels, and coverage filtering keeps the share an alpha test passes, over the texture
// for the classic filters and over the model's surface for the mapping-aware ones. Coverage is measured here from
// the written bytes, with the weights worked out by hand for the models used.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "container_levels.h"
#include "gltf_writer.h"
#include "test_support.h"

namespace {

std::string levelFile(const std::string& folder, int k, const std::string& filter) {
    return folder + "/mip_" + std::to_string(k) + "_" + filter + ".png";
}

CommandResult runOk(const TempDir& dir, const std::vector<std::string>& arguments) {
    const CommandResult result = runKiv(dir.path, arguments);
    EXPECT_FALSE(result.timedOut || result.signalled) << result.output;
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    return result;
}

// An RGBA PNG of width x height from a function of the texel (x, y counted from the top left) giving r, g, b, a.
template <typename Texel>
void writeRgba(const std::string& path, int width, int height, Texel texel) {
    std::vector<unsigned char> samples;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::vector<unsigned char> t = texel(x, y);
            samples.insert(samples.end(), t.begin(), t.end());
        }
    }
    writePngFile(path, width, height, 8, pngRgba, samples);
}

// Opaque white and fully transparent magenta in a checkerboard: straight filtering bleeds the magenta into every
// coarser level.
std::vector<unsigned char> checker(int x, int y) {
    return (x + y) % 2 == 0 ? std::vector<unsigned char>{255, 255, 255, 255} : std::vector<unsigned char>{255, 0, 255, 0};
}

TEST(AlphaModes, PremultipliedFilteringLeavesNoHaloAndKeepsLevelZero) {
    TempDir dir;
    writeTextFile(dir.file("square.obj"), unitSquareObj());
    writeRgba(dir.file("leaves.png"), 16, 16, checker);
    const std::vector<std::string> filters = {"box", "tent", "lanczos3", "kivbox", "boxig", "kivbi", "kivtri"};
    std::vector<std::string> arguments = {"--alpha", "premultiplied", "-o", "pm", "square.obj", "leaves.png"};
    arguments.insert(arguments.end(), filters.begin(), filters.end());
    runOk(dir, arguments);
    runOk(dir, {"-o", "straight", "square.obj", "leaves.png", "box"});

    // Straight filtering: the grey-pink halo of the transparent colour.
    const DecodedImage straight = readImageFile(levelFile(dir.file("straight"), 1, "box"));
    ASSERT_EQ(straight.alpha.size(), 64u);
    EXPECT_EQ(straight.rgb[1], 188);

    const DecodedImage original = readImageFile(dir.file("leaves.png"));
    for (const std::string& filter : filters) {
        SCOPED_TRACE(filter);
        // Level 0 is the texture as read, transparent colour included.
        const DecodedImage level0 = readImageFile(levelFile(dir.file("pm"), 0, filter));
        EXPECT_EQ(level0.rgb, original.rgb);
        EXPECT_EQ(level0.alpha, original.alpha);
        for (int k = 1; k <= 4; ++k) {
            const DecodedImage level = readImageFile(levelFile(dir.file("pm"), k, filter));
            ASSERT_FALSE(level.alpha.empty()) << k;
            for (size_t j = 0; j < level.alpha.size(); ++j) {
                // Half covered everywhere; the colour is the opaque texels' white, without a trace of magenta.
                EXPECT_NEAR(level.alpha[j], 128, 2) << k;
                for (int c = 0; c < 3; ++c) EXPECT_GE(level.rgb[3 * j + c], 253) << k << " " << j;
            }
        }
    }
}

TEST(AlphaModes, PremultipliedLevelsAreStoredAndMarkedPremultiplied) {
    TempDir dir;
    writeTextFile(dir.file("square.obj"), unitSquareObj());
    writeRgba(dir.file("leaves.png"), 16, 16, checker);
    runOk(dir, {"--alpha", "premultiplied", "--alpha-output", "premultiplied", "--format", "png,ktx2,dds",
                "square.obj", "leaves.png", "box"});
    runOk(dir, {"--format", "ktx2,dds", "-o", "straight", "square.obj", "leaves.png", "box"});

    // White at half coverage, premultiplied in linear light: sRGB 188 beside alpha 128.
    const DecodedImage png = readImageFile(levelFile(dir.path, 1, "box"));
    ASSERT_EQ(png.alpha.size(), 64u);
    for (size_t j = 0; j < 64; ++j) {
        EXPECT_EQ(png.rgb[3 * j], 188);
        EXPECT_EQ(png.rgb[3 * j + 1], 188);
        EXPECT_EQ(png.alpha[j], 128);
    }
    const std::string ktx2 = readTextFile(dir.file("mip_box.ktx2")), dds = readTextFile(dir.file("mip_box.dds"));
    containers::Header header;
    const std::vector<containers::Level> ktxLevels = containers::ktx2Levels(ktx2, header);
    const std::vector<containers::Level> ddsLevels = containers::ddsLevels(dds, header);
    ASSERT_GE(ktxLevels.size(), 2u);
    ASSERT_GE(ddsLevels.size(), 2u);
    EXPECT_EQ(ktxLevels[1], containers::asContainerLevel(png));
    EXPECT_EQ(ddsLevels[1], containers::asContainerLevel(png));
    // The DFD's flags byte (the fourth of its third word, 8 bytes into the descriptor) and DDS's alpha mode.
    const uint32_t descriptor = containers::little32(ktx2, 48);
    EXPECT_EQ(static_cast<unsigned char>(ktx2[descriptor + 4 + 8 + 3]), 1);
    EXPECT_EQ(containers::little32(dds, 144), 2u);
    // Straight alpha says so.
    const std::string straightKtx2 = readTextFile(dir.file("straight/mip_box.ktx2"));
    EXPECT_EQ(static_cast<unsigned char>(straightKtx2[containers::little32(straightKtx2, 48) + 4 + 8 + 3]), 0);
    EXPECT_EQ(containers::little32(readTextFile(dir.file("straight/mip_box.dds")), 144), 1u);
    EXPECT_EQ(straightKtx2.find("KTXswizzle"), std::string::npos);
}

TEST(AlphaModes, AnOpaqueTextureIsWrittenAndMarkedOpaque) {
    TempDir dir;
    // A model that leaves most of the texture unused, where the least-squares filters would drive alpha to 0.
    writeTextFile(dir.file("corner.obj"),
                  "v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0.1 0.1\nvt 0.4 0.1\nvt 0.1 0.4\nf 1/1 2/2 3/3\n");
    writeRgba(dir.file("rgba.png"), 32, 32, [](int x, int y) {
        return std::vector<unsigned char>{static_cast<unsigned char>(8 * x), static_cast<unsigned char>(8 * y), 90, 255};
    });
    const std::vector<std::string> filters = {"kivbi", "kivbic", "kivtri", "kivbox", "boxig", "lanczos3"};
    std::vector<std::string> arguments = {"--format", "png,ktx2,dds", "corner.obj", "rgba.png"};
    arguments.insert(arguments.end(), filters.begin(), filters.end());
    runOk(dir, arguments);
    for (const std::string& filter : filters) {
        SCOPED_TRACE(filter);
        for (int k = 0; k <= 5; ++k) {
            const DecodedImage level = readImageFile(levelFile(dir.path, k, filter));
            ASSERT_FALSE(level.alpha.empty()) << "the RGBA texture's levels keep four channels";
            EXPECT_TRUE(std::all_of(level.alpha.begin(), level.alpha.end(), [](unsigned char a) { return a == 255; }))
                << "level " << k;
        }
        const std::string ktx2 = readTextFile(dir.file("mip_" + filter + ".ktx2"));
        EXPECT_NE(ktx2.find(std::string("KTXswizzle\0rgb1", 15)), std::string::npos);
        EXPECT_EQ(containers::little32(readTextFile(dir.file("mip_" + filter + ".dds")), 144), 3u);
    }
    // A texture without alpha is opaque too.
    writeImageFile(dir.file("rgb.png"), imageFromBytes(4, 4, std::vector<unsigned char>(48, 100)));
    runOk(dir, {"--format", "dds", "-o", "rgb", "corner.obj", "rgb.png", "box"});
    EXPECT_EQ(containers::little32(readTextFile(dir.file("rgb/mip_box.dds")), 144), 3u);
}

// Foliage: round leaves of full alpha with a soft edge, of radii from `smallest` to 3 texels more, over the whole of
// a side x side texture, or over its left half with `rightHalf` alpha on the right half.
std::vector<unsigned char> foliageTexture(int side, double rightHalf, double smallest) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> along(0, 1);
    const double reach = rightHalf >= 0 ? side / 2 : side;
    std::vector<std::array<double, 3>> leaves;
    for (int k = 0; k < 800 * reach / side / smallest; ++k) {
        leaves.push_back({along(random) * reach, along(random) * side, smallest + 3 * along(random)});
    }
    std::vector<unsigned char> rgba;
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            double a = 0;
            for (const auto& leaf : leaves) {
                const double distance = std::hypot(x + 0.5 - leaf[0], y + 0.5 - leaf[1]);
                a = std::max(a, std::min(1.0, std::max(0.0, leaf[2] - distance)));
            }
            if (x >= reach) a = rightHalf;
            rgba.insert(rgba.end(), {40, 120, 30, static_cast<unsigned char>(std::lround(255 * a))});
        }
    }
    return rgba;
}

void writeFoliage(const std::string& path, int side, double rightHalf, double smallest) {
    const std::vector<unsigned char> foliage = foliageTexture(side, rightHalf, smallest);
    writeRgba(path, side, side, [&](int x, int y) {
        const unsigned char* t = foliage.data() + 4 * (y * side + x);
        return std::vector<unsigned char>(t, t + 4);
    });
}

// The share of the texels in columns [first, last) whose alpha passes a test at 0.5.
double coverage(const DecodedImage& level, int width, int first, int last) {
    int kept = 0, count = 0;
    for (size_t j = 0; j < level.alpha.size(); ++j) {
        const int x = static_cast<int>(j % width);
        if (x < first || x >= last) continue;
        ++count;
        kept += level.alpha[j] >= 128;
    }
    return count > 0 ? double(kept) / count : 0.0;
}

TEST(AlphaModes, CoverageKeepsTheShareAnAlphaTestPasses) {
    TempDir dir;
    const int side = 256;
    writeFoliage(dir.file("foliage.png"), side, -1, 4);
    // The classic filters measure over the whole texture: every level within 1 % of level 0, as far as the level's
    // texels allow (one texel's share at the coarsest).
    writeTextFile(dir.file("square.obj"), unitSquareObj());
    runOk(dir, {"--alpha", "coverage", "-o", "kept", "square.obj", "foliage.png", "box", "lanczos3"});
    runOk(dir, {"-o", "plain", "square.obj", "foliage.png", "box"});
    double plainDrift = 0;
    for (const std::string filter : {"box", "lanczos3"}) {
        const double level0 = coverage(readImageFile(levelFile(dir.file("kept"), 0, filter)), side, 0, side);
        for (int k = 1; k <= 8; ++k) {
            const int width = side >> k;
            const double kept = coverage(readImageFile(levelFile(dir.file("kept"), k, filter)), width, 0, width);
            EXPECT_NEAR(kept, level0, std::max(0.01, 1.0 / (width * width))) << filter << " level " << k;
            if (filter == std::string("box")) {
                const double plain = coverage(readImageFile(levelFile(dir.file("plain"), k, filter)), width, 0, width);
                plainDrift = std::max(plainDrift, std::fabs(plain - level0));
            }
        }
    }
    EXPECT_GT(plainDrift, 0.03) << "straight filtering should thin the foliage out, or the test shows nothing";

    // A model that reads only the left half: the mapping-aware filters keep the coverage of that half. The unread
    // right half is opaque: a measure over the whole texture would count it at level 0, where the coarser levels of
    // these filters spend nothing on it. The leaves are small, so that straight levels lose much of their coverage.
    writeFoliage(dir.file("half.png"), side, 1.0, 1);
    writeTextFile(dir.file("left.obj"), "v 0 0 0\nv 1 0 0\nv 1 2 0\nv 0 2 0\nvt 0 0\nvt 0.5 0\nvt 0.5 1\nvt 0 1\n"
                                         "f 1/1 2/2 3/3 4/4\n");
    runOk(dir, {"--alpha", "coverage=0.5", "-o", "left", "left.obj", "half.png", "kivbox", "boxig", "kivbi"});
    for (const std::string filter : {"kivbox", "boxig", "kivbi"}) {
        // The columns whose tents lie inside the left half, where the surface reads every texel alike.
        const double level0 = coverage(readImageFile(levelFile(dir.file("left"), 0, filter)), side, 1, side / 2 - 1);
        for (int k = 1; k <= 3; ++k) {
            const int width = side >> k;
            const double kept =
                coverage(readImageFile(levelFile(dir.file("left"), k, filter)), width, 1, width / 2 - 1);
            EXPECT_NEAR(kept, level0, 0.02) << filter << " level " << k;
        }
    }
}

TEST(AlphaModes, OnlyColourMapsOfAModelTakeTheAlphaMode) {
    TempDir dir;
    writeRgba(dir.file("paint.png"), 16, 16, checker);
    writeRgba(dir.file("metal.png"), 16, 16, checker);
    GltfModel model = squareGltf("paint.png");
    model.images.push_back("metal.png");
    model.materials[0].metallicRoughnessImage = 1;
    writeGltf(dir.file("square.gltf"), model, GltfForm::separate);
    runOk(dir, {"--from-model", "--alpha", "premultiplied", "square.gltf", "box"});
    // The base colour's alpha is opacity: premultiplied, no halo. The metallic-roughness map's alpha is data of its
    // own: filtered as it is.
    EXPECT_EQ(readImageFile(levelFile(dir.file("paint"), 1, "box")).rgb[1], 255);
    EXPECT_EQ(readImageFile(levelFile(dir.file("metal"), 1, "box")).rgb[1], 128);
}

TEST(AlphaModes, OptionLinesThatMeanNothingAreRefused) {
    TempDir dir;
    copySample(dir);
    const std::vector<std::vector<std::string>> refused = {
        {"--alpha-output", "premultiplied"},
        {"--alpha", "coverage", "--alpha-output", "premultiplied"},
        {"--alpha", "premultiplied", "--normal-map"},
        {"--alpha", "coverage=0"},
        {"--alpha", "coverage=1.5"},
        {"--alpha", "coverage=half"},
        {"--alpha", "coverage=0.5x"},
        {"--alpha", "premultiply"},
        {"--alpha-output", "straight", "--alpha-output", "premultiplied"},
        {"--alpha"},
    };
    for (std::vector<std::string> arguments : refused) {
        arguments.insert(arguments.begin(), {"sample.obj", "sample.png"});
        std::string line;
        for (const std::string& argument : arguments) line += argument + " ";
        const CommandResult result = runKiv(dir.path, arguments);
        EXPECT_EQ(result.exitStatus, 2) << line << result.output;  // a usage error
        EXPECT_EQ(result.output.rfind("Error: --alpha", 0), 0u) << line << result.output;
        EXPECT_FALSE(fileExists(dir.file("mip_0_kivbi.png"))) << line;
    }
}

}  // namespace
