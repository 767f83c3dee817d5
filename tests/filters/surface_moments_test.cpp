// The surface-moment walk against the texel coverage it replaces: same used cells, the same areas bit for bit,
// moments equal to the ones of the stored pieces, and closed-form values on a flat square.
#include "filters/surface_moments.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

#include "mesh/texel_coverage.h"
#include "stored_coverage.h"
#include "system_checks.h"

namespace {

// Runs the body with a given OpenMP thread count and restores the machine's count afterwards.
struct ThreadCount {
    explicit ThreadCount(int count) { omp_set_num_threads(count); }
    ~ThreadCount() { omp_set_num_threads(omp_get_num_procs()); }
};

// Random triangles over texture space and a little beyond it, some on cell boundaries, some degenerate, with
// model-space corners that make the map from texture space far from a similarity.
Mesh randomMesh(int triangleCount, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> coordinate(-0.1f, 1.1f), size(0.0f, 0.3f), depth(-1.0f, 1.0f);
    Mesh mesh;
    for (int t = 0; t < triangleCount; ++t) {
        const float u = coordinate(random), v = coordinate(random), extent = size(random);
        TexPoint corners[3] = {{u, v}, {u + extent, v + size(random) * 0.5f}, {u + size(random) * 0.5f, v + extent}};
        if (t % 7 == 0) corners[1].u = corners[0].u = 0.25f;  // an edge on a cell boundary of every grid
        if (t % 11 == 0) corners[2] = corners[1];              // collinear in texture space
        MeshTriangle triangle;
        for (int c = 0; c < 3; ++c) {
            triangle.positionIndex[c] = mesh.positions.count;
            triangle.texCoordIndex[c] = mesh.texCoords.count;
            append(mesh.texCoords, corners[c]);
            append(mesh.positions, Point3{corners[c].u * 2, corners[c].v, depth(random)});
        }
        if (t % 13 == 0) triangle.positionIndex[2] = triangle.positionIndex[0];  // repeated corner: dropped
        append(mesh.triangles, triangle);
    }
    return mesh;
}

double relativeGap(double a, double b, double scale) { return std::abs(a - b) / scale; }

// The moments of one cell's stored pieces, in float64.
void pieceMoments(const CoverageCell& cell, double m[9]) {
    for (int e = 0; e < 9; ++e) m[e] = 0;
    for (const SurfacePiece& piece : cell.pieces) {
        const LocalPoint t0{piece.texPoints[0].u, piece.texPoints[0].v};
        for (int j = 1; j + 1 < piece.texPoints.count; ++j) {
            double mean[9];
            triangleMonomialMeans(t0, LocalPoint{piece.texPoints[j].u, piece.texPoints[j].v},
                                  LocalPoint{piece.texPoints[j + 1].u, piece.texPoints[j + 1].v}, mean);
            for (int e = 0; e < 9; ++e) m[e] += fanTriangleArea(piece, j) * mean[e];
        }
    }
}

// Every grid from `firstGrid` on agrees with a coverage of the same finest level: used flags exactly, areas within
// `areaTolerance` of the grid's area (0: bit for bit), moments within float storage. With a texture size, the grids
// keep only their first cells across and down, and those agree.
void expectMatchesCoverage(const Mesh& mesh, int finest, int firstGrid, int threads, int width = 0, int height = 0,
                           double areaTolerance = 0) {
    TexelCoverage coverage;
    buildTexelCoverage(coverage, mesh, finest);
    SurfaceMoments moments;
    MomentRequest request;
    request.firstGrid = firstGrid;
    request.used = request.area = request.moments = true;
    request.width = width, request.height = height;
    {
        ThreadCount count(threads);
        buildSurfaceMoments(moments, mesh, finest, request);
    }
    ASSERT_EQ(moments.grids.count, finest + 1);
    for (int g = firstGrid; g <= finest; ++g) {
        const CoverageGrid& expected = coverage.levels[g];
        const MomentGrid& actual = moments.grids[g];
        if (width == 0) {
            ASSERT_EQ(actual.width, expected.width);
            ASSERT_EQ(actual.height, expected.width);
        }
        ASSERT_LE(actual.width, expected.width);
        ASSERT_LE(actual.height, expected.height);
        double gridArea = 0;
        for (const CoverageCell& cell : expected.cells) gridArea += cellArea(cell);
        for (int y = 0; y < actual.height; ++y) {
            for (int x = 0; x < actual.width; ++x) {
                const int cell = y * actual.width + x;
                const CoverageCell& stored = expected.cells[y * expected.width + x];
                ASSERT_EQ(actual.used[cell], stored.pieces.count > 0 ? 1 : 0) << "grid " << g << " cell " << cell;
                ASSERT_NEAR(actual.area[cell], cellArea(stored), areaTolerance * gridArea) << "grid " << g << " cell " << cell;
                double m[9];
                pieceMoments(stored, m);
                for (int e = 0; e < 9; ++e) {
                    ASSERT_LT(relativeGap(actual.moments[9 * cell + e], m[e], std::max(gridArea, std::abs(m[e])) + 1e-30), 1e-6)
                        << "grid " << g << " cell " << cell << " moment " << e;
                }
            }
        }
    }
}

}  // namespace

