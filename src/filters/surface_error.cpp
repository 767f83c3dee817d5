// The surface error of a pyramid's levels from the surface moments. With e_k = R_k - R_0, x_k level k's values, G_k
// its Gram matrix, b_k its products with the texture's reconstruction and C_k its products with level k + 1:
//   integral e_k^2     = x_k^T G_k x_k - 2 b_k^T x_k + integral R_0^2
//   integral e_k e_k+1 = x_k^T C_k x_(k+1) - b_k^T x_k - b_(k+1)^T x_(k+1) + integral R_0^2
// and over a segment, integral_0^1 ((1 - t) e_k + t e_(k+1))^2 dt = (e_k^2 + e_(k+1)^2 + e_k e_(k+1)) / 3.
#include "filters/surface_error.h"

#include <cmath>

#include "base/wrap_index.h"
#include "filters/level_system.h"
#include "filters/tent_kernel.h"
#include "filters/trilinear_system.h"
#include "image/texture_io.h"
#include "sparse/stencil_matrix.h"

static constexpr int32_t colourChannels = 3;

void prepareSurfaceError(SurfaceErrorBasis& basis, const Mesh& mesh, const FloatImage& texture) {
    basis.width = texture.width;
    basis.height = texture.height;
    MomentRequest request;
    request.firstGrid = 0;
    request.moments = true;
    request.texture = &texture;
    buildSurfaceMoments(basis.moments, mesh, mipLevelCount(texture.width, texture.height), request);

    // On a cell of grid 0 (cut along the texel centres) the texture's reconstruction is bilinear, f = f0 + f1 u + f2 v + f3 u v,
    // so its square integrates exactly against the cell's nine moments.
    const MomentGrid& grid = basis.moments.grids[0];
    basis.area = 0;
    for (double& sum : basis.targetSquares) sum = 0;
    for (int32_t y = 0; y < grid.height; ++y) {
        TentFactor rows[2];
        for (int32_t e = 0; e < 2; ++e) rows[e] = gridCellTent(grid, SplitAxis::v, y, e, texture.height);
        for (int32_t x = 0; x < grid.width; ++x) {
            const float* m = grid.moments.items + 9 * (static_cast<int64_t>(y) * grid.width + x);
            if (m[0] == 0.0f) continue;
            basis.area += m[0];
            TentFactor columns[2];
            for (int32_t e = 0; e < 2; ++e) columns[e] = gridCellTent(grid, SplitAxis::u, x, e, texture.width);
            for (int32_t c = 0; c < colourChannels; ++c) {
                double f[4];
                cellReconstruction(texture, columns, rows, c, f);
                // Term k of f carries u^(k mod 2) v^(k div 2).
                for (int32_t k = 0; k < 4; ++k) {
                    for (int32_t n = 0; n < 4; ++n) {
                        basis.targetSquares[c] += f[k] * f[n] * m[3 * (k / 2 + n / 2) + k % 2 + n % 2];
                    }
                }
            }
        }
    }
}

namespace {

// What one level contributes: per channel x^T G x and b^T x.
struct LevelTerms {
    double quadratic[colourChannels] = {};
    double linear[colourChannels] = {};
};

}  // namespace

static double channel(const Texel& t, int32_t c) { return c == 0 ? t.r : c == 1 ? t.g : t.b; }

static LevelTerms levelTerms(const SurfaceErrorBasis& basis, const FloatImage& level, int32_t k) {
    const MomentGrid& grid = basis.moments.grids[k];
    StencilMatrix gram;
    DenseBlock rhs, x, product;
    assembleGramStencil(gram, grid, level.width, level.height, 1.0);
    assembleTargetSides(rhs, grid, level.width, level.height, basis.moments.channelCount, 1.0);
    createBlock(x, level.count, colourChannels);
    for (int32_t j = 0; j < level.count; ++j) {
        for (int32_t c = 0; c < colourChannels; ++c) x.at(j, c) = channel(level.texels[j], c);
    }
    multiplyStencil(gram, x, product);
    LevelTerms terms;
    for (int32_t c = 0; c < colourChannels; ++c) {
        for (int32_t j = 0; j < level.count; ++j) {
            terms.quadratic[c] += x.at(j, c) * product.at(j, c);
            terms.linear[c] += x.at(j, c) * rhs.at(j, c);
        }
    }
    return terms;
}

