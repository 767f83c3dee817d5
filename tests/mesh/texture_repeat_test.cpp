// Texture coordinates beyond the unit square moved into it by whole repeats: what stays, what the pieces keep
// (surface area and texture-space area), and the coordinates that are refused.
#include "mesh/texture_repeat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

namespace {

Mesh meshFrom(const std::string& text) {
    Mesh mesh;
    std::string error;
    std::istringstream stream(text);
    EXPECT_TRUE(readObjModel(mesh, stream, "m.obj", error)) << error;
    return mesh;
}

// A unit square in the plane z = 0 whose corners carry the texture coordinates (0, 0) .. (k, k) shifted by `low`.
Mesh tiledSquare(double low, double k) {
    std::ostringstream text;
    text.precision(17);
    text << "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n";
    text << "vt " << low << ' ' << low << "\nvt " << low + k << ' ' << low << "\nvt " << low + k << ' ' << low + k
         << "\nvt " << low << ' ' << low + k << "\nf 1/1 2/2 3/3 4/4\n";
    return meshFrom(text.str());
}

struct Areas {
    double surface = 0, texture = 0;
};

Areas areasOf(const Mesh& mesh) {
    Areas areas;
    for (const MeshTriangle& t : mesh.triangles) {
        const Point3 &a = mesh.positions[t.positionIndex[0]], &b = mesh.positions[t.positionIndex[1]],
                     &c = mesh.positions[t.positionIndex[2]];
        const double ux = b.x - a.x, uy = b.y - a.y, uz = b.z - a.z, vx = c.x - a.x, vy = c.y - a.y, vz = c.z - a.z;
        areas.surface += 0.5 * std::sqrt(std::pow(uy * vz - uz * vy, 2) + std::pow(uz * vx - ux * vz, 2) +
                                         std::pow(ux * vy - uy * vx, 2));
        const TexPoint &p = mesh.texCoords[t.texCoordIndex[0]], &q = mesh.texCoords[t.texCoordIndex[1]],
                       &r = mesh.texCoords[t.texCoordIndex[2]];
        areas.texture += 0.5 * std::fabs((q.u - p.u) * (r.v - p.v) - (r.u - p.u) * (q.v - p.v));
    }
    return areas;
}

void expectInsideTheTexture(const Mesh& mesh) {
    for (const MeshTriangle& t : mesh.triangles) {
        for (int c = 0; c < 3; ++c) {
            const TexPoint& p = mesh.texCoords[t.texCoordIndex[c]];
            EXPECT_TRUE(p.u >= 0 && p.u <= 1 && p.v >= 0 && p.v <= 1) << p.u << ", " << p.v;
        }
    }
}

TEST(TextureRepeat, ATriangleInsideTheTextureKeepsItsCornersAndOnesOutsideAreMovedIn) {
    // Edges of the unit square included: nothing moves.
    Mesh inside = tiledSquare(0, 1);
    std::string error;
    ASSERT_TRUE(repeatTextureCoordinates(inside, "m.obj", error)) << error;
    ASSERT_EQ(inside.triangles.count, 2);
    EXPECT_EQ(inside.texCoords.count, 4);
    EXPECT_EQ(inside.triangles[1].texCoordIndex[2], 3);

    // One repeat to the left and below: moved whole, the positions kept.
    Mesh shifted = tiledSquare(-1, 1);
    ASSERT_TRUE(repeatTextureCoordinates(shifted, "m.obj", error)) << error;
    ASSERT_EQ(shifted.triangles.count, 2);
    EXPECT_EQ(shifted.positions.count, 4);
    expectInsideTheTexture(shifted);
    EXPECT_EQ(shifted.texCoords[shifted.triangles[0].texCoordIndex[1]].u, 1.0f);

    // Across the line u = 1: cut there, the part beyond moved to u = 0.
    Mesh across = meshFrom("v 0 0 0\nv 2 0 0\nv 0 1 0\nvt 0.5 0\nvt 1.5 0\nvt 0.5 1\nf 1/1 2/2 3/3\n");
    ASSERT_TRUE(repeatTextureCoordinates(across, "m.obj", error)) << error;
    expectInsideTheTexture(across);
    const Areas areas = areasOf(across);
    EXPECT_NEAR(areas.surface, 1.0, 1e-6);
    EXPECT_NEAR(areas.texture, 0.5, 1e-6);
}

TEST(TextureRepeat, PiecesKeepTheSurfaceAreaAndTranslatesMerge) {
    // The square repeats the texture k x k times: its area spreads evenly over the texture, and the whole repeats
    // of each triangle and its half repeats along the diagonal merge into a handful of pieces.
    for (const double k : {2.0, 8.0, 100.0}) {
        SCOPED_TRACE(k);
        Mesh mesh = tiledSquare(-k / 2, k);
        std::string error;
        ASSERT_TRUE(repeatTextureCoordinates(mesh, "m.obj", error)) << error;
        expectInsideTheTexture(mesh);
        EXPECT_LE(mesh.triangles.count, 8);
        const Areas areas = areasOf(mesh);
        EXPECT_NEAR(areas.surface, 1.0, 1e-5);
        EXPECT_NEAR(areas.texture, 3.0, 1e-5);  // each triangle's shapes: a whole repeat and a half one
    }
    // A skewed mapping: the pieces differ in shape, yet together they keep the triangle's surface area.
    Mesh skewed = meshFrom("v 0 0 0\nv 3 0 0\nv 0 2 1\nvt 0.13 0.21\nvt 3.37 1.7\nvt -0.3 2.77\nf 1/1 2/2 3/3\n");
    const double surface = areasOf(skewed).surface;
    std::string error;
    ASSERT_TRUE(repeatTextureCoordinates(skewed, "m.obj", error)) << error;
    expectInsideTheTexture(skewed);
    EXPECT_NEAR(areasOf(skewed).surface, surface, 1e-5 * surface);
}

TEST(TextureRepeat, CoordinatesTooFarOutOrNotFiniteAreRefusedWithTheFileNamed) {
    const std::pair<std::string, std::string> cases[] = {
        {"v 0 0 0\nv 1 0 0\nv 1 1 0\nvt -1e30 -1e30\nvt 3e38 0.5\nvt 0.5 1e6\nf 1/1 2/2 3/3\n",
         "m.obj: triangle 1's texture coordinates span more than 65536 repeats of the texture"},
        {"v 0 0 0\nv 1 0 0\nv 1 1 0\nvt 0 0\nvt 2 0.5\nvt 0.5 1\nf 1/1 2/2 3/3\n",
         "m.obj: triangle 1 has a texture coordinate that is not a finite number"},  // made infinite below
        // Skewed, so that few pieces are translates of one another: far more than 64 textures' worth of pieces.
        {"v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0.13 0.21\nvt 37.37 1.7\nvt -0.3 36.77\nf 1/1 2/2 3/3\n",
         "m.obj: its texture coordinates, repeated into the texture, cover it more than 64 times over"},
    };
    for (const auto& [text, message] : cases) {
        Mesh mesh = meshFrom(text);
        if (message.find("finite") != std::string::npos) mesh.texCoords[1].u = INFINITY;  // the reader refuses it
        const int32_t triangles = mesh.triangles.count;
        std::string error;
        EXPECT_FALSE(repeatTextureCoordinates(mesh, "m.obj", error));
        EXPECT_EQ(error, message);
        EXPECT_EQ(mesh.triangles.count, triangles);
    }
}

}  // namespace
