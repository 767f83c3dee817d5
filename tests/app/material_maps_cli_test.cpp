// --from-model on every map of a material, end to end: each texture's line names its roles and how it is read, each
// gets a folder of its own, and each folder holds, byte for byte, the files of a plain run on its picture with the
// option its role stands for. Every map here is read by every triangle of a one-material model, so a plain run with
// the whole model is the oracle; the option comes from the role, not from what the run printed. Textures of roles
// kiv does not process are named, and only a model with nothing else fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "container_levels.h"
#include "gltf_writer.h"
#include "mesh/obj_model.h"
#include "test_support.h"

namespace {

const std::vector<std::string> filters = {"box", "kivbi"};

// The pictures are 32 x 32: six levels.
const int side = 32;
const size_t filesPerFolder = 6 * 2 + 2;  // the PNG levels and the KTX2 file of each filter

// A side x side picture whose texel (x, y) is texel(x, y), r g b bytes.
template <typename TexelOf>
void writePicture(const std::string& path, TexelOf texel) {
    std::vector<unsigned char> rgb;
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            const std::array<int, 3> c = texel(x, y);
            for (int v : c) rgb.push_back(static_cast<unsigned char>(std::clamp(v, 0, 255)));
        }
    }
    writeImageFile(path, imageFromBytes(side, side, rgb));
}

// Pictures that tell the maps apart and tell the ways of reading them apart: the one-texel stripes of the data map
// average to 128 as values but 188 as light, and the normal map's vectors are not unit length until renormalised.
void writeColourPicture(const std::string& path) {
    writePicture(path, [](int x, int y) { return std::array<int, 3>{x * 8, y * 8, (x / 4 + y / 4) % 2 * 255}; });
}
void writeDataPicture(const std::string& path) {
    writePicture(path, [](int x, int y) { return std::array<int, 3>{255 - 4 * y, x % 2 * 255, y % 2 * 255}; });
}
void writeOcclusionPicture(const std::string& path) {
    writePicture(path, [](int x, int y) {
        const int shade = 255 - 12 * static_cast<int>(std::hypot(x - 15.5, y - 15.5));
        return std::array<int, 3>{shade, shade, shade};
    });
}
void writeGlowPicture(const std::string& path) {
    writePicture(path, [](int x, int y) {
        return x % 8 == 3 && y % 8 == 3 ? std::array<int, 3>{255, 220, 90} : std::array<int, 3>{10, 10, 30 + x};
    });
}
// Bumps of period 8: n = (-0.6 sin(2 pi x / 8), -0.6 sin(2 pi y / 8), 1) normalised, stored as (n + 1) / 2, with
// the odd columns' blue lowered so that those vectors are short.
void writeNormalPicture(const std::string& path) {
    writePicture(path, [](int x, int y) {
        const double pi = 3.14159265358979323846, nx = -0.6 * std::sin(pi * x / 4), ny = -0.6 * std::sin(pi * y / 4);
        const double length = std::sqrt(nx * nx + ny * ny + 1);
        const auto byte = [](double v) { return static_cast<int>(std::lround((v + 1) / 2 * 255)); };
        return std::array<int, 3>{byte(nx / length), byte(ny / length), byte(1 / length) - x % 2 * 40};
    });
}

// The sample box (12 triangles, each face a chart of its atlas) as one glTF mesh of material 0.
GltfMesh sampleBox() {
    Mesh mesh;
    std::string error;
    EXPECT_TRUE(loadObjModel(mesh, KIV_SOURCE_DIR "/data/sample.obj", error)) << error;
    GltfMesh out;
    out.texCoords.resize(1);
    for (int32_t t = 0; t < mesh.triangles.count; ++t) {
        for (int c = 0; c < 3; ++c) {
            const Point3& p = mesh.positions[mesh.triangles[t].positionIndex[c]];
            const TexPoint& uv = mesh.texCoords[mesh.triangles[t].texCoordIndex[c]];
            out.indices.push_back(static_cast<uint32_t>(out.positions.size() / 3));
            out.positions.insert(out.positions.end(), {p.x, p.y, p.z});
            out.texCoords[0].insert(out.texCoords[0].end(), {uv.u, uv.v});
        }
    }
    out.material = 0;
    return out;
}

