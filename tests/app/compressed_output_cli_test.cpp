// Block-compressed output end to end: every codec's KTX2 and DDS files name the right format for the texture's colour
// space, hold a mip chain of blocks that the tests' own decoders (written from the published BC layouts) turn into
// texels close to the uncompressed PNG levels of the same run, and agree with each other; a normal map is written as
// BC5; codecs that cannot hold a texture are refused; --report measures the decoded blocks; --fill-unused changes
// only the texels the model never reads.
#include <gtest/gtest.h>

#include <astcenc.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "../image/bc7_decoder.h"
#include "../image/bc_decoder.h"
#include "container_levels.h"
#include "test_support.h"

namespace {

using containers::little32;

CommandResult runOk(const TempDir& dir, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--threads", "2"});
    const CommandResult result = runKiv(dir.path, arguments);
    EXPECT_FALSE(result.timedOut || result.signalled) << result.output;
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    return result;
}

struct Codec {
    std::string name;
    int blockSide, blockBytes;
    uint32_t vkSrgb, vkUnorm, dxgiSrgb, dxgiUnorm;  // 0: none
};

const std::vector<Codec> codecs = {
    {"bc1", 4, 8, 132, 131, 72, 71},     {"bc3", 4, 16, 138, 137, 78, 77}, {"bc4", 4, 8, 0, 139, 0, 80},
    {"bc5", 4, 16, 0, 141, 0, 83},       {"bc7", 4, 16, 146, 145, 99, 98}, {"astc4x4", 4, 16, 158, 157, 0, 0},
    {"astc6x6", 6, 16, 166, 165, 0, 0},  {"astc8x8", 8, 16, 172, 171, 0, 0},
};

// The levels of a DDS file of blocks: the 148 bytes of its headers, then each level's blocks, largest first.
std::vector<containers::Level> ddsBlockLevels(const std::string& file, const Codec& codec, uint32_t& levelCount) {
    std::vector<containers::Level> levels;
    const uint32_t height = little32(file, 12), width = little32(file, 16);
    levelCount = little32(file, 28);
    size_t at = 148;
    for (uint32_t k = 0; k < levelCount; ++k) {
        const size_t w = std::max(1u, width >> k), h = std::max(1u, height >> k);
        const size_t size = (w + 3) / 4 * ((h + 3) / 4) * codec.blockBytes;
        if (at + size > file.size()) {
            ADD_FAILURE() << "level " << k << " ends past the file";
            break;
        }
        levels.emplace_back(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at + size));
        at += size;
    }
    EXPECT_EQ(at, file.size());
    return levels;
}

// Decodes a level of blocks with the tests' decoders (BC) or a decompress-only context of the reference library
// (ASTC) into RGBA bytes, rows from the top.
containers::Level decodeLevel(const containers::Level& blocks, const Codec& codec, int width, int height, bool srgb) {
    containers::Level rgba(size_t(width) * height * 4);
    if (codec.name.rfind("astc", 0) == 0) {
        astcenc_config config;
        EXPECT_EQ(astcenc_config_init(srgb ? ASTCENC_PRF_LDR_SRGB : ASTCENC_PRF_LDR, codec.blockSide, codec.blockSide,
                                      1, ASTCENC_PRE_FASTEST, ASTCENC_FLG_DECOMPRESS_ONLY, &config),
                  ASTCENC_SUCCESS);
        astcenc_context* context = nullptr;
        EXPECT_EQ(astcenc_context_alloc(&config, 1, &context), ASTCENC_SUCCESS);
        void* rows[1] = {rgba.data()};
        astcenc_image image{static_cast<unsigned>(width), static_cast<unsigned>(height), 1, ASTCENC_TYPE_U8, rows};
        const astcenc_swizzle identity{ASTCENC_SWZ_R, ASTCENC_SWZ_G, ASTCENC_SWZ_B, ASTCENC_SWZ_A};
        EXPECT_EQ(astcenc_decompress_image(context, blocks.data(), blocks.size(), &image, &identity, 0),
                  ASTCENC_SUCCESS);
        astcenc_context_free(context);
        return rgba;
    }
    const int across = (width + 3) / 4;
    for (size_t b = 0; b * codec.blockBytes < blocks.size(); ++b) {
        const uint8_t* bytes = blocks.data() + b * codec.blockBytes;
        uint8_t texels[16][4];
        if (codec.name == "bc7") {
            decodeBc7Block(bytes, texels);
        } else {
            const DecodedBlock block = codec.name == "bc1"   ? decodeBc1Block(bytes)
                                       : codec.name == "bc3" ? decodeBc3Block(bytes)
                                       : codec.name == "bc4" ? decodeBc4Block(bytes)
                                                             : decodeBc5Block(bytes);
            std::copy(&block.texels[0][0], &block.texels[0][0] + 64, &texels[0][0]);
        }
        const int bx = static_cast<int>(b) % across * 4, by = static_cast<int>(b) / across * 4;
        for (int k = 0; k < 16; ++k) {
            const int x = bx + k % 4, y = by + k / 4;
            if (x < width && y < height) std::copy(texels[k], texels[k] + 4, rgba.begin() + 4 * (y * width + x));
        }
    }
    return rgba;
}

