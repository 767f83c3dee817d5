// glTF's KHR_texture_transform in the textures loadSceneModel gives: each reference's offset, rotation and scale
// applied to its coordinates as glTF defines them, the coordinate set the extension names read instead of the
// reference's, one picture read through several transforms, and the meshes that lack the set a texture is read
// through.
#include "mesh/scene_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "gltf_writer.h"
#include "test_support.h"

namespace {

const double pi = 3.14159265358979323846;

SceneModel load(const std::string& path) {
    SceneModel model;
    std::string error;
    EXPECT_TRUE(loadSceneModel(path.c_str(), model, error)) << error;
    return model;
}

const SceneTexture* textureNamed(const SceneModel& model, const std::string& name) {
    for (const SceneTexture& texture : model.textures) {
        if (texture.name == name) return &texture;
    }
    ADD_FAILURE() << "no texture '" << name << "'";
    return nullptr;
}

// The coordinates glTF's definition gives, written literally: the 3 x 3 matrices T(offset), R(rotation) and
// S(scale), R's columns (cos, -sin) and (sin, cos), multiplied in that order and applied to (u, v, 1) in glTF's
// axes (v down). The coordinates come and go in kiv's axes, v up.
TexPoint asGltfDefines(const GltfTextureTransform& t, TexPoint up) {
    const double c = std::cos(t.rotation), s = std::sin(t.rotation);
    const double translation[3][3] = {{1, 0, t.offset[0]}, {0, 1, t.offset[1]}, {0, 0, 1}};
    const double rotation[3][3] = {{c, s, 0}, {-s, c, 0}, {0, 0, 1}};
    const double scale[3][3] = {{t.scale[0], 0, 0}, {0, t.scale[1], 0}, {0, 0, 1}};
    const auto product = [](const double a[3][3], const double b[3][3], double out[3][3]) {
        for (int r = 0; r < 3; ++r) {
            for (int k = 0; k < 3; ++k) out[r][k] = a[r][0] * b[0][k] + a[r][1] * b[1][k] + a[r][2] * b[2][k];
        }
    };
    double turned[3][3], matrix[3][3];
    product(rotation, scale, turned);
    product(translation, turned, matrix);
    const double u = up.u, v = 1.0 - up.v;
    return TexPoint{static_cast<float>(matrix[0][0] * u + matrix[0][1] * v + matrix[0][2]),
                    static_cast<float>(1.0 - (matrix[1][0] * u + matrix[1][1] * v + matrix[1][2]))};
}

// A square of side 1 at x0 along x, with two coordinate sets (v up): the unit square and a quarter of it, so that
// the set a texture is read through shows in its coordinates. Its four corners are told apart by their positions.
GltfMesh square(float x0, int material) {
    GltfMesh mesh;
    mesh.positions = {x0, 0, 0, x0 + 1, 0, 0, x0 + 1, 1, 0, x0, 1, 0};
    mesh.texCoords = {{0, 0, 1, 0, 1, 1, 0, 1}, {0.5f, 0.5f, 0.75f, 0.5f, 0.75f, 0.75f, 0.5f, 0.75f}};
    mesh.indices = {0, 1, 2, 0, 2, 3};
    mesh.material = material;
    return mesh;
}

// One square a material, side by side, square k reading material k.
GltfModel squares(const std::vector<GltfMaterial>& materials, const std::vector<std::string>& images) {
    GltfModel model;
    for (size_t k = 0; k < materials.size(); ++k) {
        model.meshes.push_back(square(2.0f * static_cast<float>(k), static_cast<int>(k)));
        model.nodes.push_back({static_cast<int>(k), {}, {}});
        model.sceneNodes.push_back(static_cast<int>(k));
    }
    model.materials = materials;
    model.images = images;
    return model;
}

// The coordinates of set `set` of square(x0) at the corner at `p`.
TexPoint sourceCoordinates(const Point3& p, float x0, int set) {
    const float du = p.x - x0, dv = p.y;
    return set == 0 ? TexPoint{du, dv} : TexPoint{0.5f + 0.25f * du, 0.5f + 0.25f * dv};
}

// Small pictures beside the model, for the forms of the file that hold them.
void writePictures(const TempDir& dir, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        writeImageFile(dir.file(name), imageFromBytes(2, 2, std::vector<unsigned char>(12, 100)));
    }
}

