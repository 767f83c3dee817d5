// Hostile models and textures, end to end: every case ends with an "Error:" line and a status from 1
// to 127 (never a signal or a hang), and a run that fails leaves no level file behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "gltf_writer.h"
#include "test_support.h"

// Long enough for a loaded machine, far shorter than a hang would take.
static const int badInputTimeoutSeconds = 30;

// Bytes from a fixed linear congruential sequence: the same junk on every run, NUL bytes included.
static std::string junkBytes(size_t count, uint32_t seed) {
    std::string bytes(count, '\0');
    for (char& byte : bytes) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<char>(seed >> 24);
    }
    return bytes;
}

// A small texture with varied bytes, so that compressed formats have real data to cut.
static FloatImage noisyImage(int side) {
    const std::string bytes = junkBytes(static_cast<size_t>(3 * side * side), 7);
    return imageFromBytes(side, side, std::vector<unsigned char>(bytes.begin(), bytes.end()));
}

// A working directory with a valid model and a valid texture; each case spoils one of them.
struct InputDirectory {
    TempDir dir;
    InputDirectory() {
        writeTextFile(dir.file("model.obj"), unitSquareObj());
        writeImageFile(dir.file("texture.png"), noisyImage(8));
    }
    CommandResult run(const std::string& model, const std::string& texture, const std::string& filter) const {
        return runKiv(dir.path, {model, texture, filter}, badInputTimeoutSeconds);
    }
    // The level files, and the temporary files they are written through.
    std::vector<std::string> outputFiles() const {
        std::vector<std::string> names;
        for (const std::string& name : listFiles(dir.path)) {
            if (name.rfind("mip_", 0) == 0) names.push_back(name);
        }
        return names;
    }
};

static bool hasErrorLine(const std::string& output) {
    return output.rfind("Error:", 0) == 0 || output.find("\nError:") != std::string::npos;
}

static void expectRefused(const CommandResult& result, const InputDirectory& run, const std::string& what) {
    SCOPED_TRACE(what);
    ASSERT_FALSE(result.timedOut) << result.output;
    ASSERT_FALSE(result.signalled) << result.output;
    EXPECT_GE(result.exitStatus, 1) << result.output;
    EXPECT_LE(result.exitStatus, 127) << result.output;
    EXPECT_TRUE(hasErrorLine(result.output)) << result.output;
    EXPECT_EQ(run.outputFiles(), std::vector<std::string>{});
}

struct BadFile {
    std::string name;                                  // the file name handed to kiv
    std::function<void(const std::string& path)> make;  // writes it (nothing for a missing file)
    std::string reason = "";                            // part of the message, where it is certain
};

static std::vector<BadFile> commonBadFiles(const std::string& extension) {
    return {
        {"missing." + extension, [](const std::string&) {}},
        {"folder." + extension, [](const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0); }},
        {"empty." + extension, [](const std::string& path) { writeTextFile(path, ""); }},
        {"junk." + extension, [](const std::string& path) { writeTextFile(path, junkBytes(65536, 1)); }},
    };
}

// A valid picture in the format the extension names, cut to a fraction of its size.
static BadFile truncatedPicture(const std::string& extension, double fraction) {
    const std::string name = "cut" + std::to_string(static_cast<int>(fraction * 100)) + "." + extension;
    return {name, [fraction](const std::string& path) {
                writeImageFile(path, noisyImage(64));
                const size_t size = readTextFile(path).size();
                truncateFile(path, static_cast<size_t>(size * fraction));
            }};
}

// A side x side 8-bit RGB PSD file: the 26-byte header (signature, version 1, three channels, height, width, depth,
// colour mode 3), empty colour-mode, resource and layer sections, raw samples (compression 0) plane by plane.
static std::string rgbPsd(int side) {
    std::string psd("8BPS\0\1\0\0\0\0\0\0\0\3", 14);
    for (int k = 0; k < 2; ++k) psd += std::string{0, 0, static_cast<char>(side >> 8), static_cast<char>(side & 0xff)};
    psd += std::string("\0\x08\0\x03", 4) + std::string(12, '\0') + std::string(2, '\0');
    return psd + junkBytes(static_cast<size_t>(3 * side * side), 3);
}

