// JPEG through libjpeg-turbo, decoded with the settings the image library used, so every texel keeps its value.
// libjpeg reports errors by longjmp: each function that calls it sets its jump point first and owns nothing with a
// destructor, its buffers being raw pointers in the decoder record, which the caller holds and releases.
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>
#include <jerror.h>

#include "image/picture_codecs.h"
#include "image/pixel_bytes.h"

// A progressive file may hold any number of scans, each of which makes libjpeg pass over the whole picture's
// coefficients; files with more than this many are refused rather than decoded for minutes.
static constexpr int maxScans = 500;

struct JpegDecoder {
    jpeg_decompress_struct jpeg;
    jpeg_error_mgr errors;
    jpeg_progress_mgr progress;
    std::jmp_buf jump;
    bool created = false;
    bool outOfMemory = false;
    char message[JMSG_LENGTH_MAX] = "";
    unsigned char* row = nullptr;

    JpegDecoder() = default;
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;
    ~JpegDecoder() {
        if (created) jpeg_destroy_decompress(&jpeg);
        std::free(row);
    }
};

static JpegDecoder& decoderOf(j_common_ptr jpeg) { return *static_cast<JpegDecoder*>(jpeg->client_data); }

[[noreturn]] static void decodeFailed(j_common_ptr jpeg) {
    JpegDecoder& decoder = decoderOf(jpeg);
    jpeg->err->format_message(jpeg, decoder.message);
    decoder.outOfMemory = jpeg->err->msg_code == JERR_OUT_OF_MEMORY;
    std::longjmp(decoder.jump, 1);
}

// libjpeg only warns when the file ends early (it decodes on as if the picture ended there) or when the
// entropy-coded data is damaged (it fills what it cannot decode); those pictures would be partly grey, so
// they are errors. Other warnings (stray bytes between markers, unknown JFIF or Adobe versions) leave every
// pixel decoded. Trace messages are dropped: a library prints nothing.
static void warnOrFail(j_common_ptr jpeg, int level) {
    if (level >= 0) return;
    switch (jpeg->err->msg_code) {
    case JWRN_JPEG_EOF: {
        JpegDecoder& decoder = decoderOf(jpeg);
        std::snprintf(decoder.message, sizeof decoder.message, "the file ends before the picture does");
        std::longjmp(decoder.jump, 1);
    }
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_MUST_RESYNC:
    case JWRN_BOGUS_PROGRESSION:
        decodeFailed(jpeg);
    default:
        ++jpeg->err->num_warnings;
    }
}

static void printNothing(j_common_ptr) {}

static void limitScans(j_common_ptr jpeg) {
    const j_decompress_ptr decompress = reinterpret_cast<j_decompress_ptr>(jpeg);
    if (decompress->input_scan_number <= maxScans) return;
    JpegDecoder& decoder = decoderOf(jpeg);
    std::snprintf(decoder.message, sizeof decoder.message, "a JPEG of more than %d scans", maxScans);
    std::longjmp(decoder.jump, 1);
}

static bool readJpegHeader(JpegDecoder& d, const uint8_t* bytes, size_t size) {
    d.jpeg.err = jpeg_std_error(&d.errors);
    d.errors.error_exit = decodeFailed;
    d.errors.emit_message = warnOrFail;
    d.errors.output_message = printNothing;
    d.jpeg.client_data = &d;
    d.progress.progress_monitor = limitScans;
    if (setjmp(d.jump)) return false;
    jpeg_create_decompress(&d.jpeg);
    d.created = true;
    d.jpeg.progress = &d.progress;
    jpeg_mem_src(&d.jpeg, const_cast<unsigned char*>(bytes), static_cast<unsigned long>(size));
    jpeg_read_header(&d.jpeg, TRUE);
    return true;
}

