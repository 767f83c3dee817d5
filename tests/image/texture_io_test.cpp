// Texture input in every pixel layout, the sRGB transfer functions and the level writer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "image/classic_filters.h"
#include "image/texture_io.h"
#include "test_support.h"

static FloatImage loadOrFail(const std::string& path) {
    FloatImage texture;
    std::string error;
    EXPECT_TRUE(loadTexture(path.c_str(), texture, error)) << error;
    return texture;
}

static void expectTexelEq(const Texel& actual, float r, float g, float b, float a) {
    EXPECT_EQ(actual.r, r);
    EXPECT_EQ(actual.g, g);
    EXPECT_EQ(actual.b, b);
    EXPECT_EQ(actual.a, a);
}

// Runs `body` with the working directory set to `directory`, where savePyramid writes given no folder.
template <typename Body>
static void inDirectory(const std::string& directory, Body body) {
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(directory.c_str()), 0);
    body();
    ASSERT_EQ(chdir(previous), 0);
}

TEST(SrgbTransfer, EncodingClampsAndUsesTheLinearSegmentNearBlack) {
    EXPECT_EQ(linearToSrgb(-0.5f), 0.0f);
    EXPECT_EQ(linearToSrgb(0.0f), 0.0f);
    EXPECT_EQ(linearToSrgb(0.001f), static_cast<float>(0.001f * 12.92));
    EXPECT_EQ(linearToSrgb(1.0f), 1.0f);
    EXPECT_EQ(linearToSrgb(2.0f), 1.0f);
    EXPECT_EQ(linearToSrgb(std::numeric_limits<float>::quiet_NaN()), 1.0f);
    EXPECT_NEAR(linearToSrgb(0.5f), 0.735356f, 1e-5f);
}

TEST(SrgbTransfer, DecodingMatchesTheStandardCurve) {
    EXPECT_EQ(srgbToLinear(0.0f), 0.0f);
    EXPECT_FLOAT_EQ(srgbToLinear(0.04f), static_cast<float>(0.04f / 12.92));
    EXPECT_NEAR(srgbToLinear(1.0f), 1.0f, 1e-6f);
    EXPECT_NEAR(srgbToLinear(0.5f), 0.214041f, 1e-6f);
    FloatImage image;
    allocateImage(image, 1, 1);
    image.texels[0] = Texel{1, 0.5f, 0, 0.5f};
    lineariseImage(image);
    EXPECT_NEAR(image.texels[0].g, 0.214041f, 1e-6f);
    EXPECT_EQ(image.texels[0].a, 0.5f);  // alpha is not a colour and stays as read
}

// Decoding a byte and encoding it again gives the byte back exactly, as the writer rounds to nearest; linear 1 gives
// 255, values within half a step of a byte give that byte.
TEST(SrgbTransfer, EveryByteRoundTripsExactly) {
    TempDir dir;
    FloatImage image;
    allocateImage(image, 258, 1);
    for (int b = 0; b < 256; ++b) {
        const float encoded = linearToSrgb(srgbToLinear(static_cast<float>(b * 0.00392156862745098)));
        image.texels[b] = Texel{encoded, encoded, encoded, 1};
    }
    image.texels[256] = Texel{linearToSrgb(1.0f), linearToSrgb(0.0f), linearToSrgb(0.999f), 1};
    image.texels[257] = Texel{0.998f, 0.999f, 1.6f / 255.0f, 1};
    writeImageFile(dir.file("bytes.png"), image);
    const DecodedImage decoded = readImageFile(dir.file("bytes.png"));
    ASSERT_EQ(decoded.width, 258);
    for (int b = 0; b < 256; ++b) EXPECT_EQ(decoded.rgb[3 * b], b) << "byte " << b;
    EXPECT_EQ(decoded.rgb[3 * 256], 255);
    EXPECT_EQ(decoded.rgb[3 * 256 + 1], 0);
    EXPECT_EQ(decoded.rgb[3 * 256 + 2], 255);        // linear 0.999 encodes to 0.99957
    EXPECT_EQ(decoded.rgb[3 * 257], 254);            // 0.998 x 255 = 254.49
    EXPECT_EQ(decoded.rgb[3 * 257 + 1], 255);        // 0.999 x 255 = 254.745
    EXPECT_EQ(decoded.rgb[3 * 257 + 2], 2);          // 1.6 rounds up
}

