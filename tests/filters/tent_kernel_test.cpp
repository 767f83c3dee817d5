// Tents restricted to cells, the exact four-factor triangle integral and the per-cell overlap.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "filters/tent_kernel.h"
#include "kernel_oracles.h"

namespace {

TentFactor factor(double offset, double slope) {
    TentFactor tent;
    tent.offset = offset;
    tent.slope = slope;
    return tent;
}

const TentFactor one = factor(1.0, 0.0);
const TentFactor identity = factor(0.0, 1.0);

double valueAt(const TentFactor& tent, double s) {
    return tent.offset + tent.slope * s;
}

double product(const TentFactor& x1, const TentFactor& y1, const TentFactor& x2, const TentFactor& y2, double u,
               double v) {
    return valueAt(x1, u) * valueAt(y1, v) * valueAt(x2, u) * valueAt(y2, v);
}

// The defining closed form: (1/720) times the sum over all 81 vertex choices (m1..m4) of
// f1(p_m1) f2(p_m2) f3(p_m3) f4(p_m4) j0! j1! j2!, j_k counting the m's equal to k. `magnitude`
// receives the same sum of absolute values, the scale of its rounding error.
double referenceIntegral(const LocalPoint p[3], const TentFactor& x1, const TentFactor& y1, const TentFactor& x2,
                         const TentFactor& y2, double* magnitude = nullptr) {
    const double factorial[5] = {1, 1, 2, 6, 24};
    double sum = 0, absoluteSum = 0;
    for (int m1 = 0; m1 < 3; ++m1)
        for (int m2 = 0; m2 < 3; ++m2)
            for (int m3 = 0; m3 < 3; ++m3)
                for (int m4 = 0; m4 < 3; ++m4) {
                    int j[3] = {0, 0, 0};
                    ++j[m1], ++j[m2], ++j[m3], ++j[m4];
                    const double term = valueAt(x1, p[m1].u) * valueAt(y1, p[m2].v) * valueAt(x2, p[m3].u) *
                                        valueAt(y2, p[m4].v) * factorial[j[0]] * factorial[j[1]] * factorial[j[2]];
                    sum += term;
                    absoluteSum += std::fabs(term);
                }
    if (magnitude) *magnitude = absoluteSum / 720.0;
    return sum / 720.0;
}

// Integral of the product over the triangle in texture coordinates, by Gauss-Legendre in u over
// the two parts left and right of the middle vertex and in v between the bounding edges.
// Three points per axis are exact here: the integrand is of degree 2 in v, and the inner
// integral, with limits affine in u, of degree 5 in u.
double quadratureOverTriangle(LocalPoint p[3], const TentFactor& x1, const TentFactor& y1, const TentFactor& x2,
                              const TentFactor& y2) {
    std::sort(p, p + 3, [](const LocalPoint& a, const LocalPoint& b) { return a.u < b.u; });
    const double node[3] = {-std::sqrt(0.6), 0.0, std::sqrt(0.6)};
    const double weight[3] = {5.0 / 9.0, 8.0 / 9.0, 5.0 / 9.0};
    auto edgeV = [](const LocalPoint& a, const LocalPoint& b, double u) {
        return a.v + (b.v - a.v) * (u - a.u) / (b.u - a.u);
    };
    double total = 0;
    for (int part = 0; part < 2; ++part) {
        const double uLow = p[part].u, uHigh = p[part + 1].u;
        if (uHigh <= uLow) continue;
        for (int i = 0; i < 3; ++i) {
            const double u = 0.5 * (uLow + uHigh) + 0.5 * (uHigh - uLow) * node[i];
            const double vA = edgeV(p[0], p[2], u), vB = edgeV(p[part], p[part + 1], u);
            double inner = 0;
            for (int k = 0; k < 3; ++k) {
                const double v = 0.5 * (vA + vB) + 0.5 * (vB - vA) * node[k];
                inner += weight[k] * product(x1, y1, x2, y2, u, v);
            }
            total += weight[i] * 0.5 * (uHigh - uLow) * inner * 0.5 * std::fabs(vB - vA);
        }
    }
    return total;
}

double triangleArea(const LocalPoint p[3]) {
    return 0.5 * std::fabs((p[1].u - p[0].u) * (p[2].v - p[0].v) - (p[1].v - p[0].v) * (p[2].u - p[0].u));
}

SurfacePiece makePiece(const std::initializer_list<TexPoint>& texPoints,
                       const std::initializer_list<Point3>& surfacePoints) {
    SurfacePiece piece;
    for (const TexPoint& point : texPoints) append(piece.texPoints, point);
    for (const Point3& point : surfacePoints) append(piece.surfacePoints, point);
    return piece;
}

}  // namespace

