// The files of one texture job.
#include "app/texture_job.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "app/progress_line.h"
#include "app/run_log.h"
#include "app/viewer_page.h"
#include "base/version.h"
#include "filters/surface_error.h"
#include "image/file_output.h"
#include "image/pyramid_files.h"
#include "image/texel_fill.h"
#include "image/texture_io.h"

void settleAlpha(TextureJob& job, AlphaMode mode, double cutoff, bool premultipliedOutput) {
    job.alphaChannel = job.texture.hasAlpha;
    // An alpha channel of 1s carries nothing: the filters leave alpha at 1 rather than fitting it.
    if (job.texture.hasAlpha && isOpaque(job.texture)) job.texture.hasAlpha = false;
    job.alpha = job.texture.hasAlpha ? mode : AlphaMode::straight;
    job.alphaCutoff = cutoff;
    const bool premultiplied = job.alpha == AlphaMode::premultiplied;
    job.storedAlpha = !job.texture.hasAlpha                    ? StoredAlpha::opaque
                      : premultiplied && premultipliedOutput ? StoredAlpha::premultiplied
                                                             : StoredAlpha::straight;
    releaseImage(job.straightTexture);
    if (!premultiplied) return;
    if (job.storedAlpha == StoredAlpha::straight) copyImage(job.straightTexture, job.texture);
    premultiplyAlpha(job.texture);
}

void finishAlpha(MipPyramid& pyramid, const TextureJob& job, const GrowArray<LevelWeights>& levelWeights) {
    static const LevelWeights everyTexel;
    if (job.alpha == AlphaMode::premultiplied && job.storedAlpha == StoredAlpha::straight) {
        for (int32_t k = 1; k < pyramid.levels.count; ++k) unpremultiplyAlpha(pyramid.levels[k]);
        if (pyramid.levels.count > 0) copyImage(pyramid.levels[0], job.straightTexture);
    }
    if (job.alpha != AlphaMode::coverage || pyramid.levels.count == 0) return;
    auto weightsOf = [&](int32_t k) -> const LevelWeights& {
        return k < levelWeights.count ? levelWeights[k] : everyTexel;
    };
    const double share = alphaCoverage(pyramid.levels[0], weightsOf(0), job.alphaCutoff);
    for (int32_t k = 1; k < pyramid.levels.count; ++k) {
        scaleAlphaToCoverage(pyramid.levels[k], weightsOf(k), job.alphaCutoff, share);
    }
}

bool settleFormats(const RunOptions& options, TextureJob& job, std::string& error) {
    clear(job.formats);
    for (OutputFormat format : options.formats) {
        if (format.compressed && job.encoding == TexelEncoding::normal) {
            if (format.codec == BlockCodec::bc4) {
                error = job.source + ": " + outputFormatName(format) + " holds one channel, not a normal map's vectors";
                return false;
            }
            if (format.codec == BlockCodec::bc1 || format.codec == BlockCodec::bc3 || format.codec == BlockCodec::bc7) {
                format.codec = BlockCodec::bc5;
            }
        }
        if (format.compressed && job.encoding == TexelEncoding::srgb &&
            (format.codec == BlockCodec::bc4 || format.codec == BlockCodec::bc5)) {
            error = job.source + ": " + outputFormatName(format) +
                    " holds linear data in one or two channels, not sRGB colour; bc1, bc3, bc7 or ASTC hold colour";
            return false;
        }
        if (format.compressed && format.codec == BlockCodec::bc1 && job.storedAlpha != StoredAlpha::opaque) {
            printWarning(job.source + ": bc1 stores no alpha; its " + outputFormatName(format) +
                         " files are opaque (bc3 and bc7 keep alpha)");
        }
        const bool named = std::any_of(job.formats.begin(), job.formats.end(), [&](const OutputFormat& other) {
            return outputFormatName(other) == outputFormatName(format);
        });
        if (!named) append(job.formats, format);
    }
    return true;
}

bool needsReadWeights(const RunOptions& options) {
    return options.fillUnused || std::any_of(options.formats.begin(), options.formats.end(),
                                             [](const OutputFormat& format) { return format.compressed; });
}

