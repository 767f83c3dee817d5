// Normal maps through every filter, end to end with the kiv executable on small models whose charts sit apart in the
// atlas: the flat normal stays exactly flat, a sphere's normals stay unit vectors, the filters that weigh the surface
// keep each chart's tilt at a seam where the box filter mixes in the gutter's, the bounded filters keep negative
// components, and the report measures the levels as vectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

const std::vector<std::string> everyFilter = {"kivtri", "kivtric", "kivbi",    "kivbic", "kivbox",
                                              "lanczos3", "tent", "box", "boxig"};

// A chart: the model-space rectangle [x0, x1] x [y0, y1] in the plane z = 0, mapped onto the texture-space rectangle
// [u0, u1] x [v0, v1].
struct Chart {
    double x0, y0, x1, y1;
    double u0, v0, u1, v1;
};

// The OBJ text of the charts, two triangles each.
std::string chartsObj(const std::vector<Chart>& charts) {
    std::ostringstream obj;
    obj.precision(17);
    for (const Chart& c : charts) {
        obj << "v " << c.x0 << " " << c.y0 << " 0\nv " << c.x1 << " " << c.y0 << " 0\nv " << c.x1 << " " << c.y1
            << " 0\nv " << c.x0 << " " << c.y1 << " 0\n";
        obj << "vt " << c.u0 << " " << c.v0 << "\nvt " << c.u1 << " " << c.v0 << "\nvt " << c.u1 << " " << c.v1
            << "\nvt " << c.u0 << " " << c.v1 << "\n";
    }
    for (size_t k = 0; k < charts.size(); ++k) {
        const size_t a = 4 * k + 1, b = a + 1, c = a + 2, d = a + 3;
        obj << "f " << a << "/" << a << " " << b << "/" << b << " " << c << "/" << c << "\n";
        obj << "f " << a << "/" << a << " " << c << "/" << c << " " << d << "/" << d << "\n";
    }
    return obj.str();
}

// A 2 x 2 grid of unit squares, each mapped onto its own quarter of the atlas with a gutter of a tenth of a quarter
// on every side: the texels between the charts belong to no triangle.
std::string gridObj() {
    std::vector<Chart> charts;
    for (int j = 0; j < 2; ++j) {
        for (int i = 0; i < 2; ++i) {
            charts.push_back(Chart{double(i), double(j), i + 1.0, j + 1.0, 0.5 * i + 0.05, 0.5 * j + 0.05,
                                   0.5 * i + 0.45, 0.5 * j + 0.45});
        }
    }
    return chartsObj(charts);
}

// A texture of one byte triple everywhere.
FloatImage constantTexture(int side, unsigned char r, unsigned char g, unsigned char b) {
    std::vector<unsigned char> bytes;
    for (int k = 0; k < side * side; ++k) bytes.insert(bytes.end(), {r, g, b});
    return imageFromBytes(side, side, bytes);
}

std::string levelFile(const std::string& folder, int k, const std::string& filter) {
    return folder + "/mip_" + std::to_string(k) + "_" + filter + ".png";
}

// Runs kiv --normal-map on model.obj and `texture` in `dir` with `options`, the filters and output folder `folder`.
void runNormalMap(const TempDir& dir, const std::string& texture, const std::string& folder,
                  const std::vector<std::string>& filters, const std::vector<std::string>& options = {}) {
    std::vector<std::string> arguments = {"--normal-map", "-o", folder};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.push_back("model.obj");
    arguments.push_back(texture);
    arguments.insert(arguments.end(), filters.begin(), filters.end());
    const CommandResult result = runKiv(dir.path, arguments, 300);
    ASSERT_FALSE(result.timedOut || result.signalled) << result.output;
    ASSERT_EQ(result.exitStatus, 0) << result.output;
}

// The vector a written byte triple holds.
double component(unsigned char byte) { return 2.0 * byte / 255 - 1; }

}  // namespace

