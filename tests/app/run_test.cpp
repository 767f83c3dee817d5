// End-to-end runs of the built kiv: console output, exit status and the level files it writes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "base/version.h"
#include "test_support.h"

static const char* const usageText =
    "usage: kiv [options] <model> <texture> [filter ...]\n"
    "       kiv --from-model [options] <model> [filter ...]\n"
    "\n"
    "Builds mipmap pyramids for the texture of a textured model: one pyramid per\n"
    "filter named, in the order given, 'kivbi' when none is. The model is an OBJ,\n"
    "glTF 2.0 (.gltf, .glb), FBX, COLLADA or other file the Assimp library reads;\n"
    "the texture is a PNG or JPEG file, or a BMP, TGA, TIFF, DDS, EXR, HDR or other\n"
    "picture FreeImage reads (the README lists them). With --from-model every\n"
    "texture of the model's materials is processed with the triangles that use it,\n"
    "each into a folder of its own and read as its role says (colour, data, normals).\n"
    "\n"
    "kivtri       KIV Optimization for trilinear reconstruction\n"
    "kivtric      kivtri with every value constrained to [0, 1]\n"
    "kivbi        KIV Optimization for bilinear reconstruction\n"
    "kivbic       kivbi with every value constrained to [0, 1]\n"
    "kivbox       KIV Optimization for box reconstruction\n"
    "lanczos3     Lanczos 3 filter\n"
    "tent         Tent filter\n"
    "box          Box filter\n"
    "boxig        Box filter that ignores unused texels\n"
    "rainbow      Each level is given a unique color for testing\n"
    "\n"
    "options:\n"
    "-o, --output DIR    write the files into DIR, created if missing (default: .)\n"
    "--format LIST       containers, comma-separated: png (default), ktx2, dds, or\n"
    "                    block-compressed ktx2:CODEC, dds:CODEC (bc1, bc3, bc4, bc5,\n"
    "                    bc7; astc4x4, astc6x6, astc8x8 in ktx2 only)\n"
    "--fill-unused       fill texels the model never reads in uncompressed files too\n"
    "--threads N         threads to use (default: OMP_NUM_THREADS, else all)\n"
    "--solver KIND       kivbi(c), kivtri(c): iterative (default) or direct (exact)\n"
    "--color-space CS    the texture holds srgb colour (default) or linear values\n"
    "--normal-map        the texture is a normal map: filter unit vectors, renormalise\n"
    "--alpha MODE        straight (default), premultiplied (no halos), or\n"
    "                    coverage[=CUTOFF] (alpha-tested: keep coverage at CUTOFF, 0.5)\n"
    "--alpha-output MODE levels of --alpha premultiplied: straight (default) colour,\n"
    "                    or premultiplied\n"
    "--report            print each level's error on the model; also report.csv\n"
    "--viewer            write viewer.html: the model with each pyramid, for a browser\n"
    "--from-model        take the textures from the model's materials\n"
    "--name PATTERN      level file names, e.g. {stem}_{filter}_{level:02}\n"
    "                    (default: mip_{level}_{filter}; also {width}, {height})\n"
    "--no-clean          keep levels of an earlier run that this run does not write\n"
    "--manifest FILE     write a JSON list of inputs and files written ('-': stdout)\n"
    "-q, --quiet         print nothing on standard output (errors still on stderr)\n"
    "-h, --help          print this text\n"
    "--version           print the version\n";

// Splits off the thread line, which every run prints first, and checks its form.
static std::string afterThreadLine(const std::string& output) {
    const size_t end = output.find('\n');
    EXPECT_NE(end, std::string::npos) << output;
    int threads = 0, processors = 0;
    char rest = 0;
    const std::string line = output.substr(0, end);
    EXPECT_EQ(std::sscanf(line.c_str(), "Using %d threads on machine with %d procs%c", &threads, &processors, &rest), 2)
        << output;
    EXPECT_GT(threads, 0);
    EXPECT_EQ(threads, processors);
    return end == std::string::npos ? std::string() : output.substr(end + 1);
}

// Seconds with exactly three decimals, a tab and the filter name.
static bool isTimeLine(const std::string& line, const std::string& filter) {
    const size_t point = line.find('.');
    const std::string tail = "\t" + filter;
    if (point == 0 || point == std::string::npos || line.size() != point + 4 + tail.size()) return false;
    for (size_t i = 0; i < point + 4; ++i) {
        if (i != point && !std::isdigit(static_cast<unsigned char>(line[i]))) return false;
    }
    return line.compare(point + 4, std::string::npos, tail) == 0;
}

static std::vector<unsigned char> repeatedPixel(int count, std::vector<unsigned char> rgb) {
    std::vector<unsigned char> bytes;
    for (int i = 0; i < count; ++i) bytes.insert(bytes.end(), rgb.begin(), rgb.end());
    return bytes;
}

