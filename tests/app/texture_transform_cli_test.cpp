// --from-model on a glTF model whose materials read one picture through KHR_texture_transform, end to end: the
// levels and the surface error show that each material's triangles read the part of the picture its transform
// points at, and a material whose texture is read through a coordinate set its mesh lacks is named.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "gltf_writer.h"
#include "test_support.h"

namespace {

const double pi = 3.14159265358979323846;

// The picture is side x side; each quarter is a colour of its own inside a magenta frame `frame` texels wide.
const int side = 64, quarter = side / 2, frame = 4;
const std::array<unsigned char, 3> magenta = {255, 0, 255};
// The quarters' colours as glTF sees the picture, v down: [top, bottom][left, right].
const std::array<unsigned char, 3> colours[2][2] = {{{{230, 40, 40}}, {{40, 200, 60}}},
                                                    {{{40, 60, 220}}, {{230, 210, 40}}}};

// Row 0 of the picture is its bottom, glTF's v = 1.
void writeQuarters(const std::string& path) {
    std::vector<unsigned char> rgb;
    for (int y = 0; y < side; ++y) {
        const int fromTop = side - 1 - y;
        for (int x = 0; x < side; ++x) {
            const int lx = x % quarter, ly = fromTop % quarter;
            const bool inFrame = lx < frame || lx >= quarter - frame || ly < frame || ly >= quarter - frame;
            const std::array<unsigned char, 3>& c = inFrame ? magenta : colours[fromTop / quarter][x / quarter];
            rgb.insert(rgb.end(), c.begin(), c.end());
        }
    }
    writeImageFile(path, imageFromBytes(side, side, rgb));
}

GltfTextureTransform transform(float ou, float ov, float rotation, float su, float sv, int texCoord = -1) {
    GltfTextureTransform t;
    t.offset[0] = ou, t.offset[1] = ov;
    t.rotation = rotation;
    t.scale[0] = su, t.scale[1] = sv;
    t.texCoord = texCoord;
    return t;
}

// Four unit squares side by side, square k read by material k through coordinate set 0 or, when its transform
// names it, set 1. Every transform takes its coordinates onto the middle of one quarter, [1/8, 3/8] of the picture
// on each side, away from the frame by a quarter of the quarter (glTF's axes, v down):
// - the unit square, scaled by 1/4 and offset onto the top right;
// - the lower half of the unit square (v from 1/2 to 1), scaled by (1/4, 1/2) to a square 1/4 wide, turned a
//   quarter (glTF's (u, v) to (v, -u)) and offset back onto the top left: turned the other way, or scaled after the
//   turn, it would read frames and other quarters;
// - the unit square in set 1, scaled by 1/4 and offset onto the bottom left; set 0 there spans the picture 4 times;
// - the unit square, scaled by 1/4, turned half about glTF's origin (not the picture's centre) and offset back onto
//   the bottom right.
GltfModel quartersModel() {
    const std::vector<GltfTextureTransform> transforms = {
        transform(0.625f, 0.125f, 0, 0.25f, 0.25f), transform(-0.125f, 0.375f, static_cast<float>(pi / 2), 0.25f, 0.5f),
        transform(0.125f, 0.625f, 0, 0.25f, 0.25f, 1), transform(0.875f, 0.875f, static_cast<float>(pi), 0.25f, 0.25f)};
    GltfModel model;
    for (int k = 0; k < 4; ++k) {
        GltfMesh square;
        const float x0 = 2.0f * static_cast<float>(k);
        square.positions = {x0, 0, 0, x0 + 1, 0, 0, x0 + 1, 1, 0, x0, 1, 0};
        square.texCoords = {{0, 0, 1, 0, 1, 1, 0, 1}, {0, 0, 1, 0, 1, 1, 0, 1}};
        if (k == 1) square.texCoords[0] = {0, 0, 1, 0, 1, 0.5f, 0, 0.5f};  // v up: glTF's v from 1/2 to 1
        if (k == 2) square.texCoords[0] = {0, 0, 4, 0, 4, 4, 0, 4};
        square.indices = {0, 1, 2, 0, 2, 3};
        square.material = k;
        model.meshes.push_back(square);
        model.nodes.push_back({k, {}, {}});
        model.sceneNodes.push_back(k);
        GltfMaterial material{"read" + std::to_string(k), 0, 0};
        material.transform = transforms[k];
        model.materials.push_back(material);
    }
    model.images = {"quarters.png"};
    return model;
}

// The RMS surface error of `filter` at `level`, from report.csv.
double surfaceError(const std::string& csv, const std::string& filter, int level) {
    for (const std::vector<std::string>& row : csvRows(csv)) {
        if (row.size() >= 5 && row[0] == filter && row[1] == std::to_string(level)) return std::atof(row[4].c_str());
    }
    ADD_FAILURE() << "no row for " << filter << " at level " << level;
    return -1;
}

int distance(const unsigned char* texel, const std::array<unsigned char, 3>& colour) {
    int largest = 0;
    for (int c = 0; c < 3; ++c) largest = std::max(largest, std::abs(int(texel[c]) - int(colour[c])));
    return largest;
}

}  // namespace

