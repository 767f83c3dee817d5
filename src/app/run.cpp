// The run driver: command line, dispatch of filter names, timing, saving, and every line a run prints.
#include "app/run.h"
#include "app/viewer_page.h"

#include <omp.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cxxopts.hpp>
#include <filesystem>
#include <system_error>
#include <vector>

#include "base/clock.h"
#include "base/version.h"
#include "filters/bilinear_filter.h"
#include "filters/surface_error.h"
#include "filters/trilinear_filter.h"
#include "filters/weighted_box.h"
#include "image/classic_filters.h"
#include "image/texture_containers.h"
#include "image/file_output.h"
#include "image/texture_io.h"
#include "mesh/scene_model.h"
#include "mesh/texture_repeat.h"

static const char* const defaultFilterName = "kivbi";

static const char* const usageLines[] = {
    "usage: kiv [options] <model> <texture> [filter ...]",
    "       kiv --from-model [options] <model> [filter ...]",
    "",
    "Builds mipmap pyramids for the texture of a textured model: one pyramid per",
    "filter named, in the order given, 'kivbi' when none is. The model is an OBJ,",
    "glTF 2.0 (.gltf, .glb), FBX, COLLADA or other file the Assimp library reads;",
    "the texture is a PNG or JPEG file, or a BMP, TGA, TIFF, DDS, EXR, HDR or other",
    "picture FreeImage reads (the README lists them). With --from-model every colour",
    "texture of the model's materials is processed with the triangles that use it,",
    "each into a folder of its own.",
    "",
    "kivtri       KIV Optimization for trilinear reconstruction",
    "kivtric      kivtri with every value constrained to [0, 1]",
    "kivbi        KIV Optimization for bilinear reconstruction",
    "kivbic       kivbi with every value constrained to [0, 1]",
    "kivbox       KIV Optimization for box reconstruction",
    "lanczos3     Lanczos 3 filter",
    "tent         Tent filter",
    "box          Box filter",
    "boxig        Box filter that ignores unused texels",
    "rainbow      Each level is given a unique color for testing",
    "",
    "options:",
    "-o, --output DIR    write the files into DIR, created if missing (default: .)",
    "--format LIST       containers, comma-separated: png (default), ktx2, dds",
    "--threads N         threads to use (default: OMP_NUM_THREADS, else all)",
    "--solver KIND       kivbi(c), kivtri(c): iterative (default) or direct (exact)",
    "--report            print each level's error on the model; also report.csv",
    "--viewer            write viewer.html: the model with each pyramid, for a browser",
    "--from-model        take the textures from the model's materials",
    "-h, --help          print this text",
    "--version           print the version",
};

static const char* const usageHint = "Run 'kiv --help' for usage.";

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
    return build(state.mesh, pyramid, state.texture, state.levelCount, state.options.solver, stats, error);
}

// The textures a filter takes: the least-squares filters pair texels of neighbouring levels 2:1 along both axes.
enum class TextureShape { any, powerOfTwoSides };

struct FilterEntry {
    const char* name;
    FilterFunction function;
    TextureShape shape;
    bool readsSurface;  // whether the filter looks at where the model lays the texture
};

