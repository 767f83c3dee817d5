// Reading the OBJ subset the filters need ("v", "vt", "f") and normalising the model into a unit cube.
#include "mesh/obj_model.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>

static const char* const lineDelimiters = " \t\r";
static const char byteOrderMark[] = "\xEF\xBB\xBF";
// Doubling past this would overflow the 32-bit capacity of a GrowArray.
static const int32_t maxModelItems = 1 << 30;
// Tokens quoted in messages are cut to this many characters so a message stays one short line.
static const size_t maxQuotedLength = 40;

// Refills `tokens` (keeping its storage, so reading line after line allocates little).
static void splitTokensInto(const std::string& text, const char* delimiters, GrowArray<std::string>& tokens) {
    clear(tokens);
    size_t start = text.find_first_not_of(delimiters);
    while (start != std::string::npos) {
        size_t end = text.find_first_of(delimiters, start);
        if (end == std::string::npos) end = text.size();
        append(tokens, text.substr(start, end - start));
        start = text.find_first_not_of(delimiters, end);
    }
}

GrowArray<std::string> splitTokens(const std::string& text, const char* delimiters) {
    GrowArray<std::string> tokens;
    splitTokensInto(text, delimiters, tokens);
    return tokens;
}

// A token as shown in a message: in quotes, shortened, control bytes replaced.
static std::string quoted(const std::string& token) {
    std::string shown = token.substr(0, maxQuotedLength);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    if (token.size() > maxQuotedLength) shown += "...";
    return "'" + shown + "'";
}

static bool lineError(std::string& error, const char* name, long long lineNumber, const std::string& what) {
    error = std::string(name) + ":" + std::to_string(lineNumber) + ": " + what;
    return false;
}

// A coordinate: the longest number at the start of the token (as atof reads it), which must
// exist and be finite once rounded to 32-bit float.
static bool parseCoordinate(const std::string& token, float& value, std::string& what) {
    const char* start = token.c_str();
    char* end = nullptr;
    const double number = std::strtod(start, &end);
    if (end == start) {
        what = "coordinate " + quoted(token) + " is not a number";
        return false;
    }
    value = static_cast<float>(number);
    if (!std::isfinite(value)) {
        what = "coordinate " + quoted(token) + " is not a finite 32-bit number";
        return false;
    }
    return true;
}

// Reads `count` coordinates from tokens 1 .. count of a "v" or "vt" line.
static bool parseCoordinates(const GrowArray<std::string>& tokens, int32_t count, float* values,
                             std::string& what) {
    if (tokens.count < count + 1) {
        what = "\"" + tokens[0] + "\" needs " + std::to_string(count) + " numbers, found " +
               std::to_string(tokens.count - 1);
        return false;
    }
    for (int32_t i = 0; i < count; ++i) {
        if (!parseCoordinate(tokens[i + 1], values[i], what)) return false;
    }
    return true;
}

// Turns a 1-based (or, when negative, relative to the end) OBJ index field into a 0-based index
// into an array of which `available` items have been read so far.
static bool resolveIndex(const std::string& field, const char* kind, int32_t available, int32_t& index,
                         std::string& what) {
    const char* start = field.c_str();
    char* end = nullptr;
    errno = 0;
    const long long number = std::strtoll(start, &end, 10);
    if (field.empty() || end == start || *end != '\0') {
        what = std::string(kind) + " index " + quoted(field) + " is not a number";
        return false;
    }
    // -1 is the last item read so far, 1 the first.
    long long resolved = -1;
    if (errno != ERANGE && number >= INT32_MIN && number <= INT32_MAX) {
        resolved = number > 0 ? number - 1 : available + number;
    }
    if (number == 0 || resolved < 0 || resolved >= available) {
        what = std::string(kind) + " index " + quoted(field) + " is out of range (" + std::to_string(available) +
               " read so far)";
        return false;
    }
    index = static_cast<int32_t>(resolved);
    return true;
}

struct Corner {
    int32_t position = 0;
    int32_t texCoord = 0;
};

// A corner "p/t" or "p/t/n": the position and texture-coordinate indices; the normal is ignored.
static bool parseCorner(const std::string& token, const Mesh& mesh, Corner& corner, std::string& what) {
    const size_t firstSlash = token.find('/');
    const size_t secondSlash = firstSlash == std::string::npos ? firstSlash : token.find('/', firstSlash + 1);
    if (firstSlash == std::string::npos || secondSlash == firstSlash + 1 || firstSlash + 1 == token.size()) {
        what = "corner " + quoted(token) + " has no texture coordinate index";
        return false;
    }
    const std::string positionField = token.substr(0, firstSlash);
    const std::string texCoordField = token.substr(firstSlash + 1, secondSlash - firstSlash - 1);
    return resolveIndex(positionField, "position", mesh.positions.count, corner.position, what) &&
           resolveIndex(texCoordField, "texture coordinate", mesh.texCoords.count, corner.texCoord, what);
}

