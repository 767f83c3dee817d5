// Writing levels when the disk is full or the run is cut short, through the built kiv: the failure is reported (or
// the run ends by its signal), no partial file is left, and a complete file from an earlier run is kept. Also where
// the files land and how: never through a symbolic link planted inside the output folder, with the permissions of
// the files they replace, and at paths as long as the system allows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>

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

// Any signal from outside that ends the run while a level is being written (strace delivers it as the first file
// is flushed to the disk) removes that file and ends the run by that signal; a signal ignored when kiv starts, as
// under nohup, stays ignored.
TEST(OutputFailures, EverySignalThatEndsTheRunLeavesNoPartialFile) {
    if (shellOutput("strace -qq -o /dev/null true && echo usable").find("usable") == std::string::npos) {
        GTEST_SKIP() << "strace is missing or cannot trace here";
    }
    TempDir dir;
    copySample(dir);
    const std::string old = "complete level from an earlier run";
    const std::string run = "cd \"" + dir.path + "\" && ulimit -c 0 && strace -qq -o /dev/null -e trace=fsync -e ";
    for (int signal : {SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGPIPE, SIGTERM, SIGRTMIN + 2}) {
        SCOPED_TRACE("signal " + std::to_string(signal));
        writeTextFile(dir.file("mip_0_box.png"), old);
        const std::string output = shellOutput(run + "inject=fsync:signal=" + std::to_string(signal) + ":when=1 \"" +
                                               KIV_EXECUTABLE + "\" sample.obj sample.png box; echo \"status $?\"");
        EXPECT_NE(output.find("status " + std::to_string(128 + signal)), std::string::npos) << output;
        EXPECT_FALSE(anyPartialFile(dir.path));
        const std::string level = readTextFile(dir.file("mip_0_box.png"));
        EXPECT_TRUE(level == old) << "level 0 was replaced (" << level.size() << " bytes)";
    }
    const std::string ignored = shellOutput(run + "inject=fsync:signal=HUP:when=1 bash -c 'trap \"\" HUP; exec \"" +
                                            std::string(KIV_EXECUTABLE) + "\" sample.obj sample.png box'; echo \"status $?\"");
    EXPECT_NE(ignored.find("status 0"), std::string::npos) << ignored;
    EXPECT_EQ(readImageFile(dir.file("mip_0_box.png")).width, 512);
}

// A model whose one texture, t.png (a copy of the sample texture), goes into the folder "t" with --from-model.
void writeSquareModel(const TempDir& dir) {
    writeTextFile(dir.file("t.png"), readTextFile(std::string(KIV_SOURCE_DIR) + "/data/sample.png"));
    writeTextFile(dir.file("square.mtl"), "newmtl painted\nmap_Kd t.png\n");
    writeTextFile(dir.file("square.obj"), "mtllib square.mtl\nusemtl painted\n" + unitSquareObj());
}

// With --from-model the output folder may be a symbolic link the user made, but a link planted where a texture's
// folder goes is refused, and the files it points at stay as they were.
TEST(OutputFailures, FromModelRefusesASymbolicLinkAtATexturesFolder) {
    TempDir dir;
    writeSquareModel(dir);
    ASSERT_EQ(mkdir(dir.file("real").c_str(), 0755), 0);
    ASSERT_EQ(symlink("real", dir.file("linked").c_str()), 0);
    const CommandResult linked = runKiv(dir.path, {"--from-model", "-o", "linked", "square.obj", "box"});
    EXPECT_EQ(linked.exitStatus, 0) << linked.output;
    EXPECT_EQ(readImageFile(dir.file("real/t/mip_0_box.png")).width, 512);

    ASSERT_EQ(mkdir(dir.file("victim").c_str(), 0755), 0);
    writeTextFile(dir.file("victim/mip_0_box.png"), "someone else's file");
    ASSERT_EQ(mkdir(dir.file("out").c_str(), 0755), 0);
    ASSERT_EQ(symlink("../victim", dir.file("out/t").c_str()), 0);
    const CommandResult planted = runKiv(dir.path, {"--from-model", "-o", "out", "square.obj", "box"});
    EXPECT_EQ(planted.exitStatus, 1) << planted.output;
    EXPECT_NE(planted.output.find(
                  "Error: out/t: cannot create the output folder (a symbolic link is in its place; it is not followed)"),
              std::string::npos)
        << planted.output;
    EXPECT_EQ(listFiles(dir.file("victim")), std::vector<std::string>{"mip_0_box.png"});
    const std::string victim = readTextFile(dir.file("victim/mip_0_box.png"));
    EXPECT_TRUE(victim == "someone else's file") << "the linked file was replaced (" << victim.size() << " bytes)";
}

