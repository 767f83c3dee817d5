// A level's stencil and right-hand sides from the surface moments against the assembly over stored pieces.
#include "filters/level_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <utility>

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
    assembleGramStencil(actual, moments.grids[i], levelSide, levelSide, levelScale(moments.grids[i]));
    DenseBlock actualRhs;
    assembleTargetSides(actualRhs, moments.grids[i], levelSide, levelSide, 3, levelScale(moments.grids[i]));

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
