// Texture input in every pixel layout, the sRGB transfer functions and the level writer.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

#include <jpeglib.h>

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

// The layouts of fewer than 8 bits and the tRNS keys, with the values the image library gave: sub-byte samples are
// spread over 0..255 (2-bit 1 is 85, 4-bit 5 is 85), and a key makes the texels of that colour transparent. A grey
// key below 8 bits is compared with the samples already spread, so a key of 1 matches nothing and only 0 does;
// the texture still counts as having alpha.
TEST(LoadTexture, SubBytePixelsAndTransparentKeysKeepTheEarlierValues) {
    TempDir dir;
    const std::string path = dir.file("layout.png");
    FloatImage texture;
    writePngFile(path, 4, 1, 1, pngGrey, {0xb0});  // 1 0 1 1
    texture = loadOrFail(path);
    for (int x = 0; x < 4; ++x) EXPECT_EQ(texture.at(x, 0).r, x == 1 ? 0.0f : 1.0f);
    writePngFile(path, 4, 1, 2, pngGrey, {0x1b});  // 0 1 2 3
    texture = loadOrFail(path);
    for (int x = 0; x < 4; ++x) expectTexelEq(texture.at(x, 0), unit(85 * x), unit(85 * x), unit(85 * x), 1);
    EXPECT_FALSE(texture.hasAlpha);
    writePngFile(path, 2, 1, 4, pngGrey, {0x5f});
    texture = loadOrFail(path);
    expectTexelEq(texture.at(0, 0), unit(85), unit(85), unit(85), 1);
    EXPECT_EQ(texture.at(1, 0).g, 1.0f);

    const std::vector<unsigned char> palette = {255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 99, 199};
    writePngFile(path, 4, 1, 2, pngPalette, {0xc6}, palette);  // 3 0 1 2
    texture = loadOrFail(path);
    expectTexelEq(texture.at(0, 0), unit(9), unit(99), unit(199), 1);
    expectTexelEq(texture.at(3, 0), 0, 0, 1, 1);
    writePngFile(path, 2, 1, 1, pngPalette, {0x40}, palette, {0, 128});
    texture = loadOrFail(path);
    EXPECT_TRUE(texture.hasAlpha);
    expectTexelEq(texture.at(0, 0), 1, 0, 0, 0);
    expectTexelEq(texture.at(1, 0), 0, 1, 0, unit(128));

    writePngFile(path, 2, 1, 8, pngGrey, {200, 201}, {}, {0, 200});
    texture = loadOrFail(path);
    EXPECT_TRUE(texture.hasAlpha);
    expectTexelEq(texture.at(0, 0), unit(200), unit(200), unit(200), 0);
    EXPECT_EQ(texture.at(1, 0).a, 1.0f);
    writePngFile(path, 2, 1, 8, pngRgb, {10, 20, 30, 10, 20, 31}, {}, {0, 10, 0, 20, 0, 30});
    texture = loadOrFail(path);
    expectTexelEq(texture.at(0, 0), unit(10), unit(20), unit(30), 0);
    EXPECT_EQ(texture.at(1, 0).a, 1.0f);
    writePngFile(path, 2, 1, 16, pngGrey, {0x12, 0x34, 0x12, 0x35}, {}, {0x12, 0x34});
    texture = loadOrFail(path);
    expectTexelEq(texture.at(0, 0), unit(0x12), unit(0x12), unit(0x12), 0);
    EXPECT_EQ(texture.at(1, 0).a, 1.0f);
    writePngFile(path, 1, 1, 16, pngGreyAlpha, {0xab, 0xcd, 0x40, 0xff});
    texture = loadOrFail(path);
    expectTexelEq(texture.at(0, 0), unit(0xab), unit(0xab), unit(0xab), unit(0x40));

    for (const unsigned char key : {0, 1}) {
        writePngFile(path, 4, 1, 2, pngGrey, {0x1b}, {}, {0, key});
        texture = loadOrFail(path);
        EXPECT_TRUE(texture.hasAlpha);
        for (int x = 0; x < 4; ++x) EXPECT_EQ(texture.at(x, 0).a, key == 0 && x == 0 ? 0.0f : 1.0f) << "key " << int(key);
    }
}

