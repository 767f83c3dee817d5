// The monotonic wall clock used to time filters and levels.
#pragma once

// Seconds since the first call in this process (monotonic, sub-microsecond resolution).
double wallClockSeconds();

// Processor seconds used by the whole process so far.
double processorSeconds();
