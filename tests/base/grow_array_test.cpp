// GrowArray: growth sequence, deep copies and reserve.
#include <gtest/gtest.h>

#include <climits>
#include <new>

#include "base/grow_array.h"

TEST(GrowArray, AppendGrowsToOneThenDoubles) {
    GrowArray<int> array;
    EXPECT_EQ(array.capacity, 0);
    const int expected[] = {1, 2, 4, 4, 8, 8, 8, 8, 16};
    for (int i = 0; i < 9; ++i) {
        append(array, i);
        EXPECT_EQ(array.capacity, expected[i]) << "after append " << i;
        EXPECT_EQ(array.count, i + 1);
    }
    for (int i = 0; i < 9; ++i) EXPECT_EQ(array[i], i);
}

TEST(GrowArray, ReserveBelowCapacityChangesNothing) {
    GrowArray<int> array;
    reserve(array, 8);
    int* storage = array.items;
    reserve(array, 8);
    reserve(array, 3);
    EXPECT_EQ(array.items, storage);
    EXPECT_EQ(array.capacity, 8);
    EXPECT_EQ(array.count, 0);
}

TEST(GrowArray, CopiesAreDeepAndSizedToCount) {
    GrowArray<GrowArray<int>> nested;
    GrowArray<int> inner;
    append(inner, 7);
    append(nested, inner);
    append(nested, inner);
    append(nested, inner);  // capacity 4, count 3
    GrowArray<GrowArray<int>> copy = nested;
    EXPECT_EQ(copy.capacity, 3);
    copy[0][0] = 9;
    EXPECT_EQ(nested[0][0], 7);
    release(nested);
    EXPECT_EQ(nested.count, 0);
    EXPECT_EQ(nested.items, nullptr);
    EXPECT_EQ(copy[2][0], 7);
}

// Growing past 2^30 items would overflow the 32-bit capacity; it is reported as exhausted memory
// instead of writing past the storage. (The array claims a capacity it never allocated.)
TEST(GrowArray, GrowthThatWouldOverflowTheCountIsOutOfMemory) {
    GrowArray<char> array;
    array.capacity = array.count = INT32_MAX / 2 + 1;
    EXPECT_THROW(append(array, 'x'), std::bad_alloc);
    EXPECT_EQ(array.count, INT32_MAX / 2 + 1);
    array.capacity = array.count = 0;  // nothing was allocated
}
