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

// The containers a pyramid can be written in, as bits of RunOptions::formats.
enum OutputFormat : uint32_t {
    formatPng = 1u << 0,   // one 24-bit PNG per level
    formatKtx2 = 1u << 1,  // one KTX2 file per pyramid
    formatDds = 1u << 2,   // one DDS file per pyramid
};

// Everything the command line asks for, with the defaults of a bare `kiv <model> <texture>`.
struct RunOptions {
    std::string modelPath;
    std::string texturePath;                   // empty with --from-model
    GrowArray<std::string> filterNames;        // in the order given; kivbi when none is named
    int32_t positionalCount = 0;               // model, texture and filter names given
    bool fromModel = false;                    // --from-model: every colour texture of the model's materials
    std::string outputFolder;                  // -o/--output; empty is the working directory
    uint32_t formats = formatPng;              // --format, a set of OutputFormat bits
    int32_t threadCount = 0;                   // --threads; 0 chooses OMP_NUM_THREADS or every processor
    LevelSolver solver = LevelSolver::iterative;  // how kivbi and kivtri solve their systems (--solver)
    bool report = false;                       // --report: every level's error on the model, printed and in a file
    bool viewer = false;                       // --viewer: viewer.html, the model with each pyramid in a browser
    bool help = false;                         // -h/--help
    bool version = false;                      // --version
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
    std::string outputFolder;                  // where the current texture's files go
    std::string textureFolder;                 // with --from-model: the name of that folder in options.outputFolder
    int32_t levelCount = 0;
    RunOptions options;
};

// Prints the usage text.
void printUsage();

// Prints the solver's and the least-squares filters' lines for one filter run, in the order of the
// steps: per kivbi level its solver phases, then its factor and seconds once solved; for kivtri its
// solver phases, then its four times once done.
void printFilterStats(const FilterStats& stats);

// Fills `options` from the arguments as main receives them (argv[0] the program). Returns false with a one-line
// "Error: ..." message for an unknown option or a missing or bad option value; nothing is touched.
bool parseCommandLine(int argc, const char* const* argv, RunOptions& options, std::string& error);

// Runs the whole job that state.options describe (at least a model and a texture, or a model with --from-model);
// returns the exit status. Every message is printed before returning.
int generateMipmaps(RunState& state);

// Parses the arguments, answers --help and --version, prints the thread line and runs; returns the
// exit status.
int runCommandLine(int argc, char** argv);
