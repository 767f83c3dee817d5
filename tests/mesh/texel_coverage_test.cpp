// Texel coverage: clipping pieces at cell boundaries and dividing the surface exactly among the cells.
#include "stored_coverage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

// One triangle per entry: texture points and model-space points of its three corners.
struct TestTriangle {
    TexPoint tex[3];
    Point3 surface[3];
};

static Mesh meshOf(const std::vector<TestTriangle>& triangles) {
    Mesh mesh;
    for (const TestTriangle& t : triangles) {
        MeshTriangle indices;
        for (int c = 0; c < 3; ++c) {
            indices.positionIndex[c] = mesh.positions.count;
            indices.texCoordIndex[c] = mesh.texCoords.count;
            append(mesh.positions, t.surface[c]);
            append(mesh.texCoords, t.tex[c]);
        }
        append(mesh.triangles, indices);
    }
    return mesh;
}

// A triangle laid flat in model space at its own texture coordinates (z = 0).
static TestTriangle flatTriangle(TexPoint a, TexPoint b, TexPoint c) {
    return TestTriangle{{a, b, c}, {{a.u, a.v, 0}, {b.u, b.v, 0}, {c.u, c.v, 0}}};
}

static const CoverageCell& cellAt(const TexelCoverage& coverage, int level, int x, int y) {
    const CoverageGrid& grid = coverage.levels[level];
    return grid.cells[y * grid.width + x];
}

static double gridArea(const CoverageGrid& grid) {
    double total = 0;
    for (const CoverageCell& cell : grid.cells) total += cellArea(cell);
    return total;
}

static int gridPieceCount(const CoverageGrid& grid) {
    int total = 0;
    for (const CoverageCell& cell : grid.cells) total += cell.pieces.count;
    return total;
}

static double triangleArea(const TestTriangle& t) {
    const double ax = t.surface[1].x - t.surface[0].x, ay = t.surface[1].y - t.surface[0].y,
                 az = t.surface[1].z - t.surface[0].z;
    const double bx = t.surface[2].x - t.surface[0].x, by = t.surface[2].y - t.surface[0].y,
                 bz = t.surface[2].z - t.surface[0].z;
    const double cx = ay * bz - az * by, cy = az * bx - ax * bz, cz = ax * by - ay * bx;
    return 0.5 * std::sqrt(cx * cx + cy * cy + cz * cz);
}

static SurfacePiece pieceOf(const std::vector<TexPoint>& points) {
    SurfacePiece piece;
    for (const TexPoint& p : points) {
        append(piece.texPoints, p);
        append(piece.surfacePoints, Point3{p.u, p.v, 0});
    }
    return piece;
}

static void expectTexPoint(const SurfacePiece& piece, int i, float u, float v) {
    EXPECT_FLOAT_EQ(piece.texPoints[i].u, u) << "vertex " << i;
    EXPECT_FLOAT_EQ(piece.texPoints[i].v, v) << "vertex " << i;
}

TEST(SplitPiece, CutsAtOneKeepingWindingAndMovesTheHighPartBack) {
    // A square from u = 0.5 to 1.5: the left half stays, the right half moves back by 1.
    const SurfacePiece square = pieceOf({{0.5f, 0}, {1.5f, 0}, {1.5f, 1}, {0.5f, 1}});
    SurfacePiece low, high;
    splitPiece(square, SplitAxis::u, low, high);
    ASSERT_EQ(low.texPoints.count, 4);
    ASSERT_EQ(high.texPoints.count, 4);
    // Walking from (0.5, 1) to (0.5, 0) stays low; the edge to (1.5, 0) crosses at (1, 0).
    expectTexPoint(low, 0, 0.5f, 0);
    expectTexPoint(low, 1, 1, 0);
    expectTexPoint(low, 2, 1, 1);
    expectTexPoint(low, 3, 0.5f, 1);
    expectTexPoint(high, 0, 0, 0);
    expectTexPoint(high, 1, 0.5f, 0);
    expectTexPoint(high, 2, 0.5f, 1);
    expectTexPoint(high, 3, 0, 1);
    // Model points are not moved: the crossing's is interpolated, the corner's kept.
    EXPECT_FLOAT_EQ(high.surfacePoints[0].x, 1.0f);
    EXPECT_FLOAT_EQ(high.surfacePoints[1].x, 1.5f);

    SurfacePiece empty;
    splitPiece(empty, SplitAxis::v, low, high);
    EXPECT_EQ(low.texPoints.count, 0);
    EXPECT_EQ(high.surfacePoints.count, 0);
}

