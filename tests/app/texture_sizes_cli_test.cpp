// Textures of every size end to end: each chain halves the longer side down to 1 x 1 (a side stops at 1), and the
// console, the PNG files and the KTX2 and DDS containers agree on it; every filter runs on odd sides; a power-of-two
// rectangle gives the levels of the square it repeats.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "container_levels.h"
#include "test_support.h"

namespace {

using containers::Header;
using containers::Level;

const std::vector<std::string> everyFilter = {"kivtri",   "kivtric", "kivbi", "kivbic", "kivbox",
                                              "lanczos3", "tent",    "box",   "boxig",  "rainbow"};

struct Side {
    int width, height;
};

std::string sizeName(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

std::string levelFile(const std::string& folder, int k, const std::string& filter) {
    return folder + "/mip_" + std::to_string(k) + "_" + filter + ".png";
}

// The level files of `folder` (not the containers or the report).
std::vector<std::string> pngFiles(const std::string& folder) {
    std::vector<std::string> names;
    for (const std::string& name : listFiles(folder)) {
        if (name.rfind("mip_", 0) == 0 && name.size() > 4 && name.compare(name.size() - 4, 4, ".png") == 0) {
            names.push_back(name);
        }
    }
    return names;
}

CommandResult runOk(const TempDir& dir, const std::vector<std::string>& arguments) {
    const CommandResult result = runKiv(dir.path, arguments, 300);
    EXPECT_FALSE(result.timedOut || result.signalled) << result.output;
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    return result;
}

// The largest difference between the bytes of two decoded levels of the same size (256 when the sizes differ).
int largestGap(const DecodedImage& a, const DecodedImage& b) {
    if (a.width != b.width || a.height != b.height || a.rgb.size() != b.rgb.size() || a.rgb.empty()) return 256;
    int gap = 0;
    for (size_t k = 0; k < a.rgb.size(); ++k) gap = std::max(gap, std::abs(a.rgb[k] - b.rgb[k]));
    return gap;
}

// The PNG levels of `filter` in `folder` are `sides`, none after them, and its KTX2 and DDS files say so in their
// headers and hold the same bytes.
void expectOneChainInEveryFile(const std::string& folder, const std::string& filter, const std::vector<Side>& sides) {
    SCOPED_TRACE(filter);
    EXPECT_FALSE(fileExists(levelFile(folder, static_cast<int>(sides.size()), filter))) << "a level past 1 x 1";
    std::vector<Level> pngs;
    for (size_t k = 0; k < sides.size(); ++k) {
        const DecodedImage png = readImageFile(levelFile(folder, static_cast<int>(k), filter));
        ASSERT_EQ(png.width, sides[k].width) << "level " << k;
        ASSERT_EQ(png.height, sides[k].height) << "level " << k;
        pngs.push_back(containers::asContainerLevel(png));
    }
    const std::string stem = folder + "/mip_" + filter;
    Header ktx2Header, ddsHeader;
    const std::vector<Level> ktx2 = containers::ktx2Levels(readTextFile(stem + ".ktx2"), ktx2Header);
    const std::vector<Level> dds = containers::ddsLevels(readTextFile(stem + ".dds"), ddsHeader);
    for (const Header& header : {ktx2Header, ddsHeader}) {
        EXPECT_EQ(header.width, static_cast<uint32_t>(sides[0].width));
        EXPECT_EQ(header.height, static_cast<uint32_t>(sides[0].height));
        EXPECT_EQ(header.levelCount, sides.size());
    }
    ASSERT_EQ(ktx2.size(), sides.size());
    for (size_t k = 0; k < sides.size(); ++k) {
        EXPECT_EQ(ktx2[k].size(), 4u * sides[k].width * sides[k].height) << "level " << k;
    }
    EXPECT_TRUE(ktx2 == pngs) << "the KTX2 levels differ from the PNG files";
    EXPECT_TRUE(dds == pngs) << "the DDS levels differ from the PNG files";
}

// The chain halves the longer side down to 1, rounding down, while the shorter one stays at 1 once there: 512 x 256
// ends 2 x 1, 1 x 1; 211 goes 105, 52, 26, 13, 6, 3, 1. The least-squares filter and the box filter write the same
// chain, and the console line, the PNG files, and the KTX2 and DDS headers and levels agree on it.
TEST(TextureSizes, EveryChainEndsAtOneTexelAndEveryOutputAgrees) {
    struct Case {
        int width, height;
        std::vector<int> longer;  // the longer side of each level, by hand
    };
    const Case cases[] = {{512, 256, {512, 256, 128, 64, 32, 16, 8, 4, 2, 1}},
                          {1, 8, {8, 4, 2, 1}},
                          {2, 1, {2, 1}},
                          {211, 211, {211, 105, 52, 26, 13, 6, 3, 1}},
                          {768, 768, {768, 384, 192, 96, 48, 24, 12, 6, 3, 1}}};
    for (const Case& c : cases) {
        const std::string size = sizeName(c.width, c.height);
        SCOPED_TRACE(size);
        TempDir dir;
        writeTextFile(dir.file("model.obj"), unitSquareObj());
        writeImageFile(dir.file("texture.png"),
                       imageFromBytes(c.width, c.height, randomBytes(3u * c.width * c.height, c.width)));
        const CommandResult result =
            runOk(dir, {"--format", "png,ktx2,dds", "-o", "out", "model.obj", "texture.png", "box", "kivbi"});
        const std::vector<std::string> lines = outputLines(result.output);
        ASSERT_GE(lines.size(), 2u) << result.output;
        EXPECT_EQ(lines[1], "Image is " + size + " with " + std::to_string(c.longer.size()) + " mip levels.");
        std::vector<Side> sides;
        for (size_t k = 0; k < c.longer.size(); ++k) {
            const int shorter = std::max(1, std::min(c.width, c.height) >> k);
            sides.push_back(c.width >= c.height ? Side{c.longer[k], shorter} : Side{shorter, c.longer[k]});
        }
        EXPECT_EQ(pngFiles(dir.file("out")).size(), 2 * sides.size());
        for (const char* filter : {"box", "kivbi"}) expectOneChainInEveryFile(dir.file("out"), filter, sides);
    }
}

// Every filter on sides that never halve exactly (13 x 9: 6 x 4, 3 x 2, 1 x 1) with alpha, with the report and every
// container: each writes its four levels, alpha kept, into every container, one report row per level; the two
// solvers of the least-squares filters give the same levels within a byte.
TEST(TextureSizes, EveryFilterRunsOnOddSidesWithTheReportAndEveryContainer) {
    TempDir dir;
    writeTextFile(dir.file("model.obj"), unitSquareObj());
    writePngFile(dir.file("texture.png"), 13, 9, 8, pngRgba, randomBytes(13 * 9 * 4, 7));
    std::vector<std::string> arguments = {"--report", "--format", "png,ktx2,dds", "-o", "out", "model.obj",
                                          "texture.png"};
    arguments.insert(arguments.end(), everyFilter.begin(), everyFilter.end());
    const CommandResult result = runOk(dir, arguments);
    EXPECT_NE(result.output.find("Image is 13x9 with 4 mip levels.\n"), std::string::npos) << result.output;
    const std::vector<Side> sides = {{13, 9}, {6, 4}, {3, 2}, {1, 1}};
    for (const std::string& filter : everyFilter) {
        expectOneChainInEveryFile(dir.file("out"), filter, sides);
        for (int k = 0; k < 4; ++k) {
            EXPECT_TRUE(readImageFile(levelFile(dir.file("out"), k, filter)).hasAlpha) << filter << " level " << k;
        }
    }
    EXPECT_EQ(outputLines(readTextFile(dir.file("out/report.csv"))).size(), 1 + 4 * everyFilter.size());
    EXPECT_EQ(listFiles(dir.file("out")).size(), 6 * everyFilter.size() + 1);

    const std::vector<std::string> leastSquares = {"kivtri", "kivtric", "kivbi", "kivbic"};
    arguments = {"--solver", "direct", "-o", "direct", "model.obj", "texture.png"};
    arguments.insert(arguments.end(), leastSquares.begin(), leastSquares.end());
    runOk(dir, arguments);
    for (const std::string& filter : leastSquares) {
        for (int k = 1; k < 4; ++k) {
            EXPECT_LE(largestGap(readImageFile(levelFile(dir.file("out"), k, filter)),
                                 readImageFile(levelFile(dir.file("direct"), k, filter))),
                      1)
                << filter << " level " << k;
        }
    }
}

// A constant texture stays constant, within a byte, in every level of every filter but the rainbow, whatever the
// sides: the box weights of each texel add up to 1, the stretched kernels are divided by their sum, and the tents of
// every level add up to 1, so the least-squares levels reproduce the colour too.
TEST(TextureSizes, AConstantTextureStaysConstantInEveryLevelOfOddSides) {
    const std::vector<unsigned char> colour = {200, 120, 40};
    struct Case {
        int width, height, levels;
    };
    for (const Case& side : {Case{13, 9, 4}, Case{1, 5, 3}, Case{6, 3, 3}}) {
        const std::string size = sizeName(side.width, side.height);
        SCOPED_TRACE(size);
        TempDir dir;
        writeTextFile(dir.file("model.obj"), unitSquareObj());
        std::vector<unsigned char> bytes;
        for (int k = 0; k < side.width * side.height; ++k) bytes.insert(bytes.end(), colour.begin(), colour.end());
        writeImageFile(dir.file("texture.png"), imageFromBytes(side.width, side.height, bytes));
        std::vector<std::string> arguments = {"-o", "out", "model.obj", "texture.png"};
        arguments.insert(arguments.end(), everyFilter.begin(), everyFilter.end() - 1);
        runOk(dir, arguments);
        const int levels = side.levels;
        EXPECT_EQ(pngFiles(dir.file("out")).size(), static_cast<size_t>(levels) * (everyFilter.size() - 1));
        for (size_t f = 0; f + 1 < everyFilter.size(); ++f) {
            for (int k = 0; k < levels; ++k) {
                const DecodedImage level = readImageFile(levelFile(dir.file("out"), k, everyFilter[f]));
                ASSERT_FALSE(level.rgb.empty()) << everyFilter[f] << " level " << k;
                int gap = 0;
                for (size_t i = 0; i < level.rgb.size(); ++i) {
                    gap = std::max(gap, std::abs(level.rgb[i] - colour[i % 3]));
                }
                EXPECT_LE(gap, 1) << everyFilter[f] << " level " << k;
            }
        }
    }
}

// A power-of-two rectangle of four copies of a square tile, mapped once onto the unit square, is the tile's own
// problem four times over: the textures repeat, as do the wrapping kernels and tents, and every texel of either
// covers the same share of its surface. So its levels, until the shorter side reaches 1, are four copies of the
// tile's levels, and the two after that repeat the tile's single texel. The square's levels come from the quadtree of
// square textures; the rectangle's from its own grids and, past the shorter side, from the levels that end the chain.
// Within a byte: the least-squares systems weigh their regularisation against the longer side.
TEST(TextureSizes, APowerOfTwoRectangleGivesTheLevelsOfTheSquareItRepeats) {
    TempDir dir;
    writeTextFile(dir.file("model.obj"), unitSquareObj());
    const int tile = 16;
    const std::vector<unsigned char> tileBytes = randomBytes(3 * tile * tile, 11);
    writeImageFile(dir.file("tile.png"), imageFromBytes(tile, tile, tileBytes));
    std::vector<std::string> arguments = {"-o", "tile", "model.obj", "tile.png"};
    arguments.insert(arguments.end(), everyFilter.begin(), everyFilter.end());
    runOk(dir, arguments);
    for (const bool wide : {true, false}) {
        const int width = wide ? 4 * tile : tile, height = wide ? tile : 4 * tile;
        SCOPED_TRACE(sizeName(width, height));
        std::vector<unsigned char> bytes;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const int from = 3 * ((y % tile) * tile + x % tile);
                bytes.insert(bytes.end(), tileBytes.begin() + from, tileBytes.begin() + from + 3);
            }
        }
        const std::string name = sizeName(width, height);
        writeImageFile(dir.file(name + ".png"), imageFromBytes(width, height, bytes));
        arguments = {"-o", name, "model.obj", name + ".png"};
        arguments.insert(arguments.end(), everyFilter.begin(), everyFilter.end());
        runOk(dir, arguments);
        EXPECT_EQ(pngFiles(dir.file(name)).size(), 7 * everyFilter.size());
        for (const std::string& filter : everyFilter) {
            // The rainbow paints each level by its number: the tile has no levels 5 and 6 to compare with.
            const int levels = filter == "rainbow" ? 5 : 7;
            for (int k = 0; k < levels; ++k) {
                const DecodedImage square = readImageFile(levelFile(dir.file("tile"), std::min(k, 4), filter));
                const DecodedImage rectangle = readImageFile(levelFile(dir.file(name), k, filter));
                const int side = std::max(1, tile >> k), across = wide ? std::max(1, width >> k) : side,
                          down = wide ? side : std::max(1, height >> k);
                ASSERT_EQ(rectangle.width, across) << filter << " level " << k;
                ASSERT_EQ(rectangle.height, down) << filter << " level " << k;
                ASSERT_EQ(square.width, side) << filter << " level " << k;
                DecodedImage repeated;
                repeated.width = across, repeated.height = down;
                for (int y = 0; y < down; ++y) {
                    for (int x = 0; x < across; ++x) {
                        const int from = 3 * ((y % side) * side + x % side);
                        const auto texel = square.rgb.begin() + from;
                        repeated.rgb.insert(repeated.rgb.end(), texel, texel + 3);
                    }
                }
                EXPECT_LE(largestGap(rectangle, repeated), 1) << filter << " level " << k;
            }
        }
    }
}

}  // namespace
