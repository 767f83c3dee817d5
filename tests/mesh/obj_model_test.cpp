// Reading OBJ models: the accepted subset, line-level diagnostics, and normalisation.
#include "mesh/obj_model.h"

#include <gtest/gtest.h>

#include <sstream>

#include "test_support.h"

static bool readText(Mesh& mesh, const std::string& text, std::string& error) {
    std::istringstream stream(text);
    return readObjModel(mesh, stream, "m.obj", error);
}

static void expectTriangle(const MeshTriangle& t, int p0, int p1, int p2, int q0, int q1, int q2) {
    EXPECT_EQ(t.positionIndex[0], p0);
    EXPECT_EQ(t.positionIndex[1], p1);
    EXPECT_EQ(t.positionIndex[2], p2);
    EXPECT_EQ(t.texCoordIndex[0], q0);
    EXPECT_EQ(t.texCoordIndex[1], q1);
    EXPECT_EQ(t.texCoordIndex[2], q2);
}

TEST(ObjModel, ReadsPositionsTexCoordsAndFansQuadsAroundTheFirstCorner) {
    Mesh mesh;
    std::string error;
    const std::string text =
        "# a quad\nmtllib a.mtl\nv 0 0 0 1\nv 1 0 0\nv 1 1 0\nv 0 1 0\n"
        "vt 0.5 0.25 0\nvt 1 0\nvt 1 1\nvt 0 1\nvn 0 0 1\ng quad\ns off\n"
        "f 1/1/1 2/2/1 3/3/1 4/4/1\n";
    ASSERT_TRUE(readText(mesh, text, error)) << error;
    ASSERT_EQ(mesh.positions.count, 4);
    ASSERT_EQ(mesh.texCoords.count, 4);
    EXPECT_EQ(mesh.positions[0].x, 0.0f);
    EXPECT_EQ(mesh.positions[2].y, 1.0f);
    EXPECT_EQ(mesh.texCoords[0].u, 0.5f);
    EXPECT_EQ(mesh.texCoords[0].v, 0.25f);
    // (1,2,3) and (1,3,4) in file numbering, 0-based here.
    ASSERT_EQ(mesh.triangles.count, 2);
    expectTriangle(mesh.triangles[0], 0, 1, 2, 0, 1, 2);
    expectTriangle(mesh.triangles[1], 0, 2, 3, 0, 2, 3);
}

TEST(ObjModel, ToleratesLineEndingsBlanksByteOrderMarkAndMissingFinalLineFeed) {
    Mesh mesh;
    std::string error;
    const std::string text =
        "\xEF\xBB\xBFv 0 0 0\r\n\tv  1\t0 0 \r\n   v 0 1 0\r\n\r\nvt 0 0\r\nvt 1 0\r\nvt 0 1\r\n"
        "  f\t1/1  2/2\t3/3 ";
    ASSERT_TRUE(readText(mesh, text, error)) << error;
    EXPECT_EQ(mesh.positions.count, 3);
    EXPECT_EQ(mesh.positions[1].x, 1.0f);
    EXPECT_EQ(mesh.texCoords.count, 3);
    ASSERT_EQ(mesh.triangles.count, 1);
    expectTriangle(mesh.triangles[0], 0, 1, 2, 0, 1, 2);
}

TEST(ObjModel, RelativeIndicesCountBackFromTheLastItemReadSoFar) {
    Mesh mesh;
    std::string error;
    const std::string text =
        "v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nvt 1 0\nvt 0 1\n"
        "f -3/-3 -2/-2 -1/-1\n"
        "v 1 1 0\nvt 1 1\n"
        "f -1/-1 2/-3 -2/3\n";
    ASSERT_TRUE(readText(mesh, text, error)) << error;
    ASSERT_EQ(mesh.triangles.count, 2);
    expectTriangle(mesh.triangles[0], 0, 1, 2, 0, 1, 2);
    expectTriangle(mesh.triangles[1], 3, 1, 2, 3, 1, 2);
}