// Adam7 stores the pixels in seven passes; the texture is the same as from the plain file.
TEST(LoadTexture, InterlacedPngsDecodeLikeTheirPlainTwins) {
    TempDir dir;
    const int width = 13, height = 7;
    struct Layout {
        int bitDepth;
        PngColourType type;
        int bitsPerPixel;
    };
    std::vector<unsigned char> palette(3 * 16);
    for (size_t i = 0; i < palette.size(); ++i) palette[i] = static_cast<unsigned char>(i * 5);
    for (const Layout& layout : {Layout{1, pngGrey, 1}, Layout{4, pngPalette, 4}, Layout{8, pngRgb, 24},
                                 Layout{16, pngRgba, 64}}) {
        std::vector<unsigned char> samples(static_cast<size_t>((width * layout.bitsPerPixel + 7) / 8) * height);
        for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<unsigned char>(i * 37 + 11);
        const bool indexed = layout.type == pngPalette;
        const std::vector<unsigned char> used = indexed ? palette : std::vector<unsigned char>{};
        const std::vector<unsigned char> alphas = indexed ? std::vector<unsigned char>{7, 70} : std::vector<unsigned char>{};
        writePngFile(dir.file("plain.png"), width, height, layout.bitDepth, layout.type, samples, used, alphas);
        writePngFile(dir.file("adam7.png"), width, height, layout.bitDepth, layout.type, samples, used, alphas, true);
        const FloatImage plain = loadOrFail(dir.file("plain.png"));
        const FloatImage adam7 = loadOrFail(dir.file("adam7.png"));
        ASSERT_EQ(adam7.count, width * height);
        EXPECT_EQ(adam7.hasAlpha, plain.hasAlpha);
        for (int k = 0; k < plain.count; ++k) {
            expectTexelEq(adam7.texels[k], plain.texels[k].r, plain.texels[k].g, plain.texels[k].b, plain.texels[k].a);
        }
    }
}

// As before, a gAMA chunk is applied for a display gamma of 2.2: linear samples (gamma 1.0) become
// 255 (v / 255)^(1 / 2.2), 128 giving 186; a chunk of 1 / 2.2 changes nothing. libpng corrects a palette only
// when it rewrites the palette before the first row, which the image library's settings did for 2-bit palettes
// but not for 8-bit ones, whose entries are kept as stored.
TEST(LoadTexture, AGammaChunkIsAppliedAsBefore) {
    TempDir dir;
    const std::string path = dir.file("gamma.png");
    writePngFile(path, 2, 1, 8, pngRgb, {0, 64, 128, 200, 255, 1}, {}, {}, false, 100000);
    FloatImage texture = loadOrFail(path);
    expectTexelEq(texture.at(0, 0), 0, unit(136), unit(186), 1);
    expectTexelEq(texture.at(1, 0), unit(228), 1, unit(21), 1);
    writePngFile(path, 1, 1, 8, pngRgb, {0, 64, 128}, {}, {}, false, 45455);
    expectTexelEq(loadOrFail(path).at(0, 0), 0, unit(64), unit(128), 1);

    const std::vector<unsigned char> palette = {128, 64, 200};
    writePngFile(path, 1, 1, 2, pngPalette, {0x00}, palette, {}, false, 100000);
    expectTexelEq(loadOrFail(path).at(0, 0), unit(186), unit(136), unit(228), 1);
    writePngFile(path, 1, 1, 8, pngPalette, {0x00}, palette, {}, false, 100000);
    expectTexelEq(loadOrFail(path).at(0, 0), unit(128), unit(64), unit(200), 1);
}

