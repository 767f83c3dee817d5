// PNG through libpng. Textures are decoded with the transformations the image library used to ask libpng for, so
// every texel keeps its value; levels are encoded with that library's settings. libpng reports errors by longjmp:
// each function that calls it sets its jump point first and owns nothing with a destructor, its buffers being raw
// pointers in the decoder or encoder record, which the caller holds and releases.
#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "image/picture_codecs.h"
#include "image/pixel_bytes.h"

// The rows libpng hands over after the transformations of configurePng. `indexed` covers palette pictures and
// grey ones of up to 8 bits, both looked up in a colour table; 8-bit colour comes blue first, 16-bit samples
// little-endian, and only their high byte counts (the image library's reduction to 8 bits).
enum class PngPixels { indexed, bgr8, bgra8, rgb16, rgba16, grey16 };

struct PngDecoder {
    const uint8_t* bytes = nullptr;
    size_t size = 0, position = 0;
    png_structp png = nullptr;
    png_infop info = nullptr;
    bool outOfMemory = false;
    char message[160] = "";

    uint32_t width = 0, height = 0;
    bool interlaced = false;
    size_t rowBytes = 0;
    PngPixels pixels = PngPixels::indexed;
    int indexBits = 8;
    bool hasAlpha = false;
    uint8_t colours[256][4] = {};  // indexed: r, g, b and alpha of each index

    unsigned char* buffer = nullptr;  // one row, or the whole picture when it is interlaced
    png_bytep* rows = nullptr;        // interlaced: where each row starts in `buffer`

    PngDecoder() = default;
    PngDecoder(const PngDecoder&) = delete;
    PngDecoder& operator=(const PngDecoder&) = delete;
    ~PngDecoder() {
        if (png) png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
        std::free(rows);
        std::free(buffer);
    }
};

static void decodeFailed(png_structp png, png_const_charp message) {
    PngDecoder& decoder = *static_cast<PngDecoder*>(png_get_error_ptr(png));
    std::snprintf(decoder.message, sizeof decoder.message, "%s", message ? message : "");
    png_longjmp(png, 1);
}

// Warnings are about ancillary chunks (dropped) or data past the picture; every fault that leaves pixels
// undecoded, a cut-off file or damaged image data, is an error.
static void ignoreWarning(png_structp, png_const_charp) {}

// libpng's allocations, noted when they fail so that the message can say the memory ran out.
static png_voidp allocateForPng(png_structp png, png_alloc_size_t size) {
    void* storage = std::malloc(size);
    if (!storage) static_cast<PngDecoder*>(png_get_mem_ptr(png))->outOfMemory = true;
    return storage;
}

static void freeForPng(png_structp, png_voidp storage) { std::free(storage); }

static void readPngBytes(png_structp png, png_bytep out, size_t count) {
    PngDecoder& decoder = *static_cast<PngDecoder*>(png_get_io_ptr(png));
    if (count > decoder.size - decoder.position) png_error(png, "the file ends before the picture does");
    std::memcpy(out, decoder.bytes + decoder.position, count);
    decoder.position += count;
}

// The colour table of a palette picture: indices past the palette are grey (index i is grey i) in 8-bit pictures and
// black in 1- and 4-bit ones, as the image library's blank tables were; alpha comes from the tRNS chunk for the
// entries it lists (255 for the others).
static void paletteColours(PngDecoder& d) {
    if (d.indexBits == 8) {
        for (int i = 0; i < 256; ++i) d.colours[i][0] = d.colours[i][1] = d.colours[i][2] = static_cast<uint8_t>(i);
    }
    png_colorp palette = nullptr;
    int entries = 0;
    png_get_PLTE(d.png, d.info, &palette, &entries);
    if (entries > (1 << d.indexBits)) entries = 1 << d.indexBits;
    for (int i = 0; i < entries; ++i) {
        d.colours[i][0] = palette[i].red, d.colours[i][1] = palette[i].green, d.colours[i][2] = palette[i].blue;
    }
    png_bytep alphas = nullptr;
    int count = 0;
    png_color_16p key = nullptr;
    if (png_get_valid(d.png, d.info, PNG_INFO_tRNS) && png_get_tRNS(d.png, d.info, &alphas, &count, &key) && alphas) {
        if (count > 256) count = 256;
        for (int i = 0; i < count; ++i) d.colours[i][3] = alphas[i];
        d.hasAlpha = count > 0;
    }
}

