// Hostile glTF scenes, end to end: node graphs that the importer would copy out into trees of millions of nodes,
// JSON nested deeply enough to overflow the importer's stack, placements of more triangles than memory holds, faces
// naming vertices that do not exist, and thousands of materials of one name. Each is refused, or runs, in seconds,
// with one "Error:" line naming the model.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "gltf_writer.h"
#include "test_support.h"

// Long enough for a loaded machine, far shorter than any of these inputs took before they were refused early.
static const int sceneTimeoutSeconds = 30;

// An address space far short of what the copied-out graphs or the placed triangles would claim, so a run that
// does not refuse them early ends in seconds all the same (and without the error expected).
static int memoryLimitMegabytes() {
#ifdef KIV_ADDRESS_SANITIZER
    return 0;
#else
    return 2048;
#endif
}

// A folder holding a small picture "tile.png" for the models to name.
struct SceneDirectory {
    TempDir dir;
    SceneDirectory() {
        writeImageFile(dir.file("tile.png"), imageFromBytes(2, 2, std::vector<unsigned char>(12, 100)));
    }
};

// Runs `model` both with the texture named and with --from-model: each run ends in time with status 1 and the one
// error line `message`, and leaves the output folder empty.
static void expectSceneRefused(const SceneDirectory& run, const std::string& model, const std::string& message) {
    for (const bool fromModel : {false, true}) {
        SCOPED_TRACE(model + (fromModel ? " --from-model" : ""));
        std::vector<std::string> arguments = {"-o", "out", model};
        if (!fromModel) arguments.push_back("tile.png");
        arguments.push_back("box");
        if (fromModel) arguments.insert(arguments.begin(), "--from-model");
        const CommandResult result = runKiv(run.dir.path, arguments, sceneTimeoutSeconds, memoryLimitMegabytes());
        ASSERT_FALSE(result.timedOut) << "stopped after " << sceneTimeoutSeconds << " s";
        ASSERT_FALSE(result.signalled) << result.output;
        EXPECT_EQ(result.exitStatus, 1) << result.output;
        std::vector<std::string> errors;
        for (const std::string& line : outputLines(result.output)) {
            if (line.rfind("Error:", 0) == 0) errors.push_back(line);
        }
        EXPECT_EQ(errors, std::vector<std::string>{message}) << result.output;
        EXPECT_EQ(listFiles(run.dir.file("out")), std::vector<std::string>{});
    }
}

// A node graph in which a node is reached along more than one path: glTF gives each node one parent at most, and
// the importer would copy the node (and all below it) once per path. A chain of 25 nodes each listing the next
// twice is 1.5 KB of file and 2^25 copied nodes; it is refused from the file's node lists before any is copied.
TEST(BadSceneModel, ANodeWithMoreThanOneParentIsRefused) {
    SceneDirectory run;
    struct Case {
        const char* name;
        GltfForm form;
        std::vector<GltfNode> nodes;  // each showing the square, or nothing (mesh -1)
        std::vector<int> roots;
        const char* fault;
    };
    std::vector<GltfNode> doubled;
    for (int k = 0; k < 24; ++k) doubled.push_back({0, {}, {k + 1, k + 1}});
    doubled.push_back({0, {}, {}});
    const Case cases[] = {
        {"doubled.glb", GltfForm::binary, doubled, {0}, "node 1 is listed twice among the children of node 0"},
        {"parents.gltf", GltfForm::separate, {{-1, {}, {2}}, {-1, {}, {2}}, {0, {}, {}}}, {0, 1},
         "node 2 is a child of both node 0 and node 1"},
        {"root.gltf", GltfForm::embedded, {{-1, {}, {1}}, {0, {}, {}}}, {0, 1},
         "node 1 is both a root of scene 0 and a child of node 0"},
        {"twice.glb", GltfForm::binary, {{0, {}, {}}}, {0, 0}, "node 0 is listed twice among the roots of scene 0"},
    };
    for (const Case& c : cases) {
        GltfModel gltf = squareGltf("tile.png");
        gltf.nodes = c.nodes;
        gltf.sceneNodes = c.roots;
        writeGltf(run.dir.file(c.name), gltf, c.form);
        expectSceneRefused(run, c.name,
                           "Error: " + std::string(c.name) + ": " + c.fault + "; a glTF node has one parent at most");
    }
}

