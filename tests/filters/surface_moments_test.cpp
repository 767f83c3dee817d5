// The surface-moment walk against the texel coverage it replaces: same used cells, the same areas bit for bit,
// moments equal to the ones of the stored pieces, and closed-form values on a flat square.
#include "filters/surface_moments.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "mesh/texel_coverage.h"
#include "stored_coverage.h"
#include "surface_quadrature.h"
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

// --- Grids cut along the levels' own bounds -------------------------------------------------------------------------

namespace {

// Grid g's bounds along an axis of `size` texels for finest level L, as exact fractions each rounded once to double:
// 0, 1 and the texel centres (2i + 1) / 2n of the levels g .. L - 1, or with `edges` the inner texel edges i / n of
// the levels g .. L.
std::vector<double> expectedBounds(int32_t size, int32_t g, int32_t L, bool edges) {
    std::vector<std::pair<int64_t, int64_t>> fractions = {{0, 1}, {1, 1}};
    for (int32_t j = g; j <= (edges ? L : L - 1); ++j) {
        const int64_t n = levelSide(size, j);
        for (int64_t i = edges ? 1 : 0; i < n; ++i) {
            fractions.push_back(edges ? std::make_pair(i, n) : std::make_pair(2 * i + 1, 2 * n));
        }
    }
    auto less = [](const auto& a, const auto& b) { return a.first * b.second < b.first * a.second; };
    std::sort(fractions.begin(), fractions.end(), less);
    std::vector<double> bounds;
    for (size_t k = 0; k < fractions.size(); ++k) {
        if (k > 0 && !less(fractions[k - 1], fractions[k])) continue;
        bounds.push_back(static_cast<double>(fractions[k].first) / static_cast<double>(fractions[k].second));
    }
    return bounds;
}

std::vector<double> boundsOf(const GrowArray<double>& bounds) {
    return std::vector<double>(bounds.begin(), bounds.end());
}

// The cell of a grid with these bounds that holds `value`; values beyond the square stay with the border cells.
int32_t cellHolding(const std::vector<double>& bounds, double value) {
    const int32_t cells = static_cast<int32_t>(bounds.size()) - 1;
    const auto after = std::upper_bound(bounds.begin(), bounds.end(), value);
    const int32_t found = static_cast<int32_t>(after - bounds.begin()) - 1;
    return std::max(0, std::min(cells - 1, found));
}

// What the surface lays on one cell, integrated by the quadrature over pieces cut along the cell bounds (and the
// texture's texel centres, where its reconstruction bends): area, m[3b + a] = integral of s^a t^b, and per channel c
// w[4c + 2b + a] = integral of s^a t^b f_c, s and t the cell-local coordinates.
struct CellIntegrals {
    double area = 0;
    double m[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
    double w[16] = {};
};

std::vector<CellIntegrals> integrateCells(const Mesh& mesh, const std::vector<double>& ub,
                                          const std::vector<double>& vb, const FloatImage* texture, int32_t channels) {
    std::vector<double> uLines = ub, vLines = vb;
    if (texture) {
        uLines = joined({ub, texelCentres(texture->width)});
        vLines = joined({vb, texelCentres(texture->height)});
    }
    const int32_t width = static_cast<int32_t>(ub.size()) - 1;
    std::vector<CellIntegrals> cells(static_cast<size_t>(width) * (vb.size() - 1));
    for (const SurfacePoint& p : surfacePoints(mesh, uLines, vLines)) {
        const int32_t x = cellHolding(ub, p.u), y = cellHolding(vb, p.v);
        CellIntegrals& cell = cells[static_cast<size_t>(y) * width + x];
        const double s = (p.u - ub[x]) / (ub[x + 1] - ub[x]), t = (p.v - vb[y]) / (vb[y + 1] - vb[y]);
        const double su[3] = {1, s, s * s}, tv[3] = {1, t, t * t};
        cell.area += p.weight;
        for (int b = 0; b < 3; ++b) {
            for (int a = 0; a < 3; ++a) cell.m[3 * b + a] += p.weight * su[a] * tv[b];
        }
        for (int32_t c = 0; c < channels; ++c) {
            const double f = reconstruction(*texture, p.u, p.v, c);
            for (int b = 0; b < 2; ++b) {
                for (int a = 0; a < 2; ++a) cell.w[4 * c + 2 * b + a] += p.weight * su[a] * tv[b] * f;
            }
        }
    }
    return cells;
}

// Every grid of `moments` (built for finest level L and the request) has the bounds the levels it serves cut it
// along, and on every cell the used flag, area, moments and weighted moments of the surface's pieces inside it.
void expectCellsHoldTheSurface(const Mesh& mesh, const SurfaceMoments& moments, int32_t L,
                               const MomentRequest& request) {
    const FloatImage* texture = request.texture;
    const int32_t width = texture ? texture->width : request.width, height = texture ? texture->height : request.height;
    const int32_t channels = texture ? (texture->hasAlpha ? 4 : 3) : 0;
    ASSERT_EQ(moments.grids.count, L + 1);
    EXPECT_EQ(moments.channelCount, channels);
    double total = 0;
    for (const SurfacePoint& p : surfacePoints(mesh, {}, {})) total += p.weight;
    for (int32_t g = request.firstGrid; g <= L; ++g) {
        SCOPED_TRACE("grid " + std::to_string(g));
        const MomentGrid& grid = moments.grids[g];
        const std::vector<double> ub = expectedBounds(width, g, L, request.footprints);
        const std::vector<double> vb = expectedBounds(height, g, L, request.footprints);
        ASSERT_EQ(boundsOf(grid.columnBounds), ub);
        ASSERT_EQ(boundsOf(grid.rowBounds), vb);
        ASSERT_EQ(grid.width, static_cast<int32_t>(ub.size()) - 1);
        ASSERT_EQ(grid.height, static_cast<int32_t>(vb.size()) - 1);
        const int32_t weighted = g >= 1 ? channels : 0;
        ASSERT_EQ(grid.weighted.count, 4 * weighted * grid.width * grid.height);
        const std::vector<CellIntegrals> expected = integrateCells(mesh, ub, vb, texture, weighted);
        for (int32_t cell = 0; cell < grid.width * grid.height; ++cell) {
            const CellIntegrals& e = expected[static_cast<size_t>(cell)];
            if (request.used) {
                ASSERT_EQ(grid.used[cell] != 0, e.area > 0) << "cell " << cell;
            }
            if (request.area) {
                ASSERT_NEAR(grid.area[cell], e.area, 1e-9 * total) << "cell " << cell;
            }
            // Moments and weighted moments are stored in float.
            for (int k = 0; k < 9 && request.moments; ++k) {
                ASSERT_NEAR(grid.moments[9 * cell + k], e.m[k], 1e-6 * (std::abs(e.m[k]) + e.area) + 1e-12 * total)
                    << "cell " << cell << " moment " << k;
            }
            for (int k = 0; k < 4 * weighted; ++k) {
                const double tolerance = 1e-6 * (std::abs(e.w[k]) + e.area) + 1e-12 * total;
                ASSERT_NEAR(grid.weighted[4 * weighted * cell + k], e.w[k], tolerance)
                    << "cell " << cell << " weighted moment " << k;
            }
        }
    }
}

}  // namespace

// The least-squares grids of textures of other sizes (grid g along the texel centres of levels g .. L - 1, grid 0 also
// along the texture's) and the box filters' grids (along the inner texel edges of levels g .. L), against the
// surface integrated piece by piece over the bounds built from exact fractions. Sizes with odd sides, a side of 1, and
// a long thin one whose walk is cut into several tiles with grids summed above them; one thread and two.
TEST(SurfaceMoments, GridsOfEverySizeHoldTheSurfaceOnTheirOwnBounds) {
    struct Case {
        int32_t width, height;
        bool footprints;
    };
    for (const Case c : {Case{13, 9, false}, Case{1, 5, false}, Case{12, 5, false}, Case{250, 3, false},
                         Case{13, 9, true}, Case{7, 1, true}, Case{250, 3, true}}) {
        for (int threads : {1, 2}) {
            SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) +
                         (c.footprints ? " edges, " : " centres, ") + std::to_string(threads) + " threads");
            const int32_t levelCount = mipLevelCount(c.width, c.height);
            // The least-squares grids carry the texture's weighted moments, which the reconstruction defines inside
            // the square only; the box filters' grids take triangles that reach beyond it, kept by the border cells.
            const Mesh mesh = randomSurface(12, 5 + c.width, 0.45, c.footprints ? -0.1 : 0.01);
            const FloatImage texture = randomPicture(c.width, c.height, 3, c.width == 12);
            MomentRequest request;
            request.used = request.area = request.moments = true;
            request.footprints = c.footprints;
            if (c.footprints) request.width = c.width, request.height = c.height;
            else request.texture = &texture;
            const int32_t L = c.footprints ? levelCount - 1 : levelCount;
            SurfaceMoments moments;
            {
                ThreadCount count(threads);
                buildSurfaceMoments(moments, mesh, L, request);
            }
            expectCellsHoldTheSurface(mesh, moments, L, request);
        }
    }
}

