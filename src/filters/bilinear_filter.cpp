// Not yet implemented.
#include "filters/bilinear_filter.h"

bool buildBilinearOptimisedPyramid(const Mesh&, MipPyramid&, const FloatImage&, int32_t, std::string& error) {
    error = "Error: kivbi is not available yet";
    return false;
}