GltfModel boxOfOneMaterial(const GltfMaterial& material, const std::vector<std::string>& images) {
    GltfModel model;
    model.meshes = {sampleBox()};
    model.nodes = {{0, {}, {}}};
    model.sceneNodes = {0};
    model.materials = {material};
    model.images = images;
    return model;
}

// The sample box as an OBJ model whose one material is `mtl`.
void writeObjBox(const TempDir& dir, const std::string& name, const std::string& mtl) {
    writeTextFile(dir.file(name + ".mtl"), "newmtl crate\nKd 1 1 1\n" + mtl);
    writeTextFile(dir.file(name + ".obj"), "mtllib " + name + ".mtl\nusemtl crate\n" +
                                               readTextFile(KIV_SOURCE_DIR "/data/sample.obj"));
}

// Runs kiv on one thread (the levels are the same for every count, and textures this small gain nothing from more)
// with the filters after `arguments`.
CommandResult runOk(const TempDir& dir, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--threads", "1"});
    arguments.insert(arguments.end(), filters.begin(), filters.end());
    const CommandResult result = runKiv(dir.path, arguments);
    EXPECT_FALSE(result.timedOut || result.signalled) << result.output;
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    return result;
}

// One texture's line of a --from-model run.
struct TextureLine {
    std::string folder, roles, encoding, source, triangles, share;
};

// The texture lines of a run, "Texture '<folder>' (<roles>; <encoding>) from <source>: <n> triangles, <p> % of the
// model's surface", cut at their fixed words.
std::vector<TextureLine> textureLines(const std::string& output) {
    std::vector<TextureLine> lines;
    const std::string head = "Texture '", tail = " % of the model's surface";
    for (const std::string& line : outputLines(output)) {
        if (line.rfind(head, 0) != 0 || line.size() < tail.size() ||
            line.compare(line.size() - tail.size(), tail.size(), tail) != 0) {
            continue;
        }
        const size_t quote = line.find("' (", head.size()), semicolon = line.find("; ", quote);
        const size_t from = line.find(") from ", semicolon), colon = line.rfind(": ");
        const size_t triangles = line.find(" triangles, ", colon);
        if (quote == std::string::npos || semicolon == std::string::npos || from == std::string::npos ||
            colon == std::string::npos || colon < from || triangles == std::string::npos) {
            continue;
        }
        const size_t shareAt = triangles + std::string(" triangles, ").size();
        lines.push_back({line.substr(head.size(), quote - head.size()), line.substr(quote + 3, semicolon - quote - 3),
                         line.substr(semicolon + 2, from - semicolon - 2), line.substr(from + 7, colon - from - 7),
                         line.substr(colon + 2, triangles - colon - 2),
                         line.substr(shareAt, line.size() - tail.size() - shareAt)});
    }
    return lines;
}

// A texture a run should list: its roles, how it is read, the picture it comes from, its folder ("" where the
// test leaves the name to the rules for embedded pictures) and its source as the line gives it.
struct ExpectedMap {
    std::string roles, encoding, picture, folder, source;
};

// The folder of the plain run of `map`'s picture with the option of the way its role reads it.
std::string plainFolder(const ExpectedMap& map) {
    std::string name = "plain-" + map.picture + "-" + map.encoding;
    std::replace(name.begin(), name.end(), ' ', '-');
    return name;
}

// Plain runs of every picture of `maps` on `model`, PNG and KTX2, each with the option its role stands for.
void runPlain(const TempDir& dir, const std::string& model, const std::vector<ExpectedMap>& maps) {
    for (const ExpectedMap& map : maps) {
        std::vector<std::string> arguments = {"--normal-map"};
        if (map.encoding != "normal map") arguments = {"--color-space", map.encoding == "sRGB" ? "srgb" : "linear"};
        arguments.insert(arguments.end(), {"--format", "png,ktx2", "-o", plainFolder(map), model, map.picture});
        runOk(dir, arguments);
        EXPECT_EQ(listFiles(dir.file(plainFolder(map))).size(), filesPerFolder) << plainFolder(map);
    }
}

