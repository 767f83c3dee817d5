// Not yet implemented.
#include "image/classic_filters.h"