// Names are compared in this order, exactly and case-sensitively.
static const FilterEntry filterTable[] = {
    {"rainbow", runImageFilter<buildRainbowPyramid>, TextureShape::any, false},
    {"box", runImageFilter<buildBoxPyramid>, TextureShape::any, false},
    {"boxig", runMeshFilter<buildBoxigPyramid>, TextureShape::any, true},
    {"kivbox", runMeshFilter<buildKivboxPyramid>, TextureShape::any, true},
    {"tent", runImageFilter<buildTentPyramid>, TextureShape::any, false},
    {"lanczos3", runImageFilter<buildLanczos3Pyramid>, TextureShape::any, false},
    {"kivbi", runSolvedFilter<buildKivbiPyramid>, TextureShape::powerOfTwoSides, true},
    {"kivtri", runSolvedFilter<buildKivtriPyramid>, TextureShape::powerOfTwoSides, true},
    {"kivbic", runSolvedFilter<buildKivbicPyramid>, TextureShape::powerOfTwoSides, true},
    {"kivtric", runSolvedFilter<buildKivtricPyramid>, TextureShape::powerOfTwoSides, true},
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

// What a solve's line adds when its error bound was not proved: that, what ended it, and how far its residual (or
// projected gradient) is from the one the proof needs. Empty when proved.
static std::string unprovedNote(bool proved, double wantedError, const char* ending, const char* measure,
                                double value, double needed) {
    if (proved) return "";
    char text[200];
    std::snprintf(text, sizeof text, "; the %.0e bound is not proved: %s ended it with the %s %.1f times the %.2e it needs",
                  wantedError, ending ? ending : "a cap", measure, needed > 0.0 ? value / needed : 0.0, needed);
    return text;
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
        std::printf("\t\tConjugate gradients          = % 10.3f seconds (%d iterations, residual %.2e%s)\n",
                    solver.iterationSeconds, solver.iterations, solver.residual,
                    unprovedNote(solver.proved, solver.wantedError, solver.ending, "residual", solver.residual,
                                 solver.neededResidual)
                        .c_str());
    }
}

// The bounded solve's line, after the unconstrained solver's.
static void printBoundsStats(const BoundsStats& bounds) {
    if (!bounds.ran) return;
    std::printf("\t\tBounded to [0, 1]            = % 10.3f seconds (%d steps, %d iterations, %.2f%% of texels held%s)\n",
                bounds.seconds, bounds.steps, bounds.iterations, 100.0 * bounds.heldShare,
                unprovedNote(bounds.proved, bounds.wantedError, bounds.ending, "projected gradient",
                             bounds.projectedGradient, bounds.neededGradient)
                    .c_str());
}

