// Models in other formats than OBJ, end to end: glTF 2.0 in its three forms against OBJ exports of the same
// surface, --from-model with several materials and textures of any size, and an FBX model with an embedded texture.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "gltf_writer.h"
#include "mesh/obj_model.h"
#include "test_support.h"

static const std::vector<std::string> everyFilter = {"rainbow", "box", "boxig", "kivbox", "tent", "lanczos3", "kivbi", "kivtri"};

static Mesh sampleMesh() {
    Mesh mesh;
    std::string error;
    EXPECT_TRUE(loadObjModel(mesh, KIV_SOURCE_DIR "/data/sample.obj", error)) << error;
    return mesh;
}

static void copyFile(const std::string& from, const std::string& to) { writeTextFile(to, readTextFile(from)); }

// The triangles of `mesh` whose index passes `keep`, one vertex per corner; the coordinates go into `set` (the
// sets before it get every corner at the texture's centre).
template <typename Keep>
static GltfMesh gltfMeshOf(const Mesh& mesh, Keep keep, size_t set = 0) {
    GltfMesh out;
    out.texCoords.resize(set + 1);
    for (int32_t t = 0; t < mesh.triangles.count; ++t) {
        if (!keep(t)) continue;
        for (int c = 0; c < 3; ++c) {
            const Point3& p = mesh.positions[mesh.triangles[t].positionIndex[c]];
            const TexPoint& uv = mesh.texCoords[mesh.triangles[t].texCoordIndex[c]];
            out.indices.push_back(static_cast<uint32_t>(out.positions.size() / 3));
            out.positions.insert(out.positions.end(), {p.x, p.y, p.z});
            for (size_t s = 0; s < set; ++s) out.texCoords[s].insert(out.texCoords[s].end(), {0.5f, 0.5f});
            out.texCoords[set].insert(out.texCoords[set].end(), {uv.u, uv.v});
        }
    }
    return out;
}

// A column-major 4 x 4 matrix product, in 64-bit float.
static std::vector<double> multiply(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> product(16, 0.0);
    for (int column = 0; column < 4; ++column) {
        for (int row = 0; row < 4; ++row) {
            for (int k = 0; k < 4; ++k) product[column * 4 + row] += a[k * 4 + row] * b[column * 4 + k];
        }
    }
    return product;
}

// The OBJ text of a glTF mesh's triangles placed by `placement`, coordinates from `set`.
static std::string objTextOf(const GltfMesh& mesh, const std::vector<double>& placement, size_t set, int& firstVertex) {
    std::string text;
    char line[160];
    for (size_t v = 0; v < mesh.positions.size() / 3; ++v) {
        double p[3];
        for (int row = 0; row < 3; ++row) {
            p[row] = placement[12 + row];
            for (int k = 0; k < 3; ++k) p[row] += placement[k * 4 + row] * mesh.positions[v * 3 + k];
        }
        std::snprintf(line, sizeof(line), "v %.9g %.9g %.9g\nvt %.9g %.9g\n", p[0], p[1], p[2],
                      mesh.texCoords[set][v * 2], mesh.texCoords[set][v * 2 + 1]);
        text += line;
    }
    for (size_t k = 0; k < mesh.indices.size(); k += 3) {
        text += "f";
        for (int c = 0; c < 3; ++c) {
            const int index = firstVertex + static_cast<int>(mesh.indices[k + c]);
            text += " " + std::to_string(index) + "/" + std::to_string(index);
        }
        text += "\n";
    }
    firstVertex += static_cast<int>(mesh.positions.size() / 3);
    return text;
}

static std::vector<double> asDouble(const std::vector<float>& values) { return {values.begin(), values.end()}; }

static const std::vector<double> identity = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

static std::vector<std::string> levelFiles(const std::string& folder) {
    std::vector<std::string> names;
    for (const std::string& name : listFiles(folder)) {
        if (name.rfind("mip_", 0) == 0) names.push_back(name);
    }
    return names;
}

// Every level file of `expected` is in `actual` with the same size and no byte further off than `tolerance`.
static void expectSameLevels(const std::string& expected, const std::string& actual, int tolerance) {
    const std::vector<std::string> names = levelFiles(expected);
    ASSERT_FALSE(names.empty()) << expected;
    EXPECT_EQ(levelFiles(actual), names);
    for (const std::string& name : names) {
        const DecodedImage a = readImageFile(expected + "/" + name), b = readImageFile(actual + "/" + name);
        ASSERT_EQ(a.width, b.width) << name;
        ASSERT_EQ(a.height, b.height) << name;
        ASSERT_EQ(a.rgb.size(), b.rgb.size()) << name;
        int worst = 0;
        for (size_t k = 0; k < a.rgb.size(); ++k) worst = std::max(worst, std::abs(a.rgb[k] - b.rgb[k]));
        EXPECT_LE(worst, tolerance) << name;
    }
}