// Removes the filter's level files that an earlier run left in the job's folder and this run does not write, and
// names each on the log; false, with an error line each, for those that could not be removed.
static bool removeStaleLevels(const FilterRun& run, const RunOptions& options, const TextureJob& job,
                              const PyramidNaming& naming, ManifestTexture& record) {
    GrowArray<std::string> writes;
    NameValues values;
    values.stem = naming.stem;
    values.filter = run.name;
    for (int32_t k = 0; k < run.pyramid.levels.count; ++k) {
        values.level = k;
        values.width = run.pyramid.levels[k].width;
        values.height = run.pyramid.levels[k].height;
        append(writes, levelFileName(naming.pattern, values));
    }
    const auto stale = [&](const std::string& name) {
        if (!isLevelFileName(options.names, naming.stem, run.name, name)) return false;
        for (const std::string& written : writes) {
            if (name == written) return false;
        }
        return true;
    };
    GrowArray<std::string> removed, errors;
    removeFilesIn(job.outputFolder, stale, removed, errors);
    for (const std::string& path : removed) {
        logPrintf("Removed %s: a level of %s left by an earlier run, which this run does not write\n", path.c_str(),
                  run.name.c_str());
        append(record.removed, path);
    }
    printErrors(errors);
    return errors.count == 0;
}

// The writing's progress line: the files written of all, and the share of the texels.
namespace {
struct WritingProgress {
    int32_t files = 0, filesDone = 0;
    int64_t texels = 0, texelsDone = 0;
};
}  // namespace

static void fileWritten(void* context, int64_t texels) {
    WritingProgress& writing = *static_cast<WritingProgress*>(context);
    ++writing.filesDone;
    writing.texelsDone += texels;
    updateProgressLine("writing file", std::min(writing.filesDone + 1, writing.files), writing.files,
                       writing.texels > 0 ? static_cast<double>(writing.texelsDone) / writing.texels : 1.0);
}

bool writePyramid(FilterRun& run, const RunOptions& options, const TextureJob& job,
                  const GrowArray<LevelWeights>& readWeights, ManifestTexture& record) {
    PyramidNaming naming;
    naming.pattern = options.names;
    naming.stem = job.stem;
    bool written = true;
    const bool png = std::any_of(job.formats.begin(), job.formats.end(),
                                 [](const OutputFormat& format) { return format.container == PyramidFormat::png; });
    if (options.clean && png) written = removeStaleLevels(run, options, job, naming, record);
    // The levels with their unread texels filled, for the files that take them.
    MipPyramid filled;
    if (readWeights.count > 0) {
        filled = run.pyramid;
        for (int32_t k = 0; k < filled.levels.count && k < readWeights.count; ++k) {
            fillUnreadTexels(filled.levels[k], readWeights[k]);
        }
    }
    WritingProgress writing;
    for (const OutputFormat& format : job.formats) {
        writing.files += format.container == PyramidFormat::png ? run.pyramid.levels.count : 1;
        for (const FloatImage& level : run.pyramid.levels) writing.texels += int64_t{level.width} * level.height;
    }
    SaveProgress progress;
    progress.fileDone = fileWritten;
    progress.context = &writing;
    startProgressLine(run.name, "writing file", 1, writing.files);
    static const GrowArray<LevelWeights> evenly;
    clear(run.decodedFiles);
    for (const OutputFormat& format : job.formats) {
        LevelStorage storage{job.encoding, job.alphaChannel, job.storedAlpha};
        if (format.compressed && format.codec == BlockCodec::bc1) storage.alpha = StoredAlpha::opaque;
        const bool fill = readWeights.count > 0 && (format.compressed || options.fillUnused);
        MipPyramid* decoded = nullptr;
        if (format.compressed && options.report) {
            append(run.decodedFiles, DecodedFile{run.name + " " + blockCodecName(format.codec), MipPyramid()});
            decoded = &run.decodedFiles[run.decodedFiles.count - 1].pyramid;
        }
        GrowArray<std::string> errors;
        GrowArray<SavedFile> saved;
        auto keep = [&]() {
            for (const SavedFile& file : saved) {
                append(record.written, WrittenFile{file, run.name, outputFormatName(format)});
            }
            printErrors(errors);
        };
        try {
            if (!savePyramidFiles(fill ? filled : run.pyramid, job.outputFolder, run.name.c_str(), naming, format,
                                  storage, format.compressed ? readWeights : evenly, kivNameAndVersion, decoded, saved,
                                  errors, progress)) {
                written = false;
            }
        } catch (...) {
            keep();
            finishProgressLine();
            throw;
        }
        keep();
    }
    finishProgressLine();
    return written;
}

// Creates the output folder and its parents when missing; an empty folder is the working directory.
bool createOutputFolder(const std::string& folder, std::string& error) {
    if (folder.empty()) return true;
    std::error_code code;
    std::filesystem::create_directories(folder, code);
    if (!code) return true;
    error = folder + ": cannot create the output folder (" + code.message() + ")";
    return false;
}

