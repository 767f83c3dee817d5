// Filling the texels nobody reads: a push-pull extension of the texels that are read, so that a block encoder sees
// smooth blocks where the surface never looks and spends its precision where it does.
#pragma once

#include "image/alpha_modes.h"
#include "image/float_image.h"

// Replaces every texel of weight 0 (weights as LevelWeights, one per texel; an empty array weighs all alike and
// changes nothing) by an extension of the texels of weight above 0: their means are pushed down a chain of halved
// grids and pulled back up, each unread texel taking the mean of its nearest cell that holds read texels, every
// channel alpha included. Texels of weight above
// 0 keep their values; a level without any is left as it is.
void fillUnreadTexels(FloatImage& level, const LevelWeights& weights);