TEST(SplitPiece, AVertexExactlyOnTheLineIsHigh) {
    const SurfacePiece triangle = pieceOf({{0, 1}, {1, 1}, {0, 2}});
    SurfacePiece low, high;
    splitPiece(triangle, SplitAxis::v, low, high);
    EXPECT_EQ(low.texPoints.count, 0);
    ASSERT_EQ(high.texPoints.count, 3);
    expectTexPoint(high, 0, 0, 0);
    expectTexPoint(high, 2, 0, 1);
}

TEST(TexelCoverage, ATriangleInsideOneCellIsStoredInLocalCoordinates) {
    const Mesh mesh = meshOf({flatTriangle({0.1f, 0.1f}, {0.4f, 0.1f}, {0.1f, 0.4f})});
    TexelCoverage coverage;
    buildTexelCoverage(coverage, mesh, 1);
    ASSERT_EQ(coverage.levels.count, 2);
    EXPECT_EQ(coverage.levels[1].width, 1);
    EXPECT_EQ(coverage.levels[0].width, 2);
    EXPECT_EQ(coverage.levels[0].cellCount, 4);
    const CoverageCell& top = cellAt(coverage, 1, 0, 0);
    ASSERT_EQ(top.pieces.count, 1);
    expectTexPoint(top.pieces[0], 0, 0.1f, 0.1f);
    const CoverageCell& cell = cellAt(coverage, 0, 0, 0);
    ASSERT_EQ(cell.pieces.count, 1);
    ASSERT_EQ(cell.pieces[0].texPoints.count, 3);
    expectTexPoint(cell.pieces[0], 0, 0.2f, 0.2f);
    expectTexPoint(cell.pieces[0], 1, 0.8f, 0.2f);
    expectTexPoint(cell.pieces[0], 2, 0.2f, 0.8f);
    EXPECT_EQ(gridPieceCount(coverage.levels[0]), 1);
    EXPECT_NEAR(cellArea(cell), 0.045, 1e-7);
    releaseCoverage(coverage);
    EXPECT_EQ(coverage.levels.count, 0);
}

TEST(TexelCoverage, APieceTouchingACellOnlyAtAPointIsNotStored) {
    const TestTriangle t = flatTriangle({0.25f, 0.25f}, {0.75f, 0.25f}, {0.25f, 0.75f});
    TexelCoverage coverage;
    buildTexelCoverage(coverage, meshOf({t}), 1);
    EXPECT_EQ(cellAt(coverage, 0, 0, 0).pieces.count, 1);
    EXPECT_EQ(cellAt(coverage, 0, 0, 1).pieces.count, 1);
    EXPECT_EQ(cellAt(coverage, 0, 1, 0).pieces.count, 1);
    EXPECT_EQ(cellAt(coverage, 0, 1, 1).pieces.count, 0);
    EXPECT_NEAR(cellArea(cellAt(coverage, 0, 0, 0)), 0.0625, 1e-7);
    EXPECT_NEAR(gridArea(coverage.levels[0]), triangleArea(t), 1e-7);
}