static CommandResult runOk(const TempDir& dir, std::vector<std::string> arguments, const std::vector<std::string>& filters) {
    arguments.insert(arguments.end(), filters.begin(), filters.end());
    const CommandResult result = runKiv(dir.path, arguments, 300);
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    return result;
}

// The sample box in two meshes on two nodes, the second a child of the first: a non-uniform scale, turns and moves
// that change the triangles' areas, as the OBJ export spells out in its positions.
TEST(SceneModelRun, GltfGivesTheLevelsOfItsObjExportForEveryFilter) {
    TempDir dir;
    const Mesh sample = sampleMesh();
    GltfModel model;
    model.meshes = {gltfMeshOf(sample, [](int32_t t) { return t % 2 == 0; }),
                    gltfMeshOf(sample, [](int32_t t) { return t % 2 == 1; })};
    model.nodes = {{0, gltfMatrix(2.0f, 1.0f, 0.5f, 30.0f, 0.1f, -0.2f, 0.3f), {1}},
                   {1, gltfMatrix(1.0f, 3.0f, 1.0f, 90.0f, 1.0f, 0.0f, 0.0f), {}}};
    model.sceneNodes = {0};
    writeGltf(dir.file("box.gltf"), model, GltfForm::separate);
    const std::vector<double> first = asDouble(model.nodes[0].matrix);
    int firstVertex = 1;
    std::string obj = objTextOf(model.meshes[0], first, 0, firstVertex);
    obj += objTextOf(model.meshes[1], multiply(first, asDouble(model.nodes[1].matrix)), 0, firstVertex);
    writeTextFile(dir.file("box.obj"), obj);
    copyFile(KIV_SOURCE_DIR "/data/sample.png", dir.file("sample.png"));
    runOk(dir, {"-o", "obj", "box.obj", "sample.png"}, everyFilter);
    runOk(dir, {"-o", "gltf", "box.gltf", "sample.png"}, everyFilter);
    EXPECT_EQ(levelFiles(dir.file("obj")).size(), 8u * 10);
    expectSameLevels(dir.file("obj"), dir.file("gltf"), 1);
}

// The same textured box as a .gltf beside its buffer and picture, as a .gltf of data URIs and as a .glb: the same
// levels to the byte, from the texture named on the command line or found through the material.
TEST(SceneModelRun, TheThreeFormsOfAGltfModelGiveIdenticalLevels) {
    TempDir dir;
    copyFile(KIV_SOURCE_DIR "/data/sample.png", dir.file("sample.png"));
    GltfModel model;
    model.meshes = {gltfMeshOf(sampleMesh(), [](int32_t) { return true; })};
    model.meshes[0].material = 0;
    model.nodes = {{0, {}, {}}};
    model.sceneNodes = {0};
    model.materials = {{"sample", 0}};
    model.images = {"sample.png"};
    const std::vector<std::string> filters = {"box", "kivbox", "kivbi"};
    const std::pair<const char*, GltfForm> forms[] = {
        {"box.gltf", GltfForm::separate}, {"embedded.gltf", GltfForm::embedded}, {"box.glb", GltfForm::binary}};
    for (const auto& [name, form] : forms) {
        writeGltf(dir.file(name), model, form);
        const std::string out = std::string("out-") + name;
        const CommandResult result = runOk(dir, {"--from-model", "-o", out, name}, filters);
        const std::string source = form == GltfForm::separate ? "sample.png" : std::string(name) + "[sample].png";
        EXPECT_NE(result.output.find("Texture 'sample' (base colour; sRGB) from " + source + ": 12 triangles, 100.0 % of the model's surface\n"),
                  std::string::npos)
            << result.output;
        EXPECT_EQ(listFiles(dir.file(out)), std::vector<std::string>{"sample"});
        runOk(dir, {"-o", std::string("given-") + name, name, "sample.png"}, filters);
    }
    for (const auto& [name, form] : forms) {
        SCOPED_TRACE(name);
        expectSameLevels(dir.file("out-box.gltf/sample"), dir.file(std::string("out-") + name + "/sample"), 0);
        expectSameLevels(dir.file("out-box.gltf/sample"), dir.file(std::string("given-") + name), 0);
    }
}

