// One save path over the PNG writer and the two container writers.
#include "image/pyramid_files.h"

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

bool pyramidFormatNamed(const std::string& name, PyramidFormat& format) {
    for (PyramidFormat candidate : {PyramidFormat::png, PyramidFormat::ktx2, PyramidFormat::dds}) {
        if (name == pyramidFormatName(candidate)) {
            format = candidate;
            return true;
        }
    }
    return false;
}

static int64_t texelCount(const FloatImage& level) { return int64_t{level.width} * level.height; }

// The pyramid's levels, down to the first without texels if any (alpha as computed when `withAlpha`, else 255) in one
// KTX2 or DDS file at `path`.
static bool saveContainer(const MipPyramid& pyramid, const std::string& path, PyramidFormat format, bool withAlpha,
                          TexelEncoding encoding, StoredAlpha alpha, const std::string& writer, std::string& error) {
    GrowArray<EncodedLevel> levels;
    for (const FloatImage& level : pyramid.levels) {
        if (level.width == 0 || level.height == 0) break;  // the levels after an empty one are empty too
        append(levels, EncodedLevel());
        encodeLevel(level, withAlpha, encoding, levels[levels.count - 1]);
    }
    if (format == PyramidFormat::ktx2) return writeKtx2(path.c_str(), levels, encoding, alpha, writer, error);
    return writeDds(path.c_str(), levels, encoding, alpha, error);
}

bool savePyramidFiles(const MipPyramid& pyramid, const std::string& folder, const char* filterName,
                      const PyramidNaming& naming, PyramidFormat format, bool withAlpha, TexelEncoding encoding,
                      StoredAlpha alpha, const std::string& writer, GrowArray<SavedFile>& saved,
                      GrowArray<std::string>& errors, const SaveProgress& progress) {
    NameValues values;
    values.stem = naming.stem;
    values.filter = filterName;
    auto done = [&](int64_t texels) {
        if (progress.fileDone) progress.fileDone(progress.context, texels);
    };
    if (format == PyramidFormat::png) {
        bool allWritten = true;
        for (int32_t k = 0; k < pyramid.levels.count; ++k) {
            const FloatImage& level = pyramid.levels[k];
            if (level.width == 0 || level.height == 0) continue;  // an empty level has no picture
            values.level = k;
            values.width = level.width;
            values.height = level.height;
            const std::string path = pathInFolder(folder, levelFileName(naming.pattern, values));
            std::string error;
            if (saveLevelFile(level, path, withAlpha, encoding, error)) {
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
    const std::string path = pathInFolder(folder, containerFileName(naming.pattern, values, pyramidFormatName(format)));
    std::string error;
    const bool written = saveContainer(pyramid, path, format, withAlpha, encoding, alpha, writer, error);
    if (written) append(saved, SavedFile{path, -1, values.width, values.height});
    else append(errors, error);
    int64_t texels = 0;
    for (const FloatImage& level : pyramid.levels) texels += texelCount(level);
    done(texels);
    return written;
}
