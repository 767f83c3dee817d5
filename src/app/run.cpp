// The run driver: one job per texture, every filter on each, then the files, the report and the viewer page.
#include "app/run.h"

#include <omp.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <vector>

#include "app/progress_line.h"
#include "app/run_log.h"
#include "app/texture_job.h"
#include "base/clock.h"
#include "base/version.h"
#include "filters/filter_registry.h"
#include "filters/surface_reads.h"
#include "image/file_output.h"
#include "image/texture_io.h"
#include "mesh/scene_model.h"
#include "mesh/texture_repeat.h"

// Prints the error line and hands back the failure status.
static int fail(const std::string& message) {
    printError(message);
    return exitFailure;
}

// The progress line's display of a filter's report.
static void showFilterProgress(void*, const char* phase, int32_t level, int32_t levels, double done) {
    updateProgressLine(phase, level, levels, done);
}

// Runs one filter and prints its statistics, also when it fails or throws: the steps it finished
// are reported before the error that stopped it. Measures its time and the process's peak memory while it runs.
static bool runFilter(const FilterInfo& filter, const FilterInputs& inputs, FilterRun& run, bool& peakOfFilter,
                      std::string& error) {
    FilterStats stats;
    stats.progress.update = showFilterProgress;
    peakOfFilter = restartPeakMemory() && peakOfFilter;
    startProgressLine(run.name);
    const double start = wallClockSeconds();
    bool finished = false;
    try {
        finished = filter.build(inputs, run.pyramid, stats, error);
    } catch (...) {
        finishProgressLine();
        printFilterStats(stats);
        throw;
    }
    run.seconds = wallClockSeconds() - start;
    run.peakMemoryBytes = peakResidentBytes();
    finishProgressLine();
    printFilterStats(stats);
    return finished;
}

static bool anyReadsSurface(const RunOptions& options, const GrowArray<const FilterInfo*>& filters) {
    return options.report || needsReadWeights(options) ||
           std::any_of(filters.begin(), filters.end(), [](const FilterInfo* filter) { return filter->readsSurface; });
}

