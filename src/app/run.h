// The run driver: reads the model and its textures into per-texture jobs, runs each requested filter on each job
// while timing it, writes every level of every pyramid, and prints the timing report.
#pragma once

#include <string>

#include "app/command_line.h"

// Exit statuses of the program, one table for the whole run (the README repeats it). Every failure
// prints one "Error:" line first; a failure before the levels are saved leaves no level file.
enum ExitStatus : int {
    exitSuccess = 0,  // a complete run, or the usage text
    exitFailure = 1,  // an unknown filter name, a model or texture that cannot be read (or has no
                      // triangles or texels), a texture a requested filter cannot take, a filter that
                      // failed, a level that could not be written, memory exhausted
};

// Runs the whole job that `options` describe (at least a model and a texture, or a model with --from-model);
// returns the exit status. Every message is printed before returning.
int generateMipmaps(const RunOptions& options);

// Parses the arguments, answers --help and --version, prints the thread line and runs; returns the
// exit status.
int runCommandLine(int argc, char** argv);
