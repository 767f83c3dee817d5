// What the filters hand back for the log: each step's solve phases and times. A filter fills its record as it goes,
// so one that fails still reports the steps it finished.
#pragma once

#include <cstdint>
#include <string>

#include "base/grow_array.h"
#include "filters/least_squares.h"

// One named time of a finished step ("time", "time build", ...), in wall seconds.
struct StepTime {
    const char* name = "";
    double seconds = 0;
};

// One step of a filter's work as its log shows it: the phases of the step's solve as they ran, then, once the step
// is done, its heading and its times. kivbi and kivbic have one step per level, kivtri and kivtric one for their joint
// solve; a filter appends its own steps, so a new one needs no new record here.
struct FilterStep {
    SolverStats solver;                // no phase runs for a step without a solve
    BoundsStats bounds;                // a bounded solve's phase
    GrowArray<double> levelHeldShare;  // a joint bounded solve: entry l (l >= 1) the share of level l's texels held
    bool done = false;                 // the step's values are in the pyramid
    std::string heading;               // shown once done, e.g. "Tent Smart downscale by factor 2"
    GrowArray<StepTime> times;
};

// A caller's display of a long run's progress. A filter reports as it goes: the phase under way ("surface" for the
// surface moments, "level" for kivbi's levels, "assembly" and "solve" for kivtri's joint system), the level it works
// on and the count of such levels (0 and 0 when the phase has none), and its estimate of the share of its whole work
// done, from 0 to 1 (an iterative solve's share follows its residual). Nothing the filter computes depends on it.
struct FilterProgress {
    void (*update)(void* context, const char* phase, int32_t level, int32_t levels, double done) = nullptr;
    void* context = nullptr;
};

inline void reportProgress(const FilterProgress& progress, const char* phase, int32_t level, int32_t levels,
                           double done) {
    if (progress.update) progress.update(progress.context, phase, level, levels, done);
}

// The statistics of one run of a filter, its steps in order (none for the filters that solve nothing). `progress` is
// set by the caller.
struct FilterStats {
    GrowArray<FilterStep> steps;
    FilterProgress progress;
};
