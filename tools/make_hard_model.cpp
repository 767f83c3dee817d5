// Writes one hard model: a packed atlas of thousands of small charts of wildly different texel densities, or a
// vehicle-like body whose atlas is touched by slivers, needles, specks or chart corners, or crowded with surface
// (see hard_models.h for each kind).
//
// usage: make_hard_model <directory> <kind> [size]   writes <directory>/<kind>.obj and <directory>/<kind>.png,
// the atlas size x size texels (a power of two from 64 to 4096, 1024 by default)
#include <cstdio>
#include <cstdlib>
#include <string>

#include "hard_models.h"
#include "image/texture_io.h"

static int usage(const char* problem) {
    std::printf("%susage: make_hard_model <directory> <atlas|slivers|needles|tiny|corners|crowded|pleated|stacked> [size]   "
                "(size a power of two from 64 to 4096, default 1024)\n",
                problem);
    return 1;
}

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) return usage("");
    HardModelKind kind;
    if (!hardModelKindFromName(argv[2], kind)) {
        return usage(("Error: unknown kind '" + std::string(argv[2]) + "'; ").c_str());
    }
    int size = 1024;
    if (argc == 4) {
        char* end = nullptr;
        const long value = std::strtol(argv[3], &end, 10);
        if (end == argv[3] || *end != '\0' || value < 0 || value > 1 << 20 || !isHardModelSize(static_cast<int32_t>(value))) {
            return usage(("Error: bad size '" + std::string(argv[3]) + "'; ").c_str());
        }
        size = static_cast<int>(value);
    }
    const HardModel model = makeHardModel(kind, size);
    const std::string stem = std::string(argv[1]) + "/" + hardModelKindName(kind);
    const std::string modelPath = stem + ".obj";
    std::FILE* file = std::fopen(modelPath.c_str(), "w");
    bool written = file && std::fwrite(model.objText.data(), 1, model.objText.size(), file) == model.objText.size();
    if (file && std::fclose(file) != 0) written = false;
    if (!written) {
        std::printf("Error: %s: cannot write the model\n", modelPath.c_str());
        return 1;
    }
    std::string error;
    if (!saveLevelPng((stem + ".png").c_str(), 24, model.texture, false, error)) {
        std::printf("Error: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
