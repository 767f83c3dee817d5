// End-to-end runs of kiv with its default filter "kivbi": console lines per level, files, values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "test_support.h"

namespace {

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// `prefix` followed by a number that takes up the rest of the line.
bool isNumberLine(const std::string& line, const std::string& prefix) {
    if (!startsWith(line, prefix) || line.size() == prefix.size()) return false;
    const char* number = line.c_str() + prefix.size();
    char* end = nullptr;
    std::strtod(number, &end);
    return *end == '\0' && end != number;
}

// A unit square model and a width x height texture of one colour, in a fresh directory.
struct DefaultRun {
    TempDir dir;
    DefaultRun(int width, int height, const std::vector<unsigned char>& colour) {
        writeTextFile(dir.file("model.obj"), unitSquareObj());
        std::vector<unsigned char> bytes;
        for (int k = 0; k < width * height; ++k) bytes.insert(bytes.end(), colour.begin(), colour.end());
        writeImageFile(dir.file("texture.png"), imageFromBytes(width, height, bytes));
    }
    CommandResult run() const { return runKiv(dir.path, {"model.obj", "texture.png"}); }
};

double decoded(int byte) {
    const double c = byte / 255.0;
    return c < 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

int encodedByte(double v) {
    const double c = v < 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
    return static_cast<int>(c * 255);
}

// On the flat square the constant colour is a combination of tents (they add up to 1), and the
// Gram matrix maps the all-ones vector to 2 times itself (S/2 times a tent's integral 1/W^2, with
// S = 4 W^2). So every level is the colour times 2/2.001 in linear light.
TEST(DefaultFilter, WithoutAFilterNameKivbiSolvesAndWritesEveryLevel) {
    // Per level the iterations print one line; "--solver direct" prints the analysis and the factorisation.
    for (const bool direct : {false, true}) {
        SCOPED_TRACE(direct ? "direct" : "iterative");
        const std::vector<unsigned char> colour = {200, 100, 30};
        DefaultRun run(8, 8, colour);
        const CommandResult result =
            direct ? runKiv(run.dir.path, {"--solver", "direct", "model.obj", "texture.png"}) : run.run();
        ASSERT_FALSE(result.timedOut || result.signalled) << result.output;
        EXPECT_EQ(result.exitStatus, 0) << result.output;

        const std::vector<std::string> lines = outputLines(result.output);
        const size_t perLevel = direct ? 4 : 3;
        ASSERT_EQ(lines.size(), 2u + 3 * perLevel + 3) << result.output;
        EXPECT_TRUE(startsWith(lines[0], "Using ")) << lines[0];
        EXPECT_EQ(lines[1], "Image is 8x8 with 4 mip levels.");
        for (int i = 1; i <= 3; ++i) {
            size_t line = 2 + perLevel * (i - 1);
            if (direct) {
                EXPECT_TRUE(startsWith(lines[line++], "\t\tSymbolic Analysis            = ")) << lines[line - 1];
                // The factorisation's line names the build's method: Eigen's by default, CHOLMOD's when built with it.
                const std::string& factorised = lines[line++];
                EXPECT_TRUE(startsWith(factorised, "\t\tSimplicial LDL^T             = ") ||
                            startsWith(factorised, "\t\tSupernodal Multifrontal LL^T = "))
                    << factorised;
            } else {
                EXPECT_TRUE(startsWith(lines[line++], "\t\tConjugate gradients          = ")) << lines[line - 1];
            }
            EXPECT_EQ(lines[line++], "--== Tent Smart downscale by factor " + std::to_string(1 << i) + " ==--");
            EXPECT_TRUE(isNumberLine(lines[line], "time = ")) << lines[line];
        }
        const size_t report = 2 + 3 * perLevel;
        EXPECT_EQ(lines[report], "Times:");
        EXPECT_TRUE(lines[report + 1].size() > 6 &&
                    lines[report + 1].compare(lines[report + 1].size() - 6, 6, "\tkivbi") == 0)
            << lines[report + 1];
        EXPECT_EQ(lines[report + 2], "");

        std::vector<std::string> expectedFiles = {"mip_0_kivbi.png", "mip_1_kivbi.png", "mip_2_kivbi.png",
                                                  "mip_3_kivbi.png", "model.obj",       "texture.png"};
        EXPECT_EQ(listFiles(run.dir.path), expectedFiles);
        for (int i = 0; i <= 3; ++i) {
            const DecodedImage level = readImageFile(run.dir.file("mip_" + std::to_string(i) + "_kivbi.png"));
            const int side = 8 >> i;
            ASSERT_EQ(level.width, side);
            ASSERT_EQ(level.height, side);
            for (size_t k = 0; k < level.rgb.size(); ++k) {
                const int byte = colour[k % 3];
                const int expected = i == 0 ? byte : encodedByte(decoded(byte) * 2 / 2.001);
                EXPECT_LE(std::abs(level.rgb[k] - expected), 1) << "level " << i << ", byte " << k;
            }
        }
    }
}

// A --solver value other than "iterative" or "direct" is refused before any work.
TEST(DefaultFilter, AnUnknownSolverIsRefused) {
    DefaultRun run(8, 8, {1, 2, 3});
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--solver", "exact", "model.obj", "texture.png"},
          std::vector<std::string>{"model.obj", "texture.png", "--solver"}}) {
        const CommandResult result = runKiv(run.dir.path, arguments);
        ASSERT_FALSE(result.timedOut || result.signalled) << result.output;
        EXPECT_EQ(result.exitStatus, 2) << result.output;  // a usage error
        EXPECT_NE(result.output.find("Error: --solver takes 'iterative' or 'direct', not '"), std::string::npos)
            << result.output;
        EXPECT_EQ(listFiles(run.dir.path), std::vector<std::string>({"model.obj", "texture.png"}));
    }
}