// Some decoders would fill the missing part of a cut-off picture (JPEG's with grey, BMP's and TGA's
// with black) and report success; the texture reader refuses them all.
TEST(BadTexture, EveryBrokenTextureIsRefusedBeforeAnyFilterRuns) {
    std::vector<BadFile> cases = commonBadFiles("png");
    for (const char* extension : {"png", "jpg", "bmp", "tga"}) {
        for (double fraction : {0.02, 0.5, 0.95}) cases.push_back(truncatedPicture(extension, fraction));
    }
    // Just over 2^31 texels and far more: refused from the header, before the library allocates the
    // picture. Sides beyond a million the PNG decoder refuses itself.
    for (const uint32_t side : {46341u, 100000u}) {
        cases.push_back({"huge" + std::to_string(side) + ".png",
                         [side](const std::string& path) { writePngDeclaringSize(path, side, side); },
                         "the texture is too large"});
    }
    for (const uint32_t height : {1u, 0x7fffffffu}) {
        cases.push_back({"wide" + std::to_string(height) + ".png",
                         [height](const std::string& path) { writePngDeclaringSize(path, 0x7fffffffu, height); }});
    }
    // The image library's PSD reader crashed on a cut-off file; PSD is refused by its signature.
    for (double fraction : {0.5, 1.0}) {
        cases.push_back({"cut" + std::to_string(static_cast<int>(fraction * 100)) + ".psd",
                         [fraction](const std::string& path) {
                             const std::string psd = rgbPsd(16);
                             writeTextFile(path, psd.substr(0, static_cast<size_t>(psd.size() * fraction)));
                         },
                         "cannot read the texture (PSD pictures are not supported"});
    }

    for (const BadFile& bad : cases) {
        InputDirectory run;
        bad.make(run.dir.file(bad.name));
        const CommandResult result = run.run("model.obj", bad.name, "box");
        expectRefused(result, run, bad.name);
        EXPECT_NE(result.output.find("Error: " + bad.name + ": " + bad.reason), std::string::npos) << result.output;
    }
}

// The unit square with one line replaced or added, so each case spoils exactly one thing.
static std::string squareWith(const std::string& extraLine) { return unitSquareObj() + extraLine + "\n"; }

TEST(BadModel, EveryBrokenModelIsRefusedBeforeAnyFilterRuns) {
    std::vector<BadFile> cases = commonBadFiles("obj");
    const std::pair<const char*, std::string> texts[] = {
        {"hugenumber.obj", "v " + std::string(1 << 20, '7') + " 0 0\n" + unitSquareObj()},
        {"nan.obj", squareWith("v nan 0 0")},
        {"infinite.obj", squareWith("vt 0 -inf")},
        {"overflow.obj", squareWith("v 0 1e39 0")},
        {"indexhigh.obj", squareWith("f 1/1 2/2 5/3")},
        {"indexzero.obj", squareWith("f 0/1 2/2 3/3")},
        {"indexlow.obj", squareWith("f 1/1 2/2 3/-9")},
        {"indexhuge.obj", squareWith("f 1/1 2/2 99999999999999999999/3")},
        {"flat.obj", "v 1 1 1\nv 1 1 1\nv 1 1 1\nvt 0 0\nvt 1 0\nvt 0 1\nf 1/1 2/2 3/3\n"},
        {"textjunk.obj", "\x7f" "ELF garbage\nv v v\nf f f\n"},
    };
    for (const auto& [name, text] : texts) {
        cases.push_back({name, [text = text](const std::string& path) { writeTextFile(path, text); }});
    }
    // An endless file: a device of NUL bytes (refused at its first byte), a symbolic link to it.
    cases.push_back({"zero.obj", [](const std::string& path) { ASSERT_EQ(symlink("/dev/zero", path.c_str()), 0); }});
    for (const BadFile& bad : cases) {
        InputDirectory run;
        bad.make(run.dir.file(bad.name));
        expectRefused(run.run(bad.name, "texture.png", "boxig"), run, bad.name);
    }
}

