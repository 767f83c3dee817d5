// The tests' BC1 / BC3 / BC4 / BC5 decoder: bits read one field at a time from the block layouts.
#include "bc_decoder.h"

// Bits [first, first + count) of the block read as a little-endian number.
static uint32_t bitField(const uint8_t* bytes, int32_t first, int32_t count) {
    uint32_t value = 0;
    for (int32_t bit = 0; bit < count; ++bit) {
        const int32_t at = first + bit;
        value |= static_cast<uint32_t>((bytes[at / 8] >> (at % 8)) & 1) << bit;
    }
    return value;
}

// A 565 colour widened to bytes by repeating its top bits in the low ones.
static void widen565(uint32_t colour, int32_t rgb[3]) {
    const int32_t red = static_cast<int32_t>(colour >> 11), green = static_cast<int32_t>((colour >> 5) & 0x3f),
                  blue = static_cast<int32_t>(colour & 0x1f);
    rgb[0] = red * 8 + red / 4;
    rgb[1] = green * 4 + green / 16;
    rgb[2] = blue * 8 + blue / 4;
}

static void decodeColourHalf(const uint8_t* bytes, bool alwaysFourColours, DecodedBlock& block) {
    const uint32_t c0 = bitField(bytes, 0, 16), c1 = bitField(bytes, 16, 16);
    int32_t colours[4][4];
    widen565(c0, colours[0]);
    widen565(c1, colours[1]);
    colours[0][3] = colours[1][3] = colours[2][3] = colours[3][3] = 255;
    for (int32_t c = 0; c < 3; ++c) {
        const int32_t x0 = colours[0][c], x1 = colours[1][c];
        if (alwaysFourColours || c0 > c1) {
            colours[2][c] = (x0 + x0 + x1 + 1) / 3;
            colours[3][c] = (x0 + x1 + x1 + 1) / 3;
        } else {
            colours[2][c] = (x0 + x1 + 1) / 2;
            colours[3][c] = 0;
        }
    }
    if (!alwaysFourColours && c0 <= c1) colours[3][3] = 0;
    for (int32_t texel = 0; texel < 16; ++texel) {
        const uint32_t index = bitField(bytes, 32 + 2 * texel, 2);
        for (int32_t c = 0; c < 3; ++c) block.texels[texel][c] = static_cast<uint8_t>(colours[index][c]);
        block.texels[texel][3] = static_cast<uint8_t>(colours[index][3]);
    }
}

static void decodeValueHalf(const uint8_t* bytes, int32_t channel, DecodedBlock& block) {
    const int32_t r0 = bytes[0], r1 = bytes[1];
    int32_t values[8] = {r0, r1, 0, 0, 0, 0, 0, 0};
    if (r0 > r1) {
        for (int32_t index = 2; index < 8; ++index) values[index] = ((8 - index) * r0 + (index - 1) * r1 + 3) / 7;
    } else {
        for (int32_t index = 2; index < 6; ++index) values[index] = ((6 - index) * r0 + (index - 1) * r1 + 2) / 5;
        values[6] = 0;
        values[7] = 255;
    }
    for (int32_t texel = 0; texel < 16; ++texel) {
        block.texels[texel][channel] = static_cast<uint8_t>(values[bitField(bytes, 16 + 3 * texel, 3)]);
    }
}

static DecodedBlock opaqueBlack() {
    DecodedBlock block;
    for (auto& texel : block.texels) {
        texel[0] = texel[1] = texel[2] = 0;
        texel[3] = 255;
    }
    return block;
}

DecodedBlock decodeBc1Block(const uint8_t* bytes) {
    DecodedBlock block = opaqueBlack();
    decodeColourHalf(bytes, false, block);
    return block;
}

DecodedBlock decodeBc4Block(const uint8_t* bytes) {
    DecodedBlock block = opaqueBlack();
    decodeValueHalf(bytes, 0, block);
    return block;
}

DecodedBlock decodeBc3Block(const uint8_t* bytes) {
    DecodedBlock block = opaqueBlack();
    decodeColourHalf(bytes + 8, true, block);
    decodeValueHalf(bytes, 3, block);
    return block;
}

DecodedBlock decodeBc5Block(const uint8_t* bytes) {
    DecodedBlock block = opaqueBlack();
    decodeValueHalf(bytes, 0, block);
    decodeValueHalf(bytes + 8, 1, block);
    return block;
}

bool decodeBcLevel(const GrowArray<uint8_t>& blocks, int32_t width, int32_t height, BlockCodec codec,
                   EncodedLevel& level) {
    DecodedBlock (*decode)(const uint8_t*) = nullptr;
    int32_t size = 16;
    switch (codec) {
    case BlockCodec::bc1: decode = decodeBc1Block; size = 8; break;
    case BlockCodec::bc3: decode = decodeBc3Block; break;
    case BlockCodec::bc4: decode = decodeBc4Block; size = 8; break;
    case BlockCodec::bc5: decode = decodeBc5Block; break;
    default: return false;
    }
    const int32_t across = (width + 3) / 4, down = (height + 3) / 4;
    if (blocks.count != across * down * size) return false;
    level.width = width;
    level.height = height;
    release(level.rgba);
    resize(level.rgba, width * height * 4);
    for (int32_t row = 0; row < down; ++row) {
        for (int32_t column = 0; column < across; ++column) {
            const DecodedBlock block = decode(blocks.items + (row * across + column) * size);
            for (int32_t texel = 0; texel < 16; ++texel) {
                const int32_t x = column * 4 + texel % 4, y = row * 4 + texel / 4;
                if (x >= width || y >= height) continue;
                for (int32_t c = 0; c < 4; ++c) level.rgba[(y * width + x) * 4 + c] = block.texels[texel][c];
            }
        }
    }
    return true;
}