// The same faults in glTF 1.0, whose nodes and scenes are objects known by name. Lists of "nodes" and "children"
// deeper in the file (under "extras", among a node's own members) and node names in other members after the scenes
// are not the model's node lists and are passed over.
TEST(BadSceneModel, ANamedNodeWithMoreThanOneParentIsRefused) {
    SceneDirectory run;
    struct Case {
        const char* name;
        const char* nodes;
        const char* roots;
        const char* fault;
    };
    const Case cases[] = {
        {"twice.gltf", R"("a":{"children":["c","c"]},"c":{})", R"("a")",
         "node 'c' is listed twice among the children of node 'a'"},
        {"parents.gltf", R"("a":{"children":["c"]},"b":{"children":["c"]},"c":{})", R"("a","b")",
         "node 'c' is a child of both node 'a' and node 'b'"},
        {"root.gltf", R"("a":{"children":["c"]},"c":{})", R"("a","c")",
         "node 'c' is both a root of scene 'main' and a child of node 'a'"},
        {"roots.gltf", R"("a":{"children":["c"]},"c":{})", R"("a","a")",
         "node 'a' is listed twice among the roots of scene 'main'"},
    };
    for (const Case& c : cases) {
        const std::string decoy = R"({"nodes":{"x":{"children":["a","c","a","c"]}},"children":["c","c"]})";
        writeTextFile(run.dir.file(c.name),
                      R"({"asset":{"version":"1.0"},"extras":)" + decoy + R"(,"nodes":{"d":{"extras":)" + decoy +
                          "}," + c.nodes + R"(},"scenes":{"main":{"extras":)" + decoy + R"(,"nodes":[)" + c.roots +
                          R"(]}},"materials":{"m":{"extras":["a","c","a","c"]}}})");
        expectSceneRefused(run, c.name,
                           "Error: " + std::string(c.name) + ": " + c.fault + "; a glTF node has one parent at most");
    }
}

// `json` with a first member "extras" of `levels` nested arrays, which make the whole nest levels + 1 deep.
static std::string withNestedExtras(const std::string& json, int levels) {
    return "{\"extras\":" + std::string(levels, '[') + std::string(levels, ']') + "," + json.substr(json.find('{') + 1);
}

// The little-endian 32-bit word at `at` of `bytes`, and the 4 bytes of `value`.
static uint32_t wordAt(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (int k = 3; k >= 0; --k) value = value << 8 | static_cast<unsigned char>(bytes[at + k]);
    return value;
}
static std::string wordBytes(size_t value) {
    std::string bytes;
    for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<char>(value >> (8 * k) & 0xFF));
    return bytes;
}

// The JSON chunk of the .glb `glb`, and the .glb with that chunk made `json` (padded with spaces to a multiple of
// 4 bytes, as the format asks).
static std::string glbJson(const std::string& glb) { return glb.substr(20, wordAt(glb, 12)); }
static std::string glbWithJson(const std::string& glb, std::string json) {
    json.resize((json.size() + 3) / 4 * 4, ' ');
    const std::string rest = glb.substr(20 + wordAt(glb, 12));
    return glb.substr(0, 8) + wordBytes(20 + json.size() + rest.size()) + wordBytes(json.size()) + "JSON" + json +
           rest;
}

// The importer's JSON reader recurses once a level and overflows the stack at about 150 000 levels, whatever the
// file's name. JSON nested more than 512 levels deep is refused first, in a .gltf or a .glb's JSON chunk; a model
// nesting exactly 512 levels is read.
TEST(BadSceneModel, JsonNestedTooDeeplyIsRefusedBeforeTheImporterReadsIt) {
    SceneDirectory run;
    writeGltf(run.dir.file("square.gltf"), squareGltf("tile.png"), GltfForm::embedded);
    writeGltf(run.dir.file("square.glb"), squareGltf("tile.png"), GltfForm::binary);
    const std::string text = readTextFile(run.dir.file("square.gltf"));
    const std::string glb = readTextFile(run.dir.file("square.glb"));
    writeTextFile(run.dir.file("deepest.gltf"), withNestedExtras(text, 511));
    writeTextFile(run.dir.file("deepest.glb"), glbWithJson(glb, withNestedExtras(glbJson(glb), 511)));
    for (const char* model : {"deepest.gltf", "deepest.glb"}) {
        SCOPED_TRACE(model);
        const CommandResult result =
            runKiv(run.dir.path, {"-o", "read", model, "tile.png", "box"}, sceneTimeoutSeconds, memoryLimitMegabytes());
        EXPECT_EQ(result.exitStatus, 0) << result.output;
    }

    writeTextFile(run.dir.file("deeper.gltf"), withNestedExtras(text, 512));
    writeTextFile(run.dir.file("deeper.glb"), glbWithJson(glb, withNestedExtras(glbJson(glb), 512)));
    writeTextFile(run.dir.file("brackets.gltf"), " \n" + std::string(200000, '['));
    writeTextFile(run.dir.file("brackets.data"), std::string(200000, '['));
    for (const char* model : {"deeper.gltf", "deeper.glb", "brackets.gltf", "brackets.data"}) {
        expectSceneRefused(run, model, "Error: " + std::string(model) + ": its JSON nests more than 512 levels deep");
    }
}

