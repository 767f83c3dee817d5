// Scene models: placement by nodes, the textures of the materials and the triangles that use each.
#include "mesh/scene_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gltf_writer.h"
#include "image/texture_io.h"
#include "test_support.h"

// The unit square in z = 0 with coordinates over the texture once, in set `set` (the sets before it empty).
static GltfMesh unitSquare(int material, size_t set = 0) {
    GltfMesh square;
    square.positions = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0};
    square.texCoords.resize(set + 1, std::vector<float>(8, 0.5f));
    square.texCoords[set] = {0, 0, 1, 0, 1, 1, 0, 1};
    square.indices = {0, 1, 2, 0, 2, 3};
    square.material = material;
    return square;
}

static SceneModel load(const std::string& path) {
    SceneModel model;
    std::string error;
    EXPECT_TRUE(loadSceneModel(path.c_str(), model, error)) << error;
    return model;
}

// One square shown by a node that doubles x and by that node's child, which also triples y: areas 2 and 6, and
// both showings count for the texture.
TEST(SceneModel, EveryNodeThatShowsAMeshPlacesItsTrianglesWithItsTransforms) {
    TempDir dir;
    GltfModel gltf;
    gltf.meshes = {unitSquare(0)};
    gltf.nodes = {{0, gltfMatrix(2, 1, 1, 0, 0, 0, 0), {1}}, {0, gltfMatrix(1, 3, 1, 0, 0, 0, 5), {}}};
    gltf.sceneNodes = {0};
    gltf.materials = {{"tiles", 0, 0}};
    gltf.images = {"tile.png"};
    writeGltf(dir.file("square.gltf"), gltf, GltfForm::separate);
    const SceneModel model = load(dir.file("square.gltf"));
    EXPECT_NEAR(model.area, 8.0, 1e-9);
    EXPECT_EQ(model.mesh.triangles.count, 4);
    ASSERT_EQ(model.textures.count, 1);
    const SceneTexture& texture = model.textures[0];
    EXPECT_EQ(texture.name, "tile");
    EXPECT_EQ(texture.source, dir.file("tile.png"));
    EXPECT_NEAR(texture.area, 8.0, 1e-9);
    EXPECT_EQ(texture.areaOutside, 0.0);
    EXPECT_EQ(texture.mesh.triangles.count, 4);
    float highest = 0, farthest = 0;
    for (const Point3& p : texture.mesh.positions) highest = std::max(highest, p.y), farthest = std::max(farthest, p.z);
    EXPECT_EQ(highest, 3.0f);
    EXPECT_EQ(farthest, 5.0f);
}

// Two materials naming one picture share one texture; two pictures of the same file name in different folders, and
// two embedded pictures of materials with the same name, get names made unique; names that are no folder name are
// made into one.
TEST(SceneModel, TexturesAreSharedByPictureAndGetUniqueFolderNames) {
    TempDir dir;
    GltfModel gltf;
    gltf.meshes = {unitSquare(0), unitSquare(1), unitSquare(2)};
    gltf.nodes = {{0, {}, {}}, {1, {}, {}}, {2, {}, {}}};
    gltf.sceneNodes = {0, 1, 2};
    gltf.materials = {{"a", 0, 0}, {"b", 0, 0}, {"c", 1, 0}};
    gltf.images = {"x/pic.png", "y/pic.png"};
    writeGltf(dir.file("shared.gltf"), gltf, GltfForm::separate);
    const SceneModel shared = load(dir.file("shared.gltf"));
    ASSERT_EQ(shared.textures.count, 2);
    EXPECT_EQ(shared.textures[0].name, "pic");
    EXPECT_EQ(shared.textures[1].name, "pic-2");
    EXPECT_EQ(shared.textures[0].materials.count, 2);
    EXPECT_EQ(shared.textures[0].mesh.triangles.count, 4);
    EXPECT_EQ(shared.textures[1].mesh.triangles.count, 2);

    writeImageFile(dir.file("one.png"), imageFromBytes(2, 2, std::vector<unsigned char>(12, 10)));
    writeImageFile(dir.file("two.png"), imageFromBytes(2, 2, std::vector<unsigned char>(12, 20)));
    gltf.materials = {{"skin", 0, 0}, {"skin", 1, 0}, {"other", 0, 0}};
    gltf.images = {"one.png", "two.png"};
    writeGltf(dir.file("embedded.glb"), gltf, GltfForm::binary);
    const SceneModel embedded = load(dir.file("embedded.glb"));
    ASSERT_EQ(embedded.textures.count, 2);  // the third material shows the first picture again
    EXPECT_EQ(embedded.textures[0].name, "skin");
    EXPECT_EQ(embedded.textures[1].name, "skin-2");
    EXPECT_TRUE(embedded.textures[0].embedded);
    EXPECT_EQ(embedded.textures[0].mesh.triangles.count, 4);
    gltf.materials = {{"..", 0, 0}, {"../up/there", 1, 0}};
    gltf.meshes.pop_back(), gltf.nodes.pop_back(), gltf.sceneNodes.pop_back();
    writeGltf(dir.file("odd.glb"), gltf, GltfForm::binary);
    const SceneModel odd = load(dir.file("odd.glb"));
    ASSERT_EQ(odd.textures.count, 2);
    EXPECT_EQ(odd.textures[0].name, "texture");
    EXPECT_EQ(odd.textures[1].name, ".._up_there");
}

