// The run's manifest as JSON, written with RapidJSON's writer.
#include "app/run_manifest.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "base/sha256.h"
#include "base/version.h"

using JsonWriter = rapidjson::PrettyWriter<rapidjson::StringBuffer>;

static void writeString(JsonWriter& json, const std::string& text) {
    json.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
}

// A number as printf writes it with `format`: seconds to the microsecond, errors to nine significant digits as
// report.csv has them, rather than the seventeen digits a double can need.
static void writeNumber(JsonWriter& json, const char* key, const char* format, double value) {
    if (!std::isfinite(value)) {  // JSON has no NaN or infinity
        json.Key(key);
        json.Null();
        return;
    }
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    json.Key(key);
    json.RawValue(text, std::strlen(text), rapidjson::kNumberType);
}

static void writeMember(JsonWriter& json, const char* key, const std::string& text) {
    json.Key(key);
    writeString(json, text);
}

static void writeStrings(JsonWriter& json, const char* key, const GrowArray<std::string>& texts) {
    json.Key(key);
    json.StartArray();
    for (const std::string& text : texts) writeString(json, text);
    json.EndArray();
}

static void writeFilter(JsonWriter& json, const ManifestFilter& filter) {
    json.StartObject();
    writeMember(json, "name", filter.name);
    writeNumber(json, "seconds", "%.6f", filter.seconds);
    json.Key("peak_memory_bytes");
    json.Int64(filter.peakMemoryBytes);
    if (filter.reported) {
        // The figures of --report: per level its RMS error on the model, and the trilinear error of the segment to
        // the next level (none after the last).
        json.Key("report");
        json.StartObject();
        json.Key("levels");
        json.StartArray();
        for (int32_t k = 0; k < filter.error.levelRms.count; ++k) {
            json.StartObject();
            json.Key("level");
            json.Int(k);
            json.Key("width");
            json.Int(k < filter.levelWidths.count ? filter.levelWidths[k] : 0);
            json.Key("height");
            json.Int(k < filter.levelHeights.count ? filter.levelHeights[k] : 0);
            writeNumber(json, "rms", "%.9g", filter.error.levelRms[k]);
            if (k < filter.error.segmentMeanSquare.count) {
                writeNumber(json, "segment_to_next", "%.9g", filter.error.segmentMeanSquare[k]);
            }
            json.EndObject();
        }
        json.EndArray();
        writeNumber(json, "trilinear_sum", "%.9g", filter.error.trilinear);
        json.EndObject();
    }
    json.EndObject();
}

static void writeFile(JsonWriter& json, const WrittenFile& written, GrowArray<std::string>& unreadable) {
    const SavedFile& file = written.file;
    json.StartObject();
    writeMember(json, "path", file.path);
    writeMember(json, "format", written.format);
    if (!written.filter.empty()) writeMember(json, "filter", written.filter);
    if (file.level >= 0) {
        json.Key("level");
        json.Int(file.level);
    }
    if (file.width > 0) {
        json.Key("width");
        json.Int(file.width);
        json.Key("height");
        json.Int(file.height);
    }
    std::string digest, error;
    int64_t bytes = 0;
    if (sha256OfFile(file.path, digest, bytes, error)) {
        json.Key("bytes");
        json.Int64(bytes);
        writeMember(json, "sha256", digest);
    } else {
        append(unreadable, error);
    }
    json.EndObject();
}

static void writeTexture(JsonWriter& json, const ManifestTexture& texture, GrowArray<std::string>& unreadable) {
    json.StartObject();
    writeMember(json, "path", texture.path);
    writeMember(json, "name", texture.name);
    if (!texture.roles.empty()) writeMember(json, "roles", texture.roles);
    json.Key("width");
    json.Int(texture.width);
    json.Key("height");
    json.Int(texture.height);
    writeMember(json, "color_space", texelEncodingName(texture.encoding));
    writeMember(json, "folder", texture.folder.empty() ? "." : texture.folder);
    json.Key("filters");
    json.StartArray();
    for (const ManifestFilter& filter : texture.filters) writeFilter(json, filter);
    json.EndArray();
    json.Key("files");
    json.StartArray();
    for (const WrittenFile& file : texture.written) writeFile(json, file, unreadable);
    json.EndArray();
    writeStrings(json, "removed", texture.removed);
    json.EndObject();
}

std::string manifestJson(const RunManifest& manifest, int status, const GrowArray<std::string>& errors,
                         const GrowArray<std::string>& warnings, GrowArray<std::string>& unreadable) {
    rapidjson::StringBuffer text;
    JsonWriter json(text);
    json.SetIndent(' ', 2);
    json.StartObject();
    json.Key("kiv_manifest");
    json.Int(manifestVersion);
    writeMember(json, "kiv", kivNameAndVersion);
    json.Key("status");
    json.Int(status);
    writeMember(json, "model", manifest.model);
    writeMember(json, "output_folder", manifest.outputFolder.empty() ? "." : manifest.outputFolder);
    writeMember(json, "peak_memory", manifest.peakOfEachFilter ? "filter" : "process");
    json.Key("textures");
    json.StartArray();
    for (const ManifestTexture& texture : manifest.textures) writeTexture(json, texture, unreadable);
    json.EndArray();
    writeStrings(json, "warnings", warnings);
    writeStrings(json, "errors", errors);
    json.EndObject();
    return std::string(text.GetString(), text.GetSize()) + "\n";
}

bool restartPeakMemory() {
    // "5" resets the peak resident set size to the current one (Linux 4.0 and later).
    const int fd = open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool reset = write(fd, "5", 1) == 1;
    close(fd);
    return reset;
}

int64_t peakResidentBytes() {
    // VmHWM follows the reset; ru_maxrss, the whole process's, does not.
    if (std::FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        long kilobytes = -1;
        while (std::fgets(line, sizeof line, status)) {
            if (std::strncmp(line, "VmHWM:", 6) == 0) std::sscanf(line + 6, "%ld", &kilobytes);
        }
        std::fclose(status);
        if (kilobytes >= 0) return int64_t{kilobytes} * 1024;
    }
    rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
    return int64_t{usage.ru_maxrss} * 1024;
}