// Two materials with a texture each, the second read through the second coordinate set (the first holds nothing
// useful), and a third material without a texture: each texture's folder holds the levels of its own triangles alone.
TEST(SceneModelRun, FromModelGivesEachTextureTheLevelsOfItsMaterialsTriangles) {
    TempDir dir;
    copyFile(KIV_SOURCE_DIR "/data/sample.png", dir.file("first.png"));
    std::vector<unsigned char> bytes(3 * 64 * 64);
    for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<unsigned char>((k * 37) ^ (k >> 7));
    writeImageFile(dir.file("second.png"), imageFromBytes(64, 64, bytes));
    const Mesh sample = sampleMesh();
    GltfModel model;
    model.meshes = {gltfMeshOf(sample, [](int32_t t) { return t < 6; }),
                    gltfMeshOf(sample, [](int32_t t) { return t >= 6 && t < 10; }, 1),
                    gltfMeshOf(sample, [](int32_t t) { return t >= 10; })};
    for (int m = 0; m < 3; ++m) model.meshes[m].material = m;
    model.nodes = {{0, {}, {1, 2}}, {1, {}, {}}, {2, {}, {}}};
    model.sceneNodes = {0};
    model.materials = {{"wood", 0, 0}, {"stone", 1, 1}, {"paint", -1, 0}};
    model.images = {"first.png", "second.png"};
    writeGltf(dir.file("two.glb"), model, GltfForm::binary);
    int firstVertex = 1;
    writeTextFile(dir.file("first.obj"), objTextOf(model.meshes[0], identity, 0, firstVertex));
    firstVertex = 1;
    writeTextFile(dir.file("second.obj"), objTextOf(model.meshes[1], identity, 1, firstVertex));

    const std::vector<std::string> filters = {"box", "boxig", "kivbox", "kivbi"};
    const CommandResult result = runOk(dir, {"--from-model", "-o", "out", "two.glb"}, filters);
    EXPECT_EQ(listFiles(dir.file("out")), (std::vector<std::string>{"stone", "wood"}));
    EXPECT_NE(result.output.find("Texture 'wood' (base colour; sRGB) from two.glb[wood].png: 6 triangles, "), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("Texture 'stone' (base colour; sRGB) from two.glb[stone].png: 4 triangles, "), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("Warning"), std::string::npos) << result.output;
    runOk(dir, {"-o", "first", "first.obj", "first.png"}, filters);
    runOk(dir, {"-o", "second", "second.obj", "second.png"}, filters);
    expectSameLevels(dir.file("first"), dir.file("out/wood"), 0);
    expectSameLevels(dir.file("second"), dir.file("out/stone"), 0);
}

