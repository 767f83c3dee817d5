// Wrap-around indices: every index lands on the texel it repeats, however far past an edge.
#include <gtest/gtest.h>

#include <cstdint>

#include "base/wrap_index.h"

TEST(WrapIndex, IndicesPastEitherEdgeLandOnTheTexelTheyRepeat) {
    EXPECT_EQ(wrapIndex(0, 4), 0);
    EXPECT_EQ(wrapIndex(3, 4), 3);
    EXPECT_EQ(wrapIndex(4, 4), 0);  // the right neighbour of the last texel is the first
    EXPECT_EQ(wrapIndex(-1, 4), 3);  // the left neighbour of the first texel is the last
    EXPECT_EQ(wrapIndex(-4, 4), 0);
    EXPECT_EQ(wrapIndex(-9, 4), 3);  // more than one period to the left
    EXPECT_EQ(wrapIndex(-1, 1), 0);
    // An offset past the 32-bit range (a wide kernel on a coarse level of a huge texture).
    EXPECT_EQ(wrapIndex(int64_t{1} << 40, 3), static_cast<int32_t>((int64_t{1} << 40) % 3));
    EXPECT_EQ(wrapIndex(-(int64_t{1} << 40) - 1, 1000), 1000 - static_cast<int32_t>(((int64_t{1} << 40) + 1) % 1000));
}
