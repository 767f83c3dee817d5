// Reading models through the scene importer: triangles placed by their nodes, and the colour textures of the
// materials with the triangles that use each.
#include "mesh/scene_model.h"

#include <strings.h>
#include <sys/stat.h>

#include <assimp/DefaultIOSystem.h>
#include <assimp/Importer.hpp>
#include <assimp/material.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>
#include <fstream>
#include <new>

#include "image/texture_io.h"

// Doubling past this would overflow the 32-bit capacity of a GrowArray (as in the OBJ reader).
static const int64_t maxModelItems = int64_t{1} << 30;
// Nodes deeper than this are taken for a broken hierarchy rather than a model.
static const int32_t maxNodeDepth = 1024;

bool isObjPath(const char* path) {
    const size_t length = std::strlen(path);
    if (length < 4) return false;
    const char* extension = path + length - 4;
    return extension[0] == '.' && (extension[1] | 0x20) == 'o' && (extension[2] | 0x20) == 'b' &&
           (extension[3] | 0x20) == 'j';
}

static bool modelError(std::string& error, const std::string& path, const std::string& what) {
    error = "Error: " + path + ": " + what;
    return false;
}

// The importer reads whatever path it is given; a missing file, a folder, or a device or FIFO (which would never
// end) is refused here with the system's reason.
static bool checkModelFile(const char* path, std::string& error) {
    struct stat info;
    if (stat(path, &info) != 0) return modelError(error, path, std::string("cannot open the model (") + std::strerror(errno) + ")");
    if (S_ISDIR(info.st_mode)) return modelError(error, path, "cannot open the model (it is a folder)");
    if (!S_ISREG(info.st_mode)) return modelError(error, path, "cannot open the model (not a regular file)");
    return true;
}

// An OFF file declares its vertex and face counts up front and the importer reserves that much memory at once
// before reading a line: a count of billions in a small file would claim many gigabytes and spend minutes filling
// them. Each vertex takes at least 5 bytes of text ("0 0 0") and each face 4 ("1 0" and a separator), so a header
// declaring more than the file can hold is refused before the importer sees it.
static bool checkDeclaredCounts(const char* path, std::string& error) {
    std::ifstream stream(path, std::ios::binary);
    std::string head(4096, '\0');
    stream.read(&head[0], static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(stream.gcount()));
    stream.clear();
    stream.seekg(0, std::ios::end);
    const long long fileSize = static_cast<long long>(stream.tellg());
    // The words of the head, comments ("#" to the line's end) left out.
    GrowArray<std::string> words;
    std::string word;
    bool comment = false;
    for (const char c : head) {
        if (c == '#') comment = true;
        if (c == '\n' || c == '\r') comment = false;
        if (!comment && !std::isspace(static_cast<unsigned char>(c)) && c != '#') {
            word.push_back(c);
        } else if (!word.empty()) {
            append(words, word);
            word.clear();
        }
        if (words.count >= 3) break;
    }
    if (words.count < 3) return true;
    const std::string& keyword = words[0];
    const bool off = keyword.size() >= 3 && keyword.size() <= 6 &&
                     strcasecmp(keyword.c_str() + keyword.size() - 3, "off") == 0;
    if (!off) return true;
    long double counts[2];
    for (int k = 0; k < 2; ++k) {
        char* end = nullptr;
        counts[k] = std::strtold(words[k + 1].c_str(), &end);
        if (end == words[k + 1].c_str()) return true;  // not a count: the importer says what is wrong
    }
    if (counts[0] * 5 + counts[1] * 4 <= static_cast<long double>(fileSize) + 1) return true;
    return modelError(error, path,
                      "declares " + words[1] + " vertices and " + words[2] + " faces, more than its " +
                          std::to_string(fileSize) + " bytes can hold");
}

// The colour texture of a material: its base colour texture, else its diffuse one, when it is mapped through
// texture coordinates.
struct MaterialTexture {
    bool present = false;
    aiString file;
    uint32_t coordinateSet = 0;
    bool repeating = true;
};

