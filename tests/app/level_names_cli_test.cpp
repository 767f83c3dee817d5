// The names of the level and container files (--name) and the removal of the levels an earlier run left behind
// (--no-clean keeps them): the pattern's rules, then end-to-end runs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "image/level_names.h"
#include "test_support.h"

namespace {

NamePattern parsed(const std::string& text) {
    NamePattern pattern;
    std::string error;
    EXPECT_TRUE(parseNamePattern(text, pattern, error)) << text << ": " << error;
    return pattern;
}

NameValues values(const std::string& stem, const std::string& filter, int level, int width, int height) {
    NameValues v;
    v.stem = stem;
    v.filter = filter;
    v.level = level;
    v.width = width;
    v.height = height;
    return v;
}

void expectStatus(const CommandResult& result, int status) {
    ASSERT_FALSE(result.timedOut) << result.output << result.errors;
    ASSERT_FALSE(result.signalled) << result.output << result.errors;
    EXPECT_EQ(result.exitStatus, status) << result.output << result.errors;
}

// A square texture of `side` texels for the unit square model, in `dir`.
void writeSquare(const TempDir& dir, const std::string& texture, int side) {
    writeTextFile(dir.file("model.obj"), unitSquareObj());
    std::vector<unsigned char> rgb(3 * side * side, 120);
    writeImageFile(dir.file(texture), imageFromBytes(side, side, rgb));
}

std::vector<std::string> names(const std::string& filter, int count, bool padded = false) {
    std::vector<std::string> result;
    for (int k = 0; k < count; ++k) {
        result.push_back(padded ? "wood_" + filter + "_0" + std::to_string(k) + ".png"
                                : "mip_" + std::to_string(k) + "_" + filter + ".png");
    }
    return result;
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

}  // namespace

// The default pattern gives the names kiv has always written; fields fill in, numbers padded as asked; the
// containers drop the level and one separator beside it, the one before it when there is one.
TEST(LevelNames, FieldsFillInAndContainersDropTheLevelWithOneSeparator) {
    const NamePattern standard = defaultLevelNames();
    EXPECT_EQ(levelFileName(standard, values("wood", "kivbi", 3, 64, 64)), "mip_3_kivbi.png");
    EXPECT_EQ(containerFileName(standard, values("wood", "kivbi", 0, 512, 512), "ktx2"), "mip_kivbi.ktx2");

    const NamePattern padded = parsed("{stem}_{filter}_{level:02}.png");
    EXPECT_EQ(levelFileName(padded, values("wood", "box", 3, 64, 32)), "wood_box_03.png");
    EXPECT_EQ(levelFileName(padded, values("wood", "box", 12, 1, 1)), "wood_box_12.png");
    EXPECT_EQ(containerFileName(padded, values("wood", "box", 0, 512, 256), "dds"), "wood_box.dds");
    const NamePattern sizes = parsed("{stem}.{width:04}x{height}.{level}.KTX2");  // the extension goes in any case
    EXPECT_EQ(levelFileName(sizes, values("a", "tent", 2, 128, 64)), "a.0128x64.2.png");
    EXPECT_EQ(containerFileName(sizes, values("a", "tent", 0, 512, 256), "ktx2"), "a.0512x256.ktx2");

    struct Dropped {
        const char* pattern;
        const char* container;
    };
    for (const Dropped& d : {Dropped{"{level}_{filter}", "box.ktx2"}, Dropped{"{filter}{level}", "box.ktx2"},
                             Dropped{"{filter}--{level}", "box-.ktx2"}, Dropped{"x {level} {filter}", "x box.ktx2"},
                             Dropped{"{level}{filter}_{level}", "box.ktx2"}}) {
        EXPECT_EQ(containerFileName(parsed(d.pattern), values("s", "box", 0, 4, 4), "ktx2"), d.container) << d.pattern;
    }
}

// A pattern is refused with a message saying what is wrong: a field kiv does not know, a brace without its partner,
// a padding it cannot write, a path instead of a name, or nothing at all.
TEST(LevelNames, BadPatternsAreRefusedWithTheirReason) {
    struct Case {
        const char* pattern;
        const char* error;
    };
    const Case cases[] = {
        {"{stem}_{lvl}", "unknown field {lvl}; the fields are {stem}, {filter}, {level}, {width} and {height}"},
        {"mip_{}", "unknown field {}; the fields are {stem}, {filter}, {level}, {width} and {height}"},
        {"mip_{level", "a '{' without its '}'"},
        {"mip_{le{vel}", "a '{' without its '}'"},
        {"mip_level}", "a '}' without its '{'"},
        {"{stem:02}_{level}", "{stem} takes no padding; only {level}, {width} and {height} do, as {level:02}"},
        {"{level:2}", "bad padding {level:2}: it is ':0' and a digit from 1 to 9, as {level:02}"},
        {"{level:00}", "bad padding {level:00}: it is ':0' and a digit from 1 to 9, as {level:02}"},
        {"{level:012}", "bad padding {level:012}: it is ':0' and a digit from 1 to 9, as {level:02}"},
        {"out/{level}", "a file name, not a path: '/' is not allowed"},
        {"..\\{level}", "a file name, not a path: '\\' is not allowed"},
        {"{level}\n", "a control character is not allowed"},
        {"", "the pattern is empty"},
        {".png", "the pattern is empty"},
    };
    for (const Case& c : cases) {
        NamePattern pattern;
        std::string error;
        EXPECT_FALSE(parseNamePattern(c.pattern, pattern, error)) << c.pattern;
        EXPECT_EQ(error, c.error) << c.pattern;
    }
}

// A file is the pattern's only when the pattern makes exactly its name for this stem and filter: numbers written as
// the pattern writes them, nothing before or after, no other filter's or stem's files.
TEST(LevelNames, OnlyNamesThePatternMakesExactlyMatch) {
    const NamePattern standard = defaultLevelNames();
    for (const char* name : {"mip_0_box.png", "mip_10_box.png", "mip_123456789_box.png"}) {
        EXPECT_TRUE(isLevelFileName(standard, "wood", "box", name)) << name;
    }
    for (const char* name : {"mip_03_box.png", "mip__box.png", "mip_x_box.png", "mip_1_boxig.png", "mip_1_box.png.bak",
                             "old_mip_1_box.png", "mip_1_box.PNG", "mip_1_box.ktx2", "mip_box.png", "mip_-1_box.png",
                             "mip_1234567890_box.png"}) {
        EXPECT_FALSE(isLevelFileName(standard, "wood", "box", name)) << name;
    }
    const NamePattern padded = parsed("{stem}_{filter}_{level:02}");
    EXPECT_TRUE(isLevelFileName(padded, "wood", "box", "wood_box_03.png"));
    EXPECT_TRUE(isLevelFileName(padded, "wood", "box", "wood_box_12.png"));
    EXPECT_TRUE(isLevelFileName(padded, "wood", "box", "wood_box_100.png"));
    EXPECT_FALSE(isLevelFileName(padded, "wood", "box", "wood_box_3.png"));
    EXPECT_FALSE(isLevelFileName(padded, "wood", "box", "wood_box_012.png"));
    EXPECT_FALSE(isLevelFileName(padded, "stone", "box", "wood_box_03.png"));
    // A literal after a number may start with a digit: every split of the digits is tried.
    const NamePattern digits = parsed("{level}0{width}x{height}");
    EXPECT_TRUE(isLevelFileName(digits, "s", "f", "1064x64.png"));   // level 1, width 64
    EXPECT_TRUE(isLevelFileName(digits, "s", "f", "10064x64.png"));  // level 10, width 64 (or 100, 64)
    EXPECT_FALSE(isLevelFileName(digits, "s", "f", "1x64.png"));
}

// --name names the levels and the containers; a pattern that cannot name this run's files is a usage error (status
// 2) before any work, naming the pattern and the reason.
TEST(LevelNamesRun, ThePatternNamesEveryFileOrTheRunIsRefused) {
    TempDir dir;
    writeSquare(dir, "wood.png", 8);
    const CommandResult run = runKivApart(dir.path, {"--name", "{stem}_{filter}_{level:02}.png", "--format", "png,ktx2",
                                                     "-o", "out", "model.obj", "wood.png", "box", "tent"});
    expectStatus(run, 0);
    std::vector<std::string> expected = names("box", 4, true);
    for (const std::string& name : names("tent", 4, true)) expected.push_back(name);
    expected.push_back("wood_box.ktx2");
    expected.push_back("wood_tent.ktx2");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listFiles(dir.file("out")), expected);
    EXPECT_EQ(readImageFile(dir.file("out/wood_box_02.png")).width, 2);
    // Without {level} only containers can be named; the pattern is theirs as it is.
    const CommandResult containers =
        runKivApart(dir.path, {"--name", "{stem}-{filter}", "--format", "dds", "-o", "dds", "model.obj", "wood.png"});
    expectStatus(containers, 0);
    EXPECT_EQ(listFiles(dir.file("dds")), std::vector<std::string>{"wood-kivbi.dds"});

