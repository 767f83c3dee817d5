// End-to-end runs of the built kiv with its options: refused option lines, the output folder and the thread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "test_support.h"

namespace {

void expectFinished(const CommandResult& result, int status) {
    ASSERT_FALSE(result.timedOut) << result.output;
    ASSERT_FALSE(result.signalled) << result.output;
    EXPECT_EQ(result.exitStatus, status) << result.output;
}

// The bundled sample (six charts of different densities on a 512 x 512 atlas) copied into a fresh directory.
struct SampleRun {
    TempDir dir;
    SampleRun() {
        copySample(dir);
    }
    CommandResult run(const std::vector<std::string>& options, const std::vector<std::string>& filters) const {
        std::vector<std::string> arguments = options;
        arguments.push_back("sample.obj");
        arguments.push_back("sample.png");
        arguments.insert(arguments.end(), filters.begin(), filters.end());
        return runKiv(dir.path, arguments);
    }
};

// The count the thread line reports.
int threadsUsed(const std::string& output) {
    int threads = 0, processors = 0;
    EXPECT_EQ(std::sscanf(output.c_str(), "Using %d threads on machine with %d procs", &threads, &processors), 2)
        << output;
    return threads;
}

}  // namespace

// Each refused line prints exactly its error and the hint, ends with the status of a usage error, and reads and
// writes nothing: the model and texture named do not even exist.
TEST(Options, AnUnknownOptionOrABadValueIsOneErrorLineAndTheHint) {
    struct Case {
        std::vector<std::string> arguments;
        std::string error;
    };
    const Case cases[] = {
        {{"--frob", "model.obj", "texture.png"}, "Error: Option 'frob' does not exist"},
        {{"model.obj", "texture.png", "-x"}, "Error: Option 'x' does not exist"},
        {{"model.obj", "texture.png", "-o"}, "Error: -o takes a folder name, not ''"},
        {{"--output=", "model.obj", "texture.png"}, "Error: -o/--output takes a folder name, not ''"},
        {{"model.obj", "texture.png", "--threads"}, "Error: --threads takes a whole number from 1 to 1024, not ''"},
        {{"--threads", "0", "model.obj", "texture.png"}, "Error: --threads takes a whole number from 1 to 1024, not '0'"},
        {{"--threads", "-2", "model.obj", "texture.png"},
         "Error: --threads takes a whole number from 1 to 1024, not '-2'"},
        {{"--threads=2x", "model.obj", "texture.png"},
         "Error: --threads takes a whole number from 1 to 1024, not '2x'"},
        {{"--threads", "99999", "model.obj", "texture.png"},
         "Error: --threads takes a whole number from 1 to 1024, not '99999'"},
        {{"--format", "png,gif", "model.obj", "texture.png"}, "Error: --format takes png, ktx2, dds, ktx2:CODEC or dds:CODEC (CODEC: bc1, bc3, bc4, bc5, bc7; astc4x4, astc6x6, astc8x8 in ktx2), not 'gif'"},
        {{"--format", "png,", "model.obj", "texture.png"}, "Error: --format takes png, ktx2, dds, ktx2:CODEC or dds:CODEC (CODEC: bc1, bc3, bc4, bc5, bc7; astc4x4, astc6x6, astc8x8 in ktx2), not ''"},
        {{"--format", "PNG", "model.obj", "texture.png"}, "Error: --format takes png, ktx2, dds, ktx2:CODEC or dds:CODEC (CODEC: bc1, bc3, bc4, bc5, bc7; astc4x4, astc6x6, astc8x8 in ktx2), not 'PNG'"},
        {{"--solver", "exact", "-o", "out", "model.obj", "texture.png"},
         "Error: --solver takes 'iterative' or 'direct', not 'exact'"},
        // A repeated option would silently lose its first value.
        {{"--format", "ktx2", "--format", "dds", "model.obj", "texture.png"}, "Error: --format is given more than once"},
        {{"-o", "a", "--output", "b", "model.obj", "texture.png"}, "Error: -o/--output is given more than once"},
        {{"--threads", "2", "--threads=2", "model.obj", "texture.png"}, "Error: --threads is given more than once"},
        {{"--solver", "direct", "model.obj", "texture.png", "--solver", "direct"},
         "Error: --solver is given more than once"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const CommandResult result = runKiv(dir.path, c.arguments);
        expectFinished(result, 2);
        EXPECT_EQ(outputLines(result.output), (std::vector<std::string>{c.error, "Run 'kiv --help' for usage."}));
    }
    EXPECT_TRUE(listFiles(dir.path).empty());
}

TEST(Options, OutputGoesIntoANewNestedFolder) {
    SampleRun run;
    const CommandResult result = run.run({"-o", "out/levels/box"}, {"box"});
    expectFinished(result, 0);
    EXPECT_EQ(listFiles(run.dir.path), (std::vector<std::string>{"out", "sample.obj", "sample.png"}));
    std::vector<std::string> expected;
    for (int k = 0; k < 10; ++k) expected.push_back("mip_" + std::to_string(k) + "_box.png");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listFiles(run.dir.file("out/levels/box")), expected);

    // An existing folder is used as it is; the formats may come in any order.
    const CommandResult again = run.run({"--output", run.dir.file("out/levels/box"), "--format", "dds,png,ktx2"}, {"tent"});
    expectFinished(again, 0);
    EXPECT_EQ(listFiles(run.dir.file("out/levels/box")).size(), 22u);
    EXPECT_TRUE(fileExists(run.dir.file("out/levels/box/mip_tent.ktx2")));
    EXPECT_TRUE(fileExists(run.dir.file("out/levels/box/mip_tent.dds")));
}

