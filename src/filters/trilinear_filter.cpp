// "kivtri": the inner levels of the pyramid solved jointly, so that trilinear reconstruction best
// reproduces the full-resolution texture over the model's surface and over every level of detail.
#include "filters/trilinear_filter.h"

#include <cassert>
#include <utility>

#include "base/clock.h"
#include "filters/level_system.h"
#include "filters/surface_moments.h"
#include "filters/trilinear_system.h"
#include "filters/weighted_box.h"
#include "sparse/sparse_solver.h"

// Red, green and blue are solved; alpha is not.
static constexpr int32_t channelCount = 3;

// Solves the assembled system into X (which holds the starting values); `system` may be emptied on the way.
static bool solveJointly(TrilinearSystem& system, DenseBlock& x, LevelSolver solver, SolverStats& stats,
                         std::string& error) {
    if (solver == LevelSolver::iterative) {
        IterativeSolveStatistics iterations;
        const double start = wallClockSeconds();
        const bool solved = solveTrilinearSystem(system, x, iterationSettings(), iterations, error);
        recordIterations(stats, iterations, wallClockSeconds() - start);
        return solved;
    }
    // The stencils and couplings, the rows and the factor are never all held at once.
    SparseRowMatrix matrix;
    trilinearToRows(system, matrix);
    DenseBlock rhs = std::move(system.rhs);
    release(system.levels);
    release(system.couplings);
    toCompressedColumn(matrix);
    releaseRows(matrix);
    return solveByFactorisation(matrix, x, rhs, stats, error);
}

bool buildKivtriPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount,
                        LevelSolver solver, FilterStats& stats, std::string& error) {
    assert(texture.width == texture.height && levelCount >= 1 && (texture.width >> (levelCount - 1)) == 1);
    // Grid g + 1 has the side of level g: the box pyramid reads grid 1 on, the system grids 1 .. L - 2.
    SurfaceMoments moments;
    MomentRequest request;
    request.firstGrid = 1;
    request.used = request.area = request.moments = true;
    request.texture = &texture;
    buildSurfaceMoments(moments, mesh, levelCount, request);
    resizeLevels(pyramid, levelCount);
    GrowArray<int32_t> levelStart;
    const int32_t unknownCount = numberUnknowns(levelStart, texture.width, texture.height, levelCount);
    MipPyramid boxPyramid;
    buildAreaWeightedPyramid(boxPyramid, texture, moments, 1, levelCount);

    // The box levels are the iterations' starting values; a direct solve replaces them.
    DenseBlock x;
    createBlock(x, unknownCount, channelCount);
    for (int32_t l = 1; l <= levelCount - 2; ++l) {
        const FloatImage& level = boxPyramid.levels[l];
        for (int32_t ty = 0; ty < level.height; ++ty) {
            for (int32_t tx = 0; tx < level.width; ++tx) {
                const int32_t i = levelStart[l] + ty * level.width + tx;
                const Texel& texel = level.at(tx, ty);
                x.at(i, 0) = texel.r, x.at(i, 1) = texel.g, x.at(i, 2) = texel.b;
            }
        }
    }

    const double t0 = wallClockSeconds();
    double t1 = t0, t2 = t0;
    // Sides 1 and 2 have no inner level: only the fixed levels are written.
    if (unknownCount > 0) {
        TrilinearSystem system;
        assembleTrilinearSystem(system, moments, boxPyramid.levels[levelCount - 1].texels[0], levelCount);
        releaseSurfaceMoments(moments);
        t1 = wallClockSeconds();
        std::string solverError;
        if (!solveJointly(system, x, solver, stats.trilinear.solver, solverError)) {
            error = "Error: kivtri: " + solverError;
            return false;
        }
        t2 = wallClockSeconds();
    }
    releaseSurfaceMoments(moments);

    copyImage(pyramid.levels[0], texture);
    for (int32_t l = 1; l <= levelCount - 2; ++l) {
        FloatImage& level = pyramid.levels[l];
        allocateImage(level, texture.width >> l, texture.height >> l);
        for (int32_t ty = 0; ty < level.height; ++ty) {
            for (int32_t tx = 0; tx < level.width; ++tx) {
                const int32_t i = levelStart[l] + ty * level.width + tx;
                level.at(tx, ty) = Texel{static_cast<float>(x.at(i, 0)), static_cast<float>(x.at(i, 1)),
                                         static_cast<float>(x.at(i, 2)), 1.0f};
            }
        }
    }
    if (levelCount >= 2) copyImage(pyramid.levels[levelCount - 1], boxPyramid.levels[levelCount - 1]);
    // t0 to t1: assembly and regularisation; t1 to t2: the solve.
    stats.trilinear.buildSeconds = t1 - t0;
    stats.trilinear.solveSeconds = t2 - t1;
    stats.trilinear.totalSeconds = t2 - t0;
    stats.trilinear.solved = true;
    return true;
}
