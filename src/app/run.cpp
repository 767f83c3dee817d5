// The run driver: command line, dispatch of filter names, timing, saving and the timing report.
#include "app/run.h"

#include <omp.h>

#include <cstdio>

#include "base/clock.h"
#include "filters/bilinear_filter.h"
#include "filters/trilinear_filter.h"
#include "filters/weighted_box.h"
#include "image/classic_filters.h"
#include "image/texture_io.h"

static const char* const defaultFilterName = "kivbi";

static const char* const usageLines[] = {
    "usage: kiv.exe <model> <texture> [filter]",
    "",
    "This utility generates mipmaps using parameterization-aware filters and others.",
    "The model should be in OBJ format and use only one texture. The texture can be",
    "in any format supported by FreeImage, which includes PNG, JPG, BMP, TGA. You",
    "can optionally choose a filter from the list below. If no filter is specified,",
    "'kivbi' is used. Constrained optimization is not included in the binary,",
    "because we used the commercial library Gurobi.",
    "",
    "kivtri       KIV Optimization for trilinear reconstruction",
    "kivbi        KIV Optimization for bilinear reconstruction",
    "kivbox       KIV Optimization for box reconstruction",
    "lanczos3     Lanczos 3 filter",
    "tent         Tent filter",
    "box          Box filter",
    "boxig        Box filter that ignores unused texels",
    "rainbow      Each level is given a unique color for testing",
};

void printUsage() {
    for (const char* line : usageLines) std::printf("%s\n", line);
}

// Every filter behind one signature: fill `pyramid` with state.levelCount levels from the linear
// texture (and the mesh); false with a message when the filter cannot finish.
using FilterFunction = bool (*)(const RunState& state, MipPyramid& pyramid, std::string& error);

static bool runRainbow(const RunState& state, MipPyramid& pyramid, std::string&) {
    buildRainbowPyramid(pyramid, state.texture, state.levelCount);
    return true;
}

static bool runBox(const RunState& state, MipPyramid& pyramid, std::string&) {
    buildBoxPyramid(pyramid, state.texture, state.levelCount);
    return true;
}

static bool runBoxig(const RunState& state, MipPyramid& pyramid, std::string&) {
    boxigFilter(state.mesh, pyramid, state.texture, state.levelCount);
    return true;
}

static bool runKivbox(const RunState& state, MipPyramid& pyramid, std::string&) {
    kivboxFilter(state.mesh, pyramid, state.texture, state.levelCount);
    return true;
}

static bool runTent(const RunState& state, MipPyramid& pyramid, std::string&) {
    buildTentPyramid(pyramid, state.texture, state.levelCount);
    return true;
}

static bool runLanczos3(const RunState& state, MipPyramid& pyramid, std::string&) {
    buildLanczos3Pyramid(pyramid, state.texture, state.levelCount);
    return true;
}

static bool runKivbi(const RunState& state, MipPyramid& pyramid, std::string& error) {
    return buildBilinearOptimisedPyramid(state.mesh, pyramid, state.texture, state.levelCount, error);
}

static bool runKivtri(const RunState& state, MipPyramid& pyramid, std::string& error) {
    return buildTrilinearOptimisedPyramid(state.mesh, pyramid, state.texture, state.levelCount, error);
}

struct FilterEntry {
    const char* name;
    FilterFunction function;
    bool needsSquarePowerOfTwo;  // the optimisation filters pair texels across levels 2:1 on both axes
};

// Names are compared in this order, exactly and case-sensitively.
static const FilterEntry filterTable[] = {
    {"rainbow", runRainbow, false}, {"box", runBox, false},   {"boxig", runBoxig, false},
    {"kivbox", runKivbox, false},   {"tent", runTent, false}, {"lanczos3", runLanczos3, false},
    {"kivbi", runKivbi, true},      {"kivtri", runKivtri, true},
};

static const FilterEntry* findFilter(const std::string& name) {
    for (const FilterEntry& entry : filterTable) {
        if (name == entry.name) return &entry;
    }
    return nullptr;
}

// Prints the message, flushes, and hands back the failure status.
static int fail(const std::string& message) {
    std::printf("%s\n", message.c_str());
    std::fflush(stdout);
    return exitFailure;
}

int generateMipmaps(RunState& state, const char* modelPath, const char* texturePath,
                    const GrowArray<std::string>& filterNames) {
    // Every name is checked before any work, so a typo late in the list wastes nothing.
    GrowArray<const FilterEntry*> filters;
    for (const std::string& name : filterNames) {
        const FilterEntry* entry = findFilter(name);
        if (!entry) return fail("Error: The filter named '" + name + "' doesn't exist.");
        append(filters, entry);
    }

    std::string error;
    if (!loadObjModel(state.mesh, modelPath, error) || !normalizeMesh(state.mesh, error)) return fail(error);
    if (!loadTexture(texturePath, state.texture, error)) return fail(error);
    linearizeImage(state.texture);

    const FloatImage& texture = state.texture;
    state.levelCount = mipLevelCount(texture.width, texture.height);
    std::printf("Image is %dx%d with %d mip levels.\n", texture.width, texture.height, state.levelCount);

    if (!isSquarePowerOfTwo(texture)) {
        for (const FilterEntry* entry : filters) {
            if (!entry->needsSquarePowerOfTwo) continue;
            return fail(std::string("Error: filter '") + entry->name +
                        "' needs a square texture whose side is a power of two; '" + texturePath + "' is " +
                        std::to_string(texture.width) + "x" + std::to_string(texture.height));
        }
    }

    resize(state.runs, filterNames.count);
    for (int32_t k = 0; k < filterNames.count; ++k) {
        FilterRun& run = state.runs[k];
        const double start = wallClockSeconds();
        run.name = filterNames[k];
        const bool finished = filters[k]->function(state, run.pyramid, error);
        run.seconds = wallClockSeconds() - start;
        if (!finished) return fail(error);
    }

    int status = exitSuccess;
    for (const FilterRun& run : state.runs) {
        if (!savePyramid(run.pyramid, run.name.c_str())) status = exitFailure;
    }

    std::printf("Times:\n");
    for (const FilterRun& run : state.runs) std::printf("%.3f\t%s\n", run.seconds, run.name.c_str());
    std::printf("\n");
    std::fflush(stdout);
    return status;
}

int runCommandLine(int argc, char** argv) {
    const int processorCount = omp_get_num_procs();
    GrowArray<std::string> arguments;
    for (int i = 1; i < argc; ++i) append(arguments, std::string(argv[i]));

    omp_set_num_threads(processorCount);
    std::printf("Using %d threads on machine with %d procs\n", processorCount, processorCount);
    if (arguments.count < 2) {
        printUsage();
        std::fflush(stdout);
        return exitSuccess;
    }

    GrowArray<std::string> filterNames;
    for (int32_t i = 2; i < arguments.count; ++i) append(filterNames, arguments[i]);
    if (filterNames.count == 0) append(filterNames, std::string(defaultFilterName));

    RunState state;
    return generateMipmaps(state, arguments[0].c_str(), arguments[1].c_str(), filterNames);
}