// 8 x 6 halves to 4 x 3, then 2 x 1 and 1 x 1: the default filter solves each of the three coarser levels, printing
// its lines as for any texture, and the constant colour stays within a byte in every level (the tents of each level
// still add up to 1, so the colour is a combination of them).
TEST(DefaultFilter, ATextureWhoseSidesAreNotPowersOfTwoGetsEveryLevelDownToOneTexel) {
    const std::vector<unsigned char> colour = {200, 100, 30};
    DefaultRun run(8, 6, colour);
    const CommandResult result = run.run();
    ASSERT_FALSE(result.timedOut || result.signalled) << result.output;
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    const std::vector<std::string> lines = outputLines(result.output);
    ASSERT_EQ(lines.size(), 2u + 3 * 3 + 3) << result.output;
    EXPECT_EQ(lines[1], "Image is 8x6 with 4 mip levels.");
    for (int i = 1; i <= 3; ++i) {
        const size_t line = 2 + 3 * (i - 1);
        EXPECT_TRUE(startsWith(lines[line], "\t\tConjugate gradients          = ")) << lines[line];
        EXPECT_EQ(lines[line + 1], "--== Tent Smart downscale by factor " + std::to_string(1 << i) + " ==--");
    }
    EXPECT_EQ(lines[11], "Times:");
    EXPECT_EQ(listFiles(run.dir.path), (std::vector<std::string>{"mip_0_kivbi.png", "mip_1_kivbi.png",
                                                                 "mip_2_kivbi.png", "mip_3_kivbi.png", "model.obj",
                                                                 "texture.png"}));
    const int sides[4][2] = {{8, 6}, {4, 3}, {2, 1}, {1, 1}};
    for (int i = 0; i < 4; ++i) {
        const DecodedImage level = readImageFile(run.dir.file("mip_" + std::to_string(i) + "_kivbi.png"));
        ASSERT_EQ(level.width, sides[i][0]) << "level " << i;
        ASSERT_EQ(level.height, sides[i][1]) << "level " << i;
        for (size_t k = 0; k < level.rgb.size(); ++k) {
            EXPECT_LE(std::abs(level.rgb[k] - colour[k % 3]), 1) << "level " << i << ", byte " << k;
        }
    }
}