// A working directory with a small model and a texture of the given bytes.
struct RunDirectory {
    TempDir dir;
    explicit RunDirectory(int width = 0, int height = 0, const std::vector<unsigned char>& rgb = {}) {
        writeTextFile(dir.file("model.obj"), unitSquareObj());
        if (width > 0) writeImageFile(dir.file("texture.png"), imageFromBytes(width, height, rgb));
    }
    CommandResult run(const std::vector<std::string>& filters) const {
        std::vector<std::string> arguments = {"model.obj", "texture.png"};
        arguments.insert(arguments.end(), filters.begin(), filters.end());
        return runKiv(dir.path, arguments);
    }
    std::vector<std::string> levelFiles() const {
        std::vector<std::string> names;
        for (const std::string& name : listFiles(dir.path)) {
            if (name != "model.obj" && name != "texture.png") names.push_back(name);
        }
        return names;
    }
    DecodedImage level(int k, const std::string& filter) const {
        return readImageFile(dir.file("mip_" + std::to_string(k) + "_" + filter + ".png"));
    }
};

static std::vector<std::string> levelNames(const std::string& filter, int count) {
    std::vector<std::string> names;
    for (int k = 0; k < count; ++k) names.push_back("mip_" + std::to_string(k) + "_" + filter + ".png");
    return names;
}

static void expectFinished(const CommandResult& result, int status) {
    ASSERT_FALSE(result.timedOut) << result.output;
    ASSERT_FALSE(result.signalled) << result.output;
    EXPECT_EQ(result.exitStatus, status) << result.output;
}

static void expectBytesNear(const DecodedImage& image, const std::vector<unsigned char>& expected, int tolerance,
                            const std::string& what) {
    ASSERT_EQ(image.rgb.size(), expected.size()) << what;
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_LE(std::abs(int(image.rgb[i]) - int(expected[i])), tolerance) << what << ", byte " << i;
    }
}

// kiv alone prints the usage text and succeeds; a model without its texture (or --from-model without a model) is a
// usage error: what is missing, then the usage text, and status 2.
TEST(CommandLine, FewerThanTwoArgumentsPrintTheUsageText) {
    TempDir dir;
    const CommandResult alone = runKiv(dir.path, {});
    expectFinished(alone, 0);
    EXPECT_EQ(alone.output, usageText);
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{"model.obj"}, {"--from-model"}}) {
        const CommandResult result = runKiv(dir.path, arguments);
        expectFinished(result, 2);
        const size_t end = result.output.find('\n');
        ASSERT_NE(end, std::string::npos) << result.output;
        EXPECT_EQ(result.output.rfind("Error: the ", 0), 0u) << result.output;
        EXPECT_EQ(result.output.substr(end + 1), usageText);
    }
    EXPECT_TRUE(listFiles(dir.path).empty());
}

// --help and --version answer alone, before the thread line, whatever else the line holds.
TEST(CommandLine, HelpAndVersionPrintTheirTextAndSucceed) {
    TempDir dir;
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--help"}, {"-h"}, {"model.obj", "texture.png", "box", "-h"}, {"--threads", "2", "--help"},
          {"--help", "--threads", "0"}, {"--bogus", "-h"}, {"-h", "--format", "png", "--format", "dds"}}) {
        const CommandResult result = runKiv(dir.path, arguments);
        expectFinished(result, 0);
        EXPECT_EQ(result.output, usageText);
    }
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--version", "--bogus"}, {"--solver", "exact", "--version"}}) {
        const CommandResult result = runKiv(dir.path, arguments);
        expectFinished(result, 0);
        EXPECT_EQ(result.output, std::string("kiv ") + kivVersion + "\n");
    }
    // After "--" every argument is a name: "--help" there is a filter that does not exist.
    const CommandResult named = runKiv(dir.path, {"model.obj", "texture.png", "--", "--help"});
    expectFinished(named, 2);
    const CommandResult version = runKiv(dir.path, {"--version"});
    expectFinished(version, 0);
    EXPECT_EQ(version.output, std::string("kiv ") + kivVersion + "\n");
    int major = -1, minor = -1, patch = -1;
    EXPECT_EQ(std::sscanf(kivVersion, "%d.%d.%d", &major, &minor, &patch), 3) << kivVersion;
    EXPECT_TRUE(listFiles(dir.path).empty());
}

TEST(CommandLine, ARunReportsTheSizeThenOneTimeLinePerFilter) {
    RunDirectory run(4, 4, repeatedPixel(16, {10, 20, 30}));
    const CommandResult result = run.run({"box", "box"});
    expectFinished(result, 0);
    const std::vector<std::string> output = outputLines(afterThreadLine(result.output));
    ASSERT_EQ(output.size(), 5u) << result.output;
    EXPECT_EQ(output[0], "Image is 4x4 with 3 mip levels.");
    EXPECT_EQ(output[1], "Times:");
    EXPECT_TRUE(isTimeLine(output[2], "box")) << output[2];
    EXPECT_TRUE(isTimeLine(output[3], "box")) << output[3];
    EXPECT_EQ(output[4], "");
    EXPECT_EQ(run.levelFiles(), levelNames("box", 3));
}

