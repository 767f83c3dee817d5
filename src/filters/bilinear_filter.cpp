// Not yet implemented.
#include "filters/bilinear_filter.h"