GltfTextureTransform transform(float ou, float ov, float rotation, float su, float sv, int texCoord = -1) {
    GltfTextureTransform t;
    t.offset[0] = ou, t.offset[1] = ov;
    t.rotation = rotation;
    t.scale[0] = su, t.scale[1] = sv;
    t.texCoord = texCoord;
    return t;
}

// Every corner on square(x0) of the triangles `first` to `end` of `mesh` has the coordinates of set `set` there
// moved by `t`; returns how many corners lie on that square.
int expectCornersOnSquare(const Mesh& mesh, float x0, int set, const GltfTextureTransform& t, int32_t first = 0,
                          int32_t end = INT32_MAX) {
    int corners = 0;
    for (int32_t k = first; k < std::min(end, mesh.triangles.count); ++k) {
        const MeshTriangle& triangle = mesh.triangles[k];
        for (int c = 0; c < 3; ++c) {
            const Point3& p = mesh.positions[triangle.positionIndex[c]];
            if (p.x < x0 - 0.01f || p.x > x0 + 1.01f) continue;
            ++corners;
            const TexPoint expected = asGltfDefines(t, sourceCoordinates(p, x0, set));
            const TexPoint& actual = mesh.texCoords[triangle.texCoordIndex[c]];
            EXPECT_NEAR(actual.u, expected.u, 1e-5) << "at (" << p.x << ", " << p.y << ")";
            EXPECT_NEAR(actual.v, expected.v, 1e-5) << "at (" << p.x << ", " << p.y << ")";
        }
    }
    return corners;
}

}  // namespace

// Each material's texture has its square's coordinates moved as glTF defines the transform: an offset with a scale,
// a turn alone, and a turn with an uneven scale and an offset, which the importer reports with the turn about
// another pivot and the v axis flipped. A quarter turn by hand: glTF's (u, v) becomes (v, -u), so the corner at
// (1, 0) in kiv's axes, glTF's (1, 1), goes to glTF's (1, -1), kiv's (1, 2).
TEST(TextureTransform, EachReferenceMovesItsCoordinatesAsGltfDefines) {
    TempDir dir;
    const std::vector<GltfTextureTransform> transforms = {transform(0.5f, 0.25f, 0, 0.5f, 0.5f),
                                                          transform(0, 0, 0.3f, 1, 1),
                                                          transform(0.1f, -0.2f, -0.7f, 3, 0.25f),
                                                          transform(0, 0, static_cast<float>(pi / 2), 1, 1)};
    std::vector<GltfMaterial> materials;
    std::vector<std::string> images;
    for (size_t k = 0; k < transforms.size(); ++k) {
        materials.push_back({"m" + std::to_string(k), static_cast<int>(k), 0});
        materials.back().transform = transforms[k];
        images.push_back("t" + std::to_string(k) + ".png");
    }
    writePictures(dir, images);
    for (const GltfForm form : {GltfForm::separate, GltfForm::binary}) {
        const std::string path = dir.file(form == GltfForm::binary ? "moved.glb" : "moved.gltf");
        writeGltf(path, squares(materials, images), form);
        const SceneModel model = load(path);
        ASSERT_EQ(model.textures.count, 4);
        for (int k = 0; k < 4; ++k) {
            SCOPED_TRACE("transform " + std::to_string(k));
            const SceneTexture& texture = model.textures[k];
            EXPECT_EQ(texture.mesh.triangles.count, 2);
            EXPECT_EQ(expectCornersOnSquare(texture.mesh, 2.0f * k, 0, transforms[k]), 6);
        }
        const SceneTexture& quarter = model.textures[3];
        for (const MeshTriangle& triangle : quarter.mesh.triangles) {
            for (int c = 0; c < 3; ++c) {
                const Point3& p = quarter.mesh.positions[triangle.positionIndex[c]];
                if (p.x != 7.0f || p.y != 0.0f) continue;
                EXPECT_NEAR(quarter.mesh.texCoords[triangle.texCoordIndex[c]].u, 1.0, 1e-6);
                EXPECT_NEAR(quarter.mesh.texCoords[triangle.texCoordIndex[c]].v, 2.0, 1e-6);
            }
        }
        // Offset and scale take the first square into [0.5, 1] x [0.25, 0.75] (v up): inside the unit square. The
        // quarter turn takes the fourth to [0, 1] x [1, 2]: all of it outside.
        EXPECT_EQ(model.textures[0].areaOutside, 0.0);
        EXPECT_NEAR(model.textures[3].areaOutside, 1.0, 1e-9);
        // The model's own mesh keeps the first set as it is.
        EXPECT_EQ(model.mesh.texCoords[2].u, 1.0f);
        EXPECT_EQ(model.mesh.texCoords[2].v, 1.0f);
    }
}

