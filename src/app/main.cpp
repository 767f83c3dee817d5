// Entry point of kiv: builds mipmap pyramids for the texture of a textured model.
#include <cstdio>
#include <exception>
#include <new>

#include "app/run.h"
#include "image/file_output.h"

int main(int argc, char** argv) {
    // Line by line even into a pipe or file, so every line printed before an interruption is there.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // An interrupted run (Ctrl-C, a kill, a closed terminal, a file-size limit) removes the file it was writing, so
    // no partial file is left behind, then ends as that signal ends a program.
    removePendingFileOnSignals();
    try {
        return runCommandLine(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fflush(stdout);
        std::fprintf(stderr, "Error: out of memory\n");
        return exitFailure;
    } catch (const std::exception& failure) {
        // Nothing else is expected to throw; if something does, it still ends in a message, not an abort.
        std::fflush(stdout);
        std::fprintf(stderr, "Error: %s\n", failure.what());
        return exitFailure;
    }
}
