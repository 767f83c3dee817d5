#include "app/viewer_page.h"

#include <cstdint>
#include <cstdio>

#include "image/texture_io.h"

#ifdef KIV_WITH_VIEWER
// The bundled page script, embedded by the build from the viewer's sources.
extern const unsigned char viewerScript[];
extern const size_t viewerScriptSize;
bool viewerPageBuilt() { return true; }
#else
// A build without the viewer's npm packages has no script; --viewer is refused before anything runs.
static const unsigned char viewerScript[] = {0};
static const size_t viewerScriptSize = 0;
bool viewerPageBuilt() { return false; }
#endif

static void appendBase64(std::string& out, const uint8_t* bytes, size_t size) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out.reserve(out.size() + (size + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const uint32_t n = static_cast<uint32_t>(bytes[i]) << 16 | static_cast<uint32_t>(bytes[i + 1]) << 8 | bytes[i + 2];
        out += digits[n >> 18];
        out += digits[(n >> 12) & 63];
        out += digits[(n >> 6) & 63];
        out += digits[n & 63];
    }
    if (i < size) {
        const bool two = i + 1 < size;
        const uint32_t n = static_cast<uint32_t>(bytes[i]) << 16 | (two ? static_cast<uint32_t>(bytes[i + 1]) << 8 : 0);
        out += digits[n >> 18];
        out += digits[(n >> 12) & 63];
        out += two ? digits[(n >> 6) & 63] : '=';
        out += '=';
    }
}

// A JSON string that is also safe inside an HTML script element: '<' is escaped, so no "</script" can end it early.
static void appendJsonString(std::string& out, const std::string& text) {
    out += '"';
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || c == '<') {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

// Three corners per triangle, unindexed: the page draws positions and texture coordinates as separate streams.
static void appendCorners(std::string& out, const Mesh& mesh, bool positions) {
    GrowArray<float> values;
    resize(values, mesh.triangles.count * (positions ? 9 : 6));
    float* to = values.items;
    for (const MeshTriangle& triangle : mesh.triangles) {
        for (int c = 0; c < 3; ++c) {
            if (positions) {
                const Point3& p = mesh.positions[triangle.positionIndex[c]];
                *to++ = p.x;
                *to++ = p.y;
                *to++ = p.z;
            } else {
                const TexPoint& t = mesh.texCoords[triangle.texCoordIndex[c]];
                *to++ = t.u;
                *to++ = t.v;
            }
        }
    }
    out += '"';
    appendBase64(out, reinterpret_cast<const uint8_t*>(values.items), sizeof(float) * static_cast<size_t>(values.count));
    out += '"';
}

bool buildViewerPage(const Mesh& mesh, const GrowArray<FilterRun>& runs, bool withAlpha, TexelEncoding encoding,
                     const std::string& modelName, const std::string& textureName, std::string& page, std::string& error) {
    std::string data = "{\"model\":";
    appendJsonString(data, modelName);
    data += ",\"texture\":";
    appendJsonString(data, textureName);
    data += ",\"sizes\":[";
    const GrowArray<FloatImage>& shape = runs[0].pyramid.levels;
    for (int32_t k = 0; k < shape.count && shape[k].count > 0; ++k) {
        data += (k ? ",[" : "[") + std::to_string(shape[k].width) + "," + std::to_string(shape[k].height) + "]";
    }
    data += "],\"positions\":";
    appendCorners(data, mesh, true);
    data += ",\"uvs\":";
    appendCorners(data, mesh, false);
    data += ",\"filters\":[";
    for (int32_t r = 0; r < runs.count; ++r) {
        data += r ? ",{\"name\":" : "{\"name\":";
        appendJsonString(data, runs[r].name);
        data += ",\"levels\":[";
        const GrowArray<FloatImage>& levels = runs[r].pyramid.levels;
        for (int32_t k = 0; k < levels.count && levels[k].count > 0; ++k) {
            GrowArray<uint8_t> png;
            if (!encodeLevelPng(levels[k], withAlpha, encoding, png, error)) return false;
            data += k ? ",\"data:image/png;base64," : "\"data:image/png;base64,";
            appendBase64(data, png.items, static_cast<size_t>(png.count));
            data += '"';
        }
        data += "]}";
    }
    data += "]}";

    std::string title;
    for (const char c : modelName + " - kiv viewer") {
        if (c == '<') title += "&lt;";
        else if (c == '&') title += "&amp;";
        else title += c;
    }
    page = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + title +
           "</title>\n</head>\n<body>\n<script type=\"application/json\" id=\"kiv-data\">" + data +
           "</script>\n<script>\n";
    page.append(reinterpret_cast<const char*>(viewerScript), viewerScriptSize);
    page += "\n</script>\n</body>\n</html>\n";
    return true;
}
