// Surface moments on grids cut along the levels' own texel centres (or edges), for textures of any size: every
// triangle is clipped along the bounds of the finest grid in 64-bit coordinates, tile by tile in parallel, and the
// coarser grids are summed from the finer ones, each cell's moments carried into its parent's coordinates.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "filters/surface_moments.h"

namespace {

constexpr int32_t momentCount = 9;
constexpr int32_t weightedPerChannel = 4;
// Tiles are the cells of this grid (or of the coarsest one): about 64 x 64 cells of the finest grid each.
constexpr int32_t tileGridLevel = 6;

// A corner of a clipped piece: its texture point and its model-space point, both in 64-bit.
struct Corner {
    double u = 0, v = 0;
    double x = 0, y = 0, z = 0;
};

// One axis of every grid: grid g's bounds, and for each of its cells the parent cell in grid g + 1 and, for each
// cell of grid g + 1, its first child in grid g (childStart[g + 1][p] .. childStart[g + 1][p + 1]).
struct AxisGrids {
    std::vector<std::vector<double>> bounds;
    std::vector<std::vector<int32_t>> parent;
    std::vector<std::vector<int32_t>> childStart;
};

// The bounds of every grid 0 .. L along an axis of `size` texels: grid g holds 0, 1 and the points of the levels
// g .. lastLevel (texel centres, or inner texel edges with `edges`).
AxisGrids axisGrids(int32_t size, int32_t L, int32_t lastLevel, bool edges) {
    AxisGrids axis;
    axis.bounds.resize(static_cast<size_t>(L) + 1);
    std::vector<double> points = {0.0, 1.0};
    for (int32_t g = L; g >= 0; --g) {
        if (g <= lastLevel) {
            const int32_t n = levelSide(size, g);
            for (int32_t i = edges ? 1 : 0; i < n; ++i) {
                // Equal fractions give equal doubles: each is one correctly rounded division of exact values.
                points.push_back(edges ? static_cast<double>(i) / n : (i + 0.5) / n);
            }
            std::sort(points.begin(), points.end());
            points.erase(std::unique(points.begin(), points.end()), points.end());
        }
        axis.bounds[static_cast<size_t>(g)] = points;
    }
    axis.parent.resize(static_cast<size_t>(L) + 1);
    axis.childStart.resize(static_cast<size_t>(L) + 1);
    for (int32_t g = 0; g < L; ++g) {
        const std::vector<double>& fine = axis.bounds[static_cast<size_t>(g)];
        const std::vector<double>& coarse = axis.bounds[static_cast<size_t>(g) + 1];
        std::vector<int32_t>& parent = axis.parent[static_cast<size_t>(g)];
        std::vector<int32_t>& start = axis.childStart[static_cast<size_t>(g) + 1];
        const int32_t cells = static_cast<int32_t>(fine.size()) - 1, parents = static_cast<int32_t>(coarse.size()) - 1;
        parent.resize(static_cast<size_t>(cells));
        start.assign(static_cast<size_t>(parents) + 1, cells);
        int32_t p = 0;
        for (int32_t x = 0; x < cells; ++x) {
            while (p + 1 < parents && coarse[static_cast<size_t>(p) + 1] <= fine[static_cast<size_t>(x)]) ++p;
            parent[static_cast<size_t>(x)] = p;
            if (start[static_cast<size_t>(p)] == cells) start[static_cast<size_t>(p)] = x;
        }
        start[static_cast<size_t>(parents)] = cells;
    }
    return axis;
}

int32_t cellCount(const AxisGrids& axis, int32_t g) {
    return static_cast<int32_t>(axis.bounds[static_cast<size_t>(g)].size()) - 1;
}

// The cell of grid g along the axis that holds `value`; values beyond the square stay with the border cells.
int32_t cellOf(const AxisGrids& axis, int32_t g, double value) {
    const std::vector<double>& bounds = axis.bounds[static_cast<size_t>(g)];
    const int32_t cells = static_cast<int32_t>(bounds.size()) - 1;
    if (!(value >= bounds[1])) return 0;  // NaN included
    const auto it = std::upper_bound(bounds.begin(), bounds.end(), value);
    return std::min(cells - 1, static_cast<int32_t>(it - bounds.begin()) - 1);
}

// A grid's values in 64-bit while they are summed: 1 or 0 per cell for `used`, the area, 9 moments and 4 weighted
// moments per channel, each in the cell's own coordinates.
struct Layer {
    int32_t width = 0, height = 0;
    std::vector<uint8_t> used;
    std::vector<double> area, moments, weighted;
};

void clearLayer(Layer& layer, int32_t width, int32_t height, const MomentRequest& request, int32_t stride) {
    layer.width = width, layer.height = height;
    const size_t cells = static_cast<size_t>(width) * static_cast<size_t>(height);
    layer.used.assign(request.used ? cells : 0, 0);
    layer.area.assign(request.area ? cells : 0, 0.0);
    layer.moments.assign(request.moments || request.texture ? momentCount * cells : 0, 0.0);
    layer.weighted.assign(static_cast<size_t>(stride) * cells, 0.0);
}

// The powers of the parent coordinate U = t + d s as polynomials in the child's s: row a holds the coefficients of
// U^a (a = 0 .. 2).
struct AxisShift {
    double power[3][3] = {};
};

AxisShift axisShift(const AxisGrids& axis, int32_t g, int32_t child, int32_t parent) {
    const std::vector<double>& fine = axis.bounds[static_cast<size_t>(g)];
    const std::vector<double>& coarse = axis.bounds[static_cast<size_t>(g) + 1];
    const double low = coarse[static_cast<size_t>(parent)], span = coarse[static_cast<size_t>(parent) + 1] - low;
    const double t = (fine[static_cast<size_t>(child)] - low) / span;
    const double d = (fine[static_cast<size_t>(child) + 1] - fine[static_cast<size_t>(child)]) / span;
    AxisShift shift;
    shift.power[0][0] = 1;
    shift.power[1][0] = t, shift.power[1][1] = d;
    shift.power[2][0] = t * t, shift.power[2][1] = 2 * t * d, shift.power[2][2] = d * d;
    return shift;
}

// Adds child cell (cx, cy) of `fine` (grid g) to its parent (px, py) of `coarse` (grid g + 1), its moments moved
// into the parent's coordinates.
void addChild(const AxisGrids& columns, const AxisGrids& rows, int32_t g, const Layer& fine, int64_t child, int32_t cx,
              int32_t cy, Layer& coarse, int64_t parent, int32_t px, int32_t py, int32_t channels) {
    if (!fine.used.empty()) coarse.used[static_cast<size_t>(parent)] |= fine.used[static_cast<size_t>(child)];
    if (!fine.area.empty()) coarse.area[static_cast<size_t>(parent)] += fine.area[static_cast<size_t>(child)];
    const bool hasMoments = !fine.moments.empty(), hasWeighted = channels > 0;
    if (!hasMoments && !hasWeighted) return;
    const double* m = hasMoments ? fine.moments.data() + momentCount * child : nullptr;
    // No area: every moment, weighted or not, is 0 (areas are never negative).
    if (m && m[0] == 0.0) return;
    const AxisShift su = axisShift(columns, g, cx, px), sv = axisShift(rows, g, cy, py);
    if (hasMoments) {
        double* out = coarse.moments.data() + momentCount * parent;
        for (int32_t b = 0; b < 3; ++b) {
            for (int32_t a = 0; a < 3; ++a) {
                double sum = 0;
                for (int32_t j = 0; j <= b; ++j) {
                    for (int32_t i = 0; i <= a; ++i) sum += su.power[a][i] * sv.power[b][j] * m[3 * j + i];
                }
                out[3 * b + a] += sum;
            }
        }
    }
    for (int32_t c = 0; c < channels; ++c) {
        const double* w = fine.weighted.data() + (weightedPerChannel * channels) * child + weightedPerChannel * c;
        double* out = coarse.weighted.data() + (weightedPerChannel * channels) * parent + weightedPerChannel * c;
        for (int32_t b = 0; b < 2; ++b) {
            for (int32_t a = 0; a < 2; ++a) {
                double sum = 0;
                for (int32_t j = 0; j <= b; ++j) {
                    for (int32_t i = 0; i <= a; ++i) sum += su.power[a][i] * sv.power[b][j] * w[2 * j + i];
                }
                out[2 * b + a] += sum;
            }
        }
    }
}

// Everything the threads read.
struct Plan {
    const Mesh* mesh = nullptr;
    const double* weights = nullptr;  // what each triangle's pieces carry, times their own; none: 1 for all
    const MomentRequest* request = nullptr;
    SurfaceMoments* out = nullptr;
    AxisGrids columns, rows;
    int32_t finest = 0;
    int32_t tileGrid = 0;
    int32_t channels = 0;
    std::vector<int32_t> tileStart, tileTriangles;
    Layer top;  // grid tileGrid in 64-bit, filled tile by tile
    // With a texture: its two tents on each column and each row of grid 0, tents[2 x + e].
    std::vector<TentFactor> textureColumns, textureRows;
};

int32_t strideOf(const Plan& plan) { return weightedPerChannel * plan.channels; }

// Splits `piece` at the line where coordinate `axis` (0: u, 1: v) equals `line`: points below it go to `low`, the
// others to `high`, and each edge that crosses it adds its crossing point to both.
void splitAt(const std::vector<Corner>& piece, int32_t axis, double line, std::vector<Corner>& low,
             std::vector<Corner>& high) {
    low.clear(), high.clear();
    const size_t k = piece.size();
    if (k == 0) return;
    auto coordinate = [axis](const Corner& c) { return axis == 0 ? c.u : c.v; };
    size_t p = k - 1;
    bool pLow = coordinate(piece[p]) < line;
    for (size_t c = 0; c < k; p = c, ++c) {
        const bool cLow = coordinate(piece[c]) < line;
        if (pLow != cLow) {
            const Corner& a = piece[p];
            const Corner& b = piece[c];
            double t = (line - coordinate(a)) / (coordinate(b) - coordinate(a));
            if (!(t >= 0 && t <= 1)) t = 0.5;
            Corner x;
            x.u = axis == 0 ? line : a.u + (b.u - a.u) * t;
            x.v = axis == 1 ? line : a.v + (b.v - a.v) * t;
            x.x = a.x + (b.x - a.x) * t, x.y = a.y + (b.y - a.y) * t, x.z = a.z + (b.z - a.z) * t;
            low.push_back(x);
            high.push_back(x);
        }
        (cLow ? low : high).push_back(piece[c]);
        pLow = cLow;
    }
}

// Drops each corner equal to the one before it (cyclically); what is left has 3 or more corners or is no piece.
void dropRepeats(std::vector<Corner>& piece) {
    size_t kept = 0;
    for (size_t i = 0; i < piece.size(); ++i) {
        if (kept > 0 && piece[i].u == piece[kept - 1].u && piece[i].v == piece[kept - 1].v &&
            piece[i].x == piece[kept - 1].x && piece[i].y == piece[kept - 1].y && piece[i].z == piece[kept - 1].z) {
            continue;
        }
        piece[kept++] = piece[i];
    }
    piece.resize(kept);
    while (piece.size() > 1) {
        const Corner &a = piece.front(), &b = piece.back();
        if (a.u == b.u && a.v == b.v && a.x == b.x && a.y == b.y && a.z == b.z) piece.pop_back();
        else break;
    }
}

double fanArea(const Corner& a, const Corner& b, const Corner& c) {
    const double bx = b.x - a.x, by = b.y - a.y, bz = b.z - a.z;
    const double cx = c.x - a.x, cy = c.y - a.y, cz = c.z - a.z;
    const double nx = by * cz - bz * cy, ny = bz * cx - bx * cz, nz = bx * cy - by * cx;
    return 0.5 * std::sqrt(nx * nx + ny * ny + nz * nz);
}

// One thread's storage, reused from tile to tile: the tile's cells of every grid up to the tile grid, and the
// pieces being cut.
struct Scratch {
    std::vector<Layer> layers;
    std::vector<int32_t> x0, x1, y0, y1;  // per grid, the tile's cells [x0, x1) x [y0, y1)
    std::vector<Corner> triangle, rest, low, high, column, rowRest, rowLow, rowHigh;
};

// Records the piece in cell (x, y) of grid 0 into the tile's layer 0.
void recordPiece(const Plan& plan, Scratch& scratch, const std::vector<Corner>& piece, double weight, int32_t x,
                 int32_t y) {
    const MomentRequest& request = *plan.request;
    Layer& layer = scratch.layers[0];
    const int64_t local = static_cast<int64_t>(y - scratch.y0[0]) * layer.width + (x - scratch.x0[0]);
    if (request.used) layer.used[static_cast<size_t>(local)] = 1;
    double area = 0;
    const bool wantMoments = !layer.moments.empty();
    double m[momentCount] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<double>& ub = plan.columns.bounds[0];
    const std::vector<double>& vb = plan.rows.bounds[0];
    const double u0 = ub[static_cast<size_t>(x)], du = ub[static_cast<size_t>(x) + 1] - u0;
    const double v0 = vb[static_cast<size_t>(y)], dv = vb[static_cast<size_t>(y) + 1] - v0;
    auto local2 = [&](const Corner& c) { return LocalPoint{(c.u - u0) / du, (c.v - v0) / dv}; };
    const LocalPoint p0 = local2(piece[0]);
    for (size_t j = 1; j + 1 < piece.size(); ++j) {
        const double a = weight * fanArea(piece[0], piece[j], piece[j + 1]);
        area += a;
        if (!wantMoments) continue;
        double mean[momentCount];
        triangleMonomialMeans(p0, local2(piece[j]), local2(piece[j + 1]), mean);
        for (int32_t e = 0; e < momentCount; ++e) m[e] += a * mean[e];
    }
    if (request.area) layer.area[static_cast<size_t>(local)] += area;
    if (!wantMoments) return;
    double* out = layer.moments.data() + momentCount * local;
    for (int32_t e = 0; e < momentCount; ++e) out[e] += m[e];
    if (plan.channels == 0) return;
    // The texture's reconstruction on the cell, bilinear between the four texels whose tents reach it.
    const FloatImage& texture = *request.texture;
    const TentFactor* columns = plan.textureColumns.data() + 2 * static_cast<size_t>(x);
    const TentFactor* rows = plan.textureRows.data() + 2 * static_cast<size_t>(y);
    const int32_t stride = strideOf(plan);
    for (int32_t c = 0; c < plan.channels; ++c) {
        double f[4];
        cellReconstruction(texture, columns, rows, c, f);
        double* w = layer.weighted.data() + stride * local + weightedPerChannel * c;
        for (int32_t b = 0; b < 2; ++b) {
            for (int32_t a = 0; a < 2; ++a) {
                w[2 * b + a] += f[0] * m[3 * b + a] + f[1] * m[3 * b + a + 1] + f[2] * m[3 * (b + 1) + a] +
                                f[3] * m[3 * (b + 1) + a + 1];
            }
        }
    }
}

// Cuts `piece` along the bounds of grid 0 between cells first and last of `axis`, handing each part with its cell
// to `each`. `rest`, `low` and `high` are working storage.
template <typename Each>
void cutAlong(std::vector<Corner>& piece, int32_t axis, const std::vector<double>& bounds, int32_t first, int32_t last,
              std::vector<Corner>& rest, std::vector<Corner>& low, std::vector<Corner>& high, Each each) {
    rest = piece;
    for (int32_t cell = first; cell < last; ++cell) {
        splitAt(rest, axis, bounds[static_cast<size_t>(cell) + 1], low, high);
        dropRepeats(low);
        if (low.size() >= 3) each(low, cell);
        std::swap(rest, high);
        dropRepeats(rest);
        if (rest.size() < 3) return;
    }
    each(rest, last);
}

void walkTile(Plan& plan, Scratch& scratch, int32_t tx, int32_t ty) {
    const MomentRequest& request = *plan.request;
    const int32_t T = plan.tileGrid, stride = strideOf(plan);
    scratch.x0[static_cast<size_t>(T)] = tx, scratch.x1[static_cast<size_t>(T)] = tx + 1;
    scratch.y0[static_cast<size_t>(T)] = ty, scratch.y1[static_cast<size_t>(T)] = ty + 1;
    for (int32_t g = T - 1; g >= 0; --g) {
        const size_t G = static_cast<size_t>(g);
        scratch.x0[G] = plan.columns.childStart[G + 1][static_cast<size_t>(scratch.x0[G + 1])];
        scratch.x1[G] = plan.columns.childStart[G + 1][static_cast<size_t>(scratch.x1[G + 1])];
        scratch.y0[G] = plan.rows.childStart[G + 1][static_cast<size_t>(scratch.y0[G + 1])];
        scratch.y1[G] = plan.rows.childStart[G + 1][static_cast<size_t>(scratch.y1[G + 1])];
    }
    for (int32_t g = 0; g <= T; ++g) {
        const size_t G = static_cast<size_t>(g);
        clearLayer(scratch.layers[G], scratch.x1[G] - scratch.x0[G], scratch.y1[G] - scratch.y0[G], request, stride);
    }

    const Mesh& mesh = *plan.mesh;
    const int32_t tile = ty * cellCount(plan.columns, T) + tx;
    const std::vector<double>& ub = plan.columns.bounds[0];
    const std::vector<double>& vb = plan.rows.bounds[0];
    const std::vector<double>& tileU = plan.columns.bounds[static_cast<size_t>(T)];
    const std::vector<double>& tileV = plan.rows.bounds[static_cast<size_t>(T)];
    const int32_t lastColumn = cellCount(plan.columns, T) - 1, lastRow = cellCount(plan.rows, T) - 1;
    const int32_t firstTriangle = plan.tileStart[static_cast<size_t>(tile)];
    const int32_t lastTriangle = plan.tileStart[static_cast<size_t>(tile) + 1];
    for (int32_t k = firstTriangle; k < lastTriangle; ++k) {
        const int32_t index = plan.tileTriangles[static_cast<size_t>(k)];
        const MeshTriangle& t = mesh.triangles.items[index];
        scratch.triangle.clear();
        for (int c = 0; c < 3; ++c) {
            const TexPoint& q = mesh.texCoords.items[t.texCoordIndex[c]];
            const Point3& p = mesh.positions.items[t.positionIndex[c]];
            scratch.triangle.push_back(Corner{q.u, q.v, p.x, p.y, p.z});
        }
        const double weight = plan.weights ? plan.weights[index] : 1.0;
        // The part of the triangle in the tile; parts beyond the square stay with the border tiles.
        std::vector<Corner>& piece = scratch.triangle;
        const double bounds[4] = {tileU[static_cast<size_t>(tx)], tileU[static_cast<size_t>(tx) + 1],
                                  tileV[static_cast<size_t>(ty)], tileV[static_cast<size_t>(ty) + 1]};
        const bool clip[4] = {tx > 0, tx < lastColumn, ty > 0, ty < lastRow};
        for (int32_t side = 0; side < 4 && piece.size() >= 3; ++side) {
            if (!clip[side]) continue;
            splitAt(piece, side / 2, bounds[side], scratch.low, scratch.high);
            piece.swap(side % 2 == 0 ? scratch.high : scratch.low);
            dropRepeats(piece);
        }
        if (piece.size() < 3) continue;
        double uLow = piece[0].u, uHigh = uLow, vLow = piece[0].v, vHigh = vLow;
        for (const Corner& c : piece) {
            uLow = std::min(uLow, c.u), uHigh = std::max(uHigh, c.u);
            vLow = std::min(vLow, c.v), vHigh = std::max(vHigh, c.v);
        }
        const int32_t c0 = std::max(scratch.x0[0], cellOf(plan.columns, 0, uLow));
        const int32_t c1 = std::min(scratch.x1[0] - 1, cellOf(plan.columns, 0, uHigh));
        const int32_t r0 = std::max(scratch.y0[0], cellOf(plan.rows, 0, vLow));
        const int32_t r1 = std::min(scratch.y1[0] - 1, cellOf(plan.rows, 0, vHigh));
        cutAlong(piece, 0, ub, c0, c1, scratch.rest, scratch.low, scratch.high,
                 [&](std::vector<Corner>& column, int32_t x) {
                     scratch.column = column;
                     cutAlong(scratch.column, 1, vb, r0, r1, scratch.rowRest, scratch.rowLow, scratch.rowHigh,
                              [&](std::vector<Corner>& cell, int32_t y) {
                                  recordPiece(plan, scratch, cell, weight, x, y);
                              });
                 });
    }

    // The coarser grids of the tile, child by child in row order.
    for (int32_t g = 0; g < T; ++g) {
        const size_t G = static_cast<size_t>(g);
        const Layer& fine = scratch.layers[G];
        Layer& coarse = scratch.layers[G + 1];
        for (int32_t y = scratch.y0[G]; y < scratch.y1[G]; ++y) {
            const int32_t py = plan.rows.parent[G][static_cast<size_t>(y)];
            for (int32_t x = scratch.x0[G]; x < scratch.x1[G]; ++x) {
                const int32_t px = plan.columns.parent[G][static_cast<size_t>(x)];
                const int64_t child = static_cast<int64_t>(y - scratch.y0[G]) * fine.width + (x - scratch.x0[G]);
                const int64_t parent =
                    static_cast<int64_t>(py - scratch.y0[G + 1]) * coarse.width + (px - scratch.x0[G + 1]);
                addChild(plan.columns, plan.rows, g, fine, child, x, y, coarse, parent, px, py, plan.channels);
            }
        }
    }
    // Stores the tile's cells of the grids asked for, and its cell of the tile grid for the grids above.
    for (int32_t g = std::max(0, request.firstGrid); g <= T; ++g) {
        const size_t G = static_cast<size_t>(g);
        const Layer& layer = scratch.layers[G];
        MomentGrid& grid = plan.out->grids.items[g];
        for (int32_t y = 0; y < layer.height; ++y) {
            for (int32_t x = 0; x < layer.width; ++x) {
                const size_t local = static_cast<size_t>(y) * static_cast<size_t>(layer.width) + static_cast<size_t>(x);
                const int64_t cell = static_cast<int64_t>(scratch.y0[G] + y) * grid.width + scratch.x0[G] + x;
                if (request.used) grid.used.items[cell] = layer.used[local];
                if (request.area) grid.area.items[cell] = layer.area[local];
                if (request.moments) {
                    for (int32_t e = 0; e < momentCount; ++e) {
                        grid.moments.items[momentCount * cell + e] =
                            static_cast<float>(layer.moments[momentCount * local + e]);
                    }
                }
                if (plan.channels > 0 && g >= 1) {
                    for (int32_t e = 0; e < stride; ++e) {
                        grid.weighted.items[stride * cell + e] =
                            static_cast<float>(layer.weighted[static_cast<size_t>(stride) * local + e]);
                    }
                }
            }
        }
    }
    const Layer& tileLayer = scratch.layers[static_cast<size_t>(T)];
    const size_t cell = static_cast<size_t>(tile);
    if (request.used) plan.top.used[cell] = tileLayer.used[0];
    if (request.area) plan.top.area[cell] = tileLayer.area[0];
    if (!tileLayer.moments.empty()) {
        std::copy(tileLayer.moments.begin(), tileLayer.moments.begin() + momentCount,
                  plan.top.moments.begin() + static_cast<std::ptrdiff_t>(momentCount * cell));
    }
    std::copy(tileLayer.weighted.begin(), tileLayer.weighted.begin() + stride,
              plan.top.weighted.begin() + static_cast<std::ptrdiff_t>(static_cast<size_t>(stride) * cell));
}

// Lists each triangle under every tile its texture-space bounding box reaches, in the model's order.
void bucketTriangles(Plan& plan) {
    const Mesh& mesh = *plan.mesh;
    const int32_t T = plan.tileGrid, across = cellCount(plan.columns, T), down = cellCount(plan.rows, T);
    const size_t tiles = static_cast<size_t>(across) * static_cast<size_t>(down);
    std::vector<int64_t> counts(tiles + 1, 0);
    auto forEachTile = [&](const MeshTriangle& t, auto action) {
        double uLow = 0, uHigh = 0, vLow = 0, vHigh = 0;
        for (int c = 0; c < 3; ++c) {
            const int32_t p = t.positionIndex[c], q = t.texCoordIndex[c];
            if (q < 0 || q >= mesh.texCoords.count || p < 0 || p >= mesh.positions.count) return;
            const TexPoint& point = mesh.texCoords.items[q];
            if (c == 0 || point.u < uLow) uLow = point.u;
            if (c == 0 || point.u > uHigh) uHigh = point.u;
            if (c == 0 || point.v < vLow) vLow = point.v;
            if (c == 0 || point.v > vHigh) vHigh = point.v;
        }
        const int32_t x0 = cellOf(plan.columns, T, uLow), x1 = cellOf(plan.columns, T, uHigh);
        const int32_t y0 = cellOf(plan.rows, T, vLow), y1 = cellOf(plan.rows, T, vHigh);
        for (int32_t y = y0; y <= y1; ++y) {
            for (int32_t x = x0; x <= x1; ++x) {
                action(static_cast<size_t>(y) * static_cast<size_t>(across) + static_cast<size_t>(x));
            }
        }
    };
    for (const MeshTriangle& t : mesh.triangles) forEachTile(t, [&](size_t tile) { ++counts[tile + 1]; });
    for (size_t tile = 0; tile < tiles; ++tile) counts[tile + 1] += counts[tile];
    if (counts[tiles] > std::numeric_limits<int32_t>::max()) throw std::bad_alloc();
    plan.tileStart.assign(counts.begin(), counts.end());
    plan.tileTriangles.assign(static_cast<size_t>(counts[tiles]), 0);
    std::vector<int32_t> next(plan.tileStart.begin(), plan.tileStart.end() - 1);
    for (int32_t index = 0; index < mesh.triangles.count; ++index) {
        forEachTile(mesh.triangles.items[index],
                    [&](size_t tile) { plan.tileTriangles[static_cast<size_t>(next[tile]++)] = index; });
    }
}

// Gives the array `count` items whose values are not set: the walk writes every cell of every grid, each tile the
// cells below it (so that their memory is first touched by the thread that fills it), the grids above the tiles
// whole.
template <typename T>
void allocateCells(GrowArray<T>& array, int64_t count) {
    if (count > std::numeric_limits<int32_t>::max()) throw std::bad_alloc();
    release(array);
    resize(array, static_cast<int32_t>(count));
}

void copyBounds(GrowArray<double>& to, const std::vector<double>& from) {
    release(to);
    resize(to, static_cast<int32_t>(from.size()));
    std::copy(from.begin(), from.end(), to.items);
}

// Writes layer values into grid g of the result (the grids asked for only).
void storeLayer(const Layer& layer, const MomentRequest& request, int32_t channels, int32_t g, MomentGrid& grid) {
    if (g < request.firstGrid) return;
    const size_t cells = static_cast<size_t>(layer.width) * static_cast<size_t>(layer.height);
    if (request.used) std::copy(layer.used.begin(), layer.used.end(), grid.used.items);
    if (request.area) std::copy(layer.area.begin(), layer.area.end(), grid.area.items);
    if (request.moments) {
        for (size_t e = 0; e < momentCount * cells; ++e) grid.moments.items[e] = static_cast<float>(layer.moments[e]);
    }
    if (channels > 0 && g >= 1) {
        for (size_t e = 0; e < layer.weighted.size(); ++e) {
            grid.weighted.items[e] = static_cast<float>(layer.weighted[e]);
        }
    }
}

// Sums grid g into grid g + 1, whole grids, the parents' rows shared out among the threads.
void coarsenLayer(const AxisGrids& columns, const AxisGrids& rows, int32_t g, const Layer& fine, Layer& coarse,
                  int32_t channels) {
    const size_t G = static_cast<size_t>(g);
#pragma omp parallel for schedule(dynamic, 4) if (static_cast<int64_t>(fine.width) * fine.height > 65536)
    for (int32_t py = 0; py < coarse.height; ++py) {
        const int32_t firstRow = rows.childStart[G + 1][static_cast<size_t>(py)];
        const int32_t lastRow = rows.childStart[G + 1][static_cast<size_t>(py) + 1];
        for (int32_t y = firstRow; y < lastRow; ++y) {
            for (int32_t x = 0; x < fine.width; ++x) {
                const int32_t px = columns.parent[G][static_cast<size_t>(x)];
                addChild(columns, rows, g, fine, static_cast<int64_t>(y) * fine.width + x, x, y, coarse,
                         static_cast<int64_t>(py) * coarse.width + px, px, py, channels);
            }
        }
    }
}

}  // namespace