// Inputs that look hostile but are sound: a huge comment, a huge face, a face without surface.
TEST(BadModel, HugeLinesAndFacesWithoutSurfaceStillRun) {
    std::string hugeFace = unitSquareObj() + "f";
    for (int i = 0; i < 500; ++i) hugeFace += " 1/1 2/2 3/3 4/4";  // every triangle covers every texel
    const std::pair<const char*, std::string> texts[] = {
        {"comment.obj", "# " + std::string(10 << 20, 'c') + "\n" + unitSquareObj()},
        {"face.obj", hugeFace + "\n"},
        {"faceless.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nf 1/1 2/1\n"},  // no surface: empty-model levels
    };
    for (const auto& [name, text] : texts) {
        InputDirectory run;
        writeTextFile(run.dir.file(name), text);
        const CommandResult result = run.run(name, "texture.png", "kivbox");
        SCOPED_TRACE(name);
        ASSERT_FALSE(result.timedOut);
        ASSERT_FALSE(result.signalled);
        EXPECT_EQ(result.exitStatus, 0) << result.output.substr(0, 2000);
        EXPECT_EQ(run.outputFiles().size(), 4u);
    }
}

// Runs a hostile model both ways, with the texture named and with --from-model, into the folder "out": each run
// ends with status 1 and an Error line naming the model (or, for `textureMissing`, the texture), and writes nothing.
static void expectModelRefused(const InputDirectory& run, const std::string& model, const std::string& named) {
    for (const bool fromModel : {false, true}) {
        SCOPED_TRACE(model + (fromModel ? " --from-model" : ""));
        std::vector<std::string> arguments = {"-o", "out", model};
        if (!fromModel) arguments.push_back("texture.png");
        arguments.push_back("box");
        if (fromModel) arguments.insert(arguments.begin(), "--from-model");
        const CommandResult result = runKiv(run.dir.path, arguments, badInputTimeoutSeconds);
        ASSERT_FALSE(result.timedOut) << result.output;
        ASSERT_FALSE(result.signalled) << result.output;
        EXPECT_EQ(result.exitStatus, 1) << result.output;
        EXPECT_TRUE(hasErrorLine(result.output)) << result.output;
        EXPECT_NE(result.output.find(named), std::string::npos) << result.output;
        EXPECT_EQ(listFiles(run.dir.file("out")), std::vector<std::string>{});
        EXPECT_EQ(run.outputFiles(), std::vector<std::string>{});
    }
}

