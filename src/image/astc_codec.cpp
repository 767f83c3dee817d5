// ASTC levels through the reference encoder (libastcenc): one context per level, shared by the level's threads.
#include <astcenc.h>
#ifdef _OPENMP
#include <omp.h>
#endif

#include <cstdint>
#include <string>

#include "base/parallel.h"
#include "image/block_compression.h"

// The search effort of every ASTC level: the encoder's "medium" preset, which keeps 1 to 5 dB more of a texture than
// "fast". An ASTC 6x6 chain of a 2048 x 2048 texture must stay within 10 s on two threads: with "medium" it takes
// 4.2 s of processor time (bench/astc_bench.cpp), about 2 s on two free cores, against 1.2 s with "fast" and 40 s
// with "thorough". The same chain in 4x4 takes five times as long at the same preset. White noise is slow at every
// preset but the fastest, as no block of it ends the search early.
static const float astcQuality = ASTCENC_PRE_MEDIUM;

// The footprint of an ASTC codec, false for a BC codec.
static bool astcFootprint(BlockCodec codec, unsigned& x, unsigned& y) {
    switch (codec) {
    case BlockCodec::astc4x4: x = y = 4; return true;
    case BlockCodec::astc6x6: x = y = 6; return true;
    case BlockCodec::astc8x8: x = y = 8; return true;
    default: return false;
    }
}

// Frees the context on every path out of compressAstcLevel.
struct AstcContext {
    astcenc_context* context = nullptr;
    ~AstcContext() {
        if (context) astcenc_context_free(context);
    }
};

// The codec as the command line names it, "astc6x6"; written from the footprint so that this file needs no other of
// the block codecs' files.
static std::string astcName(unsigned blockX, unsigned blockY) {
    return "astc" + std::to_string(blockX) + "x" + std::to_string(blockY);
}

static bool astcFailure(const std::string& name, const char* step, astcenc_error status, std::string& error) {
    error = name + ": the ASTC encoder failed to " + step + ": " + astcenc_get_error_string(status);
    return false;
}

// The encoder takes no weight per texel: its error weights are per channel (or scaled by alpha, which would treat
// alpha as coverage), so `weights` are ignored. The texels of weight 0 are filled before a level is encoded, which
// keeps them from pulling the blocks' endpoints away from the texels that matter. The encoder fills the texels of
// blocks that reach past the level's edge from the texels inside it. Both the encoder's input and
// its blocks run from the top row down, as EncodedLevel and the containers store them, so nothing is flipped.
bool compressAstcLevel(const EncodedLevel& level, const TexelWeights& weights, BlockCodec codec, bool srgb,
                       CompressedLevel& out, std::string& error) {
    (void)weights;
    unsigned blockX = 0, blockY = 0;
    if (!astcFootprint(codec, blockX, blockY)) {
        error = "a BC codec given to the ASTC encoder";
        return false;
    }
    const std::string name = astcName(blockX, blockY);
    const int64_t texels = int64_t{level.width} * level.height;
    if (level.width <= 0 || level.height <= 0 || level.rgba.count != 4 * texels) {
        error = name + ": a level of " + std::to_string(level.width) + "x" + std::to_string(level.height) +
                " texels holds " + std::to_string(level.rgba.count) + " bytes";
        return false;
    }
    const int64_t blockBytes =
        16 * ((int64_t{level.width} + blockX - 1) / blockX) * ((int64_t{level.height} + blockY - 1) / blockY);
    if (blockBytes > INT32_MAX) {
        error = name + ": a level of " + std::to_string(level.width) + "x" + std::to_string(level.height) +
                " texels takes more blocks than an array holds";
        return false;
    }

    // The sRGB profile decodes the endpoints as a GPU does for an ASTC_*_SRGB format; the bytes are encoded as they
    // are in either profile.
    const astcenc_profile profile = srgb ? ASTCENC_PRF_LDR_SRGB : ASTCENC_PRF_LDR;
    astcenc_config config;
    astcenc_error status =
        astcenc_config_init(profile, blockX, blockY, 1, astcQuality, ASTCENC_FLG_SELF_DECOMPRESS_ONLY, &config);
    if (status != ASTCENC_SUCCESS) return astcFailure(name, "configure", status, error);

    // Small levels on the calling thread alone: each thread of a context carries its own working buffers.
    int threads = 1;
#ifdef _OPENMP
    if (worthThreads(texels)) threads = omp_get_max_threads();
#endif
    AstcContext context;
    status = astcenc_context_alloc(&config, static_cast<unsigned>(threads), &context.context);
    if (status != ASTCENC_SUCCESS) return astcFailure(name, "allocate its context", status, error);

    out.width = level.width;
    out.height = level.height;
    resize(out.blocks, static_cast<int32_t>(blockBytes));
    out.decoded.width = level.width;
    out.decoded.height = level.height;
    resize(out.decoded.rgba, level.rgba.count);

    // The encoder reads its input through a non-const pointer but does not write it.
    void* inputRows = const_cast<uint8_t*>(level.rgba.items);
    astcenc_image input{static_cast<unsigned>(level.width), static_cast<unsigned>(level.height), 1, ASTCENC_TYPE_U8,
                        &inputRows};
    void* decodedRows = out.decoded.rgba.items;
    astcenc_image decoded{static_cast<unsigned>(level.width), static_cast<unsigned>(level.height), 1,
                          ASTCENC_TYPE_U8, &decodedRows};
    const astcenc_swizzle rgba{ASTCENC_SWZ_R, ASTCENC_SWZ_G, ASTCENC_SWZ_B, ASTCENC_SWZ_A};

    // Each thread of the team calls the encoder with its own index, and the encoder hands out the blocks; a call
    // returns once every block is encoded, so the decoding that follows reads finished blocks. A team smaller than
    // the context's count (inside another parallel region) still encodes every block.
    astcenc_error compressStatus = ASTCENC_SUCCESS, decompressStatus = ASTCENC_SUCCESS;
#pragma omp parallel num_threads(threads) if (threads > 1)
    {
        unsigned index = 0;
#ifdef _OPENMP
        index = static_cast<unsigned>(omp_get_thread_num());
#endif
        const astcenc_error compressed = astcenc_compress_image(context.context, &input, &rgba, out.blocks.items,
                                                                static_cast<size_t>(blockBytes), index);
        astcenc_error decompressed = ASTCENC_SUCCESS;
        if (compressed == ASTCENC_SUCCESS) {
            decompressed = astcenc_decompress_image(context.context, out.blocks.items, static_cast<size_t>(blockBytes),
                                                    &decoded, &rgba, index);
        }
#pragma omp critical(kiv_astc_status)
        {
            if (compressed != ASTCENC_SUCCESS) compressStatus = compressed;
            if (decompressed != ASTCENC_SUCCESS) decompressStatus = decompressed;
        }
    }
    if (compressStatus != ASTCENC_SUCCESS) return astcFailure(name, "encode the level", compressStatus, error);
    if (decompressStatus != ASTCENC_SUCCESS) return astcFailure(name, "decode its blocks", decompressStatus, error);
    return true;
}
