// Every texture of a scene model's materials: the role each is read in, how its bytes are decoded, which triangles
// read it, and the textures no role reads, with the reason.
#include "mesh/scene_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gltf_writer.h"
#include "test_support.h"

namespace {

// What a test expects of one texture of the model.
struct Expected {
    std::string name;
    std::string roles;
    TexelEncoding encoding;
    int32_t triangles;
};

const char* encodingName(TexelEncoding encoding) {
    return encoding == TexelEncoding::srgb ? "srgb" : encoding == TexelEncoding::linear ? "linear" : "normal";
}

SceneModel load(const std::string& path) {
    SceneModel model;
    std::string error;
    EXPECT_TRUE(loadSceneModel(path.c_str(), model, error)) << error;
    return model;
}

void expectTextures(const SceneModel& model, const std::vector<Expected>& expected) {
    ASSERT_EQ(model.textures.count, static_cast<int32_t>(expected.size()));
    for (size_t k = 0; k < expected.size(); ++k) {
        const SceneTexture& texture = model.textures[static_cast<int32_t>(k)];
        EXPECT_EQ(texture.name, expected[k].name) << "texture " << k;
        EXPECT_EQ(texture.roles, expected[k].roles) << "texture " << k;
        EXPECT_STREQ(encodingName(texture.encoding), encodingName(expected[k].encoding)) << "texture " << k;
        EXPECT_EQ(texture.mesh.triangles.count, expected[k].triangles) << "texture " << k;
    }
}

// A glTF texture reference: texture `index` (which shows image `index`) through coordinate set `set`.
std::string textureRef(int index, int set = 0) {
    return "{\"index\":" + std::to_string(index) + ",\"texCoord\":" + std::to_string(set) + "}";
}

// A glTF model of one unit square (two triangles) for each material, whose materials are the JSON objects given:
// texture k shows images[k]. Every square has two coordinate sets, the unit square and the unit square doubled, so
// that a texture's surface tells which set it is read through. The writer gives image k its texture k when its
// material k shows image k; those materials are then replaced by the ones given.
void writeModel(const std::string& path, const std::vector<std::string>& materials,
                const std::vector<std::string>& images, GltfForm form = GltfForm::separate) {
    GltfModel gltf;
    for (size_t m = 0; m < materials.size(); ++m) {
        GltfMesh square;
        square.positions = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0};
        square.texCoords = {{0, 0, 1, 0, 1, 1, 0, 1}, {0, 0, 2, 0, 2, 2, 0, 2}};
        square.indices = {0, 1, 2, 0, 2, 3};
        square.material = static_cast<int>(m);
        gltf.meshes.push_back(square);
        gltf.nodes.push_back({static_cast<int>(m), {}, {}});
        gltf.sceneNodes.push_back(static_cast<int>(m));
    }
    for (size_t k = 0; k < images.size(); ++k) gltf.materials.push_back({"", static_cast<int>(k), 0});
    gltf.images = images;
    writeGltf(path, gltf, form);
    std::string json = readTextFile(path);
    const size_t begin = json.find("\"materials\":"), end = json.find(",\"buffers\":", begin);
    std::string list;
    for (const std::string& material : materials) list += (list.empty() ? "" : ",") + material;
    json.replace(begin, end - begin, "\"materials\":[" + list + "]");
    json.insert(1, "\"extensionsUsed\":[\"KHR_materials_clearcoat\",\"KHR_materials_pbrSpecularGlossiness\"],");
    writeTextFile(path, json);
}

// The five maps of a glTF metallic-roughness material, each its own picture.
std::string coreMaterial(const std::string& name) {
    return "{\"name\":\"" + name + "\",\"pbrMetallicRoughness\":{\"baseColorTexture\":" + textureRef(0) +
           ",\"metallicRoughnessTexture\":" + textureRef(1) + "},\"normalTexture\":" + textureRef(2) +
           ",\"occlusionTexture\":" + textureRef(3, 1) + ",\"emissiveTexture\":" + textureRef(4) + "}";
}

}  // namespace