// The extension's texCoord overrides the reference's: set 1 read where the reference names 0, set 0 where it names
// 1, in every form of the file (the importer is handed the model with the references' sets made the extension's),
// and with the offset and scale applied to that set. A model that does not list the extension among those it uses
// has it ignored, set and transform alike.
TEST(TextureTransform, TheExtensionsCoordinateSetOverridesTheReferences) {
    TempDir dir;
    GltfMaterial second{"second", 0, 0};
    second.transform = transform(0.25f, 0, 0, 2, 2, 1);
    GltfMaterial first{"first", 1, 1};
    first.transform = transform(0, 0, 0, 1, 1, 0);
    GltfMaterial plain{"plain", 2, 1};
    writePictures(dir, {"a.png", "b.png", "c.png"});
    const GltfModel gltf = squares({second, first, plain}, {"a.png", "b.png", "c.png"});
    for (const GltfForm form : {GltfForm::separate, GltfForm::embedded, GltfForm::binary}) {
        const std::string path = dir.file(form == GltfForm::binary ? "sets.glb" : "sets.gltf");
        writeGltf(path, gltf, form);
        const SceneModel model = load(path);
        SCOPED_TRACE(path + (form == GltfForm::embedded ? " (embedded)" : ""));
        ASSERT_EQ(model.textures.count, 3);
        EXPECT_EQ(expectCornersOnSquare(model.textures[0].mesh, 0, 1, *second.transform), 6);
        EXPECT_EQ(expectCornersOnSquare(model.textures[1].mesh, 2, 0, *first.transform), 6);
        EXPECT_EQ(expectCornersOnSquare(model.textures[2].mesh, 4, 1, GltfTextureTransform()), 6);
        EXPECT_EQ(model.unhandled.count, 0);
    }

    writeGltf(dir.file("unlisted.gltf"), gltf, GltfForm::separate);
    std::string json = readTextFile(dir.file("unlisted.gltf"));
    const size_t listed = json.find("\"extensionsUsed\":[\"KHR_texture_transform\"],");
    ASSERT_NE(listed, std::string::npos);
    json.erase(listed, std::string("\"extensionsUsed\":[\"KHR_texture_transform\"],").size());
    writeTextFile(dir.file("unlisted.gltf"), json);
    const SceneModel model = load(dir.file("unlisted.gltf"));
    ASSERT_EQ(model.textures.count, 3);
    EXPECT_EQ(expectCornersOnSquare(model.textures[0].mesh, 0, 0, GltfTextureTransform()), 6);
    EXPECT_EQ(expectCornersOnSquare(model.textures[1].mesh, 2, 1, GltfTextureTransform()), 6);
}

