// Box filters that weight each source texel by the model's use of it, and the bilinear fill of the
// texels that no surface reaches.
#include "filters/weighted_box.h"

#include <algorithm>
#include <cassert>
#include <cmath>

#include "base/wrap_index.h"

// A grid that stands in for a missing one: every texel paired with it is unused.
static const MomentGrid noCells;

static const MomentGrid& gridAt(const SurfaceMoments& moments, int32_t index) {
    assert(index >= 0 && index < moments.grids.count);
    return index >= 0 && index < moments.grids.count ? moments.grids.items[index] : noCells;
}

// The cells of `grid` that texel (x, y) of a width x height image covers. For a texture whose sides are powers of
// two the grids follow both sides, so a texel covers a block of whole cells (one at the grid of its level's size).
// Levels whose sides do not halve read their footprints instead (levelFromSums).
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

namespace {

// The cell of `grid` along `axis` that holds `value` (a point inside the unit square).
int32_t cellHolding(const MomentGrid& grid, SplitAxis axis, double value) {
    const GrowArray<double>& bounds = axis == SplitAxis::u ? grid.columnBounds : grid.rowBounds;
    const int32_t cells = axis == SplitAxis::u ? grid.width : grid.height;
    int32_t cell = 0;
    if (bounds.count > 0) {
        cell = static_cast<int32_t>(std::upper_bound(bounds.items, bounds.items + bounds.count, value) - bounds.items) - 1;
    } else {
        cell = static_cast<int32_t>(std::floor(value * cells));
    }
    return std::max(0, std::min(cells - 1, cell));
}

// The middle of cell `index` of the grid along `axis`.
double cellMiddle(const MomentGrid& grid, SplitAxis axis, int32_t index) {
    double low = 0, high = 0;
    cellBounds(grid, axis, index, low, high);
    return 0.5 * (low + high);
}

// The texel of an axis of `size` texels that holds `value`.
int32_t texelHolding(double value, int32_t size) {
    return std::max(0, std::min(size - 1, static_cast<int32_t>(std::floor(value * size))));
}

// For each cell of one grid along an axis, what it maps to: the cell of the next grid that holds it, or the texel.
GrowArray<int32_t> axisMap(const MomentGrid& grid, SplitAxis axis, const MomentGrid* coarser, int32_t texels) {
    GrowArray<int32_t> map;
    resize(map, axis == SplitAxis::u ? grid.width : grid.height);
    for (int32_t i = 0; i < map.count; ++i) {
        const double middle = cellMiddle(grid, axis, i);
        map[i] = coarser ? cellHolding(*coarser, axis, middle) : texelHolding(middle, texels);
    }
    return map;
}

// Weighted colour sums over the cells of one grid: weight w and w times the source texel, per cell.
struct CellSums {
    int32_t width = 0, height = 0;
    GrowArray<double> weight;
    GrowArray<double> colour;  // 4 per cell
};

void clearSums(CellSums& sums, int32_t width, int32_t height) {
    sums.width = width, sums.height = height;
    release(sums.weight), release(sums.colour);
    resize(sums.weight, width * height);
    resize(sums.colour, 4 * width * height);
    for (double& w : sums.weight) w = 0;
    for (double& c : sums.colour) c = 0;
}

// The sums of the grid above grid 0 (`coarse`), gathered straight from grid 0's cells, so that grid 0, the largest,
// never holds sums of its own: each cell weighs cellWeight(cell, x, y), (x, y) the source texel it lies in, and
// carries that texel. The threads take the coarse rows, each summing its children in row order.
template <typename CellWeight>
void sumsAboveFinest(CellSums& sums, const FloatImage& source, const MomentGrid& grid, const MomentGrid& coarse,
                     CellWeight cellWeight) {
    clearSums(sums, coarse.width, coarse.height);
    const GrowArray<int32_t> columns = axisMap(grid, SplitAxis::u, nullptr, source.width);
    const GrowArray<int32_t> rows = axisMap(grid, SplitAxis::v, nullptr, source.height);
    const GrowArray<int32_t> parentColumns = axisMap(grid, SplitAxis::u, &coarse, 0);
    const GrowArray<int32_t> parentRows = axisMap(grid, SplitAxis::v, &coarse, 0);
    GrowArray<int32_t> firstRow;  // the grid rows of coarse row p: firstRow[p] .. firstRow[p + 1] - 1
    resize(firstRow, coarse.height + 1);
    for (int32_t p = 0; p <= coarse.height; ++p) firstRow[p] = grid.height;
    for (int32_t y = grid.height - 1; y >= 0; --y) firstRow[parentRows[y]] = y;
#pragma omp parallel for schedule(dynamic, 8)
    for (int32_t p = 0; p < coarse.height; ++p) {
        for (int32_t y = firstRow[p]; y < grid.height && parentRows[y] == p; ++y) {
            for (int32_t x = 0; x < grid.width; ++x) {
                const int64_t cell = static_cast<int64_t>(y) * grid.width + x;
                const double w = cellWeight(cell, columns[x], rows[y]);
                if (w == 0) continue;
                const Texel& t = source.at(columns[x], rows[y]);
                const int64_t to = static_cast<int64_t>(p) * coarse.width + parentColumns[x];
                sums.weight.items[to] += w;
                double* colour = sums.colour.items + 4 * to;
                colour[0] += w * t.r, colour[1] += w * t.g, colour[2] += w * t.b, colour[3] += w * t.a;
            }
        }
    }
}

// Adds the sums of every cell of `fine` to the cell or texel (`columns`, `rows`) it maps to in `coarse`, a target
// row at a time.
void addSums(const CellSums& fine, const GrowArray<int32_t>& columns, const GrowArray<int32_t>& rows, CellSums& coarse) {
    for (int32_t y = 0; y < fine.height; ++y) {
        for (int32_t x = 0; x < fine.width; ++x) {
            const int64_t from = static_cast<int64_t>(y) * fine.width + x;
            if (fine.weight.items[from] == 0) continue;
            const int64_t to = static_cast<int64_t>(rows[y]) * coarse.width + columns[x];
            coarse.weight.items[to] += fine.weight.items[from];
            for (int32_t c = 0; c < 4; ++c) coarse.colour.items[4 * to + c] += fine.colour.items[4 * from + c];
        }
    }
}

// The level from the sums of its grid: each texel the weighted mean over its footprint, (0, 0, 0, 0) without weight.
void levelFromSums(FloatImage& level, const CellSums& sums, const MomentGrid& grid, int32_t width, int32_t height) {
    CellSums texels;
    clearSums(texels, width, height);
    addSums(sums, axisMap(grid, SplitAxis::u, nullptr, width), axisMap(grid, SplitAxis::v, nullptr, height), texels);
    allocateImage(level, width, height);
    for (int32_t k = 0; k < level.count; ++k) {
        const double w = texels.weight.items[k];
        const double* c = texels.colour.items + 4 * k;
        level.texels[k] = w != 0 ? Texel{static_cast<float>(c[0] / w), static_cast<float>(c[1] / w),
                                         static_cast<float>(c[2] / w), static_cast<float>(c[3] / w)}
                                 : Texel{};
    }
}

// Whether some cell of `grid` in the footprint of each texel of a width x height level holds a piece.
GrowArray<uint8_t> usedTexels(const MomentGrid& grid, int32_t width, int32_t height) {
    GrowArray<uint8_t> used;
    resize(used, width * height);
    for (uint8_t& u : used) u = 0;
    const GrowArray<int32_t> columns = axisMap(grid, SplitAxis::u, nullptr, width);
    const GrowArray<int32_t> rows = axisMap(grid, SplitAxis::v, nullptr, height);
    for (int32_t y = 0; y < grid.height; ++y) {
        for (int32_t x = 0; x < grid.width; ++x) {
            if (grid.used.items[static_cast<int64_t>(y) * grid.width + x]) used[rows[y] * width + columns[x]] = 1;
        }
    }
    return used;
}

// The texels of `fine` that `used` marks unused become the bilinear sample (wrap-around) of `coarse` at their
// centres.
void fillUnusedAtCentres(const FloatImage& coarse, FloatImage& fine, const GrowArray<uint8_t>& used) {
    auto taps = [](int32_t i, int32_t fineSize, int32_t coarseSize, int32_t index[2], double weight[2]) {
        const double position = (i + 0.5) * coarseSize / fineSize - 0.5;
        const double first = std::floor(position);
        const double t = position - first;
        index[0] = wrapIndex(static_cast<int64_t>(first), coarseSize);
        index[1] = wrapIndex(static_cast<int64_t>(first) + 1, coarseSize);
        weight[0] = 1 - t, weight[1] = t;
    };
#pragma omp parallel for schedule(dynamic, 8)
    for (int32_t y = 0; y < fine.height; ++y) {
        int32_t rows[2];
        double rowWeights[2];
        taps(y, fine.height, coarse.height, rows, rowWeights);
        for (int32_t x = 0; x < fine.width; ++x) {
            if (used[y * fine.width + x]) continue;
            int32_t columns[2];
            double columnWeights[2];
            taps(x, fine.width, coarse.width, columns, columnWeights);
            double sum[4] = {0, 0, 0, 0};
            for (int32_t j = 0; j < 2; ++j) {
                for (int32_t i = 0; i < 2; ++i) {
                    const Texel& t = coarse.at(columns[i], rows[j]);
                    const double w = columnWeights[i] * rowWeights[j];
                    sum[0] += w * t.r, sum[1] += w * t.g, sum[2] += w * t.b, sum[3] += w * t.a;
                }
            }
            fine.at(x, y) = Texel{static_cast<float>(sum[0]), static_cast<float>(sum[1]), static_cast<float>(sum[2]),
                                  static_cast<float>(sum[3])};
        }
    }
}

// Whether level j (of a source whose sides are powers of two) is a block of 2^j x 2^j source texels paired with whole
// cells of even grids: the levels the block means have always served.
bool evenBlocks(const FloatImage& source, const MomentGrid& grid, int32_t j) {
    const int64_t factor = int64_t{1} << j;
    return j < 31 && source.width % factor == 0 && source.height % factor == 0 && grid.columnBounds.count == 0 &&
           grid.rowBounds.count == 0;
}

}  // namespace

