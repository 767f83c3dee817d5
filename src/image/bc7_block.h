// One BC7 block: the encoder the BC7 level codec calls for each 4 x 4 block.
#pragma once

#include <cstdint>

// Encodes 16 texels (RGBA8, row by row within the block) into one 16-byte BC7 block, each texel's squared error
// weighed by weights[k] >= 0 (a texel of weight 0 may decode to anything), and writes the texels the block decodes
// to into `decoded`.
void encodeBc7Block(const uint8_t texels[16][4], const float weights[16], uint8_t block[16], uint8_t decoded[16][4]);