TEST(SurfaceMoments, RandomTrianglesMatchTheStoredCoverageOnEveryGrid) {
    // Finest level 8 cuts the walk into 4 x 4 tiles with the grids above them walked whole.
    const Mesh mesh = randomMesh(400, 7);
    expectMatchesCoverage(mesh, 8, 0, 1);
    expectMatchesCoverage(mesh, 8, 0, 2);
    expectMatchesCoverage(mesh, 8, 3, 2);
    // Below the tile size: one tile holds everything.
    expectMatchesCoverage(mesh, 4, 0, 2);
}

// Triangles laid on the same texture points (copies, the corners in another order, other model-space corners) are
// walked once, carrying the area of them all: the cells get what the coverage, which stores every copy, holds.
TEST(SurfaceMoments, OverlaidTrianglesAreWalkedOnceWithTheAreaOfEveryCopy) {
    Mesh mesh = randomMesh(200, 9);
    const int32_t original = mesh.triangles.count;
    for (int32_t t = 0; t < original; t += 3) {
        const MeshTriangle source = mesh.triangles[t];
        if (source.positionIndex[2] == source.positionIndex[0]) continue;  // a dropped triangle stands for no set
        // A triangle flat in texture space lays its area on a segment, shared among cells as the clipping's rounding
        // falls, which differs with the order of its corners.
        if (t % 11 == 0) continue;
        // Beyond the texture the border cells take everything, in local coordinates far from the cell, where the
        // rounding of the cut points grows with the distance.
        bool inside = true;
        for (int c = 0; c < 3; ++c) {
            const TexPoint& point = mesh.texCoords[source.texCoordIndex[c]];
            inside = inside && point.u >= 0 && point.u <= 1 && point.v >= 0 && point.v <= 1;
        }
        if (!inside) continue;
        for (int copy = 0; copy < 3; ++copy) {
            MeshTriangle overlay;
            for (int c = 0; c < 3; ++c) {
                const int from = (c + copy) % 3;  // the corners turned round
                const Point3 p = mesh.positions[source.positionIndex[from]];
                overlay.texCoordIndex[c] = source.texCoordIndex[from];
                overlay.positionIndex[c] = mesh.positions.count;
                // A copy in place, then ones stretched and moved elsewhere on the model.
                append(mesh.positions, copy == 0 ? p : Point3{p.x * (1 + copy), p.z + copy, p.y * 0.5f});
            }
            append(mesh.triangles, overlay);
        }
    }
    Mesh merged;
    GrowArray<double> weights;
    ASSERT_TRUE(mergeOverlaidTriangles(mesh, merged, weights));
    EXPECT_LT(merged.triangles.count, mesh.triangles.count);
    // The copies' areas are summed in float64 from corners in float32: the cells agree within float rounding.
    expectMatchesCoverage(mesh, 8, 0, 2, 0, 0, 1e-6);
    expectMatchesCoverage(mesh, 5, 1, 1, 0, 0, 1e-6);
    EXPECT_FALSE(mergeOverlaidTriangles(randomMesh(200, 9), merged, weights));
}