void buildBoundedMoments(SurfaceMoments& result, const Mesh& mesh, int32_t finestLevel, const MomentRequest& request) {
    releaseSurfaceMoments(result);
    if (finestLevel < 0) return;
    // A grid per level and one above them: a side of 2^31 texels at most has 32 levels.
    if (finestLevel > 32) throw std::bad_alloc();
    const int32_t L = finestLevel;
    const bool weighted = request.texture != nullptr;
    const int32_t width = weighted ? request.texture->width : request.width;
    const int32_t height = weighted ? request.texture->height : request.height;
    if (width <= 0 || height <= 0) return;

    Plan plan;
    // Triangles laid on the same texture points are walked once, so that overlaid copies cost one walk.
    Mesh overlaidOnce;
    GrowArray<double> weights;
    const bool merged = mergeOverlaidTriangles(mesh, overlaidOnce, weights);
    plan.mesh = merged ? &overlaidOnce : &mesh;
    plan.weights = merged ? weights.items : nullptr;
    plan.request = &request;
    plan.out = &result;
    plan.finest = L;
    plan.channels = weighted ? (request.texture->hasAlpha ? 4 : 3) : 0;
    result.channelCount = plan.channels;
    const int32_t lastLevel = request.footprints ? L : L - 1;
    plan.columns = axisGrids(width, L, lastLevel, request.footprints);
    plan.rows = axisGrids(height, L, lastLevel, request.footprints);
    plan.tileGrid = std::min(L, tileGridLevel);
    const int32_t stride = strideOf(plan);

    resize(result.grids, L + 1);
    for (int32_t g = 0; g <= L; ++g) {
        MomentGrid& grid = result.grids.items[g];
        grid.width = cellCount(plan.columns, g);
        grid.height = cellCount(plan.rows, g);
        copyBounds(grid.columnBounds, plan.columns.bounds[static_cast<size_t>(g)]);
        copyBounds(grid.rowBounds, plan.rows.bounds[static_cast<size_t>(g)]);
        if (g < request.firstGrid) continue;
        const int64_t cells = static_cast<int64_t>(grid.width) * grid.height;
        if (request.used) allocateCells(grid.used, cells);
        if (request.area) allocateCells(grid.area, cells);
        if (request.moments) allocateCells(grid.moments, momentCount * cells);
        if (weighted && g >= 1) allocateCells(grid.weighted, stride * cells);
    }
    if (weighted) {
        const MomentGrid& grid0 = result.grids.items[0];
        plan.textureColumns.resize(2 * static_cast<size_t>(grid0.width));
        plan.textureRows.resize(2 * static_cast<size_t>(grid0.height));
        for (int32_t x = 0; x < grid0.width; ++x) {
            for (int32_t e = 0; e < 2; ++e) {
                plan.textureColumns[2 * static_cast<size_t>(x) + e] = gridCellTent(grid0, SplitAxis::u, x, e, width);
            }
        }
        for (int32_t y = 0; y < grid0.height; ++y) {
            for (int32_t e = 0; e < 2; ++e) {
                plan.textureRows[2 * static_cast<size_t>(y) + e] = gridCellTent(grid0, SplitAxis::v, y, e, height);
            }
        }
    }

    bucketTriangles(plan);
    const int32_t T = plan.tileGrid, across = cellCount(plan.columns, T), down = cellCount(plan.rows, T);
    clearLayer(plan.top, across, down, request, stride);
    std::atomic<bool> outOfMemory(false);
#pragma omp parallel if (static_cast<int64_t>(across) * down > 1)
    {
        Scratch scratch;
        scratch.layers.resize(static_cast<size_t>(T) + 1);
        scratch.x0.resize(static_cast<size_t>(T) + 1), scratch.x1.resize(static_cast<size_t>(T) + 1);
        scratch.y0.resize(static_cast<size_t>(T) + 1), scratch.y1.resize(static_cast<size_t>(T) + 1);
#pragma omp for schedule(dynamic, 1)
        for (int32_t tile = 0; tile < across * down; ++tile) {
            if (outOfMemory) continue;
            try {
                walkTile(plan, scratch, tile % across, tile / across);
            } catch (const std::bad_alloc&) {
                outOfMemory = true;
            }
        }
    }
    if (outOfMemory) throw std::bad_alloc();

    // The grids above the tiles, each summed from the one below.
    Layer fine = std::move(plan.top), coarse;
    for (int32_t g = T; g < L; ++g) {
        clearLayer(coarse, cellCount(plan.columns, g + 1), cellCount(plan.rows, g + 1), request, stride);
        coarsenLayer(plan.columns, plan.rows, g, fine, coarse, plan.channels);
        storeLayer(coarse, request, plan.channels, g + 1, result.grids.items[g + 1]);
        std::swap(fine, coarse);
    }
}