// The folder is made before anything is read: the missing model is never reached.
TEST(Options, AnOutputFolderThatCannotBeMadeStopsTheRun) {
    TempDir dir;
    writeTextFile(dir.file("plain"), "a file, not a folder");
    for (const std::string folder : {"plain/levels", "plain"}) {
        const CommandResult result = runKiv(dir.path, {"-o", folder, "missing.obj", "missing.png", "box"});
        expectFinished(result, 1);
        const std::vector<std::string> lines = outputLines(result.output);
        ASSERT_EQ(lines.size(), 2u) << result.output;
        EXPECT_EQ(lines[1], "Error: " + folder + ": cannot create the output folder (Not a directory)");
    }
    EXPECT_EQ(listFiles(dir.path), std::vector<std::string>{"plain"});
}

// The solves split their work across threads without changing a byte of the result.
TEST(Options, OneThreadWritesTheSameLevelsAsTheDefault) {
    SampleRun one, all;
    const CommandResult single = one.run({"--threads", "1"}, {"kivbi"});
    const CommandResult every = all.run({}, {"kivbi"});
    expectFinished(single, 0);
    expectFinished(every, 0);
    EXPECT_EQ(threadsUsed(single.output), 1);
    for (int k = 0; k < 10; ++k) {
        const std::string name = "mip_" + std::to_string(k) + "_kivbi.png";
        ASSERT_TRUE(fileExists(one.dir.file(name))) << name;
        EXPECT_EQ(readTextFile(one.dir.file(name)), readTextFile(all.dir.file(name))) << name;
    }
}

// Without --threads the count comes from OMP_NUM_THREADS when it is set; --threads overrides it.
TEST(Options, TheThreadCountFollowsOmpNumThreadsUnlessGiven) {
    SampleRun run;
    const char* previous = std::getenv("OMP_NUM_THREADS");
    const std::string saved = previous ? previous : "";
    setenv("OMP_NUM_THREADS", "3", 1);
    const CommandResult fromEnvironment = run.run({}, {"box"});
    const CommandResult given = run.run({"--threads", "2"}, {"box"});
    if (previous) setenv("OMP_NUM_THREADS", saved.c_str(), 1);
    else unsetenv("OMP_NUM_THREADS");
    expectFinished(fromEnvironment, 0);
    expectFinished(given, 0);
    EXPECT_EQ(threadsUsed(fromEnvironment.output), 3);
    EXPECT_EQ(threadsUsed(given.output), 2);
}

namespace {

// Progress lines, per filter and per kivbi level, are for a person at a terminal: under a pseudo-terminal
// (script(1)) they appear, rewritten in place, with standard error in a pipe they do not.
TEST(Options, ProgressShowsOnATerminalOnly) {
    SampleRun run;
    const std::string kiv = std::string(KIV_EXECUTABLE) + " sample.obj sample.png box kivbi";
    const std::string terminal = shellOutput("cd '" + run.dir.path + "' && script -qec \"" + kiv + "\" /dev/null");
    EXPECT_NE(terminal.find("\rbox: running"), std::string::npos) << terminal;
    EXPECT_NE(terminal.find("\rkivbi: level 1 of 9"), std::string::npos) << terminal;
    EXPECT_NE(terminal.find("\rkivbi: level 9 of 9"), std::string::npos) << terminal;
    const CommandResult piped = run.run({}, {"box", "kivbi"});
    ASSERT_EQ(piped.exitStatus, 0) << piped.output;
    EXPECT_EQ(piped.output.find("running"), std::string::npos) << piped.output;
    EXPECT_EQ(piped.output.find("level 1 of"), std::string::npos) << piped.output;
}

}  // namespace
