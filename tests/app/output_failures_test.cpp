// Writing levels when the disk is full or the run is cut short, through the built kiv: the failure is reported (or
// the run ends by its signal), no partial file is left, and a complete file from an earlier run is kept.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

bool anyPartialFile(const std::string& folder) {
    for (const std::string& name : listFiles(folder)) {
        if (name.find(".partial-") != std::string::npos) return true;
    }
    return false;
}

void copySample(const TempDir& dir) {
    for (const char* name : {"sample.obj", "sample.png"}) {
        writeTextFile(dir.file(name), readTextFile(std::string(KIV_SOURCE_DIR) + "/data/" + name));
    }
}

// A file-size limit ends the run with SIGXFSZ as the first large level is written: the file being written is
// removed, the old level 0 stays, and the lines printed before are all there.
TEST(OutputFailures, ARunEndedByASignalLeavesNoPartialFile) {
    TempDir dir;
    copySample(dir);
    writeTextFile(dir.file("mip_0_box.png"), "complete level from an earlier run");
    const std::string output = shellOutput("cd \"" + dir.path + "\" && ulimit -f 40 && \"" + KIV_EXECUTABLE +
                                           "\" sample.obj sample.png box; echo \"status $?\"");
    EXPECT_NE(output.find("Image is 512x512 with 10 mip levels."), std::string::npos) << output;
    EXPECT_NE(output.find("status 153"), std::string::npos) << output;  // 128 + SIGXFSZ
    EXPECT_FALSE(anyPartialFile(dir.path));
    const std::string old = readTextFile(dir.file("mip_0_box.png"));
    EXPECT_TRUE(old == "complete level from an earlier run") << "level 0 was replaced (" << old.size() << " bytes)";
}

// A real full disk: a 16 KB memory file system as the output folder (level 0 of the sample needs more), mounted
// when the test runs as root.
TEST(OutputFailures, AFullDiskIsAnErrorAndKeepsTheOldFile) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    TempDir dir;
    copySample(dir);
    const std::string small = dir.file("small");
    ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=16k") != 0) GTEST_SKIP() << "no tmpfs mount here";
    writeTextFile(small + "/mip_0_box.png", "complete level from an earlier run");
    const CommandResult result = runKiv(dir.path, {"-o", "small", "sample.obj", "sample.png", "box"});
    const bool partial = anyPartialFile(small);
    const std::string old = readTextFile(small + "/mip_0_box.png");
    umount(small.c_str());
    ASSERT_FALSE(result.timedOut || result.signalled) << result.output;
    EXPECT_EQ(result.exitStatus, 1) << result.output;
    EXPECT_NE(result.output.find("Error: small/mip_0_box.png: cannot write the image (No space left on device)"),
              std::string::npos)
        << result.output;
    EXPECT_FALSE(partial);
    EXPECT_TRUE(old == "complete level from an earlier run") << "level 0 was replaced (" << old.size() << " bytes)";
}

}  // namespace