// Broken files in the formats the scene importer reads: each refused with the model named, never a crash or a hang.
TEST(BadModel, BrokenSceneModelsAreRefusedWithTheirName) {
    InputDirectory run;
    writeGltf(run.dir.file("good.glb"), squareGltf("texture.png"), GltfForm::binary);
    const std::string glb = readTextFile(run.dir.file("good.glb"));
    std::vector<BadFile> cases = commonBadFiles("glb");
    for (double fraction : {0.1, 0.5, 0.9}) {
        cases.push_back({"cut" + std::to_string(static_cast<int>(fraction * 100)) + ".glb", [&glb, fraction](const std::string& path) {
                             writeTextFile(path, glb.substr(0, static_cast<size_t>(glb.size() * fraction)));
                         }});
    }
    // The first position's x (the binary chunk starts with the positions) made infinite.
    cases.push_back({"infinite.glb", [&glb](const std::string& path) {
                         std::string bytes = glb;
                         const uint32_t jsonLength = static_cast<uint8_t>(bytes[12]) | static_cast<uint8_t>(bytes[13]) << 8;
                         const uint32_t infinity = 0x7f800000u;
                         bytes.replace(12 + 8 + jsonLength + 8, 4, reinterpret_cast<const char*>(&infinity), 4);
                         writeTextFile(path, bytes);
                     },
                     "mesh 'meshes[0]' has a position or texture coordinate that is not finite"});
    cases.push_back({"nocoordinates.gltf", [](const std::string& path) {
                         GltfModel model = squareGltf("texture.png");
                         model.meshes[0].texCoords.clear();
                         writeGltf(path, model, GltfForm::embedded);
                     },
                     "no triangle has texture coordinates"});
    cases.push_back({"zero.glb", [](const std::string& path) { ASSERT_EQ(symlink("/dev/zero", path.c_str()), 0); }});
    cases.push_back({"junk.dae", [](const std::string& path) { writeTextFile(path, "<?xml version=\"1.0\"?><COLLADA>" + junkBytes(4096, 5)); }});
    for (const BadFile& bad : cases) {
        bad.make(run.dir.file(bad.name));
        expectModelRefused(run, bad.name, "Error: " + bad.name + ": " + bad.reason);
    }
    // A texture the material names but that is not there: --from-model says which file, the texture given by hand
    // still serves.
    writeGltf(run.dir.file("lost.gltf"), squareGltf("texture.png"), GltfForm::separate);
    writeTextFile(run.dir.file("lost.gltf"), [&] {
        std::string text = readTextFile(run.dir.file("lost.gltf"));
        text.replace(text.find("\"uri\":\"texture.png\""), 19, "\"uri\":\"gone.png\"");
        return text;
    }());
    const CommandResult lost = runKiv(run.dir.path, {"--from-model", "-o", "out", "lost.gltf", "box"}, badInputTimeoutSeconds);
    EXPECT_EQ(lost.exitStatus, 1) << lost.output;
    EXPECT_NE(lost.output.find("Error: gone.png: cannot read the texture"), std::string::npos) << lost.output;
    EXPECT_EQ(listFiles(run.dir.file("out")), std::vector<std::string>{});
    EXPECT_EQ(runKiv(run.dir.path, {"-o", "out", "lost.gltf", "texture.png", "box"}, badInputTimeoutSeconds).exitStatus, 0);
}

// The broken and invalid models the scene importer's own tests keep (Debian package assimp-testmodels): empty files
// of many formats, counts that would claim hundreds of gigabytes, out-of-range indices, values of the wrong JSON
// type, node cycles, missing buffers. Each is refused cleanly.
TEST(BadModel, TheImportersInvalidTestModelsAreRefused) {
    std::string why;
    const std::string models = assimpTestModelsDirectory(why);
    if (models.empty()) GTEST_SKIP() << why;
    std::vector<std::string> paths;
    for (const std::string& name : listFiles(models + "/invalid")) paths.push_back(models + "/invalid/" + name);
    for (const char* folder : {"IndexOutOfRange", "wrongTypes", "SchemaFailures", "RecursiveNodes", "MissingBin",
                               "TestNoRootNode", "BoxWithInfinites-glTF-Binary"}) {
        const std::string path = models + "/glTF2/" + folder;
        for (const std::string& name : listFiles(path)) {
            if (name.find(".gl") != std::string::npos) paths.push_back(path + "/" + name);
        }
    }
    ASSERT_GE(paths.size(), 25u);
    InputDirectory run;
    for (const std::string& path : paths) expectModelRefused(run, path, path);
}

// Texture coordinates so far outside the texture that repeating it there means nothing: refused by the filters
// that read the surface, with the file named, while the others still run.
TEST(BadModel, TextureCoordinatesRepeatingTheTextureBeyondReasonAreRefusedByTheSurfaceFilters) {
    InputDirectory run;
    writeTextFile(run.dir.file("far.obj"),
                  "v 0 0 0\nv 1 0 0\nv 1 1 0\nvt -1e30 -1e30\nvt 3e38 0.5\nvt 0.5 1e6\nf 1/1 2/2 3/3\n");
    for (const char* filter : {"boxig", "kivbox", "kivbi", "kivtri"}) {
        const CommandResult result = run.run("far.obj", "texture.png", filter);
        expectRefused(result, run, filter);
        EXPECT_NE(result.output.find("Error: far.obj: triangle 1's texture coordinates span more than 65536 repeats"),
                  std::string::npos)
            << result.output;
    }
    const CommandResult box = run.run("far.obj", "texture.png", "box");
    EXPECT_EQ(box.exitStatus, 0) << box.output;
    EXPECT_EQ(run.outputFiles().size(), 4u);
}

