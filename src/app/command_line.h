// The command line: the options record with the defaults of a bare `kiv <model> <texture>`, its parsing, and the
// usage text (whose filter lines come from the filter table).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/grow_array.h"
#include "filters/filter_stats.h"
#include "image/alpha_modes.h"
#include "image/level_names.h"
#include "image/pixel_bytes.h"
#include "image/pyramid_files.h"

// Everything the command line asks for.
struct RunOptions {
    std::string modelPath;
    std::string texturePath;                   // empty with --from-model
    GrowArray<std::string> filterNames;        // in the order given; kivbi when none is named
    int32_t positionalCount = 0;               // model, texture and filter names given
    bool fromModel = false;                    // --from-model: every texture of the model's materials, by role
    TexelEncoding encoding = TexelEncoding::srgb;  // --color-space srgb|linear, --normal-map: what the texture holds
    AlphaMode alpha = AlphaMode::straight;     // --alpha: how the filters treat alpha
    double alphaCutoff = 0.5;                  // --alpha coverage=CUTOFF: the alpha test's threshold
    bool premultipliedOutput = false;          // --alpha-output premultiplied: levels keep colour times alpha
    std::string outputFolder;                  // -o/--output; empty is the working directory
    GrowArray<OutputFormat> formats;           // --format, each once in the order given; png when not given
    bool fillUnused = false;                   // --fill-unused: unread texels filled in uncompressed files too
    int32_t threadCount = 0;                   // --threads; 0 chooses OMP_NUM_THREADS or every processor
    LevelSolver solver = LevelSolver::iterative;  // how kivbi and kivtri solve their systems (--solver)
    bool report = false;                       // --report: every level's error on the model, printed and in a file
    bool viewer = false;                       // --viewer: viewer.html, the model with each pyramid in a browser
    bool help = false;                         // -h/--help
    bool version = false;                      // --version
    bool quiet = false;                        // -q/--quiet: nothing on standard output (implied by --manifest -)
    std::string manifestPath;                  // --manifest FILE, "-" for standard output; empty for none
    NamePattern names = defaultLevelNames();   // --name PATTERN: the level files' names, and the containers'
    bool clean = true;                         // false with --no-clean: levels an earlier run left are kept
};

// Prints the usage text on `stream`: standard output when asked for (--help, or kiv alone), standard error after a
// usage error.
void printUsage(std::FILE* stream);

// The line printed after a command-line error.
extern const char* const usageHint;

// Fills `options` from the arguments as main receives them (argv[0] the program). Returns false with a one-line
// message (printed after "Error: ") for an unknown option, a missing or bad option value, an unknown filter name, or
// a --name pattern that cannot name this run's files; nothing is touched. Whether model and texture are there is the
// caller's to check (positionalCount).
bool parseCommandLine(int argc, const char* const* argv, RunOptions& options, std::string& error);
