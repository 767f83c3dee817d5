// The run driver: command line, dispatch of filter names, timing, saving, and every line a run prints.
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
    "",
    "--solver direct   solve kivbi and kivtri exactly (sparse Cholesky) instead of",
    "                  iterating to within 1e-4 of the exact solution (the default)",
};

void printUsage() {
    for (const char* line : usageLines) std::printf("%s\n", line);
}

// Every filter behind one signature: fill `pyramid` with state.levelCount levels from the linear
// texture (and the mesh), and `stats` as far as it got; false with a message when it cannot finish.
using FilterFunction = bool (*)(const RunState& state, MipPyramid& pyramid, FilterStats& stats, std::string& error);

// The three shapes of the filters' entry points: from the texture alone, from the texture and the
// mesh, and through a solver that can fail.
using ImageFilter = void (*)(MipPyramid&, const FloatImage&, int32_t);
using MeshFilter = void (*)(const Mesh&, MipPyramid&, const FloatImage&, int32_t);
using SolvedFilter = bool (*)(const Mesh&, MipPyramid&, const FloatImage&, int32_t, LevelSolver, FilterStats&,
                              std::string&);

template <ImageFilter build>
static bool runImageFilter(const RunState& state, MipPyramid& pyramid, FilterStats&, std::string&) {
    build(pyramid, state.texture, state.levelCount);
    return true;
}

template <MeshFilter build>
static bool runMeshFilter(const RunState& state, MipPyramid& pyramid, FilterStats&, std::string&) {
    build(state.mesh, pyramid, state.texture, state.levelCount);
    return true;
}

template <SolvedFilter build>
static bool runSolvedFilter(const RunState& state, MipPyramid& pyramid, FilterStats& stats, std::string& error) {
    return build(state.mesh, pyramid, state.texture, state.levelCount, state.solver, stats, error);
}

struct FilterEntry {
    const char* name;
    FilterFunction function;
    bool needsSquarePowerOfTwo;  // the optimisation filters pair texels across levels 2:1 on both axes
};

// Names are compared in this order, exactly and case-sensitively.
static const FilterEntry filterTable[] = {
    {"rainbow", runImageFilter<buildRainbowPyramid>, false},
    {"box", runImageFilter<buildBoxPyramid>, false},
    {"boxig", runMeshFilter<buildBoxigPyramid>, false},
    {"kivbox", runMeshFilter<buildKivboxPyramid>, false},
    {"tent", runImageFilter<buildTentPyramid>, false},
    {"lanczos3", runImageFilter<buildLanczos3Pyramid>, false},
    {"kivbi", runSolvedFilter<buildKivbiPyramid>, true},
    {"kivtri", runSolvedFilter<buildKivtriPyramid>, true},
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

// One line per solver phase that ran: wall seconds right-aligned in ten columns, processor seconds.
static void printSolverStats(const SolverStats& solver) {
    if (solver.analysisRan) {
        std::printf("\t\tSymbolic Analysis            = % 10.3f seconds (%.3f cpu)\n", solver.analysisSeconds,
                    solver.analysisProcessorSeconds);
    }
    if (solver.factorisationRan) {
        std::printf("\t\tSupernodal Multifrontal LL^T = % 10.3f seconds (%.3f cpu)\n", solver.factorisationSeconds,
                    solver.factorisationProcessorSeconds);
    }
    if (solver.iterationsRan) {
        std::printf("\t\tConjugate gradients          = % 10.3f seconds (%d iterations, residual %.2e)\n",
                    solver.iterationSeconds, solver.iterations, solver.residual);
    }
}

void printFilterStats(const FilterStats& stats) {
    for (const BilinearLevelStats& level : stats.bilinearLevels) {
        printSolverStats(level.solver);
        if (!level.solved) continue;
        std::printf("--== Tent Smart downscale by factor %d ==--\n", level.factor);
        std::printf("time = %f\n", level.seconds);
    }
    const TrilinearStats& joint = stats.trilinear;
    printSolverStats(joint.solver);
    if (joint.solved) {
        std::printf("--== Trilinear downscale ==--\n");
        std::printf("time build = %f\n", joint.buildSeconds);
        std::printf("time solve = %f\n", joint.solveSeconds);
        std::printf("time total = %f\n", joint.totalSeconds);
    }
    std::fflush(stdout);
}

// Runs one filter and prints its statistics, also when it fails or throws: the steps it finished
// are reported before the error that stopped it.
static bool runFilter(const FilterEntry& filter, const RunState& state, FilterRun& run, std::string& error) {
    FilterStats stats;
    const double start = wallClockSeconds();
    bool finished = false;
    try {
        finished = filter.function(state, run.pyramid, stats, error);
    } catch (...) {
        printFilterStats(stats);
        throw;
    }
    run.seconds = wallClockSeconds() - start;
    printFilterStats(stats);
    return finished;
}

static void printLines(const GrowArray<std::string>& lines) {
    for (const std::string& line : lines) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// Writes the levels of one run and prints a line for each level that could not be written (also
// when memory runs out partway, before that error).
static bool savePyramidReporting(const FilterRun& run) {
    GrowArray<std::string> errors;
    bool written = false;
    try {
        written = savePyramid(run.pyramid, run.name.c_str(), errors);
    } catch (...) {
        printLines(errors);
        throw;
    }
    printLines(errors);
    return written;
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
    if (!loadObjModel(state.mesh, modelPath, error) || !normaliseMesh(state.mesh, error)) return fail(error);
    if (!loadTexture(texturePath, state.texture, error)) return fail(error);
    lineariseImage(state.texture);

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
        run.name = filterNames[k];
        if (!runFilter(*filters[k], state, run, error)) return fail(error);
    }

    int status = exitSuccess;
    for (const FilterRun& run : state.runs) {
        if (!savePyramidReporting(run)) status = exitFailure;
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

    // "--solver VALUE" may stand anywhere; every other argument is the model, the texture or a filter name.
    RunState state;
    GrowArray<std::string> positional;
    for (int32_t i = 0; i < arguments.count; ++i) {
        if (arguments[i] != "--solver") {
            append(positional, arguments[i]);
            continue;
        }
        const std::string value = i + 1 < arguments.count ? arguments[i + 1] : std::string();
        if (value == "iterative") state.solver = LevelSolver::iterative;
        else if (value == "direct") state.solver = LevelSolver::direct;
        else return fail("Error: --solver takes 'iterative' or 'direct', not '" + value + "'");
        ++i;
    }
    if (positional.count < 2) {
        printUsage();
        std::fflush(stdout);
        return exitSuccess;
    }

    GrowArray<std::string> filterNames;
    for (int32_t i = 2; i < positional.count; ++i) append(filterNames, positional[i]);
    if (filterNames.count == 0) append(filterNames, std::string(defaultFilterName));
    return generateMipmaps(state, positional[0].c_str(), positional[1].c_str(), filterNames);
}
