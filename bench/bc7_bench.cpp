// Speed of the BC7 block encoder: every 4 x 4 block of a 2048 x 2048 texture's box pyramid (milk_truck's when the
// real models' folder is there, else a generated one) on one and two threads, and single blocks of each kind a
// texture holds. The counters give microseconds per block per thread and the pyramid's pooled RGB PSNR.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "image/bc7_block.h"
#include "image/classic_filters.h"
#include "image/pixel_bytes.h"
#include "image/texture_containers.h"
#include "image/texture_io.h"

namespace {

struct Block {
    uint8_t texels[16][4];
};

// The real models' folder: KIV_MODELS_DIR when set, else ../shared/models beside the sources.
std::string modelsDirectory() {
    const char* configured = std::getenv("KIV_MODELS_DIR");
    if (configured && *configured) return configured;
    std::string source = __FILE__;
    return source.substr(0, source.rfind("/bench/")) + "/../shared/models";
}

// Smooth waves with noise, for machines without the real models.
FloatImage generatedTexture(int32_t side) {
    FloatImage texture;
    allocateImage(texture, side, side);
    std::mt19937 random(1);
    std::uniform_real_distribution<float> noise(-0.02f, 0.02f);
    for (int32_t y = 0; y < side; ++y)
        for (int32_t x = 0; x < side; ++x) {
            const float r = 0.5f + 0.35f * std::sin(x * 0.01f) * std::cos(y * 0.013f) + noise(random);
            const float g = 0.45f + 0.3f * std::sin((x + y) * 0.007f) + noise(random);
            const float b = 0.3f + 0.2f * std::cos(x * 0.031f) + noise(random);
            texture.texels[y * side + x] = Texel{r, g, b, 1.0f};
        }
    return texture;
}

// Every whole 4 x 4 block of every level of the texture's box pyramid, as sRGB bytes; built once.
const std::vector<Block>& pyramidBlocks() {
    static const std::vector<Block> blocks = [] {
        const std::string path = modelsDirectory() + "/milk_truck/texture.png";
        FloatImage texture;
        std::string error;
        if (loadTexture(path.c_str(), texture, error))
            decodeTexels(texture, TexelEncoding::srgb);
        else
            texture = generatedTexture(2048);
        MipPyramid pyramid;
        buildBoxPyramid(pyramid, texture, mipLevelCount(texture.width, texture.height));
        std::vector<Block> all;
        for (const FloatImage& image : pyramid.levels) {
            EncodedLevel level;
            encodeLevel(image, false, TexelEncoding::srgb, level);
            for (int32_t by = 0; by + 4 <= level.height; by += 4)
                for (int32_t bx = 0; bx + 4 <= level.width; bx += 4) {
                    Block b;
                    for (int k = 0; k < 16; ++k)
                        std::memcpy(b.texels[k], &level.rgba[4 * ((by + k / 4) * level.width + bx + k % 4)], 4);
                    all.push_back(b);
                }
        }
        return all;
    }();
    return blocks;
}

const float kUniform[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

// The whole pyramid on state.range(0) threads.
void bc7Pyramid(benchmark::State& state) {
    const std::vector<Block>& blocks = pyramidBlocks();
    const int threads = static_cast<int>(state.range(0));
    const int64_t count = static_cast<int64_t>(blocks.size());
    std::vector<Block> decoded(blocks.size());
    std::vector<uint8_t> bytes(16 * blocks.size());
    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
#pragma omp parallel for num_threads(threads) schedule(dynamic, 256)
        for (int64_t i = 0; i < count; ++i)
            encodeBc7Block(blocks[i].texels, kUniform, &bytes[16 * i], decoded[i].texels);
        benchmark::DoNotOptimize(bytes.data());
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    double squares = 0;
    for (size_t i = 0; i < blocks.size(); ++i)
        for (int k = 0; k < 16; ++k)
            for (int c = 0; c < 3; ++c) squares += std::pow(blocks[i].texels[k][c] - decoded[i].texels[k][c], 2);
    state.counters["blocks"] = static_cast<double>(count);
    state.counters["rgbPsnr"] = 10 * std::log10(255.0 * 255.0 * 48.0 * static_cast<double>(count) / squares);
    // Microseconds of one thread per block: the wall time of a pass times the threads, over the blocks.
    state.counters["usPerBlockThread"] =
        1e6 * seconds * threads / (static_cast<double>(state.iterations()) * static_cast<double>(count));
    state.SetItemsProcessed(state.iterations() * count);
}

// 4096 blocks of one kind: 0 the pyramid's blocks that are not one colour, 1 noise, 2 colour and alpha that vary
// apart, 3 one colour.
std::vector<Block> blocksOfKind(int kind) {
    std::vector<Block> out;
    if (kind == 0) {
        for (const Block& b : pyramidBlocks()) {
            bool flat = true;
            for (int k = 1; k < 16; ++k) flat = flat && std::memcmp(b.texels[k], b.texels[0], 4) == 0;
            if (!flat) out.push_back(b);
            if (out.size() == 4096) break;
        }
        return out;
    }
    std::mt19937 random(kind);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int n = 0; n < 4096; ++n) {
        Block b;
        int from[4], to[4];
        for (int c = 0; c < 4; ++c) from[c] = byte(random), to[c] = byte(random);
        for (int k = 0; k < 16; ++k)
            for (int c = 0; c < 4; ++c) {
                const int ramp = from[c] + (to[c] - from[c]) * (c == 3 ? k / 4 : k % 4) / 3;
                const int value = kind == 1 ? byte(random) : kind == 2 ? ramp + byte(random) % 9 - 4 : from[c];
                b.texels[k][c] = static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
            }
        if (kind == 1)
            for (auto& t : b.texels) t[3] = 255;
        out.push_back(b);
    }
    return out;
}

void bc7Block(benchmark::State& state) {
    const std::vector<Block> blocks = blocksOfKind(static_cast<int>(state.range(0)));
    uint8_t bytes[16], decoded[16][4];
    size_t i = 0;
    for (auto _ : state) {
        encodeBc7Block(blocks[i].texels, kUniform, bytes, decoded);
        benchmark::DoNotOptimize(bytes);
        i = i + 1 == blocks.size() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(bc7Pyramid)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(bc7Block)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

}  // namespace
