// BC1, BC3, BC4 and BC5 levels: the blocks decode (through the tests' own decoder) to the texels the encoder reports,
// hand-written blocks decode to hand-computed texels, and the encoder meets its quality floors where weights say.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bc_decoder.h"
#include "image/block_compression.h"
#include "image/texture_containers.h"
#include "image/texture_io.h"
#include "test_support.h"

namespace {

const BlockCodec bcCodecs[] = {BlockCodec::bc1, BlockCodec::bc3, BlockCodec::bc4, BlockCodec::bc5};

// The channels each codec keeps: r, g, b for BC1, all four for BC3, r for BC4, r and g for BC5.
std::vector<int> keptChannels(BlockCodec codec) {
    switch (codec) {
    case BlockCodec::bc1: return {0, 1, 2};
    case BlockCodec::bc3: return {0, 1, 2, 3};
    case BlockCodec::bc4: return {0};
    default: return {0, 1};
    }
}

EncodedLevel levelOf(int32_t width, int32_t height, const std::function<void(int32_t, int32_t, uint8_t*)>& texel) {
    EncodedLevel level;
    level.width = width;
    level.height = height;
    resize(level.rgba, width * height * 4);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) texel(x, y, &level.rgba[(y * width + x) * 4]);
    }
    return level;
}

uint8_t byteOf(double value) { return static_cast<uint8_t>(std::lround(std::fmin(255.0, std::fmax(0.0, value)))); }

// Smooth waves in every channel (alpha too) with a little noise on top and a hard edge every 41 columns: what a
// photographed texture looks like to a block encoder.
EncodedLevel smoothNoisyLevel(int32_t width, int32_t height, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> noise(-4, 4);
    return levelOf(width, height, [&](int32_t x, int32_t y, uint8_t* t) {
        const double edge = (x / 41) % 2 ? 40.0 : 0.0;
        t[0] = byteOf(128 + 90 * std::sin(x * 0.05) * std::cos(y * 0.03) + edge + noise(random));
        t[1] = byteOf(110 + 70 * std::sin((x + y) * 0.04) + noise(random));
        t[2] = byteOf(60 + 0.5 * y + 30 * std::cos(x * 0.11) - edge + noise(random));
        t[3] = byteOf(200 - 0.4 * x + 50 * std::sin(y * 0.07) + noise(random));
    });
}

// Independent noise in every byte: blocks with no structure at all.
EncodedLevel noiseLevel(int32_t width, int32_t height, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    return levelOf(width, height, [&](int32_t, int32_t, uint8_t* t) {
        for (int c = 0; c < 4; ++c) t[c] = static_cast<uint8_t>(byte(random));
    });
}

CompressedLevel compressed(const EncodedLevel& level, BlockCodec codec, const TexelWeights& weights = {}) {
    CompressedLevel out;
    compressBcLevel(level, weights, codec, out);
    return out;
}

// Peak signal-to-noise ratio of `decoded` against `original` over `channels`, in dB (texels of weight 0 left out).
double psnr(const EncodedLevel& original, const EncodedLevel& decoded, const std::vector<int>& channels,
            const TexelWeights& weights = {}) {
    double squares = 0, count = 0;
    for (int32_t k = 0; k < original.width * original.height; ++k) {
        const double w = weights.count ? weights[k] : 1.0;
        for (int c : channels) {
            const double d = static_cast<double>(original.rgba[4 * k + c]) - decoded.rgba[4 * k + c];
            squares += w * d * d;
            count += w;
        }
    }
    return squares == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * count / squares);
}

int maxChannelError(const EncodedLevel& original, const EncodedLevel& decoded, const std::vector<int>& channels) {
    int worst = 0;
    for (int32_t k = 0; k < original.width * original.height; ++k) {
        for (int c : channels) worst = std::max(worst, std::abs(original.rgba[4 * k + c] - decoded.rgba[4 * k + c]));
    }
    return worst;
}

