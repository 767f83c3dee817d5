// Not yet implemented.
#include "filters/weighted_box.h"

void boxigFilter(const Mesh&, MipPyramid&, const FloatImage&, int32_t) {}
void kivboxFilter(const Mesh&, MipPyramid&, const FloatImage&, int32_t) {}