void extendToChainEnd(SurfaceMoments& result, int32_t finestLevel, const MomentRequest& request, int32_t firstGrid) {
    const int32_t L = finestLevel;
    if (firstGrid < 1 || firstGrid > L || firstGrid - 1 < request.firstGrid) return;
    const bool weighted = request.texture != nullptr;
    const int32_t width = weighted ? request.texture->width : request.width;
    const int32_t height = weighted ? request.texture->height : request.height;
    const int32_t lastLevel = request.footprints ? L : L - 1;
    const AxisGrids columns = axisGrids(width, L, lastLevel, request.footprints);
    const AxisGrids rows = axisGrids(height, L, lastLevel, request.footprints);
    const int32_t channels = result.channelCount, stride = weightedPerChannel * channels;
    // The grid the tails are summed from has even cells that the tails' bounds nest in.
    const MomentGrid& source = result.grids.items[firstGrid - 1];
    Layer fine;
    fine.width = source.width, fine.height = source.height;
    if (fine.width != cellCount(columns, firstGrid - 1) || fine.height != cellCount(rows, firstGrid - 1)) return;
    fine.used.assign(source.used.begin(), source.used.end());
    fine.area.assign(source.area.begin(), source.area.end());
    fine.moments.assign(source.moments.begin(), source.moments.end());
    fine.weighted.assign(source.weighted.begin(), source.weighted.end());
    const int32_t fineChannels = fine.weighted.empty() ? 0 : channels;
    Layer coarse;
    for (int32_t g = firstGrid - 1; g < L; ++g) {
        MomentGrid& grid = result.grids.items[g + 1];
        releaseMomentGrid(grid);
        grid.width = cellCount(columns, g + 1);
        grid.height = cellCount(rows, g + 1);
        copyBounds(grid.columnBounds, columns.bounds[static_cast<size_t>(g) + 1]);
        copyBounds(grid.rowBounds, rows.bounds[static_cast<size_t>(g) + 1]);
        const int64_t cells = static_cast<int64_t>(grid.width) * grid.height;
        if (request.used) allocateCells(grid.used, cells);
        if (request.area) allocateCells(grid.area, cells);
        if (request.moments) allocateCells(grid.moments, momentCount * cells);
        if (fineChannels > 0) allocateCells(grid.weighted, stride * cells);
        coarse.width = grid.width, coarse.height = grid.height;
        const size_t count = static_cast<size_t>(cells);
        coarse.used.assign(fine.used.empty() ? 0 : count, 0);
        coarse.area.assign(fine.area.empty() ? 0 : count, 0.0);
        coarse.moments.assign(fine.moments.empty() ? 0 : momentCount * count, 0.0);
        coarse.weighted.assign(static_cast<size_t>(fineChannels) * weightedPerChannel * count, 0.0);
        coarsenLayer(columns, rows, g, fine, coarse, fineChannels);
        storeLayer(coarse, request, fineChannels, g + 1, grid);
        std::swap(fine, coarse);
    }
}