// The grids follow the texture's own sides, so a thin texture costs cells in proportion to its texels, never the
// square of its longer side: along an axis, grid g has at most the texel centres (or edges) of levels g and on.
TEST(SurfaceMoments, AThinTextureCostsCellsInProportionToItsTexels) {
    const Mesh mesh = randomSurface(40, 3, 0.3, -0.1);
    for (const auto& [width, height] : {std::make_pair(8193, 1), std::make_pair(250, 3), std::make_pair(3, 250)}) {
        for (const bool footprints : {false, true}) {
            SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + (footprints ? " edges" : " centres"));
            const int32_t levelCount = mipLevelCount(width, height);
            const int32_t L = footprints ? levelCount - 1 : levelCount;
            SurfaceMoments moments;
            MomentRequest request;
            request.used = request.area = true;
            request.footprints = footprints;
            request.width = width, request.height = height;
            buildSurfaceMoments(moments, mesh, L, request);
            ASSERT_EQ(moments.grids.count, L + 1);
            int64_t cells = 0;
            for (const MomentGrid& grid : moments.grids) cells += int64_t{grid.width} * grid.height;
            // Twice the texels along the longer side, the levels after the texture as many again, and a handful of
            // cells along the shorter one.
            EXPECT_LE(cells, 12 * int64_t{width} * height) << cells;
            double total = 0, everywhere = 0;
            for (const SurfacePoint& p : surfacePoints(mesh, {}, {})) everywhere += p.weight;
            for (int32_t k = 0; k < moments.grids[0].area.count; ++k) total += moments.grids[0].area[k];
            EXPECT_NEAR(total, everywhere, 1e-9 * everywhere);
        }
    }
}

