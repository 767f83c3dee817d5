// kivbi and kivtri on textures whose sides are not powers of two (and on power-of-two rectangles, whose chains go on
// past the shorter side's end) against dense solves of their objectives, assembled here from the definitions: the
// levels' wrapped tents at their texel centres, the texture's reconstruction, and integrals over the surface by the
// quadrature of surface_quadrature.h, which shares nothing with the surface moments.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "filters/bilinear_filter.h"
#include "filters/level_system.h"
#include "filters/trilinear_filter.h"
#include "sparse/sparse_matrix.h"
#include "surface_quadrature.h"

namespace {

// The tents of a w x h level that are non-zero at (u, v): texel index y * w + x and value, at most four.
struct LevelBasis {
    int32_t count = 0;
    int32_t index[4] = {};
    double value[4] = {};
};

LevelBasis basisAt(int32_t w, int32_t h, double u, double v) {
    int32_t columns[2], rows[2];
    double across[2], down[2];
    tentsAt(w, u, columns, across);
    tentsAt(h, v, rows, down);
    LevelBasis basis;
    for (int j = 0; j < 2; ++j) {
        for (int i = 0; i < 2; ++i) {
            const double value = across[i] * down[j];
            if (value == 0) continue;
            basis.index[basis.count] = rows[j] * w + columns[i];
            basis.value[basis.count++] = value;
        }
    }
    return basis;
}

// A dense symmetric system with one right-hand side per channel.
struct DenseSystem {
    int32_t n = 0, channels = 0;
    std::vector<double> a, b;  // a[i * n + j], b[i * channels + c]
};

DenseSystem emptySystem(int32_t n, int32_t channels) {
    DenseSystem system;
    system.n = n, system.channels = channels;
    system.a.assign(static_cast<size_t>(n) * n, 0.0);
    system.b.assign(static_cast<size_t>(n) * channels, 0.0);
    return system;
}

// What kivbi does to its normal equations: an unknown whose tent holds no surface (diagonal exactly 0) is pinned to
// 0, every other diagonal gains the regularisation weight.
void regularise(DenseSystem& system) {
    for (int32_t i = 0; i < system.n; ++i) {
        double& diagonal = system.a[static_cast<size_t>(i) * system.n + i];
        if (diagonal != 0) {
            diagonal += regularisationWeight;
            continue;
        }
        diagonal = 1;
        for (int32_t c = 0; c < system.channels; ++c) system.b[static_cast<size_t>(i) * system.channels + c] = 0;
    }
}

// The solution, column by column, by a Cholesky factorisation of the whole matrix.
std::vector<double> solve(DenseSystem system) {
    const int32_t n = system.n;
    std::vector<double>& a = system.a;
    for (int32_t j = 0; j < n; ++j) {
        double d = a[j * n + j];
        for (int32_t k = 0; k < j; ++k) d -= a[j * n + k] * a[j * n + k];
        EXPECT_GT(d, 0.0) << "the dense system is not positive definite";
        a[j * n + j] = std::sqrt(d);
        for (int32_t i = j + 1; i < n; ++i) {
            double s = a[i * n + j];
            for (int32_t k = 0; k < j; ++k) s -= a[i * n + k] * a[j * n + k];
            a[i * n + j] = s / a[j * n + j];
        }
    }
    std::vector<double> x = system.b;
    const int32_t C = system.channels;
    for (int32_t c = 0; c < C; ++c) {
        for (int32_t i = 0; i < n; ++i) {
            for (int32_t k = 0; k < i; ++k) x[i * C + c] -= a[i * n + k] * x[k * C + c];
            x[i * C + c] /= a[i * n + i];
        }
        for (int32_t i = n - 1; i >= 0; --i) {
            for (int32_t k = i + 1; k < n; ++k) x[i * C + c] -= a[k * n + i] * x[k * C + c];
            x[i * C + c] /= a[i * n + i];
        }
    }
    return x;
}

int32_t channelsOf(const FloatImage& texture) { return texture.hasAlpha ? 4 : 3; }

// Level `level`'s sides for the texture.
int32_t sideAcross(const FloatImage& texture, int32_t level) { return levelSide(texture.width, level); }
int32_t sideDown(const FloatImage& texture, int32_t level) { return levelSide(texture.height, level); }

// An image of the level's values, x[j * channels + c], alpha 1 when it is not solved for.
FloatImage imageOf(const std::vector<double>& x, int32_t start, int32_t w, int32_t h, int32_t channels) {
    FloatImage image;
    allocateImage(image, w, h);
    for (int32_t j = 0; j < w * h; ++j) {
        const double* values = x.data() + static_cast<size_t>(start + j) * channels;
        image.texels[j] = Texel{static_cast<float>(values[0]), static_cast<float>(values[1]),
                                static_cast<float>(values[2]), channels == 4 ? static_cast<float>(values[3]) : 1.0f};
    }
    return image;
}

// kivbi's system for level `level` from its definition: the normal equations of the w x h level whose reconstruction
// fits the texture's best over the surface, minimising (S/2) integral (R - f)^2 dA + (0.001 / 2) |x|^2 over the
// tents the surface reaches, S/2 = levelScale(w, h). The integrands are polynomial between the texel centres of the
// level and of the texture.
DenseSystem kivbiLevelSystem(const Mesh& mesh, const FloatImage& texture, int32_t level) {
    const int32_t w = sideAcross(texture, level), h = sideDown(texture, level), channels = channelsOf(texture);
    DenseSystem system = emptySystem(w * h, channels);
    const double scale = levelScale(w, h);
    for (const SurfacePoint& p : surfacePoints(mesh, joined({texelCentres(w), texelCentres(texture.width)}),
                                               joined({texelCentres(h), texelCentres(texture.height)}))) {
        const LevelBasis basis = basisAt(w, h, p.u, p.v);
        double f[4];
        for (int32_t c = 0; c < channels; ++c) f[c] = reconstruction(texture, p.u, p.v, c);
        for (int32_t i = 0; i < basis.count; ++i) {
            const double weight = scale * p.weight * basis.value[i];
            for (int32_t j = 0; j < basis.count; ++j) {
                system.a[basis.index[i] * system.n + basis.index[j]] += weight * basis.value[j];
            }
            for (int32_t c = 0; c < channels; ++c) system.b[basis.index[i] * channels + c] += weight * f[c];
        }
    }
    regularise(system);
    return system;
}

// kivbi's level `level` solved densely.
FloatImage kivbiLevelOracle(const Mesh& mesh, const FloatImage& texture, int32_t level) {
    return imageOf(solve(kivbiLevelSystem(mesh, texture, level)), 0, sideAcross(texture, level),
                   sideDown(texture, level), channelsOf(texture));
}

// kivtri's joint levels 1 .. filled - 2 from their definition, level 0 the texture and level filled - 1 `top`, both
// fixed: with R_k level k's reconstruction, the minimiser of
//   (S/2) sum over k = 0 .. filled - 2 of integral dA integral_0^1 dt ((1 - t) R_k + t R_(k+1) - f)^2,
// S/2 = levelScale of the texture's sides, regularised as kivbi's levels (a level's own products decide which
// unknowns are pinned). Segment k's fixed part is c0 + c1 t with c0 = -f (0 for k = 0) and c1 = -f for k = 0 plus
// R_top when k + 1 is the top; unknown level l meets it with weight (1 - t) when l = k, t when l = k + 1.
// The unknowns of level l start at start[l].
DenseSystem kivtriSystem(const Mesh& mesh, const FloatImage& texture, const FloatImage& top, int32_t filled,
                         std::vector<int32_t>& start) {
    const int32_t channels = channelsOf(texture);
    start.assign(static_cast<size_t>(filled) + 1, 0);
    std::vector<double> uLines, vLines;
    for (int32_t l = 0; l < filled; ++l) {
        uLines = joined({uLines, texelCentres(sideAcross(texture, l))});
        vLines = joined({vLines, texelCentres(sideDown(texture, l))});
        const int32_t count = l >= 1 && l <= filled - 2 ? sideAcross(texture, l) * sideDown(texture, l) : 0;
        start[static_cast<size_t>(l) + 1] = start[static_cast<size_t>(l)] + count;
    }
    DenseSystem system = emptySystem(start[static_cast<size_t>(filled)], channels);
    const double scale = levelScale(texture.width, texture.height);
    for (const SurfacePoint& p : surfacePoints(mesh, uLines, vLines)) {
        double f[4], topValue[4];
        for (int32_t c = 0; c < channels; ++c) {
            f[c] = reconstruction(texture, p.u, p.v, c);
            topValue[c] = reconstruction(top, p.u, p.v, c);
        }
        std::vector<LevelBasis> bases(static_cast<size_t>(filled));
        for (int32_t l = 1; l <= filled - 2; ++l) {
            bases[l] = basisAt(sideAcross(texture, l), sideDown(texture, l), p.u, p.v);
        }
        for (int32_t l = 1; l <= filled - 2; ++l) {
            const LevelBasis& own = bases[l];
            for (int32_t i = 0; i < own.count; ++i) {
                const int32_t row = start[l] + own.index[i];
                const double weight = scale * p.weight * own.value[i];
                // Its own level in both its segments (t^2 and (1 - t)^2: 1/3 each), the neighbours once (1/6).
                for (int32_t m = std::max(1, l - 1); m <= std::min(filled - 2, l + 1); ++m) {
                    const double blend = m == l ? 2.0 / 3.0 : 1.0 / 6.0;
                    for (int32_t j = 0; j < bases[m].count; ++j) {
                        system.a[static_cast<size_t>(row) * system.n + start[m] + bases[m].index[j]] +=
                            weight * blend * bases[m].value[j];
                    }
                }
                for (int32_t c = 0; c < channels; ++c) {
                    double sum = 0;
                    for (int32_t k = l - 1; k <= l; ++k) {
                        const double c0 = k == 0 ? 0.0 : -f[c];
                        const double c1 = (k == 0 ? -f[c] : 0.0) + (k + 1 == filled - 1 ? topValue[c] : 0.0);
                        sum -= l == k ? c0 / 2 + c1 / 6 : c0 / 2 + c1 / 3;
                    }
                    system.b[static_cast<size_t>(row) * channels + c] += weight * sum;
                }
            }
        }
    }
    regularise(system);
    return system;
}

// kivtri's joint levels solved densely (entries 1 .. filled - 2).
std::vector<FloatImage> kivtriOracle(const Mesh& mesh, const FloatImage& texture, const FloatImage& top,
                                     int32_t filled) {
    std::vector<int32_t> start;
    const std::vector<double> x = solve(kivtriSystem(mesh, texture, top, filled, start));
    const int32_t channels = channelsOf(texture);
    std::vector<FloatImage> levels(static_cast<size_t>(filled));
    for (int32_t l = 1; l <= filled - 2; ++l) {
        levels[l] = imageOf(x, start[l], sideAcross(texture, l), sideDown(texture, l), channels);
    }
    return levels;
}

// The area-weighted box level of a texture whose sides are powers of two: each texel the mean of its block of source
// texels weighted by the surface's area on each, (0, 0, 0, 0) where the block holds none.
FloatImage areaWeightedBlocks(const Mesh& mesh, const FloatImage& texture, int32_t level) {
    std::vector<double> uEdges, vEdges;
    for (int32_t i = 1; i < texture.width; ++i) uEdges.push_back(static_cast<double>(i) / texture.width);
    for (int32_t i = 1; i < texture.height; ++i) vEdges.push_back(static_cast<double>(i) / texture.height);
    std::vector<double> area(static_cast<size_t>(texture.count), 0.0);
    for (const SurfacePoint& p : surfacePoints(mesh, uEdges, vEdges)) {
        const int32_t x = std::min(texture.width - 1, static_cast<int32_t>(p.u * texture.width));
        const int32_t y = std::min(texture.height - 1, static_cast<int32_t>(p.v * texture.height));
        area[static_cast<size_t>(y) * texture.width + x] += p.weight;
    }
    const int32_t w = sideAcross(texture, level), h = sideDown(texture, level), f = 1 << level;
    FloatImage image;
    allocateImage(image, w, h);
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            double sum[4] = {0, 0, 0, 0}, total = 0;
            for (int32_t sy = y * f; sy < (y + 1) * f; ++sy) {
                for (int32_t sx = x * f; sx < (x + 1) * f; ++sx) {
                    const double a = area[static_cast<size_t>(sy) * texture.width + sx];
                    total += a;
                    for (int32_t c = 0; c < 4; ++c) sum[c] += a * channelOf(texture.at(sx, sy), c);
                }
            }
            image.at(x, y) = total > 0 ? Texel{static_cast<float>(sum[0] / total), static_cast<float>(sum[1] / total),
                                               static_cast<float>(sum[2] / total), static_cast<float>(sum[3] / total)}
                                       : Texel{};
        }
    }
    return image;
}

