// The blend integral and the exact six-factor integral over a triangle and a segment's t.
#include <gtest/gtest.h>

#include <random>

#include "kernel_oracles.h"
#include "trilinear_kernel.h"

namespace {

// Tents with texel 0 and the given offset and slope.
const TentFactor one{0, 1.0, 0.0};
const TentFactor identity{0, 0.0, 1.0};
const LocalPoint origin{0, 0}, unitU{1, 0}, unitV{0, 1};

}  // namespace

TEST(BlendIntegral, WeightsOfTheTwoLevelsOfASegment) {
    // int (1 - t)^2 = int t^2 = 1/3, int t (1 - t) = 1/6.
    EXPECT_NEAR(blendIntegral(lowerBlend, lowerBlend), 1.0 / 3.0, 1e-16);
    EXPECT_NEAR(blendIntegral(upperBlend, upperBlend), 1.0 / 3.0, 1e-16);
    EXPECT_NEAR(blendIntegral(lowerBlend, upperBlend), 1.0 / 6.0, 1e-16);
    EXPECT_NEAR(blendIntegral(upperBlend, lowerBlend), 1.0 / 6.0, 1e-16);
}

// Simpson's rule is exact for the quadratic T1 T2.
TEST(BlendIntegral, MatchesSimpsonsRule) {
    std::mt19937_64 random(3);
    std::uniform_real_distribution<double> coefficient(-2.0, 2.0);
    for (int trial = 0; trial < 100; ++trial) {
        const BlendFactor t1{coefficient(random), coefficient(random)}, t2{coefficient(random), coefficient(random)};
        auto at = [&](double t) { return (t1.offset + t1.slope * t) * (t2.offset + t2.slope * t); };
        EXPECT_NEAR(blendIntegral(t1, t2), (at(0.0) + 4.0 * at(0.5) + at(1.0)) / 6.0, 1e-14) << "trial " << trial;
    }
}

TEST(TentBlendProductIntegral, ExactValuesOnTheUnitTriangle) {
    EXPECT_NEAR(tentBlendProductIntegral(origin, unitU, unitV, one, one, lowerBlend, one, one, lowerBlend), 1.0 / 6.0,
                1e-16);
    EXPECT_NEAR(tentBlendProductIntegral(origin, unitU, unitV, one, one, upperBlend, one, one, upperBlend), 1.0 / 6.0,
                1e-16);
    EXPECT_NEAR(tentBlendProductIntegral(origin, unitU, unitV, one, one, lowerBlend, one, one, upperBlend),
                1.0 / 12.0, 1e-16);
    // (1/180) * (1/3)
    EXPECT_NEAR(tentBlendProductIntegral(origin, unitU, unitV, identity, identity, lowerBlend, identity, identity,
                                         lowerBlend),
                1.0 / 540.0, 1e-17);
}

// Tent 0 of a cell with remainder 2 in a grid of four cells per texel is 0.5 - 0.25 s on both axes;
// over the cell its square integrates to (7/48)^2, and t^2 to 1/3.
TEST(TentBlendProductIntegral, TwoTrianglesOfACellAddUpToTheCell) {
    const TentFactor tent = cellTent(0, 2, 0, 4);
    ASSERT_DOUBLE_EQ(tent.offset, 0.5);
    ASSERT_DOUBLE_EQ(tent.slope, -0.25);
    const LocalPoint corner{1, 1};
    const double lower =
        tentBlendProductIntegral(origin, unitU, corner, tent, tent, upperBlend, tent, tent, upperBlend);
    const double upper =
        tentBlendProductIntegral(origin, corner, unitV, tent, tent, upperBlend, tent, tent, upperBlend);
    EXPECT_NEAR(lower + upper, 49.0 / 6912.0, 1e-16);
}

TEST(TentBlendProductIntegral, SymmetricInTheTwoBasisFunctionsAndTheVertexOrder) {
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> coordinate(-0.2, 1.2), coefficient(-1.0, 1.0);
    for (int trial = 0; trial < 200; ++trial) {
        const LocalPoint p[3] = {{coordinate(random), coordinate(random)},
                                 {coordinate(random), coordinate(random)},
                                 {coordinate(random), coordinate(random)}};
        const TentFactor x1 = TentFactor{0, coefficient(random), coefficient(random)};
        const TentFactor y1 = TentFactor{0, coefficient(random), coefficient(random)};
        const TentFactor x2 = TentFactor{0, coefficient(random), coefficient(random)};
        const TentFactor y2 = TentFactor{0, coefficient(random), coefficient(random)};
        const BlendFactor t1 = trial % 2 ? lowerBlend : upperBlend;
        const BlendFactor t2 = trial % 3 ? upperBlend : BlendFactor{coefficient(random), coefficient(random)};
        const double value = tentBlendProductIntegral(p[0], p[1], p[2], x1, y1, t1, x2, y2, t2);
        EXPECT_EQ(tentBlendProductIntegral(p[0], p[1], p[2], x2, y2, t2, x1, y1, t1), value) << "trial " << trial;
        const int order[5][3] = {{0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
        for (const auto& o : order)
            EXPECT_NEAR(tentBlendProductIntegral(p[o[0]], p[o[1]], p[o[2]], x1, y1, t1, x2, y2, t2), value, 1e-14)
                << "trial " << trial;
    }
}

TEST(TentBlendProductIntegral, ZeroBlendGivesExactlyZero) {
    const BlendFactor zero{0.0, 0.0};
    const TentFactor tent = cellTent(3, 2, 1, 8);
    EXPECT_EQ(tentBlendProductIntegral({0.1, 0.2}, {0.9, 0.3}, {0.4, 0.8}, tent, tent, zero, tent, tent, lowerBlend),
              0.0);
    EXPECT_EQ(tentBlendProductIntegral({0.1, 0.2}, {0.9, 0.3}, {0.4, 0.8}, tent, tent, upperBlend, tent, tent, zero),
              0.0);
}
