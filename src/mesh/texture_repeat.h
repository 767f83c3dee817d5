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
