// The files a pyramid is saved as: the formats kiv writes and the one save path for all of them.
#pragma once

#include <cstdint>
#include <string>

#include "base/grow_array.h"
#include "image/alpha_modes.h"
#include "image/block_compression.h"
#include "image/float_image.h"
#include "image/level_names.h"
#include "image/pixel_bytes.h"

// One PNG file per level, or one KTX 2.0 or DDS file per pyramid.
enum class PyramidFormat { png, ktx2, dds };

// The format's name on the command line ("png", "ktx2", "dds").
const char* pyramidFormatName(PyramidFormat format);

// One kind of file a run writes: PNG levels, or a KTX 2.0 or DDS container of RGBA8 texels or of a codec's blocks.
struct OutputFormat {
    PyramidFormat container = PyramidFormat::png;
    bool compressed = false;  // a container of blocks
    BlockCodec codec{};       // with `compressed`
};

// The format of a --format item: "png", "ktx2", "dds", or a container and a codec, "ktx2:bc7", "dds:bc1" (DDS holds
// no ASTC). False for another name.
bool outputFormatNamed(const std::string& name, OutputFormat& format);

// The item's name, as outputFormatNamed reads it.
std::string outputFormatName(const OutputFormat& format);

// How a pyramid's texels are written: what r, g, b hold (encodedTexel), whether PNG levels carry alpha (else 255),
// and what alpha means to the containers.
struct LevelStorage {
    TexelEncoding encoding = TexelEncoding::srgb;
    bool withAlpha = false;
    StoredAlpha alpha = StoredAlpha::straight;
};

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
// named by levelFileName, or one KTX2 or DDS file named by containerFileName, with "_<codec>" before the extension
// for a file of blocks (`writer` names kiv in the KTX2 header); by default "mip_<level>_<filter>.png",
// "mip_<filter>.ktx2" and "mip_<filter>_bc7.ktx2". Texels are written as `storage` says. A codec weighs each texel's
// error by `weights` (one LevelWeights per level; an empty array weighs all alike) and, when `decoded` is given,
// leaves there the texels its blocks decode to, decoded as the filters' values like a texture read (decodeTexels).
// Every file is complete or absent: each file written is appended to `saved`, each that cannot be written appends one
// message naming it to `errors`, and the pyramid's other PNG files are still written. Returns false when any file
// failed.
bool savePyramidFiles(const MipPyramid& pyramid, const std::string& folder, const char* filterName,
                      const PyramidNaming& naming, const OutputFormat& format, const LevelStorage& storage,
                      const GrowArray<LevelWeights>& weights, const std::string& writer, MipPyramid* decoded,
                      GrowArray<SavedFile>& saved, GrowArray<std::string>& errors,
                      const SaveProgress& progress = SaveProgress());