using Build = bool (*)(const Mesh&, MipPyramid&, const FloatImage&, int32_t, LevelSolver, FilterStats&, std::string&);

MipPyramid run(Build build, const Mesh& mesh, const FloatImage& texture, LevelSolver solver) {
    MipPyramid pyramid;
    FilterStats stats;
    std::string error;
    const int32_t levelCount = mipLevelCount(texture.width, texture.height);
    EXPECT_TRUE(build(mesh, pyramid, texture, levelCount, solver, stats, error)) << error;
    return pyramid;
}

// Every texel of `actual` within `tolerance` of `expected` in the channels solved for (times the value's size
// beyond 1), alpha 1 where it is not.
void expectLevelNear(const FloatImage& actual, const FloatImage& expected, int32_t channels, double tolerance,
                     const std::string& what) {
    ASSERT_EQ(actual.width, expected.width) << what;
    ASSERT_EQ(actual.height, expected.height) << what;
    for (int32_t j = 0; j < expected.count; ++j) {
        for (int32_t c = 0; c < 4; ++c) {
            const double e = channelOf(expected.texels[j], c), a = channelOf(actual.texels[j], c);
            if (c < channels) {
                EXPECT_NEAR(a, e, tolerance * std::max(1.0, std::abs(e))) << what << " texel " << j << " channel " << c;
            } else {
                EXPECT_EQ(a, 1.0) << what << " texel " << j;
            }
        }
    }
}

