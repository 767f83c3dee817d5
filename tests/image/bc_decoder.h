// A decoder of BC1, BC3, BC4 and BC5 blocks written from the published block layouts, for the tests only: it shares
// no code with the encoders, so a block the encoders write is checked against what a GPU's sampler makes of it.
#pragma once

#include <cstdint>

#include "image/block_compression.h"

// The texels of one block, row by row, r g b a.
struct DecodedBlock {
    uint8_t texels[16][4];
};

// BC1: colour endpoints c0, c1 (RGB 565, little-endian) and sixteen 2-bit indices, texel 0 in the lowest bits.
// c0 > c1: c0, c1, (2 c0 + c1 + 1) div 3, (c0 + 2 c1 + 1) div 3 on the expanded bytes; c0 <= c1: c0, c1,
// (c0 + c1 + 1) div 2 and transparent black. Alpha is 255 but for that last entry.
DecodedBlock decodeBc1Block(const uint8_t* bytes);

// BC4 (unsigned): endpoints r0, r1 and sixteen 3-bit indices; r0 > r1: eight values, the six between rounded to
// nearest ((7 - k) r0 + k r1 + 3) div 7; r0 <= r1: six values ((5 - k) r0 + k r1 + 2) div 5 between, then 0 and 255.
// Returns the texels (r, 0, 0, 255).
DecodedBlock decodeBc4Block(const uint8_t* bytes);

// BC3: a BC4-layout alpha block, then a BC1-layout colour block always read as four colours.
DecodedBlock decodeBc3Block(const uint8_t* bytes);

// BC5: two BC4 blocks, red then green: texels (r, g, 0, 255).
DecodedBlock decodeBc5Block(const uint8_t* bytes);

// Decodes a whole level of BC1, BC3, BC4 or BC5 blocks (ceil(width / 4) x ceil(height / 4), rows from the top) into
// `level`; false for the other codecs.
bool decodeBcLevel(const GrowArray<uint8_t>& blocks, int32_t width, int32_t height, BlockCodec codec,
                   EncodedLevel& level);