// Fans a face of k corners into k - 2 triangles around its first corner, keeping the winding.
static bool readFace(const GrowArray<std::string>& tokens, Mesh& mesh, std::string& what) {
    Corner first, previous, current;
    for (int32_t i = 1; i < tokens.count; ++i) {
        if (!parseCorner(tokens[i], mesh, current, what)) return false;
        if (i == 1) first = current;
        if (i >= 3) {
            if (mesh.triangles.count >= maxModelItems) {
                what = "too many triangles";
                return false;
            }
            MeshTriangle triangle;
            const Corner* corners[3] = {&first, &previous, &current};
            for (int c = 0; c < 3; ++c) {
                triangle.positionIndex[c] = corners[c]->position;
                triangle.texCoordIndex[c] = corners[c]->texCoord;
            }
            append(mesh.triangles, triangle);
        }
        previous = current;
    }
    return true;
}

static bool readLine(const GrowArray<std::string>& tokens, Mesh& mesh, std::string& what) {
    const std::string& keyword = tokens[0];
    float values[3];
    if (keyword == "v") {
        if (!parseCoordinates(tokens, 3, values, what)) return false;
        if (mesh.positions.count >= maxModelItems) {
            what = "too many positions";
            return false;
        }
        append(mesh.positions, Point3{values[0], values[1], values[2]});
    } else if (keyword == "vt") {
        if (!parseCoordinates(tokens, 2, values, what)) return false;
        if (mesh.texCoords.count >= maxModelItems) {
            what = "too many texture coordinates";
            return false;
        }
        append(mesh.texCoords, TexPoint{values[0], values[1]});
    } else if (keyword == "f") {
        return readFace(tokens, mesh, what);
    } else if (keyword == "mtllib") {
        for (int32_t k = 1; k < tokens.count; ++k) append(mesh.materialLibraries, tokens[k]);
    }
    return true;
}

// The centre and scale factor that map the bounding box of the used positions onto a cube of side 1
// centred on the origin, in 32-bit float. Returns the reason when there is none.
static const char* findNormalisation(const Mesh& mesh, Point3& centre, float& factor) {
    // Only the positions the triangles use: a vertex no triangle names is not part of the surface, and must not
    // change its size (the least-squares filters weigh their regularisation against the surface's area).
    Point3 low, high;
    bool first = true;
    for (const MeshTriangle& t : mesh.triangles) {
        for (const int32_t index : t.positionIndex) {
            const Point3& p = mesh.positions.items[index];
            if (first) low = high = p, first = false;
            low.x = std::min(low.x, p.x), high.x = std::max(high.x, p.x);
            low.y = std::min(low.y, p.y), high.y = std::max(high.y, p.y);
            low.z = std::min(low.z, p.z), high.z = std::max(high.z, p.z);
        }
    }
    const float dx = high.x - low.x, dy = high.y - low.y, dz = high.z - low.z;
    float side = dx > 0 ? dx : 0;
    if (dy > side) side = dy;
    if (dz > side) side = dz;
    if (side == 0) return "all positions of the model coincide, so it has no extent";
    centre = Point3{(low.x + high.x) * 0.5f, (low.y + high.y) * 0.5f, (low.z + high.z) * 0.5f};
    factor = 1 / side;
    if (!std::isfinite(side) || !std::isfinite(factor) || !std::isfinite(centre.x) || !std::isfinite(centre.y) ||
        !std::isfinite(centre.z)) {
        return "the extent of the model is too large or too small to normalise";
    }
    return nullptr;
}

// The longest line read (32 MiB): far beyond any real OBJ line, and a bound on the memory a file without line ends
// can claim before it is refused (one of NUL bytes, such as /dev/zero, stops at its first byte).
static constexpr size_t maxLineLength = size_t{32} << 20;

enum class LineRead { line, end, tooLong, nulByte };

// Reads the next line into `line`: up to a line feed, a carriage return followed by a line feed, or a lone
// carriage return (old Mac text), or the end of the stream. Stops as soon as a NUL byte or the length limit is met,
// so a binary or endless file is refused without being read whole.
static LineRead nextLine(std::istream& stream, std::string& line) {
    line.clear();
    std::streambuf& buffer = *stream.rdbuf();
    using Traits = std::char_traits<char>;
    for (;;) {
        const Traits::int_type c = buffer.sbumpc();
        if (Traits::eq_int_type(c, Traits::eof())) {
            stream.setstate(std::ios::eofbit);
            return line.empty() ? LineRead::end : LineRead::line;
        }
        const char character = Traits::to_char_type(c);
        if (character == '\n') return LineRead::line;
        if (character == '\r') {
            if (Traits::eq_int_type(buffer.sgetc(), Traits::to_int_type('\n'))) buffer.sbumpc();
            return LineRead::line;
        }
        if (character == '\0') return LineRead::nulByte;
        if (line.size() >= maxLineLength) return LineRead::tooLong;
        line.push_back(character);
    }
}