// The levels' values as the unknowns of a system: level l's texel j, channel c at (start[l] + j) * channels + c.
std::vector<double> unknownsOf(const MipPyramid& pyramid, const std::vector<int32_t>& start, int32_t first,
                               int32_t last, int32_t channels) {
    std::vector<double> x;
    for (int32_t l = first; l <= last; ++l) {
        EXPECT_EQ(static_cast<int32_t>(x.size()), start[l] * channels);
        for (int32_t j = 0; j < pyramid.levels[l].count; ++j) {
            for (int32_t c = 0; c < channels; ++c) x.push_back(channelOf(pyramid.levels[l].texels[j], c));
        }
    }
    return x;
}

// The largest backward error of x in the system: per row and channel |(A x - b)_i| / (sum_j |A_ij x_j| + |b_i|), 0
// where both vanish, so that an unknown pinned to 0 must be exactly 0. Unlike the distance to the dense solution, it
// does not grow with the condition of the system, which texels barely touched by the surface make poor.
double backwardError(const DenseSystem& system, const std::vector<double>& x) {
    double worst = 0;
    const int32_t n = system.n, C = system.channels;
    for (int32_t i = 0; i < n; ++i) {
        for (int32_t c = 0; c < C; ++c) {
            double residual = -system.b[i * C + c], size = std::abs(system.b[i * C + c]);
            for (int32_t j = 0; j < n; ++j) {
                residual += system.a[i * n + j] * x[j * C + c];
                size += std::abs(system.a[i * n + j] * x[j * C + c]);
            }
            if (size > 0) worst = std::max(worst, std::abs(residual) / size);
        }
    }
    return worst;
}

