// The run driver: loads the model and the texture, runs each requested filter in order while timing
// it, writes every level of every pyramid and prints the timing report.
#pragma once

#include <cstdint>
#include <string>

#include "base/grow_array.h"
#include "filters/filter_stats.h"
#include "image/float_image.h"
#include "mesh/obj_model.h"

// Exit statuses of the program, one table for the whole run (the README repeats it). Every failure
// prints one "Error:" line first; a failure before the levels are saved leaves no level file.
enum ExitStatus : int {
    exitSuccess = 0,  // a complete run, or the usage text
    exitFailure = 1,  // an unknown filter name, a model or texture that cannot be read (or has no
                      // triangles or texels), a texture a requested filter cannot take, a filter that
                      // failed, a level that could not be written, memory exhausted
};

// One requested filter: the name as typed, the levels it produced and the seconds it took.
struct FilterRun {
    std::string name;
    MipPyramid pyramid;
    double seconds = 0;
};

// The process-wide state of one run.
struct RunState {
    Mesh mesh;
    FloatImage texture;
    GrowArray<FilterRun> runs;
    int32_t levelCount = 0;
    LevelSolver solver = LevelSolver::iterative;  // how kivbi and kivtri solve their systems (--solver)
};

// Prints the usage text.
void printUsage();

// Prints the solver's and the least-squares filters' lines for one filter run, in the order of the
// steps: per kivbi level its solver phases, then its factor and seconds once solved; for kivtri its
// solver phases, then its four times once done.
void printFilterStats(const FilterStats& stats);

// Runs the whole job; returns the exit status. Every message is printed before returning.
int generateMipmaps(RunState& state, const char* modelPath, const char* texturePath,
                    const GrowArray<std::string>& filterNames);

// Parses the arguments (after the program name), prints the thread line and runs; returns the exit status.
int runCommandLine(int argc, char** argv);