struct JpegOptions {
    bool progressive = false;
    int quality = 90;
    bool exifOrientation = false;  // an EXIF block saying the picture is turned a quarter
    bool scanPerBit = false;       // grey, progressive, one scan per AC coefficient and bit from bit 8 down: 568 scans
};

// A JPEG of `components` 1 (grey), 3 (RGB, stored as YCbCr, chroma halved both ways) or 4 (CMYK as Adobe stores
// it, inverted), samples top row first.
static void writeJpegFile(const std::string& path, int width, int height, int components,
                          const std::vector<unsigned char>& samples, const JpegOptions& options = {}) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    jpeg_compress_struct jpeg;
    jpeg_error_mgr errors;
    jpeg.err = jpeg_std_error(&errors);
    jpeg_create_compress(&jpeg);
    jpeg_stdio_dest(&jpeg, file);
    jpeg.image_width = static_cast<JDIMENSION>(width);
    jpeg.image_height = static_cast<JDIMENSION>(height);
    jpeg.input_components = components;
    jpeg.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB : JCS_CMYK;
    jpeg_set_defaults(&jpeg);
    jpeg_set_quality(&jpeg, options.quality, TRUE);
    if (options.progressive) jpeg_simple_progression(&jpeg);
    std::vector<jpeg_scan_info> scans = {{1, {0}, 0, 0, 0, 0}};
    for (int k = 1; options.scanPerBit && k < 64; ++k) {
        scans.push_back({1, {0}, k, k, 0, 8});
        for (int bit = 7; bit >= 0; --bit) scans.push_back({1, {0}, k, k, bit + 1, bit});
    }
    if (options.scanPerBit) {
        jpeg.scan_info = scans.data();
        jpeg.num_scans = static_cast<int>(scans.size());
    }
    jpeg_start_compress(&jpeg, TRUE);
    if (options.exifOrientation) {
        // A big-endian TIFF block with one entry: tag 0x112 (orientation), type short, count 1, value 6.
        const unsigned char exif[] = {'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 1, 0x12,
                                      0, 3, 0, 0, 0, 1, 0, 6, 0, 0, 0, 0, 0, 0};
        jpeg_write_marker(&jpeg, JPEG_APP0 + 1, exif, sizeof exif);
    }
    for (int y = 0; y < height; ++y) {
        JSAMPROW row = const_cast<unsigned char*>(samples.data()) + static_cast<size_t>(y) * width * components;
        jpeg_write_scanlines(&jpeg, &row, 1);
    }
    jpeg_finish_compress(&jpeg);
    jpeg_destroy_compress(&jpeg);
    std::fclose(file);
}

