// The ASTC codec: the round trip's quality per footprint, levels of any size, the blocks decoded by a context made
// here in either profile, and blocks that do not depend on the threads.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "image/block_compression.h"
#include "test_support.h"

// The encoder's CMake package defines this for its users; the tests link the library through kiv_image.
#ifndef ASTCENC_DYNAMIC_LIBRARY
#define ASTCENC_DYNAMIC_LIBRARY
#endif
#include <astcenc.h>

namespace {

using Bytes = std::vector<uint8_t>;
struct Footprint { BlockCodec codec; unsigned side; };
const Footprint footprints[] = {{BlockCodec::astc4x4, 4}, {BlockCodec::astc6x6, 6}, {BlockCodec::astc8x8, 8}};

// Waves of periods from 50 to 200 texels in every channel and a vertical ramp in green, so that a level flipped or
// with channels swapped loses many dB; `noise` > 0 adds uniform noise of that amplitude to every byte.
EncodedLevel testLevel(int32_t width, int32_t height, int noise) {
    EncodedLevel level{width, height, {}};
    resize(level.rgba, 4 * width * height);
    const Bytes random = randomBytes(static_cast<size_t>(level.rgba.count), 7);
    for (int32_t k = 0; k < level.rgba.count; ++k) {
        const int32_t x = k / 4 % width, y = k / 4 / width, c = k % 4;
        const double value = (c == 1 ? 255.0 * y / std::max(1, height - 1)
                                     : 127.5 + 100.0 * std::sin(0.03 * (c + 1) * x + 0.02 * (3 - c) * y + c)) +
                             (noise ? random[static_cast<size_t>(k)] % (2 * noise + 1) - noise : 0);
        level.rgba.items[k] = static_cast<uint8_t>(std::lround(std::min(255.0, std::max(0.0, value))));
    }
    return level;
}

double psnr(const EncodedLevel& a, const EncodedLevel& b) {
    double squares = 1e-9;
    for (int32_t k = 0; k < a.rgba.count; ++k) squares += std::pow(a.rgba.items[k] - b.rgba.items[k], 2);
    return 10.0 * std::log10(255.0 * 255.0 * a.rgba.count / squares);
}

CompressedLevel compressed(const EncodedLevel& level, BlockCodec codec, bool srgb) {
    CompressedLevel out;
    std::string error;
    EXPECT_TRUE(compressAstcLevel(level, TexelWeights(), codec, srgb, out, error)) << error;
    return out;
}

// The texels `out.blocks` decode to through a decompress-only context of the test's own, in `profile`.
Bytes decodedHere(const CompressedLevel& out, unsigned side, astcenc_profile profile) {
    astcenc_config config;
    astcenc_context* context = nullptr;
    EXPECT_EQ(astcenc_config_init(profile, side, side, 1, 0.0f, ASTCENC_FLG_DECOMPRESS_ONLY, &config), ASTCENC_SUCCESS);
    EXPECT_EQ(astcenc_context_alloc(&config, 1, &context), ASTCENC_SUCCESS);
    Bytes texels(4 * static_cast<size_t>(out.width) * static_cast<size_t>(out.height));
    void* rows = texels.data();
    astcenc_image image{static_cast<unsigned>(out.width), static_cast<unsigned>(out.height), 1, ASTCENC_TYPE_U8, &rows};
    const astcenc_swizzle rgba{ASTCENC_SWZ_R, ASTCENC_SWZ_G, ASTCENC_SWZ_B, ASTCENC_SWZ_A};
    const size_t size = static_cast<size_t>(out.blocks.count);
    EXPECT_EQ(astcenc_decompress_image(context, out.blocks.items, size, &image, &rgba, 0), ASTCENC_SUCCESS);
    astcenc_context_free(context);
    return texels;
}

Bytes bytesOf(const GrowArray<uint8_t>& bytes) { return Bytes(bytes.begin(), bytes.end()); }

}  // namespace