// Textures of any size through the materials: 250 x 250 and 640 x 480 are each processed in full, down to 1 x 1,
// and each folder holds what a run on its texture with the triangles of its material gives.
TEST(SceneModelRun, FromModelTakesTexturesOfAnySize) {
    TempDir dir;
    const int sides[2][2] = {{250, 250}, {640, 480}};
    for (int t = 0; t < 2; ++t) {
        const int width = sides[t][0], height = sides[t][1];
        std::vector<unsigned char> bytes(3 * static_cast<size_t>(width) * height);
        for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<unsigned char>((k * (31 + 6 * t)) ^ (k >> 9));
        writeImageFile(dir.file(t == 0 ? "first.png" : "second.png"), imageFromBytes(width, height, bytes));
    }
    const Mesh sample = sampleMesh();
    GltfModel model;
    model.meshes = {gltfMeshOf(sample, [](int32_t t) { return t < 8; }),
                    gltfMeshOf(sample, [](int32_t t) { return t >= 8; })};
    model.meshes[0].material = 0;
    model.meshes[1].material = 1;
    model.nodes = {{0, {}, {1}}, {1, {}, {}}};
    model.sceneNodes = {0};
    model.materials = {{"wood", 0, 0}, {"stone", 1, 0}};
    model.images = {"first.png", "second.png"};
    writeGltf(dir.file("two.glb"), model, GltfForm::binary);
    int firstVertex = 1;
    writeTextFile(dir.file("first.obj"), objTextOf(model.meshes[0], identity, 0, firstVertex));
    firstVertex = 1;
    writeTextFile(dir.file("second.obj"), objTextOf(model.meshes[1], identity, 0, firstVertex));

    const std::vector<std::string> filters = {"box", "kivbox", "kivbi"};
    const CommandResult result = runOk(dir, {"--from-model", "-o", "out", "two.glb"}, filters);
    EXPECT_NE(result.output.find("Texture 'wood' (base colour; sRGB) from two.glb[wood].png: 8 triangles, "), std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("Image is 250x250 with 8 mip levels.\n"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("Texture 'stone' (base colour; sRGB) from two.glb[stone].png: 4 triangles, "), std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("Image is 640x480 with 10 mip levels.\n"), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("Warning"), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("skipped"), std::string::npos) << result.output;
    EXPECT_EQ(listFiles(dir.file("out")), (std::vector<std::string>{"stone", "wood"}));
    EXPECT_EQ(levelFiles(dir.file("out/wood")).size(), 8u * filters.size());
    EXPECT_EQ(levelFiles(dir.file("out/stone")).size(), 10u * filters.size());
    const DecodedImage last = readImageFile(dir.file("out/stone/mip_9_kivbi.png"));
    EXPECT_EQ(last.width, 1);
    EXPECT_EQ(last.height, 1);
    runOk(dir, {"-o", "first", "first.obj", "first.png"}, filters);
    runOk(dir, {"-o", "second", "second.obj", "second.png"}, filters);
    expectSameLevels(dir.file("first"), dir.file("out/wood"), 0);
    expectSameLevels(dir.file("second"), dir.file("out/stone"), 0);
}

// A square mapped onto 3 x 3 repeats of the texture gets one warning line, which also says when the material's
// sampler does not repeat; a square mapped once gets none.
TEST(SceneModelRun, CoordinatesBeyondTheTextureGetOneWarningLine) {
    TempDir dir;
    writeImageFile(dir.file("tile.png"), imageFromBytes(4, 4, std::vector<unsigned char>(48, 200)));
    for (const float repeats : {1.0f, 3.0f}) {
        for (const bool clamp : {false, true}) {
            GltfModel model;
            GltfMesh square;
            square.positions = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0};
            square.texCoords = {{0, 0, repeats, 0, repeats, repeats, 0, repeats}};
            square.indices = {0, 1, 2, 0, 2, 3};
            square.material = 0;
            model.meshes = {square};
            model.nodes = {{0, {}, {}}};
            model.sceneNodes = {0};
            model.materials = {{"tiles", 0, 0, clamp}};
            model.images = {"tile.png"};
            writeGltf(dir.file("square.gltf"), model, GltfForm::separate);
            const CommandResult result = runOk(dir, {"--from-model", "square.gltf", "-o", "out"}, {"boxig"});
            SCOPED_TRACE(std::to_string(repeats) + (clamp ? " clamped" : " repeated"));
            const size_t warning = result.output.find("Warning: texture 'tile': its coordinates leave [0, 1] on 100.0 % of its surface");
            if (repeats == 1) {
                EXPECT_EQ(result.output.find("Warning"), std::string::npos) << result.output;
                continue;
            }
            ASSERT_NE(warning, std::string::npos) << result.output;
            EXPECT_EQ(result.output.find("Warning", warning + 1), std::string::npos) << result.output;
            EXPECT_EQ(result.output.find("clamped or mirrored") != std::string::npos, clamp) << result.output;
        }
    }
}

// An FBX model with its texture inside (from the importer's test models): through the material, and with a
// texture named on the command line.
TEST(SceneModelRun, AnFbxModelWithItsTextureRunsEndToEnd) {
    std::string why;
    const std::string models = assimpTestModelsDirectory(why);
    if (models.empty()) GTEST_SKIP() << why;
    TempDir dir;
    copyFile(models + "/FBX/embedded_ascii/box.FBX", dir.file("box.FBX"));
    const CommandResult fromModel = runOk(dir, {"--from-model", "-o", "out", "box.FBX"}, {"box", "kivbi"});
    EXPECT_NE(fromModel.output.find("Texture '03_-_Default' (diffuse; sRGB) from box.FBX[03 - Default].png: 12 triangles, 100.0 % of "
                                    "the model's surface\nImage is 512x512 with 10 mip levels.\n"),
              std::string::npos)
        << fromModel.output;
    EXPECT_EQ(levelFiles(dir.file("out/03_-_Default")).size(), 20u);
    copyFile(KIV_SOURCE_DIR "/data/sample.png", dir.file("sample.png"));
    runOk(dir, {"-o", "given", "box.FBX", "sample.png"}, {"kivbox"});
    EXPECT_EQ(levelFiles(dir.file("given")).size(), 10u);
}

