// Shared by the filter tests: models from OBJ text, and comparisons of assembled systems.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>

#include "filters/surface_moments.h"
#include "image/float_image.h"
#include "image/texture_io.h"
#include "mesh/obj_model.h"
#include "sparse/sparse_matrix.h"

// A model read from OBJ text and normalised, as the driver does.
inline Mesh modelFrom(const std::string& objText) {
    Mesh mesh;
    std::string error;
    std::istringstream stream(objText);
    EXPECT_TRUE(readObjModel(mesh, stream, "test.obj", error)) << error;
    EXPECT_TRUE(normaliseMesh(mesh, error)) << error;
    return mesh;
}

// The real model `name` (model.obj and texture.png under the real models' folder), normalised as the driver does,
// and its texture in linear light. False when the folder is not there; a model or texture that cannot be read is a
// test failure.
inline bool loadRealModel(const std::string& folder, Mesh& mesh, FloatImage& texture) {
    if (!std::ifstream(folder + "/model.obj").good()) return false;
    std::string error;
    EXPECT_TRUE(loadObjModel(mesh, (folder + "/model.obj").c_str(), error)) << error;
    EXPECT_TRUE(normaliseMesh(mesh, error)) << error;
    EXPECT_TRUE(loadTexture((folder + "/texture.png").c_str(), texture, error)) << error;
    lineariseImage(texture);
    return true;
}

// Four triangles of unequal sizes over two charts, which leave thin, barely covered texel rows along their edges:
// the hard case for the iterative solves.
inline Mesh thinRowsModel() {
    return modelFrom(
        "v 0 0 0\nv 1 0 0.3\nv 1 1 0\nv 0 1 0.5\nv 0.5 0.2 1\nv 0.2 0.9 0.1\n"
        "vt 0.02 0.03\nvt 0.47 0.05\nvt 0.45 0.5\nvt 0.03 0.46\nvt 0.9 0.9\nvt 0.51 0.512\n"
        "f 1/1 2/2 3/3\nf 1/1 3/3 4/4\nf 2/5 5/6 3/3\nf 4/4 6/6 5/5\n");
}

// Every colour of every level above level 0 of `actual` within `tolerance` of `expected`, alpha the same.
inline void expectLevelsWithin(const MipPyramid& expected, const MipPyramid& actual, double tolerance) {
    ASSERT_EQ(expected.levels.count, actual.levels.count);
    for (int32_t l = 1; l < expected.levels.count; ++l) {
        ASSERT_EQ(expected.levels[l].count, actual.levels[l].count);
        for (int32_t j = 0; j < expected.levels[l].count; ++j) {
            const Texel &a = expected.levels[l].texels[j], &b = actual.levels[l].texels[j];
            ASSERT_NEAR(b.r, a.r, tolerance) << "level " << l << " texel " << j;
            ASSERT_NEAR(b.g, a.g, tolerance) << "level " << l << " texel " << j;
            ASSERT_NEAR(b.b, a.b, tolerance) << "level " << l << " texel " << j;
            ASSERT_EQ(b.a, a.a) << "level " << l << " texel " << j;
        }
    }
}

// Alpha is solved exactly as a colour channel: a texture whose alpha copies its red channel gives levels whose alpha
// is their red, bit for bit, and without alpha every level's alpha is 1. `build` makes a pyramid of a texture.
template <typename Build>
void expectAlphaSolvedLikeAColour(const FloatImage& texture, Build build) {
    FloatImage withAlpha = texture;
    withAlpha.hasAlpha = true;
    for (int32_t k = 0; k < withAlpha.count; ++k) withAlpha.texels[k].a = withAlpha.texels[k].r;
    FloatImage opaque = texture;
    opaque.hasAlpha = false;
    for (int32_t k = 0; k < opaque.count; ++k) opaque.texels[k].a = 1.0f;
    const MipPyramid translucent = build(withAlpha), solid = build(opaque);
    ASSERT_EQ(translucent.levels.count, solid.levels.count);
    // Level 0 is the texture; the last level of kivtri is the box pyramid's, which averages alpha its own way.
    for (int32_t l = 1; l + 1 < translucent.levels.count; ++l) {
        for (int32_t j = 0; j < translucent.levels[l].count; ++j) {
            const Texel &a = translucent.levels[l].texels[j], &b = solid.levels[l].texels[j];
            ASSERT_EQ(a.a, a.r) << "level " << l << " texel " << j;
            ASSERT_EQ(a.r, b.r) << "level " << l << " texel " << j;
            ASSERT_EQ(b.a, 1.0f) << "level " << l << " texel " << j;
        }
    }
}

// Used cells, areas and moments of every grid from `firstGrid` on, as the filters gather them, with the
// weighted moments of `texture` when one is given.
inline SurfaceMoments momentsOf(const Mesh& mesh, int finest, int firstGrid, const FloatImage* texture = nullptr) {
    SurfaceMoments moments;
    MomentRequest request;
    request.firstGrid = firstGrid;
    request.used = request.area = request.moments = true;
    request.texture = texture;
    buildSurfaceMoments(moments, mesh, finest, request);
    return moments;
}

// The largest magnitude among the stored entries, to make tolerances relative.
inline double largestMagnitude(const SparseRowMatrix& matrix) {
    double largest = 0;
    for (const SparseRow& row : matrix.rows) {
        for (const auto& entry : row) largest = std::max(largest, std::abs(entry.second));
    }
    return largest;
}

inline double largestMagnitude(const DenseBlock& block) {
    double largest = 0;
    for (double value : block.values) largest = std::max(largest, std::abs(value));
    return largest;
}

// Same stored entries (every key, zero values included), values within `relative` of the largest.
inline void expectSameMatrix(const SparseRowMatrix& actual, const SparseRowMatrix& expected, double relative) {
    ASSERT_EQ(actual.rows.count, expected.rows.count);
    const double tolerance = relative * largestMagnitude(expected);
    for (int r = 0; r < expected.rows.count; ++r) {
        ASSERT_EQ(actual.rows[r].size(), expected.rows[r].size()) << "row " << r;
        for (const auto& [column, value] : expected.rows[r]) {
            const auto found = actual.rows[r].find(column);
            ASSERT_NE(found, actual.rows[r].end()) << "row " << r << " column " << column;
            EXPECT_NEAR(found->second, value, tolerance) << "row " << r << " column " << column;
        }
    }
}

// Same shape, elements within `relative` of the largest.
inline void expectSameBlock(const DenseBlock& actual, const DenseBlock& expected, double relative) {
    ASSERT_EQ(actual.count, expected.count);
    ASSERT_EQ(actual.columns, expected.columns);
    const double tolerance = relative * largestMagnitude(expected);
    for (int k = 0; k < expected.values.count; ++k) {
        EXPECT_NEAR(actual.values.items[k], expected.values.items[k], tolerance) << "element " << k;
    }
}
