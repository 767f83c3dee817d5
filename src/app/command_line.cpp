// Parsing the command line into RunOptions, and the usage text.
#include "app/command_line.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cxxopts.hpp>
#include <vector>

#include "app/viewer_page.h"
#include "filters/filter_registry.h"

static const char* const usageHead[] = {
    "usage: kiv [options] <model> <texture> [filter ...]",
    "       kiv --from-model [options] <model> [filter ...]",
    "",
    "Builds mipmap pyramids for the texture of a textured model: one pyramid per",
    "filter named, in the order given, 'kivbi' when none is. The model is an OBJ,",
    "glTF 2.0 (.gltf, .glb), FBX, COLLADA or other file the Assimp library reads;",
    "the texture is a PNG or JPEG file, or a BMP, TGA, TIFF, DDS, EXR, HDR or other",
    "picture FreeImage reads (the README lists them). With --from-model every",
    "texture of the model's materials is processed with the triangles that use it,",
    "each into a folder of its own and read as its role says (colour, data, normals).",
    "",
};

static const char* const usageOptions[] = {
    "",
    "options:",
    "-o, --output DIR    write the files into DIR, created if missing (default: .)",
    "--format LIST       containers, comma-separated: png (default), ktx2, dds, or",
    "                    block-compressed ktx2:CODEC, dds:CODEC (bc1, bc3, bc4, bc5,",
    "                    bc7; astc4x4, astc6x6, astc8x8 in ktx2 only)",
    "--fill-unused       fill texels the model never reads in uncompressed files too",
    "--threads N         threads to use (default: OMP_NUM_THREADS, else all)",
    "--solver KIND       kivbi(c), kivtri(c): iterative (default) or direct (exact)",
    "--color-space CS    the texture holds srgb colour (default) or linear values",
    "--normal-map        the texture is a normal map: filter unit vectors, renormalise",
    "--alpha MODE        straight (default), premultiplied (no halos), or",
    "                    coverage[=CUTOFF] (alpha-tested: keep coverage at CUTOFF, 0.5)",
    "--alpha-output MODE levels of --alpha premultiplied: straight (default) colour,",
    "                    or premultiplied",
    "--report            print each level's error on the model; also report.csv",
    "--viewer            write viewer.html: the model with each pyramid, for a browser",
    "--from-model        take the textures from the model's materials",
    "--name PATTERN      level file names, e.g. {stem}_{filter}_{level:02}",
    "                    (default: mip_{level}_{filter}; also {width}, {height})",
    "--no-clean          keep levels of an earlier run that this run does not write",
    "--manifest FILE     write a JSON list of inputs and files written ('-': stdout)",
    "-q, --quiet         print nothing on standard output (errors still on stderr)",
    "-h, --help          print this text",
    "--version           print the version",
};

const char* const usageHint = "Run 'kiv --help' for usage.";

void printUsage(std::FILE* stream) {
    for (const char* line : usageHead) std::fprintf(stream, "%s\n", line);
    for (const FilterInfo& filter : allFilters()) std::fprintf(stream, "%-12s %s\n", filter.name, filter.summary);
    for (const char* line : usageOptions) std::fprintf(stream, "%s\n", line);
    std::fflush(stream);
}

// The option's value checks share one message form: "<option> takes <what it takes>, not '<value>'".
static std::string badValue(const char* option, const char* takes, const std::string& value) {
    return std::string(option) + " takes " + takes + ", not '" + value + "'";
}

static const char* const solverTakes = "'iterative' or 'direct'";
static const char* const formatTakes =
    "png, ktx2, dds, ktx2:CODEC or dds:CODEC (CODEC: bc1, bc3, bc4, bc5, bc7; astc4x4, astc6x6, astc8x8 in ktx2)";
static const int32_t maximumThreadCount = 1024;  // a guard against typos, far above any machine's processors
static const char* const threadsTakes = "a whole number from 1 to 1024";
static const char* const outputTakes = "a folder name";
static const char* const colorSpaceTakes = "'srgb' or 'linear'";
static const char* const alphaTakes = "'straight', 'premultiplied' or 'coverage[=CUTOFF]' with CUTOFF in (0, 1]";
static const char* const alphaOutputTakes = "'straight' or 'premultiplied'";
static const char* const manifestTakes = "a file name, or '-' for standard output";
static const char* const nameTakes = "a file name pattern such as {stem}_{filter}_{level:02}";

