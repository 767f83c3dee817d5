// What block compression costs a pyramid: for each codec, the RGB PSNR of the decoded blocks against the
// uncompressed level bytes (pooled over every texel of every level of at least 4 x 4), and the surface error
// (kiv's --report measure, linear RGB) of the decoded levels, encoded two ways: as kiv writes them (unread texels
// filled by push-pull, each texel's error weighed by the surface's bilinear weight on it) and plainly (every texel
// alike, nothing filled).
//
// usage: compressed_quality <model.obj> <texture> [filter] [codec ...]   (default: kivbi; bc1 bc3 bc7 astc4x4
//        astc6x6 astc8x8)
// Prints per codec "codec psnr level-1 surface error: uncompressed, as written, plain" and the sums over levels 1 and
// on of the surface error of each.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "filters/bilinear_filter.h"
#include "filters/surface_error.h"
#include "filters/surface_reads.h"
#include "filters/weighted_box.h"
#include "image/block_compression.h"
#include "image/classic_filters.h"
#include "image/texel_fill.h"
#include "image/texture_containers.h"
#include "image/texture_io.h"
#include "mesh/obj_model.h"
#include "mesh/texture_repeat.h"

namespace {

// The level's texels as 8-bit bytes back in linear values (what an uncompressed file holds).
void asWritten(MipPyramid& pyramid) {
    for (FloatImage& level : pyramid.levels) {
        for (int32_t j = 0; j < level.count; ++j) level.texels[j] = texelAsWritten(level.texels[j], TexelEncoding::srgb);
    }
}

struct Encoded {
    MipPyramid decoded;      // linear values, rows from the bottom
    double squares = 0;      // against the uncompressed bytes, levels of at least 4 x 4
    double samples = 0;
};

// Encodes every level of `pyramid` with `codec`: weighed and filled as kiv writes them, or plainly.
Encoded encodePyramid(const MipPyramid& pyramid, const GrowArray<LevelWeights>& weights, BlockCodec codec,
                      bool asKivWrites) {
    Encoded result;
    for (int32_t k = 0; k < pyramid.levels.count; ++k) {
        FloatImage level;
        copyImage(level, pyramid.levels[k]);
        EncodedLevel bytes;
        if (asKivWrites) fillUnreadTexels(level, weights[k]);
        encodeLevel(level, false, TexelEncoding::srgb, bytes);
        const EncodedLevel& reference = bytes;
        CompressedLevel out;
        const LevelWeights none;
        const float floor = std::getenv("KIV_UNREAD_WEIGHT") ? std::atof(std::getenv("KIV_UNREAD_WEIGHT")) : 0.1f;
        const LevelWeights ordered = asKivWrites ? encoderWeights(weights[k], level.width, level.height, floor) : none;
        std::string error;
        if (codec >= BlockCodec::astc4x4) {
            if (!compressAstcLevel(bytes, ordered, codec, true, out, error)) std::fprintf(stderr, "%s\n", error.c_str());
        } else {
            compressBcLevel(bytes, ordered, codec, out);
        }
        FloatImage decoded;
        allocateImage(decoded, level.width, level.height);
        for (int32_t y = 0; y < level.height; ++y) {
            for (int32_t x = 0; x < level.width; ++x) {
                const uint8_t* t = out.decoded.rgba.items + 4 * ((level.height - 1 - y) * level.width + x);
                decoded.at(x, y) = Texel{unitFromByte(t[0]), unitFromByte(t[1]), unitFromByte(t[2]), 1.0f};
                if (level.width < 4 || level.height < 4) continue;
                const uint8_t* r = reference.rgba.items + 4 * ((level.height - 1 - y) * level.width + x);
                for (int c = 0; c < 3; ++c) result.squares += double(t[c] - r[c]) * (t[c] - r[c]);
                result.samples += 3;
            }
        }
        decodeTexels(decoded, TexelEncoding::srgb);
        append(result.decoded.levels, std::move(decoded));
    }
    return result;
}

double errorSum(const PyramidSurfaceError& error) {
    double sum = 0;
    for (int32_t k = 1; k < error.levelRms.count; ++k) sum += error.levelRms[k];
    return sum;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: compressed_quality <model.obj> <texture> [filter] [codec ...]\n");
        return 2;
    }
    Mesh mesh;
    FloatImage texture;
    std::string error;
    if (!loadObjModel(mesh, argv[1], error) || !normaliseMesh(mesh, error) ||
        !repeatTextureCoordinates(mesh, argv[1], error) || !loadTexture(argv[2], texture, error)) {
        std::fprintf(stderr, "Error: %s\n", error.c_str());
        return 1;
    }
    texture.hasAlpha = false;
    decodeTexels(texture, TexelEncoding::srgb);
    const int32_t levelCount = mipLevelCount(texture.width, texture.height);
    const std::string filter = argc > 3 ? argv[3] : "kivbi";
    MipPyramid pyramid;
    FilterStats stats;
    if (filter == "kivbi") {
        if (!buildKivbiPyramid(mesh, pyramid, texture, levelCount, LevelSolver::iterative, stats, error)) {
            std::fprintf(stderr, "Error: %s\n", error.c_str());
            return 1;
        }
    } else if (filter == "kivbox") {
        buildKivboxPyramid(mesh, pyramid, texture, levelCount);
    } else {
        buildBoxPyramid(pyramid, texture, levelCount);
    }
    GrowArray<BlockCodec> codecs;
    for (int k = 4; k < argc; ++k) {
        BlockCodec codec;
        if (!blockCodecNamed(argv[k], codec)) {
            std::fprintf(stderr, "Error: unknown codec %s\n", argv[k]);
            return 1;
        }
        append(codecs, codec);
    }
    if (codecs.count == 0) {
        for (BlockCodec codec : {BlockCodec::bc1, BlockCodec::bc3, BlockCodec::bc7, BlockCodec::astc4x4,
                                 BlockCodec::astc6x6, BlockCodec::astc8x8}) {
            append(codecs, codec);
        }
    }

