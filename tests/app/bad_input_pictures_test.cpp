// Textures in the picture formats read through the image library, end to end: a whole file is read, the same
// file cut short (missing its last byte, or its second half) is refused by name with status 1 and no level file,
// and no line of the libraries' own reaches the terminal. Formats the library writes come from it; the others
// are built here byte by byte.
#include <FreeImage.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

static const int pictureTimeoutSeconds = 30;
static const int side = 32;
static const char* const endsEarly = "the file ends before the picture does";

// The picture every file holds, r g b per pixel from the top row: stretches of noise between runs of one grey, so
// that run-length encoders write both kinds of packet.
static std::vector<unsigned char> pictureSamples() {
    std::vector<unsigned char> rgb(3 * side * side);
    uint32_t seed = 11;
    for (size_t i = 0; i < rgb.size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        rgb[i] = static_cast<unsigned char>((i / 24) % 3 == 0 ? seed >> 24 : 40 + i / 96 % 7 * 30);
    }
    return rgb;
}

static void putLittle(std::string& bytes, uint64_t value, int count) {
    for (int k = 0; k < count; ++k) bytes += static_cast<char>(value >> 8 * k);
}

static void putBig(std::string& bytes, uint64_t value, int count) {
    for (int k = count - 1; k >= 0; --k) bytes += static_cast<char>(value >> 8 * k);
}

// Splits `samples` into runs of one value, none longer than `longest`, and appends each as `packet` writes it.
template <typename Packet>
static void appendRuns(std::string& bytes, const std::vector<unsigned char>& samples, size_t longest, Packet packet) {
    for (size_t i = 0; i < samples.size();) {
        size_t run = 1;
        while (i + run < samples.size() && run < longest && samples[i + run] == samples[i]) ++run;
        packet(bytes, samples[i], run);
        i += run;
    }
}

// One channel (0 red, 1 green, 2 blue) of the picture's rows `first` to `last` - 1.
static std::vector<unsigned char> channel(int c, int first, int last) {
    const std::vector<unsigned char> rgb = pictureSamples();
    std::vector<unsigned char> samples;
    for (int i = first * side; i < last * side; ++i) samples.push_back(rgb[3 * i + c]);
    return samples;
}

// Sun raster, 24-bit: the 32-byte header (magic, width, height, depth, data length, type 1 plain or 2 run-length,
// no colour map), then blue, green, red rows from the top. Runs are the escape byte 0x80, the count less one and
// the value; 0x80 0 stands for the byte 0x80 itself.
static std::string sunRaster(bool runLength) {
    const std::vector<unsigned char> rgb = pictureSamples();
    std::vector<unsigned char> bgr(rgb.size());
    for (size_t i = 0; i < rgb.size(); i += 3) bgr[i] = rgb[i + 2], bgr[i + 1] = rgb[i + 1], bgr[i + 2] = rgb[i];
    std::string data(bgr.begin(), bgr.end());
    if (runLength) {
        data.clear();
        appendRuns(data, bgr, 256, [](std::string& out, unsigned char v, size_t n) {
            if (n > 1) out += {'\x80', static_cast<char>(n - 1), static_cast<char>(v)};
            else if (v == 0x80) out += {'\x80', '\0'};
            else out += static_cast<char>(v);
        });
    }
    std::string ras;
    const uint64_t header[8] = {0x59a66a95, side, side, 24, data.size(), runLength ? 2u : 1u, 0, 0};
    for (const uint64_t word : header) putBig(ras, word, 4);
    return ras + data;
}

// SGI, 8 bits and three channels: the 512-byte header (magic 474, storage 0 verbatim or 1 run-length, one byte per
// sample, dimension 3, width, height, channels, sample range), then each channel's rows from the bottom, or the
// rows' offset and length tables and rows of (count, value) runs, each row ended by a zero.
static std::string sgiImage(bool runLength) {
    std::string sgi;
    putBig(sgi, 474, 2);
    sgi += {static_cast<char>(runLength ? 1 : 0), 1};
    for (const int word : {3, side, side, 3}) putBig(sgi, static_cast<uint64_t>(word), 2);
    putBig(sgi, 0, 4);
    putBig(sgi, 255, 4);
    sgi.resize(512, '\0');
    std::vector<std::string> rows;
    for (int c = 0; c < 3; ++c) {
        for (int y = side - 1; y >= 0; --y) {
            const std::vector<unsigned char> row = channel(c, y, y + 1);
            std::string packed(row.begin(), row.end());
            if (runLength) {
                packed.clear();
                appendRuns(packed, row, 127, [](std::string& out, unsigned char v, size_t n) {
                    out += {static_cast<char>(n), static_cast<char>(v)};
                });
                packed += '\0';
            }
            rows.push_back(packed);
        }
    }
    if (runLength) {
        size_t offset = 512 + 8 * rows.size();
        for (const std::string& row : rows) putBig(sgi, offset, 4), offset += row.size();
        for (const std::string& row : rows) putBig(sgi, row.size(), 4);
    }
    for (const std::string& row : rows) sgi += row;
    return sgi;
}