// Flat blocks at quality 100 carry their value exactly through the transform, so grey and CMYK pictures decode to
// known bytes: CMYK (200, 100, 50, 128) is r = 128 x 200 / 255 = 100, g = 50, b = 25 (integer division, as
// before). A progressive file holds the same coefficients as a baseline one and decodes to the same texels.
TEST(LoadTexture, JpegsOfEveryKindDecode) {
    TempDir dir;
    writeJpegFile(dir.file("grey.jpg"), 16, 16, 1, std::vector<unsigned char>(256, 77), {false, 100});
    FloatImage texture = loadOrFail(dir.file("grey.jpg"));
    EXPECT_FALSE(texture.hasAlpha);
    for (int k = 0; k < texture.count; ++k) expectTexelEq(texture.texels[k], unit(77), unit(77), unit(77), 1);

    std::vector<unsigned char> cmyk;
    for (int k = 0; k < 256; ++k) cmyk.insert(cmyk.end(), {200, 100, 50, 128});
    writeJpegFile(dir.file("cmyk.jpg"), 16, 16, 4, cmyk, {false, 100});
    texture = loadOrFail(dir.file("cmyk.jpg"));
    for (int k = 0; k < texture.count; ++k) expectTexelEq(texture.texels[k], unit(100), unit(50), unit(25), 1);

    // A smooth picture, top row first: red rises to the right, green downwards.
    const int width = 40, height = 24;
    std::vector<unsigned char> rgb;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) rgb.insert(rgb.end(), {static_cast<unsigned char>(6 * x), static_cast<unsigned char>(10 * y), 90});
    }
    writeJpegFile(dir.file("baseline.jpg"), width, height, 3, rgb);
    writeJpegFile(dir.file("progressive.jpg"), width, height, 3, rgb, {true});
    const FloatImage baseline = loadOrFail(dir.file("baseline.jpg"));
    const FloatImage progressive = loadOrFail(dir.file("progressive.jpg"));
    ASSERT_EQ(baseline.width, width);
    ASSERT_EQ(baseline.height, height);
    ASSERT_EQ(progressive.count, baseline.count);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Texel& t = baseline.at(x, height - 1 - y);  // row 0 is the bottom of the picture
            // Lossy, and the halved chroma is repeated rather than interpolated: within a dozen steps.
            EXPECT_NEAR(t.r * 255, 6 * x, 12) << x << "," << y;
            EXPECT_NEAR(t.g * 255, 10 * y, 12) << x << "," << y;
            EXPECT_NEAR(t.b * 255, 90, 12) << x << "," << y;
            const Texel& p = progressive.at(x, height - 1 - y);
            expectTexelEq(p, t.r, t.g, t.b, t.a);
        }
    }

    // The EXIF orientation is not applied: the texture is laid out as stored.
    writeJpegFile(dir.file("turned.jpg"), width, height, 3, rgb, {false, 90, true});
    texture = loadOrFail(dir.file("turned.jpg"));
    EXPECT_EQ(texture.width, width);
    for (int k = 0; k < texture.count; ++k) EXPECT_EQ(texture.texels[k].r, baseline.texels[k].r);
}

static void expectRefused(const std::string& path, const std::string& reason) {
    FloatImage texture;
    std::string error;
    EXPECT_FALSE(loadTexture(path.c_str(), texture, error)) << path;
    EXPECT_EQ(error.rfind(path + ": cannot read the texture (" + reason, 0), 0u) << error;
    EXPECT_EQ(texture.count, 0) << path;
}

// libjpeg decodes a cut-off or damaged file on as if the rest were grey and only warns; those warnings are
// errors here. The image library's reader noticed a cut file only when its last 4096-byte read came up short,
// so a cut at a multiple of 4096 bytes went through with a grey bottom. A PNG must reach its end chunk, and damaged
// image data (a flipped bit, caught by the zlib or chunk checksum) is an error.
TEST(LoadTexture, CutOffAndDamagedPngsAndJpegsAreRefusedByName) {
    TempDir dir;
    const int side = 128;
    std::vector<unsigned char> noise(3 * side * side);
    uint32_t seed = 1;
    for (unsigned char& byte : noise) byte = static_cast<unsigned char>((seed = seed * 1664525u + 1013904223u) >> 24);
    writeJpegFile(dir.file("noise.jpg"), side, side, 3, noise);
    writeJpegFile(dir.file("progressive.jpg"), side, side, 3, noise, {true});
    const std::string jpeg = readTextFile(dir.file("noise.jpg"));
    ASSERT_GT(jpeg.size(), 3 * 4096u);
    loadOrFail(dir.file("noise.jpg"));
    writeTextFile(dir.file("cut4096.jpg"), jpeg.substr(0, 2 * 4096));
    expectRefused(dir.file("cut4096.jpg"), "the file ends before the picture does");
    const std::string progressive = readTextFile(dir.file("progressive.jpg"));
    writeTextFile(dir.file("cut-progressive.jpg"), progressive.substr(0, progressive.size() / 2));
    expectRefused(dir.file("cut-progressive.jpg"), "the file ends before the picture does");
    // An end-of-image marker in the middle of the entropy-coded data.
    std::string damaged = jpeg;
    damaged.replace(damaged.size() / 2, 2, "\xff\xd9");
    writeTextFile(dir.file("damaged.jpg"), damaged);
    expectRefused(dir.file("damaged.jpg"), "Corrupt JPEG data");
    // Every scan is a pass over the whole picture: past 500 the file is refused rather than decoded for minutes.
    writeJpegFile(dir.file("scans.jpg"), 16, 16, 1, std::vector<unsigned char>(256, 99), {false, 90, false, true});
    expectRefused(dir.file("scans.jpg"), "a JPEG of more than 500 scans");

    std::vector<unsigned char> samples(8 * 8 * 3);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<unsigned char>(i * 13);
    writePngFile(dir.file("adam7.png"), 8, 8, 8, pngRgb, samples, {}, {}, true);
    const std::string png = readTextFile(dir.file("adam7.png"));
    writeTextFile(dir.file("cut-adam7.png"), png.substr(0, png.size() / 2));
    expectRefused(dir.file("cut-adam7.png"), "the file ends before the picture does");
    writeTextFile(dir.file("no-end.png"), png.substr(0, png.size() - 12));  // the end chunk is 12 bytes
    expectRefused(dir.file("no-end.png"), "the file ends before the picture does");
    std::string flipped = png;
    flipped[png.size() - 30] = static_cast<char>(flipped[png.size() - 30] ^ 1);  // inside the image data
    writeTextFile(dir.file("flipped.png"), flipped);
    expectRefused(dir.file("flipped.png"), "IDAT: ");
}

