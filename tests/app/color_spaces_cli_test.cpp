// --color-space and --normal-map end to end: linear textures are filtered as stored (the classic filters' levels
// against an area average and kernels computed here from the bytes), every container says how its bytes are encoded
// (the PNG's sRGB chunk, the KTX2 format and data format descriptor, the DDS format, read with parsers written here
// from the published layouts) and holds the same levels, and the option lines that cannot mean anything are refused
// before anything is read or written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "container_levels.h"
#include "test_support.h"

namespace {

using containers::Header;
using containers::Level;

std::string levelFile(const std::string& folder, int k, const std::string& filter) {
    return folder + "/mip_" + std::to_string(k) + "_" + filter + ".png";
}

CommandResult runOk(const TempDir& dir, const std::vector<std::string>& arguments) {
    const CommandResult result = runKiv(dir.path, arguments);
    EXPECT_FALSE(result.timedOut || result.signalled) << result.output;
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    return result;
}

// ---- The oracle for the classic filters on linear values: separable weights over the whole source, in double.

// Box: source texel i covers [i, i + 1), output texel o covers [o s, (o + 1) s); the weight is the overlap over s.
// Tent and the sinc truncated at 3: the kernel stretched by s around (o + 0.5) s - 0.5, summed over every copy of the
// source (it repeats), then divided by the axis' total.
std::vector<double> axisWeights(const std::string& filter, int output, int outputCount, int size) {
    const double s = double(size) / outputCount;
    std::vector<double> weights(size, 0.0);
    if (filter == "box") {
        for (int i = 0; i < size; ++i) {
            weights[i] = std::max(0.0, std::min((output + 1) * s, i + 1.0) - std::max(output * s, double(i))) / s;
        }
        return weights;
    }
    const double pi = 3.14159265358979323846, radius = filter == "tent" ? 1 : 3, centre = (output + 0.5) * s - 0.5;
    const auto kernel = [&](double t) {
        if (filter == "tent") return std::max(0.0, 1 - std::abs(t));
        if (std::abs(t) >= 3) return 0.0;
        return std::abs(t) < 1e-4 ? 1.0 : std::sin(pi * t) / (pi * t);
    };
    const int copies = int(radius * s / size) + 2;
    double total = 0;
    for (int i = 0; i < size; ++i) {
        for (int m = -copies; m <= copies; ++m) weights[i] += kernel((i + double(m) * size - centre) / s);
        total += weights[i];
    }
    for (double& w : weights) w /= total;
    return weights;
}

// Level `k` of `filter` of the width x height texture `rgb` (bytes, row 0 first), each channel byte / 255 and the
// result x 255, unrounded and unclamped.
std::vector<double> expectedLevel(const std::string& filter, const std::vector<unsigned char>& rgb, int width,
                                  int height, int k) {
    const int across = std::max(1, width >> k), down = std::max(1, height >> k);
    std::vector<double> level(3 * across * down, 0.0);
    for (int y = 0; y < down; ++y) {
        const std::vector<double> rows = axisWeights(filter, y, down, height);
        for (int x = 0; x < across; ++x) {
            const std::vector<double> columns = axisWeights(filter, x, across, width);
            for (int row = 0; row < height; ++row) {
                for (int column = 0; column < width; ++column) {
                    const double w = rows[row] * columns[column];
                    const unsigned char* texel = &rgb[3 * (row * width + column)];
                    for (int c = 0; c < 3; ++c) level[3 * (y * across + x) + c] += w * texel[c];
                }
            }
        }
    }
    return level;
}

// ---- What the files say of their encoding.

// The chunk types of a PNG file in order (empty when it is no PNG).
std::vector<std::string> pngChunks(const std::string& file) {
    std::vector<std::string> types;
    if (file.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return types;
    size_t at = 8;
    while (at + 12 <= file.size()) {
        uint32_t length = 0;
        for (int k = 0; k < 4; ++k) length = length << 8 | static_cast<unsigned char>(file[at + k]);
        types.push_back(file.substr(at + 4, 4));
        at += 12 + size_t{length};
    }
    return types;
}

bool hasChunk(const std::vector<std::string>& chunks, const std::string& type) {
    return std::find(chunks.begin(), chunks.end(), type) != chunks.end();
}

// A KTX2 file's basic data format descriptor: dfdByteOffset and dfdByteLength at 48 and 52; the descriptor's total
// size, then the block: vendor and type, version and block size, then colour model, primaries, transfer function and
// flags in one word each a byte, the texel block dimensions and bytes per plane; from 24 bytes into the block one
// 16-byte sample each: bit offset (16 bits), bit length - 1 (8) and channel type (8: the channel in the low four bits,
// the qualifiers linear 0x10, exponent 0x20, signed 0x40 and float 0x80 above), position, lower and upper.
struct Ktx2Sample {
    unsigned bitOffset = 0, bitLength = 0, channelType = 0;
    uint32_t upper = 0;
};
struct Ktx2Descriptor {
    unsigned colourModel = 0, primaries = 0, transfer = 0, flags = 0;
    std::vector<Ktx2Sample> samples;
};

Ktx2Descriptor ktx2Descriptor(const std::string& file) {
    Ktx2Descriptor descriptor;
    if (file.size() < 80) return descriptor;
    const uint32_t offset = containers::little32(file, 48), length = containers::little32(file, 52);
    if (length < 4 + 24 || size_t{offset} + length > file.size()) {
        ADD_FAILURE() << "a descriptor of " << length << " bytes at " << offset;
        return descriptor;
    }
    EXPECT_EQ(containers::little32(file, offset), length) << "the descriptor's total size";
    const size_t block = offset + 4;
    const uint32_t blockSize = containers::little32(file, block + 4) >> 16;
    EXPECT_EQ(blockSize + 4, length);
    const uint32_t model = containers::little32(file, block + 8);
    descriptor.colourModel = model & 0xff;
    descriptor.primaries = model >> 8 & 0xff;
    descriptor.transfer = model >> 16 & 0xff;
    descriptor.flags = model >> 24;
    for (size_t at = block + 24; at + 16 <= block + blockSize; at += 16) {
        const uint32_t word = containers::little32(file, at);
        descriptor.samples.push_back(Ktx2Sample{word & 0xffff, (word >> 16 & 0xff) + 1, word >> 24,
                                                containers::little32(file, at + 12)});
    }
    return descriptor;
}

}  // namespace

// A texture of alternating white and black columns: every texel of every coarser level covers as much of each, so
// its value is 0.5 of the stored scale. As linear data that is byte 128; as sRGB colour the filters average light,
// 0.5 of it, which the file stores as the sRGB byte 188. The same holds for the filters that weigh the surface, as
// the model is the unit square.
TEST(ColorSpaces, LinearValuesAreAveragedAsStoredAndSrgbColourInLight) {
    TempDir dir;
    writeTextFile(dir.file("model.obj"), unitSquareObj());
    std::vector<unsigned char> stripes;
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) stripes.insert(stripes.end(), 3, x % 2 ? 0 : 255);
    }
    writeImageFile(dir.file("stripes.png"), imageFromBytes(8, 8, stripes));
    const std::vector<std::string> filters = {"box", "tent", "kivbox", "boxig"};
    for (const bool linear : {true, false}) {
        SCOPED_TRACE(linear ? "linear" : "srgb");
        const std::string folder = linear ? "linear" : "srgb";
        std::vector<std::string> arguments = {"-o", folder, "model.obj", "stripes.png"};
        if (linear) arguments.insert(arguments.begin(), {"--color-space", "linear"});
        arguments.insert(arguments.end(), filters.begin(), filters.end());
        runOk(dir, arguments);
        const int expected = linear ? 128 : 188;
        for (const std::string& filter : filters) {
            for (int k = 1; k < 4; ++k) {
                const DecodedImage level = readImageFile(levelFile(dir.file(folder), k, filter));
                ASSERT_EQ(level.width, 8 >> k) << filter << " level " << k;
                for (size_t i = 0; i < level.rgb.size(); ++i) {
                    ASSERT_EQ(level.rgb[i], expected) << filter << " level " << k << " byte " << i;
                }
            }
        }
    }
}

