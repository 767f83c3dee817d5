// On real texture atlases, kivbi's levels are no worse than the box and tent levels in the very
// least-squares objective kivbi minimises, level by level (computed from the assembled system).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "filters/bilinear_filter.h"
#include "image/classic_filters.h"
#include "image/texture_io.h"
#include "mesh/obj_model.h"
#include "sparse/sparse_matrix.h"
#include "system_checks.h"
#include "test_support.h"
#include "piece_assembly.h"
#include "stored_coverage.h"

// ½ xᵀ M x − bᵀ x for one colour channel, x being that channel of `level`: the normal equations
// M x = b are the stationary point of this quadratic, which equals the filter's surface error up to
// a constant. M keeps only its upper triangle by rows.
static double levelObjective(const SparseRowMatrix& matrix, const DenseBlock& rhs, const FloatImage& level,
                             int channel) {
    auto value = [&](int32_t j) {
        const Texel& t = level.texels[j];
        return static_cast<double>(channel == 0 ? t.r : channel == 1 ? t.g : t.b);
    };
    double quadratic = 0, linear = 0;
    for (int32_t r = 0; r < matrix.rows.count; ++r) {
        const double xr = value(r);
        for (const auto& [c, v] : matrix.rows[r]) quadratic += (c == r ? 1.0 : 2.0) * v * xr * value(c);
        linear += rhs.at(r, channel) * xr;
    }
    return 0.5 * quadratic - linear;
}

// `checked` lists the levels compared (empty: every level). Each level's right-hand sides walk the coverage of the
// whole texture, 8 s a level on the milk truck, so that model checks a spread of its levels.
static void expectKivbiBeatsClassicLevels(const std::string& name, std::vector<int32_t> checked = {}) {
    const std::string folder = realModelsDirectory() + "/" + name;
    Mesh mesh;
    FloatImage texture;
    if (!loadRealModel(folder, mesh, texture)) GTEST_SKIP() << "no real models at " << folder;
    ASSERT_FALSE(::testing::Test::HasFailure());
    std::string error;
    const int32_t levelCount = mipLevelCount(texture.width, texture.height);

    MipPyramid kivbi, box, tent;
    FilterStats stats;
    ASSERT_TRUE(buildKivbiPyramid(mesh, kivbi, texture, levelCount, LevelSolver::iterative, stats, error)) << error;
    buildBoxPyramid(box, texture, levelCount);
    buildTentPyramid(tent, texture, levelCount);

    TexelCoverage coverage;
    buildTexelCoverage(coverage, mesh, levelCount);
    if (checked.empty()) {
        for (int32_t i = 1; i < levelCount; ++i) checked.push_back(i);
    }
    for (const int32_t i : checked) {
        ASSERT_LT(i, levelCount) << name;
        const FloatImage& level = kivbi.levels[i];
        SparseRowMatrix matrix;
        setRowCount(matrix, level.count);
        clearRows(matrix);
        DenseBlock rhs;
        createBlock(rhs, level.count, 3);
        assembleGramMatrix(matrix, level, coverage, i);
        assembleRightHandSides(rhs, 1 << i, level, texture, coverage, i);
        regularise(matrix, rhs);
        for (int channel = 0; channel < 3; ++channel) {
            const double best = levelObjective(matrix, rhs, level, channel);
            const double slack = 1e-9 * (1.0 + std::abs(best));  // the levels are stored in float32
            EXPECT_LE(best, levelObjective(matrix, rhs, box.levels[i], channel) + slack)
                << name << " level " << i << " channel " << channel << " against box";
            EXPECT_LE(best, levelObjective(matrix, rhs, tent.levels[i], channel) + slack)
                << name << " level " << i << " channel " << channel << " against tent";
        }
    }
    releaseCoverage(coverage);
}

TEST(RealModelObjective, KivbiLevelsBeatBoxAndTentOnTheDuck) { expectKivbiBeatsClassicLevels("duck"); }

TEST(RealModelObjective, KivbiLevelsBeatBoxAndTentOnTheMilkTruck) {
    expectKivbiBeatsClassicLevels("milk_truck", {1, 2, 4, 7, 10});
}
