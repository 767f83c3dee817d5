// Cutting triangles along the texture's repeats: each piece lies in one repeat and is moved into the unit square.
#include "mesh/texture_repeat.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>
#include <vector>

namespace {

// A corner of a piece: texture coordinates and model-space position, in double so that cut points far from the
// unit square keep their precision until they are moved into it.
struct Corner {
    double u = 0, v = 0, x = 0, y = 0, z = 0;
};

// A convex polygon: a triangle cut by the four sides of one repeat has at most seven corners.
struct Polygon {
    Corner corners[8];
    int32_t count = 0;
};

}  // namespace

static Corner between(const Corner& a, const Corner& b, double t) {
    return Corner{a.u + t * (b.u - a.u), a.v + t * (b.v - a.v), a.x + t * (b.x - a.x), a.y + t * (b.y - a.y),
                  a.z + t * (b.z - a.z)};
}

// The part of `in` where the coordinate (u when `alongU`, else v) is at least `bound` (side +1) or at most it
// (side -1); cut points lie exactly on the bound.
static void clipPolygon(const Polygon& in, bool alongU, double bound, double side, Polygon& out) {
    out.count = 0;
    auto coordinate = [alongU](const Corner& c) { return alongU ? c.u : c.v; };
    for (int32_t k = 0; k < in.count; ++k) {
        const Corner& a = in.corners[k];
        const Corner& b = in.corners[(k + 1) % in.count];
        const double da = side * (coordinate(a) - bound), db = side * (coordinate(b) - bound);
        if (da >= 0) out.corners[out.count++] = a;
        if ((da < 0 && db > 0) || (da > 0 && db < 0)) {
            Corner cut = between(a, b, da / (da - db));
            (alongU ? cut.u : cut.v) = bound;
            out.corners[out.count++] = cut;
        }
    }
}

// Twice the model-space area of the fan triangle (0, k, k + 1).
static double doubleArea(const Polygon& polygon, int32_t k) {
    const Corner &a = polygon.corners[0], &b = polygon.corners[k], &c = polygon.corners[k + 1];
    const double ux = b.x - a.x, uy = b.y - a.y, uz = b.z - a.z;
    const double vx = c.x - a.x, vy = c.y - a.y, vz = c.z - a.z;
    const double nx = uy * vz - uz * vy, ny = uz * vx - ux * vz, nz = ux * vy - uy * vx;
    return std::sqrt(nx * nx + ny * ny + nz * nz);
}

// The triangle's corners as a polygon.
static Polygon polygonOf(const Mesh& mesh, const MeshTriangle& triangle) {
    Polygon polygon;
    polygon.count = 3;
    for (int32_t c = 0; c < 3; ++c) {
        const TexPoint& t = mesh.texCoords.items[triangle.texCoordIndex[c]];
        const Point3& p = mesh.positions.items[triangle.positionIndex[c]];
        polygon.corners[c] = Corner{t.u, t.v, p.x, p.y, p.z};
    }
    return polygon;
}

// Appends the polygon's fan triangles (0, k, k + 1) to `mesh`, each corner new, at texture coordinates
// place(corner); fan triangles without surface are left out when `surfaceOnly`.
template <typename Place>
static void appendFan(Mesh& mesh, const Polygon& polygon, bool surfaceOnly, Place place) {
    for (int32_t k = 1; k + 1 < polygon.count; ++k) {
        if (surfaceOnly && !(doubleArea(polygon, k) > 0)) continue;
        MeshTriangle fan;
        const int32_t corners[3] = {0, k, k + 1};
        for (int32_t c = 0; c < 3; ++c) {
            const Corner& corner = polygon.corners[corners[c]];
            fan.positionIndex[c] = mesh.positions.count;
            fan.texCoordIndex[c] = mesh.texCoords.count;
            append(mesh.positions,
                   Point3{static_cast<float>(corner.x), static_cast<float>(corner.y), static_cast<float>(corner.z)});
            append(mesh.texCoords, place(corner));
        }
        append(mesh.triangles, fan);
    }
}

// The texture-space area of the polygon.
static double uvArea(const Polygon& polygon) {
    double twice = 0;
    for (int32_t k = 0; k < polygon.count; ++k) {
        const Corner &a = polygon.corners[k], &b = polygon.corners[(k + 1) % polygon.count];
        twice += a.u * b.v - b.u * a.v;
    }
    return 0.5 * std::fabs(twice);
}

