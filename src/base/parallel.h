// When a loop is worth running on several threads.
#pragma once

#include <cstdint>

// Loops over fewer elements than this run on the calling thread alone: starting and joining a parallel region
// costs more than they do, and a pyramid's coarse levels, which the joint solves visit in every iteration, are
// all that small. Results never depend on it (every loop sums in a fixed order).
constexpr int64_t minimumParallelElements = int64_t{1} << 14;

inline bool worthThreads(int64_t elements) { return elements >= minimumParallelElements; }
