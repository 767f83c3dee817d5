// "kivbi": each level is the least-squares fit, over the model's surface, of its bilinear reconstruction to the
// texture's. Every level's normal equations follow from the surface moments of the grid cut along its texel
// centres, as a 9-point stencil, solved by preconditioned conjugate gradients (or by Cholesky on request). "kivbic" then
// minimises the same objective with every value within [0, 1], from the unconstrained solution.
#include "filters/bilinear_filter.h"

#include <cassert>

#include "base/clock.h"
#include "filters/least_squares.h"
#include "filters/level_system.h"
#include "filters/surface_moments.h"
#include "image/classic_filters.h"
#include "sparse/stencil_solver.h"

// Solves the regularised level system for every channel; the iterations start from X's contents. When `bounded`,
// the values are then kept within [0, 1] by the bounded solve, started from the unconstrained solution.
static bool solveLevel(const StencilMatrix& matrix, DenseBlock& x, const DenseBlock& rhs, LevelSolver solver,
                       const ValueRange* bounds, FilterStep& stats, const std::function<void(double)>& progress,
                       std::string& error) {
    LeastSquaresSystem system;
    system.start = "from the finer level";
    system.progress = progress;
    system.iterate = [&](DenseBlock& values, const StencilSolverOptions& options, IterativeSolveStats& iterations,
                         std::string& message) { return solveStencil(matrix, values, rhs, options, iterations, message); };
    system.iterateWithinBounds = [&](DenseBlock& values, const StencilSolverOptions& options,
                                     const BoundedSolveOptions& box, IterativeSolveStats& iterations,
                                     BoundedSolveStats& within, std::string& message) {
        return solveStencilWithinBounds(matrix, values, rhs, options, box, iterations, within, message);
    };
    system.lowerTriangle = [&](CompressedColumnMatrix& lower, bool) { stencilToCompressedColumn(matrix, lower); };
    LeastSquaresStats solve;
    const bool solved = solveLeastSquares(system, x, rhs, solver, bounds, solve, error);
    stats.solver = solve.solver;
    stats.bounds = solve.bounds;
    return solved;
}

// The share of a level's time its assembly takes, for the progress display (0.11 s of the 0.88 s of the bundled
// sample's level 1), the solve taking the rest.
static const double levelAssemblyShare = 0.15;

bool fitBilinearLevel(MomentGrid& grid, int32_t width, int32_t height, int32_t channels, const FloatImage& finer,
                      LevelSolver solver, const ValueRange* bounds, FloatImage& level, FilterStep& stats, std::string& error,
                      const std::function<void(double share)>& progress) {
    StencilMatrix matrix;
    DenseBlock rhs;
    assembleGramStencil(matrix, grid, width, height, levelScale(width, height));
    assembleTargetSides(rhs, grid, width, height, channels, levelScale(width, height));
    regulariseStencil(matrix, rhs, regularisationWeight);
    release(grid.moments);
    release(grid.weighted);

    const int32_t unknownCount = width * height;
    DenseBlock x;
    createBlock(x, unknownCount, channels);
    // The iterations start from the finer level: its 2 x 2 means where the sides halve, its area average otherwise.
    if (solver == LevelSolver::iterative) {
        if (finer.width == 2 * width && finer.height == 2 * height) {
            for (int32_t y = 0; y < height; ++y) {
                for (int32_t xx = 0; xx < width; ++xx) {
                    const Texel &a = finer.at(2 * xx, 2 * y), &b = finer.at(2 * xx + 1, 2 * y);
                    const Texel &c = finer.at(2 * xx, 2 * y + 1), &d = finer.at(2 * xx + 1, 2 * y + 1);
                    const int32_t j = y * width + xx;
                    x.at(j, 0) = 0.25 * (double(a.r) + b.r + c.r + d.r);
                    x.at(j, 1) = 0.25 * (double(a.g) + b.g + c.g + d.g);
                    x.at(j, 2) = 0.25 * (double(a.b) + b.b + c.b + d.b);
                    if (channels == 4) x.at(j, 3) = 0.25 * (double(a.a) + b.a + c.a + d.a);
                }
            }
        } else {
            FloatImage start;
            boxResample(start, finer, width, height);
            for (int32_t j = 0; j < unknownCount; ++j) {
                const Texel& t = start.texels[j];
                x.at(j, 0) = t.r, x.at(j, 1) = t.g, x.at(j, 2) = t.b;
                if (channels == 4) x.at(j, 3) = t.a;
            }
        }
    }
    std::function<void(double)> solveProgress;
    if (progress) {
        progress(levelAssemblyShare);
        solveProgress = [&progress](double share) { progress(levelAssemblyShare + (1 - levelAssemblyShare) * share); };
    }
    if (!solveLevel(matrix, x, rhs, solver, bounds, stats, solveProgress, error)) return false;
    // kivbi's values outside [0, 1] are clamped only when the level is encoded for output; kivbic has none.
    allocateImage(level, width, height);
    for (int32_t j = 0; j < unknownCount; ++j) {
        level.texels[j] = Texel{static_cast<float>(x.at(j, 0)), static_cast<float>(x.at(j, 1)),
                                static_cast<float>(x.at(j, 2)), channels == 4 ? static_cast<float>(x.at(j, 3)) : 1.0f};
    }
    return true;
}