TEST(ObjModel, SmallFacesAndUnknownKeywordsAddNothing) {
    Mesh mesh;
    std::string error;
    const std::string text = "v 0 0 0\nv 1 0 0\nvt 0 0\nvt 1 0\nf 1/1 2/2\nf\nvtx 1 2\nV 1 2 3\nfo 1/1\n";
    ASSERT_TRUE(readText(mesh, text, error)) << error;
    EXPECT_EQ(mesh.positions.count, 2);
    EXPECT_EQ(mesh.texCoords.count, 2);
    EXPECT_EQ(mesh.triangles.count, 0);
}

TEST(ObjModel, AModelWithoutTrianglesIsLegalButAFileWithoutAnyModelLineIsNot) {
    Mesh mesh;
    std::string error;
    EXPECT_FALSE(readText(mesh, "", error));
    EXPECT_NE(error.find("not an OBJ model"), std::string::npos) << error;
    EXPECT_FALSE(readText(mesh, "# only a comment\ng group\n", error));
    EXPECT_TRUE(readText(mesh, "v 1 1 1\n", error)) << error;
    EXPECT_TRUE(normaliseMesh(mesh, error)) << error;
    EXPECT_EQ(mesh.positions[0].x, 1.0f);
}

TEST(ObjModel, ReadingEmptiesTheMeshFirst) {
    Mesh mesh;
    std::string error;
    ASSERT_TRUE(readText(mesh, unitSquareObj(), error)) << error;
    ASSERT_TRUE(readText(mesh, "v 0 0 0\n", error)) << error;
    EXPECT_EQ(mesh.positions.count, 1);
    EXPECT_EQ(mesh.texCoords.count, 0);
    EXPECT_EQ(mesh.triangles.count, 0);
}

// Old Mac text ends its lines with a lone carriage return: each one is a line of its own, numbered so in
// messages, and a carriage return before a line feed still ends one line only.
TEST(ObjModel, ALoneCarriageReturnEndsALine) {
    Mesh mesh;
    std::string error;
    ASSERT_TRUE(readText(mesh, "v 0 0 0\rv 1 0 0\rv 0 1 0\rvt 0 0\rvt 1 0\rvt 0 1\rf 1/1 2/2 3/3\r", error)) << error;
    EXPECT_EQ(mesh.positions.count, 3);
    ASSERT_EQ(mesh.triangles.count, 1);
    expectTriangle(mesh.triangles[0], 0, 1, 2, 0, 1, 2);
    EXPECT_FALSE(readText(mesh, "v 0 0 0\r\nv 1 0 0\rv 0 x 0\n", error));
    EXPECT_EQ(error.rfind("m.obj:3: ", 0), 0u) << error;
}

// A line longer than 32 MiB is refused with its number, and a NUL byte is found as soon as it arrives, however
// long the line it sits in, so a file like /dev/zero never fills the memory.
TEST(ObjModel, EndlessLinesAndNulBytesAreRefusedAsTheyArrive) {
    Mesh mesh;
    std::string error;
    std::string endless = "v 0 0 0\n# " + std::string((size_t{32} << 20) + 10, 'x');
    EXPECT_FALSE(readText(mesh, endless, error));
    EXPECT_EQ(error, "m.obj:2: line too long");
    endless.clear();
    endless.shrink_to_fit();
    std::istringstream zeros(std::string(size_t{1} << 20, '\0'));
    EXPECT_FALSE(readObjModel(mesh, zeros, "zero.obj", error));
    EXPECT_EQ(error, "zero.obj:1: holds a NUL byte: not a text OBJ file");
    EXPECT_GT(zeros.rdbuf()->in_avail(), 1000000);  // the rest was never read
}

TEST(ObjModel, VeryLongLinesRead) {
    Mesh mesh;
    std::string error;
    std::string text = "v 0 0 0" + std::string(200000, ' ') + "7\nv 1 0 0\nv 0 1 0\nvt 0 0\nf";
    for (int i = 0; i < 20000; ++i) text += " 1/1 2/1 3/1";
    ASSERT_TRUE(readText(mesh, text, error)) << error;
    EXPECT_EQ(mesh.triangles.count, 3 * 20000 - 2);
}