// The polygon's texture-space corners on a grid of 2^-16 of the texture, repeats dropped, starting from the least:
// the same for every translate of a piece cut from one triangle, whichever corner the clipping put first.
static std::vector<std::pair<int64_t, int64_t>> shapeKey(const Polygon& polygon) {
    std::vector<std::pair<int64_t, int64_t>> corners;
    for (int32_t c = 0; c < polygon.count; ++c) {
        const std::pair<int64_t, int64_t> corner{std::llround(std::ldexp(polygon.corners[c].u, 16)),
                                                 std::llround(std::ldexp(polygon.corners[c].v, 16))};
        if (corners.empty() || corners.back() != corner) corners.push_back(corner);
    }
    while (corners.size() > 1 && corners.back() == corners.front()) corners.pop_back();
    std::rotate(corners.begin(), std::min_element(corners.begin(), corners.end()), corners.end());
    return corners;
}

// The repeats [first, last] that the interval [low, high] of a coordinate meets with more than a point, or its one
// repeat when it is a point.
static void repeatRange(double low, double high, double& first, double& last) {
    first = std::floor(low);
    last = std::ceil(high) - 1;
    if (last < first) last = first;
}

bool repeatTextureCoordinates(Mesh& mesh, const char* name, std::string& error) {
    bool inside = true;
    for (const TexPoint& t : mesh.texCoords) {
        if (!(t.u >= 0 && t.u <= 1 && t.v >= 0 && t.v <= 1)) inside = false;
    }
    if (inside) return true;

    Mesh result;
    double coverings = 0;  // the texture-space area of the pieces moved into the unit square
    result.positions = mesh.positions;
    result.texCoords = mesh.texCoords;
    reserve(result.triangles, mesh.triangles.count);
    for (int32_t index = 0; index < mesh.triangles.count; ++index) {
        const MeshTriangle& triangle = mesh.triangles.items[index];
        const Polygon whole = polygonOf(mesh, triangle);
        double uLow = whole.corners[0].u, uHigh = uLow, vLow = whole.corners[0].v, vHigh = vLow;
        for (int32_t c = 1; c < 3; ++c) {
            uLow = std::fmin(uLow, whole.corners[c].u), uHigh = std::fmax(uHigh, whole.corners[c].u);
            vLow = std::fmin(vLow, whole.corners[c].v), vHigh = std::fmax(vHigh, whole.corners[c].v);
        }
        const std::string which = std::string(name) + ": triangle " + std::to_string(index + 1);
        if (!std::isfinite(uLow) || !std::isfinite(uHigh) || !std::isfinite(vLow) || !std::isfinite(vHigh)) {
            error = which + " has a texture coordinate that is not a finite number";
            return false;
        }
        if (uLow >= 0 && uHigh <= 1 && vLow >= 0 && vHigh <= 1) {
            append(result.triangles, triangle);
            continue;
        }
        double u0, u1, v0, v1;
        repeatRange(uLow, uHigh, u0, u1);
        repeatRange(vLow, vHigh, v0, v1);
        if ((u1 - u0 + 1) * (v1 - v0 + 1) > static_cast<double>(maxRepeatsPerTriangle)) {
            error = which + "'s texture coordinates span more than " + std::to_string(maxRepeatsPerTriangle) +
                    " repeats of the texture";
            return false;
        }
        if (u0 == u1 && v0 == v1) {
            // Within one repeat: the triangle moves whole, keeping its positions.
            MeshTriangle moved = triangle;
            for (int32_t c = 0; c < 3; ++c) {
                moved.texCoordIndex[c] = result.texCoords.count;
                append(result.texCoords, TexPoint{static_cast<float>(whole.corners[c].u - u0),
                                                  static_cast<float>(whole.corners[c].v - v0)});
            }
            append(result.triangles, moved);
            continue;
        }
        // Pieces with the same corners once moved into the unit square are translates of one another on the surface
        // (the triangle's map is affine), so they are kept as one piece scaled to carry all their area: a triangle
        // that repeats the texture many times costs the filters one walk per distinct shape, not one per repeat.
        std::map<std::vector<std::pair<int64_t, int64_t>>, int32_t> shapeIndex;
        std::vector<std::pair<Polygon, int32_t>> shapes;
        Polygon left, column, low, piece;
        for (double p = u0; p <= u1; ++p) {
            clipPolygon(whole, true, p, 1, left);
            clipPolygon(left, true, p + 1, -1, column);
            for (double q = v0; q <= v1; ++q) {
                clipPolygon(column, false, q, 1, low);
                clipPolygon(low, false, q + 1, -1, piece);
                // Slivers where the triangle only touches a repeat's edge carry no area.
                double area = 0;
                for (int32_t k = 1; k + 1 < piece.count; ++k) area += doubleArea(piece, k);
                if (!(area > 0)) continue;
                // Cut points carry the rounding of their interpolation, so shapes are compared on a grid far finer
                // than a texel of any texture the filters take.
                for (int32_t c = 0; c < piece.count; ++c) piece.corners[c].u -= p, piece.corners[c].v -= q;
                std::vector<std::pair<int64_t, int64_t>> key = shapeKey(piece);
                const auto found = shapeIndex.emplace(std::move(key), static_cast<int32_t>(shapes.size()));
                if (found.second) shapes.emplace_back(piece, 0);
                ++shapes[found.first->second].second;
            }
        }
        for (auto& [shape, count] : shapes) {
            // k translates carry k times the area: the surface is scaled by sqrt(k) about the first corner.
            const double scale = std::sqrt(static_cast<double>(count));
            const Corner origin = shape.corners[0];
            for (int32_t c = 0; c < shape.count; ++c) {
                Corner& corner = shape.corners[c];
                corner.x = origin.x + scale * (corner.x - origin.x);
                corner.y = origin.y + scale * (corner.y - origin.y);
                corner.z = origin.z + scale * (corner.z - origin.z);
            }
            coverings += uvArea(shape);
            appendFan(result, shape, true, [](const Corner& corner) {
                return TexPoint{static_cast<float>(corner.u), static_cast<float>(corner.v)};
            });
        }
        if (coverings > maxRepeatedCoverings) {
            error = std::string(name) + ": its texture coordinates, repeated into the texture, cover it " +
                    "more than " + std::to_string(maxRepeatedCoverings) + " times over";
            return false;
        }
    }
    mesh = std::move(result);
    return true;
}

