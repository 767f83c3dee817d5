// Not yet implemented.
#include "filters/trilinear_kernel.h"
