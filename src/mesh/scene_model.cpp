// Reading models through the scene importer: triangles placed by their nodes, and every texture of the materials,
// by the role it is read in, with the triangles that read each.
#include "mesh/scene_model.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <assimp/DefaultIOSystem.h>
#include <assimp/DefaultLogger.hpp>
#include <assimp/Importer.hpp>
#include <assimp/MemoryIOWrapper.h>
#include <assimp/commonMetaData.h>
#include <assimp/material.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <rapidjson/document.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <new>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "image/texture_io.h"

// Placed vertices or triangles past this many are refused before any is placed. At the limit the model's arrays take
// 5.5 GiB (20 bytes a vertex, 24 a triangle) and the textures' copies of them as much again for every texture a
// material reads (a glTF material may read five or more); only a scene that places its meshes far more often than
// real models do comes near it, and it would run for minutes, then out of memory. It also keeps every array well
// inside the 2^30 items a GrowArray can double to.
static const int64_t maxPlacedItems = int64_t{1} << 27;
// Nodes deeper than this are taken for a broken hierarchy rather than a model.
static const int32_t maxNodeDepth = 1024;
// A model's JSON nested deeper than this is refused before the importer reads it; real glTF nests fewer than ten.
static const int maxJsonDepth = 512;

bool isObjPath(const char* path) {
    const size_t length = std::strlen(path);
    if (length < 4) return false;
    const char* extension = path + length - 4;
    return extension[0] == '.' && (extension[1] | 0x20) == 'o' && (extension[2] | 0x20) == 'b' &&
           (extension[3] | 0x20) == 'j';
}