// The squared differences of the first `channels` of r, g, b between a decoded level and the PNG level (as a
// container lays it out), added to `squares`, and their count to `samples`.
void addSquares(const containers::Level& decoded, const containers::Level& png, int channels, double& squares,
                double& samples) {
    for (size_t j = 0; j < png.size(); j += 4) {
        for (int c = 0; c < channels; ++c) squares += std::pow(double(decoded[j + c]) - png[j + c], 2);
    }
    samples += static_cast<double>(png.size() / 4 * channels);
}

// Checks the KTX2 (and, for BC, DDS) files of `filter` in `codec` in `folder`: formats, the chain of blocks, and
// the decoded levels against the PNG levels of the same run, their PSNR pooled over every level of at least 4 x 4
// above `floor` dB.
void expectCompressedFiles(const std::string& folder, const std::string& filter, const Codec& codec, bool srgb,
                           int channels, double floor) {
    SCOPED_TRACE(codec.name);
    const auto file = [&](const std::string& name) { return folder + "/" + name; };
    const std::string ktx2 = readTextFile(file("mip_" + filter + "_" + codec.name + ".ktx2"));
    containers::Header header;
    const std::vector<containers::Level> levels = containers::ktx2Levels(ktx2, header);
    EXPECT_EQ(header.format, srgb ? codec.vkSrgb : codec.vkUnorm);
    ASSERT_EQ(levels.size(), header.levelCount);
    double squares = 0, samples = 0;
    for (uint32_t k = 0; k < header.levelCount; ++k) {
        const int width = std::max(1u, header.width >> k), height = std::max(1u, header.height >> k);
        const size_t blocks = size_t((width + codec.blockSide - 1) / codec.blockSide) *
                              ((height + codec.blockSide - 1) / codec.blockSide);
        ASSERT_EQ(levels[k].size(), blocks * codec.blockBytes) << k;
        const DecodedImage png = readImageFile(file("mip_" + std::to_string(k) + "_" + filter + ".png"));
        const containers::Level decoded = decodeLevel(levels[k], codec, width, height, srgb);
        if (width >= 4 && height >= 4) addSquares(decoded, containers::asContainerLevel(png), channels, squares, samples);
    }
    EXPECT_GT(10 * std::log10(255.0 * 255.0 * samples / squares), floor);
    if (codec.dxgiUnorm == 0) return;
    const std::string dds = readTextFile(file("mip_" + filter + "_" + codec.name + ".dds"));
    EXPECT_EQ(little32(dds, 128), srgb ? codec.dxgiSrgb : codec.dxgiUnorm);
    uint32_t ddsCount = 0;
    EXPECT_EQ(ddsBlockLevels(dds, codec, ddsCount), levels) << "both containers hold the same blocks";
    EXPECT_EQ(ddsCount, header.levelCount);
}

