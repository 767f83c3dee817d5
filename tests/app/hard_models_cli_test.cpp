// The least-squares filters on the generated hard models, end to end: every kind finishes all four filters under
// a hang guard with every error bound proved, and the pleated sheet, on which kivbi once stopped with "the wanted
// error is below the rounding of the residual", gives the levels of the exact factorisation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "hard_models.h"
#include "test_support.h"

namespace {

// Writes the model of `kind` as <kind>.obj and <kind>.png into `dir`.
void writeHardModel(const TempDir& dir, HardModelKind kind, int32_t size) {
    const HardModel model = makeHardModel(kind, size);
    const std::string name = hardModelKindName(kind);
    writeTextFile(dir.file(name + ".obj"), model.objText);
    writeImageFile(dir.file(name + ".png"), model.texture);
}

// A run that hangs is stopped here and fails the test; a normal one takes about a second.
constexpr int hangGuardSeconds = 120;

}  // namespace

TEST(HardModels, EveryKindFinishesEveryLeastSquaresFilterWithItsBoundsProved) {
    TempDir dir;
    for (HardModelKind kind : allHardModelKinds) {
        const std::string name = hardModelKindName(kind);
        SCOPED_TRACE(name);
        writeHardModel(dir, kind, 256);
        const CommandResult result = runKiv(dir.path, {"-o", name, name + ".obj", name + ".png", "kivbi", "kivbic",
                                                       "kivtri", "kivtric"},
                                            hangGuardSeconds);
        ASSERT_FALSE(result.timedOut) << "stopped after " << hangGuardSeconds << " s";
        ASSERT_FALSE(result.signalled) << result.output;
        EXPECT_EQ(result.exitStatus, 0) << result.output;
        EXPECT_EQ(result.output.find("not proved"), std::string::npos) << result.output;
        EXPECT_EQ(result.output.find("Error"), std::string::npos) << result.output;
    }
}

TEST(HardModels, OnThePleatedSheetKivbiMatchesTheFactorisationWithinAByte) {
    TempDir dir;
    writeHardModel(dir, HardModelKind::pleated, 256);
    for (const char* solver : {"iterative", "direct"}) {
        const CommandResult result =
            runKiv(dir.path, {"--solver", solver, "-o", solver, "pleated.obj", "pleated.png"}, hangGuardSeconds);
        ASSERT_EQ(result.exitStatus, 0) << result.output;
    }
    for (int level = 1; level <= 8; ++level) {
        SCOPED_TRACE(level);
        const std::string file = "/mip_" + std::to_string(level) + "_kivbi.png";
        const DecodedImage iterated = readImageFile(dir.path + "/iterative" + file);
        const DecodedImage exact = readImageFile(dir.path + "/direct" + file);
        ASSERT_EQ(iterated.width, 256 >> level);
        ASSERT_EQ(iterated.rgb.size(), exact.rgb.size());
        int largest = 0;
        for (size_t i = 0; i < exact.rgb.size(); ++i) largest = std::max(largest, std::abs(iterated.rgb[i] - exact.rgb[i]));
        EXPECT_LE(largest, 1);
    }
}