// The file's first bytes choose the decoder, whatever its name says; PSD files are refused by signature or, for
// a file with no known signature, by the .psd extension.
TEST(LoadTexture, TheSignatureChoosesTheDecoderAndPsdIsRefused) {
    TempDir dir;
    const FloatImage image = imageFromBytes(2, 1, {255, 0, 0, 0, 0, 255});
    writeImageFile(dir.file("picture.png"), image);
    writeImageFile(dir.file("picture.bmp"), image);
    writeJpegFile(dir.file("picture.jpg"), 8, 8, 1, std::vector<unsigned char>(64, 30), {false, 100});
    ASSERT_EQ(rename(dir.file("picture.png").c_str(), dir.file("png.jpg").c_str()), 0);
    ASSERT_EQ(rename(dir.file("picture.bmp").c_str(), dir.file("bmp.png").c_str()), 0);
    ASSERT_EQ(rename(dir.file("picture.jpg").c_str(), dir.file("jpeg.tga").c_str()), 0);
    for (const char* name : {"png.jpg", "bmp.png"}) {
        EXPECT_EQ(readImageFile(dir.file(name)).rgb, (std::vector<unsigned char>{255, 0, 0, 0, 0, 255})) << name;
    }
    EXPECT_EQ(loadOrFail(dir.file("jpeg.tga")).at(7, 7).g, unit(30));

    const std::string refusal = "PSD pictures are not supported; save the texture as PNG)";
    writeTextFile(dir.file("layers.psd"), std::string("8BPS\0\1\0\0\0\0\0\0\0\3", 14) + std::string(64, '\0'));
    writeTextFile(dir.file("layers.png"), readTextFile(dir.file("layers.psd")));
    writeTextFile(dir.file("junk.psd"), "not a picture at all");
    for (const char* name : {"layers.psd", "layers.png", "junk.psd"}) expectRefused(dir.file(name), refusal);
}

TEST(LoadTexture, UnreadableFilesAreReportedByNameWithTheReason) {
    TempDir dir;
    writeTextFile(dir.file("garbage.png"), "this is not an image");
    writeTextFile(dir.file("garbage.xyz"), "this is not an image");
    ASSERT_EQ(mkfifo(dir.file("pipe.png").c_str(), 0600), 0);  // opening it would wait for a writer
    const std::pair<std::string, std::string> cases[] = {
        {dir.file("missing.png"), "No such file or directory"},
        {dir.file("garbage.png"), "not a readable PNG picture"},  // the extension names the format
        {dir.file("garbage.xyz"), "not a picture in a format the image library reads"},
        {dir.path, "it is a directory"},
        {dir.file("pipe.png"), "not a regular file"},
    };
    for (const auto& [path, reason] : cases) {
        FloatImage texture;
        std::string error;
        EXPECT_FALSE(loadTexture(path.c_str(), texture, error));
        EXPECT_EQ(error, path + ": cannot read the texture (" + reason + ")");
        EXPECT_EQ(texture.count, 0);
    }
}