void cellBounds(const MomentGrid& grid, SplitAxis axis, int32_t index, double& low, double& high) {
    const GrowArray<double>& bounds = axis == SplitAxis::u ? grid.columnBounds : grid.rowBounds;
    if (bounds.count > 0) {
        low = bounds.items[index];
        high = bounds.items[index + 1];
        return;
    }
    const int32_t cells = axis == SplitAxis::u ? grid.width : grid.height;
    low = static_cast<double>(index) / cells;
    high = static_cast<double>(index + 1) / cells;
}

TentFactor gridCellTent(const MomentGrid& grid, SplitAxis axis, int32_t index, int32_t e, int32_t size) {
    const GrowArray<double>& bounds = axis == SplitAxis::u ? grid.columnBounds : grid.rowBounds;
    const int32_t cells = axis == SplitAxis::u ? grid.width : grid.height;
    if (bounds.count == 0 && cells % (2 * size) == 0) return cellTent(index, cells / (2 * size), e, size);
    if (size == 1) {
        // One texel: its tent wraps onto itself and is 1 everywhere.
        return TentFactor{0, e == 0 ? 1.0 : 0.0, 0.0};
    }
    double low = 0, high = 0;
    cellBounds(grid, axis, index, low, high);
    // The texel whose centre is the last at or below the cell (-1 before the first centre, wrapped), found from the
    // cell's middle, which lies strictly between two centres.
    const int64_t below = static_cast<int64_t>(std::floor((low + high) * 0.5 * size - 0.5));
    const double centre = (static_cast<double>(below) + 0.5) / size;
    const double from = (low - centre) * size, slope = (high - low) * size;
    TentFactor tent;
    tent.texel = static_cast<int32_t>(((below + e) % size + size) % size);
    tent.offset = e == 0 ? 1.0 - from : from;
    tent.slope = e == 0 ? -slope : slope;
    return tent;
}