static bool parseSolver(const std::string& value, LevelSolver& solver, std::string& error) {
    if (value == "iterative") solver = LevelSolver::iterative;
    else if (value == "direct") solver = LevelSolver::direct;
    else {
        error = badValue("--solver", solverTakes, value);
        return false;
    }
    return true;
}

static bool parseColorSpace(const std::string& value, TexelEncoding& encoding, std::string& error) {
    if (value == "srgb") encoding = TexelEncoding::srgb;
    else if (value == "linear") encoding = TexelEncoding::linear;
    else {
        error = badValue("--color-space", colorSpaceTakes, value);
        return false;
    }
    return true;
}

static bool parseAlpha(const std::string& value, RunOptions& options, std::string& error) {
    if (value == "straight") options.alpha = AlphaMode::straight;
    else if (value == "premultiplied") options.alpha = AlphaMode::premultiplied;
    else if (value == "coverage") options.alpha = AlphaMode::coverage;
    else if (value.compare(0, 9, "coverage=") == 0) {
        // The whole rest must be the number: "coverage=0.5x" is refused rather than read by halves.
        const char* text = value.c_str() + 9;
        char* end = nullptr;
        const double cutoff = std::strtod(text, &end);
        if (end == text || *end != '\0' || !(cutoff > 0 && cutoff <= 1)) {
            error = badValue("--alpha", alphaTakes, value);
            return false;
        }
        options.alpha = AlphaMode::coverage;
        options.alphaCutoff = cutoff;
    } else {
        error = badValue("--alpha", alphaTakes, value);
        return false;
    }
    return true;
}

static bool parseAlphaOutput(const std::string& value, bool& premultiplied, std::string& error) {
    if (value == "straight") premultiplied = false;
    else if (value == "premultiplied") premultiplied = true;
    else {
        error = badValue("--alpha-output", alphaOutputTakes, value);
        return false;
    }
    return true;
}

// A comma-separated list of formats; a format given twice counts once.
static bool parseFormats(const std::string& list, GrowArray<OutputFormat>& formats, std::string& error) {
    clear(formats);
    size_t start = 0;
    while (true) {
        const size_t end = std::min(list.find(',', start), list.size());
        const std::string name = list.substr(start, end - start);
        OutputFormat format;
        if (!outputFormatNamed(name, format)) {
            error = badValue("--format", formatTakes, name);
            return false;
        }
        const bool named = std::any_of(formats.begin(), formats.end(), [&](const OutputFormat& other) {
            return outputFormatName(other) == outputFormatName(format);
        });
        if (!named) append(formats, format);
        if (end == list.size()) return true;
        start = end + 1;
    }
}

static bool parseThreadCount(const std::string& value, int32_t& threadCount, std::string& error) {
    // Digits only, so "+2", " 2" and "2x" are refused rather than read by halves.
    bool digits = !value.empty() && value.size() <= 4;
    for (char c : value) digits = digits && c >= '0' && c <= '9';
    const int32_t count = digits ? std::atoi(value.c_str()) : 0;
    if (count < 1 || count > maximumThreadCount) {
        error = badValue("--threads", threadsTakes, value);
        return false;
    }
    threadCount = count;
    return true;
}

// What each value-taking option takes, for the message when its value is missing.
static std::string missingValue(const std::string& option) {
    if (option == "--solver") return badValue("--solver", solverTakes, "");
    if (option == "--format") return badValue("--format", formatTakes, "");
    if (option == "--threads") return badValue("--threads", threadsTakes, "");
    if (option == "--color-space") return badValue("--color-space", colorSpaceTakes, "");
    if (option == "--alpha") return badValue("--alpha", alphaTakes, "");
    if (option == "--alpha-output") return badValue("--alpha-output", alphaOutputTakes, "");
    if (option == "--manifest") return badValue("--manifest", manifestTakes, "");
    if (option == "--name") return badValue("--name", nameTakes, "");
    return badValue(option.c_str(), outputTakes, "");
}