// With --color-space linear the classic filters' levels are the area average (box) and the normalised wrapped
// kernels (tent, the truncated sinc) of the bytes / 255, written as the nearest byte (clamped): checked against the
// oracle above on a random texture whose sides halve unevenly (24 x 20: 12 x 10, 6 x 5, 3 x 2, 1 x 1), within the
// rounding to a byte (and float's error on the way).
TEST(ColorSpaces, LinearLevelsOfTheClassicFiltersAreTheirWeightedMeansOfTheBytes) {
    TempDir dir;
    writeTextFile(dir.file("model.obj"), unitSquareObj());
    const int width = 24, height = 20;
    const std::vector<unsigned char> bytes = randomBytes(3 * width * height, 5);
    writeImageFile(dir.file("data.png"), imageFromBytes(width, height, bytes));
    runOk(dir, {"--color-space", "linear", "-o", "out", "model.obj", "data.png", "box", "tent", "lanczos3"});
    for (const std::string filter : {"box", "tent", "lanczos3"}) {
        SCOPED_TRACE(filter);
        const DecodedImage level0 = readImageFile(levelFile(dir.file("out"), 0, filter));
        EXPECT_EQ(level0.rgb, bytes) << "level 0 is the texture, byte for byte";
        for (int k = 1; k <= 4; ++k) {
            const DecodedImage level = readImageFile(levelFile(dir.file("out"), k, filter));
            const std::vector<double> expected = expectedLevel(filter, bytes, width, height, k);
            ASSERT_EQ(level.rgb.size(), expected.size()) << "level " << k;
            double worst = 0;
            for (size_t i = 0; i < expected.size(); ++i) {
                worst = std::max(worst, std::abs(level.rgb[i] - std::clamp(expected[i], 0.0, 255.0)));
            }
            EXPECT_LE(worst, 0.5 + 0.01) << "level " << k;
        }
        EXPECT_FALSE(fileExists(levelFile(dir.file("out"), 5, filter)));
    }
}

