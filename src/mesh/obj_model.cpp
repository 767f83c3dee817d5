// Not yet implemented.
#include "mesh/obj_model.h"
