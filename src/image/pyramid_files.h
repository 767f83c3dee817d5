// The files a pyramid is saved as: the formats kiv writes and the one save path for all of them.
#pragma once

#include <cstdint>
#include <string>

#include "base/grow_array.h"
#include "image/float_image.h"
#include "image/pixel_bytes.h"

// One PNG file per level, or one KTX 2.0 or DDS file per pyramid.
enum class PyramidFormat { png, ktx2, dds };

// A set of formats, one bit per PyramidFormat.
using PyramidFormatSet = uint32_t;
constexpr PyramidFormatSet pyramidFormatBit(PyramidFormat format) { return 1u << static_cast<uint32_t>(format); }

// The format's name on the command line ("png", "ktx2", "dds"), and the format of a name; false for another name.
const char* pyramidFormatName(PyramidFormat format);
bool pyramidFormatNamed(const std::string& name, PyramidFormat& format);

// Writes the pyramid of the filter `filterName` into `folder` (which must exist; empty is the working directory) in
// `format`: "mip_<level>_<filter>.png" per level (down to 1 x 1; a level
// without texels, which no filter makes, writes nothing), or "mip_<filter>.ktx2" / "mip_<filter>.dds" (`writer`
// names kiv in the KTX2 header). Texels are written as `encoding` says (encodedTexel: sRGB colour, linear values or
// renormalised normal vectors, each file marked so); alpha is written as computed when `withAlpha`, else 255, and
// the containers say what it means (`alpha`).
// Every file is complete or absent: a file that cannot be written appends one message naming it to `errors`, and
// the pyramid's other PNG files are still written. Returns false when any file failed.
bool savePyramidFiles(const MipPyramid& pyramid, const std::string& folder, const char* filterName,
                      PyramidFormat format, bool withAlpha, TexelEncoding encoding, StoredAlpha alpha,
                      const std::string& writer, GrowArray<std::string>& errors);
