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

#include "app/clock.h"
#include "filters/bilinear_filter.h"
#include "filters/weighted_box.h"
#include "image/texture_io.h"
#include "mesh/texel_coverage.h"
#include "sparse/sparse_matrix.h"
#include "sparse/stencil_matrix.h"
#include "sparse/stencil_solver.h"

static const char systemMagic[8] = {'K', 'I', 'V', 'S', 'Y', 'S', '1', '\0'};

struct LevelSystem {
    StencilMatrix matrix;
    DenseBlock rhs;
    DenseBlock start;
};

// The stencil of an assembled SparseRowMatrix (upper entries by rows). Only for sides >= 3, where
// every stored pair of neighbours has exactly one geometric offset. Returns false for an entry
// that is not between neighbours.
static bool stencilFromRows(const SparseRowMatrix& rows, int32_t width, int32_t height, StencilMatrix& stencil) {
    if (width < 3 || height < 3) return false;
    createStencil(stencil, width, height);
    for (int32_t j = 0; j < rows.rows.count; ++j) {
        const int32_t x = j % width, y = j / width;
        for (const auto& [column, value] : rows.rows.items[j]) {
            const int32_t cx = column % width, cy = column / width;
            int32_t dx = (cx - x + width) % width, dy = (cy - y + height) % height;
            if (dx == width - 1) dx = -1;
            if (dy == height - 1) dy = -1;
            if (dx > 1 || dy > 1) return false;
            // A backward offset from j is a forward one from the column's unknown.
            int32_t owner = j;
            if (dy < 0 || (dy == 0 && dx < 0)) {
                owner = column;
                dx = -dx;
                dy = -dy;
            }
            const int32_t ox = owner % width, oy = owner / width;
            StencilCoefficient which = stencilCentre;
            if (dy == 0) which = dx == 0 ? stencilCentre : stencilEast;
            else which = dx == 0 ? stencilNorth : dx == 1 ? stencilNorthEast : stencilNorthWest;
            stencilAt(stencil, ox, oy, which) += value;
        }
    }
    return true;
}

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

// The largest |(M x)_j - (S x)_j| over a random x, relative to the largest |M x|: the stencil must
// reproduce the assembled rows.
static double conversionError(SparseRowMatrix& rows, const StencilMatrix& stencil) {
    const int32_t n = rows.rows.count;
    DenseBlock x, y;
    createBlock(x, n, 1);
    uint64_t state = 88172645463325252ull;
    for (double& value : x.values) {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        value = static_cast<double>(state % 1000000) / 1e6;
    }
    std::vector<double> expected(n, 0.0);
    for (int32_t r = 0; r < n; ++r) {
        for (const auto& [column, value] : rows.rows.items[r]) {
            expected[r] += value * x.at(column, 0);
            if (column != r) expected[column] += value * x.at(r, 0);
        }
    }
    multiplyStencil(stencil, x, y);
    double largest = 0.0, difference = 0.0;
    for (int32_t j = 0; j < n; ++j) {
        largest = std::max(largest, std::abs(expected[j]));
        difference = std::max(difference, std::abs(expected[j] - y.at(j, 0)));
    }
    return difference / std::max(largest, 1e-300);
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
    if (!loadObjModel(mesh, modelPath, error) || !normalizeMesh(mesh, error) ||
        !loadTexture(texturePath, texture, error)) {
        std::printf("%s\n", error.c_str());
        return 1;
    }
    linearizeImage(texture);
    const int32_t levelCount = mipLevelCount(texture.width, texture.height);
    double start = wallClockSeconds();
    TexelCoverage coverage;
    buildTexelCoverage(coverage, mesh, levelCount);
    std::printf("%s: %dx%d, coverage %.1f s\n", name.c_str(), texture.width, texture.height, wallClockSeconds() - start);
    for (int32_t i = first; i <= last && i < levelCount; ++i) {
        start = wallClockSeconds();
        const int32_t a = 1 << i;
        FloatImage target;
        allocateImage(target, texture.width / a, texture.height / a);
        const int32_t n = target.width * target.height;
        SparseRowMatrix rows;
        setRowCount(rows, n);
        clearRows(rows);
        assembleGramMatrix(rows, target, coverage, i);
        LevelSystem system;
        createBlock(system.rhs, n, 3);
        assembleRightHandSides(system.rhs, a, target, texture, coverage, i);
        regularise(rows, system.rhs);
        if (!stencilFromRows(rows, target.width, target.height, system.matrix)) {
            std::printf("level %d: not a 9-point stencil of sides >= 3\n", i);
            return 1;
        }
        const double mismatch = conversionError(rows, system.matrix);
        // The start is the area-weighted box level: grid 1 pairs one cell with each source texel.
        FloatImage box;
        allocateImage(box, target.width, target.height);
        areaWeightedBoxLevel(box, texture, coverage.levels[1], a);
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
        std::printf("level %d: %dx%d, assembled in %.1f s, stencil vs rows %.2e, written to %s\n", i, target.width,
                    target.height, wallClockSeconds() - start, mismatch, path.c_str());
        std::fflush(stdout);
    }
    releaseCoverage(coverage);
    return 0;
}