// PCX, run-length: the 128-byte header (maker 10, version 5, encoding 1, 8 bits, the window, one or three planes of
// `side` bytes a line), then each scan line's planes, a run being 0xC0 plus its count (up to 63) and the value. One
// plane holds palette indices, and the 256-colour palette follows the lines after the byte 12.
static std::string pcxImage(int planes) {
    std::string pcx = {10, 5, 1, 8};
    for (const int word : {0, 0, side - 1, side - 1, 72, 72}) putLittle(pcx, static_cast<uint64_t>(word), 2);
    pcx.resize(65, '\0');
    pcx += static_cast<char>(planes);
    putLittle(pcx, side, 2);
    putLittle(pcx, 1, 2);
    pcx.resize(128, '\0');
    for (int y = 0; y < side; ++y) {
        for (int c = 0; c < planes; ++c) {
            appendRuns(pcx, channel(c, y, y + 1), 63, [](std::string& out, unsigned char v, size_t n) {
                if (n > 1 || v >= 0xc0) out += static_cast<char>(0xc0 | n);
                out += static_cast<char>(v);
            });
        }
    }
    if (planes == 1) {
        pcx += '\x0c';
        for (int k = 0; k < 256; ++k) {
            pcx += {static_cast<char>(k), static_cast<char>(255 - k), static_cast<char>(k / 2)};
        }
    }
    return pcx;
}

// DDS: "DDS ", the 124-byte header (size, flags, height, width, pitch, depth, level count, reserved words), the
// 32-byte pixel format, the capabilities; then 32-bit BGRA pixels, or DXT1 blocks of 8 bytes per 4 x 4 pixels.
static std::string ddsImage(bool compressed) {
    std::string dds = "DDS ";
    for (const uint64_t word : {124, 0x1007, side, side, 0}) putLittle(dds, word, 4);
    dds.resize(4 + 72, '\0');
    putLittle(dds, 32, 4);
    putLittle(dds, compressed ? 0x4 : 0x41, 4);  // a four-character code, or RGB with alpha
    dds += compressed ? std::string("DXT1") + std::string(20, '\0') : std::string(4, '\0');
    if (!compressed) {
        for (const uint64_t word : {0x20u, 0xff0000u, 0xff00u, 0xffu, 0xff000000u}) putLittle(dds, word, 4);
    }
    putLittle(dds, 0x1000, 4);
    dds.resize(4 + 124, '\0');
    const std::vector<unsigned char> rgb = pictureSamples();
    if (compressed) return dds + std::string(rgb.begin(), rgb.begin() + side * side / 2);
    for (size_t i = 0; i < rgb.size(); i += 3) {
        dds += {static_cast<char>(rgb[i + 2]), static_cast<char>(rgb[i + 1]), static_cast<char>(rgb[i]), '\xff'};
    }
    return dds;
}

// A little-endian TIFF whose directory comes first, so that the reader has the picture's layout before its
// pixels: 8-bit RGB in four strips of 8 rows, uncompressed. Eleven entries (tag, type 3 short or 4 long, count,
// value or offset), then the sample sizes, the strips' offsets and byte counts, and the strips.
static std::string tiffWithStrips() {
    const int strips = 4, stripBytes = 3 * side * side / strips;
    const uint64_t arrays = 8 + 2 + 11 * 12 + 4, offsets = arrays + 6, counts = offsets + 4 * strips,
                   pixels = counts + 4 * strips;
    std::string tiff = "II*";
    tiff += '\0';
    putLittle(tiff, 8, 4);
    putLittle(tiff, 11, 2);
    const uint64_t entries[11][4] = {
        {256, 3, 1, side}, {257, 3, 1, side}, {258, 3, 3, arrays}, {259, 3, 1, 1}, {262, 3, 1, 2},
        {273, 4, strips, offsets}, {277, 3, 1, 3}, {278, 3, 1, side / strips}, {279, 4, strips, counts},
        {284, 3, 1, 1}, {296, 3, 1, 1}};
    for (const auto& entry : entries) {
        putLittle(tiff, entry[0], 2);
        putLittle(tiff, entry[1], 2);
        putLittle(tiff, entry[2], 4);
        putLittle(tiff, entry[3], 4);
    }
    putLittle(tiff, 0, 4);
    for (int k = 0; k < 3; ++k) putLittle(tiff, 8, 2);
    for (int k = 0; k < strips; ++k) putLittle(tiff, pixels + static_cast<uint64_t>(k * stripBytes), 4);
    for (int k = 0; k < strips; ++k) putLittle(tiff, static_cast<uint64_t>(stripBytes), 4);
    const std::vector<unsigned char> rgb = pictureSamples();
    return tiff + std::string(rgb.begin(), rgb.end());
}