// What must not change the levels of the filters that read the surface: a square that repeats the texture 2 x 2 or
// 3 x 3 times (coordinates from -1 or from 0) lays every texel on the same share of its surface as the square
// mapped once (beyond the unit square the texture repeats, as a wrapping sampler reads it, and the tents never
// reach past their texels); a vertex that no triangle uses, or a thousandfold size, leaves the surface as it is.
// The same levels, within a byte for the rounding of the cut pieces.
TEST(SurfaceFilters, RepeatsScaleAndUnusedVerticesLeaveTheLevelsOfASquareAsTheyAre) {
    TempDir dir;
    std::vector<unsigned char> bytes(3 * 16 * 16);
    for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<unsigned char>((k * 97 + k / 7 * 31) % 256);
    writeImageFile(dir.file("texture.png"), imageFromBytes(16, 16, bytes));
    writeTextFile(dir.file("once.obj"), unitSquareObj());
    const std::string positions = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n";
    writeTextFile(dir.file("twice.obj"), positions + "vt -1 -1\nvt 1 -1\nvt 1 1\nvt -1 1\nf 1/1 2/2 3/3 4/4\n");
    writeTextFile(dir.file("thrice.obj"), positions + "vt 0 0\nvt 3 0\nvt 3 3\nvt 0 3\nf 1/1 2/2 3/3 4/4\n");
    writeTextFile(dir.file("unused.obj"), unitSquareObj() + "v 100 0 0\n");
    writeTextFile(dir.file("large.obj"), "v 0 0 0\nv 1000 0 0\nv 1000 1000 0\nv 0 1000 0\n"
                                         "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\nf 1/1 2/2 3/3 4/4\n");
    const char* const models[] = {"once.obj", "twice.obj", "thrice.obj", "unused.obj", "large.obj"};
    for (const char* filter : {"boxig", "kivbox", "kivbi", "kivtri"}) {
        SCOPED_TRACE(filter);
        for (const char* model : models) {
            const CommandResult result =
                runKiv(dir.path, {"-o", std::string(model) + ".levels", model, "texture.png", filter});
            ASSERT_EQ(result.exitStatus, 0) << result.output;
        }
        for (int level = 1; level <= 4; ++level) {
            const std::string name = "/mip_" + std::to_string(level) + "_" + filter + ".png";
            const DecodedImage once = readImageFile(dir.file("once.obj.levels") + name);
            ASSERT_FALSE(once.rgb.empty()) << name;
            for (const char* model : models) {
                const DecodedImage tiled = readImageFile(dir.file(std::string(model) + ".levels") + name);
                ASSERT_EQ(tiled.rgb.size(), once.rgb.size()) << model << name;
                for (size_t k = 0; k < once.rgb.size(); ++k) {
                    ASSERT_LE(std::abs(tiled.rgb[k] - once.rgb[k]), 1) << model << name << " byte " << k;
                }
            }
        }
    }
}

// A texture one texel high: the grids follow both of its sides, so the filters that read the surface need memory
// in proportion to its texels, not to the square of its width (65536 x 65536 cells did not fit at all), and so does
// the report's measure. Its chain halves the width alone, 17 levels down to 1 x 1.
TEST(SurfaceFilters, AThinTextureTakesMemoryInProportionToItsTexels) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space limit cannot be combined with AddressSanitizer";
#endif
    TempDir dir;
    const int width = 65536;
    std::vector<unsigned char> bytes(3 * width);
    for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<unsigned char>(k * 37 % 251);
    writeImageFile(dir.file("thin.png"), imageFromBytes(width, 1, bytes));
    writeTextFile(dir.file("model.obj"), unitSquareObj());
    const std::vector<std::string> filters = {"boxig", "kivbox", "kivbi"};
    std::vector<std::string> arguments = {"--report", "model.obj", "thin.png"};
    arguments.insert(arguments.end(), filters.begin(), filters.end());
    const CommandResult result = runKiv(dir.path, arguments, 120, 1024);
    ASSERT_FALSE(result.timedOut || result.signalled) << result.output;
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    EXPECT_EQ(listFiles(dir.path).size(), 3 + 17 * filters.size());
    EXPECT_EQ(outputLines(readTextFile(dir.file("report.csv"))).size(), 1 + 17 * filters.size());
    // The square covers every texel evenly: level 0 is written as it was read, and the single texel at the end of
    // the chain is the mean of the texture in linear light.
    double mean[3] = {0, 0, 0};
    for (size_t k = 0; k < bytes.size(); ++k) mean[k % 3] += decoded(bytes[k]) / width;
    for (const std::string& filter : filters) {
        SCOPED_TRACE(filter);
        const DecodedImage finest = readImageFile(dir.file("mip_0_" + filter + ".png"));
        EXPECT_EQ(finest.rgb, bytes);
        const DecodedImage half = readImageFile(dir.file("mip_1_" + filter + ".png"));
        EXPECT_EQ(half.width, width / 2);
        EXPECT_EQ(half.height, 1);
        const DecodedImage last = readImageFile(dir.file("mip_16_" + filter + ".png"));
        ASSERT_EQ(last.rgb.size(), 3u);
        for (int c = 0; c < 3; ++c) EXPECT_LE(std::abs(last.rgb[c] - encodedByte(mean[c])), 1) << "channel " << c;
    }
}

}  // namespace