// Every block takes 128 bits, so the rate falls from 8 to 3.6 to 2 bits per texel from 4x4 to 8x8: each footprint
// keeps less of the level than the smaller one, smooth levels keep much, noise of +-40 far less.
TEST(AstcCodec, RoundTripsWithinPsnrFloorsThatFallWithTheFootprint) {
    const EncodedLevel smooth = testLevel(64, 64, 0), noisy = testLevel(64, 64, 40);
    const double smoothFloor[] = {39.5, 36.5, 33.0}, noisyFloor[] = {23.0, 20.5, 19.5};
    double smoothAbove = 1e9, noisyAbove = 1e9;
    for (int i = 0; i < 3; ++i) {
        const double smoothPsnr = psnr(compressed(smooth, footprints[i].codec, false).decoded, smooth);
        const double noisyPsnr = psnr(compressed(noisy, footprints[i].codec, false).decoded, noisy);
        EXPECT_TRUE(smoothPsnr > smoothFloor[i] && smoothPsnr < smoothAbove) << footprints[i].side << " " << smoothPsnr;
        EXPECT_TRUE(noisyPsnr > noisyFloor[i] && noisyPsnr < noisyAbove) << footprints[i].side << " " << noisyPsnr;
        smoothAbove = smoothPsnr;
        noisyAbove = noisyPsnr;
    }
}

// Blocks past the right and bottom edges are whole blocks, and the decoded level keeps the level's size. ASTC blocks
// do not say their profile, and the two decode the same bytes differently: a context made here decodes the blocks,
// in their order, to exactly the texels handed back in the profile the flag asked for, and (on a level large enough
// to show it) to other texels in the other profile. One texel is a block of one colour, stored exactly.
TEST(AstcCodec, LevelsOfAnySizeDecodeHereInTheirProfileToTheTexelsHandedBack) {
    for (const Footprint& f : footprints) {
        for (const auto& [width, height] : {std::make_pair(1, 1), std::make_pair(7, 5), std::make_pair(13, 13)}) {
            const EncodedLevel level = testLevel(width, height, 20);
            const int32_t blocks = ((width + f.side - 1) / f.side) * ((height + f.side - 1) / f.side);
            for (bool srgb : {false, true}) {
                const CompressedLevel out = compressed(level, f.codec, srgb);
                EXPECT_EQ(out.blocks.count, 16 * blocks) << f.side << ": " << width << "x" << height;
                EXPECT_TRUE(out.width == width && out.decoded.width == width && out.decoded.height == height);
                ASSERT_EQ(out.decoded.rgba.count, level.rgba.count);
                const Bytes own = decodedHere(out, f.side, srgb ? ASTCENC_PRF_LDR_SRGB : ASTCENC_PRF_LDR);
                EXPECT_EQ(own, bytesOf(out.decoded.rgba)) << f.side << ": " << width << " srgb " << srgb;
                const Bytes other = decodedHere(out, f.side, srgb ? ASTCENC_PRF_LDR : ASTCENC_PRF_LDR_SRGB);
                if (width == 13) { EXPECT_NE(other, own) << f.side << " srgb " << srgb; }
                EXPECT_GT(psnr(out.decoded, level), width == 1 ? 90.0 : 20.0) << f.side << ": " << width;
            }
        }
    }
}

// Blocks on one thread, on two, and from inside another parallel region (whose nested team has one thread for a
// context made for more) are the same bytes.
TEST(AstcCodec, BlocksDoNotDependOnTheThreads) {
    const EncodedLevel level = testLevel(136, 136, 4);
    const int threads = omp_get_max_threads();
    Bytes blocks[4];
    for (int k = 0; k < 2; ++k) {
        omp_set_num_threads(k + 1);
        blocks[k] = bytesOf(compressed(level, BlockCodec::astc6x6, false).blocks);
    }
#pragma omp parallel num_threads(2)
    blocks[2 + omp_get_thread_num()] = bytesOf(compressed(level, BlockCodec::astc6x6, false).blocks);
    omp_set_num_threads(threads);
    for (int k = 1; k < 4; ++k) EXPECT_EQ(blocks[k], blocks[0]) << k;
}

// A BC codec, or a level whose bytes do not match its size, is refused with one line.
TEST(AstcCodec, RefusesWhatItCannotEncodeWithOneLine) {
    EncodedLevel shortLevel = testLevel(8, 8, 0);
    shortLevel.rgba.count -= 4;
    CompressedLevel out;
    std::string errors[2];
    EXPECT_FALSE(compressAstcLevel(testLevel(8, 8, 0), TexelWeights(), BlockCodec::bc7, false, out, errors[0]));
    EXPECT_FALSE(compressAstcLevel(shortLevel, TexelWeights(), BlockCodec::astc4x4, false, out, errors[1]));
    for (const std::string& e : errors) EXPECT_TRUE(!e.empty() && e.find('\n') == std::string::npos) << e;
}