// The grey ramp of a grey picture of 1, 4 or 8 bits: index i is i x 255 / (2^bits - 1). A tRNS key makes the
// index equal to the key transparent; the key keeps the picture's own bit depth while the samples are already
// 8-bit (as the image library compared them), so below 8 bits only a key of 0 ever matches.
static void greyColours(PngDecoder& d) {
    const int entries = 1 << d.indexBits;
    for (int i = 0; i < entries; ++i) {
        const uint8_t grey = static_cast<uint8_t>(i * 255 / (entries - 1));
        d.colours[i][0] = d.colours[i][1] = d.colours[i][2] = grey;
    }
    png_bytep alphas = nullptr;
    int count = 0;
    png_color_16p key = nullptr;
    if (png_get_valid(d.png, d.info, PNG_INFO_tRNS) && png_get_tRNS(d.png, d.info, &alphas, &count, &key) && key &&
        key->gray < 256) {
        d.colours[key->gray][3] = 0;
        d.hasAlpha = true;
    }
}

// Asks libpng for the transformations the image library asked for and notes the layout of the rows they give.
// Keeping them keeps the values, quirks included: a gAMA chunk is applied for a display gamma of 2.2, but libpng
// corrects a palette only where it rewrites the palette before the first row (2-bit palettes, and 1- and 4-bit
// ones with a tRNS chunk), since the colour table is taken from it at that point.
static void configurePng(PngDecoder& d) {
    png_structp png = d.png;
    png_infop info = d.info;
    const int colourType = png_get_color_type(png, info);
    const int bitDepth = png_get_bit_depth(png, info);
    const int pixelDepth = bitDepth * png_get_channels(png, info);
    const bool transparent = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    switch (colourType) {
    case PNG_COLOR_TYPE_GRAY:
        // Sub-byte grey becomes 8-bit when it is 2-bit or has a tRNS key; 16-bit grey with a key gets alpha.
        if (bitDepth < 8 && (pixelDepth == 2 || transparent)) png_set_expand_gray_1_2_4_to_8(png);
        if (bitDepth == 16 && transparent) {
            png_set_tRNS_to_alpha(png);
            png_set_gray_to_rgb(png);
        }
        break;
    case PNG_COLOR_TYPE_RGB:
        if (transparent) png_set_tRNS_to_alpha(png);
        break;
    case PNG_COLOR_TYPE_PALETTE:
        if (bitDepth < 8 && (pixelDepth == 2 || transparent)) png_set_packing(png);
        break;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
        png_set_gray_to_rgb(png);
        break;
    default:
        break;
    }
    if (bitDepth == 16) png_set_swap(png);
    if (bitDepth == 8 && (colourType == PNG_COLOR_TYPE_RGB || colourType == PNG_COLOR_TYPE_RGB_ALPHA)) png_set_bgr(png);
    double gamma = 0;
    if (png_get_valid(png, info, PNG_INFO_gAMA) && png_get_gAMA(png, info, &gamma)) png_set_gamma(png, 2.2, gamma);
    png_read_update_info(png, info);

    d.width = png_get_image_width(png, info);
    d.height = png_get_image_height(png, info);
    d.interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
    d.rowBytes = png_get_rowbytes(png, info);
    const int type = png_get_color_type(png, info);
    const int depth = png_get_bit_depth(png, info);
    const int bits = depth * png_get_channels(png, info);
    for (auto& colour : d.colours) colour[0] = colour[1] = colour[2] = 0, colour[3] = 255;
    if (type == PNG_COLOR_TYPE_RGB || type == PNG_COLOR_TYPE_RGB_ALPHA) {
        d.hasAlpha = type == PNG_COLOR_TYPE_RGB_ALPHA;
        d.pixels = depth == 16 ? (d.hasAlpha ? PngPixels::rgba16 : PngPixels::rgb16)
                               : (d.hasAlpha ? PngPixels::bgra8 : PngPixels::bgr8);
    } else if (type == PNG_COLOR_TYPE_GRAY && depth == 16) {
        d.pixels = PngPixels::grey16;
    } else if ((type == PNG_COLOR_TYPE_PALETTE || type == PNG_COLOR_TYPE_GRAY) && (bits == 1 || bits == 4 || bits == 8)) {
        d.pixels = PngPixels::indexed;
        d.indexBits = bits;
        if (type == PNG_COLOR_TYPE_PALETTE) paletteColours(d);
        else greyColours(d);
    } else {
        png_error(png, "unsupported PNG pixel layout");
    }
}

static bool readPngHeader(PngDecoder& d) {
    d.png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, &d, decodeFailed, ignoreWarning, &d, allocateForPng,
                                     freeForPng);
    if (d.png) d.info = png_create_info_struct(d.png);
    if (!d.png || !d.info) {
        d.outOfMemory = true;
        return false;
    }
    if (setjmp(png_jmpbuf(d.png))) return false;
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    // Mutated files would almost never get past the checksums.
    png_set_crc_action(d.png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
#endif
    png_set_read_fn(d.png, &d, readPngBytes);
    png_read_info(d.png, d.info);
    configurePng(d);
    return true;
}

