// Box filters that weight each source texel by the model's use of it, and the bilinear fill of the
// texels that no surface reaches.
#include "filters/weighted_box.h"

#include <cassert>

#include "base/wrap_index.h"

// A grid that stands in for a missing one: every texel paired with it is unused.
static const MomentGrid noCells;

static const MomentGrid& gridAt(const SurfaceMoments& moments, int32_t index) {
    assert(index >= 0 && index < moments.grids.count);
    return index >= 0 && index < moments.grids.count ? moments.grids.items[index] : noCells;
}

// The cells of `grid` that texel (x, y) of a width x height image covers. For a texture whose sides are powers of
// two the grids follow both sides, so a texel covers a block of whole cells (one at the grid of its level's size).
// Other sizes have square grids in the longer side, kept only as far as their texels reach, and keep the pairing of
// texel (x, y) with cell (x, y) (the square has no whole number of cells per texel).
struct CellBlock {
    int64_t first = -1;   // the block's first cell, or -1 when it lies outside the grid
    int32_t across = 1, down = 1;
};

static CellBlock cellsOfTexel(const MomentGrid& grid, int32_t width, int32_t height, int32_t x, int32_t y) {
    CellBlock block;
    const GridReach cells = cellsPerTexel(grid.width, grid.height, width, height);
    block.across = cells.across;
    block.down = cells.down;
    const int64_t cx = static_cast<int64_t>(x) * block.across, cy = static_cast<int64_t>(y) * block.down;
    assert(cx < grid.width && cy < grid.height);
    if (cx >= grid.width || cy >= grid.height) return block;
    block.first = cy * grid.width + cx;
    return block;
}

// The sum of weightOf(cell) over the cells of texel (x, y) of a width x height image.
template <typename WeightOf>
static double texelWeight(const MomentGrid& grid, int32_t width, int32_t height, int32_t x, int32_t y,
                          WeightOf weightOf) {
    const CellBlock block = cellsOfTexel(grid, width, height, x, y);
    if (block.first < 0) return 0.0;
    double sum = 0.0;
    for (int32_t dy = 0; dy < block.down; ++dy) {
        for (int32_t dx = 0; dx < block.across; ++dx) sum += weightOf(block.first + dy * grid.width + dx);
    }
    return sum;
}

static bool isUsed(const MomentGrid& grid, int32_t width, int32_t height, int32_t x, int32_t y) {
    return texelWeight(grid, width, height, x, y, [&grid](int64_t cell) { return grid.used.items[cell] != 0; }) > 0;
}

static Texel scaled(const Texel& sum, double factor) {
    return Texel{static_cast<float>(sum.r * factor), static_cast<float>(sum.g * factor),
                 static_cast<float>(sum.b * factor), static_cast<float>(sum.a * factor)};
}

static void addTo(Texel& sum, const Texel& t) {
    sum.r += t.r, sum.g += t.g, sum.b += t.b, sum.a += t.a;
}

// Each texel of `level` becomes sum(w_i T_i) / sum(w_i) over its f x f block of source texels,
// w_i = weightOf(grid, source texel i); (0, 0, 0, 0) when the weights add up to 0. Texels of
// weight 0 are left out of the sum, so only the texels that count are ever read.
template <typename WeightOf>
static void weightedBlockMeans(FloatImage& level, const FloatImage& source, int32_t f, WeightOf weightOf) {
    allocateImage(level, source.width / f, source.height / f);
#pragma omp parallel for schedule(dynamic, 8)
    for (int32_t y = 0; y < level.height; ++y) {
        for (int32_t x = 0; x < level.width; ++x) {
            Texel sum;
            double total = 0;
            for (int32_t dy = 0; dy < f; ++dy) {
                for (int32_t dx = 0; dx < f; ++dx) {
                    const int32_t sx = x * f + dx, sy = y * f + dy;
                    const double w = weightOf(sx, sy);
                    if (w == 0) continue;
                    // A weight of 1 leaves the texel exact, so the used-texel mean is a plain sum.
                    addTo(sum, scaled(source.at(sx, sy), w));
                    total += w;
                }
            }
            level.at(x, y) = total != 0 ? scaled(sum, 1 / total) : Texel{};
        }
    }
}

void usedTexelBoxLevel(FloatImage& level, const FloatImage& source, const MomentGrid& grid, int32_t factor) {
    weightedBlockMeans(level, source, factor, [&](int32_t x, int32_t y) {
        return isUsed(grid, source.width, source.height, x, y) ? 1.0 : 0.0;
    });
}

