// Time of the ASTC codec on a whole level chain: a 2048 x 2048 level and every smaller one down to 1 x 1, each
// encoded and decoded as compressAstcLevel does it on the run's threads (OMP_NUM_THREADS=2 for the two-thread
// figure). Its footprint is the benchmark's argument (4, 6 or 8).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>

#include "base/grow_array.h"
#include "image/block_compression.h"

namespace {

// Colour like a texture atlas's: slow waves, charts with hard edges and a grain of +-4 on every byte, opaque. White
// noise would be the worst case of the encoder, whose search ends early on no block of it, and is no texture.
EncodedLevel detailedLevel(int32_t side) {
    EncodedLevel level;
    level.width = level.height = side;
    resize(level.rgba, 4 * side * side);
    std::mt19937 random(1);
    for (int32_t y = 0; y < side; ++y) {
        for (int32_t x = 0; x < side; ++x) {
            const double u = double(x) / side, v = double(y) / side;
            const bool chart = (x / 37 + y / 53) % 3 == 0;
            const double colour[3] = {127 + 100 * std::sin(9 * u + 3 * v), 127 + 100 * std::cos(7 * v - 2 * u),
                                      chart ? 220.0 : 40 + 150 * u * v};
            uint8_t* texel = &level.rgba.items[4 * (y * side + x)];
            for (int c = 0; c < 3; ++c) {
                const double grain = static_cast<int>(random() % 9) - 4;
                texel[c] = static_cast<uint8_t>(std::lround(std::fmin(255.0, std::fmax(0.0, colour[c] + grain))));
            }
            texel[3] = 255;
        }
    }
    return level;
}

// Each level halves the one before by the mean of 2 x 2 texels.
GrowArray<EncodedLevel> levelChain(int32_t side) {
    GrowArray<EncodedLevel> levels;
    append(levels, detailedLevel(side));
    for (int32_t s = side / 2; s >= 1; s /= 2) {
        const EncodedLevel& finer = levels[levels.count - 1];
        EncodedLevel level;
        level.width = level.height = s;
        resize(level.rgba, 4 * s * s);
        for (int32_t k = 0; k < level.rgba.count; ++k) {
            const int32_t x = k / 4 % s, y = k / 4 / s, c = k % 4;
            const auto at = [&](int32_t dx, int32_t dy) {
                return finer.rgba.items[4 * ((2 * y + dy) * 2 * s + 2 * x + dx) + c];
            };
            level.rgba.items[k] = static_cast<uint8_t>((at(0, 0) + at(1, 0) + at(0, 1) + at(1, 1) + 2) / 4);
        }
        append(levels, std::move(level));
    }
    return levels;
}

void astcChain(benchmark::State& state) {
    const BlockCodec codec = state.range(0) == 4 ? BlockCodec::astc4x4
                             : state.range(0) == 6 ? BlockCodec::astc6x6 : BlockCodec::astc8x8;
    const GrowArray<EncodedLevel> levels = levelChain(2048);
    int64_t texels = 0;
    for (const EncodedLevel& level : levels) texels += int64_t{level.width} * level.height;
    for (auto _ : state) {
        for (const EncodedLevel& level : levels) {
            CompressedLevel out;
            std::string error;
            if (!compressAstcLevel(level, TexelWeights(), codec, true, out, error)) state.SkipWithError(error.c_str());
            benchmark::DoNotOptimize(out.blocks.items);
        }
    }
    state.SetItemsProcessed(state.iterations() * texels);
}

BENCHMARK(astcChain)->Arg(6)->Arg(4)->Arg(8)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1)->Repetitions(3);

}  // namespace
