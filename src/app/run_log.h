// Every line a run prints besides the usage text: the solver's and the least-squares filters' statistics, the
// times table, error lines, and the surface-error report with its CSV file.
#pragma once

#include <string>

#include "base/grow_array.h"
#include "filters/filter_stats.h"
#include "filters/surface_error.h"
#include "image/float_image.h"
#include "image/pixel_bytes.h"

// The log (the thread line, "Image is ...", the filters' lines, "Times:", the report) goes to standard output, or
// nowhere once setLogQuiet(true) (-q, or --manifest -); "Error:" and "Warning:" lines go to standard error whatever
// the log does. Every printing function first ends a progress line a terminal shows.
void setLogQuiet(bool quiet);
// Prints to the log as printf does.
void logPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Prints the lines of one filter run's steps, in order: each step's solver phases and bounded solve (and the held
// share of every level of a joint bounded solve), then, once the step is done, its heading and its times.
void printFilterStats(const FilterStats& stats);

// Prints "Error: " and the message, a failure's one line, and flushes; the libraries' messages name their subject
// and reason ("<file>: <reason>"), the printed line adds the word that marks it.
void printError(const std::string& message);
void printErrors(const GrowArray<std::string>& messages);
// Prints "Warning: " and the message on standard error: the run goes on.
void printWarning(const std::string& message);

// Every error and warning message printed so far, in order, without the word that marks it (for the manifest).
struct PrintedMessages {
    GrowArray<std::string> errors;
    GrowArray<std::string> warnings;
};
const PrintedMessages& printedMessages();

// One filter's pyramid as the report names it, and its error on the model.
struct ReportedPyramid {
    const std::string* name = nullptr;
    const MipPyramid* pyramid = nullptr;
    PyramidSurfaceError error;
};

// Prints the table of every level's RMS error on the model, one column per filter, then the trilinear mean square of
// every segment and their sum, the heading naming what is measured (linear light, the stored values, or the decoded
// normal vectors, each times alpha when `premultiplied`); returns the same figures as the text of report.csv.
std::string printSurfaceErrorReport(const GrowArray<ReportedPyramid>& pyramids, TexelEncoding encoding,
                                    bool premultiplied);