// Every value of every level of `iterated` within the iterations' bound, 1e-4, of the exact solution `exact`.
void expectWithinBound(const MipPyramid& iterated, const MipPyramid& exact, int32_t channels) {
    ASSERT_EQ(iterated.levels.count, exact.levels.count);
    for (int32_t l = 1; l < exact.levels.count; ++l) {
        ASSERT_EQ(iterated.levels[l].count, exact.levels[l].count);
        for (int32_t j = 0; j < exact.levels[l].count; ++j) {
            for (int32_t c = 0; c < channels; ++c) {
                EXPECT_NEAR(channelOf(iterated.levels[l].texels[j], c), channelOf(exact.levels[l].texels[j], c), 1e-4)
                    << "level " << l << " texel " << j << " channel " << c;
            }
        }
    }
}

// The minimiser of 1/2 x'Ax - b'x within [0, 1] for every channel, by projected Gauss-Seidel run until a sweep moves
// no value by more than 1e-14: a method that shares nothing with the filters' bounded solve.
std::vector<double> boundedMinimiser(const DenseSystem& system) {
    const int32_t n = system.n, C = system.channels;
    std::vector<double> x(static_cast<size_t>(n) * C, 0.0);
    for (int32_t c = 0; c < C; ++c) {
        for (int sweep = 0; sweep < 100000; ++sweep) {
            double moved = 0;
            for (int32_t i = 0; i < n; ++i) {
                double rest = system.b[i * C + c];
                for (int32_t j = 0; j < n; ++j) {
                    if (j != i) rest -= system.a[i * n + j] * x[j * C + c];
                }
                const double value = std::min(1.0, std::max(0.0, rest / system.a[i * n + i]));
                moved = std::max(moved, std::abs(value - x[i * C + c]));
                x[i * C + c] = value;
            }
            if (moved < 1e-14) break;
        }
    }
    return x;
}