TEST(SurfaceMoments, BundledSampleMatchesTheStoredCoverage) {
    Mesh mesh;
    std::string error;
    ASSERT_TRUE(loadObjModel(mesh, KIV_SOURCE_DIR "/data/sample.obj", error)) << error;
    ASSERT_TRUE(normaliseMesh(mesh, error)) << error;
    expectMatchesCoverage(mesh, 9, 0, 2);
}

namespace {

// The bounds of a grid along an axis, stored or even.
std::vector<double> axisBounds(const MomentGrid& grid, SplitAxis axis) {
    std::vector<double> bounds;
    const int32_t cells = axis == SplitAxis::u ? grid.width : grid.height;
    for (int32_t k = 0; k < cells; ++k) {
        double low = 0, high = 0;
        cellBounds(grid, axis, k, low, high);
        bounds.push_back(low);
        if (k == cells - 1) bounds.push_back(high);
    }
    return bounds;
}

// `coarse` is `fine` summed: every cell of `fine` lies in one cell of `coarse`, whose used flag, area and moments are
// those of its cells, each cell's moments carried into the coarser cell's coordinates (s = o + d s' along an axis
// for a cell at offset o and of width d in it, expanded binomially).
void expectCoarseningOf(const MomentGrid& fine, const MomentGrid& coarse, double gridArea) {
    const std::vector<double> fu = axisBounds(fine, SplitAxis::u), fv = axisBounds(fine, SplitAxis::v);
    const std::vector<double> cu = axisBounds(coarse, SplitAxis::u), cv = axisBounds(coarse, SplitAxis::v);
    std::vector<uint8_t> used(static_cast<size_t>(coarse.width) * coarse.height, 0);
    std::vector<double> area(used.size(), 0.0), moments(9 * used.size(), 0.0);
    for (int32_t y = 0; y < fine.height; ++y) {
        for (int32_t x = 0; x < fine.width; ++x) {
            const int32_t px = cellHolding(cu, 0.5 * (fu[x] + fu[x + 1]));
            const int32_t py = cellHolding(cv, 0.5 * (fv[y] + fv[y + 1]));
            // The fine cell nests in its parent: both its bounds lie within the parent's.
            ASSERT_TRUE(fu[x] >= cu[px] && fu[x + 1] <= cu[px + 1] && fv[y] >= cv[py] && fv[y + 1] <= cv[py + 1]);
            const int32_t from = y * fine.width + x, to = py * coarse.width + px;
            used[to] |= fine.used[from];
            area[to] += fine.area[from];
            const double spanU = cu[px + 1] - cu[px], spanV = cv[py + 1] - cv[py];
            const double ou = (fu[x] - cu[px]) / spanU, du = (fu[x + 1] - fu[x]) / spanU;
            const double ov = (fv[y] - cv[py]) / spanV, dv = (fv[y + 1] - fv[y]) / spanV;
            // (o + d s)^p = sum over q of C(p, q) o^(p - q) d^q s^q.
            auto power = [](double o, double d, int p, int q) {
                const double binomial = (p == 2 && q == 1) ? 2.0 : 1.0;
                return binomial * std::pow(o, p - q) * std::pow(d, q);
            };
            for (int b = 0; b < 3; ++b) {
                for (int a = 0; a < 3; ++a) {
                    for (int j = 0; j <= b; ++j) {
                        for (int i = 0; i <= a; ++i) {
                            moments[9 * to + 3 * b + a] +=
                                power(ou, du, a, i) * power(ov, dv, b, j) * fine.moments[9 * from + 3 * j + i];
                        }
                    }
                }
            }
        }
    }
    for (size_t k = 0; k < used.size(); ++k) {
        ASSERT_EQ(coarse.used[k] != 0, used[k] != 0) << "cell " << k;
        ASSERT_NEAR(coarse.area[k], area[k], 1e-9 * gridArea) << "cell " << k;
        for (int e = 0; e < 9; ++e) {
            ASSERT_NEAR(coarse.moments[9 * k + e], moments[9 * k + e], 1e-6 * gridArea) << "cell " << k;
        }
    }
}

}  // namespace

