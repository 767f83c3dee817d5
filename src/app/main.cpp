// Entry point of kiv: builds mipmap pyramids for the texture of a textured model.
#include <cstdio>
#include <new>

#include "app/run.h"

int main(int argc, char** argv) {
    try {
        return runCommandLine(argc, argv);
    } catch (const std::bad_alloc&) {
        std::printf("Error: out of memory\n");
        std::fflush(stdout);
        return exitFailure;
    }
}