// A texture whose sides are not powers of two has square grids in its longer side, but they keep only the cells
// that its texels pair with, so a thin texture costs its texels, not the square of its longer side.
TEST(SurfaceMoments, GridsOfAThinTextureKeepOnlyTheCellsItsTexelsPairWith) {
    const Mesh mesh = randomMesh(300, 3);
    expectMatchesCoverage(mesh, 8, 0, 2, 250, 3);
    expectMatchesCoverage(mesh, 8, 0, 1, 5, 251);
    expectMatchesCoverage(mesh, 7, 1, 2, 100, 100);
    SurfaceMoments moments;
    MomentRequest request;
    request.used = request.area = true;
    request.width = 8193, request.height = 1;
    buildSurfaceMoments(moments, mesh, 14, request);
    EXPECT_EQ(moments.grids[0].width, 8193);
    EXPECT_EQ(moments.grids[0].height, 1);
    EXPECT_EQ(moments.grids[1].width * moments.grids[1].height, 0);  // level 1 is 4096 x 0
}

TEST(SurfaceMoments, BundledSampleMatchesTheStoredCoverage) {
    Mesh mesh;
    std::string error;
    ASSERT_TRUE(loadObjModel(mesh, KIV_SOURCE_DIR "/data/sample.obj", error)) << error;
    ASSERT_TRUE(normaliseMesh(mesh, error)) << error;
    expectMatchesCoverage(mesh, 9, 0, 2);
}

