// How much the model's surface reads each texel of every level through a bilinear sampler: where the encoders and
// the alpha coverage should spend their care.
#pragma once

#include <cstdint>

#include "base/grow_array.h"
#include "image/alpha_modes.h"
#include "mesh/obj_model.h"

// For each level k of a width x height texture's chain (mipLevelCount levels), weights[k][j] = the integral over the
// model's surface of the tent of texel j (the level's bilinear basis function, wrapping like a repeating sampler):
// the surface's total bilinear weight on the texel, in model-space area. Texels no surface reads get 0. `mesh` is
// normalised, its coordinates repeated into the unit square. Throws std::bad_alloc when memory runs out.
void surfaceReadWeights(const Mesh& mesh, int32_t width, int32_t height, GrowArray<LevelWeights>& weights);
