// The run driver: one job per texture, every filter on each, then the files, the report and the viewer page.
#include "app/run.h"

#include <omp.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

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

// Runs one filter and prints its statistics, also when it fails or throws: the steps it finished
// are reported before the error that stopped it.
static bool runFilter(const FilterInfo& filter, const FilterInputs& inputs, FilterRun& run, std::string& error) {
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
        finished = filter.build(inputs, run.pyramid, stats, error);
    } catch (...) {
        printFilterStats(stats);
        throw;
    }
    run.seconds = wallClockSeconds() - start;
    printFilterStats(stats);
    return finished;
}

static bool anyReadsSurface(const RunOptions& options, const GrowArray<const FilterInfo*>& filters) {
    return options.report || needsReadWeights(options) ||
           std::any_of(filters.begin(), filters.end(), [](const FilterInfo* filter) { return filter->readsSurface; });
}

// Runs every filter on the job, writes the levels into its folder, prints the report and writes the viewer page when
// asked; returns the exit status.
static int buildPyramids(const RunOptions& options, const GrowArray<const FilterInfo*>& filters, TextureJob& job) {
    FilterInputs inputs;
    inputs.mesh = &job.mesh;
    inputs.texture = &job.texture;
    inputs.levelCount = mipLevelCount(job.texture.width, job.texture.height);
    inputs.solver = options.solver;
    inputs.encoding = job.encoding;
    std::printf("Image is %dx%d with %d mip levels.\n", job.texture.width, job.texture.height, inputs.levelCount);

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
        if (!runFilter(*filters[k], inputs, runs[k], error)) return fail(error);
        // Coverage is kept over the model's surface for the filters that read it, over the texture for the others.
        const bool onSurface = job.alpha == AlphaMode::coverage && filters[k]->readsSurface;
        finishAlpha(runs[k].pyramid, job, onSurface ? readWeights() : textureWeights);
    }

    if (!prepareOutputFolder(options, job, error)) return fail(error);
    int status = exitSuccess;
    for (FilterRun& run : runs) {
        if (!writePyramid(run, options, job, needsReadWeights(options) ? readWeights() : textureWeights)) {
            status = exitFailure;
        }
    }

    std::printf("Times:\n");
    for (const FilterRun& run : runs) std::printf("%.3f\t%s\n", run.seconds, run.name.c_str());
    std::printf("\n");
    std::fflush(stdout);
    if (options.report && !reportSurfaceError(job, runs)) status = exitFailure;
    if (options.viewer && !writeViewer(options, job, runs)) status = exitFailure;
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
static int buildModelTextures(const RunOptions& options, const GrowArray<const FilterInfo*>& filters) {
    const char* modelPath = options.modelPath.c_str();
    std::string error;
    TextureJob job;
    // An OBJ file still passes the OBJ reader's checks; its materials come from the scene importer.
    if (isObjPath(modelPath) && !loadObjModel(job.mesh, modelPath, error)) return fail(error);
    SceneModel scene;
    if (!loadSceneModel(modelPath, scene, error)) return fail(error);
    for (const UnhandledTexture& texture : scene.unhandled) {
        std::printf("Texture '%s' (%s) of material '%s' is not processed: %s.\n", texture.file.c_str(),
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
        std::printf("Texture '%s' (%s; %s) from %s%s: %d triangles, %.1f %% of the model's surface\n",
                    texture.name.c_str(), texture.roles.c_str(), texelEncodingName(texture.encoding),
                    texture.source.c_str(), found.c_str(), texture.mesh.triangles.count, 100 * share);
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
        job.outputFolder = pathInFolder(options.outputFolder, texture.name);
        job.madeFolder = texture.name;
        if (buildPyramids(options, filters, job) != exitSuccess) status = exitFailure;
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
    std::printf("Warning: %s: its materials name %d textures (%s), but every triangle is counted for %s; "
                "--from-model processes each texture with the triangles that use it\n",
                options.modelPath.c_str(), textures.count, names.c_str(), options.texturePath.c_str());
}

int generateMipmaps(const RunOptions& options) {
    const char* modelPath = options.modelPath.c_str();
    // Every name is checked before any work, so a typo late in the list wastes nothing.
    GrowArray<const FilterInfo*> filters;
    for (const std::string& name : options.filterNames) {
        const FilterInfo* filter = findFilter(name);
        if (!filter) return fail("The filter named '" + name + "' doesn't exist.");
        append(filters, filter);
    }

    std::string error;
    if (!createOutputFolder(options.outputFolder, error)) return fail(error);
    if (options.fromModel) return buildModelTextures(options, filters);
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
    job.outputFolder = options.outputFolder;
    return buildPyramids(options, filters, job);
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

int runCommandLine(int argc, char** argv) {
    RunOptions options;
    std::string error;
    if (!parseCommandLine(argc, argv, options, error)) {
        std::printf("Error: %s\n%s\n", error.c_str(), usageHint);
        std::fflush(stdout);
        return exitFailure;
    }
    if (options.help || options.version) {
        if (options.help) printUsage();
        else std::printf("%s\n", kivNameAndVersion);
        std::fflush(stdout);
        return exitSuccess;
    }
    const int threadCount = configureThreads(options.threadCount);
    std::printf("Using %d threads on machine with %d procs\n", threadCount, omp_get_num_procs());
    if (options.positionalCount < (options.fromModel ? 1 : 2)) {
        printUsage();
        std::fflush(stdout);
        return exitSuccess;
    }
    return generateMipmaps(options);
}
