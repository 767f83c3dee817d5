// --report end to end: the table after the timing report, report.csv beside the levels, and the textures it
// refuses.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "test_support.h"

namespace {

std::vector<std::vector<std::string>> csvRows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        std::string cell;
        while (std::getline(cells, cell, ',')) fields.push_back(cell);
        if (!line.empty() && line.back() == ',') fields.push_back("");
        rows.push_back(fields);
    }
    return rows;
}

TEST(Report, PrintsTheTableAndWritesTheFigures) {
    TempDir dir;
    const CommandResult result = runKiv(dir.path, {"--report", "-o", "out", KIV_SOURCE_DIR "/data/sample.obj",
                                                   KIV_SOURCE_DIR "/data/sample.png", "box", "kivbi"});
    ASSERT_EQ(result.exitStatus, 0) << result.output;
    const std::string output = result.output;
    const size_t times = output.find("Times:\n"), table = output.find("Surface error (RMS over the model, linear RGB):");
    ASSERT_NE(table, std::string::npos) << output;
    EXPECT_LT(times, table) << "the table follows the timing report";
    EXPECT_NE(output.find("level\tsize\tbox\tkivbi\n0\t512x512\t0.000000\t0.000000\n"), std::string::npos) << output;
    EXPECT_NE(output.find("Trilinear error (mean square over the model and each segment):\n0-1\t"), std::string::npos);

    const auto rows = csvRows(readTextFile(dir.file("out/report.csv")));
    ASSERT_EQ(rows.size(), 1u + 2 * 10);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"filter", "level", "width", "height", "rms", "segment_to_next",
                                                 "trilinear_sum"}));
    for (size_t r = 1; r < rows.size(); ++r) ASSERT_EQ(rows[r].size(), 7u) << r;
    EXPECT_EQ(rows[1][0], "box");
    EXPECT_EQ(rows[11][0], "kivbi");
    EXPECT_EQ(rows[12][1], "1");
    EXPECT_EQ(rows[12][2], "256");
    EXPECT_EQ(rows[10][5], "") << "the last level has no segment after it";
    // kivbi's levels are the least-squares fits of this very error (less a tiny regularisation), so as written they
    // are no worse than the box levels anywhere but at the single texel, where both are the surface's mean colour.
    for (int k = 1; k <= 8; ++k) {
        EXPECT_LE(std::atof(rows[11 + k][4].c_str()), std::atof(rows[1 + k][4].c_str())) << "level " << k;
    }
    EXPECT_LT(std::atof(rows[11][6].c_str()), std::atof(rows[1][6].c_str()));
}

TEST(Report, ATextureWhoseSidesAreNotPowersOfTwoIsRefusedBeforeAnyWork) {
    TempDir dir;
    writeTextFile(dir.file("model.obj"), unitSquareObj());
    writeImageFile(dir.file("odd.png"), imageFromBytes(6, 4, std::vector<unsigned char>(3 * 24, 100)));
    const CommandResult result = runKiv(dir.path, {"--report", "model.obj", "odd.png", "box"});
    EXPECT_EQ(result.exitStatus, 1) << result.output;
    EXPECT_NE(result.output.find("Error: --report needs a texture whose sides are powers of two; 'odd.png' is 6x4"),
              std::string::npos)
        << result.output;
    EXPECT_EQ(listFiles(dir.path), (std::vector<std::string>{"model.obj", "odd.png"}));
}

}  // namespace
