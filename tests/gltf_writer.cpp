// The tests' glTF 2.0 writer: JSON assembled as text, one buffer of float and index arrays (and images for .glb).
#include "gltf_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

static std::string fileBytes(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) throw std::runtime_error("cannot read " + path);
    std::ostringstream bytes;
    bytes << stream.rdbuf();
    return bytes.str();
}

static std::string base64(const std::string& bytes) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t k = 0; k < bytes.size(); k += 3) {
        uint32_t group = static_cast<uint8_t>(bytes[k]) << 16;
        if (k + 1 < bytes.size()) group |= static_cast<uint8_t>(bytes[k + 1]) << 8;
        if (k + 2 < bytes.size()) group |= static_cast<uint8_t>(bytes[k + 2]);
        for (int c = 0; c < 4; ++c) {
            text.push_back(k + c <= bytes.size() ? alphabet[(group >> (18 - 6 * c)) & 63] : '=');
        }
    }
    return text;
}

static std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.9g", value);
    return text;
}

static std::string list(const std::vector<std::string>& items) {
    std::string text = "[";
    for (size_t k = 0; k < items.size(); ++k) text += (k ? "," : "") + items[k];
    return text + "]";
}

// The binary buffer and the JSON of the views and accessors into it.
struct BufferBuilder {
    std::string bytes;
    std::vector<std::string> views, accessors;

    int addView(const void* data, size_t size) {
        while (bytes.size() % 4) bytes.push_back('\0');
        views.push_back("{\"buffer\":0,\"byteOffset\":" + std::to_string(bytes.size()) +
                        ",\"byteLength\":" + std::to_string(size) + "}");
        bytes.append(static_cast<const char*>(data), size);
        return static_cast<int>(views.size()) - 1;
    }
    int addFloats(const std::vector<float>& values, int components, const char* type, bool bounds) {
        const int view = addView(values.data(), values.size() * sizeof(float));
        std::string accessor = "{\"bufferView\":" + std::to_string(view) + ",\"componentType\":5126,\"count\":" +
                               std::to_string(values.size() / components) + ",\"type\":\"" + type + "\"";
        if (bounds) {
            std::vector<std::string> low, high;
            for (int c = 0; c < components; ++c) {
                float lo = values[c], hi = values[c];
                for (size_t k = c; k < values.size(); k += components) lo = std::min(lo, values[k]), hi = std::max(hi, values[k]);
                low.push_back(number(lo)), high.push_back(number(hi));
            }
            accessor += ",\"min\":" + list(low) + ",\"max\":" + list(high);
        }
        accessors.push_back(accessor + "}");
        return static_cast<int>(accessors.size()) - 1;
    }
    int addIndices(const std::vector<uint32_t>& indices) {
        const int view = addView(indices.data(), indices.size() * sizeof(uint32_t));
        accessors.push_back("{\"bufferView\":" + std::to_string(view) + ",\"componentType\":5125,\"count\":" +
                            std::to_string(indices.size()) + ",\"type\":\"SCALAR\"}");
        return static_cast<int>(accessors.size()) - 1;
    }
};

static std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

