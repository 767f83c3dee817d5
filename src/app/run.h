// The run driver: reads the model and its textures into per-texture jobs, runs each requested filter on each job
// while timing it, writes every level of every pyramid, and prints the timing report.
#pragma once

#include <string>

#include "app/command_line.h"
#include "app/run_manifest.h"

// Exit statuses of the program, one table for the whole run (the README repeats it). Every failure
// prints one "Error:" line first, on standard error; a failure before the levels are saved leaves no level file.
enum ExitStatus : int {
    exitSuccess = 0,  // a complete run, the usage text asked for (kiv alone, --help), or --version
    exitFailure = 1,  // the run failed: a model or texture that cannot be read (or has no triangles or texels), a
                      // texture a requested filter cannot take, a filter that failed, a file that could not be
                      // written, memory exhausted
    exitUsage = 2,    // the command line is wrong: an unknown option, filter or --name field, a missing or bad option
                      // value, or a model without its texture; nothing is read or written
};

// Runs the whole job that `options` describe (at least a model and a texture, or a model with --from-model) and
// records what it did in `manifest`; returns the exit status. Every message is printed before returning.
int generateMipmaps(const RunOptions& options, RunManifest& manifest);

// Parses the arguments, answers --help and --version, prints the thread line, runs, and writes the manifest when
// asked; returns the exit status.
int runCommandLine(int argc, char** argv);