// Five maps are five textures, in the order of the roles (base colour, emissive, normal, metallic-roughness,
// occlusion), each decoded as its role reads it and named as before. The occlusion map is read through the second
// coordinate set, which doubles the square: all of its surface lies outside the unit square. A second material
// reading the same base colour adds its two triangles to that texture alone. A glTF model of another name is read
// by glTF's roles all the same.
TEST(TextureRoles, AGltfMaterialsFiveMapsAreFiveTexturesDecodedByTheirRoles) {
    TempDir dir;
    const std::vector<std::string> images = {"albedo.png", "orm.png", "bumps.png", "ao.png", "glow.png"};
    for (const char* name : {"five.gltf", "five.json"}) {
        writeModel(dir.file(name),
                   {coreMaterial("core"), "{\"name\":\"plain\",\"pbrMetallicRoughness\":{\"baseColorTexture\":" +
                                              textureRef(0) + "}}"},
                   images);
        const SceneModel model = load(dir.file(name));
        expectTextures(model, {{"albedo", "base colour", TexelEncoding::srgb, 4},
                               {"glow", "emissive", TexelEncoding::srgb, 2},
                               {"bumps", "normal", TexelEncoding::normal, 2},
                               {"orm", "metallic-roughness", TexelEncoding::linear, 2},
                               {"ao", "occlusion", TexelEncoding::linear, 2}});
        EXPECT_EQ(model.unhandled.count, 0);
        ASSERT_EQ(model.textures.count, 5);
        EXPECT_EQ(model.textures[0].materials.count, 2);
        EXPECT_EQ(model.textures[0].source, dir.file("albedo.png"));
        EXPECT_EQ(model.textures[1].materials.count, 1);
        EXPECT_EQ(model.textures[3].areaOutside, 0.0);
        EXPECT_NEAR(model.textures[4].area, 1.0, 1e-9);
        EXPECT_NEAR(model.textures[4].areaOutside, 1.0, 1e-9);
    }
}

// One picture read as base colour (sRGB) and, by a later material, as metallic-roughness (linear) is two textures,
// each named with its first role; a picture read one way keeps its plain name. An embedded picture's textures are
// named after the material that first reads it, and each holds the picture's bytes.
TEST(TextureRoles, APictureReadInTwoEncodingsIsTwoTexturesNamedByRole) {
    TempDir dir;
    writeModel(dir.file("two.gltf"),
               {"{\"name\":\"paint\",\"pbrMetallicRoughness\":{\"baseColorTexture\":" + textureRef(0) + "}}",
                "{\"name\":\"metal\",\"pbrMetallicRoughness\":{\"baseColorTexture\":" + textureRef(1) +
                    ",\"metallicRoughnessTexture\":" + textureRef(0, 1) + "}}"},
               {"wood.png", "steel.png"});
    const SceneModel model = load(dir.file("two.gltf"));
    expectTextures(model, {{"wood-base-colour", "base colour", TexelEncoding::srgb, 2},
                           {"steel", "base colour", TexelEncoding::srgb, 2},
                           {"wood-metallic-roughness", "metallic-roughness", TexelEncoding::linear, 2}});
    ASSERT_EQ(model.textures.count, 3);
    EXPECT_EQ(model.textures[0].source, model.textures[2].source);
    EXPECT_NEAR(model.textures[2].areaOutside, 1.0, 1e-9);  // read through the doubled set

    writeImageFile(dir.file("pic.png"), imageFromBytes(2, 2, std::vector<unsigned char>(12, 200)));
    writeModel(dir.file("embedded.gltf"),
               {"{\"name\":\"skin\",\"pbrMetallicRoughness\":{\"baseColorTexture\":" + textureRef(0) +
                ",\"metallicRoughnessTexture\":" + textureRef(0) + "}}"},
               {"pic.png"}, GltfForm::embedded);
    const SceneModel embedded = load(dir.file("embedded.gltf"));
    expectTextures(embedded, {{"skin-base-colour", "base colour", TexelEncoding::srgb, 2},
                              {"skin-metallic-roughness", "metallic-roughness", TexelEncoding::linear, 2}});
    ASSERT_EQ(embedded.textures.count, 2);
    for (const SceneTexture& texture : embedded.textures) {
        EXPECT_TRUE(texture.embedded);
        EXPECT_EQ(texture.source, dir.file("embedded.gltf") + "[skin].png");
        FloatImage image;
        std::string error;
        ASSERT_TRUE(loadSceneTexture(texture, image, error)) << error;
        EXPECT_EQ(image.width, 2);
    }
}

