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

// The pyramid's levels, down to the first without texels if any (alpha as computed when `withAlpha`, else 255) in one KTX2 or DDS file.
static bool saveContainer(const MipPyramid& pyramid, const std::string& folder, const char* filterName,
                          PyramidFormat format, bool withAlpha, TexelEncoding encoding, StoredAlpha alpha,
                          const std::string& writer, std::string& error) {
    GrowArray<EncodedLevel> levels;
    for (const FloatImage& level : pyramid.levels) {
        if (level.width == 0 || level.height == 0) break;  // the levels after an empty one are empty too
        append(levels, EncodedLevel());
        encodeLevel(level, withAlpha, encoding, levels[levels.count - 1]);
    }
    const std::string path =
        pathInFolder(folder, std::string("mip_") + filterName + "." + pyramidFormatName(format));
    if (format == PyramidFormat::ktx2) return writeKtx2(path.c_str(), levels, encoding, alpha, writer, error);
    return writeDds(path.c_str(), levels, encoding, alpha, error);
}

bool savePyramidFiles(const MipPyramid& pyramid, const std::string& folder, const char* filterName,
                      PyramidFormat format, bool withAlpha, TexelEncoding encoding, StoredAlpha alpha,
                      const std::string& writer, GrowArray<std::string>& errors) {
    if (format == PyramidFormat::png) return savePyramid(pyramid, folder, filterName, withAlpha, encoding, errors);
    std::string error;
    if (saveContainer(pyramid, folder, filterName, format, withAlpha, encoding, alpha, writer, error)) return true;
    append(errors, error);
    return false;
}
