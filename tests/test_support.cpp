// Helpers shared by the test suites.
#include "test_support.h"

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <FreeImage.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "image/texture_io.h"

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kiv-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
    path = buffer.data();
}

TempDir::~TempDir() {
    std::string command = "rm -rf '" + path + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", path.c_str());
}

// Runs kiv with its standard output into one pipe and its standard error into the same one, or into a second when
// `apart`.
static CommandResult runKivWith(const std::string& directory, const std::vector<std::string>& arguments,
                                int timeoutSeconds, int memoryLimitMegabytes, bool apart) {
    CommandResult result;
    int pipeEnds[2], errorEnds[2] = {-1, -1};
    if (pipe(pipeEnds) != 0) throw std::runtime_error("pipe failed");
    if (apart && pipe(errorEnds) != 0) throw std::runtime_error("pipe failed");
    pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        dup2(pipeEnds[1], 1);
        dup2(apart ? errorEnds[1] : pipeEnds[1], 2);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        if (apart) {
            close(errorEnds[0]);
            close(errorEnds[1]);
        }
        if (chdir(directory.c_str()) != 0) _exit(126);
        if (memoryLimitMegabytes > 0) {
            const rlim_t bytes = static_cast<rlim_t>(memoryLimitMegabytes) << 20;
            const rlimit limit = {bytes, bytes};
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(126);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(KIV_EXECUTABLE));
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(KIV_EXECUTABLE, argv.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    if (apart) close(errorEnds[1]);
    // Read in helper threads so a chatty child never blocks on a full pipe.
    auto drain = [](int fd, std::string& text) {
        char buffer[4096];
        ssize_t n;
        while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, n);
    };
    std::thread reader(drain, pipeEnds[0], std::ref(result.output));
    std::thread errorReader;
    if (apart) errorReader = std::thread(drain, errorEnds[0], std::ref(result.errors));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    for (;;) {
        pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    reader.join();
    close(pipeEnds[0]);
    if (apart) {
        errorReader.join();
        close(errorEnds[0]);
    }
    if (!result.timedOut) {
        if (WIFSIGNALED(status)) result.signalled = true;
        else result.exitStatus = WEXITSTATUS(status);
    }
    return result;
}

CommandResult runKiv(const std::string& directory, const std::vector<std::string>& arguments,
                     int timeoutSeconds, int memoryLimitMegabytes) {
    return runKivWith(directory, arguments, timeoutSeconds, memoryLimitMegabytes, false);
}

CommandResult runKivApart(const std::string& directory, const std::vector<std::string>& arguments,
                          int timeoutSeconds) {
    return runKivWith(directory, arguments, timeoutSeconds, 0, true);
}

void writeTextFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string readTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

bool fileExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

void truncateFile(const std::string& path, size_t size) {
    if (truncate(path.c_str(), static_cast<off_t>(size)) != 0) throw std::runtime_error("truncate failed: " + path);
}

std::vector<std::string> listFiles(const std::string& directory) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(directory.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

FloatImage imageFromBytes(int width, int height, const std::vector<unsigned char>& rgb) {
    FloatImage image;
    allocateImage(image, width, height);
    for (int i = 0; i < width * height; ++i) {
        image.texels[i] = Texel{rgb[3 * i] / 255.0f, rgb[3 * i + 1] / 255.0f, rgb[3 * i + 2] / 255.0f, 1.0f};
    }
    return image;
}

// The other formats through the image library: every byte byteFromUnit of its value, the picture's rows stored as
// the image's (row 0 the library's first scan line).
static std::string encodedWithLibrary(FREE_IMAGE_FORMAT format, const FloatImage& image) {
    FIBITMAP* picture = FreeImage_Allocate(image.width, image.height, 24);
    if (!picture) throw std::runtime_error("cannot make a picture of the image");
    for (int32_t y = 0; y < image.height; ++y) {
        BYTE* line = FreeImage_GetScanLine(picture, y);
        for (int32_t x = 0; x < image.width; ++x) {
            const Texel& t = image.at(x, y);
            line[3 * x + FI_RGBA_RED] = byteFromUnit(t.r);
            line[3 * x + FI_RGBA_GREEN] = byteFromUnit(t.g);
            line[3 * x + FI_RGBA_BLUE] = byteFromUnit(t.b);
        }
    }
    FIMEMORY* memory = FreeImage_OpenMemory();
    BYTE* bytes = nullptr;
    DWORD size = 0;
    const bool encoded = FreeImage_SaveToMemory(format, picture, memory, 0) &&
                         FreeImage_AcquireMemory(memory, &bytes, &size);
    const std::string file = encoded ? std::string(reinterpret_cast<const char*>(bytes), size) : std::string();
    FreeImage_CloseMemory(memory);
    FreeImage_Unload(picture);
    if (!encoded) throw std::runtime_error("the image library cannot encode the picture");
    return file;
}

void writeImageFile(const std::string& path, const FloatImage& image) {
    const FREE_IMAGE_FORMAT format = FreeImage_GetFIFFromFilename(path.c_str());
    if (format == FIF_UNKNOWN) throw std::runtime_error(path + ": no image format for this file name");
    std::string error;
    if (format != FIF_PNG) {
        writeTextFile(path, encodedWithLibrary(format, image));
    } else if (!saveLevelPng(path.c_str(), 24, image, false, error)) {
        throw std::runtime_error(error);
    }
}

DecodedImage readImageFile(const std::string& path) {
    DecodedImage decoded;
    FloatImage image;
    std::string error;
    if (!loadTexture(path.c_str(), image, error)) return decoded;
    decoded.width = image.width;
    decoded.height = image.height;
    for (int i = 0; i < image.count; ++i) {
        // Bytes were divided by 255 on loading; multiplying back and rounding recovers them exactly.
        decoded.rgb.push_back(static_cast<unsigned char>(image.texels[i].r * 255.0f + 0.5f));
        decoded.rgb.push_back(static_cast<unsigned char>(image.texels[i].g * 255.0f + 0.5f));
        decoded.rgb.push_back(static_cast<unsigned char>(image.texels[i].b * 255.0f + 0.5f));
        if (image.hasAlpha) decoded.alpha.push_back(static_cast<unsigned char>(image.texels[i].a * 255.0f + 0.5f));
    }
    decoded.hasAlpha = image.hasAlpha;
    return decoded;
}

std::string realModelsDirectory() {
    const char* configured = std::getenv("KIV_MODELS_DIR");
    return configured && *configured ? configured : KIV_SOURCE_DIR "/../shared/models";
}

std::string assimpTestModelsDirectory(std::string& why) {
    const std::string root = std::string(KIV_BINARY_DIR) + "/assimp-testmodels";
    const std::string models = root + "/usr/share/assimp/models";
    if (fileExists(models + "/invalid")) return models;
    // Suites run in parallel: one fetches under the lock while the others wait, then find the folder there. The
    // package is unpacked beside its final name and renamed into place, so a half-unpacked tree is never used. A
    // machine that has never read the package lists reads them first (as root, which tools/setup.sh also needs).
    const std::string script =
        "exec 9>'" + root + ".lock' && flock 9 && if [ ! -d '" + models + "' ]; then "
        "rm -rf '" + root + ".part' && mkdir -p '" + root + ".part' && cd '" + root + ".part' && "
        "{ apt-get download assimp-testmodels 2>&1 || { [ \"$(id -u)\" = 0 ] && apt-get update -qq 2>&1 && "
        "apt-get download assimp-testmodels 2>&1; }; } && dpkg -x assimp-testmodels_*.deb '" + root + ".unpacked' && "
        "rm -rf '" + root + "' && mv '" + root + ".unpacked' '" + root + "' && cd / && rm -rf '" + root + ".part'; fi";
    const std::string output = shellOutput(script);
    if (fileExists(models + "/invalid")) return models;
    why = "the package assimp-testmodels could not be downloaded (" + output.substr(0, 500) + ")";
    return std::string();
}

std::string unitSquareObj() {
    return "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n"
           "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
           "f 1/1 2/2 3/3\nf 1/1 3/3 4/4\n";
}

static void appendBigEndian32(std::string& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((value >> shift) & 0xff));
}

static uint32_t crc32Of(const std::string& bytes) {
    uint32_t crc = 0xffffffffu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xffffffffu;
}

static void appendPngChunk(std::string& out, const char* type, const std::string& data) {
    appendBigEndian32(out, static_cast<uint32_t>(data.size()));
    const std::string typed = std::string(type, 4) + data;
    out += typed;
    appendBigEndian32(out, crc32Of(typed));
}

static int pngChannels(PngColourType colourType) {
    switch (colourType) {
    case pngRgb:
        return 3;
    case pngGreyAlpha:
        return 2;
    case pngRgba:
        return 4;
    default:
        return 1;
    }
}

// The rows of `samples` behind their filter bytes (filter 0, none), in Adam7's seven passes when `interlaced`: pass
// p takes the pixels from (xStart, yStart) on in steps of (xStep, yStep) and is left out when it has none.
static std::string filteredRows(int width, int height, int bitsPerPixel, const std::vector<unsigned char>& samples,
                                bool interlaced) {
    const size_t rowBytes = samples.size() / static_cast<size_t>(height);
    std::string raw;
    if (!interlaced) {
        for (int y = 0; y < height; ++y) {
            raw.push_back('\0');
            raw.append(reinterpret_cast<const char*>(samples.data()) + y * rowBytes, rowBytes);
        }
        return raw;
    }
    struct Pass {
        int xStart, yStart, xStep, yStep;
    };
    const Pass adam7[] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4}, {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    for (const Pass& pass : adam7) {
        const int columns = width > pass.xStart ? (width - pass.xStart + pass.xStep - 1) / pass.xStep : 0;
        if (columns == 0) continue;
        for (int y = pass.yStart; y < height; y += pass.yStep) {
            const unsigned char* source = samples.data() + y * rowBytes;
            std::string row((static_cast<size_t>(columns) * bitsPerPixel + 7) / 8, '\0');
            for (int i = 0; i < columns; ++i) {
                const size_t from = static_cast<size_t>(pass.xStart + i * pass.xStep) * bitsPerPixel;
                const size_t to = static_cast<size_t>(i) * bitsPerPixel;
                if (bitsPerPixel >= 8) {
                    row.replace(to / 8, bitsPerPixel / 8, reinterpret_cast<const char*>(source) + from / 8, bitsPerPixel / 8);
                } else {
                    const int mask = (1 << bitsPerPixel) - 1;
                    const int value = (source[from / 8] >> (8 - bitsPerPixel - from % 8)) & mask;
                    row[to / 8] = static_cast<char>(row[to / 8] | value << (8 - bitsPerPixel - to % 8));
                }
            }
            raw += '\0' + row;
        }
    }
    return raw;
}

void writePngFile(const std::string& path, int width, int height, int bitDepth, PngColourType colourType,
                  const std::vector<unsigned char>& samples, const std::vector<unsigned char>& palette,
                  const std::vector<unsigned char>& transparency, bool interlaced, uint32_t gamma) {
    const std::string raw = filteredRows(width, height, bitDepth * pngChannels(colourType), samples, interlaced);
    // zlib stream of stored deflate blocks, closed by the Adler-32 of the raw bytes.
    std::string zlib = "\x78\x01";
    const size_t blockLimit = 65535;
    size_t start = 0;
    bool last = false;
    while (!last) {
        const size_t length = std::min(blockLimit, raw.size() - start);
        last = start + length == raw.size();
        zlib.push_back(last ? '\x01' : '\x00');
        zlib.push_back(static_cast<char>(length & 0xff));
        zlib.push_back(static_cast<char>(length >> 8));
        zlib.push_back(static_cast<char>(~length & 0xff));
        zlib.push_back(static_cast<char>((~length >> 8) & 0xff));
        zlib.append(raw, start, length);
        start += length;
    }
    uint32_t a = 1, b = 0;
    for (unsigned char byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    appendBigEndian32(zlib, (b << 16) | a);

    std::string header;
    appendBigEndian32(header, static_cast<uint32_t>(width));
    appendBigEndian32(header, static_cast<uint32_t>(height));
    header += {static_cast<char>(bitDepth), static_cast<char>(colourType), 0, 0, static_cast<char>(interlaced ? 1 : 0)};
    std::string png = "\x89PNG\r\n\x1a\n";
    appendPngChunk(png, "IHDR", header);
    if (gamma > 0) {
        std::string value;
        appendBigEndian32(value, gamma);
        appendPngChunk(png, "gAMA", value);
    }
    if (!palette.empty()) appendPngChunk(png, "PLTE", std::string(palette.begin(), palette.end()));
    if (!transparency.empty()) appendPngChunk(png, "tRNS", std::string(transparency.begin(), transparency.end()));
    appendPngChunk(png, "IDAT", zlib);
    appendPngChunk(png, "IEND", "");
    writeTextFile(path, png);
}

void writePngDeclaringSize(const std::string& path, uint32_t width, uint32_t height) {
    std::string header;
    appendBigEndian32(header, width);
    appendBigEndian32(header, height);
    header += {8, static_cast<char>(pngRgb), 0, 0, 0};
    // One stored deflate block holding a single byte (the filter byte of the first row).
    const std::string zlib("\x78\x01\x01\x01\x00\xfe\xff\x00\x00\x01\x00\x01", 12);
    std::string png = "\x89PNG\r\n\x1a\n";
    appendPngChunk(png, "IHDR", header);
    appendPngChunk(png, "IDAT", zlib);
    appendPngChunk(png, "IEND", "");
    writeTextFile(path, png);
}

void writePfmFile(const std::string& path, int width, int height, const std::vector<float>& rgb) {
    // A negative scale marks little-endian floats; the format stores the bottom row first.
    std::string pfm = "PF\n" + std::to_string(width) + " " + std::to_string(height) + "\n-1.0\n";
    for (int y = height - 1; y >= 0; --y) {
        pfm.append(reinterpret_cast<const char*>(rgb.data() + 3 * static_cast<size_t>(y) * width),
                   3 * sizeof(float) * width);
    }
    writeTextFile(path, pfm);
}

std::string shellOutput(const std::string& command) {
    std::string quoted;
    for (char c : command) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    std::string output;
    FILE* pipe = popen(("bash -c '" + quoted + "' 2>&1").c_str(), "r");
    if (!pipe) return output;
    char buffer[4096];
    size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, count);
    pclose(pipe);
    return output;
}

std::vector<std::string> outputLines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) result.push_back(line);
    return result;
}

std::vector<std::vector<std::string>> csvRows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    for (const std::string& line : outputLines(text)) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        std::string cell;
        while (std::getline(cells, cell, ',')) fields.push_back(cell);
        if (!line.empty() && line.back() == ',') fields.push_back("");
        rows.push_back(fields);
    }
    return rows;
}

std::vector<unsigned char> randomBytes(size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<unsigned char> bytes(count);
    for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(random() % 256);
    return bytes;
}

void copySample(const TempDir& dir) {
    for (const char* name : {"sample.obj", "sample.png"}) {
        writeTextFile(dir.file(name), readTextFile(std::string(KIV_SOURCE_DIR) + "/data/" + name));
    }
}