// The same picture as normal and clearcoat normal is one texture with both roles and the material's triangles once;
// the clearcoat roughness read from the metallic-roughness picture joins that texture. The two clearcoat slots the
// importer leaves empty before the clearcoat normal are no textures.
TEST(TextureRoles, OnePictureInSeveralRolesOfOneEncodingIsOneTexture) {
    TempDir dir;
    writeModel(dir.file("coat.gltf"),
               {"{\"name\":\"coat\",\"pbrMetallicRoughness\":{\"metallicRoughnessTexture\":" + textureRef(1) +
                "},\"normalTexture\":" + textureRef(0) +
                ",\"extensions\":{\"KHR_materials_clearcoat\":{\"clearcoatFactor\":1,\"clearcoatNormalTexture\":" +
                textureRef(0) + "}}}",
                "{\"name\":\"lacquer\",\"extensions\":{\"KHR_materials_clearcoat\":{\"clearcoatFactor\":1,"
                "\"clearcoatRoughnessTexture\":" + textureRef(1) + ",\"clearcoatNormalTexture\":" + textureRef(2) +
                "}}}"},
               {"ribs.png", "orm.png", "wrap.png"});
    const SceneModel model = load(dir.file("coat.gltf"));
    expectTextures(model, {{"ribs", "normal, clearcoat normal", TexelEncoding::normal, 2},
                           {"orm", "metallic-roughness, clearcoat roughness", TexelEncoding::linear, 4},
                           {"wrap", "clearcoat normal", TexelEncoding::normal, 2}});
    ASSERT_EQ(model.textures.count, 3);
    EXPECT_EQ(model.textures[0].materials.count, 1);
    EXPECT_EQ(model.textures[1].materials.count, 2);
    EXPECT_EQ(model.unhandled.count, 0);
}

// An OBJ material's diffuse and specular maps are colour, its normal map normal vectors and its bump map (a height
// map to the importer) linear values.
TEST(TextureRoles, AnObjMaterialsMapsAreReadByTheirClassicRoles) {
    TempDir dir;
    writeTextFile(dir.file("crate.obj"), "mtllib crate.mtl\nusemtl crate\n" + unitSquareObj());
    writeTextFile(dir.file("crate.mtl"),
                  "newmtl crate\nKd 1 1 1\nmap_Kd planks.png\nmap_Ks shine.png\nnorm planks_n.png\n"
                  "map_Bump dents.png\n");
    const SceneModel model = load(dir.file("crate.obj"));
    expectTextures(model, {{"planks", "diffuse", TexelEncoding::srgb, 2},
                           {"shine", "specular", TexelEncoding::srgb, 2},
                           {"planks_n", "normal", TexelEncoding::normal, 2},
                           {"dents", "height", TexelEncoding::linear, 2}});
    ASSERT_EQ(model.textures.count, 4);
    EXPECT_EQ(model.textures[0].materials[0], "crate");
    EXPECT_EQ(model.unhandled.count, 0);
}

