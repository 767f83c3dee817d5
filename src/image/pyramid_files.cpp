// One save path over the PNG writer and the two container writers.
#include "image/pyramid_files.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "image/file_output.h"
#include "image/texture_containers.h"
#include "image/texture_io.h"

const char* pyramidFormatName(PyramidFormat format) {
    switch (format) {
    case PyramidFormat::png: return "png";
    case PyramidFormat::ktx2: return "ktx2";
    case PyramidFormat::dds: return "dds";
    }
    return "";
}

bool outputFormatNamed(const std::string& name, OutputFormat& format) {
    const size_t colon = name.find(':');
    const std::string container = name.substr(0, colon);
    OutputFormat named;
    bool found = false;
    for (PyramidFormat candidate : {PyramidFormat::png, PyramidFormat::ktx2, PyramidFormat::dds}) {
        if (container == pyramidFormatName(candidate)) {
            named.container = candidate;
            found = true;
        }
    }
    if (!found) return false;
    if (colon != std::string::npos) {
        if (named.container == PyramidFormat::png || !blockCodecNamed(name.substr(colon + 1), named.codec)) return false;
        named.compressed = true;
        if (named.container == PyramidFormat::dds && named.codec >= BlockCodec::astc4x4) return false;  // no ASTC
    }
    format = named;
    return true;
}

std::string outputFormatName(const OutputFormat& format) {
    const std::string container = pyramidFormatName(format.container);
    return format.compressed ? container + ":" + blockCodecName(format.codec) : container;
}

// The least weight a texel has in the block encoders, against an average of 1 over the texels the surface reads.
static const float unreadWeight = 0.1f;

// Encodes one level's blocks with the codec: BC levels by kiv's encoders, ASTC by the reference encoder.
static bool compressLevel(const EncodedLevel& level, const LevelWeights& weights, BlockCodec codec, bool srgb,
                          CompressedLevel& out, std::string& error) {
    const TexelWeights fromTop = encoderWeights(weights, level.width, level.height, unreadWeight);
    if (codec >= BlockCodec::astc4x4) return compressAstcLevel(level, fromTop, codec, srgb, out, error);
    compressBcLevel(level, fromTop, codec, out);
    return true;
}

// The texels a compressed level decodes to, back in the filters' values: rows from the bottom, channels decoded as
// `encoding` says.
static void decodedLevel(const EncodedLevel& bytes, TexelEncoding encoding, FloatImage& level) {
    allocateImage(level, bytes.width, bytes.height);
    for (int32_t y = 0; y < bytes.height; ++y) {
        const uint8_t* row = bytes.rgba.items + static_cast<int64_t>(bytes.height - 1 - y) * bytes.width * 4;
        for (int32_t x = 0; x < bytes.width; ++x) {
            const uint8_t* t = row + 4 * x;
            level.at(x, y) = Texel{unitFromByte(t[0]), unitFromByte(t[1]), unitFromByte(t[2]), unitFromByte(t[3])};
        }
    }
    decodeTexels(level, encoding);
}

static int64_t texelCount(const FloatImage& level) { return int64_t{level.width} * level.height; }

// The pyramid's levels, down to the first without texels if any, in one KTX2 or DDS file at `path`: RGBA8 texels, or
// blocks.
static bool saveContainer(const MipPyramid& pyramid, const std::string& path, const OutputFormat& format,
                          const LevelStorage& storage, const GrowArray<LevelWeights>& weights,
                          const std::string& writer, MipPyramid* decoded, std::string& error) {
    GrowArray<EncodedLevel> levels;
    static const LevelWeights evenly;
    if (decoded) clear(decoded->levels);
    for (int32_t k = 0; k < pyramid.levels.count; ++k) {
        const FloatImage& level = pyramid.levels[k];
        if (level.width == 0 || level.height == 0) break;  // the levels after an empty one are empty too
        append(levels, EncodedLevel());
        EncodedLevel& stored = levels[levels.count - 1];
        encodeLevel(level, storage.withAlpha, storage.encoding, stored);
        if (!format.compressed) continue;
        CompressedLevel blocks;
        const LevelWeights& levelWeights = k < weights.count ? weights[k] : evenly;
        if (!compressLevel(stored, levelWeights, format.codec, storage.encoding == TexelEncoding::srgb, blocks,
                           error)) {
            return false;
        }
        stored.rgba = std::move(blocks.blocks);
        if (decoded) {
            append(decoded->levels, FloatImage());
            decodedLevel(blocks.decoded, storage.encoding, decoded->levels[decoded->levels.count - 1]);
            decoded->levels[decoded->levels.count - 1].hasAlpha = level.hasAlpha;
        }
    }
    const ContainerFormat stored{storage.encoding, storage.alpha, format.compressed, format.codec};
    if (format.container == PyramidFormat::ktx2) return writeKtx2(path.c_str(), levels, stored, writer, error);
    return writeDds(path.c_str(), levels, stored, error);
}

bool savePyramidFiles(const MipPyramid& pyramid, const std::string& folder, const char* filterName,
                      const PyramidNaming& naming, const OutputFormat& format, const LevelStorage& storage,
                      const GrowArray<LevelWeights>& weights, const std::string& writer, MipPyramid* decoded,
                      GrowArray<SavedFile>& saved, GrowArray<std::string>& errors, const SaveProgress& progress) {
    NameValues values;
    values.stem = naming.stem;
    values.filter = filterName;
    auto done = [&](int64_t texels) {
        if (progress.fileDone) progress.fileDone(progress.context, texels);
    };
    if (format.container == PyramidFormat::png) {
        bool allWritten = true;
        for (int32_t k = 0; k < pyramid.levels.count; ++k) {
            const FloatImage& level = pyramid.levels[k];
            if (level.width == 0 || level.height == 0) continue;  // an empty level has no picture
            values.level = k;
            values.width = level.width;
            values.height = level.height;
            const std::string path = pathInFolder(folder, levelFileName(naming.pattern, values));
            std::string error;
            if (saveLevelFile(level, path, storage.withAlpha, storage.encoding, error)) {
                append(saved, SavedFile{path, k, level.width, level.height});
            } else {
                append(errors, error);
                allWritten = false;
            }
            done(texelCount(level));
        }
        return allWritten;
    }
    const FloatImage* first = pyramid.levels.count > 0 ? &pyramid.levels[0] : nullptr;
    values.width = first ? first->width : 0;
    values.height = first ? first->height : 0;
    // A file of blocks carries its codec after the name the pattern makes: mip_<filter>_<codec>.ktx2.
    const char* extension = pyramidFormatName(format.container);
    std::string name = containerFileName(naming.pattern, values, extension);
    if (format.compressed) name.insert(name.size() - std::strlen(extension) - 1, std::string("_") + blockCodecName(format.codec));
    const std::string path = pathInFolder(folder, name);
    std::string error;
    const bool written = saveContainer(pyramid, path, format, storage, weights, writer, decoded, error);
    if (written) append(saved, SavedFile{path, -1, values.width, values.height});
    else append(errors, error);
    int64_t texels = 0;
    for (const FloatImage& level : pyramid.levels) texels += texelCount(level);
    done(texels);
    return written;
}
