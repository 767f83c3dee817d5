// The hard-model generator: every kind reads back through the OBJ reader, the same seed gives the same bytes, and
// each kind's atlas really has the feature it is named for once its coordinates are 32-bit floats.
#include "hard_models.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <sstream>
#include <vector>

#include "mesh/obj_model.h"

namespace {

Mesh readBack(const HardModel& model) {
    Mesh mesh;
    std::string error;
    std::istringstream stream(model.objText);
    EXPECT_TRUE(readObjModel(mesh, stream, "hard.obj", error)) << error;
    return mesh;
}

struct Point {
    double x, y;
};

// The triangle's texture corners in finest texels, as the reader stored them.
std::vector<Point> texelTriangle(const Mesh& mesh, const MeshTriangle& t, int size) {
    std::vector<Point> points;
    for (int c = 0; c < 3; ++c) {
        const TexPoint& p = mesh.texCoords[t.texCoordIndex[c]];
        points.push_back({static_cast<double>(p.u) * size, static_cast<double>(p.v) * size});
    }
    return points;
}

double polygonArea(const std::vector<Point>& polygon) {
    double twice = 0;
    for (size_t i = 0; i < polygon.size(); ++i) {
        const Point& a = polygon[i];
        const Point& b = polygon[(i + 1) % polygon.size()];
        twice += a.x * b.y - b.x * a.y;
    }
    return std::fabs(0.5 * twice);
}

// Keeps the part of `polygon` where coordinate `axis` (0 x, 1 y) is >= bound (keepAbove) or <= bound.
std::vector<Point> clipHalfPlane(const std::vector<Point>& polygon, int axis, double bound, bool keepAbove) {
    std::vector<Point> out;
    auto coordinate = [axis](const Point& p) { return axis ? p.y : p.x; };
    auto inside = [&](const Point& p) { return keepAbove ? coordinate(p) >= bound : coordinate(p) <= bound; };
    for (size_t i = 0; i < polygon.size(); ++i) {
        const Point& a = polygon[i];
        const Point& b = polygon[(i + 1) % polygon.size()];
        if (inside(a)) out.push_back(a);
        if (inside(a) != inside(b)) {
            const double s = (bound - coordinate(a)) / (coordinate(b) - coordinate(a));
            Point cut = {a.x + s * (b.x - a.x), a.y + s * (b.y - a.y)};
            (axis ? cut.y : cut.x) = bound;
            out.push_back(cut);
        }
    }
    return out;
}

// The pieces of every triangle inside each finest texel, in the texel's own coordinates (0 .. 1), keyed by texel.
// Texel coordinates are shifted before clipping so that slivers keep their digits.
std::map<std::pair<int, int>, std::vector<std::vector<Point>>> texelPieces(const Mesh& mesh, int size) {
    std::map<std::pair<int, int>, std::vector<std::vector<Point>>> pieces;
    for (const MeshTriangle& t : mesh.triangles) {
        const std::vector<Point> triangle = texelTriangle(mesh, t, size);
        double low[2] = {1e9, 1e9}, high[2] = {-1e9, -1e9};
        for (const Point& p : triangle) {
            low[0] = std::min(low[0], p.x), low[1] = std::min(low[1], p.y);
            high[0] = std::max(high[0], p.x), high[1] = std::max(high[1], p.y);
        }
        for (int y = std::max(0, static_cast<int>(std::floor(low[1]))); y < std::min(size, static_cast<int>(std::ceil(high[1]))); ++y) {
            for (int x = std::max(0, static_cast<int>(std::floor(low[0]))); x < std::min(size, static_cast<int>(std::ceil(high[0]))); ++x) {
                std::vector<Point> local;
                for (const Point& p : triangle) local.push_back({p.x - x, p.y - y});
                local = clipHalfPlane(local, 0, 0, true);
                local = clipHalfPlane(local, 0, 1, false);
                local = clipHalfPlane(local, 1, 0, true);
                local = clipHalfPlane(local, 1, 1, false);
                if (local.size() >= 3 && polygonArea(local) > 0) pieces[{x, y}].push_back(local);
            }
        }
    }
    return pieces;
}

std::map<std::pair<int, int>, double> texelCoverage(const Mesh& mesh, int size) {
    std::map<std::pair<int, int>, double> coverage;
    for (const auto& [texel, list] : texelPieces(mesh, size)) {
        for (const auto& piece : list) coverage[texel] += polygonArea(piece);
    }
    return coverage;
}

int countCoveredBetween(const std::map<std::pair<int, int>, double>& coverage, double low, double high) {
    int count = 0;
    for (const auto& entry : coverage) count += entry.second >= low && entry.second <= high;
    return count;
}

double surfaceArea(const Mesh& mesh, const MeshTriangle& t) {
    const Point3& a = mesh.positions[t.positionIndex[0]];
    const Point3& b = mesh.positions[t.positionIndex[1]];
    const Point3& c = mesh.positions[t.positionIndex[2]];
    const double bx = b.x - a.x, by = b.y - a.y, bz = b.z - a.z, cx = c.x - a.x, cy = c.y - a.y, cz = c.z - a.z;
    return 0.5 * std::sqrt(std::pow(by * cz - bz * cy, 2) + std::pow(bz * cx - bx * cz, 2) + std::pow(bx * cy - by * cx, 2));
}

}  // namespace

