// The lines printed for the statistics the least-squares filters hand back, exactly as users see them.
#include <gtest/gtest.h>

#include <string>

#include "app/run.h"

namespace {

std::string printed(const FilterStats& stats) {
    testing::internal::CaptureStdout();
    printFilterStats(stats);
    return testing::internal::GetCapturedStdout();
}

SolverStats bothPhases(double analysis, double analysisProcessor, double factorisation, double factorisationProcessor) {
    SolverStats solver;
    solver.analysisRan = solver.factorisationRan = true;
    solver.analysisSeconds = analysis, solver.analysisProcessorSeconds = analysisProcessor;
    solver.factorisationSeconds = factorisation, solver.factorisationProcessorSeconds = factorisationProcessor;
    return solver;
}

}  // namespace

TEST(FilterLog, EmptyStatisticsPrintNothing) {
    EXPECT_EQ(printed(FilterStats()), "");
}

// Per level the solver's two phases (wall seconds right-aligned in ten columns, processor seconds),
// then the level's factor and time; a level that failed in its factorisation shows only the phases
// it reached, and a level refused before the analysis shows nothing.
TEST(FilterLog, KivbiLevelsShowTheirPhasesThenTheirFactorAndTime) {
    FilterStats stats;
    BilinearLevelStats solved;
    solved.factor = 2;
    solved.solver = bothPhases(0.1364, 0.1358, 12.25, 24.5);
    solved.solved = true;
    solved.seconds = 0.548434;
    append(stats.bilinearLevels, solved);
    BilinearLevelStats failed;
    failed.factor = 4;
    failed.solver.analysisRan = true;
    failed.solver.analysisSeconds = 0.0004;
    append(stats.bilinearLevels, failed);
    BilinearLevelStats refused;
    refused.factor = 8;
    append(stats.bilinearLevels, refused);
    EXPECT_EQ(printed(stats),
              "\t\tSymbolic Analysis            =      0.136 seconds (0.136 cpu)\n"
              "\t\tSupernodal Multifrontal LL^T =     12.250 seconds (24.500 cpu)\n"
              "--== Tent Smart downscale by factor 2 ==--\n"
              "time = 0.548434\n"
              "\t\tSymbolic Analysis            =      0.000 seconds (0.000 cpu)\n");
}

TEST(FilterLog, KivtriShowsItsPhasesThenItsFourTimesOnlyWhenDone) {
    FilterStats stats;
    stats.trilinear.solver = bothPhases(0.374, 0.3744, 0.52, 0.884);
    stats.trilinear.buildSeconds = 1.05179;
    stats.trilinear.solveSeconds = 0.914878;
    stats.trilinear.totalSeconds = 1.966667;
    const std::string phases =
        "\t\tSymbolic Analysis            =      0.374 seconds (0.374 cpu)\n"
        "\t\tSupernodal Multifrontal LL^T =      0.520 seconds (0.884 cpu)\n";
    EXPECT_EQ(printed(stats), phases);  // the solve failed after its factorisation
    stats.trilinear.solved = true;
    EXPECT_EQ(printed(stats), phases +
                                  "--== Trilinear downscale ==--\n"
                                  "time build = 1.051790\n"
                                  "time solve = 0.914878\n"
                                  "time total = 1.966667\n");
    // Without an inner level nothing is solved, and only the four times appear.
    FilterStats fixedOnly;
    fixedOnly.trilinear.solved = true;
    EXPECT_EQ(printed(fixedOnly),
              "--== Trilinear downscale ==--\ntime build = 0.000000\ntime solve = 0.000000\ntime total = 0.000000\n");
}
