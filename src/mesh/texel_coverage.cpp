// Not yet implemented.
#include "mesh/texel_coverage.h"