static double decoded(int byte) {
    const double c = byte / 255.0;
    return c < 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

static int encodedByte(double v) {
    const double c = v < 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
    return static_cast<int>(c * 255);
}

TEST(CommandLine, BoxLevelsAreBlockMeansInLinearLight) {
    std::vector<unsigned char> bytes(48);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>((i * 97 + 13) % 256);
    RunDirectory run(4, 4, bytes);
    expectFinished(run.run({"box"}), 0);
    ASSERT_EQ(run.levelFiles(), levelNames("box", 3));

    const DecodedImage texture = readImageFile(run.dir.file("texture.png"));
    expectBytesNear(run.level(0, "box"), texture.rgb, 1, "level 0");
    // Mean of the decoded bytes of each block, encoded again.
    auto blockMean = [&](int x0, int y0, int side, int channel) {
        double sum = 0;
        for (int y = y0; y < y0 + side; ++y) {
            for (int x = x0; x < x0 + side; ++x) sum += decoded(texture.rgb[3 * (y * 4 + x) + channel]);
        }
        return static_cast<unsigned char>(encodedByte(sum / (side * side)));
    };
    std::vector<unsigned char> half, whole;
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 2; ++x) {
            for (int c = 0; c < 3; ++c) half.push_back(blockMean(2 * x, 2 * y, 2, c));
        }
    }
    for (int c = 0; c < 3; ++c) whole.push_back(blockMean(0, 0, 4, c));
    expectBytesNear(run.level(1, "box"), half, 1, "level 1");
    expectBytesNear(run.level(2, "box"), whole, 1, "level 2");
}

TEST(CommandLine, AConstantTextureStaysConstantThroughEveryImageFilter) {
    RunDirectory run(8, 8, repeatedPixel(64, {200, 100, 30}));
    const CommandResult result = run.run({"box", "tent", "lanczos3"});
    expectFinished(result, 0);
    for (const char* filter : {"box", "tent", "lanczos3"}) {
        for (int k = 0; k < 4; ++k) {
            const int side = 8 >> k;
            expectBytesNear(run.level(k, filter), repeatedPixel(side * side, {200, 100, 30}), 1,
                            std::string(filter) + " level " + std::to_string(k));
        }
    }
    EXPECT_EQ(run.levelFiles().size(), 12u);
}

TEST(CommandLine, RainbowLevelsAreYellowRedMagentaBlue) {
    RunDirectory run(8, 8, repeatedPixel(64, {1, 2, 3}));
    expectFinished(run.run({"rainbow"}), 0);
    const std::vector<unsigned char> colours[4] = {{255, 255, 0}, {255, 0, 0}, {255, 0, 255}, {0, 0, 255}};
    for (int k = 0; k < 4; ++k) {
        const int side = 8 >> k;
        expectBytesNear(run.level(k, "rainbow"), repeatedPixel(side * side, colours[k]), 0, "level " + std::to_string(k));
    }
}

// Only the larger side counts: the chain halves it down to 1 while the shorter side stays at 1 once there, and every
// level, down to 1 x 1, is a file of its own size.
TEST(CommandLine, LevelCountsAndFilesFollowTheLargerSide) {
    struct Case {
        int width, height, levels;
    };
    for (const Case& c : {Case{1, 1, 1}, Case{2, 2, 2}, Case{257, 257, 9}, Case{512, 256, 10}}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        RunDirectory run(c.width, c.height, repeatedPixel(c.width * c.height, {0, 0, 0}));
        const CommandResult result = run.run({"rainbow"});
        expectFinished(result, 0);
        const std::string sizeLine = "Image is " + std::to_string(c.width) + "x" + std::to_string(c.height) +
                                     " with " + std::to_string(c.levels) + " mip levels.";
        EXPECT_EQ(outputLines(afterThreadLine(result.output)).at(0), sizeLine);
        EXPECT_EQ(run.levelFiles(), levelNames("rainbow", c.levels));
        for (int k = 0; k < c.levels; ++k) {
            const DecodedImage level = run.level(k, "rainbow");
            EXPECT_EQ(level.width, std::max(1, c.width >> k)) << "level " << k;
            EXPECT_EQ(level.height, std::max(1, c.height >> k)) << "level " << k;
        }
    }
}