mode_t permissionsOf(const std::string& path) {
    struct stat info {};
    stat(path.c_str(), &info);
    return info.st_mode & 07777;
}

// A level that replaces an earlier file keeps that file's permissions (a read-only level stays read-only); a new
// level gets the mode the umask leaves.
TEST(OutputFailures, ReplacedFilesKeepTheirPermissions) {
    TempDir dir;
    copySample(dir);
    writeTextFile(dir.file("mip_0_box.png"), "read-only level from an earlier run");
    writeTextFile(dir.file("mip_1_box.png"), "private level from an earlier run");
    ASSERT_EQ(chmod(dir.file("mip_0_box.png").c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir.file("mip_1_box.png").c_str(), 0600), 0);
    const std::string output = shellOutput("cd \"" + dir.path + "\" && umask 027 && \"" + KIV_EXECUTABLE +
                                           "\" sample.obj sample.png box; echo \"status $?\"");
    EXPECT_NE(output.find("status 0"), std::string::npos) << output;
    EXPECT_EQ(readImageFile(dir.file("mip_0_box.png")).width, 512);
    EXPECT_EQ(readImageFile(dir.file("mip_1_box.png")).width, 256);
    EXPECT_EQ(permissionsOf(dir.file("mip_0_box.png")), 0444u);
    EXPECT_EQ(permissionsOf(dir.file("mip_1_box.png")), 0600u);
    EXPECT_EQ(permissionsOf(dir.file("mip_2_box.png")), 0640u);
}

// Levels whose paths are one character short of the system's limit are written: the temporary names beside them
// must not push past it. The folders are too deep for a whole path from the test's own folder, so they are made
// and read one name at a time.
TEST(OutputFailures, LevelsAtTheLongestPathAreWritten) {
    TempDir dir;
    writeTextFile(dir.file("square.obj"), unitSquareObj());
    writeImageFile(dir.file("t.png"), imageFromBytes(8, 8, std::vector<unsigned char>(3 * 8 * 8, 120)));
    const size_t folderLength = PATH_MAX - 1 - std::string("/mip_0_box.png").size();
    std::string folder;
    while (folder.size() + 251 < folderLength) folder += std::string(250, 'd') + "/";
    folder += std::string(folderLength - folder.size(), 'e');
    int deepest = open(dir.path.c_str(), O_PATH | O_DIRECTORY);
    for (size_t start = 0; start < folder.size();) {
        const size_t end = std::min(folder.find('/', start), folder.size());
        const std::string name = folder.substr(start, end - start);
        ASSERT_EQ(mkdirat(deepest, name.c_str(), 0755), 0);
        const int next = openat(deepest, name.c_str(), O_PATH | O_DIRECTORY);
        close(deepest);
        deepest = next;
        start = end + 1;
    }
    const CommandResult result = runKiv(dir.path, {"-o", folder, "square.obj", "t.png", "box"});
    EXPECT_EQ(result.exitStatus, 0) << result.output.substr(0, 300);
    for (const char* level : {"mip_0_box.png", "mip_3_box.png"}) {
        EXPECT_EQ(faccessat(deepest, level, F_OK, 0), 0) << level;
    }
    close(deepest);
}

}  // namespace
