// Measures the iterative stencil solve against the Cholesky solve on the level systems of real
// models: iterations, seconds, and the largest difference from the direct solution per preconditioner.
//
// usage: stencil_solver_study dump <model.obj> <texture> <directory> <name> [first last]
//          assembles the kivbi systems of levels first..last (default 1..3) as today's filter does and
//          writes each as <directory>/<name>-<level>.system (stencil, right-hand sides, box-level start)
//        stencil_solver_study measure [--preconditioners jacobi,gaussSeidel,ic,multigrid] [--sweeps N]
//                                     [--weight W] [--domains D] [--max-error E] [--repeat N] <file.system ...>
//          prints one Markdown row per system and preconditioner, and one for the Cholesky solve, whose
//          solution and seconds are cached in <file.system>.direct
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/clock.h"
#include "filters/level_system.h"
#include "filters/weighted_box.h"
#include "image/texture_io.h"
#include "sparse/sparse_matrix.h"
#include "sparse/sparse_solver.h"
#include "sparse/stencil_matrix.h"
#include "sparse/stencil_solver.h"
#include "stencil_preconditioners.h"

static const char systemMagic[8] = {'K', 'I', 'V', 'S', 'Y', 'S', '1', '\0'};

struct LevelSystem {
    StencilMatrix matrix;
    DenseBlock rhs;
    DenseBlock start;
};

static bool writeSystem(const std::string& path, const LevelSystem& system) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const int32_t header[3] = {system.matrix.width, system.matrix.height, system.rhs.columns};
    bool ok = std::fwrite(systemMagic, 1, 8, file) == 8 && std::fwrite(header, sizeof header, 1, file) == 1;
    ok = ok && std::fwrite(system.matrix.coefficients.items, sizeof(double), system.matrix.coefficients.count, file) ==
                   static_cast<size_t>(system.matrix.coefficients.count);
    ok = ok && std::fwrite(system.rhs.values.items, sizeof(double), system.rhs.values.count, file) ==
                   static_cast<size_t>(system.rhs.values.count);
    ok = ok && std::fwrite(system.start.values.items, sizeof(double), system.start.values.count, file) ==
                   static_cast<size_t>(system.start.values.count);
    return std::fclose(file) == 0 && ok;
}

static bool readSystem(const std::string& path, LevelSystem& system) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return false;
    char magic[8];
    int32_t header[3];
    bool ok = std::fread(magic, 1, 8, file) == 8 && std::memcmp(magic, systemMagic, 8) == 0 &&
              std::fread(header, sizeof header, 1, file) == 1;
    if (ok) {
        createStencil(system.matrix, header[0], header[1]);
        createBlock(system.rhs, header[0] * header[1], header[2]);
        createBlock(system.start, header[0] * header[1], header[2]);
        ok = std::fread(system.matrix.coefficients.items, sizeof(double), system.matrix.coefficients.count, file) ==
                 static_cast<size_t>(system.matrix.coefficients.count) &&
             std::fread(system.rhs.values.items, sizeof(double), system.rhs.values.count, file) ==
                 static_cast<size_t>(system.rhs.values.count) &&
             std::fread(system.start.values.items, sizeof(double), system.start.values.count, file) ==
                 static_cast<size_t>(system.start.values.count);
    }
    std::fclose(file);
    return ok;
}

