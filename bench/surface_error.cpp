// The surface error of every level of the mapping-aware filters' pyramids: the mean over the model's surface of
// the squared difference between the level's bilinear reconstruction and the texture's, in linear light, summed
// over the colour channels. It is the quantity kivbi minimises level by level (less its regularisation), computed
// exactly from the surface moments:
//   E_l = (x^T G x - 2 b^T x) / s + integral of T^2,   divided by the surface area,
// G and b being level l's Gram matrix and right-hand sides at the assembly's scale s, and the integral of the
// texture's reconstruction T squared taken cell by cell of the finest grid, where T is bilinear.
//
// usage: surface_error <model.obj> <texture> [filter ...]     (default: kivbi kivtri)
// Prints one line per filter and level: "filter level error".
#include <cstdio>
#include <cstring>
#include <string>

#include "filters/bilinear_filter.h"
#include "filters/level_system.h"
#include "filters/surface_moments.h"
#include "filters/tent_kernel.h"
#include "filters/trilinear_filter.h"
#include "filters/weighted_box.h"
#include "image/texture_io.h"
#include "mesh/obj_model.h"
#include "mesh/texture_repeat.h"
#include "sparse/stencil_matrix.h"

// The integral over the surface of T^2 per channel, from the moments of grid 0 (two cells per texel).
static void squaredTarget(const MomentGrid& grid, const FloatImage& texture, double sums[3]) {
    const int32_t half = grid.width / (2 * texture.width);
    const int32_t halfDown = grid.height / (2 * texture.height);
    for (int32_t c = 0; c < 3; ++c) sums[c] = 0;
    for (int32_t y = 0; y < grid.height; ++y) {
        for (int32_t x = 0; x < grid.width; ++x) {
            const float* m = grid.moments.items + 9 * (static_cast<int64_t>(y) * grid.width + x);
            if (m[0] == 0.0f) continue;
            TentFactor columns[2], rows[2];
            for (int32_t e = 0; e < 2; ++e) {
                columns[e] = cellTent(x, half, e, texture.width);
                rows[e] = cellTent(y, halfDown, e, texture.height);
            }
            for (int32_t c = 0; c < 3; ++c) {
                // T = f0 + f1 u + f2 v + f3 u v on the cell.
                double f[4] = {0, 0, 0, 0};
                for (int32_t ey = 0; ey < 2; ++ey) {
                    for (int32_t ex = 0; ex < 2; ++ex) {
                        const Texel& t = texture.at(columns[ex].texel, rows[ey].texel);
                        const double value = c == 0 ? t.r : c == 1 ? t.g : t.b;
                        const TentFactor &X = columns[ex], &Y = rows[ey];
                        f[0] += value * X.offset * Y.offset;
                        f[1] += value * X.slope * Y.offset;
                        f[2] += value * X.offset * Y.slope;
                        f[3] += value * X.slope * Y.slope;
                    }
                }
                // Powers of u and v of each term: f_k u^(k % 2) v^(k / 2).
                for (int32_t k = 0; k < 4; ++k) {
                    for (int32_t n = 0; n < 4; ++n) {
                        const int32_t a = k % 2 + n % 2, b = k / 2 + n / 2;
                        sums[c] += f[k] * f[n] * m[3 * b + a];
                    }
                }
            }
        }
    }
}

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: surface_error <model.obj> <texture> [filter ...]\n");
        return 2;
    }
    Mesh mesh;
    FloatImage texture;
    std::string error;
    if (!loadObjModel(mesh, argv[1], error) || !normaliseMesh(mesh, error) ||
        !repeatTextureCoordinates(mesh, argv[1], error) || !loadTexture(argv[2], texture, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    lineariseImage(texture);
    const int32_t levelCount = mipLevelCount(texture.width, texture.height);
    SurfaceMoments moments;
    MomentRequest request;
    request.firstGrid = 0;
    request.moments = true;
    request.texture = &texture;
    buildSurfaceMoments(moments, mesh, levelCount, request);
    double target[3];
    squaredTarget(moments.grids[0], texture, target);
    double area = 0;
    for (int64_t k = 0; k < int64_t{moments.grids[0].width} * moments.grids[0].height; ++k) {
        area += moments.grids[0].moments.items[9 * k];
    }

    GrowArray<std::string> filters;
    for (int k = 3; k < argc; ++k) append(filters, std::string(argv[k]));
    if (filters.count == 0) append(filters, std::string("kivbi")), append(filters, std::string("kivtri"));
    for (const std::string& filter : filters) {
        MipPyramid pyramid;
        FilterStats stats;
        bool built = false;
        if (filter == "kivbi") {
            built = buildKivbiPyramid(mesh, pyramid, texture, levelCount, LevelSolver::iterative, stats, error);
        } else if (filter == "kivtri") {
            built = buildKivtriPyramid(mesh, pyramid, texture, levelCount, LevelSolver::iterative, stats, error);
        } else if (filter == "kivbox") {
            buildKivboxPyramid(mesh, pyramid, texture, levelCount);
            built = true;
        } else {
            error = "unknown filter " + filter;
        }
        if (!built) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        for (int32_t l = 1; l < pyramid.levels.count; ++l) {
            const FloatImage& level = pyramid.levels[l];
            if (level.count == 0) continue;
            const MomentGrid& grid = moments.grids[l];
            const double scale = levelScale(grid);
            StencilMatrix gram;
            DenseBlock rhs, x, product;
            assembleGramStencil(gram, grid, level.width, level.height, scale);
            assembleTargetSides(rhs, grid, level.width, level.height, 3, scale);
            createBlock(x, level.count, 3);
            for (int32_t j = 0; j < level.count; ++j) {
                x.at(j, 0) = level.texels[j].r, x.at(j, 1) = level.texels[j].g, x.at(j, 2) = level.texels[j].b;
            }
            multiplyStencil(gram, x, product);
            double total = 0;
            for (int32_t c = 0; c < 3; ++c) {
                double quadratic = 0, linear = 0;
                for (int32_t j = 0; j < level.count; ++j) {
                    quadratic += x.at(j, c) * product.at(j, c);
                    linear += x.at(j, c) * rhs.at(j, c);
                }
                total += (quadratic - 2 * linear) / scale + target[c];
            }
            std::printf("%s %d %.9g\n", filter.c_str(), l, total / area);
        }
    }
    return 0;
}