TEST(CommandLine, PixelLayoutsOtherThanTwentyFourAndThirtyTwoBitsAreConverted) {
    RunDirectory run;
    writePngFile(run.dir.file("texture.png"), 2, 2, 16, pngGrey, {0x80, 0, 0x80, 0xff, 0x80, 0x12, 0x80, 0x34});
    const CommandResult result = run.run({"box"});
    expectFinished(result, 0);
    expectBytesNear(run.level(0, "box"), repeatedPixel(4, {0x80, 0x80, 0x80}), 1, "level 0");
    expectBytesNear(run.level(1, "box"), {0x80, 0x80, 0x80}, 1, "level 1");
}

// Every name is checked with the command line, before anything is read: a usage error.
TEST(BadInput, AnUnknownFilterNameStopsTheRunBeforeAnyWork) {
    RunDirectory run(4, 4, repeatedPixel(16, {10, 20, 30}));
    for (const std::vector<std::string>& filters :
         {std::vector<std::string>{"box", "nosuch", "other"}, {"Box"}, {"tent", "box "}}) {
        const CommandResult result = run.run(filters);
        expectFinished(result, 2);
        const std::string unknown = filters[0] == "Box" ? "Box" : filters[1];
        EXPECT_EQ(result.output, "Error: The filter named '" + unknown + "' doesn't exist.\nRun 'kiv --help' for usage.\n");
        EXPECT_TRUE(run.levelFiles().empty());
    }
}

TEST(BadInput, AnUnreadableTextureIsNamedBeforeAnyFilterRuns) {
    RunDirectory run;
    const CommandResult missing = run.run({"box"});
    expectFinished(missing, 1);
    EXPECT_EQ(afterThreadLine(missing.output),
              "Error: texture.png: cannot read the texture (No such file or directory)\n");

    writeTextFile(run.dir.file("texture.png"), std::string("\x89PNG\r\n\x1a\n truncated", 19));
    const CommandResult corrupt = run.run({"box"});
    expectFinished(corrupt, 1);
    const std::string corruptLine = outputLines(afterThreadLine(corrupt.output)).back();
    EXPECT_EQ(corruptLine.rfind("Error: texture.png: cannot read the texture (", 0), 0u) << corruptLine;
    EXPECT_TRUE(run.levelFiles().empty());
}

// The least-squares filters pair levels whose sides do not halve exactly (6 x 4, 3 x 2, 1 x 1): every level is
// written at its size, and a constant texture stays constant in each of them, as it does for the box filter.
TEST(CommandLine, OptimisationFiltersPairTheLevelsOfTexturesWhoseSidesAreNotPowersOfTwo) {
    RunDirectory run(6, 4, repeatedPixel(24, {10, 20, 30}));
    const std::vector<std::string> filters = {"box", "kivbi", "kivtri"};
    const CommandResult result = run.run(filters);
    expectFinished(result, 0);
    const std::vector<std::string> output = outputLines(afterThreadLine(result.output));
    ASSERT_FALSE(output.empty()) << result.output;
    EXPECT_EQ(output[0], "Image is 6x4 with 3 mip levels.");
    EXPECT_EQ(result.output.find("Error"), std::string::npos) << result.output;
    std::vector<std::string> expected;
    for (const std::string& filter : filters) {
        const std::vector<std::string> names = levelNames(filter, 3);
        expected.insert(expected.end(), names.begin(), names.end());
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(run.levelFiles(), expected);
    const int sides[3][2] = {{6, 4}, {3, 2}, {1, 1}};
    for (const std::string& filter : filters) {
        for (int k = 0; k < 3; ++k) {
            const DecodedImage level = run.level(k, filter);
            EXPECT_EQ(level.width, sides[k][0]) << filter << " level " << k;
            EXPECT_EQ(level.height, sides[k][1]) << filter << " level " << k;
            expectBytesNear(level, repeatedPixel(sides[k][0] * sides[k][1], {10, 20, 30}), 1,
                            filter + " level " + std::to_string(k));
        }
    }
}

TEST(BadInput, ALevelThatCannotBeWrittenIsReportedAndTheRestAreWritten) {
    RunDirectory run(4, 4, repeatedPixel(16, {10, 20, 30}));
    ASSERT_EQ(mkdir(run.dir.file("mip_1_box.png").c_str(), 0755), 0);
    const CommandResult result = run.run({"box", "tent"});
    expectFinished(result, 1);
    const std::vector<std::string> output = outputLines(afterThreadLine(result.output));
    ASSERT_EQ(output.size(), 6u) << result.output;
    EXPECT_EQ(output[1].rfind("Error: mip_1_box.png: ", 0), 0u) << output[1];
    EXPECT_EQ(output[2], "Times:");
    std::vector<std::string> expected = levelNames("box", 3);
    const std::vector<std::string> tent = levelNames("tent", 3);
    expected.insert(expected.end(), tent.begin(), tent.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(run.levelFiles(), expected);  // no temporary file is left behind either
    EXPECT_EQ(run.level(2, "box").width, 1);
}