TEST(HardModelGenerator, EveryKindReadsBackWithTexCoordsInTheUnitSquareAndASaturatedAtlas) {
    for (HardModelKind kind : allHardModelKinds) {
        SCOPED_TRACE(hardModelKindName(kind));
        HardModelKind named;
        ASSERT_TRUE(hardModelKindFromName(hardModelKindName(kind), named));
        EXPECT_EQ(named, kind);
        for (int size : {64, 256}) {
            const HardModel model = makeHardModel(kind, size);
            const Mesh mesh = readBack(model);
            EXPECT_GT(mesh.triangles.count, 40);
            for (const TexPoint& t : mesh.texCoords) {
                ASSERT_TRUE(t.u >= 0 && t.u <= 1 && t.v >= 0 && t.v <= 1) << t.u << " " << t.v;
            }
            ASSERT_EQ(model.texture.width, size);
            ASSERT_EQ(model.texture.height, size);
            // Unused space in magenta, and chart texels at both ends of the range in some channel.
            int magenta = 0, nearZero = 0, nearOne = 0;
            for (int32_t i = 0; i < model.texture.count; ++i) {
                const Texel& t = model.texture.texels[i];
                if (t.r == 1 && t.g == 0 && t.b == 1) {
                    ++magenta;
                    continue;
                }
                nearZero += std::min({t.r, t.g, t.b}) < 0.02f;
                nearOne += std::max({t.r, t.g, t.b}) > 0.98f;
            }
            EXPECT_GT(magenta, model.texture.count / 10);
            EXPECT_GT(nearZero, model.texture.count / 10);
            EXPECT_GT(nearOne, 0);
        }
    }
    HardModelKind kind;
    EXPECT_FALSE(hardModelKindFromName("sliver", kind));
    EXPECT_THROW(makeHardModel(HardModelKind::tiny, 96), std::invalid_argument);
    EXPECT_THROW(makeHardModel(HardModelKind::tiny, 8192), std::invalid_argument);
}

TEST(HardModelGenerator, TheSameSeedGivesTheSameModelAndAnotherSeedAnotherOne) {
    for (HardModelKind kind : allHardModelKinds) {
        SCOPED_TRACE(hardModelKindName(kind));
        const HardModel a = makeHardModel(kind, 128, 7), b = makeHardModel(kind, 128, 7), c = makeHardModel(kind, 128, 8);
        EXPECT_EQ(a.objText, b.objText);
        ASSERT_EQ(a.texture.count, b.texture.count);
        bool sameTexels = true, otherTexels = true;
        for (int32_t i = 0; i < a.texture.count; ++i) {
            const Texel &p = a.texture.texels[i], &q = b.texture.texels[i], &r = c.texture.texels[i];
            sameTexels = sameTexels && p.r == q.r && p.g == q.g && p.b == q.b && p.a == q.a;
            otherTexels = otherTexels && p.r == r.r && p.g == r.g && p.b == r.b;
        }
        EXPECT_TRUE(sameTexels);
        EXPECT_FALSE(otherTexels);  // the noise pattern follows the seed
    }
    EXPECT_NE(makeHardModel(HardModelKind::tiny, 128, 7).objText, makeHardModel(HardModelKind::tiny, 128, 8).objText);
}