static MaterialTexture colourTexture(const aiMaterial& material) {
    MaterialTexture found;
    for (const aiTextureType type : {aiTextureType_BASE_COLOR, aiTextureType_DIFFUSE}) {
        if (material.GetTextureCount(type) == 0) continue;
        aiTextureMapping mapping = aiTextureMapping_UV;
        unsigned int set = 0;
        aiTextureMapMode modes[2] = {aiTextureMapMode_Wrap, aiTextureMapMode_Wrap};
        if (material.GetTexture(type, 0, &found.file, &mapping, &set, nullptr, nullptr, modes) != AI_SUCCESS) continue;
        if (mapping != aiTextureMapping_UV || found.file.length == 0) continue;
        found.present = true;
        found.coordinateSet = set;
        found.repeating = modes[0] == aiTextureMapMode_Wrap && modes[1] == aiTextureMapMode_Wrap;
        return found;
    }
    return found;
}

// The file name without its folder (either separator) and its extension.
static std::string fileStem(const std::string& file) {
    const size_t slash = file.find_last_of("/\\");
    std::string stem = slash == std::string::npos ? file : file.substr(slash + 1);
    const size_t dot = stem.find_last_of('.');
    if (dot != std::string::npos && dot > 0) stem.erase(dot);
    return stem;
}

// A name that can stand as one folder name: letters, digits, '.', '-' and '_' kept, everything else '_'.
static std::string folderName(const std::string& wanted) {
    std::string name = wanted.substr(0, 100);
    for (char& c : name) {
        const bool plain = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
        if (!plain) c = '_';
    }
    if (name.empty() || name.find_first_not_of('.') == std::string::npos) name = "texture";
    return name;
}

static bool nameTaken(const SceneModel& model, const std::string& name) {
    for (const SceneTexture& texture : model.textures) {
        if (texture.name == name) return true;
    }
    return false;
}

static std::string uniqueName(const SceneModel& model, const std::string& wanted) {
    const std::string base = folderName(wanted);
    std::string name = base;
    for (int suffix = 2; nameTaken(model, name); ++suffix) name = base + "-" + std::to_string(suffix);
    return name;
}

static bool isFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

// The texture file a material names: relative to the model's folder unless absolute, with '\' read as a folder
// separator; when no file is there, the file of the same name beside the model (models made on another machine
// keep that machine's folders).
static std::string resolveTextureFile(const std::string& modelPath, const std::string& stored) {
    const size_t slash = modelPath.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string() : modelPath.substr(0, slash + 1);
    std::string file = stored;
    for (char& c : file) {
        if (c == '\\') c = '/';
    }
    const std::string asStored = !file.empty() && file[0] == '/' ? file : folder + file;
    if (isFile(asStored)) return asStored;
    const size_t last = file.find_last_of('/');
    const std::string beside = folder + (last == std::string::npos ? file : file.substr(last + 1));
    return isFile(beside) ? beside : asStored;
}

// Copies an embedded texture: a picture file's bytes (height 0, width the byte count), or raw BGRA texels stored
// top row first, turned so that row 0 is the bottom as in every FloatImage.
static bool copyEmbedded(const aiTexture& embedded, SceneTexture& texture, std::string& error) {
    if (!embedded.pcData) return modelError(error, texture.source, "the embedded texture holds no data");
    if (embedded.mHeight == 0) {
        if (embedded.mWidth == 0 || embedded.mWidth > static_cast<unsigned>(INT32_MAX)) {
            return modelError(error, texture.source, "the embedded texture's size is out of range");
        }
        resize(texture.encoded, static_cast<int32_t>(embedded.mWidth));
        std::memcpy(texture.encoded.items, embedded.pcData, embedded.mWidth);
        return true;
    }
    const uint64_t count = uint64_t{embedded.mWidth} * embedded.mHeight;
    if (embedded.mWidth > static_cast<unsigned>(INT32_MAX) || embedded.mHeight > static_cast<unsigned>(INT32_MAX) ||
        count > static_cast<uint64_t>(INT32_MAX)) {
        return modelError(error, texture.source, "the embedded texture is too large");
    }
    const int32_t width = static_cast<int32_t>(embedded.mWidth), height = static_cast<int32_t>(embedded.mHeight);
    allocateImage(texture.texels, width, height);
    bool opaque = true;
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const aiTexel& t = embedded.pcData[static_cast<int64_t>(height - 1 - y) * width + x];
            texture.texels.at(x, y) = Texel{unitFromByte(t.r), unitFromByte(t.g), unitFromByte(t.b), unitFromByte(t.a)};
            opaque = opaque && t.a == 255;
        }
    }
    texture.texels.hasAlpha = !opaque;
    return true;
}

