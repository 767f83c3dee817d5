// What the least-squares filters hand back for the log: each solve's phases and the filter's own times. A filter
// fills its record as it goes, so one that fails still reports the steps it finished.
#pragma once

#include <cstdint>

#include "base/grow_array.h"
#include "filters/least_squares.h"

// One level of "kivbi" (or "kivbic"), from the start of its assembly.
struct BilinearLevelStats {
    int32_t factor = 0;  // the level's block factor a = 2^i
    SolverStats solver;
    BoundsStats bounds;   // kivbic
    bool solved = false;  // the level's texels are the solution
    double seconds = 0;   // wall seconds from the start of the assembly to the stored solution
};

// The one joint solve of "kivtri" (or "kivtric").
struct TrilinearStats {
    SolverStats solver;   // no phase runs for a texture without inner levels
    BoundsStats bounds;   // kivtric: the joint bounded solve
    GrowArray<double> levelHeldShare;  // kivtric: per level (entry l for the unknown levels 1 ..), as heldShare
    bool solved = false;  // every level is filled
    double buildSeconds = 0;  // assembly and regularisation
    double solveSeconds = 0;  // the iterations, or the compressed copy, ordering, factorisation and solve
    double totalSeconds = 0;
};

// A caller's display of a long run's progress, called as each step starts ("level 3 of 11"; kivtri's assembly and
// its solve); nothing the filter computes depends on it.
struct FilterProgress {
    void (*step)(void* context, const char* what, int32_t done, int32_t total) = nullptr;
    void* context = nullptr;
};

inline void reportProgress(const FilterProgress& progress, const char* what, int32_t done, int32_t total) {
    if (progress.step) progress.step(progress.context, what, done, total);
}

// The statistics of one run of a filter; the other filters leave them empty. `progress` is set by the caller.
struct FilterStats {
    GrowArray<BilinearLevelStats> bilinearLevels;  // "kivbi", "kivbic": one per level started, finest first
    TrilinearStats trilinear;                       // "kivtri", "kivtric"
    FilterProgress progress;
};
