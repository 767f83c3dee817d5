// The files a pyramid is saved as: the formats kiv writes and the one save path for all of them.
#pragma once

#include <cstdint>
#include <string>

#include "base/grow_array.h"
#include "image/float_image.h"
#include "image/level_names.h"
#include "image/pixel_bytes.h"

// One PNG file per level, or one KTX 2.0 or DDS file per pyramid.
enum class PyramidFormat { png, ktx2, dds };

// A set of formats, one bit per PyramidFormat.
using PyramidFormatSet = uint32_t;
constexpr PyramidFormatSet pyramidFormatBit(PyramidFormat format) { return 1u << static_cast<uint32_t>(format); }

// The format's name on the command line ("png", "ktx2", "dds"), and the format of a name; false for another name.
const char* pyramidFormatName(PyramidFormat format);
bool pyramidFormatNamed(const std::string& name, PyramidFormat& format);

// How a pyramid's files are named: the --name pattern and the texture's stem (the filter's name comes with the save).
struct PyramidNaming {
    NamePattern pattern = defaultLevelNames();
    std::string stem;
};

// One file a save wrote: its path, the level it holds (-1 for a container, which holds them all) and that level's
// size (a container's level 0).
struct SavedFile {
    std::string path;
    int32_t level = -1;
    int32_t width = 0, height = 0;
};

// A caller's display of a save's progress, called after each file with the texels it held; nothing written depends
// on it.
struct SaveProgress {
    void (*fileDone)(void* context, int64_t texels) = nullptr;
    void* context = nullptr;
};

// Writes the pyramid of the filter `filterName` into `folder` (which must exist; empty is the working directory) in
// `format`: one PNG file per level (down to 1 x 1; a level without texels, which no filter makes, writes nothing),
// named by levelFileName, or one KTX2 or DDS file named by containerFileName (`writer` names kiv in the KTX2 header);
// by default "mip_<level>_<filter>.png" and "mip_<filter>.ktx2" / "mip_<filter>.dds". Texels are written as
// `encoding` says (encodedTexel: sRGB colour, linear values or renormalised normal vectors, each file marked so);
// alpha is written as computed when `withAlpha`, else 255, and the containers say what it means (`alpha`).
// Every file is complete or absent: each file written is appended to `saved`, each that cannot be written appends one
// message naming it to `errors`, and the pyramid's other PNG files are still written. Returns false when any file
// failed.
bool savePyramidFiles(const MipPyramid& pyramid, const std::string& folder, const char* filterName,
                      const PyramidNaming& naming, PyramidFormat format, bool withAlpha, TexelEncoding encoding,
                      StoredAlpha alpha, const std::string& writer, GrowArray<SavedFile>& saved,
                      GrowArray<std::string>& errors, const SaveProgress& progress = SaveProgress());