// Every container says how its bytes are to be read, and all hold the same levels. sRGB colour (the default, or
// asked for): PNG with an sRGB chunk, KTX2 R8G8B8A8_SRGB (43) with the sRGB transfer (2) and alpha marked linear,
// DDS R8G8B8A8_UNORM_SRGB (29). Linear values and normal maps: PNG without sRGB, gAMA or iCCP chunks, KTX2
// R8G8B8A8_UNORM (37) with the linear transfer (1) and no qualifier on any sample, DDS R8G8B8A8_UNORM (28). Both:
// colour model RGBSDA (1), BT.709 primaries (1), straight alpha, one 8-bit sample per byte R, G, B, A (channels 0,
// 1, 2, 15) from 0 to 255.
TEST(ColorSpaces, EveryContainerNamesTheEncodingAndHoldsThePngLevels) {
    TempDir dir;
    writeTextFile(dir.file("model.obj"), unitSquareObj());
    writePngFile(dir.file("texture.png"), 16, 8, 8, pngRgba, randomBytes(16 * 8 * 4, 9));
    struct Case {
        const char* folder;
        std::vector<std::string> options;
        bool srgb;
    };
    const Case cases[] = {{"default", {}, true},
                          {"srgb", {"--color-space", "srgb"}, true},
                          {"linear", {"--color-space", "linear"}, false},
                          {"normal", {"--normal-map"}, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        std::vector<std::string> arguments = c.options;
        for (const char* argument : {"--format", "png,ktx2,dds", "-o", c.folder, "model.obj", "texture.png", "box",
                                     "kivbi"}) {
            arguments.push_back(argument);
        }
        runOk(dir, arguments);
        for (const std::string filter : {"box", "kivbi"}) {
            SCOPED_TRACE(filter);
            std::vector<Level> pngs;
            for (int k = 0; k < 5; ++k) {
                const std::string path = levelFile(dir.file(c.folder), k, filter);
                const std::vector<std::string> chunks = pngChunks(readTextFile(path));
                ASSERT_FALSE(chunks.empty()) << path;
                EXPECT_EQ(hasChunk(chunks, "sRGB"), c.srgb) << "level " << k;
                EXPECT_FALSE(hasChunk(chunks, "gAMA") || hasChunk(chunks, "iCCP")) << "level " << k;
                const DecodedImage png = readImageFile(path);
                ASSERT_TRUE(png.hasAlpha) << path;
                pngs.push_back(containers::asContainerLevel(png));
            }
            const std::string stem = dir.file(std::string(c.folder) + "/mip_" + filter);
            const std::string ktx2File = readTextFile(stem + ".ktx2");
            Header ktx2Header, ddsHeader;
            EXPECT_TRUE(containers::ktx2Levels(ktx2File, ktx2Header) == pngs) << "the KTX2 levels differ from the PNGs";
            EXPECT_TRUE(containers::ddsLevels(readTextFile(stem + ".dds"), ddsHeader) == pngs)
                << "the DDS levels differ from the PNGs";
            EXPECT_EQ(ktx2Header.format, c.srgb ? 43u : 37u);
            EXPECT_EQ(ddsHeader.format, c.srgb ? 29u : 28u);

            const Ktx2Descriptor descriptor = ktx2Descriptor(ktx2File);
            EXPECT_EQ(descriptor.colourModel, 1u);
            EXPECT_EQ(descriptor.primaries, 1u);
            EXPECT_EQ(descriptor.transfer, c.srgb ? 2u : 1u);
            EXPECT_EQ(descriptor.flags, 0u) << "straight alpha";
            ASSERT_EQ(descriptor.samples.size(), 4u);
            const unsigned channels[4] = {0, 1, 2, 15};
            for (unsigned k = 0; k < 4; ++k) {
                const Ktx2Sample& sample = descriptor.samples[k];
                EXPECT_EQ(sample.bitOffset, 8 * k) << "sample " << k;
                EXPECT_EQ(sample.bitLength, 8u) << "sample " << k;
                EXPECT_EQ(sample.upper, 255u) << "sample " << k;
                EXPECT_EQ(sample.channelType & 0x0f, channels[k]) << "sample " << k;
                // Only alpha in an sRGB texture is marked linear: the transfer function does not apply to it.
                const unsigned qualifiers = c.srgb && k == 3 ? 0x10u : 0u;
                EXPECT_EQ(sample.channelType & 0xf0, qualifiers) << "sample " << k;
            }
        }
    }
    // The colour levels are the same bytes whether sRGB is asked for or assumed.
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(readTextFile(levelFile(dir.file("default"), k, "kivbi")),
                  readTextFile(levelFile(dir.file("srgb"), k, "kivbi")))
            << "level " << k;
    }
}

