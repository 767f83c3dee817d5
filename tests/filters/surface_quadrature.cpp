// Clipping of triangles along texture-space lines and the seven-point rule over the pieces.
#include "surface_quadrature.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <random>

namespace {

struct Corner {
    double u, v;
};

// Splits the convex polygon at the line where coordinate `axis` (0: u, 1: v) equals `line`: the part below it and
// the part above it (Sutherland-Hodgman against each half-plane).
void splitPolygon(const std::vector<Corner>& polygon, int axis, double line, std::vector<Corner>& below,
                  std::vector<Corner>& above) {
    below.clear(), above.clear();
    const size_t n = polygon.size();
    auto at = [axis](const Corner& c) { return axis == 0 ? c.u : c.v; };
    for (size_t i = 0; i < n; ++i) {
        const Corner& a = polygon[i];
        const Corner& b = polygon[(i + 1) % n];
        const double da = at(a) - line, db = at(b) - line;
        if (da <= 0) below.push_back(a);
        if (da >= 0) above.push_back(a);
        if ((da < 0 && db > 0) || (da > 0 && db < 0)) {
            const double t = da / (da - db);
            Corner crossing{a.u + t * (b.u - a.u), a.v + t * (b.v - a.v)};
            if (axis == 0) crossing.u = line;
            else crossing.v = line;
            below.push_back(crossing);
            above.push_back(crossing);
        }
    }
}

// Cuts the polygon along every line of `lines` (sorted) that passes through it.
std::vector<std::vector<Corner>> cutAlong(const std::vector<Corner>& polygon, int axis,
                                          const std::vector<double>& lines) {
    std::vector<std::vector<Corner>> pieces;
    auto at = [axis](const Corner& c) { return axis == 0 ? c.u : c.v; };
    double low = at(polygon[0]), high = low;
    for (const Corner& c : polygon) low = std::min(low, at(c)), high = std::max(high, at(c));
    std::vector<Corner> rest = polygon, below, above;
    for (double line : lines) {
        if (line <= low || line >= high) continue;
        splitPolygon(rest, axis, line, below, above);
        if (below.size() >= 3) pieces.push_back(below);
        rest = above;
        if (rest.size() < 3) return pieces;
    }
    pieces.push_back(rest);
    return pieces;
}

double crossArea(const Corner& a, const Corner& b, const Corner& c) {
    return 0.5 * std::abs((b.u - a.u) * (c.v - a.v) - (b.v - a.v) * (c.u - a.u));
}

std::vector<double> sortedUnique(std::vector<double> lines) {
    std::sort(lines.begin(), lines.end());
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
    return lines;
}

}  // namespace

std::vector<SurfacePoint> surfacePoints(const Mesh& mesh, const std::vector<double>& uLines,
                                        const std::vector<double>& vLines) {
    // Dunavant's rule of degree 5 in barycentric coordinates: the centroid and two orbits of three points.
    const double r15 = std::sqrt(15.0);
    const double a1 = (9 - 2 * r15) / 21, b1 = (6 + r15) / 21, w1 = (155 + r15) / 1200;
    const double a2 = (9 + 2 * r15) / 21, b2 = (6 - r15) / 21, w2 = (155 - r15) / 1200;
    const double rule[7][4] = {{1.0 / 3, 1.0 / 3, 1.0 / 3, 9.0 / 40}, {a1, b1, b1, w1}, {b1, a1, b1, w1},
                               {b1, b1, a1, w1}, {a2, b2, b2, w2}, {b2, a2, b2, w2}, {b2, b2, a2, w2}};
    const std::vector<double> us = sortedUnique(uLines), vs = sortedUnique(vLines);
    std::vector<SurfacePoint> points;
    for (const MeshTriangle& t : mesh.triangles) {
        std::vector<Corner> triangle;
        Point3 p[3];
        for (int c = 0; c < 3; ++c) {
            const TexPoint& q = mesh.texCoords[t.texCoordIndex[c]];
            triangle.push_back(Corner{q.u, q.v});
            p[c] = mesh.positions[t.positionIndex[c]];
        }
        const double textureArea = crossArea(triangle[0], triangle[1], triangle[2]);
        if (textureArea == 0) continue;
        const double ratio = triangleArea(p[0], p[1], p[2]) / textureArea;
        for (const std::vector<Corner>& column : cutAlong(triangle, 0, us)) {
            for (const std::vector<Corner>& piece : cutAlong(column, 1, vs)) {
                for (size_t k = 1; k + 1 < piece.size(); ++k) {
                    const Corner &a = piece[0], &b = piece[k], &c = piece[k + 1];
                    const double area = crossArea(a, b, c) * ratio;
                    if (area == 0) continue;
                    for (const auto& r : rule) {
                        points.push_back(SurfacePoint{r[0] * a.u + r[1] * b.u + r[2] * c.u,
                                                      r[0] * a.v + r[1] * b.v + r[2] * c.v, r[3] * area});
                    }
                }
            }
        }
    }
    return points;
}