// Checks the level's shape and that the independent decoder reads its blocks as the encoder's decoded texels.
void expectDecodesAsReported(const CompressedLevel& out, int32_t width, int32_t height, BlockCodec codec) {
    SCOPED_TRACE(std::string(blockCodecName(codec)) + " " + std::to_string(width) + "x" + std::to_string(height));
    ASSERT_EQ(out.blocks.count, (width + 3) / 4 * ((height + 3) / 4) * blockBytes(codec));
    ASSERT_EQ(out.decoded.width, width);
    ASSERT_EQ(out.decoded.height, height);
    EncodedLevel decoded;
    ASSERT_TRUE(decodeBcLevel(out.blocks, width, height, codec, decoded));
    ASSERT_EQ(decoded.rgba.count, out.decoded.rgba.count);
    int32_t differing = 0;
    for (int32_t i = 0; i < decoded.rgba.count; ++i) differing += decoded.rgba[i] != out.decoded.rgba[i];
    EXPECT_EQ(differing, 0);
}

// The weighted squared error of a 4 x 4 level when every texel takes its nearest palette entry, the palette read off
// the tests' decoder: BC1 endpoints e0, e1 (put in the four-colour order, one entry when equal), or BC4 endpoints r0 =
// e0, r1 = e1 in the mode their order selects. Texels 0..3 of the probe block take indices 0..3, texels 0..7 0..7.
double nearestEntryError(const EncodedLevel& level, const TexelWeights& weights, BlockCodec codec, int e0, int e1) {
    const bool colour = codec == BlockCodec::bc1;
    const int c0 = std::max(e0, e1), c1 = std::min(e0, e1);
    const uint8_t probe[8] = {uint8_t(colour ? c0 : e0), uint8_t(colour ? c0 >> 8 : e1), uint8_t(colour ? c1 : 0x88),
                              uint8_t(colour ? c1 >> 8 : 0xC6), uint8_t(colour ? 0xE4 : 0xFA), 0, 0, 0};
    const DecodedBlock palette = colour ? decodeBc1Block(probe) : decodeBc4Block(probe);
    const int entries = colour ? (c0 == c1 ? 1 : 4) : 8;
    double error = 0;
    for (int i = 0; i < 16; ++i) {
        double nearest = 1e30;
        for (int k = 0; k < entries; ++k) {
            double d = 0;
            for (int c = 0; c < (colour ? 3 : 1); ++c) d += std::pow(level.rgba[4 * i + c] - palette.texels[k][c], 2);
            nearest = std::min(nearest, d);
        }
        error += (weights.count ? weights[i] : 1.0) * nearest;
    }
    return error;
}