// One decoded row into the texels of one texture row.
static void convertPngRow(const PngDecoder& d, const unsigned char* row, Texel* out) {
    const uint32_t width = d.width;
    switch (d.pixels) {
    case PngPixels::indexed:
        for (uint32_t x = 0; x < width; ++x) {
            // Sub-byte indices are packed from the most significant bit.
            const unsigned index = d.indexBits == 8   ? row[x]
                                   : d.indexBits == 4 ? (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 15
                                                      : (row[x >> 3] >> (7 - (x & 7))) & 1;
            const uint8_t* c = d.colours[index];
            out[x] = Texel{unitFromByte(c[0]), unitFromByte(c[1]), unitFromByte(c[2]), d.hasAlpha ? unitFromByte(c[3]) : 1.0f};
        }
        break;
    case PngPixels::bgr8:
    case PngPixels::bgra8: {
        const int step = d.pixels == PngPixels::bgra8 ? 4 : 3;
        for (uint32_t x = 0; x < width; ++x) {
            const unsigned char* p = row + step * x;
            out[x] = Texel{unitFromByte(p[2]), unitFromByte(p[1]), unitFromByte(p[0]), step == 4 ? unitFromByte(p[3]) : 1.0f};
        }
        break;
    }
    case PngPixels::rgb16:
    case PngPixels::rgba16: {
        const int step = d.pixels == PngPixels::rgba16 ? 8 : 6;
        for (uint32_t x = 0; x < width; ++x) {
            const unsigned char* p = row + step * x;
            out[x] = Texel{unitFromByte(p[1]), unitFromByte(p[3]), unitFromByte(p[5]), step == 8 ? unitFromByte(p[7]) : 1.0f};
        }
        break;
    }
    case PngPixels::grey16:
        for (uint32_t x = 0; x < width; ++x) {
            const float grey = unitFromByte(row[2 * x + 1]);
            out[x] = Texel{grey, grey, grey, 1.0f};
        }
        break;
    }
}

// Reads the rows into `texture` (already width x height), the file's first row into the texture's last, then the
// chunks after the picture up to the end chunk. An interlaced picture is read whole by png_read_image, as before.
static bool readPngPixels(PngDecoder& d, FloatImage& texture) {
    if (setjmp(png_jmpbuf(d.png))) return false;
    png_set_benign_errors(d.png, 1);
    const size_t bufferRows = d.interlaced ? d.height : 1;
    if (d.rowBytes > SIZE_MAX / bufferRows ||
        !(d.buffer = static_cast<unsigned char*>(std::malloc(d.rowBytes * bufferRows))) ||
        (d.interlaced && !(d.rows = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * d.height))))) {
        d.outOfMemory = true;
        return false;
    }
    if (d.interlaced) {
        for (uint32_t y = 0; y < d.height; ++y) d.rows[y] = d.buffer + d.rowBytes * y;
        png_read_image(d.png, d.rows);
        for (uint32_t y = 0; y < d.height; ++y) convertPngRow(d, d.rows[y], &texture.at(0, static_cast<int32_t>(d.height - 1 - y)));
    } else {
        for (uint32_t y = 0; y < d.height; ++y) {
            png_read_row(d.png, d.buffer, nullptr);
            convertPngRow(d, d.buffer, &texture.at(0, static_cast<int32_t>(d.height - 1 - y)));
        }
    }
    png_read_end(d.png, d.info);
    return true;
}

static DecodeOutcome pngFailure(const PngDecoder& d, DecodeOutcome outcome) {
    if (d.outOfMemory) {
        outcome.status = DecodeStatus::noMemoryToDecode;
    } else {
        outcome.status = DecodeStatus::unreadable;
        outcome.reason = d.message[0] ? d.message : "not a readable PNG picture";
    }
    return outcome;
}

DecodeOutcome decodePng(const uint8_t* bytes, size_t size, int64_t maxTexels, FloatImage& texture) {
    DecodeOutcome outcome;
    if (size < 8 || png_sig_cmp(bytes, 0, 8) != 0) {
        outcome.status = DecodeStatus::unreadable;
        outcome.reason = "not a readable PNG picture";
        return outcome;
    }
    PngDecoder decoder;
    decoder.bytes = bytes;
    decoder.size = size;
    if (!readPngHeader(decoder)) return pngFailure(decoder, outcome);
    outcome.width = decoder.width;
    outcome.height = decoder.height;
    if (outcome.width * outcome.height > static_cast<uint64_t>(maxTexels)) {
        outcome.status = DecodeStatus::tooManyTexels;
        return outcome;
    }
    try {
        allocateImage(texture, static_cast<int32_t>(decoder.width), static_cast<int32_t>(decoder.height));
    } catch (const std::bad_alloc&) {
        outcome.status = DecodeStatus::noMemoryToHold;
        return outcome;
    }
    if (!readPngPixels(decoder, texture)) {
        releaseImage(texture);
        return pngFailure(decoder, outcome);
    }
    texture.hasAlpha = decoder.hasAlpha;
    return outcome;
}