void printFilterStats(const FilterStats& stats) {
    for (const BilinearLevelStats& level : stats.bilinearLevels) {
        printSolverStats(level.solver);
        printBoundsStats(level.bounds);
        if (!level.solved) continue;
        std::printf("--== Tent Smart downscale by factor %d ==--\n", level.factor);
        std::printf("time = %f\n", level.seconds);
    }
    const TrilinearStats& joint = stats.trilinear;
    printSolverStats(joint.solver);
    printBoundsStats(joint.bounds);
    for (int32_t l = 1; l < joint.levelHeldShare.count; ++l) {
        std::printf("\t\t  level %-2d held at a bound   = %.2f%% of texels\n", l, 100.0 * joint.levelHeldShare[l]);
    }
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
    // Progress goes to a person watching, never into a log: only when standard error is a terminal.
    FilterStats stats;
    if (isatty(STDERR_FILENO)) {
        std::fprintf(stderr, "%s: running\n", run.name.c_str());
        stats.progress.context = &run;
        stats.progress.step = [](void* context, const char* what, int32_t done, int32_t total) {
            std::fprintf(stderr, "%s: %s %d of %d\n", static_cast<FilterRun*>(context)->name.c_str(), what, done, total);
        };
    }
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

// Writes one filter's pyramid in every container the run asks for, into the output folder, and
// prints a line for each file that could not be written (also when memory runs out partway, before
// that error). Returns false when any file failed.
static bool writeContainers(const FilterRun& run, const RunOptions& options, const std::string& folder, bool withAlpha) {
    bool written = true;
    if (options.formats & formatPng) {
        GrowArray<std::string> errors;
        try {
            written = savePyramid(run.pyramid, folder, run.name.c_str(), withAlpha, errors);
        } catch (...) {
            printLines(errors);
            throw;
        }
        printLines(errors);
    }
    for (const ContainerFormat format : {ContainerFormat::ktx2, ContainerFormat::dds}) {
        if (!(options.formats & (format == ContainerFormat::ktx2 ? formatKtx2 : formatDds))) continue;
        std::string error;
        if (!savePyramidContainer(run.pyramid, folder, run.name.c_str(), format, withAlpha,
                                  kivNameAndVersion, error)) {
            std::printf("%s\n", error.c_str());
            std::fflush(stdout);
            written = false;
        }
    }
    return written;
}

// Creates the output folder and its parents when missing; an empty folder is the working directory.
static bool createOutputFolder(const std::string& folder, std::string& error) {
    if (folder.empty()) return true;
    std::error_code code;
    std::filesystem::create_directories(folder, code);
    if (!code) return true;
    error = "Error: " + folder + ": cannot create the output folder (" + code.message() + ")";
    return false;
}

// Makes the folder the current texture's files go into when missing: the output folder itself, or with --from-model
// the texture's folder inside it, held open until closeMadeFolder so that a symbolic link planted under its name is
// refused rather than followed out of the output folder.
static bool prepareOutputFolder(const RunState& state, std::string& error) {
    if (!state.options.fromModel) return createOutputFolder(state.outputFolder, error);
    return openMadeFolder(state.options.outputFolder, state.textureFolder, error);
}

// Writes `text` as `name` in state.outputFolder, through a file renamed into place once complete; prints the error
// line and returns false when it cannot.
static bool writeOutputFile(const RunState& state, const char* name, const std::string& text, const char* what) {
    const std::string path = pathInFolder(state.outputFolder, name);
    PendingFile pending;
    openBeside(path.c_str(), pending);
    writeBytes(pending, text.data(), text.size());
    std::string error;
    if (finishFile(pending, path.c_str(), what, error)) return true;
    std::printf("%s\n", error.c_str());
    std::fflush(stdout);
    return false;
}

// The error every level of every pyramid makes on the model, from the levels as written (8-bit sRGB read back):
// a table of RMS values, one column per filter, then the trilinear mean square of every segment and their sum;
// the same figures in report.csv. Returns false when the file cannot be written (the table is printed anyway).
static bool reportSurfaceError(const RunState& state) {
    SurfaceErrorBasis basis;
    prepareSurfaceError(basis, state.mesh, state.texture);
    GrowArray<PyramidSurfaceError> errors;
    resize(errors, state.runs.count);
    for (int32_t r = 0; r < state.runs.count; ++r) {
        MipPyramid written = state.runs[r].pyramid;
        for (FloatImage& level : written.levels) {
            for (int32_t j = 0; j < level.count; ++j) {
                Texel& t = level.texels[j];
                t = Texel{asWritten(t.r), asWritten(t.g), asWritten(t.b), t.a};
            }
        }
        measureSurfaceError(basis, written, errors[r]);
    }
    const MipPyramid& shape = state.runs[0].pyramid;
    const int32_t levels = errors[0].levelRms.count;
    std::printf("Surface error (RMS over the model, linear RGB):\nlevel\tsize");
    for (const FilterRun& run : state.runs) std::printf("\t%s", run.name.c_str());
    std::printf("\n");
    for (int32_t k = 0; k < levels; ++k) {
        std::printf("%d\t%dx%d", k, shape.levels[k].width, shape.levels[k].height);
        for (const PyramidSurfaceError& error : errors) std::printf("\t%.6f", error.levelRms[k]);
        std::printf("\n");
    }
    std::printf("Trilinear error (mean square over the model and each segment):\n");
    for (int32_t k = 0; k + 1 < levels; ++k) {
        std::printf("%d-%d\t", k, k + 1);
        for (const PyramidSurfaceError& error : errors) std::printf("\t%.8f", error.segmentMeanSquare[k]);
        std::printf("\n");
    }
    std::printf("sum\t");
    for (const PyramidSurfaceError& error : errors) std::printf("\t%.8f", error.trilinear);
    std::printf("\n\n");
    std::fflush(stdout);

    std::string csv = "filter,level,width,height,rms,segment_to_next,trilinear_sum\n";
    char line[256];
    for (int32_t r = 0; r < state.runs.count; ++r) {
        const PyramidSurfaceError& error = errors[r];
        for (int32_t k = 0; k < error.levelRms.count; ++k) {
            const FloatImage& level = state.runs[r].pyramid.levels[k];
            std::snprintf(line, sizeof(line), "%d,%d,%d,%.9g,", k, level.width, level.height, error.levelRms[k]);
            csv += state.runs[r].name + "," + line;
            if (k < error.segmentMeanSquare.count) {
                std::snprintf(line, sizeof(line), "%.9g", error.segmentMeanSquare[k]);
                csv += line;
            }
            std::snprintf(line, sizeof(line), ",%.9g\n", error.trilinear);
            csv += line;
        }
    }
    return writeOutputFile(state, "report.csv", csv, "report");
}

// The page that shows the model with every pyramid of the run (the levels as the PNG files hold them). Returns false
// with a printed error line when it cannot be built or written.
static bool writeViewer(const RunState& state, const std::string& texturePath) {
    std::string page, error;
    const std::string modelName = std::filesystem::path(state.options.modelPath).filename().string();
    const std::string textureName = std::filesystem::path(texturePath).filename().string();
    if (!buildViewerPage(state.mesh, state.runs, state.texture.hasAlpha, modelName, textureName, page, error)) {
        std::printf("Error: viewer.html: cannot encode a level (%s)\n", error.c_str());
        std::fflush(stdout);
        return false;
    }
    return writeOutputFile(state, "viewer.html", page, "viewer page");
}

// Refuses a texture that --report or a requested filter cannot take; `name` stands for it in the message.
static bool checkTextureShape(const FloatImage& texture, const RunOptions& options,
                              const GrowArray<const FilterEntry*>& filters, const std::string& name, std::string& error) {
    if (hasPowerOfTwoSides(texture)) return true;
    const std::string size = std::to_string(texture.width) + "x" + std::to_string(texture.height);
    if (options.report) {
        error = "Error: --report needs a texture whose sides are powers of two; '" + name + "' is " + size;
        return false;
    }
    for (const FilterEntry* entry : filters) {
        if (entry->shape == TextureShape::powerOfTwoSides) {
            error = std::string("Error: filter '") + entry->name + "' needs a texture whose sides are powers of two; '" +
                    name + "' is " + size;
            return false;
        }
    }
    return true;
}

static bool anyReadsSurface(const RunOptions& options, const GrowArray<const FilterEntry*>& filters) {
    return options.report ||
           std::any_of(filters.begin(), filters.end(), [](const FilterEntry* entry) { return entry->readsSurface; });
}

// Runs every filter on state.mesh (normalised, its coordinates repeated when a filter reads the surface) and
// state.texture (linear), writes the levels into state.outputFolder, prints the report and writes the viewer page when
// asked; returns the exit status.
static int buildPyramids(RunState& state, const GrowArray<const FilterEntry*>& filters, const std::string& textureName) {
    const FloatImage& texture = state.texture;
    state.levelCount = mipLevelCount(texture.width, texture.height);
    std::printf("Image is %dx%d with %d mip levels.\n", texture.width, texture.height, state.levelCount);

    std::string error;
    if (!checkTextureShape(texture, state.options, filters, textureName, error)) return fail(error);
    release(state.runs);
    resize(state.runs, filters.count);
    for (int32_t k = 0; k < filters.count; ++k) {
        FilterRun& run = state.runs[k];
        run.name = state.options.filterNames[k];
        if (!runFilter(*filters[k], state, run, error)) return fail(error);
    }

    if (!prepareOutputFolder(state, error)) return fail(error);
    int status = exitSuccess;
    for (const FilterRun& run : state.runs) {
        if (!writeContainers(run, state.options, state.outputFolder, state.texture.hasAlpha)) status = exitFailure;
    }

    std::printf("Times:\n");
    for (const FilterRun& run : state.runs) std::printf("%.3f\t%s\n", run.seconds, run.name.c_str());
    std::printf("\n");
    std::fflush(stdout);
    if (state.options.report && !reportSurfaceError(state)) status = exitFailure;
    if (state.options.viewer && !writeViewer(state, textureName)) status = exitFailure;
    return status;
}

// The model's triangles: OBJ files through the OBJ reader, every other format through the scene importer (the
// triangles with a first set of texture coordinates, placed by their nodes).
static bool loadModel(const char* path, Mesh& mesh, std::string& error) {
    if (isObjPath(path)) return loadObjModel(mesh, path, error);
    SceneModel scene;
    if (!loadSceneModel(path, scene, error)) return false;
    mesh = std::move(scene.mesh);
    return true;
}

// A texture's coordinates count as repeating when more than this share of its surface has a corner outside the
// unit square.
static const double repeatingShare = 0.01;

// --from-model: every colour texture of the model's materials with the triangles that use it, each into a folder
// of the output folder named after it. Every texture is decoded and checked before any filter runs.
static int buildModelTextures(RunState& state, const GrowArray<const FilterEntry*>& filters) {
    const char* modelPath = state.options.modelPath.c_str();
    std::string error;
    // An OBJ file still passes the OBJ reader's checks; its materials come from the scene importer.
    if (isObjPath(modelPath) && !loadObjModel(state.mesh, modelPath, error)) return fail(error);
    SceneModel scene;
    if (!loadSceneModel(modelPath, scene, error)) return fail(error);
    if (scene.textures.count == 0) {
        return fail("Error: " + state.options.modelPath +
                    ": no material has a colour texture mapped through texture coordinates");
    }
    for (const SceneTexture& texture : scene.textures) {
        if (!loadSceneTexture(texture, state.texture, error) ||
            !checkTextureShape(state.texture, state.options, filters, texture.source, error)) {
            return fail(error);
        }
    }
    releaseImage(state.texture);

    const bool readsSurface = anyReadsSurface(state.options, filters);
    int status = exitSuccess;
    int32_t built = 0;
    for (SceneTexture& texture : scene.textures) {
        const double share = scene.area > 0 ? texture.area / scene.area : 0;
        std::printf("Texture '%s' from %s: %d triangles, %.1f %% of the model's surface\n", texture.name.c_str(),
                    texture.source.c_str(), texture.mesh.triangles.count, 100 * share);
        if (texture.mesh.triangles.count == 0) {
            std::printf("No triangle uses texture '%s' through texture coordinates; it is skipped.\n",
                        texture.name.c_str());
            continue;
        }
        if (texture.area > 0 && texture.areaOutside > repeatingShare * texture.area) {
            std::printf("Warning: texture '%s': its coordinates leave [0, 1] on %.1f %% of its surface; the "
                        "mapping-aware filters fold that surface into the texture as a repeating sampler reads it%s\n",
                        texture.name.c_str(), 100 * texture.areaOutside / texture.area,
                        texture.repeatingSampler ? "" : ", but a material asks for clamped or mirrored coordinates");
        }
        std::fflush(stdout);
        state.mesh = std::move(texture.mesh);
        if (!normaliseMesh(state.mesh, error)) return fail(error);
        if (readsSurface && !repeatTextureCoordinates(state.mesh, modelPath, error)) return fail(error);
        if (!loadSceneTexture(texture, state.texture, error)) return fail(error);
        lineariseImage(state.texture);
        state.outputFolder = pathInFolder(state.options.outputFolder, texture.name);
        state.textureFolder = texture.name;
        if (buildPyramids(state, filters, texture.source) != exitSuccess) status = exitFailure;
        closeMadeFolder();
        ++built;
    }
    // A run that produced nothing is no success, though every texture it skipped was named.
    if (built == 0) {
        return fail("Error: " + state.options.modelPath +
                    ": no texture is used by any triangle through texture coordinates; nothing was written");
    }
    return status;
}

int generateMipmaps(RunState& state) {
    const GrowArray<std::string>& filterNames = state.options.filterNames;
    const char* modelPath = state.options.modelPath.c_str();
    const char* texturePath = state.options.texturePath.c_str();
    // Every name is checked before any work, so a typo late in the list wastes nothing.
    GrowArray<const FilterEntry*> filters;
    for (const std::string& name : filterNames) {
        const FilterEntry* entry = findFilter(name);
        if (!entry) return fail("Error: The filter named '" + name + "' doesn't exist.");
        append(filters, entry);
    }

    std::string error;
    if (!createOutputFolder(state.options.outputFolder, error)) return fail(error);
    if (state.options.fromModel) return buildModelTextures(state, filters);
    if (!loadModel(modelPath, state.mesh, error) || !normaliseMesh(state.mesh, error)) return fail(error);
    // The filters that read the surface see the texture repeat beyond the unit square, as a wrapping sampler does.
    if (anyReadsSurface(state.options, filters) && !repeatTextureCoordinates(state.mesh, modelPath, error)) {
        return fail(error);
    }
    if (!loadTexture(texturePath, state.texture, error)) return fail(error);
    lineariseImage(state.texture);
    state.outputFolder = state.options.outputFolder;
    return buildPyramids(state, filters, texturePath);
}

// The option's value checks share one message form: "Error: <option> takes <what it takes>, not '<value>'".
static std::string badValue(const char* option, const char* takes, const std::string& value) {
    return std::string("Error: ") + option + " takes " + takes + ", not '" + value + "'";
}

static const char* const solverTakes = "'iterative' or 'direct'";
static const char* const formatTakes = "png, ktx2 or dds";
static const int32_t maximumThreadCount = 1024;  // a guard against typos, far above any machine's processors
static const char* const threadsTakes = "a whole number from 1 to 1024";
static const char* const outputTakes = "a folder name";

static bool parseSolver(const std::string& value, LevelSolver& solver, std::string& error) {
    if (value == "iterative") solver = LevelSolver::iterative;
    else if (value == "direct") solver = LevelSolver::direct;
    else {
        error = badValue("--solver", solverTakes, value);
        return false;
    }
    return true;
}

// A comma-separated list of container names; a name given twice counts once.
static bool parseFormats(const std::string& list, uint32_t& formats, std::string& error) {
    formats = 0;
    size_t start = 0;
    while (true) {
        const size_t end = std::min(list.find(',', start), list.size());
        const std::string name = list.substr(start, end - start);
        if (name == "png") formats |= formatPng;
        else if (name == "ktx2") formats |= formatKtx2;
        else if (name == "dds") formats |= formatDds;
        else {
            error = badValue("--format", formatTakes, name);
            return false;
        }
        if (end == list.size()) return true;
        start = end + 1;
    }
}

static bool parseThreadCount(const std::string& value, int32_t& threadCount, std::string& error) {
    // Digits only, so "+2", " 2" and "2x" are refused rather than read by halves.
    bool digits = !value.empty() && value.size() <= 4;
    for (char c : value) digits = digits && c >= '0' && c <= '9';
    const int32_t count = digits ? std::atoi(value.c_str()) : 0;
    if (count < 1 || count > maximumThreadCount) {
        error = badValue("--threads", threadsTakes, value);
        return false;
    }
    threadCount = count;
    return true;
}

// What each value-taking option takes, for the message when its value is missing.
static std::string missingValue(const std::string& option) {
    if (option == "--solver") return badValue("--solver", solverTakes, "");
    if (option == "--format") return badValue("--format", formatTakes, "");
    if (option == "--threads") return badValue("--threads", threadsTakes, "");
    return badValue(option.c_str(), outputTakes, "");
}

bool parseCommandLine(int argc, const char* const* argv, RunOptions& options, std::string& error) {
    // --help and --version answer whatever the rest of the line holds, an unknown option or a bad value included.
    RunOptions asked;
    for (int k = 1; k < argc; ++k) {
        const std::string argument = argv[k];
        if (argument == "--") break;
        asked.help = asked.help || argument == "-h" || argument == "--help";
        asked.version = asked.version || argument == "--version";
    }
    if (asked.help || asked.version) {
        options = asked;
        return true;
    }
    cxxopts::Options parser("kiv");
    // Values are taken as text and checked here, so every bad value gets a message naming its option.
    parser.add_options()
        ("o,output", "", cxxopts::value<std::string>())
        ("format", "", cxxopts::value<std::string>())
        ("threads", "", cxxopts::value<std::string>())
        ("solver", "", cxxopts::value<std::string>())
        ("report", "")
        ("viewer", "")
        ("from-model", "")
        ("h,help", "")
        ("version", "")
        ("arguments", "", cxxopts::value<std::vector<std::string>>());
    parser.parse_positional({"arguments"});

    RunOptions parsed;
    try {
        const cxxopts::ParseResult result = parser.parse(argc, argv);
        // An option given twice would silently lose its first value.
        for (const char* option : {"output", "format", "threads", "solver"}) {
            if (result.count(option) > 1) {
                error = std::string("Error: ") + (option == std::string("output") ? "-o/--output" : "--" + std::string(option)) +
                        " is given more than once";
                return false;
            }
        }
        parsed.report = result.count("report") > 0;
        parsed.viewer = result.count("viewer") > 0;
        if (parsed.viewer && !viewerPageBuilt()) {
            error = "Error: --viewer is not in this build of kiv (it was configured with -DKIV_WITH_VIEWER=OFF)";
            return false;
        }
        parsed.fromModel = result.count("from-model") > 0;
        if (result.count("output")) {
            parsed.outputFolder = result["output"].as<std::string>();
            if (parsed.outputFolder.empty()) error = badValue("-o/--output", outputTakes, "");
        }
        if (error.empty() && result.count("format")) {
            parseFormats(result["format"].as<std::string>(), parsed.formats, error);
        }
        if (error.empty() && result.count("threads")) {
            parseThreadCount(result["threads"].as<std::string>(), parsed.threadCount, error);
        }
        if (error.empty() && result.count("solver")) {
            parseSolver(result["solver"].as<std::string>(), parsed.solver, error);
        }
        if (!error.empty()) return false;
        if (result.count("arguments")) {
            for (const std::string& argument : result["arguments"].as<std::vector<std::string>>()) {
                ++parsed.positionalCount;
                if (parsed.positionalCount == 1) parsed.modelPath = argument;
                else if (parsed.positionalCount == 2 && !parsed.fromModel) parsed.texturePath = argument;
                else append(parsed.filterNames, argument);
            }
        }
    } catch (const cxxopts::exceptions::missing_argument&) {
        // Only the last argument can lack its value.
        error = missingValue(argv[argc - 1]);
        return false;
    } catch (const cxxopts::exceptions::exception& failure) {
        // The parser quotes with typographic marks; the rest of kiv's messages use plain ones.
        std::string message = failure.what();
        for (const char* mark : {"\u2018", "\u2019"}) {
            for (size_t at = message.find(mark); at != std::string::npos; at = message.find(mark, at + 1)) {
                message.replace(at, std::char_traits<char>::length(mark), "'");
            }
        }
        error = "Error: " + message;
        return false;
    }
    if (parsed.filterNames.count == 0) append(parsed.filterNames, std::string(defaultFilterName));
    options = parsed;
    return true;
}

// --threads when given, else what the OpenMP runtime read from OMP_NUM_THREADS when that is set,
// else every processor.
static int32_t chooseThreadCount(int32_t requested) {
    if (requested > 0) return requested;
    const char* fromEnvironment = std::getenv("OMP_NUM_THREADS");
    if (fromEnvironment && *fromEnvironment) return omp_get_max_threads();
    return omp_get_num_procs();
}

// Whether `count` threads can be started (and they are joined again at once).
static bool canStartThreads(int count) {
    std::vector<pthread_t> threads;
    bool started = true;
    for (int k = 0; k < count && started; ++k) {
        pthread_t thread;
        started = pthread_create(&thread, nullptr, [](void*) -> void* { return nullptr; }, nullptr) == 0;
        if (started) threads.push_back(thread);
    }
    for (pthread_t thread : threads) pthread_join(thread, nullptr);
    return started;
}

int runCommandLine(int argc, char** argv) {
    RunState state;
    std::string error;
    if (!parseCommandLine(argc, argv, state.options, error)) {
        std::printf("%s\n%s\n", error.c_str(), usageHint);
        std::fflush(stdout);
        return exitFailure;
    }
    const RunOptions& options = state.options;
    if (options.help || options.version) {
        if (options.help) printUsage();
        else std::printf("%s\n", kivNameAndVersion);
        std::fflush(stdout);
        return exitSuccess;
    }

    const int processorCount = omp_get_num_procs();
    int threadCount = chooseThreadCount(options.threadCount);
    // The OpenMP runtime ends the process with a message of its own, and no Error line, when it cannot create a
    // thread. So the threads are tried first, while memory is plentiful: a process that cannot even start them runs
    // on one thread (with the same results); otherwise the runtime's pool is started at once and kept.
    if (threadCount > 1 && !canStartThreads(threadCount - 1)) threadCount = 1;
    omp_set_num_threads(threadCount);
#pragma omp parallel
    {
    }
    std::printf("Using %d threads on machine with %d procs\n", threadCount, processorCount);
    if (options.positionalCount < (options.fromModel ? 1 : 2)) {
        printUsage();
        std::fflush(stdout);
        return exitSuccess;
    }
    return generateMipmaps(state);
}
