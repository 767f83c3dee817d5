// The hard models: a vehicle-like body unwrapped into an atlas, with the feature each kind is named for, or a
// packed atlas of random charts.
//
// Chart layouts are given in 64ths of the unit square: a multiple of 1/64 is a texel boundary at every level from
// 64 x 64 down to the finest, and an odd multiple of 1/64 is a texel centre line (the edge of the tents' supports)
// at the 32 x 32 level. Features measured in texels (slivers, tips, needle widths) are placed for the finest level
// of the size asked, in whole steps of 32-bit float, since that is what the OBJ reader keeps of a coordinate.
#include "hard_models.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <vector>

#include "image/texture_io.h"

const HardModelKind allHardModelKinds[hardModelKindCount] = {HardModelKind::atlas, HardModelKind::slivers,
                                                             HardModelKind::needles, HardModelKind::tiny,
                                                             HardModelKind::corners, HardModelKind::crowded,
                                                             HardModelKind::pleated, HardModelKind::stacked};

namespace {

constexpr double pi = 3.141592653589793;

// splitmix64: a fixed sequence for a given state on every platform.
struct SplitMix64 {
    uint64_t state = 0;
};

uint64_t nextRandom(SplitMix64& random) {
    uint64_t z = (random.state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Uniform in [0, 1), from the top 53 bits.
double uniform(SplitMix64& random) { return static_cast<double>(nextRandom(random) >> 11) * 0x1.0p-53; }

double uniform(SplitMix64& random, double low, double high) { return low + (high - low) * uniform(random); }

// A hash of a texel of a chart, for the noise pattern.
uint64_t texelHash(uint64_t key, int64_t x, int64_t y) {
    SplitMix64 random{key ^ (static_cast<uint64_t>(x) * 0x100000001B3ull) ^ (static_cast<uint64_t>(y) << 32)};
    return nextRandom(random);
}

struct Vec3 {
    double x = 0, y = 0, z = 0;
};

Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 operator*(double s, Vec3 a) { return {s * a.x, s * a.y, s * a.z}; }

Vec3 lerp(Vec3 a, Vec3 b, double s) { return s == 1 ? b : a + s * (b - a); }

struct Uv {
    float u = 0, v = 0;
};

Uv makeUv(double u, double v) { return {static_cast<float>(u), static_cast<float>(v)}; }

// In 64ths of the unit square.
Uv at64(double u, double v) { return makeUv(u / 64, v / 64); }

// Exact at both ends: an edge whose ends share a coordinate keeps it all along.
double lerp(double a, double b, double s) { return s == 1 ? b : a + s * (b - a); }

struct Rgb {
    uint8_t r, g, b;
};

const Rgb unusedColour = {255, 0, 255};  // magenta: no chart uses it

// A region of the atlas painted with one pattern: a convex outline (counter-clockwise) and the frame that gives
// the pattern's chart-local coordinates, origin + s axis1 + t axis2 for s, t in [0, 1].
struct Chart {
    std::vector<Uv> outline;
    double origin[2] = {0, 0}, axis1[2] = {0, 0}, axis2[2] = {0, 0};
    int pattern = 0;
};

// A rectangle of texels [x0, x1] x [y0, y1] painted with diagonal stripes `period` texels wide, alternately
// colours a and b.
struct StripedBlock {
    int32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    Rgb a{0, 0, 0}, b{0, 0, 0};
    int period = 1;
};

struct Corner {
    int32_t position = 0, texCoord = 0;
};

struct ModelBuilder {
    int32_t size = 0;  // texels along each side of the finest level
    uint64_t seed = 0;
    SplitMix64 random;
    std::vector<std::array<float, 3>> positions;
    std::vector<Uv> texCoords;
    std::vector<std::array<Corner, 3>> triangles;
    std::vector<Chart> charts;
    std::vector<StripedBlock> blocks;  // painted before the charts
};

Corner addCorner(ModelBuilder& model, Vec3 p, Uv t) {
    model.positions.push_back({static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z)});
    model.texCoords.push_back(t);
    return {static_cast<int32_t>(model.positions.size()) - 1, static_cast<int32_t>(model.texCoords.size()) - 1};
}

void addTriangle(ModelBuilder& model, Corner a, Corner b, Corner c) { model.triangles.push_back({a, b, c}); }

double signedArea(const std::vector<Uv>& polygon) {
    double area = 0;
    for (size_t i = 0; i < polygon.size(); ++i) {
        const Uv& a = polygon[i];
        const Uv& b = polygon[(i + 1) % polygon.size()];
        area += static_cast<double>(a.u) * b.v - static_cast<double>(b.u) * a.v;
    }
    return 0.5 * area;
}

void addChart(ModelBuilder& model, std::vector<Uv> outline, Uv origin, Uv end1, Uv end2, int pattern) {
    if (signedArea(outline) < 0) std::reverse(outline.begin(), outline.end());
    Chart chart;
    chart.outline = std::move(outline);
    chart.origin[0] = origin.u, chart.origin[1] = origin.v;
    chart.axis1[0] = end1.u - origin.u, chart.axis1[1] = end1.v - origin.v;
    chart.axis2[0] = end2.u - origin.u, chart.axis2[1] = end2.v - origin.v;
    chart.pattern = pattern;
    model.charts.push_back(chart);
}

using SurfaceMap = std::function<Vec3(double s, double t)>;

// A chart with corners c[0..3] (texture (s, t) = (0, 0), (1, 0), (1, 1), (0, 1)) split into nu x nv cells of two
// triangles, texture coordinates bilinear in the corners and surface points from `surface`.
void addPatch(ModelBuilder& model, const Uv c[4], const SurfaceMap& surface, int nu, int nv, int pattern,
              bool painted = true) {
    std::vector<Corner> grid;
    for (int j = 0; j <= nv; ++j) {
        const double t = static_cast<double>(j) / nv;
        for (int i = 0; i <= nu; ++i) {
            const double s = static_cast<double>(i) / nu;
            const double lowU = lerp(c[0].u, c[1].u, s), lowV = lerp(c[0].v, c[1].v, s);
            const double highU = lerp(c[3].u, c[2].u, s), highV = lerp(c[3].v, c[2].v, s);
            grid.push_back(addCorner(model, surface(s, t), makeUv(lerp(lowU, highU, t), lerp(lowV, highV, t))));
        }
    }
    for (int j = 0; j < nv; ++j) {
        for (int i = 0; i < nu; ++i) {
            const Corner a = grid[j * (nu + 1) + i], b = grid[j * (nu + 1) + i + 1];
            const Corner d = grid[(j + 1) * (nu + 1) + i], e = grid[(j + 1) * (nu + 1) + i + 1];
            addTriangle(model, a, b, e);
            addTriangle(model, a, e, d);
        }
    }
    if (painted) addChart(model, {c[0], c[1], c[2], c[3]}, c[0], c[1], c[3], pattern);
}

// A flat quad with surface corners p[0..3] matching texture corners c[0..3].
void addQuad(ModelBuilder& model, const Uv c[4], const Vec3 p[4], int pattern, bool painted = true) {
    const Vec3 a = p[0], b = p[1], d = p[3], e = p[2];
    addPatch(model, c, [&](double s, double t) { return lerp(lerp(a, b, s), lerp(d, e, s), t); }, 1, 1, pattern,
             painted);
}

// `u` moved by n steps of 32-bit float (n > 0 upwards); u and the result are positive.
float stepFloat(float u, int64_t n) {
    uint32_t bits;
    std::memcpy(&bits, &u, sizeof bits);
    bits = static_cast<uint32_t>(static_cast<int64_t>(bits) + n);
    std::memcpy(&u, &bits, sizeof bits);
    return u;
}

// The float steps that make about `texels` of a finest texel at `u` in direction `direction`; at least one.
int64_t stepsFor(float u, double texels, int32_t size, int direction) {
    const float next = stepFloat(u, direction);
    const double step = std::fabs(static_cast<double>(next) - u);
    return std::max<int64_t>(1, std::llround(texels / size / step));
}

// The coordinate just past the texel line at `line` (a float exactly: a multiple of 1/64, or of half a finest
// texel), by about `texels` of a finest texel in `direction` (+1 or -1), and by at least one float step.
float pastLine(double line, double texels, int32_t size, int direction) {
    const float base = static_cast<float>(line);
    return stepFloat(base, direction * stepsFor(base, texels, size, direction));
}

// ---- The body every kind shares ----

struct BoxFace {
    Vec3 centre, right, up;  // the face spans right x up (full extents)
    double x0, y0, x1, y1;   // its chart, in 64ths
    int pattern;
};

const BoxFace bodyFaces[] = {
    {{0, 0.7, -0.45}, {2, 0, 0}, {0, 0.8, 0}, 2, 2, 30, 13, 0},     // left side
    {{0, 0.7, 0.45}, {-2, 0, 0}, {0, 0.8, 0}, 2, 15, 30, 26, 1},    // right side
    {{0, 1.1, 0}, {2, 0, 0}, {0, 0, -0.9}, 34, 2, 62, 15, 2},       // roof
    {{0, 0.3, 0}, {2, 0, 0}, {0, 0, 0.9}, 34, 17, 62, 30, 3},       // floor
    {{1, 0.7, 0}, {0, 0, 0.9}, {0, 0.8, 0}, 2, 28, 15, 39, 4},      // front
    {{-1, 0.7, 0}, {0, 0, -0.9}, {0, 0.8, 0}, 17, 28, 30, 39, 5},   // back
};
constexpr int boxFaceCount = 6;
constexpr int tankFace = 6;  // the tank's chart, [34, 54] x [32, 50], takes the chart edits as face 6
const double tankChart[4] = {34, 32, 54, 50};

// Changes the exact chart corners of body chart `face` (0 .. 6) before they are used.
using ChartEdit = std::function<void(int face, Uv corners[4])>;

Vec3 tankPoint(double s, double t) {
    return {-0.7 + 1.4 * s, 1.32 + 0.2 * std::cos(2 * pi * t), 0.2 * std::sin(2 * pi * t)};
}

// The box body, the tank on its roof and four wheels sharing one disc chart (two of them mirrored).
void addBody(ModelBuilder& model, const ChartEdit& edit) {
    for (int f = 0; f < boxFaceCount; ++f) {
        const BoxFace& face = bodyFaces[f];
        Uv c[4] = {at64(face.x0, face.y0), at64(face.x1, face.y0), at64(face.x1, face.y1), at64(face.x0, face.y1)};
        if (edit) edit(f, c);
        const Vec3 p[4] = {face.centre - 0.5 * face.right - 0.5 * face.up, face.centre + 0.5 * face.right - 0.5 * face.up,
                           face.centre + 0.5 * face.right + 0.5 * face.up, face.centre - 0.5 * face.right + 0.5 * face.up};
        addQuad(model, c, p, face.pattern);
    }
    Uv c[4] = {at64(tankChart[0], tankChart[1]), at64(tankChart[2], tankChart[1]), at64(tankChart[2], tankChart[3]),
               at64(tankChart[0], tankChart[3])};
    if (edit) edit(tankFace, c);
    addPatch(model, c, tankPoint, 1, 16, 0);

    // Wheels of radius 0.3, their outer faces mapped onto a 16-gon of radius 5/64 centred at (9, 49)/64.
    const int sides = 16;
    std::vector<Uv> rim;
    for (int k = 0; k < sides; ++k) {
        rim.push_back(at64(9 + 5 * std::cos(2 * pi * k / sides), 49 + 5 * std::sin(2 * pi * k / sides)));
    }
    for (int w = 0; w < 4; ++w) {
        const double x = w % 2 ? 0.65 : -0.65, z = w < 2 ? 0.47 : -0.47;
        const double mirror = z < 0 ? -1 : 1;
        const Corner hub = addCorner(model, {x, 0.3, z}, at64(9, 49));
        std::vector<Corner> ring;
        for (int k = 0; k < sides; ++k) {
            const double a = 2 * pi * k / sides;
            ring.push_back(addCorner(model, {x + mirror * 0.3 * std::cos(a), 0.3 + 0.3 * std::sin(a), z}, rim[k]));
        }
        for (int k = 0; k < sides; ++k) addTriangle(model, hub, ring[k], ring[(k + 1) % sides]);
    }
    addChart(model, rim, at64(4, 44), at64(14, 44), at64(4, 54), 4);
}

// ---- atlas ----

// Chart count for a texture side: 3000 at 512, in proportion to the side, from 300 up to 6000 (which keeps the
// OBJ text under 5 MB).
int atlasChartCount(int32_t size) { return std::clamp(3000 * size / 512, 300, 6000); }

// Surface per texture length spans 10^-3 .. 10^3 (so per area 1e-6 .. 1e6); the stretch along one axis 10^-1 .. 10.
constexpr double atlasDensitySpan = 3;

// The convex hull of `points`, counter-clockwise, without collinear points (monotone chain).
std::vector<Uv> convexHull(std::vector<Uv> points) {
    std::sort(points.begin(), points.end(), [](const Uv& a, const Uv& b) { return a.u < b.u || (a.u == b.u && a.v < b.v); });
    auto turn = [](const Uv& o, const Uv& a, const Uv& b) {
        return (static_cast<double>(a.u) - o.u) * (static_cast<double>(b.v) - o.v) -
               (static_cast<double>(a.v) - o.v) * (static_cast<double>(b.u) - o.u);
    };
    std::vector<Uv> hull(2 * points.size());
    size_t k = 0;
    for (size_t i = 0; i < points.size(); ++i) {
        while (k >= 2 && turn(hull[k - 2], hull[k - 1], points[i]) <= 0) --k;
        hull[k++] = points[i];
    }
    for (size_t i = points.size() - 1, lower = k + 1; i-- > 0;) {
        while (k >= lower && turn(hull[k - 2], hull[k - 1], points[i]) <= 0) --k;
        hull[k++] = points[i];
    }
    hull.resize(k > 1 ? k - 1 : k);
    return hull;
}

// A stripe colour whose channels are each 0 or 255, or (allowMid) also any byte, a third of the time each.
Rgb stripeColour(SplitMix64& random, bool allowMid) {
    uint8_t channel[3];
    for (uint8_t& c : channel) {
        const uint64_t pick = nextRandom(random) % (allowMid ? 3 : 2);
        c = pick == 0 ? 0 : pick == 1 ? 255 : static_cast<uint8_t>(nextRandom(random) & 255);
    }
    return {channel[0], channel[1], channel[2]};
}

void addAtlas(ModelBuilder& model) {
    const int32_t n = model.size;
    const int charts = atlasChartCount(n);
    // A grid with about a sixth of its cells left empty, the empty ones scattered.
    const int grid = static_cast<int>(std::ceil(std::sqrt(charts * 1.2)));
    const double cell = 1.0 / grid;
    std::vector<int> cells(static_cast<size_t>(grid) * grid);
    for (size_t i = 0; i < cells.size(); ++i) cells[i] = static_cast<int>(i);
    for (size_t i = cells.size() - 1; i > 0; --i) std::swap(cells[i], cells[nextRandom(model.random) % (i + 1)]);

    for (int c = 0; c < charts; ++c) {
        const double cu = (cells[c] % grid + 0.5) * cell, cv = (cells[c] / grid + 0.5) * cell;
        // A convex outline: the hull of 3 to 9 points around the cell centre, within 0.48 of a cell of it.
        std::vector<Uv> hull;
        Uv centre;
        bool fanned = false;
        while (!fanned) {
            const double radius = cell * uniform(model.random, 0.25, 0.48);
            const int points = 3 + static_cast<int>(nextRandom(model.random) % 7);
            std::vector<Uv> scattered;
            for (int k = 0; k < points; ++k) {
                const double a = uniform(model.random, 0, 2 * pi), r = radius * uniform(model.random, 0.5, 1.0);
                scattered.push_back(makeUv(cu + r * std::cos(a), cv + r * std::sin(a)));
            }
            hull = convexHull(scattered);
            if (hull.size() < 3) continue;
            double sumU = 0, sumV = 0;
            for (const Uv& p : hull) sumU += p.u, sumV += p.v;
            centre = makeUv(sumU / hull.size(), sumV / hull.size());
            // The fan from the rounded centre must keep every triangle turning counter-clockwise.
            fanned = true;
            for (size_t k = 0; k < hull.size() && fanned; ++k) {
                fanned = signedArea({centre, hull[k], hull[(k + 1) % hull.size()]}) > 0;
            }
        }

        // The chart's plane: orthonormal axes ex, ey at a random turn and tilt; surface per texture length
        // `scale`, stretched by `stretch` along ex and shrunk by it along ey, so the area per texture area is
        // scale^2. The plane passes through a random point of the model's [-1, 1]^3 box whatever the chart's size,
        // as a small part sits somewhere on a large model: 32-bit positions keep only a few digits of the smallest
        // charts' shapes, and surface areas computed from pieces clipped out of them are mostly rounding.
        const double scale = std::pow(10.0, uniform(model.random, -atlasDensitySpan, atlasDensitySpan));
        const double stretch = std::pow(10.0, uniform(model.random, -1, 1));
        const double turn = uniform(model.random, 0, pi), tilt = uniform(model.random, 0, 2 * pi);
        const Vec3 ex = {std::cos(turn), std::sin(turn), 0};
        const Vec3 ey = {-std::sin(turn) * std::cos(tilt), std::cos(turn) * std::cos(tilt), std::sin(tilt)};
        const Vec3 origin = {uniform(model.random, -1, 1), uniform(model.random, -1, 1), uniform(model.random, -1, 1)};
        auto surfacePoint = [&](Uv t) {
            return origin + ((t.u - cu) * scale * stretch) * ex + ((t.v - cv) * scale / stretch) * ey;
        };
        const Corner hub = addCorner(model, surfacePoint(centre), centre);
        std::vector<Corner> rim;
        for (const Uv& p : hull) rim.push_back(addCorner(model, surfacePoint(p), p));
        for (size_t k = 0; k < rim.size(); ++k) addTriangle(model, hub, rim[k], rim[(k + 1) % rim.size()]);

        // Stripes over every texel the chart touches and one more all round.
        StripedBlock block;
        double low[2] = {1, 1}, high[2] = {0, 0};
        for (const Uv& p : hull) {
            low[0] = std::min<double>(low[0], p.u), low[1] = std::min<double>(low[1], p.v);
            high[0] = std::max<double>(high[0], p.u), high[1] = std::max<double>(high[1], p.v);
        }
        block.x0 = std::max(0, static_cast<int32_t>(std::floor(low[0] * n)) - 1);
        block.y0 = std::max(0, static_cast<int32_t>(std::floor(low[1] * n)) - 1);
        block.x1 = std::min(n - 1, static_cast<int32_t>(std::floor(high[0] * n)) + 1);
        block.y1 = std::min(n - 1, static_cast<int32_t>(std::floor(high[1] * n)) + 1);
        block.a = stripeColour(model.random, true);
        block.b = stripeColour(model.random, false);
        block.period = 1 + static_cast<int>(nextRandom(model.random) % 4);
        model.blocks.push_back(block);
    }
}

// ---- slivers ----

// How far a chart edge reaches past its texel line, in finest texels, and whether the line is the texel
// centre line half a finest texel further out (the edge of the next tent's support).
struct EdgeReach {
    double texels;
    bool centreLine;
};

const EdgeReach edgeReaches[] = {{1e-3, false}, {1e-5, false}, {1e-7, false}, {1e-4, true},
                                 {1e-2, false}, {1e-6, false}, {1e-6, true},  {1e-9, false}};

void addSlivers(ModelBuilder& model) {
    const int32_t n = model.size;
    const double half = 0.5 / n;
    addBody(model, [n, half](int face, Uv c[4]) {
        // Edges left, right, bottom, top, each pushed outwards past its line.
        const double x0 = c[0].u, x1 = c[1].u, y0 = c[0].v, y1 = c[2].v;
        float moved[4];
        for (int e = 0; e < 4; ++e) {
            const EdgeReach& reach = edgeReaches[(face * 4 + e) % (sizeof edgeReaches / sizeof edgeReaches[0])];
            const int direction = e % 2 ? 1 : -1;
            const double line = (e < 2 ? (e ? x1 : x0) : (e == 3 ? y1 : y0)) + (reach.centreLine ? direction * half : 0);
            moved[e] = pastLine(line, reach.texels, n, direction);
        }
        c[0] = {moved[0], moved[2]}, c[1] = {moved[1], moved[2]}, c[2] = {moved[1], moved[3]}, c[3] = {moved[0], moved[3]};
    });

    // A sheared windscreen: its bottom edge leans 1e-6 texel below its texel line at one end (a wedge along the
    // row below), its right tip crosses a column line by 1e-4 texel.
    Uv screen[4] = {at64(17, 43), at64(29, 43), at64(31, 50), at64(19, 50)};
    screen[0].v = pastLine(43.0 / 64, 1e-6, n, -1);
    screen[2].u = pastLine(31.0 / 64, 1e-4, n, 1);
    const Vec3 screenPoints[4] = {{1.0, 1.1, -0.4}, {1.0, 1.1, 0.4}, {0.7, 1.5, 0.4}, {0.7, 1.5, -0.4}};
    addQuad(model, screen, screenPoints, 3);

    // A door panel, rotated and sheared in the atlas: each of its four tips crosses a texel line.
    Uv door[4] = {at64(18, 53), at64(30, 56), at64(29, 60), at64(17, 57)};
    door[0].v = pastLine(53.0 / 64, 3e-4, n, -1);
    door[1].u = pastLine(30.0 / 64, 1e-5, n, 1);
    door[2].v = pastLine(60.0 / 64, 1e-3, n, 1);
    door[3].u = pastLine(17.0 / 64, 3e-5, n, -1);
    const Vec3 doorPoints[4] = {{-0.2, 0.4, -0.46}, {0.4, 0.4, -0.46}, {0.4, 0.95, -0.46}, {-0.2, 0.95, -0.46}};
    addQuad(model, door, doorPoints, 5);

    // A number plate in the corner of the atlas, where 32-bit floats are finest: its right and top edges pass
    // the 1/64 lines by the least the format holds there, the top one leaning.
    Uv plate[4] = {at64(0, 0), at64(1, 0), at64(1, 1), at64(0, 1)};
    plate[1].u = plate[2].u = pastLine(1.0 / 64, 1e-7, n, 1);
    plate[2].v = pastLine(1.0 / 64, 1e-8, n, 1);
    const Vec3 platePoints[4] = {{-1.005, 0.45, 0.15}, {-1.005, 0.45, -0.15}, {-1.005, 0.6, -0.15}, {-1.005, 0.6, 0.15}};
    addQuad(model, plate, platePoints, 1);
}

// ---- needles ----

// Widths of the seam needles, in finest texels.
const double needleWidths[] = {1e-2, 1e-3, 1e-4, 1e-5, 1e-6, 1e-7};
constexpr int needleWidthCount = sizeof needleWidths / sizeof needleWidths[0];

// `count` seam needles along the chart edge from a to b (on a texel line, along u when alongU), each spanning
// a piece of the edge with its apex just outside the line (direction outward); the apex's surface point is
// either the chart's own mapping (a seam squashed alike in both spaces) or lifted by a bevel of its own.
void addEdgeNeedles(ModelBuilder& model, Uv a, Uv b, bool alongU, int outward, Vec3 pa, Vec3 pb, Vec3 bevel,
                    int count) {
    for (int j = 0; j < count; ++j) {
        const double s0 = static_cast<double>(j) / count, s1 = static_cast<double>(j + 1) / count;
        const double sApex = s0 + (s1 - s0) * (0.15 + 0.7 * j / count);
        const double width = needleWidths[j % needleWidthCount];
        Uv apex = makeUv(lerp(a.u, b.u, sApex), lerp(a.v, b.v, sApex));
        if (alongU) apex.v = pastLine(a.v, width, model.size, outward);
        else apex.u = pastLine(a.u, width, model.size, outward);
        const Vec3 apexPoint = lerp(pa, pb, sApex) + (j % 2 ? 0.0 : 1.0 + j) * bevel;
        addTriangle(model, addCorner(model, lerp(pa, pb, s0), makeUv(lerp(a.u, b.u, s0), lerp(a.v, b.v, s0))),
                    addCorner(model, lerp(pa, pb, s1), makeUv(lerp(a.u, b.u, s1), lerp(a.v, b.v, s1))),
                    addCorner(model, apexPoint, apex));
    }
}

void addNeedles(ModelBuilder& model) {
    const int32_t n = model.size;
    addBody(model, nullptr);
    // Seams along the top of the left side, the bottom of the roof and the top of the tank (rows), and the
    // right edge of the front (a column).
    const BoxFace& left = bodyFaces[0];
    addEdgeNeedles(model, at64(left.x0, left.y1), at64(left.x1, left.y1), true, 1, {-1, 1.1, -0.45}, {1, 1.1, -0.45},
                   {0, 0.002, 0.001}, 8);
    const BoxFace& roof = bodyFaces[2];
    addEdgeNeedles(model, at64(roof.x0, roof.y0), at64(roof.x1, roof.y0), true, -1, {-1, 1.1, 0.45}, {1, 1.1, 0.45},
                   {0, 0.001, 0.002}, 6);
    addEdgeNeedles(model, at64(tankChart[0], tankChart[3]), at64(tankChart[2], tankChart[3]), true, 1,
                   tankPoint(0, 1), tankPoint(1, 1), {0, 0.003, 0}, 6);
    const BoxFace& front = bodyFaces[4];
    addEdgeNeedles(model, at64(front.x1, front.y0), at64(front.x1, front.y1), false, 1, {1, 0.3, 0.45}, {1, 1.1, 0.45},
                   {0.002, 0, 0.002}, 5);

    // A trim strip crossing the 54/64 row line at a shallow angle, and one lying just above the 58/64 line.
    for (int k = 0; k < 2; ++k) {
        const double line = k ? 58.0 / 64 : 54.0 / 64;
        const Uv p = makeUv(36.0 / 64, k ? line : pastLine(line, 1e-3, n, -1));
        const Uv q = makeUv(62.0 / 64, pastLine(line, k ? 1e-5 : 1e-3, n, 1));
        const Uv r = {61.0f / 64, stepFloat(q.v, 1 + stepsFor(q.v, 1e-4, n, 1))};
        const double y = 1.0 - 0.1 * k;
        addTriangle(model, addCorner(model, {-1, y, 0.451}, p), addCorner(model, {1, y, 0.451}, q),
                    addCorner(model, {0.95, y + 0.002, 0.451}, r));
    }

    // A roof hatch turned 45 degrees in the atlas: its edges run through texel corners at every level. Seam
    // needles along each edge, their apexes stepped outwards diagonally.
    const Uv hatch[4] = {at64(24, 46), at64(30, 52), at64(24, 58), at64(18, 52)};
    const Vec3 hatchPoints[4] = {{-0.5, 1.105, -0.42}, {-0.08, 1.105, 0}, {-0.5, 1.105, 0.42}, {-0.92, 1.105, 0}};
    addQuad(model, hatch, hatchPoints, 2);
    for (int e = 0; e < 4; ++e) {
        const Uv a = hatch[e], b = hatch[(e + 1) % 4];
        // Corners bottom, right, top, left: the outward normal of edge e has these signs.
        const int signU = e == 0 || e == 1 ? 1 : -1, signV = e == 1 || e == 2 ? 1 : -1;
        for (int j = 0; j < 3; ++j) {
            const double s0 = j / 3.0, s1 = (j + 1) / 3.0, sApex = s0 + (s1 - s0) * (0.3 + 0.2 * j);
            const double width = needleWidths[(e * 3 + j) % needleWidthCount] / std::sqrt(2.0);
            Uv apex = makeUv(lerp(a.u, b.u, sApex), lerp(a.v, b.v, sApex));
            apex.u = stepFloat(apex.u, signU * stepsFor(apex.u, width, n, signU));
            apex.v = stepFloat(apex.v, signV * stepsFor(apex.v, width, n, signV));
            const Vec3 pa = hatchPoints[e], pb = hatchPoints[(e + 1) % 4];
            addTriangle(model, addCorner(model, lerp(pa, pb, s0), makeUv(lerp(a.u, b.u, s0), lerp(a.v, b.v, s0))),
                        addCorner(model, lerp(pa, pb, s1), makeUv(lerp(a.u, b.u, s1), lerp(a.v, b.v, s1))),
                        addCorner(model, lerp(pa, pb, sApex) + Vec3{0, 0.004, 0}, apex));
        }
    }
}

// ---- tiny ----

void addTiny(ModelBuilder& model) {
    const int32_t n = model.size;
    addBody(model, nullptr);
    // A radiator grille in front of the front face, a bumpy surface tessellated into cells of an eighth of a
    // finest texel (at most 128 x 128 cells), on a chart 1/64 of the atlas wide.
    const int cells = std::min(128, std::max(8, 8 * n / 64));
    const Uv grille[4] = {at64(36, 53), at64(37, 53), at64(37, 54), at64(36, 54)};
    addPatch(model, grille, [](double s, double t) {
        return Vec3{1.01 + 0.01 * std::sin(40 * pi * s) * std::sin(6 * pi * t), 0.35 + 0.3 * t, -0.3 + 0.6 * s};
    }, cells, cells, 1);
    // Two headlights sharing one dome chart, half as finely tessellated.
    const Uv lamp[4] = {at64(38, 53), at64(39, 53), at64(39, 54), at64(38, 54)};
    for (int k = 0; k < 2; ++k) {
        const double side = k ? 0.3 : -0.3;
        addPatch(model, lamp, [side](double s, double t) {
            const double a = 2 * s - 1, b = 2 * t - 1, r2 = std::min(1.0, a * a + b * b);
            return Vec3{1.0 + 0.06 * std::sqrt(1 - r2), 0.9 + 0.08 * b, side + 0.08 * a};
        }, cells / 2, cells / 2, 4, k == 0);
    }

    // Specks (bolt heads and rivets on the sides) of 0.3 down to 0.003 texel across, scattered over texture space
    // no chart uses; their surface size ranges from a tenth to ten times what a normal texel density gives them.
    const int specks = 48 + n / 8;
    for (int i = 0; i < specks; ++i) {
        const bool upper = i % 2;  // two free regions: [41, 63] x [53, 63] and [16, 33] x [41, 63]
        for (int attempt = 0; attempt < 16; ++attempt) {
            const double cu = upper ? uniform(model.random, 41, 63) / 64 : uniform(model.random, 16, 33) / 64;
            const double cv = upper ? uniform(model.random, 53, 63) / 64 : uniform(model.random, 41, 63) / 64;
            const double across = std::exp(uniform(model.random, std::log(3e-3), std::log(0.3))) / n;
            const double turn = uniform(model.random, 0, 2 * pi);
            const double stretch = std::pow(10.0, uniform(model.random, -1, 1));
            const double x = uniform(model.random, -0.9, 0.9), y = uniform(model.random, 0.35, 1.05);
            const double z = (i % 4 < 2 ? -0.4505 : 0.4505);
            Uv t[3];
            Vec3 p[3];
            for (int k = 0; k < 3; ++k) {
                const double a = turn + 2 * pi * k / 3 + 0.3 * k;
                t[k] = makeUv(cu + across * std::cos(a), cv + across * std::sin(a));
                const double r = across * (64.0 / 14) * stretch;
                p[k] = {x + r * std::cos(a), y + r * std::sin(a), z};
            }
            const double area = (static_cast<double>(t[1].u) - t[0].u) * (static_cast<double>(t[2].v) - t[0].v) -
                                (static_cast<double>(t[2].u) - t[0].u) * (static_cast<double>(t[1].v) - t[0].v);
            if (area == 0) continue;  // rounded flat: another try
            addTriangle(model, addCorner(model, p[0], t[0]), addCorner(model, p[1], t[1]), addCorner(model, p[2], t[2]));
            break;
        }
    }
}

// ---- corners ----

const double cornerReaches[] = {1e-2, 1e-3, 1e-4, 3e-5, 1e-3, 1e-4, 1e-2, 3e-5};
constexpr int cornerReachCount = sizeof cornerReaches / sizeof cornerReaches[0];

void addCorners(ModelBuilder& model) {
    const int32_t n = model.size;
    addBody(model, [n](int face, Uv c[4]) {
        if (face == tankFace) return;
        // One corner of each face moves out diagonally: the texel beyond it gets an epsilon x epsilon square,
        // its side neighbours thin wedges.
        const int k = face % 4;
        const int du = k == 1 || k == 2 ? 1 : -1, dv = k >= 2 ? 1 : -1;
        const double reach = cornerReaches[face];
        c[k] = {pastLine(c[k].u, reach, n, du), pastLine(c[k].v, reach, n, dv)};
        // Faces 4 and 5 move a second corner as well, the first by a tenth as much.
        if (face >= 4) {
            const int m = (k + 2) % 4;
            const int mu = m == 1 || m == 2 ? 1 : -1, mv = m >= 2 ? 1 : -1;
            c[m] = {pastLine(c[m].u, reach / 10, n, mu), pastLine(c[m].v, reach / 10, n, mv)};
        }
    });

    // Badges: squares turned 45 degrees, each tip (right, top, left, bottom) poking past its texel line by
    // epsilon, either at a texel corner (two texels get epsilon^2 / 2), past the corner diagonally (one texel,
    // epsilon^2), or in the middle of a texel side (one texel, epsilon^2).
    const double centres[8][2] = {{20, 45}, {28, 45}, {20, 53}, {28, 53}, {24, 60}, {40, 57}, {48, 57}, {56, 57}};
    for (int d = 0; d < 8; ++d) {
        const double cu = centres[d][0] / 64, cv = centres[d][1] / 64, r = 3.0 / 64;
        Uv tips[4] = {makeUv(cu + r, cv), makeUv(cu, cv + r), makeUv(cu - r, cv), makeUv(cu, cv - r)};
        for (int t = 0; t < 4; ++t) {
            const double epsilon = cornerReaches[(d * 4 + t) % cornerReachCount];
            const int outward = t < 2 ? 1 : -1;
            const bool alongU = t % 2 == 0;
            float& main = alongU ? tips[t].u : tips[t].v;
            float& other = alongU ? tips[t].v : tips[t].u;
            main = pastLine(main, epsilon, n, outward);
            const int variant = (d + t) % 3;
            if (variant == 1) other = pastLine(other, epsilon, n, 1);
            if (variant == 2) other = static_cast<float>(other + 0.5 / n);
        }
        const double x = -0.85 + 0.24 * d, y = d % 2 ? 0.55 : 0.85, h = 0.21;
        const Vec3 points[4] = {{x + h, y, -0.452}, {x, y + h, -0.452}, {x - h, y, -0.452}, {x, y - h, -0.452}};
        const Uv quad[4] = {tips[3], tips[0], tips[1], tips[2]};
        const Vec3 quadPoints[4] = {points[3], points[0], points[1], points[2]};
        addQuad(model, quad, quadPoints, d);
    }
}

// ---- crowded ----

void addCrowded(ModelBuilder& model) {
    addBody(model, nullptr);
    // Six vents, on the sides and the roof, all mapped onto one chart.
    const Uv vent[4] = {at64(17, 42), at64(25, 42), at64(25, 48), at64(17, 48)};
    for (int k = 0; k < 6; ++k) {
        const double x = -0.7 + 0.5 * (k % 3);
        Vec3 p[4];
        if (k < 3) {
            p[0] = {x, 0.5, -0.451}, p[1] = {x + 0.5, 0.5, -0.451}, p[2] = {x + 0.5, 0.875, -0.451}, p[3] = {x, 0.875, -0.451};
        } else {
            p[0] = {x + 0.5, 1.101, 0.05}, p[1] = {x, 1.101, 0.05}, p[2] = {x, 1.101, 0.425}, p[3] = {x + 0.5, 1.101, 0.425};
        }
        addQuad(model, vent, p, 3, k == 0);
    }
    // A hose under the body, 2.4 long and 0.04 in radius (about 0.6 of surface, a twentieth of the model), squeezed
    // into a square 1/128 of the atlas wide: a few texels at 256 x 256, half a texel at 64 x 64.
    const Uv hose[4] = {at64(28, 42), at64(28.5, 42), at64(28.5, 42.5), at64(28, 42.5)};
    addPatch(model, hose, [](double s, double t) {
        return Vec3{-1.2 + 2.4 * s, 0.2 + 0.04 * std::cos(2 * pi * t), 0.3 + 0.04 * std::sin(2 * pi * t)};
    }, 16, 8, 2);
    // A small badge (0.12 x 0.04) spread over a large chart: a few hundred times fewer surface per texel.
    const Uv badge[4] = {at64(36, 53), at64(62, 53), at64(62, 62), at64(36, 62)};
    const Vec3 badgePoints[4] = {{0.8, 0.9, 0.451}, {0.92, 0.9, 0.451}, {0.92, 0.94, 0.451}, {0.8, 0.94, 0.451}};
    addQuad(model, badge, badgePoints, 5);
}

// ---- pleated ----

void addPleated(ModelBuilder& model) {
    constexpr int pleats = 1000;
    constexpr double width = 0.8;  // of the atlas; the rest is unused
    // Strip k spans u in [k, k + 1] width / pleats and all of v; its surface runs from the front (z = 0) to the
    // back (z = 1) for even k and back again for odd k, stepping 1 / pleats along x: each pleat is a unit square.
    std::vector<Corner> bottom, top;
    for (int k = 0; k <= pleats; ++k) {
        const double u = width * k / pleats, x = 0.01 * k / pleats, z = k % 2 == 0 ? 0.0 : 1.0;
        bottom.push_back(addCorner(model, Vec3{x, 0.0, z}, makeUv(u, 0.0)));
        top.push_back(addCorner(model, Vec3{x, 1.0, z}, makeUv(u, 1.0)));
    }
    for (int k = 0; k < pleats; ++k) {
        addTriangle(model, bottom[k], bottom[k + 1], top[k + 1]);
        addTriangle(model, bottom[k], top[k + 1], top[k]);
    }
    // Per-texel noise saturated in red and blue, following the seed.
    addChart(model, {makeUv(0, 0), makeUv(width, 0), makeUv(width, 1), makeUv(0, 1)}, makeUv(0, 0),
             makeUv(width, 0), makeUv(0, 1), 2);
}

// ---- stacked ----

void addStacked(ModelBuilder& model) {
    addBody(model, nullptr);
    // Each wagon is the body moved 2.5 along x: new positions, the body's own texture coordinates.
    const size_t bodyTriangles = model.triangles.size();
    for (int wagon = 1; wagon < 256; ++wagon) {
        for (size_t t = 0; t < bodyTriangles; ++t) {
            std::array<Corner, 3> copy = model.triangles[t];
            for (Corner& corner : copy) {
                std::array<float, 3> p = model.positions[static_cast<size_t>(corner.position)];
                p[0] += static_cast<float>(2.5 * wagon);
                model.positions.push_back(p);
                corner.position = static_cast<int32_t>(model.positions.size()) - 1;
            }
            model.triangles.push_back(copy);
        }
    }
}

// ---- painting and writing ----

Rgb mix(Rgb a, Rgb b, double t) {
    return {static_cast<uint8_t>(std::lround(a.r + (b.r - a.r) * t)), static_cast<uint8_t>(std::lround(a.g + (b.g - a.g) * t)),
            static_cast<uint8_t>(std::lround(a.b + (b.b - a.b) * t))};
}

// The colour at chart-local texel coordinates (px, py) of a chart width x height texels: a dark one-texel
// outline around a pattern with features of one to a few texels, each saturated in some channel.
Rgb patternColour(int pattern, double px, double py, double width, double height, uint64_t noiseKey) {
    if (px < 1 || py < 1 || px > width - 1 || py > height - 1) return {12, 12, 16};
    const int64_t ix = static_cast<int64_t>(std::floor(px)), iy = static_cast<int64_t>(std::floor(py));
    switch (pattern % 6) {
    case 0:  // checkerboard of 2-texel squares
        return ((ix / 2 + iy / 2) % 2 == 0) ? Rgb{255, 214, 0} : Rgb{0, 40, 190};
    case 1:  // one-texel diagonal stripes, every third texel
        return (ix + iy) % 3 == 0 ? Rgb{255, 255, 255} : Rgb{20, 20, 24};
    case 2: {  // per-texel noise, saturated in red and blue
        const uint64_t h = texelHash(noiseKey, ix, iy);
        return {static_cast<uint8_t>(h & 1 ? 255 : 0), static_cast<uint8_t>(96 + ((h >> 8) & 63)),
                static_cast<uint8_t>(h & 2 ? 250 : 4)};
    }
    case 3:  // one-texel grid lines every 4 texels
        return (ix % 4 == 0 || iy % 4 == 0) ? Rgb{250, 250, 250} : Rgb{0, 110, 120};
    case 4: {  // rings 6 texels apart
        const double radius = std::hypot(px - width * 0.5, py - height * 0.5);
        return mix(Rgb{255, 0, 0}, Rgb{255, 255, 40}, 0.5 + 0.5 * std::cos(radius * 2 * pi / 6));
    }
    default:  // a blue gradient crossed by one-texel white lines every 3 texels
        if (ix % 3 == 0) return {255, 255, 255};
        return mix(Rgb{0, 0, 60}, Rgb{0, 30, 255}, py / height);
    }
}

FloatImage paintAtlas(const ModelBuilder& model) {
    const int32_t n = model.size;
    std::vector<Rgb> bytes(static_cast<size_t>(n) * n, unusedColour);
    for (const StripedBlock& block : model.blocks) {
        for (int32_t y = block.y0; y <= block.y1; ++y) {
            for (int32_t x = block.x0; x <= block.x1; ++x) {
                bytes[static_cast<size_t>(y) * n + x] = ((x + y) / block.period) % 2 == 0 ? block.a : block.b;
            }
        }
    }
    for (size_t c = 0; c < model.charts.size(); ++c) {
        const Chart& chart = model.charts[c];
        double low[2] = {1, 1}, high[2] = {0, 0};
        for (const Uv& p : chart.outline) {
            low[0] = std::min<double>(low[0], p.u), low[1] = std::min<double>(low[1], p.v);
            high[0] = std::max<double>(high[0], p.u), high[1] = std::max<double>(high[1], p.v);
        }
        const double det = chart.axis1[0] * chart.axis2[1] - chart.axis1[1] * chart.axis2[0];
        const double width = std::hypot(chart.axis1[0], chart.axis1[1]) * n;
        const double height = std::hypot(chart.axis2[0], chart.axis2[1]) * n;
        const uint64_t key = model.seed * 0x9E3779B97F4A7C15ull + c;
        const int x0 = std::max(0, static_cast<int>(std::floor(low[0] * n))), x1 = std::min(n - 1, static_cast<int>(high[0] * n));
        const int y0 = std::max(0, static_cast<int>(std::floor(low[1] * n))), y1 = std::min(n - 1, static_cast<int>(high[1] * n));
        for (int y = y0; y <= y1; ++y) {
            for (int x = x0; x <= x1; ++x) {
                const double u = (x + 0.5) / n, v = (y + 0.5) / n;
                bool inside = true;
                for (size_t i = 0; i < chart.outline.size() && inside; ++i) {
                    const Uv& a = chart.outline[i];
                    const Uv& b = chart.outline[(i + 1) % chart.outline.size()];
                    inside = (b.u - a.u) * (v - a.v) - (b.v - a.v) * (u - a.u) >= 0;
                }
                if (!inside) continue;
                const double du = u - chart.origin[0], dv = v - chart.origin[1];
                const double s = (du * chart.axis2[1] - dv * chart.axis2[0]) / det;
                const double t = (chart.axis1[0] * dv - chart.axis1[1] * du) / det;
                bytes[static_cast<size_t>(y) * n + x] = patternColour(chart.pattern, s * width, t * height, width, height, key);
            }
        }
    }
    FloatImage atlas;
    allocateImage(atlas, n, n);
    for (int32_t i = 0; i < atlas.count; ++i) {
        atlas.texels[i] = Texel{unitFromByte(bytes[i].r), unitFromByte(bytes[i].g), unitFromByte(bytes[i].b), 1.0f};
    }
    return atlas;
}

std::string objText(const ModelBuilder& model, HardModelKind kind) {
    std::string text;
    text.reserve(model.positions.size() * 40 + model.texCoords.size() * 28 + model.triangles.size() * 36 + 128);
    char line[128];
    std::snprintf(line, sizeof line, "# %s: %s a %d x %d atlas, seed %llu\n", hardModelKindName(kind),
                  kind == HardModelKind::atlas     ? "scattered charts packed into"
                  : kind == HardModelKind::pleated ? "a pleated sheet unwrapped into"
                  : kind == HardModelKind::stacked ? "a train of vehicle bodies unwrapped into"
                                                   : "a vehicle body unwrapped into",
                  model.size, model.size, static_cast<unsigned long long>(model.seed));
    text += line;
    for (const auto& p : model.positions) {
        std::snprintf(line, sizeof line, "v %.9g %.9g %.9g\n", p[0], p[1], p[2]);
        text += line;
    }
    for (const Uv& t : model.texCoords) {
        std::snprintf(line, sizeof line, "vt %.9g %.9g\n", t.u, t.v);
        text += line;
    }
    for (const auto& t : model.triangles) {
        std::snprintf(line, sizeof line, "f %d/%d %d/%d %d/%d\n", t[0].position + 1, t[0].texCoord + 1,
                      t[1].position + 1, t[1].texCoord + 1, t[2].position + 1, t[2].texCoord + 1);
        text += line;
    }
    return text;
}

}  // namespace

bool hardModelKindFromName(const std::string& name, HardModelKind& kind) {
    for (HardModelKind k : allHardModelKinds) {
        if (name == hardModelKindName(k)) {
            kind = k;
            return true;
        }
    }
    return false;
}

const char* hardModelKindName(HardModelKind kind) {
    switch (kind) {
    case HardModelKind::atlas: return "atlas";
    case HardModelKind::slivers: return "slivers";
    case HardModelKind::needles: return "needles";
    case HardModelKind::tiny: return "tiny";
    case HardModelKind::corners: return "corners";
    case HardModelKind::crowded: return "crowded";
    case HardModelKind::pleated: return "pleated";
    case HardModelKind::stacked: return "stacked";
    }
    return "unknown";
}

bool isHardModelSize(int32_t textureSize) {
    return textureSize >= 64 && textureSize <= 4096 && (textureSize & (textureSize - 1)) == 0;
}

HardModel makeHardModel(HardModelKind kind, int32_t textureSize, uint32_t seed) {
    if (!isHardModelSize(textureSize)) {
        throw std::invalid_argument("texture size " + std::to_string(textureSize) +
                                    " is not a power of two from 64 to 4096");
    }
    ModelBuilder model;
    model.size = textureSize;
    model.seed = seed;
    model.random.state = (static_cast<uint64_t>(seed) << 8) ^ static_cast<uint64_t>(kind);
    switch (kind) {
    case HardModelKind::atlas: addAtlas(model); break;
    case HardModelKind::slivers: addSlivers(model); break;
    case HardModelKind::needles: addNeedles(model); break;
    case HardModelKind::tiny: addTiny(model); break;
    case HardModelKind::corners: addCorners(model); break;
    case HardModelKind::crowded: addCrowded(model); break;
    case HardModelKind::pleated: addPleated(model); break;
    case HardModelKind::stacked: addStacked(model); break;
    }
    HardModel result;
    result.objText = objText(model, kind);
    result.texture = paintAtlas(model);
    return result;
}
