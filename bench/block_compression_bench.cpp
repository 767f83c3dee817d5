// Speed of the block encoders on a whole level chain: a 2048 x 2048 texture (milk_truck's when the real models'
// folder is there, else a generated one) and every smaller level of its box pyramid, encoded as the KTX2 and DDS
// writers would. The counters give the colour PSNR of level 0 against its bytes.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

#include "image/block_compression.h"
#include "image/classic_filters.h"
#include "image/texture_containers.h"
#include "image/texture_io.h"

namespace {

// Smooth waves with noise, for machines without the real models.
FloatImage generatedTexture(int32_t side) {
    FloatImage texture;
    allocateImage(texture, side, side);
    std::mt19937 random(1);
    std::uniform_real_distribution<float> noise(-0.02f, 0.02f);
    for (int32_t y = 0; y < side; ++y) {
        for (int32_t x = 0; x < side; ++x) {
            const float r = 0.5f + 0.35f * std::sin(x * 0.01f) * std::cos(y * 0.013f) + noise(random);
            const float g = 0.45f + 0.3f * std::sin((x + y) * 0.007f) + noise(random);
            const float b = 0.3f + 0.2f * std::cos(x * 0.031f) + noise(random);
            texture.texels[y * side + x] = Texel{r, g, b, 1.0f};
        }
    }
    return texture;
}

// The level chain, each level's bytes as the containers store them, built once for every benchmark.
const GrowArray<EncodedLevel>& levelChain() {
    static const GrowArray<EncodedLevel> chain = [] {
        const char* configured = std::getenv("KIV_MODELS_DIR");
        const std::string models = configured && *configured ? configured : KIV_SOURCE_DIR "/../shared/models";
        const std::string path = models + "/milk_truck/texture.png";
        FloatImage texture;
        std::string error;
        if (!loadTexture(path.c_str(), texture, error)) texture = generatedTexture(2048);
        MipPyramid pyramid;
        buildBoxPyramid(pyramid, texture, mipLevelCount(texture.width, texture.height));
        GrowArray<EncodedLevel> levels;
        for (const FloatImage& level : pyramid.levels) {
            EncodedLevel bytes;
            encodeLevel(level, false, TexelEncoding::linear, bytes);  // the bytes as read, no transfer function
            append(levels, std::move(bytes));
        }
        return levels;
    }();
    return chain;
}

double levelPsnr(const EncodedLevel& original, const EncodedLevel& decoded, int32_t firstChannel, int32_t channels) {
    double squares = 0;
    for (int32_t k = 0; k < original.rgba.count; k += 4) {
        for (int32_t c = firstChannel; c < firstChannel + channels; ++c) {
            const double d = static_cast<double>(original.rgba[k + c]) - decoded.rgba[k + c];
            squares += d * d;
        }
    }
    const double count = static_cast<double>(original.rgba.count / 4) * channels;
    return squares == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * count / squares);
}

void levelChainOf(benchmark::State& state, BlockCodec codec, int32_t channels) {
    const GrowArray<EncodedLevel>& chain = levelChain();
    int64_t texels = 0;
    for (const EncodedLevel& level : chain) texels += int64_t{level.width} * level.height;
    CompressedLevel first;
    for (auto _ : state) {
        for (const EncodedLevel& level : chain) {
            CompressedLevel out;
            compressBcLevel(level, TexelWeights(), codec, out);
            benchmark::DoNotOptimize(out.blocks.items);
            if (&level == &chain[0]) first = std::move(out);
        }
    }
    state.SetItemsProcessed(state.iterations() * texels);
    state.counters["side"] = chain[0].width;
    state.counters["psnr"] = levelPsnr(chain[0], first.decoded, 0, channels);
}

void bc1Chain(benchmark::State& state) { levelChainOf(state, BlockCodec::bc1, 3); }
void bc3Chain(benchmark::State& state) { levelChainOf(state, BlockCodec::bc3, 3); }
void bc4Chain(benchmark::State& state) { levelChainOf(state, BlockCodec::bc4, 1); }
void bc5Chain(benchmark::State& state) { levelChainOf(state, BlockCodec::bc5, 2); }

BENCHMARK(bc1Chain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(bc3Chain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(bc4Chain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(bc5Chain)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