static int dump(int argc, char** argv) {
    if (argc < 6) return 2;
    const char* modelPath = argv[2];
    const char* texturePath = argv[3];
    const std::string directory = argv[4], name = argv[5];
    const int32_t first = argc > 6 ? std::atoi(argv[6]) : 1, last = argc > 7 ? std::atoi(argv[7]) : 3;
    std::string error;
    Mesh mesh;
    FloatImage texture;
    if (!loadObjModel(mesh, modelPath, error) || !normaliseMesh(mesh, error) ||
        !loadTexture(texturePath, texture, error)) {
        std::printf("Error: %s\n", error.c_str());
        return 1;
    }
    lineariseImage(texture);
    const int32_t levelCount = mipLevelCount(texture.width, texture.height);
    double start = wallClockSeconds();
    SurfaceMoments moments;
    MomentRequest request;
    request.firstGrid = 1;
    request.area = request.moments = true;
    request.texture = &texture;
    buildSurfaceMoments(moments, mesh, levelCount, request);
    std::printf("%s: %dx%d, surface moments %.1f s\n", name.c_str(), texture.width, texture.height,
                wallClockSeconds() - start);
    for (int32_t i = first; i <= last && i < levelCount; ++i) {
        start = wallClockSeconds();
        const int32_t a = 1 << i;
        const MomentGrid& grid = moments.grids[i];
        LevelSystem system;
        assembleGramStencil(system.matrix, grid, grid.width / 2, grid.height / 2, levelScale(grid.width / 2, grid.height / 2));
        assembleTargetSides(system.rhs, grid, grid.width / 2, grid.height / 2, 3, levelScale(grid.width / 2, grid.height / 2));
        regulariseStencil(system.matrix, system.rhs, regularisationWeight);
        const int32_t n = system.rhs.count;
        // The start is the area-weighted box level: grid 1 pairs one cell with each source texel.
        FloatImage box;
        allocateImage(box, system.matrix.width, system.matrix.height);
        areaWeightedBoxLevel(box, texture, moments.grids[1], a);
        createBlock(system.start, n, 3);
        for (int32_t j = 0; j < n; ++j) {
            const Texel& t = box.texels[j];
            system.start.at(j, 0) = t.r, system.start.at(j, 1) = t.g, system.start.at(j, 2) = t.b;
        }
        const std::string path = directory + "/" + name + "-" + std::to_string(i) + ".system";
        if (!writeSystem(path, system)) {
            std::printf("cannot write %s\n", path.c_str());
            return 1;
        }
        std::printf("level %d: %dx%d, assembled in %.1f s, written to %s\n", i, system.matrix.width,
                    system.matrix.height, wallClockSeconds() - start, path.c_str());
        std::fflush(stdout);
    }
    return 0;
}

static const char* preconditionerName(StudiedPreconditioner kind) {
    switch (kind) {
    case StudiedPreconditioner::jacobi: return "jacobi";
    case StudiedPreconditioner::gaussSeidel: return "gaussSeidel";
    case StudiedPreconditioner::incompleteCholesky: return "ic";
    case StudiedPreconditioner::multigrid: return "multigrid";
    }
    return "?";
}

// The output byte of a linear value, as the level writer makes it.
static int outputByte(double linear) {
    return static_cast<int>(linearToSrgb(static_cast<float>(linear)) * 255.0f);
}