// On a covered texture the systems are well conditioned: the float storage of the surface moments (a relative
// rounding of about 1e-7 in every entry) moves the solution by a few float steps. The iterations prove their values
// within 1e-4 of the exact solution.
constexpr double directTolerance = 2e-6;
constexpr double iteratedTolerance = 1e-4 + directTolerance;

}  // namespace

// Every level of kivbi, down to 1 x 1, is the dense least-squares solution of its own objective, for sides that are
// odd, even but not powers of two, 1, and unequal (19 x 19: levels of 9, 4, 2 and 1 texels a side); over a surface
// that covers the texture once on a bumpy, jittered sheet, so that it weighs the texture unevenly. Alpha, where the
// texture carries it, is a fourth channel of the same system. Both solvers.
TEST(AnySizeObjectives, KivbiLevelsAreTheDenseLeastSquaresSolutions) {
    struct Case {
        int32_t width, height;
        bool alpha;
    };
    for (const Case c : {Case{5, 3, false}, Case{7, 7, false}, Case{6, 10, false}, Case{3, 1, false}, Case{1, 5, true},
                         Case{12, 5, true}, Case{19, 19, false}}) {
        const Mesh mesh = coveringSurface(5, 11 + c.width);
        const FloatImage texture = randomPicture(c.width, c.height, 2 + c.height, c.alpha);
        const int32_t levelCount = mipLevelCount(c.width, c.height);
        std::vector<FloatImage> expected;
        for (int32_t l = 1; l < levelCount; ++l) expected.push_back(kivbiLevelOracle(mesh, texture, l));
        for (LevelSolver solver : {LevelSolver::direct, LevelSolver::iterative}) {
            const MipPyramid pyramid = run(buildKivbiPyramid, mesh, texture, solver);
            ASSERT_EQ(pyramid.levels.count, levelCount);
            const double tolerance = solver == LevelSolver::direct ? directTolerance : iteratedTolerance;
            for (int32_t l = 1; l < levelCount; ++l) {
                expectLevelNear(pyramid.levels[l], expected[l - 1], channelsOf(texture), tolerance,
                                std::to_string(c.width) + "x" + std::to_string(c.height) +
                                    (solver == LevelSolver::direct ? " direct" : " iterated") + ", level " +
                                    std::to_string(l));
            }
        }
    }
}