// With --from-model the second name is a filter, not a texture; an OBJ model passes the OBJ reader's checks and
// finds its texture through its material library.
TEST(SceneModelRun, FromModelTakesNoTextureArgumentAndReadsAnObjModelsMaterials) {
    TempDir dir;
    copyFile(KIV_SOURCE_DIR "/data/sample.png", dir.file("sample.png"));
    const CommandResult texture = runKiv(dir.path, {"--from-model", "square.glb", "sample.png"});
    EXPECT_EQ(texture.exitStatus, 2);  // an unknown filter: a usage error
    EXPECT_NE(texture.output.find("Error: The filter named 'sample.png' doesn't exist."), std::string::npos) << texture.output;

    writeTextFile(dir.file("square.mtl"), "newmtl painted\nmap_Kd sample.png\n");
    writeTextFile(dir.file("square.obj"), "mtllib square.mtl\nusemtl painted\n" + unitSquareObj());
    writeTextFile(dir.file("broken.obj"), "mtllib square.mtl\nusemtl painted\n" + unitSquareObj() + "f 1/1 2/2 9/3\n");
    const CommandResult broken = runKiv(dir.path, {"--from-model", "-o", "broken", "broken.obj"});
    EXPECT_EQ(broken.exitStatus, 1);
    EXPECT_NE(broken.output.find("Error: broken.obj:13: position index '9' is out of range"), std::string::npos) << broken.output;
    const std::vector<std::string> filters = {"kivbox", "kivbi"};
    runOk(dir, {"--from-model", "-o", "out", "square.obj"}, filters);
    runOk(dir, {"-o", "given", "square.obj", "sample.png"}, filters);
    expectSameLevels(dir.file("given"), dir.file("out/sample"), 0);
}

// Models made on case-blind systems: a texture named in another case than its file is found beside the model and
// its line says so; a material whose only texture is the importer's placeholder is named as not processed, and the
// run goes on with the other material's texture.
TEST(SceneModelRun, ATextureInAnotherCaseIsFoundAndAPlaceholderIsNoTexture) {
    TempDir dir;
    copyFile(KIV_SOURCE_DIR "/data/sample.png", dir.file("IMAGE1.png"));
    writeTextFile(dir.file("square.mtl"), "newmtl painted\nmap_Kd image1.PNG\nnewmtl bare\nmap_Kd $texture_dummy.bmp\n");
    writeTextFile(dir.file("square.obj"),
                  "mtllib square.mtl\nusemtl painted\n" + unitSquareObj() + "usemtl bare\nf 1/1 2/2 4/4\n");
    const CommandResult result = runKiv(dir.path, {"--from-model", "-o", "out", "square.obj", "box"});
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    EXPECT_NE(result.output.find("Texture '$texture_dummy.bmp' (diffuse) of material 'bare' is not processed: the "
                                 "importer's placeholder for a material without a texture, not a file.\n"),
              std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("Texture 'image1' (diffuse; sRGB) from IMAGE1.png (the model names it 'image1.PNG'; "
                                 "found beside the model in another case): 2 triangles"),
              std::string::npos)
        << result.output;
    EXPECT_TRUE(fileExists(dir.file("out/image1/mip_0_box.png")));
}

// A model whose only textured material reads a coordinate set its triangles lack: the texture is named and skipped,
// and a run that produced nothing ends with an error and status 1, not as a success.
TEST(SceneModelRun, FromModelThatProducesNoTextureFails) {
    TempDir dir;
    copyFile(KIV_SOURCE_DIR "/data/sample.png", dir.file("first.png"));
    GltfModel model;
    model.meshes = {gltfMeshOf(sampleMesh(), [](int32_t) { return true; })};
    model.meshes[0].material = 0;
    model.nodes = {{0, {}, {}}};
    model.sceneNodes = {0};
    model.materials = {{"wood", 0, 1}};
    model.images = {"first.png"};
    writeGltf(dir.file("lost.glb"), model, GltfForm::binary);
    const CommandResult result = runKiv(dir.path, {"--from-model", "-o", "out", "lost.glb", "box"});
    EXPECT_EQ(result.exitStatus, 1) << result.output;
    EXPECT_NE(result.output.find("No triangle uses texture 'wood' through texture coordinates; it is skipped."),
              std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("Error: lost.glb: no texture is used by any triangle through texture coordinates; "
                                 "nothing was written"),
              std::string::npos)
        << result.output;
    EXPECT_TRUE(listFiles(dir.file("out")).empty());
}
