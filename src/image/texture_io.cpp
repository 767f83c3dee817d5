// Texture input (PNG and JPEG through their codecs, other formats through the image library) and level output (PNG
// through libpng).
#include "image/texture_io.h"

#include <FreeImagePlus.h>
#include <sys/stat.h>
#include <tiffio.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "image/file_output.h"
#include "image/picture_codecs.h"

// Float pixels are taken as display values in [0, 1] and rounded to bytes like every other depth.
static float unitFromFloat(float value) {
    const float clamped = value >= 0.0f ? (value <= 1.0f ? value : 1.0f) : 0.0f;  // NaN gives 0
    return unitFromByte(static_cast<BYTE>(std::lround(clamped * 255.0f)));
}

// Brings any pixel type the library reads to 24 or 32 bits per pixel (32 when it carries alpha),
// except the float types, which become 128-bit RGBA floats. Returns false for types with no
// sensible colour conversion (signed, 32-bit integer, double and complex samples).
static bool convertToReadableDepth(fipImage& picture) {
    switch (picture.getImageType()) {
    case FIT_BITMAP: {
        const unsigned bits = picture.getBitsPerPixel();
        if (bits == 24 || bits == 32) return true;
        return picture.isTransparent() ? picture.convertTo32Bits() : picture.convertTo24Bits();
    }
    case FIT_UINT16:
        // 16-bit grey: the library has no direct route to 24 bits, so go through 16-bit RGB.
        return picture.convertToRGB16() && picture.convertTo24Bits();
    case FIT_RGB16:
        return picture.convertTo24Bits();
    case FIT_RGBA16:
        return picture.convertTo32Bits();
    case FIT_FLOAT:
    case FIT_RGBF:
    case FIT_RGBAF:
        return picture.convertToRGBAF();
    default:
        return false;
    }
}

// The texture file as the image library reads it: callbacks over the bytes in memory that note how reads end,
// because some of the library's readers leave a cut-off picture's missing pixels black and say nothing.
struct TextureSource {
    const uint8_t* bytes = nullptr;
    size_t size = 0;
    size_t position = 0;     // may lie past the end after a seek, as in a file
    int32_t shortReads = 0;  // reads that found fewer items than they asked for
};

// Reads like fread: whole items, the bytes of a last partial item consumed too, and nothing written past what the
// file held. (Filling the rest of the request with zeros overflowed the heap where a reader asks for more than its
// buffer holds, as the ICO reader does for a header that lies about its sizes.)
static unsigned DLL_CALLCONV readSource(void* buffer, unsigned size, unsigned count, fi_handle handle) {
    TextureSource& source = *static_cast<TextureSource*>(handle);
    const size_t wanted = static_cast<size_t>(size) * count;
    const size_t left = source.position < source.size ? source.size - source.position : 0;
    const size_t copied = wanted < left ? wanted : left;
    if (copied > 0) std::memcpy(buffer, source.bytes + source.position, copied);
    source.position += copied;
    const size_t got = size > 0 ? copied / size : 0;
    if (size > 0 && got < count) ++source.shortReads;
    return static_cast<unsigned>(got);
}

static unsigned DLL_CALLCONV writeNothing(void*, unsigned, unsigned, fi_handle) { return 0; }

static int DLL_CALLCONV seekSource(fi_handle handle, long offset, int origin) {
    TextureSource& source = *static_cast<TextureSource*>(handle);
    const long base = origin == SEEK_SET ? 0 : origin == SEEK_CUR ? static_cast<long>(source.position)
                                                                  : static_cast<long>(source.size);
    if (origin != SEEK_SET && origin != SEEK_CUR && origin != SEEK_END) return -1;
    if (offset < -base) return -1;  // before the first byte
    source.position = static_cast<size_t>(base + offset);
    return 0;
}

static long DLL_CALLCONV tellSource(fi_handle handle) {
    return static_cast<long>(static_cast<TextureSource*>(handle)->position);
}

// The library reports why a reader failed only through this callback; the last message is kept.
static std::string libraryMessage;