// Runs --from-model on `model` into `out` and checks its textures against `maps`, in order: each line, a folder of
// its own and nothing else in `out`, and in each folder the plain run's files byte for byte, the KTX2 file marked
// sRGB (43) for colour and UNORM (37) otherwise.
void expectMapsAsPlainRuns(const TempDir& dir, const std::string& model, const std::string& out,
                           const std::vector<ExpectedMap>& maps) {
    const CommandResult result = runOk(dir, {"--from-model", "--format", "png,ktx2", "-o", out, model});
    const std::vector<TextureLine> lines = textureLines(result.output);
    ASSERT_EQ(lines.size(), maps.size()) << result.output;
    std::vector<std::string> folders;
    for (size_t k = 0; k < maps.size(); ++k) {
        const ExpectedMap& map = maps[k];
        const TextureLine& line = lines[k];
        SCOPED_TRACE(map.roles + " from " + map.picture + " into " + line.folder);
        EXPECT_EQ(line.roles, map.roles);
        EXPECT_EQ(line.encoding, map.encoding);
        if (!map.folder.empty()) {
            EXPECT_EQ(line.folder, map.folder);
        }
        EXPECT_EQ(line.source, map.source);
        EXPECT_EQ(line.triangles, "12");
        EXPECT_EQ(line.share, "100.0");
        folders.push_back(line.folder);

        const std::string expected = dir.file(plainFolder(map)), actual = dir.file(out + "/" + line.folder);
        const std::vector<std::string> names = listFiles(expected);
        ASSERT_EQ(listFiles(actual), names);
        for (const std::string& name : names) {
            // Compared as a flag: a difference would print the files' bytes.
            EXPECT_TRUE(readTextFile(expected + "/" + name) == readTextFile(actual + "/" + name)) << name;
        }
        const uint32_t vkFormat = containers::little32(readTextFile(actual + "/mip_kivbi.ktx2"), 12);
        EXPECT_EQ(vkFormat, map.encoding == "sRGB" ? 43u : 37u);
    }
    std::sort(folders.begin(), folders.end());
    EXPECT_EQ(listFiles(dir.file(out)), folders) << result.output;
}

}  // namespace

// A glTF material with the five core maps, each its own picture, read by every triangle: five textures in the order
// of the roles (base colour, emissive, normal, metallic-roughness, occlusion), colour as sRGB, normals as vectors,
// the data maps as values. Beside its files the folders are named after them; inside a .glb the pictures have no
// file names, so the folders are named after the material and the line names the embedded picture.
TEST(MaterialMaps, EveryCoreMapOfAGltfMaterialGivesThePlainRunOfItsRole) {
    TempDir dir;
    writeColourPicture(dir.file("albedo.png"));
    writeDataPicture(dir.file("orm.png"));
    writeNormalPicture(dir.file("bumps.png"));
    writeOcclusionPicture(dir.file("ao.png"));
    writeGlowPicture(dir.file("glow.png"));
    GltfMaterial core{"core", 0};
    core.metallicRoughnessImage = 1;
    core.normalImage = 2;
    core.occlusionImage = 3;
    core.emissiveImage = 4;
    const GltfModel model = boxOfOneMaterial(core, {"albedo.png", "orm.png", "bumps.png", "ao.png", "glow.png"});
    writeGltf(dir.file("five.gltf"), model, GltfForm::separate);
    writeGltf(dir.file("five.glb"), model, GltfForm::binary);

    const std::vector<ExpectedMap> beside = {{"base colour", "sRGB", "albedo.png", "albedo", "albedo.png"},
                                             {"emissive", "sRGB", "glow.png", "glow", "glow.png"},
                                             {"normal", "normal map", "bumps.png", "bumps", "bumps.png"},
                                             {"metallic-roughness", "linear", "orm.png", "orm", "orm.png"},
                                             {"occlusion", "linear", "ao.png", "ao", "ao.png"}};
    runPlain(dir, "five.gltf", beside);
    {
        SCOPED_TRACE("five.gltf");
        expectMapsAsPlainRuns(dir, "five.gltf", "out-gltf", beside);
    }
    // Inside the .glb the maps are named after their material, every one but the colour map with its role added.
    std::vector<ExpectedMap> embedded = beside;
    const char* embeddedFolders[] = {"core", "core-emissive", "core-normal", "core-metallic-roughness", "core-occlusion"};
    for (size_t k = 0; k < embedded.size(); ++k) embedded[k].folder = embeddedFolders[k];
    for (ExpectedMap& map : embedded) map.source = "five.glb[core].png";
    SCOPED_TRACE("five.glb");
    expectMapsAsPlainRuns(dir, "five.glb", "out-glb", embedded);
}