// Per channel x_k^T C_k x_(k+1): the products of level k's tents with those of the coarser level k + 1.
static void crossProducts(const SurfaceErrorBasis& basis, const FloatImage& finer, const FloatImage& coarser,
                          int32_t k, double cross[colourChannels]) {
    const MomentGrid& grid = basis.moments.grids[k];
    for (int32_t c = 0; c < colourChannels; ++c) cross[c] = 0;
    if (coarser.count == 1) {
        // A single texel's tent is 1 everywhere: its products are the areas of the finer level's tents.
        DenseBlock areas;
        assembleTentAreas(areas, grid, finer.width, finer.height, 1.0);
        for (int32_t j = 0; j < finer.count; ++j) {
            for (int32_t c = 0; c < colourChannels; ++c) {
                cross[c] += areas.at(j, 0) * channel(finer.texels[j], c) * channel(coarser.texels[0], c);
            }
        }
        return;
    }
    LevelCoupling coupling;
    assembleCoupling(coupling, grid, finer.width, finer.height, 1.0);
    for (int32_t y = 0; y < finer.height; ++y) {
        int32_t rows[3];
        wrappedNeighbours(coarserTexel(y, finer.height, coarser.height), coarser.height, rows);
        for (int32_t x = 0; x < finer.width; ++x) {
            int32_t columns[3];
            wrappedNeighbours(coarserTexel(x, finer.width, coarser.width), coarser.width, columns);
            const double* slots = coupling.coefficients.items + 9 * (static_cast<int64_t>(y) * finer.width + x);
            const Texel& own = finer.at(x, y);
            for (int32_t s = 0; s < 9; ++s) {
                const Texel& other = coarser.at(columns[s % 3], rows[s / 3]);
                for (int32_t c = 0; c < colourChannels; ++c) cross[c] += slots[s] * channel(own, c) * channel(other, c);
            }
        }
    }
}

void measureSurfaceError(const SurfaceErrorBasis& basis, const MipPyramid& pyramid, PyramidSurfaceError& error) {
    release(error.levelRms);
    release(error.segmentMeanSquare);
    error.trilinear = 0;
    const double scale = basis.area > 0 ? 1.0 / (colourChannels * basis.area) : 0.0;
    // The squared error per channel of the previous level, and its terms.
    double previousSquares[colourChannels] = {0, 0, 0};
    LevelTerms previous;
    for (int32_t k = 0; k < pyramid.levels.count && pyramid.levels[k].count > 0; ++k) {
        const FloatImage& level = pyramid.levels[k];
        double squares[colourChannels] = {0, 0, 0};
        LevelTerms terms;
        double total = 0;
        if (k > 0) {
            terms = levelTerms(basis, level, k);
            for (int32_t c = 0; c < colourChannels; ++c) {
                squares[c] = terms.quadratic[c] - 2 * terms.linear[c] + basis.targetSquares[c];
                total += squares[c];
            }
        }
        append(error.levelRms, std::sqrt(std::max(0.0, total * scale)));
        if (k == 0) continue;
        // The segment from level k - 1 (e = 0 when it is the texture) to level k.
        double cross[colourChannels] = {0, 0, 0};
        if (k >= 2) crossProducts(basis, pyramid.levels[k - 1], level, k - 1, cross);
        double segment = 0;
        for (int32_t c = 0; c < colourChannels; ++c) {
            const double mixed = k >= 2 ? cross[c] - previous.linear[c] - terms.linear[c] + basis.targetSquares[c] : 0.0;
            segment += (previousSquares[c] + squares[c] + mixed) / 3;
        }
        append(error.segmentMeanSquare, std::max(0.0, segment * scale));
        error.trilinear += error.segmentMeanSquare.items[error.segmentMeanSquare.count - 1];
        for (int32_t c = 0; c < colourChannels; ++c) previousSquares[c] = squares[c];
        previous = terms;
    }
}
