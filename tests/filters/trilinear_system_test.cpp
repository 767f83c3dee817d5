// kivtri's joint system from the surface moments against the term-by-term assembly over stored pieces.
#include "filters/trilinear_system.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "filters/trilinear_filter.h"
#include "filters/weighted_box.h"
#include "system_checks.h"
#include "piece_assembly.h"

namespace {

void expectSystemMatchesPieces(const Mesh& mesh, const FloatImage& texture) {
    const int levelCount = mipLevelCount(texture.width, texture.height);
    TexelCoverage coverage;
    buildTexelCoverage(coverage, mesh, levelCount);
    GrowArray<int32_t> levelStart;
    const int n = numberUnknowns(levelStart, texture.width, texture.height, levelCount);
    MipPyramid boxPyramid;
    buildAreaWeightedPyramid(boxPyramid, texture, momentsOf(mesh, levelCount, 1), 1, levelCount);
    SparseRowMatrix expected;
    setRowCount(expected, n);
    clearRows(expected);
    DenseBlock expectedRhs;
    createBlock(expectedRhs, n, 3);
    assembleTrilinearMatrix(expectedRhs, expected, boxPyramid, n, levelStart, coverage, texture);
    assembleTrilinearTargets(expectedRhs, n, levelStart, coverage, texture);
    regularise(expected, expectedRhs);

    const SurfaceMoments moments = momentsOf(mesh, levelCount, 1, &texture);
    TrilinearSystem system;
    assembleTrilinearSystem(system, moments, boxPyramid.levels[levelCount - 1], texture.width, texture.height,
                            levelCount);
    SparseRowMatrix actual;
    trilinearToRows(system, actual);

    ASSERT_EQ(actual.rows.count, n);
    const double tolerance = 1e-6 * largestMagnitude(expected);
    for (int r = 0; r < n; ++r) {
        for (const auto& [column, value] : expected.rows[r]) {
            const auto found = actual.rows[r].find(column);
            const double mine = found == actual.rows[r].end() ? 0.0 : found->second;
            ASSERT_NEAR(mine, value, tolerance) << "entry " << r << ", " << column << " of " << n;
        }
        for (const auto& [column, value] : actual.rows[r]) {
            if (expected.rows[r].count(column) == 0) {
                ASSERT_NEAR(value, 0.0, tolerance) << "entry " << r << ", " << column;
            }
        }
    }
    expectSameBlock(system.rhs, expectedRhs, 1e-6);

    // The operator the iterations use is the same matrix.
    DenseBlock x, y;
    createBlock(x, n, 2);
    for (int k = 0; k < x.values.count; ++k) x.values[k] = std::sin(0.37 * k + 1);
    multiplyTrilinear(system, x, y);
    for (int c = 0; c < 2; ++c) {
        for (int r = 0; r < n; ++r) {
            double expectedProduct = 0;
            for (const auto& [column, value] : expected.rows[r]) expectedProduct += value * x.at(column, c);
            for (int k = 0; k < r; ++k) {
                const auto found = expected.rows[k].find(r);
                if (found != expected.rows[k].end()) expectedProduct += found->second * x.at(k, c);
            }
            ASSERT_NEAR(y.at(r, c), expectedProduct, tolerance * 40) << "row " << r << " column " << c;
        }
    }

    // The residual the stopping tests read, summed in long double, is b - A x of the same matrix.
    DenseBlock b, r;
    createBlock(b, n, 2);
    for (int k = 0; k < b.values.count; ++k) b.values[k] = std::cos(0.21 * k);
    trilinearResidual(system, x, b, r);
    ASSERT_EQ(r.count, n);
    ASSERT_EQ(r.columns, 2);
    for (int c = 0; c < 2; ++c) {
        for (int row = 0; row < n; ++row) ASSERT_NEAR(r.at(row, c), b.at(row, c) - y.at(row, c), tolerance * 40) << row;
    }
}

FloatImage patternTexture(int side) {
    FloatImage texture;
    allocateImage(texture, side, side);
    for (int k = 0; k < texture.count; ++k) {
        texture.texels[k] = Texel{(k % 7) / 6.0f, (k % 3) / 2.0f, ((k * 5) % 16) / 15.0f, 1};
    }
    return texture;
}

}  // namespace

TEST(TrilinearSystem, EqualsTheTermByTermAssemblyFromFourToSixtyFourTexels) {
    // Triangles beyond the texture, on texel borders, and one chart turned against the others.
    const Mesh mesh = modelFrom(
        "v 0 0 0\nv 1 0 0.3\nv 1 1 0\nv 0 1 0.5\nv 0.5 0.2 1\n"
        "vt -0.2 -0.1\nvt 1.3 0.125\nvt 0.5 0.5\nvt 0.25 1.2\nvt 0.75 0.75\n"
        "f 1/1 2/2 3/3\nf 1/1 3/3 4/4\nf 2/2 5/5 3/3\nf 4/4 5/5 1/1\n");
    for (int side : {4, 8, 16, 64}) {
        SCOPED_TRACE(side);
        expectSystemMatchesPieces(mesh, patternTexture(side));
    }
}

TEST(TrilinearSystem, PartlyCoveredSquareLeavesPinnedTexels) {
    // A square over a quarter of texture space: texels far from it are pinned with right-hand sides 0.
    const Mesh mesh = modelFrom("v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0.1 0.1\nvt 0.4 0.1\nvt 0.4 0.45\nvt 0.1 0.4\n"
                                "f 1/1 2/2 3/3 4/4\n");
    expectSystemMatchesPieces(mesh, patternTexture(32));
}