// The flat normal, (128, 128, 255), is what every filter's weighted mean of it is, and it survives renormalising and
// rounding: every level of every filter holds exactly those bytes, also in the gutters that the surface filters fill
// from coarser levels. A two-channel map of the same normal (blue 0 everywhere) gets its Z back and is written as the
// same three-channel bytes, level 0 included.
TEST(NormalMapFilters, TheFlatNormalStaysExactlyFlatInEveryLevelOfEveryFilter) {
    TempDir dir;
    writeTextFile(dir.file("model.obj"), gridObj());
    writeImageFile(dir.file("flat.png"), constantTexture(32, 128, 128, 255));
    writeImageFile(dir.file("xy.png"), constantTexture(32, 128, 128, 0));
    for (const std::string texture : {"flat", "xy"}) {
        SCOPED_TRACE(texture);
        runNormalMap(dir, texture + ".png", texture, everyFilter);
        for (const std::string& filter : everyFilter) {
            for (int k = 0; k < 6; ++k) {
                const DecodedImage level = readImageFile(levelFile(dir.file(texture), k, filter));
                ASSERT_EQ(level.width, 32 >> k) << filter << " level " << k;
                int wrong = 0;
                for (size_t i = 0; i < level.rgb.size(); i += 3) {
                    wrong += level.rgb[i] != 128 || level.rgb[i + 1] != 128 || level.rgb[i + 2] != 255;
                }
                EXPECT_EQ(wrong, 0) << filter << " level " << k << ": texels that are not (128, 128, 255)";
            }
            EXPECT_FALSE(fileExists(levelFile(dir.file(texture), 6, filter)));
        }
    }
}

// A sphere's normal map as a baker writes it: the normals of a hemisphere over a disc, black (the vector
// (-1, -1, -1)) outside it, on a grid of charts that cut through both. Whatever a filter computes there (means of
// vectors pointing apart, a sinc's negative lobes, the gutters' fill), every written texel of every level is a unit
// vector to within the rounding of its bytes.
TEST(NormalMapFilters, ASpheresNormalsStayUnitVectorsInEveryLevelOfEveryFilter) {
    const int side = 64;
    const double centre = side / 2.0, radius = 0.45 * side;
    std::vector<unsigned char> bytes;
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            const double nx = (x + 0.5 - centre) / radius, ny = (y + 0.5 - centre) / radius, r2 = nx * nx + ny * ny;
            if (r2 >= 1) {
                bytes.insert(bytes.end(), {0, 0, 0});
                continue;
            }
            for (double n : {nx, ny, std::sqrt(1 - r2)}) {
                bytes.push_back(static_cast<unsigned char>(std::lround((n + 1) / 2 * 255)));
            }
        }
    }
    TempDir dir;
    writeTextFile(dir.file("model.obj"), gridObj());
    writeImageFile(dir.file("sphere.png"), imageFromBytes(side, side, bytes));
    runNormalMap(dir, "sphere.png", "out", everyFilter);
    for (const std::string& filter : everyFilter) {
        for (int k = 0; k < 7; ++k) {
            const DecodedImage level = readImageFile(levelFile(dir.file("out"), k, filter));
            ASSERT_EQ(level.width, side >> k) << filter << " level " << k;
            double worst = 0;
            for (size_t i = 0; i < level.rgb.size(); i += 3) {
                const double x = component(level.rgb[i]), y = component(level.rgb[i + 1]),
                             z = component(level.rgb[i + 2]);
                worst = std::max(worst, std::abs(std::sqrt(x * x + y * y + z * z) - 1));
            }
            EXPECT_LE(worst, 1.5 / 127) << filter << " level " << k;
        }
    }
}