// kivtri's levels against the dense solve of the trilinear objective. Sides that are not powers of two: every level
// joins the system, the fixed top being kivbi's 1 x 1 level; levels of 2 and 1 texels along an axis (12 x 5: 6 x 2,
// 3 x 1) couple with their neighbours through the wrapped tents. Power-of-two rectangles: the joint system ends where
// the shorter side reaches 1, at the area-weighted box level, and the levels after it are kivbi's.
TEST(AnySizeObjectives, KivtriLevelsAreTheDenseSolutionOfTheTrilinearObjective) {
    struct Case {
        int32_t width, height;
        bool alpha;
    };
    for (const Case c :
         {Case{13, 9, false}, Case{7, 5, false}, Case{12, 5, true}, Case{19, 19, false}, Case{16, 4, false},
          Case{4, 16, false}}) {
        const std::string name = std::to_string(c.width) + "x" + std::to_string(c.height);
        const Mesh mesh = coveringSurface(5, 31 + c.width);
        const FloatImage texture = randomPicture(c.width, c.height, 5 + c.height, c.alpha);
        const int32_t levelCount = mipLevelCount(c.width, c.height);
        const bool powerOfTwo = hasPowerOfTwoSides(texture);
        const int32_t filled = powerOfTwo ? levelsToShorterSideOne(c.width, c.height) : levelCount;
        const FloatImage top = powerOfTwo ? areaWeightedBlocks(mesh, texture, filled - 1)
                                          : kivbiLevelOracle(mesh, texture, filled - 1);
        const std::vector<FloatImage> joint = kivtriOracle(mesh, texture, top, filled);
        for (LevelSolver solver : {LevelSolver::direct, LevelSolver::iterative}) {
            SCOPED_TRACE(name + (solver == LevelSolver::direct ? " direct" : " iterated"));
            const MipPyramid pyramid = run(buildKivtriPyramid, mesh, texture, solver);
            ASSERT_EQ(pyramid.levels.count, levelCount);
            const double tolerance = solver == LevelSolver::direct ? directTolerance : iteratedTolerance;
            for (int32_t l = 1; l <= filled - 2; ++l) {
                expectLevelNear(pyramid.levels[l], joint[l], channelsOf(texture), tolerance,
                                "level " + std::to_string(l));
            }
            // The box level keeps the mean of alpha too; kivbi's top solves for it as for a colour.
            expectLevelNear(pyramid.levels[filled - 1], top, powerOfTwo ? 4 : channelsOf(texture),
                            powerOfTwo ? 1e-6 : tolerance, "top level");
            for (int32_t l = filled; l < levelCount; ++l) {
                expectLevelNear(pyramid.levels[l], kivbiLevelOracle(mesh, texture, l), channelsOf(texture), tolerance,
                                "level " + std::to_string(l) + " after the joint levels");
            }
        }
    }
}