static void DLL_CALLCONV keepLibraryMessage(FREE_IMAGE_FORMAT, const char* message) {
    // Kept to one short line, since it ends up inside our own one-line message.
    libraryMessage = std::string(message ? message : "").substr(0, 120);
    for (char& c : libraryMessage) {
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
}

// libtiff writes its warnings and errors to standard error unless told otherwise, even for a sound file (an error
// for each private tag the image library asks about); what matters reaches us through the library's message.
static void ignoreTiffMessage(const char*, const char*, va_list) {}

// Sends the image library's messages to keepLibraryMessage and drops libtiff's.
static void quietenImageLibrary() {
    FreeImage_SetOutputMessage(keepLibraryMessage);
    TIFFSetWarningHandler(ignoreTiffMessage);
    TIFFSetErrorHandler(ignoreTiffMessage);
}

// Starts reading the file from its first byte with the flags cleared.
static void rewindSource(TextureSource& source) {
    source.position = 0;
    source.shortReads = 0;
    libraryMessage.clear();
}

// Little- and big-endian words of the file, for the header checks below.
static size_t littleWord(const uint8_t* at) { return static_cast<size_t>(at[0] | at[1] << 8); }
static uint64_t littleLong(const uint8_t* at) {
    return littleWord(at) | static_cast<uint64_t>(littleWord(at + 2)) << 16;
}
static size_t bigWord(const uint8_t* at) { return static_cast<size_t>(at[0] << 8 | at[1]); }
static uint64_t bigLong(const uint8_t* at) { return static_cast<uint64_t>(bigWord(at)) << 16 | bigWord(at + 2); }

// Whether a TGA file is run-length encoded: image type 9 to 11 at byte 2 of its 18-byte header.
static bool isRunLengthTarga(const TextureSource& source) {
    return source.size >= 18 && source.bytes[2] >= 9 && source.bytes[2] <= 11;
}

// Whether a run-length TGA file holds every packet of its picture. The library's reader fetches the
// packets in blocks and, when the file ends early, decodes whatever its block buffer held without a
// word, so the packets are counted here first. The header has the lengths of the identification
// field and of the colour map at bytes 0 and 5 to 7, then width, height and pixel depth at bytes 12 to 16.
static bool targaPacketsFit(const TextureSource& source) {
    const uint8_t* header = source.bytes;
    const size_t pixelBytes = (header[16] + 7) / 8;
    const size_t colourMapBytes = header[1] != 0 ? littleWord(header + 5) * ((header[7] + 7) / 8) : 0;
    int64_t pixels = static_cast<int64_t>(littleWord(header + 12)) * static_cast<int64_t>(littleWord(header + 14));
    size_t position = 18 + header[0] + colourMapBytes;
    // A run packet holds one pixel value repeated 1 to 128 times, a raw packet 1 to 128 pixel values.
    while (pixels > 0 && position < source.size) {
        const uint8_t packet = source.bytes[position];
        const size_t run = (packet & 0x7f) + 1;
        position += 1 + ((packet & 0x80) != 0 ? pixelBytes : run * pixelBytes);
        pixels -= static_cast<int64_t>(run);
    }
    return pixels <= 0 && position <= source.size;
}

// Whether a PCX file holds every scan line its header promises and, for a single 8-bit plane, the
// 256-colour palette that the reader takes from the last 769 bytes of the file. The reader, too, reads
// ahead in blocks and leaves what the file lacks black. The 128-byte header has the encoding at byte 2
// (1: run-length), the bits per sample at 3, the window's corners at 4 to 11, the plane count at 65 and
// the bytes of one plane's line at 66. A run-length byte whose two high bits are set repeats the next
// byte (its low six bits) times; each scan line (every plane's line) is decoded on its own, and what a
// run holds past the line's end is dropped.
static bool pcxScanLinesFit(const TextureSource& source) {
    const uint8_t* header = source.bytes;
    if (source.size < 128) return false;
    const int64_t lines = static_cast<int64_t>(littleWord(header + 10)) - static_cast<int64_t>(littleWord(header + 6)) +
                          1;
    const size_t lineBytes = header[65] * littleWord(header + 66);
    size_t position = 128;
    for (int64_t line = 0; line < lines; ++line) {
        if (header[2] != 1) {
            position += lineBytes;
            continue;
        }
        for (size_t filled = 0; filled < lineBytes;) {
            if (position >= source.size) return false;
            const uint8_t byte = source.bytes[position++];
            if ((byte & 0xc0) == 0xc0) {
                ++position;
                filled += byte & 0x3f;
            } else {
                ++filled;
            }
        }
    }
    const size_t paletteBytes = header[3] == 8 && header[65] == 1 ? 769 : 0;
    return position <= source.size && source.size - position >= paletteBytes;
}

// Whether every icon that an ICO file's directory lists lies inside the file. The reader takes an
// icon's colours and skips the transparency mask after them, so a file cut in the mask would pass. The
// 6-byte header has the icon count at byte 4; each 16-byte entry has the icon's size and offset at bytes
// 8 and 12.
static bool iconsFit(const TextureSource& source) {
    if (source.size < 6) return false;
    const size_t count = littleWord(source.bytes + 4);
    if (source.size < 6 + 16 * count) return false;
    for (size_t k = 0; k < count; ++k) {
        const uint8_t* entry = source.bytes + 6 + 16 * k;
        if (littleLong(entry + 8) + littleLong(entry + 12) > source.size) return false;
    }
    return true;
}

// Whether every run-length row of an SGI file lies inside it. The reader stops a row where its pixels
// end, so a file missing the end of its last row would pass. The 512-byte header has the storage at
// byte 2 (1: run-length), the dimension at 4 and the height and channel count at 8 and 10 (big-endian);
// the rows' offsets and then their lengths follow it, a 4-byte word per row of each channel.
static bool sgiRowsFit(const TextureSource& source) {
    const uint8_t* header = source.bytes;
    if (source.size < 512 || header[2] != 1) return true;  // the reader reads verbatim rows whole
    const size_t dimension = bigWord(header + 4);
    const size_t rows = (dimension >= 2 ? bigWord(header + 8) : 1) * (dimension >= 3 ? bigWord(header + 10) : 1);
    if (source.size < 512 + 8 * rows) return false;
    for (size_t row = 0; row < rows; ++row) {
        const uint8_t* offset = header + 512 + 4 * row;
        if (bigLong(offset) + bigLong(offset + 4 * rows) > source.size) return false;
    }
    return true;
}

// How a cut-off file of each format read through the image library is caught.
enum class CutOffSign {
    // The reader asks for exactly the bytes its picture needs, so a read that comes up short means the
    // file ended first, whether or not the reader noticed (several leave the missing rows black).
    shortRead,
    // The reader reads ahead in blocks, past the end of a whole file; the picture's packets are counted
    // from the file before it runs (run-length TGA, PCX).
    counted,
    // The decoder reads ahead in blocks too and refuses a cut-off stream itself (JPEG 2000).
    decoder,
    // Not read: the library's readers of the other formats are not checked, and some of them hang on a
    // cut-off file (XBM), crash on one (PSD) or take a file of a camera's size for a picture whatever it holds.
    notRead,
};

static CutOffSign cutOffSignOf(FREE_IMAGE_FORMAT format, const TextureSource& source) {
    switch (format) {
    case FIF_TARGA:
        return isRunLengthTarga(source) ? CutOffSign::counted : CutOffSign::shortRead;
    case FIF_PCX:
        return CutOffSign::counted;
    case FIF_J2K:
    case FIF_JP2:
        return CutOffSign::decoder;
    case FIF_BMP:
    case FIF_ICO:
    case FIF_PBM:
    case FIF_PBMRAW:
    case FIF_PGM:
    case FIF_PGMRAW:
    case FIF_PPM:
    case FIF_PPMRAW:
    case FIF_PFM:
    case FIF_TIFF:
    case FIF_GIF:
    case FIF_RAS:
    case FIF_SGI:
    case FIF_DDS:
    case FIF_HDR:
    case FIF_EXR:
    case FIF_WEBP:
        return CutOffSign::shortRead;
    default:
        return CutOffSign::notRead;
    }
}

// Whether the file is shorter than its header and packets say, for the formats whose readers would not
// run into its end: the run-length TGA and PCX readers, which read ahead, and the ICO and SGI readers,
// which leave the file's last bytes unread.
static bool shorterThanItSays(FREE_IMAGE_FORMAT format, const TextureSource& source) {
    switch (format) {
    case FIF_TARGA:
        return isRunLengthTarga(source) && !targaPacketsFit(source);
    case FIF_PCX:
        return !pcxScanLinesFit(source);
    case FIF_ICO:
        return !iconsFit(source);
    case FIF_SGI:
        return !sgiRowsFit(source);
    default:
        return false;
    }
}

static bool unreadable(std::string& error, const char* path, const std::string& reason) {
    error = std::string(path) + ": cannot read the texture" + (reason.empty() ? "" : " (" + reason + ")");
    return false;
}

static bool tooLarge(std::string& error, const char* path, uint64_t width, uint64_t height, const char* what) {
    error = std::string(path) + ": the texture is too large (" + std::to_string(width) + "x" +
            std::to_string(height) + what + ")";
    return false;
}

static constexpr const char* moreTexelsThanATexture = ", more texels than a texture can hold";

static constexpr const char* endsBeforeThePicture = "the file ends before the picture does";

static bool formatRefused(std::string& error, const char* path, const std::string& formatName) {
    return unreadable(error, path, formatName + " pictures are not supported; save the texture as PNG");
}

// Decodes the file through the image library into `picture`, refusing cut-off files and pictures whose declared
// size alone is more than `maxTexels` (checked from the header, before the pixels are decoded). `format` is the
// library's guess, by signature or by the name's extension.
static bool decodeWithLibrary(const char* path, FREE_IMAGE_FORMAT format, TextureSource& source, int64_t maxTexels,
                              fipImage& picture, std::string& error) {
    FreeImageIO io = {readSource, writeNothing, seekSource, tellSource};
    if (shorterThanItSays(format, source)) return unreadable(error, path, endsBeforeThePicture);

    if (FreeImage_FIFSupportsNoPixels(format)) {
        rewindSource(source);
        if (FIBITMAP* header = FreeImage_LoadFromHandle(format, &io, &source, FIF_LOAD_NOPIXELS)) {
            const uint64_t width = FreeImage_GetWidth(header), height = FreeImage_GetHeight(header);
            FreeImage_Unload(header);
            if (width * height > static_cast<uint64_t>(maxTexels)) {
                return tooLarge(error, path, width, height, moreTexelsThanATexture);
            }
        }
    }

    rewindSource(source);
    picture = FreeImage_LoadFromHandle(format, &io, &source, 0);
    // Checked before the reader's own verdict: a reader that ran into the end of the file says why it failed
    // in its own words, if at all.
    if (cutOffSignOf(format, source) == CutOffSign::shortRead && source.shortReads > 0) {
        return unreadable(error, path, endsBeforeThePicture);
    }
    if (!picture.isValid() || picture.getWidth() == 0 || picture.getHeight() == 0) {
        const std::string formatName = FreeImage_GetFormatFromFIF(format);
        return unreadable(error, path,
                          libraryMessage.empty() ? "not a readable " + formatName + " picture" : libraryMessage);
    }
    return true;
}

// The picture the image library decoded, converted and copied into `texture`.
static bool textureFromPicture(const char* path, fipImage& picture, int64_t maxTexels, FloatImage& texture,
                               std::string& error) {
    const bool alphaFloats = picture.getImageType() == FIT_RGBAF;
    if (!convertToReadableDepth(picture)) {
        // The types the conversion takes fail only when the converted copy finds no memory.
        const FREE_IMAGE_TYPE type = picture.getImageType();
        const bool convertible = type == FIT_BITMAP || type == FIT_UINT16 || type == FIT_RGB16 || type == FIT_RGBA16 ||
                                 type == FIT_FLOAT || type == FIT_RGBF || type == FIT_RGBAF;
        if (convertible) return tooLarge(error, path, picture.getWidth(), picture.getHeight(), ": not enough memory to convert it");
        error = std::string(path) + ": unsupported pixel type";
        return false;
    }
    const unsigned width = picture.getWidth();
    const unsigned height = picture.getHeight();
    if (static_cast<uint64_t>(width) * height > static_cast<uint64_t>(maxTexels)) {
        return tooLarge(error, path, width, height, moreTexelsThanATexture);
    }
    try {
        allocateImage(texture, static_cast<int32_t>(width), static_cast<int32_t>(height));
    } catch (const std::bad_alloc&) {
        return tooLarge(error, path, width, height, ": not enough memory to hold it");
    }

    const bool floats = picture.getImageType() == FIT_RGBAF;
    const unsigned bytesPerPixel = picture.getBitsPerPixel() / 8;
    // 32-bit pixels come only from pictures with alpha; float ones carry it only when they were RGBA already.
    texture.hasAlpha = floats ? alphaFloats : bytesPerPixel == 4;
    for (int32_t y = 0; y < texture.height; ++y) {
        const BYTE* line = picture.getScanLine(static_cast<unsigned>(y));
        for (int32_t x = 0; x < texture.width; ++x) {
            Texel& t = texture.at(x, y);
            if (floats) {
                const FIRGBAF& p = reinterpret_cast<const FIRGBAF*>(line)[x];
                t = Texel{unitFromFloat(p.red), unitFromFloat(p.green), unitFromFloat(p.blue), unitFromFloat(p.alpha)};
            } else {
                // The library stores blue, green, red (and alpha) on little-endian machines.
                const BYTE* p = line + x * bytesPerPixel;
                t = Texel{unitFromByte(p[2]), unitFromByte(p[1]), unitFromByte(p[0]),
                          bytesPerPixel == 4 ? unitFromByte(p[3]) : 1.0f};
            }
        }
    }
    return true;
}

// The message for a PNG or JPEG that its codec could not decode.
static bool codecFailed(const DecodeOutcome& outcome, const char* path, std::string& error) {
    switch (outcome.status) {
    case DecodeStatus::tooManyTexels:
        return tooLarge(error, path, outcome.width, outcome.height, moreTexelsThanATexture);
    case DecodeStatus::noMemoryToHold:
        return tooLarge(error, path, outcome.width, outcome.height, ": not enough memory to hold it");
    case DecodeStatus::noMemoryToDecode:
        if (outcome.width == 0) return unreadable(error, path, "not enough memory to read it");
        return tooLarge(error, path, outcome.width, outcome.height, ": not enough memory to decode it");
    default:
        return unreadable(error, path, outcome.reason);
    }
}

TextureDecoder textureDecoderFor(const uint8_t* bytes, size_t size) {
    static const uint8_t pngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (size >= 8 && std::memcmp(bytes, pngSignature, 8) == 0) return TextureDecoder::png;
    if (size >= 2 && bytes[0] == 0xff && bytes[1] == 0xd8) return TextureDecoder::jpeg;  // start of image
    if (size >= 4 && std::memcmp(bytes, "8BPS", 4) == 0) return TextureDecoder::psd;
    return TextureDecoder::imageLibrary;
}

bool decodeTexture(const uint8_t* bytes, size_t size, const char* name, int64_t maxTexels, FloatImage& texture,
                   std::string& error) {
    releaseImage(texture);
    FREE_IMAGE_FORMAT format = FIF_UNKNOWN;
    TextureSource source;
    source.bytes = bytes;
    source.size = size;
    switch (textureDecoderFor(bytes, size)) {
    case TextureDecoder::png:
        format = FIF_PNG;
        break;
    case TextureDecoder::jpeg:
        format = FIF_JPEG;
        break;
    case TextureDecoder::psd:
        return formatRefused(error, name, "PSD");
    case TextureDecoder::imageLibrary: {
        quietenImageLibrary();
        rewindSource(source);
        FreeImageIO io = {readSource, writeNothing, seekSource, tellSource};
        format = FreeImage_GetFileTypeFromHandle(&io, &source, 0);
        if (format == FIF_UNKNOWN) format = FreeImage_GetFIFFromFilename(name);  // TGA has no signature
        break;
    }
    }
    // A file without the signature but named .png or .jpg still goes to the codec, which says what is wrong.
    if (format == FIF_PNG || format == FIF_JPEG) {
        const DecodeOutcome outcome = format == FIF_PNG ? decodePng(bytes, size, maxTexels, texture)
                                                        : decodeJpeg(bytes, size, maxTexels, texture);
        return outcome.status == DecodeStatus::decoded || codecFailed(outcome, name, error);
    }
    if (format == FIF_UNKNOWN || !FreeImage_FIFSupportsReading(format)) {
        return unreadable(error, name, "not a picture in a format the image library reads");
    }
    if (cutOffSignOf(format, source) == CutOffSign::notRead) {
        return formatRefused(error, name, FreeImage_GetFormatFromFIF(format));
    }
    fipImage picture(FIT_BITMAP, 0, 0, 0);
    return decodeWithLibrary(name, format, source, maxTexels, picture, error) &&
           textureFromPicture(name, picture, maxTexels, texture, error);
}

// The whole file in memory, for the decoders (in a vector, as a file may hold more bytes than a GrowArray counts).
// Only a regular file has an end to read up to; a FIFO is refused before it is opened, which would wait for a writer.
static bool readWholeFile(const char* path, std::vector<uint8_t>& bytes, std::string& error) {
    struct stat info;
    if (stat(path, &info) == 0 && S_ISDIR(info.st_mode)) return unreadable(error, path, "it is a directory");
    if (stat(path, &info) == 0 && !S_ISREG(info.st_mode)) return unreadable(error, path, "not a regular file");
    errno = 0;
    std::FILE* file = std::fopen(path, "rb");
    if (!file) return unreadable(error, path, errno != 0 ? std::strerror(errno) : "cannot be opened");
    bool read = false;
    if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) {
        unreadable(error, path, "not a regular file");
    } else {
        try {
            bytes.resize(static_cast<size_t>(info.st_size));
            errno = 0;
            const size_t got = bytes.empty() ? 0 : std::fread(bytes.data(), 1, bytes.size(), file);
            // A file that shrank meanwhile is read as it now is.
            if (got < bytes.size() && std::ferror(file)) {
                unreadable(error, path, errno != 0 ? std::strerror(errno) : "read error");
            } else {
                bytes.resize(got);
                read = true;
            }
        } catch (const std::bad_alloc&) {
            error = std::string(path) + ": the texture is too large (a file of " +
                    std::to_string(info.st_size) + " bytes: not enough memory to read it)";
        }
    }
    std::fclose(file);
    return read;
}

