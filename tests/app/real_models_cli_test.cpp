// Every filter, end to end, on real texture atlases that nobody on the team made (the duck and the
// milk truck under ../shared/models, or KIV_MODELS_DIR): status 0 and complete pyramids.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"

static void expectEveryFilterFinishes(const std::string& name, int side) {
    const std::string folder = realModelsDirectory() + "/" + name;
    if (!fileExists(folder + "/model.obj")) GTEST_SKIP() << "no real models at " << folder;

    const std::vector<std::string> filters = {"box",   "tent",   "lanczos3", "rainbow",
                                              "boxig", "kivbox", "kivbi",    "kivtri"};
    TempDir dir;
    std::vector<std::string> arguments = {folder + "/model.obj", folder + "/texture.png"};
    arguments.insert(arguments.end(), filters.begin(), filters.end());
    const CommandResult result = runKiv(dir.path, arguments, 1800);
    ASSERT_FALSE(result.timedOut);
    ASSERT_FALSE(result.signalled);
    ASSERT_EQ(result.exitStatus, 0) << result.output.substr(0, 4000);

    int levelCount = 0;
    while ((1 << levelCount) <= side) ++levelCount;
    const std::string sizeLine =
        "Image is " + std::to_string(side) + "x" + std::to_string(side) + " with " + std::to_string(levelCount);
    EXPECT_NE(result.output.find(sizeLine), std::string::npos) << result.output.substr(0, 400);

    for (const std::string& filter : filters) {
        SCOPED_TRACE(filter);
        EXPECT_NE(result.output.find("\t" + filter + "\n"), std::string::npos);
        for (int level = 0; level < levelCount; ++level) {
            const DecodedImage image =
                readImageFile(dir.file("mip_" + std::to_string(level) + "_" + filter + ".png"));
            EXPECT_EQ(image.width, side >> level) << "level " << level;
            EXPECT_EQ(image.height, side >> level) << "level " << level;
        }
        EXPECT_FALSE(fileExists(dir.file("mip_" + std::to_string(levelCount) + "_" + filter + ".png")));
    }
}

TEST(RealModel, EveryFilterFinishesOnTheDuck) { expectEveryFilterFinishes("duck", 512); }

TEST(RealModel, EveryFilterFinishesOnTheMilkTruck) { expectEveryFilterFinishes("milk_truck", 2048); }