// A 1-bit BMP of alternating bits: a 14-byte file header, a 40-byte information header, a two-colour table and rows
// of width / 8 bytes (a multiple of 4 for the widths used here).
static void writeOneBitBmp(const std::string& path, uint32_t width, uint32_t height) {
    const uint32_t rowBytes = width / 8, offset = 14 + 40 + 8;
    std::string bmp = "BM";
    const auto add32 = [&bmp](uint32_t v) { for (int k = 0; k < 4; ++k) bmp.push_back(static_cast<char>(v >> 8 * k)); };
    const auto add16 = [&bmp](uint32_t v) { for (int k = 0; k < 2; ++k) bmp.push_back(static_cast<char>(v >> 8 * k)); };
    add32(offset + rowBytes * height), add32(0), add32(offset);
    add32(40), add32(width), add32(height), add16(1), add16(1), add32(0), add32(rowBytes * height), add32(2835),
        add32(2835), add32(2), add32(2);
    add32(0), add32(0x00ffffff);
    bmp.append(static_cast<size_t>(rowBytes) * height, '\xa5');
    writeTextFile(path, bmp);
}

// Memory running out is a message and status 1, whether the texture itself does not fit or a
// filter's levels do not. The address-space limit does not mix with AddressSanitizer's shadow memory.
TEST(BadInput, ExhaustedMemoryIsAMessageAndStatusOne) {
#ifdef KIV_ADDRESS_SANITIZER
    GTEST_SKIP() << "an address-space limit cannot be combined with AddressSanitizer";
#endif
    // 2048 x 2048: 12 MB in the image library, 64 MB of float texels, 85 MB more for a box pyramid;
    // the program itself starts in about 20 MB of address space.
    InputDirectory run;
    const int side = 2048;
    writeImageFile(run.dir.file("large.png"),
                   imageFromBytes(side, side, std::vector<unsigned char>(3 * side * side, 90)));
    struct Case {
        int megabytes;
        const char* message;
    };
    for (const Case& c : {Case{64, "Error: large.png: the texture is too large (2048x2048: not enough memory"},
                          Case{150, "Error: out of memory"}}) {
        const CommandResult result =
            runKiv(run.dir.path, {"model.obj", "large.png", "box"}, badInputTimeoutSeconds, c.megabytes);
        expectRefused(result, run, std::to_string(c.megabytes) + " MB");
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_NE(result.output.find(c.message), std::string::npos) << result.output;
    }
    // A 1-bit picture is small on the disk: no memory for its texels is memory too, not a pixel type the reader does not
    // know. PNG is decoded straight into the texels; the image library converts a BMP to 24 bits first.
    writePngFile(run.dir.file("onebit.png"), 8192, 8192, 1, pngGrey, std::vector<unsigned char>(8192 / 8 * 8192, 0xA5));
    writeOneBitBmp(run.dir.file("onebit.bmp"), 8192, 8192);
    const std::pair<const char*, const char*> oneBit[] = {{"onebit.png", "to hold it)"}, {"onebit.bmp", "to convert it)"}};
    for (const auto& [name, what] : oneBit) {
        const CommandResult result = runKiv(run.dir.path, {"model.obj", name, "box"}, badInputTimeoutSeconds, 150);
        expectRefused(result, run, std::string(name) + ", 150 MB");
        EXPECT_NE(result.output.find("Error: " + std::string(name) + ": the texture is too large (8192x8192: not enough memory " + what),
                  std::string::npos)
            << result.output;
    }
}