TEST(LoadTexture, TwentyFourBitPixelsGetOpaqueAlphaAndRowZeroIsTheBottomRow) {
    TempDir dir;
    // Top row: pure red, then grey 128; bottom row: blue, then (1, 2, 3).
    writePngFile(dir.file("rgb.png"), 2, 2, 8, pngRgb, {255, 0, 0, 128, 128, 128, 0, 0, 255, 1, 2, 3});
    const FloatImage texture = loadOrFail(dir.file("rgb.png"));
    ASSERT_EQ(texture.width, 2);
    ASSERT_EQ(texture.height, 2);
    expectTexelEq(texture.at(0, 1), 1, 0, 0, 1);
    expectTexelEq(texture.at(0, 0), 0, 0, 1, 1);
    EXPECT_EQ(texture.at(1, 1).g, static_cast<float>(128 * 0.00392156862745098));
    EXPECT_EQ(texture.at(1, 0).b, static_cast<float>(3 * 0.00392156862745098));
}

TEST(LoadTexture, ThirtyTwoBitPixelsKeepTheirAlpha) {
    TempDir dir;
    writePngFile(dir.file("rgba.png"), 2, 1, 8, pngRgba, {255, 0, 0, 0, 10, 20, 30, 255});
    const FloatImage texture = loadOrFail(dir.file("rgba.png"));
    expectTexelEq(texture.at(0, 0), 1, 0, 0, 0);
    EXPECT_EQ(texture.at(1, 0).a, 1.0f);
    EXPECT_EQ(texture.at(1, 0).r, static_cast<float>(10 * 0.00392156862745098));
}

static float unit(int byte) { return static_cast<float>(byte * 0.00392156862745098); }

// Grey, palette, 16-bit and float pictures are converted by the image library to 24 bits, or to
// 32 when they carry alpha, instead of being refused or read as garbage.
TEST(LoadTexture, OtherPixelLayoutsAreConvertedFirst) {
    TempDir dir;
    writePngFile(dir.file("grey.png"), 2, 1, 8, pngGrey, {0, 200});
    FloatImage texture = loadOrFail(dir.file("grey.png"));
    expectTexelEq(texture.at(1, 0), unit(200), unit(200), unit(200), 1);

    // 16-bit samples keep their high byte.
    writePngFile(dir.file("grey16.png"), 2, 1, 16, pngGrey, {0x12, 0x34, 0xff, 0xff});
    texture = loadOrFail(dir.file("grey16.png"));
    expectTexelEq(texture.at(0, 0), unit(0x12), unit(0x12), unit(0x12), 1);
    expectTexelEq(texture.at(1, 0), 1, 1, 1, 1);

    writePngFile(dir.file("greyalpha.png"), 1, 1, 8, pngGreyAlpha, {100, 50});
    texture = loadOrFail(dir.file("greyalpha.png"));
    expectTexelEq(texture.at(0, 0), unit(100), unit(100), unit(100), unit(50));

    writePngFile(dir.file("rgb16.png"), 1, 1, 16, pngRgb, {0xff, 0, 0x80, 0x7f, 0, 0xff});
    texture = loadOrFail(dir.file("rgb16.png"));
    expectTexelEq(texture.at(0, 0), 1, unit(0x80), 0, 1);

    writePngFile(dir.file("rgba16.png"), 1, 1, 16, pngRgba, {0, 0, 0xff, 0xff, 0x40, 0, 0x20, 0});
    texture = loadOrFail(dir.file("rgba16.png"));
    expectTexelEq(texture.at(0, 0), 0, 1, unit(0x40), unit(0x20));

    // A palette with a transparent entry becomes 32 bits, one without stays opaque.
    const std::vector<unsigned char> palette = {255, 0, 0, 0, 255, 0, 0, 0, 255};
    writePngFile(dir.file("palette.png"), 3, 1, 8, pngPalette, {2, 1, 0}, palette, {255, 77});
    texture = loadOrFail(dir.file("palette.png"));
    expectTexelEq(texture.at(0, 0), 0, 0, 1, 1);
    expectTexelEq(texture.at(1, 0), 0, 1, 0, unit(77));
    writePngFile(dir.file("opaque.png"), 3, 1, 4, pngPalette, {0x21, 0x00}, palette);
    texture = loadOrFail(dir.file("opaque.png"));
    expectTexelEq(texture.at(0, 0), 0, 0, 1, 1);
    expectTexelEq(texture.at(1, 0), 0, 1, 0, 1);
    expectTexelEq(texture.at(2, 0), 1, 0, 0, 1);

    // Floats are clamped to [0, 1] and rounded to bytes like every other depth.
    writePfmFile(dir.file("float.pfm"), 2, 1, {0.5f, -1.0f, 7.0f, 0.0f, 1.0f, 0.25f});
    texture = loadOrFail(dir.file("float.pfm"));
    ASSERT_EQ(texture.width, 2);
    expectTexelEq(texture.at(0, 0), unit(128), 0, 1, 1);
    expectTexelEq(texture.at(1, 0), 0, 1, unit(64), 1);
}

