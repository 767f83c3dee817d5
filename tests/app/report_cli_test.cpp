// --report end to end: the table after the timing report and report.csv beside the levels, for textures of any
// size.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "test_support.h"

namespace {

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

// 13 x 9 halves to 6 x 4, 3 x 2 and 1 x 1, no side exactly: one row per level in the table and in report.csv, and the
// figures keep their meaning. kivbi fits each level to this very error and kivtri the levels between the texture and
// the same single texel jointly to the trilinear one, so as written neither is worse than the box levels at what it
// minimises (against each other the two differ by less than their regularisation and rounding move them).
TEST(Report, ATextureWhoseSidesAreNotPowersOfTwoGetsARowPerLevel) {
    TempDir dir;
    writeTextFile(dir.file("model.obj"), unitSquareObj());
    std::vector<unsigned char> bytes(3 * 13 * 9);
    for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<unsigned char>((k * 89 + k / 5 * 41) % 256);
    writeImageFile(dir.file("odd.png"), imageFromBytes(13, 9, bytes));
    const CommandResult result = runKiv(dir.path, {"--report", "model.obj", "odd.png", "box", "kivbi", "kivtri"});
    ASSERT_EQ(result.exitStatus, 0) << result.output;
    const std::string& output = result.output;
    EXPECT_NE(output.find("Image is 13x9 with 4 mip levels.\n"), std::string::npos) << output;
    const size_t table = output.find("level\tsize\tbox\tkivbi\tkivtri\n0\t13x9\t");
    ASSERT_NE(table, std::string::npos) << output;
    const size_t trilinear = output.find("Trilinear error (mean square over the model and each segment):\n0-1\t");
    ASSERT_NE(trilinear, std::string::npos) << output;
    std::vector<std::string> rows;
    for (const std::string& line : outputLines(output.substr(table, trilinear - table))) {
        rows.push_back(line.substr(0, line.find('\t', line.find('\t') + 1)));
    }
    EXPECT_EQ(rows, (std::vector<std::string>{"level\tsize", "0\t13x9", "1\t6x4", "2\t3x2", "3\t1x1"}));
    EXPECT_NE(output.find("\n2-3\t\t", trilinear), std::string::npos) << output;
    EXPECT_EQ(output.find("\n3-4\t", trilinear), std::string::npos) << output;

    const auto csv = csvRows(readTextFile(dir.file("report.csv")));
    ASSERT_EQ(csv.size(), 1u + 3 * 4);
    const char* const sides[4][2] = {{"13", "9"}, {"6", "4"}, {"3", "2"}, {"1", "1"}};
    for (size_t r = 1; r < csv.size(); ++r) {
        ASSERT_EQ(csv[r].size(), 7u) << r;
        EXPECT_EQ(csv[r][1], std::to_string((r - 1) % 4)) << r;
        EXPECT_EQ(csv[r][2], sides[(r - 1) % 4][0]) << r;
        EXPECT_EQ(csv[r][3], sides[(r - 1) % 4][1]) << r;
    }
    EXPECT_EQ(csv[1][0], "box");
    EXPECT_EQ(csv[5][0], "kivbi");
    EXPECT_EQ(csv[9][0], "kivtri");
    for (int k = 1; k <= 2; ++k) {
        EXPECT_LE(std::atof(csv[5 + k][4].c_str()), std::atof(csv[1 + k][4].c_str())) << "level " << k;
    }
    EXPECT_LE(std::atof(csv[9][6].c_str()), std::atof(csv[1][6].c_str()));
    EXPECT_EQ(listFiles(dir.path).size(), 2u + 3 * 4 + 1);
}

}  // namespace
