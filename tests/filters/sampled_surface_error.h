// An independent estimate of the surface error: points drawn uniformly over the model's surface, where every
// level's bilinear reconstruction (tents on texel centres, wrap-around) is evaluated directly.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "filters/surface_error.h"
#include "image/float_image.h"
#include "mesh/obj_model.h"

namespace sampled_error {

// Level `image` read bilinearly at (u, v), wrapping around; channel c.
inline double bilinear(const FloatImage& image, double u, double v, int c) {
    const double s = u * image.width - 0.5, t = v * image.height - 0.5;
    const double x0 = std::floor(s), y0 = std::floor(t), fx = s - x0, fy = t - y0;
    auto at = [&](double x, double y) {
        const int xi = static_cast<int>(((static_cast<long long>(x) % image.width) + image.width) % image.width);
        const int yi = static_cast<int>(((static_cast<long long>(y) % image.height) + image.height) % image.height);
        const Texel& texel = image.at(xi, yi);
        return static_cast<double>(c == 0 ? texel.r : c == 1 ? texel.g : texel.b);
    };
    return (1 - fx) * (1 - fy) * at(x0, y0) + fx * (1 - fy) * at(x0 + 1, y0) + (1 - fx) * fy * at(x0, y0 + 1) +
           fx * fy * at(x0 + 1, y0 + 1);
}

// The sampled counterpart of PyramidSurfaceError: every triangle gets points in proportion to its area.
inline PyramidSurfaceError sampledError(const Mesh& mesh, const MipPyramid& pyramid, int points, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int levels = 0;
    while (levels < pyramid.levels.count && pyramid.levels[levels].count > 0) ++levels;
    std::vector<double> squares(levels, 0.0), segments(levels, 0.0);
    double total = 0;
    std::vector<double> areas;
    for (const MeshTriangle& t : mesh.triangles) {
        const Point3 &a = mesh.positions[t.positionIndex[0]], &b = mesh.positions[t.positionIndex[1]],
                     &c = mesh.positions[t.positionIndex[2]];
        const double ux = b.x - a.x, uy = b.y - a.y, uz = b.z - a.z, vx = c.x - a.x, vy = c.y - a.y, vz = c.z - a.z;
        areas.push_back(0.5 * std::sqrt(std::pow(uy * vz - uz * vy, 2) + std::pow(uz * vx - ux * vz, 2) +
                                        std::pow(ux * vy - uy * vx, 2)));
        total += areas.back();
    }
    for (int32_t index = 0; index < mesh.triangles.count; ++index) {
        const MeshTriangle& t = mesh.triangles[index];
        const int count = std::max(1, static_cast<int>(std::lround(points * areas[index] / total)));
        const double weight = areas[index] / count;
        for (int p = 0; p < count; ++p) {
            // Uniform over the triangle: the square root folds the unit square onto it.
            const double r1 = std::sqrt(unit(random)), r2 = unit(random);
            const double w0 = 1 - r1, w1 = r1 * (1 - r2), w2 = r1 * r2;
            const TexPoint &p0 = mesh.texCoords[t.texCoordIndex[0]], &p1 = mesh.texCoords[t.texCoordIndex[1]],
                           &p2 = mesh.texCoords[t.texCoordIndex[2]];
            const double u = w0 * p0.u + w1 * p1.u + w2 * p2.u, v = w0 * p0.v + w1 * p1.v + w2 * p2.v;
            std::vector<std::array<double, 3>> e(levels);
            for (int k = 0; k < levels; ++k) {
                for (int c = 0; c < 3; ++c) {
                    e[k][c] = bilinear(pyramid.levels[k], u, v, c) - bilinear(pyramid.levels[0], u, v, c);
                    squares[k] += weight * e[k][c] * e[k][c];
                }
                if (k == 0) continue;
                for (int c = 0; c < 3; ++c) {
                    segments[k - 1] += weight * (e[k - 1][c] * e[k - 1][c] + e[k][c] * e[k][c] + e[k - 1][c] * e[k][c]) / 3;
                }
            }
        }
    }
    PyramidSurfaceError sampled;
    for (int k = 0; k < levels; ++k) append(sampled.levelRms, std::sqrt(squares[k] / (3 * total)));
    for (int k = 0; k + 1 < levels; ++k) {
        append(sampled.segmentMeanSquare, segments[k] / (3 * total));
        sampled.trilinear += segments[k] / (3 * total);
    }
    return sampled;
}

// The exact figures agree with the sampled ones within `tolerance` of their size, or within four standard errors
// of the sampled mean where the error is concentrated on few texels and the points scatter more (the mean and its
// standard error taken over `batches` independent draws of `points` points).
inline void expectAgreement(const Mesh& mesh, const FloatImage& texture, const MipPyramid& pyramid, double tolerance,
                            int points = 400000, int batches = 1) {
    SurfaceErrorBasis basis;
    prepareSurfaceError(basis, mesh, texture);
    PyramidSurfaceError exact;
    measureSurfaceError(basis, pyramid, exact);
    std::vector<PyramidSurfaceError> draws;
    for (int b = 0; b < batches; ++b) draws.push_back(sampledError(mesh, pyramid, points, 3 + b));
    ASSERT_EQ(exact.levelRms.count, draws[0].levelRms.count);
    ASSERT_EQ(exact.segmentMeanSquare.count, draws[0].segmentMeanSquare.count);
    EXPECT_EQ(exact.levelRms[0], 0.0);
    auto expectNear = [&](double value, auto sampled, double relative, const std::string& what) {
        double mean = 0, squares = 0;
        for (const PyramidSurfaceError& draw : draws) mean += sampled(draw) / batches;
        for (const PyramidSurfaceError& draw : draws) squares += std::pow(sampled(draw) - mean, 2);
        const double standardError = batches > 1 ? std::sqrt(squares / (batches - 1) / batches) : 0.0;
        EXPECT_NEAR(value, mean, std::max(relative * mean, 4 * standardError)) << what;
    };
    for (int k = 1; k < exact.levelRms.count; ++k) {
        expectNear(exact.levelRms[k], [k](const PyramidSurfaceError& e) { return e.levelRms[k]; }, tolerance,
                   "level " + std::to_string(k));
        expectNear(exact.segmentMeanSquare[k - 1],
                   [k](const PyramidSurfaceError& e) { return e.segmentMeanSquare[k - 1]; }, 2 * tolerance,
                   "segment " + std::to_string(k - 1));
    }
    expectNear(exact.trilinear, [](const PyramidSurfaceError& e) { return e.trilinear; }, 2 * tolerance, "sum");
}

// Levels that have nothing to do with the texture, so every cross term counts.
inline MipPyramid randomPyramid(const FloatImage& texture, unsigned seed) {
    MipPyramid pyramid;
    const int32_t levelCount = mipLevelCount(texture.width, texture.height);
    resizeLevels(pyramid, levelCount);
    copyImage(pyramid.levels[0], texture);
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(0.0f, 1.0f);
    for (int32_t k = 1; k < levelCount; ++k) {
        allocateImage(pyramid.levels[k], levelSide(texture.width, k), levelSide(texture.height, k));
        for (int32_t j = 0; j < pyramid.levels[k].count; ++j) {
            pyramid.levels[k].texels[j] = Texel{value(random), value(random), value(random), 1};
        }
    }
    return pyramid;
}

inline FloatImage randomTexture(int width, int height, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(0.0f, 1.0f);
    FloatImage texture;
    allocateImage(texture, width, height);
    for (int32_t j = 0; j < texture.count; ++j) texture.texels[j] = Texel{value(random), value(random), value(random), 1};
    return texture;
}

}  // namespace sampled_error