// The texture a material names, found among those already met or added: index into model.textures.
static bool findOrAddTexture(const aiScene& scene, const aiMaterial& material, const MaterialTexture& wanted,
                             const std::string& modelPath, SceneModel& model, GrowArray<std::string>& keys,
                             int32_t& index, std::string& error) {
    const std::pair<const aiTexture*, int> embedded = scene.GetEmbeddedTextureAndIndex(wanted.file.C_Str());
    const std::string key = embedded.first ? "*" + std::to_string(embedded.second)
                                           : resolveTextureFile(modelPath, wanted.file.C_Str());
    for (index = 0; index < keys.count; ++index) {
        if (keys[index] == key) return true;
    }
    SceneTexture texture;
    const std::string materialName = material.GetName().C_Str();
    if (embedded.first) {
        texture.embedded = true;
        texture.name = uniqueName(model, materialName.empty() ? fileStem(embedded.first->mFilename.C_Str()) : materialName);
        texture.source = modelPath + "[" + (materialName.empty() ? "texture " + std::to_string(embedded.second) : materialName) + "]";
        // The picture's format hint ("png", "jpg") as an extension, for formats known by their name alone.
        std::string hint;
        for (const char c : embedded.first->achFormatHint) {
            if (!std::isalnum(static_cast<unsigned char>(c))) break;
            hint.push_back(c);
        }
        if (embedded.first->mHeight == 0 && !hint.empty()) texture.source += "." + hint;
        if (!copyEmbedded(*embedded.first, texture, error)) return false;
    } else {
        texture.name = uniqueName(model, fileStem(wanted.file.C_Str()));
        texture.source = key;
    }
    append(model.textures, std::move(texture));
    append(keys, key);
    return true;
}

static double triangleArea(const Point3& a, const Point3& b, const Point3& c) {
    // Half the length of the cross product of two edges, in 64-bit float.
    const double ux = double{b.x} - a.x, uy = double{b.y} - a.y, uz = double{b.z} - a.z;
    const double vx = double{c.x} - a.x, vy = double{c.y} - a.y, vz = double{c.z} - a.z;
    const double nx = uy * vz - uz * vy, ny = uz * vx - ux * vz, nz = ux * vy - uy * vx;
    return 0.5 * std::sqrt(nx * nx + ny * ny + nz * nz);
}

// Coordinates this far outside the unit square count as leaving it (rounding in exporters puts corners a hair out).
static const float outsideTolerance = 1e-4f;

static bool outsideUnitSquare(const TexPoint& t) {
    return t.u < -outsideTolerance || t.u > 1 + outsideTolerance || t.v < -outsideTolerance || t.v > 1 + outsideTolerance;
}