TEST(LoadTexture, UnreadableFilesAreReportedByNameWithTheReason) {
    TempDir dir;
    writeTextFile(dir.file("garbage.png"), "this is not an image");
    writeTextFile(dir.file("garbage.xyz"), "this is not an image");
    const std::pair<std::string, std::string> cases[] = {
        {dir.file("missing.png"), "No such file or directory"},
        {dir.file("garbage.png"), "not a readable PNG picture"},  // the extension names the format
        {dir.file("garbage.xyz"), "not a picture in a format the image library reads"},
        {dir.path, "it is a directory"},
    };
    for (const auto& [path, reason] : cases) {
        FloatImage texture;
        std::string error;
        EXPECT_FALSE(loadTexture(path.c_str(), texture, error));
        EXPECT_EQ(error, "Error: " + path + ": cannot read the texture (" + reason + ")");
        EXPECT_EQ(texture.count, 0);
    }
}

// A run-length encoded 24-bit TGA (image type 10, bottom row first): runs of equal pixels become
// run packets, everything else one-pixel raw packets. The image library never writes this form.
static void writeRunLengthTga(const std::string& path, int width, int height, const std::vector<unsigned char>& rgb) {
    std::string tga(18, '\0');
    tga[2] = 10;
    tga[12] = static_cast<char>(width & 0xff), tga[13] = static_cast<char>(width >> 8);
    tga[14] = static_cast<char>(height & 0xff), tga[15] = static_cast<char>(height >> 8);
    tga[16] = 24;
    const int count = width * height;
    auto same = [&](int i, int j) { return std::equal(&rgb[3 * i], &rgb[3 * i + 3], &rgb[3 * j]); };
    for (int i = 0; i < count;) {
        int run = 1;
        while (i + run < count && run < 128 && same(i, i + run)) ++run;
        tga.push_back(static_cast<char>(0x80 | (run - 1)));
        for (int c = 2; c >= 0; --c) tga.push_back(static_cast<char>(rgb[3 * i + c]));
        i += run;
    }
    writeTextFile(path, tga);
}