// One picture read by two materials through two transforms is one texture whose triangles keep each material's own
// coordinates; one material reading a picture in two roles through two transforms (base colour and emissive, both
// sRGB) lays it on its surface twice, each time as its reference says, and counts its area twice. One role read
// through two slots (glTF's base colour is both the importer's base colour and its diffuse) is still one read.
TEST(TextureTransform, OnePictureKeepsEachReadsOwnTransform) {
    TempDir dir;
    GltfMaterial left{"left", 0, 0};
    left.transform = transform(0.5f, 0, 0, 0.5f, 0.5f);
    GltfMaterial right{"right", 0, 0};
    right.transform = transform(0, 0.5f, 0.4f, 0.5f, 0.5f);
    GltfMaterial glowing{"glowing", 0, 0};
    glowing.emissiveImage = 0;
    glowing.transform = transform(0, 0, 0, 0.5f, 0.5f);
    glowing.emissiveTransform = transform(0.5f, 0.5f, 0, 0.5f, 0.5f);
    writeGltf(dir.file("shared.gltf"), squares({left, right, glowing}, {"atlas.png"}), GltfForm::separate);
    const SceneModel model = load(dir.file("shared.gltf"));
    ASSERT_EQ(model.textures.count, 1);
    const SceneTexture& atlas = model.textures[0];
    EXPECT_EQ(atlas.roles, "base colour, emissive");
    EXPECT_EQ(atlas.materials.count, 3);
    EXPECT_EQ(atlas.mesh.triangles.count, 8);
    EXPECT_NEAR(atlas.area, 4.0, 1e-9);
    EXPECT_EQ(expectCornersOnSquare(atlas.mesh, 0, 0, *left.transform), 6);
    EXPECT_EQ(expectCornersOnSquare(atlas.mesh, 2, 0, *right.transform), 6);
    // The third square's triangles come as the material reads the picture: as base colour, then as emissive.
    const auto onThirdSquare = [&atlas](int32_t t) {
        return atlas.mesh.positions[atlas.mesh.triangles[t].positionIndex[0]].x > 3.5f;
    };
    int32_t first = 0;
    while (first < atlas.mesh.triangles.count && !onThirdSquare(first)) ++first;
    EXPECT_EQ(expectCornersOnSquare(atlas.mesh, 4, 0, *glowing.transform, first, first + 2), 6);
    EXPECT_EQ(expectCornersOnSquare(atlas.mesh, 4, 0, *glowing.emissiveTransform, first + 2, first + 4), 6);
}

// A material reading its texture through a set that one of its meshes lacks: the mesh with the set gives the
// texture its triangles, the other is named (the importer names a glTF mesh without a name by its place) among the
// textures not processed, with the set and what is left out. A third mesh of the material without any coordinates
// is left untextured, as it was, unnamed. A material none of whose meshes has the set leaves its texture without
// triangles, and is named the same way.
TEST(TextureTransform, MeshesWithoutTheSetTheTextureIsReadThroughAreNamed) {
    TempDir dir;
    GltfMaterial overridden{"overridden", 0, 0};
    overridden.transform = transform(0, 0, 0, 1, 1, 1);
    GltfModel gltf = squares({overridden, {"lonely", 1, 2}}, {"a.png", "b.png"});
    GltfMesh bare = square(4, 0), untextured = square(6, 0);
    bare.texCoords.resize(1);
    untextured.texCoords.clear();
    gltf.meshes.push_back(bare);
    gltf.meshes.push_back(untextured);
    gltf.nodes.push_back({2, {}, {}});
    gltf.nodes.push_back({3, {}, {}});
    gltf.sceneNodes.push_back(2);
    gltf.sceneNodes.push_back(3);
    writeGltf(dir.file("lacking.gltf"), gltf, GltfForm::separate);
    const SceneModel model = load(dir.file("lacking.gltf"));
    ASSERT_EQ(model.textures.count, 2);
    EXPECT_EQ(model.textures[0].mesh.triangles.count, 2);
    EXPECT_EQ(expectCornersOnSquare(model.textures[0].mesh, 0, 1, GltfTextureTransform()), 6);
    EXPECT_EQ(model.textures[1].mesh.triangles.count, 0);
    ASSERT_EQ(model.unhandled.count, 2);
    const UnhandledTexture& partly = model.unhandled[0];
    EXPECT_EQ(partly.file, "a.png");
    EXPECT_EQ(partly.material, "overridden");
    EXPECT_EQ(partly.role, "base colour");
    EXPECT_EQ(partly.reason,
              "the material reads it through texture coordinate set 1, which mesh 'meshes[2]' lacks; 2 triangles "
              "are left out");
    EXPECT_EQ(model.unhandled[1].material, "lonely");
    EXPECT_EQ(model.unhandled[1].reason.find("the material reads it through texture coordinate set 2, which "), 0u);
}

