// Texture coordinates outside the unit square, read the way a repeating (wrap-around) sampler reads them.
#pragma once

#include <cstdint>
#include <string>

#include "mesh/obj_model.h"

// The most repeats of the texture that one triangle may span, across times down: beyond it the coordinates are
// taken for a fault of the model rather than a tiling.
constexpr int64_t maxRepeatsPerTriangle = int64_t{1} << 16;

// The most texture-space area, in whole textures, that the pieces moved into the unit square may cover: every
// covering costs the filters a walk over the whole texture.
constexpr int32_t maxRepeatedCoverings = 64;

// Cuts every triangle whose texture coordinates leave the unit square along the lines where u or v is a whole
// number, and moves each piece into the unit square by whole repeats, so that every part of the surface lands on
// the texels a repeating sampler reads there. Triangles within the unit square (its edges included) are kept as
// they are, with their indices; pieces get new corners (positions interpolated along the cut edges). Pieces of one triangle that
// land on the same place are merged into one that carries their area. Returns false with a one-line message naming
// `name` when a triangle spans more than maxRepeatsPerTriangle repeats or has a coordinate that is not finite, or
// the moved pieces cover more than maxRepeatedCoverings textures; the mesh is then unchanged.
bool repeatTextureCoordinates(Mesh& mesh, const char* name, std::string& error);

// Splits the unit square of texture space into `strips` equal strips across u (`alongU`) or v, and gives each its
// own mesh: the parts of the triangles in that strip, with the strip's coordinate stretched to [0, 1]
// (u' = strips u - s for strip s), so that each strip can be walked as a square. The first strip also takes what lies
// before the unit square and the last what lies beyond it. Triangles are cut where they cross a strip's edge, as
// the walk cuts them at cell edges. Parts keep the model's order.
void splitIntoStrips(const Mesh& mesh, int32_t strips, bool alongU, GrowArray<Mesh>& parts);