// For a texture whose sides differ, every grid follows both sides: its cell is the run of `ratio` square cells
// (square in the longer side) along the shorter side, so its used flag, area and moments are theirs merged, the
// moments moved into the merged cell's coordinates (V = (d + v) / ratio for the d-th square cell). Grids past the
// shorter side's last cell have none. Both ways round, wide and tall, on random triangles that cross the strips.
TEST(SurfaceMoments, GridsOfATextureWithUnequalSidesAreTheSquareCellsMergedAlongTheShorterSide) {
    const Mesh mesh = randomMesh(300, 5);
    const int finest = 7;
    for (const bool wide : {true, false}) {
        SCOPED_TRACE(wide ? "wide" : "tall");
        const int ratio = 4, longer = 1 << (finest - 1), shorter = longer / ratio;
        SurfaceMoments square, rectangular;
        MomentRequest request;
        request.used = request.area = request.moments = true;
        buildSurfaceMoments(square, mesh, finest, request);
        request.width = wide ? longer : shorter;
        request.height = wide ? shorter : longer;
        buildSurfaceMoments(rectangular, mesh, finest, request);
        ASSERT_EQ(rectangular.grids.count, finest + 1);
        for (int g = 0; g <= finest; ++g) {
            const MomentGrid& merged = rectangular.grids[g];
            const int side = 1 << (finest - g);
            if (side < ratio) {
                EXPECT_EQ(merged.width * merged.height, 0) << "grid " << g;
                continue;
            }
            ASSERT_EQ(merged.width, wide ? side : side / ratio);
            ASSERT_EQ(merged.height, wide ? side / ratio : side);
            const MomentGrid& cells = square.grids[g];
            double gridArea = 0;
            for (int k = 0; k < side * side; ++k) gridArea += cells.area[k];
            for (int y = 0; y < merged.height; ++y) {
                for (int x = 0; x < merged.width; ++x) {
                    const int at = y * merged.width + x;
                    bool used = false;
                    double area = 0, m[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
                    for (int d = 0; d < ratio; ++d) {
                        const int cx = wide ? x : ratio * x + d, cy = wide ? ratio * y + d : y;
                        const int from = cy * side + cx;
                        used = used || cells.used[from] != 0;
                        area += cells.area[from];
                        // The merged axis' powers t^0, t^1, t^2 of T = (d + t) / ratio.
                        for (int b = 0; b < 3; ++b) {
                            for (int a = 0; a < 3; ++a) {
                                const int p = wide ? b : a;  // power along the merged axis
                                const auto child = [&](int q) {
                                    return double(cells.moments[9 * from + (wide ? 3 * q + a : 3 * b + q)]);
                                };
                                double term = p == 0 ? child(0)
                                              : p == 1 ? d * child(0) + child(1)
                                                       : d * d * child(0) + 2 * d * child(1) + child(2);
                                m[3 * b + a] += term / std::pow(ratio, p);
                            }
                        }
                    }
                    ASSERT_EQ(merged.used[at] != 0, used) << "grid " << g << " cell " << at;
                    ASSERT_NEAR(merged.area[at], area, 1e-6 * gridArea) << "grid " << g << " cell " << at;
                    for (int e = 0; e < 9; ++e) {
                        ASSERT_NEAR(merged.moments[9 * at + e], m[e], 1e-5 * gridArea)
                            << "grid " << g << " cell " << at << " moment " << e;
                    }
                }
            }
        }
    }
}

TEST(SurfaceMoments, SameResultForAnyThreadCount) {
    const Mesh mesh = randomMesh(300, 11);
    FloatImage texture;
    allocateImage(texture, 128, 128);
    for (int k = 0; k < texture.count; ++k) texture.texels[k] = Texel{(k % 17) / 16.0f, (k % 5) / 4.0f, 0.5f, 1};
    MomentRequest request;
    request.firstGrid = 1;
    request.used = request.area = request.moments = true;
    request.texture = &texture;
    SurfaceMoments one, two;
    {
        ThreadCount count(1);
        buildSurfaceMoments(one, mesh, 8, request);
    }
    {
        ThreadCount count(2);
        buildSurfaceMoments(two, mesh, 8, request);
    }
    for (int g = 1; g <= 8; ++g) {
        const MomentGrid &a = one.grids[g], &b = two.grids[g];
        for (int e = 0; e < a.moments.count; ++e) ASSERT_EQ(a.moments[e], b.moments[e]);
        for (int e = 0; e < a.weighted.count; ++e) ASSERT_EQ(a.weighted[e], b.weighted[e]);
    }
}

TEST(SurfaceMoments, FlatSquareHasClosedFormMomentsAndTheTexturesMean) {
    // The unit square laid once over the texture: every cell of grid g holds area 1/s^2 spread evenly, so
    // m_ab = (1/s^2) / ((a + 1)(b + 1)); and over the whole square the reconstruction, which wraps around, has the
    // mean of the texels.
    const Mesh mesh = modelFrom("v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\nf 1/1 2/2 3/3 4/4\n");
    FloatImage texture;
    allocateImage(texture, 8, 8);
    double mean[3] = {0, 0, 0};
    for (int k = 0; k < texture.count; ++k) {
        texture.texels[k] = Texel{static_cast<float>((k * 7) % 13) / 12, static_cast<float>(k) / 63, 0.25f, 1};
        mean[0] += texture.texels[k].r / 64.0, mean[1] += texture.texels[k].g / 64.0, mean[2] += texture.texels[k].b / 64.0;
    }
    MomentRequest request;
    request.firstGrid = 1;
    request.moments = true;
    request.texture = &texture;
    SurfaceMoments moments;
    buildSurfaceMoments(moments, mesh, 4, request);
    for (int g = 1; g <= 4; ++g) {
        const MomentGrid& grid = moments.grids[g];
        const double cellArea = 1.0 / (grid.width * grid.height);
        for (int cell = 0; cell < grid.width * grid.height; ++cell) {
            for (int b = 0; b < 3; ++b) {
                for (int a = 0; a < 3; ++a) {
                    EXPECT_NEAR(grid.moments[9 * cell + 3 * b + a], cellArea / ((a + 1) * (b + 1)), 1e-7);
                }
            }
        }
    }
    const MomentGrid& top = moments.grids[4];
    ASSERT_EQ(top.width, 1);
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(top.weighted[4 * c], mean[c], 1e-6) << "channel " << c;
        // With a constant texture u f integrates to f / 2; here only the total is known in closed form.
    }
}