// Each material's triangles read the middle of their quarter, and only that: at level 2 (16 x 16, a texel 4 x 4 of
// the picture's) boxig keeps each quarter's colour at its middle and has no magenta anywhere, as no triangle reads
// the frames (their texels are filled from the coarser levels, which average what is read). At level 4 (a texel a
// quarter of a quarter) the surface's bilinear reach is the four texels of its quarter, a quarter of each of them
// read, which boxig makes the average of the texels read, the quarter's colour: the surface error is nil but for
// rounding. kivbi's levels 1 and 2 are within 0.01 of the picture over the surface. Read without the transforms,
// the squares would span the whole picture, frames and all: 0.3 at level 4, 0.04 and 0.09 at levels 1 and 2.
TEST(TextureTransformRun, EachMaterialReadsTheQuarterItsTransformPointsAt) {
    TempDir dir;
    writeQuarters(dir.file("quarters.png"));
    for (const GltfForm form : {GltfForm::separate, GltfForm::binary}) {
        const std::string model = form == GltfForm::binary ? "quarters.glb" : "quarters.gltf";
        const std::string out = form == GltfForm::binary ? "out-glb" : "out-gltf";
        SCOPED_TRACE(model);
        writeGltf(dir.file(model), quartersModel(), form);
        const CommandResult result =
            runKiv(dir.path, {"--threads", "1", "--from-model", "--report", "-o", out, model, "boxig", "kivbi"});
        ASSERT_EQ(result.exitStatus, 0) << result.output;
        const std::string folder = form == GltfForm::binary ? "read0" : "quarters";
        const std::string source = form == GltfForm::binary ? "quarters.glb[read0].png" : "quarters.png";
        EXPECT_NE(result.output.find("Texture '" + folder + "' (base colour; sRGB) from " + source +
                                     ": 8 triangles, 100.0 % of the model's surface\n"),
                  std::string::npos)
            << result.output;
        EXPECT_EQ(result.output.find("Warning"), std::string::npos) << result.output;
        EXPECT_EQ(result.output.find("is not processed"), std::string::npos) << result.output;

        const DecodedImage level = readImageFile(dir.file(out + "/" + folder + "/mip_2_boxig.png"));
        ASSERT_EQ(level.width, 16);
        ASSERT_EQ(level.height, 16);
        for (int y = 0; y < 16; ++y) {
            for (int x = 0; x < 16; ++x) {
                EXPECT_GT(distance(&level.rgb[3 * (16 * y + x)], magenta), 60)
                    << "level 2 at (" << x << ", " << y << ")";
            }
        }
        for (int top = 0; top < 2; ++top) {
            for (int right = 0; right < 2; ++right) {
                const int x = 8 * right + 4, y = 15 - (8 * top + 4);
                EXPECT_LE(distance(&level.rgb[3 * (16 * y + x)], colours[top][right]), 2)
                    << "the middle of quarter " << (top ? "bottom " : "top ") << (right ? "right" : "left");
            }
        }
        const std::string csv = readTextFile(dir.file(out + "/" + folder + "/report.csv"));
        EXPECT_LT(surfaceError(csv, "boxig", 4), 1e-3);
        EXPECT_LT(surfaceError(csv, "kivbi", 1), 0.01);
        EXPECT_LT(surfaceError(csv, "kivbi", 2), 0.01);
    }
}

// A material that reads its texture through the second coordinate set, named by the extension, of a mesh with one
// set: the texture is named with the reason before any work, and, as no triangle reads it, nothing is written.
TEST(TextureTransformRun, ATextureReadThroughASetItsMeshLacksIsNamed) {
    TempDir dir;
    writeQuarters(dir.file("quarters.png"));
    GltfModel model = quartersModel();
    model.meshes.resize(1);
    model.meshes[0].texCoords.resize(1);
    model.nodes.resize(1);
    model.sceneNodes.resize(1);
    model.materials = {model.materials[2]};
    model.meshes[0].material = 0;
    writeGltf(dir.file("lacking.gltf"), model, GltfForm::separate);
    const CommandResult result =
        runKiv(dir.path, {"--threads", "1", "--from-model", "-o", "out", "lacking.gltf", "box"});
    EXPECT_EQ(result.exitStatus, 1) << result.output;
    EXPECT_NE(result.output.find("Texture 'quarters.png' (base colour) of material 'read2' is not processed: the "
                                 "material reads it through texture coordinate set 1, which mesh 'meshes[0]' lacks; 2 "
                                 "triangles are left out.\n"),
              std::string::npos)
        << result.output;
    EXPECT_TRUE(listFiles(dir.file("out")).empty());
}
