// The lines printed for the statistics the least-squares filters hand back, exactly as users see them.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "app/run_log.h"

namespace {

std::string printed(const FilterStats& stats) {
    testing::internal::CaptureStdout();
    printFilterStats(stats);
    return testing::internal::GetCapturedStdout();
}

SolverStats bothPhases(double analysis, double analysisProcessor, double factorisation, double factorisationProcessor) {
    SolverStats solver;
    solver.analysisRan = solver.factorisationRan = true;
    solver.factorisationMethod = "Supernodal Multifrontal LL^T";
    solver.analysisSeconds = analysis, solver.analysisProcessorSeconds = analysisProcessor;
    solver.factorisationSeconds = factorisation, solver.factorisationProcessorSeconds = factorisationProcessor;
    return solver;
}

}  // namespace

TEST(FilterLog, EmptyStatisticsPrintNothing) {
    EXPECT_EQ(printed(FilterStats()), "");
}

// A finished step as kivbi's levels and kivtri's joint solve record it: the heading, then the named times.
static FilterStep doneStep(const char* heading, std::initializer_list<StepTime> times) {
    FilterStep step;
    step.done = true;
    step.heading = heading;
    for (const StepTime& time : times) append(step.times, time);
    return step;
}

// Per level the solver's two phases (wall seconds right-aligned in ten columns, processor seconds),
// then the level's heading and time; a level that failed in its factorisation shows only the phases
// it reached, and a level refused before the analysis shows nothing.
TEST(FilterLog, KivbiLevelsShowTheirPhasesThenTheirFactorAndTime) {
    FilterStats stats;
    FilterStep solved = doneStep("Tent Smart downscale by factor 2", {{"time", 0.548434}});
    solved.solver = bothPhases(0.1364, 0.1358, 12.25, 24.5);
    append(stats.steps, solved);
    FilterStep failed;
    failed.solver.analysisRan = true;
    failed.solver.analysisSeconds = 0.0004;
    append(stats.steps, failed);
    append(stats.steps, FilterStep());
    EXPECT_EQ(printed(stats),
              "\t\tSymbolic Analysis            =      0.136 seconds (0.136 cpu)\n"
              "\t\tSupernodal Multifrontal LL^T =     12.250 seconds (24.500 cpu)\n"
              "--== Tent Smart downscale by factor 2 ==--\n"
              "time = 0.548434\n"
              "\t\tSymbolic Analysis            =      0.000 seconds (0.000 cpu)\n");
}

TEST(FilterLog, KivtriShowsItsPhasesThenItsFourTimesOnlyWhenDone) {
    FilterStats stats;
    FilterStep joint = doneStep("Trilinear downscale",
                                {{"time build", 1.05179}, {"time solve", 0.914878}, {"time total", 1.966667}});
    joint.solver = bothPhases(0.374, 0.3744, 0.52, 0.884);
    joint.done = false;
    append(stats.steps, joint);
    const std::string phases =
        "\t\tSymbolic Analysis            =      0.374 seconds (0.374 cpu)\n"
        "\t\tSupernodal Multifrontal LL^T =      0.520 seconds (0.884 cpu)\n";
    EXPECT_EQ(printed(stats), phases);  // the solve failed after its factorisation
    stats.steps[0].done = true;
    EXPECT_EQ(printed(stats), phases +
                                  "--== Trilinear downscale ==--\n"
                                  "time build = 1.051790\n"
                                  "time solve = 0.914878\n"
                                  "time total = 1.966667\n");
    // Without an inner level nothing is solved, and only the times appear.
    FilterStats fixedOnly;
    append(fixedOnly.steps, doneStep("Trilinear downscale", {{"time build", 0}, {"time solve", 0}, {"time total", 0}}));
    EXPECT_EQ(printed(fixedOnly),
              "--== Trilinear downscale ==--\ntime build = 0.000000\ntime solve = 0.000000\ntime total = 0.000000\n");
}

// kivbic prints its bounded solve after the iterations of each level; kivtric after its joint solve, then the share
// of every inner level's texels held at a bound.
TEST(FilterLog, BoundedSolvesFollowTheirUnconstrainedOnes) {
    FilterStats stats;
    FilterStep level = doneStep("Tent Smart downscale by factor 2", {{"time", 0.8}});
    level.solver.iterationsRan = true;
    level.solver.iterationSeconds = 0.25;
    level.solver.iterations = 7;
    level.solver.residual = 3.3e-9;
    level.bounds.ran = true;
    level.bounds.seconds = 0.5;
    level.bounds.steps = 6;
    level.bounds.iterations = 22;
    level.bounds.heldShare = 0.1945;
    append(stats.steps, level);
    EXPECT_EQ(printed(stats),
              "\t\tConjugate gradients          =      0.250 seconds (7 iterations, residual 3.30e-09)\n"
              "\t\tBounded to [0, 1]            =      0.500 seconds (6 steps, 22 iterations, 19.45% of texels held)\n"
              "--== Tent Smart downscale by factor 2 ==--\n"
              "time = 0.800000\n");
    FilterStats joint;
    FilterStep step;
    step.bounds = level.bounds;
    resize(step.levelHeldShare, 3);
    step.levelHeldShare[1] = 0.5;
    step.levelHeldShare[2] = 0.03125;
    append(joint.steps, step);
    EXPECT_EQ(printed(joint),
              "\t\tBounded to [0, 1]            =      0.500 seconds (6 steps, 22 iterations, 19.45% of texels held)\n"
              "\t\t  level 1  held at a bound   = 50.00% of texels\n"
              "\t\t  level 2  held at a bound   = 3.12% of texels\n");
}

// A solve that ended without proving its error bound says so on its own line, with what ended it and how far its
// residual (or projected gradient) is from the one the proof needs; the run goes on.
TEST(FilterLog, UnprovedBoundsSayWhatEndedTheSolveAndByHowMuchTheyMissed) {
    FilterStats stats;
    FilterStep level = doneStep("Tent Smart downscale by factor 2", {{"time", 2.0}});
    level.solver.iterationsRan = true;
    level.solver.iterationSeconds = 1.5;
    level.solver.iterations = 2000;
    level.solver.residual = 3.1e-6;
    level.solver.proved = false;
    level.solver.ending = "the iteration cap";
    level.solver.neededResidual = 1e-7;
    level.solver.wantedError = 1e-4;
    level.bounds.ran = true;
    level.bounds.seconds = 0.5;
    level.bounds.steps = 50;
    level.bounds.iterations = 120;
    level.bounds.heldShare = 0.25;
    level.bounds.proved = false;
    level.bounds.ending = "the step cap";
    level.bounds.projectedGradient = 2.5e-7;
    level.bounds.neededGradient = 1e-7;
    level.bounds.wantedError = 1e-4;
    append(stats.steps, level);
    EXPECT_EQ(printed(stats),
              "\t\tConjugate gradients          =      1.500 seconds (2000 iterations, residual 3.10e-06; the 1e-04 "
              "bound is not proved: the iteration cap ended it with the residual 31.0 times the 1.00e-07 it needs)\n"
              "\t\tBounded to [0, 1]            =      0.500 seconds (50 steps, 120 iterations, 25.00% of texels held; "
              "the 1e-04 bound is not proved: the step cap ended it with the projected gradient 2.5 times the "
              "1.00e-07 it needs)\n"
              "--== Tent Smart downscale by factor 2 ==--\n"
              "time = 2.000000\n");
}