bool sameBytes(const GrowArray<uint8_t>& a, const GrowArray<uint8_t>& b) {
    if (a.count != b.count) return false;
    for (int32_t i = 0; i < a.count; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

}  // namespace

TEST(BcCodecs, NamesRoundTripAndBlockShapesMatchTheFormats) {
    const char* names[] = {"bc1", "bc3", "bc4", "bc5", "bc7", "astc4x4", "astc6x6", "astc8x8"};
    const int32_t sides[] = {4, 4, 4, 4, 4, 4, 6, 8}, bytes[] = {8, 16, 8, 16, 16, 16, 16, 16};
    for (int i = 0; i < 8; ++i) {
        BlockCodec codec = BlockCodec::bc1;
        ASSERT_TRUE(blockCodecNamed(names[i], codec)) << names[i];
        EXPECT_EQ(static_cast<int>(codec), i);
        EXPECT_STREQ(blockCodecName(codec), names[i]);
        EXPECT_EQ(blockWidth(codec), sides[i]);
        EXPECT_EQ(blockHeight(codec), sides[i]);
        EXPECT_EQ(blockBytes(codec), bytes[i]);
    }
    BlockCodec codec = BlockCodec::bc5;
    EXPECT_FALSE(blockCodecNamed("bc2", codec));
    EXPECT_FALSE(blockCodecNamed("BC1", codec));
    EXPECT_FALSE(blockCodecNamed("", codec));
    EXPECT_EQ(codec, BlockCodec::bc5);
}

// Channel `channel` of every texel of a decoded block: texel k is expected to hold expected[k % period].
void expectChannel(const DecodedBlock& block, int channel, const std::vector<int>& expected, const char* what) {
    for (int k = 0; k < 16; ++k) {
        EXPECT_EQ(block.texels[k][channel], expected[k % expected.size()]) << what << " texel " << k << " channel " << channel;
    }
}

// The decoder is the oracle of every other test, so it is checked first against blocks written out by hand.
TEST(BcDecoder, HandWrittenBlocksDecodeToHandComputedTexels) {
    // BC1, c0 = pure red (0xF800) > c1 = pure blue (0x001F), texels 0..3 of each row on indices 0, 1, 2, 3 (0xE4):
    // the thirds are (2 * 255 + 0 + 1) div 3 = 170 and (255 + 1) div 3 = 85.
    const uint8_t fourColours[8] = {0x00, 0xF8, 0x1F, 0x00, 0xE4, 0xE4, 0xE4, 0xE4};
    DecodedBlock block = decodeBc1Block(fourColours);
    expectChannel(block, 0, {255, 0, 170, 85}, "bc1");
    expectChannel(block, 2, {0, 255, 85, 170}, "bc1");
    expectChannel(block, 3, {255}, "bc1");
    // The same endpoints swapped: three colours, the half way (255 + 0 + 1) div 2 = 128, and transparent black.
    const uint8_t threeColours[8] = {0x1F, 0x00, 0x00, 0xF8, 0xE4, 0xE4, 0xE4, 0xE4};
    block = decodeBc1Block(threeColours);
    expectChannel(block, 0, {0, 255, 128, 0}, "bc1 three");
    expectChannel(block, 2, {255, 0, 128, 0}, "bc1 three");
    expectChannel(block, 3, {255, 255, 255, 0}, "bc1 three");
    // 565 widening repeats the top bits: r = 16 -> 16 * 8 + 4 = 132, g = 32 -> 32 * 4 + 2 = 130.
    const uint8_t middleGrey[8] = {0x10, 0x84, 0x00, 0x00, 0, 0, 0, 0};
    block = decodeBc1Block(middleGrey);
    expectChannel(block, 0, {132}, "grey");
    expectChannel(block, 1, {130}, "grey");

    // BC4, texels 0..7 and 8..15 on indices 0..7 (three bytes 0x88 0xC6 0xFA each). r0 = 255 > r1 = 0: the
    // sevenths of 255 rounded to nearest, 218.57 -> 219, 182.14 -> 182, 145.71 -> 146, 109.29 -> 109, 72.86 -> 73,
    // 36.43 -> 36. r0 = 41 <= r1 = 240: fifths 80.8 -> 81, 120.6 -> 121, 160.4 -> 160, 200.2 -> 200, then 0 and 255.
    const uint8_t eightValues[8] = {255, 0, 0x88, 0xC6, 0xFA, 0x88, 0xC6, 0xFA};
    const uint8_t sixValues[8] = {41, 240, 0x88, 0xC6, 0xFA, 0x88, 0xC6, 0xFA};
    const std::vector<int> eight = {255, 0, 219, 182, 146, 109, 73, 36}, six = {41, 240, 81, 121, 160, 200, 0, 255};
    block = decodeBc4Block(eightValues);
    expectChannel(block, 0, eight, "bc4");
    expectChannel(block, 1, {0}, "bc4");
    expectChannel(block, 3, {255}, "bc4");
    expectChannel(decodeBc4Block(sixValues), 0, six, "bc4 six");

    // BC3: the six-value alpha block, then c0 < c1, which BC3 still reads as four colours.
    uint8_t pair[16];
    std::copy(sixValues, sixValues + 8, pair);
    std::copy(threeColours, threeColours + 8, pair + 8);
    block = decodeBc3Block(pair);
    expectChannel(block, 0, {0, 255, 85, 170}, "bc3");
    expectChannel(block, 2, {255, 0, 170, 85}, "bc3");
    expectChannel(block, 3, six, "bc3");
    // BC5: red from the first half, green from the second, blue 0.
    std::copy(eightValues, eightValues + 8, pair);
    std::copy(sixValues, sixValues + 8, pair + 8);
    block = decodeBc5Block(pair);
    expectChannel(block, 0, eight, "bc5");
    expectChannel(block, 1, six, "bc5");
    expectChannel(block, 2, {0}, "bc5");
    expectChannel(block, 3, {255}, "bc5");
}

// Edge blocks (sizes that are no multiple of 4, down to 1 x 1), weighted and not, smooth and pure noise.
TEST(BcEncoder, BlocksDecodeToTheReportedTexelsAtEverySize) {
    const int32_t sizes[][2] = {{1, 1}, {3, 5}, {6, 2}, {4, 4}, {37, 23}, {64, 64}};
    for (const auto& size : sizes) {
        const int32_t width = size[0], height = size[1];
        TexelWeights weights;
        std::mt19937 random(7);
        std::uniform_real_distribution<float> weight(0.0f, 2.0f);
        for (int32_t k = 0; k < width * height; ++k) append(weights, k % 3 == 0 ? 0.0f : weight(random));
        const EncodedLevel levels[] = {smoothNoisyLevel(width, height, 1), noiseLevel(width, height, 2)};
        for (const EncodedLevel& level : levels) {
            for (BlockCodec codec : bcCodecs) {
                expectDecodesAsReported(compressed(level, codec), width, height, codec);
                expectDecodesAsReported(compressed(level, codec, weights), width, height, codec);
            }
        }
    }
}

// BC1 has no alpha: every block must be in the four-colour mode (c0 > c1), or have c0 == c1 with every index 0,
// which decodes to c0 in either mode.
TEST(BcEncoder, Bc1BlocksStayOpaque) {
    const EncodedLevel levels[] = {smoothNoisyLevel(64, 64, 3), noiseLevel(32, 32, 4),
                                   levelOf(8, 8, [](int32_t x, int32_t, uint8_t* t) {
                                       t[0] = t[1] = t[2] = static_cast<uint8_t>(x < 4 ? 255 : 8 * x);
                                       t[3] = 255;
                                   })};
    for (const EncodedLevel& level : levels) {
        const CompressedLevel out = compressed(level, BlockCodec::bc1);
        for (int32_t b = 0; b < out.blocks.count; b += 8) {
            const int c0 = out.blocks[b] | out.blocks[b + 1] << 8, c1 = out.blocks[b + 2] | out.blocks[b + 3] << 8;
            const bool zeroIndices = !out.blocks[b + 4] && !out.blocks[b + 5] && !out.blocks[b + 6] && !out.blocks[b + 7];
            EXPECT_TRUE(c0 > c1 || (c0 == c1 && zeroIndices)) << "block " << b / 8;
        }
        for (int32_t k = 0; k < out.decoded.rgba.count; k += 4) ASSERT_EQ(out.decoded.rgba[k + 3], 255);
    }
}

// A block of one colour: BC4, BC5 and BC3's alpha hold it exactly (both endpoints on it); BC1 and BC3's colour come
// within 1 of every byte through the endpoint pairs whose entry a third of the way lands on it.
TEST(BcEncoder, ConstantBlocksAreNearExact) {
    std::mt19937 random(11);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int i = 0; i < 256 + 200; ++i) {
        uint8_t colour[4];
        for (int c = 0; c < 4; ++c) colour[c] = static_cast<uint8_t>(i < 256 ? (c == 3 ? 255 - i : i) : byte(random));
        const EncodedLevel level = levelOf(4, 4, [&](int32_t, int32_t, uint8_t* t) { std::copy(colour, colour + 4, t); });
        for (BlockCodec codec : bcCodecs) {
            const CompressedLevel out = compressed(level, codec);
            for (int c : keptChannels(codec)) {
                const int tolerance = c == 3 || codec == BlockCodec::bc4 || codec == BlockCodec::bc5 ? 0 : 1;
                EXPECT_LE(maxChannelError(level, out.decoded, {c}), tolerance)
                    << blockCodecName(codec) << " colour " << +colour[0] << " " << +colour[1] << " " << +colour[2]
                    << " " << +colour[3] << " channel " << c;
            }
        }
    }
}