// Slivers: texels of the finest level covered by between 1e-10 and 1e-6 of their area, at every size.
TEST(HardModelGenerator, SliversCoverBorderTexelsByMillionthsAndLess) {
    for (int size : {64, 256, 1024}) {
        SCOPED_TRACE(size);
        const auto coverage = texelCoverage(readBack(makeHardModel(HardModelKind::slivers, size)), size);
        EXPECT_GE(countCoveredBetween(coverage, 1e-10, 1e-6), 3);
        EXPECT_GE(countCoveredBetween(coverage, 1e-6, 1e-3), 10);
        // Chart interiors are whole texels.
        EXPECT_GT(countCoveredBetween(coverage, 1 - 1e-9, 1 + 1e-9), static_cast<int>(coverage.size()) / 2);
    }
}

// Corners: texels touched only within a small square at one of their corners, or at the middle of a side, by an
// epsilon x epsilon tip.
TEST(HardModelGenerator, CornersPokeIntoTexelsByEpsilonSquared) {
    for (int size : {64, 256, 1024}) {
        SCOPED_TRACE(size);
        int cornerOnly = 0, tinyCornerOnly = 0;
        for (const auto& [texel, list] : texelPieces(readBack(makeHardModel(HardModelKind::corners, size)), size)) {
            double low[2] = {1, 1}, high[2] = {0, 0}, area = 0;
            for (const auto& piece : list) {
                area += polygonArea(piece);
                for (const Point& p : piece) {
                    low[0] = std::min(low[0], p.x), low[1] = std::min(low[1], p.y);
                    high[0] = std::max(high[0], p.x), high[1] = std::max(high[1], p.y);
                }
            }
            // Everything within 0.05 of one texel side in both directions: a corner or a side's middle.
            const bool nearU = high[0] < 0.05 || low[0] > 0.95, nearV = high[1] < 0.05 || low[1] > 0.95;
            if (nearU && nearV) {
                ++cornerOnly;
                tinyCornerOnly += area >= 1e-10 && area <= 1e-6;
            }
        }
        EXPECT_GE(cornerOnly, 8);
        EXPECT_GE(tinyCornerOnly, 3);
    }
}

// Needles: triangles many texels long and less than a thousandth of a texel wide, along texel rows, columns and
// diagonals.
TEST(HardModelGenerator, NeedlesRunAlongRowsColumnsAndDiagonals) {
    const int size = 256;
    const Mesh mesh = readBack(makeHardModel(HardModelKind::needles, size));
    int rows = 0, columns = 0, diagonals = 0;
    for (const MeshTriangle& t : mesh.triangles) {
        const std::vector<Point> p = texelTriangle(mesh, t, size);
        for (int e = 0; e < 3; ++e) {
            const Point a = p[e], b = p[(e + 1) % 3];
            const double length = std::hypot(b.x - a.x, b.y - a.y);
            const double width = 2 * polygonArea(p) / length;
            if (length < 4 || width <= 0 || width > 1e-3) continue;
            rows += a.y == b.y && a.y == std::floor(a.y);
            columns += a.x == b.x && a.x == std::floor(a.x);
            diagonals += std::fabs(std::fabs(b.x - a.x) - std::fabs(b.y - a.y)) < 1e-3 * length;
        }
    }
    EXPECT_GE(rows, 10);
    EXPECT_GE(columns, 2);
    EXPECT_GE(diagonals, 6);
}

