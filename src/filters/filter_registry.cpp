// The table of filters and the adapters that give every filter's entry point the one signature.
#include "filters/filter_registry.h"

#include "filters/bilinear_filter.h"
#include "filters/trilinear_filter.h"
#include "filters/weighted_box.h"
#include "image/classic_filters.h"

const char* const defaultFilterName = "kivbi";

// The three shapes of the filters' own entry points: from the texture alone, from the texture and the mesh, and
// through a solver that can fail.
using ImageFilter = void (*)(MipPyramid&, const FloatImage&, int32_t);
using MeshFilter = void (*)(const Mesh&, MipPyramid&, const FloatImage&, int32_t);
using SolvedFilter = bool (*)(const Mesh&, MipPyramid&, const FloatImage&, int32_t, LevelSolver, FilterStats&,
                              std::string&);

template <ImageFilter build>
static bool fromImage(const FilterInputs& inputs, MipPyramid& pyramid, FilterStats&, std::string&) {
    build(pyramid, *inputs.texture, inputs.levelCount);
    return true;
}

template <MeshFilter build>
static bool fromMesh(const FilterInputs& inputs, MipPyramid& pyramid, FilterStats&, std::string&) {
    build(*inputs.mesh, pyramid, *inputs.texture, inputs.levelCount);
    return true;
}

template <SolvedFilter build>
static bool bySolving(const FilterInputs& inputs, MipPyramid& pyramid, FilterStats& stats, std::string& error) {
    return build(*inputs.mesh, pyramid, *inputs.texture, inputs.levelCount, inputs.solver, stats, error);
}

using BoundedFilter = bool (*)(const Mesh&, MipPyramid&, const FloatImage&, int32_t, LevelSolver, const ValueRange&,
                               FilterStats&, std::string&);

// The bounded filters keep every value within what a level file can hold: [0, 1], or [-1, 1] for normal vectors.
template <BoundedFilter build>
static bool withinBounds(const FilterInputs& inputs, MipPyramid& pyramid, FilterStats& stats, std::string& error) {
    const ValueRange range = inputs.encoding == TexelEncoding::normal ? ValueRange{-1.0, 1.0} : ValueRange{0.0, 1.0};
    return build(*inputs.mesh, pyramid, *inputs.texture, inputs.levelCount, inputs.solver, range, stats, error);
}

static const FilterInfo filterTable[] = {
    {"kivtri", "KIV Optimization for trilinear reconstruction", true, bySolving<buildKivtriPyramid>},
    {"kivtric", "kivtri with every value constrained to [0, 1]", true, withinBounds<buildKivtricPyramidWithin>},
    {"kivbi", "KIV Optimization for bilinear reconstruction", true, bySolving<buildKivbiPyramid>},
    {"kivbic", "kivbi with every value constrained to [0, 1]", true, withinBounds<buildKivbicPyramidWithin>},
    {"kivbox", "KIV Optimization for box reconstruction", true, fromMesh<buildKivboxPyramid>},
    {"lanczos3", "Lanczos 3 filter", false, fromImage<buildLanczos3Pyramid>},
    {"tent", "Tent filter", false, fromImage<buildTentPyramid>},
    {"box", "Box filter", false, fromImage<buildBoxPyramid>},
    {"boxig", "Box filter that ignores unused texels", true, fromMesh<buildBoxigPyramid>},
    {"rainbow", "Each level is given a unique color for testing", false, fromImage<buildRainbowPyramid>},
};

FilterList allFilters() { return {filterTable, static_cast<int32_t>(sizeof filterTable / sizeof filterTable[0])}; }

const FilterInfo* findFilter(const std::string& name) {
    for (const FilterInfo& filter : filterTable) {
        if (name == filter.name) return &filter;
    }
    return nullptr;
}
