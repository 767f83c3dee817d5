// Not yet implemented.
#include "app/run.h"

int runCommandLine(int, char**) { return exitFailure; }
