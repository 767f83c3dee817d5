// --viewer end to end: one self-contained page beside the levels, holding the model and every level as the PNG
// files hold them. What the page shows in a browser is tested in tests/viewer.
#include <gtest/gtest.h>

#include "app/viewer_page.h"
#include "container_levels.h"
#include "test_support.h"

namespace {

std::string decodeBase64(const std::string& text) {
    static const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        if (c == '=') break;
        bits = bits << 6 | static_cast<uint32_t>(digits.find(c));
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes += static_cast<char>((bits >> count) & 0xff);
        }
    }
    return bytes;
}

// The PNG files the page embeds, in the order they appear.
std::vector<std::string> embeddedPngs(const std::string& page) {
    static const std::string prefix = "data:image/png;base64,";
    std::vector<std::string> files;
    for (size_t at = page.find(prefix); at != std::string::npos; at = page.find(prefix, at)) {
        at += prefix.size();
        files.push_back(decodeBase64(page.substr(at, page.find('"', at) - at)));
    }
    return files;
}

TEST(Viewer, ThePageHoldsEveryLevelAsItsFileAndTheModel) {
    if (!viewerPageBuilt()) GTEST_SKIP() << "built with -DKIV_WITH_VIEWER=OFF";
    TempDir dir;
    const CommandResult result = runKiv(dir.path, {"--viewer", "-o", "out", KIV_SOURCE_DIR "/data/sample.obj",
                                                   KIV_SOURCE_DIR "/data/sample.png", "box", "kivbox"});
    ASSERT_EQ(result.exitStatus, 0) << result.output;
    const std::string page = readTextFile(dir.file("out/viewer.html"));
    EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_NE(page.find("<title>sample.obj - kiv viewer</title>"), std::string::npos);
    EXPECT_NE(page.find("\"texture\":\"sample.png\""), std::string::npos);
    EXPECT_NE(page.find("\"sizes\":[[512,512],[256,256],"), std::string::npos);

    const std::vector<std::string> pngs = embeddedPngs(page);
    ASSERT_EQ(pngs.size(), 20u);
    for (int k = 0; k < 10; ++k) {
        EXPECT_EQ(pngs[k], readTextFile(dir.file("out/mip_" + std::to_string(k) + "_box.png"))) << k;
        EXPECT_EQ(pngs[10 + k], readTextFile(dir.file("out/mip_" + std::to_string(k) + "_kivbox.png"))) << k;
    }
    // The sample is a box of 12 triangles: 36 corners of 3 floats, then of 2.
    const size_t positions = page.find("\"positions\":\"") + 13, uvs = page.find("\"uvs\":\"") + 7;
    EXPECT_EQ(decodeBase64(page.substr(positions, page.find('"', positions) - positions)).size(), 36u * 3 * 4);
    EXPECT_EQ(decodeBase64(page.substr(uvs, page.find('"', uvs) - uvs)).size(), 36u * 2 * 4);
}

// The page does not depend on the PNG files: with only a container written, the levels are encoded for it alone.
// A rectangular texture's chain goes on past its shorter side's 1 down to 1 x 1, as a GPU's does, every level on the
// page as the container holds it.
TEST(Viewer, ThePageCarriesItsOwnLevelsDownToOneTexel) {
    if (!viewerPageBuilt()) GTEST_SKIP() << "built with -DKIV_WITH_VIEWER=OFF";
    TempDir dir;
    writeTextFile(dir.file("model.obj"), unitSquareObj());
    std::vector<unsigned char> rgb(3 * 8 * 2);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<unsigned char>(i * 5);
    writeImageFile(dir.file("wide.png"), imageFromBytes(8, 2, rgb));
    const CommandResult result = runKiv(dir.path, {"--viewer", "--format", "ktx2", "model.obj", "wide.png", "box"});
    ASSERT_EQ(result.exitStatus, 0) << result.output;
    EXPECT_FALSE(fileExists(dir.file("mip_0_box.png")));
    const std::string page = readTextFile(dir.file("viewer.html"));
    EXPECT_NE(page.find("\"sizes\":[[8,2],[4,1],[2,1],[1,1]],"), std::string::npos);
    const std::vector<std::string> pngs = embeddedPngs(page);
    containers::Header header;
    const std::vector<containers::Level> levels =
        containers::ktx2Levels(readTextFile(dir.file("mip_box.ktx2")), header);
    ASSERT_EQ(pngs.size(), 4u);
    ASSERT_EQ(levels.size(), 4u);
    for (size_t k = 0; k < pngs.size(); ++k) {
        const std::string embedded = dir.file("embedded_" + std::to_string(k) + ".png");
        writeTextFile(embedded, pngs[k]);
        EXPECT_EQ(containers::asContainerLevel(readImageFile(embedded)), levels[k]) << k;
    }
}

// Names go into the page as JSON inside a script element: a name cannot end the element early.
TEST(Viewer, NamesCannotBreakOutOfThePage) {
    if (!viewerPageBuilt()) GTEST_SKIP() << "built with -DKIV_WITH_VIEWER=OFF";
    TempDir dir;
    writeTextFile(dir.file("a<\"x\">.obj"), unitSquareObj());
    writeImageFile(dir.file("t.png"), imageFromBytes(2, 2, std::vector<unsigned char>(12, 200)));
    const CommandResult result = runKiv(dir.path, {"--viewer", "a<\"x\">.obj", "t.png", "box"});
    ASSERT_EQ(result.exitStatus, 0) << result.output;
    const std::string page = readTextFile(dir.file("viewer.html"));
    EXPECT_NE(page.find("\"model\":\"a\\u003c\\\"x\\\">.obj\""), std::string::npos);
    EXPECT_NE(page.find("<title>a&lt;\"x\">.obj - kiv viewer</title>"), std::string::npos);
}

}  // namespace

// A build configured without the viewer's npm packages refuses --viewer at once, before reading anything, rather than
// running every filter and failing at the page.
TEST(Viewer, ABuildWithoutThePageRefusesTheOption) {
    if (viewerPageBuilt()) GTEST_SKIP() << "this build has the viewer page";
    TempDir dir;
    const CommandResult result = runKiv(dir.path, {"--viewer", "missing.obj", "missing.png", "box"});
    EXPECT_EQ(result.exitStatus, 2) << result.output;  // an option this build does not take: a usage error
    ASSERT_FALSE(outputLines(result.output).empty());
    EXPECT_EQ(outputLines(result.output)[0],
              "Error: --viewer is not in this build of kiv (it was configured with -DKIV_WITH_VIEWER=OFF)");
}