// For a texture whose sides are unequal powers of two, every grid up to the shorter side's last cell follows both
// sides: its cell is the run of `ratio` square cells (square in the longer side) along the shorter side, so its used
// flag, area and moments are theirs merged, the moments moved into the merged cell's coordinates (V = (d + v) / ratio
// for the d-th square cell). The grids past it, those of the levels that end the chain (2 x 1 and 1 x 1 of a 64 x 16
// texture, and the last grid), are cut along those levels' texel centres and hold the last even grid's cells summed.
// Both ways round, wide and tall, on random triangles that cross the strips.
TEST(SurfaceMoments, GridsOfUnequalPowerOfTwoSidesMergeSquareCellsThenSumThemPastTheShorterSide) {
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
            const int chainEnd = levelsToShorterSideOne(request.width, request.height);
            if (g >= chainEnd) {
                // A tail: grid g along the centres of levels g .. finest - 1 on both axes, the last even grid's cells
                // summed.
                SCOPED_TRACE("grid " + std::to_string(g));
                ASSERT_EQ(boundsOf(merged.columnBounds), expectedBounds(request.width, g, finest, false));
                ASSERT_EQ(boundsOf(merged.rowBounds), expectedBounds(request.height, g, finest, false));
                double gridArea = 0;
                for (int k = 0; k < merged.area.count; ++k) gridArea += merged.area[k];
                expectCoarseningOf(rectangular.grids[chainEnd - 1], merged, gridArea);
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

// On sides that are powers of two the bounded walk's grids are the quadtree's even grids: the same cells with the
// same used flags, areas and moments, and the same weighted moments of the texture, within float rounding (the
// quadtree clips in float, the bounded walk in double). Squares, rectangles both ways round (whose grids past the
// shorter side's end the quadtree path sums from its last even grid) and a single texel; one tile and several.
TEST(SurfaceMoments, BoundedWalkOfSidesThatArePowersOfTwoEqualsTheQuadtreeWalk) {
    const Mesh mesh = randomSurface(60, 21, 0.4, -0.1);
    for (const auto& [width, height] : {std::make_pair(16, 16), std::make_pair(64, 64), std::make_pair(32, 8),
                                        std::make_pair(8, 32), std::make_pair(1, 1)}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        const FloatImage texture = randomPicture(width, height, 4, width == 8);
        const int32_t L = mipLevelCount(width, height);
        MomentRequest request;
        request.used = request.area = request.moments = true;
        request.texture = &texture;
        SurfaceMoments quadtree, bounded;
        buildSurfaceMoments(quadtree, mesh, L, request);
        buildBoundedMoments(bounded, mesh, L, request);
        ASSERT_EQ(quadtree.grids.count, L + 1);
        ASSERT_EQ(bounded.grids.count, L + 1);
        ASSERT_EQ(quadtree.channelCount, bounded.channelCount);
        for (int32_t g = 0; g <= L; ++g) {
            SCOPED_TRACE("grid " + std::to_string(g));
            const MomentGrid &q = quadtree.grids[g], &b = bounded.grids[g];
            ASSERT_EQ(b.width, q.width);
            ASSERT_EQ(b.height, q.height);
            ASSERT_EQ(axisBounds(b, SplitAxis::u), axisBounds(q, SplitAxis::u));
            ASSERT_EQ(axisBounds(b, SplitAxis::v), axisBounds(q, SplitAxis::v));
            ASSERT_EQ(b.weighted.count, q.weighted.count);
            double gridArea = 0;
            for (int32_t k = 0; k < q.area.count; ++k) gridArea += q.area[k];
            for (int32_t k = 0; k < q.width * q.height; ++k) {
                ASSERT_EQ(b.used[k], q.used[k]) << "cell " << k;
                ASSERT_NEAR(b.area[k], q.area[k], 1e-6 * gridArea) << "cell " << k;
                for (int e = 0; e < 9; ++e) {
                    ASSERT_NEAR(b.moments[9 * k + e], q.moments[9 * k + e], 1e-6 * gridArea) << "cell " << k;
                }
            }
            for (int32_t k = 0; k < q.weighted.count; ++k) {
                ASSERT_NEAR(b.weighted[k], q.weighted[k], 1e-6 * gridArea) << "weighted moment " << k;
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