struct PngEncoder {
    png_structp png = nullptr;
    png_infop info = nullptr;
    GrowArray<uint8_t>* out = nullptr;
    unsigned char* row = nullptr;
    char message[160] = "";

    PngEncoder() = default;
    PngEncoder(const PngEncoder&) = delete;
    PngEncoder& operator=(const PngEncoder&) = delete;
    ~PngEncoder() {
        if (png) png_destroy_write_struct(&png, info ? &info : nullptr);
        std::free(row);
    }
};

static void encodeFailed(png_structp png, png_const_charp message) {
    PngEncoder& encoder = *static_cast<PngEncoder*>(png_get_error_ptr(png));
    std::snprintf(encoder.message, sizeof encoder.message, "%s", message ? message : "");
    png_longjmp(png, 1);
}

// Appends encoded bytes to the output array. Growing it may throw, which must not cross libpng's frames: the
// failure becomes a libpng error once the exception is gone.
static void appendPngBytes(png_structp png, png_bytep data, size_t count) {
    GrowArray<uint8_t>& out = *static_cast<PngEncoder*>(png_get_io_ptr(png))->out;
    bool grown = count <= static_cast<size_t>(INT32_MAX - out.count);
    if (grown && out.count + static_cast<int32_t>(count) > out.capacity) {
        try {
            int32_t capacity = out.capacity;
            while (capacity < out.count + static_cast<int32_t>(count)) capacity = grownCapacity(capacity);
            reserve(out, capacity);
        } catch (const std::bad_alloc&) {
            grown = false;
        }
    }
    if (!grown) png_error(png, "not enough memory for the encoded image");
    std::memcpy(out.items + out.count, data, count);
    out.count += static_cast<int32_t>(count);
}

static void flushNothing(png_structp) {}

static bool writePngRows(PngEncoder& e, const FloatImage& image, bool withAlpha, bool markedSrgb) {
    e.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &e, encodeFailed, ignoreWarning);
    if (e.png) e.info = png_create_info_struct(e.png);
    if (!e.png || !e.info) {
        std::snprintf(e.message, sizeof e.message, "not enough memory for the encoder");
        return false;
    }
    if (setjmp(png_jmpbuf(e.png))) return false;
    png_set_write_fn(e.png, &e, appendPngBytes, flushNothing);
    png_set_IHDR(e.png, e.info, static_cast<png_uint_32>(image.width), static_cast<png_uint_32>(image.height), 8,
                 withAlpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (markedSrgb) png_set_sRGB(e.png, e.info, PNG_sRGB_INTENT_PERCEPTUAL);
    // The image library's settings for true-colour pictures: the default level, the filtered strategy, and the
    // none, sub and Paeth filters.
    png_set_compression_strategy(e.png, Z_FILTERED);
    png_set_filter(e.png, 0, PNG_FILTER_NONE | PNG_FILTER_SUB | PNG_FILTER_PAETH);
    png_write_info(e.png, e.info);
    const size_t channels = withAlpha ? 4 : 3;
    e.row = static_cast<unsigned char*>(std::malloc(channels * static_cast<size_t>(image.width)));
    if (!e.row) png_error(e.png, "not enough memory for a row");
    for (int32_t y = image.height - 1; y >= 0; --y) {
        const Texel* texels = &image.at(0, y);
        unsigned char* p = e.row;
        for (int32_t x = 0; x < image.width; ++x, p += channels) {
            p[0] = byteFromUnit(texels[x].r);
            p[1] = byteFromUnit(texels[x].g);
            p[2] = byteFromUnit(texels[x].b);
            if (withAlpha) p[3] = byteFromUnit(texels[x].a);
        }
        png_write_row(e.png, e.row);
    }
    png_write_end(e.png, e.info);
    return true;
}

bool encodePng(const FloatImage& image, bool withAlpha, bool markedSrgb, GrowArray<uint8_t>& png, std::string& reason) {
    clear(png);
    PngEncoder encoder;
    encoder.out = &png;
    if (writePngRows(encoder, image, withAlpha, markedSrgb)) return true;
    reason = encoder.message;
    release(png);
    return false;
}
