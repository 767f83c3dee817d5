// libFuzzer target: the OBJ reader, normalisation and a small texel coverage must survive any input.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "mesh/obj_model.h"
#include "mesh/texel_coverage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream stream(std::string(reinterpret_cast<const char*>(data), size));
    Mesh mesh;
    std::string error;
    if (!readObjModel(mesh, stream, "fuzz.obj", error)) return 0;
    if (!normaliseMesh(mesh, error)) return 0;
    // A coverage of a few levels exercises the clipping on whatever geometry got through.
    if (mesh.triangles.count <= 64) {
        TexelCoverage coverage;
        buildTexelCoverage(coverage, mesh, 3);
        double total = 0;
        for (const CoverageGrid& grid : coverage.levels)
            for (const CoverageCell& cell : grid.cells) total += cellArea(cell);
        (void)total;
        releaseCoverage(coverage);
    }
    return 0;
}