TEST(TexelCoverage, RepeatedCornersDropATriangleButCollinearOnesKeepItWithNoArea) {
    TestTriangle repeated = flatTriangle({0.1f, 0.1f}, {0.6f, 0.1f}, {0.1f, 0.6f});
    repeated.surface[2] = repeated.surface[0];
    TestTriangle collinear = flatTriangle({0.1f, 0.1f}, {0.6f, 0.1f}, {0.1f, 0.6f});
    collinear.surface[0] = {0, 0, 0};
    collinear.surface[1] = {1, 1, 1};
    collinear.surface[2] = {2, 2, 2};
    TexelCoverage coverage;
    buildTexelCoverage(coverage, meshOf({repeated}), 2);
    for (const CoverageGrid& grid : coverage.levels) EXPECT_EQ(gridPieceCount(grid), 0);
    buildTexelCoverage(coverage, meshOf({collinear}), 2);
    EXPECT_EQ(gridPieceCount(coverage.levels[2]), 1);
    EXPECT_GT(gridPieceCount(coverage.levels[0]), 1);
    EXPECT_EQ(gridArea(coverage.levels[0]), 0.0);
}

TEST(TexelCoverage, PartsOutsideTextureSpaceStayInTheBorderColumns) {
    // Reaches u = -0.5 and v = -0.25; it covers u up to 0.3 only.
    const TestTriangle t = flatTriangle({-0.5f, -0.25f}, {0.3f, 0.1f}, {-0.5f, 0.6f});
    TexelCoverage coverage;
    buildTexelCoverage(coverage, meshOf({t}), 2);
    for (int level = 0; level < 3; ++level) {
        const CoverageGrid& grid = coverage.levels[level];
        const int lastUsedColumn = static_cast<int>(0.3f * grid.width);
        bool someLocalUNegative = false;
        for (int y = 0; y < grid.height; ++y) {
            for (int x = lastUsedColumn + 1; x < grid.width; ++x) EXPECT_EQ(cellAt(coverage, level, x, y).pieces.count, 0);
            for (const SurfacePiece& piece : cellAt(coverage, level, 0, y).pieces) {
                for (const TexPoint& p : piece.texPoints) someLocalUNegative |= p.u < 0;
            }
        }
        EXPECT_TRUE(someLocalUNegative) << "level " << level;
        EXPECT_NEAR(gridArea(grid), triangleArea(t), 1e-6) << "level " << level;
    }
}

TEST(TexelCoverage, AVertexOnACellBoundaryBelongsToTheCellToItsRight) {
    const Mesh mesh = meshOf({flatTriangle({0.5f, 0.1f}, {0.9f, 0.1f}, {0.5f, 0.4f})});
    TexelCoverage coverage;
    buildTexelCoverage(coverage, mesh, 1);
    EXPECT_EQ(cellAt(coverage, 0, 1, 0).pieces.count, 1);
    EXPECT_EQ(gridPieceCount(coverage.levels[0]), 1);
    expectTexPoint(cellAt(coverage, 0, 1, 0).pieces[0], 0, 0, 0.2f);
}

TEST(TexelCoverage, ATriangleInsideOneFinestCellCostsOnePiecePerLevel) {
    // Inside cell (5, 2) of the 8 x 8 grid.
    const Mesh mesh = meshOf({flatTriangle({0.63f, 0.26f}, {0.74f, 0.27f}, {0.66f, 0.37f})});
    TexelCoverage coverage;
    buildTexelCoverage(coverage, mesh, 3);
    const int expected[4][2] = {{5, 2}, {2, 1}, {1, 0}, {0, 0}};
    for (int level = 0; level < 4; ++level) {
        EXPECT_EQ(gridPieceCount(coverage.levels[level]), 1);
        EXPECT_EQ(cellAt(coverage, level, expected[level][0], expected[level][1]).pieces.count, 1);
    }
}