TEST(CellTent, MatchesWorkedExamples) {
    struct Case {
        int32_t x, a, e, size;
        int32_t texel;
        double offset, slope;
    };
    const Case cases[] = {
        {0, 1, 0, 4, 3, 0.5, -0.5},      // column 0 lies right of texel 3's centre (wrapped)
        {0, 1, 1, 4, 0, 0.5, 0.5},       // and left of texel 0's
        {1, 1, 0, 4, 0, 1.0, -0.5},      // column 1 starts at texel 0's centre
        {5, 4, 0, 2, 0, 0.875, -0.125},  // 8 cells per texel: cell 5 is 1 cell past texel 0's centre
    };
    for (const Case& c : cases) {
        const TentFactor tent = cellTent(c.x, c.a, c.e, c.size);
        EXPECT_EQ(tent.texel, c.texel) << "x " << c.x << " a " << c.a << " e " << c.e;
        EXPECT_DOUBLE_EQ(tent.offset, c.offset) << "x " << c.x << " a " << c.a << " e " << c.e;
        EXPECT_DOUBLE_EQ(tent.slope, c.slope) << "x " << c.x << " a " << c.a << " e " << c.e;
    }
}

// In texel units a cell spans [x / 2a, (x + 1) / 2a]; texel t's tent is the hat
// max(0, 1 - |g - (t + 0.5)|) with the distance taken around the wrapped axis.
TEST(CellTent, TentsAreWrappedHatsThatAddUpToOne) {
    const int32_t size = 4;
    for (int32_t a : {1, 2, 4}) {
        for (int32_t x = 0; x < 2 * a * size; ++x) {
            const TentFactor low = cellTent(x, a, 0, size), high = cellTent(x, a, 1, size);
            EXPECT_EQ(high.texel, (low.texel + 1) % size) << "a " << a << " x " << x;
            for (double s : {0.0, 0.3, 1.0}) {
                EXPECT_NEAR(valueAt(low, s) + valueAt(high, s), 1.0, 1e-15) << "a " << a << " x " << x;
                const double g = (x + s) / (2.0 * a);
                for (const TentFactor& tent : {low, high}) {
                    double distance = std::fmod(std::fabs(g - (tent.texel + 0.5)), size);
                    distance = std::min(distance, size - distance);
                    EXPECT_NEAR(valueAt(tent, s), std::max(0.0, 1.0 - distance), 1e-15)
                        << "a " << a << " x " << x << " s " << s << " texel " << tent.texel;
                }
            }
        }
    }
}

TEST(TentProductIntegral, ExactValuesOnSimpleTriangles) {
    const LocalPoint origin{0, 0}, unitU{1, 0}, unitV{0, 1};
    // Half the mean of the product: constants give the reference triangle's area.
    EXPECT_DOUBLE_EQ(tentProductIntegral(origin, unitU, unitV, one, one, one, one), 0.5);
    EXPECT_DOUBLE_EQ(tentProductIntegral(origin, {2, 0}, {0, 2}, one, one, one, one), 0.5);
    // Collinear points still give the barycentric integral, not 0.
    EXPECT_DOUBLE_EQ(tentProductIntegral(origin, {1, 1}, {3, 3}, one, one, one, one), 0.5);
    // int u^2 v^2 over the unit triangle = 2! 2! / 6! = 1/180; int u = 1/6.
    EXPECT_NEAR(tentProductIntegral(origin, unitU, unitV, identity, identity, identity, identity), 1.0 / 180.0,
                1e-16);
    EXPECT_NEAR(tentProductIntegral(origin, unitU, unitV, identity, one, one, one), 1.0 / 6.0, 1e-16);
}