// Appends one placement of a mesh to `target`: its vertices moved by `placement`, texture coordinates from `set`,
// and its triangles. Returns the triangles' area; `outside` gets the area of those with a corner off the unit square.
static bool appendPlacedMesh(const aiMesh& mesh, const aiMatrix4x4& placement, uint32_t set, Mesh& target,
                             double& area, double& outside, const std::string& path, std::string& error) {
    if (target.positions.count + int64_t{mesh.mNumVertices} > maxModelItems ||
        target.triangles.count + int64_t{mesh.mNumFaces} > maxModelItems) {
        return modelError(error, path, "too many vertices or triangles");
    }
    // The arrays grow by doubling as they are appended to: reserving exactly this placement's room would copy them
    // once per placement, quadratic in the placements of a scene.
    const int32_t first = target.positions.count;
    for (unsigned int v = 0; v < mesh.mNumVertices; ++v) {
        const aiVector3D p = placement * mesh.mVertices[v];
        const aiVector3D& t = mesh.mTextureCoords[set][v];
        append(target.positions, Point3{p.x, p.y, p.z});
        append(target.texCoords, TexPoint{t.x, t.y});
    }
    area = outside = 0;
    for (unsigned int f = 0; f < mesh.mNumFaces; ++f) {
        const aiFace& face = mesh.mFaces[f];
        if (face.mNumIndices != 3) continue;  // points and lines have no surface
        MeshTriangle triangle;
        bool off = false;
        for (int c = 0; c < 3; ++c) {
            const int32_t index = first + static_cast<int32_t>(face.mIndices[c]);
            const Point3& p = target.positions[index];
            const TexPoint& t = target.texCoords[index];
            if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z) || !std::isfinite(t.u) ||
                !std::isfinite(t.v)) {
                return modelError(error, path,
                                  "mesh '" + std::string(mesh.mName.C_Str()) + "' has a position or texture coordinate that is not finite");
            }
            triangle.positionIndex[c] = triangle.texCoordIndex[c] = index;
            off = off || outsideUnitSquare(t);
        }
        const double a = triangleArea(target.positions[triangle.positionIndex[0]],
                                      target.positions[triangle.positionIndex[1]],
                                      target.positions[triangle.positionIndex[2]]);
        area += a;
        if (off) outside += a;
        append(target.triangles, triangle);
    }
    return true;
}

// The area of a mesh's triangles as placed, whether or not they carry texture coordinates.
static double placedArea(const aiMesh& mesh, const aiMatrix4x4& placement) {
    double area = 0;
    for (unsigned int f = 0; f < mesh.mNumFaces; ++f) {
        const aiFace& face = mesh.mFaces[f];
        if (face.mNumIndices != 3) continue;
        Point3 corners[3];
        for (int c = 0; c < 3; ++c) {
            const aiVector3D p = placement * mesh.mVertices[face.mIndices[c]];
            corners[c] = Point3{p.x, p.y, p.z};
        }
        const double a = triangleArea(corners[0], corners[1], corners[2]);
        if (std::isfinite(a)) area += a;
    }
    return area;
}

struct PlacedNode {
    const aiNode* node;
    aiMatrix4x4 placement;  // the product of the transforms from the root down to this node
    int32_t depth;
};