static int measure(int argc, char** argv) {
    std::vector<StudiedPreconditioner> kinds = {StudiedPreconditioner::jacobi, StudiedPreconditioner::gaussSeidel,
                                                StudiedPreconditioner::incompleteCholesky,
                                                StudiedPreconditioner::multigrid};
    StudiedSolveOptions base;
    base.stencil.iterations.maxIterations = 5000;
    int repeat = 1;  // solves per system and preconditioner; the fastest one's seconds are shown
    std::vector<std::string> files;
    for (int k = 2; k < argc; ++k) {
        const std::string argument = argv[k];
        if (argument == "--preconditioners" && k + 1 < argc) {
            kinds.clear();
            const std::string list = argv[++k];
            for (const char* kind : {"jacobi", "gaussSeidel", "ic", "multigrid"}) {
                if (list.find(kind) == std::string::npos) continue;
                kinds.push_back(std::string(kind) == "jacobi"        ? StudiedPreconditioner::jacobi
                                : std::string(kind) == "gaussSeidel" ? StudiedPreconditioner::gaussSeidel
                                : std::string(kind) == "ic"          ? StudiedPreconditioner::incompleteCholesky
                                                                     : StudiedPreconditioner::multigrid);
            }
        } else if (argument == "--sweeps" && k + 1 < argc) {
            base.smoothingSweeps = std::atoi(argv[++k]);
        } else if (argument == "--domains" && k + 1 < argc) {
            base.stencil.domains = std::atoi(argv[++k]);
        } else if (argument == "--weight" && k + 1 < argc) {
            base.coarseCorrectionWeight = std::atof(argv[++k]);
        } else if (argument == "--repeat" && k + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++k]));
        } else if (argument == "--max-error" && k + 1 < argc) {
            base.stencil.iterations.maxError = std::atof(argv[++k]);
        } else {
            files.push_back(argument);
        }
    }
    std::vector<std::string> table;
    char line[512];
    for (const std::string& path : files) {
        LevelSystem system;
        if (!readSystem(path, system)) {
            std::printf("cannot read %s\n", path.c_str());
            return 1;
        }
        const int32_t n = system.rhs.count;
        std::string name = path.substr(path.find_last_of('/') + 1);
        name = name.substr(0, name.size() - 7);

        // The Cholesky solution is kept beside the system (with its seconds), so that studies of
        // the preconditioners need not repeat it.
        DenseBlock reference;
        double directSeconds = 0.0;
        const std::string directPath = path + ".direct";
        if (FILE* cached = std::fopen(directPath.c_str(), "rb")) {
            createBlock(reference, n, system.rhs.columns);
            const bool read = std::fread(&directSeconds, sizeof directSeconds, 1, cached) == 1 &&
                              std::fread(reference.values.items, sizeof(double), reference.values.count, cached) ==
                                  static_cast<size_t>(reference.values.count);
            std::fclose(cached);
            if (!read) reference.count = 0;
        }
        std::string error;
        if (reference.count != n) {
            SparseRowMatrix direct;
            stencilToCompressedColumn(system.matrix, direct.lower);
            const double directStart = wallClockSeconds();
            SolverStats stats;
            if (!factorise(direct, stats, error) || !solveColumns(direct, reference, system.rhs)) {
                std::printf("%s: direct solve failed: %s\n", name.c_str(), error.c_str());
                return 1;
            }
            directSeconds = wallClockSeconds() - directStart;
            if (FILE* cache = std::fopen(directPath.c_str(), "wb")) {
                std::fwrite(&directSeconds, sizeof directSeconds, 1, cache);
                std::fwrite(reference.values.items, sizeof(double), reference.values.count, cache);
                std::fclose(cache);
            }
        }
        double startError = 0.0;
        for (int32_t e = 0; e < system.start.values.count; ++e)
            startError = std::max(startError, std::abs(system.start.values.items[e] - reference.values.items[e]));
        std::snprintf(line, sizeof line, "| %s | %dx%d | direct | - | - | %.3f | - | - | - | (start off by %.2e) |",
                      name.c_str(), system.matrix.width, system.matrix.height, directSeconds, startError);
        table.push_back(line);

        for (StudiedPreconditioner kind : kinds) {
            StudiedSolveOptions options = base;
            options.preconditioner = kind;
            DenseBlock x;
            IterativeSolveStats statistics;
            double processor = 0.0;
            bool solved = true;
            for (int attempt = 0; attempt < repeat; ++attempt) {
                x = system.start;
                IterativeSolveStats run;
                const double processorStart = processorSeconds();
                solved = solveStencilWith(system.matrix, x, system.rhs, options, run, error);
                const double runProcessor = processorSeconds() - processorStart;
                if (attempt == 0 || run.setupSeconds + run.solveSeconds < statistics.setupSeconds + statistics.solveSeconds) {
                    statistics = run;
                    processor = runProcessor;
                }
            }
            double maxError = 0.0;
            int maxByte = 0;
            for (int32_t k = 0; k < 3; ++k) {
                for (int32_t j = 0; j < n; ++j) {
                    maxError = std::max(maxError, std::abs(x.at(j, k) - reference.at(j, k)));
                    maxByte = std::max(maxByte, std::abs(outputByte(x.at(j, k)) - outputByte(reference.at(j, k))));
                }
            }
            std::snprintf(line, sizeof line, "| %s | %dx%d | %s | %d | %.3f | %.3f | %.3f | %.2e | %.2e | %d bytes%s%s |",
                          name.c_str(), system.matrix.width, system.matrix.height, preconditionerName(kind),
                          statistics.iterations, statistics.setupSeconds, statistics.solveSeconds, processor, maxError,
                          statistics.errorBound, maxByte, solved ? "" : ", FAILED: ", solved ? "" : error.c_str());
            table.push_back(line);
            std::fprintf(stderr, "%s\n", line);
        }
    }
    std::printf("\nthreads %d, max error wanted %.1e\n\n", omp_get_max_threads(), base.stencil.iterations.maxError);
    std::printf("| system | size | solver | iterations | setup s | solve s | processor s | max abs error vs direct | "
                "bound | output difference |\n|---|---|---|---:|---:|---:|---:|---:|---:|---|\n");
    for (const std::string& row : table) std::printf("%s\n", row.c_str());
    return 0;
}

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "dump") {
        const int status = dump(argc, argv);
        if (status == 2) std::printf("usage: stencil_solver_study dump <model.obj> <texture> <directory> <name> [first last]\n");
        return status == 2 ? 1 : status;
    }
    if (argc >= 3 && std::string(argv[1]) == "measure") return measure(argc, argv);
    std::printf("usage: stencil_solver_study dump <model.obj> <texture> <directory> <name> [first last]\n"
                "       stencil_solver_study measure [--preconditioners list] [--sweeps N] [--weight W] [--domains D] "
                "[--max-error E] [--repeat N] <file.system ...>\n");
    return 1;
}