TEST(TexelCoverage, EveryGridHoldsTheWholeSurface) {
    // Triangles of various shapes and orientations, tilted in model space, some beyond [0, 1]^2,
    // one of them wound clockwise in texture space.
    std::vector<TestTriangle> triangles = {
        {{{0.05f, 0.1f}, {0.93f, 0.2f}, {0.4f, 0.97f}}, {{0, 0, 0}, {1, 0.2f, 0.3f}, {0.3f, 1, -0.4f}}},
        {{{0.31f, 0.77f}, {0.12f, 0.02f}, {0.88f, 0.5f}}, {{0.2f, 0.1f, 0.5f}, {-0.3f, 0.4f, 0}, {0.1f, -0.2f, 0.3f}}},
        {{{-0.2f, 1.3f}, {1.1f, 0.9f}, {0.7f, -0.1f}}, {{0, 0, 0}, {0.5f, 0.5f, 0.5f}, {0.5f, -0.5f, 0}}},
        {{{0.49f, 0.49f}, {0.51f, 0.5f}, {0.5f, 0.52f}}, {{0, 0, 0}, {0.01f, 0, 0}, {0, 0.01f, 0}}},
    };
    double meshArea = 0;
    for (const TestTriangle& t : triangles) meshArea += triangleArea(t);
    TexelCoverage coverage;
    buildTexelCoverage(coverage, meshOf(triangles), 5);
    ASSERT_EQ(coverage.levels.count, 6);
    for (const CoverageGrid& grid : coverage.levels) EXPECT_NEAR(gridArea(grid), meshArea, 1e-5 * meshArea);
    // Local coordinates of pieces inside texture space stay within their cell.
    const CoverageGrid& finest = coverage.levels[0];
    for (int y = 1; y + 1 < finest.height; ++y) {
        for (int x = 1; x + 1 < finest.width; ++x) {
            for (const SurfacePiece& piece : cellAt(coverage, 0, x, y).pieces) {
                EXPECT_EQ(piece.texPoints.count, piece.surfacePoints.count);
                EXPECT_GE(piece.texPoints.count, 3);
                for (const TexPoint& p : piece.texPoints) {
                    EXPECT_TRUE(p.u >= -1e-5f && p.u <= 1 + 1e-5f && p.v >= -1e-5f && p.v <= 1 + 1e-5f);
                }
            }
        }
    }
}

TEST(TexelCoverage, PiecesOfOneCellKeepMeshOrder) {
    const Mesh mesh = meshOf({flatTriangle({0.1f, 0.1f}, {0.2f, 0.1f}, {0.1f, 0.2f}),
                              flatTriangle({0.3f, 0.3f}, {0.4f, 0.3f}, {0.3f, 0.4f})});
    TexelCoverage coverage;
    buildTexelCoverage(coverage, mesh, 1);
    const CoverageCell& cell = cellAt(coverage, 0, 0, 0);
    ASSERT_EQ(cell.pieces.count, 2);
    expectTexPoint(cell.pieces[0], 0, 0.2f, 0.2f);
    expectTexPoint(cell.pieces[1], 0, 0.6f, 0.6f);
}

TEST(TexelCoverage, FarOutsideAndDegenerateTextureCoordinatesFinish) {
    std::vector<TestTriangle> triangles = {
        {{{1e6f, 0.5f}, {-1e6f, 0.2f}, {0.5f, 1e6f}}, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}},
        {{{3e38f, -3e38f}, {-3e38f, 3e38f}, {0.5f, 0.5f}}, {{0, 0, 0}, {0, 1, 0}, {0, 0, 1}}},
        {{{0.3f, 0.3f}, {0.3f, 0.3f}, {0.3f, 0.3f}}, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}},
    };
    // Parts beyond the texture stay in the border cells, so no surface is lost even where the local
    // coordinates overflow to infinity.
    TexelCoverage coverage;
    buildTexelCoverage(coverage, meshOf(triangles), 8);
    for (const CoverageGrid& grid : coverage.levels) EXPECT_NEAR(gridArea(grid), 1.5, 1e-4);
    // A triangle whose texture corners coincide still lands, whole, in one cell of every grid.
    buildTexelCoverage(coverage, meshOf({triangles[2]}), 3);
    for (const CoverageGrid& grid : coverage.levels) {
        EXPECT_EQ(gridPieceCount(grid), 1);
        EXPECT_NEAR(gridArea(grid), 0.5, 1e-7);
    }
}

TEST(TexelCoverage, AnEmptyMeshGivesEmptyGrids) {
    TexelCoverage coverage;
    buildTexelCoverage(coverage, Mesh{}, 2);
    ASSERT_EQ(coverage.levels.count, 3);
    EXPECT_EQ(coverage.levels[0].cellCount, 16);
    for (const CoverageGrid& grid : coverage.levels) EXPECT_EQ(gridPieceCount(grid), 0);
}