// Level 0 is the source; level j the weighted means of the source over its texels' footprints (block means for block
// side 2^j where the sides halve exactly); then levels n - 2 down to 1 have their unused texels filled from the level
// above, itself already filled. The footprints of level j come from grid base + j, cut along the texel edges of
// levels j and on (and grid `base` also along the source's).
static void buildWeightedPyramid(MipPyramid& pyramid, const FloatImage& source, const SurfaceMoments& coverage,
                                 int32_t base, int32_t levelCount, bool areaWeights) {
    resizeLevels(pyramid, levelCount);
    if (levelCount < 1) return;
    copyImage(pyramid.levels[0], source);
    const MomentGrid& baseGrid = gridAt(coverage, base);
    CellSums sums;
    int32_t sumsGrid = -1;  // the grid `sums` belongs to, once made
    for (int32_t j = 1; j < levelCount; ++j) {
        if (evenBlocks(source, baseGrid, j)) {
            if (areaWeights) areaWeightedBoxLevel(pyramid.levels[j], source, baseGrid, 1 << j);
            else usedTexelBoxLevel(pyramid.levels[j], source, baseGrid, 1 << j);
            continue;
        }
        if (sumsGrid < 0) {
            const MomentGrid& above = gridAt(coverage, base + 1);
            if (areaWeights) {
                sumsAboveFinest(sums, source, baseGrid, above,
                                [&](int64_t cell, int32_t, int32_t) { return baseGrid.area.items[cell]; });
            } else {
                // A used texel weighs the share of it that the cell covers: the product of the cell's shares of a
                // texel's width and height.
                const GrowArray<uint8_t> used = usedTexels(baseGrid, source.width, source.height);
                GrowArray<double> widths, heights;
                resize(widths, baseGrid.width);
                resize(heights, baseGrid.height);
                for (int32_t x = 0; x < baseGrid.width; ++x) {
                    double low, high;
                    cellBounds(baseGrid, SplitAxis::u, x, low, high);
                    widths[x] = (high - low) * source.width;
                }
                for (int32_t y = 0; y < baseGrid.height; ++y) {
                    double low, high;
                    cellBounds(baseGrid, SplitAxis::v, y, low, high);
                    heights[y] = (high - low) * source.height;
                }
                sumsAboveFinest(sums, source, baseGrid, above, [&](int64_t cell, int32_t x, int32_t y) {
                    if (!used[y * source.width + x]) return 0.0;
                    return widths[static_cast<int32_t>(cell % baseGrid.width)] *
                           heights[static_cast<int32_t>(cell / baseGrid.width)];
                });
            }
            sumsGrid = 1;
        }
        // Carry the sums up to grid j, then gather level j's texels from it.
        while (sumsGrid < j) {
            const MomentGrid& fine = gridAt(coverage, base + sumsGrid);
            const MomentGrid& coarse = gridAt(coverage, base + sumsGrid + 1);
            CellSums next;
            clearSums(next, coarse.width, coarse.height);
            addSums(sums, axisMap(fine, SplitAxis::u, &coarse, 0), axisMap(fine, SplitAxis::v, &coarse, 0), next);
            sums = std::move(next);
            ++sumsGrid;
        }
        levelFromSums(pyramid.levels[j], sums, gridAt(coverage, base + j), levelSide(source.width, j),
                      levelSide(source.height, j));
    }
    // A texture whose sides are unequal powers of two never filled the level where its shorter side reaches 1 from
    // the levels after it, which end its chain; that level keeps what it had.
    const bool powerOfTwoRectangle = hasPowerOfTwoSides(source) && source.width != source.height;
    const int32_t keptLevel = powerOfTwoRectangle ? levelsToShorterSideOne(source.width, source.height) - 1 : -1;
    for (int32_t k = levelCount - 1; k >= 2; --k) {
        if (k - 1 == keptLevel) continue;
        const FloatImage& coarse = pyramid.levels[k];
        FloatImage& fine = pyramid.levels[k - 1];
        const MomentGrid& grid = gridAt(coverage, base + k - 1);
        if (fine.width == 2 * coarse.width && fine.height == 2 * coarse.height && grid.columnBounds.count == 0 &&
            grid.rowBounds.count == 0) {
            fillUnusedTexels(coarse, fine, grid);
        } else {
            fillUnusedAtCentres(coarse, fine, usedTexels(grid, fine.width, fine.height));
        }
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
    request.footprints = true;
    request.width = source.width, request.height = source.height;
    buildSurfaceMoments(moments, mesh, levelCount - 1, request);
    buildUsedTexelPyramid(pyramid, source, moments, levelCount);
}

void buildKivboxPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& source, int32_t levelCount) {
    SurfaceMoments moments;
    MomentRequest request;
    request.used = request.area = true;
    request.footprints = true;
    request.width = source.width, request.height = source.height;
    buildSurfaceMoments(moments, mesh, levelCount - 1, request);
    buildAreaWeightedPyramid(pyramid, source, moments, 0, levelCount);
}
