// A level's stencil and right-hand sides from the surface moments against the assembly over stored pieces.
#include "filters/level_system.h"

#include <gtest/gtest.h>

#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "piece_assembly.h"
#include "image/texture_io.h"
#include "system_checks.h"

namespace {

// The matrix entries (j, k), j <= k, that the stencil stands for, offsets that name the same unknown summed.
std::map<std::pair<int, int>, double> stencilEntries(const StencilMatrix& matrix) {
    std::map<std::pair<int, int>, double> entries;
    const int w = matrix.width, h = matrix.height;
    // Forward slot s of unknown (x, y) couples it with (x + dx[s], y + dy[s]).
    const int dx[stencilCoefficientCount] = {0, 1, 0, 1, -1}, dy[stencilCoefficientCount] = {0, 0, 1, 1, 1};
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int j = y * w + x;
            for (int s = 0; s < stencilCoefficientCount; ++s) {
                const int k = ((y + dy[s]) % h) * w + ((x + dx[s] + w) % w);
                const double value = matrix.coefficients[stencilCoefficientCount * j + s];
                // The backward offset of the same pair names the entry from the other side; a pair that is one
                // unknown on a side of 1 or 2 is met twice, as the general assembly meets both orders.
                entries[{std::min(j, k), std::max(j, k)}] += (s != stencilCentre && j == k) ? 2 * value : value;
            }
        }
    }
    return entries;
}

// Compares stencil and right-hand sides of level i with the assembly over the stored coverage.
void expectLevelMatchesPieces(const Mesh& mesh, const FloatImage& texture, int levelCount, int i) {
    TexelCoverage coverage;
    buildTexelCoverage(coverage, mesh, levelCount);
    FloatImage target;
    allocateImage(target, texture.width >> i, texture.height >> i);
    const int n = target.width * target.height;
    SparseRowMatrix expected;
    setRowCount(expected, n);
    clearRows(expected);
    assembleGramMatrix(expected, target, coverage, i);
    DenseBlock expectedRhs;
    createBlock(expectedRhs, n, 3);
    assembleRightHandSides(expectedRhs, 1 << i, target, texture, coverage, i);

    const SurfaceMoments moments = momentsOf(mesh, levelCount, 1, &texture);
    StencilMatrix actual;
    const int32_t levelSide = moments.grids[i].width / 2;
    assembleGramStencil(actual, moments.grids[i], levelSide, levelSide, levelScale(levelSide, levelSide));
    DenseBlock actualRhs;
    assembleTargetSides(actualRhs, moments.grids[i], levelSide, levelSide, 3, levelScale(levelSide, levelSide));

    ASSERT_EQ(actual.width, target.width);
    const double tolerance = 1e-6 * largestMagnitude(expected);
    const std::map<std::pair<int, int>, double> entries = stencilEntries(actual);
    for (int r = 0; r < n; ++r) {
        for (const auto& [column, value] : expected.rows[r]) {
            const auto found = entries.find({r, column});
            const double mine = found == entries.end() ? 0.0 : found->second;
            ASSERT_NEAR(mine, value, tolerance) << "level " << i << " entry " << r << ", " << column;
        }
    }
    for (const auto& [key, value] : entries) {
        if (expected.rows[key.first].count(key.second) == 0) {
            ASSERT_NEAR(value, 0.0, tolerance) << "level " << i;
        }
    }
    expectSameBlock(actualRhs, expectedRhs, 1e-6);
}

}  // namespace

TEST(LevelSystem, SampleLevelsEqualTheAssemblyOverStoredPiecesDownToOneTexel) {
    Mesh mesh;
    std::string error;
    ASSERT_TRUE(loadObjModel(mesh, KIV_SOURCE_DIR "/data/sample.obj", error)) << error;
    ASSERT_TRUE(normaliseMesh(mesh, error)) << error;
    // The sample at 64 x 64 texels, made from the bundled 512 x 512 atlas by taking every eighth texel.
    FloatImage full, texture;
    ASSERT_TRUE(loadTexture(KIV_SOURCE_DIR "/data/sample.png", full, error)) << error;
    allocateImage(texture, 64, 64);
    for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < 64; ++x) texture.at(x, y) = full.at(8 * x, 8 * y);
    }
    const int levelCount = mipLevelCount(64, 64);
    for (int i = 1; i < levelCount; ++i) expectLevelMatchesPieces(mesh, texture, levelCount, i);
}