void splitIntoStrips(const Mesh& mesh, int32_t strips, bool alongU, GrowArray<Mesh>& parts) {
    release(parts);
    resize(parts, strips);
    auto stretched = [&](const Corner& corner, int32_t s) {
        const double across = (alongU ? corner.u : corner.v) * strips - s;
        return alongU ? TexPoint{static_cast<float>(across), static_cast<float>(corner.v)}
                      : TexPoint{static_cast<float>(corner.u), static_cast<float>(across)};
    };
    auto add = [&](const Polygon& polygon, int32_t s) {
        appendFan(parts.items[s], polygon, false, [&](const Corner& corner) { return stretched(corner, s); });
    };
    auto stripOf = [strips](double coordinate) {
        const double s = std::floor(coordinate * strips);
        return s < 0 ? 0 : s >= strips - 1 ? strips - 1 : static_cast<int32_t>(s);
    };
    for (const MeshTriangle& triangle : mesh.triangles) {
        const Polygon whole = polygonOf(mesh, triangle);
        // Two corners at one point of the model: the walk drops the repeated corner and with it the triangle, which
        // its cut parts, their corners moved apart, would no longer show.
        bool repeated = false;
        for (int32_t c = 0; c < 3; ++c) {
            const Corner &a = whole.corners[c], &b = whole.corners[(c + 1) % 3];
            if (a.x == b.x && a.y == b.y && a.z == b.z) repeated = true;
        }
        if (repeated) continue;
        double low = alongU ? whole.corners[0].u : whole.corners[0].v, high = low;
        for (int32_t c = 1; c < 3; ++c) {
            low = std::fmin(low, alongU ? whole.corners[c].u : whole.corners[c].v);
            high = std::fmax(high, alongU ? whole.corners[c].u : whole.corners[c].v);
        }
        const int32_t first = stripOf(low), last = stripOf(high);
        if (first == last) {
            add(whole, first);
            continue;
        }
        // A triangle without texture-space area is cut like the others, its surface shared along its segment.
        const bool flat = !(uvArea(whole) > 0);
        Polygon lower, piece;
        for (int32_t s = first; s <= last; ++s) {
            // The outer strips keep what lies beyond the unit square.
            const Polygon* part = &whole;
            if (s > 0) {
                clipPolygon(*part, alongU, static_cast<double>(s) / strips, 1, lower);
                part = &lower;
            }
            if (s < strips - 1) {
                clipPolygon(*part, alongU, static_cast<double>(s + 1) / strips, -1, piece);
                part = &piece;
            }
            if (part->count < 3) continue;
            // A strip the triangle only touches along its edge gets nothing; a flat triangle lying on the edge
            // belongs to the strip after it, as a point on a cell boundary belongs to the cell after it.
            if (!flat && !(uvArea(*part) > 0)) continue;
            if (flat && s < strips - 1) {
                const double edge = static_cast<double>(s + 1) / strips;
                bool onEdge = true;
                for (int32_t c = 0; c < part->count; ++c) {
                    if ((alongU ? part->corners[c].u : part->corners[c].v) != edge) onEdge = false;
                }
                if (onEdge) continue;
            }
            add(*part, s);
        }
    }
}