// The importer's own sample of the extension (Debian package assimp-testmodels): an arrow picture read through a
// turn, a scale, and both with an offset, each quad with marks beside it where the arrow's tip shows when the
// transform is applied as glTF defines it ("Correct"), when it is ignored ("NotSupported") and when it is turned the
// wrong way ("Error"). The tip is at glTF's (0.55 sqrt 2, 0.55 sqrt 2) in the picture, where the scale alone puts
// it. The mark of the quad with all three is placed by eye, to within a few hundredths.
TEST(TextureTransform, TheSampleModelsArrowTipsAtItsCorrectMarks) {
    std::string why;
    const std::string models = assimpTestModelsDirectory(why);
    if (models.empty()) GTEST_SKIP() << why;
    const SceneModel model = load(models + "/glTF2/textureTransform/TextureTransformTest.gltf");
    const SceneTexture* arrow = textureNamed(model, "Arrow");
    ASSERT_NE(arrow, nullptr);
    ASSERT_EQ(arrow->mesh.triangles.count, 6);  // the quads of the turn, the scale and all three
    ASSERT_EQ(arrow->materials.count, 3);
    const double tip = 0.55 * std::sqrt(2.0);

    // Each quad's two triangles share one affine map from the plane z = 0 to texture coordinates: that of its first.
    const auto centre = [](const Mesh& mesh, int32_t quad, double& x, double& y) {
        double low[2] = {1e30, 1e30}, high[2] = {-1e30, -1e30};
        for (int32_t t = 2 * quad; t < 2 * quad + 2; ++t) {
            for (int c = 0; c < 3; ++c) {
                const Point3& p = mesh.positions[mesh.triangles[t].positionIndex[c]];
                low[0] = std::min(low[0], double(p.x)), high[0] = std::max(high[0], double(p.x));
                low[1] = std::min(low[1], double(p.y)), high[1] = std::max(high[1], double(p.y));
            }
        }
        x = (low[0] + high[0]) / 2, y = (low[1] + high[1]) / 2;
    };
    const auto coordinatesAt = [&](int32_t quad, double x, double y, double& u, double& v) {
        const MeshTriangle& triangle = arrow->mesh.triangles[2 * quad];
        const Point3& a = arrow->mesh.positions[triangle.positionIndex[0]];
        const Point3& b = arrow->mesh.positions[triangle.positionIndex[1]];
        const Point3& c = arrow->mesh.positions[triangle.positionIndex[2]];
        const double det = (b.x - a.x) * (c.y - a.y) - (c.x - a.x) * (b.y - a.y);
        const double wb = ((x - a.x) * (c.y - a.y) - (c.x - a.x) * (y - a.y)) / det;
        const double wc = ((b.x - a.x) * (y - a.y) - (x - a.x) * (b.y - a.y)) / det;
        const TexPoint& ta = arrow->mesh.texCoords[triangle.texCoordIndex[0]];
        const TexPoint& tb = arrow->mesh.texCoords[triangle.texCoordIndex[1]];
        const TexPoint& tc = arrow->mesh.texCoords[triangle.texCoordIndex[2]];
        u = ta.u + wb * (tb.u - ta.u) + wc * (tc.u - ta.u);
        v = ta.v + wb * (tb.v - ta.v) + wc * (tc.v - ta.v);
    };
    // The arrow's quads by their place: the one with all three transforms is the rightmost.
    double arrowX[3], arrowY[3];
    for (int32_t quad = 0; quad < 3; ++quad) centre(arrow->mesh, quad, arrowX[quad], arrowY[quad]);
    const int32_t allThree = static_cast<int32_t>(std::max_element(arrowX, arrowX + 3) - arrowX);

    int marks = 0;
    for (const char* name : {"Correct", "NotSupported", "Error"}) {
        const SceneTexture* mark = textureNamed(model, name);
        ASSERT_NE(mark, nullptr);
        for (int32_t k = 0; k < mark->mesh.triangles.count / 2; ++k) {
            double x, y;
            centre(mark->mesh, k, x, y);
            int32_t quad = 0;
            for (int32_t q = 1; q < 3; ++q) {
                if (std::hypot(arrowX[q] - x, arrowY[q] - y) < std::hypot(arrowX[quad] - x, arrowY[quad] - y)) quad = q;
            }
            double u, v;
            coordinatesAt(quad, x, y, u, v);
            const double miss = std::hypot(u - tip, v - (1 - tip));
            SCOPED_TRACE(std::string(name) + " mark at (" + std::to_string(x) + ", " + std::to_string(y) + "): (" +
                         std::to_string(u) + ", " + std::to_string(v) + ")");
            if (std::string(name) == "Correct") {
                EXPECT_LT(miss, quad == allThree ? 0.05 : 1e-3);
            } else {
                EXPECT_GT(miss, 0.2);
            }
            ++marks;
        }
    }
    EXPECT_EQ(marks, 6);
}
