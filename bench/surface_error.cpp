// The exact surface error of every level of the mapping-aware filters' pyramids, as the filters compute them (in
// float, before the levels are written): per level the RMS over the model's surface of the difference between the
// level's bilinear reconstruction and the texture's (linear RGB, mean over the channels), then the trilinear mean
// square of every segment between neighbouring levels and their sum.
//
// usage: surface_error <model.obj> <texture> [filter ...]     (default: kivbi kivtri; also kivbic kivtric kivbox)
// Prints "filter level rms segment" per level (segment: from the level above to this one) and "filter trilinear sum".
#include <cstdio>
#include <string>

#include "filters/bilinear_filter.h"
#include "filters/surface_error.h"
#include "filters/trilinear_filter.h"
#include "filters/weighted_box.h"
#include "image/texture_io.h"
#include "mesh/obj_model.h"
#include "mesh/texture_repeat.h"

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
        std::fprintf(stderr, "Error: %s\n", error.c_str());
        return 1;
    }
    lineariseImage(texture);
    const int32_t levelCount = mipLevelCount(texture.width, texture.height);
    SurfaceErrorBasis basis;
    prepareSurfaceError(basis, mesh, texture);

    GrowArray<std::string> filters;
    for (int k = 3; k < argc; ++k) append(filters, std::string(argv[k]));
    if (filters.count == 0) append(filters, std::string("kivbi")), append(filters, std::string("kivtri"));
    for (const std::string& filter : filters) {
        MipPyramid pyramid;
        FilterStats stats;
        bool built = true;
        if (filter == "kivbi") {
            built = buildKivbiPyramid(mesh, pyramid, texture, levelCount, LevelSolver::iterative, stats, error);
        } else if (filter == "kivtri") {
            built = buildKivtriPyramid(mesh, pyramid, texture, levelCount, LevelSolver::iterative, stats, error);
        } else if (filter == "kivbic") {
            built = buildKivbicPyramid(mesh, pyramid, texture, levelCount, LevelSolver::iterative, stats, error);
        } else if (filter == "kivtric") {
            built = buildKivtricPyramid(mesh, pyramid, texture, levelCount, LevelSolver::iterative, stats, error);
        } else if (filter == "kivbox") {
            buildKivboxPyramid(mesh, pyramid, texture, levelCount);
        } else {
            built = false;
            error = "unknown filter " + filter;
        }
        if (!built) {
            std::fprintf(stderr, "Error: %s\n", error.c_str());
            return 1;
        }
        PyramidSurfaceError measured;
        measureSurfaceError(basis, pyramid, measured);
        for (int32_t k = 1; k < measured.levelRms.count; ++k) {
            std::printf("%s %d %.9g %.9g\n", filter.c_str(), k, measured.levelRms[k], measured.segmentMeanSquare[k - 1]);
        }
        std::printf("%s trilinear %.9g\n", filter.c_str(), measured.trilinear);
    }
    return 0;
}
