// Every filter kiv offers, in one table: its name on the command line, its line in the usage text, whether it reads
// the model's surface, and one entry point. Every filter takes textures of every size. Adding a filter is one row
// here.
#pragma once

#include <cstdint>
#include <string>

#include "filters/filter_stats.h"
#include "image/float_image.h"
#include "image/pixel_bytes.h"
#include "mesh/obj_model.h"

// What every filter is built from. `mesh` is normalised, its texture coordinates repeated into the unit square
// when the filter reads the surface; `texture` is decoded as `encoding` says (linear light, linear values or normal
// vectors); `levelCount` levels are filled.
struct FilterInputs {
    const Mesh* mesh = nullptr;
    const FloatImage* texture = nullptr;
    int32_t levelCount = 0;
    LevelSolver solver = LevelSolver::iterative;  // the least-squares filters' solver
    TexelEncoding encoding = TexelEncoding::srgb;  // what the texels are: sets the range kivbic and kivtric keep
};

// Fills `pyramid` with inputs.levelCount levels, and `stats` as far as it got; false with a message when the
// filter cannot finish.
using BuildPyramid = bool (*)(const FilterInputs& inputs, MipPyramid& pyramid, FilterStats& stats, std::string& error);

struct FilterInfo {
    const char* name;
    const char* summary;  // the usage text's line
    bool readsSurface;    // whether the filter looks at where the model lays the texture
    BuildPyramid build;
};

// The filters in the order the usage text lists them.
struct FilterList {
    const FilterInfo* first;
    int32_t count;
    const FilterInfo* begin() const { return first; }
    const FilterInfo* end() const { return first + count; }
};
FilterList allFilters();

// The filter of that name (exactly, case-sensitively), or null.
const FilterInfo* findFilter(const std::string& name);

// The filter kiv runs when none is named.
extern const char* const defaultFilterName;