// Blocks whose upper half is a ramp of weight 1 and lower half noise of weight 0 or next to 0: the ramps must come
// out nearly as well either way, and far better than when every texel counts.
TEST(BcEncoder, WeightsDecideWhichTexelsAreReproduced) {
    std::mt19937 random(5);
    std::uniform_int_distribution<int> byte(0, 255), base(0, 200), slope(-8, 8);
    const int32_t blocks = 64;
    EncodedLevel level = noiseLevel(4, 4 * blocks, 6);
    for (int32_t b = 0; b < blocks; ++b) {
        const int start[4] = {base(random), base(random), base(random), base(random)};
        const int rise[4] = {slope(random), slope(random), slope(random), slope(random)};
        for (int i = 0; i < 8; ++i) {
            for (int c = 0; c < 4; ++c) level.rgba[(16 * b + i) * 4 + c] = byteOf(start[c] + rise[c] * i);
        }
    }
    TexelWeights ramps;
    for (int32_t k = 0; k < 16 * blocks; ++k) append(ramps, k % 16 < 8 ? 1.0f : 0.0f);
    TexelWeights nearlyRamps = ramps;
    for (float& w : nearlyRamps) w = std::max(w, 0.0001f);
    for (BlockCodec codec : bcCodecs) {
        SCOPED_TRACE(blockCodecName(codec));
        const std::vector<int> channels = keptChannels(codec);
        const double alone = psnr(level, compressed(level, codec, ramps).decoded, channels, ramps);
        const double nearlyAlone = psnr(level, compressed(level, codec, nearlyRamps).decoded, channels, ramps);
        const double unweighted = psnr(level, compressed(level, codec).decoded, channels, ramps);
        EXPECT_GE(alone, 38.0);
        EXPECT_GE(nearlyAlone, std::min(alone, 60.0) - 0.5);  // past 60 dB both are all but exact
        EXPECT_GE(alone, unweighted + 10.0);
    }
}