// An icon whose header promises far more than its 47 bytes: the image library's reader asks for more bytes than its
// buffer holds, and filling the rest of that request with zeros overflowed the heap. Found by the texture fuzzer.
TEST(LoadTexture, AnIconWhoseHeaderLiesIsRefused) {
    TempDir dir;
    const unsigned char icon[] = {0x00, 0x00, 0x01, 0x00, 0x61, 0x00, 0x00, 0x00, 0x47, 0x01, 0x00, 0x00, 0x00, 0x4e, 0x12, 0xc9,
                                  0x85, 0xd4, 0xd5, 0x00, 0x00, 0x00, 0x41, 0x40, 0xc9, 0x00, 0xf7, 0x00, 0xf4, 0xb3, 0x00, 0x18,
                                  0x00, 0x05, 0x72, 0xb2, 0xee, 0x68, 0x61, 0x70, 0x49, 0x46, 0x4c, 0x58, 0x45, 0x2e, 0x00};
    const std::string path = dir.file("lying.ico");
    writeTextFile(path, std::string(reinterpret_cast<const char*>(icon), sizeof icon));
    FloatImage texture;
    std::string error;
    EXPECT_FALSE(loadTexture(path.c_str(), texture, error));
    EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << error;
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
            EXPECT_EQ(error.rfind(cut + ": cannot read the texture (", 0), 0u) << error;
            EXPECT_EQ(texture.count, 0) << name;
        }
    }
}

// A PNG level and BMP and TGA pictures of the same bytes read back as those bytes; the level writer leaves no
// temporary file and replaces an existing file as a whole.
TEST(SaveLevelPng, LevelsAndOtherFormatsReadBackTheirBytesAndNoTemporaryFileIsLeft) {
    TempDir dir;
    const FloatImage image = imageFromBytes(2, 2, {255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 99, 199});
    std::string error;
    ASSERT_TRUE(saveLevelPng(dir.file("level.png").c_str(), 24, image, false, error)) << error;
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
    ASSERT_TRUE(saveLevelPng(dir.file("level.png").c_str(), 24, imageFromBytes(1, 1, {7, 8, 9}), false, error)) << error;
    EXPECT_EQ(readImageFile(dir.file("level.png")).rgb, (std::vector<unsigned char>{7, 8, 9}));
    EXPECT_EQ(listFiles(dir.path).size(), 3u);
}

// A level as libpng's own simple reader sees it: 8-bit RGB or RGBA, the top row of the picture (the level's last
// row) first, every byte as written.
TEST(SaveLevelPng, LevelsAreEightBitPngsTopRowFirst) {
    TempDir dir;
    FloatImage level = imageFromBytes(3, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18});
    for (int k = 0; k < level.count; ++k) level.texels[k].a = unit(40 * k);
    for (const int bits : {24, 32}) {
        const std::string path = dir.file("level" + std::to_string(bits) + ".png");
        std::string error;
        ASSERT_TRUE(saveLevelPng(path.c_str(), bits, level, false, error)) << error;
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str())) << image.message;
        EXPECT_EQ(image.format, bits == 32 ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB);
        std::vector<unsigned char> bytes(PNG_IMAGE_SIZE(image));
        ASSERT_TRUE(png_image_finish_read(&image, nullptr, bytes.data(), 0, nullptr)) << image.message;
        const std::vector<unsigned char> rgb = {10, 11, 12, 13, 14, 15, 16, 17, 18, 1, 2, 3, 4, 5, 6, 7, 8, 9};
        std::vector<unsigned char> expected;
        for (int k = 0; k < 6; ++k) {
            expected.insert(expected.end(), rgb.begin() + 3 * k, rgb.begin() + 3 * k + 3);
            if (bits == 32) expected.push_back(static_cast<unsigned char>(40 * ((k + 3) % 6)));
        }
        EXPECT_EQ(bytes, expected) << bits;

        const FloatImage reread = loadOrFail(path);
        EXPECT_EQ(reread.hasAlpha, bits == 32);
        for (int k = 0; k < level.count; ++k) {
            expectTexelEq(reread.texels[k], level.texels[k].r, level.texels[k].g, level.texels[k].b,
                          bits == 32 ? level.texels[k].a : 1.0f);
        }
    }
}