    GrowArray<LevelWeights> weights;
    surfaceReadWeights(mesh, texture.width, texture.height, weights);
    SurfaceErrorBasis basis;
    prepareSurfaceError(basis, mesh, texture);
    MipPyramid written = pyramid;
    asWritten(written);
    PyramidSurfaceError uncompressed;
    measureSurfaceError(basis, written, uncompressed);
    std::printf("%s: surface error summed over levels 1 to %d: %.6f uncompressed\n", filter.c_str(), levelCount - 1,
                errorSum(uncompressed));
    std::printf("codec\tpsnr_as_written\tpsnr_plain\tlevel1_uncompressed\tlevel1_as_written\tlevel1_plain\tsum_as_written\tsum_plain\t"
                "worst_level_ratio\n");
    for (BlockCodec codec : codecs) {
        const Encoded kiv = encodePyramid(pyramid, weights, codec, true);
        const Encoded plain = encodePyramid(pyramid, weights, codec, false);
        PyramidSurfaceError kivError, plainError;
        measureSurfaceError(basis, kiv.decoded, kivError);
        measureSurfaceError(basis, plain.decoded, plainError);
        // PSNR against the levels each encoding starts from (filled, or not).
        const auto psnr = [](const Encoded& e) { return 10 * std::log10(255.0 * 255.0 * e.samples / e.squares); };
        double worst = 0;
        for (int32_t k = 1; k < kivError.levelRms.count; ++k) {
            if (uncompressed.levelRms[k] > 0) worst = std::max(worst, kivError.levelRms[k] / uncompressed.levelRms[k]);
        }
        std::printf("%s\t%.2f\t%.2f\t%.6f\t%.6f\t%.6f\t%.6f\t%.6f\t%.3f\n", blockCodecName(codec), psnr(kiv),
                    psnr(plain), uncompressed.levelRms[1], kivError.levelRms[1],
                    plainError.levelRms[1], errorSum(kivError), errorSum(plainError), worst);
        std::fflush(stdout);
    }
    return 0;
}