// One mesh may be shown by many nodes, but the triangles they place must fit in memory: 2100 placements of a mesh
// of 65 536 triangles are 138 million triangles, refused from the node tree before one is placed.
TEST(BadSceneModel, PlacementsOfMoreTrianglesThanMemoryHoldsAreRefused) {
    SceneDirectory run;
    GltfModel gltf = squareGltf("tile.png");
    GltfMesh& mesh = gltf.meshes[0];
    mesh.indices.clear();
    for (int t = 0; t < 65536; ++t) mesh.indices.insert(mesh.indices.end(), {0, 1, 2});
    gltf.nodes = {{-1, {}, {}}};
    for (int k = 1; k <= 2100; ++k) {
        gltf.nodes[0].children.push_back(k);
        gltf.nodes.push_back({0, {}, {}});
    }
    writeGltf(run.dir.file("crowd.glb"), gltf, GltfForm::binary);
    expectSceneRefused(run, "crowd.glb",
                       "Error: crowd.glb: its nodes place 137625600 triangles, more than the 134217728 kiv takes");
}

// Faces whose indices name vertices past the end of their mesh's: the importer drops such faces and reads on,
// which would leave holes in the surface the filters weigh; the model is refused instead, whether some or all of
// a mesh's faces are broken, with the meshes that have such faces counted.
TEST(BadSceneModel, FacesNamingVerticesThatDoNotExistAreRefused) {
    SceneDirectory run;
    GltfModel one = squareGltf("tile.png");
    one.meshes[0].indices = {0, 1, 2, 0, 2, 4};
    writeGltf(run.dir.file("one.glb"), one, GltfForm::binary);
    expectSceneRefused(run, "one.glb", "Error: one.glb: 1 mesh has faces whose vertex index is out of range");

    // The importer stops at a mesh left without faces, the second here, after counting it.
    GltfModel two = squareGltf("tile.png");
    two.meshes.push_back(two.meshes[0]);
    two.meshes[0].indices = {0, 1, 2, 0, 2, 9};
    two.meshes[1].indices = {0, 1, 7, 9, 2, 3};
    two.nodes.push_back({1, {}, {}});
    two.sceneNodes.push_back(1);
    writeGltf(run.dir.file("two.gltf"), two, GltfForm::separate);
    expectSceneRefused(run, "two.gltf", "Error: two.gltf: 2 meshes have faces whose vertex index is out of range");

    // The last vertex is still one that exists.
    GltfModel edge = squareGltf("tile.png");
    edge.meshes[0].indices = {0, 1, 3, 1, 2, 3};
    writeGltf(run.dir.file("edge.glb"), edge, GltfForm::binary);
    const CommandResult result =
        runKiv(run.dir.path, {"-o", "out", "edge.glb", "tile.png", "box"}, sceneTimeoutSeconds);
    EXPECT_EQ(result.exitStatus, 0) << result.output;
}

// 8000 materials of the same name, each with its own embedded picture, get the folder names "m", "m-2", "m-3", ...
// in the order of the materials, a name a material already took ("m-4") passed over. Finding each name among all
// those taken before took minutes for so many; now the run takes seconds.
TEST(BadSceneModel, ThousandsOfMaterialsOfOneNameGetTheirFolderNamesInLinearTime) {
    SceneDirectory run;
    GltfModel gltf = squareGltf("tile.png");
    const int count = 8000;
    // The importer reads only the materials of meshes that nodes show: one node and one mesh per material, the
    // meshes without texture coordinates but the last, so that one texture is built and the others are skipped.
    GltfMesh bare = gltf.meshes[0];
    bare.texCoords.clear();
    gltf.meshes.clear(), gltf.nodes.clear(), gltf.sceneNodes.clear(), gltf.materials.clear(), gltf.images.clear();
    for (int k = 0; k < count; ++k) {
        gltf.materials.push_back({k == 0 ? "m-4" : "m", k, 0});
        gltf.images.push_back("tile.png");
        gltf.meshes.push_back(k == count - 1 ? squareGltf("tile.png").meshes[0] : bare);
        gltf.meshes.back().material = k;
        gltf.nodes.push_back({k, {}, {}});
        gltf.sceneNodes.push_back(k);
    }
    writeGltf(run.dir.file("many.glb"), gltf, GltfForm::binary);
    const CommandResult result =
        runKiv(run.dir.path, {"--from-model", "-o", "out", "many.glb", "box"}, 60, memoryLimitMegabytes());
    ASSERT_FALSE(result.timedOut) << "stopped after 60 s";
    EXPECT_EQ(result.exitStatus, 0) << result.output.substr(0, 2000);
    std::vector<std::string> names;
    for (const std::string& line : outputLines(result.output)) {
        if (line.rfind("Texture '", 0) == 0) names.push_back(line.substr(9, line.find('\'', 9) - 9));
    }
    std::vector<std::string> expected = {"m-4", "m", "m-2", "m-3"};
    for (int suffix = 5; static_cast<int>(expected.size()) < count; ++suffix) {
        expected.push_back("m-" + std::to_string(suffix));
    }
    EXPECT_EQ(names, expected);
    EXPECT_EQ(listFiles(run.dir.file("out")), std::vector<std::string>{"m-8000"});
}