// The block mean sum(a_i T_i) / sum(a_i), a_i the surface area on texel i, is the constant that
// best fits the block's texels over the surface they cover, in the least-squares sense.
void areaWeightedBoxLevel(FloatImage& level, const FloatImage& source, const MomentGrid& grid, int32_t factor) {
    weightedBlockMeans(level, source, factor, [&](int32_t x, int32_t y) {
        return texelWeight(grid, source.width, source.height, x, y, [&grid](int64_t cell) { return grid.area.items[cell]; });
    });
}

void fillUnusedTexels(const FloatImage& coarse, FloatImage& fine, const MomentGrid& grid) {
    const int32_t w = coarse.width, h = coarse.height;
    assert(fine.width >= 2 * w && fine.height >= 2 * h);
    if (fine.width < 2 * w || fine.height < 2 * h) return;
    // The coarse level tiles: the left neighbour of column 0 is the last column.
    auto at = [&coarse, w, h](int32_t x, int32_t y) -> const Texel& {
        return coarse.at(wrapIndex(x, w), wrapIndex(y, h));
    };
#pragma omp parallel for schedule(dynamic, 8)
    for (int32_t i = 0; i < h; ++i) {
        for (int32_t b = 0; b < w; ++b) {
            for (int32_t dj = 0; dj < 2; ++dj) {
                for (int32_t dk = 0; dk < 2; ++dk) {
                    const int32_t fx = 2 * b + dk, fy = 2 * i + dj;
                    if (isUsed(grid, fine.width, fine.height, fx, fy)) continue;
                    // Bilinear weights at the fine texel's centre: 9/16 for the own coarse texel, 3/16
                    // for each neighbour on the fine texel's side, 1/16 for the diagonal one, grouped
                    // as 1/4 own + 1/8 vertical pair + 1/8 horizontal pair + 1/16 quad.
                    const int32_t x0 = b + dk - 1, x1 = b + dk;
                    const int32_t y0 = i + dj - 1, y1 = i + dj;
                    Texel vertical = at(b, y0), horizontal = at(x0, i), quad = at(x0, y0);
                    addTo(vertical, at(b, y1));
                    addTo(horizontal, at(x1, i));
                    addTo(quad, at(x1, y0));
                    addTo(quad, at(x0, y1));
                    addTo(quad, at(x1, y1));
                    Texel value = scaled(at(b, i), 0.25);
                    addTo(value, scaled(vertical, 0.125));
                    addTo(value, scaled(horizontal, 0.125));
                    addTo(value, scaled(quad, 0.0625));
                    fine.at(fx, fy) = value;
                }
            }
        }
    }
}

// Level 0 is the source; level j the block means of the source for block side 2^j; then levels
// n - 2 down to 1 have their unused texels filled from the level above, itself already filled.
static void buildWeightedPyramid(MipPyramid& pyramid, const FloatImage& source, const SurfaceMoments& coverage,
                                 int32_t base, int32_t levelCount, bool areaWeights) {
    resizeLevels(pyramid, levelCount);
    if (levelCount < 1) return;
    copyImage(pyramid.levels[0], source);
    for (int32_t j = 1; j < levelCount; ++j) {
        const MomentGrid& baseGrid = gridAt(coverage, base);
        if (areaWeights) areaWeightedBoxLevel(pyramid.levels[j], source, baseGrid, 1 << j);
        else usedTexelBoxLevel(pyramid.levels[j], source, baseGrid, 1 << j);
    }
    for (int32_t k = levelCount - 1; k >= 2; --k) {
        fillUnusedTexels(pyramid.levels[k], pyramid.levels[k - 1], gridAt(coverage, base + k - 1));
    }
}

void buildUsedTexelPyramid(MipPyramid& pyramid, const FloatImage& source, const SurfaceMoments& coverage,
                           int32_t levelCount) {
    buildWeightedPyramid(pyramid, source, coverage, 0, levelCount, false);
}

void buildAreaWeightedPyramid(MipPyramid& pyramid, const FloatImage& source, const SurfaceMoments& coverage,
                              int32_t base, int32_t levelCount) {
    buildWeightedPyramid(pyramid, source, coverage, base, levelCount, true);
}

void buildBoxigPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& source, int32_t levelCount) {
    SurfaceMoments moments;
    MomentRequest request;
    request.used = true;
    request.width = source.width, request.height = source.height;
    buildSurfaceMoments(moments, mesh, levelCount - 1, request);
    buildUsedTexelPyramid(pyramid, source, moments, levelCount);
}

void buildKivboxPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& source, int32_t levelCount) {
    SurfaceMoments moments;
    MomentRequest request;
    request.used = request.area = true;
    request.width = source.width, request.height = source.height;
    buildSurfaceMoments(moments, mesh, levelCount - 1, request);
    buildAreaWeightedPyramid(pyramid, source, moments, 0, levelCount);
}
