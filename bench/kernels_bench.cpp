// Speed of the innermost integrals of the two least-squares filters.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>

#include "filters/tent_kernel.h"
// The literal per-term integrals, kept as the tests' oracles, are the baselines here.
#include "kernel_oracles.h"

namespace {

// Inputs cycle through a small table so that no call can be hoisted out of the timing loop.
constexpr int32_t inputCount = 256;

struct KernelInput {
    LocalPoint p0, p1, p2;
    TentFactor x1, y1, x2, y2;
};

const KernelInput* kernelInputs() {
    static KernelInput inputs[inputCount];
    static bool filled = false;
    if (!filled) {
        std::mt19937_64 random(1);
        std::uniform_real_distribution<double> coordinate(0.0, 1.0);
        std::uniform_int_distribution<int32_t> column(0, 63), choice(0, 1);
        for (KernelInput& input : inputs) {
            input.p0 = {coordinate(random), coordinate(random)};
            input.p1 = {coordinate(random), coordinate(random)};
            input.p2 = {coordinate(random), coordinate(random)};
            const int32_t x = column(random), y = column(random);
            input.x1 = cellTent(x, 2, choice(random), 16);
            input.y1 = cellTent(y, 2, choice(random), 16);
            input.x2 = cellTent(x, 4, choice(random), 8);
            input.y2 = cellTent(y, 4, choice(random), 8);
        }
        filled = true;
    }
    return inputs;
}

void tentProduct(benchmark::State& state) {
    const KernelInput* inputs = kernelInputs();
    int32_t i = 0;
    for (auto _ : state) {
        const KernelInput& in = inputs[i];
        benchmark::DoNotOptimize(tentProductIntegral(in.p0, in.p1, in.p2, in.x1, in.y1, in.x2, in.y2));
        i = (i + 1) & (inputCount - 1);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(tentProduct);

void tentBlendProduct(benchmark::State& state) {
    const KernelInput* inputs = kernelInputs();
    int32_t i = 0;
    for (auto _ : state) {
        const KernelInput& in = inputs[i];
        const BlendFactor& t2 = i & 1 ? lowerBlend : upperBlend;
        benchmark::DoNotOptimize(
            tentBlendProductIntegral(in.p0, in.p1, in.p2, in.x1, in.y1, upperBlend, in.x2, in.y2, t2));
        i = (i + 1) & (inputCount - 1);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(tentBlendProduct);

// The four terms of one target pair of the trilinear right-hand sides: one tent pair, four blends,
// all computed before any is used, as an assembly loop would.
void tentBlendProductFourTerms(benchmark::State& state) {
    const KernelInput* inputs = kernelInputs();
    int32_t i = 0;
    for (auto _ : state) {
        const KernelInput& in = inputs[i];
        double terms[4] = {
            tentBlendProductIntegral(in.p0, in.p1, in.p2, in.x1, in.y1, upperBlend, in.x2, in.y2, lowerBlend),
            tentBlendProductIntegral(in.p0, in.p1, in.p2, in.x1, in.y1, upperBlend, in.x2, in.y2, upperBlend),
            tentBlendProductIntegral(in.p0, in.p1, in.p2, in.x1, in.y1, lowerBlend, in.x2, in.y2, lowerBlend),
            tentBlendProductIntegral(in.p0, in.p1, in.p2, in.x1, in.y1, lowerBlend, in.x2, in.y2, upperBlend)};
        benchmark::DoNotOptimize(terms);
        benchmark::ClobberMemory();
        i = (i + 1) & (inputCount - 1);
    }
    state.SetItemsProcessed(4 * state.iterations());
}
BENCHMARK(tentBlendProductFourTerms);

// The moments of one triangle shared by the 16 tent pairs of its cell.
void tentProductSharedMoments(benchmark::State& state) {
    const KernelInput* inputs = kernelInputs();
    int32_t i = 0;
    for (auto _ : state) {
        const KernelInput& in = inputs[i];
        const TriangleMoments moments = triangleMoments(in.p0, in.p1, in.p2);
        for (int32_t pair = 0; pair < 16; ++pair) {
            const KernelInput& tents = inputs[(i + pair) & (inputCount - 1)];
            benchmark::DoNotOptimize(tentProductIntegral(moments, tents.x1, tents.y1, tents.x2, tents.y2));
        }
        i = (i + 1) & (inputCount - 1);
    }
    state.SetItemsProcessed(16 * state.iterations());
}
BENCHMARK(tentProductSharedMoments);

// One cell as the bilinear filter sees it: two pieces (a triangle and a pentagon, 4 fan triangles),
// all 16 ordered tent pairs.
void cellOverlapSixteenPairs(benchmark::State& state) {
    CoverageCell cell;
    SurfacePiece triangle, pentagon;
    const TexPoint corners[5] = {{0.1f, 0.0f}, {0.9f, 0.2f}, {1.0f, 0.7f}, {0.5f, 1.0f}, {0.0f, 0.6f}};
    for (int32_t k = 0; k < 5; ++k) {
        append(pentagon.texPoints, corners[k]);
        append(pentagon.surfacePoints, Point3{corners[k].u, corners[k].v, 0.5f * corners[k].u});
        if (k < 3) {
            append(triangle.texPoints, corners[k]);
            append(triangle.surfacePoints, Point3{corners[k].v, 0.3f * corners[k].u, corners[k].u});
        }
    }
    append(cell.pieces, triangle);
    append(cell.pieces, pentagon);
    int32_t x = 0;
    for (auto _ : state) {
        for (int32_t e1 = 0; e1 < 2; ++e1)
            for (int32_t e2 = 0; e2 < 2; ++e2)
                for (int32_t e3 = 0; e3 < 2; ++e3)
                    for (int32_t e4 = 0; e4 < 2; ++e4)
                        benchmark::DoNotOptimize(cellOverlap(cell, cellTent(x, 1, e2, 64), cellTent(x, 1, e1, 64),
                                                             cellTent(x, 1, e4, 64), cellTent(x, 1, e3, 64),
                                                             16384.0));
        x = (x + 1) & 127;
    }
    state.SetItemsProcessed(16 * 4 * state.iterations());
}
BENCHMARK(cellOverlapSixteenPairs);

}  // namespace