// An edge block holds only the texels inside the level: a 6 x 2 level whose last two columns are one colour decodes
// them as a block of that colour would, whatever noise the first four columns hold.
TEST(BcEncoder, EdgeBlocksReproduceTheirTexelsInsideTheLevel) {
    std::mt19937 random(9);
    std::uniform_int_distribution<int> byte(0, 255);
    const uint8_t colour[4] = {201, 37, 90, 140};
    const EncodedLevel level = levelOf(6, 2, [&](int32_t x, int32_t, uint8_t* t) {
        for (int c = 0; c < 4; ++c) t[c] = x >= 4 ? colour[c] : static_cast<uint8_t>(byte(random));
    });
    for (BlockCodec codec : bcCodecs) {
        const CompressedLevel out = compressed(level, codec);
        for (int32_t y = 0; y < 2; ++y) {
            for (int32_t x = 4; x < 6; ++x) {
                for (int c : keptChannels(codec)) {
                    EXPECT_NEAR(out.decoded.rgba[(y * 6 + x) * 4 + c], colour[c], 1) << blockCodecName(codec);
                }
            }
        }
    }
    // A single texel is a block of one colour.
    const EncodedLevel single = levelOf(1, 1, [&](int32_t, int32_t, uint8_t* t) { std::copy(colour, colour + 4, t); });
    for (BlockCodec codec : bcCodecs) {
        EXPECT_LE(maxChannelError(single, compressed(single, codec).decoded, keptChannels(codec)), 1);
    }
}

