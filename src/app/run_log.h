// Every line a run prints besides the usage text: the solver's and the least-squares filters' statistics, the
// times table, error lines, and the surface-error report with its CSV file.
#pragma once

#include <string>

#include "base/grow_array.h"
#include "filters/filter_stats.h"
#include "filters/surface_error.h"
#include "image/float_image.h"

// Prints the solver's and the least-squares filters' lines for one filter run, in the order of the
// steps: per kivbi level its solver phases, then its factor and seconds once solved; for kivtri its
// solver phases, then its four times once done.
void printFilterStats(const FilterStats& stats);

// Prints "Error: " and the message, a failure's one line, and flushes; the libraries' messages name their subject
// and reason ("<file>: <reason>"), the printed line adds the word that marks it.
void printError(const std::string& message);
void printErrors(const GrowArray<std::string>& messages);

// One filter's pyramid as the report names it, and its error on the model.
struct ReportedPyramid {
    const std::string* name = nullptr;
    const MipPyramid* pyramid = nullptr;
    PyramidSurfaceError error;
};

// Prints the table of every level's RMS error on the model, one column per filter, then the trilinear mean square of
// every segment and their sum; returns the same figures as the text of report.csv.
std::string printSurfaceErrorReport(const GrowArray<ReportedPyramid>& pyramids);