bool loadTexture(const char* path, FloatImage& texture, std::string& error) {
    std::vector<uint8_t> bytes;
    return readWholeFile(path, bytes, error) && decodeTexture(bytes.data(), bytes.size(), path, INT32_MAX, texture, error);
}

bool saveLevelPng(const char* path, int bitsPerPixel, const FloatImage& image, bool markedSrgb, std::string& error) {
    const std::string failure = std::string(path) + ": ";
    if (bitsPerPixel != 24 && bitsPerPixel != 32) {
        error = failure + "no " + std::to_string(bitsPerPixel) + "-bit PNG format";
        return false;
    }
    if (image.width <= 0 || image.height <= 0) {
        error = failure + "cannot make a " + std::to_string(image.width) + "x" + std::to_string(image.height) + " image";
        return false;
    }
    // Every file is encoded in memory and written through a checked file beside the final one, renamed into place
    // only when all of it is on the disk.
    GrowArray<uint8_t> encoded;
    std::string reason;
    if (!encodePng(image, bitsPerPixel == 32, markedSrgb, encoded, reason)) {
        error = failure + "cannot encode the image (" + reason + ")";
        return false;
    }
    PendingFile pending;
    openBeside(path, pending);
    writeBytes(pending, encoded.items, static_cast<size_t>(encoded.count));
    return finishFile(pending, path, "image", error);
}

