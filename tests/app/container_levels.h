// The KTX2 and DDS files kiv writes, read with a parser written here from the published layouts (not with kiv's
// own writer), for the suites that check what the containers hold against the PNG levels of the same run.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

namespace containers {

inline uint32_t little32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (int k = 3; k >= 0; --k) value = value << 8 | static_cast<unsigned char>(bytes[at + k]);
    return value;
}

inline uint64_t little64(const std::string& bytes, size_t at) {
    return static_cast<uint64_t>(little32(bytes, at + 4)) << 32 | little32(bytes, at);
}

// One level's RGBA bytes, top row first, as both containers store them.
using Level = std::vector<unsigned char>;

// What a container's header says of the texture: its size, its format and how many levels follow.
struct Header {
    uint32_t width = 0, height = 0, levelCount = 0, format = 0;
};

// KTX 2.0: vkFormat at 12, pixelWidth and pixelHeight at 20 and 24, levelCount at 40; the level index follows the
// 80-byte header, three uint64 per level (offset, length, uncompressed length), level 0 first.
inline std::vector<Level> ktx2Levels(const std::string& file, Header& header) {
    std::vector<Level> levels;
    if (file.size() < 80) {
        ADD_FAILURE() << "a KTX2 file of " << file.size() << " bytes";
        return levels;
    }
    header = Header{little32(file, 20), little32(file, 24), little32(file, 40), little32(file, 12)};
    for (uint32_t k = 0; k < header.levelCount; ++k) {
        const uint64_t offset = little64(file, 80 + 24 * k), length = little64(file, 88 + 24 * k);
        if (offset + length > file.size()) {
            ADD_FAILURE() << "level " << k << " ends past the file";
            break;
        }
        const auto first = file.begin() + static_cast<long>(offset);
        levels.emplace_back(first, first + static_cast<long>(length));
    }
    return levels;
}

// DDS with the DX10 header: magic, 124-byte header (height at 12, width at 16, mip count at 28), 20-byte DX10
// header (DXGI format first), then the levels largest first, packed, each max(1, side >> k) on both axes.
inline std::vector<Level> ddsLevels(const std::string& file, Header& header) {
    std::vector<Level> levels;
    if (file.size() < 148) {
        ADD_FAILURE() << "a DDS file of " << file.size() << " bytes";
        return levels;
    }
    header = Header{little32(file, 16), little32(file, 12), little32(file, 28), little32(file, 128)};
    size_t at = 148;
    for (uint32_t k = 0; k < header.levelCount; ++k) {
        const size_t size = size_t{std::max(1u, header.width >> k)} * std::max(1u, header.height >> k) * 4;
        if (at + size > file.size()) {
            ADD_FAILURE() << "level " << k << " ends past the file";
            break;
        }
        const auto first = file.begin() + static_cast<long>(at);
        levels.emplace_back(first, first + static_cast<long>(size));
        at += size;
    }
    EXPECT_EQ(at, file.size());
    return levels;
}

// A PNG level as the containers lay it out: rows top first, alpha 255 when the file has none.
inline Level asContainerLevel(const DecodedImage& png) {
    Level level;
    for (int y = png.height - 1; y >= 0; --y) {
        for (int x = 0; x < png.width; ++x) {
            const int i = y * png.width + x;
            for (int c = 0; c < 3; ++c) level.push_back(png.rgb[3 * i + c]);
            level.push_back(png.hasAlpha ? png.alpha[i] : 255);
        }
    }
    return level;
}

}  // namespace containers