// Random triangles leave some tents without surface (pinned to 0) and others barely touched, whose values the float
// storage of the moments moves far more than on a covered texture. There the direct solution must satisfy the dense
// normal equations up to the float rounding of their terms: a backward error below 1e-4, where scaling the dense
// matrix by 1 + 1e-4 alone gives 5e-5 and the filter's own stays near 1e-5; pinned texels must be exactly 0. The
// iterations stay within their bound of it. kivbi's levels and kivtri's joint system, on sizes with sides of 1 and 2.
TEST(AnySizeObjectives, PartlyCoveredLevelsSolveTheDenseNormalEquations) {
    int32_t pinned = 0;
    for (const auto& [width, height] : {std::make_pair(5, 3), std::make_pair(12, 5), std::make_pair(13, 9),
                                        std::make_pair(1, 6)}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        const Mesh mesh = randomSurface(6, 17 + width, 0.3);
        const FloatImage texture = randomPicture(width, height, 9, width == 12);
        const int32_t channels = channelsOf(texture), levelCount = mipLevelCount(width, height);
        const MipPyramid kivbi = run(buildKivbiPyramid, mesh, texture, LevelSolver::direct);
        ASSERT_EQ(kivbi.levels.count, levelCount);
        for (int32_t l = 1; l < levelCount; ++l) {
            const DenseSystem system = kivbiLevelSystem(mesh, texture, l);
            // Level l alone: its unknowns start at 0.
            const std::vector<int32_t> start(static_cast<size_t>(l) + 1, 0);
            EXPECT_LT(backwardError(system, unknownsOf(kivbi, start, l, l, channels)), 1e-4) << "kivbi level " << l;
            for (int32_t i = 0; i < system.n; ++i) {
                pinned += system.a[i * system.n + i] == 1 && system.b[i * channels] == 0;
            }
        }
        expectWithinBound(run(buildKivbiPyramid, mesh, texture, LevelSolver::iterative), kivbi, channels);
        const MipPyramid kivtri = run(buildKivtriPyramid, mesh, texture, LevelSolver::direct);
        ASSERT_EQ(kivtri.levels.count, levelCount);
        if (levelCount >= 3) {
            std::vector<int32_t> start;
            const DenseSystem joint = kivtriSystem(mesh, texture, kivbiLevelOracle(mesh, texture, levelCount - 1),
                                                   levelCount, start);
            EXPECT_LT(backwardError(joint, unknownsOf(kivtri, start, 1, levelCount - 2, channels)), 1e-4) << "kivtri";
        }
        expectWithinBound(run(buildKivtriPyramid, mesh, texture, LevelSolver::iterative), kivtri, channels);
    }
    EXPECT_GT(pinned, 0) << "some tent holds no surface";
}

// kivbic and kivtric, every value within [0, 1], are the minimisers of the same dense objectives within that box, on
// texels of 0 or 1 whose fits overshoot on both sides: every kivbic level, and kivtric's joint levels against the top
// that kivbic fits (1 x 1). Within the bounded solve's bound, 1e-4, of the projected Gauss-Seidel minimiser.
TEST(AnySizeObjectives, BoundedLevelsAreTheDenseMinimisersWithinTheBox) {
    for (const auto& [width, height] : {std::make_pair(13, 9), std::make_pair(12, 5)}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        const Mesh mesh = coveringSurface(5, 3 + width);
        FloatImage texture = randomPicture(width, height, 12);
        for (int32_t j = 0; j < texture.count; ++j) {
            Texel& t = texture.texels[j];
            t = Texel{std::round(t.r), std::round(t.g), std::round(t.b), 1};
        }
        const int32_t levelCount = mipLevelCount(width, height), channels = channelsOf(texture);
        const MipPyramid kivbic = run(buildKivbicPyramid, mesh, texture, LevelSolver::iterative);
        ASSERT_EQ(kivbic.levels.count, levelCount);
        int32_t onBound = 0;
        for (int32_t l = 1; l < levelCount; ++l) {
            const std::vector<double> x = boundedMinimiser(kivbiLevelSystem(mesh, texture, l));
            const FloatImage expected = imageOf(x, 0, sideAcross(texture, l), sideDown(texture, l), channels);
            expectLevelNear(kivbic.levels[l], expected, channels, 1.01e-4, "kivbic level " + std::to_string(l));
            for (double value : x) onBound += value == 0 || value == 1;
        }
        EXPECT_GT(onBound, 5);
        const MipPyramid kivtric = run(buildKivtricPyramid, mesh, texture, LevelSolver::iterative);
        ASSERT_EQ(kivtric.levels.count, levelCount);
        const std::vector<double> topValues = boundedMinimiser(kivbiLevelSystem(mesh, texture, levelCount - 1));
        const FloatImage top = imageOf(topValues, 0, 1, 1, channels);
        expectLevelNear(kivtric.levels[levelCount - 1], top, channels, 1.01e-4, "kivtric top");
        std::vector<int32_t> start;
        const std::vector<double> x = boundedMinimiser(kivtriSystem(mesh, texture, top, levelCount, start));
        for (int32_t l = 1; l <= levelCount - 2; ++l) {
            const FloatImage expected = imageOf(x, start[l], sideAcross(texture, l), sideDown(texture, l), channels);
            expectLevelNear(kivtric.levels[l], expected, channels, 1.01e-4, "kivtric level " + std::to_string(l));
        }
    }
}