// One picture as base colour and as metallic-roughness is read both ways, into two folders named after it and the
// first role of each way; one picture as normal and clearcoat normal is read one way, once, under its plain name.
TEST(MaterialMaps, APictureReadTwoWaysGetsAFolderForEachWay) {
    TempDir dir;
    writeDataPicture(dir.file("paint.png"));
    writeNormalPicture(dir.file("ribs.png"));
    GltfMaterial lacquer{"lacquer", 0};
    lacquer.metallicRoughnessImage = 0;
    lacquer.normalImage = 1;
    lacquer.clearcoatNormalImage = 1;
    writeGltf(dir.file("coat.gltf"), boxOfOneMaterial(lacquer, {"paint.png", "ribs.png"}), GltfForm::separate);
    const std::vector<ExpectedMap> maps = {
        {"base colour", "sRGB", "paint.png", "paint-base-colour", "paint.png"},
        {"normal, clearcoat normal", "normal map", "ribs.png", "ribs", "ribs.png"},
        {"metallic-roughness", "linear", "paint.png", "paint-metallic-roughness", "paint.png"}};
    runPlain(dir, "coat.gltf", maps);
    expectMapsAsPlainRuns(dir, "coat.gltf", "out", maps);
    // The two ways really differ: level 1 of the stripes is 188 as light, 128 as values.
    EXPECT_FALSE(readTextFile(dir.file("out/paint-base-colour/mip_1_box.png")) ==
                 readTextFile(dir.file("out/paint-metallic-roughness/mip_1_box.png")));
}

// An OBJ material's diffuse and specular maps are colour, its normal map vectors and its bump map (a height map)
// values, each in a folder named after its file.
TEST(MaterialMaps, EveryMapOfAnObjMaterialGivesThePlainRunOfItsRole) {
    TempDir dir;
    writeColourPicture(dir.file("planks.png"));
    writeGlowPicture(dir.file("shine.png"));
    writeNormalPicture(dir.file("planks_n.png"));
    writeDataPicture(dir.file("dents.png"));
    writeObjBox(dir, "crate", "map_Kd planks.png\nmap_Ks shine.png\nnorm planks_n.png\nmap_Bump dents.png\n");
    const std::vector<ExpectedMap> maps = {{"diffuse", "sRGB", "planks.png", "planks", "planks.png"},
                                           {"specular", "sRGB", "shine.png", "shine", "shine.png"},
                                           {"normal", "normal map", "planks_n.png", "planks_n", "planks_n.png"},
                                           {"height", "linear", "dents.png", "dents", "dents.png"}};
    runPlain(dir, "crate.obj", maps);
    expectMapsAsPlainRuns(dir, "crate.obj", "out", maps);
}