// Some of the library's readers leave the missing part of a cut-off file black and report success;
// such files must be refused, while whole files (whose readers may read ahead past the end) load.
TEST(LoadTexture, FilesCutOffBeforeThePictureEndsAreRefused) {
    TempDir dir;
    std::vector<unsigned char> rgb;
    for (int i = 0; i < 40 * 30; ++i) {
        const unsigned char value = static_cast<unsigned char>((i / 7) % 3 == 0 ? i * 37 : 100);
        rgb.insert(rgb.end(), {value, static_cast<unsigned char>(255 - value), 9});
    }
    const FloatImage image = imageFromBytes(40, 30, rgb);
    const char* const written[] = {"whole.png", "whole.bmp", "whole.tga", "whole.jpg", "whole.ppm"};
    for (const char* name : written) writeImageFile(dir.file(name), image);
    writeRunLengthTga(dir.file("runs.tga"), 40, 30, rgb);

    for (const char* name : {"whole.png", "whole.bmp", "whole.tga", "whole.jpg", "whole.ppm", "runs.tga"}) {
        const std::string path = dir.file(name);
        const FloatImage whole = loadOrFail(path);
        EXPECT_EQ(whole.width, 40) << name;
        EXPECT_EQ(whole.height, 30) << name;
        if (std::string(name) == "runs.tga") {
            const DecodedImage decoded = readImageFile(path);
            EXPECT_EQ(decoded.rgb, rgb);
        }

        const std::string bytes = readTextFile(path);
        // 30 bytes short ends inside the pixels of every format here, the TGA footer being 26 bytes.
        for (const size_t kept : {bytes.size() * 3 / 4, bytes.size() - 30}) {
            const std::string cut = dir.file(std::to_string(kept) + "-" + name);
            writeTextFile(cut, bytes.substr(0, kept));
            FloatImage texture;
            std::string error;
            EXPECT_FALSE(loadTexture(cut.c_str(), texture, error)) << name << " cut to " << kept;
            EXPECT_EQ(error.rfind("Error: " + cut + ": cannot read the texture (", 0), 0u) << error;
            EXPECT_EQ(texture.count, 0) << name;
        }
    }
}

TEST(SaveLevelPng, TheFinalNameChoosesTheFormatAndNoTemporaryFileIsLeft) {
    TempDir dir;
    const FloatImage image = imageFromBytes(2, 2, {255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 99, 199});
    writeImageFile(dir.file("level.png"), image);
    writeImageFile(dir.file("level.bmp"), image);
    writeImageFile(dir.file("level.tga"), image);
    EXPECT_EQ(readTextFile(dir.file("level.png")).substr(1, 3), "PNG");
    EXPECT_EQ(readTextFile(dir.file("level.bmp")).substr(0, 2), "BM");
    EXPECT_EQ(listFiles(dir.path), (std::vector<std::string>{"level.bmp", "level.png", "level.tga"}));
    for (const char* name : {"level.png", "level.bmp", "level.tga"}) {
        const DecodedImage decoded = readImageFile(dir.file(name));
        EXPECT_EQ(decoded.rgb, (std::vector<unsigned char>{255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 99, 199})) << name;
    }

    // An existing file is replaced as a whole.
    writeImageFile(dir.file("level.png"), imageFromBytes(1, 1, {7, 8, 9}));
    EXPECT_EQ(readImageFile(dir.file("level.png")).rgb, (std::vector<unsigned char>{7, 8, 9}));
}

TEST(SaveLevelPng, FailuresNameTheFileAndLeaveNothingBehind) {
    TempDir dir;
    const FloatImage image = imageFromBytes(1, 1, {1, 2, 3});
    std::string error;
    const std::string missing = dir.file("no/such/dir/level.png");
    EXPECT_FALSE(saveLevelPng(missing.c_str(), 24, image, error));
    EXPECT_EQ(error.rfind("Error: " + missing + ": ", 0), 0u) << error;

    // A directory in the way of the final name.
    ASSERT_EQ(mkdir(dir.file("taken.png").c_str(), 0755), 0);
    const std::string taken = dir.file("taken.png");
    EXPECT_FALSE(saveLevelPng(taken.c_str(), 24, image, error));
    EXPECT_EQ(error.rfind("Error: " + taken + ": ", 0), 0u) << error;

    const std::string unknown = dir.file("level.nosuchformat");
    EXPECT_FALSE(saveLevelPng(unknown.c_str(), 24, image, error));
    EXPECT_EQ(error.rfind("Error: " + unknown + ": ", 0), 0u) << error;
    EXPECT_EQ(listFiles(dir.path), std::vector<std::string>{"taken.png"});
}

