// Writes a texture resampled to any size, for benchmarks and hard cases that need textures of sizes no model ships
// with (sides that are not powers of two, thin rectangles): each texel of the result is the bilinear sample of the
// source (wrapping round its edges) at the texel's centre, in linear light, written as an 8-bit sRGB PNG.
//
// usage: resize_texture <texture> <output.png> <width> <height>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "image/pixel_bytes.h"
#include "image/texture_io.h"

// The two source texels around the point at `position` (in source texels, centres at i + 1/2) and their weights.
static void taps(double position, int32_t size, int32_t index[2], double weight[2]) {
    const double at = position - 0.5, first = std::floor(at);
    const int64_t i = static_cast<int64_t>(first);
    index[0] = static_cast<int32_t>(((i % size) + size) % size);
    index[1] = static_cast<int32_t>((((i + 1) % size) + size) % size);
    weight[1] = at - first;
    weight[0] = 1 - weight[1];
}

int main(int argc, char** argv) {
    const int width = argc == 5 ? std::atoi(argv[3]) : 0, height = argc == 5 ? std::atoi(argv[4]) : 0;
    if (argc != 5 || width < 1 || height < 1 || width > 16384 || height > 16384) {
        std::printf("usage: resize_texture <texture> <output.png> <width> <height>   (sides from 1 to 16384)\n");
        return 1;
    }
    FloatImage source, result;
    std::string error;
    if (!loadTexture(argv[1], source, error)) {
        std::printf("Error: %s\n", error.c_str());
        return 1;
    }
    allocateImage(result, width, height);
    for (int32_t y = 0; y < height; ++y) {
        int32_t rows[2];
        double rowWeights[2];
        taps((y + 0.5) * source.height / height, source.height, rows, rowWeights);
        for (int32_t x = 0; x < width; ++x) {
            int32_t columns[2];
            double columnWeights[2];
            taps((x + 0.5) * source.width / width, source.width, columns, columnWeights);
            double sum[3] = {0, 0, 0};
            for (int j = 0; j < 2; ++j) {
                for (int i = 0; i < 2; ++i) {
                    const Texel& t = source.at(columns[i], rows[j]);
                    const double w = columnWeights[i] * rowWeights[j];
                    sum[0] += w * t.r, sum[1] += w * t.g, sum[2] += w * t.b;
                }
            }
            result.at(x, y) = Texel{linearToSrgb(static_cast<float>(sum[0])), linearToSrgb(static_cast<float>(sum[1])),
                                    linearToSrgb(static_cast<float>(sum[2])), 1.0f};
        }
    }
    if (!saveLevelPng(argv[2], 24, result, false, error)) {
        std::printf("Error: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