// The picture as the image library writes `format`: 24-bit, with a palette for GIF, float RGB for the
// high dynamic range formats.
static std::string libraryPicture(FREE_IMAGE_FORMAT format) {
    const std::vector<unsigned char> rgb = pictureSamples();
    FIBITMAP* picture = FreeImage_Allocate(side, side, 24);
    for (int y = 0; y < side; ++y) {
        BYTE* line = FreeImage_GetScanLine(picture, static_cast<unsigned>(side - 1 - y));  // stored bottom row first
        for (int x = 0; x < side; ++x) {
            const unsigned char* p = &rgb[3 * static_cast<size_t>(y * side + x)];
            line[3 * x + FI_RGBA_RED] = p[0], line[3 * x + FI_RGBA_GREEN] = p[1], line[3 * x + FI_RGBA_BLUE] = p[2];
        }
    }
    FIBITMAP* written = format == FIF_GIF ? FreeImage_ColorQuantize(picture, FIQ_WUQUANT)
                        : format == FIF_HDR || format == FIF_EXR || format == FIF_PFM
                            ? FreeImage_ConvertToType(picture, FIT_RGBF)
                            : FreeImage_Clone(picture);
    FIMEMORY* memory = FreeImage_OpenMemory();
    BYTE* data = nullptr;
    DWORD size = 0;
    std::string bytes;
    if (written && FreeImage_SaveToMemory(format, written, memory, 0) &&
        FreeImage_AcquireMemory(memory, &data, &size)) {
        bytes.assign(reinterpret_cast<const char*>(data), size);
    }
    FreeImage_CloseMemory(memory);
    FreeImage_Unload(written);
    FreeImage_Unload(picture);
    return bytes;
}

struct Picture {
    std::string name;
    std::string bytes;
    const char* reason;  // the reason a cut-off file is refused for, where kiv finds it rather than the decoder
};

static std::vector<Picture> everyFormat() {
    return {
        {"strips.tif", tiffWithStrips(), endsEarly},
        {"written.tif", libraryPicture(FIF_TIFF), endsEarly},
        {"icon.ico", libraryPicture(FIF_ICO), endsEarly},
        {"picture.gif", libraryPicture(FIF_GIF), endsEarly},
        {"picture.hdr", libraryPicture(FIF_HDR), endsEarly},
        {"picture.exr", libraryPicture(FIF_EXR), endsEarly},
        {"picture.pfm", libraryPicture(FIF_PFM), endsEarly},
        {"plain.ras", sunRaster(false), endsEarly},
        {"runs.ras", sunRaster(true), endsEarly},
        {"plain.sgi", sgiImage(false), endsEarly},
        {"runs.sgi", sgiImage(true), endsEarly},
        {"palette.pcx", pcxImage(1), endsEarly},
        {"planes.pcx", pcxImage(3), endsEarly},
        {"rgba.dds", ddsImage(false), endsEarly},
        {"dxt1.dds", ddsImage(true), endsEarly},
        // These decoders read ahead of what they need, or the whole file at once, and refuse a cut-off stream.
        {"picture.j2k", libraryPicture(FIF_J2K), ""},
        {"picture.jp2", libraryPicture(FIF_JP2), ""},
        {"picture.webp", libraryPicture(FIF_WEBP), ""},
    };
}

// A line of output with every number made '#', so that runs compare whatever their timings.
static std::string withoutNumbers(const std::string& line) {
    std::string plain;
    for (const char c : line) {
        if (!std::isdigit(static_cast<unsigned char>(c))) plain += c;
        else if (plain.empty() || plain.back() != '#') plain += '#';
    }
    return plain;
}

