// Cutting every triangle along the texel boundaries of each level, so that every texel knows the
// exact part of the model's surface that the texture lays on it.
#include "mesh/texel_coverage.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <unordered_map>
#include <vector>

static void appendVertex(SurfacePiece& piece, const TexPoint& texPoint, const Point3& surfacePoint) {
    append(piece.texPoints, texPoint);
    append(piece.surfacePoints, surfacePoint);
}

static void removeVertex(SurfacePiece& piece, int32_t index) {
    for (int32_t i = index; i + 1 < piece.texPoints.count; ++i) {
        piece.texPoints.items[i] = piece.texPoints.items[i + 1];
        piece.surfacePoints.items[i] = piece.surfacePoints.items[i + 1];
    }
    --piece.texPoints.count;
    --piece.surfacePoints.count;
}

static bool samePoint(const Point3& a, const Point3& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

void dropRepeatedVertices(SurfacePiece& piece) {
    int32_t i = 0;
    while (i < piece.surfacePoints.count) {
        const int32_t j = (i + 1) % piece.surfacePoints.count;
        if (samePoint(piece.surfacePoints.items[i], piece.surfacePoints.items[j])) {
            removeVertex(piece, j);
        } else {
            ++i;
        }
    }
}

static float& axisCoordinate(TexPoint& point, SplitAxis axis) { return axis == SplitAxis::u ? point.u : point.v; }
static float axisCoordinate(const TexPoint& point, SplitAxis axis) {
    return axis == SplitAxis::u ? point.u : point.v;
}

// The point where the edge from p to c crosses the line where coordinate `axis` is 1.
static void crossingPoint(const TexPoint& pTex, const Point3& pSurface, const TexPoint& cTex, const Point3& cSurface,
                          SplitAxis axis, TexPoint& xTex, Point3& xSurface) {
    const SplitAxis other = axis == SplitAxis::u ? SplitAxis::v : SplitAxis::u;
    const double pa = axisCoordinate(pTex, axis), ca = axisCoordinate(cTex, axis);
    // The edge reaches the line at p + (c - p) t with t = (1 - p_a) / (c_a - p_a). Rounding (or an
    // infinite coordinate) can put t outside [0, 1] or make it NaN; the edge's midpoint stands in.
    double t = (1 - pa) / (ca - pa);
    if (!(t >= 0 && t <= 1)) t = 0.5;
    const float pb = axisCoordinate(pTex, other), cb = axisCoordinate(cTex, other);
    const float db = cb - pb;
    axisCoordinate(xTex, axis) = 1;
    axisCoordinate(xTex, other) = static_cast<float>(pb + static_cast<double>(db) * t);
    const double s = 1 - t;
    xSurface.x = static_cast<float>(pSurface.x * s) + static_cast<float>(cSurface.x * t);
    xSurface.y = static_cast<float>(pSurface.y * s) + static_cast<float>(cSurface.y * t);
    xSurface.z = static_cast<float>(pSurface.z * s) + static_cast<float>(cSurface.z * t);
}

void splitPiece(const SurfacePiece& piece, SplitAxis axis, SurfacePiece& low, SurfacePiece& high) {
    clear(low.texPoints), clear(low.surfacePoints);
    clear(high.texPoints), clear(high.surfacePoints);
    const int32_t k = piece.texPoints.count;
    if (k == 0) return;
    const TexPoint* tex = piece.texPoints.items;
    const Point3* surface = piece.surfacePoints.items;
    // A NaN coordinate compares false and so counts as high.
    auto isLow = [axis](const TexPoint& point) { return static_cast<double>(axisCoordinate(point, axis)) < 1.0; };
    int32_t p = k - 1;
    bool pLow = isLow(tex[p]);
    for (int32_t c = 0; c < k; p = c, ++c) {
        const bool cLow = isLow(tex[c]);
        if (pLow != cLow) {
            TexPoint xTex;
            Point3 xSurface;
            crossingPoint(tex[p], surface[p], tex[c], surface[c], axis, xTex, xSurface);
            appendVertex(low, xTex, xSurface);
            appendVertex(high, xTex, xSurface);
        }
        appendVertex(cLow ? low : high, tex[c], surface[c]);
        pLow = cLow;
    }
    for (TexPoint& point : high.texPoints) axisCoordinate(point, axis) -= 1;
}

bool descendToCell(SurfacePiece& piece, int32_t level, int32_t target, int32_t targetX, int32_t targetY,
                   SplitScratch* scratch, SurfacePiece*& result) {
    SurfacePiece* current = &piece;
    for (int32_t g = level; g > target; --g) {
        dropRepeatedVertices(*current);
        if (current->texPoints.count < 3) return false;
        for (TexPoint& point : current->texPoints) {
            point.u *= 2;
            point.v *= 2;
        }
        // The child of this cell on the way to the target: the target's ancestor in grid g - 1.
        const int32_t shift = g - 1 - target;
        const int32_t dx = (targetX >> shift) & 1, dy = (targetY >> shift) & 1;
        SplitScratch& parts = scratch[g];
        splitPiece(*current, SplitAxis::u, parts.left, parts.right);
        splitPiece(dx == 0 ? parts.left : parts.right, SplitAxis::v, parts.low, parts.high);
        current = dy == 0 ? &parts.low : &parts.high;
        if (current->texPoints.count < 3) return false;
    }
    dropRepeatedVertices(*current);
    if (current->texPoints.count < 3) return false;
    result = current;
    return true;
}

// Fan around vertex 0: the area is the sum of 0.5 |(P_m - P_0) x (P_m+1 - P_0)|.
// Half the length of the cross product of two edges from vertex 0.
float fanTriangleArea(const SurfacePiece& piece, int32_t m) {
    const Point3& a = piece.surfacePoints[0];
    const Point3& b = piece.surfacePoints[m];
    const Point3& c = piece.surfacePoints[m + 1];
    const float bx = b.x - a.x, by = b.y - a.y, bz = b.z - a.z;
    const float cx = c.x - a.x, cy = c.y - a.y, cz = c.z - a.z;
    const float nx = by * cz - bz * cy, ny = bz * cx - bx * cz, nz = bx * cy - by * cx;
    return 0.5f * std::sqrt(nx * nx + ny * ny + nz * nz);
}

double pieceArea(const SurfacePiece& piece) {
    double area = 0;
    for (int32_t m = 1; m + 1 < piece.surfacePoints.count; ++m) area += fanTriangleArea(piece, m);
    return area;
}

namespace {

// A triangle's texture points as six numbers, sorted point by point so that any order of the corners gives one key.
struct TexTriangleKey {
    std::array<float, 6> values;
    bool operator==(const TexTriangleKey& other) const { return values == other.values; }
};

struct TexTriangleHash {
    size_t operator()(const TexTriangleKey& key) const {
        uint64_t hash = 1469598103934665603ull;  // FNV-1a over the values' bits
        for (float value : key.values) {
            uint32_t bits;
            std::memcpy(&bits, &value, sizeof bits);
            hash = (hash ^ bits) * 1099511628211ull;
        }
        return static_cast<size_t>(hash);
    }
};

}  // namespace

bool mergeOverlaidTriangles(const Mesh& mesh, Mesh& merged, GrowArray<double>& weights) {
    const int32_t count = mesh.triangles.count;
    // The set of each triangle: the index of the first triangle with the same texture points.
    std::unordered_map<TexTriangleKey, int32_t, TexTriangleHash> firstOf;
    firstOf.reserve(static_cast<size_t>(count));
    std::vector<int32_t> setOf(static_cast<size_t>(count), -1);
    bool shared = false;
    for (int32_t t = 0; t < count; ++t) {
        const MeshTriangle& triangle = mesh.triangles.items[t];
        std::array<TexPoint, 3> points;
        bool valid = true;
        for (int32_t c = 0; c < 3; ++c) {
            const int32_t p = triangle.positionIndex[c], q = triangle.texCoordIndex[c];
            valid = valid && p >= 0 && p < mesh.positions.count && q >= 0 && q < mesh.texCoords.count;
            // +0 stands for -0, so that equal coordinates give equal keys.
            if (valid) points[c] = TexPoint{mesh.texCoords.items[q].u + 0.0f, mesh.texCoords.items[q].v + 0.0f};
        }
        if (!valid) continue;
        std::sort(points.begin(), points.end(),
                  [](const TexPoint& a, const TexPoint& b) { return a.u < b.u || (a.u == b.u && a.v < b.v); });
        TexTriangleKey key;
        for (int32_t c = 0; c < 3; ++c) key.values[2 * c] = points[c].u, key.values[2 * c + 1] = points[c].v;
        const auto found = firstOf.emplace(key, t);
        setOf[static_cast<size_t>(t)] = found.first->second;
        shared = shared || !found.second;
    }
    if (!shared) return false;

    // Each set's model-space area and the triangle that stands for it: its first with any area, else its first.
    std::vector<double> area(static_cast<size_t>(count), 0.0), setArea(static_cast<size_t>(count), 0.0);
    std::vector<int32_t> standIn(static_cast<size_t>(count), -1);
    for (int32_t t = 0; t < count; ++t) {
        const int32_t set = setOf[static_cast<size_t>(t)];
        if (set < 0) continue;
        const MeshTriangle& triangle = mesh.triangles.items[t];
        area[static_cast<size_t>(t)] = triangleArea(mesh.positions.items[triangle.positionIndex[0]],
                                                    mesh.positions.items[triangle.positionIndex[1]],
                                                    mesh.positions.items[triangle.positionIndex[2]]);
        setArea[static_cast<size_t>(set)] += area[static_cast<size_t>(t)];
        int32_t& stand = standIn[static_cast<size_t>(set)];
        if (stand < 0 || (area[static_cast<size_t>(t)] > 0 && !(area[static_cast<size_t>(stand)] > 0))) stand = t;
    }

    Mesh result;
    result.positions = mesh.positions;
    result.texCoords = mesh.texCoords;
    GrowArray<double> factors;
    for (int32_t t = 0; t < count; ++t) {
        const int32_t set = setOf[static_cast<size_t>(t)];
        if (set >= 0 && set != t) continue;  // walked with the first of its set
        // A triangle with bad indices stays, for the walk to skip as before.
        const int32_t stand = set < 0 ? t : standIn[static_cast<size_t>(set)];
        const double own = set < 0 ? 0 : area[static_cast<size_t>(stand)];
        append(result.triangles, mesh.triangles.items[stand]);
        append(factors, own > 0 ? setArea[static_cast<size_t>(set)] / own : 1.0);
    }
    merged = std::move(result);
    weights = std::move(factors);
    return true;
}