// Runs every filter on the job, writes the levels into its folder, prints the report and writes the viewer page when
// asked; returns the exit status.
static int buildPyramids(const RunOptions& options, const GrowArray<const FilterInfo*>& filters, TextureJob& job,
                         const std::string& roles, RunManifest& manifest) {
    append(manifest.textures, ManifestTexture());
    ManifestTexture& record = manifest.textures[manifest.textures.count - 1];
    record.path = job.source;
    record.name = job.stem;
    record.roles = roles;
    record.width = job.texture.width;
    record.height = job.texture.height;
    record.encoding = job.encoding;
    record.folder = job.outputFolder;
    FilterInputs inputs;
    inputs.mesh = &job.mesh;
    inputs.texture = &job.texture;
    inputs.levelCount = mipLevelCount(job.texture.width, job.texture.height);
    inputs.solver = options.solver;
    inputs.encoding = job.encoding;
    logPrintf("Image is %dx%d with %d mip levels.\n", job.texture.width, job.texture.height, inputs.levelCount);

    std::string error;
    if (!settleFormats(options, job, error)) return fail(error);
    GrowArray<FilterRun> runs;
    resize(runs, filters.count);
    // How much the surface reads each texel: for coverage over the surface, and for the files that weigh and fill
    // by it.
    GrowArray<LevelWeights> surfaceWeights;
    const GrowArray<LevelWeights> textureWeights;
    const auto readWeights = [&]() -> const GrowArray<LevelWeights>& {
        if (surfaceWeights.count == 0) {
            surfaceReadWeights(job.mesh, job.texture.width, job.texture.height, surfaceWeights);
        }
        return surfaceWeights;
    };
    for (int32_t k = 0; k < filters.count; ++k) {
        runs[k].name = options.filterNames[k];
        if (!runFilter(*filters[k], inputs, runs[k], manifest.peakOfEachFilter, error)) return fail(error);
        append(record.filters, ManifestFilter());
        ManifestFilter& ran = record.filters[record.filters.count - 1];
        ran.name = runs[k].name;
        ran.seconds = runs[k].seconds;
        ran.peakMemoryBytes = runs[k].peakMemoryBytes;
        // Coverage is kept over the model's surface for the filters that read it, over the texture for the others.
        const bool onSurface = job.alpha == AlphaMode::coverage && filters[k]->readsSurface;
        finishAlpha(runs[k].pyramid, job, onSurface ? readWeights() : textureWeights);
    }

    if (!prepareOutputFolder(options, job, error)) return fail(error);
    int status = exitSuccess;
    for (FilterRun& run : runs) {
        if (!writePyramid(run, options, job, needsReadWeights(options) ? readWeights() : textureWeights, record)) {
            status = exitFailure;
        }
    }

    logPrintf("Times:\n");
    for (const FilterRun& run : runs) logPrintf("%.3f\t%s\n", run.seconds, run.name.c_str());
    logPrintf("\n");
    std::fflush(stdout);
    if (options.report && !reportSurfaceError(job, runs, record)) status = exitFailure;
    if (options.viewer && !writeViewer(options, job, runs, record)) status = exitFailure;
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

// --from-model: every texture of the model's materials with the triangles that read it, each read as its role says
// (colour as sRGB, normal maps as vectors, other maps as linear values) into a folder of the output folder named
// after it. The textures of roles kiv does not process are named first, with the reason. Every texture is decoded
// before any filter runs, so that a bad one stops the run before any work.
static int buildModelTextures(const RunOptions& options, const GrowArray<const FilterInfo*>& filters,
                              RunManifest& manifest) {
    const char* modelPath = options.modelPath.c_str();
    std::string error;
    TextureJob job;
    // An OBJ file still passes the OBJ reader's checks; its materials come from the scene importer.
    if (isObjPath(modelPath) && !loadObjModel(job.mesh, modelPath, error)) return fail(error);
    SceneModel scene;
    if (!loadSceneModel(modelPath, scene, error)) return fail(error);
    for (const UnhandledTexture& texture : scene.unhandled) {
        logPrintf("Texture '%s' (%s) of material '%s' is not processed: %s.\n", texture.file.c_str(),
                  texture.role.c_str(), texture.material.c_str(), texture.reason.c_str());
    }
    if (scene.textures.count == 0 && scene.unhandled.count > 0) {
        return fail(options.modelPath + ": kiv processes none of the model's textures; each is named above with the "
                                        "reason");
    }
    if (scene.textures.count == 0) {
        return fail(options.modelPath + ": no material has a texture mapped through texture coordinates");
    }
    for (const SceneTexture& texture : scene.textures) {
        if (!loadSceneTexture(texture, job.texture, error)) return fail(error);
    }
    releaseImage(job.texture);

    const bool readsSurface = anyReadsSurface(options, filters);
    int status = exitSuccess;
    int32_t built = 0;
    for (SceneTexture& texture : scene.textures) {
        const double share = scene.area > 0 ? texture.area / scene.area : 0;
        const std::string found = texture.foundNote.empty() ? "" : " (" + texture.foundNote + ")";
        logPrintf("Texture '%s' (%s; %s) from %s%s: %d triangles, %.1f %% of the model's surface\n",
                  texture.name.c_str(), texture.roles.c_str(), texelEncodingName(texture.encoding),
                  texture.source.c_str(), found.c_str(), texture.mesh.triangles.count, 100 * share);
        if (texture.mesh.triangles.count == 0) {
            logPrintf("No triangle uses texture '%s' through texture coordinates; it is skipped.\n",
                      texture.name.c_str());
            continue;
        }
        if (texture.area > 0 && texture.areaOutside > repeatingShare * texture.area) {
            char outside[32];
            std::snprintf(outside, sizeof outside, "%.1f", 100 * texture.areaOutside / texture.area);
            printWarning("texture '" + texture.name + "': its coordinates leave [0, 1] on " + outside +
                         " % of its surface; the mapping-aware filters fold that surface into the texture as a "
                         "repeating sampler reads it" +
                         (texture.repeatingSampler ? "" : ", but a material asks for clamped or mirrored coordinates"));
        }
        std::fflush(stdout);
        job.mesh = std::move(texture.mesh);
        if (!normaliseMesh(job.mesh, error)) return fail(error);
        if (readsSurface && !repeatTextureCoordinates(job.mesh, modelPath, error)) return fail(error);
        if (!loadSceneTexture(texture, job.texture, error)) return fail(error);
        job.encoding = texture.encoding;
        decodeTexels(job.texture, job.encoding);
        // The alpha of other maps than colour is data: it is filtered as it is.
        settleAlpha(job, texture.alphaIsOpacity ? options.alpha : AlphaMode::straight, options.alphaCutoff,
                    options.premultipliedOutput);
        job.source = texture.source;
        job.stem = texture.name;
        job.outputFolder = pathInFolder(options.outputFolder, texture.name);
        job.madeFolder = texture.name;
        if (buildPyramids(options, filters, job, texture.roles, manifest) != exitSuccess) status = exitFailure;
        closeMadeFolder();
        ++built;
    }
    // A run that produced nothing is no success, though every texture it skipped was named.
    if (built == 0) {
        return fail(options.modelPath +
                    ": no texture is used by any triangle through texture coordinates; nothing was written");
    }
    return status;
}

// A plain run counts every triangle of the model for the one texture given; an OBJ model whose materials name
// several textures reads each on some triangles only.
static void warnOfOtherTextures(const RunOptions& options, const Mesh& mesh) {
    const GrowArray<std::string> textures = objColourTextures(mesh, options.modelPath.c_str());
    if (textures.count < 2) return;
    std::string names;
    for (const std::string& texture : textures) names += (names.empty() ? "" : ", ") + texture;
    printWarning(options.modelPath + ": its materials name " + std::to_string(textures.count) + " textures (" + names +
                 "), but every triangle is counted for " + options.texturePath +
                 "; --from-model processes each texture with the triangles that use it");
}

int generateMipmaps(const RunOptions& options, RunManifest& manifest) {
    const char* modelPath = options.modelPath.c_str();
    manifest.model = options.modelPath;
    manifest.outputFolder = options.outputFolder;
    // Every name is checked before any work, so a typo late in the list wastes nothing.
    GrowArray<const FilterInfo*> filters;
    for (const std::string& name : options.filterNames) {
        const FilterInfo* filter = findFilter(name);
        if (!filter) return fail("The filter named '" + name + "' doesn't exist.");
        append(filters, filter);
    }

    std::string error;
    if (!createOutputFolder(options.outputFolder, error)) return fail(error);
    if (options.fromModel) return buildModelTextures(options, filters, manifest);
    TextureJob job;
    if (!loadModel(modelPath, job.mesh, error) || !normaliseMesh(job.mesh, error)) return fail(error);
    // The filters that read the surface see the texture repeat beyond the unit square, as a wrapping sampler does.
    if (anyReadsSurface(options, filters)) {
        if (!repeatTextureCoordinates(job.mesh, modelPath, error)) return fail(error);
        if (isObjPath(modelPath)) warnOfOtherTextures(options, job.mesh);
    }
    if (!loadTexture(options.texturePath.c_str(), job.texture, error)) return fail(error);
    job.encoding = options.encoding;
    decodeTexels(job.texture, job.encoding);
    settleAlpha(job, options.alpha, options.alphaCutoff, options.premultipliedOutput);
    job.source = options.texturePath;
    job.stem = std::filesystem::path(options.texturePath).stem().string();
    job.outputFolder = options.outputFolder;
    return buildPyramids(options, filters, job, std::string(), manifest);
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

// Sets the number of threads every parallel loop of the run uses and starts them: --threads when given, else what
// the OpenMP runtime read from OMP_NUM_THREADS when that is set, else every processor. Returns the count.
static int configureThreads(int32_t requested) {
    const char* fromEnvironment = std::getenv("OMP_NUM_THREADS");
    int count = requested > 0 ? requested
                : fromEnvironment && *fromEnvironment ? omp_get_max_threads()
                                                      : omp_get_num_procs();
    // The OpenMP runtime ends the process with a message of its own, and no Error line, when it cannot create a
    // thread. So the threads are tried first, while memory is plentiful: a process that cannot even start them runs
    // on one thread (with the same results); otherwise the runtime's pool is started at once and kept.
    if (count > 1 && !canStartThreads(count - 1)) count = 1;
    omp_set_num_threads(count);
#pragma omp parallel
    {
    }
    return count;
}

// Writes the manifest to its file (renamed into place once complete) or to standard output; false with the error
// line printed when it cannot.
static bool writeManifest(const std::string& path, const RunManifest& manifest, int status) {
    GrowArray<std::string> unreadable;
    const PrintedMessages& printed = printedMessages();
    const std::string text = manifestJson(manifest, status, printed.errors, printed.warnings, unreadable);
    for (const std::string& message : unreadable) printError(message + " (it was written, but cannot be read back "
                                                                       "for the manifest)");
    if (path == "-") {
        std::fwrite(text.data(), 1, text.size(), stdout);
        if (std::fflush(stdout) == 0) return true;
        printError("the manifest cannot be written to standard output");
        return false;
    }
    PendingFile pending;
    openBeside(path.c_str(), pending);
    writeBytes(pending, text.data(), text.size());
    std::string error;
    if (finishFile(pending, path.c_str(), "manifest", error)) return true;
    printError(error);
    return false;
}

int runCommandLine(int argc, char** argv) {
    RunOptions options;
    std::string error;
    if (!parseCommandLine(argc, argv, options, error)) {
        std::fprintf(stderr, "Error: %s\n%s\n", error.c_str(), usageHint);
        return exitUsage;
    }
    if (options.help || options.version) {
        if (options.help) printUsage(stdout);
        else std::printf("%s\n", kivNameAndVersion);
        std::fflush(stdout);
        return exitSuccess;
    }
    // kiv alone asks what it does; a line with arguments but no texture (or no model) is a mistake.
    if (argc <= 1) {
        printUsage(stdout);
        return exitSuccess;
    }
    if (options.positionalCount < (options.fromModel ? 1 : 2)) {
        std::fprintf(stderr, "Error: %s\n", options.positionalCount == 0 ? "the model is missing"
                                            : "the texture is missing (or --from-model, to take the model's textures)");
        printUsage(stderr);
        return exitUsage;
    }
    setLogQuiet(options.quiet);
    enableProgressLines(!options.quiet && isatty(STDERR_FILENO));
    const int threadCount = configureThreads(options.threadCount);
    logPrintf("Using %d threads on machine with %d procs\n", threadCount, omp_get_num_procs());
    RunManifest manifest;
    int status = exitFailure;
    try {
        status = generateMipmaps(options, manifest);
    } catch (const std::bad_alloc&) {
        // The manifest still says what was done before memory ran out.
        printError("out of memory");
        status = exitFailure;
    }
    if (!options.manifestPath.empty() && !writeManifest(options.manifestPath, manifest, status)) status = exitFailure;
    return status;
}
