// Helpers shared by the test suites: temporary directories, files, and running the built kiv.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image/float_image.h"

// Defined in a build under AddressSanitizer, whose shadow memory does not mix with an address-space limit.
#if defined(__SANITIZE_ADDRESS__)
#define KIV_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KIV_ADDRESS_SANITIZER 1
#endif
#endif

// A fresh empty directory under the system's temporary directory, removed when the object dies.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

// What a finished child process left: exit status (or the signal that ended it) and its output.
struct CommandResult {
    int exitStatus = -1;    // valid when !signalled and !timedOut
    bool signalled = false;
    bool timedOut = false;
    std::string output;     // standard output and standard error, interleaved (runKivApart: standard output)
    std::string errors;     // runKivApart: standard error
};

// Runs the built kiv with `arguments` in `directory`, killing it after `timeoutSeconds`. A
// `memoryLimitMegabytes` above 0 caps the child's address space (RLIMIT_AS) at that size.
CommandResult runKiv(const std::string& directory, const std::vector<std::string>& arguments,
                     int timeoutSeconds = 120, int memoryLimitMegabytes = 0);

// runKiv with standard output and standard error read apart: `output` holds the one, `errors` the other.
CommandResult runKivApart(const std::string& directory, const std::vector<std::string>& arguments,
                          int timeoutSeconds = 120);

// The lines of a run's output, line feeds removed.
std::vector<std::string> outputLines(const std::string& text);

// The rows of a CSV text (report.csv), each split at its commas; a line ending in a comma ends in an empty field.
std::vector<std::vector<std::string>> csvRows(const std::string& text);

// `count` bytes from a generator seeded with `seed`: the same bytes on every run.
std::vector<unsigned char> randomBytes(size_t count, unsigned seed);

// What `command` printed on standard output and standard error, run by bash (for pipelines, limits and
// pseudo-terminals that runKiv does not set up).
std::string shellOutput(const std::string& command);

void writeTextFile(const std::string& path, const std::string& text);
std::string readTextFile(const std::string& path);
bool fileExists(const std::string& path);
// Cuts the file down to its first `size` bytes.
void truncateFile(const std::string& path, size_t size);
// Names of the files in `directory` (not recursive), sorted.
std::vector<std::string> listFiles(const std::string& directory);

// An image whose channels are bytes / 255 (display-encoded), for writing test textures.
FloatImage imageFromBytes(int width, int height, const std::vector<unsigned char>& rgb);
// Writes r, g, b of `image` (values in [0, 1]) as a 24-bit image file; the extension picks the format: PNG through
// the level writer, the others (BMP, TGA, JPEG, PNM, ...) through the image library. Throws on failure.
void writeImageFile(const std::string& path, const FloatImage& image);

// The bytes of a decoded image file, row 0 (the bottom of the picture) first, r g b per pixel, and one alpha byte
// per pixel when the file has alpha; empty when unreadable.
struct DecodedImage {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
    bool hasAlpha = false;
    std::vector<unsigned char> alpha;
};
DecodedImage readImageFile(const std::string& path);

// The folder of the real textured models: KIV_MODELS_DIR when it is set, else ../shared/models beside the sources.
std::string realModelsDirectory();

// The models of the Debian package assimp-testmodels (hostile and sample models of many formats), fetched with
// `apt-get download` and unpacked with `dpkg -x` into the build tree the first time a test asks (nothing is
// installed). Returns the folder that holds "invalid/", "glTF2/", "FBX/" and the others, or an empty string with
// `why` set when the package cannot be had.
std::string assimpTestModelsDirectory(std::string& why);

// The text of a unit square model in the plane z = 0, mapped once onto texture space [0, 1]^2.
std::string unitSquareObj();

// Copies the bundled sample, sample.obj and sample.png, into `dir`.
void copySample(const TempDir& dir);

// A PNG written byte by byte (stored deflate blocks), so tests can make pixel layouts that the
// level writer never produces: grey, grey with alpha, palettes, 16-bit samples, interlacing. `samples` holds
// the rows top first, each row packed as the PNG colour type and bit depth lay it out (16-bit
// samples big-endian). `palette` is r g b per entry and `transparency` one alpha per entry
// (colour type 3) or the key colour's samples, two bytes each (types 0 and 2); either may be empty. `interlaced`
// stores the rows in the seven Adam7 passes; a `gamma` above 0 adds a gAMA chunk of that value (gamma x 100000).
enum PngColourType { pngGrey = 0, pngRgb = 2, pngPalette = 3, pngGreyAlpha = 4, pngRgba = 6 };
void writePngFile(const std::string& path, int width, int height, int bitDepth, PngColourType colourType,
                  const std::vector<unsigned char>& samples, const std::vector<unsigned char>& palette = {},
                  const std::vector<unsigned char>& transparency = {}, bool interlaced = false, uint32_t gamma = 0);

// A PNG whose header declares a width x height 8-bit RGB picture (chunk checksums correct) but whose
// image data holds a single empty row: a decoder must refuse it, whatever size it claims.
void writePngDeclaringSize(const std::string& path, uint32_t width, uint32_t height);

// A portable float map: three 32-bit floats per pixel (r g b), rows top first.
void writePfmFile(const std::string& path, int width, int height, const std::vector<float>& rgb);