// The bundled sample's 512 x 512 texture, whose levels end in blocks cut by the level's edge (and 6 x 6 blocks
// that never fit). The floors are a little under what the encoders reach: BC7 44 dB (the goal for real textures),
// BC1 and BC3 30 dB on this texture's fine patterns (which no BC1 block holds well). The model leaves texels unread, which the compressed files
// fill: --fill-unused fills the PNG levels alike, so that they compare.
TEST(CompressedOutput, EveryCodecWritesDecodableLevelsInBothContainers) {
    TempDir dir;
    copySample(dir);
    runOk(dir, {"--fill-unused", "--format", "png,ktx2:bc1,dds:bc1,ktx2:bc3,dds:bc3,ktx2:bc7,dds:bc7,ktx2:astc4x4,ktx2:astc6x6,"
                "ktx2:astc8x8", "sample.obj", "sample.png", "box"});
    const std::map<std::string, double> floors = {{"bc1", 30}, {"bc3", 30}, {"bc7", 44}, {"astc4x4", 40},
                                                  {"astc6x6", 33}, {"astc8x8", 29}};
    for (const Codec& codec : codecs) {
        if (floors.count(codec.name)) expectCompressedFiles(dir.path, "box", codec, true, 3, floors.at(codec.name));
    }
    // Linear values: the UNORM formats, one and two channels too.
    runOk(dir, {"--fill-unused", "--color-space", "linear", "-o", "linear", "--format", "png,ktx2:bc4,dds:bc4,ktx2:bc5,dds:bc5,ktx2:bc7,dds:bc7",
                "sample.obj", "sample.png", "box"});
    for (const std::string name : {"bc4", "bc5", "bc7"}) {
        const Codec& codec = *std::find_if(codecs.begin(), codecs.end(), [&](const Codec& c) { return c.name == name; });
        expectCompressedFiles(dir.file("linear"), "box", codec, false, name == "bc4" ? 1 : name == "bc5" ? 2 : 3, 34);
    }
}

}  // namespace