static std::vector<std::string> linesWithoutNumbers(const std::string& output) {
    std::vector<std::string> lines = outputLines(output);
    for (std::string& line : lines) line = withoutNumbers(line);
    return lines;
}

static std::vector<std::string> levelFiles(const TempDir& dir) {
    std::vector<std::string> names;
    for (const std::string& name : listFiles(dir.path)) {
        if (name.rfind("mip_", 0) == 0) names.push_back(name);
    }
    return names;
}

// What kiv prints with the same picture as a PNG: its lines are the only ones a run with another format may print.
static std::vector<std::string> outputWithPng() {
    TempDir dir;
    writeTextFile(dir.file("model.obj"), unitSquareObj());
    const std::vector<unsigned char> rgb = pictureSamples();
    writeImageFile(dir.file("picture.png"), imageFromBytes(side, side, rgb));
    const CommandResult result = runKiv(dir.path, {"model.obj", "picture.png", "box"}, pictureTimeoutSeconds);
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    return linesWithoutNumbers(result.output);
}

// The run refused the file with a single error line starting `error`, and printed no line that a run with the
// picture as a PNG would not print.
static void expectRefusedWith(const CommandResult& result, const TempDir& dir, const std::string& error,
                              const std::vector<std::string>& pngLines) {
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 1) << result.output;
    EXPECT_EQ(levelFiles(dir), std::vector<std::string>{});
    std::vector<std::string> errorLines, strayLines;
    for (const std::string& line : outputLines(result.output)) {
        if (line.rfind("Error: ", 0) == 0) errorLines.push_back(line);
        else if (std::find(pngLines.begin(), pngLines.end(), withoutNumbers(line)) == pngLines.end()) {
            strayLines.push_back(line);
        }
    }
    EXPECT_EQ(strayLines, std::vector<std::string>{});
    ASSERT_EQ(errorLines.size(), 1u) << result.output;
    EXPECT_EQ(errorLines[0].rfind(error, 0), 0u) << errorLines[0];
}

TEST(BadPictures, EveryFormatIsReadWholeAndRefusedCutShort) {
    const std::vector<std::string> pngLines = outputWithPng();
    for (const Picture& picture : everyFormat()) {
        SCOPED_TRACE(picture.name);
        ASSERT_GT(picture.bytes.size(), 64u);
        TempDir dir;
        writeTextFile(dir.file("model.obj"), unitSquareObj());
        writeTextFile(dir.file(picture.name), picture.bytes);
        const CommandResult whole = runKiv(dir.path, {"model.obj", picture.name, "box"}, pictureTimeoutSeconds);
        EXPECT_EQ(whole.exitStatus, 0) << whole.output;
        EXPECT_EQ(linesWithoutNumbers(whole.output), pngLines) << whole.output;

        for (const size_t kept : {picture.bytes.size() - 1, picture.bytes.size() / 2}) {
            TempDir cutDir;
            writeTextFile(cutDir.file("model.obj"), unitSquareObj());
            const std::string name = "cut" + std::to_string(kept) + "-" + picture.name;
            writeTextFile(cutDir.file(name), picture.bytes.substr(0, kept));
            const CommandResult cut = runKiv(cutDir.path, {"model.obj", name, "box"}, pictureTimeoutSeconds);
            expectRefusedWith(cut, cutDir, "Error: " + name + ": cannot read the texture (" + picture.reason, pngLines);
        }
    }
}

// The image library reads more formats than these; kiv refuses the others by name. The XBM reader, for one, loops
// for ever on a file that ends after the comma behind a pixel value.
TEST(BadPictures, FormatsWhoseCutOffFilesAreNotCaughtAreRefusedByName) {
    const std::vector<std::string> pngLines = outputWithPng();
    std::string xbm = "#define picture_width 16\n#define picture_height 16\nstatic char picture_bits[] = {\n";
    for (int k = 0; k < 32; ++k) xbm += "0x5a,";
    xbm += "};\n";
    for (const size_t kept : {xbm.size(), xbm.size() - 8}) {
        TempDir dir;
        writeTextFile(dir.file("model.obj"), unitSquareObj());
        writeTextFile(dir.file("bits.xbm"), xbm.substr(0, kept));
        const CommandResult result = runKiv(dir.path, {"model.obj", "bits.xbm", "box"}, pictureTimeoutSeconds);
        const std::string error =
            "Error: bits.xbm: cannot read the texture (XBM pictures are not supported; save the texture as PNG)";
        expectRefusedWith(result, dir, error, pngLines);
    }
}
