// The trilinear weight kernel is defined inline in its header, so that the assembly loops can share
// the spatial part of terms that differ only in their blend weights.
#include "filters/trilinear_kernel.h"
