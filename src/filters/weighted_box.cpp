// Not yet implemented.
#include "filters/weighted_box.h"