// Textures that no role reads are listed with the reason, by the file the material names: a COLLADA material's
// reflective texture is an environment map; the second of a DirectX material's two diffuse textures is past the
// first of its role; a glTF material whose specular-glossiness diffuse texture names another picture than its base
// colour texture reads the base colour one. The textures beside them are read as usual.
TEST(TextureRoles, TexturesNoRoleReadsAreUnhandledWithTheReason) {
    TempDir dir;
    writeTextFile(dir.file("shiny.dae"), R"(<?xml version="1.0" encoding="utf-8"?>
<COLLADA xmlns="http://www.collada.org/2005/11/COLLADASchema" version="1.4.1">
  <library_images>
    <image id="paint"><init_from>paint.png</init_from></image>
    <image id="sky"><init_from>sky.png</init_from></image>
  </library_images>
  <library_effects><effect id="fx"><profile_COMMON><technique sid="common"><phong>
    <diffuse><texture texture="paint" texcoord="UV"/></diffuse>
    <reflective><texture texture="sky" texcoord="UV"/></reflective>
  </phong></technique></profile_COMMON></effect></library_effects>
  <library_materials><material id="shiny" name="shiny"><instance_effect url="#fx"/></material></library_materials>
  <library_geometries><geometry id="g"><mesh>
    <source id="p"><float_array id="pa" count="9">0 0 0 1 0 0 1 1 0</float_array><technique_common>
      <accessor source="#pa" count="3" stride="3"><param name="X" type="float"/><param name="Y" type="float"/>
      <param name="Z" type="float"/></accessor></technique_common></source>
    <source id="t"><float_array id="ta" count="6">0 0 1 0 1 1</float_array><technique_common>
      <accessor source="#ta" count="3" stride="2"><param name="S" type="float"/><param name="T" type="float"/>
      </accessor></technique_common></source>
    <vertices id="v"><input semantic="POSITION" source="#p"/></vertices>
    <triangles material="m" count="1"><input semantic="VERTEX" source="#v" offset="0"/>
      <input semantic="TEXCOORD" source="#t" offset="0" set="0"/><p>0 1 2</p></triangles>
  </mesh></geometry></library_geometries>
  <library_visual_scenes><visual_scene id="s"><node id="n"><instance_geometry url="#g"><bind_material>
    <technique_common><instance_material symbol="m" target="#shiny">
      <bind_vertex_input semantic="UV" input_semantic="TEXCOORD" input_set="0"/></instance_material>
    </technique_common></bind_material></instance_geometry></node></visual_scene></library_visual_scenes>
  <scene><instance_visual_scene url="#s"/></scene>
</COLLADA>
)");
    const SceneModel collada = load(dir.file("shiny.dae"));
    expectTextures(collada, {{"paint", "diffuse", TexelEncoding::srgb, 1}});
    ASSERT_EQ(collada.unhandled.count, 1);
    EXPECT_EQ(collada.unhandled[0].file, "sky.png");
    EXPECT_EQ(collada.unhandled[0].material, "shiny");
    EXPECT_EQ(collada.unhandled[0].role, "reflection");
    EXPECT_EQ(collada.unhandled[0].reason, "an environment map, not read through the model's texture coordinates");

    writeTextFile(dir.file("layered.x"), R"(xof 0303txt 0032
Mesh tri {
 3;
 0.0;0.0;0.0;,
 1.0;0.0;0.0;,
 1.0;1.0;0.0;;
 1;
 3;0,1,2;;
 MeshTextureCoords { 3; 0.0;1.0;, 1.0;1.0;, 1.0;0.0;; }
 MeshMaterialList { 1; 1; 0;;
  Material layered { 1.0;1.0;1.0;1.0;; 0.0; 0.0;0.0;0.0;; 0.0;0.0;0.0;;
   TextureFilename { "stone.png"; }
   TextureFilename { "moss.png"; }
  }
 }
}
)");
    const SceneModel layered = load(dir.file("layered.x"));
    expectTextures(layered, {{"stone", "diffuse", TexelEncoding::srgb, 1}});
    ASSERT_EQ(layered.unhandled.count, 1);
    EXPECT_EQ(layered.unhandled[0].file, "moss.png");
    EXPECT_EQ(layered.unhandled[0].role, "diffuse");
    EXPECT_EQ(layered.unhandled[0].reason, "kiv processes the first texture of each role");

    writeModel(dir.file("both.gltf"),
               {"{\"name\":\"both\",\"pbrMetallicRoughness\":{\"baseColorTexture\":" + textureRef(0) +
                "},\"extensions\":{\"KHR_materials_pbrSpecularGlossiness\":{\"diffuseTexture\":" + textureRef(1) +
                ",\"specularGlossinessTexture\":" + textureRef(2) + "}}}"},
               {"albedo.png", "diffuse.png", "specgloss.png"});
    const SceneModel both = load(dir.file("both.gltf"));
    expectTextures(both, {{"albedo", "base colour", TexelEncoding::srgb, 2},
                          {"specgloss", "specular-glossiness", TexelEncoding::srgb, 2}});
    ASSERT_EQ(both.unhandled.count, 1);
    EXPECT_EQ(both.unhandled[0].file, "diffuse.png");
    EXPECT_EQ(both.unhandled[0].role, "base colour");
    EXPECT_EQ(both.unhandled[0].reason, "the material reads its base colour from albedo.png");
}