bool readObjModel(Mesh& mesh, std::istream& stream, const char* name, std::string& error) {
    clear(mesh.positions);
    clear(mesh.texCoords);
    clear(mesh.triangles);
    clear(mesh.materialLibraries);
    std::string line, what;
    GrowArray<std::string> tokens;
    long long lineNumber = 0;
    for (;;) {
        const LineRead read = nextLine(stream, line);
        if (read == LineRead::end) break;
        ++lineNumber;
        // Text never holds a NUL byte; stopping here spares reading the rest of a binary file.
        if (read == LineRead::nulByte) return lineError(error, name, lineNumber, "holds a NUL byte: not a text OBJ file");
        if (read == LineRead::tooLong) return lineError(error, name, lineNumber, "line too long");
        if (lineNumber == 1 && line.compare(0, 3, byteOrderMark) == 0) line.erase(0, 3);
        splitTokensInto(line, lineDelimiters, tokens);
        if (tokens.count == 0) continue;
        if (!readLine(tokens, mesh, what)) return lineError(error, name, lineNumber, what);
    }
    if (stream.bad()) {
        error = std::string(name) + ": reading failed after line " + std::to_string(lineNumber);
        return false;
    }
    // A file without a single vertex or face is no model at all (an empty or unrelated file); a model
    // with vertices but no triangles stays legal and gives the mapping-aware filters no surface.
    if (mesh.positions.count == 0 && mesh.texCoords.count == 0 && mesh.triangles.count == 0) {
        error = std::string(name) + ": holds no \"v\", \"vt\" or \"f\" lines: not an OBJ model";
        return false;
    }
    if (mesh.triangles.count > 0) {
        Point3 centre;
        float factor;
        if (const char* problem = findNormalisation(mesh, centre, factor)) {
            error = std::string(name) + ": " + problem;
            return false;
        }
    }
    return true;
}

bool loadObjModel(Mesh& mesh, const char* path, std::string& error) {
    const std::string prefix = "failed to load obj file '" + std::string(path) + "': ";
    // A directory opens as a stream on some systems but has no lines to read; a FIFO or a device would block the
    // open or never end: both are refused before the file is opened.
    struct stat info;
    if (stat(path, &info) == 0 && S_ISDIR(info.st_mode)) {
        error = prefix + "is a directory";
        return false;
    }
    if (stat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
        error = prefix + "not a regular file";
        return false;
    }
    errno = 0;
    std::ifstream stream(path, std::ios::in);
    if (!stream) {
        error = prefix + (errno != 0 ? std::strerror(errno) : "cannot be opened");
        return false;
    }
    return readObjModel(mesh, stream, path, error);
}

bool normaliseMesh(Mesh& mesh, std::string& error) {
    if (mesh.positions.count == 0) return true;
    Point3 centre;
    float factor = 1;
    if (const char* problem = findNormalisation(mesh, centre, factor)) {
        // Without triangles the positions are never used, so they may stay as they are.
        if (mesh.triangles.count == 0) return true;
        error = problem;
        return false;
    }
    for (Point3& p : mesh.positions) {
        p.x = (p.x - centre.x) * factor;
        p.y = (p.y - centre.y) * factor;
        p.z = (p.z - centre.z) * factor;
    }
    return true;
}

double triangleArea(const Point3& a, const Point3& b, const Point3& c) {
    const double ux = double{b.x} - a.x, uy = double{b.y} - a.y, uz = double{b.z} - a.z;
    const double vx = double{c.x} - a.x, vy = double{c.y} - a.y, vz = double{c.z} - a.z;
    const double nx = uy * vz - uz * vy, ny = uz * vx - ux * vz, nz = ux * vy - uy * vx;
    return 0.5 * std::sqrt(nx * nx + ny * ny + nz * nz);
}

GrowArray<std::string> objColourTextures(const Mesh& mesh, const char* objPath) {
    GrowArray<std::string> textures;
    const std::string path = objPath;
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string line;
    GrowArray<std::string> tokens;
    for (const std::string& library : mesh.materialLibraries) {
        // Only regular files: a FIFO or a device would block or never end.
        const std::string file = library.front() == '/' ? library : folder + library;
        struct stat info;
        if (stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        std::ifstream stream(file, std::ios::in);
        if (!stream) continue;
        while (nextLine(stream, line) == LineRead::line) {
            splitTokensInto(line, lineDelimiters, tokens);
            // "map_Kd [options] file": the file is the last word.
            if (tokens.count < 2 || tokens[0] != "map_Kd") continue;
            const std::string& texture = tokens[tokens.count - 1];
            if (std::find(textures.begin(), textures.end(), texture) == textures.end()) append(textures, texture);
        }
    }
    return textures;
}