bool fitBilinearStep(SurfaceMoments& moments, const FloatImage& texture, int32_t index, const FloatImage& finer,
                     LevelSolver solver, const ValueRange* bounds, const char* filter, FloatImage& level, FilterStats& stats,
                     double doneBefore, double doneAfter, std::string& error) {
    const double start = wallClockSeconds();
    append(stats.steps, FilterStep());
    FilterStep& step = stats.steps.items[stats.steps.count - 1];
    const int32_t width = levelSide(texture.width, index), height = levelSide(texture.height, index);
    const int32_t lastLevel = mipLevelCount(texture.width, texture.height) - 1;
    reportProgress(stats.progress, "level", index, lastLevel, doneBefore);
    std::function<void(double)> progress;
    if (stats.progress.update) {
        progress = [&](double share) {
            reportProgress(stats.progress, "level", index, lastLevel, doneBefore + (doneAfter - doneBefore) * share);
        };
    }
    std::string solverError;
    if (!fitBilinearLevel(moments.grids[index], width, height, moments.channelCount, finer, solver, bounds, level,
                          step, solverError, progress)) {
        error = std::string(filter) + ": level " + std::to_string(index) + " (" + std::to_string(width) + "x" +
                std::to_string(height) + "): " + solverError;
        return false;
    }
    step.heading = "Tent Smart downscale by factor " + std::to_string(int64_t{1} << index);
    // Wall seconds from the start of the level's assembly to its stored solution.
    append(step.times, StepTime{"time", wallClockSeconds() - start});
    step.done = true;
    return true;
}

// The share of the filter's time the surface moments take, for the progress display: 0.41 and 0.69 of kivbi's on the
// bundled sample and on milk_truck (2048 x 2048), 0.23 and 0.37 of kivbic's, whose levels take longer.
static double surfaceMomentsShare(bool bounded) { return bounded ? 0.3 : 0.55; }

static double levelTexels(const FloatImage& texture, int32_t index) {
    return static_cast<double>(levelSide(texture.width, index)) * levelSide(texture.height, index);
}

// kivbi, and kivbic with `bounds`.
static bool buildBilinearPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount,
                                 LevelSolver solver, const ValueRange* bounds, FilterStats& stats, std::string& error) {
    const char* name = bounds ? "kivbic" : "kivbi";
    assert(levelCount == mipLevelCount(texture.width, texture.height));
    // Grid i holds the texel centres of levels i and on: every tent of level i is bilinear on each of its cells.
    SurfaceMoments moments;
    MomentRequest request;
    request.firstGrid = 1;
    request.moments = true;
    request.texture = &texture;
    // Red, green and blue, and alpha (linear, a fourth right-hand side of the same system) when it carries any.
    const double momentsShare = surfaceMomentsShare(bounds != nullptr);
    reportProgress(stats.progress, "surface", 0, 0, 0.0);
    if (stats.progress.update) {
        request.progress = [&stats, momentsShare](double share) {
            reportProgress(stats.progress, "surface", 0, 0, momentsShare * share);
        };
    }
    buildSurfaceMoments(moments, mesh, levelCount, request);

    resizeLevels(pyramid, levelCount);
    copyImage(pyramid.levels[0], texture);
    const int32_t lastLevel = levelCount - 1;
    // Each level's share of the work after the moments is its share of the unknowns: level 1 is about three
    // quarters of it.
    double unknowns = 0;
    for (int32_t i = 1; i <= lastLevel; ++i) unknowns += levelTexels(texture, i);
    double done = momentsShare;
    for (int32_t i = 1; i <= lastLevel; ++i) {
        const double next = done + (1 - momentsShare) * levelTexels(texture, i) / unknowns;
        if (!fitBilinearStep(moments, texture, i, pyramid.levels[i - 1], solver, bounds, name, pyramid.levels[i],
                             stats, done, i == lastLevel ? 1.0 : next, error)) {
            return false;
        }
        done = next;
    }
    return true;
}

bool buildKivbiPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount,
                       LevelSolver solver, FilterStats& stats, std::string& error) {
    return buildBilinearPyramid(mesh, pyramid, texture, levelCount, solver, nullptr, stats, error);
}

bool buildKivbicPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount,
                        LevelSolver solver, FilterStats& stats, std::string& error) {
    return buildKivbicPyramidWithin(mesh, pyramid, texture, levelCount, solver, ValueRange(), stats, error);
}

bool buildKivbicPyramidWithin(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount,
                              LevelSolver solver, const ValueRange& range, FilterStats& stats, std::string& error) {
    return buildBilinearPyramid(mesh, pyramid, texture, levelCount, solver, &range, stats, error);
}
