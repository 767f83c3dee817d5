// The surface's bilinear weight on every texel, from the tent areas of the surface moments.
#include "filters/surface_reads.h"

#include "filters/level_system.h"
#include "filters/surface_moments.h"

void surfaceReadWeights(const Mesh& mesh, int32_t width, int32_t height, GrowArray<LevelWeights>& weights) {
    const int32_t levelCount = mipLevelCount(width, height);
    // Grid k is cut along the texel centres of level k, where each of its tents is bilinear.
    SurfaceMoments moments;
    MomentRequest request;
    request.moments = true;
    request.width = width;
    request.height = height;
    buildSurfaceMoments(moments, mesh, levelCount, request);
    resize(weights, levelCount);
    DenseBlock areas;
    for (int32_t k = 0; k < levelCount; ++k) {
        const int32_t w = levelSide(width, k), h = levelSide(height, k);
        assembleTentAreas(areas, moments.grids[k], w, h, 1.0);
        resize(weights[k], w * h);
        for (int32_t j = 0; j < w * h; ++j) weights[k][j] = static_cast<float>(areas.at(j, 0));
        releaseMomentGrid(moments.grids[k]);
    }
}