void writeGltf(const std::string& path, const GltfModel& model, GltfForm form) {
    BufferBuilder buffer;
    std::vector<std::string> meshes, images, textures, materials, nodes, samplers;
    for (const GltfMesh& mesh : model.meshes) {
        std::string attributes = "\"POSITION\":" + std::to_string(buffer.addFloats(mesh.positions, 3, "VEC3", true));
        for (size_t set = 0; set < mesh.texCoords.size(); ++set) {
            std::vector<float> flipped = mesh.texCoords[set];
            for (size_t k = 1; k < flipped.size(); k += 2) flipped[k] = 1 - flipped[k];
            attributes += ",\"TEXCOORD_" + std::to_string(set) + "\":" + std::to_string(buffer.addFloats(flipped, 2, "VEC2", false));
        }
        std::string primitive = "{\"attributes\":{" + attributes + "},\"indices\":" +
                                std::to_string(buffer.addIndices(mesh.indices)) + ",\"mode\":4";
        if (mesh.material >= 0) primitive += ",\"material\":" + std::to_string(mesh.material);
        meshes.push_back("{\"primitives\":[" + primitive + "}]}");
    }
    for (const std::string& image : model.images) {
        if (form == GltfForm::separate) {
            images.push_back("{\"uri\":\"" + image + "\"}");
        } else if (form == GltfForm::embedded) {
            images.push_back("{\"uri\":\"data:image/png;base64," + base64(fileBytes(folderOf(path) + image)) + "\"}");
        } else {
            const std::string bytes = fileBytes(folderOf(path) + image);
            images.push_back("{\"bufferView\":" + std::to_string(buffer.addView(bytes.data(), bytes.size())) +
                             ",\"mimeType\":\"image/png\"}");
        }
    }
    samplers.push_back("{\"wrapS\":10497,\"wrapT\":10497}");
    samplers.push_back("{\"wrapS\":33071,\"wrapT\":33071}");
    bool clearcoat = false, textureTransform = false;
    for (const GltfMaterial& material : model.materials) {
        // A texture of its own for each map the material names: the image through the material's sampler, read
        // through its coordinate set, transformed if asked. The base colour texture comes first, so a model of base
        // colour textures alone gives material k's texture the index k when every material has one.
        const auto reference = [&](int image, const std::optional<GltfTextureTransform>& transform) {
            textures.push_back("{\"source\":" + std::to_string(image) + ",\"sampler\":" +
                               (material.clampToEdge ? "1" : "0") + "}");
            std::string text = "{\"index\":" + std::to_string(textures.size() - 1) + ",\"texCoord\":" +
                               std::to_string(material.texCoord);
            if (transform) {
                textureTransform = true;
                text += ",\"extensions\":{\"KHR_texture_transform\":{\"offset\":" +
                        list({number(transform->offset[0]), number(transform->offset[1])}) +
                        ",\"rotation\":" + number(transform->rotation) +
                        ",\"scale\":" + list({number(transform->scale[0]), number(transform->scale[1])});
                if (transform->texCoord >= 0) text += ",\"texCoord\":" + std::to_string(transform->texCoord);
                text += "}}";
            }
            return text + "}";
        };
        const auto mapReference = [&](int image) { return reference(image, material.transform); };
        std::vector<std::string> pbr, fields = {"\"name\":\"" + material.name + "\""};
        if (material.image >= 0) pbr.push_back("\"baseColorTexture\":" + mapReference(material.image));
        if (material.metallicRoughnessImage >= 0) {
            pbr.push_back("\"metallicRoughnessTexture\":" + mapReference(material.metallicRoughnessImage));
        }
        if (!pbr.empty()) {
            std::string object = "{";
            for (size_t k = 0; k < pbr.size(); ++k) object += (k ? "," : "") + pbr[k];
            fields.push_back("\"pbrMetallicRoughness\":" + object + "}");
        }
        if (material.normalImage >= 0) fields.push_back("\"normalTexture\":" + mapReference(material.normalImage));
        if (material.occlusionImage >= 0) {
            fields.push_back("\"occlusionTexture\":" + mapReference(material.occlusionImage));
        }
        if (material.emissiveImage >= 0) {
            fields.push_back("\"emissiveTexture\":" +
                             reference(material.emissiveImage, material.emissiveTransform ? material.emissiveTransform
                                                                                          : material.transform));
            fields.push_back("\"emissiveFactor\":[1,1,1]");
        }
        if (material.clearcoatNormalImage >= 0) {
            clearcoat = true;
            fields.push_back("\"extensions\":{\"KHR_materials_clearcoat\":{\"clearcoatFactor\":1,"
                             "\"clearcoatNormalTexture\":" + mapReference(material.clearcoatNormalImage) + "}}");
        }
        std::string text = "{";
        for (size_t k = 0; k < fields.size(); ++k) text += (k ? "," : "") + fields[k];
        materials.push_back(text + "}");
    }
    for (const GltfNode& node : model.nodes) {
        std::vector<std::string> fields;
        if (node.mesh >= 0) fields.push_back("\"mesh\":" + std::to_string(node.mesh));
        if (!node.matrix.empty()) {
            std::vector<std::string> values;
            for (float v : node.matrix) values.push_back(number(v));
            fields.push_back("\"matrix\":" + list(values));
        }
        if (!node.children.empty()) {
            std::vector<std::string> children;
            for (int child : node.children) children.push_back(std::to_string(child));
            fields.push_back("\"children\":" + list(children));
        }
        std::string text = "{";
        for (size_t k = 0; k < fields.size(); ++k) text += (k ? "," : "") + fields[k];
        nodes.push_back(text + "}");
    }
    std::vector<std::string> roots;
    for (int root : model.sceneNodes) roots.push_back(std::to_string(root));

    const size_t dot = path.find_last_of('.');
    const std::string binName = path.substr(folderOf(path).size(), dot - folderOf(path).size()) + ".bin";
    std::string bufferJson = "{\"byteLength\":" + std::to_string(buffer.bytes.size());
    if (form == GltfForm::separate) bufferJson += ",\"uri\":\"" + binName + "\"";
    if (form == GltfForm::embedded) bufferJson += ",\"uri\":\"data:application/octet-stream;base64," + base64(buffer.bytes) + "\"";
    bufferJson += "}";
    std::vector<std::string> extensions;
    if (clearcoat) extensions.push_back("\"KHR_materials_clearcoat\"");
    if (textureTransform) extensions.push_back("\"KHR_texture_transform\"");
    std::string json = std::string("{\"asset\":{\"version\":\"2.0\"},") +
                       (extensions.empty() ? "" : "\"extensionsUsed\":" + list(extensions) + ",") +
                       "\"scene\":0,\"scenes\":[{\"nodes\":" + list(roots) +
                       "}],\"nodes\":" + list(nodes) + ",\"meshes\":" + list(meshes) + ",\"materials\":" +
                       list(materials) + ",\"buffers\":[" + bufferJson + "],\"bufferViews\":" + list(buffer.views) +
                       ",\"accessors\":" + list(buffer.accessors);
    if (!images.empty()) {
        json += ",\"images\":" + list(images) + ",\"samplers\":" + list(samplers) + ",\"textures\":" + list(textures);
    }
    json += "}";

    std::ofstream out(path, std::ios::binary);
    if (form != GltfForm::binary) {
        out << json;
        if (form == GltfForm::separate) std::ofstream(folderOf(path) + binName, std::ios::binary) << buffer.bytes;
        return;
    }
    // A .glb: a 12-byte header, then the JSON chunk padded with spaces and the binary chunk padded with zeros, each
    // behind its length and type.
    while (json.size() % 4) json.push_back(' ');
    while (buffer.bytes.size() % 4) buffer.bytes.push_back('\0');
    const auto word = [&out](uint32_t value) { out.write(reinterpret_cast<const char*>(&value), 4); };
    word(0x46546C67), word(2), word(static_cast<uint32_t>(12 + 8 + json.size() + 8 + buffer.bytes.size()));
    word(static_cast<uint32_t>(json.size())), word(0x4E4F534A);
    out << json;
    word(static_cast<uint32_t>(buffer.bytes.size())), word(0x004E4942);
    out << buffer.bytes;
}

std::vector<float> gltfMatrix(float sx, float sy, float sz, float degrees, float tx, float ty, float tz) {
    const double angle = degrees * 3.14159265358979323846 / 180, c = std::cos(angle), s = std::sin(angle);
    // Columns of R(z) S followed by the translation.
    return {static_cast<float>(c * sx), static_cast<float>(s * sx), 0, 0,
            static_cast<float>(-s * sy), static_cast<float>(c * sy), 0, 0,
            0, 0, sz, 0,
            tx, ty, tz, 1};
}

GltfModel squareGltf(const std::string& image) {
    GltfModel model;
    GltfMesh square;
    square.positions = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0};
    square.texCoords = {{0, 0, 1, 0, 1, 1, 0, 1}};
    square.indices = {0, 1, 2, 0, 2, 3};
    square.material = 0;
    model.meshes = {square};
    model.nodes = {{0, {}, {}}};
    model.sceneNodes = {0};
    model.materials = {{"square", 0, 0}};
    model.images = {image};
    return model;
}
