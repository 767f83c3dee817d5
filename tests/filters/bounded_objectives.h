// Shared by the bounded filters' tests on real inputs: the least-squares objectives of kivbi's level systems and of
// kivtri's joint system, assembled as the filters assemble them, evaluated for the levels of any pyramid.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "filters/level_system.h"
#include "filters/trilinear_system.h"
#include "filters/weighted_box.h"
#include "image/float_image.h"
#include "mesh/obj_model.h"

// kivtri's regularised joint system over levels 1 .. filled - 2 of the texture, assembled as the filter assembles it.
inline void assembleJointSystem(TrilinearSystem& system, const Mesh& mesh, const FloatImage& texture, int32_t filled) {
    SurfaceMoments moments;
    MomentRequest request;
    request.firstGrid = 1;
    request.area = request.moments = true;
    request.texture = &texture;
    buildSurfaceMoments(moments, mesh, mipLevelCount(texture.width, texture.height), request);
    FloatImage top;
    areaWeightedBoxLevel(top, texture, moments.grids[1], 1 << (filled - 1));
    assembleTrilinearSystem(system, moments, top, texture.width, texture.height, filled);
    releaseSurfaceMoments(moments);
}

// The values of channel c (0 .. 2) of levels first .. last, one after another, clamped into [0, 1] when asked (as
// the level files clamp them).
inline void gatherLevels(const MipPyramid& pyramid, int32_t first, int32_t last, bool clamp, DenseBlock& x) {
    int32_t count = 0;
    for (int32_t l = first; l <= last; ++l) count += pyramid.levels[l].count;
    createBlock(x, count, 3);
    for (int32_t c = 0; c < 3; ++c) {
        int32_t i = 0;
        for (int32_t l = first; l <= last; ++l) {
            for (int32_t j = 0; j < pyramid.levels[l].count; ++j, ++i) {
                const Texel& t = pyramid.levels[l].texels[j];
                const double v = c == 0 ? t.r : c == 1 ? t.g : t.b;
                x.at(i, c) = clamp ? std::min(1.0, std::max(0.0, v)) : v;
            }
        }
    }
}

// 1/2 x'Ax - b'x of column c, Ax given.
inline double quadraticObjective(const DenseBlock& x, const DenseBlock& product, const DenseBlock& b, int32_t c) {
    double value = 0.0;
    for (int32_t i = 0; i < x.count; ++i) value += x.at(i, c) * (0.5 * product.at(i, c) - b.at(i, c));
    return value;
}

// The objective of `bounded` is at most that of `clamped` (both from x and A x), channel by channel, up to the
// rounding of the float levels; `what` names the case.
inline void expectNoWorse(const DenseBlock& bounded, const DenseBlock& boundedProduct, const DenseBlock& clamped,
                          const DenseBlock& clampedProduct, const DenseBlock& b, const std::string& what) {
    for (int32_t c = 0; c < 3; ++c) {
        const double best = quadraticObjective(bounded, boundedProduct, b, c);
        const double other = quadraticObjective(clamped, clampedProduct, b, c);
        EXPECT_LE(best, other + 1e-7 * (1.0 + std::abs(other))) << what << " channel " << c;
    }
}

// Every level of kivbic in kivbi's level system does no worse than kivbi's level clamped into [0, 1].
inline void expectKivbicNoWorseThanClampedKivbi(const Mesh& mesh, const FloatImage& texture, const MipPyramid& kivbic,
                                                const MipPyramid& kivbi, const std::string& name) {
    SurfaceMoments moments;
    MomentRequest request;
    request.firstGrid = 1;
    request.moments = true;
    request.texture = &texture;
    buildSurfaceMoments(moments, mesh, mipLevelCount(texture.width, texture.height), request);
    const int32_t last = levelsToShorterSideOne(texture.width, texture.height) - 1;
    for (int32_t i = 1; i <= last; ++i) {
        StencilMatrix matrix;
        DenseBlock rhs, bounded, clamped, boundedProduct, clampedProduct;
        MomentGrid& grid = moments.grids[i];
        assembleGramStencil(matrix, grid, texture.width >> i, texture.height >> i, levelScale(texture.width >> i, texture.height >> i));
        assembleTargetSides(rhs, grid, texture.width >> i, texture.height >> i, 3, levelScale(texture.width >> i, texture.height >> i));
        regulariseStencil(matrix, rhs, regularisationWeight);
        release(grid.moments);
        release(grid.weighted);
        gatherLevels(kivbic, i, i, false, bounded);
        gatherLevels(kivbi, i, i, true, clamped);
        multiplyStencil(matrix, bounded, boundedProduct);
        multiplyStencil(matrix, clamped, clampedProduct);
        expectNoWorse(bounded, boundedProduct, clamped, clampedProduct, rhs, name + " level " + std::to_string(i));
    }
}

// kivtric's inner levels in kivtri's joint system do no worse than kivtri's clamped into [0, 1].
inline void expectKivtricNoWorseThanClampedKivtri(const Mesh& mesh, const FloatImage& texture, const MipPyramid& kivtric,
                                                  const MipPyramid& kivtri, const std::string& name) {
    const int32_t filled = levelsToShorterSideOne(texture.width, texture.height);
    if (filled < 3) return;
    TrilinearSystem system;
    assembleJointSystem(system, mesh, texture, filled);
    DenseBlock bounded, clamped, boundedProduct, clampedProduct;
    gatherLevels(kivtric, 1, filled - 2, false, bounded);
    gatherLevels(kivtri, 1, filled - 2, true, clamped);
    multiplyTrilinear(system, bounded, boundedProduct);
    multiplyTrilinear(system, clamped, clampedProduct);
    expectNoWorse(bounded, boundedProduct, clamped, clampedProduct, system.rhs, name + " joint system");
}
