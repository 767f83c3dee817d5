// Not yet implemented.
#include "filters/trilinear_filter.h"