// Maps kiv does not process are each named, with the reason, before any work: a sheen map (MTL `map_Ps`), whose
// colour space no classic role gives, and a map given `-type sphere`, which the importer files as a reflection map.
// (A `refl` statement, as exporters write environment maps, the importer drops: it must not disturb the run.) The
// diffuse map beside them is processed and the run succeeds. A model with only such maps writes nothing and fails
// with one error line.
TEST(MaterialMaps, MapsKivDoesNotProcessAreNamedAndOnlyThemIsAnError) {
    TempDir dir;
    writeColourPicture(dir.file("planks.png"));
    writeGlowPicture(dir.file("sheen.png"));
    writeGlowPicture(dir.file("sky.png"));
    const std::string unprocessed = "map_Ps sheen.png\nmap_Ka -type sphere sky.png\n";
    const std::string sheenLine = "Texture 'sheen.png' (sheen) of material 'crate' is not processed: its role is "
                                  "unknown, so its colour space is unknown.";
    const std::string skyLine = "Texture 'sky.png' (reflection) of material 'crate' is not processed: an environment "
                                "map, not read through the model's texture coordinates.";
    writeObjBox(dir, "mixed", "map_Kd planks.png\n" + unprocessed + "refl -type sphere sky.png\n");
    const CommandResult mixed = runOk(dir, {"--from-model", "-o", "out", "mixed.obj"});
    const std::vector<std::string> lines = outputLines(mixed.output);
    const auto at = [&lines](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) - lines.begin();
    };
    const auto firstWork = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("Texture 'planks'", 0) == 0;
    }) - lines.begin();
    ASSERT_LT(firstWork, static_cast<long>(lines.size())) << mixed.output;
    EXPECT_LT(at(sheenLine), firstWork) << mixed.output;
    EXPECT_LT(at(skyLine), firstWork) << mixed.output;
    EXPECT_EQ(lines[firstWork], "Texture 'planks' (diffuse; sRGB) from planks.png: 12 triangles, 100.0 % of the "
                                "model's surface");
    EXPECT_EQ(listFiles(dir.file("out")), std::vector<std::string>{"planks"});

    writeObjBox(dir, "bare", unprocessed);
    const CommandResult bare = runKiv(dir.path, {"--threads", "1", "--from-model", "-o", "nothing", "bare.obj", "box"});
    EXPECT_EQ(bare.exitStatus, 1) << bare.output;
    EXPECT_NE(bare.output.find(sheenLine + "\n"), std::string::npos) << bare.output;
    EXPECT_NE(bare.output.find(skyLine + "\n"), std::string::npos) << bare.output;
    const std::vector<std::string> bareLines = outputLines(bare.output);
    const long errors = std::count_if(bareLines.begin(), bareLines.end(),
                                      [](const std::string& line) { return line.rfind("Error: ", 0) == 0; });
    EXPECT_EQ(errors, 1) << bare.output;
    const std::string noneProcessed =
        "Error: bare.obj: kiv processes none of the model's textures; each is named above with the reason\n";
    EXPECT_NE(bare.output.find(noneProcessed), std::string::npos) << bare.output;
    EXPECT_EQ(bare.output.find("Image is"), std::string::npos) << bare.output;
    EXPECT_TRUE(listFiles(dir.file("nothing")).empty());
}

// A plain run counts every triangle for the one texture given. An OBJ model whose materials name several colour
// textures gets a warning that says so and points to --from-model; one colour texture (other maps beside it) and
// the classic filters, which never read the triangles, get none.
TEST(MaterialMaps, APlainRunOfAnObjOfSeveralColourTexturesWarns) {
    TempDir dir;
    writeColourPicture(dir.file("planks.png"));
    writeTextFile(dir.file("two.mtl"), "newmtl wood\nmap_Kd -s 1 1 1 planks.png\nnewmtl metal\nmap_Kd rust.png\n"
                                       "newmtl more\nmap_Kd planks.png\n");
    writeTextFile(dir.file("two.obj"), "mtllib two.mtl\n" + readTextFile(KIV_SOURCE_DIR "/data/sample.obj"));
    const std::string warning = "Warning: two.obj: its materials name 2 textures (planks.png, rust.png), but every "
                                "triangle is counted for planks.png; --from-model processes each texture with the "
                                "triangles that use it";
    const CommandResult surface = runKiv(dir.path, {"--threads", "1", "two.obj", "planks.png", "kivbox"});
    EXPECT_EQ(surface.exitStatus, 0) << surface.output;
    EXPECT_NE(surface.output.find(warning + "\n"), std::string::npos) << surface.output;
    const CommandResult classic = runKiv(dir.path, {"--threads", "1", "two.obj", "planks.png", "box"});
    EXPECT_EQ(classic.output.find("Warning"), std::string::npos) << classic.output;

    writeObjBox(dir, "one", "map_Kd planks.png\nmap_Ks shine.png\n");
    const CommandResult one = runKiv(dir.path, {"--threads", "1", "one.obj", "planks.png", "kivbox"});
    EXPECT_EQ(one.output.find("Warning"), std::string::npos) << one.output;
}