TEST(SavePyramid, WritesOneEncodedFilePerNonEmptyLevel) {
    TempDir dir;
    FloatImage texture;
    allocateImage(texture, 6, 3);
    for (int k = 0; k < texture.count; ++k) texture.texels[k] = Texel{0.5f, 1.0f, 0.0f, 0.0f};
    MipPyramid pyramid;
    buildBoxPyramid(pyramid, texture, 4);  // 6 x 3, 3 x 1, 1 x 0, 0 x 0
    GrowArray<std::string> errors;
    inDirectory(dir.path, [&] { EXPECT_TRUE(savePyramid(pyramid, "", "box", false, errors)); });
    EXPECT_EQ(errors.count, 0);
    EXPECT_EQ(listFiles(dir.path), (std::vector<std::string>{"mip_0_box.png", "mip_1_box.png"}));
    const DecodedImage level1 = readImageFile(dir.file("mip_1_box.png"));
    EXPECT_EQ(level1.width, 3);
    EXPECT_EQ(level1.height, 1);
    // Linear 0.5 encodes to 0.73536 (x 255 = 187.52, byte 188); alpha 0 is not written, so the file is opaque.
    EXPECT_EQ(level1.rgb, (std::vector<unsigned char>{188, 255, 0, 188, 255, 0, 188, 255, 0}));
    FloatImage reread = loadOrFail(dir.file("mip_1_box.png"));
    EXPECT_EQ(reread.at(0, 0).a, 1.0f);
}

TEST(SavePyramid, NamesFilesByLevelAndFilter) {
    TempDir dir;
    FloatImage texture;
    allocateImage(texture, 256, 256);
    MipPyramid pyramid;
    buildRainbowPyramid(pyramid, texture, 9);
    GrowArray<std::string> errors;
    // A folder given with or without its closing separator names the same files.
    EXPECT_TRUE(savePyramid(pyramid, dir.path, "rainbow", false, errors));
    EXPECT_TRUE(savePyramid(pyramid, dir.path + "/", "rainbow", false, errors));
    EXPECT_EQ(errors.count, 0);
    std::vector<std::string> expected;
    for (int k = 0; k < 9; ++k) expected.push_back("mip_" + std::to_string(k) + "_rainbow.png");
    EXPECT_EQ(listFiles(dir.path), expected);
}

TEST(SavePyramid, ALevelThatCannotBeWrittenDoesNotStopTheOthers) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("mip_1_box.png").c_str(), 0755), 0);
    FloatImage texture;
    allocateImage(texture, 4, 4);
    for (int k = 0; k < texture.count; ++k) texture.texels[k] = Texel{1, 1, 1, 1};
    MipPyramid pyramid;
    buildBoxPyramid(pyramid, texture, 3);
    testing::internal::CaptureStdout();
    bool written = true;
    GrowArray<std::string> errors;
    inDirectory(dir.path, [&] { written = savePyramid(pyramid, "", "box", false, errors); });
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(written);
    EXPECT_EQ(output, "") << "the caller prints the messages";
    ASSERT_EQ(errors.count, 1);
    EXPECT_EQ(errors[0].rfind("Error: mip_1_box.png: ", 0), 0u) << errors[0];
    // Written into a folder, the message names the file with its folder.
    EXPECT_FALSE(savePyramid(pyramid, dir.path, "box", false, errors));
    ASSERT_EQ(errors.count, 2);
    EXPECT_EQ(errors[1].rfind("Error: " + dir.path + "/mip_1_box.png: ", 0), 0u) << errors[1];
    EXPECT_EQ(listFiles(dir.path), (std::vector<std::string>{"mip_0_box.png", "mip_1_box.png", "mip_2_box.png"}));
    EXPECT_TRUE(fileExists(dir.file("mip_2_box.png")));
}