TEST(ObjModel, BadLinesAreReportedWithFileAndLineNumber) {
    const std::string header = "v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nvt 1 0\nvt 0 1\n";  // lines 1-6
    struct Case {
        const char* line;
        const char* what;
    };
    const Case cases[] = {
        {"f 0/1 2/2 3/3", "position index '0' is out of range"},
        {"f 1/1 2/2 4/3", "position index '4' is out of range"},
        {"f 1/1 2/2 -4/3", "position index '-4' is out of range"},
        {"f 1/1 2/2 3/7", "texture coordinate index '7' is out of range"},
        {"f 1/1 2/2 3/-7", "texture coordinate index '-7' is out of range"},
        {"f 1/1 2/2 4294967299/3", "position index '4294967299' is out of range"},
        {"f 1/1 2/2 99999999999999999999999/3", "is out of range"},
        {"f 1 2 3", "corner '1' has no texture coordinate index"},
        {"f 1//1 2//2 3//3", "corner '1//1' has no texture coordinate index"},
        {"f 1/ 2/2 3/3", "corner '1/' has no texture coordinate index"},
        {"f a/1 2/2 3/3", "position index 'a' is not a number"},
        {"f /1 2/2 3/3", "position index '' is not a number"},
        {"f 1/1x 2/2 3/3", "texture coordinate index '1x' is not a number"},
        {"f 1.0/1 2/2 3/3", "position index '1.0' is not a number"},
        {"f 1/1 9/2", "position index '9' is out of range"},  // even on a face too small to keep
        {"v 1 2", "\"v\" needs 3 numbers, found 2"},
        {"vt 1", "\"vt\" needs 2 numbers, found 1"},
        {"v 1 x 3", "coordinate 'x' is not a number"},
        {"v nan 0 0", "coordinate 'nan' is not a finite"},
        {"vt 0 -inf", "coordinate '-inf' is not a finite"},
        {"v 1e39 0 0", "coordinate '1e39' is not a finite"},
        {"vt 1e400 0", "coordinate '1e400' is not a finite"},
    };
    for (const Case& c : cases) {
        Mesh mesh;
        std::string error;
        const std::string text = header + c.line + "\nv 0 0 1\n";  // the bad line is line 7
        EXPECT_FALSE(readText(mesh, text, error)) << c.line;
        EXPECT_EQ(error.rfind("m.obj:7: ", 0), 0u) << c.line << " -> " << error;
        EXPECT_NE(error.find(c.what), std::string::npos) << c.line << " -> " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
    // A NUL byte marks a binary file, even on a line that would be skipped.
    Mesh mesh;
    std::string error;
    EXPECT_FALSE(readText(mesh, header + std::string("# \0", 3) + "\nf 1/1 2/2 3/3\n", error));
    EXPECT_EQ(error, "m.obj:7: holds a NUL byte: not a text OBJ file");
}

TEST(ObjModel, MessagesQuoteHugeTokensShortly) {
    Mesh mesh;
    std::string error;
    EXPECT_FALSE(readText(mesh, "v " + std::string(5000, 'x') + " 0 0\n", error));
    EXPECT_LT(error.size(), 120u);
}

TEST(ObjModel, TrianglesOnCoincidentPositionsAreRejected) {
    Mesh mesh;
    std::string error;
    EXPECT_FALSE(readText(mesh, "v 2 2 2\nv 2 2 2\nvt 0 0\nf 1/1 2/1 1/1\n", error));
    EXPECT_EQ(error.rfind("m.obj: ", 0), 0u) << error;
    EXPECT_NE(error.find("no extent"), std::string::npos) << error;
}

TEST(ObjModel, LoadsFromAFileAndReportsFilesThatCannotBeOpened) {
    TempDir dir;
    Mesh mesh;
    std::string error;
    writeTextFile(dir.file("square.obj"), unitSquareObj());
    ASSERT_TRUE(loadObjModel(mesh, dir.file("square.obj").c_str(), error)) << error;
    EXPECT_EQ(mesh.triangles.count, 2);

    const std::string missing = dir.file("missing.obj");
    EXPECT_FALSE(loadObjModel(mesh, missing.c_str(), error));
    EXPECT_EQ(error, "failed to load obj file '" + missing + "': No such file or directory");
    EXPECT_FALSE(loadObjModel(mesh, dir.path.c_str(), error));
    EXPECT_EQ(error, "failed to load obj file '" + dir.path + "': is a directory");

    writeTextFile(dir.file("bad.obj"), "v 0 0 0\nvt 0 0\nf 1/1 1/1 2/1\n");
    EXPECT_FALSE(loadObjModel(mesh, dir.file("bad.obj").c_str(), error));
    EXPECT_EQ(error.rfind(dir.file("bad.obj") + ":3: position index '2'", 0), 0u) << error;
}

TEST(ObjModel, NormalisingCentresTheBoxAndScalesTheLargestSideToOne) {
    Mesh mesh;
    std::string error;
    ASSERT_TRUE(readText(mesh, "v 2 0 0\nv 6 1 2\nv 4 0.5 1\nvt 0 0\nf 1/1 2/1 3/1\n", error)) << error;
    ASSERT_TRUE(normaliseMesh(mesh, error)) << error;
    EXPECT_FLOAT_EQ(mesh.positions[0].x, -0.5f);
    EXPECT_FLOAT_EQ(mesh.positions[0].y, -0.125f);
    EXPECT_FLOAT_EQ(mesh.positions[0].z, -0.25f);
    EXPECT_FLOAT_EQ(mesh.positions[1].x, 0.5f);
    EXPECT_FLOAT_EQ(mesh.positions[1].y, 0.125f);
    EXPECT_FLOAT_EQ(mesh.positions[1].z, 0.25f);
    EXPECT_FLOAT_EQ(mesh.positions[2].x, 0.0f);
    EXPECT_EQ(mesh.texCoords[0].u, 0.0f);

    // A vertex no triangle uses moves with the others but does not widen the box.
    Mesh withUnused;
    ASSERT_TRUE(readText(withUnused, "v 2 0 0\nv 6 1 2\nv 4 0.5 1\nv 100 -50 7\nvt 0 0\nf 1/1 2/1 3/1\n", error));
    ASSERT_TRUE(normaliseMesh(withUnused, error)) << error;
    for (int k = 0; k < 3; ++k) {
        EXPECT_FLOAT_EQ(withUnused.positions[k].x, mesh.positions[k].x);
        EXPECT_FLOAT_EQ(withUnused.positions[k].y, mesh.positions[k].y);
    }
    EXPECT_FLOAT_EQ(withUnused.positions[3].x, 24.0f);
}

TEST(ObjModel, NormalisingFailsWithoutAUsableExtent) {
    Mesh mesh;
    std::string error;
    append(mesh.positions, Point3{1, 1, 1});
    append(mesh.texCoords, TexPoint{0, 0});
    append(mesh.triangles, MeshTriangle{});
    EXPECT_FALSE(normaliseMesh(mesh, error));
    EXPECT_NE(error.find("no extent"), std::string::npos) << error;

    // The sum of the box's corners would overflow 32-bit float, and with it the centre.
    std::string text = "v 3e38 0 0\nv 2e38 1 0\nvt 0 0\nf 1/1 2/1 2/1\n";
    EXPECT_FALSE(readText(mesh, text, error));
    EXPECT_NE(error.find("too large"), std::string::npos) << error;
}

TEST(ObjModel, SplitTokensDropsEmptyTokens) {
    const GrowArray<std::string> tokens = splitTokens("  a\t\tbc \r", " \t\r");
    ASSERT_EQ(tokens.count, 2);
    EXPECT_EQ(tokens[0], "a");
    EXPECT_EQ(tokens[1], "bc");
    EXPECT_EQ(splitTokens("//", "/").count, 0);
}