// Values at 0 and 255 beside a narrow cluster: the six-value mode keeps the extremes exact and spends its six values
// on the cluster, where the eight-value mode would spread eight values over the whole range (steps of 36).
TEST(BcEncoder, Bc4ChoosesTheSixValueModeForExtremeOutliers) {
    const int values[16] = {0, 255, 100, 104, 108, 112, 116, 120, 124, 128, 0, 255, 102, 110, 118, 126};
    const EncodedLevel level = levelOf(4, 4, [&](int32_t x, int32_t y, uint8_t* t) {
        t[0] = static_cast<uint8_t>(values[y * 4 + x]);
        t[1] = t[2] = 0;
        t[3] = 255;
    });
    const CompressedLevel out = compressed(level, BlockCodec::bc4);
    EXPECT_LE(out.blocks[0], out.blocks[1]);  // r0 <= r1: six values
    EXPECT_LE(maxChannelError(level, out.decoded, {0}), 3);
}

// The refinement ends where no step of one endpoint lowers the weighted error: for BC1 one step of one 565 field of
// either endpoint, for BC4 one step of either endpoint that keeps the block's mode.
TEST(BcEncoder, NoSingleEndpointStepLowersTheError) {
    std::mt19937 random(21);
    std::uniform_real_distribution<float> weight(0.0f, 1.0f);
    const EncodedLevel sources[] = {smoothNoisyLevel(64, 64, 19), noiseLevel(16, 16, 23)};
    const int fields[4][2] = {{11, 31}, {5, 63}, {0, 31}, {0, 255}};  // shift and top of the BC1 fields, then BC4's byte
    int blocks = 0;
    for (const EncodedLevel& source : sources) {
        for (int32_t k = 0; k < source.width * source.height / 16; ++k, ++blocks) {
            const int32_t bx = k % (source.width / 4) * 4, by = k / (source.width / 4) * 4;
            const EncodedLevel level = levelOf(4, 4, [&](int32_t x, int32_t y, uint8_t* t) {
                std::copy_n(&source.rgba[((by + y) * source.width + bx + x) * 4], 4, t);
            });
            TexelWeights weights;
            for (int i = 0; i < 16; ++i) append(weights, blocks % 2 ? weight(random) : 1.0f);
            for (BlockCodec codec : {BlockCodec::bc1, BlockCodec::bc4}) {
                const bool colour = codec == BlockCodec::bc1;
                const GrowArray<uint8_t> b = compressed(level, codec, weights).blocks;
                const int e0 = colour ? b[0] | b[1] << 8 : b[0], e1 = colour ? b[2] | b[3] << 8 : b[1];
                const double own = nearestEntryError(level, weights, codec, e0, e1);
                for (int move = 0; move < (colour ? 12 : 4); ++move) {  // endpoint, step, field
                    int e[2] = {e0, e1};
                    const int endpoint = move % 2, step = move / 2 % 2 ? 1 : -1, f = colour ? move / 4 : 3;
                    const int field = (e[endpoint] >> fields[f][0]) & fields[f][1];
                    if (field + step < 0 || field + step > fields[f][1]) continue;
                    e[endpoint] += step * (1 << fields[f][0]);
                    if (!colour && (e[0] > e[1]) != (e0 > e1)) continue;
                    EXPECT_LE(own, nearestEntryError(level, weights, codec, e[0], e[1]) * (1 + 1e-5) + 1e-3)
                        << blockCodecName(codec) << " block " << blocks << " move " << move;
                }
            }
        }
    }
}

