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

// A filter that takes only sides that are powers of two refuses a 12 x 8 texture with a message naming it; every
// other filter fills the levels of that texture.
TEST(FilterRegistry, TheShapeFlagTellsTheFiltersThatRefuseOtherSides) {
    const Mesh mesh = leftHalfSquare();
    const FloatImage texture = halfAndHalf(12, 8);
    for (const FilterInfo& filter : allFilters()) {
        MipPyramid pyramid;
        std::string error;
        const bool built = build(filter, mesh, texture, pyramid, error);
        if (filter.shape == TextureShape::powerOfTwoSides) {
            EXPECT_FALSE(built) << filter.name;
            EXPECT_NE(error.find(filter.name), std::string::npos) << error;
        } else {
            EXPECT_TRUE(built) << filter.name << ": " << error;
            EXPECT_EQ(pyramid.levels.count, mipLevelCount(12, 8)) << filter.name;
        }
    }
}
