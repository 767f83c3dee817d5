// Block-compressed texture formats: BC1, BC3, BC4, BC5 and BC7 (4 x 4 blocks) and ASTC of 4 x 4, 6 x 6 and 8 x 8
// texels, each level encoded from the bytes a plain container would store, each texel weighed by how much it matters.
#pragma once

#include <cstdint>
#include <string>

#include "base/grow_array.h"
#include "image/alpha_modes.h"
#include "image/texture_containers.h"

enum class BlockCodec : uint8_t { bc1, bc3, bc4, bc5, bc7, astc4x4, astc6x6, astc8x8 };

// The codec's name on the command line ("bc1", ..., "astc8x8"), and the codec of a name; false for another name.
const char* blockCodecName(BlockCodec codec);
bool blockCodecNamed(const std::string& name, BlockCodec& codec);

// Texels across and down one block, and the bytes a block takes (8 for BC1 and BC4, 16 for the others).
int32_t blockWidth(BlockCodec codec);
int32_t blockHeight(BlockCodec codec);
int32_t blockBytes(BlockCodec codec);

// One level as blocks: ceil(width / blockWidth) x ceil(height / blockHeight) blocks, row by row from the top of the
// picture (the order KTX2 and DDS store them in), and the texels those blocks decode to, as an EncodedLevel of the
// level's size holding what a GPU's sampler returns: BC1 (r, g, b, 255), BC4 (r, 0, 0, 255), BC5 (r, g, 0, 255).
struct CompressedLevel {
    int32_t width = 0, height = 0;
    GrowArray<uint8_t> blocks;
    EncodedLevel decoded;
};

// How much each texel of a width x height level matters, row by row from the top like EncodedLevel's bytes:
// non-negative, width x height values; an empty array weighs every texel alike. A texel of weight 0 may decode to
// anything.
using TexelWeights = GrowArray<float>;

// Encodes `level` (RGBA8, rows from the top) with a BC codec (bc1 .. bc7), the error of each texel weighed by
// `weights`. Blocks that reach past the level's edge are encoded from the texels inside it. BC1 stores r, g, b (no
// alpha: encode opaque levels only), BC3 r, g, b and alpha, BC4 r, BC5 r and g, BC7 r, g, b and alpha. Runs in
// parallel over rows of blocks; the result does not depend on the number of threads.
void compressBcLevel(const EncodedLevel& level, const TexelWeights& weights, BlockCodec codec, CompressedLevel& out);

// Encodes `level` with an ASTC codec through the reference encoder, `srgb` when the bytes are sRGB-encoded colour.
// False with a one-line reason when the encoder fails.
bool compressAstcLevel(const EncodedLevel& level, const TexelWeights& weights, BlockCodec codec, bool srgb,
                       CompressedLevel& out, std::string& error);

// The weights the encoders take for a width x height level that the model's surface reads with `surface` (one
// LevelWeights, rows from the bottom as the filters' levels run; empty weighs all alike): rows from the top, scaled so
// that the texels read average 1, and every texel at least `floor`, so that the texels read seldom or never (filled
// before encoding) still decode close to their values.
TexelWeights encoderWeights(const LevelWeights& surface, int32_t width, int32_t height, float floor);
