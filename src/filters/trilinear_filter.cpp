// Not yet implemented.
#include "filters/trilinear_filter.h"

bool buildTrilinearOptimisedPyramid(const Mesh&, MipPyramid&, const FloatImage&, int32_t, std::string& error) {
    error = "Error: kivtri is not available yet";
    return false;
}
