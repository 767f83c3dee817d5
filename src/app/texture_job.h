// One texture's job in a run, the pyramids built for it, and the files they produce: the levels in every format
// asked for, report.csv and viewer.html, all in the job's folder.
#pragma once

#include <string>

#include "app/command_line.h"
#include "app/run_manifest.h"
#include "base/grow_array.h"
#include "image/alpha_modes.h"
#include "image/float_image.h"
#include "image/pyramid_files.h"
#include "mesh/obj_model.h"

// A block-compressed file of a filter's levels and the texels its blocks decode to, for the report.
struct DecodedFile {
    std::string name;  // "<filter> <codec>"
    MipPyramid pyramid;
};

// One requested filter: the name as typed, the levels it produced, the seconds it took and the process's peak
// resident memory while it ran.
struct FilterRun {
    std::string name;
    MipPyramid pyramid;
    double seconds = 0;
    int64_t peakMemoryBytes = 0;
    GrowArray<DecodedFile> decodedFiles;  // with --report, one per block-compressed format written
};

// One texture to build pyramids for: the triangles that use it and where its files go.
struct TextureJob {
    Mesh mesh;                  // normalised; coordinates repeated into the texture when a filter reads the surface
    FloatImage texture;         // decoded as `encoding` says (linear light, linear values or normal vectors), as
                                // the filters see it: hasAlpha false for an opaque one, colour times alpha with
                                // AlphaMode::premultiplied
    TexelEncoding encoding = TexelEncoding::srgb;
    bool alphaChannel = false;  // the file has alpha: PNG levels keep four channels
    AlphaMode alpha = AlphaMode::straight;  // how the filters treat alpha; straight for a texture without alpha
    double alphaCutoff = 0.5;               // with AlphaMode::coverage
    StoredAlpha storedAlpha = StoredAlpha::opaque;  // what the written levels' alpha means
    FloatImage straightTexture;  // with AlphaMode::premultiplied and straight levels: the texture as read, level 0
    GrowArray<OutputFormat> formats;  // the run's formats, each codec the one this texture is written with
    std::string source;         // the texture's file, as messages name it
    std::string stem;           // its name in file names ({stem} of --name): the file's stem, or its folder's name
    std::string outputFolder;   // where the files go
    std::string madeFolder;     // with --from-model: the name of that folder inside the output folder
};

// Settles how the job's alpha is filtered and stored: a texture whose alpha is 1 everywhere is opaque (the filters
// keep alpha 1 and the files say so), and `mode` applies to one with alpha (premultiplying job.texture when it asks
// for that). `premultipliedOutput` keeps the levels premultiplied.
void settleAlpha(TextureJob& job, AlphaMode mode, double cutoff, bool premultipliedOutput);

// Turns a filter's levels into what the files store: straight colour again for premultiplied filtering with
// straight output (level 0 the texture as read), or each level's alpha scaled to the coverage of level 0 (measured
// over the model's surface with `levelWeights`, over the texture when it is empty).
void finishAlpha(MipPyramid& pyramid, const TextureJob& job, const GrowArray<LevelWeights>& levelWeights);

// Settles the job's formats from the run's: a normal map is written as BC5 where a colour codec (BC1, BC3, BC7) is
// asked for, as engines expect (X and Y, Z rebuilt in the shader), and a texture with alpha loses it in BC1 (a
// printed warning says so). False with the error for a codec that cannot hold the texture: BC4 and BC5 for sRGB
// colour, BC4 for a normal map.
bool settleFormats(const RunOptions& options, TextureJob& job, std::string& error);

// Whether the job's files need to know which texels the model reads: block-compressed files weigh and fill by it,
// and --fill-unused fills every file.
bool needsReadWeights(const RunOptions& options);

// Creates the output folder and its parents when missing; an empty folder is the working directory. False with the
// error line when it cannot.
bool createOutputFolder(const std::string& folder, std::string& error);

// Makes the folder the job's files go into when missing: the output folder itself, or with --from-model the
// texture's folder inside it, held open until closeMadeFolder.
bool prepareOutputFolder(const RunOptions& options, const TextureJob& job, std::string& error);

// Writes one filter's pyramid in every format of the job, into the job's folder, under the names of options.names;
// prints a line for each file that could not be written (also when memory runs out partway, before that error).
// Unless --no-clean, first removes the filter's level files that an earlier run left there and this run does not
// write (names the pattern makes for this texture and filter, at other levels or sizes), each named on the log.
// Block-compressed files are encoded from the levels with their unread texels filled (push-pull from those read),
// each texel's error weighed by how much the surface reads it (`readWeights`, one LevelWeights per level); with
// --fill-unused the other files are filled too. With --report, the compressed files' decoded texels are kept in
// run.decodedFiles. Records every file written and removed in `record`. False when any file failed to be written or
// removed.
bool writePyramid(FilterRun& run, const RunOptions& options, const TextureJob& job,
                  const GrowArray<LevelWeights>& readWeights, ManifestTexture& record);

// The error every level of every pyramid makes on the model, from the levels as written (8-bit bytes read back),
// printed and written as report.csv; each run's figures go into `record`'s filter of the same index. False when the
// file cannot be written (the table is printed anyway).
bool reportSurfaceError(const TextureJob& job, const GrowArray<FilterRun>& runs, ManifestTexture& record);

// viewer.html: the model with every pyramid of the run (the levels as the PNG files hold them), recorded in `record`.
// False with a printed error line when it cannot be built or written.
bool writeViewer(const RunOptions& options, const TextureJob& job, const GrowArray<FilterRun>& runs,
                 ManifestTexture& record);
