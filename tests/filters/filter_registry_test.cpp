// The filter table against what each filter does: the flags the run driver acts on (reads the surface, the
// textures it takes) must be true of the filter behind the name.
#include "filters/filter_registry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>

namespace {

// A unit square laid on the left half of texture space (u in [0, 0.5]); the right half is used by nothing.
Mesh leftHalfSquare() {
    Mesh mesh;
    for (const Point3 p : {Point3{-0.5f, -0.5f, 0}, Point3{0.5f, -0.5f, 0}, Point3{0.5f, 0.5f, 0}, Point3{-0.5f, 0.5f, 0}})
        append(mesh.positions, p);
    for (const TexPoint t : {TexPoint{0, 0}, TexPoint{0.5f, 0}, TexPoint{0.5f, 1}, TexPoint{0, 1}}) append(mesh.texCoords, t);
    append(mesh.triangles, MeshTriangle{{0, 1, 2}, {0, 1, 2}});
    append(mesh.triangles, MeshTriangle{{0, 2, 3}, {0, 2, 3}});
    return mesh;
}

// Grey 0.25 on the used left half, 1 on the unused right half.
FloatImage halfAndHalf(int32_t width, int32_t height) {
    FloatImage image;
    allocateImage(image, width, height);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const float v = x < width / 2 ? 0.25f : 1.0f;
            image.at(x, y) = Texel{v, v, v, 1};
        }
    }
    return image;
}

bool build(const FilterInfo& filter, const Mesh& mesh, const FloatImage& texture, MipPyramid& pyramid,
           std::string& error) {
    FilterInputs inputs;
    inputs.mesh = &mesh;
    inputs.texture = &texture;
    inputs.levelCount = mipLevelCount(texture.width, texture.height);
    FilterStats stats;
    return filter.build(inputs, pyramid, stats, error);
}

}  // namespace

TEST(FilterRegistry, NamesAreUniqueFoundAndIncludeTheDefault) {
    std::set<std::string> names;
    for (const FilterInfo& filter : allFilters()) {
        EXPECT_TRUE(names.insert(filter.name).second) << filter.name;
        EXPECT_EQ(findFilter(filter.name), &filter);
        EXPECT_GT(std::string(filter.summary).size(), 0u) << filter.name;
    }
    EXPECT_EQ(names.size(), 10u);
    EXPECT_NE(findFilter(defaultFilterName), nullptr);
    EXPECT_EQ(findFilter("KIVBI"), nullptr);  // names are case-sensitive
    EXPECT_EQ(findFilter(""), nullptr);
}

// A filter said to read the surface keeps the unused half out of the coarsest level; the others average it in.
TEST(FilterRegistry, TheSurfaceFlagTellsTheFiltersThatKeepUnusedTexelsOut) {
    const Mesh mesh = leftHalfSquare();
    const FloatImage texture = halfAndHalf(16, 16);
    for (const FilterInfo& filter : allFilters()) {
        if (std::string(filter.name) == "rainbow") continue;  // paints every level, reads nothing
        MipPyramid pyramid;
        std::string error;
        ASSERT_TRUE(build(filter, mesh, texture, pyramid, error)) << filter.name << ": " << error;
        ASSERT_EQ(pyramid.levels.count, 5) << filter.name;
        const FloatImage& top = pyramid.levels[4];
        ASSERT_EQ(top.width * top.height, 1) << filter.name;
        if (filter.readsSurface) {
            // The least-squares filters fit the texture's bilinear reconstruction, which at the used half's edges
            // blends in the neighbouring unused texels: near 0.25, far from the 0.625 of the whole texture.
            EXPECT_LT(top.texels[0].g, 0.3) << filter.name;
        } else {
            EXPECT_GT(top.texels[0].g, 0.55) << filter.name;
        }
    }
}

namespace {

// A small square on the grey half of halfAndHalf's textures ([0.05, 0.3]^2 of texture space), which keeps large
// textures cheap: most of their texels see no surface.
Mesh smallSquare() {
    Mesh mesh = leftHalfSquare();
    for (TexPoint& t : mesh.texCoords) t = TexPoint{0.05f + 0.5f * t.u, 0.05f + 0.25f * t.v};
    return mesh;
}

// Every filter's pyramid of a halfAndHalf texture of that size has mipLevelCount levels of levelSide(width, k) x
// levelSide(height, k) texels, down to 1 x 1, every value finite. Where the square spans many texels (`wideSquare`),
// the top level still tells the filters that read the surface from the others, as above.
void expectEveryLevelDownToOneTexel(int32_t width, int32_t height, bool wideSquare) {
    const Mesh mesh = smallSquare();
    const FloatImage texture = halfAndHalf(width, height);
    for (const FilterInfo& filter : allFilters()) {
        SCOPED_TRACE(std::string(filter.name) + " " + std::to_string(width) + "x" + std::to_string(height));
        MipPyramid pyramid;
        std::string error;
        ASSERT_TRUE(build(filter, mesh, texture, pyramid, error)) << error;
        const int32_t levelCount = mipLevelCount(width, height);
        ASSERT_EQ(pyramid.levels.count, levelCount);
        for (int32_t k = 0; k < levelCount; ++k) {
            const FloatImage& level = pyramid.levels[k];
            ASSERT_EQ(level.width, levelSide(width, k)) << "level " << k;
            ASSERT_EQ(level.height, levelSide(height, k)) << "level " << k;
            for (int32_t j = 0; j < level.count; ++j) {
                const Texel& t = level.texels[j];
                ASSERT_TRUE(std::isfinite(t.r) && std::isfinite(t.g) && std::isfinite(t.b) && std::isfinite(t.a))
                    << "level " << k << " texel " << j;
            }
        }
        ASSERT_EQ(pyramid.levels[levelCount - 1].count, 1);
        if (!wideSquare || std::string(filter.name) == "rainbow") continue;
        const double top = pyramid.levels[levelCount - 1].texels[0].g;
        if (filter.readsSurface) {
            EXPECT_LT(top, 0.3);
        } else {
            EXPECT_GT(top, 0.55);
        }
    }
}

}  // namespace

// Every filter takes every size: sizes that are powers of two or not, square, rectangular and thin, a side of 1
// included (8 x 1 has 4 levels, 211 x 211 has 8: 211, 105, 52, 26, 13, 6, 3, 1).
TEST(FilterRegistry, EveryFilterWritesEveryLevelDownToOneTexelForEverySize) {
    expectEveryLevelDownToOneTexel(12, 8, true);
    expectEveryLevelDownToOneTexel(512, 256, true);
    expectEveryLevelDownToOneTexel(1, 8, false);
    expectEveryLevelDownToOneTexel(8, 1, false);
    expectEveryLevelDownToOneTexel(2, 1, false);
    expectEveryLevelDownToOneTexel(211, 211, true);
}

// The largest size of the fast tier: 768 x 768, ten levels down to 3 x 3 and then 1 x 1, where the least-squares
// filters' grids reach about 1536 cells a side (over a second on two cores in all).
TEST(FilterRegistry, EveryFilterWritesTheTenLevelsOfA768SquareTexture) {
    expectEveryLevelDownToOneTexel(768, 768, true);
}