// Decodes the scan lines into `texture` (already width x height), the first line into the texture's last row.
static bool readJpegPixels(JpegDecoder& d, FloatImage& texture) {
    if (setjmp(d.jump)) return false;
    // The image library's defaults: the fast integer transform and no fancy upsampling of the chroma.
    d.jpeg.dct_method = JDCT_IFAST;
    d.jpeg.do_fancy_upsampling = FALSE;
    jpeg_start_decompress(&d.jpeg);
    const J_COLOR_SPACE space = d.jpeg.out_color_space;
    const int components = d.jpeg.output_components;
    if (!(space == JCS_GRAYSCALE && components == 1) && !(space == JCS_RGB && components == 3) &&
        !(space == JCS_CMYK && components == 4)) {
        std::snprintf(d.message, sizeof d.message, "a JPEG colour space of %d components that is not grey, RGB or CMYK",
                      d.jpeg.num_components);
        return false;
    }
    const uint32_t width = d.jpeg.output_width, height = d.jpeg.output_height;
    if (width != static_cast<uint32_t>(texture.width) || height != static_cast<uint32_t>(texture.height)) {
        std::snprintf(d.message, sizeof d.message, "the decoded size differs from the declared one");
        return false;
    }
    d.row = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(width) * components));
    if (!d.row) {
        d.outOfMemory = true;
        return false;
    }
    while (d.jpeg.output_scanline < height) {
        const uint32_t line = d.jpeg.output_scanline;
        JSAMPROW row = d.row;
        if (jpeg_read_scanlines(&d.jpeg, &row, 1) != 1) decodeFailed(reinterpret_cast<j_common_ptr>(&d.jpeg));
        Texel* out = &texture.at(0, static_cast<int32_t>(height - 1 - line));
        const unsigned char* p = d.row;
        for (uint32_t x = 0; x < width; ++x, p += components) {
            if (components == 1) {
                const float grey = unitFromByte(p[0]);
                out[x] = Texel{grey, grey, grey, 1.0f};
            } else if (components == 3) {
                out[x] = Texel{unitFromByte(p[0]), unitFromByte(p[1]), unitFromByte(p[2]), 1.0f};
            } else {
                // Adobe's CMYK is stored inverted (255 - ink), so red is c k / 255, green m k / 255, blue y k / 255.
                const unsigned k = p[3];
                out[x] = Texel{unitFromByte(k * p[0] / 255), unitFromByte(k * p[1] / 255), unitFromByte(k * p[2] / 255), 1.0f};
            }
        }
    }
    jpeg_finish_decompress(&d.jpeg);
    return true;
}

static DecodeOutcome jpegFailure(const JpegDecoder& d, DecodeOutcome outcome) {
    if (d.outOfMemory) {
        outcome.status = DecodeStatus::noMemoryToDecode;
    } else {
        outcome.status = DecodeStatus::unreadable;
        outcome.reason = d.message[0] ? d.message : "not a readable JPEG picture";
    }
    return outcome;
}

DecodeOutcome decodeJpeg(const uint8_t* bytes, size_t size, int64_t maxTexels, FloatImage& texture) {
    DecodeOutcome outcome;
    JpegDecoder decoder;
    if (!readJpegHeader(decoder, bytes, size)) return jpegFailure(decoder, outcome);
    outcome.width = decoder.jpeg.image_width;
    outcome.height = decoder.jpeg.image_height;
    if (outcome.width * outcome.height > static_cast<uint64_t>(maxTexels)) {
        outcome.status = DecodeStatus::tooManyTexels;
        return outcome;
    }
    try {
        allocateImage(texture, static_cast<int32_t>(outcome.width), static_cast<int32_t>(outcome.height));
    } catch (const std::bad_alloc&) {
        outcome.status = DecodeStatus::noMemoryToHold;
        return outcome;
    }
    if (!readJpegPixels(decoder, texture)) {
        releaseImage(texture);
        return jpegFailure(decoder, outcome);
    }
    texture.hasAlpha = false;
    return outcome;
}