    struct Case {
        std::vector<std::string> options;
        std::vector<std::string> filters;
        std::string error;
    };
    const Case cases[] = {
        {{"--name", "{stem}_{lvl}"}, {},
         "--name '{stem}_{lvl}': unknown field {lvl}; the fields are {stem}, {filter}, {level}, {width} and {height}"},
        {{"--name", "levels/{level}_{filter}"}, {},
         "--name 'levels/{level}_{filter}': a file name, not a path: '/' is not allowed"},
        {{"--name", "{stem}_{filter}"}, {},
         "--name '{stem}_{filter}': no {level}, so every level's PNG file would get the same name"},
        {{"--name", "{stem}_{level}"}, {"box", "box"}, ""},  // one filter, even named twice, needs no {filter}
        {{"--name", "{stem}_{level}"}, {"box", "tent"},
         "--name '{stem}_{level}': no {filter}, so box and tent would write the same files"},
        {{"--name", "{level}", "--format", "png,ktx2"}, {"box"},
         "--name '{level}': nothing is left to name the KTX2 and DDS files once {level} is dropped"},
        {{"--name", "a{level}", "--name", "b{level}"}, {}, "--name is given more than once"},
    };
    for (const Case& c : cases) {
        TempDir out;
        std::vector<std::string> arguments = c.options;
        for (const std::string& rest : {std::string("-o"), out.path, std::string("model.obj"), std::string("wood.png")})
            arguments.push_back(rest);
        arguments.insert(arguments.end(), c.filters.begin(), c.filters.end());
        const CommandResult result = runKivApart(dir.path, arguments);
        if (c.error.empty()) {
            expectStatus(result, 0);
            EXPECT_EQ(listFiles(out.path).size(), 4u);
            continue;
        }
        expectStatus(result, 2);
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(result.errors, "Error: " + c.error + "\nRun 'kiv --help' for usage.\n");
        EXPECT_TRUE(listFiles(out.path).empty());
    }
}

