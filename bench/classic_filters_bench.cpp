// Speed of the box and truncated-sinc pyramids on textures whose sides halve exactly (1024 x 1024) and on ones
// whose levels take fractional scales (1000 x 600), per texel of levels 1 and up.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>

#include "image/classic_filters.h"

namespace {

FloatImage randomTexture(int32_t width, int32_t height) {
    FloatImage texture;
    allocateImage(texture, width, height);
    std::mt19937 random(1);
    std::uniform_real_distribution<float> value(0.0f, 1.0f);
    for (int32_t k = 0; k < texture.count; ++k) {
        texture.texels[k] = Texel{value(random), value(random), value(random), value(random)};
    }
    return texture;
}

void pyramid(benchmark::State& state, void (*build)(MipPyramid&, const FloatImage&, int32_t)) {
    const int32_t width = static_cast<int32_t>(state.range(0)), height = static_cast<int32_t>(state.range(1));
    const FloatImage texture = randomTexture(width, height);
    const int32_t levelCount = mipLevelCount(width, height);
    int64_t outputTexels = 0;
    for (int32_t i = 1; i < levelCount; ++i) outputTexels += int64_t{levelSide(width, i)} * levelSide(height, i);
    for (auto _ : state) {
        MipPyramid levels;
        build(levels, texture, levelCount);
        benchmark::DoNotOptimize(levels.levels.items);
    }
    state.SetItemsProcessed(state.iterations() * outputTexels);
}

void boxPyramid(benchmark::State& state) { pyramid(state, buildBoxPyramid); }
void lanczos3Pyramid(benchmark::State& state) { pyramid(state, buildLanczos3Pyramid); }

BENCHMARK(boxPyramid)->Args({1024, 1024})->Args({1000, 600})->Unit(benchmark::kMillisecond);
BENCHMARK(lanczos3Pyramid)->Args({1024, 1024})->Args({1000, 600})->Unit(benchmark::kMillisecond);

}  // namespace
