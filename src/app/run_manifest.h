// The manifest --manifest writes: one JSON document per run, for the job runners and build systems that drive kiv
// over many assets. It names the inputs, every file written (with its size and SHA-256) and removed, each filter's
// time and peak memory, with --report every level's error, and the run's status with its error and warning messages.
#pragma once

#include <cstdint>
#include <string>

#include "base/grow_array.h"
#include "filters/surface_error.h"
#include "image/pixel_bytes.h"
#include "image/pyramid_files.h"

// The version of the manifest's layout, its "kiv_manifest" member: raised when a member changes meaning or goes.
constexpr int32_t manifestVersion = 1;

// One file a job wrote: where, what it holds (a filter's level or container, report.csv, viewer.html) and its format
// ("png", "ktx2", "dds", "csv", "html").
struct WrittenFile {
    SavedFile file;           // level -1 for a container, and width 0 for the report and the page
    std::string filter;       // empty for the report and the page
    std::string format;       // as --format names it ("png", "ktx2:bc7"), or the file's kind
};

// One filter's run on one texture.
struct ManifestFilter {
    std::string name;
    double seconds = 0;
    int64_t peakMemoryBytes = 0;  // the process's peak resident memory while the filter ran
    bool reported = false;        // --report: the figures below hold
    GrowArray<int32_t> levelWidths, levelHeights;
    PyramidSurfaceError error;
};

// One texture of the run and what became of it.
struct ManifestTexture {
    std::string path;         // the texture's file, or <model>[<material>].<format> for an embedded picture
    std::string name;         // its stem: the {stem} of --name, and with --from-model its folder's name
    std::string roles;        // with --from-model, the roles it serves ("base colour", ...); empty otherwise
    int32_t width = 0, height = 0;
    TexelEncoding encoding = TexelEncoding::srgb;
    std::string folder;       // where its files went
    GrowArray<ManifestFilter> filters;
    GrowArray<WrittenFile> written;
    GrowArray<std::string> removed;  // level files an earlier run left, removed by this one
};

// Everything the run did, filled as it goes.
struct RunManifest {
    std::string model;
    std::string outputFolder;
    bool peakOfEachFilter = true;  // peaks measured from each filter's start; false when only the process's is known
    GrowArray<ManifestTexture> textures;
};

// The manifest as JSON text (indented, ending in a line feed): the run's exit `status`, the messages printed, and
// every written file read back for its size and SHA-256 (a file that cannot be read back gets neither, and adds a
// message to `unreadable`).
std::string manifestJson(const RunManifest& manifest, int status, const GrowArray<std::string>& errors,
                         const GrowArray<std::string>& warnings, GrowArray<std::string>& unreadable);

// The peak resident memory from now on: resets the kernel's high-water mark of the process (Linux's
// /proc/self/clear_refs); false where that cannot be done, when peakResidentBytes then gives the process's peak.
bool restartPeakMemory();
// The peak resident memory in bytes since restartPeakMemory, or since the process started.
int64_t peakResidentBytes();
