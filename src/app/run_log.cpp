// The run's printed lines.
#include "app/run_log.h"

#include <cstdarg>
#include <cstdio>

#include "app/progress_line.h"

static bool logQuiet = false;
static PrintedMessages printed;

void setLogQuiet(bool quiet) { logQuiet = quiet; }

void logPrintf(const char* format, ...) {
    if (logQuiet) return;
    interruptProgressLine();
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stdout, format, arguments);
    va_end(arguments);
}

const PrintedMessages& printedMessages() { return printed; }

// What a solve's line adds when its error bound was not proved: that, what ended it, and how far its residual (or
// projected gradient) is from the one the proof needs. Empty when proved.
static std::string unprovedNote(bool proved, double wantedError, const char* ending, const char* measure,
                                double value, double needed) {
    if (proved) return "";
    char text[200];
    std::snprintf(text, sizeof text, "; the %.0e bound is not proved: %s ended it with the %s %.1f times the %.2e it needs",
                  wantedError, ending ? ending : "a cap", measure, needed > 0.0 ? value / needed : 0.0, needed);
    return text;
}

// One line per solver phase that ran: wall seconds right-aligned in ten columns, processor seconds.
static void printSolverStats(const SolverStats& solver) {
    if (solver.analysisRan) {
        logPrintf("\t\tSymbolic Analysis            = % 10.3f seconds (%.3f cpu)\n", solver.analysisSeconds,
                  solver.analysisProcessorSeconds);
    }
    if (solver.factorisationRan) {
        // The factorisation's own name: the method of the build's sparse Cholesky.
        logPrintf("\t\t%-28s = % 10.3f seconds (%.3f cpu)\n",
                  solver.factorisationMethod ? solver.factorisationMethod : "Numeric factorisation",
                  solver.factorisationSeconds,
                  solver.factorisationProcessorSeconds);
    }
    if (solver.iterationsRan && solver.startOfBoundedSolve) {
        // Only the start of the bounded solve, which proves its own bound: how the start was made, then its residual,
        // which is where the bounded solve begins, not a result. kivtric's start often needs no iteration at all.
        std::string how = solver.start ? solver.start : "";
        if (solver.iterations > 0) {
            how += (how.empty() ? "" : ", ") + std::to_string(solver.iterations) +
                   (solver.iterations == 1 ? " iteration" : " iterations");
        }
        logPrintf("\t\tStart of the bounded solve   = % 10.3f seconds (%s%sresidual %.2e, for the bounded solve to "
                  "reduce)\n",
                  solver.iterationSeconds, how.c_str(), how.empty() ? "" : "; ", solver.residual);
    } else if (solver.iterationsRan && solver.iterations == 0 && solver.proved) {
        logPrintf("\t\tConjugate gradients          = % 10.3f seconds (no iteration: the start met the bound, residual "
                  "%.2e)\n",
                  solver.iterationSeconds, solver.residual);
    } else if (solver.iterationsRan) {
        logPrintf("\t\tConjugate gradients          = % 10.3f seconds (%d iterations, residual %.2e%s)\n",
                  solver.iterationSeconds, solver.iterations, solver.residual,
                  unprovedNote(solver.proved, solver.wantedError, solver.ending, "residual", solver.residual,
                               solver.neededResidual)
                      .c_str());
    }
}

// The bounded solve's line, after the unconstrained solver's.
static void printBoundsStats(const BoundsStats& bounds) {
    if (!bounds.ran) return;
    logPrintf("\t\tBounded to [0, 1]            = % 10.3f seconds (%d steps, %d iterations, %.2f%% of texels held%s)\n",
              bounds.seconds, bounds.steps, bounds.iterations, 100.0 * bounds.heldShare,
              unprovedNote(bounds.proved, bounds.wantedError, bounds.ending, "projected gradient",
                           bounds.projectedGradient, bounds.neededGradient)
                  .c_str());
}

void printFilterStats(const FilterStats& stats) {
    for (const FilterStep& step : stats.steps) {
        printSolverStats(step.solver);
        printBoundsStats(step.bounds);
        for (int32_t l = 1; l < step.levelHeldShare.count; ++l) {
            logPrintf("\t\t  level %-2d held at a bound   = %.2f%% of texels\n", l, 100.0 * step.levelHeldShare[l]);
        }
        if (!step.done) continue;
        logPrintf("--== %s ==--\n", step.heading.c_str());
        for (const StepTime& time : step.times) logPrintf("%s = %f\n", time.name, time.seconds);
    }
    std::fflush(stdout);
}

// The log's lines so far reach their reader before the error line, whichever streams are read.
static void printMarked(const char* mark, const std::string& message, GrowArray<std::string>& record) {
    std::fflush(stdout);
    interruptProgressLine();
    std::fprintf(stderr, "%s: %s\n", mark, message.c_str());
    std::fflush(stderr);
    append(record, message);
}

void printError(const std::string& message) { printMarked("Error", message, printed.errors); }

void printErrors(const GrowArray<std::string>& messages) {
    for (const std::string& message : messages) printError(message);
}

void printWarning(const std::string& message) { printMarked("Warning", message, printed.warnings); }

std::string printSurfaceErrorReport(const GrowArray<ReportedPyramid>& pyramids, TexelEncoding encoding,
                                    bool premultiplied) {
    const MipPyramid& shape = *pyramids[0].pyramid;
    const int32_t levels = pyramids[0].error.levelRms.count;
    const char* measured = encoding == TexelEncoding::srgb     ? "linear RGB"
                           : encoding == TexelEncoding::linear ? "the stored values"
                                                               : "the decoded normal vectors";
    logPrintf("Surface error (RMS over the model, %s%s):\nlevel\tsize", measured,
              premultiplied ? " times alpha" : "");
    for (const ReportedPyramid& pyramid : pyramids) logPrintf("\t%s", pyramid.name->c_str());
    logPrintf("\n");
    for (int32_t k = 0; k < levels; ++k) {
        logPrintf("%d\t%dx%d", k, shape.levels[k].width, shape.levels[k].height);
        for (const ReportedPyramid& pyramid : pyramids) logPrintf("\t%.6f", pyramid.error.levelRms[k]);
        logPrintf("\n");
    }
    logPrintf("Trilinear error (mean square over the model and each segment):\n");
    for (int32_t k = 0; k + 1 < levels; ++k) {
        logPrintf("%d-%d\t", k, k + 1);
        for (const ReportedPyramid& pyramid : pyramids) logPrintf("\t%.8f", pyramid.error.segmentMeanSquare[k]);
        logPrintf("\n");
    }
    logPrintf("sum\t");
    for (const ReportedPyramid& pyramid : pyramids) logPrintf("\t%.8f", pyramid.error.trilinear);
    logPrintf("\n\n");
    std::fflush(stdout);

    std::string csv = "filter,level,width,height,rms,segment_to_next,trilinear_sum\n";
    char line[256];
    for (const ReportedPyramid& pyramid : pyramids) {
        const PyramidSurfaceError& error = pyramid.error;
        for (int32_t k = 0; k < error.levelRms.count; ++k) {
            const FloatImage& level = pyramid.pyramid->levels[k];
            std::snprintf(line, sizeof(line), "%d,%d,%d,%.9g,", k, level.width, level.height, error.levelRms[k]);
            csv += *pyramid.name + "," + line;
            if (k < error.segmentMeanSquare.count) {
                std::snprintf(line, sizeof(line), "%.9g", error.segmentMeanSquare[k]);
                csv += line;
            }
            std::snprintf(line, sizeof(line), ",%.9g\n", error.trilinear);
            csv += line;
        }
    }
    return csv;
}