// An embedded picture decodes to the texels of the file it came from.
TEST(SceneModel, AnEmbeddedPictureDecodesLikeItsFile) {
    TempDir dir;
    std::vector<unsigned char> bytes(3 * 8 * 4);
    for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<unsigned char>(k * 7);
    writeImageFile(dir.file("pic.png"), imageFromBytes(8, 4, bytes));
    GltfModel gltf;
    gltf.meshes = {unitSquare(0)};
    gltf.nodes = {{0, {}, {}}};
    gltf.sceneNodes = {0};
    gltf.materials = {{"m", 0, 0}};
    gltf.images = {"pic.png"};
    writeGltf(dir.file("pic.glb"), gltf, GltfForm::binary);
    const SceneModel model = load(dir.file("pic.glb"));
    ASSERT_EQ(model.textures.count, 1);
    FloatImage fromModel, fromFile;
    std::string error;
    ASSERT_TRUE(loadSceneTexture(model.textures[0], fromModel, error)) << error;
    ASSERT_TRUE(loadTexture(dir.file("pic.png").c_str(), fromFile, error)) << error;
    ASSERT_EQ(fromModel.width, 8);
    ASSERT_EQ(fromModel.height, 4);
    for (int32_t k = 0; k < fromFile.count; ++k) {
        EXPECT_EQ(fromModel.texels[k].r, fromFile.texels[k].r);
        EXPECT_EQ(fromModel.texels[k].b, fromFile.texels[k].b);
    }
}

// A material that reads the second coordinate set of a mesh that has only the first: its triangles count for the
// model's surface and for its mesh, but not for the texture. Coordinates beyond the texture are measured by area.
TEST(SceneModel, OnlyTrianglesWithTheMaterialsCoordinateSetUseItsTexture) {
    TempDir dir;
    GltfModel gltf;
    GltfMesh tiled = unitSquare(1);
    tiled.texCoords[0] = {0, 0, 2, 0, 2, 2, 0, 2};
    gltf.meshes = {unitSquare(0), tiled};
    gltf.nodes = {{0, {}, {}}, {1, gltfMatrix(3, 1, 1, 0, 0, 0, 0), {}}};
    gltf.sceneNodes = {0, 1};
    gltf.materials = {{"second", 0, 1}, {"tiled", 1, 0}};
    gltf.images = {"a.png", "b.png"};
    writeGltf(dir.file("sets.gltf"), gltf, GltfForm::separate);
    const SceneModel model = load(dir.file("sets.gltf"));
    EXPECT_NEAR(model.area, 4.0, 1e-9);
    EXPECT_EQ(model.mesh.triangles.count, 4);
    ASSERT_EQ(model.textures.count, 2);
    EXPECT_EQ(model.textures[0].mesh.triangles.count, 0);
    EXPECT_EQ(model.textures[0].area, 0.0);
    EXPECT_NEAR(model.textures[1].area, 3.0, 1e-9);
    EXPECT_NEAR(model.textures[1].areaOutside, 3.0, 1e-9);
}