// A smaller texture into a folder that holds a larger one's levels removes the filter's deeper levels, each named on
// the log and in the manifest, and nothing else: not other filters', not names the pattern does not make exactly,
// not links, not files in folders below. --no-clean keeps them all.
TEST(StaleLevels, ASmallerTextureRemovesTheDeeperLevelsOfAnEarlierRun) {
    TempDir dir;
    writeSquare(dir, "large.png", 16);  // 5 levels
    writeSquare(dir, "small.png", 4);   // 3 levels
    expectStatus(runKivApart(dir.path, {"-o", "out", "model.obj", "large.png", "box", "tent"}), 0);
    const std::vector<std::string> unrelated = {"mip_03_box.png", "mip_3_box.png.bak", "mip_3_boxig.png", "notes.txt"};
    for (const std::string& name : unrelated) writeTextFile(dir.file("out/" + name), "kept");
    ASSERT_EQ(mkdir(dir.file("out/below").c_str(), 0755), 0);
    writeTextFile(dir.file("out/below/mip_4_box.png"), "kept");
    ASSERT_EQ(symlink("../notes.txt", dir.file("out/mip_9_box.png").c_str()), 0);

    const CommandResult kept = runKivApart(dir.path, {"--no-clean", "-o", "out", "model.obj", "small.png", "box"});
    expectStatus(kept, 0);
    EXPECT_EQ(kept.output.find("Removed"), std::string::npos) << kept.output;
    EXPECT_TRUE(fileExists(dir.file("out/mip_4_box.png")));

    const CommandResult cleaned =
        runKivApart(dir.path, {"--manifest", "run.json", "-o", "out", "model.obj", "small.png", "box"});
    expectStatus(cleaned, 0);
    EXPECT_EQ(cleaned.errors, "");
    const std::vector<std::string> after = listFiles(dir.file("out"));
    for (int k = 0; k < 5; ++k) {
        const std::string name = "mip_" + std::to_string(k) + "_box.png";
        EXPECT_EQ(contains(after, name), k < 3) << name;
        EXPECT_TRUE(contains(after, "mip_" + std::to_string(k) + "_tent.png")) << k;  // tent did not run
        if (k >= 3) {
            const std::string line = "Removed out/" + name + ": a level of box left by an earlier run, which this run "
                                     "does not write\n";
            EXPECT_NE(cleaned.output.find(line), std::string::npos) << cleaned.output;
            EXPECT_NE(readTextFile(dir.file("run.json")).find("\"out/" + name + "\""), std::string::npos);
        }
    }
    for (const std::string& name : unrelated) EXPECT_TRUE(contains(after, name)) << name;
    EXPECT_TRUE(contains(after, "mip_9_box.png"));  // a symbolic link is no level file of kiv's
    EXPECT_TRUE(fileExists(dir.file("out/below/mip_4_box.png")));
    EXPECT_EQ(readImageFile(dir.file("out/mip_0_box.png")).width, 4);

    // With a pattern, the pattern's own names are cleaned and the default names left alone.
    const std::vector<std::string> pattern = {"--name", "{stem}_{filter}_{level:02}", "-o", "out"};
    std::vector<std::string> arguments = pattern;
    for (const char* rest : {"model.obj", "large.png", "box"}) arguments.push_back(rest);
    expectStatus(runKivApart(dir.path, arguments), 0);
    writeImageFile(dir.file("large.png"), imageFromBytes(2, 2, std::vector<unsigned char>(12, 7)));
    const CommandResult shrunk = runKivApart(dir.path, arguments);
    expectStatus(shrunk, 0);
    const std::vector<std::string> last = listFiles(dir.file("out"));
    EXPECT_TRUE(contains(last, "large_box_01.png"));
    EXPECT_FALSE(contains(last, "large_box_02.png"));
    EXPECT_FALSE(contains(last, "large_box_04.png"));
    EXPECT_TRUE(contains(last, "mip_2_box.png"));
    EXPECT_NE(shrunk.output.find("Removed out/large_box_04.png: "), std::string::npos) << shrunk.output;
}