// (1 - u/2)^2 (1 - v/2)^2 over the unit cell is (7/12)^2; the diagonal splits it into equal halves,
// each of area 1/2, so each triangle's value is the integral over it: 49/288.
TEST(TentProductIntegral, TwoTrianglesOfACellAddUpToTheCell) {
    const TentFactor tent = factor(1.0, -0.5);
    const double lower = tentProductIntegral({0, 0}, {1, 0}, {1, 1}, tent, tent, tent, tent);
    const double upper = tentProductIntegral({0, 0}, {1, 1}, {0, 1}, tent, tent, tent, tent);
    EXPECT_NEAR(lower, 49.0 / 288.0, 1e-15);
    EXPECT_NEAR(upper, 49.0 / 288.0, 1e-15);
    EXPECT_NEAR(lower + upper, 49.0 / 144.0, 1e-15);
}

TEST(TentProductIntegral, AgreesWithTheEightyOneTermSum) {
    std::mt19937_64 random(20240611);
    std::uniform_real_distribution<double> coordinate(-0.5, 1.5), coefficient(-1.0, 1.0), unit(0.0, 1.0);
    for (int trial = 0; trial < 2000; ++trial) {
        LocalPoint p[3];
        for (LocalPoint& point : p) point = {coordinate(random), coordinate(random)};
        TentFactor f[4];
        for (TentFactor& tent : f) tent = factor(coefficient(random), coefficient(random));
        double magnitude = 0;
        const double expected = referenceIntegral(p, f[0], f[1], f[2], f[3], &magnitude);
        EXPECT_NEAR(tentProductIntegral(p[0], p[1], p[2], f[0], f[1], f[2], f[3]), expected, 1e-12 * magnitude)
            << "trial " << trial;
    }
    // Real tents of a cell on triangles inside it: every term is positive, so compare relatively.
    for (int trial = 0; trial < 2000; ++trial) {
        LocalPoint p[3];
        for (LocalPoint& point : p) point = {unit(random), unit(random)};
        const int32_t a = 1 << (trial % 4);
        const int32_t x = trial % (2 * a), y = (trial / 7) % (2 * a);
        const TentFactor x1 = cellTent(x, a, trial % 2, 8), y1 = cellTent(y, a, (trial / 2) % 2, 8);
        const TentFactor x2 = cellTent(x, a, (trial / 4) % 2, 8), y2 = cellTent(y, a, (trial / 8) % 2, 8);
        const double expected = referenceIntegral(p, x1, y1, x2, y2);
        EXPECT_NEAR(tentProductIntegral(p[0], p[1], p[2], x1, y1, x2, y2), expected, 1e-12 * expected)
            << "trial " << trial;
    }
}

TEST(TentProductIntegral, TimesTwiceTheAreaIsTheIntegralOverTheTriangle) {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> coordinate(-2.0, 3.0), coefficient(-1.5, 1.5);
    for (int trial = 0; trial < 200; ++trial) {
        LocalPoint p[3];
        for (LocalPoint& point : p) point = {coordinate(random), coordinate(random)};
        TentFactor f[4];
        for (TentFactor& tent : f) tent = factor(coefficient(random), coefficient(random));
        const double area = triangleArea(p);
        if (area < 1e-3) continue;
        const double value = tentProductIntegral(p[0], p[1], p[2], f[0], f[1], f[2], f[3]) * 2.0 * area;
        const double expected = quadratureOverTriangle(p, f[0], f[1], f[2], f[3]);
        EXPECT_NEAR(value, expected, 1e-10 * std::max(1.0, std::fabs(expected))) << "trial " << trial;
    }
}

TEST(CellOverlap, UnitSquareWithConstantFactors) {
    CoverageCell cell;
    append(cell.pieces, makePiece({{0, 0}, {1, 0}, {1, 1}, {0, 1}}, {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}));
    // scale / 2 times the unit area.
    EXPECT_DOUBLE_EQ(cellOverlap(cell, one, one, one, one, 4.0), 2.0);
}

