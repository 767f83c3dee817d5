// "kivtri": the inner levels of the pyramid solved jointly, so that trilinear reconstruction best
// reproduces the full-resolution texture over the model's surface and over every level of detail; "kivtric" then
// minimises the same objective with every value within [0, 1], from the unconstrained solution.
#include "filters/trilinear_filter.h"

#include <cassert>
#include <utility>

#include "base/clock.h"
#include "base/parallel.h"
#include "filters/bilinear_filter.h"
#include "filters/least_squares.h"
#include "filters/level_system.h"
#include "filters/surface_moments.h"
#include "filters/trilinear_system.h"
#include "filters/weighted_box.h"
#include "image/classic_filters.h"

// Solves the assembled system into X (which holds the starting values); `system` may be emptied on the way unless
// there are `bounds`, when the values are then kept within them by the bounded solve from the unconstrained solution.
static bool solveJointly(TrilinearSystem& system, DenseBlock& x, LevelSolver solver, const ValueRange* bounds,
                         FilterStep& stats, const std::function<void(double)>& progress, std::string& error) {
    LeastSquaresSystem problem;
    problem.start = "coarse to fine, the coarsest levels solved directly";
    problem.progress = progress;
    problem.iterate = [&](DenseBlock& values, const StencilSolverOptions& options, IterativeSolveStats& iterations,
                          std::string& message) { return solveTrilinearSystem(system, values, options, iterations, message); };
    problem.iterateWithinBounds = [&](DenseBlock& values, const StencilSolverOptions& options,
                                      const BoundedSolveOptions& box, IterativeSolveStats& iterations,
                                      BoundedSolveStats& within, std::string& message) {
        return solveTrilinearWithinBounds(system, values, options, box, iterations, within, message);
    };
    problem.lowerTriangle = [&](CompressedColumnMatrix& lower, bool lastUse) {
        // On its last use the stencils and couplings, the rows and the factor are never all held at once.
        SparseRowMatrix matrix;
        trilinearToRows(system, matrix);
        if (lastUse) {
            release(system.levels);
            release(system.couplings);
        }
        toCompressedColumn(matrix);
        lower = std::move(matrix.lower);
    };
    LeastSquaresStats solve;
    const bool solved = solveLeastSquares(problem, x, system.rhs, solver, bounds, solve, error);
    stats.solver = solve.solver;
    stats.bounds = solve.bounds;
    // The share of every unknown level's texels that a bound holds.
    const int32_t levels = system.levelCount;
    release(stats.levelHeldShare);
    if (!solve.bounds.ran) return solved;
    resize(stats.levelHeldShare, levels >= 2 ? levels - 1 : 0);
    for (int32_t l = 1; l + 1 < levels && solve.held.count == x.count; ++l) {
        const int32_t first = system.levelStart[l], last = system.levelStart[l + 1];
        int64_t held = 0;
        for (int32_t j = first; j < last; ++j) held += solve.held.items[j];
        stats.levelHeldShare[l] = last > first ? static_cast<double>(held) / (last - first) : 0.0;
    }
    return solved;
}

// The shares of the filter's time, for the progress display: the surface moments up to the first, the assembly of
// the joint system up to the second, then the solve. Measured on the bundled sample and on milk_truck (2048 x 2048):
// the moments took 0.27 and 0.37 of kivtri's time and the assembly 0.13 and 0.14; of kivtric's, whose bounded solve
// takes longer, 0.15 and 0.19, and 0.03 and 0.07.
static double momentsDone(bool bounded) { return bounded ? 0.17 : 0.33; }
static double assemblyDone(bool bounded) { return bounded ? 0.22 : 0.47; }

