// Products with a block of columns (a texture's colour channels) taken a few columns at a time, each column summed
// in the same order as alone: the columns' independent sums then overlap instead of each waiting on its own adds.
#pragma once

#include <cstdint>
#include <type_traits>

// The most columns one pass takes.
constexpr int32_t columnBlock = 4;

// Calls kernel(std::integral_constant<int32_t, C>(), first) for the columns first .. first + C - 1, in blocks of
// at most columnBlock, C being fixed at compile time so that the loops over it unroll.
template <typename Kernel>
void forColumnBlocks(int32_t columns, Kernel&& kernel) {
    for (int32_t first = 0; first < columns; first += columnBlock) {
        switch (columns - first) {
            case 1: kernel(std::integral_constant<int32_t, 1>(), first); break;
            case 2: kernel(std::integral_constant<int32_t, 2>(), first); break;
            case 3: kernel(std::integral_constant<int32_t, 3>(), first); break;
            default: kernel(std::integral_constant<int32_t, columnBlock>(), first); break;
        }
    }
}