TEST(CellOverlap, NoSurfaceGivesExactlyZero) {
    const TentFactor tent = factor(0.5, 0.5);
    CoverageCell empty;
    EXPECT_EQ(cellOverlap(empty, tent, tent, tent, tent, 16.0), 0.0);

    CoverageCell flat;  // distinct but collinear model points, and a piece too short to hold area
    append(flat.pieces, makePiece({{0, 0}, {1, 0}, {1, 1}}, {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}}));
    append(flat.pieces, makePiece({{0, 0}, {1, 1}}, {{0, 0, 0}, {1, 0, 0}}));
    EXPECT_EQ(cellOverlap(flat, tent, tent, tent, tent, 16.0), 0.0);
}

// The texture-to-model map below is affine with area factor |(1, 0, 1) x (0.5, 2, -1)| = sqrt(10.25),
// so the overlap is scale / 2 * that factor * the texture-space integral over the pentagon.
TEST(CellOverlap, FanOfAPieceIntegratesOverItsModelSpaceSurface) {
    const TexPoint tex[5] = {{0.1f, 0.0f}, {0.9f, 0.2f}, {1.0f, 0.7f}, {0.5f, 1.0f}, {0.0f, 0.6f}};
    CoverageCell cell;
    SurfacePiece piece;
    for (const TexPoint& t : tex) {
        append(piece.texPoints, t);
        append(piece.surfacePoints, Point3{t.u + 0.5f * t.v, 2.0f * t.v, t.u - t.v});
    }
    append(cell.pieces, piece);
    const TentFactor x1 = cellTent(1, 1, 0, 4), y1 = cellTent(2, 1, 1, 4);
    const TentFactor x2 = cellTent(1, 1, 1, 4), y2 = cellTent(2, 1, 1, 4);

    double textureIntegral = 0;  // a fan around a different vertex: the same polygon
    for (int m = 0; m < 3; ++m) {
        LocalPoint p[3] = {{tex[2].u, tex[2].v}, {tex[(3 + m) % 5].u, tex[(3 + m) % 5].v},
                           {tex[(4 + m) % 5].u, tex[(4 + m) % 5].v}};
        textureIntegral += quadratureOverTriangle(p, x1, y1, x2, y2);
    }
    const double scale = 64.0;
    EXPECT_NEAR(cellOverlap(cell, x1, y1, x2, y2, scale), 0.5 * scale * std::sqrt(10.25) * textureIntegral,
                1e-6 * textureIntegral * scale);
}

// The four tents of a cell add up to 1 along each axis, so the 16 ordered tent pairs together
// integrate 1 over the surface: scale / 2 times the cell's area, here the triangle's
// |(0.3, 0.1, 0) x (0.1, 0.5, 0.2)| / 2 = sqrt(0.0236) / 2 plus the 0.2 x 0.1 rectangle's.
TEST(CellOverlap, AllTentPairsOfACellAddUpToItsArea) {
    CoverageCell cell;
    append(cell.pieces, makePiece({{0.2f, 0.1f}, {0.8f, 0.3f}, {0.4f, 0.9f}},
                                  {{0.0f, 0.0f, 0.0f}, {0.3f, 0.1f, 0.0f}, {0.1f, 0.5f, 0.2f}}));
    append(cell.pieces, makePiece({{0.0f, 0.0f}, {1.0f, 0.0f}, {1.0f, 0.5f}, {0.0f, 0.5f}},
                                  {{1.0f, 0.0f, 0.0f}, {1.0f, 0.2f, 0.0f}, {1.0f, 0.2f, 0.1f}, {1.0f, 0.0f, 0.1f}}));
    const double scale = 256.0;
    double total = 0;
    for (int e1 = 0; e1 < 2; ++e1)
        for (int e2 = 0; e2 < 2; ++e2)
            for (int e3 = 0; e3 < 2; ++e3)
                for (int e4 = 0; e4 < 2; ++e4)
                    total += cellOverlap(cell, cellTent(5, 2, e2, 8), cellTent(3, 2, e1, 8), cellTent(5, 2, e4, 8),
                                         cellTent(3, 2, e3, 8), scale);
    const double area = 0.5 * std::sqrt(0.0236) + 0.02;
    EXPECT_NEAR(total, 0.5 * scale * area, 1e-6 * scale * area);
}