// How the texture files a model names are found: a glTF image's URI is percent-decoded ("my%20quad.png" is the file
// "my quad.png"); a name the model gives in another case than the file beside it ("IMAGE1.JPG" for "IMAGE1.jpg") is
// found after the exact name fails, and the texture says so; a file of the exact name wins over one in another
// case; and a name the importer makes up for a material without a texture ("$texture_dummy.bmp") is no file, so
// that material's texture is listed as not processed while the model's other textures are read.
TEST(TextureRoles, TextureFilesAreFoundByDecodedUrisAndCaseBlindNamesAndPlaceholdersAreNone) {
    TempDir dir;
    writeTextFile(dir.file("my quad.png"), "picture");
    writeModel(dir.file("quad.gltf"), {"{\"name\":\"q\",\"pbrMetallicRoughness\":{\"baseColorTexture\":" +
                                           textureRef(0) + "}}"},
               {"my%20quad.png"});
    const SceneModel quad = load(dir.file("quad.gltf"));
    ASSERT_EQ(quad.textures.count, 1);
    EXPECT_EQ(quad.textures[0].source, dir.file("my quad.png"));
    EXPECT_EQ(quad.textures[0].foundNote, "");

    writeTextFile(dir.file("IMAGE1.jpg"), "picture");
    writeTextFile(dir.file("exact.png"), "picture");
    writeTextFile(dir.file("EXACT.PNG"), "picture");
    writeTextFile(dir.file("box.obj"), "mtllib box.mtl\nusemtl a\n" + unitSquareObj() + "usemtl b\nf 1/1 3/3 4/4\n"
                                       "usemtl c\nf 1/1 2/2 4/4\n");
    writeTextFile(dir.file("box.mtl"), "newmtl a\nmap_Kd IMAGE1.JPG\nnewmtl b\nmap_Kd $texture_dummy.bmp\n"
                                       "newmtl c\nmap_Kd exact.png\n");
    const SceneModel box = load(dir.file("box.obj"));
    ASSERT_EQ(box.textures.count, 2);
    EXPECT_EQ(box.textures[0].source, dir.file("IMAGE1.jpg"));
    EXPECT_NE(box.textures[0].foundNote.find("'IMAGE1.JPG'"), std::string::npos) << box.textures[0].foundNote;
    EXPECT_EQ(box.textures[1].source, dir.file("exact.png"));
    EXPECT_EQ(box.textures[1].foundNote, "");
    ASSERT_EQ(box.unhandled.count, 1);
    EXPECT_EQ(box.unhandled[0].file, "$texture_dummy.bmp");
    EXPECT_EQ(box.unhandled[0].material, "b");
    EXPECT_NE(box.unhandled[0].reason.find("placeholder"), std::string::npos) << box.unhandled[0].reason;
}
