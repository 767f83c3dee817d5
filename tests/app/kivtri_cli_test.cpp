// End-to-end runs of kivtri through the built kiv: its printed lines, exit status and level files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "test_support.h"

namespace {

struct KivtriRun {
    CommandResult result;
    std::vector<std::string> lines;  // the output after the "Image is" line
    std::vector<std::string> files;  // the files written besides the inputs
};

// Runs "kiv model.obj texture.png kivtri" (plus `options`) on the unit square and a side x side texture of one
// colour.
KivtriRun runOnUnitSquare(const TempDir& dir, int side, const std::vector<unsigned char>& colour,
                          const std::vector<std::string>& options = {}) {
    writeTextFile(dir.file("model.obj"), unitSquareObj());
    std::vector<unsigned char> bytes;
    for (int i = 0; i < side * side; ++i) bytes.insert(bytes.end(), colour.begin(), colour.end());
    writeImageFile(dir.file("texture.png"), imageFromBytes(side, side, bytes));
    KivtriRun run;
    std::vector<std::string> arguments = options;
    for (const char* argument : {"model.obj", "texture.png", "kivtri"}) arguments.push_back(argument);
    run.result = runKiv(dir.path, arguments);
    std::istringstream stream(run.result.output);
    bool afterSize = false;
    for (std::string line; std::getline(stream, line);) {
        if (afterSize) run.lines.push_back(line);
        afterSize = afterSize || line.rfind("Image is ", 0) == 0;
    }
    for (const std::string& name : listFiles(dir.path)) {
        if (name != "model.obj" && name != "texture.png") run.files.push_back(name);
    }
    return run;
}

std::vector<std::string> levelFiles(int count) {
    std::vector<std::string> names;
    for (int k = 0; k < count; ++k) names.push_back("mip_" + std::to_string(k) + "_kivtri.png");
    return names;
}

double secondsOf(const std::string& line, const char* format) {
    double seconds = -1;
    EXPECT_EQ(std::sscanf(line.c_str(), format, &seconds), 1) << line;
    return seconds;
}

// The solver's lines, then the filter's four lines once, then the driver's report.
void expectFilterLines(const KivtriRun& run, size_t solverLineCount) {
    const std::vector<std::string>& lines = run.lines;
    ASSERT_EQ(lines.size(), solverLineCount + 7) << run.result.output;
    for (size_t k = 0; k < solverLineCount; ++k) EXPECT_EQ(lines[k].rfind("\t\t", 0), 0u) << lines[k];
    const size_t first = solverLineCount;
    EXPECT_EQ(lines[first], "--== Trilinear downscale ==--");
    const double build = secondsOf(lines[first + 1], "time build = %lf");
    const double solve = secondsOf(lines[first + 2], "time solve = %lf");
    const double total = secondsOf(lines[first + 3], "time total = %lf");
    EXPECT_GE(build, 0.0);
    EXPECT_GE(solve, 0.0);
    EXPECT_NEAR(build + solve, total, 2e-6);
    EXPECT_EQ(lines[first + 4], "Times:");
    EXPECT_NE(lines[first + 5].find("\tkivtri"), std::string::npos) << lines[first + 5];
    EXPECT_EQ(lines[first + 6], "");
}

}  // namespace

// On a square that covers texture space once, a constant texture is reproduced exactly by the
// constant pyramid, so every level keeps the colour (the regularisation shifts it far below a byte).
TEST(KivtriCommandLine, SolvesAllInnerLevelsAndWritesEveryLevel) {
    // The iterations print one line; "--solver direct" prints the analysis and the factorisation, once for the
    // whole system.
    for (const bool direct : {false, true}) {
        SCOPED_TRACE(direct ? "direct" : "iterative");
        TempDir dir;
        const std::vector<unsigned char> colour = {200, 90, 30};
        const KivtriRun run =
            runOnUnitSquare(dir, 8, colour, direct ? std::vector<std::string>{"--solver", "direct"} : std::vector<std::string>{});
        ASSERT_FALSE(run.result.timedOut || run.result.signalled) << run.result.output;
        EXPECT_EQ(run.result.exitStatus, 0) << run.result.output;
        EXPECT_NE(run.result.output.find("Image is 8x8 with 4 mip levels.\n"), std::string::npos);
        expectFilterLines(run, direct ? 2 : 1);
        EXPECT_EQ(run.lines[0].rfind(direct ? "\t\tSymbolic Analysis" : "\t\tConjugate gradients", 0), 0u);
        ASSERT_EQ(run.files, levelFiles(4));
        for (int k = 0; k < 4; ++k) {
            const DecodedImage level = readImageFile(dir.file("mip_" + std::to_string(k) + "_kivtri.png"));
            ASSERT_EQ(level.width, 8 >> k);
            for (size_t i = 0; i < level.rgb.size(); ++i)
                EXPECT_LE(std::abs(int(level.rgb[i]) - int(colour[i % 3])), 1) << "level " << k << ", byte " << i;
        }
    }
}

TEST(KivtriCommandLine, SidesOneAndTwoWriteTheirFixedLevelsWithoutASolve) {
    for (int side : {1, 2}) {
        SCOPED_TRACE(side);
        TempDir dir;
        const KivtriRun run = runOnUnitSquare(dir, side, {10, 120, 250});
        ASSERT_FALSE(run.result.timedOut || run.result.signalled) << run.result.output;
        EXPECT_EQ(run.result.exitStatus, 0) << run.result.output;
        expectFilterLines(run, 0);
        EXPECT_EQ(run.files, levelFiles(side));
        const DecodedImage top = readImageFile(dir.file("mip_" + std::to_string(side - 1) + "_kivtri.png"));
        EXPECT_EQ(top.rgb, std::vector<unsigned char>({10, 120, 250}));
    }
}