// The level's values as its file stores them (encodedTexel).
static FloatImage encodedImage(const FloatImage& level, bool withAlpha, TexelEncoding encoding) {
    FloatImage encoded;
    allocateImage(encoded, level.width, level.height);
    for (int32_t i = 0; i < level.count; ++i) encoded.texels[i] = encodedTexel(level.texels[i], encoding, withAlpha);
    return encoded;
}

bool encodeLevelPng(const FloatImage& level, bool withAlpha, TexelEncoding encoding, GrowArray<uint8_t>& png,
                    std::string& reason) {
    return encodePng(encodedImage(level, withAlpha, encoding), withAlpha, encoding == TexelEncoding::srgb, png,
                     reason);
}

bool saveLevelFile(const FloatImage& level, const std::string& path, bool withAlpha, TexelEncoding encoding,
                   std::string& error) {
    return saveLevelPng(path.c_str(), withAlpha ? 32 : 24, encodedImage(level, withAlpha, encoding),
                        encoding == TexelEncoding::srgb, error);
}

bool savePyramid(const MipPyramid& pyramid, const std::string& folder, const char* filterName, bool withAlpha,
                 TexelEncoding encoding, GrowArray<std::string>& errors) {
    bool allWritten = true;
    for (int32_t k = 0; k < pyramid.levels.count; ++k) {
        const FloatImage& level = pyramid.levels[k];
        if (level.width == 0 || level.height == 0) continue;  // an empty level has no picture
        const std::string name = pathInFolder(folder, "mip_" + std::to_string(k) + "_" + filterName + ".png");
        std::string error;
        if (!saveLevelFile(level, name, withAlpha, encoding, error)) {
            append(errors, error);
            allWritten = false;
        }
    }
    return allWritten;
}
