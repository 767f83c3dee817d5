// libFuzzer target: the OBJ reader, normalisation and the walk of a few coverage levels must survive any input.
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
    // Walking every triangle down three levels below the whole texture exercises the clipping on whatever
    // geometry got through, the pieces' areas their fan triangles.
    if (mesh.triangles.count <= 64) {
        constexpr int32_t finestLevel = 3;
        SplitScratch scratch[finestLevel + 1];
        double total = 0;
        auto addArea = [&total](int32_t, int32_t, int32_t, const SurfacePiece& piece) { total += pieceArea(piece); };
        for (const MeshTriangle& t : mesh.triangles) {
            SurfacePiece triangle;
            for (int c = 0; c < 3; ++c) {
                append(triangle.texPoints, mesh.texCoords[t.texCoordIndex[c]]);
                append(triangle.surfacePoints, mesh.positions[t.positionIndex[c]]);
            }
            walkPiece(triangle, 0, 0, finestLevel, 0, scratch, addArea);
        }
        (void)total;
    }
    return 0;
}
