// Makes the bundled sample: a box unwrapped into six separate charts and a 512 x 512 atlas painted
// per chart, with a contrasting colour in the texture space that no chart uses.
//
// usage: make_sample <directory> [size]   writes <directory>/sample.obj and <directory>/sample.png,
// the atlas size x size texels (512 by default; other sizes scale the charts, for benchmarks)
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "image/texture_io.h"

static constexpr int atlasSize = 512;  // the size the charts below are laid out for
static constexpr double pi = 3.141592653589793;

struct Vector3 {
    double x, y, z;
};

static Vector3 operator+(Vector3 a, Vector3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
static Vector3 operator*(double s, Vector3 a) { return {s * a.x, s * a.y, s * a.z}; }

// One face of the box and its chart. The face spans `right` x `up` (full extents, with
// right x up pointing outwards); the chart is the texel rectangle (x0, y0, width, height), and a
// turned chart runs the face's up direction along u.
struct Chart {
    Vector3 centre, right, up;
    int x0, y0, width, height;
    bool turned;
};

// Box of 1.0 x 0.75 x 0.5; each face gets its own texel density (texels per model unit, in
// brackets) so that the charts differ in detail as well as in pattern.
static const Chart charts[] = {
    {{0, 0, 0.25}, {1, 0, 0}, {0, 0.75, 0}, 24, 24, 200, 150, false},       // front (200)
    {{0, 0, -0.25}, {-1, 0, 0}, {0, 0.75, 0}, 256, 24, 160, 120, false},    // back (160)
    {{0, 0.375, 0}, {1, 0, 0}, {0, 0, -0.5}, 24, 208, 200, 100, false},     // top (200)
    {{0.5, 0, 0}, {0, 0, -0.5}, {0, 0.75, 0}, 256, 176, 90, 135, false},    // right side (180)
    {{-0.5, 0, 0}, {0, 0, 0.5}, {0, 0.75, 0}, 378, 176, 60, 90, false},     // left side (120)
    {{0, -0.375, 0}, {1, 0, 0}, {0, 0, 0.5}, 24, 340, 60, 120, true},       // bottom, turned (120)
};

struct Rgb {
    int r, g, b;
};

static const Rgb unusedColour = {236, 0, 140};  // hot pink: no chart uses it

static Rgb mix(Rgb a, Rgb b, double t) {
    return {static_cast<int>(a.r + (b.r - a.r) * t), static_cast<int>(a.g + (b.g - a.g) * t),
            static_cast<int>(a.b + (b.b - a.b) * t)};
}

// The colour of texel (px, py) of chart `index`, in chart-local texels; every chart has a dark
// outline and its own fine pattern.
static Rgb chartColour(int index, int px, int py, int width, int height) {
    if (px < 2 || py < 2 || px >= width - 2 || py >= height - 2) return {30, 30, 40};
    switch (index) {
    case 0:  // checkerboard of 4-texel squares
        return ((px / 4 + py / 4) % 2 == 0) ? Rgb{40, 110, 200} : Rgb{225, 232, 240};
    case 1:  // diagonal stripes, 3 texels on, 3 off
        return ((px + py) % 6 < 3) ? Rgb{235, 130, 20} : Rgb{250, 235, 200};
    case 2: {  // rings around the chart centre, 8 texels apart
        const double radius = std::hypot(px - width * 0.5, py - height * 0.5);
        return mix(Rgb{20, 120, 40}, Rgb{170, 230, 120}, 0.5 + 0.5 * std::cos(radius * 2 * pi / 8));
    }
    case 3:  // one-texel grid lines every 6 texels
        return (px % 6 == 0 || py % 6 == 0) ? Rgb{240, 250, 250} : Rgb{0, 128, 128};
    case 4: {  // dots of radius 2 every 8 texels
        const int dx = px % 8 - 4, dy = py % 8 - 4;
        return dx * dx + dy * dy <= 4 ? Rgb{255, 215, 0} : Rgb{110, 60, 30};
    }
    default:  // a gradient crossed by one-texel lines every 4 texels
        if (px % 4 == 0) return {250, 250, 255};
        return mix(Rgb{40, 40, 160}, Rgb{150, 60, 180}, static_cast<double>(py) / height);
    }
}

static const int chartCount = static_cast<int>(sizeof charts / sizeof charts[0]);

// The chart's texel rectangle in an atlas of `size` texels, rounded to whole texels.
static Chart scaledChart(const Chart& chart, int size) {
    const double k = static_cast<double>(size) / atlasSize;
    Chart scaled = chart;
    scaled.x0 = static_cast<int>(std::lround(chart.x0 * k));
    scaled.y0 = static_cast<int>(std::lround(chart.y0 * k));
    scaled.width = static_cast<int>(std::lround((chart.x0 + chart.width) * k)) - scaled.x0;
    scaled.height = static_cast<int>(std::lround((chart.y0 + chart.height) * k)) - scaled.y0;
    return scaled;
}

static FloatImage paintAtlas(int size) {
    std::vector<Rgb> bytes(static_cast<size_t>(size) * size, unusedColour);
    for (int c = 0; c < chartCount; ++c) {
        const Chart chart = scaledChart(charts[c], size);
        for (int py = 0; py < chart.height; ++py) {
            for (int px = 0; px < chart.width; ++px) {
                bytes[static_cast<size_t>(chart.y0 + py) * size + chart.x0 + px] =
                    chartColour(c, px, py, chart.width, chart.height);
            }
        }
    }
    FloatImage atlas;
    allocateImage(atlas, size, size);
    for (int i = 0; i < atlas.count; ++i) {
        atlas.texels[i] = Texel{bytes[i].r / 255.0f, bytes[i].g / 255.0f, bytes[i].b / 255.0f, 1.0f};
    }
    return atlas;
}

// Index (1-based) of `p` in the position list, added when new; the faces share the box's corners.
static int positionIndex(std::vector<Vector3>& positions, Vector3 p) {
    for (size_t i = 0; i < positions.size(); ++i) {
        if (positions[i].x == p.x && positions[i].y == p.y && positions[i].z == p.z) return static_cast<int>(i) + 1;
    }
    positions.push_back(p);
    return static_cast<int>(positions.size());
}

static std::string modelText(int size) {
    std::vector<Vector3> positions;
    std::string texCoords, faces;
    int texCoordCount = 0;
    for (const Chart& unscaled : charts) {
        const Chart chart = scaledChart(unscaled, size);
        // Corners in the order (s, t) = (0, 0), (1, 0), (1, 1), (0, 1): counter-clockwise from outside.
        const double corners[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
        int v[4], vt[4];
        for (int k = 0; k < 4; ++k) {
            const double s = corners[k][0], t = corners[k][1];
            v[k] = positionIndex(positions, chart.centre + (s - 0.5) * chart.right + (t - 0.5) * chart.up);
            const double u = chart.turned ? chart.x0 + (1 - t) * chart.width : chart.x0 + s * chart.width;
            const double w = chart.turned ? chart.y0 + s * chart.height : chart.y0 + t * chart.height;
            char line[64];
            std::snprintf(line, sizeof line, "vt %.9g %.9g\n", u / size, w / size);
            texCoords += line;
            vt[k] = ++texCoordCount;
        }
        static const int triangles[2][3] = {{0, 1, 2}, {0, 2, 3}};
        for (const int* triangle : triangles) {
            char line[64];
            std::snprintf(line, sizeof line, "f %d/%d %d/%d %d/%d\n", v[triangle[0]], vt[triangle[0]], v[triangle[1]],
                          vt[triangle[1]], v[triangle[2]], vt[triangle[2]]);
            faces += line;
        }
    }
    std::string text = "# A 1 x 0.75 x 0.5 box, each face its own chart of a " + std::to_string(size) + " x " +
                       std::to_string(size) + " atlas.\n";
    for (const Vector3& p : positions) {
        char line[64];
        std::snprintf(line, sizeof line, "v %.6g %.6g %.6g\n", p.x, p.y, p.z);
        text += line;
    }
    return text + texCoords + faces;
}

int main(int argc, char** argv) {
    const int size = argc == 3 ? std::atoi(argv[2]) : atlasSize;
    if (argc < 2 || argc > 3 || size < 64 || size > 16384) {
        std::printf("usage: make_sample <directory> [size]   (size from 64 to 16384, default 512)\n");
        return 1;
    }
    const std::string directory = argv[1];
    const std::string modelPath = directory + "/sample.obj";
    const std::string text = modelText(size);
    std::FILE* model = std::fopen(modelPath.c_str(), "w");
    bool written = model && std::fwrite(text.data(), 1, text.size(), model) == text.size();
    if (model && std::fclose(model) != 0) written = false;
    if (!written) {
        std::printf("Error: %s: cannot write the model\n", modelPath.c_str());
        return 1;
    }
    std::string error;
    if (!saveLevelPng((directory + "/sample.png").c_str(), 24, paintAtlas(size), false, error)) {
        std::printf("Error: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
