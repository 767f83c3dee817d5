// The files of one texture job.
#include "app/texture_job.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "app/run_log.h"
#include "app/viewer_page.h"
#include "base/version.h"
#include "filters/surface_error.h"
#include "image/file_output.h"
#include "image/pyramid_files.h"
#include "image/texture_io.h"

// Writes one filter's pyramid in every format the run asks for, into the job's folder, and prints a line for each
// file that could not be written (also when memory runs out partway, before that error). Returns false when any
// file failed.
bool writePyramid(const FilterRun& run, const RunOptions& options, const TextureJob& job) {
    bool written = true;
    for (PyramidFormat format : {PyramidFormat::png, PyramidFormat::ktx2, PyramidFormat::dds}) {
        if (!(options.formats & pyramidFormatBit(format))) continue;
        GrowArray<std::string> errors;
        try {
            if (!savePyramidFiles(run.pyramid, job.outputFolder, run.name.c_str(), format, job.texture.hasAlpha,
                                  job.encoding, kivNameAndVersion, errors)) {
                written = false;
            }
        } catch (...) {
            printErrors(errors);
            throw;
        }
        printErrors(errors);
    }
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

// Writes `text` as `name` in the job's folder, through a file renamed into place once complete; prints the error
// line and returns false when it cannot.
static bool writeOutputFile(const TextureJob& job, const char* name, const std::string& text, const char* what) {
    const std::string path = pathInFolder(job.outputFolder, name);
    PendingFile pending;
    openBeside(path.c_str(), pending);
    writeBytes(pending, text.data(), text.size());
    std::string error;
    if (finishFile(pending, path.c_str(), what, error)) return true;
    printError(error);
    return false;
}

// The error every level of every pyramid makes on the model, from the levels as written (8-bit bytes read back),
// printed and written as report.csv. Returns false when the file cannot be written (the table is printed anyway).
bool reportSurfaceError(const TextureJob& job, const GrowArray<FilterRun>& runs) {
    SurfaceErrorBasis basis;
    prepareSurfaceError(basis, job.mesh, job.texture);
    GrowArray<ReportedPyramid> reported;
    resize(reported, runs.count);
    for (int32_t r = 0; r < runs.count; ++r) {
        MipPyramid written = runs[r].pyramid;
        for (FloatImage& level : written.levels) {
            for (int32_t j = 0; j < level.count; ++j) level.texels[j] = texelAsWritten(level.texels[j], job.encoding);
        }
        measureSurfaceError(basis, written, reported[r].error);
        reported[r].name = &runs[r].name;
        reported[r].pyramid = &runs[r].pyramid;
    }
    return writeOutputFile(job, "report.csv", printSurfaceErrorReport(reported, job.encoding), "report");
}

// The page that shows the model with every pyramid of the run (the levels as the PNG files hold them). Returns false
// with a printed error line when it cannot be built or written.
bool writeViewer(const RunOptions& options, const TextureJob& job, const GrowArray<FilterRun>& runs) {
    std::string page, error;
    const std::string modelName = std::filesystem::path(options.modelPath).filename().string();
    const std::string textureName = std::filesystem::path(job.source).filename().string();
    if (!buildViewerPage(job.mesh, runs, job.texture.hasAlpha, job.encoding, modelName, textureName, page, error)) {
        printError("viewer.html: cannot encode a level (" + error + ")");
        return false;
    }
    return writeOutputFile(job, "viewer.html", page, "viewer page");
}
