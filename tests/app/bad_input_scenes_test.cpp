// Hostile glTF scenes, end to end: node graphs that the importer would copy out into trees of millions of nodes,
// placements of more triangles than memory holds, faces naming vertices that do not exist, and thousands of
// materials of one name. Each is refused, or runs, in seconds, with one "Error:" line naming the model.
#include <gtest/gtest.h>

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
