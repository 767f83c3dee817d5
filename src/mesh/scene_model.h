// Models in the formats the scene importer reads (glTF 2.0, FBX, COLLADA and many more): their triangles with
// texture coordinates, and every texture their materials read, each with the role it is read in, how its bytes are
// decoded, and the triangles that read it.
#pragma once

#include <cstdint>
#include <string>

#include "base/grow_array.h"
#include "image/float_image.h"
#include "image/pixel_bytes.h"
#include "mesh/obj_model.h"

// One picture of the model's materials read in one encoding, and the surface that reads it. A picture read in two
// encodings (a glTF base colour that is also its metallic-roughness texture) is two textures.
struct SceneTexture {
    std::string name;                // the file's stem, or the material's name when embedded; unique in the model.
                                     // A picture read in several encodings gets "-<first role>" added (spaces '-')
    std::string source;              // the file as found (beside the model when the stored path is not there), or
                                     // "<model>[<material>]" for an embedded texture: names it in messages
    bool embedded = false;
    GrowArray<uint8_t> encoded;      // an embedded picture file (PNG, JPEG, ...); empty for raw texels or a file
    FloatImage texels;               // embedded raw texels, channels byte / 255, row 0 the bottom of the picture
    Mesh mesh;                       // every triangle whose material reads the texture, once for each way the
                                     // material reads it: through the coordinate set it names (in glTF, that of the
                                     // reference's KHR_texture_transform when it names one), moved as that
                                     // transform says; node transforms applied, not normalised
    double area = 0;                 // the area of those triangles (counted once for each way they read it)
    double areaOutside = 0;          // the area of those of them with a corner outside the unit square
    bool repeatingSampler = true;    // false when a material asks for clamped or mirrored coordinates
    GrowArray<std::string> materials;  // the names of the materials that read it
    TexelEncoding encoding = TexelEncoding::srgb;  // how every role below reads the picture
    std::string foundNote;           // how the file was found when not under the name the model gives (beside the
                                     // model in another case), for the texture's line; empty otherwise
    bool alphaIsOpacity = false;     // whether a role reads its alpha as the surface's opacity (base colour, diffuse)
    std::string roles;               // the roles it is read in, in first-met order, joined by ", " (e.g.
                                     // "base colour" or "metallic-roughness, clearcoat roughness")
};

// A texture a material names that no texture of the model reads, and why.
struct UnhandledTexture {
    std::string file;      // the texture as the material names it, or an embedded one's source as in SceneTexture
    std::string material;  // the material's name
    std::string role;      // e.g. "reflection", or the importer's name of the texture type for one of unknown role
    std::string reason;    // completes "... is not processed: <reason>"
};

// A whole scene flattened into model space.
struct SceneModel {
    Mesh mesh;                       // every triangle with a first texture coordinate set, node transforms applied
    double area = 0;                 // the area of every triangle of the scene, with or without coordinates
    GrowArray<SceneTexture> textures;  // in the order of the materials that first read them, within a material in
                                       // the order of its roles
    GrowArray<UnhandledTexture> unhandled;  // textures of the materials that no texture reads, each with the reason
};

// Whether the model goes to the OBJ reader (an ".obj" name, in any case) rather than to the scene importer.
bool isObjPath(const char* path);

// Reads the model through the scene importer: faces triangulated, each mesh placed by the transforms of every node
// that shows it. Returns false with a one-line "<path>: <reason>" when the importer refuses the file, the
// file's JSON nests more than 512 levels deep, a glTF node has more than one parent, faces name vertices that do
// not exist, the nodes place more vertices or triangles
// than memory can be asked for, a used position or texture coordinate is not finite, or no triangle has texture
// coordinates. Every texture of every material is gathered by the role its slot gives it (a glTF model's by glTF's
// roles, other formats' by the classic ones) into model.textures, or into model.unhandled with the reason; a
// material's meshes that have texture coordinates but not the set it reads a texture through are named in
// model.unhandled too (their triangles are not the texture's). A glTF 2.0 texture reference's KHR_texture_transform
// (offset, rotation, scale and coordinate set) is applied to its coordinates as glTF defines it; other formats'
// texture transforms are not applied.
bool loadSceneModel(const char* path, SceneModel& model, std::string& error);

// Decodes the texture into `image` as loadTexture does a file (channels byte / 255, as stored: texture.encoding says
// how to read them). Returns false with a one-line message naming texture.source when it cannot be read.
bool loadSceneTexture(const SceneTexture& texture, FloatImage& image, std::string& error);
