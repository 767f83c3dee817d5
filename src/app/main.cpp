// Entry point of kiv: builds mipmap pyramids for the texture of a textured model.
#include <cstdio>
#include <exception>
#include <new>

#include "app/run.h"

int main(int argc, char** argv) {
    try {
        return runCommandLine(argc, argv);
    } catch (const std::bad_alloc&) {
        std::printf("Error: out of memory\n");
        std::fflush(stdout);
        return exitFailure;
    } catch (const std::exception& failure) {
        // Nothing else is expected to throw; if something does, it still ends in a message, not an abort.
        std::printf("Error: %s\n", failure.what());
        std::fflush(stdout);
        return exitFailure;
    }
}
