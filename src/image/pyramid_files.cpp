// One save path over the PNG writer and the two container writers.
#include "image/pyramid_files.h"

#include "image/texture_containers.h"
#include "image/texture_io.h"

const char* pyramidFormatName(PyramidFormat format) {
    switch (format) {
    case PyramidFormat::png: return "png";
    case PyramidFormat::ktx2: return "ktx2";
    case PyramidFormat::dds: return "dds";
    }
    return "";
}

bool pyramidFormatNamed(const std::string& name, PyramidFormat& format) {
    for (PyramidFormat candidate : {PyramidFormat::png, PyramidFormat::ktx2, PyramidFormat::dds}) {
        if (name == pyramidFormatName(candidate)) {
            format = candidate;
            return true;
        }
    }
    return false;
}

bool savePyramidFiles(const MipPyramid& pyramid, const std::string& folder, const char* filterName,
                      PyramidFormat format, bool withAlpha, const std::string& writer, GrowArray<std::string>& errors) {
    if (format == PyramidFormat::png) return savePyramid(pyramid, folder, filterName, withAlpha, errors);
    std::string error;
    const ContainerFormat container = format == PyramidFormat::ktx2 ? ContainerFormat::ktx2 : ContainerFormat::dds;
    if (savePyramidContainer(pyramid, folder, filterName, container, withAlpha, writer, error)) return true;
    append(errors, error);
    return false;
}