TEST(LevelSystem, TrianglesBeyondTheTextureAndOnCellBoundaries) {
    // Corners outside [0, 1] stay with the border cells; corners on texel centres and borders cut pieces to nothing.
    const Mesh mesh = modelFrom(
        "v 0 0 0\nv 1 0 0.3\nv 1 1 0\nv 0 1 0.5\nv 0.5 0.2 1\n"
        "vt -0.2 -0.1\nvt 1.3 0.125\nvt 0.5 0.5\nvt 0.25 1.2\nvt 0.75 0.75\n"
        "f 1/1 2/2 3/3\nf 1/1 3/3 4/4\nf 2/2 5/5 3/3\nf 4/4 5/5 1/1\n");
    FloatImage texture;
    allocateImage(texture, 16, 16);
    for (int k = 0; k < texture.count; ++k) texture.texels[k] = Texel{(k % 7) / 6.0f, (k % 3) / 2.0f, (k % 16) / 15.0f, 1};
    for (int i = 1; i <= 4; ++i) expectLevelMatchesPieces(mesh, texture, 5, i);
}

TEST(LevelSystem, RegularisationPinsUnreachedTexelsAndRaisesTheOthers) {
    StencilMatrix matrix;
    matrix.width = 2, matrix.height = 1;
    resize(matrix.coefficients, 2 * stencilCoefficientCount);
    for (double& value : matrix.coefficients) value = 0;
    matrix.coefficients[stencilCentre] = 0.5;
    DenseBlock rhs;
    createBlock(rhs, 2, 3);
    for (double& value : rhs.values) value = 7;
    regulariseStencil(matrix, rhs, 0.001);
    EXPECT_DOUBLE_EQ(matrix.coefficients[stencilCentre], 0.501);
    EXPECT_DOUBLE_EQ(matrix.coefficients[stencilCoefficientCount + stencilCentre], 1.0);
    EXPECT_EQ(rhs.at(0, 2), 7);
    EXPECT_EQ(rhs.at(1, 0), 0);
    EXPECT_EQ(rhs.at(1, 2), 0);
}

namespace {

// One call of the band walk's fill: the thread, when it ran, and the two texel rows its cell row writes.
struct FillCall {
    int thread = 0;
    std::chrono::steady_clock::time_point start, end;
    int32_t rows[2] = {0, 0};
};

// Walks the grid's bands for a level of `height` texel rows on two threads, each fill taking 5 ms so that the calls
// of both threads overlap in time, and checks the walk's promise: every cell row is filled once, and no two calls
// that run at the same time on different threads write one texel row.
void expectNoTexelRowWrittenTwiceAtOnce(const MomentGrid& grid, int32_t height) {
    std::mutex guard;
    std::vector<FillCall> calls;
    std::vector<int> filled(static_cast<size_t>(grid.height), 0);
    const int previous = omp_get_max_threads();
    omp_set_num_threads(2);
    forEachBandInTwoPasses(grid, height, [&](int32_t y) {
        FillCall call;
        call.thread = omp_get_thread_num();
        call.rows[0] = gridCellTent(grid, SplitAxis::v, y, 0, height).texel;
        call.rows[1] = gridCellTent(grid, SplitAxis::v, y, 1, height).texel;
        call.start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        call.end = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> lock(guard);
        calls.push_back(call);
        ++filled[static_cast<size_t>(y)];
    });
    omp_set_num_threads(previous);
    for (int32_t y = 0; y < grid.height; ++y) EXPECT_EQ(filled[static_cast<size_t>(y)], 1) << "cell row " << y;
    for (const FillCall& a : calls) {
        for (const FillCall& b : calls) {
            if (a.thread == b.thread || !(a.start < b.end && b.start < a.end)) continue;
            for (int32_t row : a.rows) {
                EXPECT_TRUE(row != b.rows[0] && row != b.rows[1])
                    << "threads " << a.thread << " and " << b.thread << " both write texel row " << row;
            }
        }
    }
}

}  // namespace

// The assemblies add into the rows of the two texels around each cell row, band by band. With an odd number of texel
// rows the last band (rows h - 1 and 0, wrapped) is as even as the first (rows 0 and 1): run in the same pass, on
// different threads, they add into row 0 at once and lose terms. A level of 9 rows on even cells, and the 9-row level
// of a 19 x 19 texture on its grid cut along the levels' centres; 4 rows for comparison.
TEST(LevelSystem, NoTwoThreadsWriteOneTexelRowAtOnceForAnyNumberOfRows) {
    MomentGrid even;
    even.width = 1, even.height = 18;
    expectNoTexelRowWrittenTwiceAtOnce(even, 9);
    even.height = 8;
    expectNoTexelRowWrittenTwiceAtOnce(even, 4);
    SurfaceMoments moments;
    MomentRequest request;
    request.used = true;
    request.width = request.height = 19;
    buildSurfaceMoments(moments, Mesh{}, mipLevelCount(19, 19), request);
    ASSERT_GT(moments.grids[1].rowBounds.count, 0);
    expectNoTexelRowWrittenTwiceAtOnce(moments.grids[1], 9);
}