// Under an address space too short for the worker threads' stacks the runtime would end the process with a message
// of its own; kiv tries its threads first and runs on one thread instead, so every run either finishes or ends
// with its Error line.
TEST(BadInput, AShortAddressSpaceNeverEndsWithoutAnErrorLine) {
#ifdef KIV_ADDRESS_SANITIZER
    GTEST_SKIP() << "an address-space limit cannot be combined with AddressSanitizer";
#endif
    TempDir dir;
    copySample(dir);
    // Mapping the shared libraries (the scene importer and the decoders it brings) takes about 55 MB before kiv's
    // first line runs; below that the loader refuses to start the program at all.
    for (int megabytes : {58, 62, 70, 80, 100}) {
        SCOPED_TRACE(std::to_string(megabytes) + " MB");
        const CommandResult result = runKiv(dir.path, {"sample.obj", "sample.png", "box", "kivbi"}, 120, megabytes);
        ASSERT_FALSE(result.timedOut || result.signalled) << result.output;
        EXPECT_EQ(result.output.find("libgomp"), std::string::npos) << result.output;
        if (result.exitStatus != 0) {
            EXPECT_EQ(result.exitStatus, 1) << result.output;
            EXPECT_TRUE(hasErrorLine(result.output)) << result.output;
        }
    }
}

// A scene of many placements of one mesh loads in time linear in them: 150 000 nodes took minutes when every
// placement copied the arrays it was appended to, and take seconds now (the guard stops a run at 60 s).
TEST(BadInput, ManyPlacementsOfAMeshLoadInLinearTime) {
    TempDir dir;
    GltfModel gltf = squareGltf("tile.png");
    const int placements = 150000;
    gltf.nodes = {{-1, {}, {}}};
    for (int k = 0; k < placements; ++k) {
        gltf.nodes[0].children.push_back(k + 1);
        gltf.nodes.push_back({0, gltfMatrix(1, 1, 1, 0, 0.001f * (k % 100), 0.001f * (k / 100), 0), {}});
    }
    writeImageFile(dir.file("tile.png"), imageFromBytes(2, 2, std::vector<unsigned char>(12, 100)));
    writeGltf(dir.file("many.gltf"), gltf, GltfForm::separate);
    const CommandResult result = runKiv(dir.path, {"many.gltf", "tile.png", "box"}, 60);
    ASSERT_FALSE(result.timedOut) << "stopped after 60 s";
    EXPECT_EQ(result.exitStatus, 0) << result.output;
}

// A FIFO given as the OBJ model, or standing where a glTF model's buffer should be, would block the read for ever:
// both are refused at once with a message naming the file (the guard stops a run at 20 s).
TEST(BadInput, AFifoAsTheModelOrAsAFileTheModelNamesIsRefused) {
    TempDir dir;
    writeImageFile(dir.file("tile.png"), imageFromBytes(2, 2, std::vector<unsigned char>(12, 100)));
    ASSERT_EQ(mkfifo(dir.file("pipe.obj").c_str(), 0600), 0);
    CommandResult result = runKiv(dir.path, {"pipe.obj", "tile.png", "box"}, 20);
    ASSERT_FALSE(result.timedOut) << "stopped after 20 s";
    EXPECT_EQ(result.exitStatus, 1) << result.output;
    EXPECT_NE(result.output.find("Error: failed to load obj file 'pipe.obj': not a regular file"), std::string::npos)
        << result.output;

    writeGltf(dir.file("square.gltf"), squareGltf("tile.png"), GltfForm::separate);
    ASSERT_EQ(std::remove(dir.file("square.bin").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("square.bin").c_str(), 0600), 0);
    result = runKiv(dir.path, {"square.gltf", "tile.png", "box"}, 20);
    ASSERT_FALSE(result.timedOut) << "stopped after 20 s";
    EXPECT_EQ(result.exitStatus, 1) << result.output;
    EXPECT_NE(result.output.find("Error: square.gltf"), std::string::npos) << result.output;
}
