// Not yet implemented.
#include "filters/tent_kernel.h"