// The option lines that cannot mean anything are refused with one error line (and the usual hint), a failing status,
// and nothing read or written: no output folder appears.
TEST(ColorSpaces, ContradictoryOrUnknownEncodingOptionsAreRefusedBeforeAnyWork) {
    struct Case {
        std::vector<std::string> arguments;
        std::string error;
    };
    const std::string combined =
        "Error: --normal-map and --color-space cannot be combined: a normal map holds vectors, not colour";
    const Case cases[] = {
        {{"--color-space", "rgb", "model.obj", "texture.png"},
         "Error: --color-space takes 'srgb' or 'linear', not 'rgb'"},
        {{"--color-space", "Linear", "model.obj", "texture.png"},
         "Error: --color-space takes 'srgb' or 'linear', not 'Linear'"},
        {{"model.obj", "texture.png", "--color-space"}, "Error: --color-space takes 'srgb' or 'linear', not ''"},
        {{"--color-space", "linear", "--color-space", "srgb", "model.obj", "texture.png"},
         "Error: --color-space is given more than once"},
        {{"--normal-map", "--color-space", "linear", "model.obj", "texture.png"}, combined},
        {{"--color-space", "srgb", "--normal-map", "model.obj", "texture.png"}, combined},
        {{"--from-model", "--normal-map", "model.obj"},
         "Error: --normal-map cannot be combined with --from-model, which reads each texture as its role says"},
        {{"--from-model", "--color-space", "linear", "model.obj"},
         "Error: --color-space cannot be combined with --from-model, which reads each texture as its role says"},
    };
    TempDir dir;
    writeTextFile(dir.file("model.obj"), unitSquareObj());
    writeImageFile(dir.file("texture.png"), imageFromBytes(4, 4, std::vector<unsigned char>(48, 100)));
    for (const Case& c : cases) {
        std::vector<std::string> arguments = {"-o", "out"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const CommandResult result = runKiv(dir.path, arguments);
        SCOPED_TRACE(result.output);
        ASSERT_FALSE(result.timedOut || result.signalled);
        EXPECT_EQ(result.exitStatus, 2);  // a usage error
        EXPECT_EQ(outputLines(result.output), (std::vector<std::string>{c.error, "Run 'kiv --help' for usage."}));
        EXPECT_EQ(listFiles(dir.path), (std::vector<std::string>{"model.obj", "texture.png"}));
    }
}