std::vector<double> texelCentres(int32_t n) {
    std::vector<double> centres;
    for (int32_t i = 0; i < n; ++i) centres.push_back((i + 0.5) / n);
    return centres;
}

std::vector<double> joined(std::vector<std::vector<double>> lists) {
    std::vector<double> all;
    for (const std::vector<double>& list : lists) all.insert(all.end(), list.begin(), list.end());
    return all;
}

double wrappedTent(int32_t n, int32_t i, double u) {
    if (n == 1) return 1.0;
    double d = u - (i + 0.5) / n;
    d -= std::round(d);
    return std::max(0.0, 1.0 - std::abs(d) * n);
}

void tentsAt(int32_t n, double u, int32_t texel[2], double value[2]) {
    const double below = std::floor(u * n - 0.5);
    for (int e = 0; e < 2; ++e) {
        const int64_t i = static_cast<int64_t>(below) + e;
        texel[e] = static_cast<int32_t>(((i % n) + n) % n);
        value[e] = wrappedTent(n, texel[e], u);
    }
    // One texel, or two whose tents share every point of the period: each non-zero tent once.
    if (texel[1] == texel[0]) value[1] = 0;
}

double channelOf(const Texel& texel, int32_t c) {
    return c == 0 ? texel.r : c == 1 ? texel.g : c == 2 ? texel.b : texel.a;
}

double reconstruction(const FloatImage& image, double u, double v, int32_t c) {
    int32_t columns[2], rows[2];
    double across[2], down[2];
    tentsAt(image.width, u, columns, across);
    tentsAt(image.height, v, rows, down);
    double sum = 0;
    for (int j = 0; j < 2; ++j) {
        for (int i = 0; i < 2; ++i) sum += across[i] * down[j] * channelOf(image.at(columns[i], rows[j]), c);
    }
    return sum;
}

Mesh randomSurface(int32_t count, unsigned seed, double extent, double margin) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0), position(-1.0, 1.0);
    Mesh mesh;
    for (int32_t t = 0; t < count; ++t) {
        const double size = extent * (0.2 + 0.8 * unit(random));
        const double u0 = margin + (1 - 2 * margin - size) * unit(random);
        const double v0 = margin + (1 - 2 * margin - size) * unit(random);
        MeshTriangle triangle;
        for (int c = 0; c < 3; ++c) {
            triangle.positionIndex[c] = mesh.positions.count;
            triangle.texCoordIndex[c] = mesh.texCoords.count;
            append(mesh.texCoords, TexPoint{static_cast<float>(u0 + size * unit(random)),
                                            static_cast<float>(v0 + size * unit(random))});
            append(mesh.positions, Point3{static_cast<float>(position(random)), static_cast<float>(position(random)),
                                          static_cast<float>(position(random))});
        }
        append(mesh.triangles, triangle);
    }
    return mesh;
}

FloatImage randomPicture(int32_t width, int32_t height, unsigned seed, bool alpha) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(0.0f, 1.0f);
    FloatImage image;
    allocateImage(image, width, height);
    image.hasAlpha = alpha;
    for (int32_t k = 0; k < image.count; ++k) {
        image.texels[k] = Texel{value(random), value(random), value(random), alpha ? value(random) : 1.0f};
    }
    return image;
}

Mesh coveringSurface(int32_t cells, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> jitter(-0.3, 0.3), depth(0.0, 0.5);
    Mesh mesh;
    for (int32_t y = 0; y <= cells; ++y) {
        for (int32_t x = 0; x <= cells; ++x) {
            const double u = double(x) / cells, v = double(y) / cells;
            append(mesh.texCoords, TexPoint{static_cast<float>(u), static_cast<float>(v)});
            const double px = x + jitter(random), py = y + jitter(random), pz = depth(random) * (x % 3);
            append(mesh.positions, Point3{static_cast<float>(px), static_cast<float>(py), static_cast<float>(pz)});
        }
    }
    auto corner = [cells](int32_t x, int32_t y) { return y * (cells + 1) + x; };
    for (int32_t y = 0; y < cells; ++y) {
        for (int32_t x = 0; x < cells; ++x) {
            const int32_t a = corner(x, y), b = corner(x + 1, y), c = corner(x + 1, y + 1), d = corner(x, y + 1);
            for (const auto& t : {std::array<int32_t, 3>{a, b, c}, std::array<int32_t, 3>{a, c, d}}) {
                MeshTriangle triangle;
                for (int k = 0; k < 3; ++k) triangle.positionIndex[k] = triangle.texCoordIndex[k] = t[k];
                append(mesh.triangles, triangle);
            }
        }
    }
    return mesh;
}