static bool flattenScene(const aiScene& scene, const char* path, SceneModel& model, std::string& error) {
    // Per material: its texture's index in model.textures (-1 without one) and the coordinate set it reads.
    GrowArray<int32_t> textureOf;
    GrowArray<uint32_t> setOf;
    GrowArray<std::string> keys;
    resize(textureOf, static_cast<int32_t>(scene.mNumMaterials));
    resize(setOf, static_cast<int32_t>(scene.mNumMaterials));
    for (unsigned int m = 0; m < scene.mNumMaterials; ++m) {
        const MaterialTexture wanted = colourTexture(*scene.mMaterials[m]);
        textureOf[m] = -1;
        setOf[m] = wanted.coordinateSet;
        if (!wanted.present) continue;
        if (!findOrAddTexture(scene, *scene.mMaterials[m], wanted, path, model, keys, textureOf[m], error)) return false;
        SceneTexture& texture = model.textures[textureOf[m]];
        append(texture.materials, std::string(scene.mMaterials[m]->GetName().C_Str()));
        texture.repeatingSampler = texture.repeatingSampler && wanted.repeating;
    }

    GrowArray<PlacedNode> pending;
    if (scene.mRootNode) append(pending, PlacedNode{scene.mRootNode, scene.mRootNode->mTransformation, 0});
    while (pending.count > 0) {
        const PlacedNode placed = pending[pending.count - 1];
        --pending.count;
        if (placed.depth > maxNodeDepth) return modelError(error, path, "its nodes are nested too deeply");
        for (unsigned int k = 0; k < placed.node->mNumMeshes; ++k) {
            const aiMesh& mesh = *scene.mMeshes[placed.node->mMeshes[k]];
            model.area += placedArea(mesh, placed.placement);
            double area = 0, outside = 0;
            if (mesh.HasTextureCoords(0) &&
                !appendPlacedMesh(mesh, placed.placement, 0, model.mesh, area, outside, path, error)) {
                return false;
            }
            if (mesh.mMaterialIndex >= scene.mNumMaterials) continue;
            const int32_t t = textureOf[static_cast<int32_t>(mesh.mMaterialIndex)];
            if (t < 0) continue;
            const uint32_t set = setOf[static_cast<int32_t>(mesh.mMaterialIndex)];
            if (set >= AI_MAX_NUMBER_OF_TEXTURECOORDS || !mesh.HasTextureCoords(set)) continue;
            SceneTexture& texture = model.textures[t];
            if (!appendPlacedMesh(mesh, placed.placement, set, texture.mesh, area, outside, path, error)) return false;
            texture.area += area;
            texture.areaOutside += outside;
        }
        for (unsigned int k = 0; k < placed.node->mNumChildren; ++k) {
            const aiNode* child = placed.node->mChildren[k];
            append(pending, PlacedNode{child, placed.placement * child->mTransformation, placed.depth + 1});
        }
    }
    if (model.mesh.triangles.count == 0) return modelError(error, path, "no triangle has texture coordinates");
    return true;
}

namespace {

// The importer's file system, refusing every file that is not a regular one: a glTF buffer, an OBJ's material
// library or any other file a model names that is a FIFO or a device would block the read, or never end.
// (The default one tests whether a file exists by opening it, which blocks on a FIFO.)
class RegularFilesOnly : public Assimp::DefaultIOSystem {
public:
    bool Exists(const char* file) const override {
        struct stat info;
        return stat(file, &info) == 0 && S_ISREG(info.st_mode);
    }
    Assimp::IOStream* Open(const char* file, const char* mode) override {
        struct stat info;
        if (stat(file, &info) == 0 && !S_ISREG(info.st_mode)) return nullptr;
        return Assimp::DefaultIOSystem::Open(file, mode);
    }
};

}  // namespace

bool loadSceneModel(const char* path, SceneModel& model, std::string& error) {
    model = SceneModel();
    if (!checkModelFile(path, error) || !checkDeclaredCounts(path, error)) return false;
    Assimp::Importer importer;
    importer.SetIOHandler(new RegularFilesOnly);  // the importer owns it
    // Faces become triangles; the importer's own check of the result (indices within their arrays, counts that
    // match the arrays, no dangling references) runs before the scene is handed over.
    const unsigned int steps = aiProcess_Triangulate | aiProcess_ValidateDataStructure;
    const aiScene* scene = nullptr;
    try {
        scene = importer.ReadFile(path, steps);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& failure) {
        return modelError(error, path, std::string("cannot read the model (") + failure.what() + ")");
    }
    if (!scene) {
        // The importer's messages may run over several lines; the error is one.
        std::string reason = importer.GetErrorString();
        for (char& c : reason) {
            if (static_cast<unsigned char>(c) < 0x20) c = ' ';
        }
        return modelError(error, path, "cannot read the model (" + reason + ")");
    }
    return flattenScene(*scene, path, model, error);
}

bool loadSceneTexture(const SceneTexture& texture, FloatImage& image, std::string& error) {
    if (!texture.embedded) return loadTexture(texture.source.c_str(), image, error);
    if (texture.encoded.count > 0) {
        return decodeTexture(texture.encoded.items, static_cast<size_t>(texture.encoded.count), texture.source.c_str(),
                             INT32_MAX, image, error);
    }
    if (texture.texels.count == 0) return modelError(error, texture.source, "the embedded texture has no texels");
    image = texture.texels;
    return true;
}
