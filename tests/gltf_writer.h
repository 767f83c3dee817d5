// A small glTF 2.0 writer for the tests: meshes of one triangle primitive with any number of coordinate sets, nodes,
// materials with a base colour texture and the other maps of a metallic-roughness material, each reference with
// KHR_texture_transform if asked, written as a .gltf with a .bin beside it, as a .gltf with everything in data URIs,
// or as a .glb.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct GltfMesh {
    std::vector<float> positions;                // x y z per vertex
    std::vector<std::vector<float>> texCoords;   // per coordinate set: u v per vertex, v up as in OBJ files
    std::vector<uint32_t> indices;               // three per triangle
    int material = -1;
};

struct GltfNode {
    int mesh = -1;
    std::vector<float> matrix;   // 16 values, column-major; empty for none
    std::vector<int> children;
};

// glTF's KHR_texture_transform on a texture reference: uv' = T(offset) R(rotation) S(scale) uv in glTF's axes (v
// down), R = [cos sin; -sin cos]; the texture is read through coordinate set `texCoord` instead of the reference's
// own when it is 0 or more.
struct GltfTextureTransform {
    float offset[2] = {0, 0};
    float rotation = 0;  // radians
    float scale[2] = {1, 1};
    int texCoord = -1;
};

struct GltfMaterial {
    std::string name;
    int image = -1;              // the base colour texture: index into GltfModel::images; -1 for none
    int texCoord = 0;            // the coordinate set its textures read
    bool clampToEdge = false;    // the sampler clamps instead of repeating
    // The material's other maps, indices into GltfModel::images (-1 for none), read through the same coordinate set
    // and sampler as its base colour texture. The clearcoat normal map comes with KHR_materials_clearcoat at factor 1.
    int normalImage = -1;
    int metallicRoughnessImage = -1;
    int occlusionImage = -1;
    int emissiveImage = -1;      // with an emissive factor of 1, which the map scales
    int clearcoatNormalImage = -1;
    // KHR_texture_transform on every texture reference of the material (listed among the model's extensions), and
    // on its emissive map instead when emissiveTransform is given.
    std::optional<GltfTextureTransform> transform = std::nullopt;
    std::optional<GltfTextureTransform> emissiveTransform = std::nullopt;
};

struct GltfModel {
    std::vector<GltfMesh> meshes;
    std::vector<GltfNode> nodes;
    std::vector<int> sceneNodes;         // the roots
    std::vector<GltfMaterial> materials;
    std::vector<std::string> images;     // PNG files, named relative to the folder of the model
};

// separate: the buffer in "<stem>.bin" beside the model and the images referred to by name; embedded: buffer and
// images in base64 data URIs; binary: a .glb whose binary chunk holds the buffer and the images.
enum class GltfForm { separate, embedded, binary };

// Writes `model` to `path` (its folder holds the images); texture coordinates are stored with v flipped, as glTF
// puts the origin at the top left.
void writeGltf(const std::string& path, const GltfModel& model, GltfForm form);

// A column-major matrix that scales by (sx, sy, sz), turns by `degrees` about z and then moves by (tx, ty, tz).
std::vector<float> gltfMatrix(float sx, float sy, float sz, float degrees, float tx, float ty, float tz);

// The unit square as a glTF model whose one material "square" names the picture `image`.
GltfModel squareGltf(const std::string& image);