static const char* preconditionerName(StencilPreconditioner kind) {
    switch (kind) {
    case StencilPreconditioner::jacobi: return "jacobi";
    case StencilPreconditioner::gaussSeidel: return "gaussSeidel";
    case StencilPreconditioner::incompleteCholesky: return "ic";
    case StencilPreconditioner::multigrid: return "multigrid";
    }
    return "?";
}

// The output byte of a linear value, as the level writer makes it.
static int outputByte(double linear) {
    return static_cast<int>(linearToSrgb(static_cast<float>(linear)) * 255.0f);
}

static int measure(int argc, char** argv) {
    std::vector<StencilPreconditioner> kinds = {StencilPreconditioner::jacobi, StencilPreconditioner::gaussSeidel,
                                                StencilPreconditioner::incompleteCholesky,
                                                StencilPreconditioner::multigrid};
    StencilSolverOptions base;
    base.iterations.maxIterations = 5000;
    int repeat = 1;  // solves per system and preconditioner; the fastest one's seconds are shown
    std::vector<std::string> files;
    for (int k = 2; k < argc; ++k) {
        const std::string argument = argv[k];
        if (argument == "--preconditioners" && k + 1 < argc) {
            kinds.clear();
            const std::string list = argv[++k];
            for (const char* kind : {"jacobi", "gaussSeidel", "ic", "multigrid"}) {
                if (list.find(kind) == std::string::npos) continue;
                kinds.push_back(std::string(kind) == "jacobi"        ? StencilPreconditioner::jacobi
                                : std::string(kind) == "gaussSeidel" ? StencilPreconditioner::gaussSeidel
                                : std::string(kind) == "ic"          ? StencilPreconditioner::incompleteCholesky
                                                                     : StencilPreconditioner::multigrid);
            }
        } else if (argument == "--sweeps" && k + 1 < argc) {
            base.smoothingSweeps = std::atoi(argv[++k]);
        } else if (argument == "--domains" && k + 1 < argc) {
            base.domains = std::atoi(argv[++k]);
        } else if (argument == "--weight" && k + 1 < argc) {
            base.coarseCorrectionWeight = std::atof(argv[++k]);
        } else if (argument == "--repeat" && k + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++k]));
        } else if (argument == "--max-error" && k + 1 < argc) {
            base.iterations.maxError = std::atof(argv[++k]);
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
            if (!factorise(direct, error) || !solveColumns(direct, reference, system.rhs)) {
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
        std::snprintf(line, sizeof line, "| %s | %dx%d | cholmod | - | - | %.3f | - | - | - | (start off by %.2e) |",
                      name.c_str(), system.matrix.width, system.matrix.height, directSeconds, startError);
        table.push_back(line);

        for (StencilPreconditioner kind : kinds) {
            StencilSolverOptions options = base;
            options.preconditioner = kind;
            DenseBlock x;
            IterativeSolveStatistics statistics;
            double processor = 0.0;
            bool solved = true;
            for (int attempt = 0; attempt < repeat; ++attempt) {
                x = system.start;
                IterativeSolveStatistics run;
                const double processorStart = processorSeconds();
                solved = solveStencil(system.matrix, x, system.rhs, options, run, error);
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
    std::printf("\nthreads %d, max error wanted %.1e\n\n", omp_get_max_threads(), base.iterations.maxError);
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