// A seam: two charts that meet along an edge of the model sit side by side in a 32 x 32 atlas, chart A on columns
// 0.5 to 8.5, tilted (-0.6, 0, 0.8), chart B on columns 16.5 to 29.5, tilted (0.6, 0, 0.8), both the full height.
// The texels the surface uses hold their chart's tilt; the baker painted the gutter between them, columns 9 to 15,
// and the one past B with B's. A level texel belongs to a chart when the surface uses texels of its footprint and
// they are all that chart's; at every level where the chart still covers at least one whole texel, those texels must
// keep the chart's tilt sign in kivbi, kivbox and boxig, which only look at the surface. The box filter averages the
// gutter in: the level-2 texels over columns 8 to 11 belong to A (they use half of column 8) but hold mostly B's
// tilt, and come out tilted B's way.
TEST(NormalMapFilters, TheSurfaceFiltersKeepEachChartsTiltAtASeamWhereTheBoxFilterBleeds) {
    const int side = 32;
    const double a0 = 0.5, a1 = 8.5, b0 = 16.5, b1 = 29.5;  // the charts' columns
    const int paintedA = 9;                                 // columns 0 .. 8 hold A's tilt, the others B's
    TempDir dir;
    writeTextFile(dir.file("model.obj"),
                  chartsObj({Chart{0, 0, a1 - a0, side, a0 / side, 0, a1 / side, 1},
                             Chart{a1 - a0, 0, a1 - a0 + b1 - b0, side, b0 / side, 0, b1 / side, 1}}));
    std::vector<unsigned char> bytes;
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            bytes.insert(bytes.end(), {static_cast<unsigned char>(x < paintedA ? 51 : 204), 128, 230});
        }
    }
    writeImageFile(dir.file("seam.png"), imageFromBytes(side, side, bytes));
    const std::vector<std::string> filters = {"kivbi", "kivbox", "boxig", "box"};
    runNormalMap(dir, "seam.png", "out", filters);

    // The sign each level texel (a column: every row is alike) must keep, -1 for A, +1 for B, 0 for none.
    const auto overlap = [](double begin, double end, double from, double to) {
        return std::max(0.0, std::min(end, to) - std::max(begin, from));
    };
    const auto expectedSigns = [&](int k) {
        const int step = 1 << k, columns = side >> k;
        // Whether the chart covers some whole texel of this level.
        bool coversA = false, coversB = false;
        for (int x = 0; x < columns; ++x) {
            coversA = coversA || overlap(x * step, (x + 1) * step, a0, a1) == step;
            coversB = coversB || overlap(x * step, (x + 1) * step, b0, b1) == step;
        }
        std::vector<int> signs(columns, 0);
        for (int x = 0; x < columns; ++x) {
            const bool usesA = overlap(x * step, (x + 1) * step, a0, a1) > 0;
            const bool usesB = overlap(x * step, (x + 1) * step, b0, b1) > 0;
            if (usesA && !usesB && coversA) signs[x] = -1;
            if (usesB && !usesA && coversB) signs[x] = 1;
        }
        return signs;
    };
    std::ostringstream table;  // every filter's levels as the X byte of each column, for the messages
    int boxWrong = 0;
    for (const std::string& filter : filters) {
        int wrong = 0, checked = 0;
        for (int k = 0; k < 5; ++k) {
            const DecodedImage level = readImageFile(levelFile(dir.file("out"), k, filter));
            const int columns = side >> k;
            ASSERT_EQ(level.width, columns) << filter << " level " << k;
            const std::vector<int> signs = expectedSigns(k);
            table << filter << " " << k << ":";
            for (int x = 0; x < columns; ++x) table << " " << int(level.rgb[3 * x]);
            table << "\n";
            for (int y = 0; y < level.height; ++y) {
                for (int x = 0; x < columns; ++x) {
                    if (signs[x] == 0) continue;
                    ++checked;
                    wrong += component(level.rgb[3 * (y * columns + x)]) * signs[x] <= 0;
                }
            }
        }
        EXPECT_GT(checked, 0);
        if (filter == "box") boxWrong = wrong;
        else EXPECT_EQ(wrong, 0) << filter << ": chart texels tilted the other chart's way or not at all";
    }
    // At least the 8 texels of the box filter's level-2 column 2.
    EXPECT_GE(boxWrong, 8) << "the box filter no longer mixes the gutter in: the seam shows nothing";
    // The same gutter texel, seen by box and by boxig: level 2, column 2.
    const DecodedImage box = readImageFile(levelFile(dir.file("out"), 2, "box"));
    const DecodedImage boxig = readImageFile(levelFile(dir.file("out"), 2, "boxig"));
    EXPECT_GT(component(box.rgb[3 * 2]), 0.1);
    EXPECT_LT(component(boxig.rgb[3 * 2]), -0.5);
    if (::testing::Test::HasFailure()) ADD_FAILURE() << "the X bytes of row 0:\n" << table.str();
}