// Tiny: thousands of triangles under a tenth of a finest texel, and isolated specks leaving texels nearly empty.
TEST(HardModelGenerator, TinyTrianglesAreFarSmallerThanATexelAndSomeStandAlone) {
    for (int size : {256, 1024}) {
        SCOPED_TRACE(size);
        const Mesh mesh = readBack(makeHardModel(HardModelKind::tiny, size));
        int small = 0, specks = 0;
        for (const MeshTriangle& t : mesh.triangles) {
            const double area = polygonArea(texelTriangle(mesh, t, size));
            small += area < 0.1;
            specks += area < 1e-3;
        }
        EXPECT_GE(small, 2000);
        EXPECT_GE(specks, 10);
        const auto coverage = texelCoverage(mesh, size);
        EXPECT_GE(countCoveredBetween(coverage, 1e-12, 1e-3), 10);
    }
}

// Crowded: surface per texture area from hundreds of times below the median to hundreds of times above, and one
// chart serving several parts of the model.
TEST(HardModelGenerator, CrowdedSpansAWideRangeOfTexelDensity) {
    const int size = 256;
    const Mesh mesh = readBack(makeHardModel(HardModelKind::crowded, size));
    std::vector<std::pair<double, double>> densities;  // (surface per texel area, texel area)
    double textureArea = 0;
    std::map<std::vector<float>, std::vector<double>> sharedCharts;
    for (const MeshTriangle& t : mesh.triangles) {
        const double area = polygonArea(texelTriangle(mesh, t, size));
        if (area > 0) densities.push_back({surfaceArea(mesh, t) / area, area});
        textureArea += area;
        std::vector<float> key;
        for (int c = 0; c < 3; ++c) {
            key.push_back(mesh.texCoords[t.texCoordIndex[c]].u);
            key.push_back(mesh.texCoords[t.texCoordIndex[c]].v);
        }
        const Point3& p = mesh.positions[t.positionIndex[0]];
        sharedCharts[key].push_back(p.x + 3 * p.y + 9 * p.z);
    }
    // The density of the median texel (half the used texture area is denser), against the extremes.
    std::sort(densities.begin(), densities.end());
    double median = 0, below = 0;
    for (const auto& [density, area] : densities) {
        below += area;
        median = density;
        if (below >= textureArea / 2) break;
    }
    EXPECT_GT(densities.back().first / median, 100);
    EXPECT_LT(densities.front().first / median, 1e-2);
    size_t mostParts = 0;
    for (auto& [key, places] : sharedCharts) {
        std::sort(places.begin(), places.end());
        mostParts = std::max<size_t>(mostParts, std::unique(places.begin(), places.end()) - places.begin());
    }
    EXPECT_GE(mostParts, 6u);
}

// Atlas: the charts' borders cross texels anywhere, so the texels along them are covered by every amount from
// under a millionth of a texel to nearly all of it; the fans never overlap; and the surface per texture area
// spreads over many orders of magnitude across the bulk of the triangles, not just at a few outliers.
TEST(HardModelGenerator, AtlasBordersCoverTexelsByEveryAmountAndDensitiesSpanManyOrders) {
    for (int size : {256, 512}) {
        SCOPED_TRACE(size);
        const Mesh mesh = readBack(makeHardModel(HardModelKind::atlas, size));
        const auto coverage = texelCoverage(mesh, size);
        double most = 0;
        for (const auto& entry : coverage) most = std::max(most, entry.second);
        EXPECT_LT(most, 1 + 1e-6);
        EXPECT_GE(countCoveredBetween(coverage, 0, 1e-6), 10);
        for (double low = 1e-7; low < 0.5; low *= 10) {
            EXPECT_GE(countCoveredBetween(coverage, low, low * 10), 10) << "coverage from " << low;
        }
        EXPECT_GE(countCoveredBetween(coverage, 0.99, 1 - 1e-6), 100);

        std::vector<double> densities;  // surface per texel area, one per triangle
        for (const MeshTriangle& t : mesh.triangles) {
            const double area = polygonArea(texelTriangle(mesh, t, size));
            ASSERT_GT(area, 0);
            densities.push_back(surfaceArea(mesh, t) / area);
        }
        std::sort(densities.begin(), densities.end());
        EXPECT_GT(densities[densities.size() * 9 / 10] / densities[densities.size() / 10], 1e8);
    }
}