TEST(SaveLevelPng, FailuresNameTheFileAndLeaveNothingBehind) {
    TempDir dir;
    const FloatImage image = imageFromBytes(1, 1, {1, 2, 3});
    std::string error;
    const std::string missing = dir.file("no/such/dir/level.png");
    EXPECT_FALSE(saveLevelPng(missing.c_str(), 24, image, false, error));
    EXPECT_EQ(error.rfind(missing + ": ", 0), 0u) << error;

    // A directory in the way of the final name.
    ASSERT_EQ(mkdir(dir.file("taken.png").c_str(), 0755), 0);
    const std::string taken = dir.file("taken.png");
    EXPECT_FALSE(saveLevelPng(taken.c_str(), 24, image, false, error));
    EXPECT_EQ(error.rfind(taken + ": ", 0), 0u) << error;

    // A depth PNG levels do not come in.
    const std::string deep = dir.file("level.png");
    EXPECT_FALSE(saveLevelPng(deep.c_str(), 16, image, false, error));
    EXPECT_EQ(error.rfind(deep + ": ", 0), 0u) << error;
    EXPECT_EQ(listFiles(dir.path), std::vector<std::string>{"taken.png"});
}

TEST(SavePyramid, WritesOneEncodedFilePerLevelDownToOneTexel) {
    TempDir dir;
    FloatImage texture;
    allocateImage(texture, 6, 3);
    for (int k = 0; k < texture.count; ++k) texture.texels[k] = Texel{0.5f, 1.0f, 0.0f, 0.0f};
    MipPyramid pyramid;
    buildBoxPyramid(pyramid, texture, 3);  // 6 x 3, 3 x 1, 1 x 1
    GrowArray<std::string> errors;
    inDirectory(dir.path, [&] { EXPECT_TRUE(savePyramid(pyramid, "", "box", false, TexelEncoding::srgb, errors)); });
    EXPECT_EQ(errors.count, 0);
    EXPECT_EQ(listFiles(dir.path), (std::vector<std::string>{"mip_0_box.png", "mip_1_box.png", "mip_2_box.png"}));
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
    EXPECT_TRUE(savePyramid(pyramid, dir.path, "rainbow", false, TexelEncoding::srgb, errors));
    EXPECT_TRUE(savePyramid(pyramid, dir.path + "/", "rainbow", false, TexelEncoding::srgb, errors));
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
    inDirectory(dir.path, [&] { written = savePyramid(pyramid, "", "box", false, TexelEncoding::srgb, errors); });
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(written);
    EXPECT_EQ(output, "") << "the caller prints the messages";
    ASSERT_EQ(errors.count, 1);
    EXPECT_EQ(errors[0].rfind("mip_1_box.png: ", 0), 0u) << errors[0];
    // Written into a folder, the message names the file with its folder.
    EXPECT_FALSE(savePyramid(pyramid, dir.path, "box", false, TexelEncoding::srgb, errors));
    ASSERT_EQ(errors.count, 2);
    EXPECT_EQ(errors[1].rfind(dir.path + "/mip_1_box.png: ", 0), 0u) << errors[1];
    EXPECT_EQ(listFiles(dir.path), (std::vector<std::string>{"mip_0_box.png", "mip_1_box.png", "mip_2_box.png"}));
    EXPECT_TRUE(fileExists(dir.file("mip_2_box.png")));
}
