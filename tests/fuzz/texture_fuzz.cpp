// libFuzzer target: the texture decoders behind loadTexture must decode or refuse any input, never crash, and what
// they decode must hold bytes / 255 that a written PNG level gives back exactly. PNG, JPEG and PSD files (by their
// signature) are ours to decode or refuse; the image library's own readers (BMP, TGA and the rest) are fuzzed only
// when KIV_FUZZ_IMAGE_LIBRARY is set, since a crash there is theirs to fix, not ours.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "image/picture_codecs.h"
#include "image/texture_io.h"

// Up to 1024 x 1024 texels, so that a header declaring a huge picture is refused before it fills the fuzzer's memory.
static constexpr int64_t maxFuzzTexels = int64_t(1) << 20;

static bool isByte(float value) {
    const float scaled = value * 255.0f;
    return value >= 0.0f && value <= 1.0f && std::fabs(scaled - std::round(scaled)) < 1e-3f;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool everyFormat = std::getenv("KIV_FUZZ_IMAGE_LIBRARY") != nullptr;
    if (!everyFormat && textureDecoderFor(data, size) == TextureDecoder::imageLibrary) return 0;
    FloatImage texture;
    std::string error;
    // The name gives files without a signature to the TGA reader.
    if (!decodeTexture(data, size, "fuzz.tga", maxFuzzTexels, texture, error)) {
        if (error.rfind("fuzz.tga: ", 0) != 0 || texture.count != 0) std::abort();
        return 0;
    }
    if (texture.count != texture.width * texture.height || texture.count == 0) std::abort();
    for (int32_t k = 0; k < texture.count; ++k) {
        const Texel& t = texture.texels[k];
        if (!isByte(t.r) || !isByte(t.g) || !isByte(t.b) || !isByte(t.a) || (!texture.hasAlpha && t.a != 1.0f)) {
            std::abort();
        }
    }
    // A small texture goes through the PNG encoder and back.
    if (texture.count <= 256 * 256) {
        GrowArray<uint8_t> png;
        std::string reason;
        if (!encodePng(texture, texture.hasAlpha, false, png, reason)) std::abort();
        FloatImage again;
        const DecodeOutcome outcome = decodePng(png.items, static_cast<size_t>(png.count), maxFuzzTexels, again);
        if (outcome.status != DecodeStatus::decoded || again.count != texture.count || again.width != texture.width) {
            std::abort();
        }
        for (int32_t k = 0; k < texture.count; ++k) {
            const Texel &a = texture.texels[k], &b = again.texels[k];
            if (a.r != b.r || a.g != b.g || a.b != b.b || a.a != b.a) std::abort();
        }
    }
    return 0;
}
