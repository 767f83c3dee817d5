// A decoder of BC7 blocks written from the published block layout, for the tests only: it shares no code and no
// tables with the encoder, so a block the encoder writes is checked against what a GPU's sampler makes of it.
#pragma once

#include <cstdint>

// The fields of one BC7 block as read from its bits.
struct Bc7Fields {
    int mode = -1;  // 0 .. 7; -1 for the reserved encoding (a first byte of 0)
    int partition = 0, rotation = 0, selector = 0;
    int endpoints[3][2][4] = {};  // widened to 8 bits, by subset, endpoint and channel r g b a (alpha 255 in 0 .. 3)
    int indices[16] = {};         // primary indices, texel by texel
    int indices2[16] = {};        // secondary indices of modes 4 and 5
};

// Reads the fields of a block: mode by its lowest set bit, then partition, rotation, index selector, endpoints
// (every red value, then green, blue and alpha), p-bits appended below each endpoint value, primary and secondary
// indices (anchor texels' one bit shorter).
Bc7Fields readBc7Fields(const uint8_t bytes[16]);

// Decodes one block into 16 texels (r g b a, row by row). The reserved mode decodes to 0 in every channel.
void decodeBc7Block(const uint8_t bytes[16], uint8_t texels[16][4]);

// The subset of texel k in partition p of a mode with `subsets` subsets (1, 2 or 3), and a subset's anchor texel.
int bc7Subset(int subsets, int p, int k);
int bc7Anchor(int subsets, int p, int subset);