// Makes the folder the job's files go into when missing: the output folder itself, or with --from-model the
// texture's folder inside it, held open until closeMadeFolder so that a symbolic link planted under its name is
// refused rather than followed out of the output folder.
bool prepareOutputFolder(const RunOptions& options, const TextureJob& job, std::string& error) {
    if (!options.fromModel) return createOutputFolder(job.outputFolder, error);
    return openMadeFolder(options.outputFolder, job.madeFolder, error);
}

// Writes `text` as `name` in the job's folder, through a file renamed into place once complete, and records it as a
// file of `format`; prints the error line and returns false when it cannot.
static bool writeOutputFile(const TextureJob& job, const char* name, const std::string& text, const char* what,
                            const char* format, ManifestTexture& record) {
    const std::string path = pathInFolder(job.outputFolder, name);
    PendingFile pending;
    openBeside(path.c_str(), pending);
    writeBytes(pending, text.data(), text.size());
    std::string error;
    if (finishFile(pending, path.c_str(), what, error)) {
        append(record.written, WrittenFile{SavedFile{path, -1, 0, 0}, std::string(), format});
        return true;
    }
    printError(error);
    return false;
}

// The error every level of every pyramid makes on the model, from the levels as written (8-bit bytes read back),
// printed and written as report.csv. Returns false when the file cannot be written (the table is printed anyway).
bool reportSurfaceError(const TextureJob& job, const GrowArray<FilterRun>& runs, ManifestTexture& record) {
    SurfaceErrorBasis basis;
    prepareSurfaceError(basis, job.mesh, job.texture);
    GrowArray<ReportedPyramid> reported;
    resize(reported, runs.count);
    for (int32_t r = 0; r < runs.count; ++r) {
        // With premultiplied filtering the measure is of colour times alpha, as the filters fitted it.
        MipPyramid written = runs[r].pyramid;
        for (FloatImage& level : written.levels) {
            for (int32_t j = 0; j < level.count; ++j) level.texels[j] = texelAsWritten(level.texels[j], job.encoding);
            if (job.storedAlpha == StoredAlpha::straight && job.alpha == AlphaMode::premultiplied) {
                premultiplyAlpha(level);
            }
        }
        measureSurfaceError(basis, written, reported[r].error);
        reported[r].name = &runs[r].name;
        reported[r].pyramid = &runs[r].pyramid;
        if (r < record.filters.count) {
            ManifestFilter& filter = record.filters[r];
            filter.reported = true;
            filter.error = reported[r].error;
            for (const FloatImage& level : runs[r].pyramid.levels) {
                append(filter.levelWidths, level.width);
                append(filter.levelHeights, level.height);
            }
        }
    }
    // Each block-compressed file as its blocks decode, beside the filter's own column.
    for (const FilterRun& run : runs) {
        for (const DecodedFile& file : run.decodedFiles) {
            MipPyramid measured = file.pyramid;
            if (job.storedAlpha == StoredAlpha::straight && job.alpha == AlphaMode::premultiplied) {
                for (FloatImage& level : measured.levels) premultiplyAlpha(level);
            }
            append(reported, ReportedPyramid());
            ReportedPyramid& entry = reported[reported.count - 1];
            measureSurfaceError(basis, measured, entry.error);
            entry.name = &file.name;
            entry.pyramid = &file.pyramid;
        }
    }
    const bool premultiplied = job.alpha == AlphaMode::premultiplied;
    return writeOutputFile(job, "report.csv", printSurfaceErrorReport(reported, job.encoding, premultiplied), "report",
                           "csv", record);
}

// The page that shows the model with every pyramid of the run (the levels as the PNG files hold them). Returns false
// with a printed error line when it cannot be built or written.
bool writeViewer(const RunOptions& options, const TextureJob& job, const GrowArray<FilterRun>& runs,
                 ManifestTexture& record) {
    std::string page, error;
    const std::string modelName = std::filesystem::path(options.modelPath).filename().string();
    const std::string textureName = std::filesystem::path(job.source).filename().string();
    if (!buildViewerPage(job.mesh, runs, job.alphaChannel, job.encoding, modelName, textureName, page, error)) {
        printError("viewer.html: cannot encode a level (" + error + ")");
        return false;
    }
    return writeOutputFile(job, "viewer.html", page, "viewer page", "html", record);
}