static bool modelError(std::string& error, const std::string& path, const std::string& what) {
    error = path + ": " + what;
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

// The first `size` bytes of the file (fewer when it is shorter), and its size in `fileSize`.
static std::string fileHead(std::ifstream& stream, size_t size, long long& fileSize) {
    std::string head(size, '\0');
    stream.read(&head[0], static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(stream.gcount()));
    stream.clear();
    stream.seekg(0, std::ios::end);
    fileSize = static_cast<long long>(stream.tellg());
    return head;
}

// An OFF file declares its vertex and face counts up front and the importer reserves that much memory at once
// before reading a line: a count of billions in a small file would claim many gigabytes and spend minutes filling
// them. Each vertex takes at least 5 bytes of text ("0 0 0") and each face 4 ("1 0" and a separator), so a header
// declaring more than the file can hold is refused before the importer sees it.
static bool checkDeclaredCounts(const char* path, std::string& error) {
    std::ifstream stream(path, std::ios::binary);
    long long fileSize = 0;
    const std::string head = fileHead(stream, 4096, fileSize);
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

// The JSON of a glTF model: the whole of a text file whose first character past white space opens an object or an
// array, or the JSON chunk of a binary one (the "glTF" signature, then version, length, and the chunk's length and
// type). Empty for every other file. Arrays are taken too, though no glTF model is one, because the importer hands
// a JSON file of any name to its JSON reader, and that reader must not see one nested too deeply.
static std::string gltfJson(const char* path) {
    std::ifstream stream(path, std::ios::binary);
    long long fileSize = 0;
    const std::string head = fileHead(stream, 20, fileSize);
    long long start = 0, length = 0;
    if (head.compare(0, 4, "glTF") == 0) {
        if (head.size() < 20) return std::string();
        for (int k = 3; k >= 0; --k) length = length << 8 | static_cast<unsigned char>(head[12 + k]);
        start = 20;
    } else {
        // However much white space comes first (the importer's reader skips it all), past a byte order mark.
        stream.clear();
        stream.seekg(head.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0);
        int c = stream.get();
        while (c == ' ' || c == '\t' || c == '\r' || c == '\n') c = stream.get();
        if (c != '{' && c != '[') return std::string();
        length = fileSize;
    }
    // A chunk length past the end of the file is cut to what the file holds.
    std::string json(static_cast<size_t>(std::max(0LL, std::min(length, fileSize - start))), '\0');
    stream.clear();
    stream.seekg(start);
    stream.read(&json[0], static_cast<std::streamsize>(json.size()));
    json.resize(static_cast<size_t>(stream.gcount()));
    return json;
}

namespace {

// The node lists of a glTF model's JSON, gathered as the reader walks the text: the node that lists each node as
// a child, and the roots of each scene. The lists are the top-level "nodes" and "scenes": arrays whose entries are
// known by position (glTF 2.0), or objects whose entries are known by name (glTF 1.0); in each entry, the array
// "children" of a node or "nodes" of a scene, whose strings and numbers, as written, are node ids. Anything else,
// at any depth, is passed over. The reader reports each value, key and bracket in turn; the place in the text is
// kept as the depth of open brackets, the top-level member, the entry and whether the entry's member being read
// is its list. Strings are seen where they lie in the text, and only node ids are copied.
class GltfNodeLists : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, GltfNodeLists> {
public:
    std::string fault;     // the first node found listed twice as a child, or "" while none is
    bool tooDeep = false;  // brackets opened more than maxJsonDepth deep
    bool named = false;    // nodes known by name rather than by position
    std::unordered_map<std::string, std::string> parentOf;             // node id to the id of the node listing it
    GrowArray<std::pair<std::string, GrowArray<std::string>>> scenes;  // scene label and the ids of its roots

    std::string node(const std::string& id) const { return named ? "node '" + id + "'" : "node " + id; }

    // Each returns whether the reader goes on.
    bool StartObject() { return open(Value::object); }
    bool StartArray() { return open(Value::array); }
    bool EndObject(rapidjson::SizeType) { return close(); }
    bool EndArray(rapidjson::SizeType) { return close(); }
    // A string, or a number as written (the reader is asked for numbers as strings).
    bool String(const char* text, rapidjson::SizeType length, bool) {
        return scalar(std::string_view(text, length));
    }
    // null, true or false: never a node id.
    bool Default() { return scalar(std::string_view()); }
    bool Key(const char* text, rapidjson::SizeType length, bool) {
        const std::string_view key(text, length);
        if (depth_ == 1) {
            section_ = key == "nodes" ? Section::nodes : key == "scenes" ? Section::scenes : Section::other;
            listMember_ = inList_ = false;
        } else if (depth_ == 2 && section_ != Section::other && namedEntries_) {
            beginEntry(std::string(key));
        } else if (depth_ == 3) {
            listMember_ = (section_ == Section::nodes && key == "children") ||
                          (section_ == Section::scenes && key == "nodes");
        }
        return true;
    }

private:
    enum class Section { other, nodes, scenes };
    enum class Value { scalar, object, array };

    bool open(Value kind) {
        if (depth_ == maxJsonDepth) {
            tooDeep = true;
            return false;
        }
        begin(kind);
        ++depth_;
        return true;
    }
    bool close() {
        --depth_;
        return true;
    }
    bool scalar(std::string_view text) {
        begin(Value::scalar);
        if (depth_ != 4 || !inList_ || text.empty()) return true;  // an empty id is the importer's to refuse
        return listed(std::string(text));
    }

    // Called as each value begins, before the depth counts a bracket it opens.
    void begin(Value kind) {
        if (section_ == Section::other) return;
        if (depth_ == 1) {  // the collection
            if (section_ == Section::nodes) named = kind == Value::object;
            namedEntries_ = kind == Value::object;
            position_ = 0;
        } else if (depth_ == 2 && !namedEntries_) {
            beginEntry(std::to_string(position_++));
        } else if (depth_ == 3) {  // the value of an entry's member
            inList_ = listMember_ && kind == Value::array;
            listMember_ = false;
        }
    }

    void beginEntry(std::string id) {
        entry_ = std::move(id);
        listMember_ = false;
        if (section_ == Section::scenes) {
            append(scenes, std::make_pair(namedEntries_ ? "scene '" + entry_ + "'" : "scene " + entry_,
                                          GrowArray<std::string>()));
        }
    }

    // Records the node `id` in the list of the current entry; false when it has a parent already.
    bool listed(std::string id) {
        if (section_ == Section::scenes) {
            append(scenes[scenes.count - 1].second, std::move(id));
            return true;
        }
        const auto entry = parentOf.emplace(id, entry_);
        if (entry.second) return true;
        const std::string& first = entry.first->second;
        fault = first == entry_ ? node(id) + " is listed twice among the children of " + node(entry_)
                                : node(id) + " is a child of both " + node(first) + " and " + node(entry_);
        return false;
    }

    int depth_ = 0;                      // brackets open
    Section section_ = Section::other;   // the top-level member being read
    bool namedEntries_ = false;          // the collection is an object
    int64_t position_ = 0;               // entries of an array collection begun so far
    std::string entry_;                  // the id of the node, or the name or position of the scene, being read
    bool listMember_ = false;            // the entry's member whose value comes next is its list of nodes
    bool inList_ = false;                // the entry's member most recently begun is its list of nodes
};

}  // namespace

// What is wrong with a model's JSON, or "" for JSON that is sound (or that the reader cannot follow: the importer
// then says what is wrong with the file):
// - Nesting past maxJsonDepth. The reader here keeps its place without recursing, but the importer's recurses once
//   a level: a file of 200 000 '[' (200 KB) overflows its stack.
// - A node with more than one parent: listed as a child twice, as the child of two nodes, as a root of a scene and
//   a child, or twice as a root of one scene. The importer would copy such a node, with everything below it, once
//   for every path that leads to it (a chain of 25 nodes, each listing the next twice, becomes 2^25 nodes).
// The text is read in place: strings are unescaped where they stand, so a data URI of many megabytes is not copied.
static std::string gltfJsonFault(std::string text) {
    if (text.empty()) return std::string();
    GltfNodeLists lists;
    rapidjson::InsituStringStream stream(&text[0]);
    rapidjson::Reader reader;
    const rapidjson::ParseResult parsed =
        reader.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseInsituFlag |
                     rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseStopWhenDoneFlag>(stream, lists);
    if (lists.tooDeep) return "its JSON nests more than " + std::to_string(maxJsonDepth) + " levels deep";
    std::string fault = lists.fault;
    if (fault.empty() && !parsed.IsError()) {
        for (const auto& [scene, roots] : lists.scenes) {
            std::unordered_set<std::string> seen;
            for (const std::string& root : roots) {
                const auto parent = lists.parentOf.find(root);
                if (!seen.insert(root).second) {
                    fault = lists.node(root) + " is listed twice among the roots of " + scene;
                } else if (parent != lists.parentOf.end()) {
                    fault = lists.node(root) + " is both a root of " + scene + " and a child of " +
                            lists.node(parent->second);
                }
                if (!fault.empty()) break;
            }
            if (!fault.empty()) break;
        }
    }
    return fault.empty() ? fault : fault + "; a glTF node has one parent at most";
}

static bool checkGltfJson(const char* path, const std::string& json, std::string& error) {
    const std::string fault = gltfJsonFault(json);
    return fault.empty() || modelError(error, path, fault);
}

// A glTF 2.0 texture reference's KHR_texture_transform may name the coordinate set the texture is read through
// ("texCoord" in the extension overrides the reference's own). The importer (5.2) reports the reference's own set
// only, so the model is handed to it with each such reference's "texCoord" made the extension's. Returns that JSON,
// or "" when no reference needs it (the extension is not among those the model uses, as then it is not read at all,
// or every set it names is the reference's already) or the JSON cannot be read (the importer then says why). A
// reference is any object of a material, at any depth, with the extension: glTF puts it on texture references only.
static std::string withOverriddenCoordinateSets(const std::string& json) {
    const std::string extension = "KHR_texture_transform";
    if (json.find(extension) == std::string::npos) return std::string();
    const size_t start = json.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseFullPrecisionFlag>(json.data() + start,
                                                                                          json.size() - start);
    if (document.HasParseError() || !document.IsObject()) return std::string();
    const auto used = document.FindMember("extensionsUsed");
    const auto materials = document.FindMember("materials");
    if (used == document.MemberEnd() || !used->value.IsArray() || materials == document.MemberEnd() ||
        !materials->value.IsArray()) {
        return std::string();
    }
    const rapidjson::Value name(rapidjson::StringRef(extension.data(), extension.size()));
    const auto names = used->value.GetArray();
    if (std::find(names.begin(), names.end(), name) == names.end()) return std::string();
    bool changed = false;
    GrowArray<rapidjson::Value*> pending;
    for (rapidjson::Value& material : materials->value.GetArray()) append(pending, &material);
    while (pending.count > 0) {
        rapidjson::Value& value = *pending[pending.count - 1];
        --pending.count;
        if (value.IsArray()) {
            for (rapidjson::Value& item : value.GetArray()) append(pending, &item);
            continue;
        }
        if (!value.IsObject()) continue;
        // The reference is changed before its members are queued: adding a member may move them.
        const auto extensions = value.FindMember("extensions");
        if (extensions != value.MemberEnd() && extensions->value.IsObject()) {
            const auto transform = extensions->value.FindMember(name);
            if (transform != extensions->value.MemberEnd() && transform->value.IsObject()) {
                const auto set = transform->value.FindMember("texCoord");
                const auto own = value.FindMember("texCoord");
                if (set != transform->value.MemberEnd() && set->value.IsUint()) {
                    const unsigned int wanted = set->value.GetUint();
                    if (own == value.MemberEnd()) {
                        value.AddMember("texCoord", wanted, document.GetAllocator());
                        changed = true;
                    } else if (!own->value.IsUint() || own->value.GetUint() != wanted) {
                        own->value.SetUint(wanted);
                        changed = true;
                    }
                }
            }
        }
        for (auto& member : value.GetObject()) append(pending, &member.value);
    }
    if (!changed) return std::string();
    rapidjson::StringBuffer text;
    rapidjson::Writer<rapidjson::StringBuffer> writer(text);
    if (!document.Accept(writer)) return std::string();
    return std::string(text.GetString(), text.GetSize());
}

// The bytes the importer is to read for the model file: a glTF model's with the coordinate sets of its texture
// references overridden (withOverriddenCoordinateSets), in a binary one the JSON chunk replaced (padded with spaces
// to a multiple of 4 bytes, the lengths in the header and the chunk's made to match). Empty when the file is to be
// read as it is, or when a binary one's chunks are not laid out as glTF lays them (the importer then says why).
static std::string modelBytesForImporter(const char* path, const std::string& json) {
    std::string replaced = withOverriddenCoordinateSets(json);
    if (replaced.empty()) return replaced;
    std::ifstream stream(path, std::ios::binary);
    long long fileSize = 0;
    const std::string head = fileHead(stream, 20, fileSize);
    if (head.compare(0, 4, "glTF") != 0) return replaced;
    if (head.size() < 20) return std::string();
    // The header (signature, version, length), then the JSON chunk's length and type, the chunk, and the rest.
    uint32_t chunkLength = 0;
    for (int k = 3; k >= 0; --k) chunkLength = chunkLength << 8 | static_cast<unsigned char>(head[12 + k]);
    const long long rest = 20 + static_cast<long long>(chunkLength);
    if (chunkLength % 4 != 0 || rest > fileSize) return std::string();
    while (replaced.size() % 4 != 0) replaced.push_back(' ');
    const long long total = 20 + static_cast<long long>(replaced.size()) + (fileSize - rest);
    if (total > static_cast<long long>(UINT32_MAX)) return std::string();
    std::string bytes = head;
    const auto putLength = [&bytes](size_t at, long long value) {
        for (int k = 0; k < 4; ++k) bytes[at + k] = static_cast<char>(value >> (8 * k) & 0xff);
    };
    putLength(8, total);
    putLength(12, static_cast<long long>(replaced.size()));
    bytes += replaced;
    std::string tail(static_cast<size_t>(fileSize - rest), '\0');
    stream.clear();
    stream.seekg(rest);
    stream.read(&tail[0], static_cast<std::streamsize>(tail.size()));
    if (stream.gcount() != static_cast<std::streamsize>(tail.size())) return std::string();
    return bytes + tail;
}

// The file name without its folder (either separator) and its extension.
static std::string fileStem(const std::string& file) {
    const size_t slash = file.find_last_of("/\\");
    std::string stem = slash == std::string::npos ? file : file.substr(slash + 1);
    const size_t dot = stem.find_last_of('.');
    if (dot != std::string::npos && dot > 0) stem.erase(dot);
    return stem;
}

// Texture folder names are cut to this many characters.
static const size_t folderNameLength = 100;

// A name that can stand as one folder name: letters, digits, '.', '-' and '_' kept, everything else '_'.
static std::string folderName(const std::string& wanted) {
    std::string name = wanted.substr(0, folderNameLength);
    for (char& c : name) {
        const bool plain = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
        if (!plain) c = '_';
    }
    if (name.empty() || name.find_first_not_of('.') == std::string::npos) name = "texture";
    return name;
}

// A picture the materials name, whichever encodings it is read in: the folder name its textures start from and the
// source that names them, both from the first material that names it.
struct Picture {
    std::string name;
    std::string source;
    int32_t encodings = 0;  // the textures it gives, one an encoding
    bool namedByMaterial = false;  // an embedded picture, named after the material that first reads it
    std::string foundNote;         // how the file was found when not under the name the model gives
};

// What the textures met so far are found by: the key of their picture (its file, or "*<n>" for the n-th embedded
// one) with their encoding, and their folder names. A model of thousands of materials asks for thousands of names.
struct TextureLookup {
    std::unordered_map<std::string, int32_t> pictureByKey;  // index into pictures
    GrowArray<Picture> pictures;
    std::unordered_map<std::string, int32_t> byKey;  // picture key and encoding to index into model.textures
    GrowArray<int32_t> pictureOf;                    // per texture of model.textures, index into pictures
    std::unordered_set<std::string> names;
    // Per sanitised wanted name, the suffix to try next: all below it are taken, and names are never given back.
    std::unordered_map<std::string, int> nextSuffix;
};

// The wanted name made a folder name, else with "-2", "-3", ... added: the first of these not yet taken, which it
// then takes.
static std::string uniqueName(TextureLookup& lookup, const std::string& wanted) {
    const std::string base = folderName(wanted);
    if (lookup.names.insert(base).second) return base;
    int& suffix = lookup.nextSuffix.emplace(base, 2).first->second;
    std::string name;
    do {
        name = base + "-" + std::to_string(suffix++);
    } while (!lookup.names.insert(name).second);
    return name;
}

static bool isFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

// A URI's percent-encoded bytes decoded (RFC 3986: "%20" is a space); a '%' not followed by two hexadecimal digits
// stays as it is, and so does "%00", which no file name holds.
static std::string percentDecoded(const std::string& text) {
    std::string decoded;
    for (size_t k = 0; k < text.size(); ++k) {
        if (text[k] == '%' && k + 2 < text.size() && !(text[k + 1] == '0' && text[k + 2] == '0') && std::isxdigit(static_cast<unsigned char>(text[k + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[k + 2]))) {
            decoded.push_back(static_cast<char>(std::stoi(text.substr(k + 1, 2), nullptr, 16)));
            k += 2;
        } else {
            decoded.push_back(text[k]);
        }
    }
    return decoded;
}

// The entry of `folder` whose name equals `name` but for the case of its letters, when there is one (the first in
// the folder's sorted order when there are several); empty otherwise.
static std::string entryInAnyCase(const std::string& folder, const std::string& name) {
    DIR* listing = opendir(folder.empty() ? "." : folder.c_str());
    if (!listing) return std::string();
    std::string found;
    while (const dirent* entry = readdir(listing)) {
        const std::string candidate = entry->d_name;
        if (strcasecmp(candidate.c_str(), name.c_str()) == 0 && isFile(folder + candidate) &&
            (found.empty() || candidate < found)) {
            found = candidate;
        }
    }
    closedir(listing);
    return found;
}

// The texture file a material names: relative to the model's folder unless absolute, with '\' read as a folder
// separator, as stored and then percent-decoded (glTF names its images by URIs, "my%20quad.png"); when no file is
// there, the file of the same name beside the model (models made on another machine keep that machine's folders);
// then a file beside the model whose name differs only in case ("IMAGE1.JPG" for "IMAGE1.jpg", as models made on
// case-blind systems name them), which `caseNote` then describes. The path as stored when none is found.
static std::string resolveTextureFile(const std::string& modelPath, const std::string& stored, std::string& caseNote) {
    caseNote.clear();
    const size_t slash = modelPath.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string() : modelPath.substr(0, slash + 1);
    std::string file = stored;
    for (char& c : file) {
        if (c == '\\') c = '/';
    }
    const std::string decoded = percentDecoded(file);
    const auto asStored = [&folder](const std::string& name) {
        return !name.empty() && name[0] == '/' ? name : folder + name;
    };
    const auto beside = [&folder](const std::string& name) {
        const size_t last = name.find_last_of('/');
        return folder + (last == std::string::npos ? name : name.substr(last + 1));
    };
    for (const std::string& candidate : {asStored(file), asStored(decoded), beside(file), beside(decoded)}) {
        if (isFile(candidate)) return candidate;
    }
    for (const std::string& name : {beside(decoded), beside(file)}) {
        const std::string base = name.substr(folder.size());
        const std::string entry = entryInAnyCase(folder, base);
        if (entry.empty()) continue;
        caseNote = "the model names it '" + stored + "'; found beside the model in another case";
        return folder + entry;
    }
    return asStored(file);
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

// How messages name an embedded picture: "<model>[<material>]", or "<model>[texture <n>]" for a material without a
// name, with the picture's format hint ("png", "jpg") as an extension for a picture file known by its name alone.
static std::string embeddedSource(const std::string& modelPath, const std::string& materialName,
                                  const aiTexture& embedded, int index) {
    std::string source =
        modelPath + "[" + (materialName.empty() ? "texture " + std::to_string(index) : materialName) + "]";
    std::string hint;
    for (const char c : embedded.achFormatHint) {
        if (!std::isalnum(static_cast<unsigned char>(c))) break;
        hint.push_back(c);
    }
    if (embedded.mHeight == 0 && !hint.empty()) source += "." + hint;
    return source;
}

// Whether the model is glTF (1.0 or 2.0): by its name, or by the importer that read it, which takes a glTF file of
// any name. Its materials' slots then mean what glTF's importer puts in them.
static bool isGltfModel(const char* path, const aiScene& scene) {
    const std::string name = path;
    const size_t dot = name.find_last_of('.');
    const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot + 1);
    if (strcasecmp(extension.c_str(), "gltf") == 0 || strcasecmp(extension.c_str(), "glb") == 0) return true;
    aiString format;
    return scene.mMetaData && scene.mMetaData->Get(std::string(AI_METADATA_SOURCE_FORMAT), format) &&
           std::strncmp(format.C_Str(), "glTF", 4) == 0;
}

// A role a material's texture is read in, by the importer's texture type and the texture's index within the type,
// and how the role's bytes are decoded.
struct TextureRole {
    aiTextureType type;
    unsigned int index;
    const char* role;
    TexelEncoding encoding;
};

// A glTF material as the importer reports it: the base colour texture under both BASE_COLOR and DIFFUSE
// (KHR_materials_pbrSpecularGlossiness' diffuse texture under DIFFUSE alone), the metallic-roughness texture under
// UNKNOWN, METALNESS and DIFFUSE_ROUGHNESS, occlusion under LIGHTMAP, that extension's specular-glossiness texture
// under SPECULAR, and the other extensions' second and third textures at indices 1 and 2 of their type
// (KHR_materials_volume's thickness as TRANSMISSION 1). Specular and sheen colour are sRGB like base colour; the
// glossiness in the specular-glossiness texture's alpha is linear, as every alpha is. The importer leaves out a
// sheen or clearcoat extension whose factor is 0, as it then does nothing.
static const TextureRole gltfRoles[] = {
    {aiTextureType_BASE_COLOR, 0, "base colour", TexelEncoding::srgb},
    {aiTextureType_DIFFUSE, 0, "base colour", TexelEncoding::srgb},
    {aiTextureType_EMISSIVE, 0, "emissive", TexelEncoding::srgb},
    {aiTextureType_EMISSION_COLOR, 0, "emissive", TexelEncoding::srgb},
    {aiTextureType_NORMALS, 0, "normal", TexelEncoding::normal},
    {aiTextureType_UNKNOWN, 0, "metallic-roughness", TexelEncoding::linear},
    {aiTextureType_METALNESS, 0, "metallic-roughness", TexelEncoding::linear},
    {aiTextureType_DIFFUSE_ROUGHNESS, 0, "metallic-roughness", TexelEncoding::linear},
    {aiTextureType_LIGHTMAP, 0, "occlusion", TexelEncoding::linear},
    {aiTextureType_AMBIENT_OCCLUSION, 0, "occlusion", TexelEncoding::linear},
    {aiTextureType_SPECULAR, 0, "specular-glossiness", TexelEncoding::srgb},
    {aiTextureType_SHEEN, 0, "sheen colour", TexelEncoding::srgb},
    {aiTextureType_SHEEN, 1, "sheen roughness", TexelEncoding::linear},
    {aiTextureType_CLEARCOAT, 0, "clearcoat", TexelEncoding::linear},
    {aiTextureType_CLEARCOAT, 1, "clearcoat roughness", TexelEncoding::linear},
    {aiTextureType_CLEARCOAT, 2, "clearcoat normal", TexelEncoding::normal},
    {aiTextureType_TRANSMISSION, 0, "transmission", TexelEncoding::linear},
    {aiTextureType_TRANSMISSION, 1, "thickness", TexelEncoding::linear},
};

// Every other format (OBJ/MTL, FBX, COLLADA, ...), the first texture of each type: colour maps sRGB, data maps
// linear. A glTF 1.0 material's types that glTF gives no role (its ambient texture) are read by these too.
static const TextureRole classicRoles[] = {
    {aiTextureType_DIFFUSE, 0, "diffuse", TexelEncoding::srgb},
    {aiTextureType_BASE_COLOR, 0, "base colour", TexelEncoding::srgb},
    {aiTextureType_SPECULAR, 0, "specular", TexelEncoding::srgb},
    {aiTextureType_AMBIENT, 0, "ambient", TexelEncoding::srgb},
    {aiTextureType_EMISSIVE, 0, "emissive", TexelEncoding::srgb},
    {aiTextureType_EMISSION_COLOR, 0, "emissive", TexelEncoding::srgb},
    {aiTextureType_LIGHTMAP, 0, "light map", TexelEncoding::srgb},
    {aiTextureType_NORMALS, 0, "normal", TexelEncoding::normal},
    {aiTextureType_NORMAL_CAMERA, 0, "normal", TexelEncoding::normal},
    {aiTextureType_HEIGHT, 0, "height", TexelEncoding::linear},
    {aiTextureType_DISPLACEMENT, 0, "displacement", TexelEncoding::linear},
    {aiTextureType_SHININESS, 0, "shininess", TexelEncoding::linear},
    {aiTextureType_OPACITY, 0, "opacity", TexelEncoding::linear},
    {aiTextureType_METALNESS, 0, "metalness", TexelEncoding::linear},
    {aiTextureType_DIFFUSE_ROUGHNESS, 0, "roughness", TexelEncoding::linear},
    {aiTextureType_AMBIENT_OCCLUSION, 0, "occlusion", TexelEncoding::linear},
};

// The roles of a glTF model's materials or of another format's, in the order a material's textures join the model.
static GrowArray<TextureRole> rolesOf(bool gltf) {
    GrowArray<TextureRole> roles;
    if (gltf) {
        for (const TextureRole& role : gltfRoles) append(roles, role);
    }
    for (const TextureRole& role : classicRoles) {
        const auto sameType = [&role](const TextureRole& other) { return other.type == role.type; };
        if (!gltf || std::none_of(std::begin(gltfRoles), std::end(gltfRoles), sameType)) append(roles, role);
    }
    return roles;
}

// The importer's name of a texture type in words ("NormalCamera" as "normal camera"): the role of a texture whose
// role kiv does not know.
static std::string typeName(aiTextureType type) {
    if (type == aiTextureType_NONE) return "none";
    std::string name;
    for (const char* c = aiTextureTypeToString(type); *c; ++c) {
        const unsigned char letter = static_cast<unsigned char>(*c);
        if (std::isupper(letter) && !name.empty()) name.push_back(' ');
        name.push_back(static_cast<char>(std::tolower(letter)));
    }
    return name;
}

// Whether a material's texture name is one the importer makes up rather than a file: "$texture_dummy.bmp" (a model
// format whose materials have no skin), or "*<n>" naming an embedded texture the scene does not hold. A file of
// that name beside the model still counts as a file.
static bool isPlaceholder(const aiScene& scene, const std::string& modelPath, const char* name) {
    if (name[0] == '*') return !scene.GetEmbeddedTexture(name);
    std::string caseNote;
    return name[0] == '$' && !isFile(resolveTextureFile(modelPath, name, caseNote));
}

// An affine map of texture coordinates, in kiv's axes (v up, as the importer hands coordinates over):
// u' = uu u + uv v + u0, v' = vu u + vv v + v0.
struct CoordinateMap {
    double uu = 1, uv = 0, u0 = 0;
    double vu = 0, vv = 1, v0 = 0;
};

static bool sameMap(const CoordinateMap& a, const CoordinateMap& b) {
    return a.uu == b.uu && a.uv == b.uv && a.u0 == b.u0 && a.vu == b.vu && a.vv == b.vv && a.v0 == b.v0;
}

static TexPoint mapped(const CoordinateMap& map, const aiVector3D& t) {
    return TexPoint{static_cast<float>(map.uu * t.x + map.uv * t.y + map.u0),
                    static_cast<float>(map.vu * t.x + map.vv * t.y + map.v0)};
}

// The map of a glTF texture reference's KHR_texture_transform, from what the importer reports of it. glTF defines
// uv' = T(offset) R(rotation) S(scale) uv in its own axes (v down), R = [cos sin; -sin cos]: the coordinates turn
// counter-clockwise as the picture is seen. The importer (5.2) reports the scale as it is, the rotation negated and,
// for a turn about the picture's centre in axes with v up, the translation
//   tu = offset.u + scale.u (1 - cos + sin) / 2,   tv = 1 - scale.v - offset.v + scale.v (cos + sin - 1) / 2
// (cos and sin of glTF's rotation), which is solved here for the offset. glTF's map is then written in kiv's axes,
// v = 1 - v_glTF on both sides:
//   u' = su cos u - sv sin v + sv sin + ou,   v' = su sin u + sv cos v + 1 - sv cos - ov.
static CoordinateMap gltfTextureTransform(const aiUVTransform& reported) {
    const double su = reported.mScaling.x, sv = reported.mScaling.y, angle = -static_cast<double>(reported.mRotation);
    const double c = std::cos(angle), s = std::sin(angle);
    const double ou = reported.mTranslation.x - su * (1 - c + s) / 2;
    const double ov = 1 - sv - reported.mTranslation.y + sv * (c + s - 1) / 2;
    CoordinateMap map;
    map.uu = su * c;
    map.uv = -sv * s;
    map.u0 = sv * s + ou;
    map.vu = su * s;
    map.vv = sv * c;
    map.v0 = 1 - sv * c - ov;
    return map;
}

// A texture slot a material fills. The importer fills the unused slots below a used one (a clearcoat normal
// texture without the two before it) with empty names: those are no textures.
struct TextureSlot {
    aiTextureType type;
    unsigned int index;
    aiString file;
    bool mappedByCoordinates = true;  // rather than projected (spherical, planar, ...)
    uint32_t coordinateSet = 0;       // 0 when the material names none
    CoordinateMap map;                // applied to the set's coordinates before anything else
    bool repeating = true;            // false for clamped or mirrored coordinates
    bool taken = false;               // read in a role, or passed on as unhandled
};

// The slots of a material, each with its coordinate set and, in a glTF model, its reference's KHR_texture_transform.
// Other formats' importers report transforms too (FBX, 3DS, ...), each in its own way, which kiv does not know:
// those slots are read through their coordinates as they are.
static GrowArray<TextureSlot> filledSlots(const aiMaterial& material, bool gltf) {
    GrowArray<TextureSlot> slots;
    for (int t = aiTextureType_NONE; t <= AI_TEXTURE_TYPE_MAX; ++t) {
        const aiTextureType type = static_cast<aiTextureType>(t);
        for (unsigned int k = 0; k < material.GetTextureCount(type); ++k) {
            TextureSlot slot;
            slot.type = type;
            slot.index = k;
            aiTextureMapping mapping = aiTextureMapping_UV;
            unsigned int set = 0;
            aiTextureMapMode modes[2] = {aiTextureMapMode_Wrap, aiTextureMapMode_Wrap};
            if (material.GetTexture(type, k, &slot.file, &mapping, &set, nullptr, nullptr, modes) != AI_SUCCESS ||
                slot.file.length == 0) {
                continue;
            }
            slot.mappedByCoordinates = mapping == aiTextureMapping_UV;
            slot.coordinateSet = set;
            aiUVTransform transform;
            if (gltf && material.Get(AI_MATKEY_UVTRANSFORM(type, k), transform) == AI_SUCCESS) {
                slot.map = gltfTextureTransform(transform);
            }
            slot.repeating = modes[0] == aiTextureMapMode_Wrap && modes[1] == aiTextureMapMode_Wrap;
            append(slots, slot);
        }
    }
    return slots;
}

// A texture a material reads: the picture as the material names it, the role and how the role decodes it.
struct TextureUse {
    aiString file;
    const char* role;
    TexelEncoding encoding;
    uint32_t coordinateSet;
    CoordinateMap map;
    bool repeating;
};

// A texture as messages about a material's textures name it: as the material names it, or an embedded one's source.
static std::string namedInMessages(const aiScene& scene, const std::string& modelPath, const std::string& materialName,
                                   const aiString& file) {
    const std::pair<const aiTexture*, int> embedded = scene.GetEmbeddedTextureAndIndex(file.C_Str());
    return embedded.first ? embeddedSource(modelPath, materialName, *embedded.first, embedded.second)
                          : std::string(file.C_Str());
}

// The textures `material` reads, in the order of `roles`; those it names that are not read are appended to
// `unhandled`, each once. A role met again through another slot naming the same picture is the same read. A glTF
// material has one texture a role, which the importer copies into several slots, so there a slot of a role already
// read that names another picture (KHR_materials_pbrSpecularGlossiness' diffuse texture beside a base colour
// texture) is not read; elsewhere the slots are the format's own (an FBX material's emissive and emission colour
// textures) and each is read.
static GrowArray<TextureUse> materialTextures(const aiScene& scene, const aiMaterial& material,
                                              const GrowArray<TextureRole>& roles, bool gltf,
                                              const std::string& modelPath, GrowArray<UnhandledTexture>& unhandled) {
    const std::string materialName = material.GetName().C_Str();
    const int32_t firstUnhandled = unhandled.count;
    const auto leave = [&](const TextureSlot& slot, const std::string& role, const std::string& reason) {
        UnhandledTexture texture{namedInMessages(scene, modelPath, materialName, slot.file), materialName, role,
                                 reason};
        for (int32_t k = firstUnhandled; k < unhandled.count; ++k) {
            const UnhandledTexture& met = unhandled[k];
            if (met.file == texture.file && met.role == texture.role && met.reason == texture.reason) return;
        }
        append(unhandled, std::move(texture));
    };

    GrowArray<TextureSlot> slots = filledSlots(material, gltf);
    GrowArray<TextureUse> uses;
    for (const TextureRole& role : roles) {
        TextureSlot* slot = std::find_if(slots.begin(), slots.end(), [&role](const TextureSlot& s) {
            return s.type == role.type && s.index == role.index;
        });
        if (slot == slots.end()) continue;
        slot->taken = true;
        if (!slot->mappedByCoordinates) {
            leave(*slot, role.role, "it is not mapped through texture coordinates");
            continue;
        }
        if (isPlaceholder(scene, modelPath, slot->file.C_Str())) {
            leave(*slot, role.role, "the importer's placeholder for a material without a texture, not a file");
            continue;
        }
        const TextureUse* earlier = std::find_if(uses.begin(), uses.end(), [&role](const TextureUse& use) {
            return std::strcmp(use.role, role.role) == 0;
        });
        if (earlier != uses.end() && earlier->file == slot->file) continue;
        if (earlier != uses.end() && gltf) {
            leave(*slot, role.role,
                  std::string("the material reads its ") + role.role + " from " + earlier->file.C_Str());
            continue;
        }
        append(uses,
               TextureUse{slot->file, role.role, role.encoding, slot->coordinateSet, slot->map, slot->repeating});
    }
    // The slots no role reads: their type has no role, or the role is of another index.
    for (const TextureSlot& slot : slots) {
        if (slot.taken) continue;
        const TextureRole* known = nullptr;
        int rolesOfType = 0;
        for (const TextureRole& role : roles) {
            if (role.type != slot.type) continue;
            known = &role;
            ++rolesOfType;
        }
        const std::string role = rolesOfType == 1 ? std::string(known->role) : typeName(slot.type);
        if (slot.type == aiTextureType_REFLECTION) {
            leave(slot, role, "an environment map, not read through the model's texture coordinates");
        } else if (rolesOfType == 0) {
            leave(slot, role, "its role is unknown, so its colour space is unknown");
        } else {
            leave(slot, role, "kiv processes the first texture of each role");
        }
    }
    return uses;
}

// The texture of the picture a material reads in the use's encoding, found among those already met or added:
// index into model.textures. Its name is given once every material has been read (nameTextures).
static bool findOrAddTexture(const aiScene& scene, const aiMaterial& material, const TextureUse& use,
                             const std::string& modelPath, SceneModel& model, TextureLookup& lookup,
                             int32_t& index, std::string& error) {
    const std::pair<const aiTexture*, int> embedded = scene.GetEmbeddedTextureAndIndex(use.file.C_Str());
    std::string caseNote;
    const std::string pictureKey = embedded.first ? "*" + std::to_string(embedded.second)
                                                  : resolveTextureFile(modelPath, use.file.C_Str(), caseNote);
    const std::string key = pictureKey + "\n" + std::to_string(static_cast<int>(use.encoding));
    const auto known = lookup.byKey.find(key);
    if (known != lookup.byKey.end()) {
        index = known->second;
        return true;
    }
    const auto met = lookup.pictureByKey.emplace(pictureKey, lookup.pictures.count);
    if (met.second) {
        const std::string materialName = material.GetName().C_Str();
        Picture picture;
        if (embedded.first) {
            picture.name = materialName.empty() ? fileStem(embedded.first->mFilename.C_Str()) : materialName;
            picture.namedByMaterial = !materialName.empty();
            picture.source = embeddedSource(modelPath, materialName, *embedded.first, embedded.second);
        } else {
            picture.name = fileStem(use.file.C_Str());
            picture.source = pictureKey;
            picture.foundNote = caseNote;
        }
        append(lookup.pictures, std::move(picture));
    }
    const int32_t pictureIndex = met.first->second;
    Picture& picture = lookup.pictures[pictureIndex];
    ++picture.encodings;
    SceneTexture texture;
    texture.source = picture.source;
    texture.foundNote = picture.foundNote;
    texture.encoding = use.encoding;
    if (embedded.first) {
        texture.embedded = true;
        if (!copyEmbedded(*embedded.first, texture, error)) return false;
    }
    index = model.textures.count;
    append(model.textures, std::move(texture));
    append(lookup.pictureOf, pictureIndex);
    lookup.byKey.emplace(key, index);
    return true;
}

// Adds `role` to a texture's roles ("a, b") unless it is among them.
static void addRole(std::string& roles, const char* role) {
    if ((", " + roles + ", ").find(", " + std::string(role) + ", ") != std::string::npos) return;
    if (!roles.empty()) roles += ", ";
    roles += role;
}

// Names every texture, in the order of model.textures: its picture's name, made unique. A picture read in several
// encodings gives several textures, each named with its first role added ("wood-base-colour",
// "wood-metallic-roughness"); a picture read one way keeps its name as it is. So does an embedded picture named
// after its material and read as its colour; its other maps get their first role added ("paint-normal"), so that the
// folders of a material's embedded maps say which is which.
static void nameTextures(SceneModel& model, TextureLookup& lookup) {
    for (int32_t t = 0; t < model.textures.count; ++t) {
        SceneTexture& texture = model.textures[t];
        const Picture& picture = lookup.pictures[lookup.pictureOf[t]];
        std::string wanted = folderName(picture.name);
        const std::string firstRole = texture.roles.substr(0, texture.roles.find(", "));
        const bool colour = firstRole == "base colour" || firstRole == "diffuse";
        if (picture.encodings > 1 || (picture.namedByMaterial && !colour)) {
            std::string suffix = "-" + firstRole;
            std::replace(suffix.begin(), suffix.end(), ' ', '-');
            wanted = wanted.substr(0, folderNameLength - suffix.size()) + suffix;
        }
        texture.name = uniqueName(lookup, wanted);
    }
}

// Coordinates this far outside the unit square count as leaving it (rounding in exporters puts corners a hair out).
static const float outsideTolerance = 1e-4f;

static bool outsideUnitSquare(const TexPoint& t) {
    return t.u < -outsideTolerance || t.u > 1 + outsideTolerance || t.v < -outsideTolerance || t.v > 1 + outsideTolerance;
}

// Appends one placement of a mesh to `target`: its vertices moved by `placement`, texture coordinates from `set`
// moved by `map`, and its triangles. Returns the triangles' area; `outside` gets the area of those with a corner off
// the unit square.
static bool appendPlacedMesh(const aiMesh& mesh, const aiMatrix4x4& placement, uint32_t set, const CoordinateMap& map,
                             Mesh& target, double& area, double& outside, const std::string& path,
                             std::string& error) {
    // The arrays grow by doubling as they are appended to: reserving exactly this placement's room would copy them
    // once per placement, quadratic in the placements of a scene.
    const int32_t first = target.positions.count;
    for (unsigned int v = 0; v < mesh.mNumVertices; ++v) {
        const aiVector3D p = placement * mesh.mVertices[v];
        append(target.positions, Point3{p.x, p.y, p.z});
        append(target.texCoords, mapped(map, mesh.mTextureCoords[set][v]));
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

// The vertices and triangles the scene's nodes place, counted before any is: refused when either count passes
// maxPlacedItems, or when nodes are nested too deeply.
static bool checkPlacedCounts(const aiScene& scene, const char* path, std::string& error) {
    GrowArray<int64_t> trianglesOf;
    resize(trianglesOf, static_cast<int32_t>(scene.mNumMeshes));
    for (unsigned int m = 0; m < scene.mNumMeshes; ++m) {
        const aiMesh& mesh = *scene.mMeshes[m];
        trianglesOf[m] = 0;
        for (unsigned int f = 0; f < mesh.mNumFaces; ++f) trianglesOf[m] += mesh.mFaces[f].mNumIndices == 3;
    }
    // Each count grows by at most 2^32 a placement, from nodes the importer built in memory: it cannot overflow.
    int64_t vertices = 0, triangles = 0;
    GrowArray<std::pair<const aiNode*, int32_t>> pending;  // a node and its depth
    if (scene.mRootNode) append(pending, std::make_pair(static_cast<const aiNode*>(scene.mRootNode), 0));
    while (pending.count > 0) {
        const auto [node, depth] = pending[pending.count - 1];
        --pending.count;
        if (depth > maxNodeDepth) return modelError(error, path, "its nodes are nested too deeply");
        for (unsigned int k = 0; k < node->mNumMeshes; ++k) {
            vertices += scene.mMeshes[node->mMeshes[k]]->mNumVertices;
            triangles += trianglesOf[static_cast<int32_t>(node->mMeshes[k])];
        }
        for (unsigned int k = 0; k < node->mNumChildren; ++k) {
            append(pending, std::make_pair(static_cast<const aiNode*>(node->mChildren[k]), depth + 1));
        }
    }
    const auto tooMany = [&](int64_t count, const char* what) {
        return modelError(error, path, "its nodes place " + std::to_string(count) + " " + what + ", more than the " +
                                           std::to_string(maxPlacedItems) + " kiv takes");
    };
    if (triangles > maxPlacedItems) return tooMany(triangles, "triangles");
    if (vertices > maxPlacedItems) return tooMany(vertices, "vertices");
    return true;
}

struct PlacedNode {
    const aiNode* node;
    aiMatrix4x4 placement;  // the product of the transforms from the root down to this node
};

// A way a material reads one of its textures: index into model.textures, the coordinate set, the map of its
// coordinates, the roles read this way and, for the message when meshes of the material lack the set, the texture
// as the material names it, the meshes without the set and their placed triangles.
struct TextureRead {
    int32_t texture = -1;
    uint32_t coordinateSet = 0;
    CoordinateMap map;
    std::string roles;
    std::string file;
    std::unordered_set<unsigned int> meshesWithoutSet;  // indices into the scene's meshes
    unsigned int firstMeshWithoutSet = 0;                // the first met
    int64_t trianglesWithoutSet = 0;
};

static int64_t triangleCount(const aiMesh& mesh) {
    int64_t triangles = 0;
    for (unsigned int f = 0; f < mesh.mNumFaces; ++f) triangles += mesh.mFaces[f].mNumIndices == 3;
    return triangles;
}

// Names, among the textures kiv does not process, each texture that a material reads through a coordinate set that
// some of the material's meshes lack while they have others: those meshes' triangles are left out of the texture.
static void nameMeshesWithoutSet(const aiScene& scene, const GrowArray<GrowArray<TextureRead>>& readsOf,
                                 GrowArray<UnhandledTexture>& unhandled) {
    for (unsigned int m = 0; m < scene.mNumMaterials; ++m) {
        for (const TextureRead& read : readsOf[static_cast<int32_t>(m)]) {
            const size_t count = read.meshesWithoutSet.size();
            if (count == 0) continue;
            const aiString& first = scene.mMeshes[read.firstMeshWithoutSet]->mName;
            std::string meshes =
                first.length > 0 ? "mesh '" + std::string(first.C_Str()) + "'" : "a mesh without a name";
            if (count > 1) meshes += " and " + std::to_string(count - 1) + " other mesh" + (count > 2 ? "es" : "");
            const std::string triangles = std::to_string(read.trianglesWithoutSet) +
                                          (read.trianglesWithoutSet == 1 ? " triangle is" : " triangles are");
            append(unhandled, UnhandledTexture{read.file, scene.mMaterials[m]->GetName().C_Str(), read.roles,
                                               "the material reads it through texture coordinate set " +
                                                   std::to_string(read.coordinateSet) + ", which " + meshes +
                                                   (count > 1 ? " lack; " : " lacks; ") +
                                                   triangles + " left out"});
        }
    }
}

static bool flattenScene(const aiScene& scene, const char* path, bool gltf, SceneModel& model, std::string& error) {
    if (!checkPlacedCounts(scene, path, error)) return false;
    const GrowArray<TextureRole> roles = rolesOf(gltf);
    // Per material: the ways it reads its textures, each once. A texture read twice through one set and one map
    // (a normal map that is also the clearcoat normal map) is one read.
    GrowArray<GrowArray<TextureRead>> readsOf;
    TextureLookup lookup;
    resize(readsOf, static_cast<int32_t>(scene.mNumMaterials));
    for (unsigned int m = 0; m < scene.mNumMaterials; ++m) {
        const aiMaterial& material = *scene.mMaterials[m];
        GrowArray<TextureRead>& reads = readsOf[static_cast<int32_t>(m)];
        for (const TextureUse& use : materialTextures(scene, material, roles, gltf, path, model.unhandled)) {
            int32_t t = -1;
            if (!findOrAddTexture(scene, material, use, path, model, lookup, t, error)) return false;
            SceneTexture& texture = model.textures[t];
            addRole(texture.roles, use.role);
            // The alpha of a colour map is the surface's opacity; other maps' alpha holds data of their own.
            texture.alphaIsOpacity = texture.alphaIsOpacity || std::strcmp(use.role, "base colour") == 0 ||
                                     std::strcmp(use.role, "diffuse") == 0;
            texture.repeatingSampler = texture.repeatingSampler && use.repeating;
            TextureRead* same = std::find_if(reads.begin(), reads.end(), [&](const TextureRead& read) {
                return read.texture == t && read.coordinateSet == use.coordinateSet && sameMap(read.map, use.map);
            });
            if (same != reads.end()) {
                addRole(same->roles, use.role);
                continue;
            }
            const bool readBefore =
                std::any_of(reads.begin(), reads.end(), [t](const TextureRead& read) { return read.texture == t; });
            if (!readBefore) append(texture.materials, std::string(material.GetName().C_Str()));
            TextureRead read;
            read.texture = t;
            read.coordinateSet = use.coordinateSet;
            read.map = use.map;
            read.roles = use.role;
            read.file = namedInMessages(scene, path, material.GetName().C_Str(), use.file);
            append(reads, std::move(read));
        }
    }
    nameTextures(model, lookup);

    GrowArray<PlacedNode> pending;
    if (scene.mRootNode) append(pending, PlacedNode{scene.mRootNode, scene.mRootNode->mTransformation});
    while (pending.count > 0) {
        const PlacedNode placed = pending[pending.count - 1];
        --pending.count;
        for (unsigned int k = 0; k < placed.node->mNumMeshes; ++k) {
            const aiMesh& mesh = *scene.mMeshes[placed.node->mMeshes[k]];
            model.area += placedArea(mesh, placed.placement);
            double area = 0, outside = 0;
            if (mesh.HasTextureCoords(0) &&
                !appendPlacedMesh(mesh, placed.placement, 0, CoordinateMap(), model.mesh, area, outside, path, error)) {
                return false;
            }
            if (mesh.mMaterialIndex >= scene.mNumMaterials) continue;
            for (TextureRead& read : readsOf[static_cast<int32_t>(mesh.mMaterialIndex)]) {
                const uint32_t set = read.coordinateSet;
                if (set >= AI_MAX_NUMBER_OF_TEXTURECOORDS || !mesh.HasTextureCoords(set)) {
                    // A mesh without any coordinates is left untextured, as the model's own mesh leaves it; one
                    // with other sets than the one read is named.
                    if (mesh.GetNumUVChannels() == 0) continue;
                    if (read.meshesWithoutSet.empty()) read.firstMeshWithoutSet = placed.node->mMeshes[k];
                    read.meshesWithoutSet.insert(placed.node->mMeshes[k]);
                    read.trianglesWithoutSet += triangleCount(mesh);
                    continue;
                }
                SceneTexture& texture = model.textures[read.texture];
                if (!appendPlacedMesh(mesh, placed.placement, set, read.map, texture.mesh, area, outside, path,
                                      error)) {
                    return false;
                }
                texture.area += area;
                texture.areaOutside += outside;
            }
        }
        for (unsigned int k = 0; k < placed.node->mNumChildren; ++k) {
            const aiNode* child = placed.node->mChildren[k];
            append(pending, PlacedNode{child, placed.placement * child->mTransformation});
        }
    }
    if (model.mesh.triangles.count == 0) return modelError(error, path, "no triangle has texture coordinates");
    nameMeshesWithoutSet(scene, readsOf, model.unhandled);
    return true;
}

namespace {

// The importer's file system, refusing every file that is not a regular one: a glTF buffer, an OBJ's material
// library or any other file a model names that is a FIFO or a device would block the read, or never end.
// (The default one tests whether a file exists by opening it, which blocks on a FIFO.)
// The model file itself, when `modelBytes` is not empty, is read from those bytes instead (the importer opens it by
// the path it was given).
class RegularFilesOnly : public Assimp::DefaultIOSystem {
public:
    RegularFilesOnly(std::string modelPath, std::string modelBytes)
        : modelPath_(std::move(modelPath)), modelBytes_(std::move(modelBytes)) {}
    bool Exists(const char* file) const override {
        struct stat info;
        return stat(file, &info) == 0 && S_ISREG(info.st_mode);
    }
    Assimp::IOStream* Open(const char* file, const char* mode) override {
        struct stat info;
        if (stat(file, &info) == 0 && !S_ISREG(info.st_mode)) return nullptr;
        if (!modelBytes_.empty() && modelPath_ == file) {
            return new Assimp::MemoryIOStream(reinterpret_cast<const uint8_t*>(modelBytes_.data()), modelBytes_.size());
        }
        return Assimp::DefaultIOSystem::Open(file, mode);
    }

private:
    std::string modelPath_, modelBytes_;
};

// Counts the importer's warnings that it dropped faces whose indices name vertices past the end of their mesh's: its
// glTF reader drops such faces, with one warning a mesh, and reads on. Installed as the importer's logger (there is
// one for the whole program, which reads one model at a time) for the length of one read.
class DroppedFaceCounter : public Assimp::Logger {
public:
    explicit DroppedFaceCounter(int& meshes) : meshes_(meshes) {}
    bool attachStream(Assimp::LogStream*, unsigned int) override { return false; }
    bool detachStream(Assimp::LogStream*, unsigned int) override { return false; }

private:
    void OnDebug(const char*) override {}
    void OnVerboseDebug(const char*) override {}
    void OnInfo(const char*) override {}
    void OnWarn(const char* message) override {
        if (std::strstr(message, "out-of-range indices")) ++meshes_;
    }
    void OnError(const char*) override {}
    int& meshes_;
};

// Puts a DroppedFaceCounter in place of the importer's logger while it lives; the importer deletes it on the way out.
struct DroppedFaceLog {
    explicit DroppedFaceLog(int& meshes) { Assimp::DefaultLogger::set(new DroppedFaceCounter(meshes)); }
    ~DroppedFaceLog() { Assimp::DefaultLogger::kill(); }
    DroppedFaceLog(const DroppedFaceLog&) = delete;
    DroppedFaceLog& operator=(const DroppedFaceLog&) = delete;
};

}  // namespace

bool loadSceneModel(const char* path, SceneModel& model, std::string& error) {
    model = SceneModel();
    if (!checkModelFile(path, error) || !checkDeclaredCounts(path, error)) return false;
    const std::string json = gltfJson(path);
    if (!checkGltfJson(path, json, error)) return false;
    Assimp::Importer importer;
    importer.SetIOHandler(new RegularFilesOnly(path, modelBytesForImporter(path, json)));  // the importer owns it
    // Faces become triangles; the importer's own check of the result (indices within their arrays, counts that
    // match the arrays, no dangling references) runs before the scene is handed over.
    const unsigned int steps = aiProcess_Triangulate | aiProcess_ValidateDataStructure;
    const aiScene* scene = nullptr;
    int droppedFaceMeshes = 0;
    try {
        const DroppedFaceLog log(droppedFaceMeshes);
        scene = importer.ReadFile(path, steps);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& failure) {
        return modelError(error, path, std::string("cannot read the model (") + failure.what() + ")");
    }
    // Checked first: a mesh all of whose faces were dropped fails the read as a mesh without faces.
    if (droppedFaceMeshes > 0) {
        return modelError(error, path,
                          droppedFaceMeshes == 1 ? "1 mesh has faces whose vertex index is out of range"
                                                 : std::to_string(droppedFaceMeshes) +
                                                       " meshes have faces whose vertex index is out of range");
    }
    if (!scene) {
        // The importer's messages may run over several lines; the error is one.
        std::string reason = importer.GetErrorString();
        for (char& c : reason) {
            if (static_cast<unsigned char>(c) < 0x20) c = ' ';
        }
        return modelError(error, path, "cannot read the model (" + reason + ")");
    }
    return flattenScene(*scene, path, isGltfModel(path, *scene), model, error);
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