// A strongly tilted map, (-0.8, 0, 0.6) everywhere (bytes 25, 128, 204): kivbic and kivtric keep every component
// within [-1, 1] for normal maps, so the negative X stays. Kept within [0, 1], as colour is, it would be clamped to 0
// and the levels written as (128, 128, 255)-ish vectors.
TEST(NormalMapFilters, TheBoundedFiltersKeepNegativeComponentsOfANormalMap) {
    TempDir dir;
    writeTextFile(dir.file("model.obj"), gridObj());
    writeImageFile(dir.file("tilted.png"), constantTexture(32, 25, 128, 204));
    runNormalMap(dir, "tilted.png", "out", {"kivbic", "kivtric"});
    for (const std::string filter : {"kivbic", "kivtric"}) {
        for (int k = 0; k < 6; ++k) {
            const DecodedImage level = readImageFile(levelFile(dir.file("out"), k, filter));
            ASSERT_EQ(level.width, 32 >> k) << filter << " level " << k;
            int worst = 0;
            for (size_t i = 0; i < level.rgb.size(); i += 3) {
                worst = std::max({worst, std::abs(level.rgb[i] - 25), std::abs(level.rgb[i + 1] - 128),
                                  std::abs(level.rgb[i + 2] - 204)});
            }
            EXPECT_LE(worst, 1) << filter << " level " << k << ": a byte away from (25, 128, 204)";
        }
    }
}

// --report on normal maps reads the levels back as vectors. The flat map's levels are written exactly as it is, so
// every level's error is 0 but for the rounding of the error's sums (read back as colour, byte 128 would be 0.216 in
// linear light or 0.502 as a value, not the component 1/255, an error near 0.2). A sphere's map runs too, its level 0
// the texture (error 0 by definition; its file holds the vectors renormalised, so within a byte of the texture's)
// and every later error finite.
TEST(NormalMapFilters, TheReportMeasuresTheLevelsAsVectors) {
    const std::vector<std::string> filters = {"box", "kivbi", "kivbic"};
    TempDir dir;
    writeTextFile(dir.file("model.obj"), gridObj());
    writeImageFile(dir.file("flat.png"), constantTexture(32, 128, 128, 255));
    // A hemisphere over the whole 32 x 32 texture, unit vectors rounded to bytes.
    std::vector<unsigned char> bytes;
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            const double nx = (x + 0.5 - 16) / 23, ny = (y + 0.5 - 16) / 23;
            for (double n : {nx, ny, std::sqrt(1 - nx * nx - ny * ny)}) {
                bytes.push_back(static_cast<unsigned char>(std::lround((n + 1) / 2 * 255)));
            }
        }
    }
    writeImageFile(dir.file("sphere.png"), imageFromBytes(32, 32, bytes));
    for (const std::string texture : {"flat", "sphere"}) {
        SCOPED_TRACE(texture);
        runNormalMap(dir, texture + ".png", texture, filters, {"--report"});
        const auto rows = csvRows(readTextFile(dir.file(texture + "/report.csv")));
        ASSERT_EQ(rows.size(), 1 + 6 * filters.size());
        for (size_t r = 1; r < rows.size(); ++r) {
            ASSERT_GE(rows[r].size(), 5u) << r;
            const double rms = std::atof(rows[r][4].c_str());
            if (rows[r][1] == "0") {
                EXPECT_EQ(rms, 0.0) << rows[r][0];
            } else if (texture == "flat") {
                EXPECT_LT(rms, 1e-3) << rows[r][0] << " level " << rows[r][1];
            } else {
                EXPECT_TRUE(std::isfinite(rms) && rms >= 0 && rms < 2) << rows[r][0] << " level " << rows[r][1];
            }
        }
        const std::vector<unsigned char> source = readImageFile(dir.file(texture + ".png")).rgb;
        ASSERT_FALSE(source.empty());
        for (const std::string& filter : filters) {
            const std::vector<unsigned char> level0 = readImageFile(levelFile(dir.file(texture), 0, filter)).rgb;
            ASSERT_EQ(level0.size(), source.size()) << filter;
            int worst = 0;
            for (size_t i = 0; i < source.size(); ++i) worst = std::max(worst, std::abs(level0[i] - source[i]));
            EXPECT_LE(worst, 1) << filter << ": level 0 is not the texture";
        }
    }
}