// Whether the --name pattern gives every file of the run its own name: a PNG file per level needs {level}, several
// filters need {filter}, and the containers need a name once {level} is dropped.
static bool checkNamePattern(const std::string& given, const RunOptions& options, std::string& error) {
    const NamePattern& pattern = options.names;
    const std::string quoted = "--name '" + given + "': ";
    const auto writes = [&](bool png) {
        return std::any_of(options.formats.begin(), options.formats.end(),
                           [&](const OutputFormat& format) { return (format.container == PyramidFormat::png) == png; });
    };
    if (writes(true) && !hasNameField(pattern, NameField::level)) {
        error = quoted + "no {level}, so every level's PNG file would get the same name";
        return false;
    }
    if (!hasNameField(pattern, NameField::filter)) {
        for (const std::string& name : options.filterNames) {
            if (name == options.filterNames[0]) continue;
            error = quoted + "no {filter}, so " + options.filterNames[0] + " and " + name + " would write the same files";
            return false;
        }
    }
    const bool containers = writes(false);
    if (containers && containerPattern(pattern).pieces.count == 0) {
        error = quoted + "nothing is left to name the KTX2 and DDS files once {level} is dropped";
        return false;
    }
    return true;
}

bool parseCommandLine(int argc, const char* const* argv, RunOptions& options, std::string& error) {
    // --help and --version answer whatever the rest of the line holds, an unknown option or a bad value included.
    RunOptions asked;
    for (int k = 1; k < argc; ++k) {
        const std::string argument = argv[k];
        if (argument == "--") break;
        asked.help = asked.help || argument == "-h" || argument == "--help";
        asked.version = asked.version || argument == "--version";
    }
    if (asked.help || asked.version) {
        options = asked;
        return true;
    }
    cxxopts::Options parser("kiv");
    // Values are taken as text and checked here, so every bad value gets a message naming its option.
    parser.add_options()
        ("o,output", "", cxxopts::value<std::string>())
        ("format", "", cxxopts::value<std::string>())
        ("threads", "", cxxopts::value<std::string>())
        ("solver", "", cxxopts::value<std::string>())
        ("color-space", "", cxxopts::value<std::string>())
        ("normal-map", "")
        ("alpha", "", cxxopts::value<std::string>())
        ("alpha-output", "", cxxopts::value<std::string>())
        ("fill-unused", "")
        ("report", "")
        ("viewer", "")
        ("from-model", "")
        ("name", "", cxxopts::value<std::string>())
        ("no-clean", "")
        ("manifest", "", cxxopts::value<std::string>())
        ("q,quiet", "")
        ("h,help", "")
        ("version", "")
        ("arguments", "", cxxopts::value<std::vector<std::string>>());
    parser.parse_positional({"arguments"});

    RunOptions parsed;
    std::string namePattern = defaultNamePattern;
    try {
        const cxxopts::ParseResult result = parser.parse(argc, argv);
        // An option given twice would silently lose its first value.
        for (const char* option : {"output", "format", "threads", "solver", "color-space", "alpha", "alpha-output",
                                   "name", "manifest"}) {
            if (result.count(option) > 1) {
                error = (option == std::string("output") ? "-o/--output" : "--" + std::string(option)) +
                        " is given more than once";
                return false;
            }
        }
        parsed.report = result.count("report") > 0;
        parsed.fillUnused = result.count("fill-unused") > 0;
        parsed.viewer = result.count("viewer") > 0;
        if (parsed.viewer && !viewerPageBuilt()) {
            error = "--viewer is not in this build of kiv (it was configured with -DKIV_WITH_VIEWER=OFF)";
            return false;
        }
        parsed.fromModel = result.count("from-model") > 0;
        parsed.clean = result.count("no-clean") == 0;
        // The manifest on standard output is the whole of it, one JSON document: the log makes way.
        if (result.count("manifest")) {
            parsed.manifestPath = result["manifest"].as<std::string>();
            if (parsed.manifestPath.empty()) error = badValue("--manifest", manifestTakes, "");
        }
        parsed.quiet = result.count("quiet") > 0 || parsed.manifestPath == "-";
        if (error.empty() && result.count("name")) {
            namePattern = result["name"].as<std::string>();
            std::string why;
            if (!parseNamePattern(namePattern, parsed.names, why)) error = "--name '" + namePattern + "': " + why;
        }
        if (result.count("output")) {
            parsed.outputFolder = result["output"].as<std::string>();
            if (parsed.outputFolder.empty()) error = badValue("-o/--output", outputTakes, "");
        }
        if (error.empty() && result.count("format")) {
            parseFormats(result["format"].as<std::string>(), parsed.formats, error);
        }
        if (error.empty() && result.count("threads")) {
            parseThreadCount(result["threads"].as<std::string>(), parsed.threadCount, error);
        }
        if (error.empty() && result.count("solver")) {
            parseSolver(result["solver"].as<std::string>(), parsed.solver, error);
        }
        if (error.empty() && result.count("color-space")) {
            parseColorSpace(result["color-space"].as<std::string>(), parsed.encoding, error);
        }
        // A normal map is read as vectors, which no colour space describes; with --from-model each texture's role
        // says how it is read.
        const bool normalMap = result.count("normal-map") > 0;
        if (error.empty() && normalMap && result.count("color-space")) {
            error = "--normal-map and --color-space cannot be combined: a normal map holds vectors, not colour";
        }
        if (error.empty() && parsed.fromModel && (normalMap || result.count("color-space"))) {
            error = std::string(normalMap ? "--normal-map" : "--color-space") +
                    " cannot be combined with --from-model, which reads each texture as its role says";
        }
        if (normalMap) parsed.encoding = TexelEncoding::normal;
        if (error.empty() && result.count("alpha")) parseAlpha(result["alpha"].as<std::string>(), parsed, error);
        if (error.empty() && result.count("alpha-output")) {
            parseAlphaOutput(result["alpha-output"].as<std::string>(), parsed.premultipliedOutput, error);
        }
        if (error.empty() && parsed.premultipliedOutput && parsed.alpha != AlphaMode::premultiplied) {
            error = "--alpha-output premultiplied needs --alpha premultiplied: only colour filtered times alpha is "
                    "written that way";
        }
        if (error.empty() && normalMap && parsed.alpha == AlphaMode::premultiplied) {
            error = "--alpha premultiplied cannot be combined with --normal-map: a normal map's vectors are not "
                    "colour to weigh by alpha";
        }
        if (!error.empty()) return false;
        if (result.count("arguments")) {
            for (const std::string& argument : result["arguments"].as<std::vector<std::string>>()) {
                ++parsed.positionalCount;
                if (parsed.positionalCount == 1) parsed.modelPath = argument;
                else if (parsed.positionalCount == 2 && !parsed.fromModel) parsed.texturePath = argument;
                else append(parsed.filterNames, argument);
            }
        }
    } catch (const cxxopts::exceptions::missing_argument&) {
        // Only the last argument can lack its value.
        error = missingValue(argv[argc - 1]);
        return false;
    } catch (const cxxopts::exceptions::exception& failure) {
        // The parser quotes with typographic marks; the rest of kiv's messages use plain ones.
        std::string message = failure.what();
        for (const char* mark : {"\u2018", "\u2019"}) {
            for (size_t at = message.find(mark); at != std::string::npos; at = message.find(mark, at + 1)) {
                message.replace(at, std::char_traits<char>::length(mark), "'");
            }
        }
        error = message;
        return false;
    }
    if (parsed.filterNames.count == 0) append(parsed.filterNames, std::string(defaultFilterName));
    if (parsed.formats.count == 0) append(parsed.formats, OutputFormat());
    // Every name is checked before any work, so a typo late in the list wastes nothing.
    for (const std::string& name : parsed.filterNames) {
        if (findFilter(name)) continue;
        error = "The filter named '" + name + "' doesn't exist.";
        return false;
    }
    if (!checkNamePattern(namePattern, parsed, error)) return false;
    options = parsed;
    return true;
}