// Values on evenly spaced levels that the palette spanning their range misses: a wider palette puts every one of
// them on an entry. 10, 40, 70, 100 are entries 0..3 of r1 = 10, r0 = 220 (steps of 30); the range's own palette
// (steps of 12.9) misses 40 and 70 by 4.
TEST(BcEncoder, Bc4PutsEvenlySpacedLevelsOnAWiderPalette) {
    const int levels[4] = {10, 40, 70, 100};
    const EncodedLevel level = levelOf(4, 4, [&](int32_t x, int32_t y, uint8_t* t) {
        t[0] = static_cast<uint8_t>(levels[(x + y) % 4]);
        t[1] = static_cast<uint8_t>(levels[(x + 2 * y) % 4]);
        t[2] = 0;
        t[3] = static_cast<uint8_t>(levels[(3 * x + y) % 4]);
    });
    EXPECT_EQ(maxChannelError(level, compressed(level, BlockCodec::bc4).decoded, {0}), 0);
    EXPECT_EQ(maxChannelError(level, compressed(level, BlockCodec::bc5).decoded, {0, 1}), 0);
    EXPECT_EQ(maxChannelError(level, compressed(level, BlockCodec::bc3).decoded, {3}), 0);
}

// PSNR floors on a smooth texture with noise and hard edges, about 0.5 dB under what the encoder reaches (BC1 39.16,
// BC3 alpha 54.04, BC4 51.59, BC5 52.44 dB).
TEST(BcEncoder, SmoothNoisyTextureMeetsThePsnrFloors) {
    const EncodedLevel level = smoothNoisyLevel(256, 256, 13);
    EXPECT_GE(psnr(level, compressed(level, BlockCodec::bc1).decoded, {0, 1, 2}), 38.6);
    const CompressedLevel bc3 = compressed(level, BlockCodec::bc3);
    EXPECT_GE(psnr(level, bc3.decoded, {0, 1, 2}), 38.6);
    EXPECT_GE(psnr(level, bc3.decoded, {3}), 53.5);
    EXPECT_GE(psnr(level, compressed(level, BlockCodec::bc4).decoded, {0}), 51.0);
    EXPECT_GE(psnr(level, compressed(level, BlockCodec::bc5).decoded, {0, 1}), 51.9);
}

// The bundled sample's texture and the real models' (when that folder is there): BC1 and BC3 colour at 34 dB or more.
TEST(BcEncoder, RealTexturesReachThirtyFourDecibels) {
    const std::string paths[] = {std::string(KIV_SOURCE_DIR) + "/data/sample.png",
                                 realModelsDirectory() + "/duck/texture.png"};
    for (const std::string& path : paths) {
        if (!fileExists(path)) continue;
        FloatImage texture;
        std::string error;
        ASSERT_TRUE(loadTexture(path.c_str(), texture, error)) << error;
        EncodedLevel level;
        encodeLevel(texture, false, TexelEncoding::linear, level);  // the file's own bytes
        EXPECT_GE(psnr(level, compressed(level, BlockCodec::bc1).decoded, {0, 1, 2}), 34.0) << path;
        EXPECT_GE(psnr(level, compressed(level, BlockCodec::bc3).decoded, {0, 1, 2}), 34.0) << path;
    }
}

// The same blocks on one thread and on two, and with weights all 1 or all 0 as with none (a block that no weighted
// texel reaches weighs its texels alike).
TEST(BcEncoder, SameBlocksOnAnyThreadCountAndForUniformWeights) {
    const EncodedLevel level = smoothNoisyLevel(301, 202, 17);
    TexelWeights ones, zeros;
    for (int32_t k = 0; k < 301 * 202; ++k) {
        append(ones, 1.0f);
        append(zeros, 0.0f);
    }
    const int threads = omp_get_max_threads();
    for (BlockCodec codec : bcCodecs) {
        omp_set_num_threads(1);
        const CompressedLevel alone = compressed(level, codec);
        omp_set_num_threads(2);
        const CompressedLevel together = compressed(level, codec);
        omp_set_num_threads(threads);
        EXPECT_TRUE(sameBytes(alone.blocks, together.blocks)) << blockCodecName(codec);
        EXPECT_TRUE(sameBytes(alone.decoded.rgba, together.decoded.rgba)) << blockCodecName(codec);
        EXPECT_TRUE(sameBytes(alone.blocks, compressed(level, codec, ones).blocks)) << blockCodecName(codec);
        EXPECT_TRUE(sameBytes(alone.blocks, compressed(level, codec, zeros).blocks)) << blockCodecName(codec);
    }
}