namespace {

// A normal map asked for in a colour codec is written as BC5 (X and Y; Z rebuilt by the shader); codecs that cannot
// hold a texture are refused before any work, and DDS takes no ASTC.
TEST(CompressedOutput, NormalMapsGoToBc5AndCodecsThatCannotHoldATextureAreRefused) {
    TempDir dir;
    writeTextFile(dir.file("square.obj"), unitSquareObj());
    std::vector<unsigned char> rgb;
    for (int k = 0; k < 32 * 32; ++k) rgb.insert(rgb.end(), {static_cast<unsigned char>(100 + k % 32), 140, 230});
    writeImageFile(dir.file("normals.png"), imageFromBytes(32, 32, rgb));
    runOk(dir, {"--normal-map", "--fill-unused", "--format", "png,ktx2:bc7,dds:bc1", "square.obj", "normals.png", "box"});
    EXPECT_FALSE(fileExists(dir.file("mip_box_bc7.ktx2")));
    const Codec& bc5 = codecs[3];
    expectCompressedFiles(dir.path, "box", bc5, false, 2, 35);
    EXPECT_EQ(little32(readTextFile(dir.file("mip_box_bc5.dds")), 128), 83u);

    // A codec that cannot hold the texture fails the run (status 1); a format kiv does not write is a usage error
    // (status 2). Neither writes anything.
    struct Refused {
        std::vector<std::string> arguments;
        std::string message;
        int status;
    };
    const std::vector<Refused> refused = {
        {{"--format", "ktx2:bc5", "square.obj", "normals.png"}, "holds linear data in one or two channels, not sRGB", 1},
        {{"--format", "dds:bc4", "square.obj", "normals.png"}, "holds linear data in one or two channels, not sRGB", 1},
        {{"--normal-map", "--format", "ktx2:bc4", "square.obj", "normals.png"}, "not a normal map's vectors", 1},
        {{"--format", "dds:astc4x4", "square.obj", "normals.png"}, "--format takes", 2},
        {{"--format", "ktx2:bc2", "square.obj", "normals.png"}, "--format takes", 2},
        {{"--format", "png:bc7", "square.obj", "normals.png"}, "--format takes", 2},
    };
    for (const Refused& line : refused) {
        TempDir out;
        std::vector<std::string> arguments = line.arguments;
        arguments.insert(arguments.begin(), {"-o", out.path});
        const CommandResult result = runKiv(dir.path, arguments);
        EXPECT_EQ(result.exitStatus, line.status) << result.output;
        EXPECT_NE(result.output.find(line.message), std::string::npos) << result.output;
        EXPECT_TRUE(listFiles(out.path).empty()) << result.output;
    }
}

// --report adds a column for each compressed file, measured on its decoded blocks: BC7 stays within a few percent of
// the uncompressed levels, BC1 further off.
TEST(CompressedOutput, TheReportMeasuresTheDecodedBlocks) {
    TempDir dir;
    copySample(dir);
    const CommandResult result =
        runOk(dir, {"--report", "--format", "ktx2:bc7,ktx2:bc1", "sample.obj", "sample.png", "kivbi"});
    const std::vector<std::vector<std::string>> rows = csvRows(readTextFile(dir.file("report.csv")));
    std::map<std::string, std::vector<double>> rms;
    for (size_t r = 1; r < rows.size(); ++r) rms[rows[r][0]].push_back(std::stod(rows[r][4]));
    ASSERT_EQ(rms.size(), 3u) << result.output;
    const std::vector<double>& plain = rms["kivbi"];
    for (size_t k = 1; k < plain.size(); ++k) {
        EXPECT_LT(rms["kivbi bc7"][k], plain[k] * 1.05) << k;
        EXPECT_GE(rms["kivbi bc1"][k], rms["kivbi bc7"][k] * 0.99) << k;
    }
    EXPECT_NE(result.output.find("\tkivbi\tkivbi bc7\tkivbi bc1\n"), std::string::npos) << result.output;
}

// --fill-unused replaces the texels no point of the model reads by an extension of those it reads, and nothing else:
// on a model that reads the left half of the texture, the right half of every level changes from kivbi's dark
// regularised values to the left half's colours, and the left half keeps its bytes.
TEST(CompressedOutput, FillingChangesOnlyTheTexelsTheModelNeverReads) {
    TempDir dir;
    writeTextFile(dir.file("left.obj"), "v 0 0 0\nv 1 0 0\nv 1 2 0\nv 0 2 0\nvt 0 0\nvt 0.5 0\nvt 0.5 1\nvt 0 1\n"
                                         "f 1/1 2/2 3/3 4/4\n");
    std::vector<unsigned char> rgb;
    for (int k = 0; k < 64 * 64; ++k) rgb.insert(rgb.end(), {200, static_cast<unsigned char>(150 + k % 64), 90});
    writeImageFile(dir.file("half.png"), imageFromBytes(64, 64, rgb));
    runOk(dir, {"-o", "plain", "left.obj", "half.png", "kivbi"});
    runOk(dir, {"--fill-unused", "-o", "filled", "left.obj", "half.png", "kivbi"});
    for (int k = 1; k <= 3; ++k) {
        const int side = 64 >> k;
        const DecodedImage plain = readImageFile(dir.file("plain/mip_" + std::to_string(k) + "_kivbi.png"));
        const DecodedImage filled = readImageFile(dir.file("filled/mip_" + std::to_string(k) + "_kivbi.png"));
        ASSERT_EQ(plain.rgb.size(), filled.rgb.size());
        for (int y = 0; y < side; ++y) {
            for (int x = 0; x < side; ++x) {
                const size_t j = 3 * size_t(y * side + x);
                // The texels whose tents reach the left half keep their bytes; the far right ones are filled.
                if (x < side / 2 - 1 && x > 0) {
                    EXPECT_EQ(plain.rgb[j], filled.rgb[j]) << k << " " << x << " " << y;
                }
                if (x > side / 2 + 1 && x < side - 2) {
                    EXPECT_LT(plain.rgb[j], 100) << k << " " << x << " " << y;
                    EXPECT_NEAR(filled.rgb[j], 200, 3) << k << " " << x << " " << y;
                }
            }
        }
    }
}

}  // namespace
