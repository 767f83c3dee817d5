// Writes a normal map baked from a model: the model-space normal of the surface at every texel centre that a
// triangle covers in the texture, smoothed across the triangles that share a position (area-weighted), encoded as
// (n + 1) / 2 in an 8-bit PNG. Like a baker, it extends each chart by a margin of 4 texels (each texel next to a
// chart takes the mean direction of its covered neighbours); texels further out stay black. Charts
// that lie side by side in the atlas but face different ways on the model meet in sharp seams: the hard case for
// filters that blend across chart borders.
//
// usage: bake_normals <model.obj> <output.png> <width> <height>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "image/texture_io.h"
#include "mesh/obj_model.h"

namespace {

struct Vector {
    double x = 0, y = 0, z = 0;
};

Vector operator-(const Point3& a, const Point3& b) { return {double(a.x) - b.x, double(a.y) - b.y, double(a.z) - b.z}; }

Vector cross(const Vector& a, const Vector& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// The normal at every position: the sum of the (area-weighted) normals of the triangles around it, made unit.
GrowArray<Vector> positionNormals(const Mesh& mesh) {
    GrowArray<Vector> normals;
    resize(normals, mesh.positions.count);
    for (Vector& n : normals) n = Vector();
    for (const MeshTriangle& t : mesh.triangles) {
        const Point3* p[3] = {&mesh.positions[t.positionIndex[0]], &mesh.positions[t.positionIndex[1]],
                              &mesh.positions[t.positionIndex[2]]};
        const Vector face = cross(*p[1] - *p[0], *p[2] - *p[0]);
        for (int c = 0; c < 3; ++c) {
            Vector& n = normals[t.positionIndex[c]];
            n.x += face.x, n.y += face.y, n.z += face.z;
        }
    }
    for (Vector& n : normals) {
        const double length = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
        if (length > 0) n.x /= length, n.y /= length, n.z /= length;
    }
    return normals;
}

int wrap(int64_t i, int size) { return static_cast<int>(((i % size) + size) % size); }

}  // namespace

int main(int argc, char** argv) {
    const int width = argc == 5 ? std::atoi(argv[3]) : 0, height = argc == 5 ? std::atoi(argv[4]) : 0;
    if (argc != 5 || width < 1 || height < 1 || width > 16384 || height > 16384) {
        std::printf("usage: bake_normals <model.obj> <output.png> <width> <height>   (sides from 1 to 16384)\n");
        return 1;
    }
    Mesh mesh;
    std::string error;
    if (!loadObjModel(mesh, argv[1], error)) {
        std::printf("Error: %s\n", error.c_str());
        return 1;
    }
    const GrowArray<Vector> normals = positionNormals(mesh);
    FloatImage map;
    allocateImage(map, width, height);
    for (int32_t k = 0; k < map.count; ++k) map.texels[k] = Texel{0, 0, 0, 1};
    for (const MeshTriangle& t : mesh.triangles) {
        double u[3], v[3];
        for (int c = 0; c < 3; ++c) {
            const TexPoint& q = mesh.texCoords[t.texCoordIndex[c]];
            u[c] = double(q.u) * width - 0.5;  // texel centres at whole numbers
            v[c] = double(q.v) * height - 0.5;
        }
        const double area = (u[1] - u[0]) * (v[2] - v[0]) - (u[2] - u[0]) * (v[1] - v[0]);
        if (area == 0 || !std::isfinite(area)) continue;
        const int64_t x0 = static_cast<int64_t>(std::ceil(std::fmin(u[0], std::fmin(u[1], u[2]))));
        const int64_t x1 = static_cast<int64_t>(std::floor(std::fmax(u[0], std::fmax(u[1], u[2]))));
        const int64_t y0 = static_cast<int64_t>(std::ceil(std::fmin(v[0], std::fmin(v[1], v[2]))));
        const int64_t y1 = static_cast<int64_t>(std::floor(std::fmax(v[0], std::fmax(v[1], v[2]))));
        for (int64_t y = y0; y <= y1; ++y) {
            for (int64_t x = x0; x <= x1; ++x) {
                // Barycentric coordinates of the texel centre; inside when none is negative.
                const double b1 = ((x - u[0]) * (v[2] - v[0]) - (u[2] - u[0]) * (y - v[0])) / area;
                const double b2 = ((u[1] - u[0]) * (y - v[0]) - (x - u[0]) * (v[1] - v[0])) / area;
                const double b0 = 1 - b1 - b2;
                if (b0 < 0 || b1 < 0 || b2 < 0) continue;
                Vector n;
                const double b[3] = {b0, b1, b2};
                for (int c = 0; c < 3; ++c) {
                    const Vector& m = normals[t.positionIndex[c]];
                    n.x += b[c] * m.x, n.y += b[c] * m.y, n.z += b[c] * m.z;
                }
                const double length = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
                if (!(length > 0)) continue;
                map.at(wrap(x, width), wrap(y, height)) =
                    Texel{float(0.5 + 0.5 * n.x / length), float(0.5 + 0.5 * n.y / length),
                          float(0.5 + 0.5 * n.z / length), 1.0f};
            }
        }
    }
    // The margin: four rings of texels around the charts, each the normalised mean of its covered 8 neighbours.
    GrowArray<uint8_t> covered;
    resize(covered, map.count);
    for (int32_t k = 0; k < map.count; ++k) covered[k] = map.texels[k].r != 0 || map.texels[k].g != 0 || map.texels[k].b != 0;
    for (int ring = 0; ring < 4; ++ring) {
        const FloatImage before = map;
        GrowArray<uint8_t> next = covered;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                if (covered[y * width + x]) continue;
                Vector n;
                for (int dy = -1; dy <= 1; ++dy) {
                    for (int dx = -1; dx <= 1; ++dx) {
                        const int nx = wrap(x + dx, width), ny = wrap(y + dy, height);
                        if (!covered[ny * width + nx]) continue;
                        const Texel& t = before.at(nx, ny);
                        n.x += 2.0 * t.r - 1, n.y += 2.0 * t.g - 1, n.z += 2.0 * t.b - 1;
                    }
                }
                const double length = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
                if (!(length > 0)) continue;
                map.at(x, y) = Texel{float(0.5 + 0.5 * n.x / length), float(0.5 + 0.5 * n.y / length),
                                     float(0.5 + 0.5 * n.z / length), 1.0f};
                next[y * width + x] = 1;
            }
        }
        covered = next;
    }
    if (!saveLevelPng(argv[2], 24, map, false, error)) {
        std::printf("Error: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
