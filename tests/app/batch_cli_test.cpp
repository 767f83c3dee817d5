// kiv in batch pipelines, end to end: what goes to standard output and to standard error, the exit statuses, -q,
// the manifest checked against the files on disk, the progress line on a pseudo-terminal only, and the README's
// xargs example on three inputs of which one fails.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/progress_line.h"
#include "app/run_log.h"
#include "test_support.h"

namespace {

void expectStatus(const CommandResult& result, int status) {
    ASSERT_FALSE(result.timedOut) << result.output << result.errors;
    ASSERT_FALSE(result.signalled) << result.output << result.errors;
    EXPECT_EQ(result.exitStatus, status) << result.output << result.errors;
}

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// A folder with a unit square model and an 8 x 8 texture (4 levels).
struct SquareRun {
    TempDir dir;
    SquareRun() {
        writeTextFile(dir.file("model.obj"), unitSquareObj());
        std::vector<unsigned char> rgb;
        for (int i = 0; i < 64; ++i) rgb.insert(rgb.end(), {static_cast<unsigned char>(4 * i), 90, 200});
        writeImageFile(dir.file("texture.png"), imageFromBytes(8, 8, rgb));
    }
    CommandResult run(std::vector<std::string> arguments) const { return runKivApart(dir.path, arguments); }
};

// Every file below `folder`, as paths relative to `base` ("out/mip_0_box.png").
void filesBelow(const std::string& base, const std::string& folder, std::set<std::string>& paths) {
    for (const std::string& name : listFiles(base + "/" + folder)) {
        const std::string path = folder + "/" + name;
        struct stat info;
        if (stat((base + "/" + path).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) filesBelow(base, path, paths);
        else paths.insert(path);
    }
}

// The SHA-256 digests that coreutils' sha256sum gives for `paths` (relative to `base`): an oracle independent of
// kiv's own implementation.
std::map<std::string, std::string> sha256sums(const std::string& base, const std::set<std::string>& paths) {
    std::string command = "cd '" + base + "' && sha256sum";
    for (const std::string& path : paths) command += " '" + path + "'";
    std::map<std::string, std::string> digests;
    for (const std::string& line : outputLines(shellOutput(command))) {
        if (line.size() > 66) digests[line.substr(66)] = line.substr(0, 64);
    }
    return digests;
}

// Parses `text` as exactly one JSON document (trailing text after it is an error).
void parseJson(const std::string& text, rapidjson::Document& document) {
    document.Parse(text.c_str(), text.size());
    ASSERT_FALSE(document.HasParseError()) << "error " << document.GetParseError() << " at "
                                           << document.GetErrorOffset() << " in:\n" << text;
    ASSERT_TRUE(document.IsObject());
}

std::string memberString(const rapidjson::Value& object, const char* key) {
    if (!object.IsObject() || !object.HasMember(key) || !object[key].IsString()) return "<no " + std::string(key) + ">";
    return object[key].GetString();
}

}  // namespace

// The log (thread line, image line, filter lines, times) is standard output; every Error and Warning line is standard
// error, so a batch's error log holds the failures alone.
TEST(BatchStreams, ErrorsAndWarningsGoToStandardErrorAndTheLogToStandardOutput) {
    SquareRun square;
    const CommandResult good = square.run({"model.obj", "texture.png", "box", "kivbi"});
    expectStatus(good, 0);
    EXPECT_EQ(good.errors, "");
    const std::vector<std::string> log = outputLines(good.output);
    ASSERT_GE(log.size(), 3u) << good.output;
    EXPECT_TRUE(startsWith(log[0], "Using ")) << log[0];
    EXPECT_EQ(log[1], "Image is 8x8 with 4 mip levels.");
    EXPECT_NE(good.output.find("Times:\n"), std::string::npos) << good.output;

    const CommandResult missing = square.run({"model.obj", "absent.png", "box"});
    expectStatus(missing, 1);
    EXPECT_EQ(missing.errors, "Error: absent.png: cannot read the texture (No such file or directory)\n");
    EXPECT_EQ(outputLines(missing.output).size(), 1u) << missing.output;  // the thread line alone

    // A level that cannot be written: its error on standard error, the other levels and the log as before.
    SquareRun blocked;
    ASSERT_EQ(mkdir(blocked.dir.file("mip_1_box.png").c_str(), 0755), 0);
    const CommandResult partly = blocked.run({"model.obj", "texture.png", "box"});
    expectStatus(partly, 1);
    EXPECT_TRUE(startsWith(partly.errors, "Error: mip_1_box.png: cannot write the image (")) << partly.errors;
    EXPECT_EQ(outputLines(partly.errors).size(), 1u) << partly.errors;
    EXPECT_NE(partly.output.find("Times:\n"), std::string::npos) << partly.output;
    EXPECT_EQ(partly.output.find("Error"), std::string::npos) << partly.output;

    // A plain run of an OBJ whose materials name two colour textures warns, on standard error, and succeeds.
    TempDir dir;
    copySample(dir);
    writeTextFile(dir.file("two.mtl"), "newmtl wood\nmap_Kd sample.png\nnewmtl metal\nmap_Kd rust.png\n");
    writeTextFile(dir.file("two.obj"), "mtllib two.mtl\nusemtl wood\n" + unitSquareObj());
    const CommandResult warned = runKivApart(dir.path, {"two.obj", "sample.png", "kivbox"});
    expectStatus(warned, 0);
    EXPECT_TRUE(startsWith(warned.errors, "Warning: two.obj: its materials name 2 textures (sample.png, rust.png)"))
        << warned.errors;
    EXPECT_EQ(outputLines(warned.errors).size(), 1u) << warned.errors;
    EXPECT_EQ(warned.output.find("Warning"), std::string::npos) << warned.output;
}

// 0 for a run that did its work (and for the usage text asked for), 1 for a run that failed, 2 for a command line
// that is wrong: the error and the usage text or hint on standard error, nothing on standard output, nothing written.
TEST(BatchStatuses, UsageErrorsEndWithStatusTwoAndFailedRunsWithOne) {
    SquareRun square;
    const CommandResult alone = square.run({});
    expectStatus(alone, 0);
    EXPECT_TRUE(startsWith(alone.output, "usage: kiv [options] <model> <texture> [filter ...]\n")) << alone.output;
    EXPECT_EQ(alone.errors, "");
    const CommandResult help = square.run({"--help"});
    expectStatus(help, 0);
    EXPECT_EQ(help.output, alone.output);
    EXPECT_EQ(help.errors, "");

    struct Case {
        std::vector<std::string> arguments;
        std::string firstLine;
        bool usageText;  // the whole usage text follows, else the hint line
    };
    const Case usage[] = {
        {{"model.obj"}, "Error: the texture is missing (or --from-model, to take the model's textures)", true},
        {{"--threads", "2", "model.obj"}, "Error: the texture is missing (or --from-model, to take the model's textures)",
         true},
        {{"--from-model"}, "Error: the model is missing", true},
        {{"-o", "out"}, "Error: the model is missing", true},
        {{"--frob", "model.obj", "texture.png"}, "Error: Option 'frob' does not exist", false},
        {{"--threads", "0", "model.obj", "texture.png"},
         "Error: --threads takes a whole number from 1 to 1024, not '0'", false},
        {{"model.obj", "texture.png", "box", "nosuch"}, "Error: The filter named 'nosuch' doesn't exist.", false},
        {{"--manifest", "a.json", "--manifest", "b.json", "model.obj", "texture.png"},
         "Error: --manifest is given more than once", false},
        {{"model.obj", "texture.png", "--manifest"}, "Error: --manifest takes a file name, or '-' for standard output, "
                                                     "not ''", false},
    };
    for (const Case& c : usage) {
        const CommandResult result = square.run(c.arguments);
        expectStatus(result, 2);
        EXPECT_EQ(result.output, "") << c.firstLine;
        const std::vector<std::string> lines = outputLines(result.errors);
        ASSERT_GE(lines.size(), 2u) << result.errors;
        EXPECT_EQ(lines[0], c.firstLine);
        if (c.usageText) EXPECT_EQ(result.errors.substr(result.errors.find('\n') + 1), alone.output);
        else EXPECT_EQ(lines, (std::vector<std::string>{c.firstLine, "Run 'kiv --help' for usage."}));
    }
    EXPECT_EQ(listFiles(square.dir.path), (std::vector<std::string>{"model.obj", "texture.png"}));

    const CommandResult failed = square.run({"absent.obj", "texture.png", "box"});
    expectStatus(failed, 1);
    EXPECT_TRUE(startsWith(failed.errors, "Error: failed to load obj file 'absent.obj'")) << failed.errors;
}

// -q leaves standard output empty, success or failure, and still writes every file and every error and warning.
TEST(BatchQuiet, QuietPrintsNothingOnStandardOutputButTheErrors) {
    SquareRun square;
    for (const char* quiet : {"-q", "--quiet"}) {
        const CommandResult result = square.run({quiet, "-o", "out", "model.obj", "texture.png", "box", "kivbi"});
        expectStatus(result, 0);
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(result.errors, "");
    }
    EXPECT_EQ(listFiles(square.dir.file("out")).size(), 8u);
    const CommandResult failed = square.run({"-q", "model.obj", "absent.png"});
    expectStatus(failed, 1);
    EXPECT_EQ(failed.output, "");
    EXPECT_EQ(failed.errors, "Error: absent.png: cannot read the texture (No such file or directory)\n");
}

// The manifest lists every file the run wrote, each once, with its size and SHA-256 as the disk holds it, the levels
// with their level and size, the containers without a level; each filter's time and peak memory; with --report every
// level's error, the figures of report.csv.
TEST(Manifest, ListsEveryFileWrittenAsTheDiskHoldsIt) {
    TempDir dir;
    copySample(dir);
    const CommandResult result = runKivApart(dir.path, {"--manifest", "run.json", "--report", "--format", "png,ktx2",
                                                         "-o", "out", "sample.obj", "sample.png", "box", "kivbi"});
    expectStatus(result, 0);
    EXPECT_EQ(result.errors, "");
    rapidjson::Document manifest;
    ASSERT_NO_FATAL_FAILURE(parseJson(readTextFile(dir.file("run.json")), manifest));
    EXPECT_EQ(manifest["kiv_manifest"].GetInt(), 1);
    EXPECT_EQ(manifest["status"].GetInt(), 0);
    EXPECT_EQ(memberString(manifest, "model"), "sample.obj");
    EXPECT_EQ(memberString(manifest, "output_folder"), "out");
    EXPECT_EQ(manifest["errors"].Size(), 0u);
    EXPECT_EQ(manifest["warnings"].Size(), 0u);
    ASSERT_EQ(manifest["textures"].Size(), 1u);
    const rapidjson::Value& texture = manifest["textures"][0];
    EXPECT_EQ(memberString(texture, "path"), "sample.png");
    EXPECT_EQ(memberString(texture, "name"), "sample");
    EXPECT_EQ(texture["width"].GetInt(), 512);
    EXPECT_EQ(texture["height"].GetInt(), 512);
    EXPECT_EQ(memberString(texture, "color_space"), "sRGB");
    EXPECT_FALSE(texture.HasMember("roles"));  // a texture given on the command line serves no role of a material

    // The filters in order, with their time and peak, and the report's figures as report.csv has them.
    const std::vector<std::vector<std::string>> csv = csvRows(readTextFile(dir.file("out/report.csv")));
    ASSERT_EQ(csv.size(), 21u);
    ASSERT_EQ(texture["filters"].Size(), 2u);
    for (rapidjson::SizeType f = 0; f < 2; ++f) {
        const rapidjson::Value& filter = texture["filters"][f];
        EXPECT_EQ(memberString(filter, "name"), f == 0 ? "box" : "kivbi");
        EXPECT_GE(filter["seconds"].GetDouble(), 0.0);
        EXPECT_GT(filter["peak_memory_bytes"].GetInt64(), 1 << 20);  // the 512 x 512 texture alone is 4 MB of floats
        const rapidjson::Value& levels = filter["report"]["levels"];
        ASSERT_EQ(levels.Size(), 10u);
        for (rapidjson::SizeType k = 0; k < 10; ++k) {
            const std::vector<std::string>& row = csv[1 + 10 * f + k];
            EXPECT_EQ(row[0], memberString(filter, "name"));
            EXPECT_EQ(levels[k]["level"].GetInt(), static_cast<int>(k));
            EXPECT_EQ(std::to_string(levels[k]["width"].GetInt()), row[2]);
            EXPECT_DOUBLE_EQ(levels[k]["rms"].GetDouble(), std::stod(row[4])) << k;
            EXPECT_EQ(levels[k].HasMember("segment_to_next"), k < 9);
        }
        EXPECT_DOUBLE_EQ(filter["report"]["trilinear_sum"].GetDouble(), std::stod(csv[1 + 10 * f][6]));
    }

    // Every file below out/ once, none missing and none extra; sizes and digests as the disk has them.
    std::set<std::string> onDisk;
    filesBelow(dir.path, "out", onDisk);
    EXPECT_EQ(onDisk.size(), 23u);  // 2 x 10 levels, 2 KTX2 files, report.csv
    const std::map<std::string, std::string> digests = sha256sums(dir.path, onDisk);
    std::set<std::string> listed;
    for (const rapidjson::Value& file : texture["files"].GetArray()) {
        const std::string path = memberString(file, "path");
        EXPECT_TRUE(listed.insert(path).second) << path << " is listed twice";
        ASSERT_TRUE(onDisk.count(path)) << path;
        EXPECT_EQ(file["bytes"].GetInt64(), static_cast<int64_t>(readTextFile(dir.file(path)).size())) << path;
        EXPECT_EQ(memberString(file, "sha256"), digests.at(path)) << path;
        const std::string format = memberString(file, "format");
        if (format == "png") {
            const DecodedImage level = readImageFile(dir.file(path));
            EXPECT_EQ(file["width"].GetInt(), level.width) << path;
            EXPECT_EQ(file["height"].GetInt(), level.height) << path;
            EXPECT_EQ(path, "out/mip_" + std::to_string(file["level"].GetInt()) + "_" + memberString(file, "filter") +
                                ".png");
        } else if (format == "ktx2") {
            EXPECT_FALSE(file.HasMember("level")) << path;
            EXPECT_EQ(path, "out/mip_" + memberString(file, "filter") + ".ktx2");
            EXPECT_EQ(file["width"].GetInt(), 512);
        } else {
            EXPECT_EQ(format, "csv");
            EXPECT_EQ(path, "out/report.csv");
            EXPECT_FALSE(file.HasMember("filter"));
        }
    }
    EXPECT_EQ(listed, onDisk);
}

// `--manifest -` puts the manifest alone on standard output, one JSON document, the log left out; a failed run's
// manifest has its status and its error, and one from --from-model each texture's roles and colour space.
TEST(Manifest, OnStandardOutputItIsTheOnlyDocumentAndFailuresAreInIt) {
    TempDir dir;
    copySample(dir);
    const CommandResult piped = runKivApart(dir.path, {"--manifest", "-", "-o", "out", "sample.obj", "sample.png", "box"});
    expectStatus(piped, 0);
    EXPECT_EQ(piped.errors, "");
    rapidjson::Document manifest;
    ASSERT_NO_FATAL_FAILURE(parseJson(piped.output, manifest));
    EXPECT_EQ(manifest["textures"][0]["files"].Size(), 10u);
    EXPECT_EQ(listFiles(dir.file("out")).size(), 10u);

    const CommandResult failed = runKivApart(dir.path, {"--manifest", "-", "sample.obj", "absent.png", "box"});
    expectStatus(failed, 1);
    EXPECT_EQ(failed.errors, "Error: absent.png: cannot read the texture (No such file or directory)\n");
    rapidjson::Document failure;
    ASSERT_NO_FATAL_FAILURE(parseJson(failed.output, failure));
    EXPECT_EQ(failure["status"].GetInt(), 1);
    EXPECT_EQ(failure["textures"].Size(), 0u);
    ASSERT_EQ(failure["errors"].Size(), 1u);
    EXPECT_EQ(std::string(failure["errors"][0].GetString()), "absent.png: cannot read the texture (No such file or directory)");

    // A manifest that cannot be written fails the run, though every level was written.
    const CommandResult unwritable =
        runKivApart(dir.path, {"--manifest", "no/such/folder/run.json", "-o", "kept", "sample.obj", "sample.png", "box"});
    expectStatus(unwritable, 1);
    EXPECT_TRUE(startsWith(unwritable.errors, "Error: no/such/folder/run.json: cannot write the manifest (")) << unwritable.errors;
    EXPECT_EQ(listFiles(dir.file("kept")).size(), 10u);

    writeTextFile(dir.file("square.mtl"), "newmtl painted\nmap_Kd sample.png\nnorm sample.png\n");
    writeTextFile(dir.file("square.obj"), "mtllib square.mtl\nusemtl painted\n" + unitSquareObj());
    const CommandResult model = runKivApart(dir.path, {"--from-model", "--manifest", "model.json", "-o", "maps",
                                                       "square.obj", "box"});
    expectStatus(model, 0);
    rapidjson::Document maps;
    ASSERT_NO_FATAL_FAILURE(parseJson(readTextFile(dir.file("model.json")), maps));
    ASSERT_EQ(maps["textures"].Size(), 2u) << readTextFile(dir.file("model.json"));
    std::map<std::string, std::string> colourSpaces;
    for (const rapidjson::Value& texture : maps["textures"].GetArray()) {
        colourSpaces[memberString(texture, "roles")] = memberString(texture, "color_space");
        // The log's texture line names the same roles and colour space.
        const std::string line = "Texture '" + memberString(texture, "name") + "' (" + memberString(texture, "roles") +
                                 "; " + memberString(texture, "color_space") + ") from ";
        EXPECT_NE(model.output.find(line), std::string::npos) << line << "\n" << model.output;
        EXPECT_EQ(memberString(texture, "folder"), "maps/" + memberString(texture, "name"));
        EXPECT_EQ(texture["files"].Size(), 10u);
    }
    EXPECT_EQ(colourSpaces, (std::map<std::string, std::string>{{"diffuse", "sRGB"}, {"normal", "normal map"}}));
}

// On a terminal each filter, and the writing of its files, has one line rewritten in place after carriage returns
// (phase, level, percentage, time) and blanked at its end; into a pipe or file, and with -q, nothing of it.
TEST(ProgressLine, ShowsOnAPseudoTerminalOnly) {
    TempDir dir;
    copySample(dir);
    const std::string kiv = std::string(KIV_EXECUTABLE) + " sample.obj sample.png box kivbi kivtric";
    const std::string terminal = shellOutput("cd '" + dir.path + "' && script -qec '" + kiv + "' /dev/null");
    for (const char* shown : {"\rbox: running 0%, 0:00 so far", "\rkivbi: level 1 of 9 ", "\rkivbi: level 9 of 9 ",
                              "\rkivtric: assembly ", "\rkivtric: solve ", "\rkivbi: writing file 1 of 10 0%",
                              "\rkivtric: writing file 1 of 10 0%"}) {
        EXPECT_NE(terminal.find(shown), std::string::npos) << shown << "\n" << terminal;
    }
    // A line is blanked where it ends (carriage return, blanks, carriage return), and the log's next line starts at
    // the left edge.
    const std::string boxLine = "box: running 0%, 0:00 so far";
    const size_t blanked = terminal.find("\r" + std::string(boxLine.size(), ' ') + "\r", terminal.find(boxLine));
    EXPECT_NE(blanked, std::string::npos) << terminal;
    EXPECT_EQ(terminal.find("\rkivbi: running 0%"), blanked + boxLine.size() + 2) << terminal;
    EXPECT_NE(terminal.find("\rTimes:\r\n"), std::string::npos) << terminal;
    // The percentage of a filter's computation never goes down, and it shows the time left once it can tell.
    int last = -1;
    const size_t writing = terminal.find("\rkivtric: writing");
    for (size_t at = terminal.find("\rkivtric: "); at < writing; at = terminal.find("\rkivtric: ", at + 1)) {
        const size_t percent = terminal.find('%', at);
        const size_t number = terminal.find_last_of(' ', percent) + 1;
        const int value = std::stoi(terminal.substr(number, percent - number));
        EXPECT_GE(value, last) << terminal.substr(at, 80);
        last = value;
    }
    EXPECT_GE(last, 50);
    EXPECT_NE(terminal.find(" left", terminal.find("\rkivtric: solve")), std::string::npos) << terminal;

    const std::string quiet = shellOutput("cd '" + dir.path + "' && script -qec '" + kiv + " -q' /dev/null");
    EXPECT_EQ(quiet, "");
    const CommandResult piped = runKivApart(dir.path, {"sample.obj", "sample.png", "box", "kivbi"});
    expectStatus(piped, 0);
    EXPECT_EQ(piped.errors, "");
    EXPECT_EQ(piped.output.find('\r'), std::string::npos) << piped.output;
}

// The line's text: the time left is the time so far scaled by what remains at that pace, shown from 1 % on and not
// at the end; times as m:ss, then h:mm:ss from an hour.
TEST(ProgressLine, TheTimeLeftFollowsThePaceSoFar) {
    EXPECT_EQ(progressText("kivtric", "solve", 0, 0, 0.25, 60), "kivtric: solve 25%, 1:00 so far, about 3:00 left");
    EXPECT_EQ(progressText("kivbi", "level", 2, 11, 0.5, 3725), "kivbi: level 2 of 11 50%, 1:02:05 so far, about "
                                                              "1:02:05 left");
    EXPECT_EQ(progressText("box", "running", 0, 0, 0.0, 0.4), "box: running 0%, 0:00 so far");
    EXPECT_EQ(progressText("box", "running", 0, 0, 0.009, 10), "box: running 0%, 0:10 so far");
    EXPECT_EQ(progressText("kivbi", "writing file", 10, 10, 1.0, 59.6), "kivbi: writing file 10 of 10 100%, 1:00 so far");
}

// A bounded solve's start is not a result: its line says how the start was made and leaves the proof to the
// bounded solve, rather than "0 iterations" and a large residual that read as a failure. An unbounded solve whose
// start already meets the bound says so.
TEST(ProgressLine, TheStartOfABoundedSolveSaysWhatItDid) {
    FilterStats stats;
    FilterStep joint;
    joint.solver.iterationsRan = true;
    joint.solver.startOfBoundedSolve = true;
    joint.solver.start = "coarse to fine, the coarsest levels solved directly";
    joint.solver.iterationSeconds = 18.332;
    joint.solver.residual = 1520;
    append(stats.steps, joint);
    FilterStep level;
    level.solver.iterationsRan = true;
    level.solver.startOfBoundedSolve = true;
    level.solver.start = "from the finer level";
    level.solver.iterations = 1;
    level.solver.residual = 2.36;
    append(stats.steps, level);
    FilterStep met;
    met.solver.iterationsRan = true;
    met.solver.residual = 4.44e-16;
    append(stats.steps, met);
    testing::internal::CaptureStdout();
    printFilterStats(stats);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\t\tStart of the bounded solve   =     18.332 seconds (coarse to fine, the coarsest levels solved "
              "directly; residual 1.52e+03, for the bounded solve to reduce)\n"
              "\t\tStart of the bounded solve   =      0.000 seconds (from the finer level, 1 iteration; residual "
              "2.36e+00, for the bounded solve to reduce)\n"
              "\t\tConjugate gradients          =      0.000 seconds (no iteration: the start met the bound, residual "
              "4.44e-16)\n");

    // kivtric on the bundled sample, end to end.
    TempDir dir;
    copySample(dir);
    const CommandResult run = runKivApart(dir.path, {"sample.obj", "sample.png", "kivtric"});
    expectStatus(run, 0);
    EXPECT_NE(run.output.find("\t\tStart of the bounded solve   = "), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(" seconds (coarse to fine, the coarsest levels solved directly; residual "),
              std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("(0 iterations"), std::string::npos) << run.output;
}

// The README's batch example: find | xargs -P2 over a folder of assets, one kiv per model with -q and a manifest
// each. Of three assets one has a broken texture: its job's error alone is on standard error, naming the file; its
// manifest says status 1 with the message; the others' say 0 and list their files; xargs reports the failure.
TEST(BatchExample, XargsOverThreeAssetsReportsTheOneThatFails) {
    TempDir dir;
    const std::string assets = dir.file("assets");
    ASSERT_EQ(mkdir(assets.c_str(), 0755), 0);
    for (const char* name : {"crate", "door", "lamp"}) {
        writeTextFile(assets + "/" + name + ".obj", unitSquareObj());
        std::vector<unsigned char> rgb(3 * 16 * 16, name[0]);
        writeImageFile(assets + "/" + name + ".png", imageFromBytes(16, 16, rgb));
    }
    writeTextFile(assets + "/door.png", "not a picture");
    // As the README has it, with the built kiv first on the path.
    writeTextFile(dir.file("levels.sh"),
                  "#!/bin/sh\n"
                  "# levels.sh <model.obj>: the levels of the texture beside it, <name>.png\n"
                  "name=$(basename \"$1\" .obj)\n"
                  "exec kiv -q -o \"levels/$name\" --manifest \"levels/$name.json\" \"$1\" \"${1%.obj}.png\" kivbi\n");
    const std::string kivFolder = std::string(KIV_EXECUTABLE).substr(0, std::string(KIV_EXECUTABLE).rfind('/'));
    const std::string status = shellOutput("cd '" + dir.path + "' && export PATH='" + kivFolder +
                                           "':\"$PATH\" && mkdir -p levels && "
                                           "find assets -name '*.obj' -print0 | xargs -0 -n1 -P2 sh levels.sh "
                                           "> out.txt 2> err.txt; echo $?");
    EXPECT_EQ(status, "123\n");  // xargs: some job ended with a status from 1 to 125
    EXPECT_EQ(readTextFile(dir.file("out.txt")), "");
    const std::string errors = readTextFile(dir.file("err.txt"));
    EXPECT_EQ(outputLines(errors).size(), 1u) << errors;
    EXPECT_TRUE(startsWith(errors, "Error: assets/door.png: cannot read the texture")) << errors;
    for (const char* name : {"crate", "door", "lamp"}) {
        rapidjson::Document manifest;
        ASSERT_NO_FATAL_FAILURE(parseJson(readTextFile(dir.file(std::string("levels/") + name + ".json")), manifest));
        const bool broken = std::string(name) == "door";
        EXPECT_EQ(manifest["status"].GetInt(), broken ? 1 : 0) << name;
        EXPECT_EQ(manifest["errors"].Size(), broken ? 1u : 0u) << name;
        EXPECT_EQ(memberString(manifest, "model"), std::string("assets/") + name + ".obj");
        if (broken) {
            EXPECT_EQ(manifest["textures"].Size(), 0u);
            EXPECT_TRUE(listFiles(dir.file("levels/door")).empty());  // made before the inputs are read
            continue;
        }
        ASSERT_EQ(manifest["textures"].Size(), 1u) << name;
        EXPECT_EQ(manifest["textures"][0]["files"].Size(), 5u) << name;
        EXPECT_EQ(listFiles(dir.file(std::string("levels/") + name)).size(), 5u) << name;
    }
}