// kivtri, and kivtric with `bounds`.
static bool buildTrilinearPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount,
                                  LevelSolver solver, const ValueRange* bounds, FilterStats& stats, std::string& error) {
    const char* name = bounds ? "kivtric" : "kivtri";
    assert(levelCount == mipLevelCount(texture.width, texture.height));
    // The levels of the joint system, 0 .. filled - 1: the last of them is the fixed top level, the ones between it
    // and the texture the unknowns. For sides that are powers of two they end where the shorter side reaches 1 (the
    // top is then the area-weighted box level), for other sizes at 1 x 1 (the top is then kivbi's level, the
    // surface's mean of the texture). The levels after a power-of-two rectangle's top, which end its chain, are
    // fitted one by one as kivbi fits them.
    const bool powerOfTwo = hasPowerOfTwoSides(texture);
    const int32_t filled = powerOfTwo ? levelsToShorterSideOne(texture.width, texture.height) : levelCount;
    // Grid g has the texel centres of levels g and on: the top level of sides that are powers of two reads the areas
    // of grid 1 (one cell per texel of the texture), the system grids 1 .. filled - 2.
    SurfaceMoments moments;
    MomentRequest request;
    request.firstGrid = 1;
    request.area = request.moments = true;
    request.texture = &texture;
    reportProgress(stats.progress, "surface", 0, 0, 0.0);
    if (stats.progress.update) {
        const double momentsShare = momentsDone(bounds != nullptr);
        request.progress = [&stats, momentsShare](double share) {
            reportProgress(stats.progress, "surface", 0, 0, momentsShare * share);
        };
    }
    buildSurfaceMoments(moments, mesh, levelCount, request);
    // Red, green and blue, and alpha (linear, a fourth right-hand side of the same system) when it carries any.
    const int32_t channelCount = moments.channelCount;
    resizeLevels(pyramid, levelCount);
    GrowArray<int32_t> levelStart;
    const int32_t unknownCount = numberUnknowns(levelStart, texture.width, texture.height, filled);

    // The fixed top level: level filled - 1 of the area-weighted box pyramid (which the fill of unused texels never
    // changes there), for a square texture the area-weighted mean of the whole texture; kivbi's 1 x 1 level for
    // other sizes. A level that kivbi fits is one step of its own.
    FloatImage top;
    auto fitAlone = [&](int32_t l, const FloatImage& finer, FloatImage& level, double done) {
        return fitBilinearStep(moments, texture, l, finer, solver, bounds, name, level, stats, done, done, error);
    };
    if (filled >= 2) {
        if (powerOfTwo) {
            areaWeightedBoxLevel(top, texture, moments.grids[1], 1 << (filled - 1));
        } else {
            // Its iterations start from the texture's mean; the joint system does not read grid filled - 1.
            if (!fitAlone(filled - 1, texture, top, momentsDone(bounds != nullptr))) return false;
        }
    }

    // The iterations start from the level below (the texture for level 1): its 2 x 2 means where the sides halve,
    // its area average otherwise; a direct solve replaces them.
    DenseBlock x;
    createBlock(x, unknownCount, channelCount);
    for (int32_t l = 1; l <= filled - 2; ++l) {
        const int32_t width = levelSide(texture.width, l), height = levelSide(texture.height, l);
        const int32_t finerWidth = levelSide(texture.width, l - 1), finerHeight = levelSide(texture.height, l - 1);
        const int32_t start = levelStart[l], finerStartIndex = l >= 2 ? levelStart[l - 1] : 0;
        if (finerWidth != 2 * width || finerHeight != 2 * height) {
            FloatImage finer, coarse;
            if (l >= 2) {
                allocateImage(finer, finerWidth, finerHeight);
                for (int32_t j = 0; j < finer.count; ++j) {
                    const double* values = x.values.items + finerStartIndex + j;
                    finer.texels[j] = Texel{static_cast<float>(values[0]), static_cast<float>(values[x.count]),
                                            static_cast<float>(values[2 * static_cast<int64_t>(x.count)]),
                                            channelCount == 4 ? static_cast<float>(values[3 * static_cast<int64_t>(x.count)]) : 1.0f};
                }
            }
            boxResample(coarse, l >= 2 ? finer : texture, width, height);
            for (int32_t j = 0; j < coarse.count; ++j) {
                const Texel& t = coarse.texels[j];
                const double channels[4] = {t.r, t.g, t.b, t.a};
                for (int32_t c = 0; c < channelCount; ++c) x.at(start + j, c) = channels[c];
            }
            continue;
        }
#pragma omp parallel for schedule(static) if (worthThreads(int64_t{width} * height))
        for (int32_t ty = 0; ty < height; ++ty) {
            for (int32_t tx = 0; tx < width; ++tx) {
                for (int32_t c = 0; c < channelCount; ++c) {
                    double corners[4];
                    for (int32_t k = 0; k < 4; ++k) {
                        const int32_t fx = 2 * tx + k % 2, fy = 2 * ty + k / 2;
                        if (l >= 2) {
                            corners[k] = x.at(finerStartIndex + fy * finerWidth + fx, c);
                        } else {
                            const Texel& t = texture.at(fx, fy);
                            corners[k] = c == 0 ? t.r : c == 1 ? t.g : c == 2 ? t.b : t.a;
                        }
                    }
                    x.at(start + ty * width + tx, c) = 0.25 * (corners[0] + corners[1] + corners[2] + corners[3]);
                }
            }
        }
    }

    append(stats.steps, FilterStep());
    const int32_t jointIndex = stats.steps.count - 1;
    const double t0 = wallClockSeconds();
    double t1 = t0, t2 = t0;
    // With one or two filled levels there is no inner level: only the fixed levels are written.
    if (unknownCount > 0) {
        reportProgress(stats.progress, "assembly", 0, 0, momentsDone(bounds != nullptr));
        TrilinearSystem system;
        assembleTrilinearSystem(system, moments, top, texture.width, texture.height, filled);
        // Only the grids of the levels fitted one by one stay for the solve.
        for (int32_t g = 0; g < std::min(filled, moments.grids.count); ++g) releaseMomentGrid(moments.grids[g]);
        t1 = wallClockSeconds();
        const double assembled = assemblyDone(bounds != nullptr);
        reportProgress(stats.progress, "solve", 0, 0, assembled);
        std::function<void(double)> progress;
        if (stats.progress.update) {
            progress = [&stats, assembled](double share) {
                reportProgress(stats.progress, "solve", 0, 0, assembled + (1 - assembled) * share);
            };
        }
        std::string solverError;
        if (!solveJointly(system, x, solver, bounds, stats.steps.items[jointIndex], progress, solverError)) {
            error = std::string(name) + ": " + solverError;
            return false;
        }
        t2 = wallClockSeconds();
    }
    for (int32_t l = 1; l <= filled - 2; ++l) {
        FloatImage& level = pyramid.levels[l];
        allocateImage(level, levelSide(texture.width, l), levelSide(texture.height, l));
        for (int32_t ty = 0; ty < level.height; ++ty) {
            for (int32_t tx = 0; tx < level.width; ++tx) {
                const int32_t i = levelStart[l] + ty * level.width + tx;
                level.at(tx, ty) = Texel{static_cast<float>(x.at(i, 0)), static_cast<float>(x.at(i, 1)),
                                         static_cast<float>(x.at(i, 2)),
                                         channelCount == 4 ? static_cast<float>(x.at(i, 3)) : 1.0f};
            }
        }
    }
    // Level 0 joins the pyramid only now, so that the solve does not hold a second copy of the texture.
    copyImage(pyramid.levels[0], texture);
    if (filled >= 2) pyramid.levels[filled - 1] = std::move(top);
    // t0 to t1: assembly and regularisation; t1 to t2: the iterations, or the compressed copy, ordering,
    // factorisation and solve.
    FilterStep& joint = stats.steps.items[jointIndex];
    joint.heading = "Trilinear downscale";
    append(joint.times, StepTime{"time build", t1 - t0});
    append(joint.times, StepTime{"time solve", t2 - t1});
    append(joint.times, StepTime{"time total", t2 - t0});
    joint.done = true;
    // The levels that end a power-of-two rectangle's chain.
    for (int32_t l = std::max(filled, 1); l < levelCount; ++l) {
        if (!fitAlone(l, pyramid.levels[l - 1], pyramid.levels[l], 1.0)) return false;
    }
    releaseSurfaceMoments(moments);
    return true;
}

bool buildKivtriPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount,
                        LevelSolver solver, FilterStats& stats, std::string& error) {
    return buildTrilinearPyramid(mesh, pyramid, texture, levelCount, solver, nullptr, stats, error);
}

bool buildKivtricPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount,
                         LevelSolver solver, FilterStats& stats, std::string& error) {
    return buildKivtricPyramidWithin(mesh, pyramid, texture, levelCount, solver, ValueRange(), stats, error);
}

bool buildKivtricPyramidWithin(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount,
                               LevelSolver solver, const ValueRange& range, FilterStats& stats, std::string& error) {
    return buildTrilinearPyramid(mesh, pyramid, texture, levelCount, solver, &range, stats, error);
}
